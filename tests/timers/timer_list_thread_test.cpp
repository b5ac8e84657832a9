// The timer list used from several threads: setters from a thread other than the
// activating one, and a list whose activating thread has ended.
#include <atomic>
#include <thread>

#include "support/timer_support.h"

namespace {

using namespace timers;
using timers_test::TimerListTest;

TEST_F(TimerListTest, EnablingFromAnotherThreadReachesTheActivatingThreadsTick) {
    TJvTimerList list;
    AddEvent(list, u"slow", 60000, true);
    TJvTimerEvent& watchdog = AddEvent(list, u"watchdog", 2000, false);
    std::atomic<platform::ThreadId> firedOn{0};
    list.SetOnTimers([&](void*, std::int32_t) { firedOn = platform::CurrentThreadId(); });
    list.SetActive(true);
    EXPECT_EQ(list.Events().TickInterval(), 2000);  // the walk divides every interval
    Advance(1500);

    std::uint32_t enabledAt = Now();
    std::thread([&] { watchdog.SetEnabled(true); }).join();
    Pump();  // the loop takes the re-arm request at once
    // The tick restarts from the enabling, on the activating thread's loop: the
    // watchdog fires 2000 ms after it was enabled, not at the old phase's +4000.
    Tick(list, 2000);
    ASSERT_EQ(firings_.size(), 1u);
    EXPECT_EQ(firings_[0].name, u"watchdog");
    EXPECT_EQ(firings_[0].tick, enabledAt + 2000);
    EXPECT_EQ(firedOn.load(), platform::CurrentThreadId());

    // A foreign interval change re-arms the same way.
    std::thread([&] { watchdog.SetInterval(500); }).join();
    Pump();
    Tick(list, 500);
    EXPECT_EQ(firings_.size(), 2u);
}

TEST_F(TimerListTest, SettersRaceWithTicksWithoutHarm) {
    TJvTimerList list;
    TJvTimerEvent& fast = AddEvent(list, u"fast", 200, true);
    TJvTimerEvent& toggled = AddEvent(list, u"toggled", 300, false);
    platform::ThreadId owner = platform::CurrentThreadId();
    std::atomic<int> foreignFirings{0};
    list.SetOnTimers([&](void*, std::int32_t) {
        if (platform::CurrentThreadId() != owner) ++foreignFirings;
    });
    list.SetActive(true);

    std::atomic<bool> stop{false};
    std::thread other([&] {
        for (int i = 0; !stop && i < 2000; ++i) {
            toggled.SetEnabled(i % 2 == 0);
            toggled.SetInterval(300 + (i % 3) * 100);
            (void)fast.Enabled();
            (void)list.Events().TickInterval();
        }
    });
    RunFreely(list, 30'000);
    stop = true;
    other.join();
    Pump();
    EXPECT_EQ(foreignFirings.load(), 0);
    EXPECT_TRUE(list.Active());
    std::size_t before = firings_.size();
    RunFreely(list, 400);
    EXPECT_GT(firings_.size(), before);  // still ticking after the storm
}

TEST_F(TimerListTest, ListWhoseActivatingThreadEndedIgnoresForeignSetters) {
    TJvTimerList list;
    TJvTimerEvent& e = AddEvent(list, u"e", 1000, true);
    TJvTimerEvent& f = AddEvent(list, u"f", 2000, false);
    std::thread([&] { list.SetActive(true); }).join();  // its loop ends at once
    EXPECT_TRUE(list.Active());
    // The window went with its thread; the re-arm requests find nobody and are dropped.
    f.SetEnabled(true);
    e.SetInterval(3000);
    f.SetEnabled(false);
    f.SetEnabled(true);
    EXPECT_EQ(platform::WindowThread(list.TimerWindow()), 0u);
    Advance(5000);
    EXPECT_TRUE(firings_.empty());
    // Deactivating still reports the end.
    int finished = 0;
    list.SetOnFinish([&](void*) { ++finished; });
    list.SetActive(false);
    EXPECT_EQ(finished, 1);
}

}  // namespace
