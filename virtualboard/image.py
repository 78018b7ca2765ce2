"""The virtual board's guest image: Debian's armhf multi-platform kernel, a
static busybox, Debian's armhf dropbear (the ssh server) and OpenSSH's SFTP
server (which the host's scp speaks) with the libraries they need, all
downloaded once into a cache; and the initramfs the board boots, built
without root: those, the files of guest/ (init, start-up, accounts, the
session helper), the board's tools and this user's keys."""
import glob
import gzip
import lzma
import os
import re
import shutil
import struct
import subprocess
import zlib
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST_FILES = os.path.join(HERE, "guest")

KERNEL_ARGUMENTS = "console=ttyAMA0 panic=-1 quiet loglevel=1"
# The modules of qemu's virt machine's devices in Debian's armhf kernel, in
# the order they load: the transport, the network card (with the two it
# needs) and the random number source (entropy for ssh from the start).
MODULES = ("drivers/virtio/virtio_mmio.ko", "net/core/failover.ko", "drivers/net/net_failover.ko",
           "drivers/net/virtio_net.ko", "drivers/char/hw_random/virtio-rng.ko")
# Debian's armhf packages of the board's programs and of the libraries they
# load (their Depends, down to what is not already there).
PACKAGES = ("busybox-static", "dropbear-bin", "openssh-sftp-server", "libc6", "libcrypt1", "libtomcrypt1",
            "libtommath1", "libgmp10", "zlib1g")
PROGRAMS = ("usr/sbin/dropbear", "usr/bin/dropbearconvert", "usr/lib/openssh/sftp-server")
LINKS = {"usr/lib/sftp-server": "openssh/sftp-server"}  # where Debian's dropbear looks for it
LIBRARY_PATH = ("lib/arm-linux-gnueabihf", "usr/lib/arm-linux-gnueabihf", "lib")
HOST_KEY = "etc/dropbear/ssh_host_ed25519_key"  # OpenSSH's format; the start-up converts it
TOOLS_DIRECTORY = "usr/sbin"
COMPLETE = "complete"  # in the cache: what was fetched, once all of it is there


# Booting the kernel decompressed once here, instead of letting it
# decompress itself under emulation at every boot (seconds of it).
RAM_BASE = 0x40000000  # qemu's virt machine: where its RAM starts
XZ_MAGIC = b"\xfd7zXZ\x00"
# The kernel's first instructions find its physical base from where it runs:
# `adr_l r8, _text` ends with `add r8, r8, pc`, then `sub r8, r8, #TEXT_OFFSET`.
ADD_R8_PC = 0xE088800F
SUB_R8_IMMEDIATE, IMMEDIATE_MASK = 0xE2488000, 0xFFFFF000
HEAD_WORDS = 256
UIMAGE_MAGIC = 0x27051956
UIMAGE_LINUX, UIMAGE_ARM, UIMAGE_KERNEL, UIMAGE_UNCOMPRESSED = 5, 2, 2, 0


@dataclass
class Guest:
    kernel: str
    root: str  # the packages' files, unpacked
    modules: list  # in the order they load


def _apt(argv, cwd):
    done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(argv), (done.stderr or done.stdout).strip()))
    return done.stdout


def _complete(cache):
    try:
        with open(os.path.join(cache, COMPLETE)) as f:
            if f.read().split() != list(PACKAGES + MODULES):
                return None
    except FileNotFoundError:
        return None
    kernels = glob.glob(os.path.join(cache, "boot", "vmlinuz-*"))
    modules = [os.path.join(cache, "modules", os.path.basename(m)) for m in MODULES]
    return Guest(booted_kernel(kernels[0]), os.path.join(cache, "root"), modules) if kernels else None


def arm_immediate(word):
    """The value of an ARM data-processing instruction's immediate."""
    rotate, value = (word >> 8) & 0xF, word & 0xFF
    return ((value >> (2 * rotate)) | (value << (32 - 2 * rotate))) & 0xFFFFFFFF


def text_offset(kernel):
    """How far above the start of RAM the decompressed kernel must lie, as
    its own first instructions say; None unless they say it exactly once."""
    words = struct.unpack_from("<%dI" % HEAD_WORDS, kernel)
    found = [word for before, word in zip(words, words[1:])
             if before == ADD_R8_PC and word & IMMEDIATE_MASK == SUB_R8_IMMEDIATE]
    return arm_immediate(found[0]) if len(found) == 1 else None


