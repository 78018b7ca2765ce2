#!/usr/bin/env python3
"""The simulated board, lpfboard, serving the tools; lpfscope watching it.

host: every scenario, with the host tools.
board: the lpfscope scenarios, with the board's tools under qemu-arm against
       a host lpfboard that serves PREFIX/dev/mem."""
import argparse
import math
import os
import pty
import re
import signal
import stat
import struct
import subprocess
import sys
import time
from dataclasses import dataclass
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import BANNER, FIRST_SCREEN, NOBODY, SEPARATOR, TIMEOUT, WINDOW_END, Board, Target, run_table

STALE_MARK = b"lpfboard stand-in\n"


class PoweredBoard:
    """lpfboard serving a stand-in in a scratch folder."""

    def __init__(self, target, lpfboard, board):
        self.board = board
        self.process = subprocess.Popen([lpfboard, "--device", board.path], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        line = self.process.stdout.readline()
        assert line == b"lpfboard: powered on %s\n" % board.path.encode(), "lpfboard said %r" % line

    def stop(self, how=signal.SIGTERM):
        self.process.send_signal(how)
        out, err = self.process.communicate(timeout=TIMEOUT)
        return out, err, self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def wait_until(condition, what, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting until " + what
        time.sleep(0.01)


def as_signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


def read_y(board):
    return as_signed(board.registers()[0]["y"])


def console_says(board, commands):
    out, err, status = board.run("lpfconsole", stdin=commands)
    assert (err, status) == (b"", 0), (out, err, status)
    return out


def y_shown(board):
    out = console_says(board, b"Y\nq\n")
    line = [l for l in out.split(b"\n") if l.startswith(b"Output filter: ")]
    assert line, out
    return float(line[0].split(b": ")[1])


@dataclass
class Scenario:
    name: str
    run: object


def powers_on_with_registers_zero(env):
    """The stale file of a board that was killed is reused, registers cleared."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board) as killed:
        killed.stop(signal.SIGKILL)
    board.write({"led": 5, "u": 6, "ku": 7, "ky": 8, "y": 9})
    with PoweredBoard(target, lpfboard, board):
        regs, clean = board.registers()
        assert regs == dict.fromkeys(regs, 0), regs
        assert os.path.getsize(board.path) == WINDOW_END


def stale_file(path, mode):
    """A stand-in that a killed lpfboard left, with its mark, then `mode`."""
    with open(path, "wb") as f:
        f.write(STALE_MARK)
        f.truncate(WINDOW_END)
    os.chmod(path, mode)


def refuses_files_it_did_not_make(env):
    """Anything but its own private stand-in is refused and left as it was."""
    target, lpfboard, board = env
    notes = os.path.join(os.path.dirname(board.path), "notes.txt")
    cases = [  # (what stands at the path, how to make it, the reason given)
        ("a file of the user's", lambda: open(board.path, "wb").write(b"my notes\n"),
         b"it is not a stand-in that lpfboard made"),
        ("a link to a file of the user's", lambda: (open(notes, "wb").write(b"my notes\n"),
                                                  os.symlink(notes, board.path)),
         b"it is a symbolic link"),
        ("a dangling link", lambda: os.symlink(notes, board.path), b"it is a symbolic link"),
        ("a FIFO", lambda: os.mkfifo(board.path, 0o600), b"it is not a regular file"),
        ("a stale stand-in others may write", lambda: stale_file(board.path, 0o666),
         b"group or others may write it"),
    ]
    if os.geteuid() == 0:
        cases.append(("another user's stale stand-in",
                      lambda: (stale_file(board.path, 0o600), os.chown(board.path, NOBODY, NOBODY)),
                      b"it belongs to another user"))
    for what, make, reason in cases:
        for leftover in (board.path, notes):
            if os.path.lexists(leftover):
                os.unlink(leftover)
        make()
        before = snapshot(board.path, notes)
        done = subprocess.run([lpfboard, "--device", board.path], capture_output=True, timeout=TIMEOUT)
        wanted = b"lpfboard: refusing %s: %s\n" % (board.path.encode(), reason)
        assert (done.returncode, done.stdout, done.stderr) == (1, b"", wanted), (what, done)
        assert snapshot(board.path, notes) == before, "%s was changed" % what


def snapshot(*paths):
    """What a path holds: its kind, owner, mode, size and first bytes."""
    facts = []
    for path in paths:
        if not os.path.lexists(path):
            facts.append(None)
            continue
        st = os.lstat(path)
        head = b""
        if stat.S_ISREG(st.st_mode):
            with open(path, "rb") as f:
                head = f.read(64)
        facts.append((st.st_mode, st.st_uid, st.st_size, st.st_ino, head))
    return facts


def power_off_spares_a_newer_board(env):
    """A board whose file was replaced leaves the newer board's file alone."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board) as first:
        os.unlink(board.path)
        with PoweredBoard(target, lpfboard, board) as second:
            out, err, status = first.stop()
            assert status == 0, (out, err)
            assert os.path.exists(board.path), "the first board removed the second one's file"
            assert console_says(board, b"L 9\nq\n").endswith(b"LED value = \tWrite LED = 9\n" + SEPARATOR)
            assert second.process.poll() is None, "the second board stopped"
            second.stop()
            assert not os.path.exists(board.path), "stand-in left behind"


def full_file_system(env):
    """No space for the register page: a clean error, nothing left behind."""
    target, lpfboard, board = env
    if os.geteuid() != 0:
        return False
    mount = os.path.join(os.path.dirname(board.path), "full")
    os.mkdir(mount)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "lpf-e2e", mount], check=True)
    try:
        with open(os.path.join(mount, "filler"), "wb") as f:
            try:
                f.write(b"\1" * 65536)
            except OSError:
                pass
        path = os.path.join(mount, "board")
        done = subprocess.run([lpfboard, "--device", path], capture_output=True, timeout=TIMEOUT)
        assert done.returncode == 1 and done.stdout == b"", done
        assert done.stderr.startswith(b"lpfboard: cannot ") and \
            done.stderr.endswith(b" %s: No space left on device\n" % path.encode()), done.stderr
        assert not os.path.exists(path), "left its file behind"
    finally:
        subprocess.run(["umount", mount], check=True)


