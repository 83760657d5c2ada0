#pragma once
// Text conversions shared by the settings file, the settings dialog and the protocol.
// Platform-free: no Windows header here.
#include <cstddef>
#include <cstdint>

// The standard decimal conversion: skips leading white space (blank, \t \n \v \f \r), takes an
// optional sign, then digits up to the first other character; 0 when there are none. A value too
// large for 32 bits wraps around like a 32-bit signed integer (computed unsigned, so defined).
int32_t parse_decimal(const char* text);

// An ASCII decimal digit; no byte of 128 or above counts.
constexpr bool is_ascii_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Copies text into out (size bytes), cutting it to size - 1 bytes; always terminates when size > 0.
void copy_bounded(char* out, size_t size, const char* text);
