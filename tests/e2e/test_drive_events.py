"""What the drive does by itself or by a person's hand, as a user meets it afterwards: the disc
played to its end, the door opened by hand while playing, a drive spinning up after its door
closes, no disc at all; and the program staying at the user's hand while the drive keeps a play
waiting. Run against both drives; with Wine's driver no notice tells the program that a play has
ended, as on Windows, so only what the drive reports can."""

import re
import sys
import time
import unittest

import harness
from harness import Session

POSITION = re.compile(rb"\A\d+\(\d+:\d+\)\Z")
TICK_TIMEOUT = 40.0  # the refresh tick comes every 10 s; leave room for a slow machine
# How long the main window may be away from its messages while the drive keeps a play waiting.
ANSWER_BOUND_MS = 500.0
# Each play is tried for ten seconds when no disc is there.
RETRY_TIMEOUT = 60.0
STOP_ITEM = 1  # the tray menu's "停止(&S)", counted from 0


def position(track):
    return re.compile(rb"\A%d\(0:\d+\)\Z" % track)


class Watch:
    """Another program asking the main window for an answer (WM_NULL) every 20 ms: the test
    desktop's `watch`. end() gives {pings, slowest_ms, timeouts, gone}."""

    def __init__(self, session):
        self.desktop = session.desktop
        self.desktop.watch(session.wait_for(session.main_window, what="the main window"))

    def end(self):
        return self.desktop.watch_end()


class DriveEventsTest(unittest.TestCase):

    def start(self, **disc):
        session = Session(disc=dict(harness.DEFAULT_DISC, **disc))
        session.__enter__()
        self.addCleanup(session.close)
        self.session = session
        self.client = session.client()
        self.addCleanup(self.client.close)
        return session

    def wait_status(self, expected, timeout=harness.WAIT_TIMEOUT):
        self.session.wait_for(lambda: self.client.command("status") == expected, timeout,
                              "status %r" % expected)

    def test_a_disc_played_to_its_end_is_stopped_for_status_tick_and_click(self):
        # Ten seconds of music twenty times as fast.
        session = self.start(tracks="0:05,0:05", speed=20)
        self.assertRegex(self.client.command("play"), POSITION)
        self.wait_status(b"pause")
        session.wait_for(lambda: session.tray()["tip"] == "stop", 40.0, "the tick's \"stop\"")
        self.assertEqual(session.tray()["icon"], "idle")
        self.assertEqual(self.client.command("select"), b"", "nothing plays: no list")
        # A left click on the stopped player plays the disc from its start.
        session.set_disc(speed=1)
        session.click("left")
        session.wait_tray(icon="playing")
        self.assertRegex(self.client.command("status"), position(1))

    def test_a_resumed_disc_played_to_its_end_is_stopped_for_tick_status_and_click(self):
        # Half a minute of music twenty times as fast: paused and resumed, then it runs out, and
        # no notice says so.
        session = self.start(tracks="0:15,0:15", speed=20)
        self.assertRegex(self.client.command("play"), position(1))
        self.assertEqual(self.client.command("pause"), b"pause")
        self.assertRegex(self.client.command("resume"), position(1))
        session.wait_for(lambda: session.tray()["tip"] == "stop", TICK_TIMEOUT, "the tick's \"stop\"")
        self.assertEqual(session.tray()["icon"], "idle")
        self.assertEqual(self.client.command("status"), b"pause")
        # A left click on the stopped player plays the disc from its start, it does not resume.
        session.set_disc(speed=1)
        session.click("left")
        session.wait_tray(icon="playing")
        self.assertRegex(self.client.command("status"), position(1))

    def test_the_door_opened_by_hand_while_playing_then_closed(self):
        session = self.start()
        self.assertRegex(self.client.command("2"), position(2))
        session.set_disc(door="open")
        self.wait_status(b"open")
        session.set_disc(door="closed")
        # Nothing plays any more: no stale position.
        self.wait_status(b"pause")
        self.assertEqual(self.client.command("select"), b"")
        session.click("left")
        session.wait_tray(icon="playing")
        self.assertRegex(self.client.command("status"), position(1))

    def test_without_a_disc_play_answers_and_nothing_plays(self):
        self.start(disc=0)
        self.assertIsNotNone(self.client.command("play", timeout=40.0))
        self.assertIn(self.client.command("status"), (b"open", b"pause"))
        self.assertEqual(self.client.command("select"), b"")

    @unittest.skipUnless(harness.DRIVE == "mcicda", "a spin-up of the faked drive")
    def test_play_with_the_door_open_waits_for_either_kind_of_spin_up(self):
        session = self.start()
        for kind in ("absent", "becoming"):
            with self.subTest(kind=kind):
                self.assertEqual(self.client.command("eject"), b"open")
                session.set_disc(door="open", spinup=3000, spinup_kind=kind)
                # The play closes the door and keeps trying while the disc loads.
                self.assertRegex(self.client.command("play", timeout=40.0), position(1))
                self.assertIn("audio=play", harness.fakecd("show"))
                self.assertRegex(self.client.command("status"), position(1))
                self.assertEqual(self.client.command("stop"), b"stop")
                session.disc["door"] = "closed"  # the program closed it


