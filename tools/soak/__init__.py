"""The soak: the real qel.exe under Wine on the virtual drive for minutes or hours, with seeded
random actors (clients, the person at the machine, the drive, the taskbar) and the invariants
checked all through and at the end. `scripts/soak [MINUTES] [--seed N]`; README.md says more.

Modules, one concern each: record (the clock, the actions, the phases, violations), protocol
(the model of the line protocol and the replies' check), clients and vanish (the clients), person,
drive (the drive and the taskbar), invariants (what is watched from outside the program), run
(the run itself), report (what is printed). The program and the test desktop are met only
through the harness (tools/harness).
"""
