"""The settings and track selection dialogs as the local user meets them: opened from the tray
menu or by their commands, read and filled in through their controls, and judged by what the
program does afterwards (its port, qel.ini, the drive, the network client)."""

import os
import re
import shutil
import socket
import subprocess
import unittest

import harness
from harness import IDC_HOST, IDC_PORT, IDC_PORT_LABEL, IDC_TRACKS, Client, Session

IDOK = 1
WM_KEYDOWN = 0x100
VK_ESCAPE = 0x1B
SETTINGS_TITLE = "設定"
TRACKS_TITLE = "曲番号指定"
BAD_NAME_TEXT = "ポートの名称が正しくありません。"
PORT_IN_USE_TEXT = "TCP/IP ポート番号が使用されています。\nポート番号を変更してください。"
NOT_SAVED_TEXT = "ポート番号を保存できませんでした。\n%s\n次回の起動では以前のポート番号が使われます。"
PORT_LABEL = "ポート番号(&P)"
# The tray menu while stopped, top to bottom; "" is a separator.
MENU_LABELS = ["最初から再生(&P)", "停止(&S)", "再開(&U)", "", "一曲進む(&N)", "一曲戻る(&V)", "", "曲番号指定(&M)", "",
               "イジェクト(&E)", "", "設定(&O)", "", "終了(&X)"]
# The same on a Windows without code page 932.
ENGLISH_MENU_LABELS = ["&Play from the start", "&Stop", "Res&ume", "", "&Next track", "Pre&vious track", "",
                       "Choose track nu&mber", "", "&Eject", "", "&Options", "", "E&xit"]
# Wine takes the system's ANSI code page from the locale: 1252 as on an English Windows, and 932.
CODE_PAGE_LOCALES = {1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}
# The services database that Wine's name lookup reads: the prefix's own, not the host's.
SERVICES_FILE = os.path.join(harness.WINEPREFIX, "drive_c", "windows", "system32", "drivers", "etc", "services")
WRAPPED_PORT = 70000 % 65536
DOTTED_QUAD = r"(25[0-5]|2[0-4]\d|1?\d?\d)(\.(25[0-5]|2[0-4]\d|1?\d?\d)){3}"
WS_BORDER = 0x00800000
WS_EX_CLIENTEDGE = 0x00000200
# The settings dialog's template: its size and, per control, class, place (dialog units) and
# styles (WS_CHILD | WS_VISIBLE and the rest; WS_BORDER apart, which the dialog manager may turn
# into a sunken edge).
SETTINGS_SIZE = (108, 67)
SETTINGS_CONTROLS = {
    IDC_HOST: ("Static", (4, 7, 100, 8), 0x50020000, False),  # SS_LEFT | WS_GROUP
    IDC_PORT_LABEL: ("Static", (4, 20, 60, 8), 0x50020000, False),
    IDC_PORT: ("Edit", (4, 29, 100, 14), 0x50010080, True),  # WS_TABSTOP | ES_AUTOHSCROLL, bordered
    IDOK: ("Button", (36, 49, 34, 14), 0x50010001, False),  # BS_DEFPUSHBUTTON | WS_TABSTOP
}


def make_unwritable(test, path):
    """Makes a file that the program cannot write, as a read-only one in a protected folder is on
    Windows: read-only for a user, immutable for root (whom no permission stops)."""
    if os.geteuid() != 0:
        os.chmod(path, 0o444)
        test.addCleanup(os.chmod, path, 0o644)
        return
    subprocess.run(["chattr", "+i", path], check=True)
    test.addCleanup(subprocess.run, ["chattr", "-i", path], check=True)


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("0.0.0.0", port))
        except OSError:
            return False
    return True


