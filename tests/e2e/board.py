#!/usr/bin/env python3
"""The simulated board, lpfboard, serving the host tools: power on and off,
the files it refuses, the filter it runs, its view on a terminal."""
import os
import signal
import stat
import statistics
import struct
import subprocess
import sys
import time
from fractions import Fraction

import lpfmap
from harness import (BANNER, ENTER, LEAVE, NOBODY, POWERED_OFF, REGISTERS, SEPARATOR, TIMEOUT, WINDOW_END, Check,
                     PoweredBoard, Terminal, console_says, fill_up, run_scenarios, small_file_system, wait_until)

STALE_MARK = lpfmap.STAND_IN_MARK


def as_signed(value):
    return value - (1 << 32) if value & 0x80000000 else value


def read_y(board):
    return as_signed(board.registers()[0]["y"])


def y_shown(board):
    out = console_says(board, b"Y\nq\n")
    line = [l for l in out.split(b"\n") if l.startswith(b"Output filter: ")]
    assert line, out
    return float(line[0].split(b": ")[1])


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
    with small_file_system(os.path.dirname(board.path), 65536) as mount:
        fill_up(mount)
        path = os.path.join(mount, "board")
        done = subprocess.run([lpfboard, "--device", path], capture_output=True, timeout=TIMEOUT)
        assert done.returncode == 1 and done.stdout == b"", done
        assert done.stderr.startswith(b"lpfboard: cannot ") and \
            done.stderr.endswith(b" %s: No space left on device\n" % path.encode()), done.stderr
        assert not os.path.exists(path), "left its file behind"


WINDOW_REGISTERS = lpfmap.WINDOW_FILE_REGISTERS


def creates_a_private_sparse_file(env):
    """A stand-in of 4 GiB, or a window file of 64 MiB, sparse, mode 0600,
    marked as lpfboard's in its first bytes, removed at power off."""
    target, lpfboard, board = env
    for kind, size, mark in (("--device", WINDOW_END, STALE_MARK),
                             ("--window", lpfmap.WINDOW_FILE_SIZE, lpfmap.WINDOW_FILE_MARK)):
        with PoweredBoard(target, lpfboard, board, kind) as powered:
            st = os.stat(board.path)
            assert (stat.S_IMODE(st.st_mode), st.st_size) == (0o600, size), (kind, oct(st.st_mode), st.st_size)
            assert st.st_blocks * 512 < 1 << 20, "%s file is not sparse" % kind
            with open(board.path, "rb") as f:
                assert f.read(len(mark)) == mark, kind
            powered.stop()
        assert not os.path.exists(board.path), kind


def serves_a_window_file(env):
    """A window file holds the registers where the window file's layout puts
    them: the model runs there, and lpfscope --window watches it until the
    board goes."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board, "--window") as powered:
        with open(board.path, "r+b") as f:  # LED, u, and Ku = 1/2, Ky = 0: y = u at once
            for name, value in (("led", 165), ("u", 1 << 30), ("ku", 1 << 31)):
                f.seek(WINDOW_REGISTERS + REGISTERS[name])
                f.write(struct.pack("<I", value))

        def y():
            with open(board.path, "rb") as f:
                f.seek(WINDOW_REGISTERS + REGISTERS["y"])
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


SAMPLE_RATE = 10_000_000  # one sample per 100 ns


def counter_rate(readings):
    """Counts a second, from (time, counter) readings over a second or more:
    the counter unwrapped, then the median slope between readings half the
    span apart, which a board held up now and then does not move."""
    counts = [readings[0][1]]
    for (_, a), (_, b) in zip(readings, readings[1:]):
        counts.append(counts[-1] + (b - a) % (1 << 32))
    times = [t for t, _ in readings]
    half = len(readings) // 2
    return statistics.median((counts[i + half] - counts[i]) / (times[i + half] - times[i])
                             for i in range(len(readings) - half))


def serves_what_the_core_is(env):
    """The identity and CLOCK_HZ words when it says it is on, a sample
    counter at 10 MHz within 1%, and the status bit while a Ku waits for its
    Ky: set at the next update, clear once the hold is over."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board):
        words = board.words()
        assert (words["identity"], words["clock_hz"]) == (lpfmap.LPF_IDENTITY, lpfmap.LPF_CLOCK_HZ_DEFAULT), words
        readings = []
        end = time.monotonic() + 1.2
        while time.monotonic() < end:
            before = time.monotonic()
            count = board.words()["sample_count"]
            readings.append(((before + time.monotonic()) / 2, count))
            time.sleep(0.005)
        rate = counter_rate(readings)
        assert abs(rate / SAMPLE_RATE - 1) < 0.01, "the counter runs at %.0f a second" % rate
        board.write({"ku": 0x12345678})
        stored = time.monotonic()
        wait_until(lambda: board.words()["status"] == lpfmap.LPF_STATUS_PAIR_HELD, "a lone Ku is held", 1.0)
        wait_until(lambda: board.words()["status"] == 0, "the hold ends")
        assert time.monotonic() - stored >= 0.1, "held for less than 100 ms"


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
    assert b"SIGINT, SIGTERM, SIGHUP or SIGQUIT" in help_text, help_text


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
    Check("powering on clears a stale stand-in", powers_on_with_registers_zero),
    Check("refuses files it did not make, and leaves them alone", refuses_files_it_did_not_make),
    Check("power off spares a newer board's file", power_off_spares_a_newer_board),
    Check("a full file system gives an error, not SIGBUS", full_file_system),
    Check("a new stand-in or window file is sparse, private, marked", creates_a_private_sparse_file),
    Check("serves a window file that lpfscope --window watches", serves_a_window_file),
    Check("serves the core's identity, clock, a 10 MHz sample counter and the held bit", serves_what_the_core_is),
    Check("y settles within one LSB of its steady state, and back at 0", output_settles_where_it_should),
    Check("a second board on the same file refuses", second_board_refuses),
    Check("SIGTERM, SIGINT and SIGQUIT power off and remove the file", power_off_removes_the_file),
    Check("command line", command_line),
    Check("tells when it was held up", tells_when_it_was_held_up),
    Check("the view on a terminal: Ctrl-Z, fg, Ctrl-\\", view_on_a_terminal),
    Check("in the background it runs as off a terminal", background_runs_as_off_a_terminal),
]


if __name__ == "__main__":
    sys.exit(run_scenarios(SCENARIOS))