def creates_a_private_sparse_file(env):
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board):
        st = os.stat(board.path)
        assert stat.S_IMODE(st.st_mode) == 0o600, oct(st.st_mode)
        assert st.st_size == WINDOW_END
        assert st.st_blocks * 512 < 1 << 20, "stand-in is not sparse"


def steady_state(regs):
    """Where y must settle: 2 Ku u / (2^32 - Ky), clamped to 32 bits."""
    exact = Fraction(2 * regs["ku"] * as_signed(regs["u"]), (1 << 32) - regs["ky"])
    return min(max(exact, -(1 << 31)), (1 << 31) - 1)


def output_settles_where_it_should(env):
    """y settles within one LSB of its exact steady state from either side,
    and back at exactly 0, where the console's Y shows it."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board):
        for command in (b"F 0.01\nU 0.8\nq\n", b"U -0.8\nq\n", b"U 0\nq\n"):
            console_says(board, command)
            exact = steady_state(board.registers()[0])
            seen = [read_y(board)]
            wait_until(lambda: seen.append(read_y(board)) or abs(seen[-1] - exact) < 1,
                       "y settles within one LSB of %s" % float(exact))
            monotonic = all(a <= b for a, b in zip(seen, seen[1:])) or all(a >= b for a, b in zip(seen, seen[1:]))
            assert monotonic, "y turned back on its way: %s" % seen[:20]
            # The console shows y / 2^32 / 2 in single precision.
            shown = struct.unpack("<f", struct.pack("<f", seen[-1]))[0] / (1 << 33)
            assert y_shown(board) == float("%f" % shown), (command, y_shown(board), shown)
            assert abs(shown - float(exact) / (1 << 33)) < 1e-6, (command, shown, float(exact))
        assert board.registers()[0]["led"] == 0, "four flips must restore the LEDs"


def second_board_refuses(env):
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board) as powered:
        console_says(board, b"L 42\nq\n")
        second = subprocess.run([lpfboard, "--device", board.path], capture_output=True, timeout=TIMEOUT)
        assert second.returncode == 1, second
        assert second.stdout == b"", second.stdout
        assert second.stderr == b"lpfboard: %s is already powered on by another lpfboard\n" % board.path.encode(), \
            second.stderr
        assert board.registers()[0]["led"] == 42, "the second board touched the registers"
        assert powered.process.poll() is None, "the first board stopped"


def power_off_removes_the_file(env):
    target, lpfboard, board = env
    for how in (signal.SIGTERM, signal.SIGINT):
        powered = PoweredBoard(target, lpfboard, board)
        out, err, status = powered.stop(how)
        assert (out, err, status) == (b"lpfboard: powered off %s\n" % board.path.encode(), b"", 0), (out, err, status)
        assert not os.path.exists(board.path), "stand-in left behind"
        out, err, status = board.run("ledset", ("3",))
        assert (out, status) == (BANNER + target.open_error(), 1), (out, status)


def command_line(env):
    target, lpfboard, board = env
    cases = [
        (["--help"], 0, b"Usage: lpfboard [--device FILE]\n", b""),
        (["--bogus"], 2, b"", b"lpfboard: unknown option '--bogus'\nUsage: lpfboard [--device FILE]\n"),
        (["--device"], 2, b"", b"lpfboard: missing file after '--device'\nUsage: lpfboard [--device FILE]\n"),
        (["--device", "/nonexistent/dir/board"], 1, b"",
         b"lpfboard: cannot open or create /nonexistent/dir/board: No such file or directory\n"),
        (["--device=/nonexistent/dir/board"], 1, b"",
         b"lpfboard: cannot open or create /nonexistent/dir/board: No such file or directory\n"),
        (["now"], 2, b"", b"lpfboard: unexpected argument 'now'\nUsage: lpfboard [--device FILE]\n"),
    ]
    for args, status, out_start, err_start in cases:
        done = subprocess.run([lpfboard, *args], capture_output=True, timeout=TIMEOUT)
        assert done.returncode == status, (args, done)
        assert done.stdout.startswith(out_start) and done.stderr.startswith(err_start), (args, done)
        if err_start.endswith(b"directory\n"):
            assert done.stderr == err_start, done.stderr
    # Each user's own stand-in, named the same by the tools and the board.
    help_text = subprocess.run([lpfboard, "--help"], capture_output=True, timeout=TIMEOUT).stdout
    assert b"(default %s)" % target.device.encode() in help_text, help_text


SCENARIOS = [
    Scenario("powering on clears a stale stand-in", powers_on_with_registers_zero),
    Scenario("refuses files it did not make, and leaves them alone", refuses_files_it_did_not_make),
    Scenario("power off spares a newer board's file", power_off_spares_a_newer_board),
    Scenario("a full file system gives an error, not SIGBUS", full_file_system),
    Scenario("a new stand-in is sparse, 4 GiB, mode 0600", creates_a_private_sparse_file),
    Scenario("y settles within one LSB of its steady state, and back at 0", output_settles_where_it_should),
    Scenario("a second board on the same file refuses", second_board_refuses),
    Scenario("SIGTERM and SIGINT power off and remove the file", power_off_removes_the_file),
    Scenario("command line", command_line),
]


CSV_HEADER = b"time_s,led,u,ku,ky,y,u_pu,y_pu\n"
SUMMARY = re.compile(rb"lpfscope: samples: ([0-9]+), late: ([0-9]+)\n")
STEP_TAU = 0.1  # seconds: what "F 0.1" sets
STEP_U = 0.5
STALE = 0.005  # seconds that y may lag on a busy machine


def parse_csv(out):
    """The rows as tuples of numbers; every row whole, with all eight fields."""
    assert out.startswith(CSV_HEADER), out[:100]
    assert out.endswith(b"\n"), "last row cut short: %r" % out[-100:]
    rows = []
    for line in out[len(CSV_HEADER):].decode().splitlines():
        fields = line.split(",")
        assert len(fields) == 8, line
        rows.append(tuple([float(fields[0])] + [int(f) for f in fields[1:6]] + [float(f) for f in fields[6:]]))
    return rows


def start_scope(board, args):
    argv, env = board.command("lpfscope", args)
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)


def scope_records_a_step(env):
    """The console steps u from 0 to 0.5 with tau 0.1 s; the trigger catches
    it with 0.1 s of history, and y follows 0.5 (1 - exp(-t / tau))."""
    target, lpfboard, board = env
    rate = 1000
    with PoweredBoard(target, lpfboard, board):
        scope = start_scope(board, ("--trigger", "--duration=1", "-r", str(rate), "--csv"))
        time.sleep(0.5)  # more history than is kept, and qemu's start
        console_says(board, b"F %g\nU %g\nq\n" % (STEP_TAU, STEP_U))
        out, err = scope.communicate(timeout=TIMEOUT)
    assert scope.returncode == 0, (scope.returncode, err)
    taken = SUMMARY.fullmatch(err)
    assert taken and int(taken.group(1)) >= 1100, err
    rows = parse_csv(out)
    history = [r for r in rows if r[0] < 0]
    after = [r for r in rows if r[0] >= 0]
    assert len(history) == rate // 10 and len(after) == rate, (len(history), len(after))
    times = [r[0] for r in rows]
    assert all(a < b for a, b in zip(times, times[1:])), "times do not strictly increase"
    assert after[0][0] == 0 and abs(times[-1] - (rate - 1) / rate) < 0.05, (times[0], times[-1])
    assert all(r[2] == 0 and r[5] == 0 for r in history), "history is not the state before the step"
    assert after[0][2] == 1073741823 and after[0][6] == STEP_U, after[0]
    # u changed after the last history row and by the trigger row, and the
    # board moves y every millisecond: the step began within that span. The
    # board publishes y in real time, but a busy machine can hold it up a few
    # milliseconds: a row's y is the response at a moment up to STALE before.
    def response(t):
        return STEP_U * (1 - math.exp(-max(0.0, t) / STEP_TAU))

    def worst(onset):
        return max(max(response(r[0] + onset - STALE) - r[7], r[7] - response(r[0] + onset), 0.0) for r in after)
    span = -history[-1][0] + 0.001
    onsets = [-0.001 + span * i / 50 for i in range(51)]
    best = min(worst(onset) for onset in onsets)
    assert best <= 0.01, "y strays %.4f from the step response" % best


def scope_ends_cleanly(env):
    """SIGINT and SIGTERM end a fast recording with whole rows and status 0;
    a reader that goes away ends it quietly."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board):
        for how in (signal.SIGINT, signal.SIGTERM):
            scope = start_scope(board, ("--rate", "100000"))
            time.sleep(0.5)
            scope.send_signal(how)
            out, err = scope.communicate(timeout=TIMEOUT)
            assert scope.returncode == 0 and SUMMARY.fullmatch(err), (how, scope.returncode, err)
            rows = parse_csv(out)
            assert len(rows) > 100, (how, len(rows))
        scope = start_scope(board, ())
        scope.stdout.readline()
        scope.stdout.close()  # as `lpfscope | head -1` does
        err = scope.stderr.read()
        scope.wait(timeout=TIMEOUT)
        assert (scope.returncode, err) == (-signal.SIGPIPE, b""), (scope.returncode, err)


