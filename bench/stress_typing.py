#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Typing under load: the X11 and Wayland backend tests, run again and again
while stress-ng keeps every core busy, counting wrong, lost and doubled keys.

Each run is one process of the test binary (its own Xvfb or sway, so that one
bad run cannot spoil the next). The tests append every comparison of what was
sent with what arrived to the file named by SCNFERRY_TYPING_DUMP; this script
lines the two texts up and counts the differences. All counts must be 0.

Usage: bench/stress_typing.py [--build build-test] [--runs 20] [--cpu N]
                              [--only x11|wayland]
Needs root for the sway part (its session runs as an unprivileged user).
"""

import argparse
import contextlib
import difflib
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_session import stop_process  # noqa: E402

# What each backend is put through: native and XWayland receivers, Shift held
# with Caps Lock on, new characters right after a long burst.
SUITES = {
    "x11": ("tests/x11/x11_typing_test",
            "Layouts/X11TypingCases.*:X11Typing.NewCharactersRightAfterALongBurst"),
    "wayland": ("tests/wayland/scnferry_wayland_keyboard_test",
                "Sway/WaylandKeyboardTyping.*:WaylandKeyboard.TypesLiterallyWhileTheUserHoldsShiftWithCapsLockOn"),
}
RUN_TIMEOUT = 1800
# "[  FAILED  ] Suite.Name (12 ms)", or "..., where GetParam() = ... (12 ms)".
FAILED_TEST = re.compile(r"^\[  FAILED  \] ([^ ,]+)(?:, where .*)? \(\d+ ms\)$", re.M)


def classify(want, got):
    """Wrong, lost and doubled keys between the text sent and the text that
    arrived. A key that arrived in place of another is wrong; one missing is
    lost; an extra one is doubled when it repeats its neighbour, else wrong."""
    wrong = lost = doubled = 0
    matcher = difflib.SequenceMatcher(None, want, got, autojunk=False)
    for op, i1, i2, j1, j2 in matcher.get_opcodes():
        if op == "equal":
            continue
        n, m = i2 - i1, j2 - j1
        wrong += min(n, m)
        lost += max(n - m, 0)
        for j in range(j1 + min(n, m), j2):
            # The matcher may call either copy of a doubled key the extra one.
            if (j > 0 and got[j] == got[j - 1]) or (j + 1 < len(got) and got[j] == got[j + 1]):
                doubled += 1
            else:
                wrong += 1
    return wrong, lost, doubled


def run_once(binary, gtest_filter, dump):
    env = dict(os.environ)
    env.update({
        "SCNFERRY_TYPING_DUMP": dump,
        "QT_QPA_PLATFORM": "offscreen",
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    })
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    proc = subprocess.run([binary, "--gtest_filter=" + gtest_filter], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace", timeout=RUN_TIMEOUT,
                          start_new_session=True)
    return proc.returncode, proc.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build-test"))
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--cpu", type=int, default=os.cpu_count() or 1, help="stress-ng CPU workers")
    parser.add_argument("--only", choices=sorted(SUITES))
    parser.add_argument("--log", help="keeps the output of failed runs here")
    args = parser.parse_args()

    suites = {args.only: SUITES[args.only]} if args.only else SUITES
    for name, (binary, _) in suites.items():
        if not os.access(os.path.join(args.build, binary), os.X_OK):
            sys.exit(f"stress_typing: {binary} is not built in {args.build}")

    # SIGTERM or Ctrl+C: the run under way ends on its own (its test stops
    # its X server or sway), then the table of what ran is printed.
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))

    totals = {}
    with contextlib.ExitStack() as stack:
        stress = subprocess.Popen(["stress-ng", "--cpu", str(args.cpu), "--timeout", "0", "--quiet"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stack.callback(stop_process, stress)
        workdir = stack.enter_context(tempfile.TemporaryDirectory(prefix="scnferry-stress-"))
        for name, (binary, gtest_filter) in suites.items():
            t = totals[name] = dict(runs=0, comparisons=0, keys=0, wrong=0, lost=0, doubled=0,
                                    failed_tests=0, empty=0, seconds=0.0, failures=[])
            for run in range(1, args.runs + 1):
                if stopping:
                    break
                dump = os.path.join(workdir, f"{name}-{run}.jsonl")
                start = time.monotonic()
                try:
                    # Its own session: a signal to this script does not reach it.
                    status, output = run_once(os.path.join(args.build, binary), gtest_filter, dump)
                except subprocess.TimeoutExpired:
                    status, output = -1, "timed out"
                t["seconds"] += time.monotonic() - start
                t["runs"] += 1
                failed = FAILED_TEST.findall(output)
                t["failed_tests"] += len(failed) + (1 if status != 0 and not failed else 0)
                keyed = 0
                if os.path.exists(dump):
                    with open(dump, encoding="utf-8") as f:
                        for line in f:
                            c = json.loads(line)
                            t["comparisons"] += 1
                            t["keys"] += len(c["want"])
                            if c["want"] and not c["got"]:
                                # Nothing at all: the receiver died or never
                                # had the focus. Not a key of ours; told apart.
                                t["empty"] += 1
                                t["failures"].append(f"run {run} {c['test']}: the receiver got nothing")
                                continue
                            w, lo, d = classify(c["want"], c["got"])
                            if w or lo or d:
                                keyed += 1
                                t["failures"].append(f"run {run} {c['test']}: {w} wrong, {lo} lost, {d} doubled")
                            t["wrong"] += w
                            t["lost"] += lo
                            t["doubled"] += d
                if status != 0 and args.log:
                    with open(args.log, "a", encoding="utf-8") as f:
                        f.write(f"==== {name} run {run} (exit {status})\n{output}\n")
                print(f"{name} run {run}/{args.runs}: exit {status}, failed tests {failed or '-'}; so far "
                      f"{t['wrong']} wrong, {t['lost']} lost, {t['doubled']} doubled, {t['empty']} empty",
                      flush=True)

    print()
    print(f"Typing under load: stress-ng --cpu {args.cpu} on {os.cpu_count()} cores, {args.runs} runs per backend")
    print()
    print("| backend | runs | comparisons | keys compared | wrong | lost | doubled | receiver got nothing "
          "| failed tests | minutes |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    bad = False
    for name, t in totals.items():
        print(f"| {name} | {t['runs']} | {t['comparisons']} | {t['keys']} | {t['wrong']} | {t['lost']} | "
              f"{t['doubled']} | {t['empty']} | {t['failed_tests']} | {t['seconds'] / 60:.1f} |")
        bad = bad or t["wrong"] or t["lost"] or t["doubled"] or t["failed_tests"]
    for name, t in totals.items():
        for failure in t["failures"]:
            print(f"  {name}: {failure}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
