#include "indexed/verify.h"

#include "indexed/format.h"
#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

std::string str(int64_t n) {
    return std::to_string(n);
}

void checkHeader(const uint8_t* fields, int64_t length, IndexedVerifyReport& report) {
    if (!hasIndexedMagic(fields))
        report.problems.push_back("the magic is not [Mdnind] or [Tjwind]");
    Header h = decodeHeader(fields);
    if (h.maxRecords != 0 && h.recordCount > h.maxRecords)
        report.problems.push_back("the record count " + str(h.recordCount) +
                                  " exceeds the maximum " + str(h.maxRecords));
    if (h.recordLength <= 0) {
        report.problems.push_back("the record length " + str(h.recordLength) + " is not above 0");
        return;  // without a record length no file length is right
    }
    int64_t expected = recordOffset(h.recordLength, h.recordCount);
    if (length > expected)
        report.problems.push_back("the file holds " + str(length) + " bytes, " +
                                  str(length - expected) + " more than the " + str(expected) +
                                  " of the header and " + str(h.recordCount) + " records");
    if (length < expected)
        report.problems.push_back("the file holds " + str(length) + " bytes, " +
                                  str(expected - length) + " fewer than the " + str(expected) +
                                  " of the header and " + str(h.recordCount) + " records");
}

}  // namespace

}  // namespace mdnio::indexed

namespace mdnio::devtools {

IndexedVerifyReport verifyIndexedFile(const std::string& path) {
    IndexedVerifyReport report;
    int fd = platform::openFile(path.c_str(), platform::Access::ReadOnly, false, nullptr);
    if (fd < 0) {
        report.problems.push_back("the file cannot be opened");
        return report;
    }
    uint8_t fields[indexed::kHeaderFields];
    platform::IoResult io = platform::readAt(fd, fields, sizeof fields, 0);
    int64_t length = platform::fileLength(fd);
    platform::closeFile(fd);
    if (io.status != platform::IoStatus::Ok || io.count != static_cast<int64_t>(sizeof fields)) {
        report.problems.push_back("the file is shorter than the " +
                                  std::to_string(indexed::kHeaderFields) +
                                  " header bytes that describe it");
        return report;
    }
    indexed::checkHeader(fields, length, report);
    return report;
}

}  // namespace mdnio::devtools
