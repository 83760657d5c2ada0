// The decimal conversion against two references: the exact value reduced modulo 2^32 step by
// step in 64 bits, and the C library's strtol wherever that does not overflow.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace {

constexpr uint64_t WRAP = 1ull << 32;

int32_t reference(const char* text)
{
    const char* p = text;
    while (*p != '\0' && std::strchr(" \t\n\v\f\r", *p) != nullptr) {
        ++p;
    }
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    uint64_t value = 0;  // the exact value modulo 2^32
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = (value * 10 + static_cast<uint64_t>(*p - '0')) % WRAP;
    }
    if (negative) {
        value = (WRAP - value) % WRAP;
    }
    const int64_t wrapped =
        value >= WRAP / 2 ? static_cast<int64_t>(value) - static_cast<int64_t>(WRAP) : static_cast<int64_t>(value);
    return static_cast<int32_t>(wrapped);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* text = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = '\0';

    const int32_t value = parse_decimal(text);
    if (value != reference(text)) {
        std::abort();
    }
    errno = 0;
    const long library = std::strtol(text, nullptr, 10);
    if (errno == 0 && library >= INT32_MIN && library <= INT32_MAX && value != library) {
        std::abort();
    }
    std::free(text);
    return 0;
}