def scope_command_line(env):
    target, lpfboard, board = env
    usage = b"; try 'lpfscope --help'\n"
    cases = [  # (arguments, status, standard output starts, standard error)
        (("--help",), 0, b"Usage: lpfscope [OPTION]...\n", b""),
        (("-V",), 0, b"lpfscope 0.1.0\n", b""),
        (("--bogus",), 2, b"", b"lpfscope: unknown option '--bogus'" + usage),
        (("-x",), 2, b"", b"lpfscope: unknown option '-x'" + usage),
        (("--rate",), 2, b"", b"lpfscope: missing value after '--rate'" + usage),
        (("--rate=0",), 2, b"", b"lpfscope: --rate takes whole samples per second from 1 to 1000000, not '0'"
         + usage),
        (("-r", "1e3"), 2, b"", b"lpfscope: --rate takes whole samples per second from 1 to 1000000, not '1e3'"
         + usage),
        (("--rate", "1000001"), 2, b"", b"lpfscope: --rate takes whole samples per second from 1 to 1000000, "
         b"not '1000001'" + usage),
        (("--duration", "-1"), 2, b"", b"lpfscope: --duration takes a number of seconds above 0, not '-1'"
         + usage),
        (("-d", "nan"), 2, b"", b"lpfscope: --duration takes a number of seconds above 0, not 'nan'" + usage),
        (("now",), 2, b"", b"lpfscope: unexpected argument 'now'" + usage),
    ]
    if not (target.mode == "board" and os.path.exists("/dev/mem")):  # qemu would fall through to real memory
        cases.append(((), 1, b"", b"lpfscope: cannot open %s: No such file or directory\n" % target.device.encode()))
    for args, status, out_start, err in cases:
        argv, full_env = board.command("lpfscope", args)
        done = subprocess.run(argv, capture_output=True, env=full_env, timeout=TIMEOUT)
        assert (done.returncode, done.stderr) == (status, err) and done.stdout.startswith(out_start), (args, done)


