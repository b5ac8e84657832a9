#!/usr/bin/env python3
"""The Debian package, made with cpack from a build folder into a scratch folder:

  - by default: its contents, owners and modes (not /opt itself, which the package must not
    own); its documents (changelog, machine-readable copyright, lintian overrides with
    reasons); made twice with one SOURCE_DATE_EPOCH, the same bytes; its control fields;
    its maintainer scripts run as dpkg runs them (install, removal, purge, upgrade, also
    from 1.0.0, whose program wrote the unit into /etc) against a fake root: /opt,
    /etc/systemd and /run/systemd/system moved under a scratch folder, Debian's own
    deb-systemd-helper and deb-systemd-invoke keeping their records there, `systemctl` and
    the program stubs that record being run;
  - with --dpkg: the real dpkg and program in a private mount namespace (scratch folders
    over /opt, /etc/systemd, /lib/systemd/system, /var/lib/systemd and /run; a copy of
    dpkg's database), where no systemd runs;
  - with --debian-tools: lintian, hardening-check, and piuparts in the real-systemd test's
    cached Debian 12 root (install and purge, and an upgrade from the real 1.0.0 package);
  - with --zip (the Windows build): its ZIP made in two time zones, the same bytes.

    package_test.py --build build/linux --version VERSION [--dpkg | --debian-tools --source .]
    package_test.py --build build/windows --version VERSION --zip

Exit status 0 when every check passed, 1 on a failure, 77 when a tool is missing or the
machine has no private mount namespace (or, for the Debian tools, is not root).
"""
import argparse
import contextlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import (INSTALL_DIR, UNIT, UNIT_DIR, UNIT_PATH, WANTS_LINK, Skip, check, check_equal,  # noqa: E402
                     config_bytes, debian_root, host_mirror, in_private_namespace, private_mounts_or_skip, read,
                     run_one, tree, write)

RUN_DIR = "/run/systemd/system"
STATE_DIR = "/var/lib/systemd/deb-systemd-helper-enabled"
PACKAGED_UNIT = "/lib/systemd/system/" + UNIT
# The last version whose program wrote the unit into /etc itself: the upgrade test's start,
# built from its commit (tag v1.0.0), and the unit text it wrote for /opt/vbxmorvel.
OLD_VERSION, OLD_COMMIT = "1.0.0", "df5b46b"
OLD_UNIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake", "deb",
                        f"BrivonMorvel-{OLD_VERSION}.service")

# The program as the scripts must never see it: every call is recorded.
STUB_PROGRAM = r"""#!/bin/sh
echo "program $*" >> @ROOT@/calls
"""

# debconf's module without answers (the real one is tested with the real dpkg).
STUB_CONFMODULE = r"""
db_get() { RET=; }
db_purge() { :; }
db_stop() { :; }
"""

# deb-systemd-helper keeps its records under the scratch root and deb-systemd-invoke asks
# its policy-rc.d (DPKG_ROOT for them alone: the scripts themselves then still start and
# stop the service through the stubs).
HELPER = r"""#!/bin/sh
DPKG_ROOT=@ROOT@ exec /usr/bin/$(basename "$0") "$@"
"""

# systemctl as deb-systemd-invoke meets it: is-enabled reads the wants link, is-active a
# file that start and stop keep; a file "failstart" makes start fail. The changes (start,
# stop, restart, daemon-reload) are recorded, the questions are not.
STUB_SYSTEMCTL = r"""#!/bin/sh
root=@ROOT@
verb=
for a in "$@"; do
    case "$a" in -*) ;; *) verb=$a; break ;; esac
done
case "$verb" in
is-enabled)
    if [ -L "$root/etc/systemd/system/multi-user.target.wants/BrivonMorvel.service" ]; then echo enabled; exit 0; fi
    echo disabled; exit 1 ;;
is-active)
    [ -e "$root/active" ] ;;
start|restart)
    echo "systemctl $verb" >> "$root/calls"
    if [ -e "$root/failstart" ]; then echo "Job for BrivonMorvel.service failed." >&2; exit 1; fi
    touch "$root/active" ;;
stop)
    echo "systemctl stop" >> "$root/calls"
    rm -f "$root/active" ;;
*)
    echo "systemctl $verb" >> "$root/calls" ;;
esac
"""


def run(cmd, **kwargs):
    kwargs.setdefault("timeout", 60)
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def cpack(build, out, epoch=None, **env):
    """The build's packages made into `out`, with SOURCE_DATE_EPOCH only when an epoch is given."""
    environ = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    environ.update(env, **({} if epoch is None else {"SOURCE_DATE_EPOCH": str(epoch)}))
    p = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out], env=environ, timeout=300)
    check_equal(p.returncode, 0, f"cpack status ({p.stdout}{p.stderr})")
    return p


def build_package(build, scratch, version, epoch=None):
    p = cpack(build, scratch, epoch)
    path = os.path.join(scratch, f"vbxmorvel_{version}_amd64.deb")
    check(os.path.isfile(path), f"no {path}; cpack said:\n{p.stdout}")
    return path


