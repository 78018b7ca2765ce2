#!/usr/bin/env python3
"""The virtual board, run as a user runs scripts/virtual-board: the guest's
console steps the filter while the guest's lpfscope records it, and the
recorded step has the time constant of lpfboard's model on this machine;
this machine's lpfscope, watching the window file, sees what the guest's
ledset wrote; output streams as it is written; an interrupted recording
keeps every row; endless input ends with the command, in bounded memory; a
full output, a reader that leaves and lpfboard dying end the run as they
should. The script's own rules (terminal, Ctrl-A, exit records) are checked
first, without a boot."""
import argparse
import fcntl
import importlib.machinery
import importlib.util
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

import armguest
from harness import STEP_TAU, STEP_U, Check, judge_step, parse_csv, run_table, small_file_system

GUEST = ("lpfscope --trigger --csv -r 1000 -d 1 > /tmp/step.csv & sleep 1; "
         "printf 'F %g\\nU %g\\nq\\n' | lpfconsole > /dev/null; wait; cat /tmp/step.csv; "
         "ledset 165 > /dev/null; sleep 5" % (STEP_TAU, STEP_U))
LED = 165
RUN_TIMEOUT = 300
MEMORY_LIMIT = 400 << 20  # the script, lpfboard and qemu together
FULL_SIZE = 100 << 10
PROMPT = b"/root # "
INPUT_AHEAD = 16 << 20  # bounded buffers of the host, qemu and the guest (about 4 MB), with room


def load_script(path):
    loader = importlib.machinery.SourceFileLoader("virtual_board_script", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def rules(script):
    """The script's rules as plain functions, in tables."""
    checks = []
    for stdin_tty, stdout_tty, force, wanted in ((True, True, None, True), (True, False, None, False),
                                                 (False, True, None, False), (False, False, True, True),
                                                 (True, True, False, False)):
        checks.append(Check("terminal: stdin %s, stdout %s, forced %s" % (stdin_tty, stdout_tty, force),
                            lambda i=stdin_tty, o=stdout_tty, f=force, w=wanted:
                            _equal(script.wants_terminal(i, o, f), w)))
    for typed, pending, wanted in ((b"ab\x01xcd", False, (b"ab", False, True)),
                                   (b"a\x01\x01b", False, (b"a\x01b", False, False)),
                                   (b"a\x01", False, (b"a", True, False)),
                                   (b"X", True, (b"", False, True)),
                                   (b"q", True, (b"\x01q", False, False))):
        checks.append(Check("Ctrl-A: %r" % typed, lambda t=typed, p=pending, w=wanted:
                            _equal(script.escape(t, p), w)))
    records = b"started\nexit 0 3 1\nexit 141 2 0\nnoise\nexit 7 0 2\n"
    checks.append(Check("exit records split the streams", lambda: _equal(
        armguest.results(records, b"abcde", b"xyz"), [(0, b"abc", b"x"), (141, b"de", b""), (7, b"", b"yz")])))
    return checks


def _equal(got, wanted):
    assert got == wanted, "%r, expected %r" % (got, wanted)
    return True


class Runner:
    """scripts/virtual-board with the test's builds, kernel and window; a
    run still going at the end of its scenario is killed (SIGKILL: its
    children go with it)."""

    def __init__(self, a, scratch):
        self.a, self.scratch = a, scratch
        self.window = os.path.join(scratch, "window")
        self.runs = []

    def kill_all(self):
        for run in self.runs:
            if run.poll() is None:
                run.kill()
                run.wait()

    def start(self, command, **popen):
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        self.runs.append(subprocess.Popen(
            [self.a.script, "--window", self.window, "--board-build", self.a.board_build, "--host-build",
             self.a.host_build, "--cache", self.a.cache, "--qemu", self.a.qemu_system, command], **popen))
        return self.runs[-1]


def ended_within(run, seconds):
    """Whether the run ends within `seconds`."""
    try:
        run.wait(timeout=seconds)
        return True
    except subprocess.TimeoutExpired:
        return False


def tree_rss(pid):
    """The resident memory of a process and its children, in bytes."""
    total = 0
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if entry != str(pid) and int(fields[1]) != pid:
                continue
            with open("/proc/%s/statm" % entry) as f:
                total += int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, ValueError, IndexError):
            continue
    return total


def lines_as_they_come(process):
    """[(seconds since the first, line)] of the process's output."""
    arrived = []
    for line in process.stdout:
        arrived.append((time.monotonic(), line))
    process.wait(timeout=RUN_TIMEOUT)
    return [(t - arrived[0][0], line) for t, line in arrived]


