// The restricted read shared by the kinds whose records the library reads itself (slot 18 of
// their operation tables): classic keyed and indexed files now, extended keyed files and
// remote files held in memory when they come.  It skips the records that lie outside the key
// range or fail the handle's restrict program without handing them out.  A kind reads either
// through the exported read, each read taking and giving back the engine's locks by itself, or
// in a way of its own that reads runs of records at once (the classic engine: many records in
// one optimistic read period).
#pragma once

#include <cstdint>

#include "frame/handle.h"

namespace mdnio::filter {

constexpr int32_t kEndOfRange = -4;  // the answer at the end of the range or of the file

// The next record from `option` on (the first read uses `option`, later ones read the next
// record) that lies inside the key range and satisfies the program, when the mode asks for
// filtering and the handle has a program of its own.  Answers what the read of that record
// answered (its length, or -2 when it did not fit the buffer), kEndOfRange, or -1 with the
// read's code.  Raises 48 for a field a record does not have, 34 for an unknown operator, 7
// for a key range without end key.
int32_t restrictedRead(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                       void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                       int32_t endKeyLength, int32_t mode);

// Judges the record a read has just delivered into the buffer (`result`: what the read
// answered): true when the restricted read stops there, at a record it takes or at the end of
// the key range.  It only looks at the buffer and the handle's current key, so judging the same
// records again gives the same answers.  Raises as restrictedRead does.
using RecordJudge = bool (*)(void* context, int32_t result);

// How a kind reads for a restricted read: with `option` first and MDK_READ_NEXT after, until
// `judge` stops at a record.  Answers that read's result, or -1 with the handle's code (23 for
// a busy record, 4 at the end of the file); a raise of the judge's either passes through or
// ends the reading with -1 and its code, which comes to the same for the caller.
using ReadUntil = int32_t (*)(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                              RecordJudge judge, void* context);

// The way of every kind: one exported read per record, each taking and giving back the
// engine's locks by itself.
int32_t readThroughExports(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                           RecordJudge judge, void* context);

// restrictedRead with the kind's own way of reading a run of records.
int32_t restrictedReadWith(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                           void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                           int32_t endKeyLength, int32_t mode, ReadUntil readUntil);

}  // namespace mdnio::filter
