#!/usr/bin/env python3
"""The Windows Installer package (scripts/msi.py) built, and installed, upgraded, repaired
and removed with Wine's msiexec, the registration tampered with in between (arguments: see
tests/wine/CMakeLists.txt; status 77 when the machine lacks a tool)."""
import contextlib
import os
import re
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
from vbxtest import (DISPLAY_NAME, ERROR_FILE_NOT_FOUND, ERROR_SERVICE_DOES_NOT_EXIST, HOST_SOURCE,  # noqa: E402
                     INSTALLED, RECEIVED, RUNNING, SOURCE, STOP_PENDING, STOPPED_STATE, WINE_OUTPUT, WINE_REPLY,
                     PacketServer, Service, check, check_equal, config_bytes, entries_in, free_port, read,
                     run_under_wine, wait_until, write)

ERROR_INSTALL_FAILURE = 1603
ERROR_FUNCTION_FAILED = 1627
REGISTERED = ("type=16 start={start} error=1 tag=0 group=[] deps=[] account=[LocalSystem] "
              f'display=[{DISPLAY_NAME}] path=["{{exe}}"]')
FOLDER_WIN = "C:\\Program Files\\Vanto Brivon Morvel\\"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
# The public properties of the first configuration, set on msiexec's command line.
CONFIGURATION_PROPERTIES = {"BINDING", "PORT", "HTTPTIMER", "OUTPUTDIRECTORY", "METRICSFILE"}
OWN_KEY = "HKLM\\SOFTWARE\\Vanto Brivon"
KEPT = "The configuration exists and was not changed: " + FOLDER_WIN + "VBxMorvelClient.xml"


def next_version(version):
    parts = version.split(".")
    return ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])


def build_packages(args, work):
    """This version's package (twice, to compare), the same version with one byte of its program
    changed, and a higher version's with that program (to see it replaced)."""
    later = os.path.join(work, "later")
    os.makedirs(later)
    for name in msi.FILES:
        shutil.copy(os.path.join(args.build, name), os.path.join(later, name))
    with open(os.path.join(later, "VBxMorvel.exe"), "ab") as f:
        f.write(b"\0")
    check_equal(msi.project_version(args.build), args.version, "the package's version is the build's")
    first = msi.build(args.build, os.path.join(work, "a", "this.msi"))
    again = msi.build(args.build, os.path.join(work, "b", "this.msi"), version=args.version)
    changed = msi.build(later, os.path.join(work, "changed.msi"), version=args.version)
    higher = msi.build(later, os.path.join(work, "higher.msi"), version=next_version(args.version))
    check_equal(read(first), read(again), "two builds of the package")
    check(package_code(changed) != package_code(first), "one changed byte, another package code")
    return first, higher, os.path.join(later, "VBxMorvel.exe")


def msiinfo(*args):
    return subprocess.run(["msiinfo", *args], capture_output=True, text=True, check=True).stdout


def table(path, name):
    lines = msiinfo("export", path, name).splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def package_code(path):
    return re.search(r"Revision number \(UUID\): (\S+)", msiinfo("suminfo", path)).group(1)


PUBLIC = re.compile(r"\b[A-Z][A-Z0-9_]*\b")
CONDITION_WORDS = {"NOT", "AND", "OR", "XOR", "EQV", "IMP"}


def read_by_execution(tables):
    """The public properties the execution reads: in the sequence's, the components' and
    the launch conditions, in custom actions' commands and as directories."""
    conditions = [re.sub(r'"[^"]*"', "", r["Condition"])
                  for r in tables["InstallExecuteSequence"] + tables["Component"] + tables["LaunchCondition"]]
    names = {n for c in conditions for n in PUBLIC.findall(c)} - CONDITION_WORDS
    names |= {n for r in tables["CustomAction"] for n in re.findall(r"\[([A-Z][A-Z0-9_]*)\]", r["Target"])}
    return names | {r["Directory"] for r in tables["Directory"] if PUBLIC.fullmatch(r["Directory"])}


