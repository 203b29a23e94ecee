// The rollback journal of classic files: writing it during a period, undoing a period from it
// (journal.h tells the design).
#include "keyed/journal.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

using common::JournalContents;
using common::JournalEntry;
using common::JournalState;

constexpr uint64_t kHeaderLockAt = platform::kLockBase + kHeaderLockOffset;
// Before-images gathered in memory up to this much, then written (all before the writes they
// protect): a commit of a large transaction does not hold a second copy of every block.
constexpr size_t kImageChunk = size_t{1} << 20;
// A journal made larger than this by one period is cut back after it.
constexpr int64_t kJournalKeep = int64_t{1} << 20;

bool durable(const KeyedFile* f) {
    return f->env->syncWrites != 0;
}

common::JournalWriter& writer(KeyedFile* f) {
    return f->sh()->journal.writer;
}

void openWriter(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (s->journal.writer.isOpen()) return;
    const std::string path = common::journalPath(s->fileName);
    // Mapped like the data file: where the data file is not (a network file system), neither is
    // its journal.
    if (!s->journal.writer.open(path.c_str(), s->fd, s->view.isOpen())) raiseError(f, MDK_E_WRITE);
    if (durable(f) && !platform::syncDirectoryOf(path.c_str())) raiseError(f, MDK_E_WRITE);
}

// How far into segment file `segment` the file reached when the period began: bytes before
// that need their before-image, bytes past it were claimed by the period.
int64_t oldEnd(const KeyedShared* s, uint32_t segment) {
    const uint32_t eof = s->journal.oldEof;
    if (!s->blockMode) return eof;
    const uint32_t last = segmentOf(eof, s->blockSize);
    if (segment != last) return segment < last ? INT64_MAX : 0;
    return offsetInSegment(eof, s->blockSize);
}

// Saves what the file holds of the n bytes at `offset` of segment file `segment` (open on fd)
// that lie inside the old end.
void saveImage(KeyedFile* f, uint32_t segment, int fd, int64_t offset, uint32_t n) {
    KeyedShared* s = f->sh();
    const int64_t end = std::min<int64_t>(offset + n, oldEnd(s, segment));
    if (end <= offset) return;
    common::JournalWriter& w = s->journal.writer;
    const auto length = static_cast<uint32_t>(end - offset);
    platform::IoResult r = store::readBytes(*s, fd, w.add(segment, offset, length), length, offset);
    if (r.status != platform::IoStatus::Ok) raiseError(f, MDK_E_READ);
    w.cutLast(static_cast<uint32_t>(r.count));  // a file shorter than it should be: what is there
    if (w.pending() >= kImageChunk && !w.write()) raiseError(f, MDK_E_WRITE);
}

void saveBlock(KeyedFile* f, const CacheBuffer& b, bool whole) {
    KeyedShared* s = f->sh();
    int64_t offset = 0;
    const int fd = segmentFdFor(f, b.address, &offset);
    const uint32_t segment = s->blockMode ? segmentOf(b.address, s->blockSize) : 0;
    s->journal.segmentsWritten |= 1u << segment;
    if (whole) {
        saveImage(f, segment, fd, offset, s->blockSize);
        return;
    }
    store::ByteRun runs[store::kMaxWriteRuns];
    const int n = store::blockWriteRuns(*s, b, fd == s->fd, sealedWhole(s, b), runs);
    for (int i = 0; i < n; i++)
        saveImage(f, segment, fd, offset + runs[i].from, runs[i].to - runs[i].from);
}

// The images gathered go to the journal before the writes they protect; in durable mode the
// journal and the marked header reach the disk first.
void writeImages(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (!writer(f).write()) raiseError(f, MDK_E_WRITE);
    if (durable(f) && (!writer(f).sync() || !platform::syncFile(s->fd))) raiseError(f, MDK_E_WRITE);
}

// ---- undoing a period ----------------------------------------------------------------------

// The descriptors an undo writes through: the shared file's own, or, for a handle whose
// descriptor is read-only, writable ones of its own that go when the undo ends.
class RepairFiles {
  public:
    RepairFiles(KeyedShared* s, int base, bool own) : s_(s), base_(base), own_(own) {}
    ~RepairFiles() {
        if (!own_) return;
        for (int fd : opened_)
            if (fd > 0) platform::closeFile(fd);
        platform::closeFile(base_);
    }
    RepairFiles(const RepairFiles&) = delete;
    RepairFiles& operator=(const RepairFiles&) = delete;

