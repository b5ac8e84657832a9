#!/usr/bin/env python3
"""The Debian package: made with cpack from a build folder into a scratch folder, then

  - its contents (dpkg-deb -c): exactly the program, the packet server and the README in
    /opt/vbxmorvel/, owned by root, with their modes;
  - its control fields (dpkg-deb -f): name, version, architecture, and dependencies that
    dpkg-shlibdeps computed (libc6, and no C++ runtime: it is linked in);
  - its maintainer scripts, run as dpkg runs them on install, removal, purge and upgrade,
    against a fake root: the paths /opt/vbxmorvel, /etc/systemd/system and
    /run/systemd/system are moved under a scratch folder, `systemctl` is a stub on PATH and
    the program a stub that keeps a unit file as the real one does (error 1073 when it
    exists, 1060 when it does not, "Error: ..." on standard error and status 0).

  - with --dpkg instead: the real dpkg and the real program in a private mount namespace
    (/opt, /etc/systemd/system and /run are scratch folders there, dpkg works on a copy of
    its database), installing, installing again, removing and purging the package.

    package_test.py --build build/linux --version VERSION [--dpkg]

Exit status 0 when every check passed, 1 on a failure, 77 when a tool is missing or the
machine has no private mount namespace.
"""
import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import traceback

FOLDER = "/opt/vbxmorvel"
UNIT_DIR = "/etc/systemd/system"
RUN_DIR = "/run/systemd/system"
UNIT = "BrivonMorvel.service"

# The program as the scripts see it: records its arguments, keeps the unit file and the
# wants link, writes the configuration and the working tree on install when missing. A
# forced error text (file "fail" beside the log: "<switch> <text>") stands for a failure
# the fake root cannot produce.
STUB_PROGRAM = r"""#!/bin/sh
root=@ROOT@
echo "program $*" >> "$root/calls"
unit="$root/etc/systemd/system/BrivonMorvel.service"
link="$root/etc/systemd/system/multi-user.target.wants/BrivonMorvel.service"
if [ -f "$root/fail" ] && [ "$(cut -d' ' -f1 "$root/fail")" = "$1" ]; then
    echo "Error: $(cut -d' ' -f2- "$root/fail")" >&2
    exit 0
fi
case "$1" in
/INSTALL)
    if [ -e "$unit" ]; then
        echo 'Error: Service "Vanto Brivon Morvel Collector" failed to install with error: "System Error.  Code: 1073.' >&2
        echo 'The specified service already exists"' >&2
        exit 0
    fi
    echo unit > "$unit"
    ln -s ../BrivonMorvel.service "$link"
    dir=$(dirname "$0")
    [ -e "$dir/VBxMorvelClient.xml" ] || echo default > "$dir/VBxMorvelClient.xml"
    mkdir -p "$dir/BrivonTV/Config" "$dir/BrivonTV/Logs" "$dir/BrivonTV/XML"
    ;;
/UNINSTALL)
    if [ ! -e "$unit" ]; then
        echo 'Error: Service "Vanto Brivon Morvel Collector" failed to uninstall with error: "System Error.  Code: 1060.' >&2
        echo 'The specified service does not exist as an installed service"' >&2
        exit 0
    fi
    rm -f "$unit" "$link"
    ;;
esac
exit 0
"""

STUB_SYSTEMCTL = r"""#!/bin/sh
echo "systemctl $*" >> @ROOT@/calls
exit 0
"""


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=60, **kwargs)


def build_package(build, scratch, version):
    p = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", scratch])
    check_equal(p.returncode, 0, f"cpack status ({p.stdout}{p.stderr})")
    path = os.path.join(scratch, f"vbxmorvel_{version}_amd64.deb")
    check(os.path.isfile(path), f"no {path}; cpack said:\n{p.stdout}")
    return path


