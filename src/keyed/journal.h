// The rollback journal of a classic file: every header-lock period that writes the file in place
// (a call outside a transaction, a commit) is whole or not at all for every process using this
// library, even when the process writing it is killed half-way.
//
// A period's writes, in order:
//   1. At its first change: the journal begins (period id, the counter the period gives the
//      header as its stamp, and the header as the file holds it), then the data file's header
//      is rewritten as the period found it but with the new counter and flags B bit 5 set: the
//      mark that the file is being written.
//   2. Before any block, slot or other range is overwritten: the bytes it holds are appended to
//      the journal, gathered into one write.  Only bytes inside the end of file the period
//      found need this: blocks and slots claimed past it held nothing anyone could read.
//   3. The writes themselves, then the closing header (with every change, bit 5 clear).
// Every step reaches the page cache before the next starts, which is all a kill can interrupt:
// the file as the next process finds it is either untouched (no mark), or marked with a journal
// whose stamp is the header's counter and whose entries cover every range written so far.
//
// Whoever next takes the header lock (this process or another; at open or any later call) and
// finds the mark with a journal that fits puts the saved bytes back (latest saved first, so the
// earliest image of a range wins), cuts the files back to the old end of file, removes segment
// files the period created, and writes the old header with a counter moved past both the old
// one and the period's, so that every process drops what it cached.  A mark without a journal
// that fits was left by a writer that keeps none: as before, the counter goes back by one and
// the mark is taken off.
//
// The journal is kept and reused: a cleared mark makes it stale, and its entries only count
// under the current period's id (common/journal.h).  With environment mode 20 on, the journal
// and the marked header are synced before the first in-place write of a batch, and the data
// files before the period ends, so that a power loss too leaves every call that returned.
#pragma once

#include <cstdint>
#include <vector>

#include "common/journal.h"

namespace mdnio::store {
struct CacheBuffer;
}

namespace mdnio::keyed {

using store::CacheBuffer;

struct KeyedFile;

struct PeriodJournal {
    common::JournalWriter writer;
    bool active = false;           // begun in this period: the marked header may be on disk
    bool rollbackOwed = false;     // undoing a failed period failed as well: the next one does it
    uint32_t oldEof = 0;           // the end of file as the period found it
    uint32_t segmentsWritten = 0;  // a bit per segment file the period writes
    std::vector<uint32_t> dirty;   // scratch of journalWriteBack, kept for its capacity
};

// Step 1, at the first change of a period (headerChanged).  The in-memory header's counter has
// been moved on already.
void beginJournal(KeyedFile* f);
// Step 2 for the period's write-back: the before-images of every slot and block it writes.
void journalWriteBack(KeyedFile* f);
// Step 2 for one dirty block written early (its buffer is needed for another block).
void journalBlock(KeyedFile* f, const CacheBuffer& buffer);
// Step 2 for n bytes at `offset` of segment file `segment` written directly.
void journalBytes(KeyedFile* f, uint32_t segment, int64_t offset, uint32_t n);
// After the closing header: the period is done (durable mode: synced first).
void endJournal(KeyedFile* f);
// Undoes the period in progress from its journal, after a failed write.  Never raises; when it
// cannot finish, the mark stays on disk and the next period (or process) does it.
void rollBackPeriod(KeyedFile* f) noexcept;
// At a header lock that found the mark (or a rollback owed): puts the file back, or takes off
// a mark no journal explains.  A handle whose descriptor is read-only repairs through a
// writable descriptor of its own, or raises 49 when it cannot open one.
void repairHalfWritten(KeyedFile* f);

}  // namespace mdnio::keyed
