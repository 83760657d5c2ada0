#pragma once
// The boundary between the program's texts and the screen. The Japanese texts are kept as code
// page 932 bytes (res/texts.h); given to the 8-bit functions they would be read in the system's
// own code page, which on most systems is not 932. So they are converted here and shown through
// the wide (UTF-16) functions. Where the system cannot convert from 932 (an old Windows without
// the East Asian tables), the 8-bit function shows them as before. Main thread only.
#include <windows.h>

#include <cstddef>

// Enough for every text the program shows, a path and a host name included.
constexpr size_t WIDE_TEXT_SIZE = 1024;

// Code page 932 text into out (size units). False, with out empty, when the system cannot convert
// it or it does not fit.
bool widen_932(const char* text, wchar_t* out, size_t size);

// format (code page 932, with one "%s") with argument (in the system's code page: a host name, a
// path) put in its place, into out. False when either cannot be converted or it does not fit.
bool compose_wide(const char* format, const char* argument, wchar_t* out, size_t size);

// A message box owned by owner (none: nullptr) with text (code page 932; format's "%s" becomes
// argument, in the system's code page) and an OK button; title is ASCII.
void show_message(HWND owner, const char* text, const char* title);
void show_message_with(HWND owner, const char* format, const char* argument, const char* title);

// Sets a control's text, composed as compose_wide does.
void set_item_text_with(HWND dialog, int control, const char* format, const char* argument);

// Appends a string item (label in code page 932) to a menu.
void append_menu_item(HMENU menu, UINT command, const char* label);