def routed_address():
    """This machine's address toward the rest of the network, as its routing table gives it: a UDP
    socket connected to an outside address (one reserved for documentation) takes the source
    address of the default route. Connecting a UDP socket sends nothing. None without a route."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("203.0.113.1", 9))
        except OSError:
            return None
        address = probe.getsockname()[0]
    return None if address.startswith(("0.", "127.", "169.254.")) else address


def unprivileged_services():
    """(name, port) of the database's TCP services above 1024 whose name stands for one port."""
    entries = {}
    try:
        with open(SERVICES_FILE, encoding="latin-1") as f:
            for line in f:
                fields = line.split("#", 1)[0].split()
                if len(fields) >= 2 and "/" in fields[1]:
                    number, protocol = fields[1].split("/", 1)
                    entries.setdefault(fields[0], []).append((int(number), protocol))
    except OSError:
        return []
    result = []
    for name, found in entries.items():
        numbers = {number for number, _ in found}
        if len(numbers) == 1 and min(numbers) > 1024 and ("tcp" in {protocol for _, protocol in found}):
            result.append((name, min(numbers)))
    return result


class DialogTestCase(unittest.TestCase):

    def start(self, **session_args):
        session = Session(**session_args)
        session.__enter__()
        self.addCleanup(session.close)
        self.session = session
        self.desktop = session.desktop
        return session

    def connect(self, port=None):
        client = Client(port or self.session.port)
        self.addCleanup(client.close)
        return client

    def open_settings(self):
        self.session.command(harness.CMD_SETTINGS)
        return self.session.wait_window(SETTINGS_TITLE)

    def ok(self, dialog):
        self.desktop.press(dialog, IDOK)
        self.session.wait_window_gone(dialog)

    def escape(self, dialog):
        # What the Escape key does: the dialog's own loop turns it into IDCANCEL.
        self.desktop.ok("post 0x%x %d %d 0" % (dialog, WM_KEYDOWN, VK_ESCAPE))
        self.session.wait_window_gone(dialog)

    def rect(self, window):
        return tuple(int(v) for v in self.desktop.ok("window-rect 0x%x" % window).split())

    def ini_port(self):
        text = self.session.read_ini()
        match = re.search(r"^\[qel\]\r?\n(?:.*\n)*?port=(.*?)\r?$", text or "", re.M)
        return match.group(1) if match else None

    def assert_settings_layout(self, dialog):
        """Each control of the running dialog has its template's class, place and styles: a port
        field that is not an edit control cannot be typed into."""
        for control_id, (class_name, (x, y, width, height), style, bordered) in SETTINGS_CONTROLS.items():
            control = self.desktop.control(dialog, control_id)
            scale_x = control["client"][0] / SETTINGS_SIZE[0]
            scale_y = control["client"][1] / SETTINGS_SIZE[1]
            expected = (x * scale_x, y * scale_y, (x + width) * scale_x, (y + height) * scale_y)
            self.assertEqual(control["class"], class_name, control_id)
            for got, want in zip(control["rect"], expected):
                self.assertLessEqual(abs(got - want), 2, "control %d at %r, not %r" % (control_id, control["rect"], expected))
            self.assertEqual(hex(control["style"] & ~WS_BORDER), hex(style), control_id)
            has_border = bool(control["style"] & WS_BORDER or control["exstyle"] & WS_EX_CLIENTEDGE)
            self.assertEqual(has_border, bordered, control_id)

    def set_port_text(self, text):
        """Opens the settings dialog, types text as the port and presses OK; returns the dialog."""
        dialog = self.open_settings()
        self.desktop.set_text(dialog, IDC_PORT, text)
        self.desktop.press(dialog, IDOK)
        return dialog


