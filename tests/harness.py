"""What the test scripts of every suite share: the tools run against a
stand-in board of their own (Target, Board), lpfboard powered on (PoweredBoard),
a program on a terminal (Terminal), a small or full file system, a table of
named checks (Check, run_table), and the judging of a recorded step response.
The register map comes from lib/hwregs through the lpfmap package; ctest puts
the repository root on PYTHONPATH.

Target modes:
host: the host executables, with the test preload library sending the open of
      the memory device to the stand-in file.
board: the static ARM executables under `qemu-arm -L PREFIX`, where
      PREFIX/dev/mem is the stand-in, so the unmodified binary opens it as
      "/dev/mem".
"""
import argparse
import contextlib
import fcntl
import math
import os
import pty
import re
import select
import signal
import statistics
import struct
import subprocess
import tempfile
import termios
import time
from dataclasses import dataclass

import lpfmap

WINDOW_END = lpfmap.STAND_IN_SIZE  # a stand-in's size: the window ends the 32-bit space
LW_BASE = lpfmap.STAND_IN_REGISTERS
REGISTERS = lpfmap.REGISTERS
WORDS = {**REGISTERS, **lpfmap.CORE_WORDS}  # every word a test sets or reads
PAGE = lpfmap.REGISTER_PAGE_SIZE
TIMEOUT = 20

# The addresses as lpfconsole and ledset print them, from the register map.
BANNER = (b"ALT_STM_OFST = 0x%8X\n"
          b"ALT_LWFPGASLVS_OFST = 0x%8X\n"
          b"LED_BASE = 0x%X\n"
          b"(ALT_LWFPGASLVS_OFST + LED_BASE) & HW_REGS_MASK = 0x%08X\n"
          b"\n") % (lpfmap.ALT_STM_OFST, lpfmap.ALT_LWFPGASLVS_OFST, REGISTERS["led"],
                   (lpfmap.ALT_LWFPGASLVS_OFST + REGISTERS["led"]) & (lpfmap.HW_REGS_SPAN - 1))
HELP = (b"\nInsert command:\n" + b"-" * 31 + b"\n"
        b"L\tChange LED value\n"
        b"F\tConfig Filter coefficients\n"
        b"U\tSet Input Filter (per-unit)\n"
        b"Y\tRead Y value\n"
        b"E/Q\tExit\n" + b"-" * 31 + b"\n")
SEPARATOR = b"=" * 31 + b"\n\n"
FIRST_SCREEN = BANNER + HELP + SEPARATOR
MMAP_ERROR = b"ERROR: mmap() failed...\n"
MUNMAP_ERROR = b"ERROR: munmap() failed...\n"


def u32(value):
    return value & 0xFFFFFFFF


