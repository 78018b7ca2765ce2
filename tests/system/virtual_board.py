#!/usr/bin/env python3
"""The virtual board, as its user runs it: a board kept up (--up, --status,
--halt), reached with ssh and scp through the Host block of --ssh-config,
where the README's installation steps, run as written, install the package
and the tools then work; only this user's key gets in; the one-shot form on
the board that is up, with every rule of its streams, terminal, signals and
status; a board that fails; --halt leaving nothing, and the same ssh
configuration working after a new --up; and the one-shot form booting a
board of its own, on which the guest's console steps the filter while the
guest's lpfscope records it (judged as the host's step response is) and this
machine's lpfscope sees what the guest's ledset wrote."""
import argparse
import fcntl
import os
import pty
import re
import shutil
import signal
import socket
import stat
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

from harness import (STEP_TAU, STEP_U, Check, Terminal, fill_up, judge_step, parse_csv, run_table,
                     small_file_system)
import lpfmap
from virtualboard import image, ports, session
from virtualboard.state import ALIAS, State

RUN_TIMEOUT = 300
MEMORY_LIMIT = 400 << 20  # the script, lpfboard and qemu together
INPUT_AHEAD = 16 << 20  # the bounded buffers of ssh, qemu and the guest, with room
FULL_SIZE = 100 << 10
ONE_SHOT_LIMIT = 2.5  # seconds, on a board that is up
AT_ONCE = 16  # sessions started together: more than a short listen backlog holds
NOBODY = 65534
STEP = ("lpfscope --trigger --csv -r 1000 -d 1 > /tmp/step.csv & sleep 1; "
        "printf 'F %g\\nU %g\\nq\\n' | lpfconsole > /dev/null; wait; cat /tmp/step.csv; "
        "ledset 165 > /dev/null; sleep 5" % (STEP_TAU, STEP_U))
LED = 165
# The shell waits in a builtin, so that nothing it runs is ended by the signal.
TRAPPED = "trap 'kill $! 2> /dev/null; echo cleanup; exit 7' %s; echo ready; sleep 100 & wait"


def install_steps(readme):
    """The README's blocks of lines that install on a board, as written
    (without their comments): the package, then the binaries alone."""
    with open(readme) as f:
        text = f.read()
    section = text.split("## Installing on the board", 1)[1].split("\n## ", 1)[0]
    return ["\n".join(re.sub(r"\s+#.*", "", line.strip()) for line in block.splitlines())
            for block in re.findall(r"\n\n((?:    .*\n)+)", section)]


def _equal(got, wanted):
    assert got == wanted, "%r, expected %r" % (got, wanted)
    return True


class Runner:
    """scripts/virtual-board with the test's builds, kernel, state and window
    folder; ssh and scp as a user of the board's Host block runs them."""

    def __init__(self, a, scratch):
        self.a, self.scratch = a, scratch
        self.state = os.path.join(scratch, "state")
        self.config = os.path.join(scratch, "ssh_config")
        self.runs = []

    def argv(self, *words):
        return [self.a.script, "--board-build", self.a.board_build, "--host-build", self.a.host_build,
                "--cache", self.a.cache, "--qemu", self.a.qemu_system, "--state", self.state, *words]

    def script(self, *words, timeout=RUN_TIMEOUT, **popen):
        return subprocess.run(self.argv(*words), capture_output=True, timeout=timeout, **popen)

    def start(self, command, **popen):
        popen.setdefault("stdin", subprocess.DEVNULL)
        popen.setdefault("stdout", subprocess.PIPE)
        popen.setdefault("stderr", subprocess.PIPE)
        self.runs.append(subprocess.Popen(self.argv("--", command), **popen))
        return self.runs[-1]

    def up(self):
        done = self.script("--up")
        assert done.returncode == 0, done.stderr.decode()
        with open(self.config, "wb") as f:
            f.write(self.script("--ssh-config").stdout)
        return State(self.state).board()

    def ssh(self, line, **run):
        run.setdefault("capture_output", True)
        run.setdefault("timeout", RUN_TIMEOUT)
        return subprocess.run(["ssh", "-F", self.config, "-oBatchMode=yes", ALIAS, line], **run)

    def kill_all(self):
        for run in self.runs:
            if run.poll() is None:
                run.kill()
                run.wait()


