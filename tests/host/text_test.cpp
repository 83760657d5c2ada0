#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "common/text.h"

namespace {

struct DecimalCase {
    const char* text;
    int32_t expected;
};

// Values that come from the settings file and the protocol: the conversion must read them the
// way the C library's decimal conversion does, and wrap instead of saturating.
constexpr DecimalCase DECIMAL_CASES[] = {
    {" 6000", 6000},
    {"6000abc", 6000},
    {"abc", 0},
    {"", 0},
    {"007", 7},
    {"-1", -1},
    {"+42", 42},
    {"\t\n\v\f\r 7", 7},  // every white space byte is skipped
    {"\xA0"
     "5",
        0},  // a byte above 127 is not white space
    {"- 5", 0},  // the sign must touch the digits
    {"--5", 0},
    {"5 6", 5},
    {"\xB5", 0},  // a code page byte is no digit
    {"2147483647", INT32_MAX},
    {"2147483648", INT32_MIN},
    {"-2147483648", INT32_MIN},
    {"4294967296", 0},
    {"4294967297", 1},
    {"5000000000", 705032704},
    {"99999999999999999999", 1661992959},
};

}  // namespace

TEST(ParseDecimal, ReadsLikeTheStandardConversionAndWraps)
{
    for (const DecimalCase& c : DECIMAL_CASES) {
        EXPECT_EQ(parse_decimal(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(CopyBounded, CutsToTheBufferAndAlwaysTerminates)
{
    char out[6];
    copy_bounded(out, sizeof out, "abc");
    EXPECT_STREQ(out, "abc");
    copy_bounded(out, sizeof out, "abcde");
    EXPECT_STREQ(out, "abcde");
    copy_bounded(out, sizeof out, "abcdefgh");
    EXPECT_STREQ(out, "abcde");
    copy_bounded(out, 1, "abc");
    EXPECT_STREQ(out, "");

    std::memset(out, 'x', sizeof out);
    copy_bounded(out, 0, "abc");
    EXPECT_EQ(out[0], 'x');
}
