"""The program's TCP port, as a remote control meets it."""

import socket
import time

from .base import REPLY_TIMEOUT, HarnessError

__all__ = ["Client", "free_port", "refuses"]


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

