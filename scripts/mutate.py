#!/usr/bin/env python3
"""Mutation run: how many small faults in the product do the tests catch?

Makes one small fault (a mutant) at a time in a .cpp file of the product's layers, rebuilds
incrementally and runs the tests that cover the file:

  layer           tests run
  text            text_tests
  runtime         runtime_tests
  net             net_tests
  timers          timers_tests
  service_host    service_host_tests
  collector       collector_tests, then the end-to-end group (ctest -L e2e)
  platform/posix  platform_tests,  then the end-to-end group (ctest -L e2e)

Each mutant ends as killed (a test failed or the program crashed), survived (every test
passed), timeout (a test program went past its time limit) or not-built (the compiler
refused the fault; left out of the score). The score is (killed + timeout) / (killed +
timeout + survived). The end-to-end group runs only when the layer's own program lets the
mutant live, unless --attribute asks for every covering test.

The faults (operators):
  cmp-by-one      a comparison moved by one:   <  <=  >  >=  become  <=  <  >=  >
  cmp-turned      a comparison turned around:  <  <=  >  >=  ==  !=  become  >=  >  <=  <  !=  ==
  and-or          && and || swapped
  negate          the condition of an if or a while negated
  drop-call       a statement that is only a call removed (not VBX_EXPECT_*: compiled out here)
  return-default  return <value> becomes return {}; true and false swap
  constant        an integer constant changed: 0 -> 1, 1 -> 0, n -> n + 1

Only code the compiler sees is mutated: comments, string and character literals and
preprocessor lines are skipped (a token scan, no parser: some mutants do not compile and are
counted as not-built). Mutants are sampled with a fixed seed, one per source line picked at
random, the lines spread over the layers in proportion to their mutable lines: the same
tree, seed and count give the same mutants.

The worktree is never changed: the tracked files are copied to <workdir>/src (brought up to
date with the worktree, uncommitted edits included, at every start), built in <workdir>/bin
from the linux preset with ccache, warnings not fatal, and each mutated file is written back
in a finally block, on Ctrl+C too. The packet server and the end-to-end preload are built
once from the unmutated tree, so a fault is never on both sides of the wire.

Results go to a JSON file after every mutant (default <workdir>/results.json); a run with
the same file continues where the last one stopped, and redoes only the mutants whose file
has changed since. --report prints the tables of a results file without running anything.

Examples:
  scripts/mutate.py --count 250                        # the whole run (hours: see docs/mutation.md)
  scripts/mutate.py --layers text,timers --count 12    # a small sample
  scripts/mutate.py --rerun survived                   # after sharpening tests
  scripts/mutate.py --list --layers net | head         # the mutants, without running them
  scripts/mutate.py --report
"""

from __future__ import annotations

import argparse
import bisect
import filecmp
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# layer -> (folder, GoogleTest program, whether the end-to-end group covers it)
LAYERS = {
    "text": ("text", "text_tests", False),
    "runtime": ("runtime", "runtime_tests", False),
    "net": ("net", "net_tests", False),
    "timers": ("timers", "timers_tests", False),
    "service_host": ("service_host", "service_host_tests", False),
    "collector": ("collector", "collector_tests", True),
    "platform/posix": ("platform/posix", "platform_tests", True),
}
# The end-to-end group: ctest labels in and out. The real-systemd test needs a container
# and the soak test a minute of its own; neither adds a check the groups do not make.
E2E_LABEL, E2E_EXCLUDE = "e2e", "systemd|soak"
E2E_PROGRAMS = ["VBxMorvel"]
BASELINE_TARGETS = ["VBxPakketServer", "vbx_slow_io_preload"]
# With --attribute, how many times a program is run again after a test crashed or hung.
ATTRIBUTE_ROUNDS = 5


# ---- the mutants --------------------------------------------------------------------------


@dataclass
class Mutant:
    layer: str
    file: str  # relative to the tree
    line: int
    col: int
    op: str
    start: int  # offsets into the file's text
    end: int
    original: str
    replacement: str
    context: str  # the source line, for the reader

    @property
    def id(self) -> str:
        return f"{self.file}:{self.line}:{self.col}:{self.op}"


