// The decimal arguments of lpfconsole and ledset: atoi's syntax with a
// defined result for every input.
#include "decimal.h"

#include <gtest/gtest.h>

namespace {

TEST(decimal, toInt32)
{
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"42", 42},
        {" \t\n-7", -7},
        {"+3", 3},
        {"12abc", 12},
        {"", 0},
        {"abc", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"4294967301", INT32_MAX}, // not wrapped to 5
        {"99999999999999999999999", INT32_MAX},
        {"-99999999999999999999999", INT32_MIN},
        {"\xff" "5", 0}, // a byte above 127, whatever char's sign
    };
    for (auto c : cases)
        EXPECT_EQ(decimalToInt32(c.text), c.value) << '"' << c.text << '"';
}

} // namespace
