// Process figures from getrusage and /proc/self/statm.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "platform/process.h"

namespace platform {

double ProcessCpuTimeMs() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
    auto ms = [](const timeval& tv) { return double(tv.tv_sec) * 1000.0 + double(tv.tv_usec) / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

std::uint64_t ResidentMemoryKiB() {
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (!file) return 0;
    unsigned long long size = 0, resident = 0;
    int fields = std::fscanf(file, "%llu %llu", &size, &resident);
    std::fclose(file);
    if (fields != 2) return 0;
    long page = sysconf(_SC_PAGESIZE);
    return resident * std::uint64_t(page > 0 ? page : 4096) / 1024u;
}

std::uint64_t PeakResidentKiB() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return std::uint64_t(usage.ru_maxrss);  // already KiB on Linux
}

}  // namespace platform
