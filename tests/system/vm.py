#!/usr/bin/env python3
"""The board binaries on a real 32-bit ARM Linux kernel, under full-system
emulation, against physical memory: what user-mode emulation cannot show.

Each boot is the virtual board's machine (virtualboard/), with RAM or
nothing at the FPGA's window instead of lpfboard, and the tools in
/usr/sbin; each case runs over ssh as a user of a board runs a tool there:
the registers set with devmem, the program run with its output and error
to files on the board (so that what it printed before a bus error is kept),
then those files, its status and the five registers (read back with
lpfscope, through a mapping) come back.

Boots:
  tables   RAM up to 0xFFFFFFFF, the kernel kept below the window (mem=1G):
           the end-to-end tables, an ordinary user, lpfscope.
  ram      no mem=: the window is system RAM, which strict /dev/mem refuses.
  nothing  1 GiB of RAM: nothing answers at the window, a bus error.
  claimed  as tables, with a device tree in which a driver claims the LED
           registers, which strict /dev/mem refuses too.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

from harness import BANNER, FIRST_SCREEN, LW_BASE, MMAP_ERROR, REGISTERS, WINDOW_END, Check, run_table, u32
from transcripts import CONSOLE, LEDSET, OPEN_ERROR, WINDOW
from virtualboard import image, ports
from virtualboard import machine as vboard
from virtualboard.state import ALIAS, State

OPEN_ERROR_DEVMEM = b'ERROR: could not open "/dev/mem"...\n'
SIGBUS_STATUS = 128 + 7
USER = 1000


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
         err=rb"lpfscope: no LPf core answers at 0xFF200000 \(its identity word reads 0x[0-9A-F]{8}\)\n"
             rb"lpfscope: sample rate not measured: no LPf core\n"
             rb"lpfscope: samples taken: 1, late: [01], missed: [0-9]+; rows written: 1, dropped: 0\n"),
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


READ_BACK = "lpfscope --csv --duration 0.0005 2> /dev/null | tail -n 1"
ORDINARY_USER = "echo user:x:%d:%d::/tmp:/bin/sh >> /etc/passwd && echo user:x:%d: >> /etc/group" % ((USER,) * 3)


def case_line(case):
    """The board's shell line of one case: the registers set, the program
    run (its output and error to files), then those files, and its status."""
    # Registers set only where they are read back or matter: a boot that
    # refuses the mapping, or has nothing there, takes only the program's.
    lines = ["devmem 0x%08X 32 0x%08X" % (LW_BASE + offset, u32(case.before.get(name, 0)))
             for name, offset in REGISTERS.items() if case.before or case.after is not None]
    program = " ".join(shlex.quote(a) for a in (case.program,) + tuple(case.args))
    if case.user:
        program = "su -s /bin/sh user -c %s" % shlex.quote(program)
    streams = {0: "", 1: "> /tmp/out", 2: "2> /tmp/err"}
    streams.update({fd: "%d%s&-" % (fd, "<" if fd == 0 else ">") for fd in case.closed})
    # busybox's shell says "Bus error" of a program that signal ended, on
    # its standard error as redirected for that program: so the program
    # takes its redirections in a shell of its own, which it replaces.
    waited = "exec %s %s" % (program, " ".join(streams.values()))
    lines += ["rm -f /tmp/out /tmp/err", "sh -c %s 2> /dev/null" % shlex.quote(waited), "status=$?",
              "cat /tmp/out 2> /dev/null", "cat /tmp/err >&2 2> /dev/null", "exit $status"]
    return "; ".join(lines)


@dataclass
class Result:
    out: bytes
    err: bytes
    status: int
    regs: dict  # None: not read back


def run_case(ssh, case):
    """What one case printed, its status and the registers after it."""
    done = subprocess.run(ssh + [case_line(case)], input=case.stdin, capture_output=True, timeout=60)
    regs = None
    if case.after is not None:
        row = subprocess.run(ssh + [READ_BACK], capture_output=True, timeout=60).stdout.decode().strip().split(",")
        regs = dict(zip(REGISTERS, (u32(int(v)) for v in row[1:6]))) if len(row) == 8 else {}
    return Result(done.stdout, done.stderr, done.returncode, regs)


def claimed_device_tree(qemu, directory, memory):
    """qemu's own device tree for the machine, with a memory-mapped GPIO
    controller (a driver built into the kernel) at the LED register."""
    dtb = os.path.join(directory, "virt.dtb")
    subprocess.run([qemu, *vboard.machine_options(memory), "-machine", "dumpdtb=" + dtb, "-nographic", "-nic", "none"],
                   check=True, capture_output=True)
    source = subprocess.run(["dtc", "-q", "-I", "dtb", "-O", "dts", dtb], capture_output=True, text=True,
                            check=True).stdout
    node = ("\tleds@%x {\n\t\tcompatible = \"brcm,bcm6345-gpio\";\n"
            "\t\treg-names = \"dirout\", \"dat\";\n\t\treg = <0x00 0x%x 0x00 0x04 0x00 0x%x 0x00 0x04>;\n"
            "\t\tgpio-controller;\n\t\t#gpio-cells = <2>;\n\t};\n") % (LW_BASE, LW_BASE, LW_BASE + 4)
    source = source[:source.rindex("};")] + node + "};\n"
    claimed = os.path.join(directory, "claimed.dtb")
    subprocess.run(["dtc", "-q", "-I", "dts", "-O", "dtb", "-o", claimed], input=source, text=True, check=True)
    return claimed


def check(case, result):
    """The case's printed bytes, standard error, status and registers."""
    assert result.out == case.out, "printed\n    %r\n  expected\n    %r" % (result.out, case.out)
    assert re.fullmatch(case.err, result.err), "standard error %r, expected %r" % (result.err, case.err)
    assert result.status == case.status, "exit status %d, expected %d" % (result.status, case.status)
    if case.after is not None:
        assert result.regs == case.after, "registers %s, expected %s" % (result.regs, case.after)
    return True


