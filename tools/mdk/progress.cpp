#include "mdk/progress.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace mdk {

namespace {

constexpr int kBarWidth = 30;
// Without a known total the bar shows the row count, redrawn every so many rows.
constexpr long kRowsPerRedraw = 500;

}  // namespace

bool isTerminal(int fd) {
    return isatty(fd) == 1;
}

Progress::Progress(long long total) : shown_(isTerminal(STDERR_FILENO)), total_(total) {}

Progress::~Progress() {
    clear();
}

void Progress::update(long long bytes, long rows) {
    if (!shown_) return;
    if (total_ > 0) {
        const int percent = static_cast<int>(std::min(100LL, bytes * 100 / total_));
        if (percent == lastPercent_ && drawn_) return;
        lastPercent_ = percent;
    } else if (drawn_ && rows - lastRows_ < kRowsPerRedraw) {
        return;
    }
    lastRows_ = rows;
    draw(bytes, rows);
}

void Progress::draw(long long bytes, long rows) {
    if (total_ > 0) {
        const int filled =
            static_cast<int>(std::clamp<long long>(bytes * kBarWidth / total_, 0, kBarWidth));
        fmt::print(stderr, "\rloading [{:#<{}}{:.<{}}] {:3d}%  {} rows", "", filled, "",
                   kBarWidth - filled, lastPercent_, rows);
    } else {
        fmt::print(stderr, "\rloading  {} rows", rows);
    }
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::clear() {
    if (!shown_ || !drawn_) return;
    fmt::print(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace mdk