def check_contents(deb):
    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    entries = {}
    for line in listing:
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        entries[path] = (mode, owner)
    folder, doc, file, program = ("drwxr-xr-x", "root/root"), "./usr/share/doc/vbxmorvel/", ("-rw-r--r--", "root/root"), \
        ("-rwxr-xr-x", "root/root")
    check_equal(entries, {
        "./lib/": folder, "./lib/systemd/": folder, "./lib/systemd/system/": folder, "." + PACKAGED_UNIT: file,
        "./opt/vbxmorvel/": folder, "./opt/vbxmorvel/VBxMorvel": program, "./opt/vbxmorvel/VBxPakketServer": program,
        "./usr/": folder, "./usr/share/": folder, "./usr/share/doc/": folder, doc: folder,
        doc + "README.md": file, doc + "changelog.gz": file, doc + "copyright": file,
        "./usr/share/lintian/": folder, "./usr/share/lintian/overrides/": folder,
        "./usr/share/lintian/overrides/vbxmorvel": file,
    }, "package contents (no ./opt/: base-files makes /opt, and a package that lists it takes it away on purge)")


def check_documents(deb, version, scratch):
    root = os.path.join(scratch, "documents")
    check_equal(run(["dpkg-deb", "-x", deb, root]).returncode, 0, "dpkg-deb -x")
    doc = os.path.join(root, "usr/share/doc/vbxmorvel")
    header = read(os.path.join(doc, "changelog.gz"))[:10]
    # gzip -9n: no file name (flag 8), no time stamp, the best compression (extra flag 2).
    check_equal((header[:3], header[3] & 8, header[4:8], header[8]), (b"\x1f\x8b\x08", 0, b"\0\0\0\0", 2),
                "changelog.gz: gzip, no name, no time, -9")
    p = run(["dpkg-parsechangelog", "-l", os.path.join(doc, "changelog.gz"), "--all", "-S", "Version"])
    versions = p.stdout.split()
    check_equal((p.returncode, versions[:1], len(set(versions)) == len(versions)), (0, [version], True),
                "changelog: the package's version first, one entry per version")
    p = run(["dpkg-parsechangelog", "-l", os.path.join(doc, "changelog.gz"), "-S", "Maintainer"])
    check_equal(p.stdout.strip(), run(["dpkg-deb", "-f", deb, "Maintainer"]).stdout.strip(), "changelog's maintainer")
    copyright = read(os.path.join(doc, "copyright")).decode()
    check(copyright.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
          and re.search(r"^Files: \*\nCopyright: \d{4}(-\d{4})? Vanto Brivon\nLicense: \S+\n All rights reserved\.\n",
                        copyright, re.M), f"machine-readable copyright of Vanto Brivon:\n{copyright}")
    lines = read(os.path.join(root, "usr/share/lintian/overrides/vbxmorvel")).decode().splitlines()
    overrides = [i for i, line in enumerate(lines) if line and not line.startswith("#")]
    check(overrides and all(i > 0 and lines[i - 1].startswith("# ") for i in overrides),
          f"every lintian override follows its reason:\n{lines}")


def check_reproducible(build, scratch, version):
    """Made again with the same SOURCE_DATE_EPOCH: the same bytes, every time stamp that
    time, and the ar members in dpkg-deb's order, owned by root."""
    epoch = 1700000000
    first = build_package(build, os.path.join(scratch, "epoch-1"), version, epoch)
    time.sleep(1.1)   # a second later: any time stamp taken from the clock would differ
    second = build_package(build, os.path.join(scratch, "epoch-2"), version, epoch)
    data = read(first)
    check(data == read(second), "two packages made with one SOURCE_DATE_EPOCH are the same bytes")
    check_equal(data[:8], b"!<arch>\n", "ar archive")
    members, at = [], 8
    while at < len(data):
        header = data[at:at + 60]
        name, mtime, uid, gid, mode, size = (header[0:16], header[16:28], header[28:34], header[34:40],
                                             header[40:48], header[48:58])
        members.append((name.decode().strip(), int(mtime), int(uid), int(gid), mode.decode().strip()))
        at += 60 + int(size) + int(size) % 2
    check_equal(members, [(n, epoch, 0, 0, "100644") for n in ("debian-binary", "control.tar.gz", "data.tar.gz")],
                "ar members: name, time, owner, group, mode")
    tar = subprocess.run(["dpkg-deb", "--fsys-tarfile", first], capture_output=True, timeout=60).stdout
    listing = subprocess.run(["tar", "-tv", "--full-time", "-f", "-"], input=tar, capture_output=True, timeout=60,
                             env=dict(os.environ, TZ="UTC")).stdout.decode()
    dates = {" ".join(line.split()[3:5]) for line in listing.splitlines()}
    check_equal(dates, {time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))}, "every file's time")