def in_terminal(argv, env, stop=None):
    """Runs on a pseudo-terminal until it ends (after `stop`, if given)."""
    controller, terminal = pty.openpty()
    process = subprocess.Popen(argv, stdin=terminal, stdout=terminal, stderr=subprocess.PIPE, env=env)
    os.close(terminal)
    out = b""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if stop and b"LED = 0x" in out:
            process.send_signal(stop)
            stop = None
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the program is gone
            break
        if not chunk:
            break
        out += chunk
    os.close(controller)
    process.wait(timeout=TIMEOUT)
    return out, process.returncode


def view_restores_the_terminal(env):
    """lpfscope's and lpfboard's one live view, and the terminal given back."""
    target, lpfboard, board = env
    enter, leave = b"\x1b[?1049h\x1b[?25l\x1b[?7l", b"\x1b[?7h\x1b[?25h\x1b[?1049l"
    with PoweredBoard(target, lpfboard, board):
        console_says(board, b"L 165\nq\n")
        for args, stop in ((("--duration", "0.3"), None), ((), signal.SIGINT), ((), signal.SIGTERM)):
            argv, full_env = board.command("lpfscope", args)
            out, status = in_terminal(argv, full_env, stop)
            assert status == 0 and out.startswith(enter) and out.endswith(leave), (args, status, out[-200:])
            assert b"LED = 0x000000A5" in out and b"over the last 10 s" in out, out[-2000:]
    if target.mode == "host":
        out, status = in_terminal([lpfboard, "--device", board.path], None, signal.SIGTERM)
        assert status == 0 and out.startswith(enter) and out.endswith(leave), (status, out[-200:])
        assert b"lpfboard: serving %s" % board.path.encode() in out and b"over the last 10 s" in out, out[-2000:]


SCOPE_SCENARIOS = [
    Scenario("lpfscope records a step response with its history", scope_records_a_step),
    Scenario("lpfscope ends cleanly on signals and a closed pipe", scope_ends_cleanly),
    Scenario("lpfscope command line", scope_command_line),
    Scenario("the live view gives the terminal back", view_restores_the_terminal),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=("host", "board"), default="host")
    for name in ("lpfboard", "lpfconsole", "ledset", "lpfscope"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--device", help="compiled-in memory device (host)")
    parser.add_argument("--preload", help="test preload library (host)")
    parser.add_argument("--qemu", help="qemu-arm (board)")
    a = parser.parse_args()
    target = Target(a.mode, {"lpfconsole": a.lpfconsole, "ledset": a.ledset, "lpfscope": a.lpfscope}, a.device,
                    a.preload, a.qemu)

    def check(scenario):
        with Board(target, present=False) as board:
            return scenario.run((target, a.lpfboard, board)) is not False

    scenarios = SCOPE_SCENARIOS if a.mode == "board" else SCENARIOS + SCOPE_SCENARIOS
    return 0 if run_table(scenarios, check) else 1


if __name__ == "__main__":
    sys.exit(main())
