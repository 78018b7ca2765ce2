"""An ARM Linux guest for the board binaries: Debian's armhf multi-platform
kernel and a static busybox, an initramfs built without root, and the
qemu-system-arm command line of the machine. Shared by scripts/virtual-board
and the system test."""
import glob
import os
import re
import subprocess

KERNEL_ARGUMENTS = "console=ttyAMA0 panic=-1 quiet loglevel=1"


def qemu_machine(qemu, kernel, initrd, memory):
    """The virt machine (the 32-bit address map, below 4 GiB) with the
    kernel, the initramfs and a serial console, and nothing else."""
    return [qemu, "-M", "virt,highmem=off", "-cpu", "cortex-a15", "-m", str(memory), "-no-reboot",
            "-nic", "none", "-kernel", kernel, "-initrd", initrd]


def fetch(cache):
    """Debian's armhf multi-platform kernel and static busybox, downloaded
    once into `cache`: (kernel, busybox). Fails, never skips, when they
    cannot be had."""
    os.makedirs(cache, exist_ok=True)
    kernels = glob.glob(os.path.join(cache, "boot", "vmlinuz-*"))
    busybox = os.path.join(cache, "bin", "busybox")
    if kernels and os.path.exists(busybox):
        return kernels[0], busybox
    depends = subprocess.run(["apt-cache", "depends", "linux-image-armmp:armhf"], capture_output=True, text=True,
                             check=True).stdout
    found = re.search(r"Depends: (linux-image-[^\s:]+)", depends)
    assert found, "no armhf kernel package: run scripts/install-deps --all (it adds the armhf architecture)"
    for package in (found.group(1) + ":armhf", "busybox-static:armhf"):
        subprocess.run(["apt-get", "download", "-q", package], cwd=cache, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    for deb, wanted in ((found.group(1) + "_*.deb", "./boot/vmlinuz-*"), ("busybox-static_*.deb", "./bin/busybox")):
        archive = glob.glob(os.path.join(cache, deb))[0]
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", archive], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "--wildcards", wanted], stdin=tar.stdout, cwd=cache, check=True)
        assert tar.wait() == 0, archive
        os.unlink(archive)
    return glob.glob(os.path.join(cache, "boot", "vmlinuz-*"))[0], busybox


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


def initramfs(out, busybox, init, entries=()):
    """A gzipped initramfs, written to the open file `out`: busybox as
    /bin/busybox, the /init script, the mount points, a console, and
    `entries` (see directory and regular)."""
    with open(busybox, "rb") as f:
        files = [directory("bin"), regular("bin/busybox", f.read(), 0o755)]
    files += [directory(d) for d in ("dev", "proc", "sys", "tmp")]
    files += [("dev/console", 0o20600, b"", (5, 1)), regular("init", init.encode(), 0o755)]
    subprocess.run(["gzip", "-1"], input=cpio_newc(files + list(entries)), stdout=out, check=True)