def check_zip(build, scratch, version):
    """The Windows ZIP, made in two time zones with one SOURCE_DATE_EPOCH: the same bytes,
    the members in name order, each dated that time in UTC, with the installation's modes."""
    epoch = 1700000000
    made = []
    for zone in ("UTC", "Pacific/Kiritimati"):
        out = os.path.join(scratch, zone.replace("/", "-"))
        cpack(build, out, epoch, TZ=zone)
        made.append(read(os.path.join(out, f"vbxmorvel_{version}_win64.zip")))
    check(made[0] == made[1], "two ZIPs made with one SOURCE_DATE_EPOCH in two time zones are the same bytes")
    with zipfile.ZipFile(os.path.join(scratch, "UTC", f"vbxmorvel_{version}_win64.zip")) as z:
        entries = [(i.filename, i.date_time, oct(i.external_attr >> 16 & 0o777)) for i in z.infolist()]
    when = time.gmtime(epoch)[:6]
    check_equal(entries, [("README.md", when, "0o644"), ("VBxMorvel.exe", when, "0o755"),
                          ("VBxPakketServer.exe", when, "0o755")], "ZIP members: name, time (UTC), mode")


def check_fields(deb, version):
    def field(name):
        return run(["dpkg-deb", "-f", deb, name]).stdout.strip()
    check_equal((field("Package"), field("Version"), field("Architecture")), ("vbxmorvel", version, "amd64"),
                "package, version, architecture")
    depends = [d.strip() for d in field("Depends").split(",")]
    names = [re.match(r"[a-z0-9.+-]+", d).group(0) for d in depends]
    computed = [d for d in depends if d != "debconf (>= 0.5) | debconf-2.0"]
    check(len(computed) < len(depends) and "libc6" in names
          and all(re.fullmatch(r"[a-z0-9.+-]+ \(>= [^)]+\)", d) for d in computed),
          f"Depends: debconf, and computed with versions, libc6 among them: {depends}")
    check(not any(n.startswith(("libstdc++", "libgcc")) for n in names),
          f"the C++ runtime and libgcc are linked in, not dependencies: {depends}")
    check(field("Maintainer") != "" and field("Description").startswith("Vanto Brivon Morvel Collector"),
          "maintainer and description")


class FakeRoot:
    """The extracted maintainer scripts, rewritten to work under a scratch root (a root
    without /opt and /etc/systemd at first); Debian's deb-systemd-helper keeps its records
    there too (<root>/var/lib/systemd)."""

    def __init__(self, deb, scratch, name, systemd=True):
        self.deb, self.root = deb, os.path.join(scratch, name)
        if systemd:   # a running systemd, as deb-systemd-invoke tells it
            os.makedirs(self.path(RUN_DIR))
        control = os.path.join(self.root, "control")
        os.makedirs(control)
        p = run(["dpkg-deb", "-e", deb, control])
        check_equal(p.returncode, 0, f"dpkg-deb -e ({p.stderr})")
        self.scripts = {}
        for script in ("preinst", "postinst", "prerm", "postrm"):
            path = os.path.join(control, script)
            check_equal(stat.S_IMODE(os.stat(path).st_mode), 0o755, f"mode of {script}")
            text = read(path).decode()
            check(text.startswith("#!/bin/sh\n") and "\nset -e\n" in text, f"{script}: POSIX sh with set -e")
            check_equal(run(["sh", "-n", path]).returncode, 0, f"{script} parses")
            for fixed in ("/opt", "/etc/systemd", RUN_DIR, "/usr/share/debconf"):
                text = text.replace(fixed, self.root + fixed)
            write(path, text)
            self.scripts[script] = path
        # Outside <root>/bin: deb-systemd-helper then makes the links itself, as in a root
        # without systemd, instead of asking systemctl for the presets.
        self.bin = os.path.join(self.root, "stubs")
        os.makedirs(self.bin)
        for name, text in (("systemctl", STUB_SYSTEMCTL), ("deb-systemd-helper", HELPER),
                           ("deb-systemd-invoke", HELPER)):
            write_script(os.path.join(self.bin, name), text.replace("@ROOT@", self.root))
        os.makedirs(self.path("/usr/share/debconf"))
        write(self.path("/usr/share/debconf/confmodule"), STUB_CONFMODULE)

    def path(self, absolute):
        return self.root + absolute

    def unpack(self):
        """What dpkg unpacks; the program is a stub that records being run."""
        check_equal(run(["dpkg-deb", "-x", self.deb, self.root]).returncode, 0, "dpkg-deb -x")
        write_script(self.path(INSTALL_DIR + "/VBxMorvel"), STUB_PROGRAM.replace("@ROOT@", self.root))

    def configure(self, *old):
        """Unpacked, then postinst configure [the old version]: (status, stderr, calls)."""
        self.unpack()
        return self.run("postinst", "configure", *old)

    def remove_files(self):
        """What dpkg removes: the package's own files; the folder stays while not empty."""
        for name in (INSTALL_DIR + "/VBxMorvel", INSTALL_DIR + "/VBxPakketServer", PACKAGED_UNIT):
            if os.path.lexists(self.path(name)):
                os.remove(self.path(name))
        with contextlib.suppress(OSError):
            os.rmdir(self.path(INSTALL_DIR))

    def policy(self, status):
        """policy-rc.d answering every action with `status`; None removes it."""
        path = self.path("/usr/sbin/policy-rc.d")
        if status is None:
            os.remove(path)
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_script(path, f"#!/bin/sh\nexit {status}\n")

    def set(self, name, present):
        """A marker file of the stubs: "active" (the service runs), "failstart"."""
        if present:
            write(self.path("/" + name), "")
        else:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.path("/" + name))

    def run(self, script, *args):
        """Runs one maintainer script; returns (status, stderr, calls made since the last run)."""
        env = {"PATH": self.bin + ":/usr/bin:/bin:/usr/sbin:/sbin", "LC_ALL": "C",
               "DPKG_MAINTSCRIPT_PACKAGE": "vbxmorvel", "DPKG_MAINTSCRIPT_NAME": script}
        p = run([self.scripts[script], *args], env=env)
        calls = []
        with contextlib.suppress(FileNotFoundError):
            calls = read(self.path("/calls")).decode().splitlines()
            os.remove(self.path("/calls"))
        return p.returncode, p.stderr, calls

    def helper(self, *args):
        """deb-systemd-helper as an earlier version's scripts ran it."""
        p = run([os.path.join(self.bin, "deb-systemd-helper"), *args, UNIT],
                env=dict(os.environ, DPKG_MAINTSCRIPT_PACKAGE="vbxmorvel", PATH="/usr/bin:/bin"))
        check_equal(p.returncode, 0, f"deb-systemd-helper {args} ({p.stderr})")

    def link(self):
        """The wants link's target, or None."""
        return os.readlink(self.path(WANTS_LINK)) if os.path.islink(self.path(WANTS_LINK)) else None

    def state(self):
        """(the packaged unit there, the wants link's target, running)."""
        return os.path.exists(self.path(PACKAGED_UNIT)), self.link(), os.path.exists(self.path("/active"))

    def upgrade(self, old="1.1.0"):
        """Old prerm (this version's), new preinst, unpack, old postrm, new postinst."""
        check_equal(self.run("prerm", "upgrade", "1.1.0")[::2], (0, []) if not os.path.isdir(self.path(RUN_DIR))
                    else (0, [STOP]), "prerm upgrade")
        check_equal(self.run("preinst", "upgrade", old), (0, "", []), "preinst upgrade")
        self.unpack()
        check_equal(self.run("postrm", "upgrade", "1.1.0"), (0, "", []), "postrm upgrade")
        return self.run("postinst", "configure", old)

    def remove(self):
        self.run("prerm", "remove")
        self.remove_files()
        return self.run("postrm", "remove")


