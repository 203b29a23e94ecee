#include "catalog/facts.h"

#include "frame/frame.h"

namespace mdnio::catalog {

bool describeOpenFile(MdkFile* file, MdkFileInfo& info) {
    if (!file->ops->describeFile) return false;
    FileLockHold hold(file);
    file->ops->describeFile(file, &info);
    return true;
}

KeyShape keyLayoutOf(MdkFile* file, common::KeyLayout& layout) {
    if (!file->ops->keyLayout) return KeyShape::None;
    FileLockHold hold(file);
    return file->ops->keyLayout(file, &layout);
}

std::optional<KeyAreaFacts> keyAreaFactsOf(MdkFile* file) {
    KeyAreaFacts facts;
    common::KeyLayout layout;
    switch (keyLayoutOf(file, layout)) {
        case KeyShape::RecordNumber:
            facts.indexed = true;
            return facts;
        case KeyShape::Layout:
            break;
        case KeyShape::None:
            return std::nullopt;
    }
    for (const common::Segment& s : layout.segments)
        facts.segmentInKeyArea.push_back(s.field == common::kKeyAreaField);
    if (!layout.keys.empty())
        facts.primaryKeyLength = static_cast<int32_t>(layout.keys[0].searchableLength());
    return facts;
}

}  // namespace mdnio::catalog
