#!/usr/bin/env python3
"""The board binaries on a real 32-bit ARM Linux kernel, under full-system
emulation, against physical memory: what user-mode emulation cannot show.

Each boot runs an /init that executes the cases, each under guestrelay, the
virtual board's guest side (scripts/armguest.py): what the program printed on
each stream and its exit status come back on virtio-serial ports, and so do
the five registers after it, read back with lpfscope through a mapping; then
it powers off. The kernel and a static busybox come from Debian's armhf
packages, downloaded into the build tree once.

Boots:
  tables   RAM up to 0xFFFFFFFF, the kernel kept below the window (mem=1G):
           the end-to-end tables, an ordinary user, lpfscope.
  ram      no mem=: the window is system RAM, which strict /dev/mem refuses.
  nothing  1 GiB of RAM: nothing answers at the window, a bus error.
  claimed  as tables, with a device tree in which a driver claims the LED
           registers, which strict /dev/mem refuses too.
"""
import argparse
import base64
import os
import re
import shlex
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

import armguest
from harness import BANNER, FIRST_SCREEN, LW_BASE, MMAP_ERROR, REGISTERS, WINDOW_END, Check, run_table, u32
from transcripts import CONSOLE, LEDSET, OPEN_ERROR, WINDOW

OPEN_ERROR_DEVMEM = b'ERROR: could not open "/dev/mem"...\n'
SIGBUS_STATUS = 128 + 7
USER = 1000
BOOT_TIMEOUT = 600


@dataclass
class Case:
    name: str
    program: str
    args: tuple = ()
    stdin: bytes = b""
    before: dict = field(default_factory=dict)
    closed: tuple = ()
    user: bool = False  # run as the ordinary user
    # what must come out
    out: bytes = b""
    err: bytes = b""  # a pattern
    status: int = 0
    after: dict = None  # the five registers; None: not read back


def from_row(row):
    """An end-to-end table row as a case, or None if the VM cannot set it up:
    the rows whose stand-in is missing, short, a link, a FIFO, shared,
    foreign or on a full disk (here the device is /dev/mem itself), and those
    that need the host's test preload library (a failing munmap)."""
    if not row.present or row.size != WINDOW_END or row.env or row.only == "host" or row.kind != "file":
        return None
    wanted = {name: 0 for name in REGISTERS}
    wanted.update({k: u32(v) for k, v in row.before.items()})
    wanted.update({k: u32(v) for k, v in row.after.items()})
    return Case("table: " + row.name, row.program, row.args, row.stdin, row.before, row.closed,
                out=row.out.replace(OPEN_ERROR, OPEN_ERROR_DEVMEM), status=row.status, after=wanted)


SCOPE_ROW = b"0.000000,165,1073741823,1357468564,1580030168,0,0.500000,0.000000\n"

TABLE_BOOT = [c for c in map(from_row, CONSOLE + LEDSET + WINDOW) if c] + [
    Case("ordinary user: ledset", "ledset", ("5",), user=True, before={"led": 0x0F},
         out=BANNER + OPEN_ERROR_DEVMEM, status=1, after={"led": 0x0F, "u": 0, "ku": 0, "ky": 0, "y": 0}),
    Case("ordinary user: lpfconsole", "lpfconsole", stdin=b"L 5\nq\n", user=True, out=BANNER + OPEN_ERROR_DEVMEM,
         status=1),
    Case("ordinary user: lpfscope", "lpfscope", ("--duration", "0.001"), user=True,
         err=b"lpfscope: cannot open /dev/mem: Permission denied\n", status=1),
    Case("lpfscope reads what the tools left", "lpfscope", ("--csv", "-d", "0.0005"),
         before={"led": 165, "u": 1073741823, "ku": 0x50E95394, "ky": 0x5E2D58D8},
         out=b"time_s,led,u,ku,ky,y,u_pu,y_pu\n" + SCOPE_ROW,
         err=rb"lpfscope: samples taken: 1, late: [01], missed: [0-9]+; rows written: 1, dropped: 0\n"),
]