def write_script(path, text):
    write(path, text)
    os.chmod(path, 0o755)


RELOAD = "systemctl daemon-reload"
START = "systemctl start"
RESTART = "systemctl restart"
STOP = "systemctl stop"


def check_life_cycle(deb, scratch):
    """Install, upgrade, disable, remove, install again and purge, with and without a
    running systemd, in a root that has no /etc/systemd at first: the service is enabled on
    the first installation only, and the administrator's choice survives upgrades and
    removals until the purge."""
    for systemd in (True, False):
        fake = FakeRoot(deb, scratch, f"cycle-{systemd}", systemd)
        on = (lambda *calls: list(calls)) if systemd else (lambda *calls: [])
        what_systemd = "with systemd" if systemd else "without systemd"
        # deb-systemd-invoke's word for a service it leaves alone.
        left_alone = "BrivonMorvel.service is a disabled or a static unit not running, not starting it.\n" \
            if systemd else ""
        enabled, disabled = (True, PACKAGED_UNIT, systemd), (True, None, False)

        def step(result, expected, what, state=None):
            """A step's (status, stderr, calls); then the state, when given."""
            check_equal(result, expected, f"{what} {what_systemd}")
            if state:
                check_equal(fake.state(), state, f"{what} {what_systemd}: the unit, the link, running")

        step(fake.run("preinst", "install"), (0, "", []), "preinst install")
        step(fake.configure(), (0, "", on(RELOAD, START)), "install: enabled as systemctl enable does", enabled)
        check(os.path.isfile(fake.path(STATE_DIR + "/BrivonMorvel.service.dsh-also")),
              "deb-systemd-helper recorded the enablement")

        # An upgrade stops and restarts; the operator's configuration survives.
        write(fake.path(INSTALL_DIR + "/VBxMorvelClient.xml"), "operator's settings")
        step(fake.upgrade(), (0, "", on(RELOAD, RESTART)), "upgrade", enabled)
        check_equal(read(fake.path(INSTALL_DIR + "/VBxMorvelClient.xml")), b"operator's settings",
                    "configuration kept by the upgrade")

        # Disabled by the administrator (systemctl disable --now): upgrades, and a removal
        # and an installation again, keep it so.
        os.remove(fake.path(WANTS_LINK))
        fake.set("active", False)
        step(fake.upgrade(), (0, left_alone, on(RELOAD)), "upgrade of a disabled one: stays so, stopped", disabled)
        step(fake.remove(), (0, "", on(RELOAD)), "removal of a disabled one")
        step(fake.configure("1.1.0"), (0, left_alone, on(RELOAD)), "installing a disabled one again", disabled)

        # Enabled again (systemctl enable); a removal leaves the link as the choice and the
        # configuration, so installing again brings the service back.
        os.symlink(PACKAGED_UNIT, fake.path(WANTS_LINK))
        fake.remove()
        check_equal((fake.link(), os.listdir(fake.path(INSTALL_DIR))), (PACKAGED_UNIT, ["VBxMorvelClient.xml"]),
                    f"a removal leaves the choice and the configuration {what_systemd}")
        step(fake.configure("1.1.0"), (0, "", on(RELOAD, RESTART)), "installing again after a removal", enabled)

        # Purge: nothing is left, the choice is forgotten, and purging again is harmless.
        # The unit folders go too when they are empty and no package owns them.
        fake.remove()
        step(fake.run("postrm", "purge"), (0, "", []), "purge")
        check_equal(os.listdir(fake.path("/opt")), [], "purge leaves /opt, and nothing in it")
        check(not os.path.lexists(fake.path("/etc/systemd")), "purge leaves no link and no empty unit folder")
        check(not os.path.exists(fake.path(STATE_DIR)), "purge forgets the enablement")
        step(fake.run("postrm", "purge"), (0, "", []), "second purge")
        step(fake.configure(), (0, "", on(RELOAD, START)), "a first installation again after a purge", enabled)


