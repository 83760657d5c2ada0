"""Wine for the tree under test: its prefix (made by scripts/prepare-wine when missing), its
loader by path, code page 932, an X display, and the prefix's scale (wine_dpi).

WINEPREFIX and WINEARCH come from the environment (tests/e2e/CMakeLists.txt sets them), QEL_WINE
names the tree's loader: Debian's /usr/bin/wine would take the 32-bit loader for every prefix
once wine32 is installed.
"""

import atexit
import contextlib
import os
import re
import subprocess
import tempfile

from .base import QEL_ROOT, WIN_BUILD, HarnessError, env_path
from .drive import DRIVE, FAKECD_DEVICE

__all__ = ["WINEPREFIX", "WINEARCH", "WINE", "ensure_display", "wine_env", "ensure_prefix", "start_wine",
           "windows_path", "wine_dpi", "prefix_dpi", "restart_prefix", "DEFAULT_DPI", "wine_monitors",
           "wine_without_code_page"]

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
    _display["value"], _display["xvfb"] = _start_xvfb(["-screen", "0", "1280x800x24"])
    atexit.register(_stop_own_display)
    return _display["value"]


def _start_xvfb(options):
    """An Xvfb of our own with these options: its display and its process."""
    # Xvfb picks a free display number itself and writes it to the pipe.
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end)] + options + ["-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        xvfb.kill()
        raise HarnessError("Xvfb did not start")
    return ":" + number, xvfb


def _stop_xvfb(xvfb):
    xvfb.terminate()
    try:
        xvfb.wait(10)
    except subprocess.TimeoutExpired:
        xvfb.kill()


def _stop_own_display():
    # Wine's desktop process is bound to the display it started on: end the prefix's server
    # before its display goes, so that the next test process starts on a live one.
    subprocess.run(["wineserver", "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    if _display["xvfb"] is not None:
        _stop_xvfb(_display["xvfb"])


@contextlib.contextmanager
def wine_monitors(*sizes):
    """Runs the block with the prefix's programs on a display of their own with one monitor of each
    (width, height), the first the primary. Xvfb gives each its own screen, joined by Xinerama;
    without RandR, Wine's X11 driver takes its monitors from Xinerama. Xvfb lays every screen at
    the origin, so the monitors overlap: a point beyond the primary's size is on a later monitor
    only. Entering and leaving restart the prefix, as wine_dpi does: nothing of the prefix may be
    running across either."""
    ensure_prefix()
    options = ["-extension", "RANDR", "+xinerama"]
    for number, (width, height) in enumerate(sizes):
        options += ["-screen", str(number), "%dx%dx24" % (width, height)]
    restart_prefix()
    display, xvfb = _start_xvfb(options)
    before = _display["value"]
    _display["value"] = display
    try:
        yield display
    finally:
        try:
            restart_prefix()
        finally:
            _display["value"] = before
            _stop_xvfb(xvfb)


# Inside wine_without_code_page: the table hidden from the prefix's programs and the empty file
# that stands over it.
_hidden_table = {"table": None, "empty": None}


def wine_env(extra=None):
    """The environment Wine programs run in: the build tree's prefix, code page 932 (1252 inside
    wine_without_code_page), a display."""
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": WINEPREFIX,
        "WINEARCH": WINEARCH,
        "WINELOADER": WINE,
        "WINEDEBUG": os.environ.get("WINEDEBUG", "-all"),
        "WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml="),
        "LC_ALL": "ja_JP.UTF-8" if _hidden_table["table"] is None else "en_US.UTF-8",
    })
    if _display["value"] is not None:
        env["DISPLAY"] = _display["value"]
    if extra:
        env.update(extra)
    return env


def ensure_prefix():
    """Makes the drive's prefix (and the faked drive) with scripts/prepare-wine unless it is there,
    and puts back the scale of a run that ended inside wine_dpi (killed, so its restore never ran)."""
    made = os.path.exists(os.path.join(WINEPREFIX, "system.reg"))
    if not (made and (DRIVE == "vcd" or os.path.exists(FAKECD_DEVICE))):
        options = ["--mcicda"] if DRIVE == "mcicda" else []
        subprocess.run([os.path.join(QEL_ROOT, "scripts", "prepare-wine")] + options, check=True,
                       env=dict(os.environ, QEL_WIN_BUILD=WIN_BUILD, WINEPREFIX=WINEPREFIX))
    if os.path.exists(_DPI_MARK) and not _dpi["inside"]:
        _restore_dpi()


def start_wine(exe, args=(), cwd=None, extra_env=None, stdin=subprocess.DEVNULL, stdout=None, stderr=None):
    """Starts a Windows program under Wine; the Popen's pid is the program's own Unix process."""
    ensure_display()
    ensure_prefix()
    command = [WINE, exe] + list(args)
    if _hidden_table["table"] is not None:
        # A mount namespace of the program's own with the empty file over the table; unshare and
        # the shell exec, so the pid stays the program's.
        command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount --bind "$1" "$2" && shift 2 && exec "$@"', "sh", _hidden_table["empty"],
                   _hidden_table["table"]] + command
    return subprocess.Popen(command, cwd=cwd, env=wine_env(extra_env), stdin=stdin, stdout=stdout, stderr=stderr)


