#include "catalog/facts.h"

#include <span>

#include "catalog/describe.h"
#include "frame/frame.h"
#include "indexed/format.h"
#include "keyed/keyed.h"

namespace mdnio::catalog {

namespace {

// The separator as the description's byte: "none" (-1) shows as 0xFF.
uint8_t separatorByte(int32_t separator) {
    return static_cast<uint8_t>(separator);
}

void describeClassic(MdkFile* file, MdkFileInfo& info) {
    FileLockHold hold(file);
    const auto* s = static_cast<const keyed::KeyedShared*>(file->shared);
    describeClassicHeader(std::span<const uint8_t, 256>(s->header), info);
    info.maxDataLength = s->maxDataLength;
    info.keyCount = static_cast<int32_t>(s->layout.keyCount());
    // The segments of every key, as MDDescribeIndex numbers them from key 0 on.
    info.segmentCount = static_cast<int32_t>(s->layout.segments.size());
    info.separator = separatorByte(s->separator);
}

void describeIndexed(MdkFile* file, MdkFileInfo& info) {
    FileLockHold hold(file);
    const MdkSharedFile* s = file->shared;
    describeIndexedHeader(std::span<const uint8_t, 20>(s->header, indexed::kHeaderFields), info);
    info.maxDataLength = s->maxDataLength;
    info.separator = separatorByte(s->separator);
}

}  // namespace

bool describeOpenFile(MdkFile* file, MdkFileInfo& info) {
    switch (file->kind) {
        case MDK_KIND_KEYED:
            describeClassic(file, info);
            return true;
        case MDK_KIND_INDEXED:
            describeIndexed(file, info);
            return true;
        default:
            // Extended keyed files go through describeExtendedHeader once their engine keeps
            // a shared block; views and remote files are described by their own side.
            return false;
    }
}

std::optional<common::KeyLayout> keyLayoutOf(MdkFile* file) {
    if (file->kind != MDK_KIND_KEYED) return std::nullopt;
    FileLockHold hold(file);
    return static_cast<const keyed::KeyedShared*>(file->shared)->layout;
}

std::optional<KeyAreaFacts> keyAreaFactsOf(MdkFile* file) {
    KeyAreaFacts facts;
    if (file->kind == MDK_KIND_INDEXED) {
        facts.indexed = true;
        return facts;
    }
    std::optional<common::KeyLayout> layout = keyLayoutOf(file);
    if (!layout) return std::nullopt;
    for (const common::Segment& s : layout->segments)
        facts.segmentInKeyArea.push_back(s.field == common::kKeyAreaField);
    if (!layout->keys.empty())
        facts.primaryKeyLength = static_cast<int32_t>(layout->keys[0].searchableLength());
    return facts;
}

}  // namespace mdnio::catalog
