// Reading numbers written as text: the forms the business language writes, and what is not a
// number.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "restrict/parse_number.h"

namespace mdnio::filter {
namespace {

struct NumberCase {
    std::string text;
    bool ok;
    double value;  // when ok
};

const NumberCase kCases[] = {
    // Accepted forms.
    {"  12.50", true, 12.5},
    {"$1,234-", true, -1234},
    {"1.5E+03", true, 1500},
    {"1.5e-02", true, 0.015},
    {"-7", true, -7},
    {"+7", true, 7},
    {"$-3", true, -3},
    {"-$3", true, -3},
    {"3-", true, -3},
    {"3 +", true, 3},
    {"42  ", true, 42},
    {".5", true, 0.5},
    {"007", true, 7},
    {"1,2,3", true, 123},
    {"   ", true, 0},  // nothing but blanks is 0
    {"2E+", true, 2},  // an exponent sign without digits leaves the exponent 0
    {"1E-999", true, 0},
    // Refused forms.
    {"-", false, 0},
    {"$", false, 0},
    {"+.", false, 0},
    {"1.2.3", false, 0},
    {"12 a", false, 0},
    {"$$1", false, 0},
    {"--1", false, 0},
    {"-1-", false, 0},
    {"+1+", false, 0},
    {"1E3", false, 0},  // the exponent needs its sign
    {"1E", false, 0},
    {"1E+3 ", false, 0},  // the exponent runs to the end
    {"1E+3x", false, 0},
    {"1 2", false, 0},  // digits do not resume after a blank
    {"abc", false, 0},
    {std::string("12\0", 3), false, 0},  // a zero byte is not a blank
};

TEST(ParseNumber, FormsAndFailures) {
    for (const NumberCase& c : kCases) {
        const double untouched = -98765.25;
        double value = untouched;
        const bool ok = parseNumber(c.text.data(), static_cast<int32_t>(c.text.size()), &value);
        EXPECT_EQ(ok, c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_DOUBLE_EQ(value, c.value) << '"' << c.text << '"';
        } else {
            EXPECT_EQ(value, untouched) << '"' << c.text << "\" changed the output on failure";
        }
    }
}

// Long runs of digits: the value is the one digit-by-digit arithmetic in doubles gives, whether
// the digits fit in 53 bits or run far beyond, with up to 22 decimals and more.
TEST(ParseNumber, LongDigitRunsKeepTheirValue) {
    for (const std::string text :
         {"9007199254740993", "123456789012345678901234567890", "0000000000000000000012.5",
          "99999999999999999999.99", "1234567.89", "18446744073709551617",
          "0.1234567890123456789012", "1.00000000000000000000001",
          "3.14159265358979323846264338327950288419716939937510",
          // Around the 15 digits that gather in an integer without a check.
          "999999999999999", "9999999999999999", "99999999999999.9", "999999999999999.9",
          ".000000000000001", "123456789012345.", "0012345.67", "5."}) {
        double expected = 0.0, divisor = 1.0;
        bool point = false;
        for (char c : text) {
            if (c == '.') {
                point = true;
                continue;
            }
            expected = expected * 10.0 + (c - '0');
            if (point) divisor *= 10.0;
        }
        if (divisor > 1.0) expected /= divisor;
        double value = 0;
        ASSERT_TRUE(parseNumber(text.data(), static_cast<int32_t>(text.size()), &value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
}

TEST(ParseNumber, ReadsExactlyTheLengthGiven) {
    // The bytes after `length` are not part of the number, whatever they hold.
    const char text[] = "12x";
    double value = 0;
    ASSERT_TRUE(parseNumber(text, 2, &value));
    EXPECT_EQ(value, 12);
    EXPECT_FALSE(parseNumber(text, 3, &value));
    // No length at all is 0, without looking at the text.
    value = 5;
    EXPECT_TRUE(parseNumber(nullptr, 0, &value));
    EXPECT_EQ(value, 0);
    value = 5;
    EXPECT_TRUE(parseNumber(nullptr, -3, &value));
    EXPECT_EQ(value, 0);
}

TEST(ParseNumber, HugeExponentsDoNotOverflowTheCounter) {
    double value = 0;
    ASSERT_TRUE(parseNumber("1E+99999999999999", 17, &value));
    EXPECT_TRUE(std::isinf(value));
    ASSERT_TRUE(parseNumber("1E-99999999999999", 17, &value));
    EXPECT_EQ(value, 0);
}

}  // namespace
}  // namespace mdnio::filter
