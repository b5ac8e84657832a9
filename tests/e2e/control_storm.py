#!/usr/bin/env python3
"""Bursts of control signals, and output or status reports that go nowhere, against the
real VBxMorvel run from a fresh folder.

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
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
import vbxtest  # noqa: E402
from vbxtest import (CONTINUED, PAUSED, SHUTDOWN, STARTED, STOPPED, Collector, check, check_equal,  # noqa: E402
                     run_groups, run_parallel, wait_until)

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


def burst(tag, signals, wait_stopping=False, last=None):
    """Runs the program to its running state, sends the signals back to back (after the
    first one, its stop-pending report first when wait_stopping), and checks that it ends
    once, with the entry `last` last when given."""
    with Collector(tag) as app:
        app.run_console()
        started = time.monotonic()
        first, *rest = signals
        app.signal(first)
        if wait_stopping:
            app.wait_status("ssStopPending", timeout=END_WITHIN_S)
        for sig in rest:
            app.signal(sig)
        rc = app.wait_exit(timeout=END_WITHIN_S + 5)
        check(time.monotonic() - started <= END_WITHIN_S, f"{tag}: ended {time.monotonic() - started:.1f} s after "
                                                            f"the burst")
        check_ends_once(app, rc, tag)
        if last is not None:
            check_equal(app.texts()[-1], last, f"{tag}: the last entry")


def storm():
    """stop + pause, stop + stop, shutdown + stop, Ctrl+C twice, a long pause/continue storm."""
    run_parallel(
        ("stop_then_pause", burst, "stoppause", [signal.SIGTERM, signal.SIGUSR1]),
        ("stop_then_continue_and_pause", burst, "stopcont", [signal.SIGTERM, signal.SIGUSR2, signal.SIGUSR1]),
        # Two different stop signals never merge: two stop codes reach the stand-in, and no shutdown.
        ("interrupt_then_terminate", burst, "stopstop", [signal.SIGINT, signal.SIGTERM], False, STOPPED),
        ("shutdown_then_stop", burst, "shutstop", [signal.SIGPWR, signal.SIGTERM]),
        # The shutdown handler ran, and no stop handler after it.
        ("shutdown_then_stop_after_its_report", burst, "shutrep", [signal.SIGPWR, signal.SIGTERM, signal.SIGUSR1],
         True, SHUTDOWN),
        ("ctrl_c_twice", burst, "ctrlc", [signal.SIGINT, signal.SIGINT], True, STOPPED),
        ("pause_continue_interrogate_storm_then_stop", burst, "storm",
         [signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP] * 100 + [signal.SIGTERM]))


def start_writing_into_nothing(app, stream):
    """Starts the program in console mode with `stream` ("stdout" or "stderr") the write end
    of a pipe whose reader is already gone: every write to it raises SIGPIPE."""
    r, w = os.pipe()
    os.close(r)
    try:
        app.start("/CONSOLE", **{stream: w})
    finally:
        os.close(w)


def lost_output():
    """A status report or console output that reaches nobody loses only itself."""

    def unreachable_notify_socket():
        # A service run whose every report fails: the stand-in still decides from the state
        # reported, so the stop is held while starting and passed once running is reported.
        with Collector("nonotify") as app:
            app.start(env={"NOTIFY_SOCKET": os.path.join(app.root, "nobody-listens.sock")})
            # Nothing but the file tells that the service started.
            wait_until(lambda: os.path.exists(app.path("VBxMorvelClient.xml")) or app.proc.poll() is not None, 20,
                       "the configuration file")
            check(os.path.exists(app.path("VBxMorvelClient.xml")), "the service started its work")
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
        with Collector("nostdout") as app:
            start_writing_into_nothing(app, "stdout")
            app.wait_status("ssRunning")
            app.signal(signal.SIGTERM)
            rc = app.wait_exit(timeout=END_WITHIN_S + 5)
            check_equal(rc, 0, "exit status")
            check_equal([s.name for s in app.statuses()][-2:], ["ssStopPending", "ssStopped"], "last reports")

    def closed_stderr():
        with Collector("nostderr") as app:
            start_writing_into_nothing(app, "stderr")
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
    vbxtest.PROGRAM = os.path.abspath(args.exe)
    return run_groups({"storm": storm, "lost_output": lost_output}, args.groups)


if __name__ == "__main__":
    sys.exit(main())
