"""One command line on the board over ssh, as scripts/virtual-board runs it:
ssh carries the streams, the terminal and the exit status; the board's
lpf-session (guest/usr/libexec/lpf-session) keeps what plain ssh would lose.
Without a terminal ssh passes on no signal, so this script passes each on
through a second ssh. ssh cannot close one of the command's outputs alone,
so an output whose reader may leave here (a pipe or a socket) goes through a
relay on the board, which a second ssh ends when the reader leaves: the
command sees that output closed, as locally, and the other still open.

The command's output and error come through pipes of this script's, so that
a failed write here (a full disk) is seen and said, and a reader that
leaves is noticed as it would be locally, at the write."""
import errno
import os
import secrets
import select
import shlex
import signal
import stat
import subprocess
import time

from . import processes
from .messages import say
from .state import ALIAS

LPF_SESSION = "/usr/libexec/lpf-session"  # guest/usr/libexec/lpf-session
GRACE = 5.0  # seconds a command has to end after a signal passed on
FAILED = 255  # the board itself failed, as ssh does
CHUNK = 65536
RETRY = 0.2  # seconds between looks while a word to the board waits
KILL_WAIT = 3.0  # seconds the last word (KILL) has to reach the board
EOF_KEY = b"\x04"  # Ctrl-D: the end of input, typed at a terminal


def wants_terminal(stdin_tty, stdout_tty, force):
    """Whether the command gets a terminal: as ssh and docker decide, unless
    forced (True) or forbidden (False)."""
    return force if force is not None else stdin_tty and stdout_tty


def may_be_left(fd):
    """Whether the reader of an output can leave: a pipe's or a socket's."""
    mode = os.fstat(fd).st_mode
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


def remote_line(token, command, terminal, closed=(), relayed=()):
    """What ssh runs on the board for the shell line `command` (empty: a
    shell), with the standard descriptors `closed` closed and the outputs
    `relayed` through relays."""
    if terminal:
        return "exec %s tty %s%s" % (LPF_SESSION, token, " " + shlex.quote(command) if command else "")
    closing = "".join("exec %d%s&-; " % (fd, "<" if fd == 0 else ">") for fd in closed)
    return " ".join(["exec", LPF_SESSION, "run", token, shlex.quote(closing + (command or "sh"))] +
                    [str(fd) for fd in relayed])


def typed_end(data_ended_a_line):
    """The keys that end a terminal's input after what was piped in: Ctrl-D
    ends it at the start of a line; within one, it first sends the line."""
    return EOF_KEY if data_ended_a_line else EOF_KEY * 2


def _ssh_child():
    """ssh in this script's process group ignores what this script passes
    on (it keeps signals ignored at its start), and dies with it."""
    return processes.tied_to_us(signal.SIGKILL, ignoring_stops=True)


class Stream:
    """Bytes from one descriptor to another, read only when the last piece
    has been written."""

    def __init__(self, name, source, sink):
        self.name, self.source, self.sink = name, source, sink
        self.pending = b""
        self.open = True  # the source still gives
        self.discard = False  # its reader left, or writing failed
        # A blocking write of PIPE_BUF bytes to a pipe or socket that select
        # calls writable does not wait; the script must not, while a signal
        # may come to pass on.
        self.limit = select.PIPE_BUF if may_be_left(sink) else CHUNK
        self.last = b"\n"
        self.ended = False  # typed input: its end was typed

    def read(self):
        try:
            data = os.read(self.source, CHUNK)
        except OSError:
            data = b""
        if not data:
            self.open = False
        elif not self.discard:
            self.pending = data
            self.last = data

    def write(self):
        """None, or the errno of a write that failed."""
        try:
            written = os.write(self.sink, self.pending[:self.limit])
            if written == 0:
                raise OSError(errno.EIO, "nothing written")
        except OSError as e:
            self.pending, self.discard = b"", True
            return e.errno
        self.pending = self.pending[written:]
        return None


