# SPDX-License-Identifier: MIT
"""Endurance: many scans of mixed content written into the scanner's line in
scan-sized writes with random gaps, typed into a receiving window, under
X11 (Xvfb + openbox) and headless sway (a native Wayland receiver and an
XWayland one).

    soak.py --app build-bench/ScnFerry --receiver .../scnferry_receiver [--scans 100000]

Reports characters per second, scans lost, doubled, reordered and wrong
(all must be 0), the program's resident memory before and after, and the
CPU time it used. Every scan is unique and ends in CR, so the receiver's
file is one line per scan and is scored line by line.
"""

import argparse
import contextlib
import datetime
import json
import os
import random
import statistics
import sys
import threading
import time

import doc_sections
import payloads
import re
import tempfile

from bench_env import (START_TIMEOUT, Receiver, ScannerLine, SwaySession, XSession, cpu_ticks, rss_kib,
                       stop_process, wait_quiet, wait_until)
from scnferry_bench import SWAY_SCRIPTS, machine, opened_path

CODE39_SPECIALS = "+%$/{}~^"
# Outside the US layout, and few enough distinct ones that the keymaps hold
# them all: the soak is about endurance, not about waiting for spare keys.
OUTSIDE = payloads.NON_US + "漢字"
KINDS = ("EAN-13", "Code 39", "UTF-8", "GS1")
GS = "\x1d"


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def scan(index, rng):
    """Scan `index`: its kind by turn, its content unique by the index."""
    kind = KINDS[index % len(KINDS)]
    if kind == "EAN-13":
        body = payloads.ean13(400000000000 + index)
    elif kind == "Code 39":
        body = f"C{index:07d}" + "".join(rng.choice(CODE39_SPECIALS) for _ in range(6)) + "-X. Z"
    elif kind == "UTF-8":
        body = f"U{index:07d}" + "".join(rng.choice(OUTSIDE) for _ in range(5))
    else:
        # GTIN, lot (variable length, so GS ends it), serial.
        body = "010" + payloads.ean13(400000000000 + index) + "10L" + f"{index:07d}" + GS + "21" + \
            f"{rng.randrange(10 ** 6):06d}"
    return body + "\r"


def soak_scans(count, seed=8):
    rng = random.Random(seed)
    return [scan(i, rng) for i in range(count)]


def score(scans, received):
    """Line by line: each received line is the recording of one scan or it is
    wrong. Lost scans never arrived, doubled ones arrived more than once,
    reordered ones arrived after a later scan."""
    index = {payloads.typed_as(s)[:-1]: i for i, s in enumerate(scans)}
    lines = received.split("\n")
    tail = lines.pop()  # after the last Return: empty unless keys came after it
    seen = [0] * len(scans)
    wrong, reordered, latest = [], 0, -1
    for n, line in enumerate(lines):
        i = index.get(line)
        if i is None:
            wrong.append((n, line))
            continue
        seen[i] += 1
        if seen[i] > 1:
            continue
        if i < latest:
            reordered += 1
        latest = max(latest, i)
    if tail:
        wrong.append((len(lines), tail))
    lost = [i for i, k in enumerate(seen) if k == 0]
    return {"scans": len(scans), "received_lines": len(lines), "lost": len(lost),
            "doubled": sum(k - 1 for k in seen if k > 1), "reordered": reordered, "wrong": len(wrong),
            "lost_first": lost[:10], "wrong_first": [f"line {n}: {line[:80]!r}" for n, line in wrong[:10]]}


class SoakApp:
    """The program on a pty, its standard error kept: what it refused to type
    is reported there."""

    def __init__(self, stack, session, args):
        self.line = ScannerLine(stack, session.owner())
        self.stderr = stack.enter_context(tempfile.TemporaryFile())
        self.proc = session.popen([args.app, f"{self.line.path},9600,N,8,1"], stderr=self.stderr,
                                  **session.app_env())
        stack.callback(stop_process, self.proc)
        wait_until(lambda: opened_path(self.proc.pid, self.line.path) or self.proc.poll() is not None,
                   START_TIMEOUT, "ScnFerry to open the port")
        if self.proc.poll() is not None:
            raise RuntimeError(f"ScnFerry ended with {self.proc.returncode}")
        # Sway maps the program's window even though it starts minimised and
        # gives it the focus; scans wait while it has it. The receiver takes
        # the focus only after that has happened.
        wait_until(lambda: has_window(session, self.proc.pid), START_TIMEOUT, "ScnFerry's window")

    def messages(self):
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")


