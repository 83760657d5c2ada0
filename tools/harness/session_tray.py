"""A session's tray icon: what the notification area shows, the calls that changed it, and the
clicks and popup menu."""

from .base import START_TIMEOUT, WAIT_TIMEOUT, HarnessError
from .program import MENU_POSITIONS

__all__ = ["SessionTray"]


class SessionTray:
    """Session's half that watches and clicks the tray icon through the test desktop (self.desktop,
    self._history, self._history_read)."""

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
        return self.wait_for(lambda: self.desktop.menu_shown()[0] == "closed", timeout, "the popup menu to close")

    def menu_choose(self, key, timeout=WAIT_TIMEOUT):
        """Right-clicks the icon, waits for the menu and types the item's accelerator."""
        self.click("right")
        self.wait_menu(timeout)
        self.desktop.menu_key(key)
        self.wait_menu_closed(timeout)

    def choose_command(self, command, real_click=False, timeout=WAIT_TIMEOUT):
        """Right-clicks the icon and chooses a command's item of the menu: by its accelerator, or by
        a real left click in the item. A click reaches the menu only while the program has the
        foreground; one that misses leaves the menu open, and the item is then chosen by its key.
        Returns how it was chosen: "key", "click" or "key after a missed click"."""
        self.click("right")
        self.wait_menu(timeout)
        index = MENU_POSITIONS[command]
        how = "key"
        if real_click:
            self.desktop.click_menu_item(index)
            try:
                self.wait_menu_closed(2.0)
                return "click"
            except HarnessError:
                how = "key after a missed click"
        try:
            label = self.desktop.menu_items()[index]
        except HarnessError:
            if real_click and self.desktop.menu() is None:
                return "click"  # it did reach the menu, late
            raise
        key = label[label.index("&") + 1].lower()
        if self.desktop("menu-key %s" % key) == "error no menu":
            return "click"
        self.wait_menu_closed(timeout)
        return how
