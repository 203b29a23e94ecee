// Rewrites of indexed files, journalled so that a killed writer (or a failing disk) never leaves
// a record half old, half new.
//
// A write of an indexed file is one pwrite of the record, and for an append one more of the
// 20 header bytes after it.  The system copies a write into the page cache one page (or larger
// folio, made of whole pages) at a time and looks for a fatal signal only before each one: a
// kill stops a write at a page boundary of the file or not at all.  So:
//   - the header fields (bytes 0..19, inside the first page) are written whole or not at all;
//   - an append cannot leave half a record that anyone reads: the record lies at the record
//     count until the header write that counts it, and a later append writes over it;
//   - a record rewritten in place within one page is written whole or not at all by a kill,
//     but across a page boundary it can be left half old, half new, and a failing disk can
//     leave any write short.
// So every rewrite in place is journalled (common/journal.h, beside the file): its old bytes go
// to the journal before it, and the journal is discarded after it, both through a mapping of
// the journal (no system call).  Every writer holds the header lock from its re-read of the
// header to its last write and puts back a journal it finds live before it writes; so does an
// open.  A rewrite that failed is put back before its call returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "indexed/file.h"

namespace mdnio::indexed {

// Under the header lock, through the handle's (writable) descriptor: a journal left live by a
// writer stopped half-way is put back and discarded.  Answers 0, or 49 when there is one that
// cannot be put back or discarded (left live, the next writer would put it back over newer
// records).
int32_t repairTornWrite(IndexedFile* x);

// Saves the n bytes at `offset` before a rewrite of them; false when it cannot.
bool saveBeforeRewrite(IndexedFile* x, int64_t offset, size_t n);

// After the rewrite: the journal counts no more (in durable mode the rewrite is synced first).
// False when that fails: the rewrite is put back (or, failing that too, left to the next writer
// to put back), and the call fails.
bool rewriteDone(IndexedFile* x);

// A rewrite that failed half-way goes back at once.
void undoRewrite(IndexedFile* x) noexcept;

// At open: a write left torn is put back before the handle reads anything, through a writable
// descriptor of its own for a read-only handle.  Answers 0, or the code the open fails with (49
// when the file cannot be written).
int32_t repairAtOpen(IndexedFile* x, bool writable);

}  // namespace mdnio::indexed
