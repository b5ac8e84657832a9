#!/usr/bin/env python3
"""End-to-end tests: the real VBxMorvel binary, run from a fresh folder per case, against
the packet server VBxPakketServer and a stand-in for systemd's notification socket.

    e2e.py --exe build/linux/VBxMorvel --server build/linux/VBxPakketServer --version VERSION GROUP...
(VERSION: the project's version, which every journal entry must carry.)

Each GROUP is one function below marked @group; it exits 0 when every check passed, 1 on
the first failed check and 77 when the machine cannot run it (ctest SKIP_RETURN_CODE).
Independent runs inside a group go in parallel to keep the real-time ones short.
"""
import argparse
import base64
import contextlib
import fcntl
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
import vbxtest  # noqa: E402
from vbxtest import (BUFFER_FULL, CONFIGURED, CONTINUED, CONTINUE_REPORTS, DONE, EOT, FORCED, INSTALLED,  # noqa: E402
                     INSTALLED_CONFIG, INVALID, MAX_EXPOSURE, MIB, PAUSED, PAUSE_REPORTS, RECEIVED, SENT, SHUTDOWN, SOH,
                     SOURCE, STARTED, START_REPORTS, STOPPED, STOP_REPORTS, STX, TEXT_1063, TEXT_1460, UNINSTALLED,
                     UNIT, UNIT_DIR, UNIT_PATH, WANTS_LINK, Closing, Collector, PacketServer, ScriptedServer, Skip,
                     check, check_equal, clean_env, config_bytes, config_text, cp1252, document, exchange,
                     exposure_level, in_private_namespace, install_failure, private_mounts_or_skip, proc_status, read,
                     run_groups, run_one, run_parallel, spawn, tree, wait_until, write)

VERSION = None  # the project's version, which every journal entry carries
SANITIZE = ""   # the sanitizer of the build under test, if any
PRELOAD = None  # the fault-injection library for the slow-step tests (plain build only)


def only_info(entries, texts):
    """Checks that the entries are exactly these collector information entries, in order."""
    check_equal([e.text for e in entries], list(texts), "entries")
    for e in entries:
        check_equal((e.source, e.type, e.category, e.event_id), (SOURCE, "information", 0, 1),
                    f"source, type, category and event id of {e.text!r}")


def check_clean_stop(app, rc):
    check_equal(rc, 0, "exit status after the stop")
    check_equal([s.tuple() for s in app.statuses()][-2:], STOP_REPORTS, "the last two status reports")


@contextlib.contextmanager
def served(tag, http_timer, *extra, **server_args):
    """A fresh copy of the program that asks a PacketServer (of these arguments) every
    http_timer ms: (server, program)."""
    with PacketServer(*extra, **server_args) as server, Collector(tag) as app:
        app.write_config(http_timer=http_timer, port=server.port)
        yield server, app


@contextlib.contextmanager
def held_replies(tag):
    """The program in console mode (HTTPTimer 300 ms) against a ScriptedServer: (server, program)."""
    with ScriptedServer() as server, Collector(tag, config={"http_timer": 300, "port": server.port}) as app:
        app.run_console()
        yield server, app


# ---------------------------------------------------------------------------------------
# Groups.

GROUPS = {}


def group(fn):
    GROUPS[fn.__name__] = fn
    return fn


@group
def tree_and_first_start():
    """Working tree and default files byte-exact; the first start's entries and reports."""

    def fresh(folder_name):
        with Collector("tree", folder_name) as app:
            app.run_console()
            rc = app.stop()
            check_equal(rc, 0, "exit status")
            for d in ("BrivonTV", "BrivonTV/Logs", "BrivonTV/Config", "BrivonTV/XML"):
                check(os.path.isdir(app.path(d)), f"directory {d} missing")
            expected = config_bytes(app.base)
            check_equal(len(expected), 452 + len(cp1252(app.base)), "size of the default document")
            check_equal(read(app.path("VBxMorvelClient.xml")), expected, "VBxMorvelClient.xml")
            check_equal(read(app.path("BrivonTV/Config/readme.xml")), expected, "readme.xml")
            check_equal(sorted(os.listdir(app.path("BrivonTV/XML"))), [], "files in BrivonTV/XML")
            check_equal(sorted(os.listdir(app.path("BrivonTV/Logs"))), [], "files in BrivonTV/Logs")
            only_info(app.entries(), [INSTALLED_CONFIG, STARTED, CONFIGURED.format("127.0.0.1", 4001), STOPPED])
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS + STOP_REPORTS, "status reports")

    def existing_files_are_kept():
        with Collector("keep") as app:
            os.makedirs(app.path("BrivonTV/Config"))
            own_readme = b"not a document\n\x00\xff"
            write(app.path("BrivonTV/Config/readme.xml"), own_readme)
            # A port with leading blanks and a trailing letter still reads as 4001; the
            # binding is taken as it stands.
            own_config = config_bytes(app.base, port="  4001x", binding=" localhost")
            write(app.path("VBxMorvelClient.xml"), own_config)
            app.run_console()
            check_equal(app.stop(), 0, "exit status")
            check_equal(read(app.path("BrivonTV/Config/readme.xml")), own_readme, "readme.xml kept")
            check_equal(read(app.path("VBxMorvelClient.xml")), own_config, "configuration kept")
            only_info(app.entries(), [STARTED, CONFIGURED.format(" localhost", 4001), STOPPED])

            # A deleted configuration is written again at the next start and announced first.
            os.remove(app.path("VBxMorvelClient.xml"))
            app.run_console()
            check_equal(app.stop(), 0, "exit status of the second run")
            only_info(app.entries(), [INSTALLED_CONFIG, STARTED, CONFIGURED.format("127.0.0.1", 4001), STOPPED])
            check_equal(read(app.path("VBxMorvelClient.xml")), config_bytes(app.base), "rewritten configuration")
            check_equal(read(app.path("BrivonTV/Config/readme.xml")), own_readme, "readme.xml still kept")

    def failed_start():
        # A file where the tree's first folder belongs: the start fails, the process ends with 1.
        with Collector("failstart") as app:
            write(app.path("BrivonTV"), b"")
            app.start("/CONSOLE")
            check_equal(app.wait_exit(), 1, "exit status after a failed start")
            errors = [e.text for e in app.entries() if e.type == "error"]
            check(len(errors) == 1 and errors[0].startswith("Service failed on start: "), f"the failure: {errors}")
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS[:2] + STOP_REPORTS[1:], "status reports")

    # The document holds the folder in the 8-bit code page: "ë" is one byte there.
    run_parallel(("plain_folder", fresh, "app"), ("folder_with_blank_and_accent", fresh, "cliënt map"),
                 existing_files_are_kept, failed_start)


# A reply document with LF-only and CR-only line ends, no final line end, an "é" in
# ISO 8859-1 and the byte 0x80 (U+0080, which Windows-1252 lacks).
REPLY_DOCUMENT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\n<BrivonTV>\n'
                  b"<Zender naam=\"Caf\xe9\">Nieuws\x80</Zender>\r<Leeg/>\r\n</BrivonTV>")
REPLY_OUTPUT = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\r\n<BrivonTV>\r\n'
                b"<Zender naam=\"Caf\xe9\">Nieuws?</Zender>\r\n<Leeg/>\r\n</BrivonTV>\r\n")


