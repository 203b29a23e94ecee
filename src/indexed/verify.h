// Checking that an indexed file is consistent with its header.
#pragma once

#include <string>
#include <vector>

namespace mdnio::indexed {

struct IndexedVerifyReport {
    std::vector<std::string> problems;  // one sentence each; empty when the file is sound
    bool ok() const { return problems.empty(); }
};

// Reads the file at `path` and lists what is wrong with it: a file that cannot be opened or is
// shorter than its header, an unknown magic, a record length not above 0, a record count above
// a maximum other than 0, and a length other than exactly 512 + count x record length bytes
// (a longer file holds bytes that no record count covers, a shorter one lacks records the
// count promises).
IndexedVerifyReport verifyIndexedFile(const std::string& path);

}  // namespace mdnio::indexed
