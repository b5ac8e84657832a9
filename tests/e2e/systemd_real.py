#!/usr/bin/env python3
"""The service under a real systemd: a Debian 12 root (made once with debootstrap, kept in ROOT_CACHE) booted
unchanged as a container (systemd-nspawn --volatile=overlay), the package installed inside, checked with systemctl
and journalctl. Arguments: --exe VBxMorvel --server VBxPakketServer --build build/linux --version V [--make-root].
Status 0 when every check passed, 1 on the first failed check, 77 when the machine cannot run containers."""
import argparse
import contextlib
import errno
import functools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "package"))
import vbxtest  # noqa: E402
from package_test import build_package  # noqa: E402
from vbxtest import (CONFIGURED, CONTINUED, INSTALL_DIR, MAX_EXPOSURE, PAUSED, RECEIVED,  # noqa: E402
                     SOURCE, STARTED, STOPPED, UNIT, UNIT_PATH, WANTS_LINK, Skip, check, check_equal, config_text,
                     debian_root, exposure_level, read, run_one, say, wait_until)

SHARE = "/srv/vbx-share"   # not under /opt: the package is installed into a root without /opt
# The unit the 1.0.0 program wrote into /etc for /opt/vbxmorvel, which the scripts take over.
OLD_UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake", "deb",
                        "BrivonMorvel-1.0.0.service")
DROPIN = UNIT_PATH + ".d"
PACKAGED_UNIT = "/lib/systemd/system/" + UNIT
CONFIG = f"{INSTALL_DIR}/VBxMorvelClient.xml"

# Bounds: the whole run after the root exists, one boot, one command inside.
RUN_SECONDS = 300
BOOT_SECONDS = 60
COMMAND_SECONDS = 60

# Polls a state that only the container can change (no event to await from outside).
wait_for = functools.partial(wait_until, step=0.1)


# ---------------------------------------------------------------------------------------
# The container: its own cgroups, a bounded life, commands through nsenter.

def cgroup_hierarchies():
    """(folder of this process in each mounted cgroup hierarchy, its controllers)."""
    mine = {}
    for line in read("/proc/self/cgroup").decode().splitlines():
        number, controllers, path = line.split(":", 2)
        mine[controllers if number != "0" else ""] = path
    found = []
    for line in read("/proc/self/mountinfo").decode().splitlines():
        fields = line.split()
        dash = fields.index("-")
        fstype, options = fields[dash + 1], fields[dash + 3]
        if fstype == "cgroup2":
            key = ""
        elif fstype == "cgroup":
            names = [o for o in options.split(",") if o not in ("rw", "ro", "xattr", "noprefix", "cpuset_v2_mode")
                     and not o.startswith("clone_")]
            key = next((k for k in mine if k and sorted(k.split(",")) == sorted(names)), None)
        else:
            continue
        if key not in mine:
            continue
        mount_root, mount_point, path = fields[3], fields[4], mine[key]
        if mount_root != "/" and path.startswith(mount_root):
            path = path[len(mount_root):]
        found.append((os.path.join(mount_point, path.lstrip("/")), key))
    return found


def remove_tree(folder):
    """Removes a cgroup folder and its empty subfolders; False when some are still in use."""
    for root, dirs, _ in os.walk(folder, topdown=False):
        for d in dirs:
            with contextlib.suppress(OSError):
                os.rmdir(os.path.join(root, d))
    with contextlib.suppress(OSError):
        os.rmdir(folder)
        return True
    return False


class Cgroups:
    """A folder per run in every hierarchy, below this process's own: otherwise nspawn
    works in the hierarchies' roots and parallel runs collide."""

    def __init__(self, name):
        self.folders = []
        for parent, controllers in cgroup_hierarchies():
            # Folders of earlier runs whose script was killed before it cleaned up.
            for entry in os.listdir(parent):
                m = re.fullmatch(r"vbx-systemd-(\d+)", entry)
                if m and not os.path.exists(f"/proc/{m.group(1)}"):
                    remove_tree(os.path.join(parent, entry))
            folder = os.path.join(parent, name)
            try:
                os.mkdir(folder)
            except OSError as e:
                self.remove()
                if isinstance(e, PermissionError) or e.errno == errno.EROFS:
                    raise Skip(f"cannot make a cgroup of its own for the container ({e})")
                raise
            self.folders.append(folder)
            if "cpuset" in controllers.split(","):
                # A cpuset takes no process before it has processors and memory nodes.
                for knob in ("cpuset.cpus", "cpuset.mems"):
                    vbxtest.write(os.path.join(folder, knob), read(os.path.join(parent, knob)).strip())

    def join(self):
        """In the child before exec: the process and what it starts live in these folders."""
        for folder in self.folders:
            vbxtest.write(os.path.join(folder, "cgroup.procs"), str(os.getpid()))

    def remove(self):
        for folder in reversed(self.folders):
            if not remove_tree(folder):
                say(f"note: cgroup {folder} left behind (still in use)")
        self.folders = []


