# SPDX-License-Identifier: MIT
"""Start-up, typing and idle figures of ScnFerry, side by side with the
common typing tools, under Xvfb + openbox and under headless sway.

    scnferry_bench.py --app build-bench/ScnFerry --receiver .../scnferry_receiver \
                      --window-watch .../scnferry_window_watch [--doc docs/BENCHMARKS.md]

Prints the tables and writes them, with the machine and a reading, to --doc.
"""

import argparse
import contextlib
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import doc_sections
import payloads
from bench_env import (Receiver, ScannerLine, SwaySession, XSession, LineReader, START_TIMEOUT,
                       cpu_ticks, rss_kib, stop_process, tool_available, wait_quiet, wait_until)

APP_TITLE = "Scanferry 0.01"
HERE = os.path.dirname(os.path.abspath(__file__))
SWAY_SCRIPTS = os.path.join(HERE, "..", "tests", "e2e", "env", "sway")

# Payload name -> text. The scan is handled apart: many short, paced runs.
BULK_PAYLOADS = [
    ("licence 1,000", payloads.driver_licence()),
    ("intl 5,000", payloads.international()),
    ("CJK 300", payloads.cjk()),
]


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def opened_path(pid, path):
    """Whether the process holds `path` open."""
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except FileNotFoundError:
        return False
    for fd in fds:
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{pid}/fd/{fd}") == path:
                return True
    return False


def ms(ns):
    return ns / 1e6


# Start-up ------------------------------------------------------------------

def startup_once(session, args):
    """One start: from just before the process is spawned until the pty is
    open (seen in /proc/PID/fd, polled every millisecond) and the window is
    taken in by the window manager (WM_STATE, seen through X events)."""
    with contextlib.ExitStack() as stack:
        line = ScannerLine(stack)
        watcher = session.popen([args.window_watch, APP_TITLE])
        stack.callback(stop_process, watcher)
        watch_lines = LineReader(watcher.stdout)
        watch_lines.wait_for(lambda l: l == "WATCHING", START_TIMEOUT, "the window watcher")
        start = time.monotonic_ns()
        app = subprocess.Popen([args.app, f"{line.path},9600,N,8,1"],
                               env=session.env(**session.app_env()), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        stack.callback(stop_process, app)
        port_open = None
        deadline = time.monotonic() + START_TIMEOUT
        while port_open is None:
            if opened_path(app.pid, line.path):
                port_open = time.monotonic_ns()
            elif app.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"ScnFerry did not open {line.path} (status {app.poll()})")
            else:
                time.sleep(0.001)
        _, named = watch_lines.wait_for(lambda l: l.startswith("named "), START_TIMEOUT, "the window")
        _, managed = watch_lines.wait_for(lambda l: l.startswith("managed "), START_TIMEOUT,
                                          "the managed window")
        named_ns = int(named.split()[1])
        managed_ns = int(managed.split()[1])
        # Resident memory once the start-up work has been done and the event
        # loop has gone idle.
        wait_quiet(app.pid, timeout=START_TIMEOUT)
        rss = rss_kib(app.pid)
        if app.poll() is not None:
            raise RuntimeError("ScnFerry ended during start-up")
        return {"port_ms": ms(port_open - start), "window_ms": ms(named_ns - start),
                "ready_ms": ms(max(port_open, managed_ns) - start), "rss_mib": rss / 1024}


def bench_startup(args):
    runs = []
    with contextlib.ExitStack() as stack:
        session = XSession(stack)
        # One unmeasured start fills the page cache with Qt and the fonts.
        startup_once(session, args)
        for i in range(args.startup_runs):
            runs.append(startup_once(session, args))
            log(f"start-up {i + 1}/{args.startup_runs}: {runs[-1]}")
    return runs


# Typing --------------------------------------------------------------------

def managed_window(session):
    """The id of ScnFerry's window once the window manager has it (WM_STATE
    set), else None. Qt names a helper window the same; it has no state."""
    for window in session.run(["xdotool", "search", "--name", f"^{APP_TITLE}$"]).stdout.split():
        if "window state:" in session.run(["xprop", "-id", window, "WM_STATE"]).stdout:
            return window
    return None


