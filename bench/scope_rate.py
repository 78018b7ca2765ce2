#!/usr/bin/env python3
"""lpfscope: samples late, missed and dropped over 10 s at a ladder of rates,
the highest rate that loses none; the longest gap between rows after a
trigger (the history is written while sampling goes on); and the CPU share
at the default rate. Reported, never asserted.
Usage: python3 -m bench.scope_rate LPFSCOPE STAND_IN   (the stand-in compiled into it)"""
import re
import resource
import struct
import subprocess
import sys
import time

import lpfmap

SECONDS = 10
RATES = [1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000]
SUMMARY = re.compile(rb"samples taken: (\d+), late: (\d+), missed: (\d+); rows written: (\d+), dropped: (\d+)")
U_REGISTER = lpfmap.STAND_IN_REGISTERS + lpfmap.REGISTERS["u"]


def record(scope, rate):
    """(taken, late, missed, dropped, CPU seconds) of a CSV recording to /dev/null."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run([scope, "--csv", "--rate", str(rate), "--duration", str(SECONDS)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    taken, late, missed, _, dropped = map(int, SUMMARY.search(done.stderr).groups())
    return taken, late, missed, dropped, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def gap_after_trigger(scope, stand_in, rate):
    """The longest gap between rows in the first 0.1 s after a change of u."""
    with open(stand_in, "r+b") as f:
        f.seek(U_REGISTER)
        f.write(struct.pack("<i", 0))
    recording = subprocess.Popen([scope, "--csv", "--trigger", "--rate", str(rate), "--duration", "0.5"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    with open(stand_in, "r+b") as f:
        f.seek(U_REGISTER)
        f.write(struct.pack("<i", 1000))
    out = recording.communicate()[0].decode().splitlines()[1:]
    times = [float(line.split(",")[0]) for line in out]
    after = [t for t in times if 0 <= t < 0.1]
    return max(b - a for a, b in zip(after, after[1:])), sum(t < 0 for t in times)


def main():
    scope, stand_in = sys.argv[1], sys.argv[2]
    best = None
    for rate in RATES:
        taken, late, missed, dropped, _ = record(scope, rate)
        print("lpfscope: %d samples/s for %d s: %d taken, %d late (%.3f%%), %d missed, %d dropped"
              % (rate, SECONDS, taken, late, 100 * late / taken, missed, dropped))
        if missed + dropped == 0 and late <= taken / 1000:
            best = rate
    print("lpfscope: highest rate with nothing missed or dropped and at most 0.1%% late: %s" % (best or "none"))
    for rate in (20000, 200000):
        gap, history = gap_after_trigger(scope, stand_in, rate)
        print("lpfscope: --trigger at %d samples/s: %d history rows; longest gap in the 0.1 s after the change: "
              "%.0f us (period %.0f us)" % (rate, history, gap * 1e6, 1e6 / rate))
    _, late, missed, _, cpu = record(scope, 1000)
    print("lpfscope: default rate (1000 samples/s): %.2f s of CPU in %d s, %.2f%% of one core, %d late, %d missed"
          % (cpu, SECONDS, 100 * cpu / SECONDS, late, missed))


if __name__ == "__main__":
    main()
