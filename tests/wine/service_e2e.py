#!/usr/bin/env python3
"""End-to-end test of the Windows program under Wine's own service control manager, from
its resources and /INSTALL through a cycle against the Linux packet server, pause, continue
and stop to /UNINSTALL, the manager's errors 1073, 1060 and 1063 as the program reports
them, console mode and /INSTALL started as a service. Arguments: tests/wine/CMakeLists.txt;
status 77 when the machine lacks what the test needs. Wine keeps no event log: with
WINEDEBUG=+eventlog every ReportEventW prints its text on standard error, and a service's
is that of the manager. Wine's manager keeps no failure actions (it answers the query with
ERROR_INVALID_LEVEL); there the check is that the installation reported no failure.
"""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import (CONFIGURED, CONTINUED, CONTINUE_PENDING, DESCRIPTION, DISPLAY_NAME, DONE,  # noqa: E402
                     ERROR_FILE_NOT_FOUND, ERROR_INVALID_LEVEL, HOST_SOURCE, INSTALLED, PAUSED, PAUSED_STATE,
                     PAUSE_PENDING, RECEIVED, RECOVERY, RUNNING, SENT, SOURCE, STARTED, START_REPORTS, STATUS_RE,
                     STOPPED, STOPPED_STATE, STOP_PENDING, STOP_REPORTS, UNINSTALLED, WINE_OUTPUT, WINE_REPLY,
                     PacketServer, Service, Skip, Status, check, check_equal, entries_in, install_failure, own_output,
                     read, run_under_wine, sources_in, wait_until, write)

ERROR_MR_MID_NOT_FOUND = 317


