#!/usr/bin/env python3
"""Runs one command several times and prints its best wall time and its peak memory.

Usage: measure.py RUNS MEGABYTES LABEL -- COMMAND...
Prints one line: LABEL, best seconds, MB/s for MEGABYTES of input, peak resident KB.
The best of several runs is taken because other work on the machine only ever slows a run.
"""
import os
import subprocess
import sys
import tempfile
import time


def main():
    runs, megabytes, label = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    command = sys.argv[sys.argv.index("--") + 1 :]
    best, peak = None, 0
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        for _ in range(runs):
            start = time.perf_counter()
            done = subprocess.run(
                ["/usr/bin/time", "-o", report.name, "-f", "%M"] + command,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE,
            )
            seconds = time.perf_counter() - start
            if done.returncode != 0:
                sys.exit(f"{label}: {' '.join(command)} failed:\n{done.stderr.decode(errors='replace')}")
            report.seek(0)
            peak = max(peak, int(report.read().split()[-1]))
            best = seconds if best is None else min(best, seconds)
    print(f"{label:<34} {best:8.3f} s {megabytes / best:9.1f} MB/s {peak / 1024:8.1f} MB peak")


if __name__ == "__main__":
    main()