@group
def safe_output_files():
    """Files replaced through unpredictable temporary names: links and folders planted under
    the names the program uses are never written through nor removed, leftovers of an
    earlier run are, new files get 0666 less the umask; a Cyrillic base directory works."""
    temporary = re.compile(r"^(TV_BRIVON\.XML|MC_\d{16,18}\.XML)\.[0-9a-z]{12}\.tmp$")

    def plant_victim(app):
        victim = os.path.join(app.root, "victim")
        write(victim, b"victim")
        return victim

    def cyrillic_base_directory():
        with PacketServer(reply=REPLY_DOCUMENT) as server, Collector("cyr", folder_name="Коллектор") as app:
            # First start: the default documents, in UTF-8 behind a byte-order mark.
            app.run_console()
            check_clean_stop(app, app.stop())
            expected = b"\xef\xbb\xbf" + config_text(app.base).encode()
            check_equal(read(app.path("VBxMorvelClient.xml")), expected, "VBxMorvelClient.xml")
            check_equal(read(app.path("BrivonTV/Config/readme.xml")), expected, "readme.xml")
            # The written OutputDirectory names the real folder: a packet arrives there.
            config = expected.replace(b"<HTTPTimer>60000<", b"<HTTPTimer>1000<") \
                             .replace(b"<Port>4001<", b"<Port>%d<" % server.port)
            write(app.path("VBxMorvelClient.xml"), config)
            app.run_console()
            app.wait_entry(RECEIVED, timeout=30)
            check_clean_stop(app, app.stop())
            check_equal(read(app.path("BrivonTV/XML/TV_BRIVON.XML")), REPLY_OUTPUT, "TV_BRIVON.XML")
            check(all(e.type == "information" for e in app.entries()), f"no warnings: {app.texts()}")

    def link_and_folder_at_the_output_name():
        with served("link", 1000, reply=REPLY_DOCUMENT) as (server, app):
            victim = plant_victim(app)
            os.makedirs(app.path("BrivonTV/XML"))
            output = app.path("BrivonTV/XML/TV_BRIVON.XML")
            os.symlink(victim, output)
            app.run_console(umask=0o002)
            app.wait_entry(RECEIVED, timeout=30)
            check(not os.path.islink(output), "the link was replaced by the output file")
            check_equal(read(output), REPLY_OUTPUT, "TV_BRIVON.XML")
            check_equal(read(victim), b"victim", "the link's target")
            check_equal(os.stat(output).st_mode & 0o777, 0o664, "mode of TV_BRIVON.XML under umask 002")
            # A folder at the output name fails those packets only; it is left in place.
            os.remove(output)
            os.makedirs(os.path.join(output, "inside"))
            cannot = f'Cannot create file "{output}". Access is denied'
            app.wait_entry(cannot, timeout=20)
            check(os.path.isdir(os.path.join(output, "inside")), "the planted folder stays")
            shutil.rmtree(output)
            received = app.texts().count(RECEIVED)
            app.wait_entry(RECEIVED, count=received + 1, timeout=20)
            check_clean_stop(app, app.stop())
            check_equal(read(output), REPLY_OUTPUT, "TV_BRIVON.XML after the folder went")
            left = [n for n in os.listdir(app.path("BrivonTV/XML")) if n != "TV_BRIVON.XML"]
            check_equal(left, [], "nothing else in the output folder")

    def links_at_archive_names():
        with served("arclink", 2500, mode="nostx") as (server, app):
            victim = plant_victim(app)
            os.makedirs(app.path("BrivonTV/XML"))
            # The archive name holds the local time to the second: a link for every second
            # the first archive may be written in.
            now = time.time()
            links = set()
            for second in range(-2, 40):
                t = time.localtime(now + second)
                name = "MC_" + time.strftime("%d%m%Y%H%M%S", t) + f"{t.tm_mon}{t.tm_sec}.XML"
                if name not in links:
                    os.symlink(victim, app.path("BrivonTV/XML", name))
                    links.add(name)
            app.run_console()
            app.wait_entry(DONE, timeout=20)

            def archived():
                return [n for n in links if not os.path.islink(app.path("BrivonTV/XML", n))]
            wait_until(archived, 20, "an archive file in place of a link")
            check_clean_stop(app, app.stop())
            for name in archived():
                check(os.path.isfile(app.path("BrivonTV/XML", name)), f"{name} is a file")
            check_equal(read(victim), b"victim", "the links' target")
            check(len(archived()) < len(links), "the other links are left alone")

    def leftovers_and_planted_temporary_names():
        with served("left", 1000, reply=REPLY_DOCUMENT) as (server, app):
            victim = plant_victim(app)
            xml = app.path("BrivonTV/XML")
            os.makedirs(xml)
            leftovers = ["TV_BRIVON.XML.0a1b2c3d4e5f.tmp", "MC_03122026140507127.XML.zzzzzzzzzzzz.tmp"]
            user_files = ["TV_BRIVON.XML.tmp", "TV_BRIVON.XML.ABCDEFGHIJKL.tmp", "notes.xml.0a1b2c3d4e5f.tmp"]
            for name in leftovers + user_files:
                write(os.path.join(xml, name), b"user")
            os.makedirs(os.path.join(xml, "TV_BRIVON.XML.111111111111.tmp", "inside"))
            os.symlink(victim, os.path.join(xml, "TV_BRIVON.XML.222222222222.tmp"))
            app.run_console()
            app.wait_entry(RECEIVED, timeout=30)
            check_clean_stop(app, app.stop())
            names = sorted(os.listdir(xml))
            check_equal(names, sorted(["TV_BRIVON.XML", "TV_BRIVON.XML.111111111111.tmp",
                                       "TV_BRIVON.XML.222222222222.tmp"] + user_files), "the output folder")
            check(os.path.isdir(os.path.join(xml, "TV_BRIVON.XML.111111111111.tmp", "inside")), "folder kept")
            check(os.path.islink(os.path.join(xml, "TV_BRIVON.XML.222222222222.tmp")), "link kept")
            check_equal(read(victim), b"victim", "the link's target")
            for name in user_files:
                check_equal(read(os.path.join(xml, name)), b"user", name)
            check(not any(temporary.match(n) and os.path.isfile(os.path.join(xml, n))
                          and not os.path.islink(os.path.join(xml, n)) for n in names),
                  f"no temporary file of the program is left: {names}")

    run_parallel(cyrillic_base_directory, link_and_folder_at_the_output_name, links_at_archive_names,
                 leftovers_and_planted_temporary_names)


def possible_tag_stamps(t_from, t_to):
    """Every "hhnnms" stamp (hour, minute, month, second) of the local times in the window."""
    stamps, t = set(), int(t_from) - 1
    while t <= int(t_to) + 1:
        lt = time.localtime(t)
        stamps.add(f"{lt.tm_hour:02d}{lt.tm_min:02d}{lt.tm_mon}{lt.tm_sec}")
        t += 1
    return stamps


def check_request_frame(frame, t_from, t_to):
    check(frame.startswith(SOH) and frame.endswith(EOT), f"request frame boundaries: {frame[:8]!r}...")
    stx = frame.index(STX)
    digits, payload = frame[1:stx], frame[stx + 1:-1]
    check(re.fullmatch(rb"[1-9][0-9]*", digits) is not None, f"length field {digits!r}")
    check_equal(int(digits), len(payload), "length field against the payload")
    check(len(payload) % 4 == 0 and re.fullmatch(rb"[A-Za-z0-9+/]*={0,2}", payload) is not None,
          "payload is unbroken base64")
    text = base64.b64decode(payload, validate=True)
    check(text.endswith(b"\r\n"), "request ends with CR LF")
    lines = text[:-2].split(b"\r\n")
    check_equal(len(lines), 12, "request line count")
    m = re.fullmatch(rb'<MSG tag="(\d{6,8})" type="COM" protocol="Mm_BR" versie="1.0">', lines[1])
    check(m is not None, f"request line 2: {lines[1]!r}")
    check(m.group(1).decode() in possible_tag_stamps(t_from, t_to),
          f"tag stamp {m.group(1)!r} is not hour, minute, month and second of the request time")
    check_equal([lines[0]] + lines[2:], [
        b'<?xml version="1.0"?>', b"<Verzender>brv</Verzender>", b"<Ontvanger>brv</Ontvanger>",
        b"<Brivon>", b"<BrivonPakket>", b"<Gebruikersnaam>wxrq</Gebruikersnaam>",
        b"<Paswoord>wxrq</Paswoord>", b"<PakketSoort>BrivonTV</PakketSoort>", b"</BrivonPakket>",
        b"</Brivon>", b"</MSG>"], "request lines")


@group
def good_cycle():
    """Two cycles against a server that answers at once: request bytes, entries, output bytes."""
    # 2500 ms keeps every reply processed (ticks every 2000 ms) before the next request.
    with served("good", 2500, reply=REPLY_DOCUMENT, dump=True) as (server, app):
        t_from = time.time()
        app.run_console()
        app.wait_entry(RECEIVED, count=2, timeout=30)
        t_to = time.time()
        check_clean_stop(app, app.stop())
        only_info(app.entries(), [STARTED, CONFIGURED.format("127.0.0.1", server.port),
                                  SENT, DONE, RECEIVED, SENT, DONE, RECEIVED, STOPPED])
        check_equal(read(app.path("BrivonTV/XML/TV_BRIVON.XML")), REPLY_OUTPUT, "TV_BRIVON.XML")
        check_equal(sorted(os.listdir(app.path("BrivonTV/XML"))), ["TV_BRIVON.XML"], "output folder")
        for n in (1, 2):
            check_request_frame(server.request(n), t_from, t_to)
        verdicts = [line for line in server.lines() if line.startswith("request")]
        check(len(verdicts) >= 2 and all(v.startswith("request ok") for v in verdicts),
              f"the server accepted every request: {verdicts}")
        check_equal(START_REPORTS, [s.tuple() for s in app.statuses()][:3], "start reports")


