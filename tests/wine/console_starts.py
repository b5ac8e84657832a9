#!/usr/bin/env python3
"""Starts the program in console mode many times under Wine, each start in a Wine session
of its own, and counts the starts that reach the running state. A measurement, not part
of the test command (200 starts take about ten minutes).

    console_starts.py --exe VBxMorvel.exe --controller vbx_sc_controller.exe [--runs 200]
                      [--race] [--no-wait] [--template DIR]

Each start: a copy of a booted prefix, a configuration with a negative port beside the
program, a new wineserver; the start counts when the program reports ssRunning, and fails
when it ends before that (its last-chance report is printed). Then the session is ended.

--race      start the session's boot (wineboot) in the background and the program 0.2 to
            0.6 s after it (in steps of 20 ms, start after start), while Wine still makes
            its desktop (otherwise the program is the session's first command)
--no-wait   do not wait for Wine's desktop (vbx_sc_controller desktop) before the program
"""
import argparse
import itertools
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import WINE, short_config, wine_env, write  # noqa: E402

RACE_DELAYS = tuple(round(0.2 + 0.02 * i, 2) for i in range(21))


def one_start(template, args, delay):
    prefix = tempfile.mkdtemp(prefix="vbx-wine-starts.")
    env, wine = wine_env(prefix, "-all"), WINE
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    boot = None
    try:
        subprocess.run(["cp", "-a", template + "/.", prefix + "/"], check=True)
        folder = os.path.join(prefix, "drive_c", "vbx")
        os.makedirs(folder)
        shutil.copy(args.exe, os.path.join(folder, "VBxMorvel.exe"))
        write(os.path.join(folder, "VBxMorvelClient.xml"), short_config(500, -1))
        if delay is not None:
            subprocess.run(["wineserver", "-p"], check=True, env=env)
            boot = subprocess.Popen([wine, "wineboot"], **quiet)
            time.sleep(delay)
        if not args.no_wait:
            subprocess.run([wine, "C:\\vbx_desktop_wait.exe", "desktop", "30000"], timeout=60, **quiet)
        proc = subprocess.Popen([wine, "C:\\vbx\\VBxMorvel.exe", "/CONSOLE"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        deadline = time.monotonic() + 60
        lines = []
        running = False
        for raw in proc.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            lines.append(line)
            if " status ssRunning " in line:
                running = True
                break
            if time.monotonic() > deadline:
                break
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
        return running, " | ".join(l for l in lines if "status" not in l)[-200:]
    finally:
        subprocess.run(["wineserver", "-k"], **quiet)
        if boot is not None:
            boot.wait(30)
        shutil.rmtree(prefix, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--controller", required=True)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--race", action="store_true")
    parser.add_argument("--no-wait", action="store_true")
    parser.add_argument("--template", help="a prefix made with run-under-wine.sh --make-template DIR CONTROLLER")
    args = parser.parse_args()
    template = args.template or tempfile.mkdtemp(prefix="vbx-wine-starts-template.")
    if not args.template:
        subprocess.run([os.path.join(HERE, "run-under-wine.sh"), "--make-template", template, args.controller],
                       check=True)
    delays = itertools.cycle(RACE_DELAYS) if args.race else itertools.repeat(None)
    started = time.monotonic()
    failures = []
    try:
        for run, delay in zip(range(1, args.runs + 1), delays):
            running, text = one_start(template, args, delay)
            if not running:
                failures.append((run, delay, text))
                print(f"start {run}: FAILED (delay {delay}): {text}", flush=True)
            elif run % 25 == 0:
                print(f"start {run}: {run - len(failures)} reached ssRunning so far", flush=True)
    finally:
        if not args.template:
            shutil.rmtree(template, ignore_errors=True)
    mode = ("racing the boot" if args.race else "first command of the session") + \
           (", no wait for the desktop" if args.no_wait else ", after waiting for the desktop")
    print(f"{args.runs} console starts ({mode}) in {time.monotonic() - started:.0f} s: "
          f"{args.runs - len(failures)} reached ssRunning, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
