#!/usr/bin/env python3
"""Idle benchmark: runs the collector in console mode from a fresh folder with an HTTPTimer
of 60000 ms and no server, lets it idle, and prints its resident memory and CPU time, and
per thread its CPU time and wake-ups against the wake-ups its timers predict.

    bench/service_idle_bench.py [--exe build/linux/VBxMorvel] [--seconds 60] [--samples 6]

Resident memory is VmRSS (and the peak VmHWM) from /proc/<pid>/status; CPU time is utime +
stime from /proc/<pid>/stat (whole clock ticks), with the scheduler's nanosecond count of
the live threads (/proc/<pid>/task/*/schedstat) beside it. The idle CPU is counted from the
running report to the end of the window, so start-up work is shown apart.

Per thread (/proc/<pid>/task/<tid>/): CPU from schedstat, wake-ups as the growth of the
voluntary context switches (each one a wait that ended), with the nonvoluntary ones (the
thread was preempted by another task while it ran: machine load, not a wake-up) beside. The threads are named by their order of
creation: main, dispatcher, service-main, control. The prediction for the control thread is
the timer list's own arithmetic for this configuration: ControleTimer 60000 ms,
PakketController 2000 ms and ConnectTimer 15000 ms give a 1000 ms tick, so one wake-up per
second, plus one per connection attempt of ControleTimer (the refused attempt's handler on
the main thread enables ConnectTimer, which asks the control thread to re-arm). The main
thread's loop wakes once per attempt (the attempt's result); the others never. A voluntary
switch is also a wait for a lock: on loopback the refused attempt's result reaches the
main thread while the control thread still holds the collector's and the socket's locks,
so the main thread shows up to three more per attempt.

Beside it, in the same window, bench/idle_floor (built with the benchmarks; --floor names
it) shows the floor: a thread that only wakes once per second, nothing else. Its CPU per
minute is what 60 wake-ups cost on this machine, whatever the program does.

The limits are 6 MiB resident and 10 ms CPU per idle minute; the exit status is 1 when a
limit is exceeded. The targets (2.5 MiB, 4 ms per minute) are printed beside the figures.
"""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import Collector, free_port, proc_status, read, write  # noqa: E402

RSS_LIMIT_KIB = 6 * 1024
CPU_LIMIT_MS_PER_MINUTE = 10.0
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_ms(pid):
    with open(f"/proc/{pid}/stat") as f:
        # The command name may hold blanks; the fields after its closing parenthesis are fixed.
        fields = f.read().rsplit(")", 1)[1].split()
    utime, stime = int(fields[11]), int(fields[12])
    return (utime + stime) * 1000.0 / TICKS