@harness.driver_independent
class SettingsDialogTest(DialogTestCase):

    def test_shows_port_and_host_and_moves_the_listener_to_a_new_port(self):
        session = self.start()
        old_port = session.port
        client = self.connect()

        session.menu_choose("o")
        dialog = session.wait_window(SETTINGS_TITLE)
        self.assertEqual(self.desktop.info(dialog)["title"], SETTINGS_TITLE)
        self.assert_settings_layout(dialog)
        self.assertEqual(self.desktop.get_text(dialog, IDC_PORT), str(old_port))
        # The address of the interface that holds the default route: the one other machines reach
        # this one by, whatever the name resolves to (here, to 127.0.0.1 as often as not).
        # Without a route, the name's address, else the name.
        host = self.desktop.get_text(dialog, IDC_HOST)
        routed = routed_address()
        if routed is not None:
            self.assertEqual(host, "ホスト：" + routed)
        else:
            try:
                socket.gethostbyname(socket.gethostname())
                shown = DOTTED_QUAD
            except OSError:
                shown = r"(%s|%s)" % (DOTTED_QUAD, re.escape(socket.gethostname()))
            self.assertRegex(host, r"\Aホスト：%s\Z" % shown)
        # The modal dialog's loop still carries out network commands.
        self.assertEqual(client.command("stop"), b"stop")

        new_port = harness.free_port()
        self.desktop.set_text(dialog, IDC_PORT, str(new_port))
        self.ok(dialog)
        self.assertEqual(client.read_until_closed(), b"", "the connected client is dropped")
        # The connection is dropped before the new listener is made: a client tries again.
        session.wait_for(lambda: not harness.refuses(new_port), what="port %d to accept connections" % new_port)
        with self.connect(new_port) as moved:
            self.assertEqual(moved.command("status"), b"pause")
        self.assertTrue(harness.refuses(old_port), "the old port is closed")
        self.assertEqual(self.ini_port(), str(new_port))

        # The same port again: no restart, no write.
        client = self.connect(new_port)
        self.assertEqual(client.command("status"), b"pause")
        stat = os.stat(session.ini_path)
        with open(session.ini_path, "rb") as f:
            saved = f.read()
        dialog = self.open_settings()
        self.assertEqual(self.desktop.get_text(dialog, IDC_PORT), str(new_port))
        self.ok(dialog)
        self.assertEqual(client.command("status"), b"pause", "still connected")
        with open(session.ini_path, "rb") as f:
            self.assertEqual(f.read(), saved)
        self.assertEqual(os.stat(session.ini_path).st_mtime_ns, stat.st_mtime_ns)

        # Escape (and the close box, the same command) changes nothing whatever was typed.
        for close in (self.escape, lambda d: (self.desktop.ok("close 0x%x" % d), session.wait_window_gone(d))):
            dialog = self.open_settings()
            self.desktop.set_text(dialog, IDC_PORT, str(old_port))
            close(dialog)
            self.assertEqual(client.command("status"), b"pause", "still connected")
            self.assertEqual(self.ini_port(), str(new_port))

    def test_a_port_change_away_and_back_with_a_client_connected_each_time(self):
        # Each change ends the connected client's connection. The port left behind must take the
        # listener again at once: on Windows a connection ended on an exclusively bound port and
        # still lingering would refuse it, and the dialog would say the port is taken.
        session = self.start()
        first_port, other_port = session.port, harness.free_port()
        for old_port, new_port in ((first_port, other_port), (other_port, first_port)):
            with self.subTest(old=old_port, new=new_port):
                client = self.connect(old_port)
                self.assertEqual(client.command("status"), b"pause")
                dialog = self.open_settings()
                self.desktop.set_text(dialog, IDC_PORT, str(new_port))
                self.ok(dialog)
                # As telnet and PuTTY do: the client closes once it reads the end.
                self.assertEqual(client.read_until_closed(), b"")
                client.close()
                session.wait_for(lambda: not harness.refuses(new_port), what="port %d to accept connections" % new_port)
                self.assertEqual(self.ini_port(), str(new_port))
        with self.connect(first_port) as back:
            self.assertEqual(back.command("status"), b"pause")
        self.assertTrue(harness.refuses(other_port))

    def test_a_port_that_cannot_be_served_is_said_and_nothing_changes(self):
        session = self.start()
        held = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(held.close)
        held.bind(("0.0.0.0", 0))
        held.listen(1)
        client = self.connect()
        self.assertEqual(client.command("status"), b"pause")
        with open(session.ini_path, "rb") as f:
            ini_before = f.read()

        dialog = self.open_settings()
        # A port another program holds: the start-up's message, and the dialog stays as typed.
        # 0 (and 65536, whose low 16 bits the listener takes) would let the system pick a port
        # nobody knows: refused like a name that is no service.
        for text, message in ((str(held.getsockname()[1]), PORT_IN_USE_TEXT), ("0", BAD_NAME_TEXT),
                              ("65536", BAD_NAME_TEXT)):
            with self.subTest(port=text):
                self.desktop.set_text(dialog, IDC_PORT, text)
                self.desktop.press(dialog, IDOK)
                box = session.wait_window("Error")
                self.assertEqual(session.message_box_text(box), message)
                self.assertEqual(self.desktop.info(box)["pid"], self.desktop.info(dialog)["pid"])
                self.desktop.press(box, IDOK)
                session.wait_window_gone(box)
                self.assertTrue(self.desktop.info(dialog)["visible"], "the dialog closed")
                self.assertEqual(self.desktop.get_text(dialog, IDC_PORT), text)
                # The old port goes on serving, the connected client too, and nothing is saved.
                self.assertEqual(client.command("status"), b"pause")
                self.assertFalse(harness.refuses(session.port), "the old port stopped listening")
                self.assertEqual(client.command("stop"), b"stop")
                with open(session.ini_path, "rb") as f:
                    self.assertEqual(f.read(), ini_before)

        # A free port in the same dialog is then taken as ever.
        new_port = harness.free_port()
        self.desktop.set_text(dialog, IDC_PORT, str(new_port))
        self.ok(dialog)
        with self.connect(new_port) as moved:
            self.assertEqual(moved.command("status"), b"pause")
        self.assertEqual(self.ini_port(), str(new_port))

    def test_port_text_is_read_as_number_or_service_name(self):
        session = self.start()
        with self.subTest("a service name sets its port"):
            free = [(name, number) for name, number in unprivileged_services() if port_is_free(number)]
            if not free:
                self.skipTest("no service with a free port in " + SERVICES_FILE)
            name, number = free[0]
            dialog = self.set_port_text(name)
            session.wait_window_gone(dialog)
            # The port is saved once the listener has moved, after the dialog has gone.
            session.wait_for(lambda: self.ini_port() == str(number), what="port %d saved" % number)
            with self.connect(number) as client:
                self.assertEqual(client.command("status"), b"pause")

        # An unknown name: the error box, then the dialog still open with the text as typed.
        ini_before = session.read_ini()
        dialog = self.set_port_text("nosuchservice")
        box = session.wait_window("Error")
        self.assertEqual(session.message_box_text(box), BAD_NAME_TEXT)
        self.desktop.press(box, IDOK)
        session.wait_window_gone(box)
        self.assertTrue(self.desktop.info(dialog)["visible"])
        self.assertEqual(self.desktop.get_text(dialog, IDC_PORT), "nosuchservice")
        # A blank before the digits makes it a name too.
        self.desktop.set_text(dialog, IDC_PORT, " 80")
        self.desktop.press(dialog, IDOK)
        box = session.wait_window("Error")
        self.desktop.press(box, IDOK)
        session.wait_window_gone(box)
        self.escape(dialog)
        self.assertEqual(session.read_ini(), ini_before)

        # Text that begins with a digit is a number up to the first other character.
        session.wait_window_gone(self.set_port_text("80abc"))
        session.wait_for(lambda: self.ini_port() == "80", what="port 80 saved")

        # A number past 16 bits is kept as typed and served on its low 16 bits.
        wrapped_free = port_is_free(WRAPPED_PORT)
        session.wait_window_gone(self.set_port_text("70000"))
        session.wait_for(lambda: self.ini_port() == "70000", what="port 70000 saved")
        dialog = self.open_settings()
        self.assertEqual(self.desktop.get_text(dialog, IDC_PORT), "70000")
        self.escape(dialog)
        with self.subTest("port 70000 listens on %d" % WRAPPED_PORT):
            if not wrapped_free:
                self.skipTest("port %d is taken by another program" % WRAPPED_PORT)
            with self.connect(WRAPPED_PORT) as client:
                self.assertEqual(client.command("status"), b"pause")

    def test_every_text_reads_right_whatever_the_system_code_page(self):
        for code_page, locale in CODE_PAGE_LOCALES.items():
            with self.subTest(code_page=code_page):
                session = self.start(extra_env={"LC_ALL": locale})
                # A round that fails ends its program too: one left running would make the
                # next round's start a second copy.
                try:
                    session.click("right")
                    session.wait_menu()
                    self.assertEqual(self.desktop.menu_items(), MENU_LABELS)
                    self.desktop.menu_escape()
                    session.wait_menu_closed()

                    dialog = self.open_settings()
                    self.assertEqual(self.desktop.info(dialog)["title"], SETTINGS_TITLE)
                    self.assertEqual(self.desktop.get_text(dialog, IDC_PORT_LABEL), PORT_LABEL)
                    self.assertRegex(self.desktop.get_text(dialog, IDC_HOST), r"\Aホスト：\S+\Z")

                    self.desktop.set_text(dialog, IDC_PORT, "nosuchservice")
                    self.desktop.press(dialog, IDOK)
                    box = session.wait_window("Error")
                    self.assertEqual(session.message_box_text(box), BAD_NAME_TEXT)
                    self.desktop.press(box, IDOK)
                    session.wait_window_gone(box)

                    # A port that qel.ini cannot keep is served all the same, and the user is told,
                    # with the file's path.
                    ini_before = session.read_ini()
                    make_unwritable(self, session.ini_path)
                    new_port = harness.free_port()
                    self.desktop.set_text(dialog, IDC_PORT, str(new_port))
                    self.desktop.press(dialog, IDOK)
                    box = session.wait_window("Error")
                    self.assertEqual(session.message_box_text(box), NOT_SAVED_TEXT % harness.windows_path(session.ini_path))
                    with self.connect(new_port) as client:
                        self.assertEqual(client.command("status"), b"pause")
                    self.desktop.press(box, IDOK)
                    session.wait_window_gone(box)
                    self.assertEqual(session.read_ini(), ini_before)

                    session.command(harness.CMD_SELECT_TRACK)
                    dialog = session.wait_window(TRACKS_TITLE)
                    self.escape(dialog)
                finally:
                    session.close()

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "needs root for a mount namespace")
    def test_without_code_page_932_the_menu_and_the_messages_are_in_english(self):
        # An English XP without the East Asian languages: Japanese bytes would show as nothing or
        # garbage there. The dialogs' own captions come from their UTF-16 templates.
        with harness.wine_without_code_page(932), Session() as session:
            self.session, self.desktop = session, session.desktop
            session.click("right")
            session.wait_menu()
            self.assertEqual(self.desktop.menu_items(), ENGLISH_MENU_LABELS)
            self.desktop.menu_escape()
            session.wait_menu_closed()

            dialog = self.open_settings()
            self.assertRegex(self.desktop.get_text(dialog, IDC_HOST), r"\AHost: \S+\Z")
            self.desktop.set_text(dialog, IDC_PORT, "nosuchservice")
            self.desktop.press(dialog, IDOK)
            box = session.wait_window("Error")
            self.assertEqual(session.message_box_text(box), "The port name is not valid.")
            self.desktop.press(box, IDOK)
            session.wait_window_gone(box)
            self.escape(dialog)

    def test_dialogs_open_next_to_the_cursor(self):
        session = self.start()
        width, height = (int(v) + 1 for v in self.desktop.ok("cursor 100000 100000").split())
        for title, command in ((SETTINGS_TITLE, harness.CMD_SETTINGS), (TRACKS_TITLE, harness.CMD_SELECT_TRACK)):
            self.desktop.ok("cursor 100 120")
            session.command(command)
            dialog = session.wait_window(title)
            self.assertEqual(self.rect(dialog)[:2], (100, 120), title)
            self.escape(dialog)

            # At the bottom right corner of the screen it opens above and to the left of the cursor.
            self.desktop.ok("cursor %d %d" % (width - 1, height - 1))
            session.command(command)
            dialog = session.wait_window(title)
            self.assertEqual(self.rect(dialog)[2:], (width - 1, height - 1), title)
            self.escape(dialog)

    def test_a_dialog_opens_at_the_cursor_on_a_monitor_that_is_not_the_primary(self):
        # The primary monitor is 640 x 480; the second, 1280 x 800, alone reaches the cursor at
        # (700, 500). The dialog opens there, not pushed into the primary's work area.
        with harness.wine_monitors((640, 480), (1280, 800)), Session() as session:
            self.session, self.desktop = session, session.desktop
            self.assertEqual(self.desktop.ok("cursor 700 500"), "700 500")
            dialog = self.open_settings()
            self.assertEqual(self.rect(dialog)[:2], (700, 500))
            self.escape(dialog)


