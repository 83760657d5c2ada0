"""The clients: one or two at a time, the next one waiting to be accepted. Each connects, sends a
seeded mix of lines (every command, track numbers, garbage, very long lines, Telnet negotiation,
CR, LF, CRLF and CR NUL line ends) one at a time or pipelined in batches, reads normally, slowly
or not at all, and leaves by closing, half-closing or a reset; as root, now and then one vanishes
behind a downed link (vanish.py).

Each client checks its own replies as they come (protocol.ReplyCheck): every reply is one of the
protocol's, they fit its commands in order, the person's choices account for the rest, its first
`status` is answered within FIRST_STATUS_BOUND of its being sent or accepted, whichever is later,
and a client that stays to hear gets a reply to every command it sent.
"""

import copy
import errno
import select
import socket
import struct
import threading
import time
import traceback

import harness

from .protocol import LineModel, ReplyCheck
from .record import Violation

# An accepted client's first status is answered within this long of its being sent (one retry
# of a play, a door and a load at most).
FIRST_STATUS_BOUND = 20.0
# A client at the front of the queue (the one before it has left) is accepted within this long:
# the program lets go of the one before once a play being tried is over.
ACCEPT_BOUND = 20.0
# A client that stays to hear its replies gets them within this long of its last line, or of
# being accepted, whichever is later.
REPLIES_BOUND = 30.0
# A slow reader takes at least this many bytes a second; its wait for replies grows with them.
SLOW_READ_RATE = 1024
# How long a menu choice may wait to be carried out (behind a play being tried) and still be
# answered to a client that connected meanwhile.
MENU_PENDING = 30.0
# A client that reads slowly or not at all keeps what its replies may take below this: the
# program stops replying to one that lets 64 KiB wait, which is its right, not a fault to look for.
UNREAD_BYTES_MAX = 40 * 1024
CONNECT_TIMEOUT = 10.0

WORDS = [("status", 6), ("select", 3), ("play", 3), ("stop", 3), ("pause", 2), ("resume", 1), ("next", 2),
         ("previous", 2), ("eject", 1), ("close", 1)]
# Lines that look like commands and are not, and ones that are, past their keyword.
NEAR_MISSES = ["Play", "STOP", " stop", " 5", "pause ", "paus", "stat", "selec", "prev", "ejec", "-3", "+4"]
SUFFIXES = ["ped", " 5", " please", "ing", "\t", "?!"]
TRACKS = ["0", "1", "2", "3", "4", "7", "10", "12", "99", "100", "007", "4294967297", "2147483648"]
LINE_ENDS = [(b"\n", 4), (b"\r\n", 3), (b"\r", 2), (b"\r\0", 2)]
# What Telnet clients send: PuTTY's opening, a window size, a no-op, an escaped 255 in data.
TELNET_OPENING = bytes([255, 251, 31, 255, 251, 32, 255, 251, 24, 255, 251, 39, 255, 253, 1, 255, 251, 3,
                        255, 253, 3])
TELNET_PIECES = [bytes([255, 250, 31, 0, 80, 0, 24, 255, 240]), bytes([255, 241]), bytes([255, 246]),
                 bytes([255, 253, 1]), bytes([255, 254, 1]), bytes([255, 250, 24, 0]) + b"xterm" + bytes([255, 240])]


def weighted(rng, choices):
    total = sum(weight for _, weight in choices)
    pick = rng.uniform(0, total)
    for value, weight in choices:
        pick -= weight
        if pick <= 0:
            return value
    return choices[-1][0]


def random_line(rng):
    """One line's bytes, without its end."""
    kind = rng.random()
    if kind < 0.6:
        word = weighted(rng, WORDS)
        if rng.random() < 0.15:
            word += rng.choice(SUFFIXES)
        return word.encode("ascii")
    if kind < 0.7:
        return rng.choice(NEAR_MISSES).encode("ascii")
    if kind < 0.8:
        return rng.choice(TRACKS).encode("ascii")
    if kind < 0.9:
        # Garbage: any byte, line ends and Telnet's 255 among them.
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 120)))
    if kind < 0.95:
        # A very long line: a keyword or garbage, then thousands of bytes more.
        head = weighted(rng, WORDS).encode("ascii") if rng.random() < 0.5 else b"x"
        return head + bytes(rng.choice(b"abcdefghij0123456789 ") for _ in range(rng.randrange(1000, 12000)))
    return b""