REFUSED = [
    Case("ledset", "ledset", ("5",), out=BANNER + MMAP_ERROR, status=1),
    Case("lpfconsole", "lpfconsole", stdin=b"L 5\nq\n", out=BANNER + MMAP_ERROR, status=1),
    Case("lpfscope", "lpfscope", ("-d", "0.001"),
         err=b"lpfscope: cannot map /dev/mem at 0xFC000000: Operation not permitted\n", status=1),
]

NOTHING_BOOT = [
    Case("ledset 165: a bus error, after its lines reached the file", "ledset", ("165",), out=BANNER + b"165\n",
         status=SIGBUS_STATUS),
    Case("lpfconsole: a bus error at the LED store, after the report", "lpfconsole", stdin=b"L 5\nq\n",
         out=FIRST_SCREEN + b"LED value = \tWrite LED = 5\n", status=SIGBUS_STATUS),
]


READ_BACK = "/bin/lpfscope --csv --duration 0.0005 2> /dev/null | tail -n 1"


def shell_case(case):
    """The /init lines of one case: one command under guestrelay, and one
    more that reads the registers back if the case wants them."""
    lines = ["devmem 0x%08X 32 0x%08X" % (LW_BASE + offset, u32(case.before.get(name, 0)))
             for name, offset in REGISTERS.items()]
    lines.append("echo %s | base64 -d > /tmp/in" % (base64.b64encode(case.stdin).decode() or "''"))
    command = [shlex.quote(a) for a in ("/bin/" + case.program,) + tuple(case.args)]
    if case.user:
        command = ["su", "-s", "/bin/sh", "user", "-c", shlex.quote(" ".join(command))]
    lines.append(armguest.relay_command(command, stdin=False, closed=case.closed, redirect="< /tmp/in"))
    if case.after is not None:
        lines.append(armguest.relay_command(["sh", "-c", shlex.quote(READ_BACK)], stdin=False,
                                             redirect="< /dev/null"))
    return "\n".join(lines)


def init_script(cases):
    return armguest.PREAMBLE + "\n".join([shell_case(c) for c in cases] + ["poweroff -f", ""])


def initramfs_of(path, guest, relay, tools, cases):
    entries = [armguest.program("bin/" + name, tool) for name, tool in tools.items()]
    entries += [armguest.directory("etc"),  # an ordinary user, uid 1000, for the privilege cases
                armguest.regular("etc/passwd", b"root:x:0:0::/:/bin/sh\nuser:x:%d:%d::/tmp:/bin/sh\n" % (USER, USER)),
                armguest.regular("etc/group", b"root:x:0:\nuser:x:%d:\n" % USER)]
    with open(path, "wb") as out:
        armguest.initramfs(out, guest, relay, init_script(cases), entries)


def boot(qemu, kernel, initrd, memory, append, scratch, dtb=None):
    """The console, and what the commands sent: [(status, stdout, stderr)]."""
    streams = {name: os.path.join(scratch, name) for name in ("out", "err", "control")}
    for path in streams.values():
        open(path, "wb").close()
    chardevs = {name: "file,path=" + path for name, path in streams.items()}
    chardevs["in"] = "null"
    argv = armguest.qemu_machine(qemu, kernel, initrd, memory) + armguest.qemu_ports(chardevs) + [
        "-nographic", "-monitor", "none", "-append", armguest.KERNEL_ARGUMENTS + " " + append]
    if dtb:
        argv += ["-dtb", dtb]
    done = subprocess.run(argv, capture_output=True, timeout=BOOT_TIMEOUT)
    sent = {}
    for name, path in streams.items():
        with open(path, "rb") as f:
            sent[name] = f.read()
    return done.stdout.decode("latin-1").replace("\r", ""), armguest.results(sent["control"], sent["out"],
                                                                            sent["err"])


def parse(cases, sent):
    """{case index: (stdout, stderr, status, registers or None)}, from the
    commands' results in the order they ran."""
    results = {}
    sent = iter(sent)
    for index, case in enumerate(cases):
        ran = next(sent, None)
        back = next(sent, None) if case.after is not None else None
        if ran is None or (case.after is not None and back is None):
            break
        regs = None
        if back is not None:
            row = back[1].decode().strip().split(",")
            regs = dict(zip(REGISTERS, (u32(int(v)) for v in row[1:6]))) if len(row) == 8 else {}
        status, out, err = ran
        results[index] = (out, err, status, regs)
    return results


