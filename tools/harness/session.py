"""A session with the real program: qel.exe in a directory of its own, with the test desktop and a
disc in the drive the run uses. Nothing here sleeps to synchronise: every wait polls a condition
against a deadline. The session's files, tray icon and windows are in session_files,
session_tray and session_windows.
"""

import atexit
import os
import shutil
import socket
import subprocess
import tempfile

from .base import EXIT_TIMEOUT, QEL_EXE, REPLY_TIMEOUT, START_TIMEOUT, HarnessError
from .client import Client, free_port
from .desktop import Desktop
from .drive import DEFAULT_DISC, DRIVE, FAKECD_DEVICE, FAKECD_LIB, fakecd, fakecd_words
from .program import CMD_EXIT, DEFAULT_PORT
from .session_files import SessionFiles
from .session_tray import SessionTray
from .session_windows import SessionWindows
from .wine import ensure_prefix, start_wine, windows_path, wine_dpi

__all__ = ["Session"]

# Sessions not yet closed: a test run that ends abruptly still takes its programs down with it.
_live_sessions = set()


def _close_live_sessions():
    for session in list(_live_sessions):
        session.close()


atexit.register(_close_live_sessions)


class Session(SessionFiles, SessionTray, SessionWindows):
    """qel.exe in a directory of its own, with the test desktop and a virtual disc. Its lifetime and
    its port are here; its files, tray icon and windows are the halves it is made of.

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

    # -- TCP --

    def client(self, timeout=REPLY_TIMEOUT):
        return Client(self.port, timeout)