class Session:
    """The command from ssh's start to its status. `ssh` is ssh's command
    line up to the destination; `booted`, the Machine of a board booted for
    this command alone, whose end ends the run; `gone()`, why a board kept
    up stopped (None while it runs)."""

    def __init__(self, ssh, command, terminal, closed, wake, booted=None, gone=lambda: None):
        self.ssh, self.command, self.terminal, self.closed, self.wake = ssh, command, terminal, closed, wake
        self.booted, self.gone = booted, gone
        self.token = secrets.token_hex(8)
        self.relayed = [] if terminal else [fd for fd in (1, 2) if fd not in closed and may_be_left(fd)]
        self.signals = []
        self.signal = None  # the first signal passed on
        self.deadline = None
        self.words = []  # (lpf-session's words, process): signals and closes on their way
        self.failure = None  # a message: the run ends with FAILED
        self.heard = False  # a word reached the board's lpf-session
        self.hung_up = False  # the terminal went away
        self.main = None  # ssh running the command, once started
        self.outputs = []  # its output and error, to this script's
        self.typing = None  # input piped to its terminal

    def on_signal(self, number, frame):
        self.signals.append(number)

    def start(self):
        # Input piped to a terminal is typed there, and ended with Ctrl-D.
        typed = self.terminal and 0 not in self.closed and not os.isatty(0)
        self.main = subprocess.Popen(
            self.ssh + ["-tt" if self.terminal else "-T", ALIAS,
                        remote_line(self.token, self.command, self.terminal, self.closed, self.relayed)],
            stdin=subprocess.PIPE if typed else 0, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            preexec_fn=_ssh_child())
        self.outputs = [Stream("standard output", self.main.stdout.fileno(), 1),
                        Stream("standard error", self.main.stderr.fileno(), 2)]
        self.typing = Stream("the board's terminal", 0, self.main.stdin.fileno()) if typed else None

    def tell(self, *words):
        """A word to the board's lpf-session about this run, by a second ssh
        (again while it fails and the run goes on: it has not started)."""
        self.words.append((words, subprocess.Popen(
            self.ssh + ["-T", ALIAS, " ".join((LPF_SESSION, words[0], self.token) + words[1:])],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_ssh_child())))

    def pass_on(self, number):
        self.tell("signal", str(number))
        if self.signal is None:
            self.signal = number
            self.deadline = time.monotonic() + GRACE

    def handle_signals(self):
        while self.signals:
            self.pass_on(self.signals.pop(0))
        for words, process in list(self.words):
            if process.poll() is not None:
                self.words.remove((words, process))
                self.heard = self.heard or process.returncode == 0
                if process.returncode != 0 and self.main.poll() is None:
                    self.tell(*words)

    def finished(self):
        """The status once the run is over, else None."""
        if self.main.poll() is None or any(o.pending or o.open for o in self.outputs):
            return None
        if self.failure:
            return FAILED
        if self.hung_up:
            return 128 + signal.SIGHUP
        status = self.main.returncode
        if status == FAILED:
            self.failure = self.booted.failure if self.booted else self.gone()
            if self.failure:
                return FAILED
            # ssh's 255 alone cannot tell a lost connection from a command's
            # own exit 255: say both, rather than end in silence.
            say("ssh ended with 255: the connection to the board was lost, or the command exited 255")
        return status

    def timed_out(self):
        """The status when the command outlived its grace, else None."""
        if self.deadline is None or time.monotonic() < self.deadline or self.main.poll() is not None:
            return None
        self.tell("signal", "KILL")
        last = self.words[-1][1]
        try:
            self.heard = last.wait(timeout=KILL_WAIT) == 0 or self.heard
        except subprocess.TimeoutExpired:
            pass
        # Whatever the board does, the run ends now, with no ssh of its own left.
        for process in [self.main] + [p for _, p in self.words]:
            if process.poll() is None:
                process.kill()
            process.wait()
        self.words = []
        if self.failure:
            return FAILED
        if self.heard:
            say("the command did not end within %g s of signal %d" % (GRACE, self.signal))
        else:
            say("the board does not answer: signal %d did not reach the command, which may still run "
                        "there" % self.signal)
        return 128 + self.signal

    def run(self):
        self.start()
        while True:
            self.handle_signals()
            if self.booted and self.booted.failure and not self.failure:
                self.failure = self.booted.failure
                self.main.kill()
            status = self.finished()
            if status is None:
                status = self.timed_out()
            if status is not None:
                return status
            self.step()

    def end_typing(self):
        """Piped input typed at the board's terminal ends with Ctrl-D, as a
        user ends it; then the pipe to ssh closes."""
        if self.typing.ended:
            self.main.stdin.close()
            self.typing = None
        else:
            self.typing.pending, self.typing.ended = typed_end(self.typing.last.endswith(b"\n")), True

    def failed(self, stream, error):
        """What a failed write to one of this script's outputs means."""
        if error == errno.EPIPE and stream.sink in self.relayed:
            self.tell("close", str(stream.sink))  # its reader left, as a pipe's would locally
        elif error == errno.EIO and os.isatty(stream.sink):
            # The terminal is gone: so is the board's, as with ssh.
            if self.terminal:
                self.hung_up = True
                self.main.kill()
        elif not self.failure:
            self.failure = "cannot write %s: %s" % (stream.name, os.strerror(error))
            self.pass_on(signal.SIGTERM)  # the command ends, and its last words arrive

    def step(self):
        if self.typing and not self.typing.open and not self.typing.pending:
            self.end_typing()
        streams = self.outputs + ([self.typing] if self.typing else [])
        reading = [self.wake] + (self.booted.watched() if self.booted else [])
        writing = []
        for stream in streams:
            if stream.pending:
                writing.append(stream.sink)
            elif stream.open:
                reading.append(stream.source)
        # ssh may close its pipes a moment before it can be waited for.
        waiting = self.words or self.deadline or not all(o.open for o in self.outputs)
        try:
            readable, writable, _ = select.select(reading, writing, [], RETRY if waiting else None)
        except InterruptedError:
            return
        if self.wake in readable:
            try:
                os.read(self.wake, 256)
            except BlockingIOError:
                pass
        if self.booted:
            self.booted.serve(readable)
        for stream in streams:
            if stream.sink in writable:
                error = stream.write()
                if stream is self.typing:
                    if error is not None:
                        stream.open, stream.ended = False, True  # ssh is gone
                elif error is not None:
                    self.failed(stream, error)
            elif stream.open and stream.source in readable:
                stream.read()
