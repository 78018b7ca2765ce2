"""The virtual board as a machine on this machine's loopback: qemu-system-arm
booting the guest image, lpfboard serving its FPGA window live, and ssh
forwarded from one loopback port to the board's port 22 (qemu's user
network with restrict=on: the board reaches nothing outside)."""
import dataclasses
import json
import os
import select
import signal
import subprocess
import time
from dataclasses import dataclass

from . import image, processes, windows
from .messages import ended
from .ports import LOOPBACK, answers
from .signals import Interrupted

BOARD_SSH_PORT = 22
MEMORY = 3072  # MiB from image.RAM_BASE to the top of the 32-bit space
WINDOW_MIB = windows.SIZE >> 20  # the top of that memory: the FPGA's window
KERNEL_KEEPS_TO = "mem=1G"  # the kernel's own memory, so the window stays the FPGA's
BOOT_TIMEOUT = 300
CONSOLE_KEPT = 8192  # the end of the serial console, for a failure's message


def machine_options(memory):
    """qemu's machine: its board, processor and memory (MiB)."""
    return ["-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", str(memory)]


@dataclass
class Boot:
    """What one boot of the board takes: lpfboard serving `window` (None:
    RAM there instead), ssh on the loopback `port`."""
    qemu: str
    guest: image.Guest
    tools: dict  # {name: board binary}, in /usr/sbin
    port: int
    window: str = None
    lpfboard: str = None
    memory: int = MEMORY
    append: str = KERNEL_KEEPS_TO
    dtb: str = None  # qemu's own device tree, if None

    def to_json(self):
        return json.dumps(dataclasses.asdict(self))

    @staticmethod
    def from_json(text):
        fields = json.loads(text)
        return Boot(**dict(fields, guest=image.Guest(**fields["guest"])))


def qemu_arguments(boot, initrd):
    """qemu's command line for the boot, with the initramfs at `initrd`."""
    argv = [boot.qemu, *machine_options(boot.memory), "-no-reboot", "-kernel", boot.guest.kernel,
            "-initrd", initrd, "-append", " ".join(filter(None, [image.KERNEL_ARGUMENTS, boot.append])),
            "-display", "none", "-monitor", "none", "-serial", "stdio",
            "-netdev", "user,id=net,restrict=on,hostfwd=tcp:%s:%d-:%d" % (LOOPBACK, boot.port, BOARD_SSH_PORT),
            "-device", "virtio-net-device,netdev=net", "-device", "virtio-rng-device"]
    if boot.window:
        # The window file is the top of physical memory, shared with
        # lpfboard; its pages are taken at the start, so that a full
        # file system is a message now rather than a SIGBUS later.
        argv += ["-object", "memory-backend-ram,id=low,size=%dM" % (boot.memory - WINDOW_MIB),
                 "-object", "memory-backend-file,id=window,size=%dM,mem-path=%s,share=on,prealloc=on"
                 % (WINDOW_MIB, boot.window),
                 "-numa", "node,nodeid=0,memdev=low", "-numa", "node,nodeid=1,memdev=window"]
    if boot.dtb:
        argv += ["-dtb", boot.dtb]
    return argv


class Machine:
    """One boot of the board, as children of this process that die with it:
    lpfboard serving the window file, and qemu."""

    def __init__(self, boot, state):
        self.boot, self.state = boot, state
        self.port, self.window = boot.port, boot.window
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
                image.initramfs(out, self.boot.guest, self.boot.tools, self.state.host_key, self.state.public_key())
            self.qemu = subprocess.Popen(qemu_arguments(self.boot, "/dev/fd/%d" % initrd), stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, pass_fds=[initrd],
                                         start_new_session=True, preexec_fn=processes.tied_to_us(signal.SIGKILL))
        finally:
            os.close(initrd)

    def _power_on(self):
        board = subprocess.Popen([self.boot.lpfboard, "--window", self.window], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                 preexec_fn=processes.tied_to_us(signal.SIGTERM))
        line = board.stdout.readline()
        if line != windows.READY.format(self.window).encode():
            board.wait()
            raise RuntimeError("lpfboard did not power on: %s" % board.stderr.read().decode(errors="replace").strip())
        return board

    def _check_room(self):
        """The window file's pages all taken at the start (see
        qemu_arguments) need room on its file system: say so rather than
        have qemu fail."""
        taken = os.stat(self.window).st_blocks * 512
        room = os.statvfs(self.window)
        free = room.f_bavail * room.f_frsize
        if free < windows.SIZE - taken:
            raise RuntimeError("no room for the window file %s: %d MiB needed, %d KiB free there" % (
                self.window, WINDOW_MIB, free >> 10))

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
        processes.stop(self.qemu, signal.SIGKILL)
        processes.stop(self.lpfboard, signal.SIGTERM)  # powers off: the window file goes
        if self.window and self.lpfboard:
            windows.remove_window(self.window)  # unless lpfboard died before it could