def check_awkward_states(deb, scratch):
    """Configured twice, policy-rc.d, a failing start, aborted steps, and the upgrade from
    1.0.0, whose program wrote the unit into /etc."""
    fake = FakeRoot(deb, scratch, "awkward")
    check_equal(fake.run("preinst", "install"), (0, "", []), "preinst in a root without /opt")
    check_equal(oct(stat.S_IMODE(os.stat(fake.path("/opt")).st_mode)), "0o755", "/opt made by preinst")
    fake.configure()
    check_equal(fake.run("postinst", "configure"), (0, "", [RELOAD, START]), "configured twice")

    # policy-rc.d says no (an image build): nothing is started or stopped.
    fake.policy(101)
    check_equal(fake.run("prerm", "upgrade", "1.1.0")[::2], (0, []), "prerm upgrade with policy-rc.d 101")
    fake.set("active", False)
    status, err, calls = fake.run("postinst", "configure", "1.1.0")
    check_equal((status, calls), (0, [RELOAD]), "configure with policy-rc.d 101")
    check("policy-rc.d returned 101" in err, f"deb-systemd-invoke says why: {err!r}")
    check_equal(fake.state(), (True, PACKAGED_UNIT, False), "enabled, not started")
    fake.policy(None)

    # A service that fails to start: reported, and the configuration still succeeds.
    fake.set("failstart", True)
    status, err, calls = fake.run("postinst", "configure", "1.1.0")
    check_equal((status, calls), (0, [RELOAD, RESTART]), "configure with a failing start")
    check("the service BrivonMorvel did not start" in err, f"the failed start is reported: {err!r}")
    fake.set("failstart", False)

    # dpkg takes a removal or an upgrade back: the service runs again.
    fake.run("prerm", "remove")
    check_equal(fake.run("postinst", "abort-remove"), (0, "", [RELOAD, START]), "abort-remove")
    fake.run("prerm", "upgrade", "9.0")
    check_equal(fake.run("postinst", "abort-upgrade", "9.0"), (0, "", [RELOAD, RESTART]), "abort-upgrade")
    check_equal(fake.state(), (True, PACKAGED_UNIT, True), "back after abort-upgrade")

    # From 1.0.0, whose postinst ran /INSTALL (the unit in /etc and a link to ../unit, which
    # systemctl preset may have made absolute), then deb-systemd-helper enable: (name, the
    # /etc unit, the link's target, removed by 1.0.0's prerm) -> (the /etc unit kept, the
    # link's target after, running, what postinst says).
    old_text = read(OLD_UNIT)
    message = (f"vbxmorvel: {UNIT_PATH} was changed locally and still overrides {PACKAGED_UNIT}; "
               "'systemctl revert BrivonMorvel' goes back to the packaged unit\n")
    rows = [
        ("untouched, enabled", old_text, "../" + UNIT, False, (False, PACKAGED_UNIT, True, "")),
        ("untouched, disabled", old_text, None, False, (False, None, False, "left alone")),
        ("edited, enabled", old_text.replace(b"RestartSec=5", b"RestartSec=30"), UNIT_PATH, False,
         (True, PACKAGED_UNIT, True, message)),
        ("removed by 1.0.0", old_text, UNIT_PATH, True, (False, PACKAGED_UNIT, True, "")),
    ]
    for name, text, target, removed, expected in rows:
        fake = FakeRoot(deb, scratch, "from-1.0.0-" + name.replace(" ", "").replace(",", "-"))
        os.makedirs(fake.path(UNIT_DIR + "/multi-user.target.wants"))
        write(fake.path(UNIT_PATH), text)
        os.symlink("../" + UNIT, fake.path(WANTS_LINK))
        fake.helper("enable")
        os.remove(fake.path(WANTS_LINK))
        if target:   # an absolute one under the scratch root, as the scripts see /etc there
            os.symlink(fake.path(target) if target.startswith("/") else target, fake.path(WANTS_LINK))
        if removed:   # 1.0.0's /UNINSTALL took the unit; its prerm put the link back
            os.remove(fake.path(UNIT_PATH))
        status, err, calls = fake.configure(OLD_VERSION)
        outcome = (os.path.exists(fake.path(UNIT_PATH)), fake.link(), os.path.exists(fake.path("/active")),
                   "left alone" if "not starting it" in err else err.replace(fake.root, ""))
        check_equal((status, outcome), (0, expected), f"upgrade from 1.0.0, {name}")


