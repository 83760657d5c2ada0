#include "ui/wide_text.h"

#include <cstdio>
#include <cwchar>

namespace {

constexpr UINT JAPANESE_CODE_PAGE = 932;

bool widen(UINT code_page, const char* text, wchar_t* out, size_t size)
{
    if (size == 0) {
        return false;
    }
    // MB_ERR_INVALID_CHARS: a byte sequence the code page does not have is a failure, not a '?'.
    const int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text, -1, out, static_cast<int>(size));
    if (length == 0) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

// The 8-bit form, where the wide one cannot be made: format with argument put in.
void compose_narrow(const char* format, const char* argument, char* out, size_t size)
{
    std::snprintf(out, size, format, argument);
}

}  // namespace

bool widen_932(const char* text, wchar_t* out, size_t size)
{
    return widen(JAPANESE_CODE_PAGE, text, out, size);
}

bool compose_wide(const char* format, const char* argument, wchar_t* out, size_t size)
{
    wchar_t wide_format[WIDE_TEXT_SIZE];
    wchar_t wide_argument[WIDE_TEXT_SIZE];
    if (!widen_932(format, wide_format, WIDE_TEXT_SIZE) || !widen(CP_ACP, argument, wide_argument, WIDE_TEXT_SIZE)) {
        return false;
    }
    // The one "%s", by hand: the C library's wide formats disagree on what %s takes.
    const wchar_t* place = std::wcsstr(wide_format, L"%s");
    const size_t before = place != nullptr ? static_cast<size_t>(place - wide_format) : std::wcslen(wide_format);
    const wchar_t* after = place != nullptr ? place + 2 : L"";
    const size_t length = before + std::wcslen(wide_argument) + std::wcslen(after);
    if (length + 1 > size) {
        out[0] = L'\0';
        return false;
    }
    std::wmemcpy(out, wide_format, before);
    out[before] = L'\0';
    std::wcscat(out, wide_argument);
    std::wcscat(out, after);
    return true;
}

void show_message(HWND owner, const char* text, const char* title)
{
    wchar_t wide_text[WIDE_TEXT_SIZE];
    wchar_t wide_title[WIDE_TEXT_SIZE];
    if (widen_932(text, wide_text, WIDE_TEXT_SIZE) && widen_932(title, wide_title, WIDE_TEXT_SIZE)) {
        MessageBoxW(owner, wide_text, wide_title, MB_OK);
    } else {
        MessageBoxA(owner, text, title, MB_OK);
    }
}

void show_message_with(HWND owner, const char* format, const char* argument, const char* title)
{
    wchar_t wide_text[WIDE_TEXT_SIZE];
    wchar_t wide_title[WIDE_TEXT_SIZE];
    if (compose_wide(format, argument, wide_text, WIDE_TEXT_SIZE) && widen_932(title, wide_title, WIDE_TEXT_SIZE)) {
        MessageBoxW(owner, wide_text, wide_title, MB_OK);
        return;
    }
    char text[WIDE_TEXT_SIZE];
    compose_narrow(format, argument, text, sizeof text);
    MessageBoxA(owner, text, title, MB_OK);
}

void set_item_text_with(HWND dialog, int control, const char* format, const char* argument)
{
    wchar_t wide_text[WIDE_TEXT_SIZE];
    if (compose_wide(format, argument, wide_text, WIDE_TEXT_SIZE)) {
        SetDlgItemTextW(dialog, control, wide_text);
        return;
    }
    char text[WIDE_TEXT_SIZE];
    compose_narrow(format, argument, text, sizeof text);
    SetDlgItemTextA(dialog, control, text);
}

void append_menu_item(HMENU menu, UINT command, const char* label)
{
    wchar_t wide_label[WIDE_TEXT_SIZE];
    if (widen_932(label, wide_label, WIDE_TEXT_SIZE)) {
        AppendMenuW(menu, MF_STRING, command, wide_label);
    } else {
        AppendMenuA(menu, MF_STRING, command, label);
    }
}
