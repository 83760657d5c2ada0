"""Start-up and exit of the real qel.exe: its error messages, the port dialog at start, the icon
it shows first and after a taskbar restart, and the ways it ends."""

import configparser
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

import harness
from harness import IDC_PORT, Session

NO_AUDIO_CD = "AudioCD が使用できません。\n終了します。"
PORT_IN_USE = "TCP/IP ポート番号が使用されています。\nポート番号を変更してください。"
CANNOT_SET_UP = "設定ができません。終了します。"
ALREADY_RUNNING = "qel はすでに起動しています。"
JAPANESE_FOLDER = "音楽ツール"
WM_QUERYENDSESSION = 0x11
WM_ENDSESSION = 0x16
WM_QUIT = 0x12
SETTINGS_TITLE = "設定"
MESSAGE_TEXT_ID = 65535
IDOK = 1
IDCANCEL = 2
NO_DRIVE = dict(harness.DEFAULT_DISC, drive=0)
# Wine takes the system's ANSI code page from the locale: 1252 as on an English Windows, and 932.
CODE_PAGE_LOCALES = {1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}
POSITION = re.compile(r"^\d+\(\d+:\d+\)$")
# Another program (a copy started by hand, another test run) may hold the default port for a while.
DEFAULT_PORT_WAIT = 300.0
# How promptly a close request is honoured: well before Windows would offer to end the program.
CLOSE_REQUEST_END = 5.0


def ask_to_close(session, window):
    """WM_CLOSE, posted as a task manager's "end task" or taskkill without /f posts it."""
    session.desktop.ok("close 0x%x" % window)


def end_the_session(session, window):
    """WM_ENDSESSION (TRUE), sent as Windows sends it at a logoff or shutdown."""
    session.desktop.ok("send 0x%x %d 1 0" % (window, WM_ENDSESSION))


def post_quit(session, window):
    """A WM_QUIT that another program posts to the window."""
    session.desktop.ok("post 0x%x %d 0 0" % (window, WM_QUIT))


CLOSE_REQUESTS = {"WM_CLOSE": ask_to_close, "WM_ENDSESSION": end_the_session, "WM_QUIT": post_quit}
# The named mutex by which one copy runs per logon (app/main_window.cpp).
ONE_COPY_MUTEX = "Local\\qel-one-copy"


def hold_port():
    """A listening socket on a port of its own, as another server would hold it."""
    held = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    held.bind(("0.0.0.0", 0))
    held.listen(1)
    return held


def wait_until_default_port_is_free():
    """Waits until nothing holds port 5963; fails, saying so, if something goes on holding it."""
    def free():
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("0.0.0.0", harness.DEFAULT_PORT))
            except OSError:
                return False
        return True
    harness.wait_for(free, DEFAULT_PORT_WAIT, "port %d, which this test needs, to be free: another program "
                     "holds it (a qel.exe started by hand or by another test run?)" % harness.DEFAULT_PORT)


def english_system_env(test):
    """LC_ALL=en_US.UTF-8: Wine's code page 1252, an English Windows. Wine reads the names of Unix
    files in the locale's character set, which is ASCII where the locale is not generated: then
    it is generated for the test into a folder of its own (LOCPATH)."""
    env = {"LC_ALL": "en_US.UTF-8"}
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    if any(name.lower().replace("-", "") == "en_us.utf8" for name in listed):
        return env
    folder = tempfile.mkdtemp(prefix="qel-e2e-locale-")
    test.addCleanup(shutil.rmtree, folder, True)
    made = subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8", os.path.join(folder, "en_US.UTF-8")],
                          capture_output=True, text=True, timeout=300)
    if not os.path.isdir(os.path.join(folder, "en_US.UTF-8")):
        test.skipTest("no en_US.UTF-8 locale, and localedef cannot make one: %s" % made.stderr.strip())
    env["LOCPATH"] = folder
    return env


def ini_port(session):
    parser = configparser.ConfigParser()
    parser.read_string(session.read_ini())
    return parser["qel"]["port"]


