"""The person at the drive and the session around the program: the disc taken out and put back
(now and then another disc), the door opened and closed by hand, slow loads, failing plays, other
speeds (the virtual drive's disc.ini); and now and then the taskbar restarting (TaskbarCreated),
after which the icon must be back."""

import time
import traceback

from .clients import weighted
from .record import Violation

# Discs of ten tracks at most, each shorter than ten minutes (protocol.LIST_REPLY_MAX).
DISCS = ["4:05,3:30,5:12,2:47", "0:40,0:35", "3:12,4:44,2:05,5:55,1:30,3:33,4:04,2:22,6:06,3:21", "9:59"]
# The drive's state at the start and whenever the run reads the program's figures.
AT_REST = {"tracks": DISCS[0], "disc": 1, "drive": 1, "door": "closed", "load_ms": 0, "fail_plays": 0, "speed": 1}
ICON_BACK_BOUND = 10.0


class Drive:

    name = "drive"

    def __init__(self, soak, rng):
        self.soak = soak
        self.record = soak.record
        self.session = soak.session
        self.rng = rng
        self.thread = None

    def run(self):
        try:
            while self.record.gate(self.name):
                if self.record.sleep(self.rng.uniform(1.0, 8.0)):
                    self.step()
        except Violation:
            pass
        except Exception:
            try:
                self.record.fail("the soak itself failed at the drive", traceback.format_exc())
            except Violation:
                pass

    def step(self):
        disc = self.session.disc
        change = weighted(self.rng, [("disc", 25), ("door", 20), ("load", 20), ("fail", 15), ("speed", 10)])
        if change == "disc":
            if int(disc["disc"]):
                keys, text = {"disc": 0}, "takes the disc out"
            else:
                tracks = self.rng.choice(DISCS)
                keys, text = {"disc": 1, "tracks": tracks}, "puts a disc in (%s)" % tracks
        elif change == "door":
            door = "closed" if disc["door"] == "open" else "open"
            keys, text = {"door": door}, "%s the door by hand" % ("opens" if door == "open" else "closes")
        elif change == "load":
            load = self.rng.choice([0, 0, 500, 1500, 3000, 5000])
            keys, text = {"load_ms": load}, "makes loads take %d ms" % load
        elif change == "fail":
            count = self.rng.randint(0, 3)
            keys, text = {"fail_plays": count}, "makes the next %d play(s) fail" % count
        else:
            speed = self.rng.choice([1, 1, 5, 30, 100])
            keys, text = {"speed": speed}, "runs %d times as fast" % speed
        self.record.action(self.name, "drive: " + change, text)
        self.session.set_disc(**keys)


def put_at_rest(session):
    """The disc in, the door closed, nothing slow or failing."""
    session.set_disc(**AT_REST)


class Taskbar:

    name = "taskbar"

    def __init__(self, soak, rng):
        self.soak = soak
        self.record = soak.record
        self.session = soak.session
        self.rng = rng
        self.thread = None

    def run(self):
        try:
            while self.record.gate(self.name):
                if self.record.sleep(self.rng.uniform(10.0, 60.0)):
                    self.restart()
        except Violation:
            pass
        except Exception:
            try:
                self.record.fail("the soak itself failed at the taskbar", traceback.format_exc())
            except Violation:
                pass

    def restart(self):
        self.record.action(self.name, "taskbar restarts", "the taskbar restarts (TaskbarCreated)")
        added = self.session.desktop.taskbar_created()
        deadline = time.monotonic() + ICON_BACK_BOUND
        while not added and self.session.tray()["count"] == 0:
            self.record.check_over()
            if time.monotonic() > deadline:
                self.record.fail("the icon was not back %.0f s after the taskbar restarted" % ICON_BACK_BOUND)
            time.sleep(0.1)
