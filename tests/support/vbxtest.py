"""What the Python tests and benchmarks share, standard library only; a script puts tests/support
on sys.path (with sys.dont_write_bytecode) to import it."""
import argparse
import collections
import concurrent.futures
import fcntl
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

# ---------------------------------------------------------------------------------------
# Checks, waiting and running.

SKIPPED = 77        # ctest's SKIP_RETURN_CODE: the machine cannot run the test
VERBOSE = False     # check_equal also prints what passed (the progress of a long run)


class Skip(Exception):
    """The machine cannot run the check: a tool, a right or a namespace is missing."""


def say(text):
    print(text, flush=True)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")
    if VERBOSE:
        say(f"ok   {what}: {actual!r}")


def wait_on(cond, predicate, timeout, ended):
    """Waits on cond until predicate() gives a value, the time is up or ended(); its last value."""
    deadline = time.monotonic() + timeout
    with cond:
        while not (value := predicate()) and deadline > time.monotonic() and not ended():
            cond.wait(min(deadline - time.monotonic(), 0.5))
        return value


def wait_until(predicate, timeout, what, step=0.05):
    """Polls a state that sends no notice of its changes until the predicate holds; its value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        check(time.monotonic() < deadline, f"timed out after {timeout} s waiting for {what}")
        time.sleep(step)


def run_one(name, fn, *args, on_failure=None):
    """Runs a named check, prints its verdict; 0 passed, 1 failed (trace, on_failure()), SKIPPED."""
    started = time.monotonic()
    try:
        fn(*args)
    except Skip as why:
        say(f"skip {name}: {why}")
        return SKIPPED
    except Exception:   # noqa: BLE001 - every failure is printed with its trace
        say(f"FAIL {name}")
        traceback.print_exc()
        if on_failure is not None:
            on_failure()
        return 1
    say(f"ok   {name} ({time.monotonic() - started:.1f} s)")
    return 0


def run_groups(groups, names):
    """Runs the named groups (all when none is named): 1 if one failed, else SKIPPED if one was, else 0."""
    statuses = [run_one(name, groups[name]) for name in names or groups]
    return 1 if 1 in statuses else max(statuses, default=0)


def run_parallel(*cases):
    """Runs cases (functions, or rows (name, function, arguments...)) at once; reports every failure."""
    rows = [case if isinstance(case, tuple) else (case.__name__, case) for case in cases]
    failures = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(rows)) as pool:
        futures = {pool.submit(fn, *args): name for name, fn, *args in rows}
        for future in concurrent.futures.as_completed(futures):
            try:
                future.result()
                say(f"  ok   {futures[future]}")
            except Exception as error:   # noqa: BLE001 - collected and raised below
                say(f"  FAIL {futures[future]}")
                failures.append(f"{futures[future]}: {error}")
    if failures:
        raise AssertionError("\n".join(failures))


# ---------------------------------------------------------------------------------------
# The program's texts, byte for byte, and its console output.

SOURCE = "BrivonMorvel"     # the service's name and the source of its entries
DISPLAY_NAME = "Vanto Brivon Morvel Collector"
INSTALLED_CONFIG = "Vanto Brivon Morvel cliënt werd met succes geïnstalleerd (VBxMorvelClient.xml)"
STARTED = "Vanto Brivon Morvel cliënt werd normaal gestart"
CONFIGURED = "Vanto Brivon Morvel cliënt werd met succes geconfigureerd op {} via poort {}"
STOPPED = "Vanto Brivon Morvel cliënt werd normaal gestopt"
PAUSED = "Vanto Brivon Morvel cliënt werd onderbroken door pauze actie"
CONTINUED = "Vanto Brivon Morvel cliënt werd na een pauze gestart"
SHUTDOWN = "Vanto Brivon Morvel cliënt werd gestopt wegens het afsluiten van de computer"
INSTALLED = "Vanto Brivon Morvel cliënt werd met succes geïnstalleerd"
UNINSTALLED = "De installatie van Vanto Brivon Morvel cliënt werd verwijderd"
SENT = "Vanto Brivon Morvel verzoek om informatie verzonden"
DONE = "Vanto Brivon Morvel verzoek om informatie afgewerkt"
RECEIVED = "Vanto Brivon Morvel pakket ontvangen"
FORCED = "Vanto Brivon Morvel verbinding werd geforceerd verbroken"
INVALID = "Vanto Brivon Morvel ongeldig pakket ontvangen, bestand niet vervangen"
BUFFER_FULL = "Vanto Brivon Morvel ontvangstbuffer vol, ontvangen gegevens verworpen"
TEXT_1460 = "This operation returned because the timeout period expired"
TEXT_1063 = "The service process could not connect to the service controller"


def install_failure(verb, code, text, line_end="\n"):
    """What a failed /INSTALL or /UNINSTALL (verb "install" or "uninstall") says after "Error: "."""
    return f'Service "{DISPLAY_NAME}" failed to {verb} with error: "System Error.  Code: {code}.{line_end}{text}"'


SOH, STX, EOT = b"\x01", b"\x02", b"\x04"

ENTRY_RE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) (\S+) (\S+) (\d+) (\d+) (.*)$")
STATUS_RE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) status (ss[A-Za-z]+) state=(\d+) controls=(\d+) "
                       r"checkpoint=(\d+) waithint=(\d+)$")
# Status reports as (name, state, controls accepted, checkpoint, wait hint).
START_REPORTS = [("ssStartPending", 2, 0, 1, 5000), ("ssStartPending", 2, 0, 2, 5000),
                 ("ssRunning", 4, 7, 0, 5000)]
PAUSE_REPORTS = [("ssPausePending", 6, 7, 0, 5000), ("ssPaused", 7, 7, 0, 5000)]
CONTINUE_REPORTS = [("ssContinuePending", 5, 7, 0, 5000), ("ssRunning", 4, 7, 0, 5000)]
STOP_REPORTS = [("ssStopPending", 3, 7, 0, 5000), ("ssStopped", 1, 7, 0, 5000)]


def unescape(text, simple, wide=False):
    """Undoes a backslash escaping: the escapes of `simple` (the letter after the backslash to
    its character), \\xHH, and with `wide` also \\HHHH; any other backslash stays."""
    def one(m):
        code = m.group(1)
        if code in simple:
            return simple[code]
        return chr(int(code.lstrip("x"), 16)) if len(code) > 1 else m.group(0)
    return re.sub(r"\\(x[0-9a-fA-F]{2}" + (r"|[0-9a-fA-F]{4}" if wide else "") + r"|.)", one, text, flags=re.S)


class Entry:
    """One event-log entry of a console line."""

    def __init__(self, match, arrived):
        self.stamp, self.source, self.type = match.group(1), match.group(2), match.group(3)
        self.category, self.event_id = int(match.group(4)), int(match.group(5))
        self.text = unescape(match.group(6), {"\\": "\\", "r": "\r", "n": "\n"})   # as the console escapes it
        self.arrived = arrived

    def __repr__(self):
        return f"<{self.source} {self.type} {self.category} {self.event_id} {self.text!r}>"


class Status:
    """One status report of a console line."""

    def __init__(self, match, arrived):
        self.name, self.state = match.group(2), int(match.group(3))
        self.controls, self.checkpoint, self.waithint = (int(match.group(i)) for i in (4, 5, 6))
        self.arrived = arrived

    def tuple(self):
        return (self.name, self.state, self.controls, self.checkpoint, self.waithint)

    def __repr__(self):
        return repr(self.tuple())


# ---------------------------------------------------------------------------------------
# Configuration documents and replies.

# The 8-bit code page of the program on Linux: Windows-1252, whose five unassigned bytes
# stand for the control characters of the same number; anything else it lacks becomes "?".
_CP1252_HOLES = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def cp1252(text):
    return b"".join(bytes([ord(ch)]) if ord(ch) in _CP1252_HOLES else ch.encode("cp1252", "replace") for ch in text)


def config_text(base, http_timer=60000, port=4001, binding="127.0.0.1", output=None):
    """The program's default configuration document with these values and CR LF line ends; base is
    its folder with a "/" at its end, output the output folder (by default the working tree's)."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>', "<BrivonMorvelserver>", "<Timers>",
             f"<HTTPTimer>{http_timer}</HTTPTimer>", "</Timers>", "<TCPCLIENT>", f"<Binding>{binding}</Binding>",
             f"<Port>{port}</Port>", "</TCPCLIENT>", "<Output>", "<OutputToFile>True</OutputToFile>",
             f"<OutputDirectory>{output or base + 'BrivonTV/XML'}</OutputDirectory>", "</Output>",
             "<Serverdata>", "<Verzender>brv</Verzender>", "<Ontvanger>brv</Ontvanger>", "<Protocol>Mm_BR</Protocol>",
             "<Versie>1.0</Versie>", "</Serverdata>", "</BrivonMorvelserver>"]
    return "".join(line + "\r\n" for line in lines)


