"""The person at the machine: every menu choice (mostly posted to the main window as the menu
does, now and then through the real menu, by its key or by a real click), left clicks on the
icon, the settings dialog answered with a free port, a taken port, 0 or Escape, and the track
dialog answered with a track or Escape; a dialog is sometimes left open for half a minute.

Between its actions it checks that the program shows no window that no action called for: an
error box, a dialog or a menu left open. It tells the run when it closes a dialog (under Xvfb a
close keeps the main thread some 2 s, see invariants.py), when a port change is under way, and
when a choice will be answered to the connected client.
"""

import socket
import traceback

import harness
from harness import CMD_CLOSE_TRAY, CMD_EJECT, CMD_NEXT, CMD_PAUSE, CMD_PLAY, CMD_PREVIOUS, CMD_RESUME, CMD_SELECT_TRACK
from harness import CMD_SETTINGS, CMD_STOP

from .clients import weighted
from .record import Violation

# A choice made while a play is being tried waits for it: one retry, a door and a load.
DIALOG_OPEN_BOUND = 30.0
WINDOW_GONE_BOUND = 30.0
REPLY_COMMANDS = [(CMD_PLAY, 3), (CMD_STOP, 3), (CMD_PAUSE, 1.5), (CMD_RESUME, 1.5), (CMD_NEXT, 2), (CMD_PREVIOUS, 2),
                  (CMD_EJECT, 1), (CMD_CLOSE_TRAY, 1)]
NAMES = {value: name for name, value in vars(harness).items() if name.startswith("CMD_")}


