# SPDX-License-Identifier: MIT
"""Runs the libFuzzer targets long and reports runs, time and findings.

    fuzz_bench.py --build build-fuzz [--runs 10000000] [--max-seconds S]

Each target starts from its corpus in the tree; what it finds goes to a
scratch directory, so the committed corpus stays small. A run passes when
the fuzzer ends by itself after its runs, with no crash, trap, timeout or
sanitizer report in its output.
"""

import argparse
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import doc_sections

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
CORPUS = os.path.join(ROOT, "tests", "fuzz", "corpus")

# name, binary under the build, corpus, longest input, what it checks
TARGETS = [
    ("command line", "tests/fuzz/fuzz_command_line", "command_line", 1024,
     "Val, ToInteger, ParseCommandLine, settings text: only Overflow raised, blanks skipped "
     "anywhere, doubles read back exactly, canonical settings read back the same"),
    ("keystroke planner", "tests/fuzz/fuzz_keystrokes", "keystrokes", 1024,
     "Named only for CR LF TAB BS ESC DEL, Ctrl only for other C0 controls, every other "
     "character typed as itself once, bursts plan as the whole"),
    ("byte decoder", "tests/serial/fuzz_decoder", "decoder", 1024,
     "pieces decode as the whole read, well-formed UTF-16, valid UTF-8 lines as Qt reads them, "
     "other lines as Windows-1252 or the chosen code page reads them"),
]

# Lines a sanitizer or libFuzzer prints when something went wrong.
_FINDINGS = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|"
                       r"SUMMARY: |deadly signal|Test unit written to", re.M)


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def parse_log(text):
    """Final statistics and findings of one libFuzzer run's output."""
    stats = {k: int(v) for k, v in re.findall(r"^stat::(\w+):\s+(\d+)", text, re.M)}
    findings = sorted({m.group(0) for m in _FINDINGS.finditer(text)})
    artifacts = re.findall(r"Test unit written to (\S+)", text)
    return stats, findings, artifacts


def verdict(status, stats, findings, runs_wanted, max_seconds):
    """'clean' only for a run that ended by itself without a finding and ran
    what it was asked to (all runs, or until its time was up)."""
    if findings or status != 0:
        return "FAILED"
    done = stats.get("number_of_executed_units", 0)
    if done >= runs_wanted:
        return "clean"
    return "clean (time limit)" if max_seconds else "FAILED"


def run_target(build, name, binary, corpus, max_len, runs, max_seconds, logs):
    path = os.path.join(build, binary)
    scratch = tempfile.mkdtemp(prefix="scnferry-fuzz-")
    artifacts = os.path.join(logs, os.path.basename(binary) + "-")
    argv = [path, f"-runs={runs}", f"-max_len={max_len}", "-print_final_stats=1", "-timeout=10",
            "-rss_limit_mb=2048", f"-artifact_prefix={artifacts}", scratch, os.path.join(CORPUS, corpus)]
    if max_seconds:
        argv.insert(2, f"-max_total_time={max_seconds}")
    # Recording every allocation's stack cost the decoder a third of its
    # speed; a finding is replayed from its input with the stacks on.
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:malloc_context_size=0",
               UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")
    out_path = os.path.join(logs, os.path.basename(binary) + ".log")
    log(f"{name}: {' '.join(argv)}")
    start = time.monotonic()
    with open(out_path, "w") as out:
        # A hang is the fuzzer's own -timeout; this one only guards the bench.
        limit = (max_seconds or 24 * 3600) + 600
        try:
            status = subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT, env=env,
                                    timeout=limit).returncode
        except subprocess.TimeoutExpired:
            status = -1
    seconds = time.monotonic() - start
    shutil.rmtree(scratch, ignore_errors=True)
    return result(name, binary, corpus, out_path, status, seconds, runs, max_seconds)


def result(name, binary, corpus, out_path, status, seconds, runs, max_seconds):
    """One target's figures and verdict, from its log."""
    with open(out_path, errors="replace") as f:
        text = f.read()
    stats, findings, found = parse_log(text)
    done = stats.get("number_of_executed_units", 0)
    return {"target": name, "binary": binary, "checks": dict((t[0], t[4]) for t in TARGETS)[name],
            "status": status, "seconds": seconds, "runs": done,
            "exec_per_s": round(done / seconds) if seconds > 0 else 0, "new_units": stats.get("new_units_added", 0),
            "peak_rss_mb": stats.get("peak_rss_mb", 0), "corpus_files": len(os.listdir(os.path.join(CORPUS, corpus))),
            "findings": findings, "artifacts": found, "log": out_path,
            "verdict": verdict(status, stats, findings, runs, max_seconds)}


