#include "ui/wide_text.h"

#include <cwchar>

#include "res/texts.h"

namespace {

constexpr UINT JAPANESE_CODE_PAGE = 932;

// Whether the system can turn code page 932 into UTF-16, asked once. (Not a function's static:
// its guarded initialisation would link the threads library, whose imports XP lacks.)
enum class Known { not_yet, yes, no };
Known japanese_code_page = Known::not_yet;

bool has_japanese_code_page()
{
    if (japanese_code_page == Known::not_yet) {
        japanese_code_page = IsValidCodePage(JAPANESE_CODE_PAGE) ? Known::yes : Known::no;
    }
    return japanese_code_page == Known::yes;
}

void widen(UINT code_page, const char* text, wchar_t* out, size_t size)
{
    // MB_ERR_INVALID_CHARS: a byte sequence the code page does not have is a failure, not a '?';
    // then (a host name in some other encoding) whatever the conversion makes of it is shown.
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(size)) == 0 &&
        MultiByteToWideChar(code_page, 0, text, -1, out, static_cast<int>(size)) == 0) {
        out[0] = L'\0';
    }
    out[size - 1] = L'\0';
}

// A program text (code page 932, or its English twin where the system has no 932) in UTF-16.
void widen_text(const char* text, wchar_t* out, size_t size)
{
    if (has_japanese_code_page()) {
        widen(JAPANESE_CODE_PAGE, text, out, size);
    } else {
        // The twins are ASCII, which every code page reads alike.
        widen(CP_ACP, english_twin(text), out, size);
    }
}

// The text with its one "%s" replaced by the argument (when one is given), cut to the buffer.
void compose(const char* text, const wchar_t* argument, wchar_t* out)
{
    wchar_t wide_text[WIDE_TEXT_SIZE];
    widen_text(text, wide_text, WIDE_TEXT_SIZE);
    // The one "%s", by hand: the C library's wide formats disagree on what %s takes.
    const wchar_t* place = argument != nullptr ? std::wcsstr(wide_text, L"%s") : nullptr;
    if (place == nullptr) {
        std::wcscpy(out, wide_text);
        return;
    }
    const size_t before = static_cast<size_t>(place - wide_text);
    std::wmemcpy(out, wide_text, before);
    out[before] = L'\0';
    std::wcsncat(out, argument, WIDE_TEXT_SIZE - 1 - std::wcslen(out));
    std::wcsncat(out, place + 2, WIDE_TEXT_SIZE - 1 - std::wcslen(out));
}

void compose_narrow_argument(const char* text, const char* argument, wchar_t* out)
{
    if (argument == nullptr) {
        compose(text, nullptr, out);
        return;
    }
    wchar_t wide_argument[WIDE_TEXT_SIZE];
    widen(CP_ACP, argument, wide_argument, WIDE_TEXT_SIZE);
    compose(text, wide_argument, out);
}

void show_box(HWND owner, const char* text, const wchar_t* argument, const char* title, UINT style)
{
    wchar_t shown_text[WIDE_TEXT_SIZE];
    wchar_t shown_title[WIDE_TEXT_SIZE];
    compose(text, argument, shown_text);
    compose(title, nullptr, shown_title);
    MessageBoxW(owner, shown_text, shown_title, style);
}

}  // namespace

void show_message(HWND owner, const char* text, const char* title, const char* argument)
{
    wchar_t wide_argument[WIDE_TEXT_SIZE];
    if (argument != nullptr) {
        widen(CP_ACP, argument, wide_argument, WIDE_TEXT_SIZE);
    }
    show_box(owner, text, argument != nullptr ? wide_argument : nullptr, title, MB_OK);
}

void show_path_message(HWND owner, const char* text, const char* title, const wchar_t* path)
{
    show_box(owner, text, path, title, MB_OK);
}

void show_startup_message(const char* text, const char* title)
{
    // The program has nothing in front yet: the system lets it come forward only by these styles.
    show_box(nullptr, text, nullptr, title, MB_OK | MB_SETFOREGROUND | MB_TOPMOST);
}

void set_item_text(HWND dialog, int control, const char* text, const char* argument)
{
    wchar_t shown[WIDE_TEXT_SIZE];
    compose_narrow_argument(text, argument, shown);
    SetDlgItemTextW(dialog, control, shown);
}

void append_menu_item(HMENU menu, UINT command, const char* label)
{
    wchar_t shown[WIDE_TEXT_SIZE];
    compose(label, nullptr, shown);
    AppendMenuW(menu, MF_STRING, command, shown);
}
