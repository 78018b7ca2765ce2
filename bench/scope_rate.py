#!/usr/bin/env python3
"""lpfscope: late samples over 10 s at a ladder of rates, the highest rate
with none (and with at most 0.1%), and the CPU share at the default rate.
Reported, never asserted.
Usage: bench/scope_rate.py LPFSCOPE   (its compiled-in stand-in must exist)"""
import re
import resource
import subprocess
import sys

SECONDS = 10
RATES = [1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000]


def record(scope, rate):
    """(samples, late, CPU seconds) of a CSV recording to /dev/null."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run([scope, "--csv", "--rate", str(rate), "--duration", str(SECONDS)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    taken, late = map(int, re.search(rb"samples: (\d+), late: (\d+)", done.stderr).groups())
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return taken, late, cpu


def main():
    scope = sys.argv[1]
    best = nearly = None
    for rate in RATES:
        taken, late, _ = record(scope, rate)
        print("lpfscope: %d samples/s for %d s: %d samples, %d late (%.3f%%)"
              % (rate, SECONDS, taken, late, 100 * late / taken))
        if late == 0:
            best = rate
        if late <= taken / 1000:
            nearly = rate
        if late > taken / 100:
            break
    print("lpfscope: highest rate with no late sample over %d s: %s" % (SECONDS, best or "none"))
    print("lpfscope: highest rate with at most 0.1%% late: %s" % (nearly or "none"))
    _, late, cpu = record(scope, 1000)
    print("lpfscope: default rate (1000 samples/s): %.2f s of CPU in %d s, %.2f%% of one core, %d late"
          % (cpu, SECONDS, 100 * cpu / SECONDS, late))


if __name__ == "__main__":
    main()
