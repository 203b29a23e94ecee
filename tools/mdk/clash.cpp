#include "mdk/clash.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "mdk/fields.h"
#include "mdk/layout.h"

namespace mdk {

namespace {

using mdnio::devtools::ClassicLayout;

// The bytes of the record that a segment takes, from its offset on, at most its length.
std::string_view segmentSource(const mdnio::devtools::Segment& segment, const Record& r,
                               const FieldCodec& codec) {
    std::string_view field;
    if (segment.field == mdnio::devtools::kKeyAreaField) {
        field = r.key;  // as long as the write took it
    } else {
        field = segment.field == 0 ? std::string_view(r.data) : codec.field(r.data, segment.field);
    }
    if (segment.offset >= field.size()) return {};
    return field.substr(segment.offset, segment.length);
}

// The bytes a seek of key `key` (from 0) takes to find the record's value: each segment's bytes,
// padded to its length but for the last one (whose padding follows the stored suffix and is not
// significant, unless the file counts padding).
std::string searchForm(const ClassicLayout& layout, size_t key, const Record& r,
                       const FieldCodec& codec) {
    std::string form;
    const auto& segments = layout.keys[key].segments;
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::string_view source = segmentSource(segments[i], r, codec);
        form += source;
        if (i + 1 < segments.size() || layout.padSignificant) {
            form.append(segments[i].length - source.size(), '\0');
        }
    }
    return form;
}

// The address of the record holding the value of key `key` (from 0), if one does.
std::optional<int32_t> holder(OpenFile& file, size_t key, const std::string& form) {
    if (MDK_seek(file.get(), form.data(), static_cast<int32_t>(form.size()),
                 static_cast<int32_t>(key + 1)) != 0) {
        return std::nullopt;
    }
    return MDK_getpos(file.get());
}

bool mustBeUnique(const ClassicLayout& layout, size_t key) {
    return key == 0 ? !layout.keys[key].sequence : layout.keys[key].unique;
}

}  // namespace

std::string duplicateKeyText(OpenFile& file, const Record& record, bool updating) {
    const ClassicLayout keys = layoutOfFile(file).classic;
    const FieldCodec codec(file.separator(), Encoding::Raw);
    std::optional<int32_t> own;
    if (updating) own = holder(file, 0, searchForm(keys, 0, record, codec));
    std::vector<std::string> unique;
    for (size_t k = 0; k < keys.keys.size(); ++k) {
        if (!mustBeUnique(keys, k)) continue;
        unique.push_back(fmt::format("#{}", k + 1));
        if (k == 0 && updating) continue;
        const std::optional<int32_t> at = holder(file, k, searchForm(keys, k, record, codec));
        if (!at || at == own) continue;
        if (k == 0) return "the primary key #1 already holds this record's value";
        return fmt::format("unique key #{} already holds this record's value in another record",
                           k + 1);
    }
    return fmt::format(
        "one of the keys that must be unique ({}) already holds a value of this "
        "record",
        fmt::join(unique, ", "));
}

}  // namespace mdk
