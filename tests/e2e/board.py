#!/usr/bin/env python3
"""The simulated board, lpfboard, serving the host tools: power on and off,
the files it refuses, the filter it runs, its view on a terminal."""
import argparse
import fcntl
import os
import pty
import re
import select
import signal
import stat
import struct
import subprocess
import sys
import termios
import time
from dataclasses import dataclass
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import BANNER, FIRST_SCREEN, NOBODY, SEPARATOR, TIMEOUT, WINDOW_END, Board, Target, run_table

STALE_MARK = b"lpfboard stand-in\n"
POWERED_OFF = re.compile(rb"lpfboard: powered off (.+); ([0-9]+) updates? late, the longest by ([0-9]+\.[0-9]) ms\n")


class PoweredBoard:
    """lpfboard serving a stand-in in a scratch folder (or, as "--window", a
    window file)."""

    def __init__(self, target, lpfboard, board, kind="--device"):
        self.board = board
        self.process = subprocess.Popen([lpfboard, kind, board.path], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        line = self.process.stdout.readline()
        assert line == b"lpfboard: powered on %s\n" % board.path.encode(), "lpfboard said %r" % line

    def stop(self, how=signal.SIGTERM):
        self.process.send_signal(how)
        out, err = self.process.communicate(timeout=TIMEOUT)
        return out, err, self.process.returncode

    def hold_ups(self):
        """Stops it; gives (updates late, longest hold-up in ms) from its last line."""
        out, err, status = self.stop()
        said = POWERED_OFF.fullmatch(out)
        assert said and (err, status) == (b"", 0), (out, err, status)
        return int(said.group(2)), float(said.group(3))

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


def program_of(leader):
    """The child of a session leader (see Terminal)."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == leader:
            return int(entry)
    raise AssertionError("no child of %d" % leader)


def process_state(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


class Terminal:
    """A program on a pseudo-terminal as a shell runs it: the terminal is
    the session's, a leader process waits for the program, which is in a
    process group of its own, in the foreground or the background."""

    def __init__(self, argv, env=None, rows=24, columns=80, foreground=True):
        self.controller, terminal = pty.openpty()
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))

        def as_a_shell_would():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            child = os.fork()
            if child:  # the leader: lets go of everything but the terminal, and waits
                os.closerange(3, 65536)
                os._exit(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) % 256)
            os.setpgid(0, 0)
            if foreground:
                signal.signal(signal.SIGTTOU, signal.SIG_IGN)
                os.tcsetpgrp(0, os.getpid())
                signal.signal(signal.SIGTTOU, signal.SIG_DFL)

        self.leader = subprocess.Popen(argv, stdin=terminal, stdout=terminal, stderr=subprocess.PIPE, env=env,
                                       preexec_fn=as_a_shell_would)
        os.close(terminal)
        self.pid = program_of(self.leader.pid)
        self.out = b""

    def read_until(self, text, timeout=TIMEOUT):
        """Reads until `text` appears after what was read so far; gives where."""
        start = len(self.out)
        deadline = time.monotonic() + timeout
        while text not in self.out[start:]:
            left = deadline - time.monotonic()
            ready = left > 0 and select.select([self.controller], [], [], left)[0]
            assert ready, "no %r on the terminal; it shows %r" % (text, self.out[-300:])
            try:
                chunk = os.read(self.controller, 65536)
            except OSError:  # the program is gone
                chunk = b""
            assert chunk, "the terminal closed before %r; it showed %r" % (text, self.out[-300:])
            self.out += chunk
        return self.out.index(text, start)

    def signal(self, how):
        os.kill(self.pid, how)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.leader.poll() is None:
            for pid in (self.pid, self.leader.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.leader.wait()

    def wait_state(self, state, what):
        wait_until(lambda: process_state(self.pid) == state, what)

    def suspend_and_resume(self, redrawn):
        """Ctrl-Z: the terminal handed back, the program stopped; fg: the
        terminal taken again, and `redrawn` on it."""
        self.signal(signal.SIGTSTP)
        self.read_until(LEAVE)
        self.wait_state("T", "stopped by Ctrl-Z")
        self.signal(signal.SIGCONT)
        self.read_until(ENTER)
        self.read_until(redrawn)

    def finish(self, how=None):
        """Signals the program (if asked), reads to the end: (output, standard error, status)."""
        if how:
            self.signal(how)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            try:
                chunk = os.read(self.controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            self.out += chunk
        os.close(self.controller)
        err = self.leader.stderr.read()
        self.leader.wait(timeout=TIMEOUT)
        return self.out, err, self.leader.returncode


ENTER = b"\x1b[?1049h\x1b[?25l\x1b[?7l"
LEAVE = b"\x1b[?7h\x1b[?25h\x1b[?1049l"
ESCAPE = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")


def last_frame(out):
    """The lines of the last whole screen drawn, without escape sequences."""
    frame = [f for f in out.split(b"\x1b[H") if f.endswith(b"\x1b[J")][-1]
    return [ESCAPE.sub(b"", line).rstrip(b"\r") for line in frame.split(b"\n")]


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
        ("a stale stand-in, as a window file", lambda: stale_file(board.path, 0o600),
         b"it is not a window file that lpfboard made", "--window"),
        ("a stale stand-in, as lpfscope's window file", lambda: stale_file(board.path, 0o600),
         b"it is not a window file that lpfboard made", "lpfscope"),
    ]
    if os.geteuid() == 0:
        cases.append(("another user's stale stand-in",
                      lambda: (stale_file(board.path, 0o600), os.chown(board.path, NOBODY, NOBODY)),
                      b"it belongs to another user"))
    for what, make, reason, *kind in cases:
        for leftover in (board.path, notes):
            if os.path.lexists(leftover):
                os.unlink(leftover)
        make()
        before = snapshot(board.path, notes)
        if kind == ["lpfscope"]:  # the tool that watches a window file refuses it in the same words
            argv, env_ = board.command("lpfscope", ("--window", board.path, "-d", "0.001"))
            wanted = b"lpfscope: cannot open %s: %s\n" % (board.path.encode(), reason)
        else:
            argv, env_ = [lpfboard, *(kind or ["--device"]), board.path], None
            wanted = b"lpfboard: refusing %s: %s\n" % (board.path.encode(), reason)
        done = subprocess.run(argv, capture_output=True, env=env_, timeout=TIMEOUT)
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


WINDOW_REGISTERS = 0x03200000  # in a window file, which starts at physical 0xFC000000


def creates_a_private_sparse_file(env):
    """A stand-in of 4 GiB, or a window file of 64 MiB, sparse, mode 0600,
    marked as lpfboard's in its first bytes, removed at power off."""
    target, lpfboard, board = env
    for kind, size, mark in (("--device", WINDOW_END, STALE_MARK), ("--window", 64 << 20, b"lpfboard window\n")):
        with PoweredBoard(target, lpfboard, board, kind) as powered:
            st = os.stat(board.path)
            assert (stat.S_IMODE(st.st_mode), st.st_size) == (0o600, size), (kind, oct(st.st_mode), st.st_size)
            assert st.st_blocks * 512 < 1 << 20, "%s file is not sparse" % kind
            with open(board.path, "rb") as f:
                assert f.read(len(mark)) == mark, kind
            powered.stop()
        assert not os.path.exists(board.path), kind


def serves_a_window_file(env):
    """A window file holds the registers 0x03200000 into it: the model runs
    there, and lpfscope --window watches it until the board goes."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board, "--window") as powered:
        with open(board.path, "r+b") as f:  # LED, u, and Ku = 1/2, Ky = 0: y = u at once
            for offset, value in ((0x00, 165), (0x10, 1 << 30), (0x20, 1 << 31)):
                f.seek(WINDOW_REGISTERS + offset)
                f.write(struct.pack("<I", value))

        def y():
            with open(board.path, "rb") as f:
                f.seek(WINDOW_REGISTERS + 0x40)
                return struct.unpack("<i", f.read(4))[0]
        wait_until(lambda: y() == 1 << 30, "y follows u in the window file")
        argv, env_ = board.command("lpfscope", ("--window", board.path, "--csv", "-d", "0.001"))
        done = subprocess.run(argv, capture_output=True, env=env_, timeout=TIMEOUT)
        assert done.returncode == 0 and done.stdout.split(b"\n")[1].startswith(b"0.000000,165,1073741824,"), done
        watching = subprocess.Popen(board.command("lpfscope", ("--window", board.path, "--csv"))[0],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env_)
        time.sleep(0.3)
        powered.stop()
        err = watching.communicate(timeout=TIMEOUT)[1]
    assert watching.returncode == 1 and err.startswith(b"lpfscope: the board was powered off: %s is gone\n"
                                                       % board.path.encode()), (watching.returncode, err)


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
    for how in (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT):
        powered = PoweredBoard(target, lpfboard, board)
        out, err, status = powered.stop(how)
        said = POWERED_OFF.fullmatch(out)
        assert said and said.group(1) == board.path.encode() and (err, status) == (b"", 0), (out, err, status)
        assert not os.path.exists(board.path), "stand-in left behind"
        out, err, status = board.run("ledset", ("3",))
        assert (out, status) == (BANNER + target.open_error(), 1), (out, status)


USAGE = b"Usage: lpfboard [--device FILE | --window FILE]\n"


def command_line(env):
    target, lpfboard, board = env
    cases = [
        (["--help"], 0, USAGE, b""),
        (["--bogus"], 2, b"", b"lpfboard: unknown option '--bogus'\n" + USAGE),
        (["--device"], 2, b"", b"lpfboard: missing file after '--device'\n" + USAGE),
        (["--window"], 2, b"", b"lpfboard: missing file after '--window'\n" + USAGE),
        (["--device", "a", "--window", "b"], 2, b"", b"lpfboard: one file only, not 'b'\n" + USAGE),
        (["--device", "/nonexistent/dir/board"], 1, b"",
         b"lpfboard: cannot open or create /nonexistent/dir/board: No such file or directory\n"),
        (["--device=/nonexistent/dir/board"], 1, b"",
         b"lpfboard: cannot open or create /nonexistent/dir/board: No such file or directory\n"),
        (["now"], 2, b"", b"lpfboard: unexpected argument 'now'\n" + USAGE),
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


def tells_when_it_was_held_up(env):
    """A board held up (stopped) for 0.2 s says so when it powers off."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board) as powered:
        console_says(board, b"F 1e-3\nU 0.5\nq\n")
        wait_until(lambda: read_y(board) != 0, "the board serves")
        powered.process.send_signal(signal.SIGSTOP)
        time.sleep(0.2)
        powered.process.send_signal(signal.SIGCONT)
        late, longest = powered.hold_ups()
    # About 300 updates in all: the stop, and a few more on a busy machine.
    assert 1 <= late <= 50 and 190 <= longest < 2000, (late, longest)


def view_on_a_terminal(env):
    """The view takes the terminal, gives it back on Ctrl-Z and takes it
    again on fg; Ctrl-\\ powers off as Ctrl-C does, terminal restored."""
    target, lpfboard, board = env
    with Terminal([lpfboard, "--device", board.path]) as view:
        view.read_until(b" late, the longest by ")
        assert view.out.startswith(ENTER) and b"lpfboard: serving %s" % board.path.encode() in view.out, view.out[:300]
        view.suspend_and_resume(b"Ctrl-C powers the board off.")
        out, err, status = view.finish(signal.SIGQUIT)
    assert (status, err) == (0, b"") and out.endswith(LEAVE), (status, err, out[-200:])
    assert not os.path.exists(board.path), "stand-in left behind"


def background_runs_as_off_a_terminal(env):
    """lpfboard & in a shell: no view over the shell, the lines of a board
    off a terminal."""
    target, lpfboard, board = env
    with Terminal([lpfboard, "--device", board.path], foreground=False) as job:
        job.read_until(b"lpfboard: powered on %s" % board.path.encode())
        out, err, status = job.finish(signal.SIGTERM)
    assert ENTER not in out and b"lpfboard: powered off" in out and (status, err) == (0, b""), (status, err, out)


SCENARIOS = [
    Scenario("powering on clears a stale stand-in", powers_on_with_registers_zero),
    Scenario("refuses files it did not make, and leaves them alone", refuses_files_it_did_not_make),
    Scenario("power off spares a newer board's file", power_off_spares_a_newer_board),
    Scenario("a full file system gives an error, not SIGBUS", full_file_system),
    Scenario("a new stand-in or window file is sparse, private, marked", creates_a_private_sparse_file),
    Scenario("serves a window file that lpfscope --window watches", serves_a_window_file),
    Scenario("y settles within one LSB of its steady state, and back at 0", output_settles_where_it_should),
    Scenario("a second board on the same file refuses", second_board_refuses),
    Scenario("SIGTERM, SIGINT and SIGQUIT power off and remove the file", power_off_removes_the_file),
    Scenario("command line", command_line),
    Scenario("tells when it was held up", tells_when_it_was_held_up),
    Scenario("the view on a terminal: Ctrl-Z, fg, Ctrl-\\", view_on_a_terminal),
    Scenario("in the background it runs as off a terminal", background_runs_as_off_a_terminal),
]


def main(scenarios):
    """Runs the scenarios, each with a scratch folder for its board."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", choices=("host", "board"), default="host")
    for name in ("lpfboard", "lpfconsole", "ledset", "lpfscope"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--device", help="compiled-in memory device (host)")
    parser.add_argument("--preload", help="test preload library (host)")
    parser.add_argument("--qemu", help="qemu-arm (board)")
    parser.add_argument("--only", help="run the scenarios whose name holds this")
    a = parser.parse_args()
    target = Target(a.mode, {"lpfconsole": a.lpfconsole, "ledset": a.ledset, "lpfscope": a.lpfscope}, a.device,
                    a.preload, a.qemu)

    def check(scenario):
        with Board(target, present=False) as board:
            return scenario.run((target, a.lpfboard, board)) is not False

    return 0 if run_table([s for s in scenarios if not a.only or a.only in s.name], check) else 1


if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
