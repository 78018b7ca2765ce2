#!/usr/bin/env python3
"""lpfscope on a machine kept busy: a busy loop on every core, at normal
priority, while lpfscope records. The samples taken at 20,000 per second for
2 s into a pipe whose reader waits 3 s; the longest gap between rows in the
20 ms after a change of u, at 20,000 per second; the rows from the change on
of a 1.5 s triggered recording at 1000 per second; and the scheduling policy
of the sampler's thread. Run it as root and as an ordinary user to compare.
Reported, never asserted.
Usage: python3 -m bench.scope_busy LPFSCOPE STAND_IN [RUNS]   (the stand-in compiled into it)"""
import os
import re
import struct
import subprocess
import sys
import time

import lpfmap

SUMMARY = re.compile(rb"samples taken: (\d+), late: (\d+), missed: (\d+); rows written: (\d+), dropped: (\d+)")
U_REGISTER = lpfmap.STAND_IN_REGISTERS + lpfmap.REGISTERS["u"]
POLICIES = {0: "normal", 1: "SCHED_FIFO", 2: "SCHED_RR"}


def set_u(stand_in, value):
    with open(stand_in, "r+b") as f:
        f.seek(U_REGISTER)
        f.write(struct.pack("<i", value))


def policies(pid):
    """The scheduling policy and real-time priority of each thread."""
    found = []
    for tid in sorted(os.listdir("/proc/%d/task" % pid)):
        with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        found.append("%s %s" % (POLICIES.get(int(fields[38]), fields[38]), fields[37]))
    return found


def slow_pipe(scope):
    """Samples taken of 40,000, and the threads' policies, through `| (sleep 3; cat)`."""
    reader = subprocess.Popen(["sh", "-c", "sleep 3; cat > /dev/null"], stdin=subprocess.PIPE)
    recording = subprocess.Popen([scope, "--csv", "--rate", "20000", "--duration", "2"], stdout=reader.stdin,
                                 stderr=subprocess.PIPE)
    reader.stdin.close()
    time.sleep(0.5)
    threads = policies(recording.pid)
    err = recording.communicate()[1]
    reader.wait()
    return int(SUMMARY.search(err).group(1)), threads


def after_change(scope, stand_in, rate, duration):
    """The times of the rows from the change on."""
    set_u(stand_in, 0)
    recording = subprocess.Popen([scope, "--csv", "--trigger", "--rate", str(rate), "--duration", str(duration)],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    set_u(stand_in, 1 << 30)
    out = recording.communicate()[0].decode().splitlines()[1:]
    return [t for t in (float(line.split(",")[0]) for line in out) if t >= 0]


def main():
    scope, stand_in = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    print("lpfscope, busy: %d busy loops, as %s" % (os.cpu_count(), "root" if os.geteuid() == 0 else
                                                      "uid %d" % os.geteuid()))
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(os.cpu_count())]
    try:
        for _ in range(runs):
            taken, threads = slow_pipe(scope)
            rows = [t for t in after_change(scope, stand_in, 20000, 0.5) if t < 0.02]
            gap = max(b - a for a, b in zip(rows, rows[1:]))
            after = after_change(scope, stand_in, 1000, 1.5)
            print("lpfscope, busy (load %s): 20000/s through a slow pipe: %d of 40000 taken (%.1f%%); "
                  "after a change at 20000/s: longest gap in 20 ms %.0f us; 1.5 s at 1000/s: %d rows from the "
                  "change (%.1f%% of 1500); threads: %s"
                  % (open("/proc/loadavg").read().split()[0], taken, taken / 400, gap * 1e6, len(after),
                     len(after) / 15, ", ".join(threads)))
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()


if __name__ == "__main__":
    main()
