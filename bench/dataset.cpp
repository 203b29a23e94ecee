#include "dataset.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

uint64_t mix(uint64_t x) {
    // SplitMix64 finaliser: a cheap, well-spread hash of the record number.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

const char* const kFirst[] = {"Anna", "Boris", "Carla", "Dario", "Elena", "Fabio", "Greta",
                              "Hugo", "Ines",  "Jonas", "Karin", "Luca",  "Marta", "Nils",
                              "Olga", "Paul",  "Rosa",  "Sven",  "Tina",  "Uwe"};
const char* const kLast[] = {"meyer",   "rossi",  "dubois", "novak",   "jansen", "silva",
                             "keller",  "moreau", "bauer",  "costa",   "weber",  "ricci",
                             "lambert", "horvat", "visser", "ferreira"};
constexpr size_t kCities = 400;

// Blank-padded copy of `text` into a fixed-width field.
void put(char* field, size_t width, const char* text) {
    size_t n = std::strlen(text);
    if (n > width) n = width;
    std::memcpy(field, text, n);
    std::memset(field + n, ' ', width - n);
}

// Writes `value` as decimal digits at p, zero-padded to at least `width`; returns the end.
// (snprintf would do, but it cost a third of the load time, charged to every engine alike.)
char* digits(char* p, uint64_t value, int width = 1) {
    char tmp[24];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n < width)
        tmp[n++] = '0';
    while (n)
        *p++ = tmp[--n];
    return p;
}

char* text(char* p, const char* s) {
    size_t n = std::strlen(s);
    std::memcpy(p, s, n);
    return p + n;
}

}  // namespace

Record Dataset::record(uint32_t id, uint32_t version) const {
    Record r;
    char tmp[64];
    tmp[0] = 'C';
    digits(tmp + 1, id, 9);
    std::memcpy(r.key, tmp, kKeyLength);
    uint64_t h = mix(id);
    // Names repeat (the name key is not unique): about one in 50 records shares a name.
    char* p = text(tmp, kFirst[h % 20]);
    *p++ = ' ';
    p = text(p, kLast[(h >> 8) % 16]);
    *p++ = ' ';
    p = digits(p, (h >> 16) % (count_ / 50 + 1));
    *p = 0;
    put(r.name, kNameLength, tmp);
    p = digits(text(tmp, "City"), (h >> 32) % kCities, 4);
    *p = 0;
    put(r.city, kCityLength, tmp);
    // The balance: 0000000.00 to 0999999.99.
    uint64_t v = mix(h + version);
    uint64_t cents = v % 100000000;
    p = digits(tmp, cents / 100, 7);
    *p++ = '.';
    digits(p, cents % 100, 2);
    std::memcpy(r.balance, tmp, kBalanceLength);
    for (size_t i = 0; i < kTextLength; i++) {
        if (i % 8 == 0) v = mix(v);
        r.text[i] = static_cast<char>('a' + (v >> (8 * (i % 8))) % 26);
    }
    return r;
}

uint32_t Dataset::shuffled(uint64_t n, uint32_t stream) const {
    // n * step mod count visits every id once when step and count share no factor; a large
    // odd step, nudged until it is coprime with count, scatters neighbours across the key range.
    uint64_t step = (mix(stream) % count_) | 1;
    auto gcd = [](uint64_t a, uint64_t b) {
        while (b) {
            uint64_t t = a % b;
            a = b;
            b = t;
        }
        return a;
    };
    while (gcd(step, count_) != 1)
        step += 2;
    return static_cast<uint32_t>((n * step + stream) % count_);
}

void Record::join(uint8_t* out) const {
    uint8_t* p = out;
    auto field = [&](const char* bytes, size_t n, bool last) {
        std::memcpy(p, bytes, n);
        p += n;
        if (!last) *p++ = kSeparator;
    };
    field(name, kNameLength, false);
    field(city, kCityLength, false);
    field(balance, kBalanceLength, false);
    field(text, kTextLength, true);
}

std::string Record::upperName() const {
    std::string s(name, kNameLength);
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Record::cityBalance() const {
    return std::string(city, kCityLength) + std::string(balance, kBalanceLength);
}

double Record::balanceValue() const {
    char tmp[kBalanceLength + 1];
    std::memcpy(tmp, balance, kBalanceLength);
    tmp[kBalanceLength] = 0;
    return std::strtod(tmp, nullptr);
}

double balanceOfJoined(const uint8_t* data, size_t length) {
    constexpr size_t at = kNameLength + 1 + kCityLength + 1;
    if (length < at + kBalanceLength) return -1;
    char tmp[kBalanceLength + 1];
    std::memcpy(tmp, data + at, kBalanceLength);
    tmp[kBalanceLength] = 0;
    return std::strtod(tmp, nullptr);
}

}  // namespace bench
