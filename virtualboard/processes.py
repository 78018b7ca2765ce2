"""The virtual board's children: tied to this process so that none
outlives it, and stopped with a grace."""
import ctypes
import os
import subprocess

from . import signals

PR_SET_PDEATHSIG = 1


def tied_to_us(how, ignoring_stops=False):
    """A child that dies with this process, even by SIGKILL (by the signal
    `how`); one that ignores the stopping signals if asked."""
    parent = os.getpid()

    def prepare():
        if ignoring_stops:
            signals.ignore_stops()
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, how)
        if os.getppid() != parent:
            os._exit(255)
    return prepare


def stop(process, how, grace=5):
    """Ends the child with `how`, then SIGKILL if it outlives the grace."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(how)
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
