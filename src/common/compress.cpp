#include "common/compress.h"

#include <algorithm>
#include <cstring>

namespace mdnio::common {

namespace {

constexpr size_t kMaxLiteral = 127;
constexpr size_t kMaxRepeat = 111;  // longest run one repeat code holds
constexpr uint8_t kRepeatBase = 128;
constexpr uint8_t kZeroRun = 240;
constexpr size_t kMaxZeroExtra = 255;
constexpr uint8_t kStored = 241;

bool threeEqual(std::span<const uint8_t> in, size_t p) {
    return p + 2 < in.size() && in[p] == in[p + 1] && in[p] == in[p + 2];
}

// Appends codes to a buffer that must not grow past the input length.
class CodeWriter {
  public:
    CodeWriter(std::span<uint8_t> out, size_t limit) : out_(out), limit_(limit) {}
    bool put(uint8_t b) {
        if (at_ >= limit_) return false;
        out_[at_++] = b;
        return true;
    }
    bool put(std::span<const uint8_t> bytes) {
        if (bytes.size() > limit_ - at_) return false;
        std::memcpy(out_.data() + at_, bytes.data(), bytes.size());
        at_ += bytes.size();
        return true;
    }
    size_t size() const { return at_; }

  private:
    std::span<uint8_t> out_;
    size_t limit_;
    size_t at_ = 0;
};

bool putRepeat(CodeWriter& w, uint8_t v, size_t run) {
    if (run > kMaxRepeat && v == 0) {
        while (run > kMaxRepeat) {
            const size_t extra = std::min(run - kMaxRepeat, kMaxZeroExtra);
            if (!w.put(kZeroRun) || !w.put(static_cast<uint8_t>(extra))) return false;
            run -= kMaxRepeat + extra;
        }
    } else {
        while (run > kMaxRepeat) {
            if (!w.put(static_cast<uint8_t>(kRepeatBase + kMaxRepeat)) || !w.put(v)) return false;
            run -= kMaxRepeat;
        }
    }
    if (run == 0) return true;
    return w.put(static_cast<uint8_t>(kRepeatBase + run)) && w.put(v);
}

}  // namespace

long compressRecord(std::span<const uint8_t> in, std::span<uint8_t> out) {
    const size_t n = in.size();
    if (out.size() < compressedBound(n)) return -1;
    CodeWriter w(out, n);
    bool fits = true;
    for (size_t p = 0; p < n && fits;) {
        if (threeEqual(in, p)) {
            size_t run = 3;
            while (p + run < n && in[p + run] == in[p])
                ++run;
            fits = putRepeat(w, in[p], run);
            p += run;
        } else {
            size_t count = 1;
            while (count < kMaxLiteral && p + count + 2 < n && !threeEqual(in, p + count))
                ++count;
            fits = w.put(static_cast<uint8_t>(count)) && w.put(in.subspan(p, count));
            p += count;
        }
    }
    if (fits) return static_cast<long>(w.size());
    out[0] = kStored;
    if (n > 0) std::memcpy(out.data() + 1, in.data(), n);
    return static_cast<long>(n + 1);
}

long decompressRecord(std::span<const uint8_t> in, std::span<uint8_t> out) {
    if (!in.empty() && in[0] == kStored) {
        const size_t n = in.size() - 1;
        if (n > out.size()) return kDecompressOverflow;
        if (n > 0) std::memcpy(out.data(), in.data() + 1, n);
        return static_cast<long>(n);
    }
    size_t at = 0;
    for (size_t p = 0; p < in.size();) {
        const uint8_t code = in[p++];
        if (code < kRepeatBase) {
            if (code > in.size() - p) return kDecompressBadCode;
            if (code > out.size() - at) return kDecompressOverflow;
            if (code > 0) std::memcpy(out.data() + at, in.data() + p, code);
            p += code;
            at += code;
        } else if (code <= kZeroRun) {
            if (p >= in.size()) return kDecompressBadCode;
            const uint8_t v = code == kZeroRun ? 0 : in[p];
            const size_t run = code == kZeroRun ? kMaxRepeat + in[p] : size_t{code} - kRepeatBase;
            ++p;
            if (run > out.size() - at) return kDecompressOverflow;
            std::memset(out.data() + at, v, run);
            at += run;
        } else {
            return kDecompressBadCode;
        }
    }
    return static_cast<long>(at);
}

}  // namespace mdnio::common
