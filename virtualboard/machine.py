"""The virtual board as a machine on this machine's loopback: qemu-system-arm
booting the guest image, lpfboard serving its FPGA window live, and ssh
forwarded from one port of 127.0.0.1 to the board's port 22 (qemu's user
network with restrict=on: the board reaches nothing outside); and the
window files, and the processes, it leaves nothing of."""
import ctypes
import fcntl
import glob
import os
import secrets
import select
import signal
import socket
import stat
import subprocess
import time

import lpfmap

from . import image

ALIAS = "lpf-board"  # the board's name in ssh's configuration and known hosts
LOOPBACK = "127.0.0.1"
BOARD_SSH_PORT = 22
MEMORY = 3072  # MiB from physical 0x40000000, to the top of the 32-bit space
WINDOW_MIB = lpfmap.WINDOW_FILE_SIZE >> 20  # the top of that memory: the FPGA's window
WINDOW_MARK = lpfmap.WINDOW_FILE_MARK
KERNEL_KEEPS_TO = "mem=1G"  # the kernel's own memory, so the window stays the FPGA's
BOOT_TIMEOUT = 300
CONSOLE_KEPT = 8192  # the end of the serial console, for a failure's message
PR_SET_PDEATHSIG = 1


def say(text):
    """A message of the script's own on standard error (gone if it is closed)."""
    try:
        os.write(2, b"virtual-board: %s\n" % text.encode(errors="replace"))
    except OSError:
        pass


def ended(returncode):
    """How a child ended, in words."""
    if returncode < 0:
        return "killed by %s" % signal.Signals(-returncode).name
    return "ended with status %d" % returncode


def tied_to_us(how):
    """A child that dies with this process, even by SIGKILL."""
    parent = os.getpid()

    def prepare():
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, how)
        if os.getppid() != parent:
            os._exit(255)
    return prepare


def stop(process, how, grace=5):
    if process is None or process.poll() is not None:
        return
    process.send_signal(how)
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def answers(port, timeout=0.5):
    """Whether an ssh server greets on the loopback port: qemu accepts a
    connection there before the board listens, then drops it."""
    try:
        with socket.create_connection((LOOPBACK, port), timeout=timeout) as s:
            return s.recv(4).startswith(b"SSH-")
    except OSError:
        return False


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as qemu binds it
        try:
            s.bind((LOOPBACK, port))
            return True
        except OSError:
            return False


def free_port(avoid=()):
    while True:
        with socket.socket() as s:
            s.bind((LOOPBACK, 0))
            port = s.getsockname()[1]
        if port not in avoid:
            return port


def is_ours(path):
    """A window file of this user's, by its mark: (descriptor or None)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        status = os.fstat(descriptor)
        if stat.S_ISREG(status.st_mode) and status.st_uid == os.geteuid() and \
                os.pread(descriptor, len(WINDOW_MARK), 0) == WINDOW_MARK:
            return descriptor
    except OSError:
        pass
    os.close(descriptor)
    return None


def remove_window(path):
    """Removes a window file of this user's that no lpfboard holds."""
    descriptor = is_ours(path)
    if descriptor is None:
        return
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.unlink(path)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def window_directory():
    return "/dev/shm" if os.path.isdir("/dev/shm") else "/tmp"


def default_window(pid):
    """lpf-window-UID-PID-RANDOM: a name no other user can take first, so
    that none can block a boot by planting a file there."""
    return os.path.join(window_directory(), "lpf-window-%d-%d-%s" % (os.geteuid(), pid, secrets.token_hex(8)))


def window_pid(path):
    """The process id in a window file's name."""
    return int(os.path.basename(path).split("-")[3])


def clean_stale_windows():
    """Window files of boards whose keeper was killed with their lpfboard."""
    for path in glob.glob(os.path.join(window_directory(), "lpf-window-%d-*" % os.geteuid())):
        try:
            os.kill(window_pid(path), 0)
        except ProcessLookupError:
            remove_window(path)
        except (ValueError, IndexError, PermissionError):
            pass


