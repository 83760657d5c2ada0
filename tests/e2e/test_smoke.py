"""First end-to-end checks: the test desktop itself (against the small tray program trayprobe.exe,
which does what a tray program does through the product's own interfaces), then the real program:
it listens, answers, and shows its icon."""

import shutil
import subprocess
import tempfile
import unittest

import harness
from harness import Desktop, LineReader, Session
from test_dialogs import IDOK, SETTINGS_TITLE

PROBE_SETTINGS = 40001
PROBE_EXIT = 40002
PROBE_STOP = 40004
PROBE_MESSAGE = 40011
PROBE_EXIT_CODE = 7
WM_LBUTTONDOWN = 0x201
WM_RBUTTONDOWN = 0x204
GUI_INMENUMODE = 0x4  # GUITHREADINFO flags: the thread is in a menu loop


class DesktopTest(unittest.TestCase):
    """desktop.exe sees every tray call and drives menus, dialogs and message boxes."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qel-desktop-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.desktop = Desktop(self.dir)
        self.addCleanup(self.desktop.close)
        self.probe = harness.start_wine(harness.TRAYPROBE_EXE, cwd=self.dir, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.addCleanup(self._end_probe)
        self.lines = LineReader(self.probe.stdout)
        ready = self.lines.expect("ready ").split()
        fields = dict(f.split("=") for f in ready[2:])
        self.assertEqual(fields["added"], "1")
        self.window = int(ready[1], 16)
        # The probe's two icon sizes (LoadIcon's and the notification area's), as (width, height).
        self.large, self.small = (tuple(int(v) for v in fields[k].split("x")) for k in ("large", "small"))

    def _end_probe(self):
        if self.probe.poll() is None:
            self.probe.kill()
            self.probe.wait(30)
        self.probe.stdout.close()

    def command(self, command_id):
        self.desktop.ok("command 0x%x %d" % (self.window, command_id))
        self.lines.expect("command %d" % command_id)

    def test_tray_calls_arrive_with_owner_picture_and_tip(self):
        width, height = self.large
        self.assertEqual(self.desktop.tray(), {"count": 1, "hwnd": self.window, "id": 1, "msg": 2024,
                                               "icon": "playing", "width": width, "height": height,
                                               "tip": "プローブ 再生中"})
        [added] = self.desktop.events()
        self.assertEqual((added["kind"], added["hwnd"], added["icon"], added["width"], added["height"]),
                         ("add", self.window, "playing", width, height))
        self.assertEqual(self.desktop.events(), [], "events are handed out once")
        self.assertEqual(self.desktop.find("QelProbe"), [self.window])
        self.assertEqual(self.desktop.find(None, "プローブ"), [self.window])

    def test_clicks_reach_the_owner_at_the_cursor(self):
        self.assertEqual(self.desktop.click("left"), (600, 400))
        self.lines.expect("tray 1 %d" % WM_LBUTTONDOWN)
        self.assertEqual(self.desktop.click("right", 300, 200), (300, 200))
        self.lines.expect("tray 1 %d" % WM_RBUTTONDOWN)
        self.assertEqual(self.lines.expect("menu "), "menu 300 200")
        menu = harness.wait_for(self.desktop.menu, what="the popup menu")
        self.assertEqual(self.desktop.info(menu)["rect"][:2], (300, 200))
        # Open means that the menu's loop has the mouse, so that a click outside it is heard.
        mouse = self.desktop.menu_input()
        self.assertTrue(mouse["flags"] & GUI_INMENUMODE and mouse["capture"], mouse)
        self.desktop.menu_escape()
        self.lines.expect("menu-done")
        self.assertEqual(self.desktop.menu_shown(), ("closed", None))
        # Escape chose nothing: the next line is the next click, not a command.
        self.desktop.click("left")
        self.assertEqual(self.lines.line(harness.REPLY_TIMEOUT), "tray 1 %d" % WM_LBUTTONDOWN)

    def test_menu_accelerator_chooses_its_item(self):
        self.desktop.click("right")
        harness.wait_for(self.desktop.menu, what="the popup menu")
        self.desktop.menu_key("s")
        # The menu posts the chosen command: it arrives once the menu has ended.
        self.lines.expect("menu-done")
        self.lines.expect("command %d" % PROBE_STOP)
        harness.wait_for(lambda: self.desktop.tray()["icon"] == "idle", what="the idle picture")
        # The probe gives this picture at the small size: the size reported is the one given.
        self.assertEqual((self.desktop.tray()["width"], self.desktop.tray()["height"]), self.small)
        [modified] = [e for e in self.desktop.events() if e["kind"] != "add"]
        self.assertEqual((modified["kind"], modified["icon"], modified["tip"], modified["width"], modified["height"]),
                         ("modify", "idle", "停止") + self.small)
        self.assertEqual(self.desktop.menu_shown(), ("closed", None))

    def test_menu_is_read_inside_its_program_and_answered_by_real_input(self):
        self.assertTrue(self.desktop("menu-items").startswith("error no menu"))
        self.desktop.click("right", 300, 200)
        harness.wait_for(self.desktop.menu, what="the popup menu")
        self.assertEqual(self.desktop.menu_items(), ["再生(&P)", "停止(&S)", "設定(&O)", "メッセージ(&M)", "", "終了(&X)"])
        rects = [self.desktop.menu_item_rect(i) for i in range(6)]
        self.assertTrue(all(r[0] >= 300 and r[1] >= 200 and r[2] > r[0] and r[3] > r[1] for r in rects), rects)
        self.assertEqual([r[1] for r in rects[1:]], [r[3] for r in rects[:-1]], "items follow each other downwards")
        self.assertTrue(self.desktop("menu-item-rect 6").startswith("error no such item"))
        # A click through the system's input on the settings item, then typing and Enter in the dialog.
        self.desktop.click_menu_item(2)
        self.lines.expect("menu-done")
        self.lines.expect("command %d" % PROBE_SETTINGS)
        dialog = self.desktop.wait_window(None, "プローブ設定")
        self.desktop.type_text("59 6")  # the dialog gives the edit box the focus with its text selected
        harness.wait_for(lambda: self.desktop.get_text(dialog, harness.IDC_PORT) == "59 6", what="the typed text")
        self.desktop.key("backspace")
        self.desktop.key("shift+home")
        self.desktop.type_text("日本")
        harness.wait_for(lambda: self.desktop.get_text(dialog, harness.IDC_PORT) == "日本", what="the text typed over")
        for bad in ("key", "key f13", "key hyper+a", "key ctrl+", "type"):
            self.assertTrue(self.desktop(bad).startswith("error "), bad)
        self.desktop.key("enter")
        self.assertEqual(self.lines.expect("dialog "), "dialog ok edit=日本 combo=0")

    def test_taskbar_created_forgets_the_icons_until_added_again(self):
        self.desktop.events()
        self.assertEqual(self.desktop.taskbar_created(), 1)
        self.lines.expect("readded 1")
        self.assertEqual([(e["kind"], e["icon"], e["tip"]) for e in self.desktop.events()],
                         [("reset", "none", ""), ("add", "idle", "停止")])

    def test_dialog_controls_are_read_and_set(self):
        self.command(PROBE_SETTINGS)
        dialog = self.desktop.wait_window(None, "プローブ設定")
        self.assertEqual([c[0] for c in self.desktop.controls(dialog)], [harness.IDC_HOST, harness.IDC_PORT,
                                                                          harness.IDC_TRACKS, IDOK])
        self.assertEqual(self.desktop.get_text(dialog, harness.IDC_HOST), "ホスト")
        self.assertEqual(self.desktop.get_text(dialog, harness.IDC_PORT), "5963")
        self.desktop.set_text(dialog, harness.IDC_PORT, " 12|%34")
        self.assertEqual(self.desktop.combo_items(dialog, harness.IDC_TRACKS), ["1曲目", "2曲目", "a|b%c"])
        self.assertEqual(self.desktop.combo_selected(dialog, harness.IDC_TRACKS), 0)
        self.desktop.combo_select(dialog, harness.IDC_TRACKS, 1)
        self.lines.expect("selchange 1")
        self.desktop.press(dialog, IDOK)
        self.assertEqual(self.lines.expect("dialog "), "dialog ok edit= 12|%34 combo=1")
        harness.wait_for(lambda: self.desktop.info(dialog) is None, what="the dialog to close")

    def test_message_box_is_read_and_answered(self):
        self.desktop.ok("command 0x%x %d" % (self.window, PROBE_MESSAGE))
        box = self.desktop.wait_window(None, "Error")
        self.assertIn((1, "Button", "OK"), self.desktop.controls(box))
        self.assertIn("テスト", [text for _, _, text in self.desktop.controls(box)])
        self.desktop.press(box, 1)
        self.lines.expect("message-done")

    def test_exit_deletes_the_icon_and_the_process_goes(self):
        pid = int(self.desktop.ok("pid 0x%x" % self.window).split()[0])
        stats = self.desktop.process_stats(pid)
        self.assertGreaterEqual(stats["threads"], 1)
        self.assertGreater(stats["handles"], 0)
        self.assertGreater(stats["private"], 0)
        self.command(PROBE_EXIT)
        self.assertEqual(self.probe.wait(harness.EXIT_TIMEOUT), PROBE_EXIT_CODE)
        self.assertEqual(self.desktop.events()[-1]["kind"], "delete")
        self.assertEqual(self.desktop.tray(), {"count": 0})
        self.assertTrue(self.desktop("process %d" % pid).startswith("error"))


class ProgramSmokeTest(unittest.TestCase):
    """qel.exe starts, answers on its port and shows its icon; its exit command ends it cleanly."""

    def test_status_is_answered_and_the_icon_is_shown(self):
        with Session() as session:
            with session.client() as client:
                self.assertTrue(client.command("status"))
            tray = session.wait_tray()
            self.assertEqual((tray["count"], tray["id"], tray["msg"]), (1, 1, harness.WM_TRAY_NOTIFY))
            self.assertEqual(tray["hwnd"], session.main_window())
            self.assertIn(tray["icon"], ("playing", "idle"))
            self.assertEqual(session.stop(), 0)
            self.assertEqual(session.events()[-1]["kind"], "delete")
            self.assertEqual(session.tray(), {"count": 0})

    def test_a_session_at_144_dpi_lays_the_program_out_at_it_and_puts_the_prefix_back(self):
        # What the tests at another scale rely on: the scale reaches the program, and the prefix
        # is back at its own for every test after them.
        def settings_width(session):
            session.command(harness.CMD_SETTINGS)
            left, _, right, _ = session.desktop.info(session.wait_window(SETTINGS_TITLE))["rect"]
            return right - left

        with Session(dpi=144) as session:
            scaled = settings_width(session)
        self.assertEqual(harness.prefix_dpi(), harness.DEFAULT_DPI, "the prefix was left at another scale")
        with Session() as session:
            plain = settings_width(session)
        self.assertAlmostEqual(scaled / plain, 1.5, delta=0.1)


if __name__ == "__main__":
    unittest.main()
