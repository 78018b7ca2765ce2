"""The virtual board's one voice: its messages on standard error, and how a
child or an error ended, in words."""
import os
import signal

PROGRAM = "virtual-board"


def say(text):
    """A message of the script's own on standard error (gone if it is closed)."""
    try:
        os.write(2, b"%s: %s\n" % (PROGRAM.encode(), text.encode(errors="replace")))
    except OSError:
        pass


def ended(returncode):
    """How a child ended, in words."""
    if returncode < 0:
        return "killed by %s" % signal.Signals(-returncode).name
    return "ended with status %d" % returncode


def in_words(error):
    """An exception as a sentence, with the file an OSError names."""
    if isinstance(error, OSError) and error.strerror:
        return "cannot write %s: %s" % (error.filename, error.strerror) if error.filename else error.strerror
    return str(error)
