"""This user's state of the virtual board, which makes it the same board
from one boot to the next: the key that logs in, the board's host key and
its known-hosts file, the port; and, while a board is kept up, the lock its
keeper holds and what it says of the board."""
import contextlib
import errno
import fcntl
import json
import os
import stat
import subprocess
from dataclasses import asdict, dataclass

from .ports import LOOPBACK, free_port, port_is_free

ALIAS = "lpf-board"  # the board's name in ssh's configuration and known hosts

CONNECT_TIMEOUT = 10  # seconds for the connection and the board's greeting
ALIVE_INTERVAL = 5  # seconds between keep-alives on a quiet connection
ALIVE_COUNT = 3  # unanswered keep-alives that end ssh


class Unsafe(RuntimeError):
    """The state's directory is one that others may use."""


class CannotKeep(RuntimeError):
    """The state cannot be kept there (no home, a full or read-only disk)."""


def write_atomically(path, text, mode=0o600):
    """`text` at `path` whole or not at all; an error names the file."""
    new = path + ".new"
    try:
        with open(os.open(new, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, mode), "w") as f:
            f.write(text)
    except OSError as e:
        if e.errno == errno.ELOOP:  # a link planted there: it stays, for its owner to see
            raise
        with contextlib.suppress(OSError):
            os.unlink(new)
        raise OSError(e.errno, e.strerror, path) from None
    os.replace(new, path)


@dataclass
class Board:
    """What the keeper of a board kept up says of it; nothing yet (up False)
    before it has said."""
    pid: int = None
    port: int = None
    window: str = None
    up: bool = False


def _quoted(value):
    return '"%s"' % value if " " in value else value


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
        """The directory and the keys, made once. Raises Unsafe for a
        directory others may use, CannotKeep where it cannot be made."""
        try:
            os.makedirs(self.directory, mode=0o700, exist_ok=True)
        except OSError as e:
            raise CannotKeep("cannot keep the board's keys in %s: %s" % (self.directory, e.strerror))
        status = os.lstat(self.directory)
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.geteuid() or status.st_mode & 0o077:
            raise Unsafe("%s must be a directory of this user's that no one else can use (mode 0700)"
                         % self.directory)
        try:
            with self._locked("keys.lock"):
                for key, comment in ((self.key, "the virtual board's user key"), (self.host_key, ALIAS)):
                    if not os.path.exists(key):
                        self._make_key(key, comment)
                if not os.path.exists(self.known_hosts):
                    with open(self.host_key + ".pub") as f:
                        kind, key = f.read().split()[:2]
                    write_atomically(self.known_hosts, "%s %s %s\n" % (ALIAS, kind, key))
        except OSError as e:
            raise CannotKeep("cannot keep the board's keys: %s: %s" % (e.filename or self.directory, e.strerror))
        return self

    @staticmethod
    def _make_key(key, comment):
        """A key pair made whole or not at all (a full disk leaves no half
        key that later runs would take)."""
        new = key + ".new"
        for stale in (new, new + ".pub"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(stale)
        made = subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", new],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if made.returncode != 0:
            said = made.stderr.decode(errors="replace").strip().splitlines()
            raise CannotKeep("cannot make the board's key %s: %s" % (key, said[-1] if said else "ssh-keygen failed"))
        os.replace(new + ".pub", key + ".pub")
        os.replace(new, key)

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
        """ssh's options for the board, as the Host block gives them (a
        path with a space quoted there as here)."""
        return ["-o%s=%s" % (name, _quoted(value)) for name, value in self.ssh_settings(port)]

    def ssh_settings(self, port):
        return [("HostName", LOOPBACK), ("Port", str(port)), ("User", "root"), ("IdentityFile", self.key),
                ("IdentitiesOnly", "yes"), ("UserKnownHostsFile", self.known_hosts), ("HostKeyAlias", ALIAS),
                ("StrictHostKeyChecking", "yes"), ("PasswordAuthentication", "no"),
                # A board that stops answering ends ssh, as a real one gone
                # from the network does, instead of holding it for good.
                ("ConnectTimeout", str(CONNECT_TIMEOUT)), ("ServerAliveInterval", str(ALIVE_INTERVAL)),
                ("ServerAliveCountMax", str(ALIVE_COUNT))]

    def ssh_config(self, port):
        """The Host block for ~/.ssh/config."""
        lines = ["Host " + ALIAS]
        for name, value in self.ssh_settings(port):
            lines.append("  %s %s" % (name, _quoted(value)))
        return "\n".join(lines) + "\n"

    def keep_ssh_config(self, port):
        """The Host block in the state, rewritten for the port: what the
        lines of ssh_include name, so that they hold across a port change."""
        path = self.path("ssh_config")
        text = self.ssh_config(port)
        try:
            with open(path) as f:
                if f.read() == text:
                    return
        except OSError:
            pass
        write_atomically(path, text)

    def ssh_include(self):
        """Lines for the end of ~/.ssh/config that take the state's Host
        block, whatever block comes before them (`Match all` ends it)."""
        return "Match all\nInclude %s\n" % _quoted(self.path("ssh_config"))

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

    def describe(self, board):
        write_atomically(self.path("board.json"), json.dumps(asdict(board)) + "\n")

    def board(self):
        """What the keeper of a board kept up says of it (a Board), or None
        when none runs."""
        if not self.keeper_runs():
            return None
        try:
            with open(self.path("board.json")) as f:
                return Board(**json.load(f))
        except (OSError, ValueError, TypeError):
            return Board()  # its keeper has not said yet

    def ended(self):
        """Why the last board kept up stopped, if not halted."""
        try:
            with open(self.path("ended")) as f:
                return f.read().strip() or None
        except OSError:
            return None