def step_and_led(runner):
    watcher = os.path.join(runner.a.host_build, "lpfscope", "lpfscope")
    run = runner.start(GUEST)
    seen = False
    deadline = time.monotonic() + RUN_TIMEOUT
    while not seen and run.poll() is None and time.monotonic() < deadline:
        if os.path.exists(runner.window):
            done = subprocess.run([watcher, "--window", runner.window, "--csv", "-d", "0.001"], capture_output=True)
            rows = done.stdout.decode().splitlines()[1:]
            seen = done.returncode == 0 and bool(rows) and int(rows[-1].split(",")[1]) == LED
        time.sleep(0.2)
    out, err = run.communicate(timeout=RUN_TIMEOUT)

    def step():
        assert run.returncode == 0, (run.returncode, err)
        judge_step(parse_csv(out))

    def led():
        assert seen, "this machine's lpfscope never saw LED %d in the window file" % LED
    return [Check("the guest records a step with the model's time constant", step),
            Check("this machine's lpfscope sees the guest's ledset", led)]


def streaming(runner):
    run = runner.start("echo start; sleep 5; echo end")
    arrived = lines_as_they_come(run)

    def check():
        assert run.returncode == 0 and [line for _, line in arrived] == [b"start\n", b"end\n"], arrived
        assert arrived[1][0] > 2.5, "start came only %.1f s before end" % arrived[1][0]
    return [Check("output streams: start arrives seconds before end", check)]


def interrupted_recording(runner):
    run = runner.start("lpfscope --csv")
    first = run.stdout.readline() + run.stdout.readline()  # the header and a row: recording
    time.sleep(1)
    run.send_signal(signal.SIGINT)
    ended = ended_within(run, 10)
    runner.kill_all()
    out = run.stdout.read()  # after what readline kept back, which communicate would miss
    err = run.stderr.read()

    def check():
        assert ended, "still running 10 s after SIGINT"
        rows = parse_csv(first + out)
        written = re.search(rb"rows written: (\d+)", err)
        assert run.returncode == 0, (run.returncode, err)
        assert written and int(written.group(1)) == len(rows), "%d rows arrived; lpfscope said %r" % (len(rows), err)
    return [Check("SIGINT: lpfscope ends as it would locally, every row it wrote arrives", check)]


def endless_input(runner):
    """As `yes | scripts/virtual-board head -1`, counting what the run took
    in: no more than its buffers hold while the command does not read."""
    read_end, write_end = os.pipe()
    run = runner.start("sleep 5; head -1", stdin=read_end)
    os.close(read_end)
    taken = [0]

    def feed():
        chunk = b"y\n" * 32768
        try:
            while True:
                taken[0] += os.write(write_end, chunk)
        except OSError:
            os.close(write_end)
    threading.Thread(target=feed, daemon=True).start()
    peak = 0
    deadline = time.monotonic() + RUN_TIMEOUT
    while run.poll() is None and time.monotonic() < deadline:
        peak = max(peak, tree_rss(run.pid))
        time.sleep(0.1)
    out, err = run.communicate(timeout=10)

    def check():
        assert (run.returncode, out) == (0, b"y\n"), (run.returncode, out, err)
        assert peak < MEMORY_LIMIT, "the script, lpfboard and qemu took %d MB" % (peak >> 20)
        print("endless input: %d KB taken in, %d MB resident at most" % (taken[0] >> 10, peak >> 20))
        assert taken[0] < INPUT_AHEAD, "the run took in %d MB ahead of the command" % (taken[0] >> 20)
    return [Check("endless input: head -1 prints y and ends, the run in %d MB, %d MB of input taken in at most"
                  % (MEMORY_LIMIT >> 20, INPUT_AHEAD >> 20), check)]


def full_output(runner):
    with small_file_system(runner.scratch, FULL_SIZE) as full:
        with open(os.path.join(full, "out"), "wb") as out:
            run = runner.start("head -c %d /dev/zero" % (3 * FULL_SIZE), stdout=out)
            err = run.communicate(timeout=RUN_TIMEOUT)[1]
        kept = os.path.getsize(os.path.join(full, "out"))

    def check():
        assert run.returncode == 255, (run.returncode, err)
        assert b"cannot write standard output: No space left on device" in err, err
        assert 0 < kept <= FULL_SIZE, kept
    return [Check("a full output disk: a message and status 255", check)]