def children(pid):
    out = []
    with contextlib.suppress(OSError):
        for task in os.listdir(f"/proc/{pid}/task"):
            out += [int(x) for x in read(f"/proc/{pid}/task/{task}/children").split()]
    return out


class Container:
    def __init__(self, root, share, name, log_path):
        self.root, self.share, self.name, self.log_path = root, share, name, log_path
        self.cgroups = Cgroups(name)
        self.proc = self.pid1 = None

    def boot(self):
        # timeout: the container can never outlive the test; its SIGTERM halts it cleanly.
        cmd = ["timeout", "-k", "10", str(RUN_SECONDS), "systemd-nspawn", "-q", "-D", self.root,
               "--volatile=overlay", "--boot", "--register=no", "--keep-unit", "--private-network",
               f"--machine={self.name}", f"--bind-ro={self.share}:{SHARE}", "--console=read-only"]
        with open(self.log_path, "w") as log:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                         preexec_fn=self.cgroups.join)
        started = time.monotonic()
        self.pid1 = wait_for(self._find_init, BOOT_SECONDS, "the container's systemd")
        wait_for(lambda: os.path.exists(f"/proc/{self.pid1}/root/run/systemd/private"), BOOT_SECONDS,
                 "systemd's private socket in the container")
        state = self.run(["systemctl", "is-system-running", "--wait"], check=False).stdout.strip()
        say(f"container booted in {time.monotonic() - started:.1f} s: {state}")
        check(state in ("running", "degraded"), f"system state {state!r}")
        if state == "degraded":
            say(self.run(["systemctl", "--failed", "--no-pager"], check=False).stdout)

    def _find_init(self):
        if self.proc.poll() is not None:
            output = self.log()
            if re.search(r"Operation not permitted|Permission denied|not supported", output):
                raise Skip(f"this machine cannot run containers:\n{output[-2000:]}")
            raise AssertionError(f"systemd-nspawn ended with {self.proc.returncode} before booting:\n{output[-3000:]}")
        pending = children(self.proc.pid)
        while pending:
            pid = pending.pop(0)
            with contextlib.suppress(OSError):
                if read(f"/proc/{pid}/comm").strip() == b"systemd":
                    return pid
            pending += children(pid)
        return None

    def log(self):
        return read(self.log_path).decode(errors="replace")

    def run(self, cmd, check=True, input=None, timeout=COMMAND_SECONDS, text=True):
        # A session of its own: a signal to a process group inside never reaches this script.
        r = subprocess.run(["nsenter", "-t", str(self.pid1), "-a", *cmd], input=input, capture_output=True,
                           text=text, timeout=timeout, start_new_session=True)
        if check and r.returncode != 0:
            raise AssertionError(f"{' '.join(cmd)} failed ({r.returncode}):\n{r.stdout}{r.stderr}")
        return r

    def sh(self, script, check=True):
        return self.run(["sh", "-c", script], check=check)

    def write(self, path, data):
        self.run(["sh", "-c", 'cat > "$1"', "sh", path], input=data)

    def read(self, path, text=True):
        r = self.run(["cat", path], check=False, text=text)
        return r.stdout if r.returncode == 0 else None

    def exists(self, path):
        return self.run(["test", "-e", path], check=False).returncode == 0

    def show(self, *props, unit=UNIT):
        r = self.run(["systemctl", "show", unit, "-p", ",".join(props)])
        values = dict(line.split("=", 1) for line in r.stdout.splitlines() if "=" in line)
        return tuple(values.get(p, "") for p in props)

    def unit_log(self, unit=UNIT):
        return self.run(["journalctl", "-u", unit, "--no-pager", "-o", "cat"], check=False).stdout

    def dropin(self, name, text):
        self.run(["sh", "-c", f'mkdir -p {DROPIN} && cat > {DROPIN}/"$1" && systemctl daemon-reload', "sh", name],
                 input=text)

    def remove_dropins(self):
        self.sh(f"rm -rf {DROPIN} && systemctl daemon-reload")

    def show_output(self):
        """The container's journal (when it booted) and console, which go with it."""
        if self.pid1 is not None:
            # Informational and up: a manager logging at debug level fills any tail with D-Bus traffic.
            r = self.run(["journalctl", "-b", "--no-pager", "-p", "info", "-n", "300"], check=False, timeout=30)
            say("---- the container's journal (last 300 entries, info and up)\n" + r.stdout)
        say("---- systemd-nspawn's output\n" + self.log()[-5000:])

    def close(self):
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.send_signal(signal.SIGTERM)
                try:
                    self.proc.wait(30)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()
        finally:
            self.cgroups.remove()
            if os.path.exists(self.log_path):
                os.unlink(self.log_path)