def config_bytes(base, **values):
    """The document as the program writes it on Linux: in its 8-bit code page."""
    return cp1252(config_text(base, **values))


MIB = 1 << 20


def document(size, line_end=b"\r\n"):
    """An XML document of about `size` bytes in lines ending in `line_end`."""
    line = b"<programma kanaal=\"7\">Uitzending van de avond, herhaling</programma>" + line_end
    return line * (size // len(line))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    """Writes bytes, or text in UTF-8."""
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def exchange(port, request=b"\x014\x02YWJj\x04"):
    """Sends a request to a packet server on 127.0.0.1; (the bytes received until the server
    ended the connection, how it ended: "closed" or "reset", seconds from the request to the end)."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
        c.sendall(request)
        sent, data = time.monotonic(), b""
        while True:
            try:
                piece = c.recv(1 << 16)
            except ConnectionResetError:
                return data, "reset", time.monotonic() - sent
            if not piece:
                return data, "closed", time.monotonic() - sent
            data += piece


def proc_status(pid):
    """The numeric fields of /proc/<pid>/status (memory in KiB)."""
    with open(f"/proc/{pid}/status") as f:
        fields = [(key, rest.split()) for key, _, rest in (line.partition(":") for line in f)]
    return {key: int(words[0]) for key, words in fields if words and words[0].isdigit()}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------------------------------
# The program and the packet server as processes (Linux).

PROGRAM = None      # VBxMorvel and VBxPakketServer of the build under test (set by the scripts)
SERVER = None


def clean_env(extra=None):
    env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID")}
    env.update(extra or {})
    return env


# Copying an executable while another thread forks lets the child inherit the copy's
# write descriptor for a moment, and an exec of the copy then fails with "Text file busy".
# Copies and process starts therefore never overlap.
SPAWN_LOCK = threading.Lock()


def spawn(args, **kwargs):
    with SPAWN_LOCK:
        return subprocess.Popen(args, **kwargs)


def die_with_parent():
    """Runs in a child before its program (preexec_fn): the kernel kills it when the test
    ends, so a test that is itself killed (a ctest timeout) leaves nothing behind."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)   # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class Closing:
    """A context manager whose exit calls close()."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class LineReader:
    """Collects the lines of one output stream with their arrival times (only the last
    `tail` of them when given); on_line(arrival, text) sees each as it comes."""

    def __init__(self, stream, cond=None, on_line=None, tail=None):
        self.lines = collections.deque(maxlen=tail)   # (monotonic time, text)
        self.cond = cond or threading.Condition()
        self._on_line = on_line
        if stream is None:   # a stream the test does not read: an empty one
            r, w = os.pipe()
            os.close(w)
            stream = os.fdopen(r, "rb")
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        for raw in iter(stream.readline, b""):
            now, text = time.monotonic(), raw.rstrip(b"\r\n").decode("utf-8", "replace")
            if self._on_line is not None:
                self._on_line(now, text)
            with self.cond:
                self.lines.append((now, text))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def texts(self):
        with self.cond:
            return [t for _, t in self.lines]

    def alive(self):
        return self._thread.is_alive()

    def join(self, timeout):
        self._thread.join(timeout)


class Collector(Closing):
    """The program (PROGRAM unless exe is given) copied into a fresh folder of its own."""

    def __init__(self, tag, folder_name="app", config=None, exe=None):
        self.root = tempfile.mkdtemp(prefix=f"vbx-{tag}-")
        self.folder = os.path.join(os.path.realpath(self.root), folder_name)
        os.makedirs(self.folder)
        self.exe = os.path.join(self.folder, "VBxMorvel")
        with SPAWN_LOCK:
            shutil.copy2(exe or PROGRAM, self.exe)
        self.base = self.folder + "/"
        self.proc = None
        if config is not None:
            self.write_config(**config)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def write_config(self, **values):
        write(self.path("VBxMorvelClient.xml"), config_bytes(self.base, **values))

    def start(self, *args, env=None, stdout=subprocess.PIPE, stderr=subprocess.PIPE, parsers=(None, None),
              tail=None, **popen):
        """Starts the program; a stream given as a descriptor is not read. parsers: the
        on_line of standard output and of standard error."""
        # The working folder is elsewhere on purpose: the program finds its files beside itself.
        self.proc = spawn([self.exe, *args], cwd=self.root, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                          env=clean_env(env), **popen)
        self._cond = threading.Condition()
        self.out = LineReader(self.proc.stdout, self._cond, parsers[0], tail)
        self.err = LineReader(self.proc.stderr, self._cond, parsers[1], tail)
        return self

    def run_console(self, umask=-1):
        self.start("/CONSOLE", umask=umask)
        self.wait_status("ssRunning")
        return self

    @staticmethod
    def _parsed(reader, regex, kind, what):
        matches = [(regex.match(text), text, arrived) for arrived, text in list(reader.lines)]
        check(all(m for m, _, _ in matches), f"{what} lines not in the {kind.__name__.lower()} format: "
              f"{[text for m, text, _ in matches if m is None]!r}")
        return [kind(m, arrived) for m, _, arrived in matches]

    def entries(self):
        with self._cond:
            return self._parsed(self.out, ENTRY_RE, Entry, "standard output")

    def statuses(self):
        with self._cond:
            return self._parsed(self.err, STATUS_RE, Status, "standard error")

    def texts(self):
        return [e.text for e in self.entries()]

    def _output(self):
        return f"  stdout: {self.out.texts()}\n  stderr: {self.err.texts()}"

    def _wait_nth(self, matching, count, timeout, what):
        def ended():
            return self.proc.poll() is not None and not self.out.alive() and not self.err.alive()
        value = wait_on(self._cond, lambda: next(iter(matching()[count - 1:]), None), timeout, ended)
        check(value, f"timed out after {timeout} s waiting for {what}\n{self._output()}")
        return value

    def wait_entry(self, text, count=1, timeout=20):
        return self._wait_nth(lambda: [e for e in self.entries() if e.text == text], count, timeout,
                              f"entry #{count} {text!r}")

    def wait_status(self, name, count=1, timeout=20):
        return self._wait_nth(lambda: [s for s in self.statuses() if s.name == name], count, timeout,
                              f"status #{count} {name}")

    def signal(self, sig):
        self.proc.send_signal(sig)

    def wait_exit(self, timeout=20):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {timeout} s\n{self._output()}") from None
        self.out.join(5)
        self.err.join(5)
        return rc

    def stop(self, timeout=20):
        self.signal(signal.SIGTERM)
        return self.wait_exit(timeout)

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)


class PacketServer(Closing):
    """VBxPakketServer (SERVER unless path is given) on 127.0.0.1, on a free port unless
    one is given; with `wine` (a WineSession) the Windows build under Wine. It answers with
    `file`, or with the bytes `reply`; dump=True keeps the requests it gets. Its output
    (standard error merged) is read as it comes."""

    LISTENING = r"^listening on 127\.0\.0\.1:(\d+)$"

    def __init__(self, *extra, mode=None, file=None, reply=None, port=0, dump=False, path=None, wine=None,
                 on_line=None, tail=None, **popen):
        self.scratch = tempfile.mkdtemp(prefix="vbx-server-")
        if reply is not None:
            file = os.path.join(self.scratch, "reply.xml")
            write(file, reply)
        command = [path or SERVER, "--port", str(port), *(["--mode", mode] if mode else []),
                   *(["--file", file] if file else []), *(["--dump", self.scratch] if dump else []), *extra]
        env = None
        if wine is not None:
            command, env = [wine.wine, *command], dict(wine.env, WINEDEBUG="-all")
        self.proc = spawn(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=env, **popen)
        self.out = LineReader(self.proc.stdout, on_line=on_line, tail=tail)
        self.port = int(re.match(self.LISTENING, self.wait_line(self.LISTENING, timeout=15)).group(1))
        check(self.port > 0, "the server named no port")

    def lines(self):
        return self.out.texts()

    def wait_line(self, pattern, count=1, timeout=20):
        def found():
            matches = [t for _, t in self.out.lines if re.search(pattern, t)]
            return matches[count - 1] if len(matches) >= count else None
        line = wait_on(self.out.cond, found, timeout, lambda: self.proc.poll() is not None and not self.out.alive())
        check(line, f"server: timed out waiting for {pattern!r}\n  output: {self.lines()}")
        return line

    def request(self, n=1):
        return read(os.path.join(self.scratch, f"request-{n}.bin"))

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)


class ScriptedServer(Closing):
    """A packet server played by the test on a free port of 127.0.0.1: each connection gets
    the next reply the test queued (after the request's EOT), or is closed at once when
    none is queued, so a reply is sent only when the test is ready for it."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0), backlog=8)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.replies, self.lock, self.done = [], threading.Lock(), False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def queue(self, frame):
        with self.lock:
            self.replies.append(frame)

    def _run(self):
        while not self.done:
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            with conn:
                conn.settimeout(10)
                try:
                    request = b""
                    while EOT not in request:
                        piece = conn.recv(65536)
                        if not piece:
                            break
                        request += piece
                    with self.lock:
                        reply = self.replies.pop(0) if self.replies else None
                    if reply is not None:
                        conn.sendall(reply)
                except OSError:
                    pass   # the program closes a reply it does not take (too long) before its end

    def close(self):
        self.done = True
        self.thread.join(5)
        self.sock.close()


# ---------------------------------------------------------------------------------------
# systemd and Debian: the unit, private mount namespaces, the cached Debian 12 root.

UNIT = "BrivonMorvel.service"
UNIT_DIR = "/etc/systemd/system"
UNIT_PATH = f"{UNIT_DIR}/{UNIT}"
WANTS_LINK = f"{UNIT_DIR}/multi-user.target.wants/{UNIT}"
INSTALL_DIR = "/opt/vbxmorvel"
MAX_EXPOSURE = 3.0   # the worst exposure systemd-analyze may rate the unit at


def exposure_level(report):
    """The overall rating in the output of `systemd-analyze security`."""
    m = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", report)
    check(m is not None, f"systemd-analyze security gave no rating:\n{report}")
    return float(m.group(1))


def private_mounts_or_skip():
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "mount", "-t", "tmpfs", "tmpfs", "/mnt"],
                           capture_output=True)
    if probe.returncode != 0:
        raise Skip("no private mount namespace here (unshare -m needs root)")