class ScnFerryTool:
    """The program on a pty: what is written into the line is typed."""

    name = "ScnFerry"
    # After a long burst ScnFerry may hold the next one back until the keys
    # it needs have been read by every client (several seconds on X11):
    # late, not lost.
    give_up_s = 30.0

    def __init__(self, stack, session, args):
        self.line = ScannerLine(stack, session.owner())
        self.proc = session.popen([args.app, f"{self.line.path},9600,N,8,1"], **session.app_env())
        stack.callback(stop_process, self.proc)
        wait_until(lambda: opened_path(self.proc.pid, self.line.path) or self.proc.poll() is not None,
                   START_TIMEOUT, "ScnFerry to open the port")
        if self.proc.poll() is not None:
            raise RuntimeError(f"ScnFerry ended with {self.proc.returncode}")
        # Its window comes up minimised; the receiver takes the focus only
        # once the window manager has taken that window in.
        self.window = wait_until(lambda: managed_window(session), START_TIMEOUT,
                                 "the window manager to take in the ScnFerry window")

    def send(self, text, paced=False):
        data = text.encode()
        if paced:
            first, last = self.line.write_paced(data)
        else:
            first = time.monotonic_ns()
            self.line.write_block(data)
            last = time.monotonic_ns()
        return first, last, lambda: False


class CommandTool:
    """A typing tool run once per payload, as a script would run it."""

    def __init__(self, session, name, argv):
        self.session = session
        self.name = name
        self.give_up_s = 5.0
        self._argv = argv

    def send(self, text, paced=False):
        first = time.monotonic_ns()
        proc = self.session.popen([*self._argv, text])
        # The tool has no line: its "last byte" is its start.
        return first, first, lambda: proc.poll() is None


def run_scans(tool, receiver, count):
    """`count` EAN-13 scans, each paced at 9600 baud, a tenth of a second
    apart as from a quick hand; latency is from the last byte written (or the
    tool's start) to the moment the receiver held the whole scan."""
    clock = receiver.clock
    expected = ""
    latencies, rates = [], []
    base = clock.size()
    missing = 0
    for i in range(count):
        scan = payloads.ean13_scan(i)
        want = payloads.typed_as(scan)
        expected += want
        target = base + len(want.encode())
        first, last, busy = tool.send(scan, paced=True)
        clock.settle(target, quiet_s=0.1, give_up_s=2.0, busy=busy)
        done = clock.first_reaching(target, first)
        if done is None:
            missing += 1
        else:
            latencies.append(ms(done - last))
            rates.append(len(scan) / ((done - first) / 1e9))
        base = clock.size()
    got = clock.read_from(0).decode(errors="replace")
    score = payloads.score(expected, got)
    return {"runs": count, "exact": score == {"lost": 0, "extra": 0, "changed": 0},
            "latencies_ms": latencies, "rates": rates, "incomplete": missing, **score}


def run_bulk(tool, receiver, text, reps):
    clock = receiver.clock
    want = payloads.typed_as(text)
    rates, wm_ticks, exact = [], [], 0
    totals = {"lost": 0, "extra": 0, "changed": 0}
    wm = receiver.session.wm_pid
    for _ in range(reps):
        base = clock.size()
        wm_before = cpu_ticks(wm)
        first, _, busy = tool.send(text)
        clock.settle(base + len(want.encode()), quiet_s=0.5, give_up_s=tool.give_up_s, busy=busy)
        end, _ = clock.last_change()
        # What the keymap changes cost the desktop: the window manager's
        # (or compositor's) CPU time until it has caught up.
        wait_quiet(wm)
        wm_ticks.append(cpu_ticks(wm) - wm_before)
        got = clock.read_from(base).decode(errors="replace")
        score = payloads.score(want, got)
        for k in totals:
            totals[k] += score[k]
        exact += all(v == 0 for v in score.values())
        if end > first:
            rates.append(len(text) / ((end - first) / 1e9))
    return {"runs": reps, "exact_runs": exact, "rates": rates, "wm_ticks": wm_ticks, **totals}


def bench_typing(session, tools_for, args):
    """Every tool and payload in one session. Returns rows and the idle
    figures of the program after it has typed everything."""
    rows = []
    with contextlib.ExitStack() as stack:
        scnferry = ScnFerryTool(stack, session, args)
        for tool in tools_for(scnferry):
            for payload, text in [("EAN-13 scan", None), *BULK_PAYLOADS]:
                with contextlib.ExitStack() as per_run:
                    receiver = Receiver(per_run, session, args.receiver)
                    receiver.focus()
                    if text is None:
                        result = run_scans(tool, receiver, args.scans)
                    else:
                        result = run_bulk(tool, receiver, text, args.reps)
                row = {"session": session.kind, "tool": tool.name, "payload": payload, **result}
                rows.append(row)
                log(f"{session.kind} {tool.name} {payload}: "
                    f"{json.dumps({k: v for k, v in row.items() if k not in ('latencies_ms', 'rates')})} "
                    f"rate {median_or_none(row['rates'])}")
        # Idle: the program has typed everything above and its keymap grace
        # timers have run out.
        time.sleep(2.0)
        before = cpu_ticks(scnferry.proc.pid)
        time.sleep(args.idle_seconds)
        idle = {"session": session.kind, "seconds": args.idle_seconds,
                "ticks": cpu_ticks(scnferry.proc.pid) - before,
                "rss_mib": rss_kib(scnferry.proc.pid) / 1024}
    return rows, idle


