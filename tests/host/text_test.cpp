#include <gtest/gtest.h>

#include "app/text.h"

TEST(ParseDecimal, ReadsLeadingDigitsAfterBlanks)
{
    EXPECT_EQ(parse_decimal(" 6000"), 6000);
    EXPECT_EQ(parse_decimal("6000abc"), 6000);
    EXPECT_EQ(parse_decimal("abc"), 0);
    EXPECT_EQ(parse_decimal("-1"), -1);
}
