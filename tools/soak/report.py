"""What the run prints: on a violation, the seed to run it again, what did not hold, the last
actions, the clients of the moment, and the program's state (its windows, tray, figures, the
drive's settings and the end of its command log); otherwise the run's figures."""

import re

import harness

from .invariants import SLOW_MS

VCD_LOG_LINES = 30


def _print(text=""):
    print(text, flush=True)


def again(soak):
    return "scripts/soak %g --seed %d" % (soak.record.seconds / 60.0, soak.record.seed)


def violation(soak):
    record = soak.record
    when, what, details = record.violation
    _print("")
    _print("soak: VIOLATION after %.1f s (seed %d): %s" % (when, record.seed, what))
    if details:
        _print(details)
    _print("again, with the same choices: " + again(soak))
    _print("")
    _print("last actions (seconds since the start):")
    for moment, actor, text in record.last_actions():
        _print("  %7.1f  %-10s %s" % (moment, actor, text))
    clients = soak.actors[0].running() if soak.actors and soak.actors[0].name == "clients" else []
    if clients:
        _print("clients still there:")
        for client in clients:
            _print("  " + client.describe().replace("\n", "\n  "))
    left = [client for client in list(soak.clients_left) if client not in clients]
    if left:
        _print("the last clients to leave (what they sent is carried out after they have gone):")
        for client in left:
            _print("  " + client.describe().replace("\n", "\n  "))
    _print("the program:")
    _print("  " + program_state(soak).replace("\n", "\n  "))
    _print("")
    _print("soak: FAILED (seed %d)" % record.seed)


def program_state(soak):
    session = soak.session
    if session is None:
        return "not started"
    lines = []
    try:
        lines.append(session.describe())
    except harness.HarnessError as e:
        lines.append("(the desktop could not describe it: %s)" % e)
    if soak.pid and session.running():
        try:
            lines.append("figures now: %r" % session.desktop.process_stats(soak.pid))
        except harness.HarnessError as e:
            lines.append("figures: %s" % e)
    for name, stats in soak.figures_at.items():
        lines.append("figures %s: %r" % (name, stats))
    lines.append("port %d; the drive: %s" % (session.port, " ".join("%s=%s" % kv for kv in session.disc.items())))
    lines.append("the drive's last commands (repeats counted):")
    lines.extend("  " + line for line in condensed_log(session.vcd_log()))
    return "\n".join(lines)


def condensed_log(lines):
    """The end of the drive's command log, each run of lines alike (but for the device and the
    callback) as one line with its count: a play tried a hundred times reads as one line."""
    runs = []
    for line in lines[-2000:]:
        key = re.sub(r" (dev|callback)=\S+", "", line)
        if runs and runs[-1][0] == key:
            runs[-1][1] += 1
        else:
            runs.append([key, 1])
    return ["%s%s" % (key, "  (x%d)" % count if count > 1 else "") for key, count in runs[-VCD_LOG_LINES:]]


def summary(soak):
    record = soak.record
    _print("")
    _print("soak: %.0f s, seed %d: nothing found" % (record.now(), record.seed))
    kinds = sorted(record.counts.items())
    _print("actions: " + ", ".join("%s %d" % kv for kv in kinds))
    _print("clients served: %d, replies heard: %d" % (soak.clients_served, soak.replies_heard))
    if "slowest WM_NULL answer (ms)" not in record.figures:
        _print("slowest WM_NULL answer (ms): under %d, apart from dialogs' closes" % SLOW_MS)
    for name, (value, where) in sorted(record.figures.items()):
        _print("%s: %.2f (%s)" % (name, value, where))
    figures = getattr(soak, "monitor_figures", None)
    if figures:
        _print("WM_NULL: %d answers, slowest %.1f ms of all; %d set apart at a dialog's close"
               % (figures["pings"], figures["slowest_ms"], len(soak.monitor.set_apart)))
    if hasattr(soak, "final_status_took"):
        _print("final status answered after %.2f s" % soak.final_status_took)
    for name, stats in soak.figures_at.items():
        _print("program %s: threads %d, handles %d, private %d KiB"
               % (name, stats["threads"], stats["handles"], stats["private"] // 1024))
    _print("again, with the same choices: " + again(soak))


def progress(soak):
    record = soak.record
    _print("soak: %.0f min: %d clients served, %d replies heard, %d actions, nothing found yet"
           % (record.now() / 60, soak.clients_served, soak.replies_heard, sum(record.counts.values())))
