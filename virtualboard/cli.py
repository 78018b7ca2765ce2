"""The virtual board: the board's static ARM binaries on an ARM Linux kernel
under qemu-system-arm, whose FPGA window is served live by lpfboard on this
machine, reached with ssh and scp as a board on the network is.

  scripts/virtual-board --up
      boots a board that stays up, and returns once ssh answers there
  scripts/virtual-board --ssh-include >> ~/.ssh/config
      (once) lines that take its Host block, kept for its port, from the
      state: then `ssh lpf-board`, `scp FILE lpf-board:` (--ssh-config
      prints the block itself)
  scripts/virtual-board --status
      whether one is up (status 0; 3 if not), its port and window file
  scripts/virtual-board --halt
      powers it off, leaving nothing behind
  scripts/virtual-board [-t|-T] [--] [COMMAND [ARG...]]
      runs the command line on the board (its words joined as ssh joins
      them; without one, a shell): on the board that is up, else on one
      booted for it and halted after

The board has lpfconsole, ledset and lpfscope in /usr/sbin, from this
checkout's board build; its window file is this machine's to watch with
`build/host/lpfscope/lpfscope --window FILE`. Only this user's key (made on
first use) logs in, as root; the board listens on {loopback} only and reaches
nothing outside.

Streams: as with ssh, the command's standard input, output and error are
this script's, byte for byte, as the command reads and writes them. A stream
closed here is closed there. When the reader of the output leaves (| head),
the command sees its output closed.

Terminal: the command runs on a terminal of the board only when this
script's standard input and output are both terminals; -t gives it one
anyway (input piped to it is typed there, then Ctrl-D), -T never. ssh's
escapes work there (~. leaves at once).

Signals: SIGINT, SIGTERM, SIGHUP and SIGQUIT (Ctrl-C, a closed terminal)
are passed on to the command, which then has {grace:g} s to end and send its last
output; after those (and {kill:g} s more for a last KILL) the script ends,
whatever the board does, saying so if the board does not answer.

A board that does not answer: ssh gives up, as with a real board gone from
the network, when it cannot connect within {connect} s, or when {count} keep-alives {alive} s
apart go unanswered (the Host block carries the same settings).

Status: the command's exit status (128+N if signal N ended it, with or
without a terminal, or if it has not ended {grace:g} s after signal N was passed
on); 255 if the virtual board itself failed: a failed boot, lpfboard
stopping, a board that does not answer, an output that cannot be written (a
full disk); a message on standard error says which.

Booting first brings the board build and this machine's lpfboard and
lpfscope up to date (at once if no source changed). However a run ends, it
leaves no qemu, no lpfboard and no window file of its own behind."""
import argparse
import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

from . import builds, image, keeper, machine, ports, session, signals, windows
from .messages import say
from .state import ALIAS, ALIVE_COUNT, ALIVE_INTERVAL, CONNECT_TIMEOUT, CannotKeep, State

ROOT = builds.ROOT
NOT_RUNNING = 3  # --status, as service managers say it
GONE_WAIT = 3.0  # seconds for a stopped board's keeper to say why