def reader_leaves(runner):
    run = runner.start("lpfscope --csv")
    head = [run.stdout.readline() for _ in range(3)]
    run.stdout.close()
    ended = ended_within(run, 5)

    def check():
        assert head[0].startswith(b"time_s,") and all(line.endswith(b"\n") for line in head), head
        assert ended, "still running 5 s after its reader left"
        assert run.returncode == 128 + signal.SIGPIPE, run.returncode
    return [Check("| head -3: the command sees its output closed, the run ends at once", check)]


def board_dies(runner):
    run = runner.start("echo running; sleep 60; echo late")
    said = run.stdout.readline()  # well into the run
    board = None
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                name, fields = f.read().split("(", 1)[1].rsplit(")", 1)
            if name == "lpfboard" and int(fields.split()[1]) == run.pid:
                board = int(entry)
        except (OSError, ValueError, IndexError):
            continue
    if board:
        os.kill(board, signal.SIGKILL)
    ended = ended_within(run, 5)
    runner.kill_all()
    out, err = run.communicate()

    def check():
        assert said == b"running\n" and board, (said, board)
        assert ended, "still running 5 s after lpfboard died"
        assert (run.returncode, out) == (255, b""), (run.returncode, out, err)
        assert b"lpfboard stopped (killed by SIGKILL)" in err, err
        assert not os.path.exists(runner.window), "the window file is left"
    return [Check("lpfboard dying: status 255, a message, no window file", check)]


def typed_session(runner, lines, resize_before=None):
    """A shell on a terminal: types `lines`, one at each prompt, resizing
    the terminal before line `resize_before`; (everything shown, status)."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    run = runner.start("", stdin=slave, stdout=slave, stderr=slave, start_new_session=True)
    os.close(slave)
    shown = b""
    deadline = time.monotonic() + RUN_TIMEOUT
    for index, line in enumerate(lines):
        while shown.count(PROMPT) <= index and time.monotonic() < deadline:
            if select.select([master], [], [], 1)[0]:
                try:
                    shown += os.read(master, 65536)
                except OSError:
                    break
        if index == resize_before:
            fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
            os.kill(run.pid, signal.SIGWINCH)
            time.sleep(1)
        os.write(master, line.encode() + b"\r")
    ended = ended_within(run, 10)
    while select.select([master], [], [], 0.2)[0]:
        try:
            shown += os.read(master, 65536)
        except OSError:
            break
    os.close(master)
    return shown, run.returncode if ended else None


def terminal(runner):
    shown, status = typed_session(runner, ["stty size; tty", "echo '@@LPF-END@@ 0'", "stty size", "exit 7"], 2)
    master, slave = pty.openpty()  # typed at a terminal, the output redirected
    plain = runner.start("tty; echo err >&2", stdin=slave)
    out, err = plain.communicate(timeout=RUN_TIMEOUT)
    os.close(master)
    os.close(slave)

    def session():
        assert status == 7, (status, shown[-500:])
        assert b"30 100\r\n/dev/pts/0\r\n" in shown and b"40 120\r\n" in shown, shown[-800:]
        assert b"--window %s" % runner.window.encode() in shown, "the window file is not named"

    def streams():
        assert (plain.returncode, out, err) == (0, b"not a tty\n", b"err\n"), (plain.returncode, out, err)
    return [Check("a shell on a terminal: its size and resizes, output that looks like an end, exit 7", session),
            Check("no terminal: plain streams, apart", streams)]


SCENARIOS = [step_and_led, streaming, interrupted_recording, endless_input, full_output, reader_leaves, board_dies,
             terminal]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True, help="scripts/virtual-board")
    parser.add_argument("--board-build", required=True)
    parser.add_argument("--host-build", required=True, help="holds lpfboard and lpfscope for this machine")
    parser.add_argument("--cache", required=True)
    parser.add_argument("--qemu-system", required=True)
    parser.add_argument("--only", help="the scenarios whose names contain this")
    a = parser.parse_args()

    checks = rules(load_script(a.script))
    for scenario in SCENARIOS:
        if a.only and a.only not in scenario.__name__:
            continue
        with tempfile.TemporaryDirectory(prefix="lpf-virtual-") as scratch:
            start = time.monotonic()
            runner = Runner(a, scratch)
            try:
                found = scenario(runner)
            finally:
                runner.kill_all()
            left = [name for name in os.listdir(scratch) if name != "small"]
            print("%s: %.1f s" % (scenario.__name__, time.monotonic() - start))
        checks += found + [Check("%s: no window file left" % scenario.__name__,
                                 lambda left=left: _equal(left, []))]
    return 0 if run_table(checks, lambda c: c.run() or True) else 1


if __name__ == "__main__":
    sys.exit(main())
