// The collector's three timer events idle on a real message loop: how often the loop
// wakes, how many ticks the tick arithmetic predicts for the same time, and the CPU used.
//
// Usage: timer_idle_bench [--seconds N] [--trace]   (default 60 s)
//
// The prediction follows the list's re-arms: each one restarts the platform tick with
// the list's TickInterval at that moment, so between two re-arms t0 and t1 the loop owes
// floor((t1 - t0) / TickInterval) ticks. Handlers take real time, so an event may be
// re-enabled after a round moment; if its stamp then differs from the tick's (a handler or
// a wake-up that took longer than the tick count's 10 ms step), the tick shrinks to
// 100-200 ms for a while around the next due event, which a run on the injected clock with
// handlers taking no time does not show (its count is printed too).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/posix/loop_internal.h"
#include "platform/process.h"
#include "timers/timer_list.h"

namespace {

struct Arm {
    std::uint32_t at;
    std::int32_t period;
};

struct Counts {
    int controle = 0, pakket = 0, connect = 0;
    timers::TJvTimerList* list = nullptr;
    std::vector<Arm> arms;
    // Called right after an operation that re-armed the list's tick.
    void Rearmed() { arms.push_back(Arm{platform::GetTickCount(), list->Events().TickInterval()}); }
};

long PredictFromArms(const std::vector<Arm>& arms, std::uint32_t end, bool trace) {
    long ticks = 0;
    for (std::size_t i = 0; i < arms.size(); ++i) {
        std::uint32_t until = i + 1 < arms.size() ? arms[i + 1].at : end;
        long owed = arms[i].period > 0 ? long((until - arms[i].at) / std::uint32_t(arms[i].period)) : 0;
        if (trace)
            std::printf("  armed at +%6u ms with %5d ms: %ld tick(s)\n", unsigned(arms[i].at - arms[0].at),
                        arms[i].period, owed);
        ticks += owed;
    }
    return ticks;
}

// The collector's design: ControleTimer 30000 (off), PakketController 2000 (off),
// ConnectTimer 15000 (on); start-up activates the list, sets ControleTimer's interval from
// the configuration (HTTPTimer 60000) and switches the first two on. Each handler switches
// its own event off on entry; the first two switch it on again at the end, ConnectTimer
// stays off (there is no connection to watch).
void SetUpCollectorEvents(timers::TJvTimerList& list, Counts& counts) {
    counts.list = &list;
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
        ++counts.controle;  // the socket is closed and there is no server: nothing more
        controle.SetEnabled(true);
        counts.Rearmed();
    });
    pakket.SetOnTimer([&pakket, &counts](void*) {
        pakket.SetEnabled(false);
        ++counts.pakket;  // the receive buffer is empty
        pakket.SetEnabled(true);
        counts.Rearmed();
    });
    connect.SetOnTimer([&connect, &counts](void*) {
        connect.SetEnabled(false);
        ++counts.connect;
    });
}

void Start(timers::TJvTimerList& list, Counts& counts) {
    list.SetActive(true);
    counts.Rearmed();
    list.Events()[0].SetInterval(60000);
    counts.Rearmed();
    list.Events()[0].SetEnabled(true);
    counts.Rearmed();
    list.Events()[1].SetEnabled(true);
    counts.Rearmed();
}

// Dispatches one message; a tick in which ConnectTimer disabled itself re-arms the list.
void Dispatch(const platform::Message& m, Counts& counts) {
    int connectBefore = counts.connect;
    platform::DispatchMessage(m);
    if (counts.connect != connectBefore) counts.Rearmed();
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
        Start(list, counts);
        platform::Message m;
        // Ticks in [start, start + seconds): the measured loop ends just before its last one.
        for (std::uint64_t end = now + std::uint64_t(seconds) * 1000; now + 1 < end;) {
            ++now;
            while (platform::PeekMessage(m, true)) {
                if (m.message == platform::kWmTimer) ++ticks;
                Dispatch(m, counts);
            }
        }
    }
    platform::SetTestClock({});
    return ticks;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--trace") == 0)
            trace = true;
        else
            seconds = 0;
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: timer_idle_bench [--seconds N] [--trace]\n");
        return 2;
    }

    platform::EnsureMessageQueue();
    platform::ThreadId loopThread = platform::CurrentThreadId();
    Counts real;
    long realTicks = 0;
    std::uint64_t wakeupsBefore, wakeupsAfter;
    double cpuBefore, cpuAfter;
    std::uint32_t endTick;
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
        Start(list, real);
        platform::Message m;
        while (platform::GetMessage(m)) {
            if (m.message == platform::kWmTimer) ++realTicks;
            Dispatch(m, real);
        }
        endTick = platform::GetTickCount();
        wakeupsAfter = platform::posix::LoopWakeups();
        cpuAfter = platform::ProcessCpuTimeMs();
        stopper.join();
    }

    long predictedTicks = PredictFromArms(real.arms, endTick, trace);
    Counts ideal;
    long idealTicks = PredictTicks(seconds, ideal);
    std::uint64_t wakeups = wakeupsAfter - wakeupsBefore;
    double cpu = cpuAfter - cpuBefore;

    std::printf("timer list idle, %d s real time (ControleTimer 60000, PakketController 2000, ConnectTimer 15000)\n",
                seconds);
    std::printf("%-34s %10s\n", "figure", "value");
    std::printf("%-34s %10llu\n", "loop wake-ups (incl. 1 for the stop)", static_cast<unsigned long long>(wakeups));
    std::printf("%-34s %10ld\n", "ticks dispatched", realTicks);
    std::printf("%-34s %10ld\n", "ticks predicted from the re-arms", predictedTicks);
    std::printf("%-34s %10ld\n", "ticks, handlers taking no time", idealTicks);
    std::printf("%-34s %6d / %d\n", "ControleTimer firings real/ideal", real.controle, ideal.controle);
    std::printf("%-34s %6d / %d\n", "PakketController real/ideal", real.pakket, ideal.pakket);
    std::printf("%-34s %6d / %d\n", "ConnectTimer firings real/ideal", real.connect, ideal.connect);
    std::printf("%-34s %10.2f\n", "CPU ms", cpu);
    std::printf("%-34s %10.2f\n", "CPU ms per idle minute", cpu * 60.0 / seconds);
    std::printf("%-34s %10llu\n", "resident KiB", static_cast<unsigned long long>(platform::ResidentMemoryKiB()));
    return 0;
}
