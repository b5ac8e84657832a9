#!/usr/bin/env python3
"""Bursts of control signals, and output or status reports that go nowhere, against the
real VBxMorvel run from a fresh folder (the helpers of e2e.py).

    control_storm.py --exe build/linux/VBxMorvel --server build/linux/VBxPakketServer GROUP...

Whatever follows a stop or a shutdown, the service ends once: exactly one stop or shutdown
entry, a stopped report and exit status 0 within a few seconds. Pending standard signals
merge and come in signal-number order, so a burst may be taken in any of its orders; every
order must end the same way. Exit status 0 when every check passed, 1 otherwise.
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402 - the shared helpers live beside this script
from e2e import (CONTINUED, PAUSED, SHUTDOWN, STARTED, STOPPED, Collector, LineReader, check,  # noqa: E402
                 check_equal, run_parallel, spawn)

# A stop must end the program within this time, however it was asked for.
END_WITHIN_S = 5


def check_ends_once(app, rc, what):
    """Exit 0, one stop or shutdown entry and nothing after it but the end, a stopped report."""
    check_equal(rc, 0, f"{what}: exit status")
    texts = app.texts()
    ends = [i for i, t in enumerate(texts) if t in (STOPPED, SHUTDOWN)]
    check_equal(len(ends), 1, f"{what}: stop and shutdown entries in {texts}")
    check(all(t not in (PAUSED, CONTINUED) for t in texts[ends[0]:]),
          f"{what}: no pause or continue after the end: {texts}")
    names = [s.name for s in app.statuses()]
    check(names and names[-1] == "ssStopped", f"{what}: last report {names[-1:]}")
    first_stop = names.index("ssStopPending")
    check(set(names[first_stop:]) <= {"ssStopPending", "ssStopped"},
          f"{what}: only the end is reported after the stop: {names[first_stop:]}")
    check_equal(names.count("ssStopped"), 1, f"{what}: stopped reports")


def burst(tag, signals, between=None):
    """Runs the program to its running state, sends the signals back to back, and checks
    that it ends once. `between(app)` runs after the first signal when given."""
    with Collector(tag) as app:
        app.run_console()
        started = time.monotonic()
        first, *rest = signals
        app.signal(first)
        if between is not None:
            between(app)
        for sig in rest:
            app.signal(sig)
        rc = app.wait_exit(timeout=END_WITHIN_S + 5)
        check(time.monotonic() - started <= END_WITHIN_S, f"{tag}: ended {time.monotonic() - started:.1f} s after "
                                                            f"the burst")
        check_ends_once(app, rc, tag)
        return app.texts()


def storm():
    """stop + pause, stop + stop, shutdown + stop, Ctrl+C twice, a long pause/continue storm."""

    def stop_then_pause():
        burst("stoppause", [signal.SIGTERM, signal.SIGUSR1])

    def stop_then_continue_and_pause():
        burst("stopcont", [signal.SIGTERM, signal.SIGUSR2, signal.SIGUSR1])

    def interrupt_then_terminate():
        # Two different stop signals never merge: two stop codes reach the stand-in.
        texts = burst("stopstop", [signal.SIGINT, signal.SIGTERM])
        check(SHUTDOWN not in texts, "no shutdown")

    def shutdown_then_stop():
        burst("shutstop", [signal.SIGPWR, signal.SIGTERM])

    def shutdown_then_stop_after_its_report():
        def wait_stopping(app):
            app.wait_status("ssStopPending", timeout=END_WITHIN_S)
        texts = burst("shutrep", [signal.SIGPWR, signal.SIGTERM, signal.SIGUSR1], between=wait_stopping)
        check_equal(texts[-1], SHUTDOWN, "the shutdown handler ran, no stop handler after it")

    def ctrl_c_twice():
        def wait_stopping(app):
            app.wait_status("ssStopPending", timeout=END_WITHIN_S)
        texts = burst("ctrlc", [signal.SIGINT, signal.SIGINT], between=wait_stopping)
        check_equal(texts[-1], STOPPED, "last entry")

    def pause_continue_interrogate_storm_then_stop():
        storm = [signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP] * 100
        burst("storm", storm + [signal.SIGTERM])

    run_parallel(stop_then_pause, stop_then_continue_and_pause, interrupt_then_terminate, shutdown_then_stop,
                 shutdown_then_stop_after_its_report, ctrl_c_twice, pause_continue_interrogate_storm_then_stop)


def start_with_streams(app, stdout, stderr):
    """Starts the program in console mode with the given descriptors for its output; a
    stream that is not read by the test is replaced by an empty reader."""
    app.proc = spawn([app.exe, "/CONSOLE"], cwd=app.root, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                     env=e2e.clean_env())
    app._cond = threading.Condition()

    def reader(stream):
        if stream is not None:
            return LineReader(stream, app._cond)
        r, w = os.pipe()
        os.close(w)
        return LineReader(os.fdopen(r, "rb"), app._cond)

    app.out = reader(app.proc.stdout)
    app.err = reader(app.proc.stderr)


def closed_pipe_writer():
    """The write end of a pipe whose reader is already gone: every write raises SIGPIPE."""
    r, w = os.pipe()
    os.close(r)
    return w


def lost_output():
    """A status report or console output that reaches nobody loses only itself."""

    def unreachable_notify_socket():
        # A service run whose every report fails: the stand-in still decides from the state
        # reported, so the stop is held while starting and passed once running is reported.
        with Collector("nonotify") as app:
            app.start(env={"NOTIFY_SOCKET": os.path.join(app.root, "nobody-listens.sock")})
            config = app.path("VBxMorvelClient.xml")
            deadline = time.monotonic() + 20
            while not os.path.exists(config) and time.monotonic() < deadline and app.proc.poll() is None:
                time.sleep(0.05)   # nothing but the file tells that the service started
            check(os.path.exists(config), "the service started its work")
            app.signal(signal.SIGTERM)
            check_equal(app.wait_exit(timeout=END_WITHIN_S + 5), 0, "exit status after the stop")

    def notify_socket_gone_after_the_first_report():
        # The receiver goes away after the first start-pending report: every later report
        # fails, and a stop sent then is held only until the (lost) running report.
        with Collector("gonenotify") as app:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            address = os.path.join(app.root, "notify.sock")
            try:
                sock.bind(address)
                sock.settimeout(20)
                app.start(env={"NOTIFY_SOCKET": address})
                check(b"STATUS=ssStartPending" in sock.recv(4096), "the first report")
            finally:
                sock.close()
                os.unlink(address)
            app.signal(signal.SIGTERM)
            check_equal(app.wait_exit(timeout=END_WITHIN_S + 5), 0, "exit status after the stop")
            check(os.path.exists(app.path("VBxMorvelClient.xml")), "the service started its work")

    def closed_stdout():
        w = closed_pipe_writer()
        with Collector("nostdout") as app:
            try:
                start_with_streams(app, w, subprocess.PIPE)
            finally:
                os.close(w)
            app.wait_status("ssRunning")
            app.signal(signal.SIGTERM)
            rc = app.wait_exit(timeout=END_WITHIN_S + 5)
            check_equal(rc, 0, "exit status")
            check_equal([s.name for s in app.statuses()][-2:], ["ssStopPending", "ssStopped"], "last reports")

    def closed_stderr():
        w = closed_pipe_writer()
        with Collector("nostderr") as app:
            try:
                start_with_streams(app, subprocess.PIPE, w)
            finally:
                os.close(w)
            app.wait_entry(STARTED)
            app.signal(signal.SIGTERM)
            app.wait_entry(STOPPED, timeout=END_WITHIN_S)
            check_equal(app.wait_exit(timeout=END_WITHIN_S + 5), 0, "exit status")

    run_parallel(unreachable_notify_socket, notify_socket_gone_after_the_first_report, closed_stdout, closed_stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("groups", nargs="*")
    args = parser.parse_args()
    e2e.EXE, e2e.SERVER = os.path.abspath(args.exe), os.path.abspath(args.server)
    status = 0
    for name in args.groups or ["storm", "lost_output"]:
        started = time.monotonic()
        try:
            {"storm": storm, "lost_output": lost_output}[name]()
            print(f"ok   {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception:   # noqa: BLE001 - every failure is printed with its trace
            print(f"FAIL {name}", flush=True)
            traceback.print_exc()
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