def decompressed(zimage):
    """The kernel inside a self-decompressing one: the xz stream that ends
    where the zImage says how long the kernel is (its size word follows the
    stream); None if there is none."""
    start = zimage.find(XZ_MAGIC)
    while start >= 0:
        stream = lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
        try:
            kernel = stream.decompress(zimage[start:])
            if stream.eof and len(stream.unused_data) >= 4 and \
                    struct.unpack_from("<I", stream.unused_data)[0] == len(kernel) >= 4 * HEAD_WORDS:
                return kernel
        except lzma.LZMAError:
            pass
        start = zimage.find(XZ_MAGIC, start + 1)
    return None


def uimage(kernel, load):
    """The kernel in a uImage that qemu loads at `load` and boots as Linux."""
    header = struct.pack(">7I4B32s", UIMAGE_MAGIC, 0, 0, len(kernel), load, load, zlib.crc32(kernel),
                         UIMAGE_LINUX, UIMAGE_ARM, UIMAGE_KERNEL, UIMAGE_UNCOMPRESSED, b"lpf-board")
    return header[:4] + struct.pack(">I", zlib.crc32(header)) + header[8:] + kernel


def booted_kernel(zimage):
    """The kernel qemu boots: the downloaded one decompressed once, kept
    beside it as a uImage; the downloaded one itself where that cannot be
    made (another compression, a head not understood)."""
    made = os.path.join(os.path.dirname(zimage), "uImage-" + os.path.basename(zimage).split("-", 1)[1])
    if os.path.exists(made):
        return made
    with open(zimage, "rb") as f:
        kernel = decompressed(f.read())
    offset = text_offset(kernel) if kernel else None
    if offset is None:
        return zimage
    new = "%s.%d.new" % (made, os.getpid())
    with open(new, "wb") as f:
        f.write(uimage(kernel, RAM_BASE + offset))
    os.replace(new, made)
    return made


def _unpack(archive, into, members=()):
    tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", archive], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "--wildcards", *members], stdin=tar.stdout, cwd=into, check=True)
    if tar.wait() != 0:
        raise RuntimeError("cannot unpack " + archive)


def fetch(cache):
    """The guest's kernel, modules and packages, downloaded once into
    `cache` (again if the lists above change). Fails, never skips, when they
    cannot be had, with what apt said."""
    os.makedirs(cache, exist_ok=True)
    guest = _complete(cache)
    if guest:
        return guest
    for stale in ("boot", "lib", "modules", "root", "downloads", COMPLETE):
        shutil.rmtree(os.path.join(cache, stale), ignore_errors=True)
    downloads = os.path.join(cache, "downloads")
    os.makedirs(downloads)
    found = re.search(r"Depends: (linux-image-[^\s:]+)", _apt(["apt-cache", "depends", "linux-image-armmp:armhf"],
                                                                downloads))
    if not found:
        raise RuntimeError("no armhf kernel package: run scripts/install-deps --virtual-board "
                           "(it adds the armhf architecture)")
    _apt(["apt-get", "download", "-q", found.group(1) + ":armhf"] + [p + ":armhf" for p in PACKAGES], downloads)
    _unpack(glob.glob(os.path.join(downloads, "linux-image-*.deb"))[0], cache,
            ["./boot/vmlinuz-*"] + ["./lib/modules/*/kernel/" + m for m in MODULES])
    os.makedirs(os.path.join(cache, "modules"))
    for module in MODULES:
        os.replace(glob.glob(os.path.join(cache, "lib", "modules", "*", "kernel", module))[0],
                   os.path.join(cache, "modules", os.path.basename(module)))
    shutil.rmtree(os.path.join(cache, "lib"))
    os.makedirs(os.path.join(cache, "root"))
    for package in PACKAGES:
        _unpack(glob.glob(os.path.join(downloads, package + "_*.deb"))[0], os.path.join(cache, "root"))
    shutil.rmtree(downloads)
    with open(os.path.join(cache, COMPLETE), "w") as f:
        f.write("\n".join(PACKAGES + MODULES) + "\n")
    return _complete(cache)


def _readelf(option, path):
    return subprocess.run(["arm-linux-gnueabihf-readelf", option, path], capture_output=True, text=True,
                          check=True).stdout


def _needed(path):
    """The shared libraries an ARM executable or library names."""
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", _readelf("-d", path))


def _interpreters(root):
    """The dynamic loaders the programs name, as paths in the guest."""
    found = set()
    for program_path in PROGRAMS:
        found.update(re.findall(r"program interpreter: /([^\]]+)\]", _readelf("-l", os.path.join(root, program_path))))
    return sorted(found)


