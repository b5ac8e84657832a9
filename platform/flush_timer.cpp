#include "platform/flush_timer.h"

#include <atomic>
#include <cstdint>

#include "platform/system.h"

namespace platform {

namespace {

std::atomic<std::int64_t> flushNanoseconds{0};

}  // namespace

FlushTimer::FlushTimer() : start_(std::chrono::steady_clock::now()) {}

FlushTimer::~FlushTimer() {
    const auto spent = std::chrono::steady_clock::now() - start_;
    flushNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count();
}

double StableStorageFlushMs() { return double(flushNanoseconds.load()) / 1e6; }

}  // namespace platform
