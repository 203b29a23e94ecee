// Records in the order of one key, forwards or backwards, between two keys.
//
// The bounds are the caller's key bytes, compared in the form the key stores them (after case
// folding, descending segments and the like, as MDK_keyadjust makes them).  A record lies inside
// when its key is at or after `from` (as MDK_seek finds it) and its first bytes, as many as `to`
// has, are not above `to` (the key range of the restricted reads).  Indexed files take record
// numbers.
#pragma once

#include <optional>
#include <string>

#include "mdk/session.h"

namespace mdk {

struct KeyRange {
    int keyNumber = 1;  // counted from 1, as MDK_seek counts
    std::optional<std::string> from;
    std::optional<std::string> to;
};

class KeyCursor {
  public:
    KeyCursor(OpenFile& file, const KeyRange& range, bool reverse);

    // The next record in the chosen order; false after the last one.
    bool next(Record& out);

  private:
    bool startForward(Record& out);
    bool startBackward(Record& out);
    bool insideTo();
    bool belowFrom();
    std::string highestKey();

    OpenFile& file_;
    KeyRange range_;
    bool reverse_;
    bool started_ = false;
    bool ended_ = false;
    std::optional<std::string> storedFrom_, storedTo_;
};

}  // namespace mdk