class Person:

    name = "person"

    def __init__(self, soak, rng):
        self.soak = soak
        self.record = soak.record
        self.session = soak.session
        self.desktop = soak.session.desktop
        self.rng = rng
        self.pid = soak.pid
        # A port another program holds, for the settings dialog's "taken" answer.
        self.held = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.held.bind(("0.0.0.0", 0))
        self.held.listen(1)
        self.thread = None

    def release(self):
        self.held.close()

    def run(self):
        try:
            while self.record.gate(self.name):
                self.step()
        except Violation:
            pass
        except Exception:
            try:
                self.record.fail("the soak itself failed in the person", traceback.format_exc())
            except Violation:
                pass

    def step(self):
        if self.record.interrupt.is_set():
            return
        action = weighted(self.rng, [("post", 30), ("menu key", 12), ("menu click", 5), ("left click", 10),
                                     ("settings", 10), ("tracks", 10), ("idle", 8)])
        if action in ("post", "menu key", "menu click"):
            command = weighted(self.rng, REPLY_COMMANDS)
            if self.soak.quiet_for_vanish.is_set():
                # A vanishing client must hear nothing more (vanish.py): no choice answered to it.
                action, command = "left click", None
            else:
                self.choose(command, action)
        if action == "left click":
            self.record.action(self.name, "person: left click", "left click on the icon")
            self.session.click("left")
        elif action == "settings":
            self.settings_dialog()
        elif action == "tracks":
            self.track_dialog()
        self.check_windows("after the person's " + action)
        self.idle(self.rng.choice([0.3, 0.5, 1.0, 2.0, 3.0] + ([6.0, 10.0] if action == "idle" else [])))

    def idle(self, seconds):
        """Does nothing for a while, and looks at the screen now and then."""
        left = seconds
        while left > 0 and self.record.sleep(min(left, 2.0)):
            left -= 2.0
            self.check_windows("while the person did nothing")

    def check_windows(self, when):
        windows = self.session.program_windows(self.pid)
        if windows:
            details = []
            for hwnd, class_name, title in windows:
                texts = [t for _, _, t in self.desktop.controls(hwnd) if t]
                details.append("0x%x %s %r %r" % (hwnd, class_name, title, texts))
            self.record.fail("the program shows a window that no action called for (%s)" % when, "\n".join(details))

    # -- choices --

    def choose(self, command, how):
        """A menu choice: posted as the menu does, or through the menu by its key or a real click."""
        self.soak.menu_reply()
        if how == "post":
            self.record.action(self.name, "person: posted choice", "posts %s" % NAMES[command])
            self.session.command(command)
            return
        real_click = how == "menu click"
        chosen = self.session.choose_command(command, real_click=real_click)
        self.record.action(self.name, "person: menu " + ("click" if real_click else "key"),
                           "chooses %s from the menu by %s" % (NAMES[command], chosen))

    def open_dialog(self, command, title):
        how = weighted(self.rng, [("post", 5), ("menu key", 3.5), ("menu click", 1.5)])
        if how == "post":
            self.session.command(command)
        else:
            how = self.session.choose_command(command, real_click=how == "menu click")
        self.record.action(self.name, "person: dialog", "opens %s (%s)" % (title, how))
        dialog = self.wait_visible(title, DIALOG_OPEN_BOUND)
        if dialog is None:
            self.record.fail("the dialog %r did not open within %.0f s of its choice" % (title, DIALOG_OPEN_BOUND))
        return dialog

    def wait_visible(self, title, timeout):
        """The program's visible window of that title, polled so that the desktop stays free for
        the other actors meanwhile; None after timeout."""
        def found():
            self.record.check_over()
            for hwnd in self.desktop.find_visible(None, title):
                info = self.desktop.info(hwnd)
                if info is not None and info["pid"] == self.pid:
                    return hwnd
            return None
        try:
            return self.session.wait_for(found, timeout, "the window %r" % title)
        except harness.HarnessError:
            return None

    def hold(self):
        """How long the dialog stays open before its answer: mostly moments, now and then the
        time it takes to fetch a cup of tea."""
        seconds = weighted(self.rng, [(self.rng.uniform(0.2, 2.0), 7), (self.rng.uniform(2.0, 8.0), 2),
                                      (self.rng.uniform(15.0, 40.0), 1)])
        self.record.sleep(seconds)

    def close(self, hwnd, how, what):
        """Closes a dialog or a message box and waits until it has gone; the run knows when."""
        closing = self.soak.dialog_close_begin(what)
        try:
            if how == "ok":
                self.session.press_ok(hwnd)
            else:
                self.session.press_escape(hwnd)
            self.wait_gone(hwnd, what)
        finally:
            self.soak.dialog_close_end(closing)

    def wait_gone(self, hwnd, what):
        try:
            self.session.wait_for(lambda: not self.visible(hwnd), WINDOW_GONE_BOUND, what)
        except harness.HarnessError:
            self.record.fail("%s did not close within %.0f s" % (what, WINDOW_GONE_BOUND))

    def visible(self, hwnd):
        self.record.check_over()
        info = self.desktop.info(hwnd)
        return info is not None and info["visible"]

    # -- the dialogs --

    def settings_dialog(self):
        dialog = self.open_dialog(CMD_SETTINGS, harness.SETTINGS_TITLE)
        for _ in range(3):
            self.hold()
            answer = weighted(self.rng, [("escape", 35), ("free port", 20), ("taken port", 20), ("0", 15)])
            if self.record.interrupt.is_set():
                answer = "escape"
            if answer == "escape":
                self.record.action(self.name, "person: settings escape", "leaves the settings with Escape")
                self.close(dialog, "escape", "the settings dialog")
                return
            port = {"free port": harness.free_port(), "taken port": self.held.getsockname()[1], "0": 0}[answer]
            self.record.action(self.name, "person: settings " + answer, "answers the settings with %s %d" % (answer, port))
            self.session.desktop.set_text(dialog, harness.IDC_PORT, str(port))
            if answer == "free port":
                change = self.soak.port_change_begin()
                closing = self.soak.dialog_close_begin("the settings dialog")
                try:
                    self.session.press_ok(dialog)
                    box = self.wait_dialog_or_box(dialog)
                    if box is None:
                        self.soak.set_port(port)
                        return
                finally:
                    self.soak.dialog_close_end(closing)
                    self.soak.port_change_end(change)
                # Someone took the port meanwhile: said as for a taken one.
                self.record.note(self.name, "port %d was taken meanwhile" % port)
            else:
                self.session.press_ok(dialog)
                box = self.wait_visible(harness.ERROR_TITLE, DIALOG_OPEN_BOUND)
                if box is None:
                    self.record.fail("no error box for the port %s %d" % (answer, port))
            self.record.sleep(self.rng.uniform(0.2, 2.0))
            self.close(box, "ok", "the error box")
            if not self.visible(dialog):
                self.record.fail("the settings dialog closed after the port %d was refused" % port)
        self.record.action(self.name, "person: settings escape", "leaves the settings with Escape")
        self.close(dialog, "escape", "the settings dialog")

    def wait_dialog_or_box(self, dialog):
        """After OK with a port: None once the dialog has gone, or the error box saying the port
        cannot be served."""
        def settled():
            if not self.visible(dialog):
                return "gone"
            box = [h for h in self.desktop.find_visible(None, harness.ERROR_TITLE)
                   if (self.desktop.info(h) or {}).get("pid") == self.pid]
            return box[0] if box else None
        try:
            result = self.session.wait_for(settled, WINDOW_GONE_BOUND, "the settings dialog to close")
        except harness.HarnessError:
            self.record.fail("the settings dialog neither closed nor said why within %.0f s" % WINDOW_GONE_BOUND)
        return None if result == "gone" else result

    def track_dialog(self):
        dialog = self.open_dialog(CMD_SELECT_TRACK, harness.TRACKS_TITLE)
        self.hold()
        if self.rng.random() < 0.6 and not self.record.interrupt.is_set():
            items = self.desktop.combo_items(dialog, harness.IDC_TRACKS)
            if items:
                index = self.rng.randrange(len(items))
                self.desktop.combo_select(dialog, harness.IDC_TRACKS, index)
                self.record.action(self.name, "person: track chosen", "chooses track %d in the dialog" % (index + 1))
            else:
                self.record.action(self.name, "person: track chosen", "presses OK on an empty track list")
            self.close(dialog, "ok", "the track dialog")
        else:
            self.record.action(self.name, "person: tracks escape", "leaves the track dialog with Escape")
            self.close(dialog, "escape", "the track dialog")