class Script:
    """What one client will do, drawn from its own generator: its reading, its leaving, and its
    rounds of lines (each sent at once, pipelined, or line by line waiting for the replies)."""

    def __init__(self, rng, vanishes=False):
        self.vanishes = vanishes
        if vanishes:
            # It must be heard out before it vanishes: a reply still unacknowledged would keep the
            # program's system retransmitting it instead of probing a quiet connection.
            self.reading, self.ending, self.stays = "normal", "vanish", True
        else:
            self.reading = weighted(rng, [("normal", 6), ("slow", 2.5), ("none", 1.5)])
            endings = [("close", 3.5), ("reset", 2.5)] + ([("half-close", 2.5)] if self.reading != "none" else [])
            self.ending = weighted(rng, endings)
            self.stays = self.reading != "none" and (self.ending == "half-close" or rng.random() < 0.6)
        self.line_end = weighted(rng, LINE_ENDS) if rng.random() < 0.7 else None  # None: mixed
        self.telnet = not vanishes and rng.random() < 0.15
        self.rounds = []
        for number in range(rng.randrange(1, 6)):
            one_by_one = rng.random() < 0.3
            count = 1 if rng.random() < 0.4 else rng.randrange(2, 150 if rng.random() < 0.1 else 40)
            if vanishes:
                one_by_one, count = True, rng.randrange(1, 4)
            lines = []
            for _ in range(count):
                text = b"status" if vanishes else random_line(rng)
                if self.telnet and rng.random() < 0.1:
                    text = rng.choice(TELNET_PIECES) + text
                lines.append(text + (self.line_end or weighted(rng, LINE_ENDS)))
            if number == 0 and self.telnet:
                lines[0] = TELNET_OPENING + lines[0]
            pause = 0.0 if number == 0 else rng.choice([0.0, 0.1, 0.5, 1.0, 2.0, 3.0])
            self.rounds.append((pause, one_by_one, lines))
        # Slow, yet at SLOW_READ_RATE at least.
        self.read_chunk = rng.choice([256, 512, 1024])
        self.read_pause = rng.uniform(0.02, 0.2)
        self.linger = rng.choice([0.0, 0.0, 0.2, 1.0])  # before leaving without hearing everything

    def describe(self):
        lines = sum(len(lines) for _, _, lines in self.rounds)
        return "%s reader, leaves by %s%s, %d line(s) in %d round(s)%s" % (
            self.reading, self.ending, " after hearing all" if self.stays and self.ending != "half-close" else "",
            lines, len(self.rounds), ", speaks Telnet" if self.telnet else "")


