#include "tools/desktop/desktop.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

bool next_word(const char** rest, char* out, size_t size)
{
    const char* p = *rest;
    while (*p == ' ') {
        p++;
    }
    size_t n = 0;
    while (*p != '\0' && *p != ' ') {
        if (n + 1 < size) {
            out[n++] = *p;
        }
        p++;
    }
    out[n] = '\0';
    *rest = p;
    return n > 0;
}

void rest_text(const char* rest, char* out, size_t size)
{
    if (*rest == ' ') {
        rest++;
    }
    percent_decode(rest, out, size);
}

bool parse_number(const char* word, long long* out)
{
    char* end = nullptr;
    long long value = strtoll(word, &end, 0);
    if (word[0] == '\0' || *end != '\0') {
        return false;
    }
    *out = value;
    return true;
}

bool next_number(const char** rest, long long* out)
{
    char word[64];
    return next_word(rest, word, sizeof word) && parse_number(word, out);
}

bool next_window(const char** rest, HWND* out)
{
    long long value = 0;
    if (!next_number(rest, &value)) {
        return false;
    }
    *out = reinterpret_cast<HWND>(static_cast<intptr_t>(value));
    return IsWindow(*out) != FALSE;
}

bool next_control(const char** rest, HWND window, HWND* out)
{
    char word[64];
    if (!next_word(rest, word, sizeof word)) {
        return false;
    }
    if (strcmp(word, "-") == 0) {
        *out = window;
        return true;
    }
    long long id = 0;
    if (!parse_number(word, &id)) {
        return false;
    }
    *out = GetDlgItem(window, int(id));
    return *out != nullptr;
}

unsigned long long handle_value(HWND window)
{
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window));
}
