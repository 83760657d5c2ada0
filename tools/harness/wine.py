"""Wine for the tree under test: its prefix (made by scripts/prepare-wine when missing), its
loader by path, code page 932, and an X display.

WINEPREFIX and WINEARCH come from the environment (tests/e2e/CMakeLists.txt sets them), QEL_WINE
names the tree's loader: Debian's /usr/bin/wine would take the 32-bit loader for every prefix
once wine32 is installed.
"""

import atexit
import os
import subprocess

from .base import QEL_ROOT, WIN_BUILD, HarnessError, env_path
from .drive import DRIVE, FAKECD_DEVICE

__all__ = ["WINEPREFIX", "WINEARCH", "WINE", "ensure_display", "wine_env", "ensure_prefix", "start_wine",
           "windows_path"]

WINEPREFIX = env_path("WINEPREFIX", os.path.join(WIN_BUILD, "wineprefix" if DRIVE == "vcd" else "wineprefix-mcicda"))
WINEARCH = os.environ.get("WINEARCH", "win64")
WINE = os.environ.get("QEL_WINE", "/usr/lib/wine/wine64" if WINEARCH == "win64" else "/usr/lib/wine/wine")

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


def ensure_prefix():
    """Makes the drive's prefix (and the faked drive) with scripts/prepare-wine unless it is there."""
    if os.path.exists(os.path.join(WINEPREFIX, "system.reg")) and (DRIVE == "vcd" or os.path.exists(FAKECD_DEVICE)):
        return
    subprocess.run([os.path.join(QEL_ROOT, "scripts", "prepare-wine")] + (["--mcicda"] if DRIVE == "mcicda" else []),
                   check=True, env=dict(os.environ, QEL_WIN_BUILD=WIN_BUILD, WINEPREFIX=WINEPREFIX))


def start_wine(exe, args=(), cwd=None, extra_env=None, stdin=subprocess.DEVNULL, stdout=None, stderr=None):
    """Starts a Windows program under Wine; the Popen's pid is the program's own Unix process."""
    ensure_display()
    ensure_prefix()
    return subprocess.Popen([WINE, exe] + list(args), cwd=cwd, env=wine_env(extra_env), stdin=stdin,
                            stdout=stdout, stderr=stderr)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")
