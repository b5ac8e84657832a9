#!/usr/bin/env python3
"""End-to-end tests: the real VBxMorvel, from a fresh folder per case, against VBxPakketServer
and a stand-in for systemd's notification socket. Each GROUP is a function marked @group (exit
0, 1 or 77 as run_groups says); independent runs in a group go in parallel to keep them short.
"""
import argparse
import base64
import collections
import contextlib
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
import vbxtest  # noqa: E402
from vbxtest import (BUFFER_FULL, CONFIGURED, CONTINUED, CONTINUE_REPORTS, DONE, EOT, FORCED, INSTALLED,  # noqa: E402
                     INSTALLED_CONFIG, INVALID, MIB, PAUSED, PAUSE_REPORTS, RECEIVED, SENT, SHUTDOWN, SOH,
                     SOURCE, STARTED, START_REPORTS, STOPPED, STOP_REPORTS, STX, TEXT_1063, TEXT_1460, UNINSTALLED,
                     UNIT, UNIT_DIR, UNIT_PATH, WANTS_LINK, Closing, Collector, PacketServer, ScriptedServer, Skip,
                     check, check_equal, clean_env, config_bytes, config_text, cp1252, die_with_parent, document,
                     exchange, in_private_namespace, install_failure, private_mounts_or_skip,
                     proc_status, read, run_groups, run_one, run_parallel, spawn, tree, wait_until, write)

VERSION = None  # the project's version, which every journal entry carries
SANITIZE = ""   # the sanitizer of the build under test, if any
PRELOAD = None  # the fault-injection library for the slow-step tests (plain build only)
OUTPUT = "BrivonTV/XML/TV_BRIVON.XML"


def check_clean_stop(app, rc=None):
    """Exit status 0 (of a stop by SIGTERM when rc is not given) and the stop's two reports."""
    check_equal(app.stop() if rc is None else rc, 0, "exit status after the stop")
    check_equal([s.tuple() for s in app.statuses()][-2:], STOP_REPORTS, "the last two status reports")


def check_no_packet(app, what=""):
    check(RECEIVED not in app.texts(), f"{what}no packet entry")
    check(not os.path.exists(app.path(OUTPUT)), f"{what}no output file")


def configured(port=4001, binding="127.0.0.1"):
    return CONFIGURED.format(binding, port)


@contextlib.contextmanager
def served(tag, http_timer, *extra, **server_args):
    """A fresh copy of the program in console mode that asks a PacketServer (of these
    arguments) every http_timer ms: (server, program)."""
    with PacketServer(*extra, **server_args) as server, Collector(tag) as app:
        app.write_config(http_timer=http_timer, port=server.port)
        app.run_console()
        yield server, app


@contextlib.contextmanager
def service_run(tag, config=None, **env):
    """A fresh copy of the program run as a service with a NotifyReceiver as its notification
    socket and `env`, reported running: (program, receiver)."""
    with Collector(tag, config=config) as app, NotifyReceiver(app.root) as receiver:
        app.start(env=receiver.env(**env))
        receiver.wait_status("ssRunning")
        yield app, receiver


# ---------------------------------------------------------------------------------------
# Groups.

GROUPS = {}


def group(fn):
    GROUPS[fn.__name__] = fn
    return fn


# A reply document with LF-only and CR-only line ends, no final line end, an "é" in
# ISO 8859-1 and the byte 0x80 (U+0080, which Windows-1252 lacks).
REPLY_DOCUMENT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<BrivonTV>\n'
                  b"<Zender naam=\"Caf\xe9\">Nieuws\x80</Zender>\r<Leeg/>\r\n</BrivonTV>")
REPLY_OUTPUT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\r\n<BrivonTV>\r\n'
                b"<Zender naam=\"Caf\xe9\">Nieuws?</Zender>\r\n<Leeg/>\r\n</BrivonTV>\r\n")


@group
def cycles():
    """Whole cycles against a server that answers at once, refuses, never answers or answers
    wrong. A missing output folder and a configuration without a port are the unit tests'
    (ReceiveTest, SupervisionTest.ConnectErrors)."""

    def good_cycle():
        # 2500 ms keeps every reply processed (ticks every 2000 ms) before the next request.
        with served("good", 2500, reply=REPLY_DOCUMENT) as (server, app):
            app.wait_entry(RECEIVED, count=2, timeout=30)
            check_clean_stop(app)
            entries = app.entries()
            check_equal([e.text for e in entries], [STARTED, configured(server.port), SENT, DONE, RECEIVED, SENT, DONE,
                                                    RECEIVED, STOPPED], "entries")
            check_equal({(e.source, e.type, e.category, e.event_id) for e in entries}, {(SOURCE, "information", 0, 1)},
                        f"source, type, category and event id of every entry: {entries}")
            check_equal(read(app.path(OUTPUT)), REPLY_OUTPUT, "TV_BRIVON.XML")
            check_equal(os.listdir(app.path("BrivonTV/XML")), ["TV_BRIVON.XML"], "output folder")
            # The request's bytes are the unit tests' (RequestTest); the server judges the real ones.
            verdicts = [line for line in server.lines() if line.startswith("request")]
            check(len(verdicts) >= 2 and all(v.startswith("request ok") for v in verdicts),
                  f"the server accepted every request: {verdicts}")
            check_equal(START_REPORTS, [s.tuple() for s in app.statuses()][:3], "start reports")

    def refused_server():
        # Sent, finished, no watchdog warning; the next firing tries again.
        with served("refused", 1000, mode="refuse") as (server, app):
            app.wait_entry(DONE, count=2, timeout=20)
            check_clean_stop(app)
            entries = app.entries()
            check_equal([e.text for e in entries[:2]], [STARTED, configured(server.port)], "start entries")
            # A send error between the two is allowed to surface as one warning.
            attempts = "".join({SENT: "S", DONE: "D"}.get(e.text, e.type[0].upper()) for e in entries[2:-1])
            check(re.fullmatch(r"(SW?D){2,}(SW?)?", attempts) is not None, f"two attempts or more: {entries}")
            check(FORCED not in app.texts(), "no watchdog")
            check_no_packet(app)

    def silent_server_watchdog():
        # A server that never answers: the watchdog closes the session about 15 s after it opened.
        with served("silent", 2000, mode="silent") as (server, app):
            running = app.wait_status("ssRunning").arrived
            # The watchdog is on from start-up; the first connect does not restart it.
            first = app.wait_entry(FORCED, timeout=30)
            check(13.0 <= first.arrived - running <= 19.0,
                  f"first watchdog {first.arrived - running:.1f} s after start-up")
            second_sent = app.wait_entry(SENT, count=2, timeout=10)
            second = app.wait_entry(FORCED, count=2, timeout=30)
            check(13.5 <= second.arrived - second_sent.arrived <= 18.0,
                  f"second watchdog {second.arrived - second_sent.arrived:.1f} s after its connect")
            app.wait_entry(DONE, count=2, timeout=5)
            check_clean_stop(app)
            entries = app.entries()
            check_equal([e.text for e in entries[:8]], [STARTED, configured(server.port), SENT, FORCED, DONE, SENT,
                                                        FORCED, DONE], "entries of two silent sessions")
            check_equal([e.type for e in entries if e.text == FORCED], ["warning", "warning"], "watchdog type")
            server.wait_line(r"^connection 2 ", timeout=5)

    def faulty_reply(mode, sessions):
        # Cut, reset, garbled, or a NUL before the frame (whose EOT closes the session).
        with served(mode, 1000, mode=mode) as (server, app):
            # One processing tick after the second session proves nothing was taken as a packet.
            app.wait_entry(DONE, count=sessions, timeout=40)
            check(FORCED not in app.texts(), f"{mode}: the server's close ends the session, not the watchdog")
            check_clean_stop(app)
            check(all(e.source == SOURCE for e in app.entries()), "entries under the service's name")
            if mode != "nul":
                check_no_packet(app, f"{mode}: ")

    run_parallel(good_cycle, refused_server, silent_server_watchdog,
                 *((mode, faulty_reply, mode, 2 if mode == "nul" else 3)
                   for mode in ("partial", "reset", "garbage", "nul")))