def in_private_namespace(*args, timeout):
    """Runs this script again with `args` in a private mount namespace; its exit status."""
    return subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                           os.path.abspath(sys.argv[0]), *args], timeout=timeout).returncode


def tree(folder, relative=False):
    """Every path below the folder, sorted."""
    found = [os.path.join(top, name) for top, dirs, files in os.walk(folder) for name in dirs + files]
    return sorted(os.path.relpath(p, folder) if relative else p for p in found)


ROOT_CACHE = os.environ.get("VBX_SYSTEMD_ROOT_CACHE", "/var/cache/vbxmorvel-test")
ROOT_NAME = "bookworm-root"
HOST_PACKAGES = ["systemd-container", "debootstrap"]


def installed(package):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, text=True)
    return "install ok installed" in r.stdout


def host_mirror():
    """The Debian mirror the host's apt already uses (never written into the repository)."""
    deb822 = "/etc/apt/sources.list.d/debian.sources"
    if os.path.exists(deb822):
        with open(deb822) as f:
            for stanza in f.read().split("\n\n"):
                uris = re.search(r"^URIs:\s*(\S+)", stanza, re.M)
                suites = re.search(r"^Suites:\s*(.*)$", stanza, re.M)
                if uris and suites and "bookworm" in suites.group(1).split():
                    return uris.group(1)
    if os.path.exists("/etc/apt/sources.list"):
        with open("/etc/apt/sources.list") as f:
            for line in f:
                m = re.match(r"\s*deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+bookworm\s", line)
                if m:
                    return m.group(1)
    raise AssertionError("no bookworm mirror in the host's apt sources")


