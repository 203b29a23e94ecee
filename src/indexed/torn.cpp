#include "indexed/torn.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/journal.h"
#include "indexed/header_lock.h"
#include "platform/platform.h"

namespace mdnio::indexed {

namespace {

std::string journalOf(const IndexedFile* x) {
    return common::journalPath(x->sharedBlock.fileName);
}

// Opens the handle's journal for writing, once; false when the system refuses.
bool openJournal(IndexedFile* x) {
    return x->journal.isOpen() || x->journal.open(journalOf(x).c_str(), x->fd(), true);
}

// Whether a journal that counts lies beside the file, looked at without writing anything.  One
// this process may not read counts: nothing can be said of the file.
bool liveJournalBeside(const IndexedFile* x) {
    const std::string path = journalOf(x);
    const int fd = platform::openPlain(path.c_str());
    if (fd < 0) return platform::fileMode(path.c_str()) >= 0;
    common::JournalContents j;
    const bool live = common::readJournal(fd, j) != common::JournalState::Absent;
    platform::closeFile(fd);
    return live;
}

// Puts back, latest first, what the live journal saved; false when a read or write fails.
bool putBack(IndexedFile* x) {
    common::JournalContents j;
    if (common::readJournal(x->journal.fd(), j) != common::JournalState::Valid) return false;
    std::vector<uint8_t> bytes;
    for (size_t i = j.entries.size(); i-- > 0;) {
        const common::JournalEntry& e = j.entries[i];
        bytes.resize(e.length);
        if (e.file != 0 || !common::readEntryBytes(x->journal.fd(), e, bytes.data())) return false;
        platform::IoResult w = platform::writeAt(x->fd(), bytes.data(), e.length, e.offset);
        if (w.status != platform::IoStatus::Ok || w.count != static_cast<int64_t>(e.length))
            return false;
    }
    return true;
}

bool durable(const IndexedFile* x) {
    return x->env->syncWrites != 0;
}

}  // namespace

int32_t repairTornWrite(IndexedFile* x) {
    if (!openJournal(x)) return liveJournalBeside(x) ? MDK_E_HALFWRITTEN : 0;
    if (!x->journal.live()) return 0;
    if (!putBack(x) || (durable(x) && !platform::syncFile(x->fd())) || !x->journal.discard())
        return MDK_E_HALFWRITTEN;
    return 0;
}

bool saveBeforeRewrite(IndexedFile* x, int64_t offset, size_t n) {
    if (!openJournal(x)) return false;
    x->oldRecord.resize(n);
    x->oldRecordAt = offset;
    platform::IoResult r = platform::readAt(x->fd(), x->oldRecord.data(), n, offset);
    if (r.status != platform::IoStatus::Ok) return false;
    x->oldRecord.resize(static_cast<size_t>(r.count));
    common::JournalWriter& w = x->journal;
    w.begin(0);
    std::copy(x->oldRecord.begin(), x->oldRecord.end(),
              w.add(0, offset, static_cast<uint32_t>(x->oldRecord.size())));
    return w.write() && (!durable(x) || w.sync());
}

bool rewriteDone(IndexedFile* x) {
    if ((!durable(x) || platform::syncFile(x->fd())) && x->journal.discard() &&
        (!durable(x) || x->journal.sync()))
        return true;
    undoRewrite(x);
    return false;
}

// From the handle's own copy: the journal may be what failed.
void undoRewrite(IndexedFile* x) noexcept {
    platform::IoResult w =
        platform::writeAt(x->fd(), x->oldRecord.data(), x->oldRecord.size(), x->oldRecordAt);
    if (w.status == platform::IoStatus::Ok && w.count == static_cast<int64_t>(x->oldRecord.size()))
        x->journal.discard();
}

int32_t repairAtOpen(IndexedFile* x, bool writable) {
    if (!liveJournalBeside(x)) return 0;
    const int mine = x->fd();
    int own = -1;
    if (!writable) {
        platform::OpenResult why;
        own = platform::openFile(x->sharedBlock.fileName, platform::Access::ReadWrite, false, &why);
        if (own < 0) return MDK_E_HALFWRITTEN;
        x->sharedBlock.fd = own;
    }
    const int32_t rc = localTrap(x, [&] {
        HeaderLock header(x);
        if (int32_t code = repairTornWrite(x)) header.fail(code);
        header.release();
        return 0;
    });
    if (own >= 0) {
        x->journal.close();
        platform::closeFile(own);
        x->sharedBlock.fd = mine;
    }
    return rc ? x->error.load() : 0;
}

}  // namespace mdnio::indexed
