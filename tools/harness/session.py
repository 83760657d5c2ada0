"""A session with the real program: qel.exe in a directory of its own, with the test desktop and a
disc in the drive the run uses. Nothing here sleeps to synchronise: every wait polls a condition
against a deadline.
"""

import atexit
import os
import shutil
import socket
import subprocess
import tempfile

from .base import EXIT_TIMEOUT, QEL_EXE, REPLY_TIMEOUT, START_TIMEOUT, WAIT_TIMEOUT, HarnessError, tail, wait_for
from .client import Client, free_port
from .desktop import Desktop
from .drive import DEFAULT_DISC, DRIVE, FAKECD_DEVICE, FAKECD_LIB, fakecd, fakecd_words
from .program import CMD_EXIT, DEFAULT_PORT, MAIN_CLASS, MAIN_TITLE
from .wine import ensure_display, ensure_prefix, start_wine, windows_path, wine_dpi

__all__ = ["Session"]

# Sessions not yet closed: a test run that ends abruptly still takes its programs down with it.
_live_sessions = set()


def _close_live_sessions():
    for session in list(_live_sessions):
        session.close()


atexit.register(_close_live_sessions)


class Session:
    """qel.exe in a directory of its own, with the test desktop and a virtual disc.

    ini: None writes "[qel]\\r\\nport=<free port>"; a str or bytes is written as qel.ini as it is
    (a str in code page 932); False writes no qel.ini. port: the port to write (None picks a free
    one). disc: keys of disc.ini's [disc] section (default DEFAULT_DISC). wait: "port" waits until
    the port accepts a connection, "tray" until the tray icon is there, None returns at once.
    dpi: the scale (wine_dpi) the desktop and the program start at, e.g. 144 for 150 %; the
    session restarts the Wine prefix as it starts and as it closes, which ends every other
    program in the prefix, so it must be the only session open.
    """

    def __init__(self, ini=None, port=None, disc=None, wait="port", start=True, extra_env=None, dpi=None):
        self.dir = tempfile.mkdtemp(prefix="qel-e2e-")
        self.exe = os.path.join(self.dir, "qel.exe")
        self.ini_path = os.path.join(self.dir, "qel.ini")
        self.vcd_dir = os.path.join(self.dir, "vcd")
        self.process = None
        self.desktop = None
        self._extra_env = extra_env or {}
        self._stderr = None
        self._history = []  # every notification call seen, in order
        self._history_read = 0  # how many of them events() has handed out
        self._wait = wait
        self._started = start
        self._dpi = dpi
        self._scale = None  # the entered wine_dpi while the prefix runs at the session's scale
        _live_sessions.add(self)
        shutil.copy2(QEL_EXE, self.exe)
        os.mkdir(self.vcd_dir)
        self.drive = DRIVE
        # Only the virtual drive logs the MCI commands it gets.
        self.logs_commands = DRIVE == "vcd"
        self.disc = dict(DEFAULT_DISC if disc is None else disc)
        if DRIVE == "mcicda":
            ensure_prefix()
            fakecd("create", *fakecd_words({}, self.disc))
        self._write_disc()
        self.port = port or DEFAULT_PORT
        if ini is None:
            self.port = port or free_port()
            self.write_ini("[qel]\r\nport=%d\r\n" % self.port)
        elif ini is not False:
            self.write_ini(ini)

    # -- lifetime --

    def __enter__(self):
        if self._started:
            try:
                self.start()
            except BaseException:
                self.close()
                raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        """Starts the desktop, then the program, and waits as `wait` said."""
        if self._dpi is not None and self._scale is None:
            others = [other for other in _live_sessions if other is not self and
                      (other.running() or other.desktop is not None)]
            if others:
                raise HarnessError("Session(dpi=%d) restarts the Wine prefix: close the other %d session(s) first"
                                   % (self._dpi, len(others)))
            scale = wine_dpi(self._dpi)
            scale.__enter__()
            self._scale = scale
        if self.desktop is None:
            self.desktop = Desktop(self.dir)
        self.start_program()
        if self._wait == "port":
            self.wait_port()
        elif self._wait == "tray":
            self.wait_tray(START_TIMEOUT)

    def start_program(self):
        """Starts qel.exe (again) in the session's directory."""
        if self.process is not None and self.process.poll() is None:
            raise HarnessError("qel.exe is already running")
        if self._stderr is not None:
            self._stderr.close()
        self._stderr = open(os.path.join(self.dir, "qel.stderr"), "ab")
        env = {"VCD_DIR": windows_path(self.vcd_dir)}
        if self.drive == "mcicda":
            # Only the program's process needs the faked drive's library: the CD-ROM ioctls of
            # Wine's driver run there.
            env.update({"LD_PRELOAD": FAKECD_LIB, "FAKECD_DEVICE": FAKECD_DEVICE,
                        "FAKECD_LOG": os.path.join(self.dir, "fakecd.log")})
        env.update(self._extra_env)
        self.process = start_wine(self.exe, cwd=self.dir, extra_env=env, stdout=self._stderr, stderr=self._stderr)

    def wait_port(self, timeout=START_TIMEOUT):
        """Waits until the program's port accepts a connection (and closes that connection)."""
        def accepts():
            if self.process.poll() is not None:
                raise HarnessError("qel.exe ended with %s before its port opened\n%s"
                                   % (self.process.returncode, self.describe()))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                return False
        self.wait_for(accepts, timeout, "port %d to accept connections" % self.port)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def exit_code(self, timeout=EXIT_TIMEOUT):
        """Waits for the program to end and returns its exit code."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise HarnessError("qel.exe still running after %.0f s\n%s" % (timeout, self.describe())) from None

    def stop(self, timeout=EXIT_TIMEOUT):
        """Exits the program through its exit command, as the tray menu would; returns the exit code."""
        if not self.running():
            return self.exit_code()
        self.command(CMD_EXIT)
        return self.exit_code(timeout)

    def close(self):
        """Ends whatever is still running and removes the directory (kept with QEL_E2E_KEEP=1)."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                pass
        _live_sessions.discard(self)
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None
        if self.desktop is not None:
            self.desktop.close()
            self.desktop = None
        if self._scale is not None:
            scale, self._scale = self._scale, None
            scale.__exit__(None, None, None)
        if os.environ.get("QEL_E2E_KEEP") != "1":
            shutil.rmtree(self.dir, ignore_errors=True)

    # -- files --

    def write_ini(self, text):
        with open(self.ini_path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("cp932"))

    def read_ini(self):
        """qel.ini as text, or None when there is none."""
        try:
            with open(self.ini_path, "rb") as f:
                return f.read().decode("cp932", "replace")
        except FileNotFoundError:
            return None

    def _write_disc(self):
        text = "[disc]\r\n" + "".join("%s=%s\r\n" % (k, v) for k, v in self.disc.items())
        # Whole or not at all: the drive re-reads the file when it changes.
        temp = os.path.join(self.vcd_dir, "disc.ini.new")
        with open(temp, "wb") as f:
            f.write(text.encode("utf-8"))
        os.replace(temp, os.path.join(self.vcd_dir, "disc.ini"))

    def set_disc(self, **keys):
        """Changes keys of the virtual disc (tracks="4:05,3:30", disc=0, door="open", ...), or
        has the person at the faked drive do the same."""
        before = dict(self.disc)
        self.disc.update(keys)
        if self.drive == "mcicda":
            words = fakecd_words(before, self.disc)
            if words:
                fakecd(*words)
        self._write_disc()

    def vcd_log(self):
        """The lines the virtual drive has logged so far (none from Wine's driver)."""
        try:
            with open(os.path.join(self.vcd_dir, "vcd.log"), "rb") as f:
                return f.read().decode("utf-8", "replace").splitlines()
        except FileNotFoundError:
            return []

    # -- TCP --

    def client(self, timeout=REPLY_TIMEOUT):
        return Client(self.port, timeout)

    # -- windows and the tray --

    def wait_for(self, predicate, timeout=WAIT_TIMEOUT, what="the condition"):
        return wait_for(predicate, timeout, what, self.describe)

    def main_window(self):
        """The program's hidden main window, or None."""
        found = self.desktop.find(MAIN_CLASS, MAIN_TITLE)
        return found[0] if found else None

    def pid(self):
        """The program's Windows process id (from its main window)."""
        window = self.wait_for(self.main_window, START_TIMEOUT, "the main window")
        return int(self.desktop.ok("pid 0x%x" % window).split()[0])

    def command(self, command_id, arg=0):
        """Posts WM_COMMAND(command_id, arg) to the main window, as the tray menu or network does."""
        window = self.wait_for(self.main_window, START_TIMEOUT, "the main window")
        self.desktop.ok("command 0x%x %d %d" % (window, command_id, arg))

    def tray(self):
        return self.desktop.tray()

    def wait_tray(self, timeout=WAIT_TIMEOUT, **expected):
        """Waits until the icon is there with the expected values (icon="playing", tip=...)."""
        def matches():
            tray = self.desktop.tray()
            if tray["count"] > 0 and all(tray.get(k) == v for k, v in expected.items()):
                return tray
            return None
        return self.wait_for(matches, timeout, "the tray icon %r" % (expected or ""))

    def _pull_events(self):
        if self.desktop is not None:
            self._history.extend(self.desktop.events())

    def events(self):
        """The notification calls since the last call."""
        self._pull_events()
        new = self._history[self._history_read:]
        self._history_read = len(self._history)
        return new

    def event_mark(self):
        """Where the notification history stands now: wait_shown(since=...) looks only after it."""
        self._pull_events()
        return len(self._history)

    def wait_shown(self, icon, tip, since=0, timeout=WAIT_TIMEOUT):
        """Waits until a call after `since` (an event_mark) added or changed the icon to this picture
        and tooltip (a text, or a pattern it must match), whatever a later call (the refresh tick)
        shows now; returns the mark just after that call."""
        def shown():
            self._pull_events()
            for index in range(since, len(self._history)):
                event = self._history[index]
                if event["kind"] in ("add", "modify") and event["icon"] == icon and (
                        event["tip"] == tip if isinstance(tip, str) else tip.match(event["tip"])):
                    return index + 1
            return None
        return self.wait_for(shown, timeout, "a call showing icon %s with tip %r" % (icon, tip))

    def click(self, kind="right", x=None, y=None):
        # The port accepts connections before the icon is added: a click waits for the icon.
        self.wait_tray(START_TIMEOUT)
        return self.desktop.click(kind, x, y)

    def wait_menu(self, timeout=WAIT_TIMEOUT):
        return self.wait_for(self.desktop.menu, timeout, "the popup menu")

    def wait_menu_closed(self, timeout=WAIT_TIMEOUT):
        return self.wait_for(lambda: self.desktop.menu() is None, timeout, "the popup menu to close")

    def menu_choose(self, key, timeout=WAIT_TIMEOUT):
        """Right-clicks the icon, waits for the menu and types the item's accelerator."""
        self.click("right")
        self.wait_menu(timeout)
        self.desktop.menu_key(key)
        self.wait_menu_closed(timeout)

    def wait_window(self, title, class_name=None, timeout=WAIT_TIMEOUT):
        return self.desktop.wait_window(class_name, title, timeout)

    def wait_window_gone(self, hwnd, timeout=WAIT_TIMEOUT):
        self.wait_for(lambda: self.desktop.info(hwnd) is None, timeout, "window 0x%x to close" % hwnd)

    def message_box_text(self, hwnd):
        """The text of a message box (its static controls, joined)."""
        return "".join(text for _, class_name, text in self.desktop.controls(hwnd)
                       if class_name.lower() == "static" and text)

    def process_stats(self):
        return self.desktop.process_stats(self.pid())

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], env=dict(os.environ, DISPLAY=ensure_display()),
                       check=True, timeout=60)

    def describe(self):
        """The state of things, for failure messages."""
        lines = []
        if self.process is None:
            lines.append("qel.exe: not started")
        elif self.process.poll() is None:
            lines.append("qel.exe: running")
        else:
            lines.append("qel.exe: ended with %s" % self.process.returncode)
        if self.desktop is not None and self.desktop.process.poll() is None:
            try:
                lines.append("tray: %r" % self.desktop.tray())
                for hwnd in self.desktop.find():
                    info = self.desktop.info(hwnd)
                    if info and info["visible"] and info["class"] != "Shell_TrayWnd":
                        texts = [t for _, _, t in self.desktop.controls(hwnd) if t]
                        lines.append("window 0x%x %s %r %r" % (hwnd, info["class"], info["title"], texts))
            except HarnessError as e:
                lines.append("desktop: %s" % e)
        tail = tail(os.path.join(self.dir, "qel.stderr"))
        if tail:
            lines.append("qel.exe stderr:\n" + tail)
        return "\n".join(lines)
