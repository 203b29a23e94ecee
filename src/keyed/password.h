// Data-file passwords and the block cipher of protected classic (and extended) keyed files.
//
// A protected file carries a password record among its dictionary records: field 1 "EXT",
// field 2 the file option word, field 3 the password kind and the masked password, field 4 a
// CRC-16 over field 3 and the file identity.  Kinds 2 and 3 also encipher the bytes 5..B-1 of
// every key block and data block on disk; the cipher's state is fixed by two constants, so one
// set-up serves every protected file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mdnio::keyed {

// State of the byte-wise block cipher, set up once per shared file.
struct Cipher {
    int32_t start = -1;     // first state index; -1: no cipher, 0: blocks stay plain
    uint8_t state[8] = {};  // initial state bytes
    uint8_t mix = 0;
    uint8_t forward[256] = {};  // P, a permutation
    uint8_t inverse[256] = {};  // Q, its inverse
};

// Every password byte is stored and compared XOR this mask.
inline constexpr uint8_t kPasswordMask = 0xB6;
// Longest password a password record holds (its field 3 is the kind byte and these bytes).
inline constexpr size_t kMaxPasswordLength = 8;
// Initial value of the password record's checksum.
inline constexpr uint16_t kPasswordChecksumSeed = 0x93E5;
// MDK_SetPswd's answer when the file has a password already.
inline constexpr int32_t kPasswordAlreadySet = 50;

// Password kinds (first byte of field 3) and what a wrong or missing password does.
inline constexpr uint8_t kKindRefuse = 0;          // the open is refused
inline constexpr uint8_t kKindReadOnly = 1;        // the handle refuses writes
inline constexpr uint8_t kKindRefuseCipher = 2;    // refused; blocks enciphered
inline constexpr uint8_t kKindReadOnlyCipher = 3;  // read-only; blocks enciphered
inline bool kindEnciphers(uint8_t kind) {
    return kind == kKindRefuseCipher || kind == kKindReadOnlyCipher;
}

// Fills `c` from the cipher's constants: state, mixing byte, start index and both tables.
void setUpCipher(Cipher& c);
// Enciphers or deciphers `n` bytes in place, each call starting from a fresh copy of the state
// at index `start`.  They do nothing unless start is 1..7.
void encipherBytes(const Cipher& c, uint8_t* bytes, size_t n);
void decipherBytes(const Cipher& c, uint8_t* bytes, size_t n);

// CRC-16/ARC (reflected polynomial 0xA001) over `bytes`, continuing from `crc`.
uint16_t crc16(uint16_t crc, std::span<const uint8_t> bytes);

}  // namespace mdnio::keyed