@group
def signals():
    """The first start's tree and files, pause, continue, interrogate, custom codes, stop and
    shutdown through signals; a start that fails."""

    def first_start_pause_continue_interrogate_stop():
        # The program writes its default configuration: HTTPTimer 60000, so no connection
        # is tried while this runs, and the watchdog warns once, 15 s after start-up. The
        # document holds the folder in the 8-bit code page: "ë" is one byte there.
        with Collector("signals", "cliënt map") as app:
            app.run_console()
            running = app.wait_status("ssRunning").arrived
            for sig, state, count in ((signal.SIGUSR1, "ssPaused", 1), (signal.SIGHUP, "ssPaused", 2),
                                      (signal.SIGRTMIN + 1, None, 0),   # custom code 129: no report
                                      (signal.SIGUSR2, "ssRunning", 2), (signal.SIGHUP, "ssRunning", 3)):
                app.signal(sig)
                if state:
                    app.wait_status(state, count=count)
            forced = app.wait_entry(FORCED, timeout=30)
            check(13.0 <= forced.arrived - running <= 20.0, f"watchdog {forced.arrived - running:.1f} s after start-up")
            check_clean_stop(app)
            # Each interrogation reports the state again.
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS + PAUSE_REPORTS + PAUSE_REPORTS[-1:]
                        + CONTINUE_REPORTS + CONTINUE_REPORTS[-1:] + STOP_REPORTS, "status reports")
            check_equal([(e.text, e.type) for e in app.entries()],
                        [(t, "warning" if t == FORCED else "information")
                         for t in (INSTALLED_CONFIG, STARTED, configured(), PAUSED, CONTINUED, FORCED, STOPPED)],
                        "entries and their types")
            expected = config_bytes(app.base)
            for name in ("VBxMorvelClient.xml", "BrivonTV/Config/readme.xml"):
                check_equal(read(app.path(name)), expected, name)
            check_equal(tree(app.path("BrivonTV"), relative=True), ["Config", "Config/readme.xml", "Logs", "XML"],
                        "the working tree")

    def pause_holds_the_timers():
        with served("pause", 1000) as (server, app):
            app.wait_entry(RECEIVED, timeout=20)
            app.signal(signal.SIGUSR1)
            app.wait_status("ssPaused")
            # A connect started just before the pause may still report; loopback settles at once.
            time.sleep(0.5)
            sent_before = app.texts().count(SENT)
            time.sleep(3.0)   # absence of timer events cannot be awaited
            check_equal(app.texts().count(SENT), sent_before, "connections while paused")
            app.signal(signal.SIGUSR2)
            app.wait_status("ssRunning", count=2)
            app.wait_entry(SENT, count=sent_before + 1, timeout=10)
            check_clean_stop(app)

    def stop_while_connected():
        with served("stopconn", 1000, mode="silent") as (server, app):
            app.wait_entry(SENT)
            server.wait_line(r"^answer: none")
            check_clean_stop(app)
            check_equal(app.texts()[-3:], [SENT, DONE, STOPPED], "a stop closes the session first")

    def ended_by(sig, last, folder="app"):
        with Collector("end", folder) as app:
            app.run_console()
            check(os.path.isfile(app.path("VBxMorvelClient.xml")), "the configuration beside the executable")
            app.signal(sig)
            check_equal(app.wait_exit(), 0, "exit status")
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS + STOP_REPORTS, "status reports")
            ends = [t for t in app.texts() if t in (STOPPED, SHUTDOWN)]   # no stop handler on shutdown
            check_equal((app.texts()[-1], ends), (last, [last]), "the last entry, and the stop and shutdown entries")

    def failed_start():
        # A file where the tree's first folder belongs: the start fails, the process ends with 1.
        with Collector("failstart") as app:
            write(app.path("BrivonTV"), b"")
            app.start("/CONSOLE")
            check_equal(app.wait_exit(), 1, "exit status after a failed start")
            errors = [e.text for e in app.entries() if e.type == "error"]
            check(len(errors) == 1 and errors[0].startswith("Service failed on start: "), f"the failure: {errors}")
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS[:2] + STOP_REPORTS[1:], "status reports")

    run_parallel(first_start_pause_continue_interrogate_stop, pause_holds_the_timers, stop_while_connected,
                 ("shutdown", ended_by, signal.SIGPWR, SHUTDOWN),
                 # The executable's path, longer than 256 bytes, is read whole.
                 ("interrupt_stops_from_a_long_path", ended_by, signal.SIGINT, STOPPED, "d" * 250),
                 failed_start)


def parse_notify(datagram):
    return dict(line.partition("=")[::2] for line in datagram.decode("utf-8").split("\n") if line)


class NotifyReceiver(Closing):
    """A stand-in for systemd's notification socket (in the folder, or an abstract one) that
    notes when each datagram came."""

    def __init__(self, folder, abstract=False):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if abstract:
            name = f"vbx-e2e-notify-{os.getpid()}-{threading.get_ident()}"
            self.sock.bind("\0" + name)
            self.address = "@" + name
        else:
            self.address = os.path.join(folder, "notify.sock")
            self.sock.bind(self.address)
        self.sock.settimeout(0.2)
        self.received, self.cond, self.done = [], threading.Condition(), False   # received: (time, fields)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done:
            try:
                datagram = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.cond:
                self.received.append((time.monotonic(), parse_notify(datagram)))
                self.cond.notify_all()

    def env(self, **extra):
        return {"NOTIFY_SOCKET": self.address, **extra}

    def pings(self, since=0.0, until=float("inf")):
        with self.cond:
            return [t for t, f in self.received if f == {"WATCHDOG": "1"} and since <= t < until]

    def statuses(self):
        with self.cond:
            return [f.get("STATUS") for _, f in self.received if "STATUS" in f]

    def wait(self, predicate, timeout, what):
        with self.cond:
            if not self.cond.wait_for(predicate, timeout):
                raise AssertionError(f"timed out after {timeout} s waiting for {what}; received {self.received}")

    def wait_status(self, name, timeout=20):
        self.wait(lambda: name in self.statuses(), timeout, f"STATUS={name}")

    def close(self):
        self.done = True
        self.thread.join(5)
        self.sock.close()


