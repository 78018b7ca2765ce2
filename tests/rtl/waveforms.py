#!/usr/bin/env python3
"""The waveforms of the FPGA design, read back with an independent reader
(fst2vcd, of GTKWave): the co-simulation's, and that of a console session
recorded by the test preload library and replayed into the core."""
import argparse
import os
import re
import stat
import subprocess
import sys
import tempfile

from harness import REGISTERS, Board, Check, Target, run_table

SESSION = b"F 1e-6\nU 0.8\nY\nF 10\nU -0.5\nY\nL 5\nq\n"
KU_WORD, KY_WORD = REGISTERS["ku"] // 4, REGISTERS["ky"] // 4  # as the core numbers its words


def read_vcd(text, names):
    """{name: [(time, value)]} for signals of the top scope, from fst2vcd's VCD."""
    codes, changes, scope, time = {}, {name: [] for name in names}, [], 0
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        if words[0] == "$scope":
            scope.append(words[2])
        elif words[0] == "$upscope":
            scope.pop()
        elif words[0] == "$var" and scope == ["TOP"] and words[4] in names:
            codes[words[3]] = words[4]
        elif words[0].startswith("#"):
            time = int(words[0][1:])
        elif words[0][0] == "b" and len(words) == 2 and words[1] in codes:
            changes[codes[words[1]]].append((time, int(words[0][1:], 2)))
        elif words[0][0] in "01" and words[0][1:] in codes:
            changes[codes[words[0][1:]]].append((time, int(words[0][0])))
    missing = set(names) - set(codes.values())
    assert not missing, "no %s in the waveform" % ", ".join(sorted(missing))
    return changes


def values(changes):
    return [value for _, value in changes]


def at(changes, time):
    """A signal's value at `time`."""
    current = None
    for when, value in changes:
        if when > time:
            break
        current = value
    return current


def fst_as_vcd(fst2vcd, path):
    assert os.path.getsize(path) > 0, "%s is empty" % path
    done = subprocess.run([fst2vcd, path], capture_output=True, timeout=60)
    assert done.returncode == 0, "fst2vcd: %s" % done.stderr.decode()
    return done.stdout.decode()


BUS_TRANSACTIONS = "LpfSystem/50MHz.BusTransactions"


def cosimulation(a, scratch):
    """The bus step by step at 50 MHz, into a folder not yet made: the lamps
    as the rows set them, one clock per row."""
    waves = os.path.join(scratch, "waves")
    done = subprocess.run([a.cosim, "--gtest_filter=" + BUS_TRANSACTIONS, "--waveforms=" + waves],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stdout.decode()[-2000:]
    vcd = read_vcd(fst_as_vcd(a.fst2vcd, os.path.join(waves, "LpfSystem_50MHz.BusTransactions.fst")),
                   ("clk", "led", "readdata"))
    lamps = values(vcd["led"])
    assert [0xA5, 0x5A, 0x0022335A] == [v for v in lamps if v in (0xA5, 0x5A, 0x0022335A)], lamps
    rising = [t for t, v in vcd["clk"] if v == 1]
    assert len(rising) > 20 and rising[1] - rising[0] == 20000, rising[:3]  # 20 ns in picoseconds
    assert 0xDEADBEEF in values(vcd["readdata"]), "u never read back"


def replay(a, scratch):
    """A console session's trace, replayed: the core agrees with lpfboard's
    arithmetic; the waveform holds the console's stores, and y on its way to
    the input of 0.8."""
    target = Target("host", {"lpfconsole": a.lpfconsole}, a.device, a.preload)
    trace = os.path.join(scratch, "trace")
    with Board(target) as board:
        out, err, status = board.run("lpfconsole", (), SESSION, {"LPF_TRACE_FILE": trace}, to_file=True)
    assert status == 0 and err == b"", (status, err)
    stores = re.findall(rb"Ku = +([0-9A-F]+)\n\t\tKy = +([0-9A-F]+)", out)
    assert len(stores) == 2, out
    fst = os.path.join(scratch, "console.fst")
    done = subprocess.run([a.replay, "--waveform", fst, trace], capture_output=True, timeout=60)
    assert done.returncode == 0 and b"agrees" in done.stdout, done.stdout + done.stderr
    vcd = read_vcd(fst_as_vcd(a.fst2vcd, fst), ("clk", "write", "address", "writedata", "readdata"))
    stored = [(at(vcd["address"], t), at(vcd["writedata"], t)) for t, v in vcd["write"] if v == 1]
    for ku, ky in stores:
        assert (KU_WORD, int(ku, 16)) in stored and (KY_WORD, int(ky, 16)) in stored, (ku, ky, stored)
    peak = max(value - (1 << 32) if value & 0x80000000 else value for value in values(vcd["readdata"]))
    assert 0.79 < peak / 2**31 <= 0.8, "y peaks at %f" % (peak / 2**31)


def unwritable(a, scratch):
    """A waveform that cannot be written fails the run, saying so: a folder
    that cannot be made, a file that cannot be (a folder in its place), and
    one where something other than a file stands, which stays."""
    blocker, trace = os.path.join(scratch, "a-file"), os.path.join(scratch, "no-accesses")
    for path in (blocker, trace):
        open(path, "w").close()
    fifo = os.path.join(scratch, "fifo.fst")
    os.mkfifo(fifo)
    taken = os.path.join(scratch, "taken")
    os.makedirs(os.path.join(taken, "LpfSystem_50MHz.BusTransactions.fst"))
    for command in ([a.cosim, "--gtest_filter=" + BUS_TRANSACTIONS, "--waveforms=" + blocker + "/waves"],
                    [a.cosim, "--gtest_filter=" + BUS_TRANSACTIONS, "--waveforms=" + taken],
                    [a.replay, "--waveform", blocker + "/console.fst", trace],
                    [a.replay, "--waveform", fifo, trace]):
        done = subprocess.run(command, capture_output=True, timeout=60)
        said = done.stdout + done.stderr
        assert done.returncode != 0 and re.search(rb"cannot (make|write)", said), (command, done.returncode, said)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode), "the FIFO was replaced"


def main():
    parser = argparse.ArgumentParser()
    for name in ("cosim", "replay", "fst2vcd", "lpfconsole", "device", "preload"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="lpf-waveforms-") as scratch:
        rows = [Check("the co-simulation's waveform", lambda: cosimulation(a, scratch)),
                Check("a console session replayed, with its waveform", lambda: replay(a, scratch)),
                Check("a waveform that cannot be written", lambda: unwritable(a, scratch))]
        return 0 if run_table(rows) else 1


if __name__ == "__main__":
    sys.exit(main())
