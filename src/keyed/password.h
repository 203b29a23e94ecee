// Data-file passwords and the block cipher of protected classic (and extended) keyed files.
#pragma once

#include <cstdint>

namespace mdnio::keyed {

// State of the byte-wise block cipher, set up once per shared file.
struct Cipher {
    int32_t start = -1;     // first state index; -1: no cipher
    uint8_t state[8] = {};  // initial state bytes
    uint8_t mix = 0;
    uint8_t forward[256] = {};  // P, a permutation
    uint8_t inverse[256] = {};  // Q, its inverse
};

}  // namespace mdnio::keyed
