#!/usr/bin/env python3
"""lpfscope recording and showing the registers.

host: the host lpfscope, on stand-ins of its own and against the host
      lpfboard.
board: the board's lpfscope under qemu-arm, on PREFIX/dev/mem, against a
       host lpfboard serving it."""
import mmap
import os
import re
import signal
import struct
import subprocess
import sys
import threading
import time

import lpfmap
from harness import (CSV_HEADER, ENTER, LEAVE, NOBODY, PAGE, STEP_TAU, STEP_U, TIMEOUT, WINDOW_END, WORDS, Check,
                     PoweredBoard, Terminal, console_says, judge_step, last_frame, parse_csv, run_scenarios,
                     small_file_system)

SUMMARY = re.compile(rb"lpfscope: samples taken: ([0-9]+), late: ([0-9]+), missed: ([0-9]+); "
                     rb"rows written: ([0-9]+), dropped: ([0-9]+)\n\Z")
FULL = (1 << 31) - 1


def summary(err):
    said = SUMMARY.search(err)
    assert said, "no summary: %r" % err
    return dict(zip(("taken", "late", "missed", "written", "dropped"), map(int, said.groups())))


def start_scope(board, args, **kw):
    argv, env = board.command("lpfscope", args)
    return subprocess.Popen(argv, stdout=kw.pop("stdout", subprocess.PIPE), stderr=subprocess.PIPE, env=env, **kw)


def sampling_for(scope, seconds):
    """Returns once `scope` has sampled for `seconds` at least: its header
    comes out a tenth of a second after it starts (qemu-arm may take long)."""
    header = scope.stdout.readline()
    assert header == CSV_HEADER, header
    time.sleep(seconds)
    return header


def records_a_step(env):
    """The console steps u from 0 to 0.5 with tau 0.1 s; the trigger catches
    it with 0.1 s of history, and y follows 0.5 (1 - exp(-t / tau))."""
    target, lpfboard, board = env
    rate = 1000
    with PoweredBoard(target, lpfboard, board) as powered:
        scope = start_scope(board, ("--trigger", "--duration=1", "-r", str(rate), "--csv"))
        header = sampling_for(scope, 0.3)  # more history than is kept
        console_says(board, b"F %g\nU %g\nq\n" % (STEP_TAU, STEP_U))
        out, err = scope.communicate(timeout=TIMEOUT)
        out = header + out
        late, longest = powered.hold_ups()
    assert scope.returncode == 0, (scope.returncode, err)
    counts = summary(err)
    rows = parse_csv(out)
    history = [r for r in rows if r[0] < 0]
    after = [r for r in rows if r[0] >= 0]
    # A busy machine wakes the sampler late now and then, and a sample whose
    # successor is due already is skipped: each of the 1100 samples due from
    # 0.1 s before the change to 1 s after it is a row, or counted as missed.
    assert history and after and history[0][0] >= -0.105 and after[-1][0] < 1.0, (rows[:1], rows[-1:])
    assert 1100 - len(rows) <= counts["missed"], (len(rows), counts)
    assert counts["written"] == len(rows) and counts["dropped"] == 0, counts
    assert counts["late"] <= counts["taken"] // 5, "%d of %d samples late" % (counts["late"], counts["taken"])
    assert after[0][0] == 0, after[0]
    assert all(r[2] == 0 and r[5] == 0 for r in history), "history is not the state before the step"
    assert after[0][2] == 1073741823 and after[0][6] == STEP_U, after[0]
    # The board catches up every millisecond, and y rises by far more than an
    # LSB a millisecond for the whole second: it moves between most rows (a
    # board that looked every 10 ms would move it between one pair in ten).
    moved = sum(a[5] != b[5] for a, b in zip(after, after[1:])) / (len(after) - 1)
    assert moved >= 0.5, "y moved between %.0f%% of the rows" % (moved * 100)
    try:
        judge_step(rows, longest / 1e3)
    except AssertionError as e:
        raise AssertionError("%s (the board: %d updates late, the longest by %.1f ms)" % (e, late, longest))


def present(env):
    """A stand-in with every register 0, for the scenarios without lpfboard."""
    target, lpfboard, board = env
    with open(board.path, "wb") as f:
        f.truncate(WINDOW_END)
    os.chmod(board.path, 0o600)


