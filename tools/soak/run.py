"""The run: the program started under Wine on the virtual drive, the actors let loose, the
figures read when they rest after the first minute (half the run, for a shorter one) and at the
end, and the end's own checks: with the actors stopped and the disc in, a new client's status is
answered within FINAL_STATUS_BOUND, the program's threads, handles and private memory are back
near their figures after the first minute, and Exit from the menu ends it."""

import collections
import random
import socket
import threading
import time
import traceback

import harness
from harness import CMD_EXIT

from . import report
from .clients import Clients
from .drive import AT_REST, Drive, Taskbar, put_at_rest
from .invariants import Monitor, compare_stats, steady_stats
from .person import Person
from .protocol import reply_kind
from .record import Record, Violation
from .vanish import VanishingLink

FINAL_STATUS_BOUND = 12.0
EXIT_BOUND = 10.0
# How long the actors may take to finish what they are doing (a client heard out, a vanished one
# let go of, a dialog closed).
REST_TIMEOUT = 180.0
# A port change is under way from the press of OK until a moment after the dialog has gone.
PORT_CHANGE_AFTER = 1.0
# A long run says how far it has got this often.
PROGRESS_EVERY = 300.0


class Soak:

    def __init__(self, seed, seconds, verbose=False, without=()):
        self.record = Record(seed, seconds, verbose)
        self.without = set(without)
        self.session = None
        self.pid = None
        self.monitor = None
        self.actors = []
        self.vanish = VanishingLink(self.record)
        self.quiet_for_vanish = threading.Event()
        self.clients_served = 0
        # The last clients to leave: what they sent is still carried out after they have gone.
        self.clients_left = collections.deque(maxlen=4)
        self.replies_heard = 0
        self.figures_at = {}
        self._lock = threading.Lock()
        self._port_changes = []  # [began, ended or None]
        self._menu_replies = []  # when the person made a choice that is answered to the client
        self._dialog_closes = []  # [began, ended or None, what]
        self._progress = 0

    # -- what the actors share --

    def rng(self, *names):
        """A generator of its own for each actor and client: their choices follow from the seed
        whatever the timing."""
        return random.Random(":".join(str(part) for part in (self.record.seed,) + names))

    def port(self):
        with self._lock:
            return self.session.port

    def set_port(self, port):
        with self._lock:
            self.session.port = port

    def port_change_begin(self):
        entry = [time.monotonic(), None]
        with self._lock:
            self._port_changes.append(entry)
        return entry

    def port_change_end(self, entry):
        with self._lock:
            entry[1] = time.monotonic() + PORT_CHANGE_AFTER

    def port_changed_between(self, began, ended):
        with self._lock:
            return any(start <= ended and (end is None or end >= began) for start, end in self._port_changes)

    def menu_reply(self):
        with self._lock:
            self._menu_replies.append(time.monotonic())

    def menu_replies_between(self, began, ended):
        with self._lock:
            return sum(1 for moment in self._menu_replies if began <= moment <= ended)

    def dialog_close_begin(self, what):
        entry = [time.monotonic(), None, what]
        with self._lock:
            self._dialog_closes.append(entry)
        return entry

    def dialog_close_end(self, entry):
        with self._lock:
            entry[1] = time.monotonic()

    def dialog_close_during(self, began, ended, before, after):
        """What closed around that span of time (a close still under way counts up to now), or None."""
        now = time.monotonic()
        with self._lock:
            for start, end, what in reversed(self._dialog_closes):
                if start - before <= ended and (now if end is None else end) + after >= began:
                    return what
        return None

    def client_done(self, client):
        with self._lock:
            self.clients_left.append(client)

    # -- the run --

    def run(self):
        """Returns 0 when nothing was found, 1 for a violation."""
        record = self.record
        person = None
        if "vanish" not in self.without and self.vanish.make():
            record.note("run", "a vanishing client's namespace %s is ready" % self.vanish.namespace)
        try:
            with harness.Session(disc=dict(AT_REST), wait="tray") as session:
                self.session = session
                try:
                    person = self.start()
                    self.wait_until(min(60.0, record.seconds / 2))
                    self.figures_at["first minute"] = self.rest("after the first minute")
                    record.resume()
                    self.wait_until(record.seconds)
                    self.finish()
                except Violation:
                    pass
                except Exception:
                    try:
                        record.fail("the soak itself failed", traceback.format_exc())
                    except Violation:
                        pass
                finally:
                    self.stop_actors()
                if record.violation:
                    report.violation(self)
                    return 1
                report.summary(self)
                return 0
        finally:
            if person is not None:
                person.release()
            if self.vanish.made:
                self.vanish.remove()

    def start(self):
        session = self.session
        window = session.wait_for(session.main_window, harness.START_TIMEOUT, "the main window")
        self.pid = session.pid()
        self.record.note("run", "qel.exe started (pid %d) on port %d" % (self.pid, session.port))
        self.monitor = Monitor(self)
        self.monitor.start(window)
        person = Person(self, self.rng("person"))
        self.warm_up(person)
        self.actors = [Clients(self, self.rng("clients")), person, Drive(self, self.rng("drive")),
                       Taskbar(self, self.rng("taskbar"))]
        # Left out by hand; the clients stay, as the other actors' work reaches the program through them.
        self.actors = [actor for actor in self.actors if actor.name not in self.without]
        for actor in self.actors:
            if getattr(actor, "thread", None) is None:
                actor.thread = threading.Thread(target=actor.run, name=actor.name, daemon=True)
            actor.thread.start()
        return person

    def warm_up(self, person):
        """Once each what the program and Wine set up when first asked (the menu read from inside
        the program, each dialog, a client), so that the figures after the first minute are those
        of a program that has done everything."""
        session = self.session
        session.click("right")
        session.wait_menu()
        session.desktop.menu_items()
        session.desktop.menu_escape()
        session.wait_menu_closed()
        for command, title in ((harness.CMD_SETTINGS, harness.SETTINGS_TITLE),
                               (harness.CMD_SELECT_TRACK, harness.TRACKS_TITLE)):
            session.command(command)
            dialog = person.wait_visible(title, 30.0)
            if dialog is None:
                self.record.fail("the dialog %r did not open" % title)
            person.close(dialog, "escape", title)
        with session.client() as client:
            if reply_kind(client.command("status")) != "status":
                self.record.fail("the first client's status was no status")
        self.record.note("run", "warmed up: the menu, both dialogs and a client once")

    def wait_until(self, seconds):
        while self.record.now() < seconds:
            if self.record.over.wait(min(1.0, seconds - self.record.now())):
                self.record.check_over()
            minute = int(self.record.now() // PROGRESS_EVERY)
            if minute > self._progress:
                self._progress = minute
                report.progress(self)

    def rest(self, when):
        """Lets the actors finish and rest, the drive at rest; returns the program's figures."""
        record = self.record
        names = [actor.name for actor in self.actors]
        record.note("run", "the actors rest (%s)" % when)
        if not record.pause(names, REST_TIMEOUT):
            record.check_over()
            record.fail("the actors did not come to rest within %.0f s (%s)"
                        % (REST_TIMEOUT, ", ".join(record.waiting_actors(names))))
        put_at_rest(self.session)
        stats = steady_stats(self.session, self.pid, record)
        record.note("run", "figures %s: %r" % (when, stats))
        return stats

    def finish(self):
        record = self.record
        self.figures_at["end"] = self.rest("at the end")
        self.final_status()
        self.figures_at["end"] = compare_stats(self.session, self.pid, record, self.figures_at["first minute"])
        self.monitor_figures = self.monitor.stop()
        if self.monitor_figures["timeouts"] or self.monitor_figures["gone"]:
            record.fail("the watch saw %d timeouts, window gone: %s" % (self.monitor_figures["timeouts"],
                                                                       self.monitor_figures["gone"]))
        how = self.session.choose_command(CMD_EXIT)
        record.action("person", "person: exit", "chooses Exit from the menu (%s)" % how)
        try:
            code = self.session.exit_code(EXIT_BOUND)
        except harness.HarnessError:
            record.fail("the program still runs %.0f s after Exit was chosen" % EXIT_BOUND)
        if code != 0:
            record.fail("the program ended with exit code %d after Exit" % code)

    def final_status(self):
        """With the actors stopped and the disc in, a new client's status within the bound."""
        record = self.record
        port = self.port()
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            connected = time.monotonic()
            sock.sendall(b"status\n")
            sock.settimeout(0.1)
            accepted = None
            data = b""
            while b"!" not in data:
                record.check_over()
                now = time.monotonic()
                if accepted is None and harness.accept_queue(port) == 0:
                    accepted = now
                if accepted is not None and now - accepted > FINAL_STATUS_BOUND:
                    record.fail("at the end, a new client's status was not answered within %.0f s (got %r)"
                                % (FINAL_STATUS_BOUND, data))
                if now - connected > 120:
                    record.fail("at the end, a new client was not accepted within 120 s")
                try:
                    chunk = sock.recv(4096)
                except socket.timeout:
                    continue
                if not chunk:
                    record.fail("at the end, the program closed a new client's connection (got %r)" % data)
                data += chunk
            took = time.monotonic() - max(accepted or connected, connected)
        reply = data.partition(b"!")[0]
        if reply_kind(reply) != "status":
            record.fail("at the end, a new client's status was answered %r" % reply)
        self.final_status_took = took
        record.note("run", "final status %r after %.2f s" % (reply, took))

    def stop_actors(self):
        self.record.end()
        for actor in self.actors:
            if actor.thread is not None and actor.thread.is_alive():
                actor.thread.join(30)
        if self.actors and self.actors[0].__class__ is Clients:
            for client in self.actors[0].running():
                client.thread.join(10)
        if self.monitor is not None and self.monitor.thread.is_alive():
            try:
                self.monitor_figures = self.monitor.stop()
            except harness.HarnessError:
                pass
