"""The program's own vocabulary, read from its sources rather than copied: the command identifiers
(common/commands.h), the main window's class and title and its private messages
(common/messages.h), the default port, the dialogs' control identifiers (res/resource.h), their
captions (res/qel.rc), the message boxes' title (res/texts.h), where each command sits in the
tray menu (ui/tray_menu.cpp), and the line protocol's keywords and reply words
(server/line_protocol.h, player/texts.h). A name the harness needs that a source no longer defines stops the
import with a HarnessError that names both.
"""

import os
import re

from .base import QEL_ROOT, HarnessError

# Every CMD_ identifier of common/commands.h is exported too (below): a new command needs no line here.
__all__ = ["WM_TRAY_NOTIFY", "WM_CONNECTION_ENDED", "WM_COMMANDS_TAKEN", "WM_CLIENT_COMMAND", "DEFAULT_PORT",
           "MAIN_CLASS", "MAIN_TITLE", "IDD_SETTINGS", "IDD_SELECT_TRACK", "IDC_PORT", "IDC_PORT_LABEL", "IDC_HOST",
           "IDC_TRACKS", "IDOK", "SETTINGS_TITLE", "TRACKS_TITLE", "ERROR_TITLE", "MENU_POSITIONS",
           "KEYWORDS", "LINE_BUFFER_SIZE", "TELNET_SUBNEGOTIATION_MAX", "STATUS_WORDS",
           "header_constants", "header_texts", "resource_ids"]

# `constexpr <type> NAME = <value>;` with a value of numbers and earlier names joined by '+'.
_DEFINITION = re.compile(r"^\s*constexpr\s+[A-Za-z_][\w\s]*?\s(\w+)\s*=\s*([^;]+);", re.MULTILINE)
_NUMBER = re.compile(r"(0[xX][0-9a-fA-F]+|[0-9]+)[uUlL]*")
# `constexpr char NAME[] = "<ASCII text>";`
_TEXT = re.compile(r'^\s*constexpr\s+(?:const\s+)?char\s+(\w+)\[\]\s*=\s*"([\x20-\x21\x23-\x5b\x5d-\x7e]*)";', re.MULTILINE)
# `#define NAME <number>`, as resource.h gives the resource compiler its identifiers.
_RESOURCE = re.compile(r"^\s*#\s*define\s+(\w+)\s+([0-9]+)\s*$", re.MULTILINE)
# `IDD_NAME DIALOGEX ...` and, lines later, its `CAPTION "<text>"` (res/qel.rc is UTF-8).
_CAPTION = re.compile(r'^(\w+)\s+DIALOGEX\b[^\n]*\n(?:(?!BEGIN)[^\n]*\n)*?CAPTION\s+"([^"]*)"', re.MULTILINE)
# `{"play", 4, CMD_PLAY},`: a keyword of the line protocol, the bytes compared, its command.
_KEYWORD = re.compile(r'^\s*\{"(\w+)",\s*([0-9]+),\s*(CMD_\w+)\},', re.MULTILINE)
# The tray menu's items and separators, in the order build_tray_menu appends them.
_MENU_ENTRY = re.compile(r"append_menu_item\(menu,\s*(CMD_\w+)|(MF_SEPARATOR)|(\}\s*else\s*\{)")


class HeaderConstants(dict):
    """The constants of one header; asking for one it does not define is an error."""

    def __init__(self, path, form="constexpr ... %s = <value>;"):
        super().__init__()
        self.path = path
        self.form = form

    def __missing__(self, name):
        raise HarnessError("%s defines no constant %s (%s)"
                           % (os.path.relpath(self.path, QEL_ROOT), name, self.form % name))


def _read_header(relative_path):
    path = os.path.join(QEL_ROOT, relative_path)
    try:
        with open(path, encoding="utf-8") as f:
            return path, f.read()
    except OSError as e:
        raise HarnessError("cannot read the program's header %s: %s" % (relative_path, e)) from None


def header_constants(relative_path):
    """The `constexpr` integer constants of a header of the program (a path from the repository's
    root); values may be numbers or sums of earlier constants."""
    path, text = _read_header(relative_path)
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


def header_texts(relative_path):
    """The `constexpr char NAME[] = "...";` ASCII texts of a header of the program, without escapes."""
    path, text = _read_header(relative_path)
    texts = HeaderConstants(path, 'constexpr char %s[] = "...";')
    texts.update(_TEXT.findall(text))
    return texts


