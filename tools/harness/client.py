"""The program's TCP port, as a remote control meets it."""

import socket
import time

from .base import REPLY_TIMEOUT, HarnessError

__all__ = ["Client", "free_port", "refuses", "accept_queue", "established"]


def free_port():
    """A TCP port nobody listens on now (Wine's sockets are the host's)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def refuses(port):
    """Nothing listens on the port: a connection is refused."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


def _tcp_table():
    """The system's TCP sockets (IPv4): [(local address, local port, remote address, remote port,
    state, receive queue)]. Wine's sockets are the host's, so the program's show here."""
    rows = []
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local, remote = (_address(part) for part in fields[1:3])
            rows.append(local + remote + (int(fields[3], 16), int(fields[4].split(":")[1], 16)))
    return rows


def _address(text):
    address, port = text.split(":")
    return ".".join(str(int(address[i:i + 2], 16)) for i in (6, 4, 2, 0)), int(port, 16)


TCP_ESTABLISHED = 1
TCP_LISTEN = 10


def accept_queue(port):
    """How many connections wait to be accepted by whoever listens on the port (None: nobody
    listens): for a listening socket the system counts them in its receive queue."""
    for _, local_port, _, _, state, queue in _tcp_table():
        if state == TCP_LISTEN and local_port == port:
            return queue
    return None


def established(local_port, remote_address, remote_port):
    """Whether the system still holds an established connection from local_port to the remote
    end (the program's side of a client's connection, as long as the system has not given up)."""
    return any(state == TCP_ESTABLISHED and row[1] == local_port and row[2:4] == (remote_address, remote_port)
               for row in _tcp_table() for state in (row[4],))


class Client:
    """One TCP connection to the program, as a remote control would make it."""

    def __init__(self, port, timeout=REPLY_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self._buffer = b""

    def send_line(self, text, end="\n"):
        self.send_bytes((text + end).encode("cp932"))

    def send_bytes(self, data):
        self.sock.sendall(data)

    def _receive(self, deadline, waiting):
        """The next bytes from the program (b"" once it has closed); fails at the deadline, saying
        what it was waiting for and what had come."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError("%s; got %r" % (waiting, self._buffer))
            self.sock.settimeout(left)
            try:
                return self.sock.recv(4096)
            except socket.timeout:
                continue

    def read_reply(self, timeout=REPLY_TIMEOUT):
        """The bytes of the next reply, without its closing "!"."""
        deadline = time.monotonic() + timeout
        while b"!" not in self._buffer:
            data = self._receive(deadline, "no reply within %.0f s" % timeout)
            if not data:
                raise HarnessError("connection closed; got %r" % self._buffer)
            self._buffer += data
        reply, _, self._buffer = self._buffer.partition(b"!")
        return reply

    def command(self, text, timeout=REPLY_TIMEOUT):
        """send_line then read_reply."""
        self.send_line(text)
        return self.read_reply(timeout)

    def read_until_closed(self, timeout=REPLY_TIMEOUT):
        """Everything until the program closes the connection."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                data = self._receive(deadline, "connection still open after %.0f s" % timeout)
            except ConnectionResetError:
                data = b""
            if not data:
                data, self._buffer = self._buffer, b""
                return data
            self._buffer += data

    def expect_silence(self, seconds):
        """Fails if any byte arrives within seconds. Only where no later reply can prove the order."""
        if self._buffer:
            raise HarnessError("expected silence, got %r" % self._buffer)
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(4096)
        except socket.timeout:
            return
        raise HarnessError("expected silence, got %r" % (self._buffer + data))

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

