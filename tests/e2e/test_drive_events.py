"""What the drive does by itself or by a person's hand, as a user meets it afterwards: the disc
played to its end, the door opened by hand while playing, a drive spinning up after its door
closes, no disc at all; and the program staying at the user's hand while the drive keeps a play
waiting. Run against both drives; with Wine's driver no notice tells the program that a play has
ended, as on Windows, so only what the drive reports can."""

import re
import sys
import threading
import time
import unittest

import harness
from harness import IDC_TRACKS, Session

POSITION = re.compile(rb"\A\d+\(\d+:\d+\)\Z")
TICK_TIMEOUT = 40.0  # the refresh tick comes every 10 s; leave room for a slow machine
# How long the main window may be away from its messages while the drive keeps a play waiting.
ANSWER_BOUND_MS = 500.0
# Each play is tried for ten seconds when no disc is there.
RETRY_TIMEOUT = 60.0
# Items of the tray menu, counted from 0 with the separators.
STOP_ITEM = 1  # "停止(&S)"
SELECT_TRACK_ITEM = 7  # "曲番号指定(&M)"
EJECT_ITEM = 9  # "イジェクト(&E)"
SETTINGS_ITEM = 11  # "設定(&O)"
SETTINGS_TITLE = "設定"
TRACKS_TITLE = "曲番号指定"
IDOK = 1


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

    def menu_click(self, session, item):
        """A real click on an item of the tray menu; returns when it was made."""
        session.click("right")
        session.wait_menu()
        session.desktop.click_menu_item(item)
        clicked = time.monotonic()
        session.wait_menu_closed()
        return clicked

    def read_replies(self, client, count):
        replies = [client.read_reply(RETRY_TIMEOUT) for _ in range(count)]
        for reply in replies:
            self.assertIn(reply, (b"pause", b"open"), "what the empty drive does")
        return replies

    def test_twelve_plays_give_way_to_the_menus_stop_and_every_one_is_answered_in_order(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            watch = Watch(session)
            sent = time.monotonic()
            client.send_bytes(b"play\n" * 12)
            # While the newest play is tried, a real click chooses stop from the menu: it reaches
            # the drive at once, and only then the client hears the last play's answer and the stop.
            clicked = self.menu_click(session, STOP_ITEM)
            stop_seen = None
            if session.logs_commands:
                session.wait_for(lambda: any(line.startswith("MCI_STOP ") for line in session.vcd_log()),
                                 RETRY_TIMEOUT, "the menu's stop at the drive")
                stop_seen = time.monotonic() - clicked
            self.read_replies(client, 12)
            self.assertEqual(client.read_reply(), b"stop", "the menu's stop, after the plays")
            answered = time.monotonic() - clicked
            figures = watch.end()
            sys.stderr.write("twelve plays without a disc, then the menu's stop %.2f s after them: the drive "
                             "stopped after %s s, every reply in %.2f s; main window: %d pings, slowest "
                             "answer %.1f ms\n" % (clicked - sent, "-" if stop_seen is None else "%.2f" % stop_seen,
                                                   answered, figures["pings"], figures["slowest_ms"]))
            if stop_seen is not None:
                self.assertLess(stop_seen, 3.0, "the stop reached the drive behind the plays")
            self.assertLess(answered, 3.0, "the replies waited for retries")
            self.assertEqual(figures["timeouts"], 0)
            self.assertFalse(figures["gone"])
            self.assertLess(figures["slowest_ms"], ANSWER_BOUND_MS)

    def test_twelve_plays_from_a_client_that_leaves_keep_the_next_one_at_most_one_retry(self):
        session = self.start(disc=0)
        with session.client() as first:
            first.send_bytes(b"play\n" * 12)
        sent = time.monotonic()
        with session.client(timeout=RETRY_TIMEOUT) as second:
            self.assertIn(second.command("status", timeout=RETRY_TIMEOUT), (b"pause", b"open"))
            took = time.monotonic() - sent
        sys.stderr.write("twelve plays from a client that left: the next client answered after %.2f s\n" % took)
        self.assertLess(took, 15.0, "one retry at most")

    def test_a_dialog_opened_while_a_play_is_tried_holds_nobody(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            client.send_line("play")
            # The person asks for the settings while the play is tried: the dialog opens at once,
            # and a client's status is answered while it is open, behind that play.
            self.menu_click(session, SETTINGS_ITEM)
            dialog = session.wait_window(SETTINGS_TITLE, timeout=5.0)
            sent = time.monotonic()
            client.send_line("status")
            self.read_replies(client, 2)
            took = time.monotonic() - sent
            sys.stderr.write("play, the settings dialog, status: answered after %.2f s\n" % took)
            self.assertLess(took, 15.0)
            self.assertTrue(session.desktop.info(dialog)["visible"], "answered while the dialog is open")
            # The dialog still takes a port typed into it.
            new_port = harness.free_port()
            session.desktop.key("end")
            session.desktop.key("shift+home")
            session.desktop.type_text(str(new_port))
            session.desktop.key("enter")
            session.wait_window_gone(dialog)
            self.assertEqual(client.read_until_closed(), b"", "the client of the old port is let go")
        session.wait_for(lambda: not harness.refuses(new_port), what="port %d to accept connections" % new_port)
        with harness.Client(new_port) as moved:
            self.assertIn(moved.command("status"), (b"pause", b"open"))

    @harness.driver_independent
    def test_a_track_chosen_while_a_clients_play_is_tried_answers_that_play_first(self):
        session = self.start(fail_all_plays=1)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            self.menu_click(session, SELECT_TRACK_ITEM)
            dialog = session.wait_window(TRACKS_TITLE, timeout=5.0)
            # A client's play arrives while the dialog is open, and the drive refuses it for now.
            client.send_line("play")
            session.wait_for(lambda: any(line.startswith("MCI_PLAY ") for line in session.vcd_log()),
                             what="the client's play at the drive")
            # The person chooses track 2: the client's play gives way and its client hears what the
            # drive does; the choice is tried in its place and plays once the drive takes it.
            session.desktop.combo_select(dialog, IDC_TRACKS, 1)
            session.desktop.press(dialog, IDOK)
            session.wait_window_gone(dialog)
            client.send_line("status")
            session.set_disc(fail_all_plays=0)
            self.assertEqual(client.read_reply(), b"pause", "the client's play, answered when the choice ended it")
            self.assertRegex(client.read_reply(RETRY_TIMEOUT), position(2), "the status, once the choice plays")

    @harness.vcd_only
    def test_eject_while_a_clients_plays_wait_leaves_the_door_open(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            # Plays with a status behind each: the plays wait among what only reads.
            client.send_bytes(b"play\nstatus\n" * 6)
            client.read_reply(RETRY_TIMEOUT)  # the first play gave way to the second
            self.menu_click(session, EJECT_ITEM)
            self.read_replies(client, 11)
            self.assertEqual(client.read_reply(), b"open", "the menu's eject, after them")
            ejected = len(session.vcd_log())
            for _ in range(3):
                self.assertEqual(client.command("status"), b"open")
                time.sleep(1)
            closed = [line for line in session.vcd_log()[ejected:] if "DOOR_CLOSED" in line]
            self.assertEqual(closed, [], "nothing closed the door the person opened")

    @harness.vcd_only
    def test_a_disc_put_in_while_a_play_is_tried_plays_and_what_waited_behind_it_says_so_in_order(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            client.send_bytes(b"play\nstatus\nselect\n")
            time.sleep(2)  # the person takes a moment to put the disc in
            session.set_disc(disc=1)
            self.assertRegex(client.read_reply(RETRY_TIMEOUT), position(1))
            self.assertRegex(client.read_reply(), position(1))
            self.assertTrue(client.read_reply().startswith(b" 01. (4:05)\n"), "the track list, last")

    def test_exit_while_a_play_is_tried_ends_the_program_within_a_second(self):
        session = self.start(disc=0)
        with session.client(timeout=RETRY_TIMEOUT) as client:
            client.send_bytes(b"play\nplay\n")
            # The client reads all through and ends its side when the program ends the
            # connection, as nc, telnet and PuTTY do.
            heard = []
            reader = threading.Thread(target=lambda: (heard.append(client.read_until_closed(RETRY_TIMEOUT)),
                                                      client.close()))
            reader.start()
            session.click("right")
            session.wait_menu()
            # The tray menu's exit, while the second play still has seconds of trying ahead.
            chosen = time.monotonic()
            session.desktop.menu_key("x")
            session.wait_for(lambda: not session.running(), 5.0, "the program to end")
            took = time.monotonic() - chosen
            sys.stderr.write("exit while a play is tried: the program ended after %.2f s\n" % took)
            self.assertLess(took, 1.0)
            self.assertEqual(session.exit_code(), 0)
            reader.join(RETRY_TIMEOUT)
            # The first play gave way to the second and was answered; the second ends unanswered
            # with the program.
            self.assertIn(heard, ([b"pause!"], [b"open!"]))
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
