"""The control protocol, end to end: the real qel.exe on its port, the virtual drive under it.

Replies are compared byte for byte. A reply goes out in one send, so right after a command one
recv brings all of it (`one_recv`). A line that must be ignored is followed by a command whose
reply has to be the next thing to arrive: a reply to the ignored line would come first.
"""

import os
import re
import select
import shutil
import socket
import subprocess
import time
import unittest

import harness
from harness import Session

# A 12-track disc at the drive's normal speed: positions right after a play are at 0 minutes.
TWELVE_TRACKS = "4:05,12:30,3:04,2:47,5:12,3:30,1:00,0:59,6:06,4:44,3:33,2:22"
TWELVE_DISC = {"tracks": TWELVE_TRACKS, "disc": 1, "drive": 1, "door": "closed"}
TWELVE_LIST_HEAD = (b" 01. (4:05)\n 02. (12:30)\n 03. (3:04)\n 04. (2:47)\n 05. (5:12)\n 06. (3:30)\n"
                    b" 07. (1:00)\n 08. (0:59)\n 09. (6:06)\n 10. (4:44)\n 11. (3:33)\n")
TWELVE_LIST = TWELVE_LIST_HEAD + b" 12. (2:22)\n"
# The select reply: drives report the last track a frame short (Wine's driver and Windows' do),
# which a user may see as a second less.
TWELVE_SELECT = re.compile(re.escape(TWELVE_LIST_HEAD) + rb" 12\. \(2:2[12]\)\n!\Z")


def position(track):
    """A position reply on the given track, shortly after its start."""
    return re.compile(rb"^%d\(0:\d+\)!$" % track)


def one_recv(client, timeout=harness.REPLY_TIMEOUT):
    """Waits until the connection is readable, then takes what a single recv brings."""
    readable, _, _ = select.select([client.sock], [], [], timeout)
    if not readable:
        raise harness.HarnessError("no reply within %.0f s" % timeout)
    client.sock.settimeout(timeout)
    return client.sock.recv(4096)


def replies(client, count, timeout=harness.REPLY_TIMEOUT):
    """Raw bytes until count replies have come."""
    data = b""
    while data.count(b"!") < count:
        data += one_recv(client, timeout)
    return data


def exchange(client, data):
    """Sends one request (bytes, or a line without its terminator) and returns its reply."""
    client.send_bytes(data if isinstance(data, bytes) else data.encode("ascii") + b"\n")
    return one_recv(client)


def open_client(session):
    client = session.client()
    client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return client


class DriveLog:
    """What the program sent to the virtual drive since the last look, without the queries.
    Wine's driver keeps no such log: against it only the replies are checked."""

    def __init__(self, session):
        self._session = session
        self._seen = len(session.vcd_log())
        self._main = "callback=0x%08x" % session.main_window()

    def expect(self, test, expected, message=None, only=None):
        actions = [a for a in self.actions() if only is None or a.startswith(only)]
        if self._session.logs_commands:
            test.assertEqual(actions, expected, message)

    def actions(self):
        lines = self._session.vcd_log()
        new, self._seen = lines[self._seen:], len(lines)
        result = []
        for line in new:
            if not line.startswith("MCI_") or line.startswith("MCI_STATUS "):
                continue
            line = re.sub(r" dev=\d+", "", line)
            result.append(line.replace(self._main, "callback=main"))
        return result


