#!/usr/bin/env python3
"""Builds the board's Debian package and checks what it installs: the three
static 32-bit ARM executables in /usr/sbin, which still work, and their man
pages, for architecture armhf with no dependencies; its changelog, copyright
and the override that explains the static executables; and that lintian, where
it is installed, has nothing to say about it."""
import argparse
import glob
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from harness import BANNER, Board, Check, Target, run_table

TOOLS = ("lpfconsole", "ledset", "lpfscope")
PT_INTERP = 3
EM_ARM = 40


def elf_facts(path):
    """(32-bit, little-endian, machine, has an interpreter) of an ELF file."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF", "%s is not ELF" % path
    is32, little = data[4] == 1, data[5] == 1
    machine = struct.unpack_from("<H", data, 18)[0]
    phoff, = struct.unpack_from("<I", data, 28)
    phentsize, phnum = struct.unpack_from("<HH", data, 42)
    types = [struct.unpack_from("<I", data, phoff + i * phentsize)[0] for i in range(phnum)]
    return is32, little, machine, PT_INTERP in types


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--qemu", required=True)
    a = parser.parse_args()

    scratch = tempfile.TemporaryDirectory(prefix="lpf-deb-")
    out = os.path.join(scratch.name, "out")
    subprocess.run([a.cpack, "-G", "DEB", "-B", out], cwd=a.build_dir, check=True, stdout=subprocess.DEVNULL)
    debs = glob.glob(os.path.join(out, "*.deb"))
    assert len(debs) == 1, debs
    deb = debs[0]
    root = os.path.join(scratch.name, "root")
    subprocess.run(["dpkg", "-x", deb, root], check=True)

    def field(name):
        return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True, check=True).stdout.strip()

    def architecture():
        assert field("Architecture") == "armhf", field("Architecture")
        assert field("Depends") == "", field("Depends")

    def contents():
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True).stdout
        files = sorted(line.split()[-1] for line in listing.splitlines() if not line.startswith("d"))
        assert files == ["./usr/sbin/ledset", "./usr/sbin/lpfconsole", "./usr/sbin/lpfscope",
                         "./usr/share/doc/lpf-tools/changelog.gz", "./usr/share/doc/lpf-tools/copyright",
                         "./usr/share/lintian/overrides/lpf-tools",
                         "./usr/share/man/man8/ledset.8.gz", "./usr/share/man/man8/lpfconsole.8.gz",
                         "./usr/share/man/man8/lpfscope.8.gz"], files

    def executables():
        for name in TOOLS:
            path = os.path.join(root, "usr/sbin", name)
            assert os.access(path, os.X_OK), path
            assert elf_facts(path) == (True, True, EM_ARM, False), (name, elf_facts(path))

    def man_pages():
        for name in TOOLS:
            with gzip.open(os.path.join(root, "usr/share/man/man8", name + ".8.gz"), "rt") as f:
                text = f.read()
            assert ".TH %s 8" % name.upper() in text, name

    def installed_ledset_runs():
        sbin = os.path.join(root, "usr/sbin")
        target = Target("board", {name: os.path.join(sbin, name) for name in TOOLS}, qemu=a.qemu)
        with Board(target) as board:
            out, err, status = board.run("ledset", ("165",))
            assert (out, err, status) == (BANNER + b"165\n", b"", 0), (out, err, status)
            assert board.registers()[0]["led"] == 165
            out, err, status = board.run("lpfconsole", stdin=b"F 1e-7\nq\n")
            assert status == 0 and b"Ku = 50E95394" in out, (out, err, status)
            out, err, status = board.run("lpfscope", ("--duration", "0.001"))
            assert status == 0 and out.endswith(b"\n0.000000,4294967130,0,1357468564,1580030168,0,0.000000,0.000000\n"), \
                (out, err, status)

    def lintian_accepts():
        if shutil.which("lintian") is None:
            return False
        done = subprocess.run(["lintian", deb], capture_output=True, text=True)
        assert (done.returncode, done.stdout) == (0, ""), (done.returncode, done.stdout, done.stderr)

    checks = [Check("architecture armhf, no dependencies", architecture),
              Check("holds the three tools and their man pages", contents),
              Check("tools are static 32-bit ARM executables", executables),
              Check("man pages are compressed, section 8", man_pages),
              Check("installed tools run under qemu-arm", installed_ledset_runs),
              Check("lintian has nothing to say", lintian_accepts)]
    ok = run_table(checks)
    scratch.cleanup()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
