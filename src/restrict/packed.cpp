#include "restrict/packed.h"

#include "common/bytes.h"

namespace mdnio::filter {

namespace {

constexpr size_t kEntryHeader = 12;
constexpr int32_t kLongestKey = 255;

// Reads the packed bytes front to back; every read first checks that the bytes are there.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool has(size_t n) const { return bytes_.size() - at_ >= n; }

    // The next 16-bit value; the caller has checked has(2).
    int32_t u16() {
        const int32_t v = common::getBe16(bytes_.data() + at_);
        at_ += 2;
        return v;
    }

    // The next n bytes; null when fewer remain.
    const uint8_t* take(size_t n) {
        if (!has(n)) return nullptr;
        const uint8_t* p = bytes_.data() + at_;
        at_ += n;
        return p;
    }

  private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

}  // namespace

bool decodePackedProgram(std::span<const uint8_t> bytes, PackedProgram& out) {
    Reader in(bytes);
    if (!in.has(2)) return false;
    const int32_t count = in.u16();
    if (count > kRestrictSlots) return false;
    for (int32_t i = 0; i < count; ++i) {
        if (!in.has(kEntryHeader)) return false;
        MdkRestrictEntry& e = out.entries[i];
        e.fieldNumber = in.u16();
        e.offset = in.u16();
        e.width = in.u16();
        e.op = in.u16();
        e.scale = in.u16();
        e.length = in.u16();
        e.reserved = 0;
        // A zero-length constant needs no bytes; it still gets a valid pointer.
        const uint8_t* constant = in.take(static_cast<size_t>(e.length));
        if (!constant) return false;
        e.value = reinterpret_cast<const char*>(constant);
    }
    if (!in.has(4)) return false;
    out.keyLength = in.u16();
    out.keyNumber = in.u16();
    if (out.keyLength > kLongestKey) return false;
    out.key = in.take(static_cast<size_t>(out.keyLength));
    if (!out.key) return false;
    out.count = count;
    return true;
}

}  // namespace mdnio::filter