def x11_tools(session):
    def tools(scnferry):
        found = [scnferry]
        if tool_available("xdotool"):
            found += [CommandTool(session, "xdotool type (default delay)", ["xdotool", "type", "--"]),
                      CommandTool(session, "xdotool type --delay 0",
                                  ["xdotool", "type", "--delay", "0", "--"])]
        return found
    return tools


def sway_tools(session):
    def tools(scnferry):
        found = [scnferry]
        if tool_available("wtype"):
            found.append(CommandTool(session, "wtype", ["wtype"]))
        return found
    return tools


# Report ----------------------------------------------------------------------

def median_or_none(values):
    return statistics.median(values) if values else None


def fmt(value, digits=0):
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.partition(":")[2].strip()
                break
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release()}


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def startup_table(runs):
    def stat(key, digits=1):
        values = [r[key] for r in runs]
        return fmt(statistics.median(values), digits), fmt(payloads.percentile(values, 90), digits)
    rows = []
    for key, label, target in [("port_ms", "port open (ms)", ""),
                               ("window_ms", "window created (ms)", ""),
                               ("ready_ms", "port open and window managed (ms)", "< 150"),
                               ("rss_mib", "resident memory, VmRSS (MiB)", "< 40")]:
        med, p90 = stat(key)
        rows.append([label, med, p90, target])
    return table(["start-up, %d runs" % len(runs), "median", "p90", "target"], rows)


def typing_table(rows):
    body = []
    for r in rows:
        exact = (f"{r['exact_runs']}/{r['runs']}" if "exact_runs" in r
                 else ("all" if r["exact"] else "no") + f" ({r['runs']} scans)")
        body.append([r["session"], r["tool"], r["payload"], fmt(median_or_none(r["rates"])),
                     r["lost"], r["extra"], r["changed"], exact,
                     fmt(median_or_none(r.get("wm_ticks", [])))])
    return table(["session", "tool", "payload", "chars/s (median)", "lost", "doubled/extra",
                  "changed", "exact runs", "WM/compositor CPU ticks a run (median)"], body)


def latency_table(rows):
    body = []
    for r in rows:
        if r["payload"] != "EAN-13 scan":
            continue
        lat = r["latencies_ms"]
        since = "last byte" if r["tool"] == "ScnFerry" else "tool start"
        slow = [i for i, v in enumerate(lat) if v > 5.0]
        shown = ", ".join(str(i) for i in slow[:8]) + (", ..." if len(slow) > 8 else "")
        body.append([r["session"], r["tool"], since, len(lat),
                     fmt(median_or_none(lat), 2), fmt(payloads.percentile(lat, 99) if lat else None, 2),
                     fmt(max(lat) if lat else None, 1), f"{len(slow)}" + (f" (#{shown})" if slow else ""),
                     r["incomplete"]])
    return table(["session", "tool", "measured from", "scans", "median (ms)", "p99 (ms)", "max (ms)",
                  "over 5 ms (scan numbers from 0)", "incomplete"], body)


def idle_table(idles):
    return table(["session", "idle seconds", "CPU ticks (utime+stime)", "VmRSS after typing (MiB)"],
                 [[i["session"], i["seconds"], i["ticks"], fmt(i["rss_mib"], 1)] for i in idles])


def find(rows, session, tool, payload):
    return next((r for r in rows if r["session"] == session and r["tool"] == tool
                 and r["payload"] == payload), None)