def read_registers(path):
    """The five registers, and whether the rest of their page, and the start
    of the file (where a stray write to a low descriptor lands), are untouched."""
    regs = dict.fromkeys(REGISTERS, None)
    if not os.path.isfile(path) or os.path.getsize(path) < LW_BASE + PAGE:
        return regs, True
    with open(path, "rb") as f:
        start = f.read(PAGE)
        f.seek(LW_BASE)
        page = f.read(PAGE)
    words = list(struct.unpack("<%dI" % (PAGE // 4), page))
    for name, offset in REGISTERS.items():
        regs[name] = words[offset // 4]
        words[offset // 4] = 0
    return regs, not any(words) and not any(start)


def read_words(path):
    """Every word of the register page by name: the registers and the core's words."""
    with open(path, "rb") as f:
        f.seek(LW_BASE)
        page = f.read(PAGE)
    return {name: struct.unpack_from("<I", page, offset)[0] for name, offset in WORDS.items()}


def write_registers(path, regs):
    with open(path, "r+b") as f:
        for name, value in regs.items():
            f.seek(LW_BASE + WORDS[name])
            f.write(struct.pack("<I", u32(value)))


class Target:
    def __init__(self, mode, programs, device=None, preload=None, qemu=None):
        self.mode = mode
        self.programs = programs
        if mode == "board":
            device = "/dev/mem"
        elif not device:
            device = "%s%d" % (lpfmap.STAND_IN_PREFIX, os.geteuid())  # each user's own stand-in
        self.device = device
        self.preload = preload
        self.qemu = qemu

    def open_error(self):
        return b'ERROR: could not open "%s"...\n' % self.device.encode()


FULL_FS_SIZE = 1 << 20
NOBODY = 65534


@contextlib.contextmanager
def small_file_system(directory, size):
    """A tmpfs of `size` bytes on a new folder in `directory` (mounting needs
    root), unmounted at the end."""
    mount = os.path.join(directory, "small")
    os.mkdir(mount)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "lpf-e2e", mount], check=True)
    try:
        yield mount
    finally:
        subprocess.run(["umount", mount], check=True)


def fill_up(mount, room=0):
    """Fills a small file system but for `room` bytes."""
    capacity = os.statvfs(mount)
    with open(os.path.join(mount, "filler"), "wb") as f:
        try:
            f.write(b"\1" * (capacity.f_blocks * capacity.f_frsize))
        except OSError:
            pass
        f.truncate(max(0, os.fstat(f.fileno()).st_size - room))


class Board:
    """A scratch folder holding one stand-in; use as a context manager.

    kind: "file", or a stand-in the tools must refuse or cannot back:
    "symlink" (the path is a link to the file), "fifo", "shared" (mode 0666),
    "group" (mode 0620), "foreign" (another user's), "full" (on a file system
    with no space left; needs root to mount it); or "onepage", on a file
    system with room for one page only, which the register page must get."""

    def __init__(self, target, size=WINDOW_END, regs=None, present=True, kind="file"):
        self.target = target
        self.dir = tempfile.TemporaryDirectory(prefix="lpf-e2e-")
        self.mounts = contextlib.ExitStack()
        root = self.dir.name
        if kind in ("full", "onepage"):
            root = self.mounts.enter_context(small_file_system(root, FULL_FS_SIZE))
        if target.mode == "board":
            os.mkdir(os.path.join(root, "dev"))
            os.symlink("/usr/arm-linux-gnueabihf/lib", os.path.join(root, "lib"))
            self.path = os.path.join(root, "dev", "mem")
        else:
            self.path = os.path.join(root, "board")
        self.data = self.path + ".data" if kind == "symlink" else self.path  # the file the registers are in
        if kind == "fifo":
            os.mkfifo(self.path, 0o600)
        elif present:
            with open(self.data, "wb") as f:
                f.truncate(size)
            os.chmod(self.data, {"shared": 0o666, "group": 0o620}.get(kind, 0o600))
            if regs:
                write_registers(self.data, regs)
        if kind == "symlink":
            os.symlink(self.data, self.path)
        if kind == "foreign":
            os.chown(self.path, NOBODY, NOBODY)
        if kind in ("full", "onepage"):
            fill_up(root, PAGE if kind == "onepage" else 0)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.mounts.close()
        self.dir.cleanup()

    def registers(self):
        return read_registers(self.data)

    def words(self):
        return read_words(self.data)

    def write(self, regs):
        write_registers(self.path, regs)

    def command(self, program, args=(), env=None):
        t = self.target
        full_env = dict(os.environ)
        full_env.pop("LD_PRELOAD", None)
        if t.mode == "host":
            argv = [t.programs[program], *args]
            full_env["LD_PRELOAD"] = t.preload
            full_env["LPF_TEST_DEVICE"] = self.path
        else:
            argv = [t.qemu, "-L", self.dir.name, t.programs[program], *args]
        full_env.update(env or {})
        return argv, full_env

    def run(self, program, args=(), stdin=b"", env=None, to_file=False, closed=()):
        """Runs to the end; gives what it printed, its standard error and status.
        With to_file, standard output is a regular file rather than a pipe;
        the descriptors in `closed` are closed when the program starts."""
        argv, full_env = self.command(program, args, env)
        if not to_file:
            done = subprocess.run(argv, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=full_env, timeout=TIMEOUT, preexec_fn=lambda: [os.close(fd) for fd in closed])
            return done.stdout, done.stderr, done.returncode
        out_path = os.path.join(self.dir.name, "stdout")
        with open(out_path, "wb") as out:
            done = subprocess.run(argv, input=stdin, stdout=out, stderr=subprocess.PIPE,
                                  env=full_env, timeout=TIMEOUT)
        with open(out_path, "rb") as out:
            return out.read(), done.stderr, done.returncode

    def start(self, program, args=(), env=None):
        argv, full_env = self.command(program, args, env)
        return Interactive(subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=full_env))


class Interactive:
    """An interactive run: send lines, and wait for text the program prints."""

    def __init__(self, process):
        self.process = process
        self.output = b""

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def expect(self, ending, timeout=TIMEOUT):
        """Waits until everything printed so far ends with `ending`."""
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while not self.output.endswith(ending):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("timed out waiting for %r; printed so far: %r" % (ending, self.output))
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("output ended waiting for %r; printed: %r" % (ending, self.output))
            self.output += chunk

    def finish(self, data=b""):
        out, err = self.process.communicate(data, timeout=TIMEOUT)
        self.output += out
        return self.output, err, self.process.returncode


@dataclass
class Check:
    """A named check: `run` is called as the table's runner says (by default
    with no arguments); it fails by an assertion, and False means skipped."""
    name: str
    run: object


def run_table(rows, check=None):
    """Runs check(row), or row.run(), for every row (anything with a name);
    prints a line per failure and the total."""
    passed = failed = skipped = 0
    for row in rows:
        try:
            if (check(row) if check else row.run()) is False:
                skipped += 1
                print("skipped: %s" % row.name)
                continue
            passed += 1
        except (AssertionError, subprocess.TimeoutExpired) as e:
            failed += 1
            print("FAILED: %s\n  %s" % (row.name, str(e).replace("\n", "\n  ")))
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return failed == 0


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


def console_says(board, commands):
    out, err, status = board.run("lpfconsole", stdin=commands)
    assert (err, status) == (b"", 0), (out, err, status)
    return out


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


CSV_HEADER = b"time_s,led,u,ku,ky,y,u_pu,y_pu\n"


def parse_csv(out):
    """The rows as tuples of numbers: every row whole, with all eight fields,
    and times that strictly increase."""
    assert out.startswith(CSV_HEADER), out[:100]
    assert out.endswith(b"\n"), "last row cut short: %r" % out[-100:]
    rows = []
    for line in out[len(CSV_HEADER):].decode().splitlines():
        fields = line.split(",")
        assert len(fields) == 8, line
        rows.append(tuple([float(fields[0])] + [int(f) for f in fields[1:6]] + [float(f) for f in fields[6:]]))
    times = [r[0] for r in rows]
    assert all(a < b for a, b in zip(times, times[1:])), "times do not strictly increase"
    return rows


def pole_tau(ky):
    return -1e-7 / math.log(ky / 2 ** 32)


def fit_step(rows, u):
    """Time constant and onset of y = u (1 - exp(-(t - onset) / tau)): a line
    through -ln(1 - y / u) against t, from 5% to 95% of the way, fitted again
    without the rows that stray (a board held up a few milliseconds)."""
    points = [(t, -math.log(1 - y / u)) for t, y in rows if 0.05 < y / u < 0.95]
    assert len(points) >= 2, "%d rows on the way from 5%% to 95%% of the step" % len(points)
    for _ in range(3):
        mean_t = statistics.fmean(t for t, _ in points)
        mean_z = statistics.fmean(z for _, z in points)
        slope = sum((t - mean_t) * (z - mean_z) for t, z in points) / sum((t - mean_t) ** 2 for t, _ in points)
        cut = mean_z - slope * mean_t
        strays = [abs(z - slope * t - cut) for t, z in points]
        limit = 4 * statistics.median(strays) + 1e-3
        points = [p for p, stray in zip(points, strays) if stray <= limit]
    return 1 / slope, -cut / slope


STEP_TAU = 0.1  # seconds: what "F 0.1" sets
STEP_U = 0.5


def judge_step(rows, held_up=0.0):
    """What a step response recorded at 1000 samples per second must show,
    on a busy machine too: the fitted time constant within 2.5% of the
    pole's, and the onset within 3 ms of the change, which came after the
    last row of history (long before the change's row if the sampler was
    held up then); a board held up `held_up` seconds applies the change from
    its last update, up to that much earlier. 90% of the rows within 0.005
    per unit of that response, and their median within 0.002."""
    after = [r for r in rows if r[0] >= 0]
    history = [r for r in rows if r[0] < 0]
    changed_after = history[-1][0] if history else 0.0
    tau = pole_tau(after[0][4])
    fitted, onset = fit_step([(r[0], r[7]) for r in after], STEP_U)
    assert abs(fitted / tau - 1) < 0.025, "time constant %.4f s, not %.4f s" % (fitted, tau)
    assert changed_after - max(0.003, held_up + 0.002) <= onset <= 0.003, \
        "y starts %.1f ms after the change (the last history row at %.1f ms)" % (onset * 1e3, changed_after * 1e3)
    errors = [abs(r[7] - STEP_U * (1 - math.exp(-max(0.0, r[0] - onset) / tau))) for r in after]
    within = sum(e <= 0.005 for e in errors) / len(errors)
    assert within >= 0.9 and statistics.median(errors) <= 0.002, \
        "%.0f%% of the rows within 0.005, median %.4f" % (within * 100, statistics.median(errors))


def run_scenarios(scenarios):
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
            return scenario.run((target, a.lpfboard, board))

    return 0 if run_table([s for s in scenarios if not a.only or a.only in s.name], check) else 1

