"""What the drive does by itself or by a person's hand, as a user meets it afterwards: the disc
played to its end, the door opened by hand while playing, a drive spinning up after its door
closes, no disc at all. Run against both drives; with Wine's driver no notice tells the program
that a play has ended, as on Windows, so only what the drive reports can."""

import re
import unittest

import harness
from harness import Session

POSITION = re.compile(rb"\A\d+\(\d+:\d+\)\Z")


def position(track):
    return re.compile(rb"\A%d\(0:\d+\)\Z" % track)


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


if __name__ == "__main__":
    unittest.main()
