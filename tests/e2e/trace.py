#!/usr/bin/env python3
"""Register accesses of the host executables, in order, with addresses and
values, and how much each program had printed when it made each one."""
import argparse
import mmap
import os
import re
import sys
from dataclasses import dataclass, field

import lpfmap
from harness import BANNER, FIRST_SCREEN, LW_BASE, SEPARATOR, WORDS, Board, Target, run_table, u32


def load(reg, value):
    return ("load", LW_BASE + WORDS[reg], u32(value))


def store(reg, before, after):
    return ("store", LW_BASE + WORDS[reg], u32(before), u32(after))


@dataclass
class Row:
    name: str
    program: str
    steps: list  # (text printed, accesses made once it is printed)
    stdin: bytes = b""
    args: tuple = ()
    before: dict = field(default_factory=dict)
    err: bytes = b""  # a pattern for standard error
    mapped: tuple = (os.O_RDWR | os.O_SYNC, mmap.PROT_READ | mmap.PROT_WRITE)  # device flags, protection


def flip(old):
    """The LED acknowledgement around a filter write: load, then the complement."""
    return load("led", old), store("led", old, ~old)


F_PROMPT = b"Filter Time constant = "
U_PROMPT = b"Input Filter (float per-unit) = "
F_1E7 = F_PROMPT + b"\tWrite\tKu = 50E95394\n\t\tKy = 5E2D58D8\n"
F_ZERO = F_PROMPT + b"\tWrite\tKu =        0\n\t\tKy =        0\n"
U_HALF = U_PROMPT + b"\tWrite U = 0.500 [1073741823]\n"
U_ZERO = U_PROMPT + b"\tWrite U = 0.000 [0]\n"
SCOPE_CORE = {"identity": lpfmap.LPF_IDENTITY, "clock_hz": 50000000, "sample_count": 123456}
SCOPE_SAMPLE = [load("identity", lpfmap.LPF_IDENTITY), load("clock_hz", 50000000), load("led", 165),
                load("u", -1073741823), load("ku", 1), load("ky", 0xFFFFFFFF), load("y", 0x7FFFFFFF),
                load("sample_count", 123456)]

ROWS = [
    Row("exit touches nothing", "lpfconsole", [(FIRST_SCREEN, [])], b"q\n", before={"led": 5}),
    Row("L stores once, after its report", "lpfconsole",
        [(FIRST_SCREEN + b"LED value = \tWrite LED = 5\n", [store("led", 0x0F, 5)]), (SEPARATOR, [])],
        b"L 5\nq\n", before={"led": 0x0F}),
    Row("F with 1e-7: load LED, Ku, Ky, complement", "lpfconsole",
        [(FIRST_SCREEN + F_1E7, [load("led", 0x0F), store("ku", 0, 0x50E95394), store("ky", 0, 0x5E2D58D8),
                                 store("led", 0x0F, 0xFFFFFFF0)]), (SEPARATOR, [])],
        b"F 1e-7\nq\n", before={"led": 0x0F}),
    Row("F with 0 still stores zeros and flips", "lpfconsole",
        [(FIRST_SCREEN + F_ZERO, [load("led", 3), store("ku", 7, 0), store("ky", 9, 0), store("led", 3, ~3)]),
         (SEPARATOR, [])],
        b"F 0\nq\n", before={"led": 3, "ku": 7, "ky": 9}),
    Row("U stores the input between load and complement", "lpfconsole",
        [(FIRST_SCREEN + U_HALF, [load("led", 0x0F), store("u", 0, 0x3FFFFFFF), store("led", 0x0F, 0xFFFFFFF0)]),
         (SEPARATOR, [])],
        b"U 0.5\nq\n", before={"led": 0x0F}),
    Row("each flip loads the LEDs afresh, after an L too", "lpfconsole",
        [(FIRST_SCREEN + U_HALF, [load("led", 0x0F), store("u", 0, 0x3FFFFFFF), store("led", 0x0F, ~0x0F)]),
         (SEPARATOR + U_ZERO, [load("led", ~0x0F), store("u", 0x3FFFFFFF, 0), store("led", ~0x0F, 0x0F)]),
         (SEPARATOR + b"LED value = \tWrite LED = 6\n", [store("led", 0x0F, 6)]),
         (SEPARATOR + F_1E7, [load("led", 6), store("ku", 0, 0x50E95394), store("ky", 0, 0x5E2D58D8),
                              store("led", 6, ~6)]),
         (SEPARATOR, [])],
        b"U 0.5\nU 0\nL 6\nF 1e-7\nq\n", before={"led": 0x0F}),
    Row("Y loads Ku, Ky, y once each before it prints", "lpfconsole",
        [(FIRST_SCREEN, [load("ku", 0x50E95394), load("ky", 0x5E2D58D8), load("y", 0x40000000)]),
         (b"Ku Filt = 0.316060\nKy Filt = 0.367879\nOutput filter: 0.125000\n" + SEPARATOR, [])],
        b"Y\nq\n", before={"ku": 0x50E95394, "ky": 0x5E2D58D8, "y": 0x40000000, "led": 1}),
    Row("end of input awaiting F's value touches nothing", "lpfconsole",
        [(FIRST_SCREEN + F_PROMPT + b"\n", [])], b"F\n", before={"led": 0x0F}),
    Row("end of input awaiting U's value touches nothing", "lpfconsole",
        [(FIRST_SCREEN + U_PROMPT + b"\n", [])], b"U  ", before={"led": 0x0F}),
    Row("end of input awaiting L's value touches nothing", "lpfconsole",
        [(FIRST_SCREEN + b"LED value = \n", [])], b"L", before={"led": 0x0F}),
    Row("ledset with a value: one store, after its line", "ledset",
        [(BANNER + b"255\n", [store("led", 0x0F, 255)])], args=("255",), before={"led": 0x0F}),
    Row("ledset without a value: one store of 0, after its line", "ledset",
        [(BANNER + b"Azzeramento\n", [store("led", 0x0F, 0)])], before={"led": 0x0F}),
    Row("lpfscope: loads only: the identity and clock once, then each register and the counter once a sample, "
        "in register order", "lpfscope",
        [(b"", SCOPE_SAMPLE),
         (b"time_s,led,u,ku,ky,y,u_pu,y_pu\n"
          b"0.000000,165,-1073741823,1,4294967295,2147483647,-0.500000,1.000000\n", [])],
        args=("--csv", "--duration", "0.0005", "--rate", "1000"),
        before={"led": 165, "u": -1073741823, "ku": 1, "ky": 0xFFFFFFFF, "y": 0x7FFFFFFF, **SCOPE_CORE},
        err=rb"lpfscope: LPf core version 1, built for 50\.000 MHz\n"
            rb"lpfscope: sample rate not measured: the recording spans less than 1 s\n"
            rb"lpfscope: samples taken: 1, late: [01], missed: [0-9]+; rows written: 1, dropped: 0\n",
        mapped=(os.O_RDONLY | os.O_SYNC, mmap.PROT_READ)),
]


