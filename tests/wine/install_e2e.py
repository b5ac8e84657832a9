#!/usr/bin/env python3
"""What /INSTALL and /UNINSTALL leave behind on Windows, checked under Wine, and the
executable's own resources: its version resource; its message table (an entry's text is
its insertion string as it stands); after /INSTALL /SILENT the service's description,
recovery actions and both event sources, after /UNINSTALL none of them; /INSTALL started
as a service (where nobody sees a box) writes its boxes to the event log.

    install_e2e.py --exe VBxMorvel.exe --controller vbx_sc_controller.exe \
                   --runner run-under-wine.sh --version 1.2.3

Wine's manager accepts failure actions but keeps none (it answers the query with
ERROR_INVALID_LEVEL); there the check is that the installation reported no failure.
Exit status 0 when every check passed, 1 on the first failed check, 77 without Wine.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import (DESCRIPTION, DISPLAY_NAME, ERROR_FILE_NOT_FOUND, ERROR_INVALID_LEVEL,  # noqa: E402
                     ERROR_SERVICE_DOES_NOT_EXIST, HOST_SOURCE, RECOVERY, SOURCE, Service, check, check_equal,
                     entries_in, install_failure, own_output, run_under_wine, sources_in, wait_until)

ERROR_MR_MID_NOT_FOUND = 317


def scenario(session, args):
    base_win = session.copy_in("Vanto Brivon", args.exe, args.controller)
    exe = base_win + "VBxMorvel.exe"
    service = Service(session, base_win + "vbx_sc_controller.exe")

    # The version resource.
    parts = (args.version.split(".") + ["0"] * 4)[:4]
    check_equal(service.command("version", exe),
                (0, f"fixed={'.'.join(parts)} ProductName=[{DISPLAY_NAME}] ProductVersion=[{args.version}] "
                    f"FileVersion=[{args.version}] FileDescription=[{DISPLAY_NAME} service]"),
                "the version resource")

    # The message table: the text of an entry is its insertion string, as it stands.
    for event_id, text in ((1, "some text"), (0, "De dienst kon niet starten"), (1, "50% of %2 done")):
        check_equal(service.command("message", exe, str(event_id), text), (0, f"[{text}]"),
                    f"message {event_id} with {text!r}")
    check_equal(service.command("message", exe, "2", "x"), (1, f"error={ERROR_MR_MID_NOT_FOUND}"),
                "no message for an ID the program does not use")

    service.check_sources((1, f"error={ERROR_FILE_NOT_FOUND}"), "before the installation")

    # Installation: no failure box, the description, recovery and both event sources.
    rc, out, err = session.run(exe, "/INSTALL", "/SILENT")
    check_equal((rc, out, own_output(err).strip()), (0, "", ""), "install: status, stdout and boxes")
    check_equal(service.command("description", SOURCE), (0, f"[{DESCRIPTION}]"), "the service's description")
    rc, out = service.command("recovery", SOURCE)
    check(out in (RECOVERY, f"error={ERROR_INVALID_LEVEL}"),
          f"recovery: three restarts after a minute, the count reset after a day: {out!r}")
    # REG_EXPAND_SZ (2) with the full path, error, warning and information (7).
    service.check_sources((0, f"file=[{exe}] type=2 types=7"), "after the installation")

    # Removal: the service and its sources are gone.
    rc, out, err = session.run(exe, "/UNINSTALL", "/SILENT")
    check_equal((rc, out, own_output(err).strip()), (0, "", ""), "uninstall: status, stdout and boxes")
    check_equal(service.command("query", SOURCE), (1, f"error={ERROR_SERVICE_DOES_NOT_EXIST}"), "the service is gone")
    service.check_sources((1, f"error={ERROR_FILE_NOT_FOUND}"), "after the removal")

    # A second removal fails on the service and writes nothing back.
    rc, out, err = session.run(exe, "/UNINSTALL", "/SILENT")
    check_equal((rc, own_output(err).strip() != ""), (1, True), "second uninstall: status 1 (silent) and its box")
    check(f'"{DISPLAY_NAME}" failed to uninstall' in err, f"second uninstall: the failure box: {err!r}")
    service.check_sources((1, f"error={ERROR_FILE_NOT_FOUND}"), "after a second removal")

    # Where nobody could dismiss a box: Wine starts a service on a window station of its own
    # that is not visible. /INSTALL started that way writes its boxes to the event log under
    # the executable's name: the success as information, then a repeated one's failure as
    # an error. (The manager then gives up on a program that never became a service.)
    check_equal(session.run("sc", "create", "VBxInstallProbe", "binPath=", f'"{exe}" /INSTALL')[0], 0,
                "a service that runs /INSTALL")
    failed = install_failure("install", 1073, service.command("text", "1073")[1], "\r\n")
    for attempt, expected in ((1, ("trace", "Service installed successfully")), (2, ("err", failed))):
        mark = len(session.manager_output())
        session.run("sc", "start", "VBxInstallProbe")
        wait_until(lambda: expected in entries_in(session.manager_output()[mark:]), 30,
                   f"install {attempt} as a service: its box in the event log", step=0.2)
        output = session.manager_output()[mark:]
        check_equal([e for e in entries_in(output) if "Service" in e[1]], [expected],
                    f"install {attempt} as a service: the one box, as an entry")
        check(HOST_SOURCE in sources_in(output), f"install {attempt} as a service: under {HOST_SOURCE}")
        check("Information: " not in output and "Error: " not in output, f"install {attempt}: no console box")
    session.run("sc", "delete", "VBxInstallProbe")
    check_equal(session.run(exe, "/UNINSTALL", "/SILENT")[0], 0, "the probe's registration removed")


def main():
    return run_under_wine("installation and resources under Wine", scenario, ["--version"], manager_tail=None)


if __name__ == "__main__":
    sys.exit(main())
