// The timer list's arithmetic and firing order, with the clock injected and the loop
// driven by hand.
#include <algorithm>
#include <stdexcept>

#include "runtime/errors.h"
#include "support/errors.h"
#include "support/timer_support.h"

namespace {

using namespace timers;
using testsupport::RaisedText;
using timers_test::TimerListTest;

TEST_F(TimerListTest, CollectorDesignTicksEverySecondAndFiresOnTheFifteenthTick) {
    TJvTimerList list;
    AddCollectorEvents(list);
    EXPECT_EQ(list.Events()[0].Handle(), 1);
    EXPECT_EQ(list.Events()[1].Handle(), 2);
    EXPECT_EQ(list.Events()[2].Handle(), 3);
    EXPECT_FALSE(list.Active());  // adding events never activates

    std::uint32_t start = Now();
    list.SetActive(true);
    EXPECT_NE(list.TimerWindow(), 0u);
    EXPECT_EQ(list.Events().TickInterval(), 1000);
    EXPECT_EQ(list.Events()[2].LastFired(), start);

    Ticks(list, 14, 1000);
    EXPECT_TRUE(firings_.empty()) << "the 14th tick is 1000 ms early: not due";
    Tick(list, 1000);
    ASSERT_EQ(firings_.size(), 1u);
    EXPECT_EQ(firings_[0].name, u"ConnectTimer");
    EXPECT_EQ(firings_[0].tick, start + 15'000);
    Ticks(list, 15, 1000);
    EXPECT_EQ(firings_.size(), 2u);  // cycled: every 15 s
}

TEST_F(TimerListTest, TickComputationTable) {
    struct Case {
        std::vector<std::int32_t> intervals;
        std::vector<bool> enabled;
        std::int32_t elapsedBeforeCompute;  // since every event was stamped
        std::int32_t tick;
    } cases[] = {
        {{30000, 2000, 15000}, {false, false, true}, 0, 1000},
        {{60000, 2000, 15000}, {true, true, true}, 0, 1000},
        {{700, 300}, {true, true}, 0, 100},  // 300 -> 200 -> 100: stops at 100
        {{250}, {true}, 0, 250},
        {{60000}, {true}, 59'850, 150},               // the time left until it is due
        {{60000, 2000}, {true, false}, 59'990, 100},  // never below 100 ms
        {{5000}, {true}, 9'000, 100},                 // overdue
        {{5000}, {false}, 0, 0},                      // nothing enabled
        {{0, -5}, {true, true}, 0, 0},                // intervals of 0 or less do not count
        {{1000, -300}, {true, false}, 0, 1000},       // a negative interval cannot upset the walk
    };
    for (const Case& c : cases) {
        TJvTimerList list;
        for (std::size_t i = 0; i < c.intervals.size(); ++i) {
            TJvTimerEvent& e = list.Events().Add();
            e.SetInterval(c.intervals[i]);
            e.SetEnabled(c.enabled[i]);
        }
        std::uint32_t stamp = Now();
        list.ComputeTickInterval(stamp + std::uint32_t(c.elapsedBeforeCompute));
        EXPECT_EQ(list.Events().TickInterval(), c.tick) << "first interval " << c.intervals[0];
    }
    TJvTimerList empty;
    empty.ComputeTickInterval(Now());
    EXPECT_EQ(empty.Events().TickInterval(), 0);
}

TEST_F(TimerListTest, DueEventsFireFromTheHighestIndexWithOneNow) {
    TJvTimerList list;
    std::vector<std::int32_t> order;
    list.SetOnTimers([&](void* sender, std::int32_t handle) {
        EXPECT_EQ(sender, &list);
        order.push_back(handle);
        now_ += 7;  // a handler takes time; the pass still uses one reading
    });
    TJvTimerEvent& a = AddEvent(list, u"a", 1000, true);
    TJvTimerEvent& b = AddEvent(list, u"b", 2000, true);
    TJvTimerEvent& c = AddEvent(list, u"c", 1000, true);
    list.SetActive(true);
    Tick(list, 1000);
    // The handlers' 14 ms moved the clock on; the tick keeps its phase (+2000), taken by
    // the first step at or after it.
    Tick(list, 990);
    EXPECT_EQ(order, (std::vector<std::int32_t>{3, 1, 3, 2, 1}));
    EXPECT_EQ(a.LastFired(), b.LastFired());
    EXPECT_EQ(b.LastFired(), c.LastFired());
    // OnTimer comes before OnTimers for each event.
    ASSERT_EQ(firings_.size(), 5u);
    EXPECT_EQ(firings_[2].name, u"c");
    EXPECT_EQ(firings_[3].name, u"b");
}

TEST_F(TimerListTest, HandlerDeletingAnEventBelowItFiresEveryOtherEventOnce) {
    // All three are due at every tick (50 ms fire up to 50 ms early); c deletes a, which
    // moves b and c down one index while the pass goes on.
    TJvTimerList list;
    TJvTimerEvent& a = AddEvent(list, u"a", 50, true);
    AddEvent(list, u"b", 50, true);
    TJvTimerEvent& c = AddEvent(list, u"c", 50, true);
    c.SetOnTimer([&](void*) {
        firings_.push_back(timers_test::Firing{u"c", Now()});
        if (list.Events().Count() == 3) list.Events().DeleteByHandle(a.Handle());
    });
    list.SetActive(true);
    Tick(list, 100);
    std::u16string order;
    for (const auto& f : firings_) order += f.name;
    EXPECT_EQ(order, u"cb");
}

TEST_F(TimerListTest, HandlerThatSwitchesItselfOffAndOnRestartsItsPeriod) {
    TJvTimerList list;
    TJvTimerEvent& e = list.Events().Add();
    e.SetInterval(1000);
    std::vector<std::uint32_t> fired;
    e.SetOnTimer([&](void*) {
        fired.push_back(platform::GetTickCount());
        e.SetEnabled(false);
        now_ += 300;  // the handler's work
        e.SetEnabled(true);
    });
    std::uint32_t start = Now();
    list.SetActive(true);
    Tick(list, 1000);
    Tick(list, 1000);  // re-armed when it was enabled again at +1300
    Advance(990);
    // Fired at +1000, ended at +1300; next due 1000 ms after that end, not at +2000.
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], start + 1000);
    EXPECT_EQ(fired[1], start + 2300);
    EXPECT_EQ(e.FireCount(), 0);  // enabling resets the count
}

TEST_F(TimerListTest, SettersWithTheirNoOpCases) {
    TJvTimerList list;
    TJvTimerEvent& e = AddEvent(list, u"e", 1000, true);
    AddEvent(list, u"slow", 60000, true);
    std::uint32_t start = Now();
    list.SetActive(true);
    Advance(600);

    // Assigning current values re-arms nothing: the tick keeps its phase.
    e.SetInterval(1000);
    e.SetEnabled(true);
    Tick(list, 400);
    ASSERT_EQ(firings_.size(), 1u);
    EXPECT_EQ(firings_[0].tick, start + 1000);

    // A longer interval keeps LastFired: due 3000 after the last firing.
    e.SetInterval(3000);
    EXPECT_EQ(e.LastFired(), start + 1000);
    EXPECT_EQ(list.Events().TickInterval(), 3000);  // 3000 left, and it divides 60000
    Advance(2900);
    EXPECT_EQ(firings_.size(), 1u);
    Tick(list, 100);
    ASSERT_EQ(firings_.size(), 2u);
    EXPECT_EQ(firings_[1].tick, start + 4000);

    // A shorter interval that has already elapsed fires at the next tick: the overdue
    // event makes the tick the shortest, 100 ms.
    Advance(1500);
    e.SetInterval(1200);
    EXPECT_EQ(list.Events().TickInterval(), 100);
    Tick(list, 100);
    ASSERT_EQ(firings_.size(), 3u);
    EXPECT_EQ(firings_[2].tick, start + 5600);
    Ticks(list, 9, 100);
    EXPECT_EQ(firings_.size(), 3u);

    // Disabling only clears the flag; no recomputation.
    std::int32_t tick = list.Events().TickInterval();
    e.SetEnabled(false);
    EXPECT_EQ(list.Events().TickInterval(), tick);
    EXPECT_TRUE(list.Active());

    // RepeatCount: at least 1 when not cycled, at least 0 when cycled; a count not above
    // FireCount disables.
    e.SetCycled(false);
    e.SetRepeatCount(-4);
    EXPECT_EQ(e.RepeatCount(), 1);
    e.SetCycled(true);
    e.SetRepeatCount(-4);
    EXPECT_EQ(e.RepeatCount(), 0);
    e.SetEnabled(true);
    EXPECT_EQ(list.Events().TickInterval(), 1200);
    Tick(list, 1200);
    EXPECT_EQ(e.FireCount(), 1);
    e.SetRepeatCount(1);
    EXPECT_FALSE(e.Enabled());
}

TEST_F(TimerListTest, RepeatCountEndsTheListWithOnFinish) {
    TJvTimerList list;
    int finished = 0;
    list.SetOnFinish([&](void* sender) {
        EXPECT_EQ(sender, &list);
        ++finished;
    });
    TJvTimerEvent& e = AddEvent(list, u"thrice", 500, false);
    e.SetCycled(false);
    e.SetRepeatCount(3);
    e.SetEnabled(true);  // enabling an event of an inactive list activates it here
    EXPECT_TRUE(list.Active());
    EXPECT_EQ(platform::WindowThread(list.TimerWindow()), platform::CurrentThreadId());
    Ticks(list, 3, 500);
    EXPECT_EQ(firings_.size(), 3u);
    EXPECT_FALSE(e.Enabled());
    EXPECT_FALSE(list.Active());
    EXPECT_EQ(list.TimerWindow(), 0u);
    EXPECT_EQ(finished, 1);
    Advance(3500);  // the tick went with the window
    EXPECT_EQ(firings_.size(), 3u);
}

TEST_F(TimerListTest, EventsWithoutIntervalAndListsWithoutEnabledEvents) {
    TJvTimerList list;
    TJvTimerEvent& zero = AddEvent(list, u"zero", 0, true);
    list.SetActive(true);
    EXPECT_TRUE(list.Active());
    EXPECT_EQ(list.Events().TickInterval(), 0);  // active without a running tick
    platform::WindowHandle window = list.TimerWindow();
    Advance(3000);
    EXPECT_TRUE(firings_.empty());

    // Another event starts the tick on the same window; the zero event fires every tick.
    TJvTimerEvent& other = AddEvent(list, u"other", 400, false);
    other.SetEnabled(true);
    EXPECT_EQ(list.TimerWindow(), window);
    Ticks(list, 3, 400);
    int zeroCount = 0;
    for (const auto& f : firings_) zeroCount += f.name == u"zero";
    EXPECT_EQ(zeroCount, 3);
    EXPECT_TRUE(zero.Enabled());

    // An active list whose events are all disabled keeps its window until a re-arm.
    TJvTimerList idle;
    AddEvent(idle, u"off", 1000, false);
    idle.SetActive(true);
    EXPECT_TRUE(idle.Active());
    EXPECT_NE(idle.TimerWindow(), 0u);
}

TEST_F(TimerListTest, TickCountWrappingPastTwoToTheThirtyTwo) {
    now_ = (std::uint64_t(1) << 32) - 700;
    TJvTimerList list;
    AddEvent(list, u"w", 1000, true);
    std::uint32_t start = Now();
    list.SetActive(true);
    Ticks(list, 3, 1000);
    ASSERT_EQ(firings_.size(), 3u);
    EXPECT_EQ(firings_[0].tick, start + 1000u);  // 300 after the wrap
    EXPECT_LT(firings_[0].tick, start);
    EXPECT_EQ(firings_[2].tick, start + 3000u);
    EXPECT_EQ(list.Events()[0].LastFired(), start + 3000u);  // the 32-bit value wraps

    // A 32-bit start on the other side of the wrap from the event's stamp.
    TJvTimerList far;
    TJvTimerEvent& slow = AddEvent(far, u"slow", 60000, true);
    now_ = (std::uint64_t(1) << 32) - 100;
    slow.SetEnabled(false);
    slow.SetEnabled(true);  // stamped 100 ms before the wrap
    far.ComputeTickInterval(Now() + 59'850u);
    EXPECT_EQ(far.Events().TickInterval(), 150);
}

TEST_F(TimerListTest, MissedTicksFireADueEventOnce) {
    TJvTimerList list;
    AddEvent(list, u"m", 1000, true);
    list.SetActive(true);
    std::uint32_t start = Now();
    Tick(list, 5500, 5500);  // the thread was busy for five periods: they come as one tick
    EXPECT_EQ(firings_.size(), 1u);
    // The tick keeps its phase (+6000, +7000); the event is due 1000 after +5500.
    Tick(list, 500);
    EXPECT_EQ(firings_.size(), 1u);
    Tick(list, 1000);
    ASSERT_EQ(firings_.size(), 2u);
    EXPECT_EQ(firings_[1].tick, start + 7000);
}

TEST_F(TimerListTest, HandlerErrorsGoToTheApplicationAndSkipTheRestOfTheTick) {
    std::vector<std::string> errors;
    void* errorSender = nullptr;
    timers::SetApplicationErrorHandler([&](void* sender, const std::exception& e) {
        errorSender = sender;
        errors.push_back(e.what());
    });
    TJvTimerList list;
    AddEvent(list, u"low", 1000, true);
    TJvTimerEvent& bad = list.Events().Add();
    bad.SetInterval(1000);
    bool thrown = false;
    bad.SetOnTimer([&](void*) {
        if (!thrown) {
            thrown = true;
            throw runtime::Exception(u"kapot");
        }
    });
    list.SetActive(true);
    Tick(list, 1000);
    EXPECT_EQ(errors, (std::vector<std::string>{"kapot"}));
    EXPECT_EQ(errorSender, &list);
    EXPECT_TRUE(firings_.empty());  // "low" was not examined in that tick
    Advance(990);
    EXPECT_TRUE(firings_.empty());
    Tick(list, 10);  // it fires at the next tick
    EXPECT_EQ(firings_.size(), 1u);
    EXPECT_TRUE(list.Active());
}

TEST_F(TimerListTest, RefusedTimerDeactivatesAndRaises) {
    TJvTimerList list;
    int finished = 0;
    list.SetOnFinish([&](void*) { ++finished; });
    TJvTimerEvent& e = AddEvent(list, u"e", 1000, true);
    list.SetActive(true);
    // The window vanishes behind the list's back: the next re-arm cannot get a timer.
    platform::DestroyWindow(list.TimerWindow());
    EXPECT_EQ(RaisedText<runtime::EOutOfResources>([&] { e.SetInterval(2000); }), u"Not enough timers available");
    EXPECT_FALSE(list.Active());
    EXPECT_EQ(finished, 1);
}

// A list whose platform timer can be refused on request; it notes every window it was
// asked to arm, so that a test can check that none is left behind.
class RefusingList : public TJvTimerList {
public:
    int refusals = 0;  // the next this many requests are refused
    std::vector<platform::WindowHandle> armed;

protected:
    bool SetPlatformTimer(platform::WindowHandle window, std::uint32_t periodMs) override {
        armed.push_back(window);
        if (refusals > 0) {
            --refusals;
            return false;
        }
        return TJvTimerList::SetPlatformTimer(window, periodMs);
    }
};

TEST_F(TimerListTest, RefusedTimerLeavesNoWindowAndNoTick) {
    enum class Op { EnableOnActiveList, EnableOnInactiveList, Activate, IntervalOnActiveList };
    struct Case {
        const char* name;
        Op op;
        int finishedCalls;  // OnFinish only for a list that was active
    } cases[] = {
        {"enabling an event of an active list", Op::EnableOnActiveList, 1},
        {"enabling an event of an inactive list", Op::EnableOnInactiveList, 0},
        {"activating the list", Op::Activate, 0},
        {"changing an interval", Op::IntervalOnActiveList, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        firings_.clear();
        RefusingList list;
        int finished = 0;
        list.SetOnFinish([&](void*) { ++finished; });
        AddEvent(list, u"a", 500, true);
        TJvTimerEvent& b = AddEvent(list, u"b", 1000, false);
        if (c.op == Op::EnableOnActiveList || c.op == Op::IntervalOnActiveList) list.SetActive(true);
        if (c.op == Op::EnableOnInactiveList) list.Events()[0].SetEnabled(false);

        // Refused once only: an operation that retried would get a timer the second time.
        list.refusals = 1;
        const auto refused = [&] {
            switch (c.op) {
            case Op::EnableOnActiveList:
            case Op::EnableOnInactiveList: b.SetEnabled(true); break;
            case Op::Activate: list.SetActive(true); break;
            case Op::IntervalOnActiveList: b.SetInterval(2000); break;
            }
        };
        EXPECT_EQ(RaisedText<runtime::EOutOfResources>(refused), u"Not enough timers available");
        EXPECT_FALSE(list.Active());
        EXPECT_EQ(list.TimerWindow(), 0u);
        EXPECT_EQ(finished, c.finishedCalls);
        ASSERT_FALSE(list.armed.empty());
        for (platform::WindowHandle w : list.armed) EXPECT_EQ(platform::WindowThread(w), 0u) << "window left";
        Advance(3000);  // no tick from a forgotten window
        EXPECT_TRUE(firings_.empty());

        // The next activation ticks once per period, on one window.
        list.Events()[0].SetEnabled(true);
        list.SetActive(true);
        EXPECT_TRUE(list.Active());
        for (platform::WindowHandle w : list.armed) {
            if (w == list.TimerWindow()) continue;
            EXPECT_EQ(platform::WindowThread(w), 0u) << "second window";
        }
        Ticks(list, 2, 500);
        EXPECT_EQ(std::count_if(firings_.begin(), firings_.end(), [](const auto& f) { return f.name == u"a"; }), 2);
    }
}

TEST_F(TimerListTest, HandlerErrorStillGetsTheTicksBookkeeping) {
    std::vector<std::string> errors;
    timers::SetApplicationErrorHandler([&](void* sender, const std::exception& e) {
        EXPECT_NE(sender, nullptr);
        errors.push_back(e.what());
    });
    auto addOnceFailing = [&](TJvTimerList& list, std::int32_t interval, std::uint64_t work) -> TJvTimerEvent& {
        TJvTimerEvent& e = list.Events().Add();
        e.SetInterval(interval);
        e.SetCycled(false);
        e.SetRepeatCount(1);
        e.SetOnTimer([this, work](void*) {
            now_ += work;
            throw runtime::Exception(u"kapot");
        });
        return e;
    };

    // The last enabled event disabled itself: the list ends although its handler raised.
    {
        TJvTimerList list;
        int finished = 0;
        list.SetOnFinish([&](void*) { ++finished; });
        TJvTimerEvent& once = addOnceFailing(list, 500, 0);
        list.SetActive(true);
        Tick(list, 500);
        EXPECT_EQ(errors, (std::vector<std::string>{"kapot"}));
        EXPECT_FALSE(once.Enabled());
        EXPECT_FALSE(list.Active());
        EXPECT_EQ(list.TimerWindow(), 0u);
        EXPECT_EQ(finished, 1);
        Advance(3000);  // and it stops ticking
    }

    // Another event stays enabled: the tick is recomputed from the end of the handler.
    // The handler ends at +800, when "keep" has 200 ms left; the walk then settles on
    // 100 ms, against the 500 ms the failing event's interval gave before.
    errors.clear();
    {
        TJvTimerList list;
        AddEvent(list, u"keep", 1000, true);
        addOnceFailing(list, 500, 300);
        std::uint32_t start = Now();
        list.SetActive(true);
        EXPECT_EQ(list.Events().TickInterval(), 500);
        Tick(list, 500);
        EXPECT_EQ(errors.size(), 1u);
        EXPECT_TRUE(list.Active());
        EXPECT_EQ(list.Events().TickInterval(), 100);
        Tick(list, 100);  // re-armed at +800
        EXPECT_TRUE(firings_.empty());
        Tick(list, 100);
        ASSERT_EQ(firings_.size(), 1u);
        EXPECT_EQ(firings_[0].tick, start + 1000);
    }
}

TEST_F(TimerListTest, EventsOverdueByMoreThanTwoToTheThirtyOneMilliseconds) {
    // Gaps without any tick (a thread suspended for weeks), each a whole number of
    // periods so that the tick keeps its phase. Read as a 32-bit difference each of them
    // looks like a moment in the future or like less than one period.
    const std::uint64_t gaps[] = {
        2'147'484'000,  // 2^31 + 352: negative as a signed 32-bit value
        4'294'967'000,  // 2^32 - 296
        4'294'968'000,  // 2^32 + 704
        6'442'451'000,  // 3 * 2^31 + 56
    };
    for (std::uint64_t gap : gaps) {
        SCOPED_TRACE(gap);
        firings_.clear();
        now_ = 1'000'000;
        TJvTimerList list;
        TJvTimerEvent& e = AddEvent(list, u"e", 1000, true);
        list.SetActive(true);

        // The missed ticks arrive as one, and the overdue event fires at it.
        Tick(list, gap, gap);
        ASSERT_EQ(firings_.size(), 1u);
        EXPECT_EQ(firings_[0].tick, Now());
        EXPECT_EQ(e.LastFired(), Now());
        Tick(list, 1000);
        EXPECT_EQ(firings_.size(), 2u);

        // The tick computed after such a gap treats the event as overdue as well.
        now_ += gap;
        e.SetInterval(2000);
        EXPECT_EQ(list.Events().TickInterval(), 100);
        Tick(list, 100);
        EXPECT_EQ(firings_.size(), 3u);
    }
}

TEST_F(TimerListTest, CollectionOperations) {
    EXPECT_THROW(
        {
            TComponent notAList;
            TJvTimerEvents events(&notAList);
        },
        runtime::Exception);
    EXPECT_EQ(RaisedText([] { TJvTimerEvents events(nullptr); }), u"Owner of TJvTimerEvents must be a TJvTimerList");

    TJvTimerList list;
    AddCollectorEvents(list);
    int fired = 0;
    std::int32_t handle = list.Add([&](void*) { ++fired; }, 500, false);
    EXPECT_EQ(handle, 4);
    EXPECT_EQ(list.Events()[3].Interval(), 500);
    EXPECT_FALSE(list.Events()[3].Cycled());
    EXPECT_EQ(list.Events()[3].DisplayName(), u"TJvTimerEvent");
    EXPECT_EQ(list.Events()[2].DisplayName(), u"ConnectTimer");

    list.SetSorted(true);  // 30000, 2000, 15000, 500 -> 500, 2000, 15000, 30000
    EXPECT_EQ(list.Events()[0].Handle(), 4);
    EXPECT_EQ(list.Events()[1].Handle(), 2);
    EXPECT_EQ(list.Events()[2].Handle(), 3);
    EXPECT_EQ(list.Events()[3].Handle(), 1);

    list.Events().DeleteByHandle(2);
    list.Events().DeleteByHandle(99);  // unknown: nothing
    EXPECT_EQ(list.Events().Count(), 3);
    EXPECT_EQ(list.Events()[1].Handle(), 3);

    // Assignment between collections: copies settings, new handles, no handlers.
    TJvTimerList copy;
    copy.Events().Assign(list.Events());
    ASSERT_EQ(copy.Events().Count(), 3);
    EXPECT_EQ(copy.Events()[1].Name(), u"ConnectTimer");
    EXPECT_EQ(copy.Events()[1].Interval(), 15000);
    EXPECT_TRUE(copy.Events()[1].Enabled());
    EXPECT_FALSE(copy.Events()[2].Enabled());
    EXPECT_EQ(copy.Events()[0].Handle(), 1);
    EXPECT_FALSE(copy.Events()[0].OnTimer());
    copy.Events().Assign(list.Events());
    EXPECT_EQ(copy.Events()[0].Handle(), 4);  // handles keep counting

    // Assignment between events goes through the setters.
    TJvTimerEvent& target = copy.Events()[2];
    target.Assign(list.Events()[0]);
    EXPECT_EQ(target.Interval(), 500);
    EXPECT_FALSE(target.Cycled());
    EXPECT_EQ(target.RepeatCount(), 0);  // copied as it stands: never set from code
    EXPECT_TRUE(copy.Active());          // enabling through Assign activated that list
}

TEST_F(TimerListTest, DestructionCallsNoOnFinish) {
    int finished = 0;
    platform::WindowHandle window;
    {
        TJvTimerList list;
        list.SetOnFinish([&](void*) { ++finished; });
        AddEvent(list, u"e", 1000, true);
        list.SetActive(true);
        window = list.TimerWindow();
    }
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(platform::WindowThread(window), 0u);  // the window went with the list
    Advance(2000);
    EXPECT_TRUE(firings_.empty());
}

}  // namespace
