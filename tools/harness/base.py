"""What every part of the harness uses: where the built programs are, the deadlines, the error a
test sees when the harness cannot do what it asked, and polling against a deadline.

Paths come from the environment that tests/e2e/CMakeLists.txt sets (QEL_ROOT, QEL_WIN_BUILD,
QEL_EXE, DESKTOP_EXE, TRAYPROBE_EXE, VCD_DLL_DIR); without it, from the repository's build trees.
"""

import os
import queue
import threading
import time

__all__ = ["QEL_ROOT", "WIN_BUILD", "HOST_BUILD", "QEL_EXE", "DESKTOP_EXE", "TRAYPROBE_EXE", "VCD_DLL_DIR",
           "START_TIMEOUT", "REPLY_TIMEOUT", "WAIT_TIMEOUT", "EXIT_TIMEOUT", "POLL_INTERVAL",
           "HarnessError", "wait_for", "LineReader"]

HERE = os.path.dirname(os.path.abspath(__file__))


def env_path(variable, default):
    """A path from the environment, or the default, made absolute."""
    # Absolute: programs start in their session's own directory, where a relative path given by
    # hand (QEL_WIN_BUILD=build/windows) would name nothing.
    return os.path.abspath(os.environ.get(variable, default))


QEL_ROOT = env_path("QEL_ROOT", os.path.dirname(os.path.dirname(HERE)))
WIN_BUILD = env_path("QEL_WIN_BUILD", os.path.join(QEL_ROOT, "build", "windows"))
HOST_BUILD = env_path("QEL_HOST_BUILD", os.path.join(QEL_ROOT, "build", "host"))
QEL_EXE = env_path("QEL_EXE", os.path.join(WIN_BUILD, "qel.exe"))
DESKTOP_EXE = env_path("DESKTOP_EXE", os.path.join(WIN_BUILD, "tools", "desktop", "desktop.exe"))
TRAYPROBE_EXE = env_path("TRAYPROBE_EXE", os.path.join(WIN_BUILD, "tools", "desktop", "trayprobe.exe"))
VCD_DLL_DIR = env_path("VCD_DLL_DIR", os.path.join(WIN_BUILD, "tools", "vcd"))

# Generous deadlines: Wine on a loaded machine is slow, and a deadline only costs time on failure.
START_TIMEOUT = 60.0
REPLY_TIMEOUT = 20.0
WAIT_TIMEOUT = 20.0
EXIT_TIMEOUT = 30.0
POLL_INTERVAL = 0.05


class HarnessError(AssertionError):
    """A session could not do what the test asked; the message says what state things were in."""


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


def tail(path, lines=20):
    """The last lines of a log file, for failure messages ("" when there is none)."""
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
