#!/usr/bin/env python3
"""What /INSTALL and /UNINSTALL leave behind on Windows, checked under Wine, and the
executable's own resources.

    install_e2e.py --exe VBxMorvel.exe --controller vbx_sc_controller.exe \
                   --runner run-under-wine.sh --version 1.2.3

- the version resource: the fixed file version and the texts name the project's version;
- the message table: the event IDs the program writes (0 and 1) give their first
  insertion string as it stands, so a viewer shows the entry's own text;
- after /INSTALL /SILENT: the service's description, its recovery actions, and the
  event sources BrivonMorvel and VBxMorvel.exe with the executable as their message file;
- after /UNINSTALL /SILENT: the service and both sources are gone;
- /INSTALL started as a service (a window station nobody sees): no box, its success and
  its failure are event-log entries under the executable's file name.

Wine's manager accepts failure actions but keeps none (it answers the query with
ERROR_INVALID_LEVEL); there the check is that the installation reported no failure.
Exit status 0 when every check passed, 1 on the first failed check, 77 without Wine.
"""
import argparse
import os
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from service_e2e import (DISPLAY_NAME, NAME, Service, WineSession, check, check_equal, entries_in,  # noqa: E402
                         sources_in, wait_for)

DESCRIPTION = "Collects the BrivonTV information packet from the packet server and writes it as TV_BRIVON.XML."
HOST_SOURCE = "VBxMorvel.exe"
ERROR_FILE_NOT_FOUND = 2
ERROR_INVALID_LEVEL = 124
ERROR_MR_MID_NOT_FOUND = 317
ERROR_SERVICE_DOES_NOT_EXIST = 1060


def output_lines(err):
    """What a command wrote itself (boxes, under Wine), without Wine's trace lines."""
    return [l for l in err.replace("\r\n", "\n").split("\n") if l and not re.match(r"^[0-9a-f]+:", l)]


def scenario(session, args):
    base_win = "C:\\Vanto Brivon\\"
    base = os.path.join(session.drive_c, "Vanto Brivon")
    os.makedirs(base)
    shutil.copy(args.exe, os.path.join(base, "VBxMorvel.exe"))
    shutil.copy(args.controller, os.path.join(base, "vbx_sc_controller.exe"))
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

    for source in (NAME, HOST_SOURCE):
        check_equal(service.command("eventsource", source), (1, f"error={ERROR_FILE_NOT_FOUND}"),
                    f"no source {source} before the installation")

    # Installation: no failure box, the description, recovery and both event sources.
    rc, out, err = session.run(exe, "/INSTALL", "/SILENT")
    check_equal((rc, out, output_lines(err)), (0, "", []), "install: status, stdout and boxes")
    check_equal(service.command("description", NAME), (0, f"[{DESCRIPTION}]"), "the service's description")
    rc, out = service.command("recovery", NAME)
    check(out in ("reset=86400 actions=1/60000,1/60000,1/60000", f"error={ERROR_INVALID_LEVEL}"),
          f"recovery: three restarts after a minute, the count reset after a day: {out!r}")
    for source in (NAME, HOST_SOURCE):
        # REG_EXPAND_SZ (2) with the full path, error, warning and information (7).
        check_equal(service.command("eventsource", source), (0, f"file=[{exe}] type=2 types=7"),
                    f"the registration of the source {source}")

    # Removal: the service and its sources are gone.
    rc, out, err = session.run(exe, "/UNINSTALL", "/SILENT")
    check_equal((rc, out, output_lines(err)), (0, "", []), "uninstall: status, stdout and boxes")
    check_equal(service.command("query", NAME), (1, f"error={ERROR_SERVICE_DOES_NOT_EXIST}"), "the service is gone")
    for source in (NAME, HOST_SOURCE):
        check_equal(service.command("eventsource", source), (1, f"error={ERROR_FILE_NOT_FOUND}"),
                    f"the source {source} is gone")

    # A second removal fails on the service and writes nothing back.
    rc, out, err = session.run(exe, "/UNINSTALL", "/SILENT")
    check_equal((rc, len(output_lines(err)) > 0), (0, True), "second uninstall: status and its failure box")
    check(f'"{DISPLAY_NAME}" failed to uninstall' in err, f"second uninstall: the failure box: {err!r}")
    for source in (NAME, HOST_SOURCE):
        check_equal(service.command("eventsource", source), (1, f"error={ERROR_FILE_NOT_FOUND}"),
                    f"the source {source} stays gone")

    # Where nobody could dismiss a box: Wine starts a service on a window station of its own
    # that is not visible. /INSTALL started that way writes its boxes to the event log under
    # the executable's name: the success as information, then a repeated one's failure as
    # an error. (The manager then gives up on a program that never became a service.)
    check_equal(session.run("sc", "create", "VBxInstallProbe", "binPath=", f'"{exe}" /INSTALL')[0], 0,
                "a service that runs /INSTALL")
    for attempt, expected in ((1, ("trace", "Service installed successfully")),
                              (2, ("err", f'Service "{DISPLAY_NAME}" failed to install with error: "System Error.  '
                                          f'Code: 1073.\r\n{service.command("text", "1073")[1]}"'))):
        mark = len(session.manager_output())
        session.run("sc", "start", "VBxInstallProbe")
        wait_for(lambda: expected in entries_in(session.manager_output()[mark:]), 30,
                 f"install {attempt} as a service: its box in the event log")
        output = session.manager_output()[mark:]
        check_equal([e for e in entries_in(output) if "Service" in e[1]], [expected],
                    f"install {attempt} as a service: the one box, as an entry")
        check(HOST_SOURCE in sources_in(output), f"install {attempt} as a service: under {HOST_SOURCE}")
        check("Information: " not in output and "Error: " not in output, f"install {attempt}: no console box")
    session.run("sc", "delete", "VBxInstallProbe")
    check_equal(session.run(exe, "/UNINSTALL", "/SILENT")[0], 0, "the probe's registration removed")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--controller", required=True)
    parser.add_argument("--runner", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    if shutil.which("wineserver") is None:
        print("skip: wineserver is not installed")
        return 77
    started = time.monotonic()
    session = WineSession(args.runner)
    try:
        scenario(session, args)
    except Exception:   # noqa: BLE001 - every failure is printed with its traceback
        import traceback
        traceback.print_exc()
        return 1
    finally:
        session.close()
    print(f"ok   installation and resources under Wine ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
