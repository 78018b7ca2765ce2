"""This user's state of the virtual board, which makes it the same board
from one boot to the next: the key that logs in, the board's host key and
its known-hosts file, the port; and, while a board is kept up, the lock its
keeper holds and what it says of the board."""
import contextlib
import fcntl
import json
import os
import stat
import subprocess

from .machine import ALIAS, LOOPBACK, free_port, port_is_free


def write_atomically(path, text, mode=0o600):
    new = path + ".new"
    with open(os.open(new, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, mode), "w") as f:
        f.write(text)
    os.replace(new, path)


class State:
    """This user's board state, in a directory no one else may read: the key
    that logs in (made on first use), the board's host key and the
    known-hosts file that names it, the port; while a board is up, the lock
    its keeper holds and what it says of the board."""

    def __init__(self, directory):
        self.directory = directory
        self.key = self.path("id_ed25519")
        self.host_key = self.path("host_key")
        self.known_hosts = self.path("known_hosts")

    @staticmethod
    def default_directory():
        base = os.environ.get("XDG_STATE_HOME", "")
        if not os.path.isabs(base):  # a relative one is to be ignored
            base = os.path.join(os.path.expanduser("~"), ".local", "state")
        return os.path.join(base, "lpf-virtual-board")

    def path(self, name):
        return os.path.join(self.directory, name)

    def prepare(self):
        """The directory and the keys, made once."""
        try:
            os.makedirs(self.directory, mode=0o700, exist_ok=True)
        except OSError as e:
            raise RuntimeError("cannot keep the board's keys in %s: %s" % (self.directory, e.strerror))
        status = os.lstat(self.directory)
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.geteuid() or status.st_mode & 0o077:
            raise RuntimeError("%s must be a directory of this user's that no one else can use" % self.directory)
        with self._locked("keys.lock"):
            for key, comment in ((self.key, "the virtual board's user key"), (self.host_key, ALIAS)):
                if not os.path.exists(key):
                    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", key],
                                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
            if not os.path.exists(self.known_hosts):
                with open(self.host_key + ".pub") as f:
                    kind, key = f.read().split()[:2]
                write_atomically(self.known_hosts, "%s %s %s\n" % (ALIAS, kind, key))
        return self

    @contextlib.contextmanager
    def _locked(self, name):
        descriptor = os.open(self.path(name), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
            yield
        finally:
            os.close(descriptor)

    def public_key(self):
        with open(self.key + ".pub", "rb") as f:
            return f.read()

    def saved_port(self):
        try:
            with open(self.path("port")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def port(self):
        """The board's port: the one it had while that is free, else a new
        one, kept from then on. (port, the one it replaced or None)."""
        saved = self.saved_port()
        if saved and port_is_free(saved):
            return saved, None
        port = free_port()
        write_atomically(self.path("port"), "%d\n" % port)
        return port, saved

    def ssh_options(self, port):
        """ssh's options for the board, as the Host block gives them."""
        return ["-o%s=%s" % (name, value) for name, value in self.ssh_settings(port)]

    def ssh_settings(self, port):
        return [("HostName", LOOPBACK), ("Port", str(port)), ("User", "root"), ("IdentityFile", self.key),
                ("IdentitiesOnly", "yes"), ("UserKnownHostsFile", self.known_hosts), ("HostKeyAlias", ALIAS),
                ("StrictHostKeyChecking", "yes"), ("PasswordAuthentication", "no")]

    def ssh_config(self, port):
        """The Host block for ~/.ssh/config."""
        lines = ["Host " + ALIAS]
        for name, value in self.ssh_settings(port):
            lines.append("  %s %s" % (name, '"%s"' % value if " " in value else value))
        return "\n".join(lines) + "\n"

    # The board kept up: its keeper holds the lock exclusively for as long
    # as it runs; a look takes it shared, so that looks never hide a board
    # from one another.
    def take_lock(self):
        """The lock, held (a descriptor), or None if it is held elsewhere."""
        descriptor = os.open(self.path("board.lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return descriptor
        except BlockingIOError:
            os.close(descriptor)
            return None

    def keeper_runs(self):
        try:
            descriptor = os.open(self.path("board.lock"), os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
        except (FileNotFoundError, PermissionError, NotADirectoryError):
            return False  # no board of this state's, or not this user's to look at
        try:
            fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
            return False
        except BlockingIOError:
            return True
        finally:
            os.close(descriptor)

    def describe(self, **board):
        write_atomically(self.path("board.json"), json.dumps(board) + "\n")

    def board(self):
        """What the keeper of a board kept up says of it ({"pid", "port",
        "window", "up"}), or None when none runs."""
        if not self.keeper_runs():
            return None
        try:
            with open(self.path("board.json")) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {"up": False}  # its keeper has not said yet

    def ended(self):
        """Why the last board kept up stopped, if not halted."""
        try:
            with open(self.path("ended")) as f:
                return f.read().strip() or None
        except OSError:
            return None