def code_mask(text: str) -> str:
    """The text with comments, literals and preprocessor lines blanked (newlines kept), so
    that offsets match and only code is left to search. A literal keeps its opening quote."""
    out = list(text)
    i, n = 0, len(text)
    at_line_start = True

    def blank(a: int, b: int) -> None:
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if c in " \t":
            i += 1
            continue
        if at_line_start and c == "#":  # a preprocessor line, with its continuations
            j = i
            while j < n and not (text[j] == "\n" and text[j - 1] != "\\"):
                j += 1
            blank(i, j)
            i = j
            continue
        at_line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif m := re.compile(r'(?:u8|u|U|L)?R"([^(\s]*)\(').match(text, i):
            if i and (text[i - 1].isalnum() or text[i - 1] == "_"):
                i += 1
                continue
            j = text.find(")" + m.group(1) + '"', m.end())
            j = n if j < 0 else j + len(m.group(1)) + 2
            blank(i + 1, j)
            out[i] = '"'
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, j + 1)
            i = j + 1
        elif c.isdigit():  # a number, digit separators included
            m = re.compile(r"[0-9A-Za-z_.']*").match(text, i)
            i = m.end()
        elif c.isalpha() or c == "_":
            m = re.compile(r"\w+").match(text, i)
            i = m.end()
        else:
            i += 1
    return "".join(out)


def matching(mask: str, i: int) -> int:
    """Offset of the bracket closing the one at i, or -1."""
    depth = 0
    for k in range(i, len(mask)):
        if mask[k] in "([{":
            depth += 1
        elif mask[k] in ")]}":
            depth -= 1
            if depth == 0:
                return k
    return -1


def statement_end(mask: str, i: int) -> int:
    """Offset of the ';' that ends the statement starting at i, or -1 if a block opens or
    closes first."""
    depth = 0
    for k in range(i, len(mask)):
        c = mask[k]
        if c in "([{":
            if c == "{" and depth == 0:
                return -1
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth < 0:
                return -1
        elif c == ";" and depth == 0:
            return k
    return -1


def collapse(s: str) -> str:
    """The text with what is inside each outermost bracket pair removed: f(a, g(b)).h() -> f().h()"""
    out, depth = [], 0
    for c in s:
        if c in "([{":
            if depth == 0:
                out.append(c)
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                out.append(c)
        elif depth == 0:
            out.append(c)
    return "".join(out)


CMP = {
    "<": (("<=", "cmp-by-one"), (">=", "cmp-turned")),
    "<=": (("<", "cmp-by-one"), (">", "cmp-turned")),
    ">": ((">=", "cmp-by-one"), ("<=", "cmp-turned")),
    ">=": ((">", "cmp-by-one"), ("<", "cmp-turned")),
    "==": (("!=", "cmp-turned"),),
    "!=": (("==", "cmp-turned"),),
}
# Binary operators are spaced by the format, templates' brackets and references are not.
CMP_RE = re.compile(r"(?<= )(<=|>=|==|!=|<|>)(?= )")
LOGIC_RE = re.compile(r"(?<= )(&&|\|\|)(?= )")
COND_RE = re.compile(r"\b(if|while)\s*(\()")
RETURN_RE = re.compile(r"\breturn\b")
NUMBER_RE = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|\d[\d']*)([uUlLzZ]*|ms|us|ns|s|min|h)(?![\w.'])")
CALL_RE = re.compile(r"(?:::)?[A-Za-z_]\w*(?:(?:::|\.|->)~?[A-Za-z_]\w*|\(\)|\[\])*\(\)")
NOT_CALLS = {"assert", "static_assert", "sizeof", "decltype", "return", "throw", "co_return", "co_await"}
DEFAULTS = {"{}", "0", "nullptr", "false", '""', "std::nullopt", "u\"\""}


def changed_number(literal: str) -> str:
    digits = literal.replace("'", "")
    if digits[:2] in ("0x", "0X"):
        value = int(digits, 16)
        new = value + 1 if value not in (0, 1) else 1 - value
        return digits[:2] + format(new, "0%dX" % (len(digits) - 2))
    octal = len(digits) > 1 and digits[0] == "0"
    value = int(digits, 8 if octal else 10)
    new = value + 1 if value not in (0, 1) else 1 - value
    return "0" + format(new, "o") if octal else str(new)