def debian_root():
    """The Debian 12 root in ROOT_CACHE (with the host's packages that make and boot it),
    made once under a lock; a completion marker tells a finished root from one a killed run
    left half made."""
    missing = [p for p in HOST_PACKAGES if not installed(p)]
    if missing:
        say(f"installing on the host: {' '.join(missing)}")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], env=env, check=True)
        # Without recommends: a recommended package would edit the host's name service switch.
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], env=env,
                       check=True, stdout=subprocess.DEVNULL)
    os.makedirs(ROOT_CACHE, exist_ok=True)
    root = os.path.join(ROOT_CACHE, ROOT_NAME)
    marker = root + ".done"
    with open(os.path.join(ROOT_CACHE, ROOT_NAME + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(marker) and os.path.isdir(root):
            return root
        partial = root + ".new"
        shutil.rmtree(partial, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
        mirror = host_mirror()
        say(f"making the Debian 12 root in {root} (once per machine)")
        started = time.monotonic()
        r = subprocess.run(["debootstrap", "--variant=minbase", "--include=systemd,systemd-sysv,dbus", "bookworm",
                            partial, mirror], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            raise AssertionError(f"debootstrap failed ({r.returncode}):\n{r.stdout[-3000:]}")
        # A fresh machine id per boot; no sources: the container has no network anyway.
        write(os.path.join(partial, "etc/machine-id"), b"")
        write(os.path.join(partial, "etc/apt/sources.list"), b"")
        os.rename(partial, root)
        write(marker, "made in %.0f s\n" % (time.monotonic() - started))
        say("root made in %.0f s" % (time.monotonic() - started))
        return root


# ---------------------------------------------------------------------------------------
# Wine: a session of its own, the test's service controller, the entries Wine traces.

WINE = "/usr/lib/wine/wine64" if os.access("/usr/lib/wine/wine64", os.X_OK) else "wine"
# SERVICE_* states.
STOPPED_STATE, START_PENDING, STOP_PENDING, RUNNING, CONTINUE_PENDING, PAUSE_PENDING, PAUSED_STATE = range(1, 8)
ERROR_FILE_NOT_FOUND = 2
ERROR_INVALID_LEVEL = 124           # Wine's manager keeps no recovery actions
ERROR_SERVICE_DOES_NOT_EXIST = 1060
HOST_SOURCE = "VBxMorvel.exe"       # the event source of the executable, beside SOURCE
DESCRIPTION = "Collects the BrivonTV information packet from the packet server and writes it as TV_BRIVON.XML."
RECOVERY = "reset=86400 actions=1/60000,1/60000,1/60000"   # three restarts after a minute, reset after a day

# The reply the server sends the Windows program and the file it must make of it: every
# line ends in CR LF, Latin-1 letters stay single bytes of the ANSI code page.
WINE_REPLY = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<BrivonTV>\n'
              b'<Zender naam="Caf\xe9">Nieuws</Zender>\r<Leeg/>\r\n</BrivonTV>')
WINE_OUTPUT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\r\n<BrivonTV>\r\n'
               b'<Zender naam="Caf\xe9">Nieuws</Zender>\r\n<Leeg/>\r\n</BrivonTV>\r\n')

WINE_ENTRY_RE = re.compile(r'^(?:[0-9a-f]+:)*(?P<level>trace|warn|err|fixme):eventlog:ReportEventW L"(?P<text>.*)"$')
WINE_SOURCE_RE = re.compile(r'^(?:[0-9a-f]+:)*fixme:advapi:RegisterEventSourceW \(\(null\),L"(?P<name>.*)"\): stub$')
WINE_TRACE_RE = re.compile(r"^[0-9a-f]+:")
CONTROLLER_STATUS_RE = re.compile(r"state=(\d+) controls=(\d+) checkpoint=(\d+) waithint=(\d+) exit=(\d+) pid=(\d+)")


def entries_in(text):
    """(level, text) of every event-log entry in a piece of Wine's trace output."""
    # The text as Wine's debugstr_w escapes it.
    return [(m.group("level"), unescape(m.group("text"), {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}, True))
            for m in map(WINE_ENTRY_RE.match, (l.rstrip("\r") for l in text.splitlines())) if m]


def sources_in(text):
    return [m.group("name") for m in map(WINE_SOURCE_RE.match, (l.rstrip("\r") for l in text.splitlines())) if m]


def own_output(err):
    """What a Windows program wrote itself (its boxes, under Wine), without Wine's trace lines."""
    return "\n".join(l for l in err.replace("\r\n", "\n").split("\n") if not WINE_TRACE_RE.match(l))


class WineSession:
    """A Wine prefix of its own with a persistent wineserver; the manager's standard error
    (and so every service's) goes to a file."""

    def __init__(self, runner):
        self.prefix = tempfile.mkdtemp(prefix="vbx-wine-e2e.")
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="+eventlog", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.wine = WINE
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

    def copy_in(self, folder, *files):
        """Copies the files into a new folder C:\\<folder>; its Windows path, "\\" at its end."""
        os.makedirs(os.path.join(self.drive_c, folder))
        for path in files:
            shutil.copy(path, os.path.join(self.drive_c, folder))
        return f"C:\\{folder}\\"

    def run(self, *args, timeout=60):
        p = subprocess.run([self.wine, *args], stdin=subprocess.DEVNULL, capture_output=True, env=self.env,
                           timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")

    def manager_output(self):
        return read(self.manager_log).decode("utf-8", "replace")

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.prefix, ignore_errors=True)


def run_under_wine(name, scenario, options=(), tools=("wineserver",), manager_tail=80):
    """The command line of a Windows test (--exe, --controller, --runner and `options`, each
    required), then scenario(session, args) in a fresh WineSession; the exit status
    (run_one's). A failure prints the tail of the manager's output."""
    parser = argparse.ArgumentParser()
    for option in ("--exe", "--controller", "--runner", *options):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    session = None

    def body():
        nonlocal session
        missing = [tool for tool in tools if shutil.which(tool) is None]
        if missing:
            raise Skip(f"{', '.join(missing)} not installed")
        session = WineSession(args.runner)
        scenario(session, args)
    def print_tail():
        if session is not None and manager_tail:
            tail = session.manager_output().splitlines()[-manager_tail:]
            say("---- manager's standard error (tail)\n" + "\n".join(tail))
    try:
        return run_one(name, body, on_failure=print_tail)
    finally:
        if session is not None:
            session.close()


class Service:
    """The service BrivonMorvel through the test's controller (vbx_sc_controller)."""

    def __init__(self, session, controller):
        self.session, self.controller = session, controller

    def command(self, *args, timeout=60):
        rc, out, _ = self.session.run(self.controller, *args, timeout=timeout)
        return rc, out.strip()

    def status(self, text):
        m = CONTROLLER_STATUS_RE.search(text)
        check(m is not None, f"a status line: {text!r}")
        return tuple(int(g) for g in m.groups())

    def wait(self, state, limit_ms=30000):
        rc, out = self.command("wait", SOURCE, str(state), str(limit_ms), timeout=limit_ms / 1000 + 60)
        check(rc == 0, f"service state {state} within {limit_ms} ms: {out}")
        return self.status(out)

    def control(self, code, answers):
        """Sends a control code; the state the manager answers with must be one of `answers`."""
        rc, out = self.command("control", SOURCE, str(code))
        check(rc == 0, f"control {code} accepted: {out}")
        status = self.status(out)
        check(status[0] in answers, f"control {code} answered with one of the states {answers}: {out}")
        return status

    def check_sources(self, expected, what, sources=(SOURCE, HOST_SOURCE)):
        """The event sources of the service and of its executable: the controller's answer."""
        for source in sources:
            check_equal(self.command("eventsource", source), expected, f"{what}: the event source {source}")