class Client:
    """One client's connection, its script and its checks. Its thread runs run()."""

    def __init__(self, soak, number, script, sock, port, connected_at, link=None):
        self.soak = soak
        self.record = soak.record
        self.name = "client#%d" % number
        self.script = script
        self.sock = sock
        self.port = port
        self.link = link
        self.connected_at = connected_at
        self.accepted_at = None
        self.left_at = None
        self.ahead = []  # the clients still there when it connected
        self.model = LineModel()
        self.check = ReplyCheck()
        self.buffer = b""
        self.first_status = None  # (replies up to and including it, when it was sent)
        self.first_status_answered = None
        self.last_sent_at = None
        self.ended_by_program = None  # "closed" or "reset", when the program ended it
        self.outcome = "running"
        self.bytes_sent = 0
        self.sent_at = []  # when each command's line had gone out
        self.thread = threading.Thread(target=self.run, name=self.name, daemon=True)

    # -- the run --

    def run(self):
        try:
            self._run()
        except Violation:
            self.outcome = "stopped by a violation"
        except Exception:  # the soak's own fault: stop and say so, not as the program's
            self.outcome = "soak error"
            try:
                self.record.fail("the soak itself failed in %s" % self.name, traceback.format_exc())
            except Violation:
                pass
        finally:
            self.left_at = self.left_at or time.monotonic()
            try:
                self.sock.close()
            except OSError:
                pass
            self.soak.client_done(self)

    def _run(self):
        self.sock.setblocking(False)
        self.record.action(self.name, "client", "connected to %d: %s" % (self.port, self.script.describe()))
        for index, (pause, one_by_one, lines) in enumerate(self.script.rounds):
            if index > 0 and (self.record.interrupt.is_set() or not self._pump(pause)):
                break
            if self.script.reading != "normal" and not self._room_for(lines):
                break
            if one_by_one:
                for line in lines:
                    if not self._send(line) or not self._hear_all():
                        return self._finish()
                    if self.record.interrupt.is_set():
                        break
            elif not self._send(b"".join(lines)):
                return self._finish()
            if self.ended_by_program:
                return self._finish()
        self._leave()

    def _room_for(self, lines):
        """Whether the replies to these lines still fit what a client that does not read may let wait."""
        check = ReplyCheck()
        check.sent(self.check.expected + copy.deepcopy(self.model).feed(b"".join(lines)))
        return check.reply_bytes_max() <= UNREAD_BYTES_MAX

    def _send(self, data):
        """Queues and sends a round's bytes while reading as the script says; False when the
        connection has ended."""
        commands = self.model.feed(data)
        if "status" in commands and self.first_status is None:
            self.first_status = (len(self.check.expected) + commands.index("status") + 1, None)
        self.check.sent(commands)
        sending_from = len(self.sent_at)
        self.sent_at.extend([None] * len(commands))
        pending = memoryview(data)
        while pending and not self.ended_by_program:
            self.record.check_over()
            readable, writable, _ = select.select(self._read_set(), [self.sock], [], 0.05)
            if readable:
                self._receive()
            if writable and not self.ended_by_program:
                try:
                    sent = self.sock.send(pending[:65536])
                except (BlockingIOError, InterruptedError):
                    sent = 0
                except OSError as e:
                    self._program_ended("reset", e)
                    break
                pending = pending[sent:]
                self.bytes_sent += sent
            self._watch()
        self.last_sent_at = time.monotonic()
        self.sent_at[sending_from:] = [self.last_sent_at] * (len(self.sent_at) - sending_from)
        if self.first_status and self.first_status[1] is None:
            self.first_status = (self.first_status[0], self.last_sent_at)
        return not self.ended_by_program

    def _read_set(self):
        return [] if self.script.reading == "none" else [self.sock]

    def _receive(self):
        size = 65536 if self.script.reading == "normal" else self.script.read_chunk
        try:
            data = self.sock.recv(size)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self._program_ended("reset", e)
            return
        if not data:
            self._program_ended("closed")
            return
        if self.accepted_at is None:
            self.accepted_at = time.monotonic()  # a reply: it has been taken
        self.buffer += data
        while b"!" in self.buffer:
            reply, _, self.buffer = self.buffer.partition(b"!")
            wrong = self.check.take(reply)
            if wrong:
                self.fail(wrong)
            self.soak.replies_heard += 1
        if self.first_status and self.first_status_answered is None and self.check.matched >= self.first_status[0]:
            self.first_status_answered = time.monotonic()
            start = max(self.first_status[1] or self.first_status_answered, self.accepted_at or 0)
            self.record.peak("slowest first status (s)", self.first_status_answered - start, self.name)
        if self.script.reading == "slow":
            time.sleep(self.script.read_pause)

    def _pump(self, seconds):
        """Reads (as the script says) and watches for seconds; False when the connection ended."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not self.ended_by_program:
            self.record.check_over()
            readable, _, _ = select.select(self._read_set(), [], [], min(0.05, max(0, deadline - time.monotonic())))
            if readable:
                self._receive()
            self._watch()
        return not self.ended_by_program

    def _hear_all(self):
        """Reads until every command sent has its reply; fails after the bound."""
        if self.script.reading == "none":
            return True
        while self.check.outstanding() > 0 and not self.ended_by_program:
            self.record.check_over()
            readable, _, _ = select.select([self.sock], [], [], 0.05)
            if readable:
                self._receive()
            self._watch()
            start = max(self.last_sent_at, self.accepted_at or float("inf"))
            bound = REPLIES_BOUND + (self.check.reply_bytes_max() / SLOW_READ_RATE
                                     if self.script.reading == "slow" else 0)
            if time.monotonic() - start > bound:
                self.fail("heard %d of the replies to its %d commands %.0f s after its last line (bound %.0f s)"
                          % (self.check.matched, len(self.check.expected), time.monotonic() - start, bound))
        return not self.ended_by_program

    def front_at(self):
        """When it reached the front of the queue: every client ahead of it had left (None: not yet)."""
        left = [client.left_at for client in self.ahead]
        if None in left:
            return None
        return max([self.connected_at] + left)

    def _watch(self):
        """Whether it has been accepted, within ACCEPT_BOUND of reaching the front, and its first
        status's bound."""
        now = time.monotonic()
        if self.accepted_at is None and not self.ended_by_program:
            queue = harness.accept_queue(self.port)
            front = self.front_at()
            # The clients come one at a time behind the connected one (the launcher below), so
            # an empty queue means this one has been taken.
            if queue == 0:
                self.accepted_at = now
                if front is not None:
                    self.record.peak("longest wait to be accepted at the front (s)", now - front, self.name)
            elif queue is None:
                if not self.soak.port_changed_between(self.connected_at, now):
                    self.fail("nobody listens on port %d any more" % self.port)
            elif front is not None and now - front > ACCEPT_BOUND:
                self.fail("not accepted %.0f s after the client before it left (at %.1f s)"
                          % (now - front, self.record_time(front)))
        if (self.first_status and self.first_status[1] is not None and self.first_status_answered is None
                and self.accepted_at is not None):
            start = max(self.first_status[1], self.accepted_at)
            if now - start > FIRST_STATUS_BOUND:
                self.fail("its first status (reply %d) was not answered within %.0f s of its being sent and the "
                          "client accepted (sent at %.1f s, accepted at %.1f s)"
                          % (self.first_status[0], FIRST_STATUS_BOUND, self.record_time(self.first_status[1]),
                             self.record_time(self.accepted_at)))

    def record_time(self, moment):
        return moment - self.record.t0

    # -- leaving --

    def _leave(self):
        if self.script.stays and self.script.ending != "half-close":
            if not self._hear_all():
                return self._finish()
        elif self.script.linger:
            if not self._pump(self.script.linger):
                return self._finish()
        ending = self.script.ending
        if ending == "vanish":
            return self.soak.vanish.leave(self)
        self.record.action(self.name, "client leaves", "leaves by %s after %d command(s), %d repl(ies) heard"
                           % (ending, len(self.check.expected), len(self.check.received)))
        if ending == "half-close":
            try:
                self.sock.shutdown(socket.SHUT_WR)
            except OSError as e:
                self._program_ended("reset", e)
                return self._finish()
            self.left_at = None
            self._read_to_end()
            return self._finish()
        if ending == "reset":
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
        self.left_at = time.monotonic()
        self._finish()

    def _read_to_end(self):
        """After a half-close: every reply, then the program's end of the connection."""
        while not self.ended_by_program:
            self.record.check_over()
            readable, _, _ = select.select([self.sock], [], [], 0.05)
            if readable:
                self._receive()
            self._watch()
            start = max(self.last_sent_at or 0, self.accepted_at or float("inf"))
            bound = REPLIES_BOUND + (self.check.reply_bytes_max() / SLOW_READ_RATE
                                     if self.script.reading == "slow" else 0)
            if time.monotonic() - start > bound:
                self.fail("half-closed; the program had not closed its side %.0f s later (heard %d of %d replies)"
                          % (bound, self.check.matched, len(self.check.expected)))
        self.left_at = time.monotonic()

    def _program_ended(self, how, error=None):
        if self.ended_by_program:
            return
        if error is not None and getattr(error, "errno", None) not in (errno.ECONNRESET, errno.EPIPE, errno.ECONNABORTED):
            raise error
        self.ended_by_program = how
        self.left_at = time.monotonic()

    def _finish(self):
        """Judges how the connection ended and what was heard."""
        dropped = self.soak.port_changed_between(self.connected_at, time.monotonic())
        half_closed = self.script.ending == "half-close"
        if self.ended_by_program and not dropped:
            if not (half_closed and self.check.outstanding() == 0):
                self.fail("the program %s the connection before the client left (heard %d of %d replies)"
                          % (self.ended_by_program, self.check.matched, len(self.check.expected)))
            if self.buffer:
                self.fail("the connection ended in the middle of a reply: %r" % self.buffer[:200])
        budget = self.soak.menu_replies_between(self.connected_at - MENU_PENDING, self.left_at or time.monotonic())
        if self.check.extras > budget and not dropped:
            self.fail("%d repl(ies) more than its own commands ask for, and the person's choices answered to it "
                      "could be at most %d: replies that belong to another client" % (self.check.extras, budget))
        self.outcome = "dropped by a port change" if dropped else "done"
        self.soak.clients_served += 1

    def fail(self, what):
        details = [self.describe()]
        if self.ahead:
            # What they sent is still carried out after they leave: what this one waited behind.
            details.append("the clients ahead of it when it connected:")
            details.extend(client.describe() for client in self.ahead)
        self.record.fail("%s: %s" % (self.name, what), "\n".join(details))

    def describe(self):
        """What this client did and heard, for the violation's printout."""
        def when(moment):
            return "%.1f s" % (moment - self.record.t0) if moment else "-"
        expected = self.check.expected
        lines = ["%s (%s): connected %s to port %d, accepted %s, last line %s, left %s; %d bytes sent%s"
                 % (self.name, self.script.describe(), when(self.connected_at), self.port, when(self.accepted_at),
                    when(self.last_sent_at), when(self.left_at), self.bytes_sent,
                    "; ended by the program (%s)" % self.ended_by_program if self.ended_by_program else ""),
                 "  commands (%d): %s" % (len(expected), ("... " if len(expected) > 60 else "") + " ".join(expected[-60:])),
                 "  replies (%d, %d matched, %d the person's): %s" % (
                     len(self.check.received), self.check.matched, self.check.extras,
                     " ".join(repr(r)[2:-1] for r in self.check.received[-40:]))]
        if self.check.outstanding() > 0:
            waiting = self.check.matched
            lines.append("  not yet answered: command %d (%s), sent %s" % (
                waiting + 1, expected[waiting], when(self.sent_at[waiting] if waiting < len(self.sent_at) else None)))
        if self.first_status:
            lines.append("  first status: reply %d, sent %s, answered %s" % (
                self.first_status[0], when(self.first_status[1]), when(self.first_status_answered)))
        return "\n".join(lines)


