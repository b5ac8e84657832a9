#!/usr/bin/env python3
"""The Debian package, made with cpack from a build folder (--build, --version) into a scratch folder:
  - by default: its contents, owners and modes, documents, reproducibility and control fields;
  - with --dpkg: the maintainer scripts with the real dpkg in a private mount namespace, in roots
    where systemd cannot be asked (under a running systemd: systemd_real.py);
  - with --debian-tools --source .: lintian, hardening-check, and piuparts in the real-systemd
    test's cached Debian 12 root (install and purge, and an upgrade from the real 1.0.0 package);
  - with --zip (the Windows build): its ZIP made in two time zones, the same bytes.
Status 0 when every check passed, 1 on a failure, 77 when a tool is missing or the machine
has no private mount namespace (or, for the Debian tools, is not root)."""
import argparse
import os
import re
import shutil
import struct
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
# The last version whose program wrote the unit into /etc itself: piuparts' upgrade starts
# from its package, built from its commit (tag v1.0.0).
OLD_VERSION, OLD_COMMIT = "1.0.0", "df5b46b"


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
    fields = [line.split(None, 5) for line in run(["dpkg-deb", "-c", deb]).stdout.splitlines()]
    entries = {path: (mode, owner) for mode, owner, _size, _date, _time, path in fields}
    folder, file, program = ("drwxr-xr-x", "root/root"), ("-rw-r--r--", "root/root"), ("-rwxr-xr-x", "root/root")
    doc = "./usr/share/doc/vbxmorvel/"
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
        name, mtime, uid, gid, mode, size = struct.unpack("16s12s6s6s8s10s", data[at:at + 58])
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


def check_with_dpkg(deb, scratch):
    """The real dpkg and program, in a private mount namespace (this script again, inside `unshare -m`)."""
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
    write(os.path.join(stubs, "systemctl"), "#!/bin/sh\necho \"Running in chroot, ignoring command '$1'\" | "
          f"tee -a {scratch}/systemctl >&2\n")
    os.chmod(os.path.join(stubs, "systemctl"), 0o755)
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
    # told to work offline, and a chroot that sees a running systemd's /run without one. The
    # administrator's choices across upgrades and removals: systemd_real.py, under systemd.
    for name, env, running in (("no systemd", {}, False), ("SYSTEMD_OFFLINE=1", {"SYSTEMD_OFFLINE": "1"}, True),
                               ("/run/systemd/system without systemd", {}, True)):
        if running:
            os.makedirs(RUN_DIR, exist_ok=True)
        dpkg("-i", deb, **env)
        check_equal(dpkg("-S", PACKAGED_UNIT).stdout, f"vbxmorvel: {PACKAGED_UNIT}\n", "dpkg -S knows the unit")
        check_equal((os.path.lexists(UNIT_PATH), os.path.realpath(WANTS_LINK) == os.path.realpath(PACKAGED_UNIT),
                     os.path.isfile(f"{STATE_DIR}/{UNIT}.dsh-also")),
                    (False, True, True), f"{name}: enabled and recorded, nothing else in /etc")
        write(INSTALL_DIR + "/VBxMorvelClient.xml", "operator's settings")
        dpkg("-P", "vbxmorvel", **env)
        # The wants folder deb-systemd-helper made goes too: empty, and no package owns it.
        check_equal((os.listdir("/opt"), os.listdir("/var/lib/systemd"), os.path.lexists(os.path.dirname(WANTS_LINK))),
                    ([], [], False), f"{name}: purge leaves nothing in /opt and forgets the enablement")
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
    """The real 1.0.0 package: its commit exported into <build>/upgrade-from-1.0.0 (kept: a later
    run only packs it again), packed by its own scripts/package.sh. Skipped in a shallow clone."""
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
    check_equal((p.returncode, [line for line in p.stdout.splitlines() if line.startswith(("E:", "W:"))],
                 re.findall(r"^I: vbxmorvel: (?:unused|mismatched)-override.*", p.stdout, re.M)), (0, [], []),
                "lintian: no error, no warning, every override used")

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
    tools = ("cpack",) if args.zip else ("cpack", "dpkg-deb", "dpkg-shlibdeps")
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise Skip(f"{', '.join(missing)} missing (packages cmake, dpkg, dpkg-dev)")
    if args.zip:
        return check_zip(build, scratch, args.version)
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


def main():
    parser = argparse.ArgumentParser()
    for name in ("--build", "--version", "--scratch"):
        parser.add_argument(name)
    parser.add_argument("--dpkg", action="store_true", help="install with the real dpkg in a mount namespace")
    parser.add_argument("--debian-tools", action="store_true", help="lintian, hardening-check and piuparts")
    parser.add_argument("--zip", action="store_true", help="the Windows build's ZIP instead of the .deb")
    parser.add_argument("--source", help="the source tree (--debian-tools builds 1.0.0 from its history)")
    parser.add_argument("--inside-namespace", metavar="DEB")
    args = parser.parse_args()
    if args.inside_namespace:
        return run_one("package inside the namespace", inside_namespace, args.inside_namespace,
                       os.path.join(args.scratch, "namespace"))
    if not args.build or not args.version:
        parser.error("--build and --version are needed")
    with tempfile.TemporaryDirectory(prefix="vbx-package-", ignore_cleanup_errors=True) as scratch:
        return run_one("package", check_package, args, os.path.abspath(args.build), scratch)


if __name__ == "__main__":
    sys.exit(main())