def find_mutants(layer: str, rel: str, text: str) -> list[Mutant]:
    mask = code_mask(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", text)]
    found: list[Mutant] = []

    def add(op: str, start: int, end: int, replacement: str) -> None:
        line = bisect.bisect_right(line_starts, start)
        col = start - line_starts[line - 1] + 1
        context = text[line_starts[line - 1] : text.find("\n", start)].strip()
        found.append(Mutant(layer, rel, line, col, op, start, end, text[start:end], replacement, context))

    for line_start, line_end in zip(line_starts, line_starts[1:] + [len(text)]):
        if "static_assert" in mask[line_start:line_end]:
            continue
        for m in CMP_RE.finditer(mask, line_start, line_end):
            for new, op in CMP[m.group(1)]:
                add(op, m.start(), m.end(), new)
        for m in LOGIC_RE.finditer(mask, line_start, line_end):
            add("and-or", m.start(), m.end(), "||" if m.group(1) == "&&" else "&&")
        for m in NUMBER_RE.finditer(mask, line_start, line_end):
            add("constant", m.start(1), m.end(1), changed_number(m.group(1)))
        for m in COND_RE.finditer(mask, line_start, line_end):
            close = matching(mask, m.start(2))
            inner = mask[m.start(2) + 1 : close]
            if close < 0 or ";" in collapse(inner) or inner.lstrip().startswith("constexpr"):
                continue
            add("negate", m.start(2), close + 1, "(!" + text[m.start(2) : close + 1] + ")")
        for m in RETURN_RE.finditer(mask, line_start, line_end):
            semi = statement_end(mask, m.end())
            expr = text[m.end() : semi].strip() if semi > 0 else ""
            if not expr or expr in DEFAULTS:
                continue
            new = {"true": "false", "false": "true"}.get(expr, "{}")
            add("return-default", m.start(), semi + 1, f"return {new};")
        # A statement that is a call and nothing else, at the start of its line.
        first = len(mask[line_start:line_end]) - len(mask[line_start:line_end].lstrip(" \t"))
        begin = line_start + first
        before = mask[:begin].rstrip()
        if mask[begin : begin + 1].strip() and (before[-1:] in (";", "{", "}", ")", ":") or re.search(r"\b(else|do)$", before)):
            semi = statement_end(mask, begin)
            statement = collapse(mask[begin:semi]).strip() if semi > 0 else ""
            head = re.match(r"\w+", statement)
            # The threading contracts' checks are compiled out of this build: equivalent.
            if (CALL_RE.fullmatch(statement) and head and head.group(0) not in NOT_CALLS
                    and not head.group(0).startswith("VBX_EXPECT_")):
                add("drop-call", begin, semi + 1, "{}")
    return found


def all_mutants(tree: Path, layers: list[str]) -> list[Mutant]:
    found = []
    for layer in layers:
        folder = tree / LAYERS[layer][0]
        for path in sorted(folder.glob("*.cpp")):
            found += find_mutants(layer, path.relative_to(tree).as_posix(), path.read_text())
    return found


def sample(mutants: list[Mutant], count: int, seed: int) -> list[Mutant]:
    """count mutants, at most one per line, the lines spread over the layers in proportion
    to their mutable lines (at least 5 each, if count allows); the same input gives the same sample."""
    lines: dict[str, dict[tuple[str, int], list[Mutant]]] = {}
    for m in mutants:
        lines.setdefault(m.layer, {}).setdefault((m.file, m.line), []).append(m)
    total = sum(len(v) for v in lines.values())
    least = min(5, count // max(1, len(lines)))
    quota = {layer: count * len(v) / total for layer, v in lines.items()}
    shares = {layer: int(q) for layer, q in quota.items()}
    for layer in sorted(quota, key=lambda k: shares[k] - quota[k])[: count - sum(shares.values())]:
        shares[layer] += 1  # the largest remainders
    for layer in shares:
        while shares[layer] < least:
            shares[layer] += 1
            shares[max(shares, key=shares.get)] -= 1
    picked = []
    for layer, by_line in lines.items():
        rng = random.Random(f"{seed}:{layer}")  # a layer's sample does not depend on the others
        keys = sorted(by_line)
        for key in sorted(rng.sample(keys, min(shares[layer], len(keys)))):
            picked.append(rng.choice(by_line[key]))
    return picked


# ---- building and testing -----------------------------------------------------------------


class Stop(Exception):
    pass


def on_signal(signum, frame):
    raise KeyboardInterrupt


def run(cmd: list[str], timeout: float, log: Path | None = None) -> tuple[int | None, str, float]:
    """Runs cmd in a process group of its own; (status or None on timeout, output, seconds)."""
    began = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        status = proc.returncode
    except BaseException as error:  # timeout, Ctrl+C: end the whole group
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        out, _ = proc.communicate()
        if not isinstance(error, subprocess.TimeoutExpired):
            raise
        status = None
    if log:
        log.write_text(out)
    return status, out, time.monotonic() - began


def gtest_failures(out: str) -> tuple[list[str], list[str], str | None]:
    """Failed tests of a GoogleTest run, the tests it started, and the test running when it
    stopped, if one was."""
    failed, seen, running = [], [], None
    for line in out.splitlines():
        if m := re.match(r"\[ RUN      \] (\S+)", line):
            running = m.group(1)
            seen.append(running)
        elif m := re.match(r"\[  (?:FAILED|     OK|SKIPPED) +\] (\S+) \(", line):
            if "FAILED" in line:
                failed.append(m.group(1))
            running = None
    return failed, seen, running


def ctest_failures(out: str) -> tuple[list[str], list[str]]:
    """Failed and timed-out tests of a ctest run."""
    failed, timed_out = [], []
    listed = out.partition("The following tests FAILED:")[2]
    for m in re.finditer(r"^\s*\d+ - (\S+) \((.+)\)\s*$", listed, re.M):
        (timed_out if m.group(2) == "Timeout" else failed).append(m.group(1))
    return failed, timed_out


@dataclass
class Result:
    status: str  # killed, survived, timeout, not-built
    killers: list[str] = field(default_factory=list)
    seconds: dict[str, float] = field(default_factory=dict)


class Runner:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.workdir).resolve()
        self.src, self.bin = self.work / "src", self.work / "bin"
        self.baseline: dict = {}

    # The private copy of the tree.
    def sync(self) -> None:
        files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                               cwd=ROOT, capture_output=True, check=True).stdout.decode().split("\0")
        wanted = {f for f in files if f and (ROOT / f).is_file()}
        for rel in sorted(wanted):
            source, copy = ROOT / rel, self.src / rel
            if not copy.exists() or not filecmp.cmp(source, copy, shallow=False):
                copy.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, copy)
        for path in self.src.rglob("*"):
            if path.is_file() and path.relative_to(self.src).as_posix() not in wanted:
                path.unlink()

    def configure(self) -> None:
        if not (self.bin / "build.ninja").exists():
            subprocess.run(["cmake", "-S", self.src, "-B", self.bin, "--preset", "linux",
                            "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DVBX_WERROR=OFF", "-DVBX_BUILD_BENCH=OFF"],
                           check=True, stdout=subprocess.DEVNULL)

    def build(self, targets: list[str]) -> tuple[bool, float]:
        status, out, seconds = run(["ninja", "-C", str(self.bin), f"-j{self.args.jobs}", *targets],
                                   self.args.build_timeout, self.work / "build.log")
        return status == 0, seconds

    def program(self, name: str) -> Path:
        return next(self.bin.glob(f"tests/*/{name}"))

    def gtest(self, name: str, limit: float, exclude: list[str]) -> tuple[int | None, list[str], list[str], str | None, float]:
        cmd = [str(self.program(name))]
        skip = exclude + self.baseline.get("failing", {}).get(name, [])
        if skip:
            cmd.append("--gtest_filter=-" + ":".join(skip))
        status, out, seconds = run(cmd, limit, self.work / "test.log")
        return status, *gtest_failures(out), seconds

    def e2e(self, limit: float) -> tuple[int | None, list[str], list[str], float]:
        exclude = "|".join(re.escape(t) for t in self.baseline.get("failing", {}).get("e2e", []))
        cmd = ["ctest", "--test-dir", str(self.bin), "-L", E2E_LABEL, "-LE", E2E_EXCLUDE, f"-j{self.args.jobs}"]
        if exclude:
            cmd += ["-E", f"^({exclude})$"]
        status, out, seconds = run(cmd, limit, self.work / "e2e.log")
        failed, timed_out = ctest_failures(out)
        return status, failed, timed_out, seconds

    def limit(self, key: str) -> float:
        return self.args.timeout_factor * self.baseline["seconds"][key] + self.args.timeout_extra

    # The unmutated tree: everything needed builds, its tests pass (those that do not are
    # left out of every later run, with a warning), and how long they take sets the limits.
    def measure_baseline(self, layers: list[str], state: dict) -> None:
        programs = sorted({LAYERS[layer][1] for layer in layers})
        needs_e2e = any(LAYERS[layer][2] for layer in layers)
        key = tree_hash(self.src, ["text", "runtime", "net", "timers", "service_host", "collector", "platform",
                                   "app", "tools", "tests", "CMakeLists.txt", "cmake"])
        ok, _ = self.build(programs + BASELINE_TARGETS + (E2E_PROGRAMS if needs_e2e else []))
        if not ok:
            raise Stop(f"the unmutated tree does not build: see {self.work / 'build.log'}")
        old = state.get("baseline", {})
        self.baseline = old if old.get("tree") == key else {"tree": key, "seconds": {}, "failing": {}}
        state["baseline"] = self.baseline
        seconds, failing = self.baseline["seconds"], self.baseline["failing"]
        for name in [p for p in programs if p not in seconds]:
            status, failed, _, running, seconds[name] = self.gtest(name, 1800, [])
            if status != 0:
                failing[name] = failed + ([running] if running else [])
                print(f"warning: {name} fails unmutated, left out: {' '.join(failing[name]) or '(crash)'}")
        if needs_e2e and "e2e" not in seconds:
            print("baseline: the end-to-end group on the unmutated tree ...", flush=True)
            status, failed, timed_out, seconds["e2e"] = self.e2e(3600)
            if failed or timed_out:
                failing["e2e"] = failed + timed_out
                print(f"warning: the end-to-end group fails unmutated, left out: {' '.join(failing['e2e'])}")
        print("baseline seconds: " + ", ".join(f"{k} {v:.1f}" for k, v in seconds.items()), flush=True)

    # One mutant: write it, build, test, and put the file back whatever happens.
    def try_mutant(self, m: Mutant) -> Result:
        path = self.src / m.file
        text = path.read_text()
        if text[m.start : m.end] != m.original:
            raise Stop(f"{m.id}: the copy of {m.file} is not the file the mutant was made from")
        program, with_e2e = LAYERS[m.layer][1], LAYERS[m.layer][2]
        result = Result("survived")
        try:
            path.write_text(text[: m.start] + m.replacement + text[m.end :])
            ok, result.seconds["build"] = self.build([program])
            if not ok:
                return Result("not-built", seconds=result.seconds)
            self.unit_tests(program, result)
            if with_e2e and (result.status == "survived" or self.args.attribute):
                ok, seconds = self.build(E2E_PROGRAMS)
                result.seconds["build"] += seconds
                if ok:
                    status, failed, timed_out, result.seconds["e2e"] = self.e2e(self.limit("e2e"))
                    result.killers += [f"ctest:{t}" for t in failed + timed_out]
                    if failed:
                        result.status = "killed"
                    elif (timed_out or status is None) and result.status == "survived":
                        result.status = "timeout"
                elif result.status == "survived":
                    result.status = "not-built"
            return result
        finally:
            path.write_text(text)

    def unit_tests(self, program: str, result: Result) -> None:
        """Runs the program. With --attribute, when a test crashes or hangs the tests not yet
        run are run again (up to ATTRIBUTE_ROUNDS times), so that every failing test is named."""
        excluded: list[str] = []
        result.seconds["test"] = 0.0
        for _ in range(1 + (ATTRIBUTE_ROUNDS if self.args.attribute else 0)):
            status, failed, seen, running, seconds = self.gtest(program, self.limit(program), excluded)
            result.seconds["test"] += seconds
            result.killers += [f"{program}:{t}" for t in failed]
            if failed:
                result.status = "killed"
            if status is None:  # past the time limit
                if result.status == "survived":
                    result.status = "timeout"
                result.killers += [f"{program}:{running} (timeout)"] if running else []
            elif status != 0 and (running or not failed):  # a crash, or a failure outside any test
                result.status = "killed"
                result.killers.append(f"{program}:{running or '(whole program)'} (crash)")
            if running is None or status == 0:
                return
            excluded += seen