def _libraries(root):
    """The dynamic loader and every library the programs load, as paths in
    the guest: found where the loader looks, in the unpacked packages."""
    wanted, seen = [], set()
    pending = [os.path.join(root, p) for p in PROGRAMS]
    while pending:
        for name in _needed(pending.pop()):
            if name in seen:
                continue
            seen.add(name)
            places = [os.path.join(d, name) for d in LIBRARY_PATH if os.path.exists(os.path.join(root, d, name))]
            if not places:
                raise RuntimeError("%s, which the board's ssh server needs, is in none of the packages" % name)
            wanted.append(places[0])
            pending.append(os.path.realpath(os.path.join(root, places[0])))
    return wanted


@dataclass
class Entry:
    """A root-owned file of the initramfs: `data` is a link's target."""
    path: str
    mode: int  # with its type
    data: bytes = b""
    device: tuple = (0, 0)  # (major, minor) of a device file


TRAILER = Entry("TRAILER!!!", 0)


def cpio_newc(entries):
    """A cpio archive (newc) of the entries, written without root and
    without the cpio tool."""
    out = bytearray()

    def pad():
        out.extend(b"\0" * (-len(out) % 4))

    for ino, entry in enumerate(entries + [TRAILER], start=1):
        name = entry.path.encode() + b"\0"
        fields = [ino, entry.mode, 0, 0, 1, 0, len(entry.data), 0, 0, *entry.device, len(name), 0]
        out.extend(b"070701" + b"".join(b"%08X" % f for f in fields) + name)
        pad()
        out.extend(entry.data)
        pad()
    return bytes(out)


def directory(path, mode=0o755):
    return Entry(path, 0o40000 | mode)


def regular(path, data, mode=0o644):
    return Entry(path, 0o100000 | mode, data)


def link(path, target):
    return Entry(path, 0o120777, target.encode())


def program(path, source):
    with open(source, "rb") as f:
        return regular(path, f.read(), 0o755)


def _parents(paths):
    """Every directory above the paths, parents first."""
    found = []
    for path in paths:
        parts = path.split("/")[:-1]
        for end in range(1, len(parts) + 1):
            parent = "/".join(parts[:end])
            if parent not in found:
                found.append(parent)
    return found


def _guest_files():
    files = []
    for top, _, names in os.walk(GUEST_FILES):
        for name in sorted(names):
            source = os.path.join(top, name)
            mode = 0o755 if os.access(source, os.X_OK) else 0o644
            with open(source, "rb") as f:
                files.append(regular(os.path.relpath(source, GUEST_FILES), f.read(), mode))
    return files


def initramfs(out, guest, tools, host_key, authorized_key):
    """The gzipped initramfs, written to the open file `out`: busybox as
    init, the guest files, the ssh server, the modules, the tools ({name:
    path}) in /usr/sbin, the host key (OpenSSH's private key file) and the
    one key that may log in as root."""
    root = guest.root
    files = [program("bin/busybox", os.path.join(root, "bin", "busybox")), link("bin/sh", "busybox"),
             link("init", "bin/busybox")]
    files += _guest_files()
    files += [program(p, os.path.join(root, p)) for p in PROGRAMS]
    for path in _libraries(root):
        files.append(program(path, os.path.realpath(os.path.join(root, path))))
    for path in _interpreters(root):
        place = os.path.join(root, path)
        files.append(link(path, os.readlink(place)) if os.path.islink(place) else program(path, place))
    files += [link(path, target) for path, target in LINKS.items()]
    files.append(regular("etc/modules", "".join(os.path.basename(m)[:-3] + "\n" for m in MODULES).encode()))
    files += [program("lib/modules/" + os.path.basename(m), m) for m in guest.modules]
    files += [program("%s/%s" % (TOOLS_DIRECTORY, name), path) for name, path in tools.items()]
    with open(host_key, "rb") as f:
        files.append(regular(HOST_KEY, f.read(), 0o600))
    files.append(regular("root/.ssh/authorized_keys", authorized_key, 0o600))
    # busybox's dpkg keeps its database here, and needs it to exist.
    files.append(regular("var/lib/dpkg/status", b""))
    named = {f.path for f in files}
    folders = ["dev", "proc", "sys", "tmp", "run", "var/lib/dpkg/info", "usr/local/sbin", "usr/local/bin"]
    private = {"root": 0o700, "root/.ssh": 0o700, "tmp": 0o1777}
    tree = [directory(d, private.get(d, 0o755))
            for d in dict.fromkeys(_parents(sorted(named) + [d + "/" for d in folders])) if d not in named]
    tree.append(Entry("dev/console", 0o20600, device=(5, 1)))
    # In this process, not a gzip of its own: a Ctrl-C to the caller's group
    # would reach that gzip too, and its death read as the board failing.
    out.write(gzip.compress(cpio_newc(tree + files), compresslevel=1))
