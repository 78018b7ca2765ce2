#!/usr/bin/env python3
"""A scripted session of 100,000 commands (a mix of U, Y, F and L) piped
through lpfconsole: commands per second, and instructions per command as
counted by callgrind, which is steady where times are not."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

COMMANDS = 100_000


def session():
    rng = random.Random(20261208)
    lines = []
    for _ in range(COMMANDS):
        pick = rng.random()
        if pick < 0.4:
            lines.append("U %.4f" % rng.uniform(-1.2, 1.2))
        elif pick < 0.7:
            lines.append("Y")
        elif pick < 0.9:
            lines.append("F %.3e" % (10 ** rng.uniform(-8, 1)))
        else:
            lines.append("L %d" % rng.randrange(256))
    return ("\n".join(lines) + "\nq\n").encode()


def run(argv, stdin):
    start = time.perf_counter()
    subprocess.run(argv, input=stdin, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def instructions(console, stdin):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, console], input=stdin,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def main():
    console = sys.argv[1]
    stdin = session()
    seconds = min(run([console], stdin) for _ in range(3))
    print("lpfconsole: %d commands in %.3f s, %.0f commands/s (best of 3)" % (COMMANDS, seconds, COMMANDS / seconds))
    if shutil.which("valgrind"):
        per_command = (instructions(console, stdin) - instructions(console, b"q\n")) / COMMANDS
        print("lpfconsole: %.0f instructions per command (callgrind, start-up subtracted)" % per_command)


if __name__ == "__main__":
    main()