def check_with_dpkg(deb, scratch):
    """The real dpkg and program, in a private mount namespace so that nothing reaches the
    machine: this script again, inside `unshare -m`."""
    private_mounts_or_skip()
    for folder in ("/opt", "/etc/systemd", "/var/lib/systemd", "/var/lib/dpkg"):
        if not os.path.isdir(folder):
            raise Skip(f"no {folder} here to cover with a private folder")
    before = {folder: tree(folder) for folder in ("/opt", "/etc/systemd", "/var/lib/systemd", "/lib/systemd/system")}
    status = in_private_namespace("--inside-namespace", deb, "--scratch", scratch, timeout=240)
    for folder, listing in before.items():
        check_equal(tree(folder), listing, f"the machine's {folder} is unchanged")
    check_equal(status, 0, "checks inside the namespace")


def inside_namespace(deb, scratch):
    # An empty /etc/systemd: the unit folder is missing, as in a root without systemd; the
    # packaged unit goes to a private /lib/systemd/system.
    for folder, target in (("opt", "/opt"), ("etc-systemd", "/etc/systemd"), ("var-lib-systemd", "/var/lib/systemd"),
                           ("run", "/run"), ("lib-systemd-system", os.path.realpath("/lib/systemd/system"))):
        os.makedirs(os.path.join(scratch, folder))
        subprocess.run(["mount", "--bind", os.path.join(scratch, folder), target], check=True)
    # debconf's answers on a copy too.
    shutil.copytree("/var/cache/debconf", os.path.join(scratch, "debconf"), ignore=shutil.ignore_patterns("*.old"))
    subprocess.run(["mount", "--bind", os.path.join(scratch, "debconf"), "/var/cache/debconf"], check=True)
    admin = os.path.join(scratch, "dpkg")
    shutil.copytree("/var/lib/dpkg", admin, symlinks=True, ignore=shutil.ignore_patterns("lock*"))

    def dpkg(*args, **env):
        p = run(["dpkg", f"--admindir={admin}", f"--log={scratch}/dpkg.log", *args], timeout=120,
                env=dict(os.environ, **env))
        check_equal(p.returncode, 0, f"dpkg {' '.join(args)} status ({p.stdout}{p.stderr})")
        return p

    def enabled():
        return os.path.realpath(WANTS_LINK) == os.path.realpath(PACKAGED_UNIT)

    # The packaged unit is the one /INSTALL writes for the program in /opt/vbxmorvel.
    files = os.path.join(scratch, "files")
    check_equal(run(["dpkg-deb", "-x", deb, files]).returncode, 0, "dpkg-deb -x")
    # A chroot that sees a running systemd: systemctl answers, and none of it reaches the
    # program's output.
    os.makedirs(INSTALL_DIR)
    shutil.copy(files + INSTALL_DIR + "/VBxMorvel", INSTALL_DIR)
    os.makedirs(RUN_DIR)
    stubs = os.path.join(scratch, "stubs")
    os.makedirs(stubs)
    write_script(os.path.join(stubs, "systemctl"), "#!/bin/sh\necho \"Running in chroot, ignoring command '$1'\" | "
                 f"tee -a {scratch}/systemctl >&2\n")
    p = run([INSTALL_DIR + "/VBxMorvel", "/INSTALL", "/SILENT"], env=dict(os.environ, PATH=stubs + ":/usr/bin:/bin"))
    check_equal((p.returncode, p.stdout, p.stderr, read(f"{scratch}/systemctl")),
                (0, "", "", b"Running in chroot, ignoring command 'daemon-reload'\n"),
                "/INSTALL /SILENT of /opt/vbxmorvel/VBxMorvel: systemctl ran, silenced")
    shutil.rmtree("/run/systemd")
    check_equal(read(UNIT_PATH).decode(), read(files + PACKAGED_UNIT).decode(), "the packaged unit is /INSTALL's")
    run([INSTALL_DIR + "/VBxMorvel", "/UNINSTALL", "/SILENT"])
    shutil.rmtree(INSTALL_DIR)
    check_equal(tree("/etc/systemd"), [UNIT_DIR, UNIT_DIR + "/multi-user.target.wants"], "/UNINSTALL took all")
    shutil.rmtree(UNIT_DIR)

    # Roots where systemd cannot be asked: none runs (no /run/systemd/system), systemctl
    # told to work offline, and a chroot that sees a running systemd's /run without one.
    for name, env, running in (("no systemd", {}, False), ("SYSTEMD_OFFLINE=1", {"SYSTEMD_OFFLINE": "1"}, True),
                               ("/run/systemd/system without systemd", {}, True)):
        if running:
            os.makedirs(RUN_DIR, exist_ok=True)
        dpkg("-i", deb, **env)
        check_equal(dpkg("-S", PACKAGED_UNIT).stdout, f"vbxmorvel: {PACKAGED_UNIT}\n", "dpkg -S knows the unit")
        check_equal((os.path.lexists(UNIT_PATH), enabled()), (False, True), f"{name}: enabled, nothing else in /etc")
        write(INSTALL_DIR + "/VBxMorvelClient.xml", "operator's settings")
        if not running:   # the choices, once: the other roots differ only in what systemctl says
            dpkg("-i", deb, **env)
            check_equal(read(INSTALL_DIR + "/VBxMorvelClient.xml"), b"operator's settings", "configuration kept")
            os.remove(WANTS_LINK)   # disabled by the administrator: installing again keeps it so
            dpkg("-i", deb, **env)
            check(not os.path.lexists(WANTS_LINK), f"{name}: still disabled after an upgrade")
            os.symlink(PACKAGED_UNIT, WANTS_LINK)
        dpkg("-r", "vbxmorvel", **env)
        check_equal((enabled(), os.listdir(INSTALL_DIR)), (True, ["VBxMorvelClient.xml"]),
                    f"{name}: a removal leaves the choice and the configuration")
        dpkg("-i", deb, **env)
        check(enabled(), f"{name}: enabled after installing again")
        dpkg("-P", "vbxmorvel", **env)
        check_equal((os.listdir("/opt"), os.listdir("/var/lib/systemd"), os.path.lexists(WANTS_LINK)), ([], [], False),
                    f"{name}: purge leaves nothing in /opt and forgets the enablement")
        shutil.rmtree("/run/systemd", ignore_errors=True)

    # Preseeded answers make the first configuration (the other values the defaults);
    # installing again with other answers keeps it and says so; purging forgets them.
    config = INSTALL_DIR + "/VBxMorvelClient.xml"
    for answers in (("port string 4011", "httptimer string 1000"), ("port string 4012",)):
        selections = "".join(f"vbxmorvel vbxmorvel/{answer}\n" for answer in answers)
        check_equal(run(["debconf-set-selections"], input=selections).returncode, 0, "debconf-set-selections")
        said = dpkg("-i", deb).stderr
        check_equal(read(config), config_bytes(INSTALL_DIR + "/", http_timer=1000, port=4011),
                    f"preseeded {answers!r}: the configuration")
    check(f"vbxmorvel: The configuration exists and was not changed: {config}\n" in said, f"kept, and said: {said}")
    dpkg("-P", "vbxmorvel")
    check_equal(run(["debconf-show", "vbxmorvel"]).stdout, "", "purge forgets the answers")

    # The first installation enables through systemd's presets: a site that disables the
    # service by preset gets it disabled, and upgrades keep that.
    os.makedirs("/etc/systemd/system-preset")
    write("/etc/systemd/system-preset/50-site.preset", f"disable {UNIT}\n")
    for _ in range(2):
        dpkg("-i", deb)
        check(not os.path.lexists(WANTS_LINK), "disabled by a preset")
    dpkg("-P", "vbxmorvel")