def has_window(session, pid):
    if not hasattr(session, "swaymsg"):
        return bool(session.run(["xdotool", "search", "--pid", str(pid)]).stdout.split())

    def walk(node):
        return node.get("pid") == pid or any(
            walk(child) for child in node.get("nodes", []) + node.get("floating_nodes", []))
    return walk(json.loads(session.swaymsg("-t", "get_tree").stdout or "{}"))


_REFUSED = re.compile(r"^ScnFerry: (\d+) characters received were not typed", re.M)


def refusals(messages):
    """Bursts the program said it did not type, and their characters."""
    counts = [int(n) for n in _REFUSED.findall(messages)]
    return len(counts), sum(counts)


class XWaylandReceiver:
    """The sway session, with the receiving window run through XWayland."""

    def __init__(self, sway):
        self._sway = sway
        self.kind = "Wayland (headless sway), XWayland receiver"

    def __getattr__(self, name):
        return getattr(self._sway, name)

    def receiver_env(self):
        return {"QT_QPA_PLATFORM": "xcb"}


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def file_size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def wait_typed(path, target, proc, quiet_s=1.0, give_up_s=60.0, progress=None):
    """Polls the receiver's file until it holds `target` bytes and has stayed
    still for quiet_s, or has not grown for give_up_s (keys lost). Returns
    when the file last grew."""
    last_size, last_change = file_size(path), time.monotonic_ns()
    while True:
        time.sleep(0.02)
        now = time.monotonic_ns()
        size = file_size(path)
        if size != last_size:
            last_size, last_change = size, now
            if progress:
                progress(size)
        idle = (now - last_change) / 1e9
        if size >= target and idle >= quiet_s:
            return last_change
        if idle >= give_up_s:
            return last_change
        if proc.poll() is not None:
            raise RuntimeError(f"ScnFerry ended with status {proc.returncode} during the soak")


def peak_sampler(pid, stop):
    """Samples the program's resident memory every 100 ms until stopped."""
    peak = [0]

    def run():
        while not stop.wait(0.1):
            with contextlib.suppress(FileNotFoundError, ProcessLookupError):
                peak[0] = max(peak[0], rss_kib(pid))
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return peak, thread


def soak_session(session, args, scans, warmup):
    with contextlib.ExitStack() as stack:
        app = SoakApp(stack, session, args)
        receiver = Receiver(stack, session, args.receiver, clock=False)
        pid = app.proc.pid
        rss_start = rss_kib(pid)

        # One scan of each kind, so that keymaps, caches and the receiver's
        # first layout are in place before "before" is read.
        want = "".join(payloads.typed_as(s) for s in warmup).encode()
        app.line.write_block("".join(warmup).encode())
        # Scans wait while a window of the program has the focus: should its
        # window take the focus after the receiver had it, give it back.
        if wait_typed(receiver.path, len(want), app.proc, give_up_s=10.0) and file_size(receiver.path) < len(want):
            receiver.focus()
            wait_typed(receiver.path, len(want), app.proc, give_up_s=30.0)
        got = read_file(receiver.path)
        if got != want:
            raise RuntimeError(f"warm-up typed {got!r}, wanted {want!r}")
        wait_quiet(pid)
        rss_before, ticks_before = rss_kib(pid), cpu_ticks(pid)
        base = len(got)

        expected = sum(len(payloads.typed_as(s).encode()) for s in scans)
        chars = sum(len(s) for s in scans)
        data = [s.encode() for s in scans]
        rng = random.Random(args.seed)
        gaps = [rng.uniform(0.0, 0.002) for _ in scans]
        written = {}

        # With --max-ahead the writer stays at most that many bytes of
        # recording ahead of the receiver, as a scanner behind flow control.
        ahead = [0]
        for s_ in scans:
            ahead.append(ahead[-1] + len(payloads.typed_as(s_).encode()))

        def write():
            written["first"] = time.monotonic_ns()
            for n, (chunk, gap) in enumerate(zip(data, gaps)):
                if args.max_ahead:
                    while ahead[n] - (file_size(receiver.path) - base) > args.max_ahead:
                        if app.proc.poll() is not None or stop.is_set():
                            return
                        time.sleep(0.005)
                app.line.write_block(chunk)
                time.sleep(gap)
            written["last"] = time.monotonic_ns()

        stop = threading.Event()
        peak, sampler = peak_sampler(pid, stop)
        writer = threading.Thread(target=write, daemon=True)
        # A writer held back by a lost key must not wait forever either.
        shown = [time.monotonic()]

        def progress(size):
            if time.monotonic() - shown[0] >= 15:
                shown[0] = time.monotonic()
                log(f"  {session.kind}: {(size - base) / expected:6.1%} typed, "
                    f"{'writing' if writer.is_alive() else 'written'}, rss {rss_kib(pid) / 1024:.1f} MiB")

        writer.start()
        try:
            end = wait_typed(receiver.path, base + expected, app.proc, quiet_s=1.0,
                             give_up_s=args.give_up, progress=progress)
        finally:
            stop.set()
            sampler.join()
        writer.join(5)
        if writer.is_alive() or "last" not in written:
            raise RuntimeError("the writer did not finish: the program stopped reading or typing")
        ticks_after = cpu_ticks(pid)
        # The spare-key and keymap grace timers run out before "after".
        wait_quiet(pid)
        rss_after = rss_kib(pid)
        received = read_file(receiver.path)[base:].decode(errors="replace")
        result = score(scans, received)
        result["refused_bursts"], result["refused_chars"] = refusals(app.messages())
        tick = os.sysconf("SC_CLK_TCK")
        seconds = (end - written["first"]) / 1e9
        return {"session": session.kind, **result, "characters": chars, "max_ahead": args.max_ahead,
                "seconds": seconds, "chars_per_s": chars / seconds,
                "write_seconds": (written["last"] - written["first"]) / 1e9,
                "rss_start_kib": rss_start, "rss_before_kib": rss_before, "rss_after_kib": rss_after,
                "rss_peak_kib": max(peak[0], rss_before, rss_after),
                "cpu_s": (ticks_after - ticks_before) / tick,
                "ended": app.proc.poll()}


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def exact(r):
    return r["lost"] == r["doubled"] == r["reordered"] == r["wrong"] == 0