def reading(startup, rows, idles, sway_note):
    """A few sentences on the figures against the targets."""
    lines = []
    if startup:
        ready = statistics.median(r["ready_ms"] for r in startup)
        rss = statistics.median(r["rss_mib"] for r in startup)
        lines.append(f"- Start-up: median {ready:.0f} ms to an open port and a managed window "
                     f"({'meets' if ready < 150 else 'misses'} the 150 ms target); "
                     f"{rss:.1f} MiB resident ({'meets' if rss < 40 else 'misses'} the 40 MiB target).")
    for session in sorted({r["session"] for r in rows}):
        for payload, target in (("intl 5,000", 5000), ("CJK 300", None)):
            ours = find(rows, session, "ScnFerry", payload)
            if not ours:
                continue
            rate = median_or_none(ours["rates"]) or 0
            errors = ours["lost"] + ours["extra"] + ours["changed"]
            sentence = (f"- {session}, {payload}: ScnFerry {rate:,.0f} chars/s, {errors} wrong keys "
                        f"in {ours['runs']} runs")
            if target:
                met = rate >= target and errors == 0
                sentence += f" (target >= {target:,} chars/s and none wrong: {'met' if met else 'not met'})"
            others = []
            for other in ("xdotool type --delay 0", "xdotool type (default delay)", "wtype"):
                theirs = find(rows, session, other, payload)
                if not theirs:
                    continue
                their_rate = median_or_none(theirs["rates"])
                their_errors = theirs["lost"] + theirs["extra"] + theirs["changed"]
                ratio = f", ScnFerry/{other.split()[0]} = {rate / their_rate:.2f}" if their_rate else ""
                others.append(f"{other} {fmt(their_rate)} chars/s{ratio}, {their_errors} wrong keys")
            lines.append(sentence + ("; " + "; ".join(others) if others else "") + ".")
        scan = find(rows, session, "ScnFerry", "EAN-13 scan")
        if scan and scan["latencies_ms"]:
            p99 = payloads.percentile(scan["latencies_ms"], 99)
            lines.append(f"- {session}, scan latency after the last byte: median "
                         f"{statistics.median(scan['latencies_ms']):.2f} ms, p99 {p99:.2f} ms "
                         f"({'meets' if p99 < 5 else 'misses'} the 5 ms target).")
        licence = find(rows, session, "ScnFerry", "licence 1,000")
        if licence:
            lines.append(f"- {session}, licence record (LF, RS, CR): ScnFerry "
                         f"{licence['exact_runs']}/{licence['runs']} runs exact. The other tools "
                         f"know no Ctrl+^ for RS (xdotool drops it, wtype types a character of "
                         f"its own): one wrong key a run there is that, not speed.")
    for idle in idles:
        lines.append(f"- {idle['session']}, idle for {idle['seconds']} s after typing: "
                     f"{idle['ticks']} CPU ticks ({'meets' if idle['ticks'] == 0 else 'misses'} "
                     f"the zero target), {idle['rss_mib']:.1f} MiB resident.")
    if sway_note:
        lines.append(f"- Wayland: {sway_note}")
    return "\n".join(lines)


SCAN_RATE_NOTE = ("ScnFerry's scan rate is bounded by the 9600-baud line it reads (a byte every 1.04 ms); "
                  "the other tools are handed the whole scan at once.")

METHOD = """\
- Start-up: each run spawns `ScnFerry PTY,9600,N,8,1` under Xvfb + openbox
  with a fresh pty. "Port open" is when `/proc/PID/fd` first shows the pty
  (polled every millisecond); "window created" and "managed" come from a
  small X client (`bench/window_watch.cpp`) that listens for the window titled
  `Scanferry 0.01` and for the window manager's `WM_STATE` on it, stamped on
  the same monotonic clock. Ready = the later of port open and managed.
  Memory is VmRSS 0.5 s after ready. One unmeasured warm-up start comes first.
- Typing: ScnFerry reads a pty and types into the receiving window
  (`scnferry_receiver`, focused); the other tools are run once per payload
  with the payload as argument. The receiver appends every key to a file;
  an inotify watch on a thread stamps every change of its size. A rate is
  characters sent / (last key recorded - first byte written or tool start).
  Bulk payloads are written to the pty in one block (the program's own
  ceiling, not a serial line's). Scans are written paced at 9600 baud
  (1.04 ms a byte), 0.1 s apart; their latency is from the last byte written
  (ScnFerry) or from the tool's start (others, which have no line) to the
  moment the receiver holds the whole scan.
- Exactness: the sent text in the receiver's notation (Return for CR, LF or
  CR LF; Ctrl + the character 0x40 above for other C0 controls) aligned with
  what was recorded (difflib, no junk heuristics); keys without a partner are
  lost or extra, pairs that differ are changed.
- Idle: CPU ticks (utime + stime from `/proc/PID/stat`) over the idle
  window, 2 s after the last payload, and VmRSS then.
- Percentiles are nearest-rank; with 100 scans p99 is the second highest."""


ANALYSIS = os.path.join(HERE, "ANALYSIS.md")


