#include "common/text.h"

int32_t parse_decimal(const char* text)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    while (is_ascii_digit(*p)) {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
        ++p;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

void copy_bounded(char* out, size_t size, const char* text)
{
    if (size == 0) {
        return;
    }
    size_t i = 0;
    for (; i + 1 < size && text[i] != '\0'; ++i) {
        out[i] = text[i];
    }
    out[i] = '\0';
}
