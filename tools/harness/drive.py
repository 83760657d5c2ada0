"""The CD audio driver under the program, a parameter of the whole run (QEL_DRIVE): "vcd", the
virtual drive (quick, and it logs every MCI command it gets), or "mcicda", Wine's own driver over
the faked CD-ROM drive of tools/fakecd (someone else's driver, as on a user's machine). Each has
its own Wine prefix. Here too: the person at the faked drive, and the disc both drives start with.
"""

import os
import subprocess
import unittest

from .base import HOST_BUILD, WIN_BUILD, HarnessError, env_path

__all__ = ["DRIVE", "FAKECD_TOOL", "FAKECD_LIB", "FAKECD_DEVICE", "DEFAULT_DISC", "fakecd", "fakecd_words",
           "vcd_only", "driver_independent"]

DRIVE = os.environ.get("QEL_DRIVE", "vcd")
if DRIVE not in ("vcd", "mcicda"):
    raise SystemExit("QEL_DRIVE must be vcd or mcicda, not %r" % DRIVE)
FAKECD_TOOL = env_path("FAKECD_TOOL", os.path.join(HOST_BUILD, "tools", "fakecd", "fakecd"))
FAKECD_LIB = env_path("FAKECD_LIB", os.path.join(HOST_BUILD, "tools", "fakecd", "libfakecd.so"))
# The prefix's drive D: (scripts/prepare-wine --mcicda links it there).
FAKECD_DEVICE = os.path.join(WIN_BUILD, "fakecd", "cdrom")

# Keys of the virtual drive's disc.ini [disc] section.
DEFAULT_DISC = {"tracks": "4:05,3:30,5:12,2:47", "disc": 1, "drive": 1, "door": "closed"}

# Tests that need the virtual drive (its command log, its completion notice, its settings), and
# tests whose subject does not depend on the driver: both run with the virtual drive only.
vcd_only = unittest.skipUnless(DRIVE == "vcd", "needs the virtual drive")
driver_independent = unittest.skipUnless(DRIVE == "vcd", "does not depend on the CD audio driver")


def fakecd(*words):
    """The person at the faked drive (tools/fakecd): door, disc, tracks, speed, failures."""
    result = subprocess.run([FAKECD_TOOL, FAKECD_DEVICE] + list(words), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=60)
    if result.returncode != 0:
        raise HarnessError("fakecd %s: %s" % (" ".join(words), result.stdout.decode("utf-8", "replace")))
    return result.stdout.decode("utf-8", "replace")


def fakecd_words(before, after):
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