def guard_standard_streams():
    """The standard descriptors that the command must find closed: those
    closed at the start, which now hold /dev/null so that nothing opened
    later lands on them, and those open the wrong way (writes to them would
    fail here too)."""
    closed = []
    for fd, wanted in ((0, (os.O_RDONLY, os.O_RDWR)), (1, (os.O_WRONLY, os.O_RDWR)), (2, (os.O_WRONLY, os.O_RDWR))):
        try:
            if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE not in wanted:
                closed.append(fd)
            continue
        except OSError:
            closed.append(fd)
        null = os.open(os.devnull, os.O_RDWR)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
    return closed


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="scripts/virtual-board", formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [-h] [--up | --halt | --status | --ssh-config | --ssh-include] [-t | -T] "
              "[--window FILE] "
              "[--] [COMMAND [ARG...]]",
        description=__doc__.format(grace=session.GRACE, kill=session.KILL_WAIT, connect=CONNECT_TIMEOUT,
                                   count=ALIVE_COUNT, alive=ALIVE_INTERVAL, loopback=ports.LOOPBACK))
    actions = parser.add_mutually_exclusive_group()
    for flag, text in (("--up", "boot a board that stays up"), ("--halt", "power off the board that is up"),
                       ("--status", "say whether a board is up (status 0) or not (3)"),
                       ("--ssh-config", "print the Host block for ~/.ssh/config"),
                       ("--ssh-include", "print the lines for the end of ~/.ssh/config that take the Host "
                                         "block from the state, kept for the board's port")):
        actions.add_argument(flag, dest="action", action="store_const", const=flag[2:], help=text)
    parser.add_argument("-t", dest="terminal", action="store_const", const=True,
                        help="give the command a terminal even if this script's streams are not terminals")
    parser.add_argument("-T", dest="terminal", action="store_const", const=False,
                        help="never give the command a terminal")
    parser.add_argument("--window", metavar="FILE",
                        help="the window file of a board this run boots (default %s)"
                             % os.path.join(windows.directory(), windows.SHOWN_NAME))
    parser.add_argument("--board-build", default=os.path.join(ROOT, "build", "board"), help=argparse.SUPPRESS)
    parser.add_argument("--host-build", default=os.path.join(ROOT, "build", "host"), help=argparse.SUPPRESS)
    parser.add_argument("--cache", default=os.path.join(ROOT, "build", "board", "vm"), help=argparse.SUPPRESS)
    parser.add_argument("--qemu", default="qemu-system-arm", help=argparse.SUPPRESS)
    parser.add_argument("--state", default=State.default_directory(), help=argparse.SUPPRESS)
    # A board's keeper (see keeper.py): the state's lock, its report pipe, the boot.
    parser.add_argument("--keeper", nargs=3, metavar=("LOCK", "REPORT", "BOOT"), help=argparse.SUPPRESS)
    parser.add_argument("command", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.command[:1] == ["--"]:
        args.command = args.command[1:]
    if args.action and (args.command or args.terminal is not None):
        parser.error("--%s takes no command, -t or -T" % args.action)
    # Paths as they were meant here, whatever folder a keeper works in.
    for name in ("window", "state", "board_build", "host_build", "cache"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    return args


def prepare_boot(args):
    """A boot (its port still to choose), its builds and guest brought up
    to date first; the window file named by --window, else the booter's."""
    built = builds.bring_up_to_date(args.board_build, args.host_build, say)
    if not os.path.exists(os.path.join(args.cache, image.COMPLETE)):
        say("fetching Debian's armhf kernel, busybox and ssh server (once)")
    guest = image.fetch(args.cache)
    windows.clean_stale_windows()
    return machine.Boot(args.qemu, guest, built.board, None, args.window, built.host["lpfboard"])


def describe(found):
    return "the board is up: ssh %s (%s port %d); its window file: %s" % (
        ALIAS, ports.LOOPBACK, found.port, found.window)


def up(args, state):
    found = state.board()
    if found and args.window and found.window and args.window != found.window:
        say("a board is up, with the window file %s" % found.window)
        return session.FAILED
    if found is None:
        boot = prepare_boot(args)
        boot.port, replaced = state.port()
        state.keep_ssh_config(boot.port)
        if replaced:
            say("port %d is taken now: the board takes %d (the lines of --ssh-include follow it; "
                "a Host block from --ssh-config needs replacing)" % (replaced, boot.port))
        say("booting the board")
        why = keeper.bring_up(state, boot)
    else:
        why = keeper.wait_until_up(state)
    if why:
        say(why)
        return session.FAILED
    say(describe(state.board()))
    return 0


def status(args, state):
    found = state.board()
    if found is None:
        ended = state.ended() or ""
        lines = ended.splitlines()
        if len(lines) > 1:  # a console's end: its first line here, the rest in the file
            lines[0] = "%s (the rest in %s)" % (lines[0].rstrip(":"), state.path("ended"))
        print("no board is up" + ("; the last one stopped: " + lines[0] if lines else ""))
        return NOT_RUNNING
    if not found.up:
        print("the board is booting")
        return NOT_RUNNING
    if not ports.answers(found.port):
        print("the board does not answer ssh (it may be powering off)")
        return NOT_RUNNING
    print(describe(found))
    print("watch its filter here: %s --window %s" % (os.path.join(args.host_build, "lpfscope", "lpfscope"),
                                                     found.window))
    return 0


def halt(state):
    if state.board() is None:
        say("no board is up")
        return 0
    if not keeper.halt(state):
        say("the board did not power off within %d s" % keeper.STOP_TIMEOUT)
        return session.FAILED
    say("the board is powered off")
    return 0


def private_state(args):
    """This user's state, or (where it cannot be kept, say without a home or
    on a full one) one for this run alone, which cannot see a board kept up.
    A directory others may use is refused, as --up refuses it."""
    try:
        return State(args.state).prepare(), None
    except CannotKeep as e:
        if args.state != State.default_directory():
            raise
        scratch = tempfile.TemporaryDirectory(prefix="lpf-virtual-board-")
        try:
            state = State(os.path.join(scratch.name, "state")).prepare()
        except BaseException:
            scratch.cleanup()
            raise
        say("%s; using keys for this run alone (no board kept up is seen)" % e)
        return state, scratch


@dataclass
class Reached:
    """The board a command runs on, and `gone()`: why it stopped, or None
    while it runs."""
    port: int
    window: str
    gone: object = lambda: None


def on_the_board_that_is_up(args, state, wake):
    """The board kept up (once it is, if it is booting), as Reached, or
    None. Its keeper's word is enough: a board that has stopped since fails
    ssh, and then says why."""
    found = state.board()
    if found and not found.up and keeper.wait_until_up(state, wake=wake) is None:
        found = state.board()
    if not (found and found.up):
        return None
    if args.window and args.window != found.window:
        raise RuntimeError("a board is up, with the window file %s" % found.window)

    def gone():
        # ssh's 255: the command's own, unless the board stopped.
        deadline = time.monotonic() + GONE_WAIT
        while time.monotonic() < deadline:
            if state.board() is None:
                return state.ended() or "the board stopped"
            if ports.answers(found.port, timeout=1):
                return None
            time.sleep(0.05)
        return "the board does not answer ssh on port %d (is it stopped?)" % found.port
    return Reached(found.port, found.window, gone)


def run_command(args, closed):
    command = " ".join(args.command)
    terminal = session.wants_terminal(os.isatty(0), os.isatty(1), args.terminal)
    wake = signals.wake_on_signals()
    interrupted = []
    signals.on_stops(lambda number, frame: interrupted.append(number))
    state, scratch = private_state(args)
    own = None
    try:
        board = on_the_board_that_is_up(args, state, wake)
        if board is None:
            boot = prepare_boot(args)
            boot.port = ports.free_port(avoid=(state.saved_port(),))
            boot.window = boot.window or windows.default_window(os.getpid())
            own = machine.Machine(boot, state)
            board = Reached(own.port, own.window)
            if terminal and not command:
                say("booting; lpfconsole, ledset and lpfscope are on the PATH; exit powers the board off")
            own.start()
            own.wait_until_answering(wake)
        if terminal and os.isatty(0) and os.isatty(2):  # someone at the terminal to read it
            say("watch the filter from another terminal: %s --window %s" % (
                os.path.join(args.host_build, "lpfscope", "lpfscope"), board.window))
        ssh = ["ssh", "-F", "/dev/null", "-oLogLevel=ERROR", "-oBatchMode=yes"] + state.ssh_options(board.port)
        run = session.Session(ssh, command, terminal, [fd for fd in closed if not terminal], wake, own, board.gone)
        signals.on_stops(run.on_signal)
        run.signals += interrupted
        status = run.run()
        if run.failure:
            say(run.failure)
        return status
    except signals.Interrupted:
        return 128 + interrupted[0]
    finally:
        signals.ignore_stops()
        if own:
            own.stop()
        if scratch:
            scratch.cleanup()


def main():
    signals.interrupt_raises()
    closed = guard_standard_streams()
    args = parse_arguments()
    if args.keeper:
        lock, report, boot = args.keeper
        return keeper.run(State(args.state), machine.Boot.from_json(boot), int(lock), int(report))
    if args.action in ("status", "ssh-config", "ssh-include"):
        signals.end_on_broken_pipe()
    try:
        if args.action == "status":
            return status(args, State(args.state))
        if args.action == "halt":
            return halt(State(args.state))
        if args.action in ("ssh-config", "ssh-include"):
            state = State(args.state).prepare()
            found = state.board()
            # A keeper that has not said its port yet boots on the saved one.
            port = (found.port or state.saved_port()) if found else state.port()[0]
            state.keep_ssh_config(port)
            sys.stdout.write(state.ssh_config(port) if args.action == "ssh-config" else state.ssh_include())
            return 0
        if args.action == "up":
            return up(args, State(args.state).prepare())
        return run_command(args, closed)
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        say(str(e))
        return session.FAILED