def resource_ids(relative_path=os.path.join("res", "resource.h")):
    """The numeric `#define`s of the resource header: icon, dialog and control identifiers."""
    path, text = _read_header(relative_path)
    ids = HeaderConstants(path, "#define %s <number>")
    ids.update((name, int(value)) for name, value in _RESOURCE.findall(text))
    return ids


def dialog_captions(relative_path=os.path.join("res", "qel.rc")):
    """The caption of each dialog template of the resource script, by its identifier's name."""
    path, text = _read_header(relative_path)
    captions = HeaderConstants(path, '%s DIALOGEX ... CAPTION "..."')
    captions.update(_CAPTION.findall(text))
    return captions


def menu_positions(relative_path=os.path.join("ui", "tray_menu.cpp")):
    """Where each command sits in the tray menu, counted from 0 with the separators: the items of
    an if and its else (pause or resume, eject or close) share their place."""
    path, text = _read_header(relative_path)
    body = text[text.find("build_tray_menu("):]
    body = body[:body.find("\n}\n")]
    positions = HeaderConstants(path, "append_menu_item(menu, %s, ...) in build_tray_menu")
    index = -1
    shares_place = False
    for command, separator, other_branch in _MENU_ENTRY.findall(body):
        if other_branch:
            shares_place = True
            continue
        if not shares_place:
            index += 1
        shares_place = False
        if command:
            positions[_commands[command]] = index
    return positions


_commands = header_constants(os.path.join("common", "commands.h"))
_messages = header_constants(os.path.join("common", "messages.h"))
_window = header_texts(os.path.join("common", "messages.h"))
_resources = resource_ids()
_captions = dialog_captions()
_texts = header_texts(os.path.join("res", "texts.h"))
_protocol_path = os.path.join("server", "line_protocol.h")
_protocol = header_constants(_protocol_path)
_status_words = header_texts(os.path.join("player", "texts.h"))

# The command identifiers, each under its own name (CMD_PLAY, CMD_EXIT, ...).
_command_ids = {name: value for name, value in _commands.items() if name.startswith("CMD_")}
globals().update(_command_ids)
__all__ += sorted(_command_ids)

DEFAULT_PORT = _commands["DEFAULT_PORT"]
WM_TRAY_NOTIFY = _messages["WM_TRAY_NOTIFY"]
WM_CONNECTION_ENDED = _messages["WM_CONNECTION_ENDED"]
WM_COMMANDS_TAKEN = _messages["WM_COMMANDS_TAKEN"]
WM_CLIENT_COMMAND = _messages["WM_CLIENT_COMMAND"]

# How the harness finds the program's hidden main window, as another program would.
MAIN_CLASS = _window["MAIN_WINDOW_CLASS"]
MAIN_TITLE = _window["MAIN_WINDOW_TITLE"]

# The dialogs and their controls.
IDD_SETTINGS = _resources["IDD_SETTINGS"]
IDD_SELECT_TRACK = _resources["IDD_SELECT_TRACK"]
IDC_PORT = _resources["IDC_PORT"]
IDC_PORT_LABEL = _resources["IDC_PORT_LABEL"]
IDC_HOST = _resources["IDC_HOST"]
IDC_TRACKS = _resources["IDC_TRACKS"]
IDOK = 1  # the OK button of a dialog and of a message box (windows.h)

# What the person at the machine sees: the dialogs' captions, the message boxes' title.
SETTINGS_TITLE = _captions["IDD_SETTINGS"]
TRACKS_TITLE = _captions["IDD_SELECT_TRACK"]
ERROR_TITLE = _texts["TEXT_ERROR_TITLE"]

# {command id: its place in the tray menu}, for a real click on the item (menu-item-rect).
MENU_POSITIONS = menu_positions()

# The line protocol, as the program frames and matches lines: [(keyword bytes, bytes compared,
# command id)] in the order they are tried, the line buffer (a line keeps one byte less), and how
# long a Telnet subnegotiation may run before it is taken for data.
KEYWORDS = [(text.encode("ascii"), int(compared), _commands[command])
            for text, compared, command in _KEYWORD.findall(_read_header(_protocol_path)[1])]
if not KEYWORDS:
    raise HarnessError("%s defines no KEYWORDS entries ({\"word\", bytes, CMD_...},)" % _protocol_path)
LINE_BUFFER_SIZE = _protocol["LINE_BUFFER_SIZE"]
TELNET_SUBNEGOTIATION_MAX = _protocol["TELNET_SUBNEGOTIATION_MAX"]
# The words a status reply may be besides a position: stop, pause, open.
STATUS_WORDS = tuple(_status_words[name].encode("ascii") for name in ("STATUS_STOP", "STATUS_PAUSE", "STATUS_OPEN"))
