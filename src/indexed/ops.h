// The operations of the indexed engine, one per supported slot of its operation table.  Each
// runs under the handle's file lock and raises on failure.
#pragma once

#include <cstdint>

#include "frame/handle.h"

namespace mdnio::indexed {

const MdkOpTable& operationTable();

int32_t close(MdkFile* f);
int32_t seek(MdkFile* f, const void* key, int32_t keyLength, int32_t keyNumber);
int32_t write(MdkFile* f, const void* data, int32_t dataLength, const void* key, int32_t keyLength,
              int32_t writeMode, int32_t offset);
int32_t setpos(MdkFile* f, int32_t number);
int32_t getpos(MdkFile* f);
int32_t read(MdkFile* f, void* buffer, int32_t length, int32_t option, int32_t offset,
             int32_t position);
int32_t unlockRecord(MdkFile* f, int32_t which);
int32_t getKey(MdkFile* f, void* buffer, int32_t length, int32_t keyNumber);

// The answers to the library's questions (describe.cpp).
CurrentKey currentKeyOf(MdkFile* f);
void describeFile(MdkFile* f, MdkFileInfo* info);
KeyShape keyLayoutOf(MdkFile* f, common::KeyLayout* out);

}  // namespace mdnio::indexed