def check_contents(deb):
    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    entries = {}
    for line in listing:
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        entries[path] = (mode, owner)
    check_equal(entries, {
        "./opt/": ("drwxr-xr-x", "root/root"),
        "./opt/vbxmorvel/": ("drwxr-xr-x", "root/root"),
        "./opt/vbxmorvel/README.md": ("-rw-r--r--", "root/root"),
        "./opt/vbxmorvel/VBxMorvel": ("-rwxr-xr-x", "root/root"),
        "./opt/vbxmorvel/VBxPakketServer": ("-rwxr-xr-x", "root/root"),
    }, "package contents")


def check_fields(deb, version):
    def field(name):
        return run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    check_equal((field("Package"), field("Version"), field("Architecture")), ("vbxmorvel", version, "amd64"),
                "package, version, architecture")
    depends = [d.strip() for d in field("Depends").split(",")]
    names = [re.match(r"[a-z0-9.+-]+", d).group(0) for d in depends]
    check("libc6" in names and all(re.fullmatch(r"[a-z0-9.+-]+ \(>= [^)]+\)", d) for d in depends),
          f"Depends computed with versions, libc6 among them: {depends}")
    check(not any(n.startswith(("libstdc++", "libgcc")) for n in names),
          f"the C++ runtime and libgcc are linked in, not dependencies: {depends}")
    check(field("Maintainer") != "" and field("Description").startswith("Vanto Brivon Morvel Collector"),
          "maintainer and description")


class FakeRoot:
    """The extracted maintainer scripts, rewritten to work under a scratch root."""

    def __init__(self, deb, scratch, name):
        self.root = os.path.join(scratch, name)
        control = os.path.join(self.root, "control")
        os.makedirs(control)
        p = run(["dpkg-deb", "-e", deb, control])
        check_equal(p.returncode, 0, f"dpkg-deb -e ({p.stderr})")
        self.scripts = {}
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            check_equal(stat.S_IMODE(os.stat(path).st_mode), 0o755, f"mode of {script}")
            with open(path) as f:
                text = f.read()
            check(text.startswith("#!/bin/sh\n") and "\nset -e\n" in text, f"{script}: POSIX sh with set -e")
            check_equal(run(["sh", "-n", path]).returncode, 0, f"{script} parses")
            for fixed in (FOLDER, UNIT_DIR, RUN_DIR):
                text = text.replace(fixed, self.root + fixed)
            with open(path, "w") as f:
                f.write(text)
            self.scripts[script] = path
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.bin)
        write_script(os.path.join(self.bin, "systemctl"), STUB_SYSTEMCTL.replace("@ROOT@", self.root))
        os.makedirs(self.path(UNIT_DIR + "/multi-user.target.wants"))

    def path(self, absolute):
        return self.root + absolute

    def unpack(self):
        """What dpkg unpacks: the program (as a stub), the packet server and the README."""
        os.makedirs(self.path(FOLDER), exist_ok=True)
        write_script(self.path(FOLDER + "/VBxMorvel"), STUB_PROGRAM.replace("@ROOT@", self.root))
        for name in ("VBxPakketServer", "README.md"):
            with open(self.path(f"{FOLDER}/{name}"), "w") as f:
                f.write(name)

    def remove_files(self):
        """What dpkg removes: the package's own files; the folder stays while not empty."""
        for name in ("VBxMorvel", "VBxPakketServer", "README.md"):
            if os.path.lexists(self.path(f"{FOLDER}/{name}")):
                os.remove(self.path(f"{FOLDER}/{name}"))
        try:
            os.rmdir(self.path(FOLDER))
        except OSError:
            pass

    def systemd(self, running):
        if running:
            os.makedirs(self.path(RUN_DIR), exist_ok=True)
        else:
            shutil.rmtree(self.path(RUN_DIR), ignore_errors=True)

    def fail(self, switch, text):
        with open(self.path("/fail"), "w") as f:
            f.write(f"{switch} {text}\n")

    def run(self, script, *args):
        """Runs one maintainer script; returns (status, stderr, calls made since the last run)."""
        env = {"PATH": self.bin + ":/usr/bin:/bin", "LC_ALL": "C"}
        p = run([self.scripts[script], *args], env=env)
        calls_path = self.path("/calls")
        calls = []
        if os.path.exists(calls_path):
            with open(calls_path) as f:
                calls = f.read().splitlines()
            os.remove(calls_path)
        return p.returncode, p.stderr, calls

    def registered(self):
        unit = self.path(f"{UNIT_DIR}/{UNIT}")
        link = self.path(f"{UNIT_DIR}/multi-user.target.wants/{UNIT}")
        check_equal(os.path.lexists(unit), os.path.lexists(link), "unit file and wants link together")
        return os.path.exists(unit)

    def listing(self, absolute):
        base = self.path(absolute)
        found = []
        for top, dirs, files in os.walk(base):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(top, name), base))
        return sorted(found)


