"""A session's windows: the program's hidden main window, its dialogs and message boxes, as the test
desktop sees them, and the state of things for failure messages."""

import os
import subprocess

from .base import START_TIMEOUT, WAIT_TIMEOUT, HarnessError, tail, wait_for
from .program import IDOK, MAIN_CLASS, MAIN_TITLE
from .wine import ensure_display

__all__ = ["SessionWindows"]

WM_KEYDOWN = 0x100
VK_ESCAPE = 0x1B


class SessionWindows:
    """Session's half that finds and drives windows through the test desktop (self.desktop)."""

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
        """Posts WM_COMMAND(command_id, arg) to the main window, as the tray menu does."""
        window = self.wait_for(self.main_window, START_TIMEOUT, "the main window")
        self.desktop.ok("command 0x%x %d %d" % (window, command_id, arg))

    def wait_window(self, title, class_name=None, timeout=WAIT_TIMEOUT):
        return self.desktop.wait_window(class_name, title, timeout)

    def wait_window_gone(self, hwnd, timeout=WAIT_TIMEOUT):
        self.wait_for(lambda: self.desktop.info(hwnd) is None, timeout, "window 0x%x to close" % hwnd)

    def press_ok(self, hwnd):
        """Presses the OK button of a dialog or a message box (posted, as a click is)."""
        self.desktop.press(hwnd, IDOK)

    def press_escape(self, hwnd):
        """The Escape key in a dialog: its own loop turns it into IDCANCEL."""
        self.desktop.ok("post 0x%x %d %d 0" % (hwnd, WM_KEYDOWN, VK_ESCAPE))

    def program_windows(self, pid=None):
        """The program's visible top-level windows (its dialogs, message boxes and open menu):
        [(hwnd, class, title)]. pid: the program's, when the caller knows it."""
        pid = pid or self.pid()
        found = []
        for hwnd in self.desktop.find_visible():
            info = self.desktop.info(hwnd)
            if info is not None and info["pid"] == pid:
                found.append((hwnd, info["class"], info["title"]))
        return found

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
        stderr_tail = tail(os.path.join(self.dir, "qel.stderr"))
        if stderr_tail:
            lines.append("qel.exe stderr:\n" + stderr_tail)
        return "\n".join(lines)
