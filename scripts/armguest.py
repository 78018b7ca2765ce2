"""An ARM Linux guest for the board binaries, and the protocol by which a
command runs in it: Debian's armhf multi-platform kernel and a static
busybox, an initramfs built without root, the qemu-system-arm command line of
the machine, the guest's init preamble, and guestrelay's ports and records.
Shared by scripts/virtual-board and the system test.

A command runs under guestrelay (guestrelay/), whose standard input, output
and error, and control, are virtio-serial ports of their own, apart from the
serial console (which keeps the kernel's messages):

  in       host to guest: the command's standard input, passed in as the
           command reads it; the host closing its end is the input's end
  out, err guest to host: the command's output and error, as it writes them;
           the host closing its end closes the command's output
  control  both ways, one line each: "started"; "exit STATUS OUT ERR" once
           the command has ended and OUT and ERR bytes were sent on out and
           err; from the host "signal N" and "size ROWS COLUMNS"

Several commands may run in turn on the same ports: each exit record's counts
say where its output ends."""
import glob
import os
import re
import shutil
import subprocess
from dataclasses import dataclass

KERNEL_ARGUMENTS = "console=ttyAMA0 panic=-1 quiet loglevel=1"
# What the guest needs of the kernel package beyond the kernel: the transport
# of qemu's virt machine and the serial ports, both modules in Debian's
# armhf kernel (neither depends on another module).
MODULES = ("drivers/virtio/virtio_mmio.ko", "drivers/char/virtio_console.ko")
# guestrelay's ports, by number on the one virtio-serial device (0 is kept
# for a console): the guest finds them as /dev/vport0pNUMBER.
PORTS = {"in": 1, "out": 2, "err": 3, "control": 4}
RELAY = "/bin/guestrelay"

