"""End-to-end helpers: start the real qel.exe under Wine and meet it as its users do.

A Session gives each test its own directory with its own copy of qel.exe, its own qel.ini and its
own virtual disc (vcd/disc.ini), starts the test desktop (desktop.exe, the stand-in taskbar that
sees the tray icon and drives windows) and then the program, and waits until the program's port
accepts connections. Everything it started is gone when the `with` block ends.

Paths come from the environment that tests/e2e/CMakeLists.txt sets: QEL_EXE, DESKTOP_EXE,
TRAYPROBE_EXE, VCD_DLL_DIR, QEL_ROOT, WINEPREFIX, WINEARCH, QEL_WINE. Nothing here sleeps to
synchronise: every wait polls a condition against a deadline.
"""

import atexit
import os
import queue
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
QEL_ROOT = os.environ.get("QEL_ROOT", os.path.dirname(os.path.dirname(HERE)))
WIN_BUILD = os.environ.get("QEL_WIN_BUILD", os.path.join(QEL_ROOT, "build", "windows"))
QEL_EXE = os.environ.get("QEL_EXE", os.path.join(WIN_BUILD, "qel.exe"))
DESKTOP_EXE = os.environ.get("DESKTOP_EXE", os.path.join(WIN_BUILD, "tools", "desktop", "desktop.exe"))
TRAYPROBE_EXE = os.environ.get("TRAYPROBE_EXE", os.path.join(WIN_BUILD, "tools", "desktop", "trayprobe.exe"))
VCD_DLL_DIR = os.environ.get("VCD_DLL_DIR", os.path.join(WIN_BUILD, "tools", "vcd"))
# The CD audio driver under the program: "vcd", the virtual drive (quick, and it logs every MCI
# command it gets), or "mcicda", Wine's own driver over the faked CD-ROM drive of tools/fakecd
# (someone else's driver, as on a user's machine). Each has its own Wine prefix.
DRIVE = os.environ.get("QEL_DRIVE", "vcd")
if DRIVE not in ("vcd", "mcicda"):
    raise SystemExit("QEL_DRIVE must be vcd or mcicda, not %r" % DRIVE)
WINEPREFIX = os.environ.get("WINEPREFIX", os.path.join(WIN_BUILD, "wineprefix" if DRIVE == "vcd" else "wineprefix-mcicda"))
# The tree's Wine: win64 or win32, and its loader by path (Debian's /usr/bin/wine would take the
# 32-bit loader for every prefix once wine32 is installed).
WINEARCH = os.environ.get("WINEARCH", "win64")
WINE = os.environ.get("QEL_WINE", "/usr/lib/wine/wine64" if WINEARCH == "win64" else "/usr/lib/wine/wine")
HOST_BUILD = os.environ.get("QEL_HOST_BUILD", os.path.join(QEL_ROOT, "build", "host"))
FAKECD_TOOL = os.environ.get("FAKECD_TOOL", os.path.join(HOST_BUILD, "tools", "fakecd", "fakecd"))
FAKECD_LIB = os.environ.get("FAKECD_LIB", os.path.join(HOST_BUILD, "tools", "fakecd", "libfakecd.so"))
# The prefix's drive D: (scripts/prepare-wine --mcicda links it there).
FAKECD_DEVICE = os.path.join(WIN_BUILD, "fakecd", "cdrom")

# The program's command identifiers (WM_COMMAND to its main window) and its tray messages.
CMD_SETTINGS = 40001
CMD_EXIT = 40002
CMD_PLAY = 40003
CMD_STOP = 40004
CMD_PAUSE = 40005
CMD_RESUME = 40006
CMD_NEXT = 40007
CMD_PREVIOUS = 40008
CMD_EJECT = 40009
CMD_CLOSE_TRAY = 40010
CMD_STATUS = 40011
CMD_SELECT_TRACK = 40012
CMD_TRACK_LIST = 40013
WM_TRAY_NOTIFY = 2024
DEFAULT_PORT = 5963
MAIN_CLASS = "QEL"
MAIN_TITLE = "qel"

# Generous deadlines: Wine on a loaded machine is slow, and a deadline only costs time on failure.
START_TIMEOUT = 60.0
REPLY_TIMEOUT = 20.0
WAIT_TIMEOUT = 20.0
EXIT_TIMEOUT = 30.0
POLL_INTERVAL = 0.05

DEFAULT_DISC = {"tracks": "4:05,3:30,5:12,2:47", "disc": 1, "drive": 1, "door": "closed"}

