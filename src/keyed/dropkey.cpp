// Dropping an alternate key: its descriptors leave the table, its tree's blocks are freed and
// the keys above it move down one place.
#include <cstring>

#include "common/keydesc.h"
#include "keyed/keyed.h"

namespace mdnio::keyed {

namespace {

// Frees every block of a key tree; leaf pointers name records, which stay.
void freeTree(KeyedFile* f, int k, uint32_t block, int depth) {
    KeyedShared* s = f->sh();
    if (depth >= kMaxDepth) raiseError(f, MDK_E_KEYADDR);
    size_t es = entrySize(s, k);
    uint8_t* b = fetchBlock(f, block, kTypeKey);
    unsigned n = b[5];
    if (n > capacity(s, k)) raiseError(f, MDK_E_KEYADDR);
    std::vector<uint32_t> children;
    for (unsigned i = 0; i < n; i++) {
        int32_t pointer = static_cast<int32_t>(get32(b, 6 + static_cast<int>(i * es)));
        if (pointer > 0) children.push_back(static_cast<uint32_t>(pointer));
    }
    for (uint32_t child : children)
        freeTree(f, k, child, depth + 1);
    freeBlock(f, fetchBlock(f, block, kTypeKey));
}

}  // namespace

int32_t opDropKey(MdkFile* mf, int32_t k) {
    KeyedFile* f = K(mf);
    KeyedShared* s = f->sh();
    if (k < 1 || k > s->highestKey) raiseError(f, MDK_E_KEYNUM);
    if (!f->writeAllowed) raiseError(f, MDK_E_READONLY);
    MdkEnv* env = f->env;
    lockEnv(env);
    // One header-lock period for the whole change.
    lockHeader(f);
    uint8_t* h = s->header;
    std::vector<uint8_t> table(h + kOffDescriptors, h + kOffDescriptors + 128);
    if (!s->pendingDescriptors.empty()) {
        // An earlier drop in this transaction changed the continuation; the file has it not yet.
        table.insert(table.end(), s->pendingDescriptors.begin(), s->pendingDescriptors.end());
    } else if (h[kOffFlagsA] & kDescContinued) {
        uint8_t more[kHeaderSize];
        platform::IoResult r = platform::readAt(s->fd, more, kHeaderSize, kHeaderSize);
        if (r.status != platform::IoStatus::Ok || r.count != kHeaderSize)
            raiseError(f, MDK_E_KEYREAD);
        table.insert(table.end(), more, more + kHeaderSize);
    }
    // Remove key k's segment and option entries; renumber the keys above it.
    std::vector<uint8_t> kept;
    bool droppingOptions = false;
    size_t before = 0;
    for (size_t i = 0; i + 4 <= table.size(); i += 4) {
        uint8_t* e = table.data() + i;
        if (e[0] == 0xFF) break;
        before = i + 4;
        if (e[0] == 0xFE) {
            if (!droppingOptions) kept.insert(kept.end(), e, e + 4);
            continue;
        }
        int key = e[0] & 0x0F;
        droppingOptions = key == k;
        if (key == k) continue;
        uint8_t copy[4] = {e[0], e[1], e[2], e[3]};
        if (key > k) copy[0] = static_cast<uint8_t>((e[0] & 0xF0) | (key - 1));
        kept.insert(kept.end(), copy, copy + 4);
    }
    kept.push_back(0xFF);
    kept.insert(kept.end(), 3, 0);
    std::vector<uint8_t> area(128 + kHeaderSize, 0);
    std::memcpy(area.data(), kept.data(), std::min(kept.size(), area.size()));
    // The period keeps what it must be able to undo: the layout the handles use now.  The
    // continuation goes to the file with the period's other writes (flushPeriod), journalled, and
    // never before a transaction commits.
    if (!s->undo.layout) s->undo.layout = s->layout;
    if (h[kOffFlagsA] & kDescContinued) {
        s->pendingDescriptors.assign(area.begin() + 128, area.end());
        if (before <= 128) h[kOffFlagsA] &= ~kDescContinued;
    }
    std::memcpy(h + kOffDescriptors, area.data(), 128);
    uint32_t root = rootOf(s, k);
    if (root) freeTree(f, k, root, 0);
    for (int i = k; i < 15; i++)
        put32(h, kOffRoots + 4 * i, rootOf(s, i + 1));
    put32(h, kOffRoots + 60, 0);
    headerChanged(f);
    // The key tables of the shared block follow the new descriptor table.
    uint8_t continuation[kHeaderSize] = {};
    std::memcpy(continuation, area.data() + 128, kHeaderSize);
    common::KeyLayout layout;
    if (decodeHeaderKeys({h, kHeaderSize}, {continuation, kHeaderSize}, layout))
        raiseError(f, MDK_E_INTERNAL);
    s->layout = std::move(layout);
    s->highestKey = static_cast<int>(s->layout.keys.size()) - 1;
    for (MdkFile* m = env->openFiles; m; m = m->next)
        if (m->shared == s && K(m)->curKey >= k) K(m)->curKey = 0;
    if (env->inTransaction) s->flags |= kTxHeld;
    unlockHeader(f, true);
    unlockEnv(env);
    return 0;
}

}  // namespace mdnio::keyed
