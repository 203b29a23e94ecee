#include "mdk/refusals.h"

#include <fmt/format.h>

#include <algorithm>

namespace mdk {

void RefusalLog::add(long line, const std::string& key, const std::string& kind,
                     const std::string& why) {
    ++count_;
    auto it = std::find_if(kinds_.begin(), kinds_.end(),
                           [&kind](const Kind& k) { return k.name == kind; });
    if (it == kinds_.end()) it = kinds_.insert(kinds_.end(), Kind{kind});
    ++it->count;
    if (!listAll_ && it->count > kListedPerKind) {
        if (it->firstUnlisted == 0) it->firstUnlisted = line;
        return;
    }
    fmt::print(stderr, "{}:{}: refused{}: {}\n", source_, line,
               key.empty() ? std::string() : fmt::format(" key \"{}\"", key), why);
    if (!listAll_ && it->count == kListedPerKind) {
        fmt::print(stderr,
                   "{}: further rows refused for this reason are counted, not listed "
                   "(--all-refusals lists them)\n",
                   source_);
    }
}

void RefusalLog::summarize() const {
    for (const Kind& k : kinds_) {
        if (k.firstUnlisted == 0) continue;
        fmt::print(stderr, "{}: {} more rows refused from line {} on, not listed: {}\n", source_,
                   k.count - kListedPerKind, k.firstUnlisted, k.name);
    }
}

}  // namespace mdk