def ended_within(run, seconds):
    try:
        run.wait(timeout=seconds)
        return True
    except subprocess.TimeoutExpired:
        return False


def children(pid):
    """The processes whose parent is `pid`, by name."""
    found = {}
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                name, fields = f.read().split("(", 1)[1].rsplit(")", 1)
            if int(fields.split()[1]) == pid:
                found[int(entry)] = name
        except (OSError, ValueError, IndexError):
            continue
    return found


def alive(pid):
    """Whether a process runs (a zombie holds nothing)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def tree_rss(pid):
    """The resident memory of a process and its children, in bytes."""
    total = 0
    for entry in [pid] + list(children(pid)):
        try:
            with open("/proc/%d/statm" % entry) as f:
                total += int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, ValueError):
            continue
    return total


def listening():
    """[(local address, socket inode)] of every listening TCP socket."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            found += [(fields[1], fields[9]) for fields in map(str.split, f.readlines()[1:]) if fields[3] == "0A"]
    return found


def listening_addresses(pid):
    """The TCP addresses a process listens on."""
    inodes = set()
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    return [address for address, inode in listening() if inode in inodes]


def installing(runner):
    """The README's steps, as written, with BOARD the board's name: ssh and
    scp find it through the Host block (here by -F, as ~/.ssh/config would)."""
    runner.up()
    tools = os.path.join(runner.scratch, "bin")
    os.mkdir(tools)
    for program in ("ssh", "scp"):
        with open(os.path.join(tools, program), "w") as f:
            f.write('#!/bin/sh\nexec %s -F %s -oBatchMode=yes "$@"\n' % (shutil.which(program), runner.config))
        os.chmod(os.path.join(tools, program), 0o755)
    # The lines run where a user runs them: beside the build folder, so that
    # `cd build/board` finds the board build (no other path to it, which
    # would confuse CMake's idea of where its build lives).
    board_build = os.path.realpath(runner.a.board_build)
    checkout = os.path.dirname(os.path.dirname(board_build))
    assert board_build == os.path.join(checkout, "build", "board"), "the board build is not at build/board"
    removed = runner.ssh("rm /usr/sbin/lpfconsole /usr/sbin/ledset /usr/sbin/lpfscope")  # a board without them
    package, binaries = [block.replace("BOARD", ALIAS) for block in install_steps(runner.a.readme)]

    def run(block):
        return subprocess.run(["bash", "-euc", block], cwd=checkout, capture_output=True, timeout=RUN_TIMEOUT,
                              env=dict(os.environ, PATH=tools + ":" + os.environ["PATH"]))
    installed = run(package)
    listed = runner.ssh("dpkg -l")
    console = runner.ssh("lpfconsole", input=b"F 0.5\nU 0.8\nq\n")
    time.sleep(3)
    read_back = runner.ssh("lpfconsole", input=b"Y\nq\n")
    lamps = runner.ssh("ledset 255 && devmem 0x%08X" % (lpfmap.STAND_IN_REGISTERS + lpfmap.REGISTERS["led"]))
    scope = runner.ssh("lpfscope --csv --duration 0.01")
    copied = run(binaries)
    legacy = run("scp -O README.md lpf-board:")
    found = runner.ssh("for tool in lpfconsole ledset lpfscope; do command -v $tool; done && ledset 5")

    def steps_run():
        assert removed.returncode == 0, removed.stderr
        assert installed.returncode == 0, (package, installed.stdout, installed.stderr)
        assert re.search(rb"\nii +lpf-tools +", listed.stdout), listed.stdout

    def tools_work():
        assert console.returncode == 0 and b"Write U = 0.800" in console.stdout, console
        output = re.search(rb"Output filter: ([-0-9.]+)", read_back.stdout)
        assert output and abs(float(output.group(1)) - 0.2) < 0.001, read_back.stdout
        assert (lamps.returncode, lamps.stdout.splitlines()[-1:]) == (0, [b"0x000000FF"]), lamps
        rows = parse_csv(scope.stdout)
        assert rows and rows[-1][1] == 255 and abs(rows[-1][7] - 0.8) < 0.01, scope.stdout[-300:]
    def binaries_copied():
        assert copied.returncode == 0, (binaries, copied.stderr)
        assert legacy.returncode != 0 and b"this board speaks SFTP only" in legacy.stderr, legacy
        assert found.stdout.startswith(b"/usr/local/sbin/lpfconsole\n/usr/local/sbin/ledset\n/usr/local/sbin/lpfscope\n"
                                       ) and found.returncode == 0, found
    return [Check("the README's steps install the package: scp, dpkg -i, and dpkg -l lists it", steps_run),
            Check("then lpfconsole, ledset 255 and lpfscope over ssh: y near 0.2, the LEDs 0xFF", tools_work),
            Check("or the binaries copied as the README says, first on the PATH; scp -O answered in words",
                  binaries_copied)]


