#!/usr/bin/env python3
"""Fails on a relative Markdown link that leads nowhere.

Every tracked .md file is read; each link [text](target) or reference definition
[name]: target outside code must name a tracked file or a folder holding one, relative to
the linking file, and a #anchor must be a heading of the file it points into, as GitHub
names headings (lower case, punctuation dropped, blanks made hyphens, -1, -2 ... for
repeats). Links with a scheme (https:, mailto:) are not followed.

    scripts/check_links.py              check the tree this script lives in
    scripts/check_links.py --root DIR   check another tree (a git checkout)
    scripts/check_links.py --self-test  check that the checker finds what it must
"""
import argparse
import pathlib
import re
import subprocess
import sys
import tempfile

INLINE_LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+\1")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(text):
    """Yields (line number, line) outside fenced and indented code blocks."""
    fence = None
    previous_blank = True
    in_indented = False
    for number, line in enumerate(text.split("\n"), 1):
        if fence:
            if line.strip().startswith(fence):
                fence = None
            previous_blank = False
            continue
        match = FENCE.match(line)
        if match:
            fence = match.group(1)[0] * 3
            continue
        blank = not line.strip()
        # An indented block starts after a blank line and ends at the first line that is
        # neither blank nor indented (a list item's continuation is not code).
        if line.startswith("    ") and (previous_blank or in_indented) and not blank:
            in_indented = True
            continue
        if not blank:
            in_indented = False
        previous_blank = blank
        yield number, line


def slug(heading):
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link counts by its text
    text = text.replace("`", "").lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(text):
    found, seen = set(), {}
    for _, line in prose_lines(text):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    return found


def tracked_files(root):
    out = subprocess.run(["git", "-C", str(root), "ls-files", "-z"], check=True, capture_output=True).stdout
    return {pathlib.PurePosixPath(name) for name in out.decode().split("\0") if name}


def check(root):
    """Returns the list of broken links as 'file:line: target: why'."""
    root = pathlib.Path(root).resolve()
    files = tracked_files(root)
    folders = {parent for name in files for parent in name.parents}
    cache, problems = {}, []

    def anchors_of(path):
        if path not in cache:
            cache[path] = anchors((root / path).read_text(encoding="utf-8"))
        return cache[path]

    for source in sorted(name for name in files if name.suffix == ".md"):
        if not (root / source).is_file():
            continue  # deleted in the work tree, not yet in the index
        for number, line in prose_lines((root / source).read_text(encoding="utf-8")):
            prose = CODE_SPAN.sub("", line)
            targets = INLINE_LINK.findall(prose)
            definition = REFERENCE_DEFINITION.match(prose)
            if definition:
                targets.append(definition.group(1))
            for target in targets:
                if not target or SCHEME.match(target) or target.startswith("//"):
                    continue
                path_part, _, anchor = target.partition("#")
                where = f"{source}:{number}: {target}"
                if path_part.startswith("/"):
                    problems.append(f"{where}: an absolute path does not resolve on every checkout")
                    continue
                if path_part:
                    joined = pathlib.PurePosixPath(*(source.parent / path_part).parts)
                    parts = []
                    for part in joined.parts:
                        if part == "..":
                            if not parts:
                                break
                            parts.pop()
                        elif part != ".":
                            parts.append(part)
                    else:
                        resolved = pathlib.PurePosixPath(*parts) if parts else pathlib.PurePosixPath(".")
                        if resolved not in files and resolved not in folders:
                            problems.append(f"{where}: no tracked file or folder {resolved}")
                            continue
                        if anchor and resolved.suffix == ".md" and anchor not in anchors_of(resolved):
                            problems.append(f"{where}: no heading #{anchor} in {resolved}")
                        continue
                    problems.append(f"{where}: leads out of the repository")
                elif anchor and anchor not in anchors_of(source):
                    problems.append(f"{where}: no heading #{anchor} in {source}")
    return problems


def self_test():
    good = "# Top\n\n## A b, c (`d_e`)\n\n## Top\n\n[x](#a-b-c-d_e) [y](#top-1) [z](other.md#other) [w](sub/)\n"
    bad = ("[1](missing.md) [2](#nowhere) [3](other.md#nothing) [4](../../out.md)\n"
           "\n    [5](in-code-not-checked.md)\n\n```\n[6](fenced-not-checked.md)\n```\n`[7](span.md)`\n")
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        (root / "sub").mkdir()
        (root / "sub" / "f.txt").write_text("x\n")
        (root / "other.md").write_text("# Other\n")
        (root / "good.md").write_text(good)
        (root / "bad.md").write_text(bad)
        subprocess.run(["git", "init", "-q", str(root)], check=True)
        subprocess.run(["git", "-C", str(root), "add", "."], check=True)
        found = check(root)
    expected = ["bad.md:1: missing.md", "bad.md:1: #nowhere", "bad.md:1: other.md#nothing", "bad.md:1: ../../out.md"]
    ok = len(found) == len(expected) and all(any(p.startswith(e + ":") for p in found) for e in expected)
    print("self-test " + ("passed" if ok else "FAILED:\n  " + "\n  ".join(found)))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=pathlib.Path(__file__).resolve().parent.parent)
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    problems = check(args.root)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"{len(problems)} broken link(s)", file=sys.stderr)
        return 1
    print("links: every relative link resolves")
    return 0


if __name__ == "__main__":
    sys.exit(main())
