#pragma once
// Signs of life from long steps, for the service's watchdog (service_host/watchdog.h).
//
// The watchdog takes a thread that answers its heartbeats for alive. A thread busy with a
// long step (a large file written and flushed, a name lookup) answers nothing meanwhile,
// yet it is not hung while the step moves on. Code that may take long therefore marks its
// progress with MarkProgress(): the file writers after every chunk written or flushed,
// the name lookup before and after the call that may block. The watchdog reads the time
// of the last mark of the thread it watches and takes a recent one for an answer, so a
// long step needs a mark at least every two of its ticks (two thirds of the timeout)
// and a thread without progress is still given up within two timeouts of its last mark.
//
// Marks are recorded only by a thread that watches itself (a WatchProgress scope); in any
// other thread MarkProgress costs one thread-local load.
//
// Threading contract: a ThreadProgress is marked by its thread and read from any thread.
#include <atomic>
#include <cstdint>

#include "platform/contracts.h"

namespace platform {

// Milliseconds of a monotonic clock, the one marks are taken with.
std::uint64_t ProgressClockMs();

class ThreadProgress {
public:
    // The clock time of the last mark; 0 before the first.
    std::uint64_t LastMark() const { return lastMark_.load(std::memory_order_relaxed); }
    // On the record's thread: the first that marks it, or the last that watched it.
    void Mark(std::uint64_t now) {
        VBX_EXPECT_OWNER_THREAD(thread_, "the thread the progress record belongs to");
        lastMark_.store(now == 0 ? 1 : now, std::memory_order_relaxed);
    }
    // The calling thread marks the record from now on (WatchProgress).
    void BindToThisThread() { thread_.Bind(); }

private:
    std::atomic<std::uint64_t> lastMark_{0};
    [[no_unique_address]] OwnerThread thread_{OwnerThread::Start::kDetached};
};

// While it lives, the calling thread's marks go to `record` (scopes do not nest).
class WatchProgress {
public:
    explicit WatchProgress(ThreadProgress& record);
    ~WatchProgress();
    WatchProgress(const WatchProgress&) = delete;
    WatchProgress& operator=(const WatchProgress&) = delete;
};

// The calling thread made progress in a long step.
void MarkProgress();

}  // namespace platform
