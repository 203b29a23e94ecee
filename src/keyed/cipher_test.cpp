// The block cipher and the checksum of password records, checked against calculations written
// here independently of the library's code, and against fixed values worked out separately from
// the cipher's constants.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "keyed/keyed.h"
#include "keyed/password.h"

using namespace mdnio::keyed;

namespace {

using Bytes = std::vector<uint8_t>;

// The set-up written out step by step from the constants, sharing nothing with the library.
struct Reference {
    uint8_t s[8];
    uint8_t x = 0;
    int n = 0;
    uint8_t p[256];
    Reference() {
        const char* initial = "Quillmar";
        const uint8_t schedule[9] = {0x3E, 0x91, 0xC4, 0x07, 0x5D, 0xE2, 0x18, 0xAB, 0x66};
        for (int i = 0; i < 8; i++)
            s[i] = static_cast<uint8_t>(initial[i]);
        int next = 0;
        for (int i = 0; i < 32; i++) {
            const uint8_t c = schedule[next];
            next = next == 8 ? 0 : next + 1;
            x = static_cast<uint8_t>(x ^ c);
            const int at = i % 8;
            if (i % 3 == 0) s[at] = static_cast<uint8_t>(s[at] ^ c);
            if (i % 3 == 1) s[at] = static_cast<uint8_t>((s[at] + c) % 256);
            if (i % 3 == 2) s[at] = static_cast<uint8_t>((s[at] + 256 - c) % 256);
        }
        n = (s[1] + s[2] + s[3]) % 8;
        for (int k = 0; k < 256; k++)
            p[k] = static_cast<uint8_t>(k);
        uint64_t y = x;
        for (int k = 0; k < 256; k++) {
            const int m = static_cast<int>((23 * (y + k)) % 256);
            const uint8_t keep = p[k];
            p[k] = p[m];
            p[m] = keep;
            y = (y * 57) % 0x800000;
        }
    }
    Bytes encipher(const Bytes& plain) const {
        uint8_t t[8];
        std::memcpy(t, s, 8);
        int j = n;
        Bytes out;
        for (uint8_t c : plain) {
            const uint8_t q = p[c];
            t[j] = static_cast<uint8_t>(t[j] ^ q);
            out.push_back(static_cast<uint8_t>(x ^ t[j]));
            j = (t[q % 8] + q) % 8;
        }
        return out;
    }
};

Cipher setUp() {
    Cipher c;
    setUpCipher(c);
    return c;
}

Bytes randomBytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (uint8_t& v : b)
        v = static_cast<uint8_t>(rng());
    return b;
}

// CRC-16/ARC one bit at a time.
uint16_t bitwiseCrc(uint16_t crc, const Bytes& data) {
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; i++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

TEST(CipherSetUp, MatchesAnIndependentCalculationAndTheHandWorkedValues) {
    const Cipher c = setUp();
    const Reference r;
    // Worked out separately from "Quillmar" and the schedule string.
    const uint8_t state[8] = {0xAC, 0x7D, 0xA2, 0x06, 0x9B, 0x2B, 0xF3, 0x80};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(c.state[i], state[i]) << "state byte " << i;
        EXPECT_EQ(c.state[i], r.s[i]) << "state byte " << i;
    }
    EXPECT_EQ(c.mix, 0x37);
    EXPECT_EQ(c.mix, r.x);
    EXPECT_EQ(c.start, 5);
    EXPECT_EQ(c.start, r.n);
    EXPECT_EQ(c.forward[0], 48);
    EXPECT_EQ(c.forward[1], 32);
    EXPECT_EQ(c.forward[255], 111);
    bool seen[256] = {};
    for (int k = 0; k < 256; k++) {
        EXPECT_EQ(c.forward[k], r.p[k]) << "P[" << k << "]";
        EXPECT_FALSE(seen[c.forward[k]]) << "P is not a permutation at " << k;
        seen[c.forward[k]] = true;
        EXPECT_EQ(c.inverse[c.forward[k]], k) << "Q is not the inverse of P at " << k;
    }
}

TEST(CipherBytes, MatchesTheHandWorkedVectors) {
    const Cipher c = setUp();
    struct Case {
        Bytes plain;
        Bytes enciphered;
    };
    const std::string hello = "Hello, cipher";
    const Case cases[] = {
        {Bytes(hello.begin(), hello.end()),
         {0x64, 0xA9, 0x5E, 0x9B, 0x69, 0xFC, 0x39, 0xB7, 0x92, 0x36, 0xAE, 0xAB, 0x36}},
        {Bytes(12, 0), {0x2C, 0x9C, 0xAC, 0x9C, 0xAC, 0x9C, 0xAC, 0x9C, 0xAC, 0x9C, 0xAC, 0x9C}},
    };
    for (const Case& k : cases) {
        Bytes b = k.plain;
        encipherBytes(c, b.data(), b.size());
        EXPECT_EQ(b, k.enciphered);
        decipherBytes(c, b.data(), b.size());
        EXPECT_EQ(b, k.plain);
    }
}

