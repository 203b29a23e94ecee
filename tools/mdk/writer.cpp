#include "mdk/writer.h"

#include <fmt/format.h>

#include "mdk/clash.h"
#include "mdk/failure.h"

namespace mdk {

namespace {

int32_t length(const std::string& s) {
    return static_cast<int32_t>(s.size());
}

WriteOutcome refused(std::string category, std::string why) {
    return {WriteOutcome::Refused, std::move(why), false, std::move(category)};
}

// An indexed file's write replaces or appends without telling which, and refuses nothing for
// a record that exists: the record count says which it will be.
WriteOutcome writeIndexed(OpenFile& file, const Record& r, WriteMode mode) {
    const long number = std::stol(r.key);
    const bool exists = number < file.recordCount();
    if (exists && mode == WriteMode::Insert) {
        return refused(codeText(MDK_E_DUPLICATE),
                       fmt::format("record {} exists (update replaces it): {}", number,
                                   codeText(MDK_E_DUPLICATE)));
    }
    if (!exists && mode == WriteMode::Update) {
        return refused(codeText(MDK_E_KEY),
                       fmt::format("record {} does not exist: {}", number, codeText(MDK_E_KEY)));
    }
    if (file.patiently([&] {
            return MDK_write(file.get(), r.data.data(), length(r.data), r.key.data(),
                             length(r.key));
        }) != 0) {
        return refused(codeText(MDK_geterrno(file.get())), libraryText(file.get()));
    }
    return {exists ? WriteOutcome::Updated : WriteOutcome::Inserted, {}};
}

// The refusal of the last write on `file`: a duplicate names the key that holds the value.
WriteOutcome refusal(OpenFile& file, const Record& r, bool updating) {
    const int code = MDK_geterrno(file.get());
    const std::string why = libraryText(file.get());
    if (code != MDK_E_DUPLICATE) return refused(codeText(code), why);
    return refused(codeText(code), duplicateKeyText(file, r, updating) + ": " + why);
}

WriteOutcome writeClassic(OpenFile& file, const Record& r, WriteMode mode) {
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
        return refusal(file, r, true);
    }
    // Insert first: MDK_write would not say whether it inserted, and on a file whose primary
    // key ends in a sequence number an update rewrites the current record, whatever the key.
    if (insert() == 0) return {WriteOutcome::Inserted, {}};
    const std::string insertRefusal = libraryText(f);
    if (mode == WriteMode::Insert || MDK_geterrno(f) != MDK_E_DUPLICATE) {
        return refusal(file, r, false);
    }
    if (update() == 0) return {WriteOutcome::Updated, {}};
    if (MDK_geterrno(f) != MDK_E_KEY) return refusal(file, r, true);
    // No record with this primary key: the insert's duplicate was of a unique alternate key.
    return refused(codeText(MDK_E_DUPLICATE),
                   duplicateKeyText(file, r, false) + ": " + insertRefusal);
}

// The data an indexed file would cut: longer than its records.
bool cutByIndexedFile(const OpenFile& file, const Record& r) {
    return file.kind() == FileKind::Indexed && r.data.size() > size_t(file.maxDataLength());
}

}  // namespace

WriteOutcome writeRecord(OpenFile& file, const Record& r, WriteMode mode, bool truncate) {
    if (file.maxDataLength() == 0 && !r.data.empty()) {
        return refused("data for a file of keys only",
                       fmt::format("the file holds keys only (record size 0): {} bytes of data "
                                   "cannot be stored",
                                   r.data.size()));
    }
    if (cutByIndexedFile(file, r)) {
        if (!truncate) {
            return refused("data longer than the file's records",
                           fmt::format("{} bytes of data do not fit the file's records of {} "
                                       "bytes (--truncate stores the first {})",
                                       r.data.size(), file.maxDataLength(), file.maxDataLength()));
        }
        WriteOutcome outcome = writeIndexed(file, r, mode);
        outcome.cut = outcome.kind != WriteOutcome::Refused;
        return outcome;
    }
    if (file.kind() == FileKind::Indexed) return writeIndexed(file, r, mode);
    return writeClassic(file, r, mode);
}

}  // namespace mdk
