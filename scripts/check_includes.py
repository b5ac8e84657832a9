#!/usr/bin/env python3
"""Fails on an #include that points up or sideways between the program's layers.

The layers and what each may use are listed in layers.txt at the top of the tree. A file
belongs to the layer of its folder (tests/<layer>/... to the layer it tests); it may
include its own layer and the layers its line names. Inside platform/ the backends
(posix/, win32/) never include each other and platform/'s own files include neither.
Everything else (tests/support, tests/e2e, tests/wine, tests/fuzz, tools, bench) sits on
top and may include any layer.

    scripts/check_includes.py              check the tree this script lives in
    scripts/check_includes.py --root DIR   check another tree
    scripts/check_includes.py --self-test  check that the checker finds what it must
    scripts/check_includes.py --graph      print the layers' include graph (Graphviz dot)
"""
import argparse
import pathlib
import re
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
BACKENDS = ("posix", "win32")


def read_layers(root):
    """Returns (ordered layer names, {layer: allowed layers}); raises on a table whose
    arrows do not all point down."""
    order, allowed = [], {}
    for number, line in enumerate((root / "layers.txt").read_text().splitlines(), 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        layer, uses = words[0], words[1:]
        for used in uses:
            if used not in allowed:
                raise ValueError(f"layers.txt:{number}: {layer} uses {used}, which is not a layer below it")
        order.append(layer)
        allowed[layer] = set(uses)
    return order, allowed


def owner_of(relative, layers):
    """The layer a file belongs to, or None for the files on top of every layer."""
    parts = relative.parts
    if parts[0] in layers:
        return parts[0], parts
    if parts[0] == "tests" and len(parts) > 2 and parts[1] in layers:
        return parts[1], parts[1:]
    return None, parts


def backend_of(parts):
    """The platform backend a path (starting at its layer folder) lies in, if any."""
    if len(parts) > 2 and parts[0] == "platform" and parts[1] in BACKENDS:
        return parts[1]
    return None


def check_file(path, relative, layers, allowed):
    layer, parts = owner_of(relative, layers)
    if layer is None:
        return []
    problems = []
    own_backend = backend_of(parts)
    is_test = relative.parts[0] == "tests"
    for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        target = pathlib.PurePosixPath(match.group(1))
        used = target.parts[0]
        if used not in layers or len(target.parts) < 2:
            continue   # a file of the same folder or of the test support
        where = f"{relative}:{number}"
        if used != layer and used not in allowed[layer]:
            may = " ".join(sorted(allowed[layer])) or "nothing"
            problems.append(f'{where}: #include "{target}" points up or sideways: {layer}/ may use only {may}')
            continue
        target_backend = backend_of(target.parts)
        if used == "platform" and target_backend and target_backend != own_backend:
            # The platform's own interface never names a backend; a backend never names the
            # other. Tests of other layers may reach a backend's test hooks.
            if layer == "platform" and (own_backend or not is_test):
                problems.append(f'{where}: #include "{target}" reaches into platform/{target_backend}/ '
                                f'from {"platform/" + own_backend if own_backend else "platform/"}')
    return problems


def check_tree(root):
    layers, allowed = read_layers(root)
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(root)
        if relative.parts[0] in ("build", ".git"):
            continue
        problems += check_file(path, pathlib.PurePosixPath(*relative.parts), layers, allowed)
    return problems


def layer_graph(root):
    """The include graph between layers as found in the sources, in Graphviz dot, with
    the layers ranked as layers.txt orders them (every arrow should point down)."""
    layers, _ = read_layers(root)
    edges = set()
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(root)
        if relative.parts[0] not in layers:
            continue
        for line in path.read_text(errors="replace").splitlines():
            match = INCLUDE.match(line)
            if match:
                used = pathlib.PurePosixPath(match.group(1)).parts[0]
                if used in layers and used != relative.parts[0]:
                    edges.add((relative.parts[0], used))
    lines = ["digraph layers {", "  rankdir=TB;"]
    lines += [f'  "{layer}";' for layer in reversed(layers)]
    lines += [f'  "{a}" -> "{b}";' for a, b in sorted(edges, key=lambda e: (-layers.index(e[0]), -layers.index(e[1])))]
    lines.append("}")
    return "\n".join(lines)


def self_test():
    files = {
        "layers.txt": "text\nplatform text\nruntime platform text\nnet runtime platform text\n",
        "text/a.h": '#include "text/b.h"\n',
        "platform/p.cpp": '#include "text/a.h"\n#include "runtime/up.h"\n',
        "platform/posix/x.cpp": '#include "platform/p.h"\n#include "platform/win32/w.h"\n',
        "platform/q.cpp": '#include "platform/posix/x.h"\n',
        "runtime/r.cpp": '#include "net/sideways.h"\n#include "local.h"\n',
        "tests/text/t.cpp": '#include "platform/p.h"\n',
        "tests/platform/posix/t.cpp": '#include "platform/posix/x.h"\n',
        "tests/net/t.cpp": '#include "platform/posix/x.h"\n#include "support/s.h"\n',
        "tools/any.cpp": '#include "net/n.h"\n',
    }
    with tempfile.TemporaryDirectory() as directory:
        root = pathlib.Path(directory)
        for name, text in files.items():
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            (root / name).write_text(text)
        found = sorted(problem.split(": ", 1)[0] for problem in check_tree(root))
        expected = sorted(["platform/p.cpp:2", "platform/posix/x.cpp:2", "platform/q.cpp:1",
                           "runtime/r.cpp:1", "tests/text/t.cpp:1"])
        if found != expected:
            print(f"check_includes self-test: found {found}, expected {expected}", file=sys.stderr)
            return 1
        (root / "layers.txt").write_text("text\nplatform runtime\nruntime platform\n")
        try:
            read_layers(root)
        except ValueError:
            return 0
        print("check_includes self-test: a table pointing up was accepted", file=sys.stderr)
        return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parent.parent)
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("--graph", action="store_true")
    arguments = parser.parse_args()
    if arguments.self_test:
        return self_test()
    if arguments.graph:
        print(layer_graph(arguments.root))
        return 0
    try:
        problems = check_tree(arguments.root)
    except ValueError as error:
        print(error, file=sys.stderr)
        return 1
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