# Sessions not yet closed: a test run that ends abruptly still takes its programs down with it.
_live_sessions = set()


def _close_live_sessions():
    for session in list(_live_sessions):
        session.close()


atexit.register(_close_live_sessions)


class HarnessError(AssertionError):
    """A session could not do what the test asked; the message says what state things were in."""


# ---- display and Wine ----

_display = {"value": None, "xvfb": None}


def _display_works(display):
    try:
        return subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def ensure_display():
    """The X display for Wine: $DISPLAY when it works, else an Xvfb of our own for this process."""
    if _display["value"] is not None:
        return _display["value"]
    display = os.environ.get("DISPLAY")
    if display and _display_works(display):
        _display["value"] = display
        return display
    # Xvfb picks a free display number itself and writes it to the pipe.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        xvfb.kill()
        raise HarnessError("Xvfb did not start")
    _display["value"] = ":" + number
    _display["xvfb"] = xvfb
    atexit.register(_stop_own_display)
    return _display["value"]


def _stop_own_display():
    # Wine's desktop process is bound to the display it started on: end the prefix's server
    # before its display goes, so that the next test process starts on a live one.
    subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    xvfb = _display["xvfb"]
    if xvfb is not None:
        xvfb.terminate()
        try:
            xvfb.wait(10)
        except subprocess.TimeoutExpired:
            xvfb.kill()


def wine_env(extra=None):
    """The environment Wine programs run in: the build tree's prefix, code page 932, a display."""
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": WINEPREFIX,
        "WINEARCH": WINEARCH,
        "WINELOADER": WINE,
        "WINEDEBUG": os.environ.get("WINEDEBUG", "-all"),
        "WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml="),
        "LC_ALL": "ja_JP.UTF-8",
    })
    if _display["value"] is not None:
        env["DISPLAY"] = _display["value"]
    if extra:
        env.update(extra)
    return env


def _ensure_prefix():
    if os.path.exists(os.path.join(WINEPREFIX, "system.reg")) and (DRIVE == "vcd" or os.path.exists(FAKECD_DEVICE)):
        return
    subprocess.run([os.path.join(QEL_ROOT, "scripts", "prepare-wine")] + (["--mcicda"] if DRIVE == "mcicda" else []),
                   check=True, env=dict(os.environ, QEL_WIN_BUILD=WIN_BUILD, WINEPREFIX=WINEPREFIX))


def fakecd(*words):
    """The person at the faked drive (tools/fakecd): door, disc, tracks, speed, failures."""
    result = subprocess.run([FAKECD_TOOL, FAKECD_DEVICE] + list(words), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=60)
    if result.returncode != 0:
        raise HarnessError("fakecd %s: %s" % (" ".join(words), result.stdout.decode("utf-8", "replace")))
    return result.stdout.decode("utf-8", "replace")


# Tests that need the virtual drive (its command log, its completion notice, its settings), and
# tests whose subject does not depend on the driver: both run with the virtual drive only.
vcd_only = unittest.skipUnless(DRIVE == "vcd", "needs the virtual drive")
driver_independent = unittest.skipUnless(DRIVE == "vcd", "does not depend on the CD audio driver")


def _fakecd_words(before, after):
    """What the person at the faked drive does to turn disc settings `before` into `after`
    (keys of the virtual drive's disc.ini, plus spinup, spinup_kind, retry, retries)."""
    words = []
    for key, value in after.items():
        if before.get(key) == value:
            continue
        if key == "tracks":
            words.append("tracks=%s" % value)
        elif key in ("speed", "spinup", "spinup_kind", "retry", "retries"):
            words.append("%s=%s" % (key, value))
        elif key == "fail_plays":
            words.append("fail=play:EIO:%d" % int(value))
        elif key == "fail_all_plays":
            words.append("fail=play:EIO:-1" if int(value) else "fail=none")
        elif key == "drive" and not int(value):
            raise HarnessError("a drive that cannot be opened needs the virtual drive")
    door_was = before.get("door", "closed")
    door = after.get("door", "closed")
    disc_was = int(before.get("disc", 1))
    disc = int(after.get("disc", 1))
    if disc != disc_was:
        # A disc goes in or out through the open door.
        if door_was != "open":
            words.append("open")
        words.append("insert" if disc else "remove")
        if door != "open":
            words.append("close")
    elif door != door_was:
        words.append("open" if door == "open" else "close")
    return words