def run_ms(pid):
    """CPU time of the live threads in nanosecond resolution (first field of schedstat)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            pass
    return total / 1e6


def thread_figures(pid):
    """{tid: (CPU ms from schedstat, voluntary switches, nonvoluntary switches)} of the live threads."""
    figures = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                run = int(f.read().split()[0]) / 1e6
            voluntary = preempted = 0
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        voluntary = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        preempted = int(line.split()[1])
            figures[int(tid)] = (run, voluntary, preempted)
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            pass
    return figures


THREAD_NAMES = ["main", "dispatcher", "service-main", "control"]


def predicted_wakeups(name, seconds):
    attempts = int(seconds // 60)  # ControleTimer fires 60 s after the start, then every 60 s
    if name == "control":
        return int(seconds) + attempts
    if name == "main":
        return attempts
    return 0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=os.path.join(here, "..", "build", "linux", "VBxMorvel"))
    parser.add_argument("--seconds", type=float, default=60.0, help="idle time to measure (default 60)")
    parser.add_argument("--samples", type=int, default=6, help="table rows over the idle time (default 6)")
    parser.add_argument("--floor", default=None,
                        help="the idle_floor program (default: bench/idle_floor beside the program)")
    parser.add_argument("--metrics", action="store_true",
                        help="with a MetricsFile, written after every cycle and status report")
    args = parser.parse_args()

    # Nothing listens on the port: should the window reach the first request (60 s), the
    # attempt is refused at once, which is part of an idle minute.
    app = Collector("idle-bench", exe=args.exe, config={"http_timer": 60000, "port": free_port()})
    if args.metrics:
        text = read(app.path("VBxMorvelClient.xml")).replace(
            b"</Output>", b"<MetricsFile>vbxmorvel.prom</MetricsFile>\r\n</Output>")
        write(app.path("VBxMorvelClient.xml"), text)
    floor = None
    try:
        proc = app.run_console().proc
        started = time.monotonic()
        floor_exe = args.floor or os.path.join(os.path.dirname(os.path.abspath(args.exe)), "bench", "idle_floor")
        if os.path.exists(floor_exe):
            floor = subprocess.Popen([floor_exe, "--seconds", str(int(args.seconds))], stdout=subprocess.PIPE)
        cpu_start = cpu_ms(proc.pid)
        run_start = run_ms(proc.pid)
        threads_start = thread_figures(proc.pid)
        print(f"VBxMorvel /CONSOLE idle for {args.seconds:.0f} s (pid {proc.pid}, start-up CPU {cpu_start:.1f} ms)")
        print(f"{'time s':>7} {'VmRSS KiB':>10} {'VmHWM KiB':>10} {'RssAnon':>8} {'RssFile':>8} {'threads':>7}"
              f" {'CPU ms':>8} {'idle CPU ms':>11} {'idle sched ms':>13}")
        rows = max(1, args.samples)
        last = None
        for i in range(1, rows + 1):
            time.sleep(max(0.0, started + args.seconds * i / rows - time.monotonic()))
            s = proc_status(proc.pid)
            cpu = cpu_ms(proc.pid)
            run = run_ms(proc.pid)
            last = (s, cpu, run)
            print(f"{time.monotonic() - started:7.1f} {s['VmRSS']:10d} {s['VmHWM']:10d} {s.get('RssAnon', 0):8d}"
                  f" {s.get('RssFile', 0):8d} {s['Threads']:7d} {cpu:8.1f} {cpu - cpu_start:11.1f}"
                  f" {run - run_start:13.3f}", flush=True)
        threads_end = thread_figures(proc.pid)
        elapsed = time.monotonic() - started
        s, cpu, run = last
        print()
        print(f"per thread over {elapsed:.0f} s: CPU from schedstat, wake-ups = voluntary context switches")
        print(f"{'thread':>12} {'tid':>7} {'CPU ms':>8} {'ms/min':>7} {'wake-ups':>9} {'predicted':>9} {'extra':>6}"
              f" {'preempted':>9}")
        for index, tid in enumerate(sorted(threads_end)):
            name = THREAD_NAMES[index] if len(threads_end) == len(THREAD_NAMES) else f"thread {index + 1}"
            run0, voluntary0, preempted0 = threads_start.get(tid, (0.0, 0, 0))
            run1, voluntary1, preempted1 = threads_end[tid]
            wakeups = voluntary1 - voluntary0
            predicted = predicted_wakeups(name, elapsed)
            print(f"{name:>12} {tid:7d} {run1 - run0:8.3f} {(run1 - run0) * 60.0 / elapsed:7.3f} {wakeups:9d}"
                  f" {predicted:9d} {wakeups - predicted:+6d} {preempted1 - preempted0:9d}")
        if floor is not None:
            out, _ = floor.communicate(timeout=30)
            wakes, floor_ms = out.decode().split()
            print(f"{'floor':>12} {'':>7} {float(floor_ms):8.3f} {float(floor_ms) * 60.0 / args.seconds:7.3f}"
                  f" {int(wakes):9d}   (bench/idle_floor: a thread that only wakes once per second)")
        idle_per_minute = (cpu - cpu_start) * 60.0 / args.seconds
        sched_per_minute = (run - run_start) * 60.0 / args.seconds
        print()
        print(f"resident {s['VmRSS'] / 1024:.2f} MiB (peak {s['VmHWM'] / 1024:.2f} MiB, limit "
              f"{RSS_LIMIT_KIB / 1024:.0f} MiB); idle CPU {idle_per_minute:.1f} ms per minute "
              f"(limit {CPU_LIMIT_MS_PER_MINUTE:.0f} ms; utime+stime count {1000 / TICKS:.0f} ms clock ticks, "
              f"the scheduler's own count gives {sched_per_minute:.3f} ms per minute)")
        ok = s["VmRSS"] <= RSS_LIMIT_KIB and idle_per_minute <= CPU_LIMIT_MS_PER_MINUTE
        print(f"targets: resident at most 2.5 MiB ({'met' if s['VmRSS'] <= 2560 else 'not met'}), idle CPU at most"
              f" 4 ms per minute by the scheduler's count ({'met' if sched_per_minute <= 4.0 else 'not met'})")
        print("within the limits" if ok else "LIMIT EXCEEDED")
        return 0 if ok else 1
    finally:
        if floor is not None and floor.poll() is None:
            floor.kill()
            floor.wait()
        app.close()


if __name__ == "__main__":
    sys.exit(main())
