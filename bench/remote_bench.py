# SPDX-License-Identifier: MIT
"""Typing figures of ScnFerry through the desktop's remote input: headless
mutter (GNOME) and kwin_wayland with the remote desktop portal (KDE), a
native Wayland receiver, the program reading a pty.

    remote_bench.py --app build-bench/ScnFerry --receiver .../scnferry_receiver \\
                    [--reps 3] [--scans 100] [--doc docs/BENCHMARKS.md]

Bulk: 1,000 and 5,000 printable ASCII characters and a CR written to the line
in one block; the rate is characters over the time from the first byte
written to the moment the receiver's record holds all of them. Latency: EAN-13
scans paced at 9600 baud, 0.1 s apart, from the last byte written to the
moment the record holds the scan (the record is polled every 0.2 ms).
Prints a table and, with --doc, replaces the section it wrote before there.
"""

import argparse
import contextlib
import itertools
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e", "remote"))

import payloads  # noqa: E402
from desktop_session import DesktopApp, DesktopReceiver, DesktopSession, chown_line, \
    have  # noqa: E402
from e2e_session import Config, ScannerLine  # noqa: E402

SECTION = "## Remote input (GNOME and KDE Wayland)"
POLL_S = 0.0002
GIVE_UP_S = 60.0


def ascii_text(length):
    chars = [chr(c) for c in range(0x20, 0x7f)]
    return "".join(itertools.islice(itertools.cycle(chars), length)) + "\r"


def record_size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def wait_size(path, target, since_ns):
    """Polls the receiver's record until it holds target bytes; the moment in
    ns, or None after GIVE_UP_S."""
    while record_size(path) < target:
        if time.monotonic_ns() - since_ns > GIVE_UP_S * 1e9:
            return None
        time.sleep(POLL_S)
    return time.monotonic_ns()


_markers = itertools.count(1)


def read_up_to_marker(line, path, base):
    marker = f"MARK{next(_markers)}\r"
    want = payloads.typed_as(marker)
    line.write_block(marker.encode())
    deadline = time.monotonic() + GIVE_UP_S
    while not read_from(path, base).endswith(want):
        if time.monotonic() > deadline:
            raise TimeoutError(f"the marker {marker!r} did not arrive")
        time.sleep(POLL_S * 10)
    return read_from(path, base)[:-len(want)]


def read_from(path, offset):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read().decode(errors="replace")


def bench_kind(kind, args):
    rows = []
    with contextlib.ExitStack() as stack:
        desktop = DesktopSession(stack, kind)
        line = ScannerLine(stack)
        chown_line(desktop, line)
        app = DesktopApp(stack, desktop, f"{line.path},9600,N,8,1")
        app.wait_started(line.path)
        receiver = DesktopReceiver(stack, desktop, "wayland")
        out = receiver.out_path
        for length in (1000, 5000):
            text = ascii_text(length)
            want = payloads.typed_as(text)
            rates, exact = [], 0
            totals = {"lost": 0, "extra": 0, "changed": 0}
            for _ in range(args.reps):
                base = record_size(out)
                first = time.monotonic_ns()
                line.write_block(text.encode())
                done = wait_size(out, base + len(want.encode()), first)
                # Keys typed twice would reach the size early: a marker scan
                # after it shows where the payload's keys end.
                got = read_up_to_marker(line, out, base)
                exact += got == want
                for k, v in payloads.score(want, got).items():
                    totals[k] += v
                if got != want:
                    print(f"{kind} ASCII {length}: {payloads.score(want, got)}", file=sys.stderr)
                if done is not None:
                    rates.append(length / ((done - first) / 1e9))
            rows.append({"desktop": kind, "payload": f"ASCII {length:,}", "runs": args.reps,
                         "exact": exact, "rate": median(rates), "min_rate": min(rates or [0]),
                         **totals})
        latencies, exact = [], 0
        for i in range(args.scans):
            scan = payloads.ean13_scan(i)
            want = payloads.typed_as(scan)
            base = record_size(out)
            _, last = line.write_paced(scan.encode())
            done = wait_size(out, base + len(want.encode()), last)
            exact += read_from(out, base) == want
            if done is not None:
                latencies.append((done - last) / 1e6)
            time.sleep(0.1)  # a quick hand between scans, not a wait for the program
        rows.append({"desktop": kind, "payload": "EAN-13 at 9600 baud", "runs": args.scans,
                     "exact": exact, "median_ms": median(latencies),
                     "p99_ms": payloads.percentile(latencies, 99) if latencies else None,
                     "max_ms": max(latencies or [0])})
    return rows


def median(values):
    values = sorted(values)
    if not values:
        return None
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def fmt(value, digits=0):
    return "-" if value is None else f"{value:,.{digits}f}"


def table(rows):
    lines = ["| desktop | payload | runs | exact | lost/extra/changed | chars/s (median) "
             "| chars/s (lowest) | latency median (ms) | p99 (ms) | max (ms) |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        errors = "/".join(str(r[k]) for k in ("lost", "extra", "changed")) if "lost" in r else "-"
        lines.append(f"| {r['desktop']} | {r['payload']} | {r['runs']} | {r['exact']} | {errors} "
                     f"| {fmt(r.get('rate'))} | {fmt(r.get('min_rate'))} "
                     f"| {fmt(r.get('median_ms'), 2)} | {fmt(r.get('p99_ms'), 2)} "
                     f"| {fmt(r.get('max_ms'), 2)} |")
    return "\n".join(lines)


def write_doc(path, command, rows):
    body = (f"{SECTION}\n\nMeasured with `{command}` on {time.strftime('%Y-%m-%d')}: "
            "mutter 43 through `org.gnome.Mutter.RemoteDesktop`, kwin_wayland 5.27 through "
            "the remote desktop portal, a native Wayland receiver; see "
            "`bench/remote_bench.py` for what is timed.\n\n" + table(rows) + "\n")
    text = ""
    with contextlib.suppress(FileNotFoundError), open(path) as f:
        text = f.read()
    if SECTION in text:
        start = text.index(SECTION)
        end = text.find("\n## ", start + len(SECTION))
        text = text[:start] + body + (text[end + 1:] if end >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + body
    with open(path, "w") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--scans", type=int, default=100)
    parser.add_argument("--desktops", default="mutter,kwin")
    parser.add_argument("--doc")
    args = parser.parse_args()
    Config.app = os.path.abspath(args.app)
    Config.receiver = os.path.abspath(args.receiver)
    rows = []
    for kind in args.desktops.split(","):
        if not have(kind):
            print(f"{kind} is not installed; skipped", file=sys.stderr)
            continue
        rows += bench_kind(kind, args)
        print(table(rows), file=sys.stderr, flush=True)
    print(table(rows))
    if args.doc:
        write_doc(args.doc, " ".join(["bench/remote_bench.py", *sys.argv[1:]]), rows)


if __name__ == "__main__":
    main()