# ---------------------------------------------------------------------------------------
# The checks inside the container.

REPLY = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\r\n<BrivonTV>\r\n'
         b'<Zender naam="Een">Nieuws</Zender>\r\n</BrivonTV>\r\n')


def journal(c):
    """The service's entries in the container's journal, as JSON objects."""
    r = c.run(["journalctl", "-t", SOURCE, "-o", "json", "--no-pager"], check=False)
    return [json.loads(line) for line in r.stdout.splitlines() if line.startswith("{")]


def texts(c):
    return [e.get("MESSAGE") for e in journal(c)]


def wait_text(c, text, count=1, seconds=20):
    wait_for(lambda: texts(c).count(text) >= count, seconds, f"{count}x {text!r} in the journal", step=0.2)


def main_pid(c):
    return int(c.show("MainPID")[0] or 0)


def wait_running(c, what, old_pid=None, seconds=30):
    """Active (running) with ssRunning reported, by a main process other than old_pid."""
    def state():
        active, sub, status, pid = c.show("ActiveState", "SubState", "StatusText", "MainPID")
        if (active, sub, status.split(": ", 1)[0]) == ("active", "running", "ssRunning") \
                and pid not in ("0", str(old_pid)):
            return int(pid)
        return None
    pid = wait_for(state, seconds, f"{what}: active (running) with ssRunning", step=0.2)
    say(f"ok   {what}: active (running), StatusText=ssRunning, MainPID={pid}")
    return pid


def check_exposure(c, unit_file):
    r = c.run(["systemd-analyze", "security", "--offline=true", unit_file], check=False)
    level = exposure_level(r.stdout + r.stderr)
    check(level <= MAX_EXPOSURE, f"systemd-analyze rates {unit_file} {level}, above {MAX_EXPOSURE}:\n{r.stdout}")
    say(f"ok   systemd-analyze security --offline=true: {level} (at most {MAX_EXPOSURE})")


def check_installed_elsewhere(c):
    """The program registered with /INSTALL /SILENT in other folders and run by systemd:
    one whose ExecStart needs a blank, a "$" and a "%" written so that systemd runs it, and
    one under /usr, whose unit gives that folder back to it; each unregistered again."""
    for folder, exec_start in (("/srv/a$b 100%", '"/srv/a$b 100%%/VBxMorvel"'),
                               ("/usr/local/lib/vbxmorvel-rw", "/usr/local/lib/vbxmorvel-rw/VBxMorvel")):
        c.run(["sh", "-c", f'mkdir -p "$1" && cp {SHARE}/VBxMorvel "$1" && "$1/VBxMorvel" /INSTALL /SILENT && '
               f"systemctl start {UNIT}", "sh", folder])
        wait_running(c, f"started from {folder}")
        unit = c.read(UNIT_PATH)
        check_equal(re.search(r"^ExecStart=(.*)$", unit, re.M).group(1), exec_start, f"{folder}: ExecStart")
        r = c.run(["systemd-analyze", "verify", UNIT_PATH], check=False)
        check_equal((r.returncode, r.stdout + r.stderr), (0, ""), f"{folder}: systemd-analyze verify")
        if folder.startswith("/usr/"):
            check(f"\nProtectSystem=full\nReadWritePaths={folder}\n" in unit, f"ReadWritePaths= in the unit:\n{unit}")
            check_exposure(c, UNIT_PATH)
            for path in ("VBxMorvelClient.xml", "BrivonTV/Config/readme.xml", "BrivonTV/XML", "BrivonTV/Logs"):
                check(c.exists(f"{folder}/{path}"), f"{folder}/{path} written by the sandboxed service")
            # Elsewhere under /usr stays read-only for it.
            r = c.sh(f"nsenter -t {main_pid(c)} -m touch /usr/local/lib/x 2>&1; echo $?", check=False)
            check_equal(r.stdout.split()[-1], "1", "writing elsewhere under /usr from the service's mount namespace")
        c.run(["sh", "-c", f'systemctl stop {UNIT} && "$1/VBxMorvel" /UNINSTALL /SILENT', "sh", folder])
        check(not c.exists(UNIT_PATH) and not c.exists(WANTS_LINK), f"{folder}: unit and link removed by /UNINSTALL")
        c.run(["rm", "-rf", folder])