class CommandsTest(unittest.TestCase):
    """Every keyword, its reply in one piece, and what reaches the drive."""

    def assertReply(self, client, request, expected):
        reply = exchange(client, request)
        if isinstance(expected, bytes):
            self.assertEqual(reply, expected, "reply to %r" % request)
        else:
            self.assertRegex(reply, expected, "reply to %r" % request)
        return reply

    def test_each_keyword_from_stopped_through_playing_paused_and_open(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            drive = DriveLog(session)
            # Stopped: status follows the two-way rule, and there is no list to give.
            self.assertReply(client, "status", b"pause!")
            self.assertReply(client, "select", b"!")
            drive.expect(self, [])

            self.assertReply(client, "play", position(1))
            drive.expect(self, ["MCI_PLAY flags=MCI_NOTIFY|MCI_FROM from=0x00000001 callback=main result=0"])
            self.assertReply(client, "status", position(1))
            self.assertReply(client, "select", TWELVE_SELECT)
            # The list is read in minutes and seconds; the player's positions are TMSF again after it.
            drive.expect(self, ["MCI_SET flags=MCI_SET_TIME_FORMAT time_format=MCI_FORMAT_MSF result=0",
                                "MCI_SET flags=MCI_SET_TIME_FORMAT time_format=MCI_FORMAT_TMSF result=0"])

            self.assertReply(client, "next", position(2))
            drive.expect(self, ["MCI_PLAY flags=MCI_FROM from=0x00000002 result=0"])
            self.assertReply(client, "next", position(3))
            self.assertReply(client, "previous", position(2))
            drive.expect(self, ["MCI_PLAY flags=MCI_FROM from=0x00000003 result=0",
                                "MCI_PLAY flags=MCI_FROM from=0x00000002 result=0"])

            # pause and resume both toggle.
            self.assertReply(client, "pause", b"pause!")
            drive.expect(self, ["MCI_PAUSE flags=0 result=0"])
            self.assertReply(client, "status", b"pause!")
            self.assertReply(client, "select", b"!")
            self.assertReply(client, "pause", position(2))
            drive.expect(self, ["MCI_PLAY flags=MCI_NOTIFY callback=main result=0"],
                             "a resume continues where the pause left off")
            self.assertReply(client, "resume", b"pause!")
            self.assertReply(client, "resume", position(2))

            self.assertReply(client, "stop", b"stop!")
            self.assertReply(client, "status", b"pause!")
            self.assertReply(client, "select", b"!")
            drive.actions()
            # Neither playing nor paused: both toggles start track 1.
            self.assertReply(client, "pause", position(1))
            self.assertReply(client, "stop", b"stop!")
            self.assertReply(client, "resume", position(1))
            drive.expect(self, ["MCI_PLAY flags=MCI_NOTIFY|MCI_FROM from=0x00000001 callback=main result=0"] * 2,
                         only="MCI_PLAY")

            self.assertReply(client, "eject", b"open!")
            self.assertReply(client, "status", b"open!")
            self.assertReply(client, "select", b"!")
            self.assertReply(client, "close", b"pause!")
            self.assertReply(client, "status", b"pause!")
            drive.expect(self, ["MCI_SET flags=MCI_SET_DOOR_OPEN result=0",
                                "MCI_SET flags=MCI_SET_DOOR_CLOSED result=0"])

            # A play with the door open closes it first, waiting for it.
            self.assertReply(client, "eject", b"open!")
            drive.actions()
            self.assertReply(client, "4", position(4))
            drive.expect(self, ["MCI_SET flags=MCI_WAIT|MCI_SET_DOOR_CLOSED result=0",
                                "MCI_PLAY flags=MCI_NOTIFY|MCI_FROM from=0x00000004 callback=main result=0"])

    def test_track_numbers_and_the_edges_of_the_disc(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            drive = DriveLog(session)
            self.assertReply(client, "3", position(3))
            self.assertReply(client, "12 please", position(12))
            self.assertReply(client, "0", position(1))
            self.assertReply(client, "07", position(7))
            self.assertReply(client, "play 5", position(1))
            self.assertReply(client, "5th", position(5))
            # 2^32 + 10: the number wraps around like a 32-bit integer.
            self.assertReply(client, "4294967306", position(10))
            drive.expect(self, ["MCI_PLAY flags=MCI_NOTIFY|MCI_FROM from=0x%08x callback=main result=0" % n
                                for n in (3, 12, 1, 7, 1, 5, 10)])

            # Past the ends of the disc nothing is played: the player goes on with track 10.
            self.assertReply(client, "99", position(10))
            self.assertEqual(drive.actions(), [])
            # 2^32 - 1 wraps to -1, the current position: played from there, and told of the end.
            self.assertReply(client, "4294967295", position(10))
            played = " ".join(drive.actions())
            if session.logs_commands:
                self.assertRegex(played, r"^MCI_PLAY flags=MCI_NOTIFY\|MCI_FROM from=0x[0-9a-f]{4}000a callback=main result=0$")
            self.assertReply(client, "12", position(12))
            self.assertReply(client, "next", position(12))
            self.assertReply(client, "1", position(1))
            self.assertReply(client, "previous", position(1))
            drive.expect(self, ["MCI_PLAY flags=MCI_NOTIFY|MCI_FROM from=0x%08x callback=main result=0" % n
                                for n in (12, 1)], "no play for a track the disc does not have")

            # A play of a missing track plays nothing: no position while the drive is idle.
            self.assertReply(client, "stop", b"stop!")
            self.assertReply(client, "99", b"pause!")
            self.assertEqual(exchange(client, "status"), b"pause!")
            drive.expect(self, ["MCI_STOP flags=0 result=0"])

            # Commands posted to the main window: the argument of a play is the track.
            session.command(harness.CMD_PLAY, 7)
            self.assertRegex(one_recv(client), position(7))
            session.command(harness.CMD_PLAY, 0)
            self.assertRegex(one_recv(client), position(1))

    @harness.vcd_only
    def test_the_wrapped_number_minus_one_plays_on_from_a_paused_position(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            self.assertReply(client, "2", position(2))
            session.wait_for(lambda: exchange(client, "status") != b"2(0:0)!", what="track 2 to play on")
            paused = exchange(client, "pause")
            self.assertEqual(paused, b"pause!")
            drive = DriveLog(session)
            reply = exchange(client, "4294967295")
            started = time.monotonic()
            match = re.match(rb"^2\(0:(\d+)\)!$", reply)
            self.assertIsNotNone(match, reply)
            # Played from where the pause left off, with the end to be told.
            actions = drive.actions()
            self.assertEqual(len(actions), 1, actions)
            played = re.match(r"^MCI_PLAY flags=MCI_NOTIFY\|MCI_FROM from=0x..(..)0002 callback=main result=0$", actions[0])
            self.assertIsNotNone(played, actions[0])
            self.assertIn(int(match.group(1)) - int(played.group(1), 16), (0, 1))
            time.sleep(3)
            later = re.match(rb"^2\(0:(\d+)\)!$", exchange(client, "status"))
            elapsed = time.monotonic() - started
            self.assertIsNotNone(later, "still playing track 2")
            moved = int(later.group(1)) - int(match.group(1))
            self.assertGreaterEqual(moved, int(elapsed) - 1, "the disc plays on, it is not frozen")
            self.assertLessEqual(moved, elapsed + 1)

    @harness.vcd_only
    def test_position_at_the_end_of_the_disc_and_after_it_ends(self):
        # A fast drive plays the whole disc within moments and then holds still at its end; this
        # one tells of the end, as Windows' own driver never does.
        disc = {"tracks": "0:30,1:07", "disc": 1, "drive": 1, "door": "closed", "speed": 10000, "notify_end": 1}
        with Session(disc=disc) as session, open_client(session) as client:
            self.assertReply(client, "play", re.compile(rb"^[12]\(\d+:\d+\)!$"))
            # The drive's completion notice makes the player stopped again.
            session.wait_for(lambda: exchange(client, "status") == b"pause!", what="the disc to end")
            done = re.compile(r"^NOTIFY dev=\d+ code=MCI_NOTIFY_SUCCESSFUL callback=0x%08x$" % session.main_window())
            self.assertTrue(any(done.match(line) for line in session.vcd_log()), session.vcd_log())
            # Unpadded seconds; the last track has no next, so the end position is what comes back.
            drive = DriveLog(session)
            self.assertReply(client, "next", b"2(1:7)!")
            drive.expect(self, [])
            self.assertReply(client, "select", b"!")


@harness.driver_independent
class LinesTest(unittest.TestCase):
    """How bytes become lines, and which lines are commands."""

    def test_lines_that_are_no_command_get_nothing(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            drive = DriveLog(session)
            ignored = [b"Play", b"STOP", b" stop", b" 5", b"pause ", b"paused", b"", b"garbage", b"\x00stop",
                       b"-3", b"+3", b"\xb5", "５".encode("cp932"), b"\tstatus", b"sto", b"!"]
            client.send_bytes(b"".join(line + b"\n" for line in ignored))
            self.assertEqual(exchange(client, "status"), b"pause!")
            drive.expect(self, [])

            # While playing the same lines change nothing either.
            self.assertRegex(exchange(client, "2"), position(2))
            client.send_bytes(b"".join(line + b"\n" for line in ignored))
            self.assertRegex(exchange(client, "status"), position(2))
            self.assertEqual([a for a in drive.actions() if not a.endswith("from=0x00000002 callback=main result=0")], [])

    def test_keywords_match_at_the_start_of_a_line(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            for line, reply in [("playing", position(1)), ("nextplease", position(2)), ("previously", position(1)),
                                ("pauseless", None), ("status?", position(1)), ("selection", TWELVE_SELECT),
                                ("resumes", b"pause!"), ("resume now", position(1)), ("stopped", b"stop!"),
                                ("ejected", b"open!"), ("closet", b"pause!")]:
                if reply is None:
                    # Only the exact line "pause" pauses.
                    client.send_line(line)
                    continue
                got = exchange(client, line)
                if isinstance(reply, bytes):
                    self.assertEqual(got, reply, line)
                else:
                    self.assertRegex(got, reply, line)

    def test_terminators_split_lines_and_nul_bytes(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            # CR LF is a line and an empty line: one reply, and the next reply is the next command's.
            self.assertEqual(exchange(client, b"status\r\n"), b"pause!")
            client.send_bytes(b"stop\rstatus\r\n\n\r")
            self.assertEqual(replies(client, 2), b"stop!pause!")
            self.assertRegex(exchange(client, "3"), position(3))

            # A line in pieces counts once, when its terminator comes.
            for piece in (b"pa", b"u", b"se"):
                client.send_bytes(piece)
            self.assertEqual(exchange(client, b"\n"), b"pause!")
            # A receive takes at most 1000 bytes: "status" straddles the first two of them.
            self.assertEqual(exchange(client, b"\n" * 996 + b"status\n"), b"pause!")

            # NUL ends what matching and numbers see; a line starting with it is nothing.
            self.assertRegex(exchange(client, b"pause\x00xyz\n"), position(3))
            self.assertEqual(exchange(client, b"\x00play\npause\x00\x00\n"), b"pause!")
            self.assertRegex(exchange(client, b"6\x009\n"), position(6))

    def test_overlong_lines_keep_their_first_999_bytes(self):
        with Session(disc=TWELVE_DISC) as session, open_client(session) as client:
            drive = DriveLog(session)
            self.assertEqual(exchange(client, b"stop" + b"x" * 4996 + b"\n"), b"stop!")
            # The bytes past the kept part are dropped, not taken for a line of their own.
            client.send_bytes(b"x" * 999 + b"play\n" + b"y" * 5000 + b"\n")
            self.assertEqual(exchange(client, "status"), b"pause!")
            # The kept part ends at byte 999: a number cut there is the number that is played.
            self.assertRegex(exchange(client, b"0" * 998 + b"5" + b"7" * 3000 + b"\n"), position(5))
            self.assertRegex(exchange(client, "status"), position(5))
            self.assertEqual([a for a in drive.actions() if a.startswith("MCI_PLAY")],
                             ["MCI_PLAY flags=MCI_NOTIFY|MCI_FROM from=0x00000005 callback=main result=0"])

    def test_unfinished_line_is_dropped_with_its_connection(self):
        with Session() as session:
            drive = DriveLog(session)
            with open_client(session) as client:
                client.send_bytes(b"stop\nplay")
                self.assertEqual(client.read_reply(), b"stop")
            # The next client starts with an empty line: its "y" does not finish the "pla".
            with open_client(session) as client:
                client.send_bytes(b"pla")
            with open_client(session) as client:
                self.assertEqual(exchange(client, b"y\nstatus\n"), b"pause!")
            drive.expect(self, ["MCI_STOP flags=0 result=0"])

    def test_telnet_negotiation_is_no_line_and_a_telnet_client_is_answered_from_its_first(self):
        with Session(disc=TWELVE_DISC) as session:
            # PuTTY's opening, as it sends it before the first line, with no line end; then a
            # subnegotiation and an escaped 255 between lines.
            iac, sb, se, will, do = 255, 250, 240, 251, 253
            opening = bytes([iac, will, 31, iac, will, 32, iac, will, 24, iac, will, 39, iac, do, 1, iac, will, 3,
                             iac, do, 3, iac, do, 5])
            with open_client(session) as client:
                self.assertRegex(exchange(client, opening + b"play\n"), position(1))
                subnegotiation = bytes([iac, sb, 31, 0, 80, 0, 24, iac, se])
                # Telnet's bare carriage return, CR NUL: the NUL does not start the next line.
                self.assertEqual(exchange(client, subnegotiation + b"stop\r\x00"), b"stop!")
                self.assertEqual(exchange(client, b"status\n"), b"pause!")
                self.assertEqual(exchange(client, bytes([iac, iac]) + b"status\nstop\n"), b"stop!")

            # The real thing: PuTTY's Telnet mode, fed a line on its input.
            if shutil.which("plink") is None:
                self.skipTest("plink (putty-tools) is not installed")
            plink = subprocess.Popen(["plink", "-telnet", "-batch", "-P", str(session.port), "127.0.0.1"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                plink.stdin.write(b"play\n")
                plink.stdin.flush()
                output = b""
                deadline = time.monotonic() + harness.REPLY_TIMEOUT
                while b"!" not in output and time.monotonic() < deadline:
                    readable, _, _ = select.select([plink.stdout], [], [], 0.5)
                    if readable:
                        data = os.read(plink.stdout.fileno(), 4096)
                        if not data:
                            break
                        output += data
                self.assertRegex(output, position(1), "plink's first line")
            finally:
                plink.kill()
                plink.wait()
                for stream in (plink.stdin, plink.stdout, plink.stderr):
                    stream.close()

    def test_a_client_that_closes_its_sending_side_still_gets_its_replies(self):
        # As "printf 'play\nstatus\n' | nc -q1 host port" does: the lines, then the end of the
        # client's sending side at once, before the program has carried the commands out.
        with Session() as session:
            for _ in range(3):
                with open_client(session) as client:
                    client.send_bytes(b"play\nstatus\nstop\n")
                    client.sock.shutdown(socket.SHUT_WR)
                    data = client.read_until_closed()
                self.assertRegex(data, rb"^1\(0:\d+\)!1\(0:\d+\)!stop!$")


class LocalCommandsTest(unittest.TestCase):
    """Commands taken at the desktop answer the connected client too, except the left click."""

    def test_menu_and_posted_commands_reply_and_the_click_does_not(self):
        with Session() as session, open_client(session) as client:
            session.wait_tray()
            # Served from now on: a command posted before the worker took the connection would
            # answer nobody.
            self.assertEqual(exchange(client, "status"), b"pause!")
            session.command(harness.CMD_PLAY)
            self.assertRegex(one_recv(client), position(1))
            session.command(harness.CMD_STOP)
            self.assertEqual(one_recv(client), b"stop!")
            session.command(harness.CMD_STATUS)
            self.assertEqual(one_recv(client), b"pause!")
            session.command(harness.CMD_TRACK_LIST)
            self.assertEqual(one_recv(client), b"!")
            session.menu_choose("n")
            self.assertRegex(one_recv(client), position(2))
            session.command(harness.CMD_TRACK_LIST)
            self.assertRegex(one_recv(client), rb"\A 01\. \(4:05\)\n 02\. \(3:30\)\n 03\. \(5:12\)\n 04\. \(2:4[67]\)\n!\Z")
            # A left click pauses, or plays, without a reply: the next reply is the next command's.
            session.click("left")
            session.wait_tray(tip="pause", icon="idle")
            self.assertEqual(exchange(client, "stop"), b"stop!")
            session.click("left")
            session.wait_tray(icon="playing")
            self.assertEqual(exchange(client, "stop"), b"stop!")


if __name__ == "__main__":
    unittest.main()
