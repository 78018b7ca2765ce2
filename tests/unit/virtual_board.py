#!/usr/bin/env python3
"""The virtual board's pure parts, without booting: the line ssh runs on the
board, the initramfs's cpio archive (read back by libarchive, as the kernel
would take it), the Host block (read back by ssh -G, in its three forms) and
the window files' names."""
import ctypes
import fnmatch
import os
import subprocess
import sys
import tempfile

from harness import Check, run_table
from virtualboard import image, session, windows
from virtualboard.state import ALIAS, State

SESSION = session.LPF_SESSION


def remote_lines():
    rows = [  # (token, command, terminal, closed, relayed), the line
        (("t1", "ls -l", True, (), ()), "exec %s tty t1 'ls -l'" % SESSION),
        (("t1", "", True, (), ()), "exec %s tty t1" % SESSION),
        (("t1", "", False, (), ()), "exec %s run t1 sh" % SESSION),
        (("t1", "cat", False, (0, 2), ()), "exec %s run t1 'exec 0<&-; exec 2>&-; cat'" % SESSION),
        (("t1", "a 'b'", False, (), (1, 2)), "exec %s run t1 'a '\"'\"'b'\"'\"'' 1 2" % SESSION),
    ]
    for words, line in rows:
        def check(words=words, line=line):
            got = session.remote_line(*words)
            assert got == line, "%r, expected %r" % (got, line)
        yield Check("remote line of %r" % (words[1:],), check)


def read_cpio(data):
    """[(path, mode, data, (major, minor), uid)] as libarchive reads them."""
    lib = ctypes.CDLL("libarchive.so.13")
    for name, result in (("archive_read_new", ctypes.c_void_p), ("archive_entry_pathname", ctypes.c_char_p),
                         ("archive_entry_symlink", ctypes.c_char_p), ("archive_error_string", ctypes.c_char_p),
                         ("archive_entry_size", ctypes.c_int64), ("archive_read_data", ctypes.c_ssize_t)):
        getattr(lib, name).restype = result
    archive, entry = lib.archive_read_new(), ctypes.c_void_p()
    lib.archive_read_support_format_cpio(ctypes.c_void_p(archive))
    assert lib.archive_read_open_memory(ctypes.c_void_p(archive), data, len(data)) == 0
    found = []
    while (status := lib.archive_read_next_header(ctypes.c_void_p(archive), ctypes.byref(entry))) == 0:
        content = lib.archive_entry_symlink(entry)  # a link's target, else the file's bytes
        if content is None:
            size = lib.archive_entry_size(entry)
            read = ctypes.create_string_buffer(size)
            assert lib.archive_read_data(ctypes.c_void_p(archive), read, size) == size, "short data"
            content = read.raw
        found.append((lib.archive_entry_pathname(entry).decode(), lib.archive_entry_mode(entry), content,
                      (lib.archive_entry_rdevmajor(entry), lib.archive_entry_rdevminor(entry)),
                      lib.archive_entry_uid(entry)))
    assert status == 1, lib.archive_error_string(ctypes.c_void_p(archive))  # ARCHIVE_EOF, at the trailer
    lib.archive_read_free(ctypes.c_void_p(archive))
    return found


def cpio_archives():
    console = image.Entry("dev/console", 0o20600, device=(5, 1))
    rows = [  # the entries: names and data of every length modulo 4
        [image.directory("etc"), image.regular("etc/a", b"x"), image.regular("etc/bb", b"xy" * 3, 0o600)],
        [image.link("init", "bin/busybox"), image.regular("abc", b""), console,
         image.regular("root/.ssh/authorized_keys", b"ssh-ed25519 AAAA\n" * 5, 0o600)],
    ]
    for entries in rows:
        def check(entries=entries):
            wanted = [(e.path, e.mode, e.data, e.device, 0) for e in entries]
            got = read_cpio(image.cpio_newc(entries))
            assert got == wanted, "%r, expected %r" % (got, wanted)
        yield Check("cpio of %s" % ", ".join(e.path for e in entries), check)


def ssh_resolved(*argv):
    """What ssh makes of its configuration for the board."""
    done = subprocess.run(["ssh", "-G", *argv, ALIAS], capture_output=True, text=True, timeout=10)
    assert done.returncode == 0, done.stderr
    return dict(line.split(" ", 1) for line in done.stdout.splitlines())


def host_blocks(scratch):
    for folder, port in (("state", 2222), ("a state folder", 40001)):
        def check(folder=folder, port=port):
            state = State(os.path.join(scratch, folder))
            os.makedirs(state.directory, exist_ok=True)
            state.keep_ssh_config(port)
            config, include = os.path.join(state.directory, "config"), os.path.join(state.directory, "include")
            with open(config, "w") as f:
                f.write(state.ssh_config(port))
            with open(include, "w") as f:
                f.write("Host other\n  Port 1\n" + state.ssh_include())
            block = ssh_resolved("-F", config)
            wanted = {"hostname": "127.0.0.1", "port": str(port), "user": "root", "identityfile": state.key,
                      "userknownhostsfile": state.known_hosts, "hostkeyalias": ALIAS,
                      "stricthostkeychecking": "true", "passwordauthentication": "no", "identitiesonly": "yes",
                      "connecttimeout": "10", "serveraliveinterval": "5", "serveralivecountmax": "3"}
            assert {k: block.get(k) for k in wanted} == wanted, block
            for form in (["-F", include], ["-F", "/dev/null", *state.ssh_options(port)]):
                assert ssh_resolved(*form) == block, form
        yield Check("Host block, its include and its options for %r, port %d" % (folder, port), check)


def window_names():
    made = windows.name(1000, 4242, "0123abcdef")
    rows = [(made, (1000, 4242)), (os.path.basename(windows.default_window(77)), (os.geteuid(), 77)),
            ("lpf-window-1000-4242", None), ("lpf-window-1000-42x-ab", None), ("lpf-window-1000-4242-ab.new", None),
            ("lpf-board-1000", None)]
    for name, owner in rows:
        def check(name=name, owner=owner):
            assert windows.owner(name) == owner, "%r: %r, expected %r" % (name, windows.owner(name), owner)
            if owner:  # the folder's look for a user's files finds it, and no other user's
                assert fnmatch.fnmatchcase(name, windows.name(owner[0], "*", "*"))
                assert not fnmatch.fnmatchcase(name, windows.name(owner[0] + 1, "*", "*"))
        yield Check("window file name %r" % name, check)


def main():
    with tempfile.TemporaryDirectory(prefix="lpf-unit-") as scratch:
        ok = run_table([*remote_lines(), *cpio_archives(), *host_blocks(scratch), *window_names()])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
