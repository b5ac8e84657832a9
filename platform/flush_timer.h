// The time spent flushing files to stable storage, which StableStorageFlushMs
// (platform/system.h) reports so that benchmarks can show the disk apart. Both backends
// wrap each flush in a FlushTimer.
#pragma once

#include <chrono>

namespace platform {

// Adds the time from its creation to its end to the flush total (any thread).
class FlushTimer {
public:
    FlushTimer();
    ~FlushTimer();
    FlushTimer(const FlushTimer&) = delete;
    FlushTimer& operator=(const FlushTimer&) = delete;

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace platform