@contextlib.contextmanager
def thread_stopped(tid):
    """Stops one thread of another process, and only it, for the block, with ptrace
    (PTRACE_SEIZE and PTRACE_INTERRUPT; SIGSTOP would stop every thread)."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.restype = ctypes.c_long
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    if libc.ptrace(0x4206, tid, None, None) != 0:
        raise Skip(f"ptrace is not allowed here ({os.strerror(ctypes.get_errno())}): "
                   "the control thread cannot be stopped on its own")
    check(libc.ptrace(0x4207, tid, None, None) == 0, "PTRACE_INTERRUPT")
    os.waitpid(tid, 0x40000000)   # __WALL
    try:
        yield
    finally:
        check(libc.ptrace(17, tid, None, None) == 0, f"PTRACE_DETACH: {os.strerror(ctypes.get_errno())}")


# The system calls a thread blocked in its message loop waits in (x86-64 and arm64 numbers:
# epoll_wait, epoll_pwait, epoll_pwait2).
EPOLL_WAIT_CALLS = {"232", "281", "441", "22"}


def control_thread(pid, timeout=10):
    """The control thread: besides the main thread, the one thread that waits in a message
    loop (the dispatcher waits in poll, the service-main thread in a join)."""
    def waiting_in_a_loop():
        candidates = []
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                    if int(tid) != pid and f.read().split()[0] in EPOLL_WAIT_CALLS:
                        candidates.append(int(tid))
            except OSError:
                continue
        return candidates[0] if len(candidates) == 1 else None
    return wait_until(waiting_in_a_loop, timeout, "a single control thread waiting in its loop")


@group
def service_notify():
    """A service run reports every state to NOTIFY_SOCKET and pings the watchdog while both
    loops serve; a start by hand ends quietly."""
    # WATCHDOG=1 every third of WATCHDOG_USEC while both loops serve; none otherwise.
    period = 0.2    # WATCHDOG_USEC=600000

    def reports(abstract):
        with Collector("notify") as app, NotifyReceiver(app.root, abstract) as receiver:
            app.start(env=receiver.env())
            for sig, count in ((None, 3), (signal.SIGUSR1, 5), (signal.SIGUSR2, 7), (signal.SIGTERM, 9)):
                if sig:
                    app.signal(sig)
                receiver.wait(lambda: len(receiver.received) >= count, 20, f"{count} datagrams")
                if sig is None:
                    time.sleep(6 * period)   # without WATCHDOG_USEC no ping comes in between
            check_equal(app.wait_exit(), 0, "exit status")
            # Each datagram's fields are the unit tests' (LinuxFormats); here the reports that arrive.
            fields = ("STATUS", "X_SERVICE_STATE", "X_CONTROLS_ACCEPTED", "X_CHECKPOINT", "X_WAIT_HINT")
            check_equal([tuple(f.get(k) for k in fields) for _, f in receiver.received],
                        [tuple(map(str, r)) for r in START_REPORTS + PAUSE_REPORTS + CONTINUE_REPORTS + STOP_REPORTS],
                        "notification datagrams")
            check_equal(([f.get("READY") for _, f in receiver.received].count("1"), app.out.texts(), app.err.texts()),
                        (2, [], []), "READY=1 with each running, and no console output")
            check(os.path.isfile(app.path("VBxMorvelClient.xml")), "the service started its work")

    def by_hand(*args):
        with Collector("byhand") as app:
            app.start(*args)
            check_equal((app.wait_exit(), app.out.texts(), app.err.texts(), os.path.exists(app.path("BrivonTV"))),
                        (0, [], [], False), f"{args}: exit status, no output, no working tree (no service start)")

    def check_rhythm(receiver, count, what):
        since = time.monotonic()
        receiver.wait(lambda: len(receiver.pings(since)) >= count, 10, f"{count} pings {what}")
        gaps = [b - a for a, b in zip(receiver.pings(since), receiver.pings(since)[1:])]
        check(0.7 * period <= sum(gaps) / len(gaps) <= 1.5 * period, f"{what}: pings about every {period} s: {gaps}")
        check(max(gaps) < 3 * period, f"{what}: no gap of a whole timeout, gaps {gaps}")

    def running_paused_and_blocked():
        with service_run("watchdog", WATCHDOG_USEC="600000") as (app, receiver):
            check_rhythm(receiver, 6, "while running")
            # Paused, the control thread only waits for a control code: the pings go on.
            app.signal(signal.SIGUSR1)
            receiver.wait_status("ssPaused")
            check_rhythm(receiver, 5, "while paused")
            app.signal(signal.SIGUSR2)
            receiver.wait(lambda: receiver.statuses()[-1] == "ssRunning", 20, "running again")

            # The control thread stopped on its own (as a handler stuck would leave it):
            # the main loop still ticks, but without an answer to its heartbeat it stops
            # pinging after at most the one heartbeat answered before.
            with thread_stopped(control_thread(app.proc.pid)):
                t2 = time.monotonic()
                time.sleep(8 * period)
                check(len(receiver.pings(t2)) <= 1,
                      f"pings stop while the control thread is stopped: {receiver.pings(t2)}")
                check(receiver.pings(t2 + 3 * period) == [], f"no ping two ticks after the stop: {receiver.pings(t2)}")
            t3 = time.monotonic()
            receiver.wait(lambda: len(receiver.pings(t3)) >= 2, 10, "pings again once the thread runs")
            check_equal(app.stop(), 0, "exit status")
            receiver.wait_status("ssStopped")

    def console_sends_nothing():
        with Collector("console") as app, NotifyReceiver(app.root) as receiver:
            app.start("/CONSOLE", env=receiver.env(WATCHDOG_USEC="600000"))
            app.wait_status("ssRunning")
            time.sleep(6 * period)
            check_equal((app.stop(), receiver.received), (0, []), "exit status and datagrams in console mode")

    run_parallel(("socket_path", reports, False), ("abstract_socket", reports, True),
                 ("started_by_hand", by_hand), ("silent_alone_is_a_service_run", by_hand, "/SILENT"),
                 # How WATCHDOG_USEC and WATCHDOG_PID are read is WatchdogTimeout.ReadAsSystemdReadsIt's.
                 running_paused_and_blocked, console_sends_nothing)


# ---------------------------------------------------------------------------------------
# Installation, in a private mount namespace: /etc/systemd/system and /run are fresh tmpfs
# folders, /run holding a stand-in journal socket, so nothing reaches the machine. The group
# re-runs this script inside `unshare -m`.

def parse_journal(datagram):
    fields, i = {}, 0
    while i < len(datagram):
        nl = datagram.index(b"\n", i)
        line = datagram[i:nl]
        if b"=" in line:
            key, _, value = line.partition(b"=")
            i = nl + 1
        else:   # binary-safe form: name, LF, 64-bit little-endian size, value, LF
            key = line
            (size,) = struct.unpack("<Q", datagram[nl + 1:nl + 9])
            value = datagram[nl + 9:nl + 9 + size]
            i = nl + 9 + size + 1
        fields[key.decode()] = value.decode("utf-8")
    return fields


class Journal:
    def __init__(self):
        os.makedirs("/run/systemd/journal", exist_ok=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/run/systemd/journal/socket")
        self.sock.settimeout(0.2)

    def drain(self):
        """The entries received so far; each must carry the program's version. (An entry too
        large for a datagram comes as a sealed file: JournalTest checks those.)"""
        entries = []
        with contextlib.suppress(socket.timeout):
            while True:
                entries.append(parse_journal(self.sock.recv(1 << 22)))
        for e in entries:
            check_equal(e.get("VBX_VERSION"), VERSION, f"version field of the entry {e.get('MESSAGE')!r}")
        return entries

    def view(self):
        """The entries received so far as (identifier, priority, type, category, id, text)."""
        return [(e.get("SYSLOG_IDENTIFIER"), e.get("PRIORITY"), e.get("EVENT_TYPE"), e.get("EVENT_CATEGORY"),
                 e.get("EVENT_ID"), e.get("MESSAGE")) for e in self.drain()]


def info_entry(text):
    return (SOURCE, "6", "4", "0", "1", text)


def run_tool(exe, *args, user=None):
    cmd = [exe, *args]
    if user is not None:
        cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *cmd]
    p = spawn(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=clean_env())
    out, err = p.communicate(timeout=30)
    return p.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def check_unit(exe, what):
    """The unit and its link, the unit naming the executable as systemd reads it (the rest of
    its text is the unit tests', LinuxFormats.JournalNotifyAndUnitTexts)."""
    start = exe.replace("%", "%%")
    check_equal(re.findall(r"^ExecStart=.*$", read(UNIT_PATH).decode(), re.M),
                [f'ExecStart="{start}"' if " " in exe else f"ExecStart={start}"], f"unit file {what}")
    check_equal(os.readlink(WANTS_LINK), "../" + UNIT, f"wants link {what}")


def check_no_unit(what):
    check(not os.path.lexists(UNIT_PATH) and not os.path.lexists(WANTS_LINK), f"no unit and no link {what}")


def box_error(verb, code, text):
    return f"Error: {install_failure(verb, code, text)}\n"


# (arguments, exit status, stdout, stderr, journal entries after it (None: not checked),
# whether the unit is there after it), run in turn from one folder.
DISPATCHER_FAILED = [("VBxMorvel", "3", "1", "0", "0", TEXT_1063)]
INSTALL_STEPS = [
    (["/INSTALL"], 0, "Information: Service installed successfully\n", "", [info_entry(INSTALLED)], True),
    (["-install"], 0, "", box_error("install", 1073, "The specified service already exists"), [], True),
    (["/UnInstall", "/silent"], 0, "", "", [info_entry(UNINSTALLED)], False),
    # The uninstall handler runs before the service is opened.
    (["/UNINSTALL"], 0, "",
     box_error("uninstall", 1060, "The specified service does not exist as an installed service"),
     [info_entry(UNINSTALLED)], False),
    # Neither spelling installs; each is a service run started by hand.
    *(([arg], 0, "", "", DISPATCHER_FAILED, False) for arg in ("INSTALL", "--install", "/INSTALL:1", "/INST")),
    # Install wins over uninstall, and SILENT keeps quiet about success only.
    (["x", "/uninstall", "-INSTALL", "/Silent"], 0, "", "", None, True),
    (["/UNINSTALL"], 0, "Information: Service uninstalled successfully\n", "", None, False),
]


def inside_namespace():
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", UNIT_DIR], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    os.makedirs(os.path.join(UNIT_DIR, "multi-user.target.wants"))
    journal = Journal()
    with Collector("install", "met spatie") as app:
        for args, status, out, err, entries, unit in INSTALL_STEPS:
            rc, stdout, stderr = run_tool(app.exe, *args)
            check_equal((rc, stdout, stderr.replace("\r\n", "\n")), (status, out, err), f"{args}: status and output")
            check_equal((os.path.lexists(UNIT_PATH), os.path.lexists(WANTS_LINK)), (unit, unit), f"{args}: unit, link")
            view = journal.view()
            if entries is not None:
                check_equal(view, entries, f"{args}: journal")
            if args == ["/INSTALL"]:
                # Its exposure is rated by systemd.real, on the units the package installs.
                check_unit(app.exe, "from a folder with a blank")
                check_equal(read(app.path("VBxMorvelClient.xml")), config_bytes(app.base),
                            "configuration written by the installation")
        check_no_unit("after the uninstall")

        # Without the right to write the unit folder the manager cannot be opened: the
        # last-chance report and exit status 1.
        os.chmod(app.root, 0o755)
        os.chmod(app.folder, 0o755)
        rc, out, err = run_tool(app.exe, "/INSTALL", user=65534)
        check_equal((rc, out), (1, ""), "install without rights: status and stdout")
        check(re.fullmatch(r"Application Error: Exception EOSError in module VBxMorvel at [0-9A-Fa-f]{16}\.\r?\n"
                           r"System Error\.  Code: 5\.\r?\nAccess is denied\.\r?\n\r?\n?", err) is not None,
              f"install without rights: stderr {err!r}")
        check_no_unit("without rights")
    check_folder_names(journal)
    check_equal(tree(UNIT_DIR, relative=True), ["multi-user.target.wants"], "unit folders left empty")

    # A root without the unit folder (a chroot without systemd): the installation makes it.
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/etc/systemd"], check=True)
    with Collector("install", "no-unit-folder") as app:
        check_equal(run_tool(app.exe, "/INSTALL", "/SILENT"), (0, "", ""), "install without /etc/systemd/system")
        check_unit(app.exe, "in the folder made for it")
        check_equal(oct(os.stat(UNIT_DIR).st_mode & 0o777), "0o755", "mode of the unit folder made")
    journal.drain()


# Folder names by the characters systemd reads in the executable path of ExecStart (tried
# with `systemd-analyze verify`): quotes, backslashes and control characters make it refuse
# the unit, whatever the escaping; everything else runs, "$" and "%" included.
FOLDER_NAMES = [("a$b", True), ("a${HOME}b$$", True), ("100% a;b", True), ("café 😀 *?[x]=#@:+!~{}<>|&()`^,", True),
                ('a"b', False), ("a'b", False), ("a\\b", False), ("a\tb", False), ("a\nb", False), ("a\x01b", False),
                ("a\x7fb", False), ("caf\udce9", False)]  # the last: "caf" and the byte E9, not UTF-8
TEXT_123 = "The filename, directory name, or volume label syntax is incorrect"


def check_folder_names(journal):
    verify = shutil.which("systemd-analyze")
    for name, accepted in FOLDER_NAMES:
        with Collector("install", name) as app:
            result = run_tool(app.exe, "/INSTALL", "/SILENT")
            if not accepted:
                check_equal(result, (1, "", box_error("install", 123, TEXT_123)), f"install from {name!r}")
                check_no_unit(f"for {name!r}")
                check_equal(journal.view(), [], f"no install handler ran for {name!r}")
                continue
            check_equal(result, (0, "", ""), f"install from {name!r}")
            check_unit(app.exe, f"for {name!r}")
            if verify:
                p = subprocess.run([verify, "verify", "--man=no", UNIT_PATH], capture_output=True, text=True,
                                   timeout=60)
                check_equal((p.returncode, p.stdout + p.stderr), (0, ""), f"systemd-analyze verify, folder {name!r}")
            check_equal(run_tool(app.exe, "/UNINSTALL", "/SILENT"), (0, "", ""), f"uninstall from {name!r}")
            journal.drain()


@group
def install_uninstall():
    """INSTALL and UNINSTALL with their failures against a private unit folder."""
    if shutil.which("setpriv") is None:
        raise Skip("no setpriv to run the installation as another user")
    if not os.path.isdir(UNIT_DIR):
        raise Skip(f"no {UNIT_DIR} to cover with a private folder")
    before = tree(UNIT_DIR)
    check_equal(run_inside_namespace("install"), 0, "checks inside the namespace")
    check_equal(tree(UNIT_DIR), before, "the machine's unit folder is unchanged")


def run_inside_namespace(name):
    """Runs the checks `name` of NAMESPACE_CHECKS in a private mount namespace; its status."""
    private_mounts_or_skip()
    return in_private_namespace("--exe", vbxtest.PROGRAM, "--server", vbxtest.SERVER, "--version", VERSION,
                                "--sanitize=" + SANITIZE, "--inside-namespace", name, timeout=120)


# The cycle mode of the packet server, which the soak relies on.
DECLARATION = b'<?xml version="1.0" encoding="ISO-8859-1"?>'
PACKET_HEAD_RE = re.compile(rb'<BrivonTV versie="1\.0" volgnr="(\d+)" lengte="(\d+)" crc32="([0-9a-f]{8})">')
GOOD_RE = re.compile(r"^good packet (\d+) sent at \d+ ms")
TURN_RE = re.compile(r"^connection \d+ from \S+ mode cycle/(\S+)$")
FRAME_RE = re.compile(rb"\x01(\d+)\x02([^\x04]*)\x04")
# Per turn: how the connection ends, its whole frames, what may come before the first SOH
# ("soh": nothing, "text": bytes without a control byte, "empty": no byte at all), and
# whether its frames hold numbered packets.
CYCLE_TURNS = [("good", "closed", 1, "soh", True), ("split", "closed", 1, "soh", True),
               ("garbage-first", "closed", 1, "text", True), ("unfinished", "closed", 0, "soh", False),
               ("reset", "reset", 0, "soh empty", False), ("silent-close", "closed", 0, "empty", False),
               ("invalid-base64", "closed", 1, "soh", False), ("two-frames", "closed", 2, "soh", True),
               ("good", "closed", 1, "soh", True)]


def packet_number(data):
    """The number of a whole packet of the cycle mode (its length and CRC-32 on its second
    line), or ValueError saying what is wrong."""
    parts = data.split(b"\r\n", 2)
    m = PACKET_HEAD_RE.fullmatch(parts[1]) if len(parts) == 3 and parts[0] == DECLARATION else None
    if m is None:
        raise ValueError(f"no packet declaration and header ({len(data)} bytes, starting {data[:100]!r})")
    number, length, crc = int(m.group(1)), int(m.group(2)), int(m.group(3), 16)
    if (len(parts[2]), zlib.crc32(parts[2])) != (length, crc):
        raise ValueError(f"packet {number}: body of {len(parts[2])} bytes and CRC-32 {zlib.crc32(parts[2]):08x}, "
                         f"header says {length} and {crc:08x}")
    return number


def before_soh(data):
    soh = data.find(SOH)
    if soh < 0:
        return "no SOH" if data else "empty"
    return "soh" if soh == 0 else "control" if set(data[:soh]) & set(b"\0\2\4") else "text"


@group
def packet_server():
    """The packet server itself: it rejects malformed requests and still answers; its cycle
    mode answers one round of eight connections and the first turn again as each turn says,
    and announces exactly the whole good replies."""
    cases = [(b"\x014\x02YWJj\x04", "request ok: 4 base64 characters, 3 bytes"),
             (b"\x015\x02YWJj\x04", "length field says 5 but the payload has 4"),
             (b"\x01004\x02YWJj\x04", "not a plain decimal number"), (b"\x014\x02YW!j\x04", "not well-formed base64")]
    with PacketServer("--count", "4") as server:
        answers = [exchange(server.port, request)[0] for request, _ in cases]
        server.wait_line(r"^closed$", count=4)
        check_equal(server.proc.wait(10), 0, "server exit status after --count 4")
        verdicts = [t for t in server.lines() if t.startswith("request")]
        for (request, verdict), line, answer in zip(cases, verdicts, answers):
            check(verdict in line, f"{request!r}: {line}")
            m = re.fullmatch(rb"\x01(\d+)\x02([A-Za-z0-9+/=]+)\x04", answer)
            check(m is not None and int(m.group(1)) == len(m.group(2)), f"framed answer {answer[:20]!r}")
        check("  abc" in server.lines(), "decoded request printed")

    with PacketServer("--size", "20000", "--count", "9", mode="cycle") as server:
        replies = [exchange(server.port) for _ in range(9)]
        check_equal(server.proc.wait(20), 0, "server exit status after --count 9")
        server.out.join(5)
        lines = server.lines()
    check_equal([m.group(1) for m in map(TURN_RE.match, lines) if m], [t[0] for t in CYCLE_TURNS], "turns")
    whole = []   # the packet numbers of the replies that hold a whole good frame first
    for (turn, end, count, lead, packets), (data, how, took) in zip(CYCLE_TURNS, replies):
        frames = FRAME_RE.findall(data)
        check_equal((how, len(frames), all(int(n) == len(p) for n, p in frames), EOT in data),
                    (end, count, True, count > 0), f"{turn}: the end, frames, their length fields and EOT")
        check(before_soh(data) in lead.split(), f"{turn}: {data[:40]!r} before the first SOH")
        if packets:
            numbers = [packet_number(base64.b64decode(p, validate=True)) for _, p in frames]
            check_equal(len(set(numbers)), len(numbers), f"{turn}: distinct packet numbers {numbers}")
            whole.append(numbers[0])
        check(turn != "silent-close" or took >= 0.8, f"silent-close: closed after {took:.2f} s")
        check(turn != "invalid-base64" or re.fullmatch(rb"[A-Za-z0-9+/]*={0,2}", frames[0][1]) is None,
              "invalid-base64: the payload is well-formed base64")
    check_equal([int(g.group(1)) for g in map(GOOD_RE.match, lines) if g], whole, "the good packets announced")


# ---------------------------------------------------------------------------------------
# Scarce resources and stalled partners: memory limits, every packet path's memory, a
# notification reader that never reads, slow steps.

def frame(payload, length=None, stx=True):
    """SOH, the length field (the payload's own length unless given), STX, payload, EOT."""
    return SOH + str(len(payload) if length is None else length).encode() + (STX if stx else b"") + payload + EOT


KLEIN = frame(base64.b64encode(b"<klein/>\r\n"))


@group
def memory_back_after_every_packet():
    """Resident memory within 1 MiB of the idle figure once a large packet is processed,
    whatever its path, and the next small reply written. Address space follows the reply:
    under a limit of the idle figure + 64 MiB a 16 MiB reply is written; under + 8 MiB it
    is dropped with the buffer-full warning."""
    if SANITIZE:
        raise Skip(f"a sanitizer's own memory ({SANITIZE}) would be measured with the program's")
    big = document(12 * MIB)
    payload = base64.b64encode(big)   # 16 MiB
    cut = len(payload) // 2
    rows = [
        # (name, reply, how its processing shows, address-space limit over the idle figure in
        # MiB, the file it writes when checked)
        ("written", frame(payload), RECEIVED, None, big),
        ("written under idle + 64 MiB", frame(payload), RECEIVED, 64, big),
        ("dropped under idle + 8 MiB", frame(payload), BUFFER_FULL, 8, None),
        ("written, line ends rewritten", frame(base64.b64encode(document(12 * MIB, b"\n"))), RECEIVED, None, None),
        ("length into the final CR LF", frame(payload, length=len(payload) + 2), RECEIVED, None, None),
        ("invalid", frame(payload[:cut] + b"*" + payload[cut + 1:]), INVALID, None, None),
        ("archived (no STX)", frame(payload, stx=False), "archive", None, None),
        ("too long", SOH + b"9" + STX + b"A" * (129 * MIB), BUFFER_FULL, None, None),
    ]

    def measure(name, reply, outcome, limit_mib, written):
        with ScriptedServer() as server, Collector("rss", config={"http_timer": 300, "port": server.port}) as app:
            app.run_console()
            server.queue(KLEIN)
            app.wait_entry(RECEIVED, timeout=30)
            idle = proc_status(app.proc.pid)
            if limit_mib:
                limit = (idle["VmSize"] + limit_mib * 1024) * 1024
                resource.prlimit(app.proc.pid, resource.RLIMIT_AS, (limit, limit))
            server.queue(reply)
            if outcome == "archive":
                wait_until(lambda: [n for n in os.listdir(app.path("BrivonTV/XML"))
                                    if re.fullmatch(r"MC_\d{16,18}\.XML", n)], 60, f"{name}: the archive file")
            else:
                shown = app.wait_entry(outcome, count=2 if outcome == RECEIVED else 1, timeout=60)
                if outcome == BUFFER_FULL:
                    check_equal((shown.source, shown.type), (SOURCE, "warning"), f"{name}: the buffer-full warning")
            check(written is None or read(app.path(OUTPUT)) == written, f"{name}: the reply written")
            rss = []
            try:
                wait_until(lambda: rss.append(proc_status(app.proc.pid)["VmRSS"]) or rss[-1] <= idle["VmRSS"] + 1024,
                           3, "resident memory back")
            except AssertionError:
                raise AssertionError(f"{name}: resident {rss[-1]} KiB after the packet, idle {idle} KiB") from None
            server.queue(KLEIN)
            app.wait_entry(RECEIVED, count=3 if outcome == RECEIVED else 2, timeout=30)
            check_equal(read(app.path(OUTPUT)), b"<klein/>\r\n", f"{name}: the next small reply written")
            check_equal(app.texts().count(BUFFER_FULL), int(outcome == BUFFER_FULL), f"{name}: buffer-full warnings")
            check_clean_stop(app)

    # Three at a time: each holds up to a frame of memory while it receives.
    for batch in (rows[:3], rows[3:6], rows[6:]):
        run_parallel(*((name, measure, name, *row) for name, *row in batch))


def stalled_partners_inside():
    """In a private mount namespace with a stand-in journal. A reader of NOTIFY_SOCKET that
    never reads, its queue full from the start: every report is kept and dropped, 12 pauses
    and continues come and go, and SIGTERM still ends the service at once; the one loss is
    logged."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    journal, entries, done = Journal(), [], threading.Event()

    def read_journal():
        # Read at once, as the journal does: the program waits for a full journal socket.
        while not done.is_set():
            entries.extend(journal.drain())
    reader = threading.Thread(target=read_journal)
    reader.start()
    try:
        with Collector("stalled") as app:
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            address = os.path.join(app.root, "notify.sock")
            notify.bind(address)
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as filler, contextlib.suppress(BlockingIOError):
                filler.setblocking(False)
                for _ in range(100000):
                    filler.sendto(b"X_FILLER=1", address)
                raise AssertionError("the notification socket never filled")
            app.start(env={"NOTIFY_SOCKET": address})
            wait_until(lambda: configured() in [e.get("MESSAGE") for e in entries], 20, "the configured entry")
            for _ in range(12):
                app.signal(signal.SIGUSR1)
                time.sleep(0.05)
                app.signal(signal.SIGUSR2)
                time.sleep(0.05)
            time.sleep(2.5)   # every report so far dropped (a kept one is tried for 2 s)
            stopped_at = time.monotonic()
            app.signal(signal.SIGTERM)
            time.sleep(0.5)   # the stop's reports are kept; room for one lets the last go
            notify.recv(64)
            check_equal(app.wait_exit(timeout=5), 0, "exit status after SIGTERM with a reader that never reads")
            check(time.monotonic() - stopped_at < 5, "ended within 5 s")
            notify.setblocking(False)
            queued = []
            with contextlib.suppress(BlockingIOError):
                while True:
                    queued.append(parse_notify(notify.recv(4096)))
            notify.close()
            check_equal((queued[-1].get("STATUS"), queued[-1].get("STOPPING")), ("ssStopped", "1"),
                        "the last report carries the stop's one-shot field")
            time.sleep(0.5)   # the journal's reader takes what is left
    finally:
        done.set()
        reader.join(5)
    lost = [e for e in entries if e.get("MESSAGE") == TEXT_1460]
    check_equal([(e["SYSLOG_IDENTIFIER"], e["PRIORITY"], e["EVENT_TYPE"]) for e in lost],
                [(SOURCE, "3", "1")], "the lost report logged once, as a failed status report")


@group
def stalled_partners():
    """A notification reader that never reads stops nothing."""
    check_equal(run_inside_namespace("stalled"), 0, "checks inside the namespace")


@group
def slow_steps():
    """The watchdog tells slow work from a hang: pings go on while a large reply is written
    to slow storage, and stop within two ticks of a lookup that never returns."""
    if not PRELOAD:
        raise Skip("no fault-injection library in this build (sanitizer builds load their run-time first)")
    tick = 1.0   # WATCHDOG_USEC=3000000

    faults = {"WATCHDOG_USEC": "3000000", "LD_PRELOAD": PRELOAD}

    def slow_write():
        big = document(24 * MIB)
        with ScriptedServer() as server, service_run("slowwrite", {"http_timer": 300, "port": server.port},
                                                     VBX_SLOW_WRITE_BYTES_PER_SECOND="4000000",
                                                     **faults) as (app, receiver):
            server.queue(frame(base64.b64encode(big)))
            output = app.path("BrivonTV/XML")
            began = wait_until(lambda: any(n.endswith(".tmp") for n in os.listdir(output)) and time.monotonic(),
                               30, "the write to begin")
            wait_until(lambda: os.path.exists(os.path.join(output, "TV_BRIVON.XML")), 60, "the written reply")
            ended = time.monotonic()
            check(ended - began > 6 * tick, f"the write took two timeouts or more ({ended - began:.1f} s)")
            pings = receiver.pings(began - tick, ended)
            gaps = [b - a for a, b in zip(pings, pings[1:])] + [ended - pings[-1] if pings else ended - began]
            check(max(gaps) < 2.5 * tick, f"pings went on during the write: gaps {gaps}")
            check(read(os.path.join(output, "TV_BRIVON.XML")) == big, "the reply written whole")
            check_equal(app.stop(), 0, "exit status")

    def blocked_lookup():
        # The mark is made in the program's working folder, its root.
        with service_run("hang", {"binding": "hang.test", "http_timer": 500}, VBX_HANG_LOOKUP="hang.test",
                         VBX_HANG_MARK="hanging", **faults) as (app, receiver):
            mark = os.path.join(app.root, "hanging")
            # The first connect looks the name up and never returns. Its progress mark
            # vouches for two ticks; with the tick's own phase the last ping comes at
            # most three ticks after the lookup began.
            hung = wait_until(lambda: os.path.exists(mark) and time.monotonic(), 20, "the lookup to hang")
            time.sleep(6 * tick)
            check(receiver.pings() != [], "pings while the lookup's mark was fresh")
            late = receiver.pings(hung + 3 * tick + 0.2)
            check(late == [], f"no ping three ticks after the lookup began: {[t - hung for t in late]}")

    run_parallel(slow_write, blocked_lookup)


def check_status(app, status, pattern):
    """STATUS: its exit status, and its line matching the pattern."""
    rc, line, _ = run_tool(app.exe, "/STATUS")
    check(rc == status and re.match(pattern, line), f"STATUS: {rc} {line!r}")


def scrape(url):
    """The page at url, or None while nothing answers there."""
    import urllib.request
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read().decode()
    except OSError:
        return None


@group
def monitoring():
    """A scripted run with faults: promtool and the node exporter take the metrics file, whose
    series match what happened; STATUS judges; each cycle sends a text-only STATUS= datagram."""
    promtool, exporter = shutil.which("promtool"), shutil.which("prometheus-node-exporter")
    if not promtool or not exporter:
        raise Skip("promtool or prometheus-node-exporter is missing (Debian: prometheus, prometheus-node-exporter)")
    with ScriptedServer() as server, Collector("metrics") as app, NotifyReceiver(app.root) as receiver:
        textfiles = app.path("textfiles")
        os.makedirs(textfiles)
        # 2500 ms: each reply is processed (ticks every 2000 ms) before the next request.
        config = config_text(app.base, http_timer=2500, port=server.port).replace(
            "</Output>", "<MetricsFile>textfiles/vbxmorvel.prom</MetricsFile>\r\n</Output>")
        write(app.path("VBxMorvelClient.xml"), cp1252(config))
        metrics = os.path.join(textfiles, "vbxmorvel.prom")
        figures = lambda: read(metrics).decode() if os.path.exists(metrics) else ""  # noqa: E731

        good = frame(base64.b64encode(b"<a/>"))
        for reply in (good, good, frame(b"!!!!"), good):
            server.queue(reply)
        app.start(env=receiver.env())
        receiver.wait_status("ssRunning")
        # A service run (its entries go to the journal): the metrics file tells the progress.
        wait_until(lambda: 'outcome="written"} 3\n' in figures() and 'outcome="invalid"} 1\n' in figures(), 40,
                   "three packets and an invalid one")
        check_status(app, 0, r"VBXMORVEL OK - last packet \d+ s ago, 6 bytes, running \| "
                             r"age=\d+s;7.5;25;0 size=6B;;;0$")
        texts = [f for _, f in receiver.received if f.get("STATUS", "").startswith("ssRunning: ")]
        check(texts and all(list(f) == ["STATUS"] for f in texts), f"text-only datagrams: {texts}")
        check(any(re.match(r"ssRunning: last packet \d\d:\d\d:\d\d, \d+ bytes$", f["STATUS"]) for f in texts),
              f"a last-packet text: {texts}")

        # The server goes away: refused connects.
        server.close()
        wait_until(lambda: "vbxmorvel_connect_failures_total 0\n" not in figures(), 20, "a refused connect")
        app.signal(signal.SIGUSR1)
        receiver.wait_status("ssPaused")
        wait_until(lambda: "vbxmorvel_service_state 7\n" in figures(), 10, "the paused state in the file")
        app.signal(signal.SIGUSR2)
        receiver.wait(lambda: receiver.statuses().count("ssRunning") == 2, 10, "running again")

        check_equal(subprocess.run([promtool, "check", "metrics"], input=read(metrics), capture_output=True).returncode,
                    0, "promtool check metrics")
        port = vbxtest.free_port()
        with subprocess.Popen([exporter, f"--web.listen-address=127.0.0.1:{port}", "--collector.disable-defaults",
                               "--collector.textfile", f"--collector.textfile.directory={textfiles}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as node:
            try:
                page = wait_until(lambda: scrape(f"http://127.0.0.1:{port}/metrics"), 20, "the node exporter")
            finally:
                node.terminate()
        served = dict(l.rsplit(" ", 1) for l in page.splitlines() if l.startswith(("vbxmorvel_", "node_textfile_")))
        replies = {f'vbxmorvel_replies_total{{outcome="{k}"}}': v for k, v in
                   (("written", "3"), ("invalid", "1"), ("archived", "0"), ("dropped", "0"), ("too_long", "0"))}
        for name, value in dict(replies, node_textfile_scrape_error="0", vbxmorvel_service_state="4",
                                vbxmorvel_request_interval_seconds="2.5", vbxmorvel_requests_sent_total="4",
                                **{f'vbxmorvel_build_info{{version="{VERSION}"}}': "1"}).items():
            check_equal(served.get(name), value, name)

        check_equal(app.stop(), 0, "exit status")
        check("vbxmorvel_service_state 1\n" in read(metrics).decode(), "the stopped state written at the stop")
        check_status(app, 2, r"VBXMORVEL CRITICAL - .*, stopped")


# ---------------------------------------------------------------------------------------
# Bursts of control signals, and output or status reports that go nowhere. Whatever follows
# a stop or a shutdown, the service ends once: exactly one stop or shutdown entry, a stopped
# report and exit status 0 within a few seconds. Pending standard signals merge and come in
# signal-number order, so a burst may be taken in any of its orders; every order must end
# the same way.

END_WITHIN_S = 5    # a stop must end the program within this time, however it was asked for


def burst(tag, signals, wait_stopping=False, last=None):
    """Sends the signals back to back to a running program (after the first, its stop-pending
    report first when wait_stopping); it ends once, with the entry `last` last when given."""
    with Collector(tag) as app:
        app.run_console()
        started = time.monotonic()
        app.signal(signals[0])
        if wait_stopping:
            app.wait_status("ssStopPending", timeout=END_WITHIN_S)
        for sig in signals[1:]:
            app.signal(sig)
        rc = app.wait_exit(timeout=END_WITHIN_S + 5)
        check(time.monotonic() - started <= END_WITHIN_S, f"{tag}: ended {time.monotonic() - started:.1f} s after it")
        texts, names = app.texts(), [s.name for s in app.statuses()]
        ends = [i for i, t in enumerate(texts) if t in (STOPPED, SHUTDOWN)]
        check_equal((rc, len(ends), names[-1:], names.count("ssStopped")), (0, 1, ["ssStopped"], 1),
                    f"{tag}: exit status, stop and shutdown entries, last report, stopped reports in {texts}")
        check(all(t not in (PAUSED, CONTINUED) for t in texts[ends[0]:]),
              f"{tag}: no pause or continue after the end: {texts}")
        check(set(names[names.index("ssStopPending"):]) <= {"ssStopPending", "ssStopped"},
              f"{tag}: only the end is reported after the stop: {names}")
        check(last in (None, texts[-1]), f"{tag}: the last entry {texts[-1:]}, not {last!r}")


@group
def control_storm():
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


@group
def control_lost_output():
    """A status report or console output that reaches nobody loses only itself."""

    def check_stopped(app, what):
        check_equal(app.stop(END_WITHIN_S + 5), 0, f"exit status after the stop {what}")
        check(os.path.exists(app.path("VBxMorvelClient.xml")), f"the service started its work {what}")

    def unreachable_notify_socket():
        # A service run whose every report fails: the stand-in still decides from the state
        # reported, so the stop is held while starting and passed once running is reported.
        # Nothing but the file tells that the service started.
        with Collector("nonotify") as app:
            app.start(env={"NOTIFY_SOCKET": os.path.join(app.root, "nobody-listens.sock")})
            wait_until(lambda: os.path.exists(app.path("VBxMorvelClient.xml")) or app.proc.poll() is not None, 20,
                       "the configuration file")
            check_stopped(app, "with no reader")

    def notify_socket_gone_after_the_first_report():
        # The receiver goes away after the first start-pending report: every later report
        # fails, and a stop sent then is held only until the (lost) running report.
        with Collector("gonenotify") as app:
            with NotifyReceiver(app.root) as receiver:
                app.start(env=receiver.env())
                receiver.wait_status("ssStartPending")
            os.unlink(receiver.address)
            check_stopped(app, "with a reader gone")

    def closed_output(stream):
        # Every write to the stream raises SIGPIPE: the write end of a pipe whose reader is gone.
        with Collector("no" + stream) as app:
            r, w = os.pipe()
            os.close(r)
            try:
                app.start("/CONSOLE", **{stream: w})
            finally:
                os.close(w)
            app.wait_status("ssRunning") if stream == "stdout" else app.wait_entry(STARTED)
            check_equal(app.stop(END_WITHIN_S + 5), 0, "exit status")
            shown = app.texts()[-1:] if stream == "stderr" else [s.name for s in app.statuses()][-2:]
            check_equal(shown, [STOPPED] if stream == "stderr" else ["ssStopPending", "ssStopped"],
                        f"the stop, on the stream other than {stream}")

    run_parallel(unreachable_notify_socket, notify_socket_gone_after_the_first_report,
                 ("closed_stdout", closed_output, "stdout"), ("closed_stderr", closed_output, "stderr"))


# ---------------------------------------------------------------------------------------
# The soak: a minute against the server's cycle mode; bench/soak_bench.py runs it longer
# and prints a table over time.

SOAK_WARM_UP_S = 15.0
SOAK_RSS_GROWTH_KIB = 2 * 1024
SOAK_RSS_ABORT_KIB = 1024 * 1024   # a collector that keeps growing is stopped here
# After a reply is complete the collector writes it at its next processing tick (2000 ms);
# a newer complete but invalid reply may take its place, so the file can trail the good
# replies by about two ticks. A queue that falls behind trails by tens of seconds.
SOAK_LAG_LIMIT_S = 6.0


class SoakWatch:
    """What a soak run sees: the good replies the server announced (arrival, number), its
    connections per turn, the packets written, and a thread's reads of TV_BRIVON.XML."""

    def __init__(self, output):
        self.lock, self.output, self.reading = threading.Lock(), output, True
        self.goods, self.turns, self.received = [], collections.Counter(), 0
        self.reads, self.torn, self.torn_examples, self.seen, self.last_read = 0, 0, [], set(), None
        self.reader = threading.Thread(target=self._read_loop, daemon=True)

    def server_line(self, now, line):
        good, turn = GOOD_RE.match(line), TURN_RE.match(line)
        with self.lock:
            if good:
                self.goods.append((now, int(good.group(1))))
            elif turn:
                self.turns[turn.group(1)] += 1

    def entry_line(self, now, line):
        with self.lock:
            self.received += line.endswith(" " + RECEIVED)

    def _read_loop(self):
        while self.reading:
            try:
                data = read(self.output)
            except FileNotFoundError:
                time.sleep(0.001)
                continue
            now = time.monotonic()
            try:
                number, why = packet_number(data), None
            except ValueError as error:
                number, why = None, error
            with self.lock:
                self.reads += 1
                if why is None:
                    self.seen.add(number)
                    self.last_read = (now, number)
                elif len(self.torn_examples) < 5:
                    self.torn_examples.append(str(why))
                self.torn += why is not None

    def lag(self):
        """How long the file trailed the good replies at the last read: from the first good
        reply announced after the packet read, to that read (0 when none came since). None
        before a whole read, or when the packet read was never announced."""
        with self.lock:
            read_at, number = self.last_read or (None, None)
            held = next((t for t, n in self.goods if n == number), None)
            if held is None:
                return None
            newer = next((t for t, _ in self.goods if held < t <= read_at), None)
        return 0.0 if newer is None else read_at - newer

    def row(self, *columns):
        with self.lock:
            counts = (sum(self.turns.values()), len(self.goods), self.received, self.reads, self.torn)
        return " ".join(f"{c:>7}" for c in counts + columns)


def soak_resources(samples, out):
    """Resident memory and open files after the warm-up against their figures at the end;
    the failures."""
    warm = [x for x in samples if SOAK_WARM_UP_S - 5.0 <= x[0] < SOAK_WARM_UP_S]
    later = [x for x in samples if x[0] >= SOAK_WARM_UP_S]
    last = [x for x in later if x[0] >= samples[-1][0] - 5.0]
    if not warm or not last:
        return [f"too few samples of memory and open files ({len(samples)}): a run shorter than the warm-up?"]
    base_rss, peak_rss = max(x[1] for x in warm[-8:]), max(x[1] for x in later)   # the warm-up's last 2 s
    # Open files come and go with each connection and write: a window's lowest count stays open.
    base_fds, end_fds = min(x[2] for x in warm), min(x[2] for x in last)
    print(f"resident memory {base_rss} KiB after the warm-up, peak {peak_rss} KiB later; open files {base_fds} "
          f"after the warm-up, {end_fds} at the end", file=out)
    return [failure for bad, failure in (
        (peak_rss - base_rss > SOAK_RSS_GROWTH_KIB, f"resident memory grew by {peak_rss - base_rss} KiB after "
                                                    f"the warm-up (limit {SOAK_RSS_GROWTH_KIB} KiB)"),
        (end_fds > base_fds, f"open files grew from {base_fds} after the warm-up to {end_fds} at the end")) if bad]


def soak_run(exe, server_path, seconds, resource_checks, size=200 * 1024, http_timer=100, row_every=10.0,
             out=sys.stdout):
    """The collector against the cycle mode with a concurrent reader of TV_BRIVON.XML; the
    failed checks: a torn or unknown read, the file trailing the good replies at the end,
    memory or open files growing after the warm-up (with resource_checks), an unclean stop."""
    failures, samples = [], []   # samples: (seconds since the start, resident KiB, open files)
    # Children die with this script: a test killed by ctest's timeout leaves nothing behind.
    with Collector("soak", exe=exe) as app:
        watch = SoakWatch(app.path(OUTPUT))
        with PacketServer("--size", str(size), mode="cycle", path=server_path, on_line=watch.server_line, tail=40,
                          preexec_fn=die_with_parent) as server:
            app.write_config(port=server.port, http_timer=http_timer)
            app.start("/CONSOLE", parsers=(watch.entry_line, None), tail=40, preexec_fn=die_with_parent)
            app.wait_status("ssRunning", timeout=30)
            started = time.monotonic()
            watch.reader.start()
            print(f"soak: HTTPTimer {http_timer} ms, packets of {size} bytes, {seconds:.0f} s\n"
                  + " ".join(f"{c:>7}" for c in ("time s", "replies", "good", "written", "reads", "torn", "RSS KiB",
                                                 "files", "lag s")), file=out, flush=True)
            next_row = row_every
            while (elapsed := time.monotonic() - started) < seconds:
                if app.proc.poll() is not None:
                    failures.append(f"the collector ended by itself after {elapsed:.1f} s: {app.proc.returncode}")
                    break
                with contextlib.suppress(OSError, KeyError):
                    fds = len(os.listdir(f"/proc/{app.proc.pid}/fd"))
                    samples.append((elapsed, proc_status(app.proc.pid)["VmRSS"], fds))
                if samples and samples[-1][1] > SOAK_RSS_ABORT_KIB:
                    failures.append(f"resident memory passed {SOAK_RSS_ABORT_KIB // 1024} MiB: the run ends early")
                    break
                if elapsed >= next_row:
                    lag = watch.lag()
                    print(f"{elapsed:7.1f}", watch.row(*(samples[-1][1:] if samples else "--"),
                                                       "-" if lag is None else f"{lag:.1f}"), file=out, flush=True)
                    next_row += row_every
                time.sleep(0.25)
            watch.reading = False
            watch.reader.join(10)
            lag, unknown = watch.lag(), sorted(watch.seen - {n for _, n in watch.goods})
            print(f"end: connections per turn {dict(sorted(watch.turns.items()))}", file=out, flush=True)
            failures += [failure for bad, failure in (
                (watch.torn, f"{watch.torn} of {watch.reads} reads were not one whole packet: {watch.torn_examples}"),
                (unknown, f"reads found packets that were never sent as a good reply: {unknown[:10]}"),
                (watch.reads == watch.torn, "TV_BRIVON.XML was never read as a whole packet"),
                (watch.reads > watch.torn and lag is None, "the last packet read is not a good reply announced"),
                (lag is not None and lag > SOAK_LAG_LIMIT_S, f"TV_BRIVON.XML trailed the good replies for {lag} s "
                                                             f"at the end (limit {SOAK_LAG_LIMIT_S:.0f} s)")) if bad]
            if resource_checks:
                failures += soak_resources(samples, out)
            if app.proc.poll() is None:
                try:
                    check_clean_stop(app, app.stop(30))
                    check_equal((app.texts().count(STOPPED), [s.name for s in app.statuses()].count("ssStopPending")),
                                (1, 1), "stop entries and stop-pending reports")
                except AssertionError as error:
                    failures.append(f"the stop on SIGTERM: {error}")
            if failures:
                print("collector output (tail):", *app.out.texts(), *app.err.texts(), "server output (tail):",
                      *server.lines(), sep="\n  ", file=out)
    return failures


@group
def soak():
    """A minute at an HTTPTimer of 100 ms: every read of the file one whole good packet, the
    file up to date at the end, a clean stop; memory and open files not growing after the
    warm-up (plain build only: the sanitizers' allocators keep memory on purpose)."""
    failures = soak_run(vbxtest.PROGRAM, vbxtest.SERVER, 60.0, resource_checks=not SANITIZE)
    check(not failures, "\n".join(failures))


NAMESPACE_CHECKS = {"install": inside_namespace, "stalled": stalled_partners_inside}


def main():
    global VERSION, SANITIZE, PRELOAD
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--version", required=True, help="the project's version, as the journal entries carry it")
    parser.add_argument("--sanitize", default="", help="the build's sanitizer (asan, tsan), if any")
    parser.add_argument("--preload", help="the fault-injection library of the slow-step tests")
    parser.add_argument("--inside-namespace", choices=sorted(NAMESPACE_CHECKS))
    parser.add_argument("groups", nargs="*")
    args = parser.parse_args()
    vbxtest.PROGRAM, vbxtest.SERVER = os.path.abspath(args.exe), os.path.abspath(args.server)
    VERSION, SANITIZE, PRELOAD = args.version, args.sanitize, args.preload and os.path.abspath(args.preload)
    if args.inside_namespace:
        return run_one(args.inside_namespace, NAMESPACE_CHECKS[args.inside_namespace])
    return run_groups(GROUPS, args.groups)


if __name__ == "__main__":
    sys.exit(main())
