"""What the program must make of a client's bytes, and whether its replies fit: the soak's model
of the line protocol (tools/harness reads the keywords and words from the program's sources).

A client's bytes go through the same steps as in the program: Telnet's command sequences are
taken out, a CR or LF ends a line, and a line is matched at its start. The model is written from
the protocol's documented rules (README.md, server/line_protocol.h), not from the code, so that a
difference between the two shows as a violation. Every matched line asks for one reply: a track
list for `select`, a status for the others.
"""

import re

import harness

IAC, SB, SE, WILL, DONT = 255, 250, 240, 251, 254
POSITION = re.compile(rb"\A\d+\(\d+:\d+\)\Z")
# The track list: one line per track while the disc plays, nothing otherwise.
TRACK_LIST = re.compile(rb"\A( \d\d\. \(\d+:\d\d\)\n)*\Z")
STOP, PAUSE, OPEN = harness.STATUS_WORDS
NAMES = {command: text.decode("ascii") for text, _, command in harness.KEYWORDS}
SELECT = "select"
# What each command's status reply may be: its own word where it always sets one, else what the
# drive does (a position, or pause or open after a play the drive did not take).
_DRIVE_STATUS = ("position", PAUSE, OPEN)
REPLIES = {"stop": (STOP,), "eject": (OPEN,), "close": (PAUSE,)}
# Upper bounds of a reply's length with its "!", for the volume a client that does not read may
# let wait: a status, and the list of the longest disc the soak puts in (10 tracks).
STATUS_REPLY_MAX = 16
LIST_REPLY_MAX = 10 * 12 + 1


class LineModel:
    """One connection's receiving side: feed() takes bytes as they are sent and returns the
    commands whose lines they complete ("play", "status", "select", ...)."""

    def __init__(self):
        self.state = "data"
        self.spoken = False  # the client has sent a Telnet command
        self.after_cr = False
        self.subnegotiation = 0
        self.line = bytearray()

    def feed(self, data):
        commands = []
        i = 0
        while i < len(data):
            byte = data[i]
            i += 1
            if self.state == "data":
                if byte == IAC:
                    self.state = "command"
                    self.spoken = True
                    continue
                if byte == 0 and self.after_cr and self.spoken:
                    self.after_cr = False  # Telnet's bare CR
                    continue
            elif self.state == "command":
                if byte == IAC:
                    self.state = "data"  # IAC IAC: a data byte 255
                else:
                    if byte == SB:
                        self.state = "subnegotiation"
                        self.subnegotiation = 0
                    elif WILL <= byte <= DONT:
                        self.state = "option"
                    else:
                        self.state = "data"
                    continue
            elif self.state == "option":
                self.state = "data"
                continue
            else:
                self.subnegotiation += 1
                if self.subnegotiation > harness.TELNET_SUBNEGOTIATION_MAX:
                    # Too long to be one: the byte is data again.
                    self.state = "data"
                    i -= 1
                    continue
                if self.state == "subnegotiation command":
                    self.state = "data" if byte == SE else "subnegotiation"
                elif byte == IAC:
                    self.state = "subnegotiation command"
                continue
            self.after_cr = byte == 13
            command = self._frame(byte)
            if command:
                commands.append(command)
        return commands

    def _frame(self, byte):
        if byte in (10, 13):
            line = bytes(self.line)
            self.line.clear()
            return match(line)
        if len(self.line) < harness.LINE_BUFFER_SIZE - 1:
            self.line.append(byte)
        return None


def match(line):
    """The command a completed line asks for, or None. A NUL ends the line for matching."""
    text = line.split(b"\0", 1)[0] + b"\0"
    for keyword, compared, command in harness.KEYWORDS:
        if text[:compared] == (keyword + b"\0")[:compared]:
            return NAMES[command]
    if text[:1].isdigit():
        return "play"
    return None


def reply_kind(reply):
    """"list", "status", or None for bytes that are no reply of the protocol."""
    if TRACK_LIST.match(reply):
        return "list"
    if reply in harness.STATUS_WORDS or POSITION.match(reply):
        return "status"
    return None


def fits(command, reply):
    """Whether a reply can be the one to a client's command."""
    if command == SELECT:
        return reply_kind(reply) == "list"
    allowed = REPLIES.get(command, _DRIVE_STATUS)
    return reply in allowed or ("position" in allowed and POSITION.match(reply) is not None)


class ReplyCheck:
    """One client's replies against the commands it sent, in order. Replies that fit no command of
    its own are the person's: the menu's commands are answered to whoever is connected, with a
    status, never a list. A reply is matched to the earliest command it fits, which finds an
    order that fits whenever there is one."""

    def __init__(self):
        self.expected = []  # the client's commands that ask for a reply, in the order sent
        self.matched = 0
        self.extras = 0
        self.received = []

    def sent(self, commands):
        self.expected.extend(commands)

    def take(self, reply):
        """Takes one reply (without its "!"); returns what is wrong with it, or None."""
        self.received.append(reply)
        kind = reply_kind(reply)
        if kind is None:
            return "a reply that is none of the protocol's: %r" % reply[:200]
        if self.matched < len(self.expected) and fits(self.expected[self.matched], reply):
            self.matched += 1
            return None
        if kind == "list":
            waiting = self.expected[self.matched] if self.matched < len(self.expected) else "nothing"
            return ("a track list %r where the client's next reply is for %r: out of order, or not its own"
                    % (reply[:80], waiting))
        self.extras += 1
        return None

    def outstanding(self):
        return len(self.expected) - self.matched

    def reply_bytes_max(self):
        """At most how many bytes the replies to its commands take."""
        return sum(LIST_REPLY_MAX if c == SELECT else STATUS_REPLY_MAX for c in self.expected)
