#include "ui/wide_text.h"

#include <cstdio>
#include <cwchar>

namespace {

constexpr UINT JAPANESE_CODE_PAGE = 932;

bool widen(UINT code_page, const char* text, wchar_t* out, size_t size)
{
    // MB_ERR_INVALID_CHARS: a byte sequence the code page does not have is a failure, not a '?'.
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(size)) == 0) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

// A text as it is shown: wide where the system can convert it, else its 8-bit form.
struct Shown {
    bool is_wide;
    wchar_t wide[WIDE_TEXT_SIZE];
    char narrow[WIDE_TEXT_SIZE];
};

// text (code page 932) with its one "%s" replaced by argument (system code page), if one is given.
void compose(const char* text, const char* argument, Shown* out)
{
    out->is_wide = false;
    if (argument == nullptr) {
        std::snprintf(out->narrow, sizeof out->narrow, "%s", text);
    } else {
        std::snprintf(out->narrow, sizeof out->narrow, text, argument);
    }
    wchar_t wide_text[WIDE_TEXT_SIZE];
    wchar_t wide_argument[WIDE_TEXT_SIZE] = L"";
    if (!widen(JAPANESE_CODE_PAGE, text, wide_text, WIDE_TEXT_SIZE) ||
        (argument != nullptr && !widen(CP_ACP, argument, wide_argument, WIDE_TEXT_SIZE))) {
        return;
    }
    // The one "%s", by hand: the C library's wide formats disagree on what %s takes.
    const wchar_t* place = argument != nullptr ? std::wcsstr(wide_text, L"%s") : nullptr;
    const size_t before = place != nullptr ? static_cast<size_t>(place - wide_text) : std::wcslen(wide_text);
    const wchar_t* after = place != nullptr ? place + 2 : L"";
    if (before + std::wcslen(wide_argument) + std::wcslen(after) + 1 > WIDE_TEXT_SIZE) {
        return;
    }
    std::wmemcpy(out->wide, wide_text, before);
    out->wide[before] = L'\0';
    std::wcscat(out->wide, wide_argument);
    std::wcscat(out->wide, after);
    out->is_wide = true;
}

}  // namespace

void show_message(HWND owner, const char* text, const char* title, const char* argument)
{
    Shown shown_text;
    Shown shown_title;
    compose(text, argument, &shown_text);
    compose(title, nullptr, &shown_title);
    if (shown_text.is_wide && shown_title.is_wide) {
        MessageBoxW(owner, shown_text.wide, shown_title.wide, MB_OK);
    } else {
        MessageBoxA(owner, shown_text.narrow, title, MB_OK);
    }
}

void set_item_text(HWND dialog, int control, const char* text, const char* argument)
{
    Shown shown;
    compose(text, argument, &shown);
    if (shown.is_wide) {
        SetDlgItemTextW(dialog, control, shown.wide);
    } else {
        SetDlgItemTextA(dialog, control, shown.narrow);
    }
}

void append_menu_item(HMENU menu, UINT command, const char* label)
{
    Shown shown;
    compose(label, nullptr, &shown);
    if (shown.is_wide) {
        AppendMenuW(menu, MF_STRING, command, shown.wide);
    } else {
        AppendMenuA(menu, MF_STRING, command, label);
    }
}
