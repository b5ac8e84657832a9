// The collector's three timer events idle on a real message loop: how often the loop
// wakes, how many ticks the tick arithmetic predicts for the same time, and the CPU used.
//
// Usage: timer_idle_bench [--seconds N]   (default 60)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/messages.h"
#include "platform/posix/loop_internal.h"
#include "platform/process.h"
#include "timers/timer_list.h"

namespace {

struct Counts {
    int controle = 0, pakket = 0, connect = 0;
};

// The collector's design: ControleTimer 30000 (off), PakketController 2000 (off),
// ConnectTimer 15000 (on); start-up activates the list, sets ControleTimer's interval from
// the configuration (HTTPTimer 60000) and switches the first two on. Each handler switches
// its own event off on entry; the first two switch it on again at the end, ConnectTimer
// stays off (there is no connection to watch).
void SetUpCollectorEvents(timers::TJvTimerList& list, Counts& counts) {
    timers::TJvTimerEvent& controle = list.Events().Add();
    controle.SetName(u"ControleTimer");
    controle.SetEnabled(false);
    controle.SetInterval(30000);
    timers::TJvTimerEvent& pakket = list.Events().Add();
    pakket.SetName(u"PakketController");
    pakket.SetEnabled(false);
    pakket.SetInterval(2000);
    timers::TJvTimerEvent& connect = list.Events().Add();
    connect.SetName(u"ConnectTimer");
    connect.SetInterval(15000);

    controle.SetOnTimer([&controle, &counts](void*) {
        controle.SetEnabled(false);
        ++counts.controle;   // the socket is closed and there is no server: nothing more
        controle.SetEnabled(true);
    });
    pakket.SetOnTimer([&pakket, &counts](void*) {
        pakket.SetEnabled(false);
        ++counts.pakket;     // the receive buffer is empty
        pakket.SetEnabled(true);
    });
    connect.SetOnTimer([&connect, &counts](void*) {
        connect.SetEnabled(false);
        ++counts.connect;
    });
}

void Start(timers::TJvTimerList& list) {
    list.SetActive(true);
    list.Events()[0].SetInterval(60000);
    list.Events()[0].SetEnabled(true);
    list.Events()[1].SetEnabled(true);
}

// Runs the same events on the injected clock, one millisecond at a time, and counts the
// ticks the loop hands out.
long PredictTicks(int seconds, Counts& counts) {
    std::uint64_t now = 5'000'000;
    platform::SetTestClock([&now] { return now; });
    long ticks = 0;
    {
        timers::TJvTimerList list;
        SetUpCollectorEvents(list, counts);
        Start(list);
        platform::Message m;
        // Ticks in [start, start + seconds): the measured loop ends just before its last one.
        for (std::uint64_t end = now + std::uint64_t(seconds) * 1000; now + 1 < end;) {
            ++now;
            while (platform::PeekMessage(m, true)) {
                if (m.message == platform::kWmTimer) ++ticks;
                platform::DispatchMessage(m);
            }
        }
    }
    platform::SetTestClock({});
    return ticks;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atoi(argv[++i]);
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: timer_idle_bench [--seconds N]\n");
        return 2;
    }

    platform::EnsureMessageQueue();
    platform::ThreadId loopThread = platform::CurrentThreadId();
    Counts real;
    long realTicks = 0;
    std::uint64_t wakeupsBefore, wakeupsAfter;
    double cpuBefore, cpuAfter;
    {
        timers::TJvTimerList list;
        SetUpCollectorEvents(list, real);
        // The only other wake-up of the measured loop: the message that ends it.
        std::thread stopper([loopThread, seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            platform::PostThreadMessage(loopThread, platform::kWmQuit, 0, 0);
        });
        cpuBefore = platform::ProcessCpuTimeMs();
        wakeupsBefore = platform::posix::LoopWakeups();
        Start(list);
        platform::Message m;
        while (platform::GetMessage(m)) {
            if (m.message == platform::kWmTimer) ++realTicks;
            platform::DispatchMessage(m);
        }
        wakeupsAfter = platform::posix::LoopWakeups();
        cpuAfter = platform::ProcessCpuTimeMs();
        stopper.join();
    }

    Counts predicted;
    long predictedTicks = PredictTicks(seconds, predicted);
    std::uint64_t wakeups = wakeupsAfter - wakeupsBefore;
    double cpu = cpuAfter - cpuBefore;

    std::printf("timer list idle, %d s real time (ControleTimer 60000, PakketController 2000, ConnectTimer 15000)\n",
                seconds);
    std::printf("%-34s %10s\n", "figure", "value");
    std::printf("%-34s %10llu\n", "loop wake-ups (incl. 1 for the stop)", static_cast<unsigned long long>(wakeups));
    std::printf("%-34s %10ld\n", "ticks dispatched", realTicks);
    std::printf("%-34s %10ld\n", "ticks predicted", predictedTicks);
    std::printf("%-34s %10d / %d\n", "ControleTimer firings real/pred", real.controle, predicted.controle);
    std::printf("%-34s %10d / %d\n", "PakketController firings real/pred", real.pakket, predicted.pakket);
    std::printf("%-34s %10d / %d\n", "ConnectTimer firings real/pred", real.connect, predicted.connect);
    std::printf("%-34s %10.2f\n", "CPU ms", cpu);
    std::printf("%-34s %10.2f\n", "CPU ms per idle minute", cpu * 60.0 / seconds);
    std::printf("%-34s %10llu\n", "resident KiB", static_cast<unsigned long long>(platform::ResidentMemoryKiB()));
    return 0;
}