@group
def split_reply():
    """A reply in small delayed pieces that spans a processing tick gives the same file."""
    with served("split", 1000, "--chunk", "16", "--delay-ms", "100", mode="slow") as (server, app):
        app.run_console()
        app.wait_entry(RECEIVED, timeout=30)
        check_clean_stop(app, app.stop())
        texts = app.texts()
        check_equal(texts[:5], [STARTED, CONFIGURED.format("127.0.0.1", server.port), SENT, DONE, RECEIVED],
                    "entries up to the first packet")
        check_equal(texts.count(RECEIVED), 1, "packets received")
        check(all(e.type == "information" for e in app.entries()), f"no warnings: {app.entries()}")
        sample = (b'<?xml version="1.0" encoding="ISO-8859-1"?>\r\n<BrivonTV versie="1.0">\r\n'
                  b'<Zender nr="1" naam="Brivon Een">\r\n'
                  b'<Programma start="20:00" einde="20:30">Journaal</Programma>\r\n'
                  b'<Programma start="20:30" einde="21:25">Weerbericht en sport</Programma>\r\n'
                  b"</Zender>\r\n</BrivonTV>\r\n")
        check_equal(read(app.path("BrivonTV/XML/TV_BRIVON.XML")), sample, "TV_BRIVON.XML")
        m = re.search(r"answer: slow, (\d+) bytes", "\n".join(server.lines()))
        check(m is not None and int(m.group(1)) > 16 * 20, "the reply took more than two seconds")


@group
def refused_server():
    """A refused connection: sent, finished, no watchdog warning; the next firing tries again."""
    with served("refused", 1000, mode="refuse") as (server, app):
        app.run_console()
        app.wait_entry(DONE, count=2, timeout=20)
        check_clean_stop(app, app.stop())
        entries = app.entries()
        check_equal([e.text for e in entries[:2]], [STARTED, CONFIGURED.format("127.0.0.1", server.port)],
                    "start entries")
        cycle, cycles = [], []
        for e in entries[2:-1]:
            cycle.append(e)
            if e.text == DONE:
                cycles.append(cycle)
                cycle = []
        check(len(cycles) >= 2, f"two attempts: {entries}")
        for c in cycles:
            # A send error between the two is allowed to surface as one warning.
            check(c[0].text == SENT and c[-1].text == DONE and len(c) in (2, 3)
                  and all(e.type == "warning" for e in c[1:-1]), f"one attempt: {c}")
        check(FORCED not in app.texts() and RECEIVED not in app.texts(), "no watchdog, no packet")
        check(not os.path.exists(app.path("BrivonTV/XML/TV_BRIVON.XML")), "no output file")


@group
def unusable_settings():
    """Settings that cannot work are reported as warnings, cycle after cycle."""

    def output_folder_missing():
        with PacketServer() as server, Collector("noout") as app:
            app.write_config(http_timer=2500, port=server.port, output="/nonexistent-vbx-e2e/XML")
            app.run_console()
            cannot = ('Cannot create file "/nonexistent-vbx-e2e/XML/TV_BRIVON.XML". '
                      "The system cannot find the path specified")
            app.wait_entry(cannot, count=2, timeout=20)
            check_clean_stop(app, app.stop())
            texts = app.texts()
            check_equal(texts[2:5], [SENT, DONE, cannot], "the first cycle")
            check(RECEIVED not in texts, "no packet entry when the file cannot be written")
            # The failed reply was dropped: the second cycle fails the same way, not on stale bytes.
            check(texts.count(cannot) <= texts.count(DONE), f"at most one warning per reply: {texts}")
            check_equal({(e.type, e.category, e.event_id) for e in app.entries() if e.text == cannot},
                        {("warning", 0, 1)}, "type, category and event id of the warning")

    def no_port():
        with Collector("noport") as app:
            app.write_config(http_timer=1000, port="none")
            app.run_console()
            app.wait_entry("Connect: No Port Specified", count=2, timeout=20)
            check_clean_stop(app, app.stop())
            entries = app.entries()
            check_equal(entries[0].text, STARTED, "first entry")
            check(not any(e.text.startswith(CONFIGURED.split("{}")[0]) for e in entries), "nothing configured")
            warnings = entries[1:-1]
            check(len(warnings) >= 2 and all((e.text, e.type) == ("Connect: No Port Specified", "warning")
                                             for e in warnings), f"one warning per firing: {warnings}")

    run_parallel(output_folder_missing, no_port)


@group
def silent_server_watchdog():
    """A server that never answers: the watchdog closes the session about 15 s after it opened."""
    with served("silent", 2000, mode="silent") as (server, app):
        app.run_console()
        running = app.wait_status("ssRunning").arrived
        # The watchdog is on from start-up; the first connect does not restart it.
        first = app.wait_entry(FORCED, timeout=30)
        check(13.0 <= first.arrived - running <= 19.0,
              f"first watchdog {first.arrived - running:.1f} s after start-up")
        second_sent = app.wait_entry(SENT, count=2, timeout=10)
        second = app.wait_entry(FORCED, count=2, timeout=30)
        check(13.5 <= second.arrived - second_sent.arrived <= 18.0,
              f"second watchdog {second.arrived - second_sent.arrived:.1f} s after its connect")
        app.wait_entry(DONE, count=2, timeout=5)
        check_clean_stop(app, app.stop())
        entries = app.entries()
        texts = [e.text for e in entries]
        check_equal(texts[:8], [STARTED, CONFIGURED.format("127.0.0.1", server.port), SENT, FORCED, DONE,
                                SENT, FORCED, DONE], "entries of two silent sessions")
        check_equal([e.type for e in entries if e.text == FORCED], ["warning", "warning"], "watchdog type")
        check_equal(texts[-1], STOPPED, "last entry")
        check(RECEIVED not in texts, "no packet")
        server.wait_line(r"^connection 2 ", timeout=5)


@group
def faulty_replies():
    """Replies that are cut, reset, garbled, without STX, behind a NUL or very large."""

    @contextlib.contextmanager
    def cycle_with(mode, http_timer=1000, *extra):
        with served(mode, http_timer, *extra, mode=mode) as (server, app):
            app.run_console()
            yield app
            check_clean_stop(app, app.stop())
            check(all(e.source == SOURCE for e in app.entries()), "entries under the service's name")

    def without_packet(mode):
        with cycle_with(mode) as app:
            app.wait_entry(DONE, count=2, timeout=20)
            # One processing tick after the second session proves nothing was taken as a packet.
            app.wait_entry(DONE, count=3, timeout=20)
            texts = app.texts()
            check(RECEIVED not in texts, f"{mode}: no packet")
            check(FORCED not in texts, f"{mode}: the server's close ends the session, not the watchdog")
            check(not os.path.exists(app.path("BrivonTV/XML/TV_BRIVON.XML")), f"{mode}: no output file")

    def frame_without_stx():
        with cycle_with("nostx", 2500) as app:
            def archives():
                return [n for n in os.listdir(app.path("BrivonTV/XML"))
                        if n.startswith("MC_") and not n.endswith(".tmp")]
            app.wait_entry(DONE, timeout=20)
            found = wait_until(archives, 10, "an archive file", step=0.1)
            check(len(found) == 1 and re.fullmatch(r"MC_\d{16,18}\.XML", found[0]), f"one archive file: {found}")
            # The buffer was emptied: the next session's frame gives a second archive file.
            app.wait_entry(DONE, count=2, timeout=20)
            wait_until(lambda: len(archives()) >= 2, 10, "a second archive file", step=0.1)
            check_equal(len(archives()), 2, "archive files after two sessions")
            check(RECEIVED not in app.texts(), "no packet entry for a frame without STX")
            check(not os.path.exists(app.path("BrivonTV/XML/TV_BRIVON.XML")), "no output file")

    def nul_before_frame():
        with cycle_with("nul") as app:
            app.wait_entry(DONE, count=2, timeout=20)
            check(FORCED not in app.texts(), "the EOT closes the session")

    def oversize():
        with cycle_with("oversize", 2500, "--size", str(3 << 20)) as app:
            app.wait_entry(RECEIVED, timeout=60)
            data = read(app.path("BrivonTV/XML/TV_BRIVON.XML"))
            check(len(data) >= 3 << 20, f"output of {len(data)} bytes")
            lines = data.split(b"\r\n")
            check_equal(lines[-1], b"", "output ends with CR LF")
            check_equal(lines[:2], [b'<?xml version="1.0" encoding="ISO-8859-1"?>', b'<BrivonTV versie="1.0">'],
                        "output head")
            check_equal(lines[-2], b"</BrivonTV>", "output tail")
            for n, line in enumerate(lines[2:-2], 1):
                if line != b'<Programma nr="%d" start="00:00">Herhaling</Programma>' % n:
                    raise AssertionError(f"output line {n + 2}: {line[:80]!r}")

    run_parallel(*((mode, without_packet, mode) for mode in ("partial", "reset", "garbage")), frame_without_stx,
                 nul_before_frame, oversize)