@dataclass
class Boot:
    name: str
    cases: list
    memory: int
    append: str
    claimed: bool = False


BOOTS = [
    Boot("tables", TABLE_BOOT, vboard.MEMORY, vboard.KERNEL_KEEPS_TO),
    Boot("ram", REFUSED, vboard.MEMORY, ""),
    Boot("nothing", NOTHING_BOOT, 1024, ""),
    Boot("claimed", REFUSED, vboard.MEMORY, vboard.KERNEL_KEEPS_TO, claimed=True),
]


def run_boot(plan, a, guest, tools, state, scratch):
    """The boot's cases, each over ssh, as checks; the machine is powered off after."""
    port = ports.free_port()
    dtb = claimed_device_tree(a.qemu_system, scratch, plan.memory) if plan.claimed else None
    machine = vboard.Machine(vboard.Boot(a.qemu_system, guest, tools, port, memory=plan.memory, append=plan.append,
                                         dtb=dtb), state)
    # One connection for all the cases (it ends with the machine).
    ssh = ["ssh", "-F", "/dev/null", "-oBatchMode=yes", "-oLogLevel=ERROR", "-oControlMaster=auto",
           "-oControlPersist=yes", "-oControlPath=" + os.path.join(scratch, "%C")] + state.ssh_options(port) + [
        "-T", ALIAS]
    results = {}
    try:
        machine.start()
        machine.wait_until_answering()
        added = subprocess.run(ssh + [ORDINARY_USER], capture_output=True, timeout=60)
        assert added.returncode == 0, "the ordinary user: %r" % added.stderr
        for index, case in enumerate(plan.cases):
            results[index] = run_case(ssh, case)
    except (RuntimeError, AssertionError, subprocess.TimeoutExpired) as e:
        print("boot %s did not finish: %s\nits console ended with:\n%s" % (plan.name, e, machine.console_text()))
    finally:
        machine.stop()
    print("== boot %s: -m %d %s%s" % (plan.name, plan.memory, plan.append, " (claimed)" * plan.claimed))
    return [Check("%s: %s" % (plan.name, case.name), lambda index=index, case=case: check(case, results[index])
                  if index in results else _no_result()) for index, case in enumerate(plan.cases)]


def _no_result():
    raise AssertionError("no result (the boot stopped before it)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cache", required=True, help="where the guest's kernel and packages are kept")
    parser.add_argument("--qemu-system", required=True)
    for name in ("lpfconsole", "ledset", "lpfscope"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    tools = {"lpfconsole": a.lpfconsole, "ledset": a.ledset, "lpfscope": a.lpfscope}
    assert os.access(a.qemu_system, os.X_OK), "no qemu-system-arm (%s): run scripts/install-deps --all" % a.qemu_system
    guest = image.fetch(a.cache)

    ok = True
    with tempfile.TemporaryDirectory(prefix="lpf-vm-") as scratch:
        state = State(os.path.join(scratch, "state")).prepare()
        for plan in BOOTS:
            ok = run_table(run_boot(plan, a, guest, tools, state, scratch)) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