# The answers a fleet preseeds: the first configuration's port and request interval.
PRESEEDED_PORT = 4011


def check_journal_fields(c, version):
    entries = journal(c)
    started = next((e for e in entries if e.get("MESSAGE") == STARTED), {})
    check_equal(tuple(started.get(field) for field in ("PRIORITY", "EVENT_TYPE", "EVENT_CATEGORY", "EVENT_ID")),
                ("6", "4", "0", "1"), "start entry: PRIORITY, EVENT_TYPE, EVENT_CATEGORY, EVENT_ID")
    check_equal(sorted({x.get("VBX_VERSION") for x in entries}), [version], "VBX_VERSION of every entry")


def check_controls(c):
    pid = main_pid(c)
    # Interrogate reports the state again: the manager's debug log shows each datagram.
    c.run(["systemd-analyze", "log-level", "debug"])

    def interrogate(state, what):
        def reports():
            return sum("Got notification message" in line and "STATUS=" in line for line in c.unit_log().splitlines())
        before = reports()
        c.run(["systemctl", "kill", "-s", "SIGHUP", UNIT])
        wait_for(lambda: reports() > before, 20, f"a status report after SIGHUP {what}")
        active, status, main = c.show("ActiveState", "StatusText", "MainPID")
        check_equal((active, status.split(": ", 1)[0], main), ("active", state, str(pid)),
                    f"after SIGHUP (interrogate) {what}: state, status, same main process")

    for name, state, text in (("SIGUSR1", "ssPaused", PAUSED), ("SIGUSR2", "ssRunning", CONTINUED)):
        c.run(["systemctl", "kill", "-s", name, UNIT])
        # The state's name starts systemd's status text (the last outcome may follow ": ").
        wait_for(lambda: c.show("StatusText")[0].split(": ", 1)[0] == state, 20, f"StatusText={state} after {name}")
        wait_text(c, text)
        # A custom control changes nothing.
        c.run(["systemctl", "kill", "-s", "SIGRTMIN+3", UNIT])
        interrogate(state, f"after {name} and SIGRTMIN+3")
    # Back to info: at debug level every reload floods the journal and slows the manager.
    c.run(["systemd-analyze", "log-level", "info"])