@group
def signals():
    """Pause, continue, interrogate, custom codes, stop and shutdown through signals."""

    def pause_continue_interrogate_stop():
        # The program writes its default configuration: HTTPTimer 60000, so no connection
        # is tried while this runs, and the watchdog warns once, 15 s after start-up.
        with Collector("signals") as app:
            app.run_console()
            running = app.wait_status("ssRunning").arrived
            app.signal(signal.SIGUSR1)
            app.wait_status("ssPaused")
            app.signal(signal.SIGHUP)
            app.wait_status("ssPaused", count=2)
            app.signal(signal.SIGRTMIN + 1)   # custom code 129: no report
            app.signal(signal.SIGUSR2)
            app.wait_status("ssRunning", count=2)
            app.signal(signal.SIGHUP)
            app.wait_status("ssRunning", count=3)
            forced = app.wait_entry(FORCED, timeout=30)
            check(13.0 <= forced.arrived - running <= 20.0,
                  f"watchdog {forced.arrived - running:.1f} s after start-up")
            rc = app.stop()
            check_equal(rc, 0, "exit status")
            # Each interrogation reports the state again.
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS + PAUSE_REPORTS + PAUSE_REPORTS[-1:]
                        + CONTINUE_REPORTS + CONTINUE_REPORTS[-1:] + STOP_REPORTS, "status reports")
            entries = app.entries()
            check_equal([e.text for e in entries],
                        [INSTALLED_CONFIG, STARTED, CONFIGURED.format("127.0.0.1", 4001), PAUSED, CONTINUED,
                         FORCED, STOPPED], "entries")
            check_equal([e.type for e in entries], ["information"] * 5 + ["warning", "information"], "types")

    def pause_holds_the_timers():
        with served("pause", 1000) as (server, app):
            app.run_console()
            app.wait_entry(RECEIVED, timeout=20)
            app.signal(signal.SIGUSR1)
            app.wait_status("ssPaused")
            # A connect started just before the pause may still report; loopback settles at once.
            time.sleep(0.5)
            sent_before = app.texts().count(SENT)
            time.sleep(3.0)   # absence of timer events cannot be awaited
            check_equal(app.texts().count(SENT), sent_before, "connections while paused")
            app.signal(signal.SIGUSR2)
            app.wait_status("ssRunning", count=2)
            app.wait_entry(SENT, count=sent_before + 1, timeout=10)
            check_clean_stop(app, app.stop())

    def stop_while_connected():
        with served("stopconn", 1000, mode="silent") as (server, app):
            app.run_console()
            app.wait_entry(SENT)
            server.wait_line(r"^answer: none")
            check_clean_stop(app, app.stop())
            check_equal(app.texts()[-3:], [SENT, DONE, STOPPED], "a stop closes the session first")

    def shutdown():
        with Collector("shutdown") as app:
            app.run_console()
            app.signal(signal.SIGPWR)
            rc = app.wait_exit()
            check_equal(rc, 0, "exit status")
            check_equal([s.tuple() for s in app.statuses()], START_REPORTS + STOP_REPORTS, "status reports")
            check_equal(app.texts()[-1], SHUTDOWN, "last entry")
            check(STOPPED not in app.texts(), "no stop handler on shutdown")

    def interrupt_stops():
        with Collector("sigint") as app:
            app.run_console()
            app.signal(signal.SIGINT)
            check_clean_stop(app, app.wait_exit())
            check_equal(app.texts()[-1], STOPPED, "last entry")

    run_parallel(pause_continue_interrogate_stop, pause_holds_the_timers, stop_while_connected, shutdown,
                 interrupt_stops)


def parse_notify(datagram):
    fields = {}
    for line in datagram.decode("utf-8").split("\n"):
        if line:
            key, _, value = line.partition("=")
            fields[key] = value
    return fields


def expected_notify(name, state, controls, checkpoint, waithint):
    """The datagram of a status report, given as the console prints it."""
    fields = {"STATUS": name, "X_SERVICE_STATE": str(state), "X_CONTROLS_ACCEPTED": str(controls),
              "X_CHECKPOINT": str(checkpoint), "X_WAIT_HINT": str(waithint)}
    if name in ("ssStartPending", "ssStopPending", "ssContinuePending", "ssPausePending"):
        fields["EXTEND_TIMEOUT_USEC"] = "5000000"
    if name == "ssRunning":
        fields["READY"] = "1"
    if name == "ssStopPending":
        fields["STOPPING"] = "1"
    return fields


@group
def service_notify():
    """A service run reports every state to NOTIFY_SOCKET; a start by hand ends quietly."""

    def service_run(abstract):
        with Collector("notify") as app:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            try:
                if abstract:
                    name = f"vbx-e2e-notify-{os.getpid()}-{threading.get_ident()}"
                    sock.bind("\0" + name)
                    address = "@" + name
                else:
                    address = os.path.join(app.root, "notify.sock")
                    sock.bind(address)
                sock.settimeout(20)
                app.start(env={"NOTIFY_SOCKET": address})
                received = []

                def take(n):
                    while len(received) < n:
                        received.append(parse_notify(sock.recv(4096)))

                take(3)
                app.signal(signal.SIGUSR1)
                take(5)
                app.signal(signal.SIGUSR2)
                take(7)
                app.signal(signal.SIGTERM)
                take(9)
                rc = app.wait_exit()
                check_equal(rc, 0, "exit status")
                check_equal(received, [expected_notify(*report) for report in
                                       START_REPORTS + PAUSE_REPORTS + CONTINUE_REPORTS + STOP_REPORTS],
                            "notification datagrams")
                check_equal((app.out.texts(), app.err.texts()), ([], []), "no console output")
                check(os.path.isfile(app.path("VBxMorvelClient.xml")), "the service started its work")
            finally:
                sock.close()

    def by_hand(*args):
        with Collector("byhand") as app:
            app.start(*args)
            rc = app.wait_exit()
            check_equal(rc, 0, f"exit status of {args}")
            check_equal((app.out.texts(), app.err.texts()), ([], []), f"no output from {args}")
            check(not os.path.exists(app.path("BrivonTV")), "no service start, so no working tree")

    run_parallel(("socket_path", service_run, False), ("abstract_socket", service_run, True),
                 ("started_by_hand", by_hand), ("silent_alone_is_a_service_run", by_hand, "/SILENT"))


class NotifyReceiver(Closing):
    """A stand-in for systemd's notification socket that notes when each datagram came."""

    def __init__(self, folder):
        self.address = os.path.join(folder, "notify.sock")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.address)
        self.sock.settimeout(0.2)
        self.received = []      # (monotonic time, fields)
        self.cond = threading.Condition()
        self.done = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done:
            try:
                datagram = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.cond:
                self.received.append((time.monotonic(), parse_notify(datagram)))
                self.cond.notify_all()

    def pings(self, since=0.0, until=float("inf")):
        with self.cond:
            return [t for t, f in self.received if f == {"WATCHDOG": "1"} and since <= t < until]

    def statuses(self):
        with self.cond:
            return [f.get("STATUS") for _, f in self.received if "STATUS" in f]

    def wait(self, predicate, timeout, what):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                remaining = deadline - time.monotonic()
                check(remaining > 0, f"timed out after {timeout} s waiting for {what}; received {self.received}")
                self.cond.wait(remaining)

    def wait_status(self, name, timeout=20):
        self.wait(lambda: name in [f.get("STATUS") for _, f in self.received], timeout, f"STATUS={name}")

    def close(self):
        self.done = True
        self.thread.join(5)
        self.sock.close()


class ThreadStop:
    """Stops one thread of another process, and only it, with ptrace (PTRACE_SEIZE and
    PTRACE_INTERRUPT; SIGSTOP would stop every thread)."""

    SEIZE, INTERRUPT, DETACH = 0x4206, 0x4207, 17
    WALL = 0x40000000

    def __init__(self, tid):
        import ctypes
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.libc.ptrace.restype = ctypes.c_long
        self.libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
        self.ctypes = ctypes
        self.tid = tid
        if self.libc.ptrace(self.SEIZE, tid, None, None) != 0:
            raise Skip(f"ptrace is not allowed here ({os.strerror(ctypes.get_errno())}): "
                       "the control thread cannot be stopped on its own")
        check(self.libc.ptrace(self.INTERRUPT, tid, None, None) == 0, "PTRACE_INTERRUPT")
        os.waitpid(tid, self.WALL)

    def resume(self):
        check(self.libc.ptrace(self.DETACH, self.tid, None, None) == 0,
              f"PTRACE_DETACH: {os.strerror(self.ctypes.get_errno())}")


