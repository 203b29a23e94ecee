// Record slots (slot mode) written in a header-lock period or a transaction and not yet on disk.
// A load inside one transaction keeps every record it wrote here until the commit, so the slots
// live in large chunks (no allocation, no tree node per slot), found through a flat address map,
// and are handed out in address order when they go to the file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/addrmap.h"

namespace mdnio::keyed {

class PendingSlots {
  public:
    // Every slot has `size` bytes; set before the first slot is added.
    void setSlotSize(size_t size) {
        clear();
        size_ = size;
        perChunk_ = std::max<size_t>(1, kChunkBytes / std::max<size_t>(size, 1));
    }

    bool empty() const { return addresses_.empty(); }
    size_t size() const { return addresses_.size(); }

    // The bytes kept for the slot at `address`, or null.
    uint8_t* find(uint32_t address) {
        const uint32_t* at = index_.find(address);
        return at ? entry(*at) : nullptr;
    }

    // Keeps a new slot at `address` (which must not be kept yet) with the `size` bytes at
    // `bytes`; answers where they are kept.
    uint8_t* add(uint32_t address, const uint8_t* bytes) {
        const size_t n = addresses_.size();
        if (n / perChunk_ >= chunks_.size())
            chunks_.push_back(std::unique_ptr<uint8_t[]>(new uint8_t[perChunk_ * size_]));
        uint8_t* e = entry(static_cast<uint32_t>(n));
        std::copy(bytes, bytes + size_, e);
        addresses_.push_back(address);
        try {
            index_.put(address, static_cast<uint32_t>(n));
        } catch (...) {
            addresses_.pop_back();
            throw;
        }
        return e;
    }

    // Calls fn(address, bytes) for every slot kept, in address order.
    template <class Fn>
    void forEachInOrder(Fn&& fn) {
        // A load appends slot after slot: the addresses are most often in order already.
        if (!std::is_sorted(addresses_.begin(), addresses_.end()))
            std::sort(addresses_.begin(), addresses_.end());
        for (uint32_t address : addresses_)
            fn(address, find(address));
    }

    // Forgets every slot.  The memory of a few goes on serving the next period; that of many
    // (a large transaction) goes back.
    void clear() {
        if (chunks_.size() > 1) {
            chunks_.clear();
            addresses_ = {};
            index_ = {};
        } else {
            addresses_.clear();
            index_.clear();
        }
    }

  private:
    static constexpr size_t kChunkBytes = 64 << 10;

    uint8_t* entry(uint32_t i) { return chunks_[i / perChunk_].get() + (i % perChunk_) * size_; }

    size_t size_ = 0;
    size_t perChunk_ = 1;
    std::vector<std::unique_ptr<uint8_t[]>> chunks_;
    std::vector<uint32_t> addresses_;  // in the order added; sorted when written out
    common::AddressMap index_;         // address -> number of the slot in the chunks
};

}  // namespace mdnio::keyed