def check_packets(c):
    """The preseeded installation collects from the preseeded port, nothing edited (the
    configuration's text: package_test.py --dpkg); then into other folders, as other users."""
    c.run(["systemd-run", "--unit=vbx-pakket", "--", f"{SHARE}/VBxPakketServer", "--port", str(PRESEEDED_PORT),
           "--file", f"{SHARE}/reply.xml"])
    # By the program's name, not its unit: the journal can file a new process's first line
    # under init.scope (half of 40 starts with the manager at debug level, none at info).
    wait_for(lambda: re.search(rf"^listening on \S+:{PRESEEDED_PORT}$",
                               c.run(["journalctl", "-t", "VBxPakketServer", "-o", "cat"], check=False).stdout, re.M),
             20, f"the packet server listening on {PRESEEDED_PORT}")
    packet = f"{INSTALL_DIR}/BrivonTV/XML/TV_BRIVON.XML"
    wait_for(lambda: c.read(packet, text=False) == REPLY, 20, "a packet from the preseeded port")
    c.run(["rm", packet])   # the working tree as the removal leaves it (check_removal)
    # /tmp and /home stay the real ones; a folder of another user (CAP_DAC_OVERRIDE) and a
    # file of another user in a shared folder of a third (sticky: CAP_FOWNER) are written
    # as root wrote them before the sandbox; a host name is resolved inside the sandbox.
    rounds = (("/tmp/vbx-out", "127.0.0.1", ""),
              ("/home/ann/out", "pakket.test", "chown -R 1000:1000 /home/ann && chmod 0755 /home/ann/out"),
              ("/tmp/shared", "127.0.0.1", "chown 1000:1000 /tmp/shared && chmod 1777 /tmp/shared && "
                                           "echo old > /tmp/shared/TV_BRIVON.XML && "
                                           "chown 1001:1001 /tmp/shared/TV_BRIVON.XML"))
    # The root has no /etc/hosts; the name goes only into this boot's copy.
    c.write("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 pakket.test\n")
    for output, binding, prepare in rounds:
        c.sh(f"mkdir -p {output} {'&& ' + prepare if prepare else ''}")
        c.write(CONFIG, config_text(INSTALL_DIR + "/", 1000, PRESEEDED_PORT, binding, output))
        before = texts(c)
        configured = CONFIGURED.format(binding, PRESEEDED_PORT)
        count, received = before.count(configured), before.count(RECEIVED)
        c.run(["systemctl", "restart", UNIT])
        wait_running(c, f"restarted with OutputDirectory {output}, Binding {binding}")
        wait_text(c, configured, count=count + 1)
        wait_text(c, RECEIVED, count=received + 1)
        wait_for(lambda: c.read(f"{output}/TV_BRIVON.XML", text=False) == REPLY, 20,
                 f"the packet in {output}/TV_BRIVON.XML")
    # After each cycle the status line names the last outcome after the state.
    text = wait_for(lambda: re.match(r"ssRunning: last packet \d\d:\d\d:\d\d, \d+ bytes$", c.show("StatusText")[0]),
                    20, "StatusText with the last packet").group(0)
    status = c.run(["systemctl", "status", "--no-pager", UNIT], check=False).stdout
    check(f'Status: "{text[:len("ssRunning: last packet")]}' in status, f"systemctl status shows the text:\n{status}")
    c.run(["systemctl", "stop", "vbx-pakket"])


def check_crash_and_hang(c):
    """Under WatchdogSec=3s, alive for longer than the period, the service is left alone:
    systemd takes the pings (their rhythm, also while paused: e2e.service_notify). A crash,
    and a hang (the process stopped), get it restarted by systemd."""
    c.dropin("watchdog.conf", "[Service]\nWatchdogSec=3s\n")
    c.run(["systemctl", "restart", UNIT])
    pid = wait_running(c, "restarted with WatchdogSec=3s")
    restarts = int(c.show("NRestarts")[0])
    time.sleep(4.5)   # the absence of a watchdog timeout cannot be awaited
    check_equal(c.show("MainPID", "NRestarts"), (str(pid), str(restarts)), "same process after 1.5 watchdog periods")
    for name in ("SEGV", "STOP"):
        check_equal(main_pid(c), pid, f"the process to send SIG{name} to")
        c.run(["sh", "-c", 'kill -s "$1" "$2"', "sh", name, str(pid)])
        began = time.monotonic()
        pid = wait_running(c, f"restarted by systemd after SIG{name}", old_pid=pid)
        restarts += 1
        took = time.monotonic() - began
        check_equal(int(c.show("NRestarts")[0]), restarts, f"NRestarts, restarted {took:.1f} s after SIG{name}")
    check("Watchdog timeout" in c.unit_log(), "the manager logged the watchdog timeout")
    c.remove_dropins()


def check_stops(c):
    """The service's own clean end (SIGINT) is not restarted; systemctl stop ends it cleanly
    (the shutdown by SIGPWR and each end's entries outside systemd: e2e.signals)."""
    for how in (["kill", "-s", "SIGINT", UNIT], ["stop", UNIT]):
        stopped = texts(c).count(STOPPED)
        c.run(["systemctl", *how])
        wait_for(lambda: c.show("ActiveState")[0] in ("inactive", "failed"), 20, f"the end after systemctl {how}")
        check_equal(c.show("ActiveState", "SubState", "Result", "ExecMainStatus"), ("inactive", "dead", "success", "0"),
                    f"after systemctl {' '.join(how)}: state, result, exit status")
        wait_text(c, STOPPED, count=stopped + 1)
        if how[0] == "kill":
            c.run(["systemctl", "start", UNIT])
            wait_running(c, "started again")


