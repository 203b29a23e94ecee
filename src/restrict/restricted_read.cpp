#include "restrict/restricted_read.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "frame/frame.h"
#include "restrict/compare.h"
#include "restrict/current_key.h"
#include "restrict/program.h"
#include "restrict/record_fields.h"

namespace mdnio::filter {

namespace {

constexpr int32_t kCutShort = -2;  // a read whose record did not fit: the buffer is full

// The bytes a read left in the buffer.  The fields of a record are looked for in these only,
// never in what an earlier, longer record left behind them.
std::span<const uint8_t> delivered(const void* buffer, int32_t bufferLength, int32_t result) {
    if (!buffer || bufferLength <= 0) return {};
    size_t n = 0;
    if (result == kCutShort) {
        n = static_cast<size_t>(bufferLength);
    } else if (result > 0) {
        n = static_cast<size_t>(std::min(result, bufferLength));
    }
    return {static_cast<const uint8_t*>(buffer), n};
}

// Inside the range while the key's first bytes are not above the end key.  Only the key's own
// bytes are compared: a key shorter than the end key and equal on its bytes is below it.
bool insideRange(const CurrentKey& key, const uint8_t* endKey, size_t endLength) {
    const size_t n = std::min(key.stored, endLength);
    return n == 0 || std::memcmp(key.bytes, endKey, n) <= 0;
}

// Every entry must hold; the first one that does not rejects the record.
bool accepts(MdkFile* file, const ActiveProgram& program, RecordFields& fields) {
    for (int i = 0; i < program.count; ++i) {
        const ActiveEntry& entry = program.entries[i];
        const RestrictSlot& slot = *entry.slot;
        FieldSpan field;
        if (!fields.find(slot.fieldNumber, field)) raiseError(file, MDK_E_NOFIELD);
        const size_t at = field.start + static_cast<size_t>(slot.offset);
        int comparison = 0;
        if (entry.numeric) {
            const std::optional<int> c =
                compareNumber(fields.record(), at, field.end, slot.width, fields.separator(),
                              entry.divisor, slot.number);
            if (!c) return false;  // a field that is not a number matches nothing
            comparison = *c;
        } else {
            comparison =
                compareBytes(fields.record(), at, slot.value, static_cast<size_t>(slot.length));
        }
        const std::optional<bool> holds = operatorHolds(entry.op, comparison);
        if (!holds) raiseError(file, MDK_E_OPERATOR);
        if (!*holds) return false;
    }
    return true;
}

// What the judge of one restricted read needs to know, and what it found at the end of the
// range.
struct Judgement {
    MdkFile* file;
    const void* buffer;
    int32_t bufferLength;
    bool ranged;
    const uint8_t* end;
    size_t endLength;
    const ActiveProgram* program;
    RecordFields* fields;
    bool endOfRange = false;
    int32_t endKeyLength = 0;  // the current key's length where the range ended
};

bool judge(void* context, int32_t result) {
    auto& j = *static_cast<Judgement*>(context);
    j.endOfRange = false;
    if (!j.ranged) return true;
    if (j.endLength > 0) {
        const CurrentKey key = currentKey(j.file);
        if (!insideRange(key, j.end, j.endLength)) {
            j.endOfRange = true;
            j.endKeyLength = key.length;
            return true;
        }
    }
    if (j.program->count == 0) return true;
    j.fields->reset(delivered(j.buffer, j.bufferLength, result));
    return accepts(j.file, *j.program, *j.fields);
}

}  // namespace

int32_t readThroughExports(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                           RecordJudge judge, void* context) {
    int32_t result = MDK_ExtReadDirect(file, buffer, bufferLength, option, 0, 0);
    while (result != -1 && !judge(context, result))
        result = MDK_ExtReadDirect(file, buffer, bufferLength, MDK_READ_NEXT, 0, 0);
    return result;
}

int32_t restrictedRead(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                       void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                       int32_t endKeyLength, int32_t mode) {
    return restrictedReadWith(file, buffer, bufferLength, option, keyOut, keyLengthOut, endKey,
                              endKeyLength, mode, readThroughExports);
}

int32_t restrictedReadWith(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                           void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                           int32_t endKeyLength, int32_t mode, ReadUntil readUntil) {
    const size_t endLength = static_cast<uint8_t>(endKeyLength);
    auto* keyBytes = static_cast<uint8_t*>(keyOut);
    if (keyBytes) std::memset(keyBytes, 0, endLength);
    if (keyLengthOut) *keyLengthOut = 0;

    // Mode bit 2 (without bit 1) applies the key range, and the program when the handle has one.
    const bool ranged = (mode & MDK_RESTRICT_FILTER) && !(mode & MDK_RESTRICT_NO_FILTER);
    ActiveProgram program;
    if (ranged) activeProgram(file, program);
    const auto* end = static_cast<const uint8_t*>(endKey);
    if (ranged && endLength > 0 && !end) raiseError(file, MDK_E_LENGTH);

    const MdkSharedFile* shared = file->shared;
    const size_t dataStart =
        shared->maxDataLength != 0 ? static_cast<size_t>(std::max(shared->keyAreaWidth, 0)) : 0;
    RecordFields fields(dataStart, shared->separator);
    Judgement judgement{file, buffer, bufferLength, ranged, end, endLength, &program, &fields};

    // The reads below take the file lock each; holding it across them makes every one of those
    // a count instead of a mutex round trip.  A raise inside one gives it back, and the reads
    // that follow take it for themselves again.
    FileLockHold hold(file);
    const int32_t result = readUntil(file, buffer, bufferLength, option, judge, &judgement);
    if (result == -1) return file->error == MDK_E_EOF ? kEndOfRange : -1;
    if (judgement.endOfRange) {
        if (keyBytes) {
            std::memset(keyBytes, 0xFF, endLength);
            keyBytes[endLength] = 0;
        }
        if (keyLengthOut) *keyLengthOut = static_cast<uint8_t>(judgement.endKeyLength);
        return kEndOfRange;
    }
    if (keyBytes || keyLengthOut) {
        const CurrentKey key = currentKey(file);
        if (keyLengthOut) *keyLengthOut = static_cast<uint8_t>(key.length);
        if (keyBytes) std::memcpy(keyBytes, key.bytes, static_cast<size_t>(key.length));
    }
    return result;
}

}  // namespace mdnio::filter
