#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""How soon ScnFerry ends when it is told to while a long scan is being
typed: SIGTERM sent once the receiver has 1,000 characters of a
30,000-character scan, to the moment the process has exited. Under Xvfb +
openbox and under headless sway (native Wayland receiver), several runs each;
prints medians and the worst run, and checks that what arrived is a prefix of
the scan (nothing wrong typed on the way out).

Usage: bench/stop_latency.py --app build-bench/ScnFerry --receiver
       build-bench/tests/tools/scnferry_receiver [--runs 5]
"""

import argparse
import contextlib
import datetime
import os
import select
import signal
import statistics
import sys
import time

import itertools

import doc_sections
from bench_env import Receiver, START_TIMEOUT, STEP_TIMEOUT, SwaySession, XSession, wait_until
from scnferry_bench import SWAY_SCRIPTS, ScnFerryTool


def ascii_text(length):
    """Printable ASCII in a fixed order: letters, digits and punctuation."""
    chars = [chr(c) for c in range(0x21, 0x7f)]
    return "".join(itertools.islice(itertools.cycle(chars), length))


def one_run(session, args):
    with contextlib.ExitStack() as stack:
        tool = ScnFerryTool(stack, session, args)
        receiver = Receiver(stack, session, args.receiver)
        text = ascii_text(30000)
        tool.send(text)
        wait_until(lambda: receiver.clock.size() > 1000, STEP_TIMEOUT, "typing under way")
        # Popen.wait with a timeout polls at up to 50 ms intervals; the
        # process's pidfd becomes readable the moment it exits.
        pidfd = os.pidfd_open(tool.proc.pid)
        try:
            sent = time.monotonic()
            tool.proc.send_signal(signal.SIGTERM)
            if not select.select([pidfd], [], [], START_TIMEOUT)[0]:
                raise TimeoutError(f"ScnFerry still running {START_TIMEOUT:.0f} s after SIGTERM")
            ended = time.monotonic()
        finally:
            os.close(pidfd)
        status = tool.proc.wait(timeout=START_TIMEOUT)
        with open(receiver.path, "rb") as f:
            got = f.read().decode("utf-8", errors="replace")
        exact = text.startswith(got)
        return (ended - sent) * 1000, status, len(got), exact


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--doc", help="Markdown file to put the table into, as its own section")
    parser.add_argument("--command", default=" ".join(["bench/stop_latency.py"] + sys.argv[1:]))
    args = parser.parse_args()
    sessions = [("X11 (Xvfb + openbox)", lambda stack: XSession(stack)),
                ("Wayland (headless sway)", lambda stack: SwaySession(stack, SWAY_SCRIPTS))]
    rows = ["| session | SIGTERM to exit, median | worst | exit status | typed before the end | exact |",
            "|---|---|---|---|---|---|"]
    print("\n".join(rows), flush=True)
    for name, make in sessions:
        with contextlib.ExitStack() as stack:
            session = make(stack)
            runs = [one_run(session, args) for _ in range(args.runs)]
        times = [r[0] for r in runs]
        rows.append(f"| {name} | {statistics.median(times):.0f} ms | {max(times):.0f} ms | "
                    f"{sorted({r[1] for r in runs})} | {min(r[2] for r in runs)}-{max(r[2] for r in runs)} "
                    f"of 30,000 | {'yes' if all(r[3] for r in runs) else 'NO'} |")
        print(rows[-1], flush=True)
    if args.doc:
        when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        doc_sections.splice("\n".join([
            "## Stopping while typing", "",
            f"SIGTERM sent once the receiver has 1,000 characters of a 30,000-character scan, "
            f"to the moment the process has exited; {args.runs} runs a session, {when}, "
            f"load average {os.getloadavg()[0]:.1f} at the end. Command: `{args.command}`.", "",
            *rows, ""]), args.doc)

if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    main()
