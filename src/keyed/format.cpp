// The classic header codec: the fields of the 256-byte header, the sizes derived from them and
// the key descriptor table, as the open, the verifier and the builder read and write them.
#include "keyed/format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace mdnio::keyed {

namespace {

constexpr size_t kMagicLength = sizeof kMagic - 1;

}  // namespace

bool hasMagic(const uint8_t* h) {
    return std::memcmp(h, kMagic, kMagicLength) == 0 ||
           std::memcmp(h, kOldMagic, kMagicLength) == 0;
}

void putMagic(uint8_t* h, bool old) {
    std::memcpy(h + kOffMagic, old ? kOldMagic : kMagic, kMagicLength);
}

int32_t slotSizeOf(int32_t recordSize, int32_t keyAreaSize, bool blockMode, bool compressed) {
    const int32_t size = recordSize + keyAreaSize + 3 + (blockMode ? 4 : 0) + (compressed ? 1 : 0);
    return std::max(size, 5);
}

int32_t Header::separator() const {
    if (flagsA & kLengthPrefixed) return -1;
    if (flagsA & kSeparatorGiven) return separatorByte;
    return common::kDefaultSeparator;
}

Header decodeHeader(const uint8_t* h) {
    Header d;
    d.recordSize = getS16(h, kOffRecordSize);
    d.keyAreaSize = getS16(h, kOffKeyArea);
    d.blockCode = static_cast<int8_t>(h[kOffBlockCode]);
    d.flagsA = h[kOffFlagsA];
    d.flagsB = h[kOffFlagsB];
    d.maxRecords = get32(h, kOffMaxRecords);
    d.recordCount = get32(h, kOffRecordCount);
    d.eof = get32(h, kOffEof);
    d.identity = get32(h, kOffIdentity);
    d.sequence = get32(h, kOffSequence);
    d.dictionary = get32(h, kOffDictionary);
    d.fillPercent = h[kOffFill];
    d.segments = h[kOffSegments];
    d.separatorByte = h[kOffSeparator];
    for (size_t k = 0; k < d.roots.size(); ++k)
        d.roots[k] = get32(h, kOffRoots + static_cast<int>(4 * k));
    return d;
}

bool counterCheckHolds(const uint8_t* h) {
    return h[kOffCheck] == (h[kOffCounter] ^ h[kOffCounter + 2]) &&
           h[kOffCheck + 1] == (h[kOffCounter + 1] ^ h[kOffCounter + 3]);
}

void putCounterCheck(uint8_t* h) {
    h[kOffCheck] = h[kOffCounter] ^ h[kOffCounter + 2];
    h[kOffCheck + 1] = h[kOffCounter + 1] ^ h[kOffCounter + 3];
}

int decodeHeaderKeys(std::span<const uint8_t> header, std::span<const uint8_t> continuation,
                     common::KeyLayout& out) {
    out = common::KeyLayout{};
    if (header.size() < kHeaderSize) return MDK_E_LENGTH;
    const Header h = decodeHeader(header.data());
    if (h.blockCode < 0) return MDK_E_LENGTH;
    common::ClassicKeyParams params;
    params.keyAreaSize = h.keyAreaSize;
    params.blockSize = h.blockSize();
    params.padSignificant = (h.flagsA & kPadSignificant) != 0;
    params.lengthPrefixed = (h.flagsA & kLengthPrefixed) != 0;
    // Length prefixes win over a separator, which the layout keeps all the same.
    params.separator = (h.flagsA & kSeparatorGiven) ? h.separatorByte : common::kDefaultSeparator;

    std::array<uint8_t, kDescriptorBytes + kHeaderSize> table{};
    size_t size = kDescriptorBytes;
    std::copy_n(header.begin() + kOffDescriptors, kDescriptorBytes, table.begin());
    if (h.flagsA & kDescContinued) {
        if (continuation.size() < kHeaderSize) return MDK_E_LENGTH;
        std::copy_n(continuation.begin(), kHeaderSize, table.begin() + size);
        size += kHeaderSize;
    }
    return common::decodeClassicKeys(std::span<const uint8_t>(table.data(), size), params, out);
}

}  // namespace mdnio::keyed
