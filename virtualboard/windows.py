"""The window files: the FPGA's window of a board, shared by qemu and the
lpfboard that serves it, in this machine's memory-backed folder; named so
that stale ones can be found and removed, and marked so that only
lpfboard's are."""
import fcntl
import glob
import os
import re
import secrets
import stat

import lpfmap

SIZE = lpfmap.WINDOW_FILE_SIZE
MARK = lpfmap.WINDOW_FILE_MARK
# A name no other user can take first (so that none can block a boot by
# planting a file there), whose process id says whether its board may live.
NAME = "lpf-window-{uid}-{pid}-{random}"
SHOWN_NAME = NAME.format(uid="UID", pid="PID", random="RANDOM")
_PARSED = re.compile(NAME.format(uid=r"(\d+)", pid=r"(\d+)", random=r"[0-9a-f]+"))
# lpfboard's line once it serves the file (printed by lpfboard/main.cpp).
READY = "lpfboard: powered on {}\n"


def name(uid, pid, random):
    return NAME.format(uid=uid, pid=pid, random=random)


def owner(file_name):
    """(uid, pid) of a window file's name, or None for another name."""
    found = _PARSED.fullmatch(file_name)
    return (int(found.group(1)), int(found.group(2))) if found else None


def directory():
    return "/dev/shm" if os.path.isdir("/dev/shm") else "/tmp"


def default_window(pid):
    return os.path.join(directory(), name(os.geteuid(), pid, secrets.token_hex(8)))


def is_ours(path):
    """A window file of this user's, by its mark: (descriptor or None)."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        status = os.fstat(descriptor)
        if stat.S_ISREG(status.st_mode) and status.st_uid == os.geteuid() and \
                os.pread(descriptor, len(MARK), 0) == MARK:
            return descriptor
    except OSError:
        pass
    os.close(descriptor)
    return None


def remove_window(path):
    """Removes a window file of this user's that no lpfboard holds."""
    descriptor = is_ours(path)
    if descriptor is None:
        return
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.unlink(path)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def clean_stale_windows():
    """Window files of boards whose keeper was killed with their lpfboard."""
    for path in glob.glob(os.path.join(directory(), name(os.geteuid(), "*", "*"))):
        found = owner(os.path.basename(path))
        if found is None or found[0] != os.geteuid():
            continue
        try:
            os.kill(found[1], 0)
        except ProcessLookupError:
            remove_window(path)
        except PermissionError:
            pass
