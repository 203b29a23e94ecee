// A progress bar on standard error while a load runs, drawn only when standard error is a
// terminal: a file or a pipe gets no bar, so logs hold only the results.
#pragma once

#include <string>

namespace mdk {

class Progress {
  public:
    // `total`: bytes of input, or 0 when unknown (then only rows are counted).
    explicit Progress(long long total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool shown() const { return shown_; }
    void update(long long bytes, long rows);
    // Clears the bar, so that a message can be printed on a clean line; the next update draws
    // it again.
    void clear();

  private:
    void draw(long long bytes, long rows);

    bool shown_;
    long long total_;
    int lastPercent_ = -1;
    long lastRows_ = -1;
    bool drawn_ = false;
};

// Where the bar is drawn, and whether it is: the file descriptor's terminal-ness.
bool isTerminal(int fd);

}  // namespace mdk
