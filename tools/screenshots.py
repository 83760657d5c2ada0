#!/usr/bin/env python3
"""Makes the pictures in docs/ from the real program under Wine: the tray icon idle and playing
(with its tooltip), the popup menu while playing and with the door open, both dialogs, and the
message shown when the port is taken.

    QEL_WIN_BUILD=build/windows tools/screenshots.py [--dpi N] [output directory, default docs]

With --dpi N (e.g. 144 for 150 %) the prefix runs at that scale (harness.wine_dpi, which puts it
back at 96 afterwards) and the script makes the menu, both dialogs and the start-up message only, as
menu-144dpi.png, track-dialog-144dpi.png, settings-dialog-144dpi.png and port-in-use-144dpi.png.

It needs a built Windows tree and its prefix (scripts/prepare-wine), xdotool and ImageMagick; it
runs on $DISPLAY or on an Xvfb of its own. The program's icon is shown by Wine's own "Wine System
Tray" window, so the tray pictures and the menus are made before the test desktop (the stand-in
taskbar of the end-to-end tests) starts; the desktop then finds the dialogs and message boxes. Without a
window manager Wine leaves windows undecorated: the program's windows get Wine's own frame and
caption through the per-program X11 driver setting Decorated=N, which this script sets in the
prefix together with the Marlett font for the close box. The tray pictures are scaled up twice (pixel for pixel); the others are as shown.
"""

import argparse
import contextlib
import os
import socket
import subprocess
import tempfile

import harness  # tools/harness, beside this script
from harness import Desktop, Session, wait_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

MARGIN = 6
TIMEOUT = 30.0
BACKGROUND = (0, 0, 0)  # an empty Xvfb root window
WHITE = (255, 255, 255)


# ---- the display ----

def x_env():
    return dict(os.environ, DISPLAY=harness.ensure_display())


def xdotool(*args):
    result = subprocess.run(["xdotool"] + [str(a) for a in args], env=x_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, timeout=30)
    return result.stdout.strip()