class Clients:
    """The actor that brings clients: one at a time behind the connected one."""

    name = "clients"

    def __init__(self, soak, rng):
        self.soak = soak
        self.record = soak.record
        self.rng = rng
        self.number = 0
        self.active = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self.run, name=self.name, daemon=True)

    def run(self):
        try:
            while True:
                if self.record.interrupt.is_set():
                    # Paused or over: the clients finish what they are doing and leave.
                    for client in self.running():
                        while client.thread.is_alive():
                            self.record.check_over()
                            client.thread.join(0.2)
                    if not self.record.gate(self.name):
                        return
                    continue
                self.step()
        except Violation:
            pass
        except Exception:
            try:
                self.record.fail("the soak itself failed in the clients' actor", traceback.format_exc())
            except Violation:
                pass

    def running(self):
        with self.lock:
            self.active = [c for c in self.active if c.thread.is_alive()]
            return list(self.active)

    def step(self):
        active = self.running()
        # One connected, the next one waiting to be accepted: no more until that one is taken.
        if len(active) >= 2 or any(c.accepted_at is None for c in active):
            self.record.sleep(0.1)
            return
        if not self.record.sleep(self.rng.choice([0.05, 0.2, 0.5, 1.0, 2.0, 4.0])):
            return
        self.number += 1
        client_rng = self.soak.rng("client", self.number)
        # Drawn whether or not a vanishing client can be had now, so that the rest of the
        # client's choices follow from the seed alone.
        vanishes = client_rng.random() < 0.03 and self.soak.vanish.available()
        script = Script(client_rng, vanishes)
        port = self.soak.port()
        connected_at = time.monotonic()
        try:
            if vanishes:
                sock, link = self.soak.vanish.connect(port), self.soak.vanish
            else:
                sock, link = socket.create_connection(("127.0.0.1", port), timeout=CONNECT_TIMEOUT), None
        except OSError as e:
            if self.soak.port_changed_between(connected_at - 2, time.monotonic() + 2) or port != self.soak.port():
                self.record.note(self.name, "client#%d could not connect during a port change (%s)" % (self.number, e))
                return
            self.record.fail("port %d refused client#%d: %s" % (port, self.number, e))
        client = Client(self.soak, self.number, script, sock, port, connected_at, link)
        with self.lock:
            client.ahead = [c for c in self.active if c.thread.is_alive() and c.port == port]
            self.active.append(client)
        client.thread.start()
