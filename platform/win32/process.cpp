// Process figures from GetProcessTimes and K32GetProcessMemoryInfo (both in kernel32).
#include "platform/process.h"

#include "platform/win32/win32.h"
// After the Windows headers, which it needs.
#include <psapi.h>

namespace platform {
namespace {

double FileTimeMs(const FILETIME& ft) {
    const std::uint64_t ticks = (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return double(ticks) / 10000.0;  // 100 ns units
}

bool MemoryCounters(PROCESS_MEMORY_COUNTERS& counters) {
    counters = PROCESS_MEMORY_COUNTERS{};
    counters.cb = sizeof counters;
    return ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) != 0;
}

}  // namespace

double ProcessCpuTimeMs() {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
        return 0.0;
    }
    return FileTimeMs(kernel) + FileTimeMs(user);
}

std::uint64_t ResidentMemoryKiB() {
    PROCESS_MEMORY_COUNTERS counters;
    return MemoryCounters(counters) ? counters.WorkingSetSize / 1024u : 0;
}

std::uint64_t PeakResidentKiB() {
    PROCESS_MEMORY_COUNTERS counters;
    return MemoryCounters(counters) ? counters.PeakWorkingSetSize / 1024u : 0;
}

}  // namespace platform
