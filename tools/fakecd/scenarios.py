#!/usr/bin/env python3
"""Prints what the program answers in the everyday scenarios and the drive's own events, once
with Wine's CD audio driver over the faked drive and once with the virtual drive, as a Markdown
table side by side.

    tools/fakecd/scenarios.py            both drives (needs a display: run under scripts/test's
                                         Xvfb or set DISPLAY; the harness starts one otherwise)
    QEL_DRIVE=mcicda tools/fakecd/scenarios.py --one   one drive, as JSON lines (used by the above)
"""

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The end-to-end harness: the package tools/harness.
sys.path.insert(0, os.path.dirname(HERE))


def run_one():
    import harness
    from harness import Session, DEFAULT_DISC

    rows = []

    def note(scenario, step, reply):
        if isinstance(reply, bytes):
            reply = reply.decode("cp932", "replace").replace("\n", "\\n") + "!"
        rows.append((scenario, step, reply))

    def ask(session, client, scenario, line, timeout=harness.REPLY_TIMEOUT):
        started = time.monotonic()
        reply = client.command(line, timeout)
        took = time.monotonic() - started
        note(scenario, line + (" (%.1f s)" % took if took >= 1.0 else ""), reply)
        return reply

    def session_with(**disc):
        return Session(disc=dict(DEFAULT_DISC, **disc))

    with session_with() as s, s.client() as c:
        ask(s, c, "start", "status")
        ask(s, c, "start", "select")
        ask(s, c, "play, status after 2 s", "play")
        time.sleep(2)
        ask(s, c, "play, status after 2 s", "status")
        for line in ("3", "next", "previous"):
            ask(s, c, "a track number, next, previous", line)
        for line in ("pause", "status", "resume"):
            ask(s, c, "pause, status, resume", line)
        ask(s, c, "select", "select")
        ask(s, c, "stop", "stop")
        ask(s, c, "stop", "status")
        for line in ("eject", "status", "close", "status"):
            ask(s, c, "eject, close", line)

    for kind in ("absent", "becoming"):
        scenario = "play with the door open, spin-up 3 s (%s)" % kind
        with session_with() as s, s.client() as c:
            ask(s, c, scenario, "eject")
            s.set_disc(door="open", spinup=3000, spinup_kind=kind)
            ask(s, c, scenario, "play", 60)
            ask(s, c, scenario, "status")
            time.sleep(2)
            ask(s, c, scenario, "status")

    scenario = "disc played to its end (10 s at 20x), status, left click"
    with session_with(tracks="0:05,0:05", speed=20) as s, s.client() as c:
        ask(s, c, scenario, "play")
        time.sleep(3)
        ask(s, c, scenario, "status")
        time.sleep(11)  # the tooltip is refreshed every 10 s
        note(scenario, "tooltip after the tick", s.tray()["tip"])
        s.set_disc(speed=1)
        s.click("left")
        time.sleep(1)
        note(scenario, "left click, then tooltip", s.tray()["tip"])
        ask(s, c, scenario, "status")

    scenario = "door opened by hand while playing, then closed"
    with session_with() as s, s.client() as c:
        ask(s, c, scenario, "2")
        s.set_disc(door="open")
        time.sleep(1)
        ask(s, c, scenario, "status")
        s.set_disc(door="closed")
        time.sleep(1)
        ask(s, c, scenario, "status")
        ask(s, c, scenario, "select")

    scenario = "no disc"
    with session_with(disc=0) as s, s.client() as c:
        ask(s, c, scenario, "status")
        ask(s, c, scenario, "play", 60)
        ask(s, c, scenario, "status")
        ask(s, c, scenario, "select")

    for row in rows:
        print(json.dumps(row))


def main():
    if "--one" in sys.argv:
        run_one()
        return
    replies = {}
    order = []
    for drive in ("mcicda", "vcd"):
        env = dict(os.environ, QEL_DRIVE=drive)
        env.pop("WINEPREFIX", None)
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--one"], env=env, check=True,
                             stdout=subprocess.PIPE).stdout.decode("utf-8")
        for index, line in enumerate(out.splitlines()):
            scenario, step, reply = json.loads(line)
            # Steps pair up by their place; the step's text may carry a drive's own duration.
            key = (index, scenario)
            if key not in replies:
                order.append(key)
                replies[key] = {}
            replies[key][drive] = (step, reply)
    print("| scenario | command | Wine's mcicda over the faked drive | virtual drive |")
    print("|---|---|---|---|")
    last = None
    for key in order:
        _, scenario = key
        shown = scenario if scenario != last else ""
        last = scenario
        steps = [replies[key][d][0] for d in ("mcicda", "vcd") if d in replies[key]]
        step = steps[0] if len(set(steps)) == 1 else " / ".join(steps)
        print("| %s | %s | `%s` | `%s` |" % (shown, step, replies[key].get("mcicda", ("", ""))[1],
                                            replies[key].get("vcd", ("", ""))[1]))

if __name__ == "__main__":
    main()