    int base() const { return base_; }
    // Segment file `segment`, opened for writing on first use; -1 when it cannot be.
    int fd(uint32_t segment) {
        if (segment == 0) return base_;
        if (segment >= static_cast<uint32_t>(kMaxSegments)) return -1;
        int& slot = own_ ? opened_[segment] : s_->segmentFd[segment];
        if (slot <= 0) slot = std::max(0, store::openSegmentFile(s_->fileName, segment, true));
        return slot > 0 ? slot : -1;
    }
    // The file of `segment` is about to go: its descriptor goes first.
    void forget(uint32_t segment) {
        int& slot = own_ ? opened_[segment] : s_->segmentFd[segment];
        if (slot > 0) platform::closeFile(slot);
        slot = 0;
    }
    bool syncAll() {
        bool ok = platform::syncFile(base_);
        for (uint32_t i = 1; i < static_cast<uint32_t>(kMaxSegments); i++) {
            const int fd = own_ ? opened_[i] : s_->segmentFd[i];
            if (fd > 0) ok = platform::syncFile(fd) && ok;
        }
        return ok;
    }

  private:
    KeyedShared* s_;
    int base_;
    bool own_;
    int opened_[kMaxSegments] = {};
};

// Reads this file's journal: through the writer's descriptor when it is open, else from its own.
JournalState loadJournal(const KeyedShared* s, JournalContents& j) {
    if (s->journal.writer.isOpen()) return common::readJournal(s->journal.writer.fd(), j);
    const std::string path = common::journalPath(s->fileName);
    const int fd = platform::openPlain(path.c_str());
    // A journal this process may not read is not the same as none: the file is left alone.
    if (fd < 0)
        return platform::fileMode(path.c_str()) < 0 ? JournalState::Absent
                                                    : JournalState::Unreadable;
    const JournalState state = common::readJournal(fd, j);
    platform::closeFile(fd);
    return state;
}

int journalFd(const KeyedShared* s) {
    return s->journal.writer.isOpen()
               ? s->journal.writer.fd()
               : platform::openPlain(common::journalPath(s->fileName).c_str());
}

// Whether the journal is the one of the period that marked `disk`: its stamp is the marked
// counter and its first entry the header the period found, of this same file.
bool journalFits(const JournalContents& j, int fd, const uint8_t* disk) {
    if (j.entries.empty() || j.stamp != getCounter(disk)) return false;
    const JournalEntry& e = j.entries.front();
    uint8_t image[kHeaderSize];
    if (e.file != 0 || e.offset != 0 || e.length != kHeaderSize ||
        !common::readEntryBytes(fd, e, image))
        return false;
    return std::memcmp(image, disk, 8) == 0 &&
           get32(image, kOffIdentity) == get32(disk, kOffIdentity);
}

// Segment files past `segments` hold nothing the header names: the period that created them
// was undone.
void removeLeftoverSegments(KeyedShared* s, RepairFiles& files, uint32_t segments) {
    for (uint32_t n = segments + 1; n < static_cast<uint32_t>(kMaxSegments); n++) {
        files.forget(n);
        if (!store::removeLeftoverSegment(s->fileName, n)) return;
    }
}

// Puts back what journal j saved, cuts the files back and writes the header the period found
// with a counter past `diskCounter` and the stamp.  Answers 0 or the code to fail with.
int32_t restore(KeyedFile* f, RepairFiles& files, int jfd, const JournalContents& j,
                uint32_t diskCounter) {
    KeyedShared* s = f->sh();
    uint8_t header[kHeaderSize];
    if (!common::readEntryBytes(jfd, j.entries.front(), header)) return MDK_E_READ;
    // Latest saved first: a range saved twice (written, then written again) gets the bytes it
    // held before the period.  The header, saved first of all, goes last, below.
    std::vector<uint8_t> bytes;
    for (size_t i = j.entries.size(); i-- > 1;) {
        const JournalEntry& e = j.entries[i];
        bytes.resize(e.length);
        if (!common::readEntryBytes(jfd, e, bytes.data())) return MDK_E_READ;
        const int fd = files.fd(e.file);
        if (fd < 0) return MDK_E_SEGMENT;
        platform::IoResult w = platform::writeAt(fd, bytes.data(), e.length, e.offset);
        if (w.status != platform::IoStatus::Ok || w.count != static_cast<int64_t>(e.length))
            return MDK_E_WRITE;
    }
    const uint32_t eof = get32(header, kOffEof);
    const uint32_t last = s->blockMode ? segmentOf(eof, s->blockSize) : 0;
    const int lastFd = files.fd(last);
    if (lastFd < 0) return MDK_E_SEGMENT;
    if (!platform::truncateFile(lastFd, s->blockMode ? offsetInSegment(eof, s->blockSize) : eof))
        return MDK_E_WRITE;
    removeLeftoverSegments(s, files, header[kOffSegments]);
    if (durable(f) && !files.syncAll()) return MDK_E_WRITE;
    putCounterChecked(header, std::max(diskCounter, static_cast<uint32_t>(j.stamp)) + 1);
    header[kOffFlagsB] &= ~kCommitting;
    platform::IoResult w = platform::writeAt(files.base(), header, kHeaderSize, 0);
    if (w.status != platform::IoStatus::Ok || w.count != kHeaderSize) return MDK_E_WRITE;
    if (durable(f) && !platform::syncFile(files.base())) return MDK_E_WRITE;
    std::memcpy(s->header, header, kHeaderSize);
    loadHeaderFields(s);
    s->headerWritten = false;
    dropCache(s);
    return 0;
}

