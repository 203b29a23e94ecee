// Parts the file builders share: how a refused layout is reported, and a fresh file identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "mdnio_devtools.h"

namespace mdnio::devtools {

// Collects the reason of a refusal, and the key and segment at fault when there is one.  Every
// call answers `code`, the builder's answer for a refused layout.
class LayoutRefusal {
  public:
    LayoutRefusal(int code, std::string* why, LayoutFault* fault)
        : code_(code), why_(why), fault_(fault) {}
    // The layout as a whole.
    int operator()(const std::string& reason) const { return at(-1, -1, "", reason); }
    int key(size_t k, const std::string& reason) const {
        return at(static_cast<int>(k), -1, keyName(k) + ": ", reason);
    }
    // Segment i (from 0) of key k.
    int segment(size_t k, size_t i, const std::string& reason) const {
        return at(static_cast<int>(k), static_cast<int>(i),
                  keyName(k) + " segment " + std::to_string(i + 1) + ": ", reason);
    }

  private:
    static std::string keyName(size_t k) { return "key " + std::to_string(k); }
    int at(int k, int i, const std::string& where, const std::string& reason) const {
        if (why_) *why_ = where + reason;
        if (fault_) *fault_ = LayoutFault{k, i, reason};
        return code_;
    }

    int code_;
    std::string* why_;
    LayoutFault* fault_;
};

// A file identity for a new file.  Files opened together are told apart by it, so two files
// made one after the other in one process differ.  Never 0.
uint32_t freshIdentity();

}  // namespace mdnio::devtools