@contextlib.contextmanager
def wine_without_code_page(code_page):
    """Runs the block with the prefix's programs on a Windows without this code page (an English
    XP without the East Asian languages lacks 932): IsValidCodePage says no, and the system's code
    page is 1252. Wine reads a code page's table from its own data files, and its server opens
    them: each program starts in a mount namespace of its own where an empty file stands over the
    table, and the first one starts the server. Needs root. Entering and leaving restart the
    prefix, as wine_dpi does: nothing of the prefix may be running across either."""
    loader = os.path.dirname(os.path.realpath(WINE))
    names = [os.path.join(loader, *[".."] * up, "share", "wine", "nls", "c_%03d.nls" % code_page) for up in range(4)]
    tables = [os.path.normpath(name) for name in names if os.path.isfile(name)]
    if not tables:
        raise HarnessError("no table of code page %d beside Wine (%s)" % (code_page, ", ".join(names)))
    ensure_prefix()
    restart_prefix()
    with tempfile.NamedTemporaryFile(prefix="qel-no-code-page-") as empty:
        _hidden_table.update(table=tables[0], empty=empty.name)
        try:
            yield
        finally:
            try:
                restart_prefix()
            finally:
                _hidden_table.update(table=None, empty=None)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- the prefix's scale ----
#
# Wine's scale is the prefix's HKCU\Control Panel\Desktop LogPixels (without it, the hardware
# profile's 96), and each Wine process reads it once, when it starts; explorer.exe, which draws
# the desktop and the tray, lives as long as the prefix's server. So a new scale means: set the
# value, then end the server and every process of the prefix. A prefix as prepare-wine makes it
# has no value there, and that is what wine_dpi leaves behind.

DEFAULT_DPI = 96
_DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
# Present while the prefix runs at another scale: a run killed inside wine_dpi leaves it behind,
# and the next run's ensure_prefix puts the scale back before it starts anything.
_DPI_MARK = os.path.join(WINEPREFIX, "qel-harness-dpi")
_dpi = {"inside": False}


def _reg(*args):
    """Wine's reg.exe in the prefix; returns its exit code and output."""
    ensure_display()
    process = subprocess.Popen([WINE, "reg"] + list(args), env=wine_env(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        output, _ = process.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise HarnessError("reg %s did not finish within 120 s" % " ".join(args)) from None
    return process.returncode, output.decode("utf-8", "replace")


def prefix_dpi():
    """The scale the prefix's programs start with now."""
    code, output = _reg("query", _DESKTOP_KEY, "/v", "LogPixels")
    found = re.search(r"LogPixels\s+REG_DWORD\s+0x([0-9a-fA-F]+)", output)
    return int(found.group(1), 16) if code == 0 and found else DEFAULT_DPI


def restart_prefix():
    """Ends the prefix's server and every process in it (the program, the test desktop, Wine's
    explorer) and waits until they are gone; the next program starts a server afresh."""
    for option in ("-k", "-w"):
        subprocess.run(["wineserver", option], env=wine_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120)


def _restore_dpi():
    code, output = _reg("delete", _DESKTOP_KEY, "/v", "LogPixels", "/f")
    # 1: there was no value to delete, which is what we want.
    if code not in (0, 1):
        raise HarnessError("could not put the prefix's scale back (reg delete: %s)" % output.strip())
    restart_prefix()
    with contextlib.suppress(FileNotFoundError):
        os.remove(_DPI_MARK)


@contextlib.contextmanager
def wine_dpi(dpi):
    """Runs the block with the prefix at `dpi` dots per inch (96 is 100 %, 120, 144, 192 are 125,
    150 and 200 %), for the programs started inside it. Entering and leaving restart the prefix,
    which ends every program running in it: nothing of the prefix may be running across either.
    Leaving, however the block ends, puts the prefix back at its own scale (96)."""
    if not isinstance(dpi, int) or not DEFAULT_DPI <= dpi <= 480:
        raise HarnessError("wine_dpi takes dots per inch from 96 to 480, not %r" % (dpi,))
    if _dpi["inside"]:
        raise HarnessError("wine_dpi is already changing the prefix's scale")
    ensure_prefix()
    _dpi["inside"] = True
    try:
        with open(_DPI_MARK, "w", encoding="ascii") as mark:
            mark.write("%d\n" % dpi)
        code, output = _reg("add", _DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")
        if code != 0:
            raise HarnessError("could not set the prefix's scale to %d (reg add: %s)" % (dpi, output.strip()))
        restart_prefix()
        yield dpi
    finally:
        try:
            _restore_dpi()
        finally:
            _dpi["inside"] = False
