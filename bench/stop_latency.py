#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""How soon ScnFerry ends when it is told to while a long scan is being
typed: SIGTERM sent once the receiver has 1,000 characters of a
30,000-character scan, to the moment the process has exited. Before the
signal, while the scan is being typed, its window is pinged (_NET_WM_PING)
to show how soon the window's event loop answers: what a click on the
traffic light or Exit waits for. Under Xvfb + openbox and under headless
sway (native Wayland receiver, ScnFerry's window under XWayland), several
runs each; prints medians and the worst run, and checks that what arrived is
a prefix of the scan (nothing wrong typed on the way out).

Usage: bench/stop_latency.py --app build-bench/ScnFerry --receiver
       build-bench/tests/tools/scnferry_receiver --window-watch
       build-bench/bench/scnferry_window_watch [--runs 5] [--doc docs/BENCHMARKS.md]
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
from scnferry_bench import APP_TITLE, SWAY_SCRIPTS, ScnFerryTool

PINGS = 20


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
        pings = ping_window(session, args, tool.window)
        if receiver.clock.size() >= len(text):
            raise RuntimeError("the scan was typed to the end before the pings were answered")
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
        return (ended - sent) * 1000, status, len(got), exact, pings


def ping_window(session, args, window):
    """Round trips, in ms, of pings to the window."""
    out = session.run([args.window_watch, "--ping", window, str(PINGS)])
    if out.returncode != 0:
        raise RuntimeError(f"the window did not answer: {out.stderr.strip()}")
    return [int(us) / 1000 for us in out.stdout.split()]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--window-watch", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--doc", help="Markdown file to put the table into, as its own section")
    parser.add_argument("--command", default=" ".join(["bench/stop_latency.py"] + sys.argv[1:]))
    args = parser.parse_args()
    sessions = [("X11 (Xvfb + openbox)", lambda stack: XSession(stack)),
                ("Wayland (headless sway)", lambda stack: SwaySession(stack, SWAY_SCRIPTS))]
    rows = ["| session | SIGTERM to exit, median | worst | window answers a ping, median | worst | "
            "exit status | typed before the end | exact |",
            "|---|---|---|---|---|---|---|---|"]
    print("\n".join(rows), flush=True)
    for name, make in sessions:
        with contextlib.ExitStack() as stack:
            session = make(stack)
            runs = [one_run(session, args) for _ in range(args.runs)]
        times = [r[0] for r in runs]
        pings = [p for r in runs for p in r[4]]
        rows.append(f"| {name} | {statistics.median(times):.0f} ms | {max(times):.0f} ms | "
                    f"{statistics.median(pings):.1f} ms | {max(pings):.1f} ms | "
                    f"{sorted({r[1] for r in runs})} | {min(r[2] for r in runs)}-{max(r[2] for r in runs)} "
                    f"of 30,000 | {'yes' if all(r[3] for r in runs) else 'NO'} |")
        print(rows[-1], flush=True)
    if args.doc:
        when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        doc_sections.splice("\n".join([
            "## Stopping while typing", "",
            f"SIGTERM sent once the receiver has 1,000 characters of a 30,000-character scan, "
            f"to the moment the process has exited; before it, {PINGS} pings to the window while "
            f"the scan is typed (each after the answer to the last and a 10 ms pause). "
            f"{args.runs} runs a session, {when}, "
            f"load average {os.getloadavg()[0]:.1f} at the end. Command: `{args.command}`.", "",
            *rows, ""]), args.doc)

if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    main()