def start_wine(exe, args=(), cwd=None, extra_env=None, stdin=subprocess.DEVNULL, stdout=None, stderr=None):
    """Starts a Windows program under Wine; the Popen's pid is the program's own Unix process."""
    ensure_display()
    _ensure_prefix()
    return subprocess.Popen([WINE, exe] + list(args), cwd=cwd, env=wine_env(extra_env), stdin=stdin,
                            stdout=stdout, stderr=stderr)


def free_port():
    """A TCP port nobody listens on now (Wine's sockets are the host's)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def refuses(port):
    """Nothing listens on the port: a connection is refused."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(predicate, timeout=WAIT_TIMEOUT, what="the condition", describe=None):
    """Polls predicate until it returns something true and returns that; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            state = ("\n" + describe()) if describe else ""
            raise HarnessError("timed out after %.0f s waiting for %s%s" % (timeout, what, state))
        time.sleep(POLL_INTERVAL)


def _tail(path, lines=20):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    return "\n".join(text.splitlines()[-lines:])


class LineReader:
    """Lines of a pipe, read on a thread, so that reads can have deadlines."""

    def __init__(self, pipe):
        self._lines = queue.Queue()
        self._thread = threading.Thread(target=self._run, args=(pipe,), daemon=True)
        self._thread.start()

    def _run(self, pipe):
        for raw in iter(pipe.readline, b""):
            self._lines.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
        self._lines.put(None)

    def line(self, timeout):
        """The next line, or None at end of file; raises HarnessError after timeout."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            raise HarnessError("no line within %.0f s" % timeout) from None

    def expect(self, prefix, timeout=WAIT_TIMEOUT):
        """Skips lines until one starts with prefix and returns it."""
        deadline = time.monotonic() + timeout
        seen = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError("no line starting %r within %.0f s; saw %r" % (prefix, timeout, seen))
            line = self.line(left)
            if line is None:
                raise HarnessError("output ended before a line starting %r; saw %r" % (prefix, seen))
            if line.startswith(prefix):
                return line
            seen.append(line)


