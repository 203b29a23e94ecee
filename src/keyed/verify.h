// Integrity check of a classic keyed file.
//
// The verifier reads a file (and its segment files) without trusting any of it and lists every
// broken invariant it finds: header fields, the shape and order of every key tree, the records
// reached from key 0 and their entries in the other keys, the deleted-slot and free-block chains
// of slot mode, the allocation maps and data blocks of block mode, and the dictionary records.
// Every offset, length, count and chain is bounded, so a damaged file gives problems, never a
// crash or a hang.  The file is opened read-only and never changed.
//
// What cannot be seen from the file is not checked: in slot mode blocks and record slots share
// the file without a map, so only what the trees and chains reach is checked (and that none of
// it overlaps); in a key-only file (R = 0) the alternate keys are checked for shape and order
// only, as their entries carry no record to rebuild them from.  Data blocks of block mode may be
// marked full (0x81) or not whatever their free space: that depends on the fill threshold at
// the time of the last change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace mdnio::keyed {

// The shape of one key tree, as the walk found it.
struct KeyTreeShape {
    int depth = 0;         // levels from the root to the leaves; 0 for an empty key
    uint32_t blocks = 0;   // key blocks
    uint32_t entries = 0;  // leaf entries, end markers left out
    bool operator==(const KeyTreeShape&) const = default;
};

struct VerifyReport {
    // Each names the broken invariant and where (block address, key, record).
    std::vector<std::string> problems;
    uint32_t records = 0;  // records reached from key 0 (leaf entries of key 0)
    // Problems found beyond those listed; the last line of `problems` then says how many.
    size_t unlisted = 0;
    std::vector<KeyTreeShape> trees;  // one per key, when the trees could be walked
    int64_t bytes = 0;                // the lengths of the base file and its segment files
    unsigned files = 0;               // the base file and its segment files
    bool ok() const { return problems.empty(); }
    // Every problem found, listed or not.
    size_t count() const { return problems.size() - (unlisted > 0 ? 1 : 0) + unlisted; }
};

struct VerifyOptions {
    // Turns the enciphered bytes 5..B-1 of a key block or data block back into plain bytes, in
    // place.  It is called only for a file whose password record asks for enciphered blocks.
    // Without it the key trees and records of such a file cannot be checked, and the report
    // says so as a problem (the file is then not shown as sound).
    std::function<void(std::span<uint8_t>)> decipher;
    // Problems listed at most; a last line tells how many more were found.
    size_t maxProblems = 200;
    // Only the header, the dictionary records and the key trees: what the shapes of the trees
    // need, without the records, chains and block maps (whose checks read every block).
    bool treesOnly = false;
};

VerifyReport verifyClassicFile(const std::string& path);
VerifyReport verifyClassicFile(const std::string& path, const VerifyOptions& options);

}  // namespace mdnio::keyed
