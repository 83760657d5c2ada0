"""The program's own vocabulary, read from its headers rather than copied: the command identifiers
(WM_COMMAND to its main window, common/commands.h), its private messages (common/messages.h)
and the default port. A name the harness needs that a header no longer defines stops the import
with a HarnessError that names both.
"""

import os
import re

from .base import QEL_ROOT, HarnessError

__all__ = ["CMD_SETTINGS", "CMD_EXIT", "CMD_PLAY", "CMD_STOP", "CMD_PAUSE", "CMD_RESUME", "CMD_NEXT",
           "CMD_PREVIOUS", "CMD_EJECT", "CMD_CLOSE_TRAY", "CMD_STATUS", "CMD_SELECT_TRACK", "CMD_TRACK_LIST",
           "WM_TRAY_NOTIFY", "WM_CONNECTION_ENDED", "WM_COMMANDS_TAKEN", "DEFAULT_PORT", "MAIN_CLASS", "MAIN_TITLE", "header_constants"]

# `constexpr <type> NAME = <value>;` with a value of numbers and earlier names joined by '+'.
_DEFINITION = re.compile(r"^\s*constexpr\s+[A-Za-z_][\w\s]*?\s(\w+)\s*=\s*([^;]+);", re.MULTILINE)
_NUMBER = re.compile(r"(0[xX][0-9a-fA-F]+|[0-9]+)[uUlL]*")


class HeaderConstants(dict):
    """The integer constants of one header; asking for one it does not define is an error."""

    def __init__(self, path):
        super().__init__()
        self.path = path

    def __missing__(self, name):
        raise HarnessError("%s defines no integer constant %s (constexpr ... %s = <value>;)"
                           % (os.path.relpath(self.path, QEL_ROOT), name, name))


def header_constants(relative_path):
    """The `constexpr` integer constants of a header of the program (a path from the repository's
    root); values may be numbers or sums of earlier constants."""
    path = os.path.join(QEL_ROOT, relative_path)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise HarnessError("cannot read the program's header %s: %s" % (relative_path, e)) from None
    constants = HeaderConstants(path)
    for name, value in _DEFINITION.findall(text):
        total = 0
        for term in value.split("+"):
            term = term.strip()
            number = _NUMBER.fullmatch(term)
            if number:
                total += int(number.group(1), 0)
            elif term in constants:
                total += constants[term]
            else:
                break  # not an integer the harness can work out: leave it out
        else:
            constants[name] = total
    return constants


_commands = header_constants(os.path.join("common", "commands.h"))
_messages = header_constants(os.path.join("common", "messages.h"))

CMD_SETTINGS = _commands["CMD_SETTINGS"]
CMD_EXIT = _commands["CMD_EXIT"]
CMD_PLAY = _commands["CMD_PLAY"]
CMD_STOP = _commands["CMD_STOP"]
CMD_PAUSE = _commands["CMD_PAUSE"]
CMD_RESUME = _commands["CMD_RESUME"]
CMD_NEXT = _commands["CMD_NEXT"]
CMD_PREVIOUS = _commands["CMD_PREVIOUS"]
CMD_EJECT = _commands["CMD_EJECT"]
CMD_CLOSE_TRAY = _commands["CMD_CLOSE_TRAY"]
CMD_STATUS = _commands["CMD_STATUS"]
CMD_SELECT_TRACK = _commands["CMD_SELECT_TRACK"]
CMD_TRACK_LIST = _commands["CMD_TRACK_LIST"]
DEFAULT_PORT = _commands["DEFAULT_PORT"]
WM_TRAY_NOTIFY = _messages["WM_TRAY_NOTIFY"]
WM_CONNECTION_ENDED = _messages["WM_CONNECTION_ENDED"]
WM_COMMANDS_TAKEN = _messages["WM_COMMANDS_TAKEN"]

# How the harness finds the program's hidden main window, as another program would.
MAIN_CLASS = "QEL"
MAIN_TITLE = "qel"
