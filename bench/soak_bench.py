#!/usr/bin/env python3
"""Soak benchmark: the soak group of tests/e2e/e2e.py run for longer (ten minutes by default),
printing a table over time: connections served, good replies, packets written, reads of
TV_BRIVON.XML, torn reads, resident memory, open files, and how far the file trails the
newest good reply.

    bench/soak_bench.py [--exe build/linux/VBxMorvel] [--server build/linux/VBxPakketServer]
                        [--seconds 600] [--every 30] [--size 204800] [--http-timer 100]

The same checks as the test apply at the end (whole reads, memory growth after the 15 s
warm-up within 2 MiB, no growth of open files, the file at most a few seconds behind, a
clean stop); the exit status is 1 when one fails.
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

sys.dont_write_bytecode = True   # nothing written into the source tree
import e2e  # noqa: E402 - found through the path set above


def main():
    build = os.path.join(HERE, "..", "build", "linux")
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", default=os.path.join(build, "VBxMorvel"))
    parser.add_argument("--server", default=os.path.join(build, "VBxPakketServer"))
    parser.add_argument("--seconds", type=float, default=600.0, help="length of the run (default 600)")
    parser.add_argument("--every", type=float, default=30.0, help="seconds between table rows (default 30)")
    parser.add_argument("--size", type=int, default=200 * 1024, help="document bytes per packet (default 204800)")
    parser.add_argument("--http-timer", type=int, default=100, help="HTTPTimer in ms (default 100)")
    args = parser.parse_args()
    if args.seconds < e2e.SOAK_WARM_UP_S + 5:
        parser.error(f"--seconds must be at least {e2e.SOAK_WARM_UP_S + 5:.0f} (warm-up and a last window)")
    failures = e2e.soak_run(os.path.abspath(args.exe), os.path.abspath(args.server), args.seconds,
                            resource_checks=True, size=args.size, http_timer=args.http_timer, row_every=args.every)
    for failure in failures:
        print(f"FAIL {failure}", flush=True)
    print("all checks passed" if not failures else f"{len(failures)} checks failed", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