# The system calls a thread blocked in its message loop waits in (x86-64 and arm64 numbers:
# epoll_wait, epoll_pwait, epoll_pwait2).
EPOLL_WAIT_CALLS = {"232", "281", "441", "22"}


def control_thread(pid, timeout=10):
    """The control thread: besides the main thread, the one thread that waits in a message
    loop (the dispatcher waits in poll, the service-main thread in a join)."""
    def waiting_in_a_loop():
        candidates = []
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{tid}/syscall") as f:
                    if int(tid) != pid and f.read().split()[0] in EPOLL_WAIT_CALLS:
                        candidates.append(int(tid))
            except OSError:
                continue
        return candidates[0] if len(candidates) == 1 else None
    return wait_until(waiting_in_a_loop, timeout, "a single control thread waiting in its loop")


@group
def service_watchdog():
    """WATCHDOG=1 every third of WATCHDOG_USEC while both loops serve; none otherwise."""
    period = 0.2    # WATCHDOG_USEC=600000

    def check_rhythm(pings, what):
        check(len(pings) >= 4, f"{what}: at least four pings, got {len(pings)}")
        gaps = [b - a for a, b in zip(pings, pings[1:])]
        mean = sum(gaps) / len(gaps)
        check(0.7 * period <= mean <= 1.5 * period, f"{what}: pings about every {period} s, gaps {gaps}")
        check(max(gaps) < 3 * period, f"{what}: no gap of a whole timeout, gaps {gaps}")

    def running_paused_and_blocked():
        with Collector("watchdog") as app, NotifyReceiver(app.root) as receiver:
            app.start(env={"NOTIFY_SOCKET": receiver.address, "WATCHDOG_USEC": "600000"})
            receiver.wait_status("ssRunning")
            t0 = time.monotonic()
            receiver.wait(lambda: len(receiver.pings(t0)) >= 6, 10, "six pings while running")
            check_rhythm(receiver.pings(t0), "running")

            # Paused, the control thread only waits for a control code: the pings go on.
            app.signal(signal.SIGUSR1)
            receiver.wait_status("ssPaused")
            t1 = time.monotonic()
            receiver.wait(lambda: len(receiver.pings(t1)) >= 5, 10, "five pings while paused")
            check_rhythm(receiver.pings(t1), "paused")
            app.signal(signal.SIGUSR2)
            receiver.wait(lambda: receiver.statuses()[-1] == "ssRunning", 20, "running again")

            # The control thread stopped on its own (as a handler stuck would leave it):
            # the main loop still ticks, but without an answer to its heartbeat it stops
            # pinging after at most the one heartbeat answered before.
            stop = ThreadStop(control_thread(app.proc.pid))
            try:
                t2 = time.monotonic()
                time.sleep(8 * period)
                check(len(receiver.pings(t2)) <= 1,
                      f"pings stop while the control thread is stopped: {receiver.pings(t2)}")
                check(receiver.pings(t2 + 3 * period) == [], f"no ping two ticks after the stop: {receiver.pings(t2)}")
            finally:
                stop.resume()
            t3 = time.monotonic()
            receiver.wait(lambda: len(receiver.pings(t3)) >= 2, 10, "pings again once the thread runs")

            app.signal(signal.SIGTERM)
            check_equal(app.wait_exit(), 0, "exit status")
            receiver.wait_status("ssStopped")

    def quiet(what, env, args=()):
        with Collector("nowatchdog") as app, NotifyReceiver(app.root) as receiver:
            app.start(*args, env={"NOTIFY_SOCKET": receiver.address, **env})
            if args:
                app.wait_status("ssRunning")
            else:
                receiver.wait_status("ssRunning")
            time.sleep(6 * period)
            app.signal(signal.SIGTERM)
            check_equal(app.wait_exit(), 0, f"exit status {what}")
            check_equal(receiver.pings(), [], f"pings {what}")

    run_parallel(running_paused_and_blocked,
                 ("without_watchdog_usec", quiet, "without WATCHDOG_USEC", {}),
                 ("for_another_process", quiet, "with WATCHDOG_PID of another process",
                  {"WATCHDOG_USEC": "600000", "WATCHDOG_PID": "1"}),
                 ("malformed", quiet, "with a malformed WATCHDOG_USEC", {"WATCHDOG_USEC": "0.6s"}),
                 ("console", quiet, "in console mode", {"WATCHDOG_USEC": "600000"}, ("/CONSOLE",)))


# ---------------------------------------------------------------------------------------
# Installation, in a private mount namespace: /etc/systemd/system is a bind-mounted empty
# folder and /run a fresh tmpfs holding a stand-in journal socket, so nothing reaches the
# machine. The group re-runs this script inside `unshare -m`.

def parse_journal(datagram):
    fields, i = {}, 0
    while i < len(datagram):
        nl = datagram.index(b"\n", i)
        line = datagram[i:nl]
        if b"=" in line:
            key, _, value = line.partition(b"=")
            i = nl + 1
        else:   # binary-safe form: name, LF, 64-bit little-endian size, value, LF
            key = line
            (size,) = struct.unpack("<Q", datagram[nl + 1:nl + 9])
            value = datagram[nl + 9:nl + 9 + size]
            i = nl + 9 + size + 1
        fields[key.decode()] = value.decode("utf-8")
    return fields