// A mark no journal explains: as a file left by a writer that keeps none is treated, the
// counter goes back by one and the mark comes off (on disk too when the file can be written).
int32_t forgetMark(KeyedShared* s, int fd) {
    uint8_t* h = s->header;
    putCounterChecked(h, getCounter(h) - 1);
    h[kOffFlagsB] &= ~kCommitting;
    if (fd < 0) return 0;
    platform::IoResult w = platform::writeAt(fd, h, kHeaderSize, 0);
    return w.status == platform::IoStatus::Ok && w.count == kHeaderSize ? 0 : MDK_E_WRITE;
}

// Repairs the file through `files`, whose base descriptor holds the header lock for writing.
// The header is read again here: another process may have repaired it meanwhile.
int32_t repairWith(KeyedFile* f, RepairFiles& files) {
    KeyedShared* s = f->sh();
    uint8_t disk[kHeaderSize];
    platform::IoResult r = platform::readAt(files.base(), disk, kHeaderSize, 0);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) return MDK_E_READ;
    const bool owed = s->journal.rollbackOwed;
    if (!(disk[kOffFlagsB] & kCommitting) && !owed) {
        std::memcpy(s->header, disk, kHeaderSize);
        loadHeaderFields(s);
        return 0;
    }
    JournalContents j;
    const JournalState state = loadJournal(s, j);
    if (state == JournalState::Unreadable) return MDK_E_READ;
    const int jfd = state == JournalState::Valid ? journalFd(s) : -1;
    const bool ours = owed && state == JournalState::Valid && !j.entries.empty() &&
                      j.period == s->journal.writer.period();
    int32_t code = 0;
    if (jfd >= 0 && (ours || journalFits(j, jfd, disk))) {
        code = restore(f, files, jfd, j, getCounter(disk));
    } else {
        std::memcpy(s->header, disk, kHeaderSize);
        if (disk[kOffFlagsB] & kCommitting) code = forgetMark(s, files.base());
        loadHeaderFields(s);
    }
    if (jfd >= 0 && jfd != s->journal.writer.fd()) platform::closeFile(jfd);
    if (code == 0) s->journal.rollbackOwed = false;
    return code;
}

// The handle's descriptor is read-only: the repair goes through a writable one of its own,
// under the header lock for writing, which the handle's shared lock would keep out.
void repairThroughOwnDescriptor(KeyedFile* f) {
    KeyedShared* s = f->sh();
    JournalContents j;
    const JournalState state = loadJournal(s, j);
    if (state == JournalState::Unreadable) raiseError(f, MDK_E_READ);
    const int jfd = state == JournalState::Valid ? journalFd(s) : -1;
    const bool fits = jfd >= 0 && journalFits(j, jfd, s->header);
    if (jfd >= 0) platform::closeFile(jfd);
    if (!fits) {
        forgetMark(s, -1);  // nothing to put back: read on, as the file stands
        loadHeaderFields(s);
        return;
    }
    platform::OpenResult why;
    const int wfd = platform::openFile(s->fileName, platform::Access::ReadWrite, false, &why);
    if (wfd < 0) raiseError(f, MDK_E_HALFWRITTEN);
    platform::unlockRange(s->fd, kHeaderLockAt, 1);
    s->flags &= ~kOsLockReadOnly;
    int32_t code = 0;
    {
        RepairFiles files(s, wfd, true);
        if (store::waitForHeaderLock(f, wfd, kHeaderLockAt, true) != platform::LockResult::Ok) {
            code = MDK_E_HEADERBUSY;
        } else {
            code = repairWith(f, files);
            platform::unlockRange(wfd, kHeaderLockAt, 1);
        }
    }
    if (code) raiseError(f, code);
    if (store::waitForHeaderLock(f, s->fd, kHeaderLockAt, false) != platform::LockResult::Ok)
        raiseError(f, MDK_E_HEADERBUSY);
    s->flags |= kOsLockReadOnly;
    rereadHeader(f);
}

}  // namespace