def check_failed_start_heals(c, deb):
    """A start that fails is a failure to systemd: with a file where the tree's first folder
    belongs the process ends with 1, Restart=on-failure tries again, and once the file is
    gone the service runs without anyone's help, well within the start limit. The package's
    upgrade that started it says so, and succeeds: the failure is the service's own."""
    tree_folder = f"{INSTALL_DIR}/BrivonTV"
    c.sh(f"mv {tree_folder} {tree_folder}.kept && : > {tree_folder}")
    said = c.run(["dpkg", "-i", deb]).stderr
    check("vbxmorvel: the service BrivonMorvel did not start; see systemctl status BrivonMorvel\n" in said,
          f"the upgrade reports the failed start: {said}")
    result, status, state = c.show("Result", "ExecMainStatus", "ActiveState")
    check_equal((result, status, state in ("activating", "failed")), ("exit-code", "1", True),
                "after a failed start: result, exit status, to be restarted")
    c.sh(f"rm {tree_folder} && mv {tree_folder}.kept {tree_folder}")
    wait_running(c, "healed by Restart=on-failure once the file is gone", seconds=20)
    c.run(["systemctl", "stop", UNIT])


def check_restart_bound(c):
    """A service that fails at once is given up at the unit's start limit (10 starts in 10
    minutes: the first and 10 restarts) instead of being restarted for ever. systemd's own
    default (5 starts in 10 s) would give up after 5 restarts here, so the count shows that
    the unit's limit is the one read."""
    c.dropin("fails.conf", "[Service]\nExecStart=\nExecStart=/bin/false\nRestartSec=100ms\n")
    c.sh(f"systemctl reset-failed {UNIT}; systemctl start {UNIT}", check=False)
    seen = []

    def given_up():
        seen[:] = c.show("ActiveState", "NRestarts")
        return seen == ["failed", "10"]
    try:
        wait_for(given_up, 30, "given up at the start limit")
    except AssertionError as error:
        raise AssertionError(f"{error}; last seen ActiveState, NRestarts: {seen}") from None
    time.sleep(1.0)   # ten restart pauses: no further start may come (an absence cannot be awaited)
    check_equal(c.show("ActiveState", "NRestarts"), ("failed", "10"), "still given up a second later")
    c.remove_dropins()
    c.run(["systemctl", "reset-failed", UNIT])


def tree(c, folder):
    r = c.run(["find", folder], check=False)
    return sorted(r.stdout.split()) if r.returncode == 0 else None


def check_removal(c, deb):
    package = "vbxmorvel"
    operations = {"reinstall": [["dpkg", "-i", deb]],
                  "remove + install": [["dpkg", "-r", package], ["dpkg", "-i", deb]]}

    # The administrator's choices survive every package operation, and a running service
    # is running again in a new process (the configuration kept: package_test.py --dpkg):
    # (name, what the administrator does, what holds after each operation, how it is undone).
    full_copy = c.read(PACKAGED_UNIT).replace("RestartSec=5\n", "RestartSec=31\n")
    choices = [
        ("disabled", "systemctl disable --now BrivonMorvel",
         {"UnitFileState": "disabled", "ActiveState": "inactive"}, "systemctl enable --now BrivonMorvel"),
        ("masked", "systemctl mask --now BrivonMorvel",
         {"UnitFileState": "masked", "ActiveState": "inactive"}, "systemctl unmask BrivonMorvel"),
        ("drop-in", f"mkdir -p {DROPIN} && printf '[Service]\\nRestartSec=30\\n' > {DROPIN}/override.conf && "
         "systemctl daemon-reload", {"RestartUSec": "30s", "ActiveState": "active"},
         f"rm -r {DROPIN} && systemctl daemon-reload"),
        ("full copy", "cat > " + UNIT_PATH + " && systemctl daemon-reload",
         {"RestartUSec": "31s", "FragmentPath": UNIT_PATH, "ActiveState": "active"}, "systemctl revert BrivonMorvel"),
    ]
    for name, do, holds, undo in choices:
        c.run(["sh", "-c", do], input=full_copy if name == "full copy" else None)
        for operation, commands in operations.items():
            pid = main_pid(c)
            for command in commands:
                c.run(command)
            if holds["ActiveState"] == "active":
                wait_running(c, f"{name}, {operation}", old_pid=pid)
            check_equal(dict(zip(holds, c.show(*holds))), holds, f"{name}, then {operation}")
        c.sh(undo)
        state, fragment, restart_sec = c.show("UnitFileState", "FragmentPath", "RestartUSec")
        check_equal((state, fragment.removeprefix("/usr"), restart_sec), ("enabled", PACKAGED_UNIT, "5s"),
                    f"{name} undone: the packaged unit, enabled")
        c.run(["systemctl", "start", UNIT])
        wait_running(c, f"{name} undone")

    # Removal stops; the choice and the working tree stay until the purge.
    c.run(["dpkg", "-r", package])
    check_equal(c.show("ActiveState")[0], "inactive", "after dpkg -r: state")
    check(not c.exists(PACKAGED_UNIT) and c.run(["test", "-L", WANTS_LINK], check=False).returncode == 0,
          "dpkg -r leaves the wants link as the choice")
    kept = ["", "/BrivonTV", "/BrivonTV/Config", "/BrivonTV/Config/readme.xml", "/BrivonTV/Logs", "/BrivonTV/XML",
            "/VBxMorvelClient.xml"]
    check_equal(tree(c, INSTALL_DIR), sorted(INSTALL_DIR + p for p in kept),
                "dpkg -r leaves only the tree and the configuration")
    c.run(["dpkg", "-i", deb])
    wait_running(c, "installed again after a removal: enabled and started")
    # Purge forgets the enablement; an administrator's mask stays; purging again is harmless.
    c.sh(f"systemctl mask {UNIT} && cp /var/lib/dpkg/info/vbxmorvel.postrm /tmp && dpkg -P {package}")
    maintainer_script(c, "postrm", "purge", folder="/tmp")
    check_equal(tree(c, INSTALL_DIR), None, "dpkg -P leaves nothing of /opt/vbxmorvel")
    check_equal((c.run(["readlink", UNIT_PATH]).stdout.strip(), c.exists(WANTS_LINK), c.exists(DROPIN),
                 c.exists(f"/var/lib/systemd/deb-systemd-helper-enabled/{UNIT}.dsh-also"),
                 c.run(["dpkg-query", "-W", package], check=False).returncode), ("/dev/null", False, False, False, 1),
                "after purge: the mask stays, no wants link, the enablement forgotten, the package unknown")
    c.run(["systemctl", "unmask", UNIT])