class BusyDriveTest(unittest.TestCase):
    """The drive keeps a play waiting (no disc, or a disc that loads after the door closes): the
    program goes on answering its window, its menu and its exit meanwhile."""

    def start(self, **disc):
        session = Session(disc=dict(harness.DEFAULT_DISC, **disc))
        session.__enter__()
        self.addCleanup(session.close)
        return session

    def test_five_plays_without_a_disc_are_answered_in_order_and_the_window_answers_all_through(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            watch = Watch(session)
            sent = time.monotonic()
            client.send_bytes(b"play\n" * 5)
            # While the first play is tried: the menu opens, and a real click chooses stop, which
            # waits its turn behind the five plays.
            session.click("right")
            session.wait_menu()
            menu_open = time.monotonic() - sent
            session.desktop.click_menu_item(STOP_ITEM)
            session.wait_menu_closed()
            answered = []
            for _ in range(5):
                reply = client.read_reply(RETRY_TIMEOUT)
                answered.append(time.monotonic() - sent)
                self.assertIn(reply, (b"pause", b"open"), "what the empty drive does")
            self.assertEqual(client.read_reply(), b"stop", "the menu's stop, after the plays")
            figures = watch.end()
            sys.stderr.write("five plays without a disc: menu open after %.2f s, replies after %s s; "
                             "main window: %d pings, slowest answer %.1f ms\n"
                             % (menu_open, ", ".join("%.1f" % t for t in answered), figures["pings"],
                                figures["slowest_ms"]))
            self.assertLess(menu_open, 5.0, "the menu opened while the first play was tried")
            self.assertGreater(answered[-1], 45.0, "each play was given its ten seconds")
            self.assertEqual(figures["timeouts"], 0)
            self.assertFalse(figures["gone"])
            self.assertGreater(figures["pings"], 500)
            self.assertLess(figures["slowest_ms"], ANSWER_BOUND_MS)
            session.command(harness.CMD_EXIT)
            self.assertEqual(session.exit_code(), 0)

    def test_exit_while_a_play_is_tried_ends_the_program_within_a_second(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            client.send_bytes(b"play\nplay\n")
            session.click("right")
            session.wait_menu()
            # The tray menu's exit, while the first play still has seconds of trying ahead.
            chosen = time.monotonic()
            session.desktop.menu_key("x")
            session.wait_for(lambda: not session.running(), 5.0, "the program to end")
            took = time.monotonic() - chosen
            sys.stderr.write("exit while a play is tried: the program ended after %.2f s\n" % took)
            self.assertLess(took, 1.0)
            self.assertEqual(session.exit_code(), 0)
            self.assertEqual(client.read_until_closed(), b"")
            if session.logs_commands:
                self.assertTrue(any(line.startswith("MCI_CLOSE_DRIVER ") for line in session.vcd_log()),
                                "the shutdown closed the drive")

    def test_a_slow_door_before_a_play_keeps_the_window_answering(self):
        session = self.start()
        with session.client(timeout=RETRY_TIMEOUT) as client:
            self.assertEqual(client.command("eject"), b"open")
            if session.drive == "mcicda":
                session.set_disc(door="open", spinup=4000, spinup_kind="absent")
            else:
                session.set_disc(door="open", load_ms=4000)
            watch = Watch(session)
            sent = time.monotonic()
            self.assertRegex(client.command("play", timeout=RETRY_TIMEOUT), position(1))
            took = time.monotonic() - sent
            figures = watch.end()
            sys.stderr.write("play with a slow door: answered after %.2f s; main window: %d pings, slowest "
                             "answer %.1f ms\n" % (took, figures["pings"], figures["slowest_ms"]))
            self.assertGreater(took, 3.0, "the play waited for the disc to load")
            self.assertEqual(figures["timeouts"], 0)
            self.assertLess(figures["slowest_ms"], ANSWER_BOUND_MS)
            self.assertEqual(client.command("stop"), b"stop")


if __name__ == "__main__":
    unittest.main()
