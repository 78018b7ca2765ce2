"""The board's ports on this machine's loopback, which alone it listens on."""
import socket

LOOPBACK = "127.0.0.1"


def answers(port, timeout=0.5):
    """Whether an ssh server greets on the loopback port: qemu accepts a
    connection there before the board listens, then drops it."""
    try:
        with socket.create_connection((LOOPBACK, port), timeout=timeout) as s:
            return s.recv(4).startswith(b"SSH-")
    except OSError:
        return False


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as qemu binds it
        try:
            s.bind((LOOPBACK, port))
            return True
        except OSError:
            return False


def free_port(avoid=()):
    while True:
        with socket.socket() as s:
            s.bind((LOOPBACK, 0))
            port = s.getsockname()[1]
        if port not in avoid:
            return port