LPF_CORE = b"lpfscope: LPf core version 1, built for 50.000 MHz\n"
RATE = re.compile(rb"lpfscope: sample rate ([0-9.]+) MHz \(expected 10\.000 MHz\)\n")
WARNING = re.compile(rb"lpfscope: warning: the core's CLOCK_HZ \(50\.000 MHz\) does not match the clock it is "
                     rb"given: it samples ([0-9.]+) times as fast as it was built for, so every time constant is off "
                     rb"by a factor of ([0-9.]+)\n")


def names_the_core_and_its_rate(env):
    """Against lpfboard: the core named, and its sample rate measured over
    3 s within 1% of 10 MHz, or off by no more than the board's longest
    hold-up can explain; the warning only where the rate is off by 1%."""
    target, lpfboard, board = env
    seconds = 3.0
    with PoweredBoard(target, lpfboard, board) as powered:
        scope = start_scope(board, ("--csv", "-d", str(seconds)))
        out, err = scope.communicate(timeout=TIMEOUT)
        late, longest = powered.hold_ups()
    assert scope.returncode == 0 and parse_csv(out), (scope.returncode, err)
    assert LPF_CORE in err, err
    measured = RATE.search(err)
    assert measured, err
    off = abs(float(measured.group(1)) / 10 - 1)
    assert off <= 0.01 + 2 * longest / 1e3 / seconds, "%s (the board held up %.1f ms)" % (err, longest)
    assert (WARNING.search(err) is not None) == (off > 0.01), err


