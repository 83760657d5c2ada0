"""What the run keeps and tells: the clock, the actions as they happen (the last ones are printed
with a violation), counts per kind, figures, and the run's phases (running, paused while the
figures are read, over). A violation stops every actor at its next step."""

import collections
import threading
import time


class Violation(Exception):
    """An invariant did not hold; the record has the details."""


class Record:

    def __init__(self, seed, seconds, verbose=False):
        self.seed = seed
        self.verbose = verbose
        self.seconds = seconds
        self.t0 = time.monotonic()
        self._lock = threading.Lock()
        self._actions = collections.deque(maxlen=60)
        self.counts = collections.Counter()
        self.figures = {}
        self.violation = None  # (when, what, details)
        self.over = threading.Event()
        # Set while the actors are to stop at their next step (a pause, the end, a violation).
        self.interrupt = threading.Event()
        self._paused = threading.Condition(self._lock)
        self._pausing = False
        self._idle = set()

    def now(self):
        return time.monotonic() - self.t0

    # -- actions --

    def action(self, actor, kind, text):
        """Something an actor did; counted under kind."""
        with self._lock:
            self.counts[kind] += 1
        self.note(actor, text)

    def note(self, actor, text):
        with self._lock:
            entry = (self.now(), actor, text)
            self._actions.append(entry)
            if self.verbose:
                print("  %7.1f  %-10s %s" % entry, flush=True)

    def last_actions(self):
        with self._lock:
            return list(self._actions)

    def peak(self, name, value, where=""):
        """Keeps the largest value seen under name, with where it was seen."""
        with self._lock:
            if name not in self.figures or value > self.figures[name][0]:
                self.figures[name] = (value, where)

    # -- violations --

    def fail(self, what, details=""):
        """Records the first violation, stops the run and raises Violation in the caller."""
        with self._lock:
            if self.violation is None:
                self.violation = (self.now(), what, details)
        self.over.set()
        self.interrupt.set()
        with self._paused:
            self._paused.notify_all()
        raise Violation(what)

    def check_over(self):
        """Raises Violation in an actor once another has found one."""
        if self.violation is not None:
            raise Violation(self.violation[1])

    # -- phases --

    def sleep(self, seconds):
        """Waits; False when the actors are to stop meanwhile."""
        return not self.interrupt.wait(seconds)

    def gate(self, actor):
        """Between two actions: waits while the run is paused; False once it is over."""
        with self._paused:
            while self._pausing and not self.over.is_set():
                self._idle.add(actor)
                self._paused.notify_all()
                self._paused.wait(0.5)
            self._idle.discard(actor)
        return not self.over.is_set()

    def pause(self, actors, timeout):
        """Stops the actors at their next step and waits until each is idle; True when all are."""
        deadline = time.monotonic() + timeout
        with self._paused:
            self._pausing = True
            self.interrupt.set()
            while not set(actors) <= self._idle and not self.over.is_set():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._paused.wait(min(left, 0.5))
        return not self.over.is_set()

    def waiting_actors(self, actors):
        with self._paused:
            return sorted(set(actors) - self._idle)

    def resume(self):
        with self._paused:
            self._pausing = False
            self.interrupt.clear()
            self._paused.notify_all()

    def end(self):
        """The actors stop for good."""
        self.over.set()
        self.interrupt.set()
        with self._paused:
            self._paused.notify_all()