def section(results, command, run, notes=()):
    m = run["machine"]
    rows = ["| session | build | writer | scans | characters | chars/s | lost | doubled | reordered | wrong | "
            "refused with a message (bursts / characters) | "
            "RSS before (MiB) | RSS after (MiB) | growth (KiB) | peak RSS (MiB) | CPU time (s) |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        writer = ("one scan at a time" if r.get("max_ahead") == 1
                  else f"<= {r['max_ahead']:,} bytes ahead" if r.get("max_ahead") else "free")
        rows.append(f"| {r['session']} | {r.get('revision', run['revision'])} | {writer} | {r['scans']:,} | {r['characters']:,} | {r['chars_per_s']:,.0f} | "
                    f"{r['lost']} | {r['doubled']} | {r['reordered']} | {r['wrong']} | "
                    f"{r.get('refused_bursts', 0)} / {r.get('refused_chars', 0):,} | "
                    f"{r['rss_before_kib'] / 1024:.1f} | {r['rss_after_kib'] / 1024:.1f} | "
                    f"{r['rss_after_kib'] - r['rss_before_kib']:+,} | {r['rss_peak_kib'] / 1024:.1f} | "
                    f"{r['cpu_s']:.1f} |")
    reading = []
    for r in results:
        growth = r["rss_after_kib"] - r["rss_before_kib"]
        reading.append(
            f"- {r['session']}: {'exact' if exact(r) else 'NOT EXACT'} over {r['scans']:,} scans; "
            f"{r['chars_per_s']:,.0f} chars/s over {r['seconds']:,.0f} s (the writer was done after "
            f"{r['write_seconds']:,.0f} s); memory {'grew' if growth > 0 else 'changed'} by {growth:+,} KiB "
            f"({'within' if growth < 1024 else 'over'} the 1 MiB bound); {r['cpu_s']:.1f} s of CPU, "
            f"{1e6 * r['cpu_s'] / r['characters']:.2f} ms per 1,000 characters.")
        if not exact(r):
            reading.append(f"  First lost scans {r['lost_first']}; first wrong lines {r['wrong_first']}; "
                           f"the program reported {r.get('refused_chars', 0):,} characters in "
                           f"{r.get('refused_bursts', 0)} bursts as not typed.")
    return "\n".join([
        "## Soak",
        "",
        f"Run started {run['date']} on {m['nproc']} cores of an {m['cpu']}, a Release build of "
        f"{run['revision']}; load average {run['load_before']} at the start and {run['load_after']} "
        f"at the end ({run['busy']}). Command: `{command}`.",
        "",
        "\n".join(rows),
        "",
        "\n".join(reading),
        "",
        f"Each scan is one of {', '.join(KINDS)} in turn: 13 digits; a Code 39 text with "
        f"`{CODE39_SPECIALS}`; five of {len(OUTSIDE)} characters outside the US layout (Latin, "
        "Greek, Cyrillic, the euro, two CJK); a GS1 element string with GS after the lot. Each "
        "carries its number, so it is unique, and ends in CR. They are written into the pty one "
        "scan a write, with a random gap of 0 to 2 ms after each. A free writer never waits for "
        "the program, which reads the line at once and queues what it has not typed yet; a held "
        "writer also waits while more than the given bytes of recording are ahead of the "
        "receiver, as a scanner behind flow control would. One run per session, after a warm-up "
        "of one scan of each kind: \"before\" is read after the warm-up, \"after\" once the "
        "program is idle again (its grace timers have run out); the peak is sampled every "
        "100 ms. chars/s counts the characters sent from the first byte written to the last key "
        "recorded. CPU time is the program's user + system time over the soak. Scoring is line "
        "by line: a line that is no scan's recording is wrong, a scan with no line is lost, a "
        "second line of the same scan is doubled, a scan that arrives after a later one is "
        "reordered. \"Refused with a message\" counts the program's own reports on standard "
        "error of characters it did not type.",
        *(["", *notes] if notes else []),
    ])


