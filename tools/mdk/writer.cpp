#include "mdk/writer.h"

#include <fmt/format.h>

#include "mdk/failure.h"

namespace mdk {

namespace {

int32_t length(const std::string& s) {
    return static_cast<int32_t>(s.size());
}

// An indexed file's write replaces or appends without telling which, and refuses nothing for
// a record that exists: the record count says which it will be.
WriteOutcome writeIndexed(OpenFile& file, const Record& r, WriteMode mode) {
    const long number = std::stol(r.key);
    const bool exists = number < file.recordCount();
    if (exists && mode == WriteMode::Insert) {
        return {WriteOutcome::Refused, fmt::format("record {} exists (update replaces it): {}",
                                                   number, codeText(MDK_E_DUPLICATE))};
    }
    if (!exists && mode == WriteMode::Update) {
        return {WriteOutcome::Refused,
                fmt::format("record {} does not exist: {}", number, codeText(MDK_E_KEY))};
    }
    if (file.patiently([&] {
            return MDK_write(file.get(), r.data.data(), length(r.data), r.key.data(),
                             length(r.key));
        }) != 0) {
        return {WriteOutcome::Refused, libraryText(file.get())};
    }
    return {exists ? WriteOutcome::Updated : WriteOutcome::Inserted, {}};
}

}  // namespace

WriteOutcome writeRecord(OpenFile& file, const Record& r, WriteMode mode) {
    if (file.kind() == FileKind::Indexed) return writeIndexed(file, r, mode);
    MdkFile* f = file.get();
    const auto insert = [&] {
        return file.patiently([&] {
            return MDK_insert(f, r.data.data(), length(r.data), r.key.data(), length(r.key));
        });
    };
    const auto update = [&] {
        return file.patiently([&] {
            return MDK_update(f, r.data.data(), length(r.data), r.key.data(), length(r.key));
        });
    };
    if (mode == WriteMode::Update) {
        if (update() == 0) return {WriteOutcome::Updated, {}};
        return {WriteOutcome::Refused, libraryText(f)};
    }
    // Insert first: MDK_write would not say whether it inserted, and on a file whose primary
    // key ends in a sequence number an update rewrites the current record, whatever the key.
    if (insert() == 0) return {WriteOutcome::Inserted, {}};
    const std::string insertRefusal = libraryText(f);
    if (mode == WriteMode::Insert || MDK_geterrno(f) != MDK_E_DUPLICATE) {
        return {WriteOutcome::Refused, insertRefusal};
    }
    if (update() == 0) return {WriteOutcome::Updated, {}};
    // No record with this primary key: the duplicate was of a unique alternate key.
    if (MDK_geterrno(f) == MDK_E_KEY) return {WriteOutcome::Refused, insertRefusal};
    return {WriteOutcome::Refused, libraryText(f)};
}

}  // namespace mdk