def scenario(session, args):
    # A folder with a blank: the manager must be given the program's path in quotes.
    base_win = session.copy_in("Vanto Brivon", args.exe, args.controller)
    base = os.path.join(session.drive_c, "Vanto Brivon")
    exe = base_win + "VBxMorvel.exe"
    service = Service(session, base_win + "vbx_sc_controller.exe")
    # Wine's system texts differ from Windows'; the program must show the platform's own.
    text_1060, text_1063, text_1073 = (service.command("text", str(code))[1] for code in (1060, 1063, 1073))
    check(text_1063 != "", "a system text for 1063")
    no_source = (1, f"error={ERROR_FILE_NOT_FOUND}")

    def check_run(what, args, entries, box="", sources=None, timeout=60):
        """The program run: status 0, no standard output, its entries, its box's text."""
        rc, out, err = session.run(exe, *args, timeout=timeout)
        check_equal((rc, out, entries_in(err), own_output(err).strip("\n") if box else own_output(err)),
                    (0, "", entries, box), f"{what}: status, stdout, entries, box")
        if sources is not None:
            check_equal(sources_in(err), sources, f"{what}: the entries' source")

    check_resources(service, exe, args.version)
    service.check_sources(no_source, "before the installation")

    # Installation, silent: no box, the tree and the configuration beside the program, the
    # description, recovery and both event sources: REG_EXPAND_SZ (2) with the full path,
    # error, warning and information (7).
    check_run("install", ("/INSTALL", "/SILENT"), [("trace", INSTALLED)], sources=[SOURCE])
    check_equal(service.command("description", SOURCE), (0, f"[{DESCRIPTION}]"), "the service's description")
    rc, out = service.command("recovery", SOURCE)
    check(out in (RECOVERY, f"error={ERROR_INVALID_LEVEL}"),
          f"recovery: three restarts after a minute, the count reset after a day: {out!r}")
    service.check_sources((0, f"file=[{exe}] type=2 types=7"), "after the installation")
    for folder in ("BrivonTV", "BrivonTV/Logs", "BrivonTV/Config", "BrivonTV/XML"):
        check(os.path.isdir(os.path.join(base, folder)), f"{folder} made by the installation")
    config_path = os.path.join(base, "VBxMorvelClient.xml")
    config = read(config_path)
    check(b"<OutputDirectory>C:\\Vanto Brivon\\BrivonTV\\XML</OutputDirectory>\r\n" in config,
          f"output directory in the default configuration: {config!r}")
    rc, out = service.command("config", SOURCE)
    check_equal(out, f"type=16 start=2 error=1 tag=0 group=[] deps=[] account=[LocalSystem] "
                     f'display=[{DISPLAY_NAME}] path=["{exe}"]', "registration")

    # Second install: the failure box's text, no install handler run, nothing changed.
    check_run("second install", ("-install",), [], "Error: " + install_failure("install", 1073, text_1073))
    check_equal(read(config_path), config, "configuration unchanged by the failed install")

    # A short cycle against the Linux packet server (the checks up to here run without it).
    if not os.access(args.server, os.X_OK):
        raise Skip(f"the Linux packet server {args.server} is not built (build the linux preset first)")
    server = PacketServer(path=args.server, reply=WINE_REPLY)
    try:
        config = re.sub(rb"<HTTPTimer>\d+</HTTPTimer>", b"<HTTPTimer>2500</HTTPTimer>", config)
        config = re.sub(rb"<Port>\d+</Port>", b"<Port>%d</Port>" % server.port, config)
        config = config.replace(b"</Output>", b"<MetricsFile>metrics.prom</MetricsFile>\r\n</Output>")
        write(config_path, config)

        mark = len(session.manager_output())
        check_equal(service.command("start", SOURCE), (0, "ok"), "start through the manager")
        running = service.wait(RUNNING)
        check_equal((running[1], running[5] > 0), (7, True), "controls accepted while running, a process")

        output = os.path.join(base, "BrivonTV", "XML", "TV_BRIVON.XML")
        wait_until(lambda: ("trace", RECEIVED) in entries_in(session.manager_output()[mark:]), 40,
                   "a packet received", step=0.2)
        check_equal(read(output), WINE_OUTPUT, "TV_BRIVON.XML")
        check_equal(sorted(os.listdir(os.path.join(base, "BrivonTV", "XML"))), ["TV_BRIVON.XML"], "output folder")

        # Pause, interrogate, continue, stop, each with the state it reports.
        service.control(2, (RUNNING, PAUSE_PENDING, PAUSED_STATE))
        check_equal(service.wait(PAUSED_STATE)[1], 7, "controls accepted while paused")
        # Paused for more than two intervals of ControleTimer: no timer event may run.
        time.sleep(6)
        # An interrogate wakes the paused control thread, and timer events may run from then
        # until the continue: the entries up to here are the ones that must show none.
        before_interrogate = session.manager_output().rfind("\n") + 1  # whole lines only
        service.control(4, (PAUSED_STATE,))
        service.control(3, (PAUSED_STATE, CONTINUE_PENDING, RUNNING))
        service.wait(RUNNING)
        # The Windows build's metrics file passes the same check as the Linux one's.
        metrics = os.path.join(base, "metrics.prom")
        if shutil.which("promtool"):
            check_equal(subprocess.run(["promtool", "check", "metrics"], input=read(metrics),
                                       capture_output=True).returncode, 0, "promtool check metrics")
        check_status(session, exe, 0, r"VBXMORVEL OK - last packet \d+ s ago, \d+ bytes, running \| age=\d+s;60;120;0 "
                                      r"size=\d+B;;;0$", "60", "120")
        service.control(1, (RUNNING, STOP_PENDING, STOPPED_STATE))
        check_equal(service.wait(STOPPED_STATE)[4], 0, "exit code of the stopped service")
        check_equal(service.command("control", SOURCE, "1")[1], "error=1062", "a stopped service takes no stop")
        check_status(session, exe, 2, r"VBXMORVEL CRITICAL - last packet \d+ s ago, \d+ bytes, stopped \| ")
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
    paused_texts = [t for _, t in entries_in(session.manager_output()[mark:before_interrogate])]
    while_paused = paused_texts[paused_texts.index(PAUSED) + 1:]
    check(set(while_paused) <= {SENT, DONE} and while_paused.count(SENT) <= 1,
          f"no timer event while paused: {texts}")
    check(any(l.startswith("request ok") for l in server.lines()), f"the server accepted a request: {server.lines()}")

    # Removal, silent; then a second removal fails with 1060 after its handler ran.
    check_run("uninstall", ("/UnInstall", "/silent"), [("trace", UNINSTALLED)])
    check_equal(service.command("query", SOURCE), (1, "error=1060"), "the service is gone")
    service.check_sources(no_source, "after the removal")
    # The uninstall handler runs before the service is opened; a failed removal writes
    # nothing back, and silent it ends with status 1.
    check_run("second uninstall", ("/UNINSTALL",), [("trace", UNINSTALLED)],
              "Error: " + install_failure("uninstall", 1060, text_1060))
    service.check_sources(no_source, "after a second removal")
    rc, out, err = session.run(exe, "/UNINSTALL", "/SILENT")
    check_equal((rc, f'"{DISPLAY_NAME}" failed to uninstall' in own_output(err)), (1, True),
                "a failed silent uninstall: status 1 and its box")

    # Started by hand: one error entry under the program's file name, no output, status 0.
    check_run("started by hand", (), [("err", text_1063)], sources=["VBxMorvel.exe"], timeout=120)

    # CONSOLE: the same service in the foreground; Ctrl+C (Wine turns SIGINT into it) stops it,
    # and a second Ctrl+C while it stops is refused: the stop handler runs once.
    proc = subprocess.Popen([session.wine, exe, "/CONSOLE"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=dict(session.env, WINEDEBUG="-all"))
    statuses = []
    for raw in proc.stderr:
        m = STATUS_RE.match(raw.decode("utf-8", "replace").rstrip("\r\n"))
        if m:
            statuses.append(Status(m, 0).tuple())
            if statuses[-1][0] in ("ssRunning", "ssStopPending"):
                proc.send_signal(2)   # SIGINT
    out = proc.stdout.read().decode("utf-8", "replace")
    check_equal(proc.wait(60), 0, "console mode: exit status")
    check_equal(statuses, START_REPORTS + STOP_REPORTS, "console mode: status reports")
    lines = out.splitlines()
    check(len(lines) >= 2 and lines[0].endswith(f" {SOURCE} information 0 1 {STARTED}")
          and lines[-1].endswith(f" {SOURCE} information 0 1 {STOPPED}"), f"console mode: entries {lines}")
    check_equal(sum(line.endswith(STOPPED) for line in lines), 1, "console mode: stop handler runs once")
    check_install_as_service(session, service, exe)


def check_resources(service, exe, version):
    """The version resource, and the message table: an entry's text is its insertion
    string, as it stands."""
    parts = (version.split(".") + ["0"] * 4)[:4]
    check_equal(service.command("version", exe),
                (0, f"fixed={'.'.join(parts)} ProductName=[{DISPLAY_NAME}] ProductVersion=[{version}] "
                    f"FileVersion=[{version}] FileDescription=[{DISPLAY_NAME} service]"),
                "the version resource")
    for event_id, text in ((1, "some text"), (0, "De dienst kon niet starten"), (1, "50% of %2 done")):
        check_equal(service.command("message", exe, str(event_id), text), (0, f"[{text}]"),
                    f"message {event_id} with {text!r}")
    check_equal(service.command("message", exe, "2", "x"), (1, f"error={ERROR_MR_MID_NOT_FOUND}"),
                "no message for an ID the program does not use")


def check_install_as_service(session, service, exe):
    """Where nobody could dismiss a box: Wine starts a service on a window station of its
    own that is not visible. /INSTALL started that way writes its boxes to the event log
    under the executable's name: the success as information, then a repeated one's failure
    as an error. (The manager then gives up on a program that never became a service.)"""
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


def check_status(session, exe, status, pattern, *thresholds):
    rc, out, _ = session.run(exe, "/STATUS", *thresholds)
    check(rc == status and re.match(pattern, out.rstrip("\r\n")) and out.count("\n") == 1, f"STATUS: {rc} {out!r}")


def main():
    return run_under_wine("service under Wine's manager", scenario, ["--server", "--version"])


if __name__ == "__main__":
    sys.exit(main())
