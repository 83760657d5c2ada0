"""The tray icon as the local user meets it: the left-click toggle, the right-click menu's commands
(chosen by their accelerators), the icon's picture and tooltip after each of them and after the
refresh tick, the end of the disc, and a restart of the taskbar."""

import os
import re
import unittest

import harness
from harness import Session

TICK_TIMEOUT = 40.0  # the refresh tick comes every 10 s; leave room for a slow machine
OUTSIDE_THE_MENU = (50, 50)  # the menu opens at the click point, 600 400, down and to the right
# harness.DEFAULT_DISC; drives report the last track a frame short, which may read a second less.
DISC_LIST = re.compile(rb"\A 01\. \(4:05\)\n 02\. \(3:30\)\n 03\. \(5:12\)\n 04\. \(2:4[67]\)\n\Z")


def position(track):
    """A pattern for the position text of a track anywhere in its first minutes."""
    return re.compile(r"%d\(\d+:\d+\)\Z" % track)


class TrayTestCase(unittest.TestCase):

    def start(self, **session_args):
        session = Session(**session_args)
        session.__enter__()
        self.addCleanup(session.close)
        self.session = session
        self.client = session.client()
        self.addCleanup(self.client.close)
        self.mark = len(session.vcd_log())
        self.shown = 0
        return session

    def drive_lines(self):
        """What the drive logged since the last call."""
        lines = self.session.vcd_log()
        new, self.mark = lines[self.mark:], len(lines)
        return new

    def assert_drive_did(self, lines, command, fragment):
        if not self.session.logs_commands:
            return  # Wine's driver keeps no log: the icon and the replies tell
        matching = [line for line in lines if line.startswith(command + " ") and fragment in line]
        self.assertTrue(matching, "no %s with %r among %r" % (command, fragment, lines))

    def assert_reply(self, expected, timeout=harness.REPLY_TIMEOUT):
        reply = self.client.read_reply(timeout).decode("ascii", "replace")
        if isinstance(expected, str):
            self.assertEqual(reply, expected)
        else:
            self.assertRegex(reply, expected)
        return reply

    def wait_icon(self, icon, tip):
        """Waits for the picture and a tooltip: a text as the program showed it after the last one
        waited for (the refresh tick may have moved it on since), or a pattern the icon shows now."""
        if isinstance(tip, str):
            self.shown = self.session.wait_shown(icon, tip, self.shown)
            tray = self.session.tray()
            self.assertEqual(tray["count"], 1, "one icon")
            return tray

        def shown():
            tray = self.session.tray()
            if tray["count"] != 1 or tray["icon"] != icon:
                return None
            return tray if tip.match(tray["tip"]) else None
        return self.session.wait_for(shown, what="icon %s with tip %r" % (icon, tip))

    def menu(self, key):
        self.session.menu_choose(key)


class LeftClickTest(TrayTestCase):

    def test_left_click_toggles_play_pause_resume_and_tells_no_client(self):
        # Wine's shell32 warns about a record size it does not know for this build's pointer size.
        session = self.start(extra_env={"WINEDEBUG": "-all,warn+systray"})
        self.wait_icon("idle", "pause")

        # Stopped: plays track 1 from its start.
        session.click("left")
        self.wait_icon("playing", "1(0:0)")
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_NOTIFY|MCI_FROM from=0x00000001 ")
        # A reply sent for the click would come before the list: the list is the first thing heard.
        self.assertRegex(self.client.command("select"), DISC_LIST)

        # Playing: pauses.
        session.click("left")
        self.wait_icon("idle", "pause")
        self.assert_drive_did(self.drive_lines(), "MCI_PAUSE", "flags=0")
        # Paused, the list reply is empty; a "pause!" sent for the click would come first.
        self.assertEqual(self.client.command("select"), b"")
        self.assertEqual(self.client.command("status"), b"pause")

        # Paused: resumes where it was, without a start position.
        session.click("left")
        self.wait_icon("playing", position(1))
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_NOTIFY callback=")
        self.assertRegex(self.client.command("select"), DISC_LIST)
        self.client.send_line("status")
        self.assert_reply(position(1))

        # The desktop gets shell32's own copy of each record, without the size the program gave:
        # the program's first-version record (88 bytes in the 32-bit build, 104 in the 64-bit one)
        # shows only as shell32 taking it without the warning.
        with open(os.path.join(session.dir, "qel.stderr"), "rb") as f:
            self.assertNotIn(b"Invalid cbSize", f.read())


