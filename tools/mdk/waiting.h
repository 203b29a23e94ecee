// Waiting for a lock another process holds.
//
// The library waits for a busy header lock 3000 x 10 ms and for a busy record lock up to a
// minute, silently, then fails with code 38 or 23.  mdk asks it not to wait (lock options
// 0x08 | 0x04: a busy lock fails at once) and waits itself: it says once what it waits for, tries
// the same call again every few milliseconds, and gives up when --timeout is over (at once with
// --nowait) with exit status kExitBusy.
//
// Trying a call again is safe because a call that fails with 38 or 23 has changed nothing: the
// header lock is taken before anything is read or written, a write that meets a busy record
// lock gives up its whole header-lock period (its changes are dropped, the header put back), and
// reads put the position back before they wait for the header lock.  One exception is handled
// by stepPatiently: a next or prior read that found the next record's lock busy has already
// stepped onto that record, so the try after it reads the current record instead.
#pragma once

#include <chrono>
#include <string>

#include "mdk/failure.h"
#include "mdnio.h"

namespace mdk {

// How long a command waits for a busy lock; set once from the command line.
struct WaitPolicy {
    static constexpr double kDefaultSeconds = 30;  // as long as the library waits for a header
    double timeoutSeconds = kDefaultSeconds;       // 0: do not wait (--nowait)
};

void setWaitPolicy(const WaitPolicy& policy);
const WaitPolicy& waitPolicy();

// The environment's lock options that make a busy lock fail at once.
void failBusyLocksAtOnce(MdkEnv* env);

// 38 (header busy) and 23 (header or record busy).
bool isBusyCode(int code);

// The waits of one call on `path`.
class Patience {
  public:
    explicit Patience(std::string path);

    // After a busy answer with `code`: sleeps before the next try, or throws Failure with
    // kExitBusy when the time allowed is over.  Says once per process what it waits for.
    void wait(int code);

  private:
    std::string path_;
    std::chrono::steady_clock::time_point start_;
    int pauseMs_;
};

// Runs `call` (a library call on `file` that answers -1 on failure) until it does not fail
// with a busy code; answers its last result.
template <class Call>
int32_t patiently(MdkFile* file, const std::string& path, Call&& call) {
    Patience patience(path);
    for (;;) {
        const int32_t result = call();
        if (result != -1 || !isBusyCode(MDK_geterrno(file))) return result;
        patience.wait(MDK_geterrno(file));
    }
}

// As patiently, for a read with `option` (MDK_READ_CURRENT, _NEXT, _PRIOR) made by
// `read(option)`: a step that failed busy after moving onto the next record is tried again as a
// read of the current record.
template <class Read>
int32_t stepPatiently(MdkFile* file, const std::string& path, int32_t option, Read&& read) {
    const int32_t before = MDK_getpos(file);
    Patience patience(path);
    for (;;) {
        const int32_t result = read(option);
        if (result != -1) return result;
        const int32_t code = MDK_geterrno(file);  // before MDK_getpos, which may set another
        if (!isBusyCode(code)) return result;
        if (MDK_getpos(file) != before) option = MDK_READ_CURRENT;
        patience.wait(code);
    }
}

}  // namespace mdk