class StartupTest(unittest.TestCase):

    def assert_in_front(self, session, box):
        """A message of a program with nothing on the screen has no owner: owned by the hidden main
        window it would stay behind the others, unseen. (It also asks to come to the front,
        MB_SETFOREGROUND | MB_TOPMOST, which Wine's message box passes over.)"""
        self.assertEqual(session.desktop.info(box)["owner"], 0, "the box has an owner")

    def error_box(self, session, text, owner_pid=None, in_front=True):
        """Waits for the "Error" box, checks its text (and that it is in front, for a message of
        the start rather than of a dialog) and answers OK."""
        box = session.wait_window("Error")
        self.assertEqual(session.desktop.get_text(box, MESSAGE_TEXT_ID), text)
        if in_front:
            self.assert_in_front(session, box)
        if owner_pid is not None:
            self.assertEqual(session.desktop.info(box)["pid"], owner_pid)
        session.desktop.press(box, IDOK)
        session.wait_window_gone(box)

    def settings_dialog(self, session, shows_port):
        dialog = session.wait_window(SETTINGS_TITLE)
        self.assertEqual(session.desktop.get_text(dialog, IDC_PORT), str(shows_port))
        return dialog

    def enter_port(self, session, dialog, port):
        session.desktop.set_text(dialog, IDC_PORT, str(port))
        session.desktop.press(dialog, IDOK)
        session.wait_window_gone(dialog)

    def test_without_a_cd_drive_the_program_says_so_and_ends(self):
        for code_page, locale in CODE_PAGE_LOCALES.items():
            with self.subTest(code_page=code_page), Session(disc=NO_DRIVE, wait=None,
                                                            extra_env={"LC_ALL": locale}) as session:
                box = session.wait_window("Error")
                self.assertEqual(session.desktop.get_text(box, MESSAGE_TEXT_ID), NO_AUDIO_CD)
                self.assert_in_front(session, box)
                self.assertIn((IDOK, "Button", "OK"), session.desktop.controls(box))
                self.assertTrue(harness.refuses(session.port), "nothing listens once the device is missing")
                session.desktop.press(box, IDOK)
                self.assertEqual(session.exit_code(), 0)
                self.assertEqual(session.events(), [], "no icon was ever added")

    def test_taken_port_asks_for_another_until_a_free_one_is_given(self):
        taken, other = hold_port(), hold_port()
        self.addCleanup(taken.close)
        self.addCleanup(other.close)
        first, second = taken.getsockname()[1], other.getsockname()[1]
        with Session(port=first, ini="[qel]\r\nport=%d\r\n" % first, wait=None) as session:
            self.error_box(session, PORT_IN_USE)
            # The same port again: the file is left alone, and the port is still taken.
            self.enter_port(session, self.settings_dialog(session, first), first)
            self.error_box(session, PORT_IN_USE)
            self.assertEqual(ini_port(session), str(first))
            # Another taken port is said at once, with the dialog kept open and nothing saved.
            dialog = self.settings_dialog(session, first)
            session.desktop.set_text(dialog, IDC_PORT, str(second))
            session.desktop.press(dialog, IDOK)
            self.error_box(session, PORT_IN_USE, in_front=False)  # the dialog's own, over it
            self.assertTrue(session.desktop.info(dialog)["visible"])
            self.assertEqual(session.desktop.get_text(dialog, IDC_PORT), str(second))
            self.assertEqual(ini_port(session), str(first))
            self.assertEqual(session.events(), [], "no icon while the start has not finished")

            free = harness.free_port()
            session.desktop.set_text(dialog, IDC_PORT, str(free))
            session.desktop.press(dialog, IDOK)
            session.wait_window_gone(dialog)
            session.port = free
            session.wait_port()
            self.assertEqual(ini_port(session), str(free))
            session.wait_tray(icon="idle")
            self.assertEqual([e["kind"] for e in session.events() if e["kind"] != "modify"], ["add"])

            # One worker serves the port: a second client waits until the first has gone.
            with session.client() as first_client, session.client() as waiting:
                self.assertEqual(first_client.command("status"), b"pause")
                waiting.send_line("play")
                self.assertEqual(first_client.command("status"), b"pause")
                self.assertEqual(first_client.command("stop"), b"stop")
                first_client.close()
                self.assertRegex(waiting.read_reply().decode("ascii"), POSITION)
            self.assertEqual(session.stop(), 0)

    def test_cancelled_port_dialog_ends_the_program(self):
        taken = hold_port()
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        for code_page, locale in CODE_PAGE_LOCALES.items():
            with self.subTest(code_page=code_page), Session(port=port, ini="[qel]\r\nport=%d\r\n" % port, wait=None,
                                                            extra_env={"LC_ALL": locale}) as session:
                self.error_box(session, PORT_IN_USE)
                dialog = self.settings_dialog(session, port)
                self.assertEqual(session.desktop.info(dialog)["title"], SETTINGS_TITLE)
                # The close box cancels.
                session.desktop.ok("close 0x%x" % dialog)
                self.error_box(session, CANNOT_SET_UP)
                self.assertEqual(session.exit_code(), 0)
                self.assertEqual(session.events(), [])
                self.assertEqual(ini_port(session), str(port))

    def test_a_close_request_during_the_port_question_ends_the_program_at_once(self):
        # The port is taken, so the start-up says so and then asks for another one, both inside the
        # window's creation. Another program asks the program to end meanwhile: it ends cleanly
        # and promptly, and asks nothing again.
        taken = hold_port()
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        ini = "[qel]\r\nport=%d\r\n" % port
        for moment in ("the message", "the dialog"):
            for request, ask in CLOSE_REQUESTS.items():
                with self.subTest(moment=moment, request=request), Session(port=port, ini=ini, wait=None) as session:
                    box = session.wait_window("Error")
                    if moment == "the dialog":
                        session.desktop.press(box, IDOK)
                        session.wait_window_gone(box)
                        self.settings_dialog(session, port)
                    ask(session, session.main_window())
                    session.wait_for(lambda: not session.running(), CLOSE_REQUEST_END,
                                     "the program to end after %s during %s" % (request, moment))
                    self.assertEqual(session.exit_code(), 0)
                    log = session.vcd_log()
                    self.assertTrue(any(line.startswith("MCI_CLOSE_DRIVER") for line in log), log)
                    self.assertEqual(session.events(), [], "an icon was added")
                    self.assertEqual(session.read_ini(), ini, "qel.ini was changed")
                    self.assertEqual(session.desktop.find(None, "Error") + session.desktop.find(None, SETTINGS_TITLE),
                                     [], "a window of the program is still there")

    def test_a_second_copy_says_the_first_runs_and_ends_changing_nothing(self):
        with Session() as session:
            session.wait_tray()
            session.events()
            first_pid = session.pid()
            with open(session.ini_path, "rb") as f:
                first_ini = f.read()
            # Beside it, from another folder with a settings file of its own and another port.
            copy_dir = tempfile.mkdtemp(prefix="qel-e2e-copy-")
            self.addCleanup(shutil.rmtree, copy_dir, True)
            os.mkdir(os.path.join(copy_dir, "vcd"))
            exe = os.path.join(copy_dir, "qel.exe")
            shutil.copy2(harness.QEL_EXE, exe)
            copy_port = harness.free_port()
            copy_ini = b"[qel]\r\nport=%d\r\n" % copy_port
            with open(os.path.join(copy_dir, "qel.ini"), "wb") as f:
                f.write(copy_ini)
            copy = harness.start_wine(exe, cwd=copy_dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      extra_env={"VCD_DIR": harness.windows_path(os.path.join(copy_dir, "vcd"))})
            self.addCleanup(lambda: copy.poll() is None and (copy.kill(), copy.wait(30)))

            box = session.wait_window("Error")
            self.assertNotEqual(session.desktop.info(box)["pid"], first_pid)
            self.assertEqual(session.desktop.get_text(box, MESSAGE_TEXT_ID), ALREADY_RUNNING)
            self.assert_in_front(session, box)
            self.assertTrue(harness.refuses(copy_port), "the second copy listens")
            session.desktop.press(box, IDOK)
            self.assertEqual(copy.wait(harness.EXIT_TIMEOUT), 0)

            # The first goes on serving; neither settings file changed; the copy never showed an icon
            # nor touched the drive.
            with session.client() as client:
                self.assertEqual(client.command("status"), b"pause")
            with open(session.ini_path, "rb") as f:
                self.assertEqual(f.read(), first_ini)
            with open(os.path.join(copy_dir, "qel.ini"), "rb") as f:
                self.assertEqual(f.read(), copy_ini)
            self.assertFalse(os.path.exists(os.path.join(copy_dir, "vcd", "vcd.log")), "the copy opened the drive")
            first_window = session.main_window()
            self.assertEqual([e for e in session.events() if e["hwnd"] != first_window], [])
            self.assertEqual(session.tray()["hwnd"], first_window)
            self.assertTrue(session.running())

    def test_a_first_copy_this_one_may_not_open_counts_as_running(self):
        # A first copy that runs elevated, or as another user in this logon session, holds the
        # mutex where this one may not open it: the second says so and ends all the same.
        session = Session(wait=None, start=False)
        self.addCleanup(session.close)
        session.desktop = harness.Desktop(session.dir)
        session.desktop.ok("hold-mutex " + ONE_COPY_MUTEX)
        session.start()
        self.error_box(session, ALREADY_RUNNING)
        self.assertEqual(session.exit_code(), 0)
        self.assertTrue(harness.refuses(session.port), "the second copy listens")
        self.assertEqual(session.vcd_log(), [], "the second copy opened the drive")
        self.assertEqual(session.events(), [])

    def test_runs_from_a_folder_named_in_japanese_on_an_english_system(self):
        # The 8-bit file functions would turn the folder's name into "?" under code page 1252.
        session = Session(start=False, extra_env=english_system_env(self))
        self.addCleanup(session.close)
        folder = os.path.join(session.dir, JAPANESE_FOLDER)
        os.mkdir(folder)
        os.replace(session.exe, os.path.join(folder, "qel.exe"))
        os.replace(session.ini_path, os.path.join(folder, "qel.ini"))
        session.exe = os.path.join(folder, "qel.exe")
        session.ini_path = os.path.join(folder, "qel.ini")
        session.start()  # waits for the port written in qel.ini: it was read
        session.command(harness.CMD_SETTINGS)
        dialog = self.settings_dialog(session, session.port)
        new_port = harness.free_port()
        self.enter_port(session, dialog, new_port)
        session.port = new_port
        session.wait_port()
        self.assertEqual(ini_port(session), str(new_port))
        self.assertEqual(sorted(os.listdir(folder)), ["qel.exe", "qel.ini"], "a settings file elsewhere")
        self.assertEqual(session.stop(), 0)