def warns_of_a_fast_counter(env):
    """A window file whose core says 50 MHz but counts 2% fast: lpfscope
    --window warns that every time constant is off, by about 1/1.02."""
    target, lpfboard, board = env
    path = os.path.join(board.dir.name, "window")
    with open(path, "wb") as f:  # as lpfboard makes it, the register page backed
        f.write(lpfmap.WINDOW_FILE_MARK)
        f.truncate(lpfmap.WINDOW_FILE_SIZE)
        f.seek(lpfmap.WINDOW_FILE_REGISTERS)
        f.write(bytes(PAGE))
    os.chmod(path, 0o600)
    with open(path, "r+b") as f:
        page = mmap.mmap(f.fileno(), PAGE, offset=lpfmap.WINDOW_FILE_REGISTERS)
    for name, value in (("identity", lpfmap.LPF_IDENTITY), ("clock_hz", 50000000)):
        struct.pack_into("<I", page, WORDS[name], value)
    done = []

    # One aligned 32-bit store a count, as the core's bus gives it: struct
    # writes byte by byte, and a load between its bytes sees the counter
    # step back, a wrap.
    words = memoryview(page).cast("I")

    def count():
        start = time.monotonic()
        while not done:
            words[WORDS["sample_count"] // 4] = int((time.monotonic() - start) * 10.2e6) % (1 << 32)
            time.sleep(0.0005)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        argv, env_ = board.command("lpfscope", ("--window", path, "--csv", "-d", "2"))
        done.append(subprocess.run(argv, capture_output=True, env=env_, timeout=TIMEOUT))
    finally:
        done.append(None)
        counter.join()
    assert done[0].returncode == 0 and LPF_CORE in done[0].stderr, done[0]
    warned = WARNING.search(done[0].stderr)
    assert warned and 1.01 < float(warned.group(1)) < 1.03 and 0.97 < float(warned.group(2)) < 0.99, done[0].stderr


def slow_reader_and_pauses(env):
    """A reader that keeps the pipe full while lpfscope is stopped twice:
    every row whole, in order, no burst of back-to-back rows after a pause,
    and every sample accounted for."""
    target, lpfboard, board = env
    present(env)
    rate, pause = 5000, 0.3
    scope = start_scope(board, ("--csv", "-r", str(rate), "-d", "1.6"))
    out = [sampling_for(scope, 0.0)]

    def read_slowly():
        deadline = time.monotonic() + 1.3
        while time.monotonic() < deadline:
            out.append(scope.stdout.read1(512))
            time.sleep(0.02)
        out.append(scope.stdout.read())

    reader = threading.Thread(target=read_slowly)
    reader.start()
    for running in (0.2, 0.2):
        time.sleep(running)
        scope.send_signal(signal.SIGSTOP)
        time.sleep(pause)
        scope.send_signal(signal.SIGCONT)
    reader.join(timeout=TIMEOUT)
    err = scope.stderr.read()
    assert scope.wait(timeout=TIMEOUT) == 0, err
    rows = parse_csv(b"".join(out))
    counts = summary(err)
    assert counts["written"] == len(rows) and counts["taken"] == len(rows) + counts["dropped"], counts
    # Each sample due in the 1.6 s is a row, dropped, or missed (and more
    # were missed if the first was late: a slow start, under qemu-arm).
    due = len(rows) + counts["dropped"] + counts["missed"]
    assert 1.6 * rate <= due <= 1.65 * rate, (due, counts)
    assert counts["missed"] >= 2 * (pause - 0.05) * rate, counts
    # A late sample may come close to the next; catching up on a pause
    # would bring hundreds back to back.
    run = longest = 0
    for a, b in zip(rows, rows[1:]):
        run = run + 1 if b[0] - a[0] < 0.5 / rate else 0
        longest = max(longest, run)
    assert longest <= 10, "%d rows back to back" % longest


def ends_cleanly(env):
    """SIGINT and SIGTERM end a fast recording with whole rows and status 0
    (at the top rate, a late sample taken within a microsecond of the next
    shows its nanoseconds, and times still increase); a reader that goes
    away ends it quietly."""
    target, lpfboard, board = env
    with PoweredBoard(target, lpfboard, board):
        for how, rate in ((signal.SIGINT, 1000000), (signal.SIGTERM, 100000)):
            scope = start_scope(board, ("--rate", str(rate)))
            time.sleep(0.5)
            scope.send_signal(how)
            out, err = scope.communicate(timeout=TIMEOUT)
            assert scope.returncode == 0, (how, scope.returncode, err)
            rows = parse_csv(out)
            assert len(rows) > 100 and summary(err)["written"] == len(rows), (how, len(rows), err)
        # As `lpfscope | head -1` does; where SIGPIPE is ignored, the reason is
        # the pipe's even when the reader leaves in the middle of a write.
        for ignored, expected in ((False, (-signal.SIGPIPE, b"")),
                                  (True, (1, b"lpfscope: cannot write the output: Broken pipe\n"))):
            scope = start_scope(board, ("--rate", "100000"), restore_signals=not ignored)
            scope.stdout.readline()
            time.sleep(0.3)
            scope.stdout.close()
            err = scope.stderr.read()
            scope.wait(timeout=TIMEOUT)
            code, text = expected
            assert scope.returncode == code and (err.startswith(text) if ignored else err == text), \
                (scope.returncode, err)


def notices_the_board_going(env):
    """A board powered off, or replaced by another board's file: lpfscope
    ends within a second with status 1 and whole rows."""
    target, lpfboard, board = env
    if target.mode == "board":
        return False  # /dev/mem itself never goes away
    for replaced in (False, True):
        with PoweredBoard(target, lpfboard, board) as first:
            scope = start_scope(board, ("--csv",))
            time.sleep(0.3)
            gone = time.monotonic()
            if replaced:
                os.unlink(board.path)
                second = PoweredBoard(target, lpfboard, board)
            else:
                first.stop()
            out, err = scope.communicate(timeout=TIMEOUT)
            took = time.monotonic() - gone
            if replaced:
                second.stop()
        assert scope.returncode == 1 and took < 1.0, (replaced, scope.returncode, took)
        assert err.startswith(b"lpfscope: the board was powered off: "), err
        assert len(parse_csv(out)) == summary(err)["written"] > 100, err


def full_disk(env):
    """Standard output on a full file system: status 1, the reason, and a
    file of whole rows."""
    target, lpfboard, board = env
    if os.geteuid() != 0:
        return False
    present(env)
    with small_file_system(board.dir.name, 65536) as mount:
        path = os.path.join(mount, "out.csv")
        with open(path, "wb") as f:
            scope = start_scope(board, ("-r", "100000", "-d", "3"), stdout=f)
            err = scope.communicate(timeout=TIMEOUT)[1]
        with open(path, "rb") as f:
            rows = parse_csv(f.read())
    assert scope.returncode == 1 and err.startswith(b"lpfscope: cannot write the output: No space left on device\n"), \
        (scope.returncode, err)
    assert 0 < len(rows) == summary(err)["written"], (len(rows), err)


def refuses_stand_ins(env):
    """Stand-ins lpfscope must not read: its group may write it, or it is
    another user's (root's, for an ordinary user)."""
    target, lpfboard, board = env
    if target.mode == "board" or os.geteuid() != 0:
        return False
    present(env)
    cases = [  # (mode, as whom, the reason)
        (0o620, [], b"group or others may write it"),
        (0o644, ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"],
         b"it belongs to another user"),
    ]
    os.chmod(board.dir.name, 0o755)
    for mode, user, reason in cases:
        os.chmod(board.path, mode)
        argv, env_ = board.command("lpfscope", ("-d", "0.01"))
        done = subprocess.run(user + argv, capture_output=True, env=env_, timeout=TIMEOUT)
        device = target.device
        if user and device == "%s%d" % (lpfmap.STAND_IN_PREFIX, os.geteuid()):
            device = "%s%d" % (lpfmap.STAND_IN_PREFIX, NOBODY)  # each user's own
        wanted = b"lpfscope: cannot open %s: %s\n" % (device.encode(), reason)
        assert (done.returncode, done.stdout, done.stderr) == (1, b"", wanted), (oct(mode), done)


def command_line(env):
    target, lpfboard, board = env
    usage = b"; try 'lpfscope --help'\n"
    rate_error = b"lpfscope: --rate takes whole samples per second from 1 to 1000000, not '%s'" + usage
    duration_error = b"lpfscope: --duration takes seconds above 0 and at most 10000000, not '%s'" + usage
    cases = [  # (arguments, status, standard output starts, standard error)
        (("--help",), 0, b"Usage: lpfscope [OPTION]...\n", b""),
        (("-V",), 0, b"lpfscope 0.1.0\n", b""),
        (("--bogus",), 2, b"", b"lpfscope: unknown option '--bogus'" + usage),
        (("--bogus=3",), 2, b"", b"lpfscope: unknown option '--bogus'" + usage),
        (("-x",), 2, b"", b"lpfscope: unknown option '-x'" + usage),
        (("-xt",), 2, b"", b"lpfscope: unknown option '-x'" + usage),
        (("-r", "5", "-xq"), 2, b"", b"lpfscope: unknown option '-x'" + usage),
        (("--rate",), 2, b"", b"lpfscope: missing value after '--rate'" + usage),
        (("-cr",), 2, b"", b"lpfscope: missing value after '-r'" + usage),
        (("--rate=0",), 2, b"", rate_error % b"0"),
        (("-r", "10.5"), 2, b"", rate_error % b"10.5"),
        (("-r", "0x10"), 2, b"", rate_error % b"0x10"),
        (("--rate", "1000001"), 2, b"", rate_error % b"1000001"),
        (("--duration", "-1"), 2, b"", duration_error % b"-1"),
        (("--duration", "0"), 2, b"", duration_error % b"0"),
        (("-d", "nan"), 2, b"", duration_error % b"nan"),
        (("-d", "1e8"), 2, b"", duration_error % b"1e8"),
        (("now",), 2, b"", b"lpfscope: unexpected argument 'now'" + usage),
        (("--window", "/nonexistent/window"), 1, b"", b"lpfscope: cannot open /nonexistent/window: "
         b"No such file or directory\n"),
    ]
    if not (target.mode == "board" and os.path.exists("/dev/mem")):  # qemu would fall through to real memory
        # Accepted, as far as the device: the top rate, the longest duration, one number syntax.
        opened = b"lpfscope: cannot open %s: No such file or directory\n" % target.device.encode()
        for args in ((), ("--rate", "1000000"), ("-d", "10000000"), ("-r", "1e3", "-d", "2.5e-1")):
            cases.append((args, 1, b"", opened))
    for args, status, out_start, err in cases:
        argv, full_env = board.command("lpfscope", args)
        done = subprocess.run(argv, capture_output=True, env=full_env, timeout=TIMEOUT)
        assert (done.returncode, done.stderr) == (status, err) and done.stdout.startswith(out_start), (args, done)
    help_text = subprocess.run(board.command("lpfscope", ("--help",))[0], capture_output=True, env=full_env,
                               timeout=TIMEOUT).stdout
    for limit in (b"1000000", b"10000000", b"262144", b"counts from the change", b"only the header",
                  b"SIGINT, SIGTERM, SIGHUP or SIGQUIT", b"no LPf core answers", b"sample rate"):
        assert limit in help_text, limit


def in_view(board, args=(), **kw):
    argv, env = board.command("lpfscope", args)
    return Terminal(argv, env, **kw)


def view_restores_the_terminal(env):
    """The live view ends with the terminal as it was, however it ends."""
    target, lpfboard, board = env
    present(env)
    for args, stop in ((("--duration", "0.3"), None), ((), signal.SIGINT), ((), signal.SIGTERM)):
        with in_view(board, args) as view:
            view.read_until(b"LED = 0x")
            out, err, status = view.finish(stop)
        assert status == 0 and out.startswith(ENTER) and out.endswith(LEAVE), (args, status, out[-200:])


def view_shows_the_registers(env):
    """Lamps with bit 0 at the right, u at the top of the chart at +1 and y
    at the bottom at -1, the legend; Ctrl-Z hands the terminal back and fg
    takes it again."""
    target, lpfboard, board = env
    present(env)
    board.write({"led": 1, "u": FULL, "y": -FULL})
    with in_view(board) as view:
        view.read_until(b"now")
        time.sleep(0.3)
        # The first frames may come before the first sample on a busy machine.
        view.read_until(b"LED = 0x00000001")
        view.read_until(b"no LPf core answers at 0x%08X (its identity word reads 0x00000000)"
                        % lpfmap.ALT_LWFPGASLVS_OFST)
        view.read_until(b"Ctrl-C quits.")
        lines = last_frame(view.out)
        lamps = [l for l in lines if l.startswith(b" LEDs")][0].split()[1:9]
        assert lamps == [b"\xe2\x97\x8b"] * 7 + [b"\xe2\x97\x8f"], lines
        top = [l for l in lines if l.startswith(b"+1 |")][0]
        bottom = [l for l in lines if l.startswith(b"-1 |")][0]
        assert b"-" in top[4:] and b"*" not in top and b"*" in bottom and b"-" not in bottom[4:], (top, bottom)
        assert any(b"both #" in l for l in lines), lines
        view.suspend_and_resume(b"Ctrl-C quits.")
        out, err, status = view.finish(signal.SIGINT)
    assert status == 0 and out.endswith(LEAVE), (status, out[-200:])


def view_on_a_small_terminal(env):
    """Six rows: the title, u and y and the status stay; no chart."""
    target, lpfboard, board = env
    present(env)
    with in_view(board, ("--trigger",), rows=6) as view:
        view.read_until(b"Waiting for u or y to change.")
        time.sleep(0.2)
        view.read_until(b"Ctrl-C quits.")
        lines = [l for l in last_frame(view.out) if l.strip()]
        view.finish(signal.SIGINT)
    assert lines[0].startswith(b" lpfscope: ") and b"samples/s" in lines[0], lines
    assert any(b"(per unit)" in l for l in lines) and not any(l.startswith(b"+1 |") for l in lines), lines


def view_notices_the_board_going(env):
    target, lpfboard, board = env
    if target.mode == "board":
        return False
    with PoweredBoard(target, lpfboard, board) as powered:
        with in_view(board) as view:
            view.read_until(b"LPf core version 1, 50.000 MHz, sample rate not measured yet")
            view.read_until(b"Ctrl-C quits.")
            powered.stop()
            view.read_until(b"The board was powered off.")
            out, err, status = view.finish()
    assert status == 1 and out.endswith(LEAVE) and err.startswith(b"lpfscope: the board was powered off"), \
        (status, err)


SCENARIOS = [
    Check("records a step response with its history", records_a_step),
    Check("names the core and measures its sample rate", names_the_core_and_its_rate),
    Check("warns of a window file whose counter runs 2% fast", warns_of_a_fast_counter),
    Check("a slow reader and pauses: whole rows, no burst, every sample counted", slow_reader_and_pauses),
    Check("ends cleanly on signals and a closed pipe", ends_cleanly),
    Check("notices a board powered off or replaced", notices_the_board_going),
    Check("a full disk leaves whole rows", full_disk),
    Check("refuses a stand-in its group may write, or another user's", refuses_stand_ins),
    Check("command line", command_line),
    Check("the live view gives the terminal back", view_restores_the_terminal),
    Check("the live view: lamps, chart, Ctrl-Z and fg", view_shows_the_registers),
    Check("the live view on a small terminal, waiting for a change", view_on_a_small_terminal),
    Check("the live view says when the board is powered off", view_notices_the_board_going),
]


if __name__ == "__main__":
    sys.exit(run_scenarios(SCENARIOS))