def parse(trace):
    accesses = []
    for line in trace.splitlines():
        words = line.split()
        printed = int(words[-1].lstrip("@"))
        accesses.append((tuple([words[0]] + [int(w, 16) for w in words[1:-1]]), printed))
    return accesses


def check(target, row):
    expected_out = b""
    expected = []
    for text, accesses in row.steps:
        expected_out += text
        expected += [(access, len(expected_out)) for access in accesses]
    with Board(target, regs=row.before) as board:
        trace_path = os.path.join(board.dir.name, "trace")
        out, err, status = board.run(row.program, row.args, row.stdin, {"LPF_TRACE_FILE": trace_path},
                                     to_file=True)
        with open(trace_path) as f:
            actual = parse(f.read())
    assert (out, status) == (expected_out, 0) and re.fullmatch(row.err, err), "run gave %r" % ((out, err, status),)
    if actual and actual[0][0][0] == "map":  # only the access mode and synchronous writes count
        actual[0] = ((actual[0][0][0], actual[0][0][1] & (os.O_ACCMODE | os.O_SYNC), actual[0][0][2]), actual[0][1])
    assert actual and actual[0] == (("map",) + row.mapped, 0), "mapped %s, expected %s" % (show(actual[:1]),
                                                                                     show([(("map",) + row.mapped, 0)]))
    actual = actual[1:]
    assert actual == expected, "accesses\n    %s\n  expected\n    %s" % (show(actual), show(expected))
    return True


def show(accesses):
    return "\n    ".join("%s @%d" % (" ".join(a[0:1] + tuple("0x%08X" % v for v in a[1:])), printed)
                         for a, printed in accesses) or "(none)"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lpfconsole", required=True)
    parser.add_argument("--ledset", required=True)
    parser.add_argument("--lpfscope", required=True)
    parser.add_argument("--device", required=True)
    parser.add_argument("--preload", required=True)
    a = parser.parse_args()
    target = Target("host", {"lpfconsole": a.lpfconsole, "ledset": a.ledset, "lpfscope": a.lpfscope}, a.device,
                    a.preload)
    return 0 if run_table(ROWS, lambda row: check(target, row)) else 1


if __name__ == "__main__":
    sys.exit(main())