TEST(CipherBytes, RandomBuffersMatchTheReferenceAndRoundTrip) {
    const Cipher c = setUp();
    const Reference r;
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; round++) {
        const Bytes plain = randomBytes(rng, rng() % 5000);
        Bytes b = plain;
        encipherBytes(c, b.data(), b.size());
        EXPECT_EQ(b, r.encipher(plain)) << "round " << round;
        if (plain.size() >= 8) {
            EXPECT_NE(b, plain) << "round " << round;
        }
        decipherBytes(c, b.data(), b.size());
        EXPECT_EQ(b, plain) << "round " << round;
    }
}

TEST(CipherBytes, EveryCallStartsFromAFreshState) {
    const Cipher c = setUp();
    std::mt19937 rng(7);
    const Bytes plain = randomBytes(rng, 300);
    Bytes first = plain;
    Bytes other = randomBytes(rng, 77);
    Bytes second = plain;
    encipherBytes(c, first.data(), first.size());
    encipherBytes(c, other.data(), other.size());  // must leave no trace in the next call
    encipherBytes(c, second.data(), second.size());
    EXPECT_EQ(first, second);
    // The same holds for deciphering: a buffer deciphered after another gives the plain bytes.
    decipherBytes(c, other.data(), other.size());
    decipherBytes(c, second.data(), second.size());
    EXPECT_EQ(second, plain);
}

TEST(CipherBytes, OnlyAStartIndexOfOneToSevenEnciphers) {
    std::mt19937 rng(3);
    const Bytes plain = randomBytes(rng, 64);
    struct Case {
        int32_t start;
        bool changes;
    };
    for (const Case k : {Case{-1, false}, Case{0, false}, Case{1, true}, Case{5, true},
                         Case{7, true}, Case{8, false}}) {
        Cipher c = setUp();
        c.start = k.start;
        Bytes b = plain;
        encipherBytes(c, b.data(), b.size());
        EXPECT_EQ(b != plain, k.changes) << "start " << k.start;
        decipherBytes(c, b.data(), b.size());
        EXPECT_EQ(b, plain) << "start " << k.start;
    }
}

TEST(CipherBlocks, OnlyKeyAndDataBlocksFromByteFiveOn) {
    KeyedShared s;
    s.blockSize = 1024;
    std::mt19937 rng(11);
    const Bytes body = randomBytes(rng, s.blockSize);
    struct Case {
        uint8_t type;
        bool enciphered;
    };
    const Case cases[] = {{kTypeKey, true},  {kTypeData, true},  {kTypeDict, false},
                          {kTypeMap, false}, {kTypeFree, false}, {kMapDataFull, false}};
    for (bool withCipher : {false, true}) {
        if (withCipher) {
            s.cipher = std::make_unique<Cipher>();
            setUpCipher(*s.cipher);
        }
        for (const Case& k : cases) {
            Bytes block = body;
            block[0] = k.type;
            const Bytes plain = block;
            encipherBlock(&s, block.data());
            Bytes expected = plain;
            if (withCipher && k.enciphered)
                encipherBytes(*s.cipher, expected.data() + 5, s.blockSize - 5);
            EXPECT_EQ(block, expected) << "type " << int(k.type) << " cipher " << withCipher;
            EXPECT_EQ(std::memcmp(block.data(), plain.data(), 5), 0);  // type and self address
            EXPECT_EQ(block != plain, withCipher && k.enciphered) << "type " << int(k.type);
            decipherBlock(&s, block.data());
            EXPECT_EQ(block, plain) << "type " << int(k.type) << " cipher " << withCipher;
        }
    }
}

TEST(PasswordChecksum, IsCrc16Arc) {
    const std::string check = "123456789";
    const Bytes digits(check.begin(), check.end());
    EXPECT_EQ(crc16(0, digits), 0xBB3D);  // the published check value of CRC-16/ARC
    EXPECT_EQ(crc16(0, {}), 0);
    EXPECT_EQ(crc16(kPasswordChecksumSeed, {}), kPasswordChecksumSeed);
    std::mt19937 rng(5);
    for (int round = 0; round < 200; round++) {
        const Bytes a = randomBytes(rng, rng() % 40);
        const Bytes b = randomBytes(rng, rng() % 40);
        const uint16_t seed = round % 2 ? kPasswordChecksumSeed : static_cast<uint16_t>(rng());
        EXPECT_EQ(crc16(seed, a), bitwiseCrc(seed, a));
        Bytes ab = a;
        ab.insert(ab.end(), b.begin(), b.end());
        EXPECT_EQ(crc16(crc16(seed, a), b), bitwiseCrc(seed, ab));  // it continues
    }
}

}  // namespace
