#!/usr/bin/env python3
"""The transcripts of lpfconsole and ledset (transcripts.py) against a
stand-in board each: every byte printed, the exit status, and every register
left in the stand-in; and two interactive sessions."""
import argparse
import os
import sys

from harness import FIRST_SCREEN, LW_BASE, PAGE, Board, Check, Target, run_table, u32
from transcripts import CONSOLE, F_1E7, LEDSET, OPEN_ERROR, WINDOW, led, u_report, y_report

NEEDS_ROOT = ("foreign", "full", "onepage")


def check_row(target, row):
    if row.only and row.only != target.mode:
        return False
    if not row.present and target.mode == "board" and os.path.exists("/dev/mem"):
        return False  # qemu would fall through to this machine's real memory
    if row.kind in NEEDS_ROOT and os.geteuid() != 0:
        return False
    expected_out = row.out.replace(OPEN_ERROR, target.open_error())
    with Board(target, size=row.size, regs=row.before, present=row.present, kind=row.kind) as board:
        out, err, status = board.run(row.program, row.args, row.stdin, row.env, closed=row.closed)
        regs, page_clean = board.registers()
    assert out == expected_out, "printed\n    %r\n  expected\n    %r" % (out, expected_out)
    assert err == b"", "wrote to standard error: %r" % err
    assert status == row.status, "exit status %d, expected %d" % (status, row.status)
    if row.present and row.kind != "fifo":
        wanted = {name: 0 for name in regs}
        wanted.update({k: u32(v) for k, v in row.before.items()})
        wanted.update({k: u32(v) for k, v in row.after.items()})
        if row.size < LW_BASE + PAGE:
            wanted = dict.fromkeys(regs)
        assert regs == wanted, "registers %s, expected %s" % (fmt(regs), fmt(wanted))
        assert page_clean, "a word beside the five registers was written"
    return True


def fmt(regs):
    return {k: (None if v is None else "0x%08X" % v) for k, v in regs.items()}


def prompts_are_visible_before_waiting(board):
    """The console shows each prompt and report before it waits for input."""
    session = board.start("lpfconsole")
    session.expect(FIRST_SCREEN)
    session.send(b"L\n")
    session.expect(b"LED value = ")
    session.send(b"77\n")
    session.expect(led(77))
    assert board.registers()[0]["led"] == 77, "LED register not stored before the next command"
    out, err, status = session.finish(b"q\n")
    assert (out, err, status) == (FIRST_SCREEN + led(77), b"", 0), (out, err, status)


def registers_written_from_outside(board):
    """Y shows registers changed between commands, and the next flip inverts
    the pattern that ledset wrote meanwhile."""
    session = board.start("lpfconsole")
    session.expect(FIRST_SCREEN)
    session.send(b"F 1e-7\n")
    session.expect(F_1E7)
    board.write({"y": 0x40000000, "ky": 0xFFFFFFFF})
    session.send(b"Y\n")
    session.expect(y_report(b"0.316060", b"1.000000", b"0.125000"))
    out, err, status = board.run("ledset", ("3",))
    assert (err, status) == (b"", 0), (out, err, status)
    session.send(b"U 0.5\n")
    session.expect(u_report(b"0.500", 1073741823))
    regs = board.registers()[0]
    assert regs["led"] == 0xFFFFFFFC, "LEDs after the flip: 0x%08X" % regs["led"]
    out, err, status = session.finish(b"q\n")
    assert (err, status) == (b"", 0), (err, status)


SESSIONS = [
    Check("console prompts are visible before it waits", prompts_are_visible_before_waiting),
    Check("registers written from outside between commands", registers_written_from_outside),
]


def check_session(target, session):
    with Board(target) as board:
        session.run(board)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=("host", "board"), required=True)
    parser.add_argument("--group", choices=("console", "ledset", "window"), required=True)
    parser.add_argument("--lpfconsole", required=True)
    parser.add_argument("--ledset", required=True)
    parser.add_argument("--device", help="compiled-in memory device (host)")
    parser.add_argument("--preload", help="test preload library (host)")
    parser.add_argument("--qemu", help="qemu-arm (board)")
    a = parser.parse_args()
    target = Target(a.mode, {"lpfconsole": a.lpfconsole, "ledset": a.ledset}, a.device, a.preload, a.qemu)
    rows = {"console": CONSOLE, "ledset": LEDSET, "window": WINDOW}[a.group]
    ok = run_table(rows, lambda row: check_row(target, row))
    if a.group == "console":
        ok = run_table(SESSIONS, lambda session: check_session(target, session)) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
