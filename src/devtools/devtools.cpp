// The developer tools' interface (mdnio_devtools.h) over the builders and the sample data set;
// the verifiers define their entries themselves (keyed/verify, indexed/verify).
#include "mdnio_devtools.h"

#include "catalog/sample_data.h"
#include "common/keydesc.h"
#include "extended/builder.h"
#include "indexed/builder.h"
#include "keyed/builder.h"

namespace mdnio::devtools {

namespace {

// A segment's options may carry MDK_SEG_DESCENDING, as MDDescribeIndex reports them.
common::Segment engineSegment(const Segment& s) {
    const bool descending = s.descending || (s.options & MDK_SEG_DESCENDING);
    const auto options = static_cast<uint16_t>(s.options & ~MDK_SEG_DESCENDING);
    return keyed::makeSegment(s.field, s.offset, s.length, options, descending, s.nullByte);
}

keyed::KeySpec engineKey(const Key& key) {
    keyed::KeySpec spec;
    for (const Segment& s : key.segments)
        spec.segments.push_back(engineSegment(s));
    if (key.unique) spec.flags |= common::kKeyUnique;
    if (key.sequence) spec.flags |= common::kKeySequenceSuffixed;
    return spec;
}

keyed::ClassicLayout engineLayout(const ClassicLayout& layout) {
    keyed::ClassicLayout out;
    static_cast<ClassicSettings&>(out) = layout;
    std::vector<keyed::KeySpec> keys;
    for (const Key& k : layout.keys)
        keys.push_back(engineKey(k));
    keyed::addKeys(out, keys);
    return out;
}

indexed::SeparatorChoice separatorOf(const IndexedLayout& layout) {
    switch (layout.separator) {
        case IndexedLayout::Separator::Byte:
            return indexed::SeparatorChoice::of(layout.separatorByte);
        case IndexedLayout::Separator::None:
            return indexed::SeparatorChoice::none();
        case IndexedLayout::Separator::Default:
            break;
    }
    return indexed::SeparatorChoice::standard();
}

const char* indexedRefusal(int code) {
    switch (code) {
        case MDK_E_OPEN:
            return "cannot create it (it exists, or the directory refuses it)";
        case MDK_E_LENGTH:
            return "the record size must be 1 to 32767";
        case MDK_E_WRITE:
            return "writing its header failed";
        default:
            return "";
    }
}

}  // namespace

int createClassicFile(const std::string& path, const ClassicLayout& layout, std::string* why,
                      LayoutFault* fault) {
    return keyed::buildClassicFile(path, engineLayout(layout), why, fault);
}

int createExtendedFile(const std::string& path, const ExtendedLayout& layout, std::string* why,
                       LayoutFault* fault) {
    return extended::buildExtendedFile(path, layout, why, fault);
}

int createIndexedFile(const std::string& path, const IndexedLayout& layout, std::string* why) {
    const int code =
        indexed::buildIndexedFile(path, layout.recordSize, layout.maxRecords, separatorOf(layout));
    if (code != 0 && why) *why = indexedRefusal(code);
    return code;
}

int makeSampleData(const std::string& directory, std::string* why) {
    return catalog::samples::makeSampleData(directory, why);
}

}  // namespace mdnio::devtools
