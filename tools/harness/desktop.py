"""desktop.exe (tools/desktop), the test desktop: the stand-in taskbar that sees every tray icon
call, and the user's hand on windows, menus and dialogs. One command line in, one reply line out;
tools/desktop/README.md lists its commands.
"""

import os
import subprocess
import threading
import urllib.parse

from .base import DESKTOP_EXE, REPLY_TIMEOUT, START_TIMEOUT, WAIT_TIMEOUT, HarnessError, LineReader, tail
from .wine import start_wine

__all__ = ["Desktop", "escape", "unescape"]


def unescape(text):
    """Texts in desktop replies carry '%', '|' and control characters as %XX."""
    return urllib.parse.unquote(text, encoding="utf-8", errors="replace")


def escape(text):
    """A text argument for the desktop (it decodes %XX in text arguments)."""
    return "".join("%%%02X" % ord(c) if c in "% " or ord(c) < 0x20 else c for c in text)


class Desktop:
    """desktop.exe: the stand-in taskbar. Start it before the program whose icon it should see."""

    def __init__(self, workdir):
        self._stderr = os.path.join(workdir, "desktop.stderr")
        with open(self._stderr, "wb") as err:
            self.process = start_wine(DESKTOP_EXE, cwd=workdir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=err)
        self._reader = LineReader(self.process.stdout)
        self._lock = threading.Lock()
        self._broken = None
        try:
            ready = self._reader.line(START_TIMEOUT)
        except HarnessError:
            self.kill()
            raise HarnessError("desktop.exe did not start: " + tail(self._stderr)) from None
        if ready is None or not ready.startswith("ok desktop "):
            self.kill()
            raise HarnessError("desktop.exe failed: %r %s" % (ready, tail(self._stderr)))
        fields = dict(f.split("=", 1) for f in ready.split()[2:])
        self.hwnd = int(fields["hwnd"], 16)

    def __call__(self, command, timeout=REPLY_TIMEOUT):
        """Sends one command line and returns its reply line."""
        with self._lock:
            if self._broken:
                raise HarnessError("desktop.exe unusable: " + self._broken)
            try:
                self.process.stdin.write(command.encode("utf-8") + b"\n")
                self.process.stdin.flush()
            except OSError as e:
                raise HarnessError("desktop.exe is gone (%s) before %r: %s" % (e, command, tail(self._stderr)))
            try:
                line = self._reader.line(timeout)
            except HarnessError:
                # A late reply would be taken for the next command's: no more commands.
                self._broken = "no reply to %r within %.0f s" % (command, timeout)
                raise HarnessError(self._broken) from None
            if line is None:
                raise HarnessError("desktop.exe ended on %r: %s" % (command, tail(self._stderr)))
            return line

    def ok(self, command, timeout=REPLY_TIMEOUT):
        """Sends a command that must succeed; returns what follows "ok"."""
        line = self(command, timeout)
        if line != "ok" and not line.startswith("ok "):
            raise HarnessError("desktop %r answered %r" % (command, line))
        return line[3:]

    def close(self):
        if self.process.poll() is None and not self._broken:
            try:
                self("quit", timeout=10)
                self.process.wait(10)
            except (HarnessError, subprocess.TimeoutExpired):
                pass
        self.kill()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(30)
        self._close_pipes()

    def _close_pipes(self):
        for pipe in (self.process.stdin, self.process.stdout):
            try:
                pipe.close()
            except OSError:
                pass

    # -- the tray --

    def tray(self):
        """The icon added last: {count, hwnd, id, msg, icon, width, height, tip}, or {count: 0}. width
        and height are the picture's pixels as the program gave it to the notification area."""
        reply = self.ok("tray")
        head, _, tip = reply.partition(" tip=")
        state = dict(f.split("=", 1) for f in head.split())
        result = {"count": int(state["count"])}
        if result["count"] > 0:
            width, height = (int(v) for v in state["size"].split("x"))
            result.update(hwnd=int(state["hwnd"], 16), id=int(state["id"]), msg=int(state["msg"]),
                          icon=state["icon"], width=width, height=height, tip=unescape(tip))
        return result

    def events(self):
        """The notification calls since the last call:
        [{seq, kind, hwnd, id, flags, icon, width, height, tip}]."""
        reply = self.ok("events")
        count, _, rest = reply.partition(" ")
        result = []
        for item in rest.split("|") if int(count) > 0 else []:
            seq, kind, hwnd, icon_id, flags, icon, size, tip = item.split(":", 7)
            width, height = (int(v) for v in size.split("x"))
            result.append({"seq": int(seq), "kind": kind, "hwnd": int(hwnd, 16), "id": int(icon_id),
                           "flags": int(flags), "icon": icon, "width": width, "height": height,
                           "tip": unescape(tip)})
        return result

    def click(self, kind="right", x=None, y=None):
        """The shell's callback for a click on the icon; returns the cursor point used."""
        where = "" if x is None else " %d %d" % (x, y)
        fields = dict(f.split("=") for f in self.ok("click %s%s" % (kind, where)).split())
        return int(fields["x"]), int(fields["y"])

    def taskbar_created(self):
        """Forgets the icons, tells every window the taskbar is back; returns the icons added since."""
        return int(self.ok("taskbar-created").split("=")[1])

    def refuse_adds(self, count):
        """The next `count` adds are refused, as a shell that is not ready yet refuses them."""
        self.ok("refuse-adds %d" % count)

    # -- windows --

    def find(self, class_name=None, title=None):
        reply = self.ok("find %s %s" % (class_name or "-", escape(title) if title else "-"))
        return [int(h, 16) for h in reply.split()]

    def find_visible(self, class_name=None, title=None):
        reply = self.ok("find-visible %s %s" % (class_name or "-", escape(title) if title else "-"))
        return [int(h, 16) for h in reply.split()]

    def wait_window(self, class_name=None, title=None, timeout=WAIT_TIMEOUT):
        reply = self("wait-window %d %s %s" % (int(timeout * 1000), class_name or "-",
                                               escape(title) if title else "-"), timeout + REPLY_TIMEOUT)
        if not reply.startswith("ok 0x"):
            raise HarnessError("no window class=%s title=%s within %.0f s (%s)" % (class_name, title, timeout, reply))
        return int(reply.split()[1], 16)

    def info(self, hwnd):
        """{visible, enabled, pid, tid, rect, exstyle, owner, class, title}, or None when there is no
        such window; owner is 0 for a window without one."""
        reply = self("info 0x%x" % hwnd)
        if not reply.startswith("ok "):
            return None
        head, _, title = reply[3:].partition(" title=")
        fields = dict(f.split("=", 1) for f in head.split())
        return {"visible": fields["visible"] == "1", "enabled": fields["enabled"] == "1",
                "pid": int(fields["pid"]), "tid": int(fields["tid"]),
                "rect": tuple(int(v) for v in fields["rect"].split(",")),
                "exstyle": int(fields["exstyle"], 16), "owner": int(fields["owner"], 16),
                "class": unescape(fields["class"]), "title": unescape(title)}

    def control(self, hwnd, control_id):
        """{class, style, exstyle, rect, client} of a control as its dialog shows it: rect in the
        dialog's client coordinates, client the client area's (width, height)."""
        head, _, class_name = self.ok("control 0x%x %d" % (hwnd, control_id)).partition(" class=")
        fields = dict(f.split("=", 1) for f in head.split())
        return {"class": unescape(class_name), "style": int(fields["style"], 16),
                "exstyle": int(fields["exstyle"], 16),
                "rect": tuple(int(v) for v in fields["rect"].split(",")),
                "client": tuple(int(v) for v in fields["client"].split(","))}

    def mouse_click(self, x, y):
        """A left click at a screen point through the system's input, as a mouse gives it."""
        self.ok("mouse-click %d %d" % (x, y))

    def type_text(self, text):
        """Types text through the system's input, one key press per UTF-16 unit, into the focus
        window of the foreground program."""
        self.ok("type %s" % escape(text))

    def key(self, name):
        """Presses one key through the system's input: "enter", "escape", "tab", "backspace", a letter
        or a digit, with modifiers as "ctrl+a" or "shift+tab" (tools/desktop/README.md lists them)."""
        self.ok("key %s" % name)

    def controls(self, hwnd):
        """The window's child controls: [(id, class, text)]."""
        reply = self.ok("controls 0x%x" % hwnd)
        result = []
        for item in reply.split("|") if reply else []:
            control_id, class_name, text = item.split(":", 2)
            result.append((int(control_id), unescape(class_name), unescape(text)))
        return result

    def get_text(self, hwnd, control_id=None):
        return unescape(self.ok("get-text 0x%x %s" % (hwnd, "-" if control_id is None else control_id)))

    def set_text(self, hwnd, control_id, text):
        self.ok("set-text 0x%x %s %s" % (hwnd, "-" if control_id is None else control_id, escape(text)))

    def press(self, hwnd, control_id):
        self.ok("press 0x%x %d" % (hwnd, control_id))

    def combo_items(self, hwnd, control_id):
        count, _, items = self.ok("combo-items 0x%x %d" % (hwnd, control_id)).partition(" ")
        return [unescape(item) for item in items.split("|")] if int(count) > 0 else []

    def combo_selected(self, hwnd, control_id):
        return int(self.ok("combo-selected 0x%x %d" % (hwnd, control_id)))

    def combo_select(self, hwnd, control_id, index):
        self.ok("combo-select 0x%x %d %d" % (hwnd, control_id, index))

    def menu_shown(self):
        """("open", window) while a popup menu is shown and its thread's menu loop has the mouse,
        ("shown", window) while it is shown without that (not yet, or no longer), or ("closed", None)."""
        words = self.ok("menu").split()
        return words[0], int(words[1], 16) if len(words) > 1 else None

    def menu(self):
        """The open popup menu's window once a click anywhere reaches it, or None. A menu's window is
        shown before its loop takes the mouse: a click outside it then would go elsewhere."""
        state, window = self.menu_shown()
        return window if state == "open" else None

    def menu_input(self):
        """Who hears the mouse while the menu is shown: {foreground, foreground_tid, menu_tid, active,
        focus, capture, menu_owner, flags}, the foreground window and its thread, the menu's thread,
        and that thread's windows and GUITHREADINFO flags (GUI_INMENUMODE is 4)."""
        return {name: int(value, 0) for name, value in (f.split("=") for f in self.ok("menu-input").split())}

    def menu_key(self, key):
        self.ok("menu-key %s" % key)

    def menu_escape(self):
        self.ok("menu-escape")

    def menu_items(self):
        """The open popup menu's labels as its program holds them, '&' marks included, read through
        the wide interface inside that program; a separator is ""."""
        count, _, items = self.ok("menu-items").partition(" ")
        return [unescape(item) for item in items.split("|")] if int(count) > 0 else []

    def menu_item_rect(self, index):
        """An item of the open popup menu on the screen: (left, top, right, bottom)."""
        return tuple(int(v) for v in self.ok("menu-item-rect %d" % index).split())

    def click_menu_item(self, index):
        """A real left click in the middle of an item of the open popup menu; returns the point."""
        left, top, right, bottom = self.menu_item_rect(index)
        point = ((left + right) // 2, (top + bottom) // 2)
        self.mouse_click(*point)
        return point

    # -- another program's window answering --

    def watch(self, hwnd, slow_ms=None):
        """Starts sending the window WM_NULL every 20 ms from a thread of the desktop; with slow_ms,
        answers that take at least that long are kept (watch_slow)."""
        self.ok("watch 0x%x%s" % (hwnd, "" if slow_ms is None else " %d" % slow_ms))

    def watch_slow(self):
        """The slow answers since the last call: (now_ms, pings, count, [(began_ms, took_ms)]), times
        in ms since the watch began on the desktop's clock; count may exceed the list (256 kept)."""
        head = self.ok("watch-slow").split(" ")
        fields = dict(f.split("=") for f in head[:2])
        answers = [(int(began), float(took)) for began, took in
                   (item.split(":") for item in head[3].split("|"))] if len(head) > 3 else []
        return int(fields["now_ms"]), int(fields["pings"]), int(head[2]), answers

    def watch_end(self):
        """Ends the watch: {pings, slowest_ms, timeouts, gone}."""
        fields = dict(f.split("=") for f in self.ok("watch-end").split())
        return {"pings": int(fields["pings"]), "slowest_ms": float(fields["slowest_ms"]),
                "timeouts": int(fields["timeouts"]), "gone": fields["gone"] == "1"}

    def process_stats(self, pid):
        """{threads, handles, private} of a Windows process id."""
        return {k: int(v) for k, v in (f.split("=") for f in self.ok("process %d" % pid).split())}

