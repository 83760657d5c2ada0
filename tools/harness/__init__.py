"""End-to-end helpers: start the real qel.exe under Wine and meet it as its users do.

A Session gives each test its own directory with its own copy of qel.exe, its own qel.ini and its
own disc, starts the test desktop (desktop.exe, the stand-in taskbar that sees the tray icon and
drives windows) and then the program, and waits until the program's port accepts connections.
Everything it started is gone when the `with` block ends.

The modules, from the bottom: base (paths, deadlines, waits), program (the ids and the port, read
from the program's headers), drive (QEL_DRIVE: the virtual drive or Wine's driver over the faked
one), wine (prefix, loader, display), desktop (desktop.exe), client (the TCP port), session (with
its halves session_files, session_tray and session_windows).
Everything a test uses is importable from the package itself: `import harness`,
`from harness import Session, Client`. The end-to-end tests and tools/screenshots.py find it in
tools/ (CTest sets PYTHONPATH; a script in tools/ has it beside itself).
"""

from . import base, client, desktop, drive, program, session, wine

# Every module's public names, as the package's own.
__all__ = []
for _module in (base, client, desktop, drive, program, session, wine):
    for _name in _module.__all__:
        globals()[_name] = getattr(_module, _name)
    __all__ += _module.__all__
del _module, _name
