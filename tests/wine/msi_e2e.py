#!/usr/bin/env python3
"""The Windows Installer package (scripts/msi.py) built, installed, upgraded and removed
with Wine's msiexec.

    msi_e2e.py --exe VBxMorvel.exe --controller vbx_sc_controller.exe \
               --runner run-under-wine.sh --version 1.2.3

- the package: its codes derive from the version, and two builds give the same bytes;
- a service BrivonMorvel registered by hand stops the installation before it changes
  anything, with a message naming that registration;
- msiexec /i /qn: the program in Program Files, the service registered as /INSTALL does
  and running, its event sources, TV_BRIVON.XML written against the installed packet
  server VBxPakketServer.exe;
- a higher version with the same upgrade code replaces the program and keeps the
  configuration and the running service;
- msiexec /x /qn: no service, no event sources, no keys, no program; the working tree
  and the configuration stay.

Wine's msiexec runs the older version's removal during an upgrade without
UPGRADINGPRODUCTCODE, so there the older version unregisters the service and the upgrade
registers it again (Windows keeps the registration); Wine keeps no recovery actions.
Exit status 0 when every check passed, 1 on the first failed check, 77 when the machine
lacks what the test needs.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
sys.dont_write_bytecode = True   # nothing written into the source tree
import msi  # noqa: E402
from vbxtest import (DESCRIPTION, DISPLAY_NAME, ERROR_FILE_NOT_FOUND, ERROR_INVALID_LEVEL,  # noqa: E402
                     ERROR_SERVICE_DOES_NOT_EXIST, INSTALLED, RECEIVED, RECOVERY, RUNNING, SOURCE, STOP_PENDING,
                     STOPPED_STATE, UNINSTALLED,
                     WINE_OUTPUT, WINE_REPLY, PacketServer, Service, check, check_equal, entries_in, free_port, read,
                     run_under_wine, short_config, wait_until, write)

ERROR_INSTALL_FAILURE = 1603
FOLDER_WIN = "C:\\Program Files\\Vanto Brivon Morvel\\"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"


def next_version(version):
    parts = version.split(".")
    return ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])


def build_packages(args, work):
    """This version's package (twice, to compare) and a higher version's, whose program
    differs by one byte so that the test sees it replaced."""
    later = os.path.join(work, "later")
    os.makedirs(later)
    for name in msi.FILES:
        shutil.copy(os.path.join(args.build, name), os.path.join(later, name))
    with open(os.path.join(later, "VBxMorvel.exe"), "ab") as f:
        f.write(b"\0")
    check_equal(msi.project_version(args.build), args.version, "the package's version is the build's")
    first = msi.build(args.build, os.path.join(work, "a", "this.msi"))
    again = msi.build(args.build, os.path.join(work, "b", "this.msi"), version=args.version)
    higher = msi.build(later, os.path.join(work, "higher.msi"), version=next_version(args.version))
    check_equal(read(first), read(again), "two builds of the package")
    return first, higher, os.path.join(later, "VBxMorvel.exe")


def msiinfo(*args):
    return subprocess.run(["msiinfo", *args], capture_output=True, text=True, check=True).stdout


def check_codes(path, version):
    product, package = msi.codes(version)
    check(product != package and msi.codes(version) == (product, package), "codes derived from the version")
    check(msi.codes(next_version(version))[0] != product, "another version, another product code")
    props = msiinfo("export", path, "Property")
    check(f"ProductCode\t{product}\n" in props and f"ProductVersion\t{version}\n" in props,
          f"product code and version in the package: {props}")
    summary = msiinfo("suminfo", path)
    check(f"Revision number (UUID): {package}\n" in summary, f"package code in the summary: {summary}")
    conditions = msiinfo("export", path, "LaunchCondition")
    check("Installed OR WIX_UPGRADE_DETECTED OR NOT EXISTINGSERVICE\tThe service BrivonMorvel is already registered, "
          "and not by this product: its program is [EXISTINGSERVICE]. Nothing was changed." in conditions,
          f"the refusal of another registration names it: {conditions}")
    actions = msiinfo("export", path, "CustomAction")
    # Registration only through the program: no ServiceInstall rows; rollback actions are rollback ones.
    check_equal(msiinfo("export", path, "ServiceInstall").splitlines()[3:], [], "no ServiceInstall rows")
    for action, command in (("RegisterService", "/INSTALL /SILENT"), ("UnregisterService", "/UNINSTALL /SILENT")):
        check(f"{action}\t3090\tVBxMorvel.exe\t{command}\t" in actions, f"{action}: deferred, as the system: {actions}")
        check(f"{action}Rollback\t{msi.ROLLBACK_EXE_TYPE}\t" in actions, f"{action}Rollback: a rollback action")


class Installer:
    def __init__(self, session):
        self.session = session
        self.logs = 0

    def msiexec(self, *args):
        """msiexec with a verbose log; (status, log text, event-log entries of its actions)."""
        self.logs += 1
        log = f"C:\\msiexec-{self.logs}.log"
        rc, _, err = self.session.run("msiexec", *args, "/qn", "/l*v", log, timeout=180)
        return rc, read(os.path.join(self.session.drive_c, log[3:])).decode("utf-8", "replace"), entries_in(err)

    def key_exists(self, key):
        return self.session.run("reg", "query", key)[0] == 0


def scenario(session, args):
    args.build = os.path.dirname(os.path.abspath(args.exe))
    work = tempfile.mkdtemp(prefix="vbx-msi-e2e.")
    try:
        packages = build_packages(args, work)
        check_codes(packages[0], args.version)
        install_upgrade_remove(session, args, packages)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def running_programs(name):
    """The processes running the program `name` (Wine's are host processes named by their first argument)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                line = f.read().decode("utf-8", "replace").lower()
        except OSError:
            continue
        program = line.split("\0")[0].strip('"').replace("\\", "/").rsplit("/", 1)[-1]
        if program == name:
            found.append(int(pid))
    return found


def install_upgrade_remove(session, args, packages):
    this_msi, higher_msi, higher_exe = packages
    for name, path in (("this.msi", this_msi), ("higher.msi", higher_msi)):
        shutil.copy(path, os.path.join(session.drive_c, name))
    service = Service(session, session.copy_in("tools", args.controller) + "vbx_sc_controller.exe")
    installer = Installer(session)
    folder = os.path.join(session.drive_c, "Program Files", "Vanto Brivon Morvel")
    exe = FOLDER_WIN + "VBxMorvel.exe"
    product, _ = msi.codes(args.version)
    higher_product, _ = msi.codes(next_version(args.version))

    # A registration made by hand from the ZIP: refused, nothing changed, nothing left.
    session.copy_in("By Hand", args.exe)
    check_equal(session.run("C:\\By Hand\\VBxMorvel.exe", "/INSTALL", "/SILENT")[0], 0, "registration by hand")
    rc, log, entries = installer.msiexec("/i", "C:\\this.msi")
    # A Unix exit status keeps the low byte of msiexec's 1603.
    check_equal(rc, ERROR_INSTALL_FAILURE & 0xFF, "install over a registration by hand: status")
    # Wine's msiexec writes no launch condition's message to its log; the registration it
    # names (checked in the table by check_codes) is the one found.
    check('Property(S): EXISTINGSERVICE = "C:\\By Hand\\VBxMorvel.exe' in log, "the registration found")
    check("Action start" in log and "CostInitialize" not in log and "InstallFiles" not in log,
          f"install over a registration by hand: stopped at the launch conditions: {log[-3000:]}")
    check(not os.path.exists(folder), "install over a registration by hand: no program folder")
    check(not installer.key_exists(UNINSTALL_KEY + product), "install over a registration by hand: no product")
    check_equal(service.command("config", SOURCE)[1].split(" path=")[1], '["C:\\By Hand\\VBxMorvel.exe"]',
                "install over a registration by hand: the registration as it was")
    check_equal(session.run("C:\\By Hand\\VBxMorvel.exe", "/UNINSTALL", "/SILENT")[0], 0, "removal by hand")

    # The configuration is put in place first (the installation keeps one that exists), so
    # that the service started by the installation asks the packet server it installs, once
    # the test starts it on that port.
    write(os.path.join(session.drive_c, "reply.xml"), WINE_REPLY)
    port = free_port()
    server = None
    try:
        os.makedirs(folder)
        config = short_config(1500, port, FOLDER_WIN + "BrivonTV\\XML")
        config_path = os.path.join(folder, "VBxMorvelClient.xml")
        write(config_path, config)

        mark = len(session.manager_output())
        started = time.monotonic()
        rc, log, entries = installer.msiexec("/i", "C:\\this.msi")
        check_equal(rc, 0, f"install: status ({time.monotonic() - started:.1f} s)")
        check_equal(entries, [("trace", INSTALLED)], "install: the program's own entries")
        check_equal(sorted(os.listdir(folder)),
                    ["BrivonTV", "README.md", "VBxMorvel.exe", "VBxMorvelClient.xml", "VBxPakketServer.exe"],
                    "install: the program folder")
        check_equal(read(os.path.join(folder, "VBxMorvel.exe")), read(args.exe), "install: the program")
        check_equal(read(config_path), config, "install: the configuration kept")
        check_equal(service.command("config", SOURCE),
                    (0, "type=16 start=2 error=1 tag=0 group=[] deps=[] account=[LocalSystem] "
                        f'display=[{DISPLAY_NAME}] path=["{exe}"]'), "install: the registration")
        check_equal(service.command("description", SOURCE), (0, f"[{DESCRIPTION}]"), "install: the description")
        rc, out = service.command("recovery", SOURCE)
        check(out in (RECOVERY, f"error={ERROR_INVALID_LEVEL}"), f"install: recovery actions: {out!r}")
        service.check_sources((0, f"file=[{exe}] type=2 types=7"), "install")
        check(installer.key_exists(UNINSTALL_KEY + product), "install: the product is registered")
        service.wait(RUNNING)
        server = PacketServer(path=FOLDER_WIN + "VBxPakketServer.exe", file="C:\\reply.xml", port=port, wine=session)
        output = os.path.join(folder, "BrivonTV", "XML", "TV_BRIVON.XML")
        wait_until(lambda: ("trace", RECEIVED) in entries_in(session.manager_output()[mark:]), 40, "a packet received",
                   step=0.2)
        check_equal(read(output), WINE_OUTPUT, "install: TV_BRIVON.XML")

        # A major upgrade: the program replaced, the configuration and the tree kept, the
        # service running the new program (and the packet server started from its new copy).
        server.close()
        server = None
        os.remove(output)
        rc, log, entries = installer.msiexec("/i", "C:\\higher.msi")
        check_equal(rc, 0, "upgrade: status")
        check_equal(read(os.path.join(folder, "VBxMorvel.exe")), read(higher_exe), "upgrade: the program replaced")
        check_equal(read(config_path), config, "upgrade: the configuration kept")
        check(not installer.key_exists(UNINSTALL_KEY + product), "upgrade: the older product is gone")
        check(installer.key_exists(UNINSTALL_KEY + higher_product), "upgrade: the higher product is registered")
        check_equal(service.command("config", SOURCE)[1].split(" path=")[1], f'["{exe}"]', "upgrade: the registration")
        service.wait(RUNNING)
        server = PacketServer(path=FOLDER_WIN + "VBxPakketServer.exe", file="C:\\reply.xml", port=port, wine=session)
        wait_until(lambda: os.path.exists(output), 40, "upgrade: a packet written by the new program", step=0.2)
        check_equal(read(output), WINE_OUTPUT, "upgrade: TV_BRIVON.XML")
    finally:
        if server is not None:
            server.close()

    # Removal: the service, its sources, the product's keys and the program go; the tree
    # and the configuration stay. Wine's StopServices sends the stop and goes on without
    # waiting for the service to end (Windows waits), so its RemoveFiles could meet the
    # program still running and leave it behind; the test stops the service and waits for
    # its process first, and the removal finds it stopped.
    service.control(1, (RUNNING, STOP_PENDING, STOPPED_STATE))
    service.wait(STOPPED_STATE)
    wait_until(lambda: not running_programs("vbxmorvel.exe"), 30, "the service's process ended", step=0.2)
    rc, log, entries = installer.msiexec("/x", "C:\\higher.msi")
    check_equal(rc, 0, "remove: status")
    check_equal(entries, [("trace", UNINSTALLED)], "remove: the program's own entries")
    check_equal(service.command("query", SOURCE), (1, f"error={ERROR_SERVICE_DOES_NOT_EXIST}"), "remove: no service")
    service.check_sources((1, f"error={ERROR_FILE_NOT_FOUND}"), "remove")
    check(not installer.key_exists("HKLM\\SOFTWARE\\Vanto Brivon"), "remove: no key of the product's own")
    check(not installer.key_exists(UNINSTALL_KEY + higher_product), "remove: the product is unregistered")
    check_equal(sorted(os.listdir(folder)), ["BrivonTV", "VBxMorvelClient.xml"], "remove: tree and configuration kept")
    check_equal(read(config_path), config, "remove: the configuration unchanged")


def main():
    os.environ.setdefault("SOURCE_DATE_EPOCH", "1700000000")
    return run_under_wine("MSI package under Wine's msiexec", scenario, ["--version"],
                          tools=("wineserver", "wixl", "msibuild", "msiinfo"), manager_tail=60)


if __name__ == "__main__":
    sys.exit(main())