def write_script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


INSTALL = "program /INSTALL /SILENT"
UNINSTALL = "program /UNINSTALL /SILENT"
START = "systemctl start BrivonMorvel"
STOP = "systemctl stop BrivonMorvel"
TREE = ["BrivonTV", "BrivonTV/Config", "BrivonTV/Logs", "BrivonTV/XML", "VBxMorvelClient.xml"]


def check_life_cycle(deb, scratch):
    """Install, remove, purge and upgrade, with and without a running systemd."""
    for systemd in (True, False):
        fake = FakeRoot(deb, scratch, f"cycle-{systemd}")
        fake.systemd(systemd)
        on = (lambda *calls: list(calls)) if systemd else (lambda *calls: [c for c in calls if "systemctl" not in c])
        what = "with systemd" if systemd else "without systemd"

        fake.unpack()
        check_equal(fake.run("postinst", "configure"), (0, "", on(INSTALL, START)), f"install {what}")
        check(fake.registered(), "registered after install")

        # An upgrade: old prerm, (new preinst, unpack), old postrm, new postinst. The
        # operator's configuration survives it.
        with open(fake.path(FOLDER + "/VBxMorvelClient.xml"), "w") as f:
            f.write("operator's settings")
        check_equal(fake.run("prerm", "upgrade", "9.0"), (0, "", on(STOP, UNINSTALL)), f"prerm upgrade {what}")
        check(not fake.registered(), "unregistered for the upgrade")
        fake.unpack()
        check_equal(fake.run("postrm", "upgrade", "9.0"), (0, "", []), f"postrm upgrade {what}")
        check_equal(fake.run("postinst", "configure", "1.0"), (0, "", on(INSTALL, START)),
                    f"postinst after upgrade {what}: no error 1073")
        check(fake.registered(), "registered after the upgrade")
        with open(fake.path(FOLDER + "/VBxMorvelClient.xml")) as f:
            check_equal(f.read(), "operator's settings", "configuration kept by the upgrade")

        # Removal: the working tree and the configuration stay.
        check_equal(fake.run("prerm", "remove"), (0, "", on(STOP, UNINSTALL)), f"prerm remove {what}")
        check(not fake.registered(), "unregistered by the removal")
        fake.remove_files()
        check_equal(fake.run("postrm", "remove"), (0, "", []), f"postrm remove {what}")
        check_equal(fake.listing(FOLDER), TREE, "what a removal leaves")

        # Purge: nothing is left, and purging again is harmless.
        check_equal(fake.run("postrm", "purge"), (0, "", []), f"purge {what}")
        check(not os.path.lexists(fake.path(FOLDER)), "purge leaves no folder")
        check_equal(fake.listing(UNIT_DIR), ["multi-user.target.wants"], "purge leaves no unit")
        check_equal(fake.run("postrm", "purge"), (0, "", []), "second purge")


