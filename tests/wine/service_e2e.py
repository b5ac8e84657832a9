#!/usr/bin/env python3
"""End-to-end test of the Windows program under Wine's own service control manager.

    service_e2e.py --exe VBxMorvel.exe --controller vbx_sc_controller.exe \
                   --server build/linux/VBxPakketServer --runner run-under-wine.sh

One Wine prefix in a temporary folder, one persistent wineserver for the whole run. The
program is installed with /INSTALL /SILENT, started through the manager by the test's own
controller, serves a cycle against the Linux packet server on 127.0.0.1, is paused,
interrogated, continued and stopped, and removed with /UNINSTALL; the failures of a second
install (1073), a second uninstall (1060) and a start by hand (1063) are checked last.
Wine keeps no event log: with WINEDEBUG=+eventlog every ReportEventW prints its text on
standard error, and a service's standard error is that of the manager, which is the first
Wine process of the session. Exit status 0 when every check passed, 1 on the first failed
check, 77 when the machine lacks what the test needs.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

NAME = "BrivonMorvel"
DISPLAY_NAME = "Vanto Brivon Morvel Collector"
INSTALLED = "Vanto Brivon Morvel cliënt werd met succes geïnstalleerd"
STARTED = "Vanto Brivon Morvel cliënt werd normaal gestart"
CONFIGURED = "Vanto Brivon Morvel cliënt werd met succes geconfigureerd op {} via poort {}"
STOPPED = "Vanto Brivon Morvel cliënt werd normaal gestopt"
PAUSED = "Vanto Brivon Morvel cliënt werd onderbroken door pauze actie"
CONTINUED = "Vanto Brivon Morvel cliënt werd na een pauze gestart"
UNINSTALLED = "De installatie van Vanto Brivon Morvel cliënt werd verwijderd"
SENT = "Vanto Brivon Morvel verzoek om informatie verzonden"
DONE = "Vanto Brivon Morvel verzoek om informatie afgewerkt"
RECEIVED = "Vanto Brivon Morvel pakket ontvangen"

# The reply the server sends and the file the collector must make of it: every line ends
# in CR LF, Latin-1 letters stay single bytes of the ANSI code page.
REPLY_DOCUMENT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<BrivonTV>\n'
                  b'<Zender naam="Caf\xe9">Nieuws</Zender>\r<Leeg/>\r\n</BrivonTV>')
REPLY_OUTPUT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\r\n<BrivonTV>\r\n'
                b'<Zender naam="Caf\xe9">Nieuws</Zender>\r\n<Leeg/>\r\n</BrivonTV>\r\n')

# SERVICE_* states and the controls of this service.
STOPPED_STATE, START_PENDING, STOP_PENDING, RUNNING, CONTINUE_PENDING, PAUSE_PENDING, PAUSED_STATE = range(1, 8)

ENTRY_RE = re.compile(r'^(?:[0-9a-f]+:)*(?P<level>trace|warn|err|fixme):eventlog:ReportEventW L"(?P<text>.*)"$')
SOURCE_RE = re.compile(r'^(?:[0-9a-f]+:)*fixme:advapi:RegisterEventSourceW \(\(null\),L"(?P<name>.*)"\): stub$')
STATUS_RE = re.compile(r"state=(\d+) controls=(\d+) checkpoint=(\d+) waithint=(\d+) exit=(\d+) pid=(\d+)")


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def wine_unescape(text):
    """Undoes Wine's debugstr_w escaping of a trace line's string."""
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            if n == "x" and re.match(r"[0-9a-fA-F]{2}", text[i + 2:i + 4]):
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            if re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
        out.append(c)
        i += 1
    return "".join(out)


def entries_in(text):
    """(level, text) of every event-log entry in a piece of Wine's trace output."""
    found = []
    for line in text.splitlines():
        m = ENTRY_RE.match(line.rstrip("\r"))
        if m:
            found.append((m.group("level"), wine_unescape(m.group("text"))))
    return found


def sources_in(text):
    return [m.group("name") for m in map(SOURCE_RE.match, (l.rstrip("\r") for l in text.splitlines())) if m]


