#include "restrict/parse_number.h"

#include <cmath>
#include <cstdint>
#include <iterator>

namespace mdnio::filter {

namespace {

// An exponent beyond this already makes every value 0 or infinite; counting further would only
// risk overflowing the counter.
constexpr int32_t kExponentCeiling = 100000;
constexpr uint64_t kExactLimit = (uint64_t{1} << 53) / 10;
// 10^0 .. 10^22: every one of them is exact in a double.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isSign(char c) {
    return c == '+' || c == '-';
}

// The shape nearly every stored number has: digits, perhaps with one point among them, and
// nothing else.  Up to 15 digits the value stays below 2^53 / 10 all along, so it gathers in an
// integer without a check per digit and comes out exactly as the general loop below makes it.
// False, with nothing stored, for any other text.
bool parsePlain(const char* text, int32_t length, double* out) {
    constexpr int32_t kPlainDigits = 15;
    if (length > kPlainDigits + 1) return false;
    uint64_t whole = 0;
    int32_t point = -1;
    for (int32_t i = 0; i < length; ++i) {
        const unsigned digit = static_cast<unsigned char>(text[i]) - unsigned{'0'};
        if (digit <= 9) {
            whole = whole * 10 + digit;
        } else if (text[i] == '.' && point < 0) {
            point = i;
        } else {
            return false;
        }
    }
    const int32_t digits = length - (point < 0 ? 0 : 1);
    if (digits == 0 || digits > kPlainDigits) return false;
    double value = static_cast<double>(whole);
    const int32_t decimals = point < 0 ? 0 : length - 1 - point;
    if (decimals > 0) value /= kPowersOfTen[decimals];
    *out = value;
    return true;
}

}  // namespace

bool parseNumber(const char* text, int32_t length, double* out) {
    if (length < 1) {
        *out = 0.0;
        return true;
    }
    if (parsePlain(text, length, out)) return true;
    double value = 0.0;
    double divisor = 1.0;
    char sign = 0;
    bool dollar = false;
    bool point = false;
    // Set by a '$' or a sign before the digits and cleared by the first digit: a sign or a
    // currency mark with no digits is not a number.
    bool pending = false;
    int32_t exponent = 0;
    int32_t exponentSign = 1;

    int32_t i = 0;
    for (; i < length; ++i) {
        const char c = text[i];
        if (c == ' ') continue;
        if (c == '$') {
            if (dollar) return false;
            dollar = true;
            pending = true;
        } else if (isSign(c)) {
            if (sign) return false;
            sign = c;
            pending = true;
        } else {
            break;
        }
    }
    // Digits gather in an integer while it stays below 2^53 / 10: up to there every step of
    // value * 10 + digit is exact in a double as well, so the result is the same, only cheaper.
    // The divisor is 10 to the number of digits after the point, multiplied up one digit at a
    // time at the end (the table holds the same products while they are exact).
    uint64_t whole = 0;
    bool exact = true;
    int32_t decimals = 0;
    for (; i < length; ++i) {
        const char c = text[i];
        const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
        if (digit <= 9) {
            if (exact && whole < kExactLimit) {
                whole = whole * 10 + digit;
            } else {
                if (exact) value = static_cast<double>(whole);
                exact = false;
                value = value * 10.0 + digit;
            }
            decimals += point ? 1 : 0;
            pending = false;
        } else if (c == '.') {
            if (point) return false;
            point = true;
        } else if (c != ',') {
            break;
        }
    }
    for (; i < length; ++i) {
        const char c = text[i];
        if (c == ' ') continue;
        if (isSign(c)) {
            if (sign) return false;
            sign = c;
        } else if (c == 'E' || c == 'e') {
            if (++i >= length || !isSign(text[i])) return false;
            exponentSign = text[i] == '-' ? -1 : 1;
            for (++i; i < length; ++i) {
                if (!isDigit(text[i])) return false;
                if (exponent < kExponentCeiling) exponent = exponent * 10 + (text[i] - '0');
            }
            break;
        } else {
            return false;
        }
    }
    if (pending) return false;
    if (decimals < static_cast<int32_t>(std::size(kPowersOfTen))) {
        divisor = kPowersOfTen[decimals];
    } else {
        for (int32_t d = 0; d < decimals; ++d)
            divisor *= 10.0;
    }
    if (exact) value = static_cast<double>(whole);
    if (sign == '-') value = -value;
    if (divisor > 1.0) value /= divisor;
    if (exponent != 0) value *= std::pow(10.0, exponentSign * exponent);
    *out = value;
    return true;
}

}  // namespace mdnio::filter
