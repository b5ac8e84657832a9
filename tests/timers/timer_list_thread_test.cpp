// The timer list used from several threads: setters from a thread other than the
// activating one, deactivation and destruction there, and a list whose activating thread
// has ended.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "support/signal.h"
#include "support/timer_support.h"

namespace {

using namespace timers;
using testsupport::Signal;
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
    // A full queue still takes the re-arm request (it is one the queue keeps room for).
    for (std::size_t i = 0; i < platform::kMaxPostedMessages; ++i)
        if (!platform::PostThreadMessage(platform::CurrentThreadId(), platform::kWmUser, 0, 0)) break;
    std::thread([&] { watchdog.SetEnabled(true); }).join();
    Pump();  // the loop takes the re-arm request behind them, at once
    // The tick restarts from the enabling, on the activating thread's loop: the
    // watchdog fires 2000 ms after it was enabled, not at the old phase's +4000.
    Tick(list, 2000);
    EXPECT_EQ(firedOn.load(), platform::CurrentThreadId());

    // A foreign interval change re-arms the same way.
    std::thread([&] { watchdog.SetInterval(500); }).join();
    Pump();
    Tick(list, 500);
    EXPECT_EQ(Fired(enabledAt), "watchdog@2000 watchdog@2500");
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
    CountFinishes(list);
    list.SetActive(false);
    EXPECT_EQ(finished_, 1);
}

TEST_F(TimerListTest, DeactivatingOnAnotherThreadStopsTheTicksAndTheOwnerDestroysTheWindow) {
    // Only the activating thread may kill the tick and destroy the window; the list stops
    // at once all the same, and that thread destroys the window at its next message (a
    // tick or the request), unless the list is activated there again first: then it takes
    // the window back. Destroying the list there destroys the window at once.
    enum class Then { LoopRuns, ActivatedAgain, Destroyed };
    struct Row {
        const char* name;
        Then then;
    };
    for (const Row& row :
         {Row{"the owner's loop runs first", Then::LoopRuns}, Row{"activated again at once", Then::ActivatedAgain},
          Row{"destroyed on its own thread at once", Then::Destroyed}}) {
        SCOPED_TRACE(row.name);
        firings_.clear();
        auto list = std::make_unique<TJvTimerList>();
        AddEvent(*list, u"e", 1000, true);
        std::atomic<platform::ThreadId> finishedOn{0};
        list->SetOnFinish([&](void*) { finishedOn = platform::CurrentThreadId(); });
        list->SetActive(true);
        Tick(*list, 1000);
        ASSERT_EQ(firings_.size(), 1u);
        const platform::WindowHandle first = list->TimerWindow();

        platform::ThreadId other = 0;
        std::thread([&] {
            other = platform::CurrentThreadId();
            list->SetActive(false);
        }).join();
        EXPECT_FALSE(list->Active());
        EXPECT_EQ(list->TimerWindow(), 0u);
        EXPECT_EQ(finishedOn.load(), other);  // OnFinish on the deactivating thread
        EXPECT_EQ(platform::WindowThread(first), platform::CurrentThreadId());

        switch (row.then) {
        case Then::ActivatedAgain:
            list->SetActive(true);
            EXPECT_EQ(list->TimerWindow(), first) << "a second window";
            Pump();  // the request to destroy it finds the list back
            EXPECT_EQ(platform::WindowThread(first), platform::CurrentThreadId());
            break;
        case Then::Destroyed:
            list.reset();
            EXPECT_EQ(platform::WindowThread(first), 0u) << "the window outlived the list";
            Pump();
            Advance(3000);
            break;
        case Then::LoopRuns:
            // A tick that comes first reaches no handler, and the window goes with it.
            platform::DispatchMessage(platform::Message{first, platform::kWmTimer, 1, 0});
            EXPECT_EQ(platform::WindowThread(first), 0u) << "the old window outlived the deactivation";
            Pump();
            Advance(3000);
            list->SetActive(true);
            EXPECT_NE(list->TimerWindow(), 0u);
            break;
        }
        if (list) Tick(*list, 1000);  // a list activated again ticks again
        EXPECT_EQ(firings_.size(), list ? 2u : 1u);
    }
}

TEST_F(TimerListTest, DestroyingOnAnotherThreadWaitsForTheRunningTickAndTheOwnerDestroysTheWindow) {
    auto list = std::make_unique<TJvTimerList>();
    AddEvent(*list, u"first", 1000, true);
    AddEvent(*list, u"second", 1000, true);  // fires first: the higher index
    Signal inHandler;
    std::atomic<bool> destroyed{false};
    bool destroyedWhileRunning = false;
    list->Events()[1].SetOnTimer([&](void*) {
        firings_.push_back(timers_test::Firing{u"second", platform::GetTickCount()});
        inHandler.Set();
        // Bounded: lets a destruction that does not wait show.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        destroyedWhileRunning = destroyed.load();
    });
    list->SetActive(true);
    const platform::WindowHandle window = list->TimerWindow();
    std::thread destroyer([&] {
        inHandler.Wait();
        list.reset();
        destroyed = true;
    });
    Tick(*list, 1000);  // the list is destroyed while its tick runs
    destroyer.join();
    EXPECT_FALSE(destroyedWhileRunning);
    // The rest of the tick did not reach the list that was going away.
    ASSERT_EQ(firings_.size(), 1u);
    EXPECT_EQ(firings_[0].name, u"second");
    Pump();
    EXPECT_EQ(platform::WindowThread(window), 0u) << "the window outlived the list";
    Advance(3000);
}

TEST_F(TimerListTest, AListDestroyedOnAnotherThreadLetsItsWindowGoAtTheLatestWithItsThread) {
    const int before = TJvTimerList::LiveTimerWindows();
    auto list = std::make_unique<TJvTimerList>();
    AddEvent(*list, u"e", 1000, true);
    Signal active, destroyed;
    std::thread owner([&] {
        list->SetActive(true);
        active.Set();
        destroyed.Wait();  // ends without running its loop again
    });
    active.Wait();
    list.reset();
    destroyed.Set();
    owner.join();
    EXPECT_EQ(TJvTimerList::LiveTimerWindows(), before);
}

}  // namespace
