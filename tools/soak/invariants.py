"""The invariants checked all through from outside the program: it lives, and its main window
answers WM_NULL from another program (the test desktop's watch) within ANSWER_BOUND; and the
program's threads, handles and private memory, read when the actors rest.

Under Xvfb, closing a dialog keeps the main thread about 2 s: Wine's X11 driver waits for a
window manager to confirm that the window is hidden, and the test display has none (Windows has
no such wait). The watch reports every slow answer with the moment it began; an answer that
overlaps a close the person made (person.py tells the run) is set apart, counted and bounded by
DIALOG_CLOSE_BOUND instead, and every other one is held to ANSWER_BOUND.
"""

import threading
import time
import traceback

from .record import Violation

ANSWER_BOUND_MS = 500.0
DIALOG_CLOSE_BOUND_MS = 3000.0
# The watch keeps answers at least this slow, to be judged here.
SLOW_MS = 200
# Around a close: the moment it began is taken just before the press, the end when the window is
# seen gone; the watch's clock is placed on the run's to within a desktop round trip.
CLOSE_MARGIN_BEFORE = 0.2
CLOSE_MARGIN_AFTER = 0.5
# The program's figures once the actors rest: threads as many as then, a few handles more at
# most (Wine's own bookkeeping), private memory a little more at most.
HANDLE_SLACK = 8
PRIVATE_SLACK = 2 * 1024 * 1024


class Monitor:

    name = "monitor"

    def __init__(self, soak):
        self.soak = soak
        self.record = soak.record
        self.session = soak.session
        self.desktop = soak.session.desktop
        self.pings = 0
        self.set_apart = []  # (when, ms, what closed)
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.run, name=self.name, daemon=True)

    def start(self, window):
        self.desktop.watch(window, SLOW_MS)
        self.thread.start()

    def stop(self):
        """Ends the watch; returns its figures."""
        self.stopped.set()
        self.thread.join()
        return self.desktop.watch_end()

    def run(self):
        try:
            last_watch = 0.0
            while not self.stopped.is_set() and not self.record.over.is_set():
                if not self.session.running():
                    self.record.fail("the program ended (exit code %s) and nobody chose Exit"
                                     % self.session.process.returncode)
                if time.monotonic() - last_watch >= 1.0:
                    last_watch = time.monotonic()
                    self.judge_answers()
                self.stopped.wait(0.25)
        except Violation:
            pass
        except Exception:
            try:
                self.record.fail("the soak itself failed in the monitor", traceback.format_exc())
            except Violation:
                pass

    def judge_answers(self):
        before = time.monotonic()
        now_ms, pings, count, answers = self.desktop.watch_slow()
        after = time.monotonic()
        self.pings = pings
        # The desktop's now_ms is some moment of that round trip.
        reply_at = (before + after) / 2
        if count > len(answers):
            self.record.note(self.name, "%d slow answers not listed by the watch" % (count - len(answers)))
        for began_ms, took_ms in answers:
            began = reply_at - (now_ms - began_ms) / 1000.0
            self.judge(began, took_ms)

    def judge(self, began, took_ms):
        ended = began + took_ms / 1000.0
        when = began - self.record.t0
        close = self.soak.dialog_close_during(began, ended, CLOSE_MARGIN_BEFORE, CLOSE_MARGIN_AFTER)
        if close is not None:
            self.set_apart.append((when, took_ms, close))
            self.record.peak("slowest WM_NULL answer at a dialog's close (ms)", took_ms, "at %.1f s" % when)
            if took_ms > DIALOG_CLOSE_BOUND_MS:
                self.record.fail("the main window took %.0f ms to answer WM_NULL at %.1f s, across the close of %s "
                                 "(bound there %.0f ms)" % (took_ms, when, close, DIALOG_CLOSE_BOUND_MS))
            return
        self.record.peak("slowest WM_NULL answer (ms)", took_ms, "at %.1f s" % when)
        if took_ms > ANSWER_BOUND_MS:
            self.record.fail("the main window took %.0f ms to answer WM_NULL at %.1f s (bound %.0f ms)"
                             % (took_ms, when, ANSWER_BOUND_MS))


def steady_stats(session, pid, record, timeout=60.0):
    """The program's {threads, handles, private} once two readings a second apart agree on the
    threads and handles."""
    readings = []
    deadline = time.monotonic() + timeout
    while True:
        stats = session.desktop.process_stats(pid)
        readings.append(stats)
        if len(readings) >= 2 and (readings[-1]["threads"], readings[-1]["handles"]) == (
                readings[-2]["threads"], readings[-2]["handles"]):
            return stats
        if time.monotonic() > deadline:
            record.fail("the program's threads and handles did not settle within %.0f s" % timeout,
                        "readings: %r" % readings[-10:])
        time.sleep(1.0)


def compare_stats(session, pid, record, baseline, timeout=60.0):
    """Waits until the program is back at its baseline's threads and (nearly) handles; fails with
    the last reading after timeout, or when private memory grew past the slack. Returns it."""
    deadline = time.monotonic() + timeout
    while True:
        stats = session.desktop.process_stats(pid)
        back = stats["threads"] == baseline["threads"] and stats["handles"] <= baseline["handles"] + HANDLE_SLACK
        if back or time.monotonic() > deadline:
            break
        time.sleep(1.0)
    if not back:
        record.fail("the program holds %d threads and %d handles at the end, %d and %d after the first minute "
                    "(slack: 0 threads, %d handles)" % (stats["threads"], stats["handles"], baseline["threads"],
                                                       baseline["handles"], HANDLE_SLACK))
    if stats["private"] > baseline["private"] + PRIVATE_SLACK:
        record.fail("the program's private memory grew from %d to %d KiB (slack %d KiB)"
                    % (baseline["private"] // 1024, stats["private"] // 1024, PRIVATE_SLACK // 1024))
    return stats