PREAMBLE = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
%s
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
""" % "\n".join("insmod /lib/modules/" + os.path.basename(m) for m in MODULES)


@dataclass
class Guest:
    kernel: str
    busybox: str
    modules: list  # in the order they load


def qemu_machine(qemu, kernel, initrd, memory):
    """The virt machine (the 32-bit address map, below 4 GiB) with the
    kernel, the initramfs and a serial console, and nothing else."""
    return [qemu, "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", str(memory), "-no-reboot",
            "-nic", "none", "-kernel", kernel, "-initrd", initrd]


def qemu_ports(chardevs):
    """qemu's arguments for guestrelay's ports: `chardevs` gives, for each
    name of PORTS, the rest of its -chardev option (say "socket,fd=5" or
    "file,path=out")."""
    argv = ["-device", "virtio-serial-device"]
    for name, number in PORTS.items():
        argv += ["-chardev", "%s,id=lpf-%s" % (chardevs[name], name),
                 "-device", "virtserialport,chardev=lpf-%s,name=lpf.%s,nr=%d" % (name, name, number)]
    return argv


def port(name):
    return "/dev/vport0p%d" % PORTS[name]


def relay_command(command, stdin=True, terminal=None, closed=(), redirect=""):
    """The guest's shell line that runs `command` (a list of words, quoted
    already) under guestrelay: its input from the in port (or the relay's
    own, without `stdin`, as `redirect` gives it), on a terminal of (rows, columns) if
    `terminal`, with the standard descriptors `closed` closed. If the relay
    fails, the guest powers off, and its console says why."""
    words = [RELAY, "--out", port("out"), "--err", port("err"), "--control", port("control")]
    if stdin:
        words += ["--in", port("in")]
    if terminal:
        words += ["--terminal", "%dx%d" % terminal]
    for fd in closed:
        words += ["--close", str(fd)]
    return " ".join(words + ["--"] + list(command) + ([redirect] if redirect else []) + ["||", "poweroff", "-f"])


def parse_record(line):
    """(status, out bytes, err bytes) of an exit record line, or None."""
    found = re.fullmatch(rb"exit (\d+) (\d+) (\d+)", line.strip())
    return tuple(int(n) for n in found.groups()) if found else None


def results(control, out, err):
    """What the commands of a boot sent, from the whole of each port's
    bytes: [(status, stdout, stderr)], in the order they ran."""
    found = []
    out_at = err_at = 0
    for line in control.split(b"\n"):
        record = parse_record(line)
        if record:
            status, out_bytes, err_bytes = record
            found.append((status, out[out_at:out_at + out_bytes], err[err_at:err_at + err_bytes]))
            out_at += out_bytes
            err_at += err_bytes
    return found


def _complete(cache):
    kernels = glob.glob(os.path.join(cache, "boot", "vmlinuz-*"))
    busybox = os.path.join(cache, "bin", "busybox")
    modules = [os.path.join(cache, "modules", os.path.basename(m)) for m in MODULES]
    if kernels and all(os.path.exists(p) for p in [busybox] + modules):
        return Guest(kernels[0], busybox, modules)
    return None


def _apt(argv, cwd):
    done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(argv), (done.stderr or done.stdout).strip()))
    return done.stdout


def fetch(cache):
    """Debian's armhf multi-platform kernel with the modules of MODULES,
    and static busybox, downloaded once into `cache`. Fails, never skips,
    when they cannot be had, with what apt said."""
    os.makedirs(cache, exist_ok=True)
    guest = _complete(cache)
    if guest:
        return guest
    for stale in ("boot", "lib", "modules"):  # a kernel without its modules, say
        shutil.rmtree(os.path.join(cache, stale), ignore_errors=True)
    depends = _apt(["apt-cache", "depends", "linux-image-armmp:armhf"], cache)
    found = re.search(r"Depends: (linux-image-[^\s:]+)", depends)
    if not found:
        raise RuntimeError("no armhf kernel package: run scripts/install-deps --all (it adds the armhf architecture)")
    for package in (found.group(1) + ":armhf", "busybox-static:armhf"):
        _apt(["apt-get", "download", "-q", package], cache)
    wanted = {found.group(1) + "_*.deb": ["./boot/vmlinuz-*"] + ["./lib/modules/*/kernel/" + m for m in MODULES],
              "busybox-static_*.deb": ["./bin/busybox"]}
    for deb, members in wanted.items():
        archive = glob.glob(os.path.join(cache, deb))[0]
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", archive], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "--wildcards"] + members, stdin=tar.stdout, cwd=cache, check=True)
        if tar.wait() != 0:
            raise RuntimeError("cannot unpack " + archive)
        os.unlink(archive)
    os.makedirs(os.path.join(cache, "modules"), exist_ok=True)
    for module in MODULES:
        os.replace(glob.glob(os.path.join(cache, "lib", "modules", "*", "kernel", module))[0],
                   os.path.join(cache, "modules", os.path.basename(module)))
    shutil.rmtree(os.path.join(cache, "lib"))
    return _complete(cache)


def cpio_newc(entries):
    """A cpio archive (newc) of (path, mode, data or link target, rdev) as
    root-owned files, written without root and without the cpio tool."""
    out = bytearray()

    def pad():
        out.extend(b"\0" * (-len(out) % 4))

    for ino, (path, mode, data, rdev) in enumerate(entries + [("TRAILER!!!", 0, b"", (0, 0))], start=1):
        name = path.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name), 0]
        out.extend(b"070701" + b"".join(b"%08X" % f for f in fields) + name)
        pad()
        out.extend(data)
        pad()
    return bytes(out)


def directory(path):
    return (path, 0o40755, b"", (0, 0))


def regular(path, data, mode=0o644):
    return (path, 0o100000 | mode, data, (0, 0))


def program(path, source):
    with open(source, "rb") as f:
        return regular(path, f.read(), 0o755)


def initramfs(out, guest, relay, init, entries=()):
    """A gzipped initramfs, written to the open file `out`: busybox as
    /bin/busybox, the modules, guestrelay (the file `relay`), the /init
    script (which starts with PREAMBLE), the mount points, a console, and
    `entries` (see directory and regular)."""
    files = [directory("bin"), program("bin/busybox", guest.busybox), program(RELAY[1:], relay),
             directory("lib"), directory("lib/modules")]
    files += [program("lib/modules/" + os.path.basename(m), m) for m in guest.modules]
    files += [directory(d) for d in ("dev", "proc", "sys", "tmp")]
    files += [("dev/console", 0o20600, b"", (5, 1)), regular("init", init.encode(), 0o755)]
    subprocess.run(["gzip", "-1"], input=cpio_newc(files + list(entries)), stdout=out, check=True)