def check_tables(path, version):
    tables = {name: table(path, name) for name in ("Property", "AppSearch", "Upgrade", "InstallExecuteSequence",
                                                   "Component", "CustomAction", "Directory", "LaunchCondition")}
    props = {r["Property"]: r["Value"] for r in tables["Property"]}
    check_equal((props["ProductCode"], props["ProductVersion"]), (msi.product_code(version), version),
                "product code and version")

    # What a search, the upgrade detection or a default sets (and so the command line or a
    # dialog may change) and the execution reads must be secure, or a full-UI installation
    # under UAC passes it to the elevated execution empty.
    set_before = ({r["Property"] for r in tables["AppSearch"]} | {r["ActionProperty"] for r in tables["Upgrade"]}
                  | {p for p in props if PUBLIC.fullmatch(p)} | CONFIGURATION_PROPERTIES)
    needed = read_by_execution(tables) & set_before
    secure = set(props["SecureCustomProperties"].split(";"))
    check({"EXISTINGSERVICE", "SERVICESTARTTYPE", "INSTALLDIR", "EXISTINGCONFIGURATION"} | CONFIGURATION_PROPERTIES
          <= needed, f"properties read found: {needed}")
    check(needed <= secure, f"secure: {sorted(needed - secure)} missing from {sorted(secure)}")

    # Paths Wine cannot run, read against Windows Installer's rules. A repair evaluates a
    # component's condition again only for a transitive component (0x40). A rollback
    # action runs only when it is in the script before the failure, so after the action it
    # undoes (never its undo when that action failed, e.g. with 1073); an upgrade removes
    # the older product with the Upgrade row's Remove features, REMOVE=ALL only when empty.
    # Rollback runs in reverse order: the start type after the registration is made again.
    start = next(r for r in tables["Component"] if r["Component"] == "StartService")
    check_equal((int(start["Attributes"]) & 0x40, start["Condition"]),
                (0x40, 'NOT SERVICESTARTTYPE OR SERVICESTARTTYPE = "#2"'), "StartService: transitive, its condition")
    check_equal([r["Remove"] for r in tables["Upgrade"] if r["ActionProperty"] == "WIX_UPGRADE_DETECTED"],
                ["Complete"], "an upgrade removes the older version's features, not ALL")
    sequence = {r["Action"]: (int(r["Sequence"]), r["Condition"]) for r in tables["InstallExecuteSequence"]}
    types = {r["Action"]: int(r["Type"]) for r in tables["CustomAction"]}
    for action, undo, first in (("RegisterService", "RegisterServiceRollback", False),
                                ("UnregisterService", "UnregisterServiceRollback", False),
                                ("NoteWrittenFiles", "RemoveWrittenFilesRollback", True),
                                ("UnregisterService", "RestoreManualRollback", False)):
        check(sequence[undo][1].startswith(sequence[action][1]), f"{undo}: the condition of {action}")
        check((sequence[undo][0] < sequence[action][0]) == first, f"{undo}: {'before' if first else 'after'} {action}")
        check_equal((types[action] & 0xF00, types[undo] & 0xF00), (0xC00, 0xD00),
                    f"{action}, {undo}: deferred and rollback, as the system")
    check(sequence["RestoreManualRollback"][0] < sequence["UnregisterServiceRollback"][0], "start type restored last")
    # The configuration /CONFIGURE writes is noted for the rollback, and is there before
    # /INSTALL would write the default one.
    check(sequence["NoteWrittenFiles"][0] < sequence["WriteConfiguration"][0] < sequence["RegisterService"][0]
          and "ConfigureArguments" in sequence["NoteWrittenFiles"][1], "/CONFIGURE: noted, before /INSTALL")
    check('REMOVE="ALL"' in sequence["UnregisterService"][1] and "EXISTINGSERVICE" in sequence["UnregisterService"][1],
          "a removal unregisters only a registration that exists")


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

    def products(self, *codes):
        """Whether each product is registered, and the key of the program's own."""
        keys = [UNINSTALL_KEY + code for code in codes] + [OWN_KEY]
        return tuple(self.session.run("reg", "query", key)[0] == 0 for key in keys)


