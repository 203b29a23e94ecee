// The refused rows of a load, reported on standard error.  The first few refusals of each kind
// are listed one by one with their line and reason; later ones of the same kind are counted and
// summed up at the end, so that input in the wrong form gives a handful of lines, not one per
// row.
#pragma once

#include <string>
#include <vector>

namespace mdk {

class RefusalLog {
  public:
    static constexpr long kListedPerKind = 5;

    // `source`: the input's name in reports ("stdin", a path); `listAll`: list every refusal.
    RefusalLog(std::string source, bool listAll) : source_(std::move(source)), listAll_(listAll) {}

    // Reports the row at `line`: `key` as read (empty when the line gave no row), `kind` the
    // reason without what varies from row to row, `why` the whole reason.
    void add(long line, const std::string& key, const std::string& kind, const std::string& why);

    // One line per kind whose refusals were not all listed: how many, and from which line on.
    void summarize() const;

    long count() const { return count_; }

  private:
    struct Kind {
        std::string name;
        long count = 0;
        long firstUnlisted = 0;
    };

    std::string source_;
    bool listAll_;
    std::vector<Kind> kinds_;
    long count_ = 0;
};

}  // namespace mdk
