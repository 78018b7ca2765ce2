"""Runs the tools a user runs, each against a stand-in board of its own.

host: the host executables, with the test preload library sending the open of
      the memory device to the stand-in file.
board: the static ARM executables under `qemu-arm -L PREFIX`, where
      PREFIX/dev/mem is the stand-in, so the unmodified binary opens it as
      "/dev/mem".
"""
import os
import select
import struct
import subprocess
import tempfile
import time

WINDOW_END = 1 << 32
LW_BASE = 0xFF200000
REGISTERS = {"led": 0x00, "u": 0x10, "ku": 0x20, "ky": 0x30, "y": 0x40}
PAGE = 4096
TIMEOUT = 20

BANNER = (b"ALT_STM_OFST = 0xFC000000\n"
          b"ALT_LWFPGASLVS_OFST = 0xFF200000\n"
          b"LED_BASE = 0x0\n"
          b"(ALT_LWFPGASLVS_OFST + LED_BASE) & HW_REGS_MASK = 0x03200000\n"
          b"\n")
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


def write_registers(path, regs):
    with open(path, "r+b") as f:
        for name, value in regs.items():
            f.seek(LW_BASE + REGISTERS[name])
            f.write(struct.pack("<I", u32(value)))


class Target:
    def __init__(self, mode, programs, device=None, preload=None, qemu=None):
        self.mode = mode
        self.programs = programs
        if mode == "board":
            device = "/dev/mem"
        elif not device:
            device = "/dev/shm/lpf-board-%d" % os.geteuid()  # each user's own stand-in
        self.device = device
        self.preload = preload
        self.qemu = qemu

    def open_error(self):
        return b'ERROR: could not open "%s"...\n' % self.device.encode()


FULL_FS_SIZE = 1 << 20
NOBODY = 65534


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
        root = self.dir.name
        self.mounted = None
        if kind in ("full", "onepage"):
            self.mounted = os.path.join(root, "full")
            os.mkdir(self.mounted)
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % FULL_FS_SIZE, "lpf-e2e", self.mounted],
                           check=True)
            root = self.mounted
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
            with open(os.path.join(root, "filler"), "wb") as f:
                try:
                    f.write(b"\1" * FULL_FS_SIZE)
                except OSError:
                    pass
                if kind == "onepage":
                    f.truncate(os.fstat(f.fileno()).st_size - PAGE)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", self.mounted], check=True)
        self.dir.cleanup()

    def registers(self):
        return read_registers(self.data)

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
        return Session(subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=full_env))


class Session:
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


def run_table(rows, check):
    """Runs check(row) for every row; prints a line per failure and the total."""
    passed = failed = skipped = 0
    for row in rows:
        try:
            if check(row) is False:
                skipped += 1
                print("skipped: %s" % row.name)
                continue
            passed += 1
        except (AssertionError, subprocess.TimeoutExpired) as e:
            failed += 1
            print("FAILED: %s\n  %s" % (row.name, str(e).replace("\n", "\n  ")))
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return failed == 0