def old_version_package(build, source):
    """The real 1.0.0 package: its commit exported from the repository's history into
    <build>/upgrade-from-1.0.0 (kept, so that a later run only packs it again), built there
    with the compiler cache when there is one, and packed by its own scripts/package.sh.
    Skipped where the history lacks the commit (a shallow clone)."""
    if run(["git", "-C", source, "cat-file", "-e", OLD_COMMIT + "^{commit}"]).returncode != 0:
        raise Skip(f"the history has no commit {OLD_COMMIT} (version {OLD_VERSION}) to upgrade from")
    tree = os.path.join(build, f"upgrade-from-{OLD_VERSION}")
    if not os.path.isfile(os.path.join(tree, "CMakeLists.txt")):
        shutil.rmtree(tree, ignore_errors=True)
        os.makedirs(tree)
        archive = subprocess.run(["git", "-C", source, "archive", OLD_COMMIT], capture_output=True, timeout=120)
        check_equal(archive.returncode, 0, f"git archive {OLD_COMMIT} ({archive.stderr.decode()})")
        check_equal(subprocess.run(["tar", "-x", "-C", tree], input=archive.stdout).returncode, 0, "tar -x")
    launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
    p = run(["cmake", "--preset", "linux", "-DVBX_BUILD_TESTS=OFF", "-DVBX_BUILD_BENCH=OFF", *launcher], cwd=tree,
            timeout=300)
    check_equal(p.returncode, 0, f"configuring version {OLD_VERSION} ({p.stdout}{p.stderr})")
    epoch = run(["git", "-C", source, "log", "-1", "--format=%ct", OLD_COMMIT]).stdout.strip()
    p = run(["scripts/package.sh", "linux"], cwd=tree, timeout=1200, env=dict(os.environ, SOURCE_DATE_EPOCH=epoch))
    check_equal(p.returncode, 0, f"building version {OLD_VERSION} ({p.stdout[-3000:]}{p.stderr[-3000:]})")
    path = p.stdout.splitlines()[-1]
    check_equal(run(["dpkg-deb", "-f", path, "Version"]).stdout.strip(), OLD_VERSION, "the old package's version")
    return path


