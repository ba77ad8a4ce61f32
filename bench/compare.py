#!/usr/bin/env python3
"""Runs several commands in turn, round after round, and prints each one's median wall time,
throughput and peak memory, and its median ratio of throughput to the first command's.

Usage: compare.py ROUNDS MEGABYTES LABEL -- COMMAND... [LABEL -- COMMAND...]...
Each LABEL is followed by "--" and its command, which runs through "bash -c" (so that it can
redirect its output). The rounds interleave the commands, so that a busy moment of the machine
slows all of them alike; the ratio is taken within each round and its median printed.
"""
import statistics
import subprocess
import sys
import tempfile
import time


def parse(args):
    commands = []
    while args:
        label, dashes, command = args[0], args[1], args[2]
        if dashes != "--":
            sys.exit("usage: compare.py ROUNDS MEGABYTES LABEL -- COMMAND ...")
        commands.append((label, command))
        args = args[3:]
    return commands


def run(command, report):
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M", "bash", "-c", command],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{command} failed:\n{done.stderr.decode(errors='replace')}")
    report.seek(0)
    return seconds, int(report.read().split()[-1])


def main():
    rounds, megabytes = int(sys.argv[1]), float(sys.argv[2])
    commands = parse(sys.argv[3:])
    times = [[] for _ in commands]
    peaks = [0] * len(commands)
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        for _ in range(rounds):
            for i, (_, command) in enumerate(commands):
                seconds, peak = run(command, report)
                times[i].append(seconds)
                peaks[i] = max(peaks[i], peak)
    for i, (label, _) in enumerate(commands):
        median = statistics.median(times[i])
        ratio = statistics.median(r / t for r, t in zip(times[0], times[i]))
        print(f"{label:<34} {median:8.3f} s {megabytes / median:9.1f} MB/s "
              f"{peaks[i] / 1024:8.1f} MB peak {ratio:6.2f}x")


if __name__ == "__main__":
    main()
