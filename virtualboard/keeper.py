"""The board kept up: a keeper process, in a session of its own (this
script's hidden verb --keeper), boots the machine and keeps it until it is
halted, its qemu ends or its lpfboard stops; --up starts it and waits until
ssh answers, --halt stops it."""
import contextlib
import os
import select
import signal
import subprocess
import time

from . import signals, windows
from .machine import BOOT_TIMEOUT, Machine
from .messages import in_words, say
from .ports import answers
from .state import CONNECT_TIMEOUT, Board, write_atomically

LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "virtual-board")
STOP_TIMEOUT = 30


def log(text):
    """A line of what the keeper saw, in keeper.log (its standard error)."""
    with contextlib.suppress(OSError):
        os.write(2, ("%s %s\n" % (time.strftime("%H:%M:%S"), text)).encode(errors="replace"))


def keep_up(state, lock, machine, report):
    """The keeper of a board kept up: boots it, says on `report` when ssh
    answers (or why it failed), and keeps it until it is halted (SIGTERM),
    its qemu ends (poweroff on the board) or its lpfboard stops; then powers
    it off and leaves nothing but the reason."""
    wake = signals.wake_on_signals()
    signals.on_stops(lambda *_: None)  # the wake says it
    reason = None
    halted = False
    said = Board(pid=os.getpid(), port=machine.port, window=machine.window)
    try:
        log("booting: port %d, window file %s" % (machine.port, machine.window))
        with contextlib.suppress(FileNotFoundError):
            os.unlink(state.path("ended"))
        state.describe(said)
        machine.start()
        machine.wait_until_answering(wake)
        said.up = True
        state.describe(said)
        log("up: ssh answers")
        os.write(report, b"up\n")
        os.close(report)
        report = None
        while not machine.failure:
            readable = select.select(machine.watched() + [wake], [], [])[0]
            if wake in readable:
                log("halted")
                break
            machine.serve(readable)
        reason = machine.failure
    except signals.Interrupted:
        log("halted while booting")
        halted = True
        if report is not None:
            reason = "the board was powered off (--halt) while it booted"
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        reason = in_words(e)
    finally:
        signals.ignore_stops()
        machine.stop()
        if reason:
            log("stopped: " + reason)
            if report is not None:  # first: the caller waits for it
                with contextlib.suppress(OSError):
                    os.write(report, reason.encode(errors="replace") + b"\n")
            if not halted:
                try:
                    write_atomically(state.path("ended"), reason + "\n")
                except OSError as e:
                    log("cannot keep the reason: " + in_words(e))
        with contextlib.suppress(FileNotFoundError):
            os.unlink(state.path("board.json"))
        os.close(lock)


def run(state, boot, lock, report):
    """The keeper's life (the hidden verb), holding the state's lock and
    saying on `report` how the boot went."""
    try:
        if boot.window is None:
            boot.window = windows.default_window(os.getpid())
        keep_up(state, lock, Machine(boot, state), report)
    except BaseException as e:
        with contextlib.suppress(OSError):
            os.write(report, ("the board's keeper failed: %s\n" % in_words(e)).encode(errors="replace"))
        log("failed: %r" % e)
    return 0


def bring_up(state, boot):
    """Boots a board kept up by a keeper in the background, and returns once
    ssh answers: None, or why it did not come up. A `boot` without a window
    file takes one named for the keeper."""
    lock = state.take_lock()
    if lock is None:
        return wait_until_up(state)
    report_read, report_write = os.pipe2(os.O_CLOEXEC)
    try:
        log_file = os.open(state.path("keeper.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW |
                           os.O_CLOEXEC, 0o600)
    except OSError as e:
        # Told with the keeper's word; the keeper runs on, its log unkept.
        os.write(report_write, b"cannot write %s: %s; the keeper runs without its log\n"
                 % (state.path("keeper.log").encode(), e.strerror.encode()))
        log_file = subprocess.DEVNULL
    try:
        # Nothing of the caller's: no folder it could not unmount, no
        # descriptor a reader of its waits on.
        keeper = subprocess.Popen([LAUNCHER, "--state", state.directory, "--keeper", str(lock), str(report_write),
                                   boot.to_json()], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=log_file, pass_fds=(lock, report_write), cwd="/", start_new_session=True)
    finally:
        os.close(lock)  # the keeper holds it now
        os.close(report_write)
        if log_file != subprocess.DEVNULL:
            os.close(log_file)
    try:
        said = b""
        while True:
            chunk = os.read(report_read, 65536)
            if not chunk:
                break
            said += chunk
    except KeyboardInterrupt:
        keeper.terminate()
        keeper.wait()
        raise
    finally:
        os.close(report_read)
    if said.endswith(b"up\n"):
        if said != b"up\n":
            say(said[:-3].decode(errors="replace").strip())
        return None
    keeper.wait()
    return said.decode(errors="replace").strip() or "the board's keeper stopped (see %s)" % state.path("keeper.log")


def wait_until_up(state, timeout=BOOT_TIMEOUT, wake=None):
    """A board kept up, perhaps still booting: None once ssh answers there,
    else why not; raises Interrupted if `wake` has something."""
    deadline = time.monotonic() + timeout
    silent_since = None  # up, by its keeper's word, and not answering
    while time.monotonic() < deadline:
        board = state.board()
        if board is None:
            return state.ended() or "the board stopped while booting"
        if board.up:
            if answers(board.port):
                return None
            silent_since = silent_since or time.monotonic()
            if time.monotonic() - silent_since > CONNECT_TIMEOUT:
                return "the board is up but does not answer ssh on port %d (is it stopped?)" % board.port
        if wake is not None and select.select([wake], [], [], 0.1)[0]:
            raise signals.Interrupted()
        if wake is None:
            time.sleep(0.1)
    return "the board did not answer ssh within %d s" % timeout


def halt(state):
    """Powers off the board kept up, if there is one; True once it is off."""
    board = state.board()
    if board is None:
        return True
    if board.pid:
        with contextlib.suppress(ProcessLookupError):
            os.kill(board.pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_TIMEOUT
    while state.keeper_runs():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True
