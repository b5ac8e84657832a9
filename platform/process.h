#pragma once
// Resource figures of the running process, for benchmarks and diagnostics.
//
// Threading contract: may be called from any thread.
#include <cstdint>

namespace platform {

// User plus system CPU time the process has used so far, in milliseconds.
double ProcessCpuTimeMs();
// Current resident set size in KiB (0 when the platform does not tell).
std::uint64_t ResidentMemoryKiB();
// Largest resident set size so far in KiB.
std::uint64_t PeakResidentKiB();

}  // namespace platform