def keys_only(runner):
    """ssh as this user without the key, and as another user with a
    config and known hosts of their own, is refused; the board listens on
    the loopback only, and reaches nothing outside."""
    found = runner.up()
    theirs = tempfile.mkdtemp(prefix="lpf-theirs-")  # where another user can read
    try:
        for name, source in (("ssh_config", runner.config), ("known_hosts", os.path.join(runner.state, "known_hosts"))):
            with open(source) as f:
                text = f.read().replace(os.path.join(runner.state, "known_hosts"), os.path.join(theirs, "known_hosts"))
            with open(os.path.join(theirs, name), "w") as f:
                f.write(text)
            os.chmod(os.path.join(theirs, name), 0o644)
        os.chmod(theirs, 0o755)
        other = subprocess.run(["ssh", "-F", os.path.join(theirs, "ssh_config"), "-oBatchMode=yes", ALIAS,
                                "true"], capture_output=True, user=NOBODY, group=NOBODY, extra_groups=[], timeout=60)
    finally:
        shutil.rmtree(theirs)
    settings = ["-o%s=%s" % (name, "none" if name == "IdentityFile" else value)
                for name, value in State(runner.state).ssh_settings(found.port)]
    keyless = subprocess.run(["ssh", "-F", "/dev/null", "-oBatchMode=yes", *settings,
                              "-oPreferredAuthentications=publickey,password,keyboard-interactive", ALIAS,
                              "true"], capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
    qemu = [pid for pid, name in children(found.pid).items() if name.startswith("qemu")]
    addresses = [listening_addresses(pid) for pid in qemu]
    outside = runner.ssh("nc -w 3 10.0.2.2 %d < /dev/null; echo $?; nc -w 3 192.0.2.1 80 < /dev/null; echo $?"
                         % found.port)

    def refused():
        for who, done in (("another user", other), ("this user without the key", keyless)):
            assert done.returncode == 255 and b"Permission denied (publickey)" in done.stderr, (who, done)

    def loopback():
        # /proc/net/tcp's form: the address in this machine's byte order.
        assert addresses == [["%s:%04X" % (socket.inet_aton(ports.LOOPBACK)[::-1].hex().upper(), found.port)]], \
            addresses
        assert outside.stdout.split() == [b"1", b"1"], outside
    return [Check("login only with this user's key: another user and no key are refused", refused),
            Check("the board listens on 127.0.0.1 only and reaches nothing outside", loopback)]


def one_shot_on_the_up_board(runner):
    runner.up()
    times, results = [], []
    for _ in range(5):
        began = time.monotonic()
        done = runner.script("echo hi; exit 3")
        times.append(time.monotonic() - began)
        results.append((done.returncode, done.stdout, done.stderr))
    quoted = runner.script("printf '%s|' \"$@\"", "a b", "'c'")
    at_once = [runner.start("echo run%d; exit %d" % (n, n)) for n in range(1, AT_ONCE + 1)]
    together = [run.communicate(timeout=RUN_TIMEOUT) + (run.returncode,) for run in at_once]

    def fast():
        assert results == [(3, b"hi\n", b"")] * 5, results
        assert statistics.median(times) < ONE_SHOT_LIMIT, times

    def words():
        assert quoted.stdout == b"a|b|c|", quoted  # the board's shell parses the line again

    def many():
        assert [(out, status) for out, _, status in together] == [(b"run%d\n" % n, n) for n in range(1, AT_ONCE + 1)], together
    return [Check("on the board that is up: the command's output and status, in under %g s (median)"
                  % ONE_SHOT_LIMIT, fast),
            Check("its words joined as ssh joins them", words),
            Check("%d at once, each its own" % AT_ONCE, many)]


def streaming(runner):
    run = runner.start("echo start; sleep 5; echo end")
    arrived = [(time.monotonic(), line) for line in run.stdout]
    run.wait(timeout=RUN_TIMEOUT)

    def check():
        assert run.returncode == 0 and [line for _, line in arrived] == [b"start\n", b"end\n"], arrived
        assert arrived[1][0] - arrived[0][0] > 2.5, "start came only %.1f s before end" % (
            arrived[1][0] - arrived[0][0])
    return [Check("output streams: start arrives seconds before end", check)]


def interrupts(runner, where="on the board that is up", *options):
    """Ctrl-C typed at the terminal (SIGINT to the whole foreground group)
    and a terminal that closes (SIGHUP to its session), the output
    redirected: the command's own end, all of its output kept, its status
    the script's."""
    def ctrl_c(argv, out):
        run = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE, process_group=0)
        return run, lambda: os.killpg(run.pid, signal.SIGINT)

    def hang_up(argv, out):
        controller, terminal = pty.openpty()
        run = subprocess.Popen(argv, stdin=terminal, stdout=out, stderr=subprocess.PIPE, start_new_session=True,
                               preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(terminal)
        return run, lambda: os.close(controller)

    checks = []
    for name, how, trapped in (("Ctrl-C", ctrl_c, "INT"), ("a closed terminal", hang_up, "HUP")):
        out = os.path.join(runner.scratch, "out")
        with open(out, "wb") as f:
            run, interrupt = how(runner.argv(*options, "--", TRAPPED % trapped), f)
            runner.runs.append(run)
            deadline = time.monotonic() + RUN_TIMEOUT
            while os.path.getsize(out) == 0 and time.monotonic() < deadline:
                time.sleep(0.1)
            interrupt()
            ended = ended_within(run, 10)
        with open(out, "rb") as f:
            seen = (ended and run.returncode, f.read(), run.stderr.read())
        checks.append(Check("%s %s: the command's trap, all of its output, its status" % (name, where),
                            lambda seen=seen: _equal(seen, (7, b"ready\ncleanup\n", b""))))
    return checks


def recording_interrupted(runner):
    run = runner.start("lpfscope --csv", process_group=0)
    first = run.stdout.readline() + run.stdout.readline()  # the header and a row: recording
    time.sleep(1)
    os.killpg(run.pid, signal.SIGINT)
    rest = []  # read on, as a reader would, from what readline kept back on
    reader = threading.Thread(target=lambda: rest.append(run.stdout.read()), daemon=True)
    reader.start()
    reader.join(10)
    ended = bool(rest) and ended_within(run, 5)
    runner.kill_all()
    err = run.stderr.read()

    def check():
        assert ended, "still running 10 s after Ctrl-C"
        written = re.search(rb"rows written: (\d+)", err)
        assert run.returncode == 0, (run.returncode, err)
        assert written and int(written.group(1)) == len(parse_csv(first + rest[0])), err
    return [Check("Ctrl-C during lpfscope --csv: every row it wrote arrives, and its summary", check)]


def endless_input(runner):
    """As `yes | scripts/virtual-board 'sleep 5; head -1'`: no more input
    taken in than the buffers hold while the command does not read."""
    read_end, write_end = os.pipe()
    run = runner.start("sleep 5; head -1", stdin=read_end)
    os.close(read_end)
    taken = [0]

    def feed():
        chunk = b"y\n" * 32768
        try:
            while True:
                taken[0] += os.write(write_end, chunk)
        except OSError:
            os.close(write_end)
    threading.Thread(target=feed, daemon=True).start()
    peak = 0
    deadline = time.monotonic() + RUN_TIMEOUT
    while run.poll() is None and time.monotonic() < deadline:
        peak = max(peak, tree_rss(run.pid))
        time.sleep(0.1)
    out, err = run.communicate(timeout=10)

    def check():
        assert (run.returncode, out) == (0, b"y\n"), (run.returncode, out, err)
        assert peak < MEMORY_LIMIT, "the script and its ssh took %d MB" % (peak >> 20)
        assert taken[0] < INPUT_AHEAD, "the run took in %d MB ahead of the command" % (taken[0] >> 20)
    return [Check("endless input: head -1 prints y and ends, in bounded memory and input", check)]


def outputs_that_fail(runner):
    """A full disk (status 255, a message, and standard error to its end),
    and a reader that leaves (the command sees its output closed)."""
    with small_file_system(runner.scratch, FULL_SIZE) as full:
        with open(os.path.join(full, "out"), "wb") as out:
            run = runner.start("head -c %d /dev/zero; echo the end >&2" % (3 * FULL_SIZE), stdout=out)
            err = run.communicate(timeout=RUN_TIMEOUT)[1]
        kept = os.path.getsize(os.path.join(full, "out"))
    left = runner.start('lpfscope --csv; echo "lpfscope ended $?" >&2; exit 3')
    head = [left.stdout.readline() for _ in range(3)]
    left.stdout.close()
    began = time.monotonic()
    ended = ended_within(left, 10)
    took = time.monotonic() - began
    said = left.stderr.read()

    def full_disk():
        assert run.returncode == 255, (run.returncode, err)
        assert err == b"the end\nvirtual-board: cannot write standard output: No space left on device\n", err
        assert 0 < kept <= FULL_SIZE, kept

    def reader_left():
        assert head[0].startswith(b"time_s,") and all(line.endswith(b"\n") for line in head), head
        assert ended, "still running 10 s after its reader left"
        assert (left.returncode, said.splitlines()[-1:]) == (3, [b"lpfscope ended 141"]), (left.returncode, said)
        print("| head -3: ended %.1f s after the reader left" % took)
    return [Check("a full output disk: status 255, the message, the command's error to its end", full_disk),
            Check("| head -3: the command sees its output closed (SIGPIPE), its error still open", reader_left)]


def terminals(runner):
    runner.up()
    with Terminal(runner.argv(), rows=30, columns=100) as terminal:
        terminal.read_until(b"# ")
        os.write(terminal.controller, b"stty size; tty\r")
        terminal.read_until(b"# ")
        fcntl.ioctl(terminal.controller, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
        os.write(terminal.controller, b"stty size\r")
        terminal.read_until(b"# ")
        os.write(terminal.controller, b"exit 7\r")
        shown, _, status = terminal.finish()
    try:
        piped = subprocess.run(runner.argv("-t", "--", "tty; cat; echo done"), input=b"hi\n", capture_output=True,
                               timeout=60)
    except subprocess.TimeoutExpired as e:
        piped = e
    statuses = [runner.script("-t", "--", line, stdin=subprocess.DEVNULL, timeout=60) for line in
                ("kill -9 $$", "exit 7", "kill -INT $$")]
    leaders = runner.ssh("ls /run/lpf-session | grep -c leader")

    def session_shown():
        assert status == 7, (status, shown[-500:])
        assert b"30 100\r\n/dev/pts/" in shown and b"40 120\r\n" in shown, shown[-800:]

    def piped_input():
        assert not isinstance(piped, subprocess.TimeoutExpired), "still running after 60 s"
        assert piped.returncode == 0 and piped.stdout.endswith(b"hi\r\ndone\r\n"), piped
    def ended_by_signals():
        assert [(done.returncode, done.stderr) for done in statuses] == [(137, b""), (7, b""), (130, b"")], statuses
        assert leaders.stdout == b"0\n", leaders  # each terminal session's leader file gone with it
    return [Check("a shell on a terminal: its size and a resize, exit 7", session_shown),
            Check("-t with piped input: typed there, then Ctrl-D ends it", piped_input),
            Check("-t, files for streams: killed by signal N gives 128+N, no hint; exit 7 gives 7", ended_by_signals)]


def private_state(runner):
    """Every file of the state but the public keys is this user's alone; a
    link planted where the state writes is refused, its target untouched; a
    state folder others may use is refused by the one-shot form as by --up,
    not passed over for a second board."""
    runner.up()
    modes = {name: stat.S_IMODE(os.lstat(os.path.join(runner.state, name)).st_mode)
             for name in os.listdir(runner.state) if not name.endswith(".pub")}
    planted = os.path.join(runner.scratch, "planted")
    target = os.path.join(runner.scratch, "target")
    with open(target, "w") as f:
        f.write("untouched\n")
    os.makedirs(planted, mode=0o700)
    os.symlink(target, os.path.join(planted, "known_hosts.new"))
    linked = runner.script("--state", planted, "--ssh-config")
    with open(target) as f:
        kept = f.read()
    os.chmod(runner.state, 0o750)
    try:
        shared = runner.script("echo here", timeout=60)
    finally:
        os.chmod(runner.state, 0o700)

    def private():
        assert {"id_ed25519", "host_key", "known_hosts", "port", "board.json", "keeper.log"} <= set(modes), modes
        assert all(mode == 0o600 for mode in modes.values()), {n: oct(m) for n, m in modes.items()}

    def link_refused():
        assert linked.returncode == 255 and b"known_hosts.new" in linked.stderr, linked
        assert kept == "untouched\n", kept

    def no_second_board():
        assert (shared.returncode, shared.stdout) == (255, b""), shared
        assert b"no one else can use" in shared.stderr and b"booting" not in shared.stderr, shared.stderr
    return [Check("the state's files, but the public keys, are mode 0600", private),
            Check("a link planted where the state writes: refused, its target untouched", link_refused),
            Check("a state folder at 0750: the one-shot form says why, and boots no board", no_second_board)]


def frozen_board(runner):
    """The board's qemu stopped (SIGSTOP): a signal to a one-shot run, a
    one-shot run and plain ssh all end, with a message; then, its port taken
    while it is down, the lines of --ssh-include still reach the board."""
    found = runner.up()
    include = os.path.join(runner.scratch, "include_config")
    with open(include, "wb") as f:
        f.write(runner.script("--ssh-include").stdout)
    interrupted = runner.start("echo started; sleep 300")
    said = interrupted.stdout.readline()
    qemu = [pid for pid, name in children(found.pid).items() if name.startswith("qemu")]
    for pid in qemu:
        os.kill(pid, signal.SIGSTOP)
    began = time.monotonic()
    try:
        plain = runner.start("echo never")
        ssh = subprocess.Popen(["ssh", "-F", runner.config, "-oBatchMode=yes", ALIAS, "true"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        runner.runs.append(ssh)
        os.kill(interrupted.pid, signal.SIGINT)
        ends = [ended_within(interrupted, 20), ended_within(plain, 60), ended_within(ssh, 60)]
        took = time.monotonic() - began
    finally:
        for pid in qemu:
            os.kill(pid, signal.SIGCONT)
        runner.kill_all()
    runner.script("--halt")
    with socket.socket() as holder:
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past its closed connections
        holder.bind((ports.LOOPBACK, found.port))
        holder.listen()
        moved = runner.script("--up")
        reached = subprocess.run(["ssh", "-F", include, "-oBatchMode=yes", ALIAS, "echo hi"],
                                 capture_output=True, timeout=RUN_TIMEOUT)
    print("frozen board: all ended %.1f s after the signal" % took)

    def ended():
        assert said == b"started\n" and qemu, (said, qemu)
        assert ends == [True] * 3, "still running (the signalled run, a one-shot, plain ssh): %s" % ends
        err = interrupted.stderr.read()
        assert interrupted.returncode == 128 + signal.SIGINT and b"does not answer" in err, (interrupted.returncode,
                                                                                            err)
        err = plain.stderr.read()
        assert plain.returncode == 255 and b"does not answer" in err, (plain.returncode, err)
        assert ssh.returncode == 255, ssh.returncode

    def included():
        assert moved.returncode == 0 and b"is taken now" in moved.stderr, moved
        assert (reached.returncode, reached.stdout) == (0, b"hi\n"), reached
    return [Check("a frozen board: SIGINT ends a run in 20 s (130, a message); a run and plain ssh end too",
                  ended),
            Check("its port taken, the board moves; the lines of --ssh-include reach it there", included)]


def board_dies(runner):
    found = runner.up()
    run = runner.start("echo running; sleep 60; echo late")
    said = run.stdout.readline()
    lpfboard = [pid for pid, name in children(found.pid).items() if name == "lpfboard"]
    for pid in lpfboard:
        os.kill(pid, signal.SIGKILL)
    ended = ended_within(run, 10)
    runner.kill_all()
    out, err = run.communicate()
    status = runner.script("--status")

    def check():
        assert said == b"running\n" and lpfboard, (said, lpfboard)
        assert ended and (run.returncode, out) == (255, b""), (run.returncode, out, err)
        assert b"virtual-board: lpfboard stopped (killed by SIGKILL)" in err, err
        assert not os.path.exists(found.window), "the window file is left"
        assert status.returncode == 3 and b"the last one stopped: lpfboard stopped" in status.stdout, status
    return [Check("lpfboard dying under the board: status 255, a message, the board down, no window file, "
                  "--status says why", check)]


def halted(runner):
    """--halt leaves nothing; a new --up is the same board to ssh."""
    found = runner.up()
    keeper = children(found.pid)
    halt = runner.script("--halt")
    after = runner.script("--status")
    left = [pid for pid in [found.pid] + list(keeper) if alive(pid)]
    listens = [address for address, _ in listening() if address.endswith(":%04X" % found.port)]
    with open(runner.config, "rb") as f:
        config = f.read()
    runner.up()
    again = runner.ssh("echo hi; exit 3")
    with open(runner.config, "rb") as f:
        same = f.read() == config

    def nothing_left():
        assert halt.returncode == 0, halt
        assert after.returncode == 3, after
        assert not left and not listens and not os.path.exists(found.window), (left, listens, found)

    def same_board():
        assert same and (again.returncode, again.stdout) == (3, b"hi\n"), (same, again)
    return [Check("--halt leaves no process, window file or port; --status then says 3", nothing_left),
            Check("after a new --up, the same ssh configuration works", same_board)]


def booted_for_the_command(runner):
    """No board up: the one-shot form boots one, then powers it off."""
    halt = runner.script("--halt")
    watcher = os.path.join(runner.a.host_build, "lpfscope", "lpfscope")
    window = os.path.join(runner.scratch, "window")
    run = subprocess.Popen(runner.argv("--window", window, "--", STEP), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    runner.runs.append(run)
    seen = False
    deadline = time.monotonic() + RUN_TIMEOUT
    while not seen and run.poll() is None and time.monotonic() < deadline:
        if os.path.exists(window):
            done = subprocess.run([watcher, "--window", window, "--csv", "-d", "0.001"], capture_output=True)
            rows = done.stdout.decode().splitlines()[1:]
            seen = done.returncode == 0 and bool(rows) and int(rows[-1].split(",")[1]) == LED
        time.sleep(0.2)
    out, err = run.communicate(timeout=RUN_TIMEOUT)
    left = os.path.exists(window) or State(runner.state).board() is not None
    checks = interrupts(runner, "on a board booted for it", "--window", window)
    left = left or os.path.exists(window)
    # A full home, where no state can be kept: keys for this run alone, said.
    argv = [word for word in runner.argv("--", "echo hi; exit 3") if word not in ("--state", runner.state)]
    os.mkdir(os.path.join(runner.scratch, "home"))
    with small_file_system(os.path.join(runner.scratch, "home"), FULL_SIZE) as home:
        fill_up(home)
        homeless = subprocess.run(argv, capture_output=True, timeout=RUN_TIMEOUT, stdin=subprocess.DEVNULL,
                                  env=dict({k: v for k, v in os.environ.items() if k != "XDG_STATE_HOME"}, HOME=home))

    def fallback():
        assert (homeless.returncode, homeless.stdout) == (3, b"hi\n"), homeless
        assert re.search(rb"^virtual-board: cannot .*: No space left on device; using keys for this run alone",
                         homeless.stderr, re.M), homeless.stderr

    def step():
        assert halt.returncode == 0 and run.returncode == 0, (halt, run.returncode, err)
        judge_step(parse_csv(out))

    def led():
        assert seen, "this machine's lpfscope never saw LED %d in the window file" % LED
        assert not left, "the board or its window file is left"
    return [Check("booted for the command: the guest records a step with the model's time constant", step),
            Check("this machine's lpfscope sees the guest's ledset; the board goes after", led),
            Check("a full home: a state for the run alone, and a message in words", fallback)] + checks


SCENARIOS = [installing, keys_only, one_shot_on_the_up_board, streaming, interrupts, recording_interrupted,
             endless_input, outputs_that_fail, terminals, private_state, frozen_board, board_dies, halted,
             booted_for_the_command]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True, help="scripts/virtual-board")
    parser.add_argument("--readme", required=True)
    parser.add_argument("--board-build", required=True)
    parser.add_argument("--host-build", required=True, help="holds lpfboard and lpfscope for this machine")
    parser.add_argument("--cache", required=True)
    parser.add_argument("--qemu-system", required=True)
    parser.add_argument("--only", help="the scenarios whose names contain this")
    a = parser.parse_args()

    checks = [Check("terminal: stdin %s, stdout %s, forced %s" % (i, o, f),
                    lambda i=i, o=o, f=f, w=w: _equal(session.wants_terminal(i, o, f), w))
              for i, o, f, w in ((True, True, None, True), (True, False, None, False), (False, True, None, False),
                                 (False, False, True, True), (True, True, False, False))]
    # Decompressed, at an offset misread, the kernel would not boot at all.
    booted = os.path.basename(image.fetch(a.cache).kernel)

    def decompressed():
        assert booted.startswith("uImage-"), booted
    checks.append(Check("the kernel is booted decompressed, from the uImage kept beside it", decompressed))
    with tempfile.TemporaryDirectory(prefix="lpf-virtual-") as scratch:
        runner = Runner(a, scratch)
        try:
            for scenario in SCENARIOS:
                if a.only and a.only not in scenario.__name__:
                    continue
                start = time.monotonic()
                try:
                    checks += scenario(runner)
                finally:
                    runner.kill_all()
                print("%s: %.1f s" % (scenario.__name__, time.monotonic() - start))
        finally:
            runner.script("--halt")
    return 0 if run_table(checks) else 1


if __name__ == "__main__":
    sys.exit(main())