def check_awkward_states(deb, scratch):
    """Registrations already there or already gone, failures of the program, aborted steps."""
    fake = FakeRoot(deb, scratch, "awkward")
    fake.systemd(True)
    fake.unpack()

    # Configured twice (dpkg --configure after an interrupted run): registered again.
    fake.run("postinst", "configure")
    check_equal(fake.run("postinst", "configure"), (0, "", [STOP, UNINSTALL, INSTALL, START]),
                "second configure")
    check(fake.registered(), "registered after the second configure")

    # A failed registration is a failed configuration, with the program's text, and
    # nothing is started.
    fake.run("prerm", "remove")
    fake.fail("/INSTALL", "Access is denied")
    status, err, calls = fake.run("postinst", "configure")
    check_equal((status != 0, err, calls), (True, "Error: Access is denied\n", [INSTALL]), "failed install")
    os.remove(fake.path("/fail"))

    # The unit went away by hand: removal still goes through without the program.
    check_equal(fake.run("prerm", "remove"), (0, "", []), "removal of a unit already gone")

    # The program says the service does not exist (1060): what removing wants.
    fake.run("postinst", "configure")
    fake.fail("/UNINSTALL", "System Error.  Code: 1060.")
    check_equal(fake.run("prerm", "remove"), (0, "", [STOP, UNINSTALL]), "removal meeting error 1060")
    # Any other failure stops the removal with the program's text.
    fake.fail("/UNINSTALL", "System Error.  Code: 5.")
    status, err, calls = fake.run("prerm", "remove")
    check_equal((status != 0, err, calls), (True, "Error: System Error.  Code: 5.\n", [STOP, UNINSTALL]),
                "failed uninstall")
    # dpkg takes the removal back: the registration is still there, the service starts.
    check_equal(fake.run("postinst", "abort-remove"), (0, "", [START]), "abort-remove")
    os.remove(fake.path("/fail"))
    fake.run("prerm", "remove")

    # The new package could not be unpacked after the old prerm upgrade: dpkg calls the old
    # postinst abort-upgrade, which brings the service back.
    fake.run("postinst", "configure")
    fake.run("prerm", "upgrade", "9.0")
    check_equal(fake.run("postinst", "abort-upgrade", "9.0"), (0, "", [INSTALL, START]), "abort-upgrade")
    check(fake.registered(), "registered again after abort-upgrade")

    # The program went missing before a removal: the unit it would have removed goes after
    # the package's files, as it names a program that is no longer there.
    os.remove(fake.path(FOLDER + "/VBxMorvel"))
    check_equal(fake.run("prerm", "remove"), (0, "", [STOP]), "removal without the program")
    check(fake.registered(), "unit still there while the files go")
    fake.remove_files()
    check_equal(fake.run("postrm", "remove"), (0, "", ["systemctl daemon-reload"]), "postrm with a unit left")
    check_equal(fake.listing(UNIT_DIR), ["multi-user.target.wants"], "postrm removes the unit left behind")


def snapshot(folder):
    listing = []
    for top, dirs, files in os.walk(folder):
        for name in dirs + files:
            listing.append(os.path.join(top, name))
    return sorted(listing)


def check_with_dpkg(deb, scratch):
    """The real dpkg and program, in a private mount namespace so that nothing reaches the
    machine: this script again, inside `unshare -m`."""
    probe = run(["unshare", "-m", "--propagation", "private", "mount", "-t", "tmpfs", "tmpfs", "/mnt"])
    if probe.returncode != 0:
        raise Skip("no private mount namespace here (unshare -m needs root)")
    for folder in ("/opt", UNIT_DIR, "/var/lib/dpkg"):
        if not os.path.isdir(folder):
            raise Skip(f"no {folder} here")
    before = {folder: snapshot(folder) for folder in ("/opt", UNIT_DIR)}
    p = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, os.path.abspath(__file__),
                        "--inside-namespace", deb, "--scratch", scratch], timeout=240)
    for folder, listing in before.items():
        check_equal(snapshot(folder), listing, f"the machine's {folder} is unchanged")
    check_equal(p.returncode, 0, "checks inside the namespace")


