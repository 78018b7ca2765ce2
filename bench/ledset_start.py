#!/usr/bin/env python3
"""Start-to-exit time of ledset beside that of /bin/true, the floor for
starting any process, measured alternately in the same run."""
import os
import sys
import time

RUNS = 2000


def spawn_and_wait(argv):
    devnull = os.open(os.devnull, os.O_WRONLY)
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    os.waitpid(pid, 0)
    os.close(devnull)


def main():
    ledset = os.path.abspath(sys.argv[1])
    programs = {"ledset": [ledset, "5"], "/bin/true": ["/bin/true"]}
    totals = dict.fromkeys(programs, 0.0)
    for argv in programs.values():
        spawn_and_wait(argv)  # warm the page cache
    for _ in range(RUNS):
        for name, argv in programs.items():
            start = time.perf_counter()
            spawn_and_wait(argv)
            totals[name] += time.perf_counter() - start
    mean = {name: total / RUNS * 1e6 for name, total in totals.items()}
    print("ledset start-to-exit: %.0f us; /bin/true: %.0f us; ratio %.2f (%d runs each)"
          % (mean["ledset"], mean["/bin/true"], mean["ledset"] / mean["/bin/true"], RUNS))


if __name__ == "__main__":
    main()