def claimed_device_tree(qemu, directory, memory):
    """qemu's own device tree for the machine, with a memory-mapped GPIO
    controller (a driver built into the kernel) at the LED register."""
    dtb = os.path.join(directory, "virt.dtb")
    subprocess.run([qemu, "-M", "virt,highmem=off,dumpdtb=" + dtb, "-cpu", "cortex-a15", "-m", str(memory),
                    "-nographic", "-nic", "none"], check=True, capture_output=True)
    source = subprocess.run(["dtc", "-q", "-I", "dtb", "-O", "dts", dtb], capture_output=True, text=True,
                            check=True).stdout
    node = ("\tleds@%x {\n\t\tcompatible = \"brcm,bcm6345-gpio\";\n"
            "\t\treg-names = \"dirout\", \"dat\";\n\t\treg = <0x00 0x%x 0x00 0x04 0x00 0x%x 0x00 0x04>;\n"
            "\t\tgpio-controller;\n\t\t#gpio-cells = <2>;\n\t};\n") % (LW_BASE, LW_BASE, LW_BASE + 4)
    source = source[:source.rindex("};")] + node + "};\n"
    claimed = os.path.join(directory, "claimed.dtb")
    subprocess.run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", claimed], input=source, text=True, check=True)
    return claimed


def check(index, case, results):
    """The case's printed bytes, standard error, status and registers."""
    assert index in results, "no result (the boot stopped before it)"
    out, err, status, regs = results[index]
    assert out == case.out, "printed\n    %r\n  expected\n    %r" % (out, case.out)
    assert re.fullmatch(case.err, err), "standard error %r, expected %r" % (err, case.err)
    assert status == case.status, "exit status %d, expected %d" % (status, case.status)
    if case.after is not None:
        assert regs == case.after, "registers %s, expected %s" % (regs, case.after)
    return True


@dataclass
class Boot:
    name: str
    cases: list
    memory: int
    append: str
    claimed: bool = False


BOOTS = [
    Boot("tables", TABLE_BOOT, 3072, "mem=1G"),
    Boot("ram", REFUSED, 3072, ""),
    Boot("nothing", NOTHING_BOOT, 1024, ""),
    Boot("claimed", REFUSED, 3072, "mem=1G", claimed=True),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cache", required=True, help="where the kernel and busybox are kept")
    parser.add_argument("--qemu-system", required=True)
    for name in ("lpfconsole", "ledset", "lpfscope", "guestrelay"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    tools = {"lpfconsole": a.lpfconsole, "ledset": a.ledset, "lpfscope": a.lpfscope}
    assert os.access(a.qemu_system, os.X_OK), "no qemu-system-arm (%s): run scripts/install-deps --all" % a.qemu_system
    guest = armguest.fetch(a.cache)

    ok = True
    with tempfile.TemporaryDirectory(prefix="lpf-vm-") as scratch:
        for plan in BOOTS:
            initrd = os.path.join(scratch, plan.name + ".gz")
            initramfs_of(initrd, guest, a.guestrelay, tools, plan.cases)
            dtb = claimed_device_tree(a.qemu_system, scratch, plan.memory) if plan.claimed else None
            console, sent = boot(a.qemu_system, guest.kernel, initrd, plan.memory, plan.append, scratch, dtb)
            results = parse(plan.cases, sent)
            if len(results) < len(plan.cases):
                print("boot %s did not finish; its console ended with:\n%s" % (plan.name, console[-3000:]))

            print("== boot %s: -m %d %s%s" % (plan.name, plan.memory, plan.append, " (claimed)" * plan.claimed))
            rows = [Check("%s: %s" % (plan.name, case.name), lambda index=index, case=case: check(index, case, results))
                    for index, case in enumerate(plan.cases)]
            ok = run_table(rows) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