class DefaultPortTest(unittest.TestCase):

    def test_without_qel_ini_or_its_port_key_the_program_listens_on_5963(self):
        # A fresh install has no qel.ini, and the program writes none at start.
        for ini in (False, "[qel]\r\n"):
            with self.subTest(ini=ini):
                wait_until_default_port_is_free()
                with Session(ini=ini, wait=None) as session:
                    self.assertEqual(session.port, harness.DEFAULT_PORT)
                    session.wait_port()
                    # This session's program answers there, not another one: its drive is asked.
                    mark = len(session.vcd_log())
                    with session.client() as client:
                        self.assertEqual(client.command("status"), b"pause")
                    self.assertTrue([line for line in session.vcd_log()[mark:] if line.startswith("MCI_STATUS ")])
                    self.assertEqual(session.read_ini(), None if ini is False else ini)
                    self.assertEqual(session.stop(), 0)


class RunningTest(unittest.TestCase):

    def assertEndsWithClientDropped(self, session, client):
        self.assertEqual(client.read_until_closed(), b"")
        self.assertEqual(session.exit_code(), 0)
        self.assertEqual(session.events()[-1]["kind"], "delete")
        self.assertEqual(session.tray(), {"count": 0})
        self.assertTrue(harness.refuses(session.port))

    def test_exit_from_the_menu_with_a_client_connected(self):
        with Session() as session, session.client() as client:
            session.wait_tray()
            self.assertEqual(client.command("status"), b"pause")
            session.menu_choose("x")
            self.assertEndsWithClientDropped(session, client)

    def test_exit_with_a_client_connected_then_a_new_start_serves_the_same_port_at_once(self):
        # The program ends the connection itself; a restart must not find its own port taken (on
        # Windows, by the ended connection lingering on the exclusively bound port).
        with Session() as session:
            with session.client() as client:
                session.wait_tray()
                self.assertEqual(client.command("status"), b"pause")
                session.menu_choose("x")
                # As telnet and PuTTY do: the client closes once it reads the end.
                self.assertEqual(client.read_until_closed(), b"")
            self.assertEqual(session.exit_code(), 0)
            session.events()
            session.start_program()
            session.wait_port()
            session.wait_tray()
            self.assertEqual(session.desktop.find(None, "Error"), [], "the port was said to be taken")
            with session.client() as client:
                self.assertEqual(client.command("status"), b"pause")
            self.assertEqual(session.stop(), 0)

    def test_close_request_from_outside_with_a_client_connected(self):
        with Session() as session, session.client() as client:
            session.wait_tray()
            self.assertRegex(client.command("play").decode("ascii"), POSITION)
            session.desktop.ok("close 0x%x" % session.main_window())
            self.assertEndsWithClientDropped(session, client)
            # The device is closed as it is: playback is not stopped first.
            log = session.vcd_log()
            self.assertTrue(any(line.startswith("MCI_CLOSE_DRIVER") for line in log), log)
            self.assertFalse(any(line.startswith("MCI_STOP") for line in log), log)

    def test_a_quit_from_outside_closes_the_drive_the_icon_and_the_port(self):
        with Session() as session, session.client() as client:
            session.wait_tray()
            self.assertEqual(client.command("status"), b"pause")
            post_quit(session, session.main_window())
            self.assertEndsWithClientDropped(session, client)
            log = session.vcd_log()
            self.assertTrue(any(line.startswith("MCI_CLOSE_DRIVER") for line in log), log)

    def test_a_refused_logoff_changes_nothing_and_the_session_s_end_closes_the_drive_the_icon_and_the_port(self):
        with Session() as session, session.client() as client:
            session.wait_tray()
            self.assertRegex(client.command("play").decode("ascii"), POSITION)
            window = session.main_window()
            # A logoff that another program refused: Windows asks, then says the session goes on
            # (WM_ENDSESSION with FALSE). Nothing ends, and the player goes on as it was.
            self.assertEqual(session.desktop.ok("send 0x%x %d 0 0" % (window, WM_QUERYENDSESSION)), "1")
            session.desktop.ok("send 0x%x %d 0 0" % (window, WM_ENDSESSION))
            self.assertRegex(client.command("status").decode("ascii"), POSITION)
            self.assertEqual(session.tray()["count"], 1)
            # As Windows asks at a logoff, from another program: the answer is at once "yes".
            self.assertEqual(session.desktop.ok("send 0x%x %d 0 0" % (window, WM_QUERYENDSESSION)), "1")
            self.assertTrue(session.running())
            session.desktop.ok("send 0x%x %d 1 0" % (window, WM_ENDSESSION))
            # Done by the time the message returns, for after it the process may be ended.
            log = session.vcd_log()
            self.assertTrue(any(line.startswith("MCI_CLOSE_DRIVER") for line in log), log)
            self.assertEqual(session.events()[-1]["kind"], "delete")
            self.assertEqual(session.tray(), {"count": 0})
            self.assertTrue(harness.refuses(session.port))
            self.assertEqual(client.read_until_closed(), b"")
            self.assertEqual(session.exit_code(), 0)

    def test_tooltip_from_start_through_the_refresh_ticks(self):
        with Session() as session, session.client() as client:
            session.wait_tray()
            added = session.events()[0]
            self.assertEqual((added["kind"], added["icon"], added["tip"]), ("add", "idle", "pause"))
            self.assertEqual(added["hwnd"], session.main_window())
            # The first tick tells a stopped player by its own word.
            session.wait_tray(30, tip="stop", icon="idle")
            session.events()
            # A status reply follows the two-way rule and leaves the icon alone.
            self.assertEqual(client.command("status"), b"pause")
            self.assertEqual([e["tip"] for e in session.events() if e["tip"] != "stop"], [])
            self.assertEqual(session.tray()["tip"], "stop")
            # While playing, each tick shows the position of that moment.
            mark = session.event_mark()
            started = client.command("1").decode("ascii")
            self.assertRegex(started, POSITION)
            session.wait_shown("playing", started, mark)

            def later_position():
                tray = session.tray()
                return tray["icon"] == "playing" and POSITION.match(tray["tip"]) and tray["tip"] != started
            session.wait_for(later_position, 30, "a tick to show the position moving on")

    def test_an_icon_the_taskbar_lost_unannounced_comes_back_with_the_next_change(self):
        # An elevated program may not hear "TaskbarCreated": its next change is refused, and
        # then it adds the icon again.
        with Session() as session, session.client() as client:
            session.wait_tray()
            window = session.main_window()
            session.desktop.ok("forget-icons")
            session.events()
            started = client.command("play").decode("ascii")
            self.assertRegex(started, POSITION)
            kinds = [(e["kind"], e["hwnd"]) for e in session.events()]
            self.assertIn(("modify-failed", window), kinds)
            self.assertIn(("add", window), kinds[kinds.index(("modify-failed", window)):])
            tray = session.tray()
            self.assertEqual((tray["count"], tray["icon"], tray["tip"]), (1, "playing", started))

    def test_taskbar_restart_brings_the_icon_back_as_it_is(self):
        with Session() as session, session.client() as client:
            session.wait_tray()
            window = session.main_window()
            for command, icon in [("play", "playing"), ("pause", "idle"), ("eject", "idle")]:
                reply = client.command(command).decode("ascii")
                session.events()
                self.assertEqual(session.desktop.taskbar_created(), 1)
                # (A refresh tick may come in between; it only modifies.)
                events = [(e["kind"], e["hwnd"], e["icon"], e["tip"]) for e in session.events() if e["kind"] != "modify"]
                self.assertEqual(len(events), 2, events)
                self.assertEqual(events[0][0], "reset")
                self.assertEqual(events[1][:3], ("add", window, icon))
                if command == "play":
                    self.assertRegex(events[1][3], POSITION)
                else:
                    self.assertEqual(events[1][3], {"pause": "pause", "eject": "open"}[command])
                    self.assertEqual(events[1][3], reply)
                tray = session.tray()
                self.assertEqual((tray["id"], tray["msg"]), (1, harness.WM_TRAY_NOTIFY))


if __name__ == "__main__":
    unittest.main()