def check_debian_tools(build, source, deb, scratch):
    """lintian, hardening-check and piuparts, as Debian would judge the package."""
    if os.geteuid() != 0:
        raise Skip("piuparts needs root")
    missing = [t for t in ("lintian", "hardening-check", "piuparts", "dpkg-scanpackages") if shutil.which(t) is None]
    if missing:
        raise Skip(f"{', '.join(missing)} missing (packages lintian, devscripts, piuparts, dpkg-dev)")
    started = time.monotonic()

    p = run(["lintian", "--no-cfg", "--fail-on", "error,warning", "--display-info", deb], timeout=300)
    print(p.stdout, end="")
    check_equal((p.returncode, [line for line in p.stdout.splitlines() if line.startswith(("E:", "W:"))]), (0, []),
                "lintian: no error and no warning")
    check(not re.search(r"^I: vbxmorvel: (unused|mismatched)-override", p.stdout, re.M), "every lintian override is used")

    binaries = os.path.join(scratch, "binaries")
    run(["dpkg-deb", "-x", deb, binaries])
    programs = [os.path.join(binaries, "opt/vbxmorvel", name) for name in ("VBxMorvel", "VBxPakketServer")]
    # Control-flow protection needs start files built with it, which Debian 12's are not:
    # the program's own code has it, the binary's note cannot say so. (Stack-clash probes
    # appear only in functions with large frames; hardening-check never fails on them.)
    p = run(["hardening-check", "--nocfprotection", *programs])
    print(p.stdout, end="")
    check_equal(p.returncode, 0, "hardening-check: PIE, stack protector, fortify, RELRO, immediate binding")

    try:
        old = old_version_package(build, source)
    except Skip as why:
        old, missing_history = None, why
    repo = os.path.join(scratch, "repo")
    os.makedirs(repo)
    if old:
        shutil.copy(old, repo)
    p = run(["dpkg-scanpackages", "."], cwd=repo)
    check_equal(p.returncode, 0, f"dpkg-scanpackages ({p.stderr})")
    write(os.path.join(repo, "Packages"), p.stdout)
    # The real-systemd test's cached Debian 12 root, and the mirror the host's apt uses.
    root = debian_root()
    log = os.path.join(scratch, "piuparts.log")
    p = run(["piuparts", "--existing-chroot", root, "--distribution", "bookworm", "--mirror", host_mirror(),
             "--no-eatmydata", "--tmpdir", scratch, f"--bindmount={repo}",
             f"--extra-repo=deb [trusted=yes] file://{repo} ./", "--log-file", log, deb], timeout=900)
    text = read(log).decode(errors="replace")
    verdicts = re.findall(r"(?:PASS|FAIL): .*", text)
    print("\n".join(sorted(set(re.findall(r"(?:Unpacking|Setting up|Removing|Purging) vbxmorvel .*", text)))
                    + verdicts))
    if p.returncode != 0:
        print(text[-8000:])
    check_equal((p.returncode, "PASS: Installation and purging test." in verdicts,
                 "PASS: Installation, upgrade and purging tests." in verdicts), (0, True, old is not None),
                f"piuparts: install and purge, upgrade from {OLD_VERSION}")
    print(f"Debian's tools passed in {time.monotonic() - started:.0f} s")
    if old is None:
        raise missing_history


def check_package(args, build, scratch):
    if args.zip:
        if shutil.which("cpack") is None:
            raise Skip("cpack missing (package cmake)")
        check_zip(build, scratch, args.version)
        return
    missing = [t for t in ("cpack", "dpkg-deb", "dpkg-shlibdeps") if shutil.which(t) is None]
    if missing:
        raise Skip(f"{', '.join(missing)} missing (packages cmake, dpkg, dpkg-dev)")
    deb = build_package(build, scratch, args.version)
    if args.dpkg:
        check_with_dpkg(deb, scratch)
    elif args.debian_tools:
        check_debian_tools(build, os.path.abspath(args.source), deb, scratch)
    else:
        check_contents(deb)
        check_documents(deb, args.version, scratch)
        check_reproducible(build, scratch, args.version)
        check_fields(deb, args.version)
        check_life_cycle(deb, scratch)
        check_awkward_states(deb, scratch)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build")
    parser.add_argument("--version")
    parser.add_argument("--dpkg", action="store_true", help="install with the real dpkg in a mount namespace")
    parser.add_argument("--debian-tools", action="store_true", help="lintian, hardening-check and piuparts")
    parser.add_argument("--zip", action="store_true", help="the Windows build's ZIP instead of the .deb")
    parser.add_argument("--source", help="the source tree (--debian-tools builds 1.0.0 from its history)")
    parser.add_argument("--inside-namespace", metavar="DEB")
    parser.add_argument("--scratch")
    args = parser.parse_args()
    if args.inside_namespace:
        return run_one("package inside the namespace", inside_namespace, args.inside_namespace,
                       os.path.join(args.scratch, "namespace"))
    if not args.build or not args.version:
        parser.error("--build and --version are needed")
    scratch = tempfile.mkdtemp(prefix="vbx-package-")
    try:
        return run_one("package", check_package, args, os.path.abspath(args.build), scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