class WineSession:
    """A Wine prefix of its own with a persistent wineserver; the manager's standard error
    (and so every service's) goes to a file."""

    def __init__(self, runner):
        self.prefix = tempfile.mkdtemp(prefix="vbx-wine-e2e.")
        self.env = dict(os.environ)
        for var in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(var, None)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="+eventlog", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.wine = "/usr/lib/wine/wine64" if os.access("/usr/lib/wine/wine64", os.X_OK) else "wine"
        template = os.environ.get("VBX_WINE_TEMPLATE", "")
        if template and os.path.isfile(os.path.join(template, "system.reg")):
            subprocess.run(["cp", "-a", template + "/.", self.prefix + "/"], check=True)
        else:
            subprocess.run([runner, "--make-template", self.prefix], check=True, env=self.env)
        subprocess.run(["wineserver", "-p"], check=True, env=self.env)
        self.manager_log = os.path.join(self.prefix, "manager-stderr.log")
        with open(self.manager_log, "wb") as log:
            subprocess.run([self.wine, "wineboot"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=log, env=self.env, timeout=120)
        self.drive_c = os.path.join(self.prefix, "drive_c")
        # Before the first program: Wine's desktop whole (run-under-wine.sh says why).
        if os.path.isfile(os.path.join(self.drive_c, "vbx_desktop_wait.exe")):
            rc, out, _ = self.run("C:\\vbx_desktop_wait.exe", "desktop", "30000", timeout=60)
            check(rc == 0, f"Wine's desktop ready: {out.strip()}")

    def run(self, *args, timeout=60):
        p = subprocess.run([self.wine, *args], stdin=subprocess.DEVNULL, capture_output=True, env=self.env,
                           timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")

    def manager_output(self):
        with open(self.manager_log, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.prefix, ignore_errors=True)


class PacketServer:
    """VBxPakketServer on 127.0.0.1 (a free port unless one is given), answering with one
    file: the Linux build's, or with `session` the Windows one under Wine."""

    def __init__(self, server, reply_file, port=0, session=None):
        command = [server, "--port", str(port), "--file", reply_file]
        env = None
        if session is not None:
            command = [session.wine] + command
            env = dict(session.env, WINEDEBUG="-all")
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env)
        self.lines = []
        self.ready = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()
        check(self.ready.wait(15), f"the packet server named no port: {self.lines}")
        m = re.match(r"^listening on 127\.0\.0\.1:(\d+)$", self.lines[0])
        self.port = int(m.group(1))

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.lines.append(line)
            if line.startswith("listening on "):
                self.ready.set()

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)


