// A map from a block address (never 0) to a small number, the position of the cache buffer
// that holds the block.  Every block a call touches is looked up here, so the map is one flat
// array probed linearly: a lookup reads one or two neighbouring entries instead of following
// the node chains of a node-based hash table, which missed the processor cache on almost every
// lookup once a transaction held thousands of blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mdnio::common {

class AddressMap {
  public:
    // The position stored for `address`, or null.
    const uint32_t* find(uint32_t address) const {
        if (slots_.empty() || address == 0) return nullptr;
        for (size_t i = home(address);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.address == address) return &slot.position;
            if (slot.address == 0) return nullptr;
        }
    }

    // Stores `position` for `address` (which must not be 0), replacing what was stored.
    void put(uint32_t address, uint32_t position) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        for (size_t i = home(address);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.address == address) {
                slot.position = position;
                return;
            }
            if (slot.address == 0) {
                slot = {address, position};
                used_++;
                return;
            }
        }
    }

    void erase(uint32_t address) {
        if (slots_.empty() || address == 0) return;
        size_t i = home(address);
        while (slots_[i].address != address) {
            if (slots_[i].address == 0) return;
            i = (i + 1) & mask_;
        }
        // Backward shift: entries after the hole that would no longer be reachable from their
        // home slot move into it, so a lookup can still stop at the first empty slot.
        for (size_t j = (i + 1) & mask_; slots_[j].address != 0; j = (j + 1) & mask_) {
            const size_t h = home(slots_[j].address);
            const bool between = i <= j ? (i < h && h <= j) : (i < h || h <= j);
            if (between) continue;
            slots_[i] = slots_[j];
            i = j;
        }
        slots_[i] = {};
        used_--;
    }

    void clear() {
        for (Slot& slot : slots_)
            slot = {};
        used_ = 0;
    }

    // Room for `n` entries without growing.
    void reserve(size_t n) {
        if (n * 2 > slots_.size()) rebuild(n * 2);
    }

    size_t size() const { return used_; }

  private:
    struct Slot {
        uint32_t address = 0;  // 0: empty
        uint32_t position = 0;
    };

    size_t home(uint32_t address) const {
        // Fibonacci hashing: addresses are multiples of the block size, whose low bits are all
        // alike; the multiplication spreads the high bits over the whole index.
        return static_cast<size_t>((address * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void grow() { rebuild(slots_.empty() ? 64 : slots_.size() * 2); }

    void rebuild(size_t atLeast) {
        size_t n = 64;
        int bits = 6;
        while (n < atLeast) {
            n *= 2;
            bits++;
        }
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.assign(n, Slot{});
        mask_ = n - 1;
        shift_ = 64 - bits;
        used_ = 0;
        for (const Slot& slot : old)
            if (slot.address != 0) put(slot.address, slot.position);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    int shift_ = 64;
    size_t used_ = 0;
};

}  // namespace mdnio::common