class MenuTest(TrayTestCase):

    def test_each_menu_choice_does_its_command_and_answers_the_client(self):
        session = self.start()

        # A click elsewhere closes the menu and chooses nothing (the program has to be in the
        # foreground for the menu to hear of that click). One click: a menu that does not hear it
        # stays open in front of the person, who can no longer click it away.
        session.click("right")
        session.wait_menu()
        session.desktop.mouse_click(OUTSIDE_THE_MENU[0], OUTSIDE_THE_MENU[1])
        try:
            session.wait_menu_closed()
        except harness.HarnessError:
            mouse = session.desktop.menu_input()
            self.fail("the menu heard no click outside it; %s" % " ".join("%s=%#x" % item for item in mouse.items()))
        self.assertEqual(self.client.command("status"), b"pause", "nothing is heard before the status")
        self.assertFalse([line for line in self.drive_lines() if not line.startswith("MCI_STATUS ")])

        self.menu("p")
        self.assert_reply("1(0:0)")
        self.wait_icon("playing", "1(0:0)")
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_NOTIFY|MCI_FROM from=0x00000001 ")

        self.menu("n")
        self.assert_reply("2(0:0)")
        self.wait_icon("playing", "2(0:0)")
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_FROM from=0x00000002 ")

        self.menu("v")
        self.assert_reply("1(0:0)")
        self.wait_icon("playing", "1(0:0)")
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_FROM from=0x00000001 ")

        # Item 3 while playing is pause ...
        self.menu("u")
        self.assert_reply("pause")
        self.wait_icon("idle", "pause")
        self.assert_drive_did(self.drive_lines(), "MCI_PAUSE", "flags=0")

        # ... and while paused resume, continuing without a start position.
        self.menu("u")
        self.assert_reply(position(1))
        self.wait_icon("playing", position(1))
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_NOTIFY callback=")

        self.menu("s")
        self.assert_reply("stop")
        self.wait_icon("idle", "stop")
        self.assert_drive_did(self.drive_lines(), "MCI_STOP", "flags=0")

        # Resume while stopped plays track 1 from its start.
        self.menu("u")
        self.assert_reply("1(0:0)")
        self.wait_icon("playing", "1(0:0)")
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_NOTIFY|MCI_FROM from=0x00000001 ")

        self.menu("e")
        self.assert_reply("open")
        self.wait_icon("idle", "open")
        self.assert_drive_did(self.drive_lines(), "MCI_SET", "flags=MCI_SET_DOOR_OPEN ")

        # With the door open item 10 closes the tray: "e" names no item and chooses nothing.
        session.click("right")
        session.wait_menu()
        session.desktop.menu_key("e")
        session.desktop("menu-escape")  # the menu may or may not still be open
        session.wait_menu_closed()
        self.assertEqual(self.client.command("select"), b"", "nothing is heard before the list")
        self.assertEqual(self.client.command("status"), b"open")
        self.assertFalse([line for line in self.drive_lines() if "DOOR" in line or line.startswith("MCI_PLAY")])

        self.menu("c")
        self.assert_reply("pause")
        self.wait_icon("idle", "pause")
        self.assert_drive_did(self.drive_lines(), "MCI_SET", "flags=MCI_SET_DOOR_CLOSED ")

        # Play from the start closes an open door (waiting) and starts track 1 whatever plays.
        self.menu("n")
        self.assert_reply("2(0:0)")
        self.menu("e")
        self.assert_reply("open")
        self.drive_lines()
        self.menu("p")
        self.assert_reply("1(0:0)")
        self.wait_icon("playing", "1(0:0)")
        lines = self.drive_lines()
        self.assert_drive_did(lines, "MCI_SET", "flags=MCI_WAIT|MCI_SET_DOOR_CLOSED ")
        self.assert_drive_did(lines, "MCI_PLAY", "flags=MCI_NOTIFY|MCI_FROM from=0x00000001 ")