def inside_namespace(deb, scratch):
    for folder, target in (("opt", "/opt"), ("units", UNIT_DIR), ("run", "/run")):
        os.makedirs(os.path.join(scratch, folder))
        subprocess.run(["mount", "--bind", os.path.join(scratch, folder), target], check=True)
    os.makedirs(UNIT_DIR + "/multi-user.target.wants")
    admin = os.path.join(scratch, "dpkg")
    shutil.copytree("/var/lib/dpkg", admin, symlinks=True, ignore=shutil.ignore_patterns("lock*"))

    def dpkg(*args):
        p = run(["dpkg", f"--admindir={admin}", f"--log={scratch}/dpkg.log", *args])
        check_equal(p.returncode, 0, f"dpkg {' '.join(args)} status ({p.stdout}{p.stderr})")
        check("Error" not in p.stderr, f"dpkg {' '.join(args)}: {p.stderr}")

    unit = f"{UNIT_DIR}/{UNIT}"
    config = FOLDER + "/VBxMorvelClient.xml"
    tree = ["BrivonTV", "BrivonTV/Config", "BrivonTV/Config/readme.xml", "BrivonTV/Logs", "BrivonTV/XML",
            "VBxMorvelClient.xml"]

    def listing():
        found = []
        for top, dirs, files in os.walk(FOLDER):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(top, name), FOLDER))
        return sorted(found)

    dpkg("-i", deb)
    check_equal(listing(), sorted(tree + ["README.md", "VBxMorvel", "VBxPakketServer"]), "installed folder")
    with open(unit) as f:
        text = f.read()
    check(text.startswith("[Unit]\nDescription=Vanto Brivon Morvel Collector\n")
          and "\nExecStart=/opt/vbxmorvel/VBxMorvel\n" in text, f"unit written by the install: {text!r}")
    check_equal(os.readlink(f"{UNIT_DIR}/multi-user.target.wants/{UNIT}"), "../" + UNIT, "wants link")

    # Installing again is an upgrade for the scripts: unregistered, registered, config kept.
    with open(config, "w") as f:
        f.write("operator's settings")
    dpkg("-i", deb)
    check(os.path.isfile(unit), "registered after installing again")
    with open(config) as f:
        check_equal(f.read(), "operator's settings", "configuration kept")

    dpkg("-r", "vbxmorvel")
    check(not os.path.lexists(unit), "unit removed with the package")
    check_equal(listing(), tree, "what a removal leaves")
    dpkg("-P", "vbxmorvel")
    check(not os.path.lexists(FOLDER), "purge leaves nothing in /opt")
    check_equal(snapshot(UNIT_DIR), [UNIT_DIR + "/multi-user.target.wants"], "purge leaves no unit")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build")
    parser.add_argument("--version")
    parser.add_argument("--dpkg", action="store_true", help="install with the real dpkg in a mount namespace")
    parser.add_argument("--inside-namespace", metavar="DEB")
    parser.add_argument("--scratch")
    args = parser.parse_args()
    if args.inside_namespace:
        try:
            inside_namespace(args.inside_namespace, os.path.join(args.scratch, "namespace"))
            return 0
        except Exception:   # noqa: BLE001 - reported to the outer run through the status
            traceback.print_exc()
            return 1
    if not args.build or not args.version:
        parser.error("--build and --version are needed")
    scratch = tempfile.mkdtemp(prefix="vbx-package-")
    try:
        missing = [t for t in ("cpack", "dpkg-deb", "dpkg-shlibdeps") if shutil.which(t) is None]
        if missing:
            raise Skip(f"{', '.join(missing)} missing (packages cmake, dpkg, dpkg-dev)")
        deb = build_package(os.path.abspath(args.build), scratch, args.version)
        if args.dpkg:
            check_with_dpkg(deb, scratch)
        else:
            check_contents(deb)
            check_fields(deb, args.version)
            check_life_cycle(deb, scratch)
            check_awkward_states(deb, scratch)
        print("ok   package")
        return 0
    except Skip as why:
        print(f"skip package: {why}")
        return 77
    except Exception:   # noqa: BLE001 - every failure is printed with its trace
        print("FAIL package")
        traceback.print_exc()
        return 1
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