void beginJournal(KeyedFile* f) {
    KeyedShared* s = f->sh();
    openWriter(f);
    uint8_t header[kHeaderSize];
    platform::IoResult r = store::readBytes(*s, s->fd, header, kHeaderSize, 0);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) raiseError(f, MDK_E_READ);
    const uint32_t counter = getCounter(s->header);
    common::JournalWriter& w = s->journal.writer;
    w.begin(counter);
    std::memcpy(w.add(0, 0, kHeaderSize), header, kHeaderSize);
    if (!w.write()) raiseError(f, MDK_E_WRITE);
    s->journal.active = true;
    s->journal.oldEof = get32(header, kOffEof);
    s->journal.segmentsWritten = 1;
    // The header as the period found it, with its counter and the mark.  The period's changes
    // wait for the closing write: should the mark reach the disk and the journal not (a power
    // loss without syncs), taking the mark off gives back the old header whole.
    putCounterChecked(header, counter);
    header[kOffFlagsB] |= kCommitting;
    r = store::writeBytes(*s, s->fd, header, kHeaderSize, 0);
    if (r.status == platform::IoStatus::SeekFailed) raiseError(f, MDK_E_SEEK);
    if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize) raiseError(f, MDK_E_WRITE);
}

void journalWriteBack(KeyedFile* f) {
    KeyedShared* s = f->sh();
    s->pendingSlots.forEachInOrder([&](uint32_t address, const uint8_t*) {
        saveImage(f, 0, s->fd, address, static_cast<uint32_t>(s->slotSize));
    });
    // Each dirty buffer once (a buffer written early and dirtied again is listed twice).
    std::vector<uint32_t>& dirty = s->journal.dirty;
    dirty.clear();
    for (uint32_t at : s->dirtyBuffers)
        if (at < s->cache.size() && s->cache[at].dirty) dirty.push_back(at);
    std::sort(dirty.begin(), dirty.end());
    dirty.erase(std::unique(dirty.begin(), dirty.end()), dirty.end());
    const bool whole = bulkWriteBack(s);
    for (uint32_t at : dirty)
        saveBlock(f, s->cache[at], whole);
    writeImages(f);
}

void journalBlock(KeyedFile* f, const CacheBuffer& b) {
    headerChanged(f);
    saveBlock(f, b, false);
    writeImages(f);
}

void journalBytes(KeyedFile* f, uint32_t segment, int64_t offset, uint32_t n) {
    headerChanged(f);
    if (!f->sh()->journal.active) return;  // inside a transaction: written as before
    saveImage(f, segment, segmentFd(f, segment), offset, n);
    writeImages(f);
}

void endJournal(KeyedFile* f) {
    KeyedShared* s = f->sh();
    PeriodJournal& j = s->journal;
    if (!j.active) return;
    if (durable(f)) {
        for (uint32_t n = 0; n < static_cast<uint32_t>(kMaxSegments); n++)
            if (((j.segmentsWritten >> n) & 1) && !platform::syncFile(segmentFd(f, n)))
                raiseError(f, MDK_E_WRITE);
    }
    j.active = false;
    j.writer.trim(kJournalKeep);
}

void rollBackPeriod(KeyedFile* f) noexcept {
    KeyedShared* s = f->sh();
    s->journal.active = false;
    s->journal.rollbackOwed = true;
    int32_t code = MDK_E_WRITE;
    try {
        RepairFiles files(s, s->fd, false);
        code = s->writableFd ? repairWith(f, files) : MDK_E_WRITE;
    } catch (...) {
    }
    s->journal.rollbackOwed = code != 0;
}

void repairHalfWritten(KeyedFile* f) {
    KeyedShared* s = f->sh();
    if (!s->writableFd) {
        repairThroughOwnDescriptor(f);
        return;
    }
    RepairFiles files(s, s->fd, false);
    if (int32_t code = repairWith(f, files)) raiseError(f, code);
}

}  // namespace mdnio::keyed
