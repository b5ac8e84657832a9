#!/usr/bin/env python3
"""Soak test: the real VBxMorvel in console mode, copied into a fresh folder, against
VBxPakketServer --mode cycle at an HTTPTimer of 100 ms, for about a minute.

    soak.py --exe build/linux/VBxMorvel --server build/linux/VBxPakketServer [--sanitize asan]

The server answers each connection with the next behaviour of its round (good, split,
garbage first, unfinished, reset, silent then closed, invalid base64, two frames); every
packet it builds carries its number, the length and the CRC-32 of its body on its second
line. A reader thread reads TV_BRIVON.XML as often as it can and checks that each read is
one whole good packet. The run fails on:
  - a torn or wrong read (bad length or CRC, or a packet that was never sent as a good reply);
  - resident memory (VmRSS) growing by more than 2 MiB after a warm-up of 15 s;
  - more open files at the end than after the warm-up (lowest count of each window);
  - TV_BRIVON.XML lagging more than a few seconds behind the newest good reply at the end;
  - anything but a clean stop on SIGTERM: one stop entry, one stop-pending and a stopped
    report, exit status 0.
Memory and open files are not checked in sanitizer builds (their allocators keep memory on
purpose). bench/soak_bench.py runs the same for longer and prints a table over time.
With --check-server it checks one round of the server's cycle mode on the wire instead.
"""
import argparse
import base64
import binascii
import collections
import os
import re
import sys
import threading
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import (ENTRY_RE, RECEIVED, STATUS_RE, STOPPED, Collector, PacketServer, die_with_parent,  # noqa: E402
                     exchange, proc_status)

DECLARATION = b'<?xml version="1.0" encoding="ISO-8859-1"?>'
HEADER_RE = re.compile(rb'<BrivonTV versie="1\.0" volgnr="(\d+)" lengte="(\d+)" crc32="([0-9a-f]{8})">')
GOOD_RE = re.compile(r"^good packet (\d+) sent at \d+ ms")
CONNECTION_RE = re.compile(r"^connection \d+ from \S+ mode cycle/(\S+)$")

WARM_UP_S = 15.0
RSS_GROWTH_LIMIT_KIB = 2 * 1024
# After a reply is complete the collector writes it at its next processing tick (2000 ms);
# a newer complete but invalid reply may take its place, so the file can trail the good
# replies by about two ticks. A queue that falls behind trails by tens of seconds.
LAG_LIMIT_S = 6.0
SAMPLE_EVERY_S = 0.25
# A collector that keeps growing is stopped here rather than left to eat the machine.
RSS_ABORT_KIB = 1024 * 1024
# Diagnostics keep only the tail of each output stream, so a long run stays small.
TAIL_LINES = 40
TORN_EXAMPLES = 5


def check_packet(data):
    """The packet number of a whole packet, or raises ValueError saying what is wrong."""
    parts = data.split(b"\r\n", 2)
    m = HEADER_RE.fullmatch(parts[1]) if len(parts) == 3 and parts[0] == DECLARATION else None
    if m is None:
        raise ValueError(f"no packet declaration and header ({len(data)} bytes, starting {data[:100]!r})")
    sequence, length, crc = int(m.group(1)), int(m.group(2)), int(m.group(3), 16)
    if (len(parts[2]), zlib.crc32(parts[2])) != (length, crc):
        raise ValueError(f"packet {sequence}: body of {len(parts[2])} bytes and CRC-32 {zlib.crc32(parts[2]):08x}, "
                         f"header says {length} and {crc:08x}")
    return sequence


