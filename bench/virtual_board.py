#!/usr/bin/env python3
"""The virtual board's times and speeds: --up until ssh answers, `ssh
lpf-board true` on the board that is up, the one-shot form with and without
a board up, and 20 MB through scp each way and through `ssh lpf-board cat`.
With a state of its own (keys, port), so that a board of the user's is left
alone; the builds and the guest's packages as scripts/virtual-board keeps
them.

    python3 bench/virtual_board.py [RUNS]"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRIPT = os.path.join(ROOT, "scripts", "virtual-board")
SIZE = 20_000_000


def timed(argv, **run):
    """Seconds the command took."""
    began = time.monotonic()
    subprocess.run(argv, **run)
    return time.monotonic() - began


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with tempfile.TemporaryDirectory(prefix="lpf-bench-board-") as scratch:
        script = [SCRIPT, "--state", os.path.join(scratch, "state")]
        config = os.path.join(scratch, "ssh_config")
        ssh = ["ssh", "-F", config, "lpf-board"]
        figures = []
        try:
            subprocess.run(script + ["true"], check=True, capture_output=True)  # builds and fetches, once
            ups = []
            for _ in range(runs):
                ups.append(timed(script + ["--up"], check=True, capture_output=True))
                subprocess.run(script + ["--halt"], check=True, capture_output=True)
            figures.append(("--up until ssh answers", ups))
            figures.append(("one-shot `echo hi; exit 3`, no board up",
                            [timed(script + ["echo hi; exit 3"], capture_output=True) for _ in range(runs)]))
            subprocess.run(script + ["--up"], check=True, capture_output=True)
            with open(config, "wb") as f:
                f.write(subprocess.run(script + ["--ssh-config"], check=True, capture_output=True).stdout)
            figures.append(("`ssh lpf-board true`",
                            [timed(ssh + ["true"], check=True) for _ in range(4 * runs)]))
            figures.append(("one-shot `echo hi; exit 3`, board up",
                            [timed(script + ["echo hi; exit 3"], capture_output=True) for _ in range(4 * runs)]))
            data = os.path.join(scratch, "data")
            with open(data, "wb") as f:
                f.write(os.urandom(SIZE))
            back = os.path.join(scratch, "back")
            for name, argv, output in (
                    ("scp to the board", ["scp", "-q", "-F", config, data, "lpf-board:/tmp/data"], None),
                    ("scp from the board", ["scp", "-q", "-F", config, "lpf-board:/tmp/data", back], None),
                    ("`ssh lpf-board cat` both ways at once", ssh + ["cat"], back),
                    ("`ssh lpf-board 'cat > /dev/null'` in", ssh + ["cat > /dev/null"], None),
                    ("`ssh lpf-board cat /tmp/data` out", ssh + ["cat /tmp/data"], back)):
                seconds = []
                for _ in range(runs):
                    with open(data, "rb") as source, open(output or os.devnull, "wb") as sink:
                        seconds.append(timed(argv, check=True, stdin=source, stdout=sink))
                    if output or "from" in name:
                        with open(data, "rb") as a, open(back, "rb") as b:
                            assert a.read() == b.read(), name + ": not byte for byte"
                figures.append((name + " (MB/s)", [SIZE / 1e6 / s for s in seconds]))
        finally:
            subprocess.run(script + ["--halt"], capture_output=True)
    print("load average %s; %d cores" % (" ".join("%.1f" % x for x in os.getloadavg()), os.cpu_count()))
    for name, values in figures:
        print("%s: median %.2f (%.2f to %.2f, %d runs)" % (name, statistics.median(values), min(values), max(values),
                                                          len(values)))


if __name__ == "__main__":
    main()
