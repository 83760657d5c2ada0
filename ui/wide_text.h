#pragma once
// The boundary between the program's texts and the screen. The Japanese texts are kept as code
// page 932 bytes (res/texts.h); given to the 8-bit functions they would be read in the system's
// own code page, which on most systems is not 932. So they are converted here and shown through
// the wide (UTF-16) functions. A system that has no code page 932 (an old Windows without the East
// Asian languages) gets each text's English twin instead. Main thread only.
#include <windows.h>

#include <cstddef>

// Enough for every text the program shows, a path and a host name included.
constexpr size_t WIDE_TEXT_SIZE = 1024;

// A message box owned by owner (none: nullptr) with an OK button: text in code page 932, title
// ASCII. With an argument (in the system's code page: a host name), the text's one "%s" becomes it.
void show_message(HWND owner, const char* text, const char* title, const char* argument = nullptr);
// The same with a wide argument (a path, which may name what the system's code page cannot).
void show_path_message(HWND owner, const char* text, const char* title, const wchar_t* path);
// A message of the start-up, when the program has no window on the screen yet: without an owner
// and in front of the others (a box owned by a hidden window would stay behind them, unseen).
void show_startup_message(const char* text, const char* title);

// Sets a control's text, composed as show_message composes its text.
void set_item_text(HWND dialog, int control, const char* text, const char* argument = nullptr);

// Appends a string item (label in code page 932) to a menu.
void append_menu_item(HMENU menu, UINT command, const char* label);
