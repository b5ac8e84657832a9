// Progress marks (platform/progress.h): the same on every system.
#include "platform/progress.h"

#include <chrono>

namespace platform {

namespace {

thread_local ThreadProgress* watched = nullptr;

}  // namespace

std::uint64_t ProgressClockMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

WatchProgress::WatchProgress(ThreadProgress& record) {
    watched = &record;
    record.BindToThisThread();
    record.Mark(ProgressClockMs());
}

WatchProgress::~WatchProgress() { watched = nullptr; }

void MarkProgress() {
    if (ThreadProgress* record = watched) record->Mark(ProgressClockMs());
}

}  // namespace platform
