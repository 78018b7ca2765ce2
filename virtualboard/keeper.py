"""The board kept up: a keeper process, in a session of its own, boots the
machine and keeps it until it is halted, its qemu ends or its lpfboard
stops; --up starts it and waits until ssh answers, --halt stops it."""
import contextlib
import os
import select
import signal
import subprocess
import time

from .machine import BOOT_TIMEOUT, Interrupted, answers, say
from .state import CONNECT_TIMEOUT, write_atomically

STOP_TIMEOUT = 30


def log(text):
    """A line of what the keeper saw, in keeper.log (its standard error)."""
    with contextlib.suppress(OSError):
        os.write(2, ("%s %s\n" % (time.strftime("%H:%M:%S"), text)).encode(errors="replace"))


def in_words(error):
    """An exception as a sentence, with the file an OSError names."""
    if isinstance(error, OSError) and error.strerror:
        return "cannot write %s: %s" % (error.filename, error.strerror) if error.filename else error.strerror
    return str(error)


def keep_up(state, lock, machine, report):
    """The keeper of a board kept up, in a session of its own: boots it, says
    on `report` when ssh answers (or why it failed), and keeps it until it is
    halted (SIGTERM), its qemu ends (poweroff on the board) or its lpfboard
    stops; then powers it off and leaves nothing but the reason."""
    wake_read, wake_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(wake_write)
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda *_: None)
    reason = None
    halted = False
    try:
        log("booting: port %d, window file %s" % (machine.port, machine.window))
        with contextlib.suppress(FileNotFoundError):
            os.unlink(state.path("ended"))
        state.describe(pid=os.getpid(), port=machine.port, window=machine.window, up=False)
        machine.start()
        machine.wait_until_answering(wake_read)
        state.describe(pid=os.getpid(), port=machine.port, window=machine.window, up=True)
        log("up: ssh answers")
        os.write(report, b"up\n")
        os.close(report)
        report = None
        while not machine.failure:
            readable = select.select(machine.watched() + [wake_read], [], [])[0]
            if wake_read in readable:
                log("halted")
                break
            machine.serve(readable)
        reason = machine.failure
    except Interrupted:
        log("halted while booting")
        halted = True
        if report is not None:
            reason = "the board was powered off (--halt) while it booted"
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        reason = in_words(e)
    finally:
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)  # the clean-up runs to its end
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


def bring_up(state, make_machine):
    """Boots a board kept up by a keeper in the background, and returns once
    ssh answers: None, or why it did not come up. `make_machine(pid)` gives
    the Machine for the keeper's process id."""
    lock = state.take_lock()
    if lock is None:
        return wait_until_up(state)
    report_read, report_write = os.pipe2(os.O_CLOEXEC)
    keeper = os.fork()
    if keeper == 0:
        try:
            os.close(report_read)
            os.setsid()
            # Nothing of the caller's: no folder it could not unmount, no
            # descriptor a reader of its waits on.
            os.chdir("/")
            null = os.open(os.devnull, os.O_RDWR)
            try:
                log_file = os.open(state.path("keeper.log"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW,
                                   0o600)
            except OSError as e:
                # Told on the pipe; the keeper runs on, its log unkept.
                os.write(report_write, b"cannot write %s: %s; the keeper runs without its log\n"
                         % (state.path("keeper.log").encode(), e.strerror.encode()))
                log_file = null
            for fd, source in ((0, null), (1, null), (2, log_file)):
                os.dup2(source, fd)
            kept = sorted({lock, report_write})
            for low, high in zip([3] + [fd + 1 for fd in kept], kept + [os.sysconf("SC_OPEN_MAX")]):
                os.closerange(low, high)
            keep_up(state, lock, make_machine(os.getpid()), report_write)
        except BaseException as e:
            with contextlib.suppress(OSError):
                os.write(report_write, ("the board's keeper failed: %s\n" % in_words(e)).encode(errors="replace"))
            log("failed: %r" % e)
        finally:
            os._exit(0)
    os.close(lock)  # the keeper holds it now
    os.close(report_write)
    try:
        said = b""
        while True:
            chunk = os.read(report_read, 65536)
            if not chunk:
                break
            said += chunk
    except KeyboardInterrupt:
        os.kill(keeper, signal.SIGTERM)
        os.waitpid(keeper, 0)
        raise
    finally:
        os.close(report_read)
    if said.endswith(b"up\n"):
        if said != b"up\n":
            say(said[:-3].decode(errors="replace").strip())
        return None
    os.waitpid(keeper, 0)
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
        if board.get("up"):
            if answers(board["port"]):
                return None
            silent_since = silent_since or time.monotonic()
            if time.monotonic() - silent_since > CONNECT_TIMEOUT:
                return "the board is up but does not answer ssh on port %d (is it stopped?)" % board["port"]
        if wake is not None and select.select([wake], [], [], 0.1)[0]:
            raise Interrupted()
        if wake is None:
            time.sleep(0.1)
    return "the board did not answer ssh within %d s" % timeout


def halt(state):
    """Powers off the board kept up, if there is one; True once it is off."""
    board = state.board()
    if board is None:
        return True
    if board.get("pid"):
        with contextlib.suppress(ProcessLookupError):
            os.kill(board["pid"], signal.SIGTERM)
    deadline = time.monotonic() + STOP_TIMEOUT
    while state.keeper_runs():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True
