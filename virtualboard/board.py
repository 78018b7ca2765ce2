"""The virtual board as a machine on this machine's loopback: qemu-system-arm
booting the guest image, lpfboard serving its FPGA window live, and ssh
forwarded from one port of 127.0.0.1 to the board's port 22 (qemu's user
network with restrict=on: the board reaches nothing outside). A board is
booted for one command, or kept up in the background until it is halted;
this user's state (the key that logs in, the board's host key, its
known-hosts file and its port) makes it the same board from one boot to the
next."""
import contextlib
import ctypes
import fcntl
import glob
import json
import os
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
STOP_TIMEOUT = 30
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


def _write_atomically(path, text, mode=0o600):
    new = path + ".new"
    with open(os.open(new, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, mode), "w") as f:
        f.write(text)
    os.replace(new, path)


class State:
    """This user's board state, in a directory no one else may read: the key
    that logs in (made on first use), the board's host key and the
    known-hosts file that names it, the port; while a board is up, the lock
    its keeper holds and what it says of the board."""

    def __init__(self, directory):
        self.directory = directory
        self.key = self.path("id_ed25519")
        self.host_key = self.path("host_key")
        self.known_hosts = self.path("known_hosts")

    @staticmethod
    def default_directory():
        base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
        return os.path.join(base, "lpf-virtual-board")

    def path(self, name):
        return os.path.join(self.directory, name)

    def prepare(self):
        """The directory and the keys, made once."""
        os.makedirs(self.directory, mode=0o700, exist_ok=True)
        status = os.lstat(self.directory)
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.geteuid() or status.st_mode & 0o077:
            raise RuntimeError("%s must be a directory of this user's that no one else can use" % self.directory)
        with self._locked("keys.lock"):
            for key, comment in ((self.key, "the virtual board's user key"), (self.host_key, ALIAS)):
                if not os.path.exists(key):
                    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", key],
                                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            if not os.path.exists(self.known_hosts):
                with open(self.host_key + ".pub") as f:
                    kind, key = f.read().split()[:2]
                _write_atomically(self.known_hosts, "%s %s %s\n" % (ALIAS, kind, key))
        return self

    @contextlib.contextmanager
    def _locked(self, name):
        descriptor = os.open(self.path(name), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            yield
        finally:
            os.close(descriptor)

    def public_key(self):
        with open(self.key + ".pub", "rb") as f:
            return f.read()

    def saved_port(self):
        try:
            with open(self.path("port")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def port(self):
        """The board's port: the one it had while that is free, else a new
        one, kept from then on. (port, the one it replaced or None)."""
        saved = self.saved_port()
        if saved and port_is_free(saved):
            return saved, None
        port = free_port()
        _write_atomically(self.path("port"), "%d\n" % port)
        return port, saved

    def ssh_options(self, port):
        """ssh's options for the board, as the Host block gives them."""
        return ["-o%s=%s" % (name, value) for name, value in self.ssh_settings(port)]

    def ssh_settings(self, port):
        return [("HostName", LOOPBACK), ("Port", str(port)), ("User", "root"), ("IdentityFile", self.key),
                ("IdentitiesOnly", "yes"), ("UserKnownHostsFile", self.known_hosts), ("HostKeyAlias", ALIAS),
                ("StrictHostKeyChecking", "yes"), ("PasswordAuthentication", "no")]

    def ssh_config(self, port):
        """The Host block for ~/.ssh/config."""
        lines = ["Host " + ALIAS]
        for name, value in self.ssh_settings(port):
            lines.append("  %s %s" % (name, '"%s"' % value if " " in value else value))
        return "\n".join(lines) + "\n"

    # The board kept up: its keeper holds the lock exclusively for as long
    # as it runs; a look takes it shared, so that looks never hide a board
    # from one another.
    def take_lock(self):
        """The lock, held (a descriptor), or None if it is held elsewhere."""
        descriptor = os.open(self.path("board.lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return descriptor
        except BlockingIOError:
            os.close(descriptor)
            return None

    def keeper_runs(self):
        try:
            descriptor = os.open(self.path("board.lock"), os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
        except FileNotFoundError:
            return False
        try:
            fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        finally:
            os.close(descriptor)

    def describe(self, **board):
        _write_atomically(self.path("board.json"), json.dumps(board) + "\n")

    def board(self):
        """What the keeper of a board kept up says of it ({"pid", "port",
        "window", "up"}), or None when none runs."""
        if not self.keeper_runs():
            return None
        try:
            with open(self.path("board.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {"up": False}  # its keeper has not said yet

    def ended(self):
        """Why the last board kept up stopped, if not halted."""
        try:
            with open(self.path("ended")) as f:
                return f.read().strip() or None
        except OSError:
            return None


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
    return os.path.join(window_directory(), "lpf-window-%d-%d" % (os.geteuid(), pid))


def clean_stale_windows():
    """Window files of boards whose keeper was killed with their lpfboard."""
    for path in glob.glob(os.path.join(window_directory(), "lpf-window-%d-*" % os.geteuid())):
        try:
            os.kill(int(path.rsplit("-", 1)[1]), 0)
        except ProcessLookupError:
            remove_window(path)
        except (ValueError, PermissionError):
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


def keep_up(state, lock, machine, report):
    """The keeper of a board kept up, in a session of its own: boots it, says
    on `report` when ssh answers (or why it failed), and keeps it until it is
    halted (SIGTERM), its qemu ends (poweroff on the board) or its lpfboard
    stops; then powers it off and leaves nothing but the reason."""
    wake_read, wake_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(wake_write)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda *_: None)
    reason = None
    try:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(state.path("ended"))
        state.describe(pid=os.getpid(), port=machine.port, window=machine.window, up=False)
        machine.start()
        machine.wait_until_answering(wake_read)
        state.describe(pid=os.getpid(), port=machine.port, window=machine.window, up=True)
        os.write(report, b"up\n")
        os.close(report)
        report = None
        while not machine.failure:
            readable = select.select(machine.watched() + [wake_read], [], [])[0]
            if wake_read in readable:
                break
            machine.serve(readable)
        reason = machine.failure
    except Interrupted:
        pass
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        reason = str(e)
    finally:
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)  # the clean-up runs to its end
        machine.stop()
        if reason:
            _write_atomically(state.path("ended"), reason + "\n")
            if report is not None:
                with contextlib.suppress(OSError):
                    os.write(report, reason.encode(errors="replace") + b"\n")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(state.path("board.json"))
        os.close(lock)


def bring_up(state, make_machine):
    """Boots a board kept up by a keeper in the background, and returns once
    ssh answers: None, or why it did not come up. `make_machine(pid)` gives
    the Machine for the keeper's process id."""
    lock = state.take_lock()
    if lock is None:
        return wait_until_up(state)
    report_read, report_write = os.pipe2(os.O_CLOEXEC)
    keeper = os.fork()
    if keeper == 0:
        try:
            os.close(report_read)
            os.setsid()
            null = os.open(os.devnull, os.O_RDWR)
            log = os.open(state.path("keeper.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
            for fd, source in ((0, null), (1, null), (2, log)):
                os.dup2(source, fd)
            keep_up(state, lock, make_machine(os.getpid()), report_write)
        finally:
            os._exit(0)
    os.close(lock)  # the keeper holds it now
    os.close(report_write)
    try:
        said = b""
        while True:
            chunk = os.read(report_read, 65536)
            if not chunk:
                break
            said += chunk
    except KeyboardInterrupt:
        os.kill(keeper, signal.SIGTERM)
        os.waitpid(keeper, 0)
        raise
    finally:
        os.close(report_read)
    if said == b"up\n":
        return None
    os.waitpid(keeper, 0)
    return said.decode(errors="replace").strip() or "the board's keeper stopped (see %s)" % state.path("keeper.log")


def wait_until_up(state, timeout=BOOT_TIMEOUT):
    """A board kept up, perhaps still booting: None once ssh answers there,
    else why not."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        board = state.board()
        if board is None:
            return state.ended() or "the board stopped while booting"
        if board.get("up") and answers(board["port"]):
            return None
        time.sleep(0.1)
    return "the board did not answer ssh within %d s" % timeout


def halt(state):
    """Powers off the board kept up, if there is one; True once it is off."""
    board = state.board()
    if board is None:
        return True
    if board.get("pid"):
        with contextlib.suppress(ProcessLookupError):
            os.kill(board["pid"], signal.SIGTERM)
    deadline = time.monotonic() + STOP_TIMEOUT
    while state.keeper_runs():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True
