#include "common/compress.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace mdnio::common {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes repeat(size_t n, uint8_t v) {
    return Bytes(n, v);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes compress(const Bytes& in) {
    Bytes out(compressedBound(in.size()), 0xEE);
    const long n = compressRecord(in, out);
    EXPECT_GE(n, 0);
    out.resize(static_cast<size_t>(n));
    return out;
}

Bytes distinct(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(1 + i % 250);
    return b;
}

TEST(Compress, CodesTheDocumentedExamples) {
    struct Case {
        const char* name;
        Bytes in;
        Bytes code;
    };
    const Bytes literal130 = distinct(130);
    const std::vector<Case> cases = {
        {"AAAAB", {'A', 'A', 'A', 'A', 'B'}, {0x84, 0x41, 0x01, 0x42}},
        {"abcde is stored", {'a', 'b', 'c', 'd', 'e'}, {0xF1, 'a', 'b', 'c', 'd', 'e'}},
        {"111 equal bytes", repeat(111, 'v'), {0xEF, 'v'}},
        {"112 equal bytes", repeat(112, 'v'), {0xEF, 'v', 0x81, 'v'}},
        {"223 equal bytes", repeat(223, 'v'), {0xEF, 'v', 0xEF, 'v', 0x81, 'v'}},
        {"111 zeros", repeat(111, 0), {0xEF, 0x00}},
        {"112 zeros", repeat(112, 0), {0xF0, 0x01}},
        {"366 zeros", repeat(366, 0), {0xF0, 0xFF}},
        {"367 zeros", repeat(367, 0), {0xF0, 0xFF, 0x81, 0x00}},
        {"500 zeros", repeat(500, 0), {0xF0, 0xFF, 0xF0, 0x17}},
        {"three equal bytes", repeat(3, 'x'), {0x83, 'x'}},
        {"code as long as the input is kept",
         {'a', 'b', 'c', 'c', 'c'},
         {0x02, 'a', 'b', 0x83, 'c'}},
        {"last two bytes are one-byte literals",
         concat({repeat(4, 'z'), {'p', 'q'}}),
         {0x84, 'z', 0x01, 'p', 0x01, 'q'}},
        {"a literal run stops two bytes before the end",
         concat({repeat(10, 'A'), {'x', 'y', 'z'}}),
         {0x8A, 'A', 0x01, 'x', 0x01, 'y', 0x01, 'z'}},
        {"literal runs stop at 127", concat({literal130, repeat(50, 0)}),
         concat({{0x7F},
                 Bytes(literal130.begin(), literal130.begin() + 127),
                 {0x03},
                 Bytes(literal130.begin() + 127, literal130.end()),
                 {0xB2, 0x00}})},
        {"incompressible", distinct(40), concat({{0xF1}, distinct(40)})},
        {"empty", {}, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(compress(c.in), c.code) << c.name;
}

TEST(Compress, RefusesAnOutputBelowTheBound) {
    const Bytes in = {'a', 'b', 'c'};
    Bytes out(3, 0);
    EXPECT_EQ(compressRecord(in, out), -1);
}

long expand(const Bytes& code, Bytes& out) {
    return decompressRecord(code, out);
}

TEST(Decompress, ExpandsEveryCode) {
    struct Case {
        const char* name;
        Bytes code;
        size_t limit;
        long result;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"literal and repeat", {0x84, 0x41, 0x01, 0x42}, 10, 5, {'A', 'A', 'A', 'A', 'B'}},
        {"stored", {0xF1, 'a', 'b'}, 10, 2, {'a', 'b'}},
        {"stored empty", {0xF1}, 0, 0, {}},
        {"zero run", {0xF0, 0x01, 0x01, 'x'}, 200, 113, concat({repeat(112, 0), {'x'}})},
        {"repeat of zero count", {0x80, 'q', 0x01, 'x'}, 10, 1, {'x'}},
        {"literal of zero count", {0x00, 0x01, 'x'}, 10, 1, {'x'}},
        {"exactly the limit", {0x85, 'x'}, 5, 5, repeat(5, 'x')},
        {"repeat past the limit", {0x85, 'x'}, 4, kDecompressOverflow, {}},
        {"literal past the limit", {0x03, 'a', 'b', 'c'}, 2, kDecompressOverflow, {}},
        {"zero run past the limit", {0xF0, 0x00}, 110, kDecompressOverflow, {}},
        {"stored past the limit", {0xF1, 'a', 'b', 'c'}, 2, kDecompressOverflow, {}},
        {"241 after the first code", {0x01, 'a', 0xF1, 'b'}, 10, kDecompressBadCode, {}},
        {"code 242", {0xF2, 0x00}, 10, kDecompressBadCode, {}},
        {"code 255", {0x01, 'a', 0xFF}, 10, kDecompressBadCode, {}},
        {"literal cut short", {0x05, 'a', 'b'}, 10, kDecompressBadCode, {}},
        {"repeat without its byte", {0x01, 'a', 0x85}, 10, kDecompressBadCode, {}},
        {"zero run without its count", {0xF0}, 500, kDecompressBadCode, {}},
        {"empty stream", {}, 10, 0, {}},
    };
    for (const Case& c : cases) {
        // Exact-size buffers: a read or write past either end shows under the address sanitizer.
        Bytes out(c.limit, 0xEE);
        const long r = expand(c.code, out);
        EXPECT_EQ(r, c.result) << c.name;
        if (r >= 0) {
            EXPECT_EQ(Bytes(out.begin(), out.begin() + r), c.data) << c.name;
        }
    }
}

// Random inputs made of runs of every length class (short, around 111, long zero runs) and
// literal stretches; each must code within its bound and expand back exactly.
TEST(Compress, RandomRoundTrips) {
    std::mt19937 rng(20240601);
    std::uniform_int_distribution<int> pieces(0, 12);
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> shortLen(1, 8);
    std::uniform_int_distribution<int> nearLimit(105, 120);
    std::uniform_int_distribution<int> longLen(200, 900);
    for (int round = 0; round < 3000; ++round) {
        Bytes in;
        const int n = pieces(rng);
        for (int i = 0; i < n; ++i) {
            const int k = kind(rng);
            const uint8_t v = k == 3 || k == 4 ? 0 : static_cast<uint8_t>(byte(rng));
            size_t len = 0;
            switch (k) {
                case 0:  // literal stretch
                    for (int j = shortLen(rng) * 20; j > 0; --j) {
                        in.push_back(static_cast<uint8_t>(byte(rng)));
                    }
                    continue;
                case 1:
                case 3:
                    len = static_cast<size_t>(shortLen(rng));
                    break;
                case 2:
                case 4:
                    len = static_cast<size_t>(nearLimit(rng));
                    break;
                default:
                    len = static_cast<size_t>(longLen(rng));
                    break;
            }
            in.insert(in.end(), len, v);
        }
        Bytes code(compressedBound(in.size()));
        const long coded = compressRecord(in, code);
        ASSERT_GE(coded, 0);
        ASSERT_LE(static_cast<size_t>(coded), in.size() + 1);
        code.resize(static_cast<size_t>(coded));
        if (!code.empty() && code[0] == 0xF1) {
            EXPECT_EQ(static_cast<size_t>(coded), in.size() + 1);
        } else {
            EXPECT_LE(static_cast<size_t>(coded), in.size());
        }
        Bytes out(in.size());
        ASSERT_EQ(decompressRecord(code, out), static_cast<long>(in.size())) << round;
        ASSERT_EQ(out, in) << round;
        if (!in.empty()) {
            Bytes smaller(in.size() - 1);
            EXPECT_EQ(decompressRecord(code, smaller), kDecompressOverflow) << round;
        }
    }
}

}  // namespace
}  // namespace mdnio::common
