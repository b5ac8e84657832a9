// The floor of an idle loop's CPU on this machine: one thread that wakes once per second
// and does nothing else, for comparison with a service whose timer ticks once per second.
// Prints "<wake-ups> <scheduler ms>" for the time asked (the thread's own schedstat count).
//
// Usage: idle_floor [--seconds N]   (default 60)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

double SchedulerMs() {
    std::ifstream in("/proc/thread-self/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) seconds = std::atoi(argv[2]);
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: idle_floor [--seconds N]\n");
        return 2;
    }
    const double start = SchedulerMs();
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < seconds; ++i) {
        next += std::chrono::seconds(1);
        std::this_thread::sleep_until(next);
    }
    std::printf("%d %.3f\n", seconds, SchedulerMs() - start);
    return 0;
}