class Soak:
    def __init__(self, exe, server, size, http_timer):
        self.lock = threading.Lock()
        self.exe, self.server_path, self.size, self.http_timer = exe, server, size, http_timer
        self.server = self.app = None
        # Server side: connections per behaviour, and (arrival time, number) of each good reply.
        self.turns = collections.Counter()
        self.goods = []
        # Collector side.
        self.received = self.stop_entries = 0
        self.warnings = collections.Counter()
        self.statuses = []
        self.running = threading.Event()
        # Reader side.
        self.reads = self.torn = 0
        self.torn_examples = []
        self.seen = set()
        self.last_read = None   # (time, packet number)
        self.reading = threading.Event()

    # -- output parsers ----------------------------------------------------------------
    def _server_line(self, now, line):
        good, turn = GOOD_RE.match(line), CONNECTION_RE.match(line)
        with self.lock:
            if good:
                self.goods.append((now, int(good.group(1))))
            elif turn:
                self.turns[turn.group(1)] += 1

    def _entry_line(self, now, line):
        m = ENTRY_RE.match(line)
        with self.lock:
            if m and m.group(6) in (RECEIVED, STOPPED):
                self.received += m.group(6) == RECEIVED
                self.stop_entries += m.group(6) == STOPPED
            elif m and m.group(3) == "warning":
                self.warnings[m.group(6)] += 1

    def _status_line(self, now, line):
        m = STATUS_RE.match(line)
        if m:
            with self.lock:
                self.statuses.append(m.group(2))
            if m.group(2) == "ssRunning":
                self.running.set()

    # -- processes ---------------------------------------------------------------------
    def start(self):
        # Children die with this script: a test killed by ctest's timeout leaves nothing behind.
        self.server = PacketServer("--size", str(self.size), mode="cycle", path=self.server_path,
                                   on_line=self._server_line, tail=TAIL_LINES, preexec_fn=die_with_parent)
        self.app = Collector("soak", exe=self.exe, config={"port": self.server.port, "http_timer": self.http_timer})
        self.output = self.app.path("BrivonTV", "XML", "TV_BRIVON.XML")
        self.app.start("/CONSOLE", parsers=(self._entry_line, self._status_line), tail=TAIL_LINES,
                       preexec_fn=die_with_parent)
        if not self.running.wait(30):
            raise AssertionError(f"the collector did not report running: {self.app.err.texts()}")
        self.started = time.monotonic()
        self.reader = threading.Thread(target=self._read_loop, daemon=True)
        self.reading.set()
        self.reader.start()

    def _read_loop(self):
        while self.reading.is_set():
            try:
                with open(self.output, "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                time.sleep(0.001)
                continue
            now = time.monotonic()
            try:
                sequence = check_packet(data)
            except ValueError as why:
                with self.lock:
                    self.reads += 1
                    self.torn += 1
                    if len(self.torn_examples) < TORN_EXAMPLES:
                        self.torn_examples.append(f"{now - self.started:.1f} s: {why}")
                continue
            with self.lock:
                self.reads += 1
                self.seen.add(sequence)
                self.last_read = (now, sequence)

    # -- measurements ------------------------------------------------------------------
    def sample(self):
        """Resident memory in KiB and open files of the collector, or None once it is gone."""
        pid = self.app.proc.pid
        try:
            return proc_status(pid)["VmRSS"], len(os.listdir(f"/proc/{pid}/fd"))
        except (OSError, KeyError):
            return None

    def lag(self):
        """How long TV_BRIVON.XML has trailed the good replies at the last read: from the
        first good reply sent after the packet the read found, to that read, in seconds (0
        when none was sent since; times are arrivals of lines on this side). None before the
        first whole read, or when the packet read was never announced as a good reply."""
        with self.lock:
            if self.last_read is None:
                return None
            read_at, sequence = self.last_read
            held = next((t for t, n in self.goods if n == sequence), None)
            if held is None:
                return None
            newer = next((t for t, _ in self.goods if held < t <= read_at), None)
        return 0.0 if newer is None else read_at - newer

    def counts(self):
        with self.lock:
            return dict(replies=sum(self.turns.values()), goods=len(self.goods), received=self.received,
                        reads=self.reads, torn=self.torn)


def show(value, form="{}"):
    return "-" if value is None else form.format(value)


def check_resources(samples, failures, out):
    """Resident memory and open files after the warm-up against their figures at its end."""
    warm = [x for x in samples if WARM_UP_S - 5.0 <= x[0] < WARM_UP_S]
    later = [x for x in samples if x[0] >= WARM_UP_S]
    last = [x for x in later if x[0] >= samples[-1][0] - 5.0]
    if not warm or not last:
        failures.append(f"too few samples of memory and open files ({len(samples)}): is the run "
                        f"longer than the warm-up of {WARM_UP_S:.0f} s?")
        return
    base_rss, peak_rss = max(x[1] for x in warm[-8:]), max(x[1] for x in later)   # the warm-up's last 2 s
    # Open files come and go with each connection and each write: the lowest count of a
    # window is what stays open.
    base_fds, end_fds = min(x[2] for x in warm), min(x[2] for x in last)
    print(f"resident memory {base_rss} KiB after the warm-up, peak {peak_rss} KiB later (limit "
          f"+{RSS_GROWTH_LIMIT_KIB} KiB); open files {base_fds} after the warm-up, {end_fds} at the end", file=out)
    if peak_rss - base_rss > RSS_GROWTH_LIMIT_KIB:
        failures.append(f"resident memory grew by {peak_rss - base_rss} KiB after the warm-up "
                        f"({base_rss} KiB to {peak_rss} KiB; limit {RSS_GROWTH_LIMIT_KIB} KiB)")
    if end_fds > base_fds:
        failures.append(f"open files grew from {base_fds} after the warm-up to {end_fds} at the end")


def check_stop(soak, failures):
    """SIGTERM ends the collector within 30 s: status 0, one stop entry, the two stop reports."""
    try:
        rc = soak.app.stop(30)
    except AssertionError:
        rc = None
    with soak.lock:
        statuses, stops = list(soak.statuses), soak.stop_entries
    if rc is None:
        failures.append(f"the collector did not end within 30 s of SIGTERM; last reports {statuses[-4:]}")
        return
    if rc != 0:
        failures.append(f"exit status {rc} after SIGTERM")
    if stops != 1:
        failures.append(f"{stops} stop entries after SIGTERM (expected one)")
    if statuses.count("ssStopPending") != 1 or statuses[-2:] != ["ssStopPending", "ssStopped"]:
        failures.append(f"status reports after SIGTERM end {statuses[-4:]} "
                        f"(expected one ssStopPending, then ssStopped)")


def run(exe, server, seconds, resource_checks, size=200 * 1024, http_timer=100, row_every=10.0, out=sys.stdout):
    """Runs one soak and returns the list of failed checks (empty when all passed)."""
    failures = []
    soak = Soak(exe, server, size, http_timer)
    try:
        soak.start()
        print(f"soak: HTTPTimer {http_timer} ms, packets of {size} bytes, {seconds:.0f} s, pid {soak.app.proc.pid}"
              f"{'' if resource_checks else ', memory and open files not checked'}", file=out, flush=True)
        print(f"{'time s':>7} {'replies':>7} {'good':>5} {'written':>7} {'reads':>7} {'torn':>5}"
              f" {'VmRSS KiB':>9} {'files':>5} {'lag s':>6}", file=out, flush=True)
        samples = []   # (time since start, rss KiB, open files)
        next_row, worst_lag = row_every, 0.0   # the worst lag after the warm-up is reported; the check is at the end
        while (elapsed := time.monotonic() - soak.started) < seconds:
            if soak.app.proc.poll() is not None:
                failures.append(f"the collector ended by itself after {elapsed:.1f} s "
                                f"with status {soak.app.proc.returncode}")
                break
            s = soak.sample()
            if s is not None:
                samples.append((elapsed, *s))
                if s[0] > RSS_ABORT_KIB:
                    failures.append(f"resident memory passed {RSS_ABORT_KIB // 1024} MiB after {elapsed:.0f} s: "
                                    f"the run ends early")
                    break
            lag = soak.lag()
            if lag is not None and elapsed >= WARM_UP_S:
                worst_lag = max(worst_lag, lag)
            if elapsed >= next_row:
                c = soak.counts()
                rss, fds = s or (None, None)
                print(f"{elapsed:7.1f} {c['replies']:7d} {c['goods']:5d} {c['received']:7d} {c['reads']:7d}"
                      f" {c['torn']:5d} {show(rss):>9} {show(fds):>5} {show(lag, '{:.1f}'):>6}", file=out, flush=True)
                next_row += row_every
            time.sleep(SAMPLE_EVERY_S)
        soak.reading.clear()
        soak.reader.join(10)
        lag, c = soak.lag(), soak.counts()
        with soak.lock:
            unknown = sorted(soak.seen - {n for _, n in soak.goods})
            examples = list(soak.torn_examples)
        print(f"end: {c['replies']} replies ({dict(sorted(soak.turns.items()))}), {c['goods']} good, "
              f"{c['received']} written, {c['reads']} reads, {c['torn']} torn, lag {show(lag, '{:.1f} s')} "
              f"(worst after the warm-up {worst_lag:.1f} s); warnings {dict(soak.warnings)}", file=out, flush=True)
        if c["torn"]:
            failures.append(f"{c['torn']} of {c['reads']} reads were not one whole packet: {examples}")
        if unknown:
            failures.append(f"reads found packets that were never sent as a good reply: {unknown[:10]}")
        if c["reads"] - c["torn"] == 0:
            failures.append("TV_BRIVON.XML was never read as a whole packet")
        elif lag is None:
            failures.append("the last packet read is not a good reply the server announced")
        elif lag > LAG_LIMIT_S:
            failures.append(f"TV_BRIVON.XML has trailed the good replies for {lag:.1f} s at the end "
                            f"(limit {LAG_LIMIT_S:.0f} s)")
        if resource_checks:
            check_resources(samples, failures, out)
        if soak.app.proc.poll() is None:
            check_stop(soak, failures)
        if failures:
            print("collector output (tail):", *soak.app.out.texts(), *soak.app.err.texts(), sep="\n  ", file=out)
            print("server output (tail):", *soak.server.lines(), sep="\n  ", file=out)
    finally:
        soak.reading.clear()
        for part in (soak.app, soak.server):
            if part is not None:
                part.close()
    return failures


FRAME_RE = re.compile(rb"\x01(\d+)\x02([^\x04]*)\x04")
# Per turn of the cycle mode: how the connection ends, how many frames, what comes before
# the first SOH ("" nothing, "text" some bytes, none of them a control byte).
WHOLE_TURNS = {"good": ("closed", 1, ""), "split": ("closed", 1, ""), "garbage-first": ("closed", 1, "text"),
               "two-frames": ("closed", 2, "")}


def check_server_cycle(server_path):
    """The cycle mode itself: one round of eight connections and the first turn again, each
    answered as its turn says, and a good announcement for exactly the whole good replies."""
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    server = PacketServer("--size", "20000", "--count", "9", mode="cycle", path=server_path,
                          preexec_fn=die_with_parent)
    try:
        replies = [exchange(server.port) for _ in range(9)]
        status = server.proc.wait(20)
        server.out.join(5)
        lines = server.lines()
        expect(status == 0, f"server exit status {status} after --count 9")
        announced = [int(g.group(1)) for g in map(GOOD_RE.match, lines) if g]
        turns = [c.group(1) for c in map(CONNECTION_RE.match, lines) if c]
        expect(turns == ["good", "split", "garbage-first", "unfinished", "reset", "silent-close",
                         "invalid-base64", "two-frames", "good"], f"turns {turns}")

        whole = []   # packet numbers of the replies that hold a whole good frame first
        for turn, (data, end, took) in zip(turns, replies):
            found = [(int(m.group(1)), m.group(2)) for m in FRAME_RE.finditer(data)]
            try:
                if turn in WHOLE_TURNS:
                    how, count, lead = WHOLE_TURNS[turn]
                    before = data[:data.index(b"\x01")]
                    expect((end, len(found), all(n == len(p) for n, p in found)) == (how, count, True),
                           f"{turn}: connection {end}, {len(found)} frames, or a length field disagrees")
                    clean = not any(b in before for b in b"\x00\x01\x02\x04")
                    expect(before == b"" if lead == "" else before and clean,
                           f"{turn}: {len(before)} bytes before SOH, or a control byte among them")
                    numbers = [check_packet(base64.b64decode(p, validate=True)) for _, p in found]
                    expect(len(set(numbers)) == len(numbers), f"{turn}: packet numbers {numbers}")
                    whole.append(numbers[0])
                elif turn in ("unfinished", "reset"):
                    expect(end == ("reset" if turn == "reset" else "closed"), f"{turn}: connection {end}")
                    expect(b"\x04" not in data and (turn == "reset" or data.startswith(b"\x01")),
                           f"{turn}: {len(data)} bytes, EOT among them or no SOH first")
                elif turn == "silent-close":
                    expect(data == b"" and end == "closed" and took >= 0.8,
                           f"silent-close: {len(data)} bytes, {end} after {took:.2f} s")
                elif turn == "invalid-base64":
                    expect(end == "closed" and len(found) == 1 and found[0][0] == len(found[0][1]),
                           f"invalid-base64: {len(found)} frames, connection {end}")
                    expect(re.fullmatch(rb"[A-Za-z0-9+/]*={0,2}", found[0][1]) is None,
                           "invalid-base64: the payload is well-formed base64")
            except (ValueError, IndexError, binascii.Error) as why:
                failures.append(f"{turn}: {why}")
        expect(announced == whole, f"announced good packets {announced}, whole good replies {whole}")
    finally:
        server.close()
    return failures


def verdict(failures, passed):
    """Prints every failure, or the line `passed`; the exit status."""
    for failure in failures:
        print(f"FAIL {failure}", flush=True)
    if not failures:
        print(passed, flush=True)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--sanitize", default="", help="the build's VBX_SANITIZE value; "
                        "non-empty skips the memory and open-file checks")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--http-timer", type=int, default=100)
    parser.add_argument("--check-server", action="store_true",
                        help="check one round of the server's cycle mode instead of a soak run")
    args = parser.parse_args()
    if args.check_server:
        return verdict(check_server_cycle(os.path.abspath(args.server)), "ok   server cycle")
    if args.seconds < WARM_UP_S + 5:
        parser.error(f"--seconds must be at least {WARM_UP_S + 5:.0f} (warm-up and a last window)")
    return verdict(run(os.path.abspath(args.exe), os.path.abspath(args.server), args.seconds,
                       resource_checks=not args.sanitize, http_timer=args.http_timer), "ok   soak")


if __name__ == "__main__":
    sys.exit(main())