def tree_hash(root: Path, parts: list[str]) -> str:
    digest = hashlib.sha256()
    for part in parts:
        paths = [root / part] if (root / part).is_file() else sorted((root / part).rglob("*"))
        for path in paths:
            if path.is_file():
                digest.update(path.relative_to(root).as_posix().encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()[:16]


def file_hash(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()[:16]


# ---- the report ---------------------------------------------------------------------------


def read_verdicts(path: Path) -> dict[tuple[str, int], str]:
    """The verdict table: rows whose first cell names a survivor as `file.cpp:line` (a column
    and operator may follow) and whose last cell is its verdict."""
    verdicts = {}
    if path.exists():
        for line in path.read_text().splitlines():
            cells = [c.strip() for c in re.split(r"(?<!\\)\|", line.strip().strip("|"))]  # not at \|
            found = re.match(r"`?([\w/]+\.cpp):(\d+)", cells[0]) if len(cells) >= 2 else None
            if line.lstrip().startswith("|") and found:
                verdicts[(found.group(1), int(found.group(2)))] = cells[-1]
    return verdicts


def report(records: dict, layers: list[str] | None = None, verdicts: dict | None = None) -> None:
    """Survivors with an 'equivalent' verdict count as equivalent and are left out of the score."""
    verdicts = verdicts or {}
    rows = {}
    for r in records.values():
        if layers is None or r["layer"] in layers:
            status = r["status"]
            if status == "survived" and verdicts.get((r["file"], r["line"]), "").startswith("equivalent"):
                status = "equivalent"
            rows.setdefault(r["layer"], dict.fromkeys(("killed", "survived", "timeout", "not-built", "equivalent"),
                                                      0))[status] += 1
    order = [layer for layer in LAYERS if layer in rows]
    total = {k: sum(rows[layer][k] for layer in order)
             for k in ("killed", "survived", "timeout", "not-built", "equivalent")}

    def score(c: dict) -> str:
        detected, judged = c["killed"] + c["timeout"], c["killed"] + c["timeout"] + c["survived"]
        return f"{100 * detected / judged:5.1f} %" if judged else "    -"

    print(f"\n{'layer':<16}{'killed':>8}{'survived':>10}{'timeout':>9}{'not built':>11}{'equivalent':>12}"
          f"{'score':>10}")
    for layer in order + ["all"]:
        c = rows[layer] if layer != "all" else total
        print(f"{layer:<16}{c['killed']:>8}{c['survived']:>10}{c['timeout']:>9}{c['not-built']:>11}"
              f"{c['equivalent']:>12}{score(c):>10}")
    survivors = sorted((r for r in records.values() if r["status"] == "survived" and r["layer"] in order),
                       key=lambda r: (r["file"], r["line"], r["col"]))
    if survivors:
        print(f"\nsurvivors ({len(survivors)}; verdicts from the table in docs/mutation.md):")
        for r in survivors:
            verdict = verdicts.get((r["file"], r["line"]), "no verdict yet")
            print(f"  {r['file']}:{r['line']}  {r['op']:<15} {short(r['original'], 30)}  ->  "
                  f"{short(r['replacement'], 30)}  in: {short(r.get('context', ''), 70)}\n"
                  f"      {short(verdict, 110)}")
    seconds = [sum(r["seconds"].values()) for r in records.values() if r.get("seconds")]
    if seconds:
        print(f"\n{len(seconds)} mutants, {sum(seconds) / len(seconds):.0f} s each on average, "
              f"{sum(seconds) / 60:.0f} min in all")


def short(code: str, width: int = 60) -> str:
    code = " ".join(code.split())
    return code if len(code) <= width else code[: width - 3] + "..."


def save(path: Path, state: dict) -> None:
    temporary = path.with_suffix(".tmp")
    temporary.write_text(json.dumps(state, indent=1, sort_keys=True))
    temporary.replace(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--layers", default=",".join(LAYERS), help="comma-separated layers (default: all seven)")
    parser.add_argument("--count", type=int, default=250, help="mutants to sample (default 250)")
    parser.add_argument("--seed", type=int, default=27, help="sampling seed (default 27)")
    parser.add_argument("--budget", type=float, default=300,
                        help="minutes after which no new mutant is started (default 300 = 5 h); "
                        "the results so far are kept and a later run continues")
    parser.add_argument("--timeout-factor", type=float, default=3.0,
                        help="a mutant's time limit per test command is this many times the command's time "
                        "on the unmutated tree, plus --timeout-extra (default 3)")
    parser.add_argument("--timeout-extra", type=float, default=10.0, help="seconds (default 10)")
    parser.add_argument("--build-timeout", type=float, default=600, help="seconds for one build (default 600)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and end-to-end jobs (default 2)")
    parser.add_argument("--attribute", action="store_true",
                        help="name every test that kills each mutant: tests that crash or hang are left out and "
                        "the rest run again, and the end-to-end group runs even after the program has killed it")
    parser.add_argument("--rerun", default="", help="comma-separated states to run again (survived, timeout, "
                        "not-built, killed), e.g. after sharpening tests")
    parser.add_argument("--only", default="", help="comma-separated mutant ids to run (ids as --list prints them)")
    parser.add_argument("--workdir", default=str(ROOT / "build" / "mutate"),
                        help="the tree's copy, its build and the logs (default build/mutate)")
    parser.add_argument("--results", help="results file (default <workdir>/results.json)")
    parser.add_argument("--verdicts", default=str(Path(__file__).resolve().parent.parent / "docs" / "mutation.md"),
                        help="the survivors' verdict table (default docs/mutation.md): survivors judged "
                        "'equivalent' are left out of the score")
    parser.add_argument("--list", action="store_true", help="print the sampled mutants and stop")
    parser.add_argument("--report", action="store_true", help="print the tables of the results file and stop")
    args = parser.parse_args()

    layers = [layer for layer in args.layers.split(",") if layer]
    if unknown := [layer for layer in layers if layer not in LAYERS]:
        parser.error(f"unknown layers: {', '.join(unknown)}")
    work = Path(args.workdir).resolve()
    results = Path(args.results) if args.results else work / "results.json"
    state = json.loads(results.read_text()) if results.exists() else {}
    records = state.setdefault("mutants", {})
    verdicts = read_verdicts(Path(args.verdicts))
    if args.report:
        report(records, verdicts=verdicts)
        return 0

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)  # also when started in the background
    runner = Runner(args)
    work.mkdir(parents=True, exist_ok=True)
    runner.sync()
    mutants = sample(all_mutants(runner.src, layers), args.count, args.seed)
    if args.only:
        wanted = set(args.only.split(","))
        mutants = [m for m in all_mutants(runner.src, layers) if m.id in wanted]
    if args.list:
        for m in mutants:
            print(f"{m.id:<50} {short(m.original, 40)}  ->  {short(m.replacement, 40)}")
        return 0
    hashes = {f: file_hash(runner.src / f) for f in {m.file for m in mutants}}
    rerun = set(filter(None, args.rerun.split(",")))
    todo = [m for m in mutants
            if m.id not in records or records[m.id]["file_hash"] != hashes[m.file]
            or records[m.id]["status"] in rerun or args.only]
    print(f"{len(mutants)} mutants sampled (seed {args.seed}), {len(mutants) - len(todo)} already done, "
          f"{len(todo)} to run", flush=True)

    began = time.monotonic()
    try:
        if todo:
            runner.configure()
            runner.measure_baseline(layers, state)
            save(results, state)
        for n, m in enumerate(todo, 1):
            if time.monotonic() - began > args.budget * 60:
                print(f"budget of {args.budget:.0f} min spent: {len(todo) - n + 1} mutants left for the next run")
                break
            result = runner.try_mutant(m)
            record = asdict(m) | asdict(result)
            record.update(file_hash=hashes[m.file], seconds={k: round(v, 1) for k, v in result.seconds.items()})
            del record["start"], record["end"]
            records[m.id] = record
            save(results, state)
            spent = " ".join(f"{k} {v:.0f}s" for k, v in record["seconds"].items())
            print(f"[{n}/{len(todo)}] {m.id:<48} {result.status:<9} ({spent}) {' '.join(result.killers[:3])}",
                  flush=True)
    except KeyboardInterrupt:
        print("\ninterrupted: the mutated file is restored, the results so far are saved")
        return 130
    except Stop as error:
        print(f"stopped: {error}")
        return 1
    finally:
        save(results, state)
    report({m.id: records[m.id] for m in mutants if m.id in records}, layers, verdicts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