def x_geometry(window):
    """(x, y, width, height) of an X window."""
    fields = dict(line.split("=", 1) for line in xdotool("getwindowgeometry", "--shell", window).splitlines()
                  if "=" in line)
    return tuple(int(fields[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


class Pictures:
    """Where each picture goes, and which are made: every one at the prefix's own scale; at another
    the menu and the dialogs, whose layout the scale changes, named for it (menu-144dpi.png)."""

    NAMES = ("tray-idle", "tray-playing", "menu", "menu-door-open", "track-dialog", "settings-dialog", "port-in-use")
    SCALED = ("menu", "track-dialog", "settings-dialog", "port-in-use")

    def __init__(self, out, dpi):
        self.out = out
        self.dpi = dpi

    def path(self, name):
        """The file for the picture, or None when it is not made at this scale."""
        if self.dpi == harness.DEFAULT_DPI:
            return os.path.join(self.out, name + ".png")
        if name in self.SCALED:
            return os.path.join(self.out, "%s-%ddpi.png" % (name, self.dpi))
        return None


def grab(box, path, scale=1):
    """Writes the screen's box (left, top, right, bottom) as a PNG; nothing when path is None."""
    if path is None:
        return
    left, top, right, bottom = box
    with tempfile.TemporaryDirectory() as scratch:
        full = os.path.join(scratch, "screen.png")
        subprocess.run(["import", "-window", "root", full], env=x_env(), check=True, timeout=60)
        command = ["convert", full, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage"]
        if scale != 1:
            command += ["-scale", "%d%%" % (scale * 100)]
        subprocess.run(command + [path], check=True, timeout=60)


def colours(box):
    """The set of (r, g, b) colours in the screen's box."""
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "box.png")
        grab(box, path)
        text = subprocess.run(["convert", path, "-depth", "8", "-format", "%c", "histogram:info:-"],
                              stdout=subprocess.PIPE, text=True, check=True, timeout=60).stdout
    found = set()
    for line in text.splitlines():
        # "   12: (  0,255,  0) #00FF00 lime"
        inside = line.partition("(")[2].partition(")")[0]
        values = [v.strip() for v in inside.split(",")][:3]
        if len(values) == 3:
            found.add(tuple(int(float(v)) for v in values))
    return found


def has_green(found):
    # The playing picture's play mark, as the test desktop tells the two pictures apart.
    return any(g >= 200 and r <= 80 and b <= 80 for r, g, b in found)


def around(*boxes, margin=MARGIN):
    return (max(0, min(b[0] for b in boxes) - margin), max(0, min(b[1] for b in boxes) - margin),
            max(b[2] for b in boxes) + margin, max(b[3] for b in boxes) + margin)


def drawn(box):
    """True once the box shows more than the empty screen."""
    return bool(colours(box) - {BACKGROUND})


def steady(box):
    """Waits until two grabs of the box agree (a window or tooltip has finished drawing)."""
    last = [None]

    def same():
        now = colours(box)
        agreed = now == last[0]
        last[0] = now
        return agreed
    wait_for(same, TIMEOUT, "the picture to settle")


# ---- the program's windows through X (no test desktop yet) ----

def program_windows():
    return xdotool("search", "--onlyvisible", "--class", "qel.exe").split()


def open_menu(icon_x, icon_y):
    """Right-clicks the icon in Wine's tray; returns the menu's box."""
    xdotool("mousemove", icon_x, icon_y)
    xdotool("click", 3)
    window = wait_for(program_windows, TIMEOUT, "the popup menu")[0]
    x, y, width, height = x_geometry(window)
    box = (x, y, x + width, y + height)
    wait_for(lambda: drawn(box), TIMEOUT, "the menu to be drawn")
    steady(box)
    return box


def close_menu():
    xdotool("key", "Escape")
    wait_for(lambda: not program_windows(), TIMEOUT, "the menu to close")


def tray_pictures(session, pictures):
    tray_window = wait_for(lambda: xdotool("search", "--name", "Wine System Tray"), TIMEOUT,
                           "Wine's tray window").split()[0]
    x, y, width, height = x_geometry(tray_window)
    tray = (x, y, x + width, y + height)
    icon = (x, y, x + height, y + height)  # the first icon sits in a square cell at the left
    icon_x, icon_y = x + height // 2, y + height // 2
    strip = (x, y, x + 3 * height, y + height)
    xdotool("mousemove", 600, 400)

    def idle_shown():
        found = colours(icon)
        return bool(found - {WHITE}) and not has_green(found)
    wait_for(idle_shown, TIMEOUT, "the idle picture")
    grab(around(strip, margin=2), pictures.path("tray-idle"), scale=2)

    client = session.client()
    client.command("play")
    wait_for(lambda: has_green(colours(icon)), TIMEOUT, "the playing picture")
    # The tooltip: hover over the icon until it shows below.
    below = (x, y + height, x + 4 * height, y + 3 * height)
    xdotool("mousemove", icon_x, icon_y)
    wait_for(lambda: drawn(below), TIMEOUT, "the tooltip")
    steady(below)
    grab(around(strip, below, margin=2), pictures.path("tray-playing"), scale=2)

    menu = open_menu(icon_x, icon_y)
    grab(around(tray, menu), pictures.path("menu"))
    close_menu()

    client.command("eject")
    menu = open_menu(icon_x, icon_y)
    grab(around(menu), pictures.path("menu-door-open"))
    close_menu()
    client.command("close")
    client.close()


# ---- dialogs and message boxes through the test desktop ----

def program_box(count=1):
    """The box around the program's visible windows, once there are count of them, drawn."""
    def enough():
        found = program_windows()
        return found if len(found) >= count else None
    windows = wait_for(enough, TIMEOUT, "%d visible windows of the program" % count)
    boxes = []
    for window in windows:
        x, y, width, height = x_geometry(window)
        boxes.append((x, y, x + width, y + height))
    box = around(*boxes, margin=0)
    wait_for(lambda: drawn(box), TIMEOUT, "the windows to be drawn")
    steady(box)
    return box


def dialog_pictures(session, pictures):
    desktop = session.desktop = Desktop(session.dir)
    with session.client() as client:
        client.command("2")
    desktop.ok("cursor 60 90")
    session.command(harness.CMD_SELECT_TRACK)
    dialog = session.wait_window("曲番号指定")
    # The list dropped down the way a user opens it from the keyboard: Tab to the box, then F4.
    xdotool("key", "Tab")
    xdotool("key", "F4")
    grab(around(program_box(2)), pictures.path("track-dialog"))
    xdotool("key", "Escape")
    desktop.ok("close 0x%x" % dialog)
    session.wait_window_gone(dialog)

    session.command(harness.CMD_SETTINGS)
    dialog = session.wait_window("設定")
    grab(around(program_box()), pictures.path("settings-dialog"))
    desktop.ok("close 0x%x" % dialog)
    session.wait_window_gone(dialog)


def port_taken_picture(pictures):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        with Session(port=holder.getsockname()[1], wait=None) as session:
            session.wait_window("Error", timeout=harness.START_TIMEOUT)
            grab(around(program_box()), pictures.path("port-in-use"))


def prepare_prefix():
    """Wine's own frame and caption for qel.exe's windows, as no window manager draws them, and
    the Marlett font for the caption's close box (Debian's Wine does not register its copy)."""
    settings = [
        (r"HKCU\Software\Wine\AppDefaults\qel.exe\X11 Driver", "Decorated", "N"),
        (r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts", "Marlett (TrueType)",
         r"Z:\usr\share\wine\fonts\marlett.ttf"),
    ]
    for key, name, value in settings:
        if name.startswith("Marlett") and not os.path.exists("/usr/share/wine/fonts/marlett.ttf"):
            continue
        harness.start_wine("reg", ["add", key, "/v", name, "/d", value, "/f"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL).wait(120)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dpi", type=int, default=harness.DEFAULT_DPI, help="the scale in dots per inch (96: 100%%)")
    parser.add_argument("out", nargs="?", default=os.path.join(ROOT, "docs"), help="the output directory")
    args = parser.parse_args()
    pictures = Pictures(os.path.abspath(args.out), args.dpi)
    os.makedirs(pictures.out, exist_ok=True)
    prepare_prefix()
    own_scale = args.dpi == harness.DEFAULT_DPI
    with contextlib.nullcontext() if own_scale else harness.wine_dpi(args.dpi):
        # The default port when it is free, so the settings dialog shows what a user first sees.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            default_free = probe.connect_ex(("127.0.0.1", harness.DEFAULT_PORT)) != 0
        session = Session(start=False, port=harness.DEFAULT_PORT if default_free else None)
        try:
            session.start_program()
            session.wait_port()
            tray_pictures(session, pictures)
            dialog_pictures(session, pictures)
        finally:
            session.close()
        port_taken_picture(pictures)
    for name in Pictures.NAMES:
        if pictures.path(name):
            print(pictures.path(name))


if __name__ == "__main__":
    main()