# ---- the test desktop ----

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
            raise HarnessError("desktop.exe did not start: " + _tail(self._stderr)) from None
        if ready is None or not ready.startswith("ok desktop "):
            self.kill()
            raise HarnessError("desktop.exe failed: %r %s" % (ready, _tail(self._stderr)))
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
                raise HarnessError("desktop.exe is gone (%s) before %r: %s" % (e, command, _tail(self._stderr)))
            try:
                line = self._reader.line(timeout)
            except HarnessError:
                # A late reply would be taken for the next command's: no more commands.
                self._broken = "no reply to %r within %.0f s" % (command, timeout)
                raise HarnessError(self._broken) from None
            if line is None:
                raise HarnessError("desktop.exe ended on %r: %s" % (command, _tail(self._stderr)))
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
        """The icon added last: {count, hwnd, id, msg, icon, tip}, or {count: 0}."""
        reply = self.ok("tray")
        head, _, tip = reply.partition(" tip=")
        state = dict(f.split("=", 1) for f in head.split())
        result = {"count": int(state["count"])}
        if result["count"] > 0:
            result.update(hwnd=int(state["hwnd"], 16), id=int(state["id"]), msg=int(state["msg"]),
                          icon=state["icon"], tip=unescape(tip))
        return result

    def events(self):
        """The notification calls since the last call: [{seq, kind, hwnd, id, flags, icon, tip}]."""
        reply = self.ok("events")
        count, _, rest = reply.partition(" ")
        result = []
        for item in rest.split("|") if int(count) > 0 else []:
            seq, kind, hwnd, icon_id, flags, icon, tip = item.split(":", 6)
            result.append({"seq": int(seq), "kind": kind, "hwnd": int(hwnd, 16), "id": int(icon_id),
                           "flags": int(flags), "icon": icon, "tip": unescape(tip)})
        return result

    def click(self, kind="right", x=None, y=None):
        """The shell's callback for a click on the icon; returns the cursor point used."""
        where = "" if x is None else " %d %d" % (x, y)
        fields = dict(f.split("=") for f in self.ok("click %s%s" % (kind, where)).split())
        return int(fields["x"]), int(fields["y"])

    def taskbar_created(self):
        """Forgets the icons, tells every window the taskbar is back; returns the icons added since."""
        return int(self.ok("taskbar-created").split("=")[1])

    # -- windows --

    def find(self, class_name=None, title=None):
        reply = self.ok("find %s %s" % (class_name or "-", escape(title) if title else "-"))
        return [int(h, 16) for h in reply.split()]

    def wait_window(self, class_name=None, title=None, timeout=WAIT_TIMEOUT):
        reply = self("wait-window %d %s %s" % (int(timeout * 1000), class_name or "-",
                                               escape(title) if title else "-"), timeout + REPLY_TIMEOUT)
        if not reply.startswith("ok 0x"):
            raise HarnessError("no window class=%s title=%s within %.0f s (%s)" % (class_name, title, timeout, reply))
        return int(reply.split()[1], 16)

    def info(self, hwnd):
        """{visible, enabled, pid, tid, rect, class, title}, or None when there is no such window."""
        reply = self("info 0x%x" % hwnd)
        if not reply.startswith("ok "):
            return None
        head, _, title = reply[3:].partition(" title=")
        fields = dict(f.split("=", 1) for f in head.split())
        return {"visible": fields["visible"] == "1", "enabled": fields["enabled"] == "1",
                "pid": int(fields["pid"]), "tid": int(fields["tid"]),
                "rect": tuple(int(v) for v in fields["rect"].split(",")),
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

    def menu(self):
        """The open popup menu's window, or None."""
        reply = self.ok("menu")
        return int(reply.split()[1], 16) if reply.startswith("open") else None

    def menu_key(self, key):
        self.ok("menu-key %s" % key)

    def menu_escape(self):
        self.ok("menu-escape")

    def process_stats(self, pid):
        """{threads, handles, private} of a Windows process id."""
        return {k: int(v) for k, v in (f.split("=") for f in self.ok("process %d" % pid).split())}


# ---- the program's TCP port ----

class Client:
    """One TCP connection to the program, as a remote control would make it."""

    def __init__(self, port, timeout=REPLY_TIMEOUT):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self._buffer = b""

    def send_line(self, text, end="\n"):
        self.send_bytes((text + end).encode("cp932"))

    def send_bytes(self, data):
        self.sock.sendall(data)

    def read_reply(self, timeout=REPLY_TIMEOUT):
        """The bytes of the next reply, without its closing "!"."""
        deadline = time.monotonic() + timeout
        while b"!" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError("no reply within %.0f s; got %r" % (timeout, self._buffer))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            if not data:
                raise HarnessError("connection closed; got %r" % self._buffer)
            self._buffer += data
        reply, _, self._buffer = self._buffer.partition(b"!")
        return reply

    def command(self, text, timeout=REPLY_TIMEOUT):
        """send_line then read_reply."""
        self.send_line(text)
        return self.read_reply(timeout)

    def read_until_closed(self, timeout=REPLY_TIMEOUT):
        """Everything until the program closes the connection."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise HarnessError("connection still open after %.0f s; got %r" % (timeout, self._buffer))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except ConnectionResetError:
                data = b""
            if not data:
                data, self._buffer = self._buffer, b""
                return data
            self._buffer += data

    def expect_silence(self, seconds):
        """Fails if any byte arrives within seconds. Only where no later reply can prove the order."""
        if self._buffer:
            raise HarnessError("expected silence, got %r" % self._buffer)
        self.sock.settimeout(seconds)
        try:
            data = self.sock.recv(4096)
        except socket.timeout:
            return
        raise HarnessError("expected silence, got %r" % (self._buffer + data))

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- a session with the real program ----

class Session:
    """qel.exe in a directory of its own, with the test desktop and a virtual disc.

    ini: None writes "[qel]\\r\\nport=<free port>"; a str or bytes is written as qel.ini as it is
    (a str in code page 932); False writes no qel.ini. port: the port to write (None picks a free
    one). disc: keys of disc.ini's [disc] section (default DEFAULT_DISC). wait: "port" waits until
    the port accepts a connection, "tray" until the tray icon is there, None returns at once.
    """

    def __init__(self, ini=None, port=None, disc=None, wait="port", start=True, extra_env=None):
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
        _live_sessions.add(self)
        shutil.copy2(QEL_EXE, self.exe)
        os.mkdir(self.vcd_dir)
        self.drive = DRIVE
        # Only the virtual drive logs the MCI commands it gets.
        self.logs_commands = DRIVE == "vcd"
        self.disc = dict(DEFAULT_DISC if disc is None else disc)
        if DRIVE == "mcicda":
            _ensure_prefix()
            fakecd("create", *_fakecd_words({}, self.disc))
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
            words = _fakecd_words(before, self.disc)
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
        tail = _tail(os.path.join(self.dir, "qel.stderr"))
        if tail:
            lines.append("qel.exe stderr:\n" + tail)
        return "\n".join(lines)