class Machine:
    """One boot of the board, as children of this process that die with it:
    lpfboard serving the window file (none: RAM there instead), and qemu."""

    def __init__(self, qemu, guest, tools, state, port, window=None, lpfboard=None, memory=MEMORY,
                 append=KERNEL_KEEPS_TO, dtb=None, extra=()):
        self.qemu_program, self.guest, self.tools, self.state, self.port = qemu, guest, tools, state, port
        self.window, self.lpfboard_program = window, lpfboard
        self.memory, self.append, self.dtb, self.extra = memory, append, dtb, extra
        self.qemu = self.lpfboard = None
        self.console = bytearray()
        self.failure = None  # why the board stopped, once it has

    def start(self):
        if self.window:
            self.lpfboard = self._power_on()
            self._check_room()
        # In memory: nothing to leave behind, however the run ends.
        initrd = os.memfd_create("lpf-initrd", 0)
        try:
            with os.fdopen(os.dup(initrd), "wb") as out:
                image.initramfs(out, self.guest, self.tools, self.state.host_key, self.state.public_key(),
                                self.extra)
            self.qemu = subprocess.Popen(self._qemu_arguments("/dev/fd/%d" % initrd), stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, pass_fds=[initrd],
                                         start_new_session=True, preexec_fn=tied_to_us(signal.SIGKILL))
        finally:
            os.close(initrd)

    def _power_on(self):
        board = subprocess.Popen([self.lpfboard_program, "--window", self.window], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                 preexec_fn=tied_to_us(signal.SIGTERM))
        line = board.stdout.readline()
        if line != b"lpfboard: powered on %s\n" % self.window.encode():
            board.wait()
            raise RuntimeError("lpfboard did not power on: %s" % board.stderr.read().decode(errors="replace").strip())
        return board

    def _check_room(self):
        """The window file's pages all taken at the start (see below) need
        room on its file system: say so rather than have qemu fail."""
        taken = os.stat(self.window).st_blocks * 512
        room = os.statvfs(self.window)
        free = room.f_bavail * room.f_frsize
        if free < lpfmap.WINDOW_FILE_SIZE - taken:
            raise RuntimeError("no room for the window file %s: %d MiB needed, %d KiB free there" % (
                self.window, WINDOW_MIB, free >> 10))

    def _qemu_arguments(self, initrd):
        argv = [self.qemu_program, "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", str(self.memory),
                "-no-reboot", "-kernel", self.guest.kernel, "-initrd", initrd,
                "-append", " ".join(filter(None, [image.KERNEL_ARGUMENTS, self.append])),
                "-display", "none", "-monitor", "none", "-serial", "stdio",
                "-netdev", "user,id=net,restrict=on,hostfwd=tcp:%s:%d-:%d" % (LOOPBACK, self.port, BOARD_SSH_PORT),
                "-device", "virtio-net-device,netdev=net", "-device", "virtio-rng-device"]
        if self.window:
            # The window file is the top of physical memory, shared with
            # lpfboard; its pages are taken at the start, so that a full
            # file system is a message now rather than a SIGBUS later.
            argv += ["-object", "memory-backend-ram,id=low,size=%dM" % (self.memory - WINDOW_MIB),
                     "-object", "memory-backend-file,id=window,size=%dM,mem-path=%s,share=on,prealloc=on"
                     % (WINDOW_MIB, self.window),
                     "-numa", "node,nodeid=0,memdev=low", "-numa", "node,nodeid=1,memdev=window"]
        if self.dtb:
            argv += ["-dtb", self.dtb]
        return argv

    def watched(self):
        """What select should watch: each child's pipe ends when it does."""
        return [p.stdout for p in (self.qemu, self.lpfboard) if p and p.stdout and not p.stdout.closed]

    def serve(self, readable):
        """Takes what the children said; notes a child that stopped."""
        if self.qemu.stdout in readable:
            data = os.read(self.qemu.stdout.fileno(), 65536)
            if data:
                self.console += data
                del self.console[:-CONSOLE_KEPT]
            else:
                self.qemu.stdout.close()
                self.failure = self.failure or "the board stopped (qemu %s); its console ended with:\n%s" % (
                    ended(self.qemu.wait()), self.console_text())
        if self.lpfboard and self.lpfboard.stdout in readable and not os.read(self.lpfboard.stdout.fileno(), 4096):
            self.lpfboard.stdout.close()
            self.failure = self.failure or "lpfboard stopped (%s): %s" % (
                ended(self.lpfboard.wait()), self.lpfboard.stderr.read().decode(errors="replace").strip() or "no word")

    def console_text(self):
        return self.console.decode(errors="replace").replace("\r", "").strip()

    def wait_until_answering(self, wake=None, timeout=BOOT_TIMEOUT):
        """Returns once ssh answers; raises if the board stops first or does
        not answer in time, or (Interrupted) if `wake` has something."""
        deadline = time.monotonic() + timeout
        while not answers(self.port):
            if time.monotonic() > deadline:
                raise RuntimeError("the board did not answer ssh within %d s; its console ended with:\n%s"
                                   % (timeout, self.console_text()))
            readable = select.select(self.watched() + ([wake] if wake is not None else []), [], [], 0.1)[0]
            if wake is not None and wake in readable:
                raise Interrupted()
            self.serve(readable)
            if self.failure:
                raise RuntimeError(self.failure.replace("the board stopped", "the board did not boot", 1))

    def stop(self):
        stop(self.qemu, signal.SIGKILL)
        stop(self.lpfboard, signal.SIGTERM)  # powers off: the window file goes
        if self.window and self.lpfboard:
            remove_window(self.window)  # unless lpfboard died before it could


class Interrupted(Exception):
    """A signal came while waiting."""