class Service:
    def __init__(self, session, controller):
        self.session, self.controller = session, controller

    def command(self, *args, timeout=60):
        rc, out, _ = self.session.run(self.controller, *args, timeout=timeout)
        return rc, out.strip()

    def status(self, text):
        m = STATUS_RE.search(text)
        check(m is not None, f"a status line: {text!r}")
        return tuple(int(g) for g in m.groups())

    def wait(self, state, limit_ms=30000):
        rc, out = self.command("wait", NAME, str(state), str(limit_ms), timeout=limit_ms / 1000 + 60)
        check(rc == 0, f"service state {state} within {limit_ms} ms: {out}")
        return self.status(out)

    def control(self, code, answers):
        """Sends a control code; the state the manager answers with must be one of `answers`."""
        rc, out = self.command("control", NAME, str(code))
        check(rc == 0, f"control {code} accepted: {out}")
        status = self.status(out)
        check(status[0] in answers, f"control {code} answered with one of the states {answers}: {out}")
        return status


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.2)
    raise AssertionError(f"timed out: {what}")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def scenario(session, args):
    # A folder with a blank: the manager must be given the program's path in quotes.
    base_win = "C:\\Vanto Brivon\\"
    base = os.path.join(session.drive_c, "Vanto Brivon")
    os.makedirs(base)
    shutil.copy(args.exe, os.path.join(base, "VBxMorvel.exe"))
    exe = base_win + "VBxMorvel.exe"
    controller = base_win + "vbx_sc_controller.exe"
    shutil.copy(args.controller, os.path.join(base, "vbx_sc_controller.exe"))
    service = Service(session, controller)
    # Wine's system texts differ from Windows'; the program must show the platform's own.
    text_1060, text_1063, text_1073 = (service.command("text", str(code))[1] for code in (1060, 1063, 1073))
    check(text_1063 != "", "a system text for 1063")

    # Installation, silent: no box, the tree and the configuration beside the program.
    rc, out, err = session.run(exe, "/INSTALL", "/SILENT")
    check_equal((rc, out), (0, ""), "install: status and stdout")
    check_equal(entries_in(err), [("trace", INSTALLED)], "install: entries")
    check_equal(sources_in(err), [NAME], "install: the entry's source")
    for folder in ("BrivonTV", "BrivonTV/Logs", "BrivonTV/Config", "BrivonTV/XML"):
        check(os.path.isdir(os.path.join(base, folder)), f"{folder} made by the installation")
    config_path = os.path.join(base, "VBxMorvelClient.xml")
    config = read(config_path)
    check(b"<OutputDirectory>C:\\Vanto Brivon\\BrivonTV\\XML</OutputDirectory>\r\n" in config,
          f"output directory in the default configuration: {config!r}")
    rc, out = service.command("config", NAME)
    check_equal(out, f"type=16 start=2 error=1 tag=0 group=[] deps=[] account=[LocalSystem] "
                     f'display=[{DISPLAY_NAME}] path=["{exe}"]', "registration")

    # Second install: the failure box's text, nothing changed.
    rc, out, err = session.run(exe, "-install")
    check_equal((rc, out), (0, ""), "second install: status and stdout")
    box = [l for l in err.replace("\r\n", "\n").split("\n") if not re.match(r"^[0-9a-f]+:", l)]
    check_equal("\n".join(box).strip("\n"),
                f'Error: Service "{DISPLAY_NAME}" failed to install with error: "System Error.  Code: 1073.\n'
                f'{text_1073}"', "second install: the box's text")
    check_equal(entries_in(err), [], "a failed install runs no install handler")
    check_equal(read(config_path), config, "configuration unchanged by the failed install")

    # A short cycle against the Linux packet server.
    reply = os.path.join(session.prefix, "reply.xml")
    with open(reply, "wb") as f:
        f.write(REPLY_DOCUMENT)
    server = PacketServer(args.server, reply)
    try:
        config = re.sub(rb"<HTTPTimer>\d+</HTTPTimer>", b"<HTTPTimer>2500</HTTPTimer>", config)
        config = re.sub(rb"<Port>\d+</Port>", b"<Port>%d</Port>" % server.port, config)
        with open(config_path, "wb") as f:
            f.write(config)

        mark = len(session.manager_output())
        rc, out = service.command("start", NAME)
        check_equal((rc, out), (0, "ok"), "start through the manager")
        running = service.wait(RUNNING)
        check_equal(running[1], 7, "controls accepted while running")
        pid = running[5]
        check(pid > 0, "the service has a process")

        output = os.path.join(base, "BrivonTV", "XML", "TV_BRIVON.XML")
        wait_for(lambda: entries_in(session.manager_output()[mark:]).count(("trace", RECEIVED)) >= 1, 40,
                 "a packet received")
        check_equal(read(output), REPLY_OUTPUT, "TV_BRIVON.XML")
        check_equal(sorted(os.listdir(os.path.join(base, "BrivonTV", "XML"))), ["TV_BRIVON.XML"], "output folder")

        # Pause, interrogate, continue, stop, each with the state it reports.
        service.control(2, (RUNNING, PAUSE_PENDING, PAUSED_STATE))
        paused = service.wait(PAUSED_STATE)
        check_equal(paused[1], 7, "controls accepted while paused")
        # Paused for more than two intervals of ControleTimer: no timer event may run.
        time.sleep(6)
        service.control(4, (PAUSED_STATE,))
        service.control(3, (PAUSED_STATE, CONTINUE_PENDING, RUNNING))
        service.wait(RUNNING)
        service.control(1, (RUNNING, STOP_PENDING, STOPPED_STATE))
        stopped = service.wait(STOPPED_STATE)
        check_equal(stopped[4], 0, "exit code of the stopped service")
        check_equal(service.command("control", NAME, "1")[1], "error=1062", "a stopped service takes no stop")
    finally:
        server.close()

    entries = entries_in(session.manager_output()[mark:])
    texts = [t for _, t in entries]
    check(all(level == "trace" for level, _ in entries), f"information entries only: {entries}")
    check_equal(texts[:5], [STARTED, CONFIGURED.format("127.0.0.1", server.port), SENT, DONE, RECEIVED],
                "entries of the first cycle")
    pause_at, continue_at, stop_at = texts.index(PAUSED), texts.index(CONTINUED), texts.index(STOPPED)
    check(5 <= pause_at < continue_at < stop_at == len(texts) - 1, f"pause, continue, stop in order: {texts}")
    check(all(t in (SENT, DONE, RECEIVED) for t in texts[5:pause_at] + texts[continue_at + 1:stop_at]),
          f"only cycles between the lifecycle entries: {texts}")
    # A connection started just before the pause still completes on the main thread, but no
    # timer event (a new request, a processed packet) runs while the service is paused.
    while_paused = texts[pause_at + 1:continue_at]
    check(set(while_paused) <= {SENT, DONE} and while_paused.count(SENT) <= 1,
          f"no timer event while paused: {texts}")
    check(any(l.startswith("request ok") for l in server.lines), f"the server accepted a request: {server.lines}")

    # Removal, silent; then a second removal fails with 1060 after its handler ran.
    rc, out, err = session.run(exe, "/UnInstall", "/silent")
    check_equal((rc, out), (0, ""), "uninstall: status and stdout")
    check_equal(entries_in(err), [("trace", UNINSTALLED)], "uninstall: entries")
    check_equal(service.command("query", NAME), (1, "error=1060"), "the service is gone")
    rc, out, err = session.run(exe, "/UNINSTALL")
    check_equal((rc, out), (0, ""), "second uninstall: status and stdout")
    box = [l for l in err.replace("\r\n", "\n").split("\n") if not re.match(r"^[0-9a-f]+:", l)]
    check_equal("\n".join(box).strip("\n"),
                f'Error: Service "{DISPLAY_NAME}" failed to uninstall with error: "System Error.  Code: 1060.\n'
                f'{text_1060}"', "second uninstall: the box's text")
    check_equal(entries_in(err), [("trace", UNINSTALLED)], "the uninstall handler runs before the service is opened")

    # Started by hand: one error entry under the program's file name, no output, status 0.
    rc, out, err = session.run(exe, timeout=120)
    check_equal((rc, out), (0, ""), "started by hand: status and stdout")
    check_equal(entries_in(err), [("err", text_1063)], "started by hand: the entry")
    check_equal(sources_in(err), ["VBxMorvel.exe"], "started by hand: the entry's source")
    check_equal([l for l in err.splitlines() if not re.match(r"^[0-9a-f]+:", l)], [], "started by hand: no output")

    # CONSOLE: the same service in the foreground; Ctrl+C (Wine turns SIGINT into it) stops it,
    # and a second Ctrl+C while it stops is refused: the stop handler runs once.
    env = dict(session.env, WINEDEBUG="-all")
    proc = subprocess.Popen([session.wine, exe, "/CONSOLE"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    statuses = []
    for raw in proc.stderr:
        line = raw.decode("utf-8", "replace").rstrip("\r\n")
        m = re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} status (\w+) state=(\d) controls=(\d+) "
                     r"checkpoint=(\d+) waithint=(\d+)$", line)
        if m:
            statuses.append(m.groups())
            if m.group(1) in ("ssRunning", "ssStopPending"):
                proc.send_signal(2)   # SIGINT
    out = proc.stdout.read().decode("utf-8", "replace")
    check_equal(proc.wait(60), 0, "console mode: exit status")
    check_equal(statuses, [("ssStartPending", "2", "0", "1", "5000"), ("ssStartPending", "2", "0", "2", "5000"),
                           ("ssRunning", "4", "7", "0", "5000"), ("ssStopPending", "3", "7", "0", "5000"),
                           ("ssStopped", "1", "7", "0", "5000")], "console mode: status reports")
    lines = out.splitlines()
    check(len(lines) >= 2 and lines[0].endswith(f" {NAME} information 0 1 {STARTED}")
          and lines[-1].endswith(f" {NAME} information 0 1 {STOPPED}"), f"console mode: entries {lines}")
    check_equal(sum(line.endswith(STOPPED) for line in lines), 1, "console mode: stop handler runs once")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--controller", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--runner", required=True)
    args = parser.parse_args()
    for tool in ("wineserver",):
        if shutil.which(tool) is None:
            print(f"skip: {tool} is not installed")
            return 77
    if not os.access(args.server, os.X_OK):
        print(f"skip: the Linux packet server {args.server} is not built (build the linux preset first)")
        return 77
    started = time.monotonic()
    session = WineSession(args.runner)
    try:
        scenario(session, args)
    except Exception:   # noqa: BLE001 - every failure is printed with the manager's output
        import traceback
        traceback.print_exc()
        print("---- manager's standard error (tail)")
        print("\n".join(session.manager_output().splitlines()[-80:]))
        return 1
    finally:
        session.close()
    print(f"ok   service under Wine's manager ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