def from_log(name, binary, corpus, runs, logs, max_seconds=0):
    """The result of an earlier run, read back from its log: libFuzzer's
    closing line gives the time."""
    out_path = os.path.join(logs, os.path.basename(binary) + ".log")
    with open(out_path, errors="replace") as f:
        took = re.search(r"^Done (\d+) runs in (\d+) second", f.read(), re.M)
    seconds = int(took.group(2)) if took else 0
    return result(name, binary, corpus, out_path, 0 if took else 1, seconds, runs, max_seconds)


def loadavg():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def section(results, command, revision, date, load_before, load_after):
    rows = ["| target | checked on every input | runs | time (s) | exec/s | inputs found | "
            "peak RSS (MiB) | crashes, traps, sanitizer reports | verdict |",
            "|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        rows.append(f"| {r['target']} | {r['checks']} | {r['runs']:,} | {r['seconds']:,.0f} | "
                    f"{r['exec_per_s']:,} | {r['new_units']:,} | {r['peak_rss_mb']:,} | "
                    f"{len(r['artifacts']) or len(r['findings'])} | {r['verdict']} |")
    lines = [
        "## Fuzzing",
        "",
        f"Run started {date}, a clang 14 build of {revision} with libFuzzer, ASan and UBSan "
        f"(UBSan halting on the first report), one process a target; "
        f"load average {load_before} at the start and {load_after} at the end "
        f"(other builds shared the 2 cores). Command: `{command}`.",
        "",
        "\n".join(rows),
        "",
        "Each target starts from the few inputs in `tests/fuzz/corpus/` and keeps what it finds "
        "in a scratch directory. A violated check traps inside the target, which libFuzzer "
        "reports as a crash with the input that caused it.",
    ]
    for r in results:
        if r["verdict"] == "FAILED":
            lines.append(f"- {r['target']}: status {r['status']}, {', '.join(r['findings']) or 'no report'}; "
                         f"inputs {', '.join(r['artifacts']) or 'none written'}; log {r['log']}.")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=10_000_000)
    parser.add_argument("--max-seconds", type=int, default=0,
                        help="stop each target after this long even if its runs are not done")
    parser.add_argument("--only", action="append", choices=[t[2] for t in TARGETS])
    parser.add_argument("--command", default=" ".join(sys.argv))
    parser.add_argument("--revision", default="an unnamed revision")
    parser.add_argument("--no-doc", action="store_true", help="do not write the tables")
    parser.add_argument("--logs", help="directory for the logs (default BUILD/fuzz-logs)")
    parser.add_argument("--from-logs", nargs="+", metavar="DIR",
                        help="only write the table from the logs of earlier runs, each target from "
                             "the last of these directories that has its log")
    parser.add_argument("--load", default="", help="load averages to quote with --from-logs")
    args = parser.parse_args()

    if args.from_logs:
        results = []
        for name, binary, corpus, _, _ in TARGETS:
            dirs = [d for d in args.from_logs
                    if os.path.exists(os.path.join(d, os.path.basename(binary) + ".log"))]
            if dirs:
                results.append(from_log(name, binary, corpus, args.runs, dirs[-1], args.max_seconds))
        low, _, high = args.load.partition(",")
        began = min(os.path.getmtime(r["log"]) - r["seconds"] for r in results)
        date = datetime.datetime.fromtimestamp(began, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        text = section(results, args.command, args.revision, date, low or "unrecorded", high or "unrecorded")
        print(text)
        if not args.no_doc:
            doc_sections.write_section("FUZZING.md", text)
        return 0 if all(r["verdict"] != "FAILED" for r in results) else 1

    logs = args.logs or os.path.join(args.build, "fuzz-logs")
    os.makedirs(logs, exist_ok=True)
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load_before = loadavg()
    results = []
    for name, binary, corpus, max_len, _ in TARGETS:
        if args.only and corpus not in args.only:
            continue
        results.append(run_target(args.build, name, binary, corpus, max_len, args.runs,
                                  args.max_seconds, logs))
        log(f"{name}: {results[-1]['verdict']}, {results[-1]['runs']:,} runs in "
            f"{results[-1]['seconds']:.0f} s")
    text = section(results, args.command, args.revision, date, load_before, loadavg())
    print(text)
    if not args.no_doc:
        doc_sections.write_section("FUZZING.md", text)
    return 0 if all(r["verdict"] != "FAILED" for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
