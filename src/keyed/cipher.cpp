// The block cipher of protected files.  Key blocks and data blocks are enciphered from byte 5 to
// the end just before they are written and deciphered right after they are read; the type byte
// and the self address stay plain, so a block's type decides whether its bytes are enciphered.
// Files without a password keep their blocks plain: the cipher is set up only by the password
// check at open and by MDK_SetPswd.
#include <cstring>
#include <utility>

#include "keyed/keyed.h"
#include "keyed/password.h"

namespace mdnio::keyed {

namespace {

constexpr uint8_t kInitialState[8] = {'Q', 'u', 'i', 'l', 'l', 'm', 'a', 'r'};
constexpr uint8_t kSchedule[9] = {0x3E, 0x91, 0xC4, 0x07, 0x5D, 0xE2, 0x18, 0xAB, 0x66};
constexpr size_t kFirstEnciphered = 5;  // bytes 0..4: type and self address

// The start index is an index into the 8 state bytes; 0 (and the -1 of "no cipher") leaves
// the bytes plain.
bool active(const Cipher& c) {
    return c.start > 0 && c.start < 8;
}

bool enciphered(uint8_t type) {
    return type == kTypeKey || type == kTypeData;
}

}  // namespace

void setUpCipher(Cipher& c) {
    std::memcpy(c.state, kInitialState, sizeof c.state);
    uint8_t x = 0;
    for (unsigned i = 0; i < 32; i++) {
        const uint8_t k = kSchedule[i % sizeof kSchedule];
        x ^= k;
        uint8_t& b = c.state[i % 8];
        switch (i % 3) {
            case 0:
                b ^= k;
                break;
            case 1:
                b = static_cast<uint8_t>(b + k);
                break;
            default:
                b = static_cast<uint8_t>(b - k);
                break;
        }
    }
    c.mix = x;
    c.start = (c.state[1] + c.state[2] + c.state[3]) & 7;
    for (unsigned k = 0; k < 256; k++)
        c.forward[k] = static_cast<uint8_t>(k);
    // y stays below 2^23, so neither product leaves 32 bits.
    uint32_t y = x;
    for (uint32_t k = 0; k < 256; k++) {
        const uint32_t m = (23 * (y + k)) & 0xFF;
        std::swap(c.forward[k], c.forward[m]);
        y = (y * 57) & 0x7FFFFF;
    }
    for (unsigned k = 0; k < 256; k++)
        c.inverse[c.forward[k]] = static_cast<uint8_t>(k);
}

void encipherBytes(const Cipher& c, uint8_t* bytes, size_t n) {
    if (!active(c)) return;
    uint8_t t[8];
    std::memcpy(t, c.state, sizeof t);
    unsigned j = static_cast<unsigned>(c.start);
    for (size_t i = 0; i < n; i++) {
        const uint8_t p = c.forward[bytes[i]];
        t[j] ^= p;
        bytes[i] = c.mix ^ t[j];
        j = (t[p & 7] + p) & 7;  // from the state after the update
    }
}

void decipherBytes(const Cipher& c, uint8_t* bytes, size_t n) {
    if (!active(c)) return;
    uint8_t t[8];
    std::memcpy(t, c.state, sizeof t);
    unsigned j = static_cast<unsigned>(c.start);
    for (size_t i = 0; i < n; i++) {
        // The enciphered byte is mix ^ (t[j] ^ p): undo the mix and the state byte to get p.
        const uint8_t p = c.mix ^ bytes[i] ^ t[j];
        t[j] ^= p;
        bytes[i] = c.inverse[p];
        j = (t[p & 7] + p) & 7;
    }
}

void encipherBlock(const KeyedShared* s, uint8_t* block) {
    if (!s->cipher || !enciphered(block[0])) return;
    encipherBytes(*s->cipher, block + kFirstEnciphered, s->blockSize - kFirstEnciphered);
}

void decipherBlock(const KeyedShared* s, uint8_t* block) {
    if (!s->cipher || !enciphered(block[0])) return;
    decipherBytes(*s->cipher, block + kFirstEnciphered, s->blockSize - kFirstEnciphered);
}

}  // namespace mdnio::keyed