def maintainer_script(c, name, *args, folder="/var/lib/dpkg/info"):
    """One of the package's maintainer scripts run as dpkg runs it; it must succeed. Its standard error."""
    return c.run(["env", "DEBIAN_FRONTEND=noninteractive", "DPKG_MAINTSCRIPT_PACKAGE=vbxmorvel",
                  f"DPKG_MAINTSCRIPT_NAME={name}", f"{folder}/vbxmorvel.{name}", *args]).stderr


def check_script_paths(c, deb):
    """The scripts' paths that no package operation above takes: policy-rc.d saying no (an
    image build), a removal or an upgrade taken back, a first configuration run again, and
    the upgrade from 1.0.0, whose program wrote the unit into /etc."""
    c.run(["systemctl", "start", UNIT])
    pid = wait_running(c, "started before the scripts' own paths")
    c.sh("printf '#!/bin/sh\\nexit 101\\n' > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d")
    said = c.run(["dpkg", "-i", deb]).stderr
    check("policy-rc.d returned 101" in said and main_pid(c) == pid,
          f"an upgrade under policy-rc.d 101 neither stops nor restarts the service: {said}")
    c.run(["rm", "/usr/sbin/policy-rc.d"])

    # dpkg taking a removal or an upgrade back, and dpkg --configure again after a failure.
    for steps in ([("prerm", "remove"), ("postinst", "abort-remove")],
                  [("prerm", "upgrade", "9.0"), ("postinst", "abort-upgrade", "9.0")], [("postinst", "configure")]):
        for step in steps:
            maintainer_script(c, *step)
        what = " then ".join(" ".join(step) for step in steps)
        pid = wait_running(c, what, old_pid=pid if len(steps) > 1 else None)

    # From 1.0.0, whose postinst ran /INSTALL (the unit in /etc and a link to ../unit, which
    # systemctl preset may have made absolute): (name, how its /etc unit is made, the link's
    # target) -> (the link's target after, the unit file systemd reads, state, told to revert).
    old = f"{SHARE}/{os.path.basename(OLD_UNIT)}"
    rows = [
        ("untouched, enabled", f"cp {old} {UNIT_PATH}", "../" + UNIT, (PACKAGED_UNIT, PACKAGED_UNIT, "active", False)),
        ("untouched, disabled", f"cp {old} {UNIT_PATH}", None, ("", PACKAGED_UNIT, "inactive", False)),
        ("edited, enabled", f"sed s/RestartSec=5/RestartSec=30/ {old} > {UNIT_PATH}", UNIT_PATH,
         (PACKAGED_UNIT, UNIT_PATH, "active", True)),
        ("removed by 1.0.0's removal", ":", UNIT_PATH, (PACKAGED_UNIT, PACKAGED_UNIT, "active", False)),
    ]
    for name, make, target, expected in rows:
        c.sh(f"systemctl stop {UNIT} && rm -f {UNIT_PATH} {WANTS_LINK} && {make}"
             + (f" && ln -s {target} {WANTS_LINK}" if target else ""))
        said = maintainer_script(c, "postinst", "configure", "1.0.0")
        fragment, state = c.show("FragmentPath", "ActiveState")
        check_equal((c.run(["readlink", WANTS_LINK], check=False).stdout.strip(), fragment.removeprefix("/usr"), state,
                     f"{UNIT_PATH} was changed locally" in said), expected, f"upgrade from 1.0.0, {name}: {said}")


