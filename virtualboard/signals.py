"""The signals of the virtual board's processes, set up here alone. The
signals that stop a run (Ctrl-C, a closed terminal, kill's default and
Ctrl-\\) are passed on to the command, halt a keeper, and are ignored by the
ssh children that carry them (and by every process during its clean-up)."""
import os
import signal
import sys

STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)


class Interrupted(Exception):
    """A signal came while waiting."""


def interrupt_quietly():
    """A Ctrl-C while the script loads ends it quietly."""
    signal.signal(signal.SIGINT, lambda *_: sys.exit(128 + signal.SIGINT))


def interrupt_raises():
    """A Ctrl-C from now on raises KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.default_int_handler)


def end_on_broken_pipe():
    """A reader that leaves (| head) ends a printing verb, as other tools end."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


def wake_on_signals():
    """The read end of a pipe that becomes readable when any handled signal
    arrives, for select to wake on."""
    read, write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(write)
    return read


def on_stops(handler):
    """handler(number, frame) for each stopping signal."""
    for number in STOPS:
        signal.signal(number, handler)


def ignore_stops():
    """The stopping signals ignored: the clean-up runs to its end; a child
    keeps them ignored from its start."""
    on_stops(signal.SIG_IGN)