def write_doc(path, command, run, startup, rows, idles, sway_note, empty_keycodes=None):
    m = run["machine"]
    now = run["date"]
    parts = [
        "# Benchmarks",
        "",
        f"Run started {now} on {m['nproc']} cores of an {m['cpu']}, Linux {m['kernel']}, "
        f"a Release build of {run['revision']}, with other work sharing the machine."
        + (f" The Xvfb keymap leaves {empty_keycodes} of its keycodes without a symbol: the room "
           "an X11 typing tool has for characters the layout lacks." if empty_keycodes else ""),
        "",
        f"Command: `{command}`",
        "",
        "## Reading",
        "",
        reading(startup, rows, idles, sway_note),
        "",
    ]
    if startup:
        parts += ["## Start-up (Xvfb + openbox, pty)", "", startup_table(startup), ""]
    if rows:
        parts += ["## Typing", "", typing_table(rows), "", SCAN_RATE_NOTE, "",
                  "## Scan latency (EAN-13, 13 digits + CR, paced at 9600 baud)", "",
                  latency_table(rows), ""]
    if idles:
        parts += ["## Idle", "", idle_table(idles), ""]
    for kept in doc_sections.kept_sections():
        parts += [kept, ""]
    if os.path.exists(ANALYSIS):
        with open(ANALYSIS) as f:
            parts += [f.read().rstrip(), ""]
    parts += ["## How it is measured", "", METHOD, ""]
    written = {line for part in parts for line in part.splitlines() if line.startswith("## ")}
    for other in doc_sections.sections_not_in(written, path):
        parts += [other, ""]
    with open(path, "w") as f:
        f.write("\n".join(parts))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--window-watch", required=True)
    parser.add_argument("--doc", help="Markdown file to write")
    parser.add_argument("--json", help="raw figures to write")
    parser.add_argument("--startup-runs", type=int, default=20)
    parser.add_argument("--scans", type=int, default=100)
    parser.add_argument("--reps", type=int, default=3, help="runs of each bulk payload")
    parser.add_argument("--idle-seconds", type=int, default=30)
    parser.add_argument("--only", choices=["startup", "x11", "sway"], action="append",
                        help="run only these parts (repeatable)")
    parser.add_argument("--command", default=" ".join(sys.argv), help="command shown in the doc")
    parser.add_argument("--from-json", help="only render the figures of an earlier run's --json")
    parser.add_argument("--revision", default="an unnamed revision", help="what was built, for the doc")
    args = parser.parse_args()
    parts = set(args.only or ["startup", "x11", "sway"])
    if args.from_json:
        parts = set()

    startup, rows, idles, sway_note = [], [], [], ""
    empty_keycodes = None
    run = {"machine": machine(), "revision": args.revision,
           "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}
    if args.from_json:
        with open(args.from_json) as f:
            saved = json.load(f)
        run = {"machine": saved["machine"], "revision": saved.get("revision", args.revision),
               "date": saved.get("date", "at an unrecorded date")}
        startup, rows, idles = saved["startup"], saved["typing"], saved["idle"]
        sway_note, empty_keycodes = saved["sway"], saved.get("empty_keycodes")
    if "startup" in parts:
        startup = bench_startup(args)
    if "x11" in parts:
        with contextlib.ExitStack() as stack:
            session = XSession(stack)
            empty_keycodes = session.empty_keycodes()
            got, idle = bench_typing(session, x11_tools(session), args)
            rows += got
            idles.append(idle)
    if "sway" in parts:
        if not os.path.exists(os.path.join(SWAY_SCRIPTS, "start-sway.sh")):
            sway_note = "not measured: the headless sway scripts are missing."
        else:
            try:
                with contextlib.ExitStack() as stack:
                    session = SwaySession(stack, SWAY_SCRIPTS)
                    got, idle = bench_typing(session, sway_tools(session), args)
                    rows += got
                    idles.append(idle)
            except (RuntimeError, TimeoutError) as e:
                sway_note = f"not measured: {e}"
                log(f"sway: {e}")

    text = []
    if startup:
        text += [startup_table(startup), ""]
    if rows:
        text += [typing_table(rows), "", latency_table(rows), ""]
    if idles:
        text += [idle_table(idles), ""]
    text += [reading(startup, rows, idles, sway_note)]
    print("\n".join(text))
    if args.doc:
        write_doc(args.doc, args.command, run, startup, rows, idles, sway_note, empty_keycodes)
    if args.json and not args.from_json:
        with open(args.json, "w") as f:
            json.dump({**run, "empty_keycodes": empty_keycodes, "startup": startup, "typing": rows, "idle": idles,
                       "sway": sway_note}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