class TrackDialogTest(DialogTestCase):

    def test_lists_the_tracks_and_plays_the_chosen_one_without_a_reply(self):
        session = self.start()
        client = self.connect()
        self.assertEqual(client.command("3"), b"3(0:0)")

        session.menu_choose("m")
        dialog = session.wait_window(TRACKS_TITLE)
        items = self.desktop.combo_items(dialog, IDC_TRACKS)
        # Drives report the last track a frame short, which may read a second less.
        self.assertEqual(items[:3], [" 01. (4:05)", " 02. (3:30)", " 03. (5:12)"])
        self.assertIn(items[3:], ([" 04. (2:47)"], [" 04. (2:46)"]))
        self.assertEqual(self.desktop.combo_selected(dialog, IDC_TRACKS), 2)
        # The dialog's loop still carries out network commands.
        self.assertRegex(client.command("status"), rb"\A3\(0:\d+\)\Z")

        mark = len(session.vcd_log())
        self.desktop.combo_select(dialog, IDC_TRACKS, 1)
        self.ok(dialog)
        if session.logs_commands:
            # The program plays the choice as the dialog closes.
            session.wait_for(lambda: any(line.startswith("MCI_PLAY ") for line in session.vcd_log()[mark:]),
                             what="the chosen track's play")
            plays = [line for line in session.vcd_log()[mark:] if line.startswith("MCI_PLAY ")]
            self.assertEqual(len(plays), 1, plays)
            self.assertIn("flags=MCI_NOTIFY|MCI_FROM from=0x00000002 ", plays[0])
        # A reply for the choice would carry the old status (track 3) ahead of this one.
        self.assertRegex(client.command("status"), rb"\A2\(0:\d+\)\Z")
        # The tooltip learns of the new track only at the next tick.
        session.wait_for(lambda: session.tray()["tip"].startswith("2("), 40.0, "the tick's new track")

        # Cancelled, the dialog plays nothing.
        session.command(harness.CMD_SELECT_TRACK)
        dialog = session.wait_window(TRACKS_TITLE)
        self.assertEqual(self.desktop.combo_selected(dialog, IDC_TRACKS), 1)
        self.desktop.combo_select(dialog, IDC_TRACKS, 3)
        mark = len(session.vcd_log())
        self.escape(dialog)
        self.assertEqual(client.command("status")[:2], b"2(")
        self.assertFalse([line for line in session.vcd_log()[mark:] if line.startswith("MCI_PLAY ")])

    def test_without_a_disc_the_list_is_empty_and_ok_plays_nothing(self):
        session = self.start(disc=dict(harness.DEFAULT_DISC, disc=0))
        client = self.connect()
        session.menu_choose("m")
        dialog = session.wait_window(TRACKS_TITLE)
        self.assertEqual(self.desktop.combo_items(dialog, IDC_TRACKS), [])
        self.assertEqual(self.desktop.combo_selected(dialog, IDC_TRACKS), -1)
        mark = len(session.vcd_log())
        self.ok(dialog)
        # Nothing plays; Wine's driver reports a closed drive without a disc as open.
        self.assertIn(client.command("status"), (b"pause", b"open"))
        self.assertFalse([line for line in session.vcd_log()[mark:] if line.startswith("MCI_PLAY ")])


if __name__ == "__main__":
    unittest.main()
