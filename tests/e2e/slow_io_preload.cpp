// Fault injection for the end-to-end tests of slow steps, loaded into the real program
// with LD_PRELOAD (the program itself has no test hooks). Set in the program's environment:
//
//   VBX_SLOW_WRITE_BYTES_PER_SECOND=N   a write to a file whose path holds "TV_BRIVON.XML"
//                                       takes as long as N bytes per second allow: slow
//                                       storage that still makes progress
//   VBX_HANG_LOOKUP=NAME                a name lookup of NAME never returns: a thread
//                                       blocked without progress
//   VBX_HANG_MARK=PATH                  made (empty) when that lookup begins to hang
//
// Everything else goes to the C library unchanged.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

bool IsOutputFile(int fd) {
    char link[64];
    char path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n <= 0) return false;
    path[n] = '\0';
    return std::strstr(path, "TV_BRIVON.XML") != nullptr;
}

void SleepFor(double seconds) {
    timespec left{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    while (::nanosleep(&left, &left) != 0) {}
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t size) {
    static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
    static const double rate = [] {
        const char* value = std::getenv("VBX_SLOW_WRITE_BYTES_PER_SECOND");
        return value != nullptr ? std::atof(value) : 0.0;
    }();
    if (rate > 0 && size > 0 && IsOutputFile(fd)) SleepFor(static_cast<double>(size) / rate);
    return next(fd, buffer, size);
}

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
    static const auto next = Next<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>("getaddrinfo");
    const char* hang = std::getenv("VBX_HANG_LOOKUP");
    if (hang != nullptr && node != nullptr && std::strcmp(node, hang) == 0) {
        if (const char* mark = std::getenv("VBX_HANG_MARK")) {
            if (std::FILE* file = std::fopen(mark, "w")) std::fclose(file);
        }
        for (;;) ::pause();
    }
    return next(node, service, hints, result);
}
