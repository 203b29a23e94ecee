// Tables from a keyed dictionary file ("meridane.ddf").
#include <span>

#include "catalog/openfile.h"
#include "catalog/profile.h"
#include "catalog/readers.h"
#include "catalog/text.h"
#include "common/field.h"
#include "frame/frame.h"

namespace mdnio::catalog {

namespace {

constexpr size_t kKeyLength = 6;
constexpr std::string_view kHeaderKey = "000000";

struct Separator {
    int32_t value;  // the byte, or -1 when fields are length-prefixed

    std::string_view field(std::span<const uint8_t> data, unsigned n) const {
        common::FieldRef ref =
            value < 0 ? common::findPrefixedField(data, n)
                      : common::findSeparatedField(data, n, static_cast<uint8_t>(value));
        std::span<const uint8_t> bytes = ref.in(data);
        return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
};

// A table from one record, or nothing for the records that are passed over.
std::optional<TableEntry> tableFromRecord(std::span<const uint8_t> record, Separator separator) {
    if (record.size() < kKeyLength) return std::nullopt;
    std::string_view key(reinterpret_cast<const char*>(record.data()), kKeyLength);
    if (key == kHeaderKey) return std::nullopt;
    std::span<const uint8_t> data = record.subspan(kKeyLength);
    if (!data.empty() && data[0] == '*') return std::nullopt;  // a comment
    TableEntry t;
    MdkTableRecord& r = t.record;
    copyField(r.name, separator.field(data, 1));
    copyField(r.fileSpec, separator.field(data, 2));
    copyField(r.text4, separator.field(data, 4));
    copyField(r.text7, separator.field(data, 7));
    copyField(r.text8, separator.field(data, 8));
    copyField(r.text12, separator.field(data, 12));
    r.separator = static_cast<uint8_t>(separator.value);
    return t;
}

}  // namespace

std::optional<std::vector<TableEntry>> readKeyedFileTables(MdkEnv* env,
                                                           const std::string& dictionary) {
    ReadOnlyFile file(env, dictionary);
    if (!file.ok()) return std::nullopt;
    // A dictionary is read from a file whose records this library reads itself, not from a
    // view or a server's file.
    if (!readsRecordsItself(file.get())) return std::nullopt;
    Separator separator{static_cast<int32_t>(MDGetEnvMode(file.get(), MDK_FILE_SEPARATOR))};
    intptr_t count = MDGetEnvMode(file.get(), MDK_FILE_RECORD_COUNT);

    std::vector<TableEntry> tables;
    std::vector<uint8_t> buffer(kListBuffer);
    for (intptr_t looked = 0; looked < count; ++looked) {
        int32_t n =
            MDK_read(file.get(), buffer.data(), static_cast<int32_t>(buffer.size()), MDK_READ_NEXT);
        if (n == -1) {
            if (MDK_geterrno(file.get()) == MDK_E_EOF) break;
            return std::nullopt;
        }
        // A record longer than the buffer is refused rather than read cut short.
        if (n < 0) return std::nullopt;
        std::optional<TableEntry> table = tableFromRecord(
            std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), separator);
        if (table) tables.push_back(std::move(*table));
    }
    return tables;
}

}  // namespace mdnio::catalog
