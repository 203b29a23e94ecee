#include "catalog/embedded.h"

#include <algorithm>

#include "catalog/placement.h"
#include "catalog/text.h"

namespace mdnio::catalog {

namespace {

// Numbered items (after the tag).
constexpr size_t kItemName = 0;
constexpr size_t kItemType = 2;
constexpr size_t kItemLength = 3;
constexpr size_t kItemFour = 4;
constexpr size_t kItemStorage = 5;
constexpr size_t kItemFormat = 12;
constexpr size_t kItemFlags = 13;

constexpr int32_t kNoSuchRecord = MDK_E_KEY;

// Reads one series (step -1 for the key, +1 for the data) until MDK_dict answers "no such
// record".
EmbeddedResult readSeries(MdkFile* file, int32_t step, std::vector<ColumnDraft>& out) {
    // One byte more than an element may have, to tell a full element from a longer one.
    std::vector<uint8_t> buffer(kElementBuffer + 1);
    for (int32_t count = 1;; ++count) {
        if (count > kMaxElementsPerSeries) return EmbeddedResult::Failed;
        int32_t n =
            MDK_dict(file, step * count, buffer.data(), static_cast<int32_t>(buffer.size()));
        if (n < 0) {
            return MDK_geterrno(file) == kNoSuchRecord ? EmbeddedResult::Ok
                                                       : EmbeddedResult::Failed;
        }
        if (static_cast<size_t>(n) > kElementBuffer) return EmbeddedResult::Failed;
        std::vector<std::string_view> items =
            splitItems(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
        if (items.empty() || !isColumnTag(items[0])) continue;
        out.push_back(columnFromItems(items));
    }
}

}  // namespace

std::vector<std::string_view> splitItems(std::span<const uint8_t> element) {
    std::vector<std::string_view> items;
    size_t at = 0;
    while (at < element.size()) {
        size_t length = element[at++];
        if (length >= 128) {
            if (at >= element.size()) break;
            length = (length & 127) * 256 + element[at++];
        }
        if (length > element.size() - at) break;
        items.emplace_back(reinterpret_cast<const char*>(element.data() + at), length);
        at += length;
    }
    return items;
}

std::vector<uint8_t> joinItems(const std::vector<std::string_view>& items) {
    constexpr size_t kLongestItem = 127 * 256 + 255;
    std::vector<uint8_t> out;
    for (std::string_view item : items) {
        item = item.substr(0, std::min(item.size(), kLongestItem));
        if (item.size() < 128) {
            out.push_back(static_cast<uint8_t>(item.size()));
        } else {
            out.push_back(static_cast<uint8_t>(0x80 | (item.size() >> 8)));
            out.push_back(static_cast<uint8_t>(item.size() & 0xFF));
        }
        out.insert(out.end(), item.begin(), item.end());
    }
    return out;
}

bool isColumnTag(std::string_view tag) {
    if (tag.size() < 3) return true;
    return tag[0] == '\0' && tag[1] == '\0' && static_cast<uint8_t>(tag[2]) == 0xB9;
}

ColumnDraft columnFromItems(const std::vector<std::string_view>& items) {
    ColumnDraft column;
    MdkColumnRecord& r = column.record;
    auto item = [&](size_t number) -> std::string_view {
        return number + 1 < items.size() ? items[number + 1] : std::string_view();
    };

    copyField(r.name, item(kItemName));
    if (!item(kItemType).empty()) r.type = static_cast<uint8_t>(item(kItemType)[0]);
    std::string_view length = item(kItemLength);
    r.length = parseDecimal(length);
    size_t dot = length.find('.');
    r.decimals = dot == std::string_view::npos ? 0 : parseDecimal(length.substr(dot + 1));
    copyField(r.item4, item(kItemFour));
    std::string_view storage = item(kItemStorage);
    if (!storage.empty()) {
        r.storage = static_cast<uint8_t>(storage[0]);
        if (r.storage != 'F' && r.storage != 'P' && r.storage != 'S') copyField(r.format, storage);
    }
    // An empty format item leaves the format the storage item gave.
    if (!item(kItemFormat).empty()) copyField(r.format, item(kItemFormat));
    std::string_view flags = item(kItemFlags);
    if (flags.find('H') != std::string_view::npos) r.columnFlags |= kColumnHide;
    if (flags.find('N') != std::string_view::npos) r.columnFlags |= kColumnNoShow;
    return column;
}

EmbeddedResult readEmbeddedColumns(MdkFile* file, std::vector<ColumnDraft>& columns) {
    std::vector<ColumnDraft> keyColumns;
    std::vector<ColumnDraft> dataColumns;
    if (readSeries(file, -1, keyColumns) != EmbeddedResult::Ok) return EmbeddedResult::Failed;
    if (readSeries(file, +1, dataColumns) != EmbeddedResult::Ok) return EmbeddedResult::Failed;
    placeEmbeddedColumns(keyColumns, dataColumns);
    columns = std::move(keyColumns);
    columns.insert(columns.end(), dataColumns.begin(), dataColumns.end());
    return EmbeddedResult::Ok;
}

}  // namespace mdnio::catalog
