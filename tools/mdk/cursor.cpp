#include "mdk/cursor.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace mdk {

namespace {

// The key-range test of the restricted reads: the key's first bytes, as many as the end key
// has, are not above it.
bool notAbove(const std::string& key, const std::string& end) {
    const size_t n = std::min(key.size(), end.size());
    return n == 0 || std::memcmp(key.data(), end.data(), n) <= 0;
}

// The seek's order: bytewise, a shorter key before a longer one it begins.
bool before(const std::string& key, const std::string& start) {
    const size_t n = std::min(key.size(), start.size());
    const int c = std::memcmp(key.data(), start.data(), n);
    return c < 0 || (c == 0 && key.size() < start.size());
}

}  // namespace

KeyCursor::KeyCursor(OpenFile& file, const KeyRange& range, bool reverse)
    : file_(file), range_(range), reverse_(reverse) {
    if (range_.from) storedFrom_ = file_.storedKey(*range_.from, range_.keyNumber);
    if (range_.to) storedTo_ = file_.storedKey(*range_.to, range_.keyNumber);
}

bool KeyCursor::insideTo() {
    return !storedTo_ || notAbove(file_.currentKey(), *storedTo_);
}

bool KeyCursor::belowFrom() {
    return storedFrom_ && before(file_.currentKey(), *storedFrom_);
}

bool KeyCursor::next(Record& out) {
    if (ended_) return false;
    bool found = false;
    if (!started_) {
        started_ = true;
        found = reverse_ ? startBackward(out) : startForward(out);
    } else {
        found = file_.read(reverse_ ? MDK_READ_PRIOR : MDK_READ_NEXT, out);
    }
    if (found && (reverse_ ? belowFrom() : !insideTo())) found = false;
    if (!found) ended_ = true;
    return found;
}

// A seek leaves the position on the first key at or after the bytes sought: the current read
// delivers it, whether or not the key was equal.
bool KeyCursor::startForward(Record& out) {
    const bool indexed = file_.kind() == FileKind::Indexed;
    file_.seek(range_.from.value_or(indexed ? "0" : ""), range_.keyNumber);
    return file_.read(MDK_READ_CURRENT, out);
}

// Backwards there is no seek to "the last key": seek the upper bound (or a value at least as
// high as any key the key can build), then step forwards over the keys still inside, so that a
// prior read from there delivers the last record of the range.
bool KeyCursor::startBackward(Record& out) {
    if (file_.kind() == FileKind::Indexed) {
        const long count = file_.recordCount();
        if (count <= 0) return false;
        long last = count - 1;
        if (range_.to) last = std::min(last, std::stol(file_.storedKey(*range_.to, 1)));
        file_.seek(std::to_string(last), range_.keyNumber);
    } else {
        file_.seek(range_.to ? *range_.to : highestKey(), range_.keyNumber);
    }
    bool stepped = false;
    bool onRecord = file_.read(MDK_READ_CURRENT, out);
    while (onRecord && insideTo()) {
        stepped = true;
        onRecord = file_.read(MDK_READ_NEXT, out);
    }
    if (!onRecord && stepped) {
        // The end of the file stopped the steps: the position is on the last record.
        return file_.read(MDK_READ_CURRENT, out);
    }
    return file_.read(MDK_READ_PRIOR, out);
}

// The caller's bytes that become the highest stored value: all 0xFF for ascending segments,
// all zero for descending ones (complemented).  Whichever stores higher is taken; keys above it
// (segments whose case tables have no image 0xFF) are stepped over by startBackward.
std::string KeyCursor::highestKey() {
    int32_t keyCount = range_.keyNumber, segments = 0;
    std::vector<MdkKeyInfo> keys(static_cast<size_t>(std::max(range_.keyNumber, 1)));
    if (MDDescribeIndex(file_.get(), 0, &keyCount, &segments, keys.data(), nullptr) != 1 ||
        range_.keyNumber < 1 || range_.keyNumber > keyCount) {
        return std::string(1, '\xFF');  // the seek reports what is wrong with the key number
    }
    const size_t length =
        static_cast<size_t>(keys[static_cast<size_t>(range_.keyNumber - 1)].keyLength);
    const std::string ones(length, '\xFF'), zeros(length, '\0');
    const std::string storedOnes = file_.storedKey(ones, range_.keyNumber);
    const std::string storedZeros = file_.storedKey(zeros, range_.keyNumber);
    return std::memcmp(storedOnes.data(), storedZeros.data(), length) >= 0 ? ones : zeros;
}

}  // namespace mdk