class Journal:
    def __init__(self):
        os.makedirs("/run/systemd/journal", exist_ok=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/run/systemd/journal/socket")
        self.sock.settimeout(0.2)

    def drain(self):
        """The entries received so far; each must carry the program's version. An entry
        too large for a datagram comes as a memory file sealed against every change,
        passed in an empty datagram; its entry gets the key "(sealed file)"."""
        entries = []
        while True:
            try:
                data, ancillary, _, _ = self.sock.recvmsg(1 << 22, socket.CMSG_SPACE(4 * 4))
            except socket.timeout:
                break
            fds = []
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                    fds += struct.unpack(f"{len(payload) // 4}i", payload[:len(payload) // 4 * 4])
            if not fds:
                entries.append(parse_journal(data))
                continue
            check_equal((data, len(fds)), (b"", 1), "a sealed file comes alone in an empty datagram")
            try:
                seals = fcntl.fcntl(fds[0], fcntl.F_GET_SEALS)
                wanted = fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_WRITE
                check_equal(seals & wanted, wanted, "seals of the passed file")
                size = os.fstat(fds[0]).st_size
                entry = parse_journal(os.pread(fds[0], size, 0))
                entry["(sealed file)"] = "yes"
                entries.append(entry)
            finally:
                for fd in fds:
                    os.close(fd)
        for e in entries:
            check_equal(e.get("VBX_VERSION"), VERSION, f"version field of the entry {e.get('MESSAGE')!r}")
        return entries


def journal_view(entries):
    return [(e.get("SYSLOG_IDENTIFIER"), e.get("PRIORITY"), e.get("EVENT_TYPE"), e.get("EVENT_CATEGORY"),
             e.get("EVENT_ID"), e.get("MESSAGE")) for e in entries]


def info_entry(text):
    return (SOURCE, "6", "4", "0", "1", text)


def run_tool(exe, *args, user=None):
    cmd = [exe, *args]
    if user is not None:
        cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *cmd]
    p = spawn(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=clean_env())
    out, err = p.communicate(timeout=30)
    return p.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


# The sandbox of an executable outside /usr, /etc and /boot.
SANDBOX = ("ProtectSystem=full\nProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n"
           "ProtectControlGroups=yes\nProtectClock=yes\nProtectHostname=yes\nProtectProc=invisible\nProcSubset=pid\n"
           "PrivateDevices=yes\nPrivateMounts=yes\nNoNewPrivileges=yes\nCapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_FOWNER\n"
           "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\nRestrictNamespaces=yes\nRestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\nSystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\nSystemCallErrorNumber=EPERM\n")


def unit_text(exe):
    exec_start = exe.replace("%", "%%")
    exec_start = f'"{exec_start}"' if " " in exe else exec_start
    return ("[Unit]\nDescription=Vanto Brivon Morvel Collector\n\n[Service]\nType=notify\nNotifyAccess=main\n"
            f"ExecStart={exec_start}\nRestart=on-failure\nRestartSec=5\nStartLimitInterval=10min\nStartLimitBurst=10\nWatchdogSec=60\n{SANDBOX}\n[Install]\nWantedBy=multi-user.target\n")


def unit_exposure(unit_path):
    """systemd-analyze's overall rating of a unit file, or None without systemd-analyze."""
    if shutil.which("systemd-analyze") is None:
        return None
    p = subprocess.run(["systemd-analyze", "security", "--offline=true", unit_path], capture_output=True, text=True,
                       timeout=60)
    return exposure_level(f"({p.returncode}) {p.stdout}{p.stderr}")


def inside_namespace():
    scratch = tempfile.mkdtemp(prefix="vbx-e2e-units-")
    try:
        check_installation(scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def check_installation(scratch):
    subprocess.run(["mount", "--bind", scratch, UNIT_DIR], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    os.makedirs(os.path.join(UNIT_DIR, "multi-user.target.wants"))
    journal = Journal()
    unit, link = UNIT_PATH, WANTS_LINK
    with Collector("install", "met spatie") as app:
        exe = app.exe
        check_equal(run_tool(exe, "/INSTALL"), (0, "Information: Service installed successfully\n", ""),
                    "install: status, stdout, stderr")
        check_equal(read(unit).decode(), unit_text(exe), "unit file")
        level = unit_exposure(unit)
        if level is None:
            print("systemd-analyze is missing: the unit's exposure is rated by the real-systemd test only")
        else:
            check(level <= MAX_EXPOSURE, f"systemd-analyze rates the unit {level}, above {MAX_EXPOSURE}")
        check_equal(os.readlink(link), "../" + UNIT, "wants link")
        check_equal(read(app.path("VBxMorvelClient.xml")), config_bytes(app.base),
                    "configuration written by the installation")
        check_equal(journal_view(journal.drain()), [info_entry(INSTALLED)], "journal after install")

        rc, out, err = run_tool(exe, "-install")
        check_equal((rc, out), (0, ""), "second install: status and stdout")
        check_equal(err.replace("\r\n", "\n"),
                    f"Error: {install_failure('install', 1073, 'The specified service already exists')}\n",
                    "second install: stderr")
        check_equal(journal_view(journal.drain()), [], "a failed install runs no install handler")

        check_equal(run_tool(exe, "/UnInstall", "/silent"), (0, "", ""), "silent uninstall")
        check(not os.path.lexists(unit) and not os.path.lexists(link), "unit and link removed")
        check_equal(journal_view(journal.drain()), [info_entry(UNINSTALLED)], "journal after uninstall")

        rc, out, err = run_tool(exe, "/UNINSTALL")
        check_equal((rc, out), (0, ""), "second uninstall: status and stdout")
        text_1060 = "The specified service does not exist as an installed service"
        check_equal(err.replace("\r\n", "\n"), f"Error: {install_failure('uninstall', 1060, text_1060)}\n",
                    "second uninstall: stderr")
        check_equal(journal_view(journal.drain()), [info_entry(UNINSTALLED)],
                    "the uninstall handler runs before the service is opened")

        # Neither spelling installs; each is a service run started by hand.
        for arg in ("INSTALL", "--install", "/INSTALL:1", "/INST"):
            check_equal(run_tool(exe, arg), (0, "", ""), f"{arg} is not the install switch")
            check(not os.path.lexists(unit), f"{arg} wrote no unit")
            check_equal(journal_view(journal.drain()), [("VBxMorvel", "3", "1", "0", "0", TEXT_1063)],
                        f"{arg}: the dispatcher's failure under the program's file name")

        # Install wins over uninstall, and SILENT keeps quiet about success only.
        check_equal(run_tool(exe, "x", "/uninstall", "-INSTALL", "/Silent"), (0, "", ""), "install and uninstall")
        check(os.path.isfile(unit), "installed")
        journal.drain()
        check_equal(run_tool(exe, "/UNINSTALL"), (0, "Information: Service uninstalled successfully\n", ""),
                    "uninstall with its box")
        check(not os.path.lexists(unit), "uninstalled")
        journal.drain()

        # Without the right to write the unit folder the manager cannot be opened: the
        # last-chance report and exit status 1.
        os.chmod(app.root, 0o755)
        os.chmod(app.folder, 0o755)
        rc, out, err = run_tool(exe, "/INSTALL", user=65534)
        check_equal((rc, out), (1, ""), "install without rights: status and stdout")
        check(re.fullmatch(r"Application Error: Exception EOSError in module VBxMorvel at [0-9A-Fa-f]{16}\.\r?\n"
                           r"System Error\.  Code: 5\.\r?\nAccess is denied\.\r?\n\r?\n?", err) is not None,
              f"install without rights: stderr {err!r}")
        check(not os.path.lexists(unit), "nothing installed without rights")
    check_folder_names(journal, unit, link)
    check_equal(sorted(os.listdir(UNIT_DIR)), ["multi-user.target.wants"], "unit folder left empty")
    check_equal(os.listdir(os.path.join(UNIT_DIR, "multi-user.target.wants")), [], "wants folder left empty")

    # A root without the unit folder (a chroot without systemd): the installation makes it.
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/etc/systemd"], check=True)
    with Collector("install", "no-unit-folder") as app:
        check_equal(run_tool(app.exe, "/INSTALL", "/SILENT"), (0, "", ""), "install without /etc/systemd/system")
        check_equal(unit_text(app.exe), read(unit).decode(), "unit written into the folder made for it")
        check_equal(os.readlink(link), "../" + UNIT, "wants link in the folder made for it")
        check_equal(oct(os.stat(UNIT_DIR).st_mode & 0o777), "0o755", "mode of the unit folder made")
    journal.drain()


# Folder names by the characters systemd reads in the executable path of ExecStart (tried
# with `systemd-analyze verify`): quotes, backslashes and control characters make it refuse
# the unit, whatever the escaping; everything else runs, "$" and "%" included.
FOLDER_NAMES = [("a$b", True), ("a${HOME}b$$", True), ("100% a;b", True), ("café 😀 *?[x]=#@:+!~{}<>|&()`^,", True),
                ('a"b', False), ("a'b", False), ("a\\b", False), ("a\tb", False), ("a\nb", False), ("a\x01b", False),
                ("a\x7fb", False), ("caf\udce9", False)]  # the last: "caf" and the byte E9, not UTF-8
TEXT_123 = "The filename, directory name, or volume label syntax is incorrect"


def check_folder_names(journal, unit, link):
    verify = shutil.which("systemd-analyze")
    for name, accepted in FOLDER_NAMES:
        with Collector("install", name) as app:
            result = run_tool(app.exe, "/INSTALL", "/SILENT")
            if not accepted:
                check_equal(result, (1, "", f"Error: {install_failure('install', 123, TEXT_123)}\n"),
                            f"install from {name!r}")
                check(not os.path.lexists(unit) and not os.path.lexists(link), f"no unit for {name!r}")
                check_equal(journal_view(journal.drain()), [], f"no install handler ran for {name!r}")
                continue
            check_equal(result, (0, "", ""), f"install from {name!r}")
            check_equal(read(unit).decode(), unit_text(app.exe), f"unit for {name!r}")
            if verify:
                p = subprocess.run([verify, "verify", "--man=no", unit], capture_output=True, text=True, timeout=60)
                check_equal((p.returncode, p.stdout + p.stderr), (0, ""), f"systemd-analyze verify, folder {name!r}")
            check_equal(run_tool(app.exe, "/UNINSTALL", "/SILENT"), (0, "", ""), f"uninstall from {name!r}")
            journal.drain()


@group
def install_uninstall():
    """INSTALL and UNINSTALL with their failures against a private unit folder."""
    private_mounts_or_skip()
    if shutil.which("setpriv") is None:
        raise Skip("no setpriv to run the installation as another user")
    if not os.path.isdir(UNIT_DIR):
        raise Skip(f"no {UNIT_DIR} to cover with a private folder")
    before = tree(UNIT_DIR)
    check_equal(run_inside_namespace("install"), 0, "checks inside the namespace")
    check_equal(tree(UNIT_DIR), before, "the machine's unit folder is unchanged")


def run_inside_namespace(name):
    """Runs the checks `name` of NAMESPACE_CHECKS in a private mount namespace; its status."""
    return in_private_namespace("--exe", vbxtest.PROGRAM, "--server", vbxtest.SERVER, "--version", VERSION,
                                "--sanitize=" + SANITIZE, "--inside-namespace", name, timeout=120)


@group
def packet_server_checks_requests():
    """The packet server itself: it rejects malformed requests and still answers."""
    with PacketServer("--count", "4") as server:
        cases = [b"\x014\x02YWJj\x04", b"\x015\x02YWJj\x04", b"\x01004\x02YWJj\x04", b"\x014\x02YW!j\x04"]
        answers = [exchange(server.port, request)[0] for request in cases]
        server.wait_line(r"^closed$", count=4)
        check_equal(server.proc.wait(10), 0, "server exit status after --count 4")
        verdicts = [t for t in server.lines() if t.startswith("request")]
        check_equal(verdicts[0], "request ok: 4 base64 characters, 3 bytes", "good request")
        check("length field says 5 but the payload has 4" in verdicts[1], verdicts[1])
        check("not a plain decimal number" in verdicts[2], verdicts[2])
        check("not well-formed base64" in verdicts[3], verdicts[3])
        check("  abc" in server.lines(), "decoded request printed")
        for a in answers:
            m = re.fullmatch(rb"\x01(\d+)\x02([A-Za-z0-9+/=]+)\x04", a)
            check(m is not None and int(m.group(1)) == len(m.group(2)), f"framed answer {a[:20]!r}")


# ---------------------------------------------------------------------------------------
# Scarce resources and stalled partners: memory limits, every packet path's memory, a
# notification reader that never reads, large journal entries, slow steps.

def frame(payload, length=None, stx=True):
    """SOH, the length field (the payload's own length unless given), STX, payload, EOT."""
    return SOH + str(len(payload) if length is None else length).encode() + (STX if stx else b"") + payload + EOT


def no_sanitizer(what):
    if SANITIZE:
        raise Skip(f"{what}: a sanitizer's own memory ({SANITIZE}) would be measured too")


@group
def scarce_memory():
    """Address space follows the reply: under a limit of the idle figure + 64 MiB a 16 MiB
    reply is written; under + 8 MiB it is dropped with the buffer-full warning and the next
    small reply is written."""
    no_sanitizer("address-space limits")
    small, big = document(1024), document(12 * MIB)   # 1 KiB and 16 MiB of base64
    small_frame, big_frame = frame(base64.b64encode(small)), frame(base64.b64encode(big))

    def under_limit(extra_mib, big_fits):
        with held_replies(f"as{extra_mib}") as (server, app):
            output = app.path("BrivonTV/XML/TV_BRIVON.XML")
            server.queue(small_frame)
            app.wait_entry(RECEIVED, timeout=30)
            idle = proc_status(app.proc.pid)["VmSize"]
            limit = (idle + extra_mib * 1024) * 1024
            resource.prlimit(app.proc.pid, resource.RLIMIT_AS, (limit, limit))
            server.queue(big_frame)
            if big_fits:
                app.wait_entry(RECEIVED, count=2, timeout=30)
                check(read(output) == big, "the 16 MiB reply written")
            else:
                warning = app.wait_entry(BUFFER_FULL, timeout=30)
                check_equal((warning.source, warning.type), (SOURCE, "warning"), "the buffer-full warning")
            server.queue(frame(base64.b64encode(b"<klein/>\r\n")))
            app.wait_entry(RECEIVED, count=3 if big_fits else 2, timeout=30)
            check_equal(read(output), b"<klein/>\r\n", "the next small reply written")
            check_equal(app.texts().count(BUFFER_FULL), 0 if big_fits else 1, "buffer-full warnings")
            check_clean_stop(app, app.stop())

    run_parallel(("idle_plus_64_mib", under_limit, 64, True), ("idle_plus_8_mib", under_limit, 8, False))


@group
def memory_back_after_every_packet():
    """Resident memory within 1 MiB of the idle figure once a large packet is processed,
    whatever its path."""
    no_sanitizer("resident memory")
    payload = base64.b64encode(document(12 * MIB))
    cut = len(payload) // 2
    rows = [
        # (name, reply, how its processing shows)
        ("written", frame(payload), RECEIVED),
        ("written, line ends rewritten", frame(base64.b64encode(document(12 * MIB, b"\n"))), RECEIVED),
        ("length into the final CR LF", frame(payload, length=len(payload) + 2), RECEIVED),
        ("invalid", frame(payload[:cut] + b"*" + payload[cut + 1:]), INVALID),
        ("archived (no STX)", frame(payload, stx=False), "archive"),
        ("too long", SOH + b"9" + STX + b"A" * (129 * MIB), BUFFER_FULL),
    ]

    def measure(name, reply, outcome):
        with held_replies("rss") as (server, app):
            server.queue(frame(base64.b64encode(b"<klein/>\r\n")))
            app.wait_entry(RECEIVED, timeout=30)
            idle = proc_status(app.proc.pid)["VmRSS"]
            server.queue(reply)
            if outcome == "archive":
                wait_until(lambda: [n for n in os.listdir(app.path("BrivonTV/XML"))
                                    if re.fullmatch(r"MC_\d{16,18}\.XML", n)], 60, f"{name}: the archive file")
            else:
                app.wait_entry(outcome, count=2 if outcome == RECEIVED else 1, timeout=60)
            rss = []
            try:
                wait_until(lambda: rss.append(proc_status(app.proc.pid)["VmRSS"]) or rss[-1] <= idle + 1024, 3,
                           "resident memory back")
            except AssertionError:
                raise AssertionError(f"{name}: resident {rss[-1]} KiB after the packet, idle {idle} KiB") from None
            check_clean_stop(app, app.stop())

    # Three at a time: each holds up to a frame of memory while it receives.
    run_parallel(*((name, measure, name, *row) for name, *row in rows[:3]))
    run_parallel(*((name, measure, name, *row) for name, *row in rows[3:]))


def fill_datagram_socket(path):
    """Fills the receive queue of the datagram socket at `path` until it takes no more."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as filler:
        filler.setblocking(False)
        for _ in range(100000):
            try:
                filler.sendto(b"X_FILLER=1", path)
            except BlockingIOError:
                return
    raise AssertionError("the socket never filled")


def stalled_partners_inside():
    """In a private mount namespace with a stand-in journal that takes passed files."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    journal = Journal()
    entries, reading = [], threading.Event()

    def read_journal():
        # Read at once, as the journal does: the program waits for a full journal socket.
        while not reading.is_set():
            got = journal.drain()
            with journal_lock:
                entries.extend(got)
    journal_lock = threading.Lock()
    reader = threading.Thread(target=read_journal, daemon=True)
    reader.start()

    def configured_entries():
        with journal_lock:
            return [e for e in entries if e.get("MESSAGE", "").startswith(CONFIGURED.split("{}")[0])]

    try:
        stalled_notify_and_large_entries(entries, journal_lock, configured_entries)
    finally:
        reading.set()
        reader.join(5)


def stalled_notify_and_large_entries(entries, journal_lock, configured_entries):

    # A reader of NOTIFY_SOCKET that never reads, its queue full from the start: every
    # report is kept and dropped, 12 pauses and continues come and go, and SIGTERM still
    # ends the service at once. The one loss logged; the binding's entry arrives whole.
    with Collector("stalled", config={"binding": "b" * 300000}) as app:
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        address = os.path.join(app.root, "notify.sock")
        notify.bind(address)
        fill_datagram_socket(address)
        app.start(env={"NOTIFY_SOCKET": address})
        wait_until(configured_entries, 20, "the configured entry")
        for _ in range(12):
            app.signal(signal.SIGUSR1)
            time.sleep(0.05)
            app.signal(signal.SIGUSR2)
            time.sleep(0.05)
        time.sleep(2.5)   # every report so far dropped (a kept one is tried for 2 s)
        stopped_at = time.monotonic()
        app.signal(signal.SIGTERM)
        time.sleep(0.5)   # the stop's reports are kept; room for one lets the last go
        notify.recv(64)
        check_equal(app.wait_exit(timeout=5), 0, "exit status after SIGTERM with a reader that never reads")
        check(time.monotonic() - stopped_at < 5, "ended within 5 s")
        notify.setblocking(False)
        queued = []
        while True:
            try:
                queued.append(parse_notify(notify.recv(4096)))
            except BlockingIOError:
                break
        notify.close()
        last = queued[-1]
        check_equal((last.get("STATUS"), last.get("STOPPING")), ("ssStopped", "1"),
                    "the last report carries the stop's one-shot field")
        time.sleep(0.5)   # the journal's reader takes what is left
        entry = configured_entries()
        check_equal(len(entry), 1, "one configured entry")
        check_equal((entry[0]["MESSAGE"], entry[0].get("(sealed file)")),
                    (CONFIGURED.format("b" * 300000, 4001), "yes"), "the 300000-character entry, whole, as a file")
        with journal_lock:
            lost = [e for e in entries if e.get("MESSAGE") == TEXT_1460]
            entries.clear()
        check_equal([(e["SYSLOG_IDENTIFIER"], e["PRIORITY"], e["EVENT_TYPE"]) for e in lost],
                    [(SOURCE, "3", "1")], "the lost report logged once, as a failed status report")

    # Beyond the bound an entry is cut, with a visible marker.
    binding = "c" * 1100000
    with Collector("cut", config={"binding": binding, "http_timer": 600000}) as app:
        app.run_console()
        check_clean_stop(app, app.stop())
        full = CONFIGURED.format(binding, 4001)
        marker = f" [... entry cut at 1048576 of {len(full)} characters]"
        time.sleep(0.5)
        entry = configured_entries()
        check_equal(len(entry), 1, "one configured entry")
        check(entry[0]["MESSAGE"] == full[:1048576] + marker,
              f"cut at the bound with its marker: ...{entry[0]['MESSAGE'][-80:]!r}")


@group
def stalled_partners():
    """A notification reader that never reads stops nothing; large journal entries arrive."""
    private_mounts_or_skip()
    check_equal(run_inside_namespace("stalled"), 0, "checks inside the namespace")


@group
def slow_steps():
    """The watchdog tells slow work from a hang: pings go on while a large reply is written
    to slow storage, and stop within two ticks of a lookup that never returns."""
    if not PRELOAD:
        raise Skip("no fault-injection library in this build (sanitizer builds load their run-time first)")
    tick = 1.0   # WATCHDOG_USEC=3000000

    def env(receiver, **faults):
        return {"NOTIFY_SOCKET": receiver.address, "WATCHDOG_USEC": "3000000", "LD_PRELOAD": PRELOAD, **faults}

    def slow_write():
        big = document(24 * MIB)
        with ScriptedServer() as server, Collector("slowwrite") as app, NotifyReceiver(app.root) as receiver:
            app.write_config(http_timer=300, port=server.port)
            app.start(env=env(receiver, VBX_SLOW_WRITE_BYTES_PER_SECOND="4000000"))
            receiver.wait_status("ssRunning")
            server.queue(frame(base64.b64encode(big)))
            output = app.path("BrivonTV/XML")
            began = wait_until(lambda: any(n.endswith(".tmp") for n in os.listdir(output)) and time.monotonic(),
                               30, "the write to begin")
            wait_until(lambda: os.path.exists(os.path.join(output, "TV_BRIVON.XML")), 60, "the written reply")
            ended = time.monotonic()
            check(ended - began > 6 * tick, f"the write took two timeouts or more ({ended - began:.1f} s)")
            pings = receiver.pings(began - tick, ended)
            gaps = [b - a for a, b in zip(pings, pings[1:])] + [ended - pings[-1] if pings else ended - began]
            check(max(gaps) < 2.5 * tick, f"pings went on during the write: gaps {gaps}")
            check(read(os.path.join(output, "TV_BRIVON.XML")) == big, "the reply written whole")
            app.signal(signal.SIGTERM)
            check_equal(app.wait_exit(), 0, "exit status")

    def blocked_lookup():
        with Collector("hang", config={"binding": "hang.test", "http_timer": 500}) as app, \
                NotifyReceiver(app.root) as receiver:
            mark = os.path.join(app.root, "hanging")
            app.start(env=env(receiver, VBX_HANG_LOOKUP="hang.test", VBX_HANG_MARK=mark))
            receiver.wait_status("ssRunning")
            # The first connect looks the name up and never returns. Its progress mark
            # vouches for two ticks; with the tick's own phase the last ping comes at
            # most three ticks after the lookup began.
            hung = wait_until(lambda: os.path.exists(mark) and time.monotonic(), 20, "the lookup to hang")
            time.sleep(6 * tick)
            check(receiver.pings() != [], "pings while the lookup's mark was fresh")
            late = receiver.pings(hung + 3 * tick + 0.2)
            check(late == [], f"no ping three ticks after the lookup began: {[t - hung for t in late]}")

    run_parallel(slow_write, blocked_lookup)


def check_status(app, status, pattern):
    """STATUS: its exit status, and its line matching the pattern."""
    rc, line, _ = run_tool(app.exe, "/STATUS")
    check(rc == status and re.match(pattern, line), f"STATUS: {rc} {line!r}")


def scrape(url):
    """The page at url, or None while nothing answers there."""
    import urllib.request
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read().decode()
    except OSError:
        return None


@group
def monitoring():
    """A scripted run with faults: promtool and the node exporter take the metrics file, whose
    series match what happened; STATUS judges; each cycle sends a text-only STATUS= datagram."""
    promtool, exporter = shutil.which("promtool"), shutil.which("prometheus-node-exporter")
    if not promtool or not exporter:
        raise Skip("promtool or prometheus-node-exporter is missing (Debian: prometheus, prometheus-node-exporter)")
    with ScriptedServer() as server, Collector("metrics") as app, NotifyReceiver(app.root) as receiver:
        textfiles = app.path("textfiles")
        os.makedirs(textfiles)
        # 2500 ms: each reply is processed (ticks every 2000 ms) before the next request.
        config = config_text(app.base, http_timer=2500, port=server.port).replace(
            "</Output>", "<MetricsFile>textfiles/vbxmorvel.prom</MetricsFile>\r\n</Output>")
        write(app.path("VBxMorvelClient.xml"), cp1252(config))
        metrics = os.path.join(textfiles, "vbxmorvel.prom")
        figures = lambda: read(metrics).decode() if os.path.exists(metrics) else ""  # noqa: E731

        good = frame(base64.b64encode(b"<a/>"))
        for reply in (good, good, frame(b"!!!!"), good):
            server.queue(reply)
        app.start(env={"NOTIFY_SOCKET": receiver.address})
        receiver.wait_status("ssRunning")
        # A service run (its entries go to the journal): the metrics file tells the progress.
        wait_until(lambda: 'outcome="written"} 3\n' in figures() and 'outcome="invalid"} 1\n' in figures(), 40,
                   "three packets and an invalid one")
        check_status(app, 0, r"VBXMORVEL OK - last packet \d+ s ago, 6 bytes, running \| "
                             r"age=\d+s;7.5;25;0 size=6B;;;0$")
        texts = [f for _, f in receiver.received if f.get("STATUS", "").startswith("ssRunning: ")]
        check(texts and all(list(f) == ["STATUS"] for f in texts), f"text-only datagrams: {texts}")
        check(any(re.match(r"ssRunning: last packet \d\d:\d\d:\d\d, \d+ bytes$", f["STATUS"]) for f in texts),
              f"a last-packet text: {texts}")

        # The server goes away: refused connects.
        server.close()
        wait_until(lambda: "vbxmorvel_connect_failures_total 0\n" not in figures(), 20, "a refused connect")
        app.signal(signal.SIGUSR1)
        receiver.wait_status("ssPaused")
        wait_until(lambda: "vbxmorvel_service_state 7\n" in figures(), 10, "the paused state in the file")
        app.signal(signal.SIGUSR2)
        receiver.wait(lambda: receiver.statuses().count("ssRunning") == 2, 10, "running again")

        check_equal(subprocess.run([promtool, "check", "metrics"], input=read(metrics), capture_output=True).returncode,
                    0, "promtool check metrics")
        port = vbxtest.free_port()
        with subprocess.Popen([exporter, f"--web.listen-address=127.0.0.1:{port}", "--collector.disable-defaults",
                               "--collector.textfile", f"--collector.textfile.directory={textfiles}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as node:
            try:
                page = wait_until(lambda: scrape(f"http://127.0.0.1:{port}/metrics"), 20, "the node exporter")
            finally:
                node.terminate()
        served = dict(l.rsplit(" ", 1) for l in page.splitlines() if l.startswith(("vbxmorvel_", "node_textfile_")))
        replies = {f'vbxmorvel_replies_total{{outcome="{k}"}}': v for k, v in
                   (("written", "3"), ("invalid", "1"), ("archived", "0"), ("dropped", "0"), ("too_long", "0"))}
        for name, value in dict(replies, node_textfile_scrape_error="0", vbxmorvel_service_state="4",
                                vbxmorvel_request_interval_seconds="2.5", vbxmorvel_requests_sent_total="4",
                                **{f'vbxmorvel_build_info{{version="{VERSION}"}}': "1"}).items():
            check_equal(served.get(name), value, name)

        check_equal(app.stop(), 0, "exit status")
        check("vbxmorvel_service_state 1\n" in read(metrics).decode(), "the stopped state written at the stop")
        check_status(app, 2, r"VBXMORVEL CRITICAL - .*, stopped")


NAMESPACE_CHECKS = {"install": inside_namespace, "stalled": stalled_partners_inside}


def main():
    global VERSION, SANITIZE, PRELOAD
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--version", required=True, help="the project's version, as the journal entries carry it")
    parser.add_argument("--sanitize", default="", help="the build's sanitizer (asan, tsan), if any")
    parser.add_argument("--preload", help="the fault-injection library of the slow-step tests")
    parser.add_argument("--inside-namespace", choices=sorted(NAMESPACE_CHECKS))
    parser.add_argument("groups", nargs="*")
    args = parser.parse_args()
    vbxtest.PROGRAM, vbxtest.SERVER = os.path.abspath(args.exe), os.path.abspath(args.server)
    VERSION, SANITIZE, PRELOAD = args.version, args.sanitize, args.preload and os.path.abspath(args.preload)
    if args.inside_namespace:
        return run_one(args.inside_namespace, NAMESPACE_CHECKS[args.inside_namespace])
    return run_groups(GROUPS, args.groups)


if __name__ == "__main__":
    sys.exit(main())