def scenario(session, args):
    args.build = os.path.dirname(os.path.abspath(args.exe))
    with tempfile.TemporaryDirectory(prefix="vbx-msi-e2e.", ignore_cleanup_errors=True) as work:
        packages = build_packages(args, work)
        check_tables(packages[0], args.version)
        install_upgrade_remove(session, args, packages)


def running_programs(name):
    """The processes running the program `name` (Wine's are host processes named by their first argument)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            line = read(f"/proc/{pid}/cmdline").decode("utf-8", "replace").lower()
            if line.split("\0")[0].strip('"').replace("\\", "/").rsplit("/", 1)[-1] == name:
                found.append(int(pid))
    return found


def registration(service):
    return (service.command("config", SOURCE), service.command("description", SOURCE),
            [service.command("eventsource", s) for s in (SOURCE, HOST_SOURCE)])


def install_upgrade_remove(session, args, packages):
    this_msi, higher_msi, higher_exe = packages
    for name, path in (("this.msi", this_msi), ("higher.msi", higher_msi)):
        shutil.copy(path, os.path.join(session.drive_c, name))
    service = Service(session, session.copy_in("tools", args.controller) + "vbx_sc_controller.exe")
    installer = Installer(session)
    folder = os.path.join(session.drive_c, "Program Files", "Vanto Brivon Morvel")
    exe = FOLDER_WIN + "VBxMorvel.exe"
    product = msi.product_code(args.version)
    higher_product = msi.product_code(next_version(args.version))

    # A registration made by hand from the ZIP: refused, nothing changed, nothing left.
    session.copy_in("By Hand", args.exe)
    check_equal(session.run("C:\\By Hand\\VBxMorvel.exe", "/INSTALL", "/SILENT")[0], 0, "registration by hand")
    rc, log, entries = installer.msiexec("/i", "C:\\this.msi")
    # A Unix exit status keeps the low byte of msiexec's 1603.
    check_equal(rc, ERROR_INSTALL_FAILURE & 0xFF, "install over a registration by hand: status")
    # Wine's msiexec writes no launch condition's message to its log; the registration it
    # names (checked in the table by check_tables) is the one found.
    check('Property(S): EXISTINGSERVICE = "C:\\By Hand\\VBxMorvel.exe' in log, "the registration found")
    check("Action start" in log and "CostInitialize" not in log and "InstallFiles" not in log,
          f"install over a registration by hand: stopped at the launch conditions: {log[-3000:]}")
    check_equal((os.path.exists(folder), installer.products(product)[0],
                 service.command("config", SOURCE)[1].split(" path=")[1]),
                (False, False, '["C:\\By Hand\\VBxMorvel.exe"]'),
                "install over a registration by hand: no program folder, no product, the registration as it was")
    check_equal(session.run("C:\\By Hand\\VBxMorvel.exe", "/UNINSTALL", "/SILENT")[0], 0, "removal by hand")

    # Failed installations, each with a folder in the way of /INSTALL: of the configuration
    # (the tree /INSTALL made goes), or of the tree, after /CONFIGURE wrote the configuration
    # (which goes). What was there stays.
    for blocker, properties in (("VBxMorvelClient.xml", ()), ("BrivonTV", ("PORT=1",))):
        what = f"failed install ({blocker} in the way)"
        os.makedirs(folder)
        write(os.path.join(folder, blocker), b"") if blocker == "BrivonTV" else os.mkdir(os.path.join(folder, blocker))
        rc, log, entries = installer.msiexec("/i", "C:\\this.msi", *properties)
        check(not properties or "WriteConfiguration. Return value 1." in log, f"{what}: /CONFIGURE ran first")
        # Wine's msiexec ends a failed custom action with 1627 where Windows' ends with 1603.
        check(rc in (ERROR_INSTALL_FAILURE & 0xFF, ERROR_FUNCTION_FAILED & 0xFF), f"{what}: status {rc}")
        check_equal((sorted(os.listdir(folder)), service.command("query", SOURCE), installer.products(product)),
                    ([blocker], (1, f"error={ERROR_SERVICE_DOES_NOT_EXIST}"), (False, False)),
                    f"{what}: only what was there, no service, no product, no key")
        service.check_sources((1, f"error={ERROR_FILE_NOT_FOUND}"), what)
        shutil.rmtree(folder)

    # The configuration comes from the installation's properties (/CONFIGURE, before the
    # service starts), so that the service asks the packet server it installs, once the test
    # starts it on that port; a folder's final backslash arrives as given (without a blank:
    # Wine's argument quoting would double it).
    write(os.path.join(session.drive_c, "reply.xml"), WINE_REPLY)
    port = free_port()
    server = None
    try:
        os.makedirs(os.path.join(session.drive_c, "Brivon"))
        config = config_bytes(FOLDER_WIN, http_timer=1000, port=port, output="C:\\Brivon\\")
        config_path = os.path.join(folder, "VBxMorvelClient.xml")

        mark = len(session.manager_output())
        started = time.monotonic()
        rc, log, entries = installer.msiexec("/i", "C:\\this.msi", f"PORT={port}", "HTTPTIMER=1000",
                                             "OUTPUTDIRECTORY=C:\\Brivon\\")
        check_equal((rc, entries, KEPT in log), (0, [("trace", INSTALLED)], False),
                    f"install: status, the program's own entries, no configuration to keep "
                    f"({time.monotonic() - started:.1f} s)")
        check_equal(sorted(os.listdir(folder)),
                    ["BrivonTV", "README.md", "VBxMorvel.exe", "VBxMorvelClient.xml", "VBxPakketServer.exe"],
                    "install: the program folder (no note left)")
        check_equal(read(os.path.join(folder, "VBxMorvel.exe")), read(args.exe), "install: the program")
        check_equal(read(config_path), config, "install: the configuration of the properties")
        # What /INSTALL registers beyond the service is service_e2e.py's to check.
        check_equal((service.command("config", SOURCE), installer.products(product)[0]),
                    ((0, REGISTERED.format(start=2, exe=exe)), True), "install: the registration, the product")
        service.wait(RUNNING)
        server = PacketServer(path=FOLDER_WIN + "VBxPakketServer.exe", file="C:\\reply.xml", port=port, wine=session)
        output = os.path.join(session.drive_c, "Brivon", "TV_BRIVON.XML")
        wait_until(lambda: ("trace", RECEIVED) in entries_in(session.manager_output()[mark:]), 40, "a packet received",
                   step=0.2)
        check_equal(read(output), WINE_OUTPUT, "install: TV_BRIVON.XML")

        # A major upgrade of a service the administrator set to Manual: the program
        # replaced, the registration untouched (neither /UNINSTALL nor /INSTALL runs; still
        # Manual, so not started again), the configuration and the tree kept.
        server.close()
        server = None
        os.remove(output)
        check_equal(service.command("starttype", SOURCE, "3")[0], 0, "the administrator sets Manual")
        before = registration(service)
        stop_and_wait(service)
        rc, log, entries = installer.msiexec("/i", "C:\\higher.msi", "PORT=1", "BINDING=192.0.2.1")
        check_equal((rc, entries, KEPT in log, installer.products(product, higher_product)[:2]),
                    (0, [], True, (False, True)), "upgrade: status, no /INSTALL, no /UNINSTALL, the configuration "
                    "kept with other values (and so logged), the older product gone, the higher registered")
        check_equal(read(os.path.join(folder, "VBxMorvel.exe")), read(higher_exe), "upgrade: the program replaced")
        check_equal(read(config_path), config, "upgrade with other values: the configuration kept")
        check_equal((registration(service), service.command("query", SOURCE)[1].split()[0]),
                    (before, f"state={STOPPED_STATE}"), "upgrade: the registration as the administrator left it, "
                    "not started")
        check_equal(service.command("start", SOURCE)[0], 0, "the administrator starts it")
        service.wait(RUNNING)
        server = PacketServer(path=FOLDER_WIN + "VBxPakketServer.exe", file="C:\\reply.xml", port=port, wine=session)
        wait_until(lambda: os.path.exists(output), 40, "upgrade: a packet written by the new program", step=0.2)
        check_equal(read(output), WINE_OUTPUT, "upgrade: TV_BRIVON.XML")
    finally:
        if server is not None:
            server.close()
    stop_and_wait(service)

    # Repairs: a Manual or Disabled service is neither started nor a failure, its start type
    # kept, a missing program file restored; a missing registration is made again (and,
    # new, started).
    repair = ("/i", "C:\\higher.msi", "REINSTALL=ALL", "REINSTALLMODE=amus")
    for start_type, removed in ((3, "VBxMorvel.exe"), (4, "VBxPakketServer.exe")):
        check_equal(service.command("starttype", SOURCE, str(start_type))[0], 0, f"start type {start_type} set")
        before = registration(service)
        os.remove(os.path.join(folder, removed))
        rc, log, entries = installer.msiexec(*repair)
        what = f"repair of a service with start type {start_type}"
        check_equal((rc, entries, os.path.isfile(os.path.join(folder, removed)), registration(service),
                     service.command("query", SOURCE)[1].split()[0]), (0, [], True, before, f"state={STOPPED_STATE}"),
                    f"{what}: status, entries, {removed} restored, the registration as it was, not started")
    check_equal(session.run("sc", "delete", SOURCE)[0], 0, "sc delete")
    rc, log, entries = installer.msiexec(*repair)
    check_equal((rc, entries), (0, [("trace", INSTALLED)]), "repair of a missing registration: status, entries")
    check_equal(service.command("config", SOURCE), (0, REGISTERED.format(start=2, exe=exe)),
                "repair of a missing registration: registered again")
    service.wait(RUNNING)
    stop_and_wait(service)

    # Removal after the service was removed by hand: succeeds and registers nothing; the
    # product's keys and the program go, the tree and the configuration stay.
    check_equal(session.run("sc", "delete", SOURCE)[0], 0, "sc delete")
    rc, log, entries = installer.msiexec("/x", "C:\\higher.msi")
    check_equal((rc, entries, service.command("query", SOURCE), installer.products(higher_product)),
                (0, [], (1, f"error={ERROR_SERVICE_DOES_NOT_EXIST}"), (False, False)),
                "remove after sc delete: status, entries, no service, the product unregistered, no key of its own")
    check_equal(sorted(os.listdir(folder)), ["BrivonTV", "VBxMorvelClient.xml"], "remove: tree and configuration kept")
    check_equal(read(config_path), config, "remove: the configuration unchanged")


def stop_and_wait(service):
    """Stops the service and waits for its process: Wine's StopServices sends the stop and
    goes on without waiting for the service to end (Windows waits), so its file actions
    could meet the program still running."""
    if service.command("query", SOURCE)[1].split()[0] != f"state={STOPPED_STATE}":
        service.control(1, (RUNNING, STOP_PENDING, STOPPED_STATE))
        service.wait(STOPPED_STATE)
    wait_until(lambda: not running_programs("vbxmorvel.exe"), 30, "the service's process ended", step=0.2)


def main():
    os.environ.setdefault("SOURCE_DATE_EPOCH", "1700000000")
    return run_under_wine("MSI package under Wine's msiexec", scenario, ["--version"],
                          tools=("wineserver", "wixl", "msibuild", "msiinfo"), manager_tail=60)


if __name__ == "__main__":
    sys.exit(main())