def render(args):
    """One section from runs made apart (in parallel, or one session at a time)."""
    runs = []
    for path in args.render:
        with open(path) as f:
            runs.append(json.load(f))
    by_date = sorted(runs, key=lambda r: r["date"])
    run = {**by_date[0], "load_after": by_date[-1]["load_after"],
           "revision": ", ".join(sorted({r["revision"] for r in runs}))}
    results = [{**x, "revision": r["revision"]} for r in runs for x in r["results"]]
    text = section(results, args.command, run, args.note or ())
    print(text)
    if not args.no_doc:
        doc_sections.write_section("SOAK.md", text)
    return 0 if all(exact(r) for r in results) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--scans", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=8)
    parser.add_argument("--max-ahead", type=int, default=0,
                        help="bytes of recording the writer may be ahead of the receiver (0: no limit)")
    parser.add_argument("--give-up", type=float, default=120.0,
                        help="seconds without a new key before the rest counts as lost")
    parser.add_argument("--only", action="append", choices=["x11", "wayland", "xwayland"])
    parser.add_argument("--busy", default="other builds and fuzzing shared the 2 cores",
                        help="what else ran on the machine, for the report")
    parser.add_argument("--command", default=" ".join(sys.argv))
    parser.add_argument("--revision", default="an unnamed revision")
    parser.add_argument("--json", help="raw figures to write")
    parser.add_argument("--no-doc", action="store_true")
    parser.add_argument("--note", action="append", help="a paragraph of reading to add (with --render)")
    parser.add_argument("--render", nargs="+", metavar="JSON",
                        help="only write the section from the --json files of earlier runs")
    args = parser.parse_args()
    parts = args.only or ["x11", "wayland", "xwayland"]
    if args.render:
        return render(args)

    scans = soak_scans(args.scans, args.seed)
    # The warm-up's recording is skipped by the scoring: it may repeat scans.
    warmup = soak_scans(len(KINDS), seed=args.seed + 1)
    run = {"machine": machine(), "revision": args.revision, "load_before": loadavg(), "busy": args.busy,
           "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}
    results = []
    for part in parts:
        with contextlib.ExitStack() as stack:
            if part == "x11":
                session = XSession(stack)
            else:
                session = SwaySession(stack, SWAY_SCRIPTS)
                if part == "xwayland":
                    session = XWaylandReceiver(session)
            log(f"{session.kind}: {args.scans:,} scans")
            results.append(soak_session(session, args, scans, warmup))
            r = results[-1]
            log(f"{session.kind}: " + json.dumps({k: v for k, v in r.items()}))
    run["load_after"] = loadavg()
    text = section(results, args.command, run)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({**run, "results": results}, f, indent=1)
    if not args.no_doc:
        doc_sections.write_section("SOAK.md", text)
    return 0 if all(exact(r) for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