class RefreshTest(TrayTestCase):

    def test_tick_recomposes_the_tooltip_and_taskbar_restart_brings_the_icon_back(self):
        session = self.start()
        # At start the tooltip follows the two-way rule; the first tick says what the drive does.
        self.wait_icon("idle", "pause")
        self.session.wait_for(lambda: session.tray()["tip"] == "stop", TICK_TIMEOUT, "the tick's \"stop\"")
        self.assertEqual(session.tray()["icon"], "idle")
        # The status command answers by the two-way rule and leaves the icon alone.
        self.assertEqual(self.client.command("status"), b"pause")
        self.assertEqual(session.tray()["tip"], "stop")

        # The icon comes back with the status composed afresh.
        self.assertEqual(session.desktop.taskbar_created(), 1)
        self.assertEqual(self.wait_icon("idle", "pause")["hwnd"], session.main_window())

        # While playing each tick shows the position reached.
        self.assertEqual(self.client.command("3"), b"3(0:0)")
        self.wait_icon("playing", "3(0:0)")
        session.events()
        self.session.wait_for(lambda: session.tray()["tip"] not in ("3(0:0)",), TICK_TIMEOUT, "a tick")
        self.wait_icon("playing", position(3))
        self.assertTrue([e for e in session.events() if e["kind"] == "modify" and e["icon"] == "playing"])

        self.assertEqual(session.desktop.taskbar_created(), 1)
        tray = self.wait_icon("playing", position(3))
        self.assertEqual((tray["id"], tray["msg"]), (1, harness.WM_TRAY_NOTIFY))
        self.client.send_line("status")
        self.assert_reply(position(3))

        # The door open: the restarted taskbar hears "open".
        self.assertEqual(self.client.command("eject"), b"open")
        self.assertEqual(session.desktop.taskbar_created(), 1)
        self.wait_icon("idle", "open")

        # A taskbar that is not ready refuses the icon (as at logon): it is added again at a tick.
        session.desktop.refuse_adds(2)
        self.assertEqual(session.desktop.taskbar_created(), 0)
        self.assertEqual(session.tray(), {"count": 0})
        self.session.wait_for(lambda: session.tray()["count"] == 1, 2 * TICK_TIMEOUT, "the icon added again")
        self.wait_icon("idle", "open")
        refused = [e["kind"] for e in session.events() if e["kind"].startswith("add")]
        self.assertEqual(refused[-3:], ["add-refused", "add-refused", "add"])

    def test_the_pictures_are_made_for_the_notification_area_at_each_scale(self):
        # The notification area shows the small icon size: 16 px at 100 %, 24 px at 150 %. A
        # picture of another size would be scaled by the shell, and blurred.
        for dpi, size in ((96, 16), (144, 24)):
            with self.subTest(dpi=dpi):
                session = self.start(dpi=dpi, wait="tray")
                tray = self.wait_icon("idle", "pause")
                self.assertEqual((tray["width"], tray["height"]), (size, size))
                self.assertEqual(self.client.command("play"), b"1(0:0)")
                tray = self.wait_icon("playing", "1(0:0)")
                self.assertEqual((tray["width"], tray["height"]), (size, size))
                self.client.close()
                session.close()

    @harness.vcd_only
    def test_a_disc_played_to_its_end_reads_stop_at_the_tick_and_pause_to_a_client(self):
        # Two seconds of music at a hundred times the speed end within a few tens of milliseconds,
        # perhaps before the position is read.
        session = self.start(disc=dict(harness.DEFAULT_DISC, tracks="0:01,0:01", speed=100, notify_end=1))
        self.client.send_line("play")
        self.assert_reply(re.compile(r"[12]\(0:[01]\)\Z"))
        session.wait_for(lambda: any("code=MCI_NOTIFY_SUCCESSFUL" in line for line in session.vcd_log()),
                         what="the drive's end-of-disc notice")
        # The tooltip shows the position until a tick: only the notice makes that tick say "stop"
        # (without it the program would still take the stopped drive for playing).
        session.wait_for(lambda: session.tray()["tip"] == "stop", TICK_TIMEOUT, "the tick's \"stop\"")
        self.assertEqual(session.tray()["icon"], "idle")
        self.assertEqual(self.client.command("status"), b"pause")
        self.assertEqual(self.client.command("select"), b"", "not playing: no list")

    def test_a_disc_played_to_its_end_without_a_notice_reads_stopped_and_a_click_plays_again(self):
        # As on Windows, the drive tells nobody that the disc has ended: the program must see it.
        session = self.start(disc=dict(harness.DEFAULT_DISC, tracks="0:01,0:01", speed=100))
        self.client.send_line("play")
        self.assert_reply(re.compile(r"[12]\(0:[01]\)\Z"))
        session.wait_for(lambda: self.client.command("status") == b"pause", what="status to read pause")
        session.wait_for(lambda: session.tray()["tip"] == "stop", TICK_TIMEOUT, "the tick's \"stop\"")
        self.assertEqual(session.tray()["icon"], "idle")
        self.assertFalse(any("code=MCI_NOTIFY_SUCCESSFUL" in line for line in session.vcd_log()))
        self.drive_lines()
        session.click("left")
        self.wait_icon("playing", position(1))
        self.assert_drive_did(self.drive_lines(), "MCI_PLAY", "flags=MCI_NOTIFY|MCI_FROM from=0x00000001 ")


if __name__ == "__main__":
    unittest.main()
