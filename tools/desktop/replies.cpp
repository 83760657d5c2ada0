#include "tools/desktop/desktop.h"

#include <cstdarg>
#include <cstdio>

Reply reply;

void utf16_to_utf8(const wchar_t* text, char* out, size_t size)
{
    out[0] = '\0';
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, int(size), nullptr, nullptr) == 0) {
        out[size - 1] = '\0';
    }
}

void utf8_to_utf16(const char* text, wchar_t* out, size_t count)
{
    out[0] = L'\0';
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, int(count)) == 0) {
        out[count - 1] = L'\0';
    }
}

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

void percent_decode(const char* text, char* out, size_t size)
{
    size_t n = 0;
    for (const char* p = text; *p != '\0' && n + 1 < size; p++) {
        if (p[0] == '%' && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            out[n++] = char(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        } else {
            out[n++] = *p;
        }
    }
    out[n] = '\0';
}

void reply_clear()
{
    reply.length = 0;
    reply.text[0] = '\0';
}

void reply_add(const char* format, ...)
{
    size_t room = sizeof reply.text - reply.length;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(reply.text + reply.length, room, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    reply.length = size_t(n) < room ? reply.length + size_t(n) : sizeof reply.text - 1;
}

void reply_add_escaped(const char* utf8)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8); *p != 0; p++) {
        if (*p == '%' || *p == '|' || *p < 0x20 || *p == 0x7f) {
            reply_add("%%%02X", *p);
        } else {
            reply_add("%c", *p);
        }
    }
}

void reply_add_escaped(const wchar_t* text)
{
    static char utf8[TEXT_MAX * 3 + 1];
    utf16_to_utf8(text, utf8, sizeof utf8);
    reply_add_escaped(utf8);
}

void reply_error(const char* reason)
{
    reply_clear();
    reply_add("error %s", reason);
}
