"""scripts/soak [MINUTES] [--seed N] [--verbose] [--without ACTOR]: runs the soak; exit code 0 when nothing was found, 1 for a
violation (the printout says which, and how to run it again with the same choices)."""

import argparse
import signal
import sys
import time

from .run import Soak


def main():
    parser = argparse.ArgumentParser(prog="scripts/soak", description="A long seeded random run of qel.exe with "
                                     "its invariants checked all through.")
    parser.add_argument("minutes", nargs="?", type=float, default=1.0, help="how long the actors run (default 1)")
    parser.add_argument("--seed", type=int, default=None, help="the actors' seed (default: from the clock)")
    parser.add_argument("--verbose", action="store_true", help="print every action as it happens")
    parser.add_argument("--without", action="append", default=[], choices=["drive", "taskbar", "person", "vanish"],
                        help="leave an actor out, to narrow a violation down (repeatable)")
    args = parser.parse_args()
    if args.minutes <= 0:
        parser.error("MINUTES must be more than 0")
    # CTest's time limit and a kill by hand end the run as Ctrl-C does: the program, the desktop
    # and the vanishing client's namespace are taken down on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    seed = args.seed if args.seed is not None else int(time.time() * 1000) % 1000000000
    print("soak: %g minute(s), seed %d%s" % (args.minutes, seed, "" if args.seed is not None else " (from the clock)"),
          flush=True)
    return Soak(seed, args.minutes * 60.0, args.verbose, set(args.without)).run()


if __name__ == "__main__":
    sys.exit(main())