def run_checks(c, deb, version):
    """deb: the package's path in the container."""
    check_installed_elsewhere(c)
    c.run(["debconf-set-selections"], input=f"vbxmorvel vbxmorvel/port string {PRESEEDED_PORT}\n"
          "vbxmorvel vbxmorvel/httptimer string 1000\n")
    c.run(["rmdir", "/opt"])   # a root without /opt: dpkg makes no missing parent, the preinst does
    c.run(["dpkg", "-i", deb])
    check_equal(c.run(["stat", "-c", "%a %U", "/opt"]).stdout, "755 root\n", "/opt made by the preinst")
    unit_path = os.path.realpath(PACKAGED_UNIT)   # its text: /INSTALL's (package_test.py --dpkg)
    check_equal((c.run(["readlink", "-f", WANTS_LINK]).stdout.strip(), c.exists(UNIT_PATH), c.show("UnitFileState")),
                (unit_path, False, ("enabled",)), "wants link, no unit in /etc, UnitFileState")
    check_exposure(c, unit_path)
    wait_running(c, "after installation")
    check_packets(c)
    check_journal_fields(c, version)
    check_controls(c)
    check_crash_and_hang(c)
    check_stops(c)
    check_failed_start_heals(c, deb)
    check_restart_bound(c)
    check_script_paths(c, deb)
    check_removal(c, deb)


def real_systemd(args):
    if os.geteuid() != 0:
        raise Skip("containers need root")
    if not os.path.isdir("/sys/fs/cgroup"):
        raise Skip("no cgroup file system")
    root = debian_root()
    if args.make_root:
        return
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vbx-systemd-share-", ignore_cleanup_errors=True) as share:
        # The .deb that scripts/package.sh makes, made with the same cpack configuration.
        deb = shutil.copy(build_package(args.build, os.path.join(share, "cpack"), args.version), share)
        shutil.rmtree(os.path.join(share, "cpack"))
        shutil.copy(args.exe, os.path.join(share, "VBxMorvel"))
        shutil.copy(args.server, os.path.join(share, "VBxPakketServer"))
        vbxtest.write(os.path.join(share, "reply.xml"), REPLY)
        shutil.copy(OLD_UNIT, share)
        os.chmod(share, 0o755)
        name = f"vbx-systemd-{os.getpid()}"
        c = Container(root, share, name, os.path.join(share, "..", name + ".log"))
        try:
            c.boot()
            run_checks(c, f"{SHARE}/{os.path.basename(deb)}", args.version)
        except BaseException as e:
            if not isinstance(e, Skip):
                # The failure first: a log cut short keeps its head, and the journal is long.
                say(f"FAIL at: {type(e).__name__}: {str(e)[:2000]}")
                c.show_output()
            raise
        finally:
            c.close()
        say(f"all checks passed in {time.monotonic() - started:.1f} s")


def main():
    parser = argparse.ArgumentParser()
    for name in ("--exe", "--server", "--version"):
        parser.add_argument(name)
    parser.add_argument("--build", help="the build folder whose cpack configuration makes the package")
    parser.add_argument("--make-root", action="store_true", help="only make the cached root")
    args = parser.parse_args()
    vbxtest.VERBOSE = True   # a long run: every check that passed is shown
    return run_one("systemd.real", real_systemd, args)


if __name__ == "__main__":
    sys.exit(main())
