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
using Handles = std::vector<std::int32_t>;

Handles HandlesOf(const TJvTimerList& list) {
    Handles handles;
    for (int i = 0; i < list.Events().Count(); ++i) handles.push_back(list.Events()[i].Handle());
    return handles;
}

TEST_F(TimerListTest, CollectorDesignTicksEverySecondAndFiresOnTheFifteenthTick) {
    TJvTimerList list;
    AddCollectorEvents(list);
    EXPECT_EQ(HandlesOf(list), (Handles{1, 2, 3}));
    EXPECT_THROW(list.Events().Delete(3), std::out_of_range);
    EXPECT_FALSE(list.Active());  // adding events never activates

    std::uint32_t start = Now();
    list.SetActive(true);
    EXPECT_NE(list.TimerWindow(), 0u);
    EXPECT_EQ(list.Events().TickInterval(), 1000);
    EXPECT_EQ(list.Events()[2].LastFired(), start);

    Ticks(list, 30, 1000);  // due at the 15th tick, not the 14th; cycled: every 15 s
    EXPECT_EQ(Fired(start), "ConnectTimer@15000 ConnectTimer@30000");
}

TEST_F(TimerListTest, TickComputationTable) {
    struct Case {
        std::vector<std::int32_t> intervals;
        std::vector<bool> enabled;
        std::int32_t elapsedBeforeCompute;  // since every event was stamped
        std::int32_t tick;
        std::uint64_t now = 1'000'000;
    } cases[] = {
        {{30000, 2000, 15000}, {false, false, true}, 0, 1000},
        {{60000, 2000, 15000}, {true, true, true}, 0, 1000},
        {{700, 300}, {true, true}, 0, 100},  // 300 -> 200 -> 100: stops at 100
        {{250}, {true}, 0, 250},
        {{60000}, {true}, 59'850, 150},                                  // the time left until it is due
        {{60000}, {true}, 59'850, 150, (std::uint64_t(1) << 32) - 100},  // stamped before the wrap
        {{60000, 2000}, {true, false}, 59'990, 100},                     // never below 100 ms
        {{5000}, {true}, 9'000, 100},                                    // overdue
        {{5000}, {false}, 0, 0},                                         // nothing enabled
        {{}, {}, 0, 0},                                                  // no events
        {{0, -5}, {true, true}, 0, 0},                                   // intervals of 0 or less do not count
        {{1000, -300}, {true, false}, 0, 1000},                          // a negative interval cannot upset the walk
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.intervals) + " at " + std::to_string(c.now));
        now_ = c.now;
        TJvTimerList list;
        for (std::size_t i = 0; i < c.intervals.size(); ++i) {
            TJvTimerEvent& e = list.Events().Add();
            e.SetInterval(c.intervals[i]);
            e.SetEnabled(c.enabled[i]);
        }
        list.ComputeTickInterval(Now() + std::uint32_t(c.elapsedBeforeCompute));
        EXPECT_EQ(list.Events().TickInterval(), c.tick);
    }
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
    EXPECT_EQ(Names(), "cacba");  // each event's OnTimer as well
    EXPECT_EQ(a.LastFired(), b.LastFired());
    EXPECT_EQ(b.LastFired(), c.LastFired());
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
    EXPECT_EQ(Names(), "cb");
}

TEST_F(TimerListTest, HandlerThatSwitchesItselfOffAndOnRestartsItsPeriod) {
    TJvTimerList list;
    TJvTimerEvent& e = AddEvent(list, u"e", 1000, true);
    e.SetOnTimer([&](void*) {
        firings_.push_back(timers_test::Firing{u"e", Now()});
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
    EXPECT_EQ(Fired(start), "e@1000 e@2300");
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

    // A longer interval keeps LastFired: due 3000 after the last firing.
    e.SetInterval(3000);
    EXPECT_EQ(e.LastFired(), start + 1000);
    EXPECT_EQ(list.Events().TickInterval(), 3000);  // 3000 left, and it divides 60000
    Advance(2900);
    Tick(list, 100);

    // A shorter interval that has already elapsed fires at the next tick: the overdue
    // event makes the tick the shortest, 100 ms.
    Advance(1500);
    e.SetInterval(1200);
    EXPECT_EQ(list.Events().TickInterval(), 100);
    Ticks(list, 10, 100);
    EXPECT_EQ(Fired(start), "e@1000 e@4000 e@5600");

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

TEST_F(TimerListTest, RepeatCountEndsTheListWithOnFinishButDestructionDoesNot) {
    TJvTimerList list;
    CountFinishes(list);
    TJvTimerEvent& e = AddEvent(list, u"thrice", 500, false);
    e.SetCycled(false);
    e.SetRepeatCount(3);
    std::uint32_t start = Now();
    e.SetEnabled(true);  // enabling an event of an inactive list activates it here
    EXPECT_TRUE(list.Active());
    EXPECT_EQ(platform::WindowThread(list.TimerWindow()), platform::CurrentThreadId());
    Ticks(list, 3, 500);
    EXPECT_FALSE(e.Enabled());
    EXPECT_FALSE(list.Active());
    EXPECT_EQ(list.TimerWindow(), 0u);
    EXPECT_EQ(finished_, 1);
    Advance(3500);  // the tick went with the window
    EXPECT_EQ(Fired(start), "thrice@500 thrice@1000 thrice@1500");

    // Destroying an active list calls no OnFinish, and its window goes with it.
    platform::WindowHandle window;
    {
        TJvTimerList other;
        CountFinishes(other);
        AddEvent(other, u"e", 1000, true);
        other.SetActive(true);
        window = other.TimerWindow();
    }
    EXPECT_EQ(finished_, 1);
    EXPECT_EQ(platform::WindowThread(window), 0u);
    Advance(2000);
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
    std::uint32_t start = Now();
    other.SetEnabled(true);
    EXPECT_EQ(list.TimerWindow(), window);
    Ticks(list, 2, 400);
    EXPECT_EQ(Fired(start), "other@400 zero@400 other@800 zero@800");
    EXPECT_TRUE(zero.Enabled());
    // Deleting it stops the tick again.
    list.Events().DeleteByHandle(other.Handle());
    EXPECT_EQ(list.Events().TickInterval(), 0);
    Advance(1000);

    // An active list whose events are all disabled keeps its window until a re-arm.
    TJvTimerList idle;
    AddEvent(idle, u"off", 1000, false);
    idle.SetActive(true);
    EXPECT_TRUE(idle.Active());
    EXPECT_NE(idle.TimerWindow(), 0u);
}

TEST_F(TimerListTest, MissedTicksFireADueEventOnce) {
    TJvTimerList list;
    AddEvent(list, u"m", 1000, true);
    list.SetActive(true);
    std::uint32_t start = Now();
    Tick(list, 5500, 5500);  // the thread was busy for five periods: they come as one tick
    // The tick keeps its phase (+6000, +7000); the event is due 1000 after +5500.
    Tick(list, 500);
    Tick(list, 1000);
    EXPECT_EQ(Fired(start), "m@5500 m@7000");
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
    enum class Op { EnableOnActiveList, EnableOnInactiveList, Activate, IntervalOnActiveList, WindowGone };
    struct Case {
        const char* name;
        Op op;
        int finishedCalls;  // OnFinish only for a list that was active
    } cases[] = {
        {"enabling an event of an active list", Op::EnableOnActiveList, 1},
        {"enabling an event of an inactive list", Op::EnableOnInactiveList, 0},
        {"activating the list", Op::Activate, 0},
        {"changing an interval", Op::IntervalOnActiveList, 1},
        {"the platform refuses: the window vanished behind the list's back", Op::WindowGone, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        firings_.clear();
        finished_ = 0;
        RefusingList list;
        CountFinishes(list);
        AddEvent(list, u"a", 500, true);
        TJvTimerEvent& b = AddEvent(list, u"b", 1000, false);
        if (c.op != Op::EnableOnInactiveList && c.op != Op::Activate) list.SetActive(true);
        if (c.op == Op::EnableOnInactiveList) list.Events()[0].SetEnabled(false);

        // Refused once only: an operation that retried would get a timer the second time.
        list.refusals = c.op == Op::WindowGone ? 0 : 1;
        const auto refused = [&] {
            switch (c.op) {
            case Op::EnableOnActiveList:
            case Op::EnableOnInactiveList: b.SetEnabled(true); break;
            case Op::Activate: list.SetActive(true); break;
            case Op::WindowGone: platform::DestroyWindow(list.TimerWindow()); [[fallthrough]];
            case Op::IntervalOnActiveList: b.SetInterval(2000); break;
            }
        };
        EXPECT_EQ(RaisedText<runtime::EOutOfResources>(refused), u"Not enough timers available");
        EXPECT_FALSE(list.Active());
        EXPECT_EQ(list.TimerWindow(), 0u);
        EXPECT_EQ(finished_, c.finishedCalls);
        ASSERT_FALSE(list.armed.empty());
        for (platform::WindowHandle w : list.armed) EXPECT_EQ(platform::WindowThread(w), 0u) << "window left";
        Advance(3000);  // no tick from a forgotten window
        EXPECT_TRUE(firings_.empty());

        // The next activation ticks once per period, on one window.
        list.Events()[0].SetEnabled(true);
        list.SetActive(true);
        EXPECT_TRUE(list.Active());
        for (platform::WindowHandle w : list.armed)
            EXPECT_TRUE(w == list.TimerWindow() || platform::WindowThread(w) == 0) << "second window";
        Ticks(list, 2, 500);
        EXPECT_EQ(std::count_if(firings_.begin(), firings_.end(), [](const auto& f) { return f.name == u"a"; }), 2);
    }
}

TEST_F(TimerListTest, HandlerErrorsGoToTheApplicationAndTheTicksBookkeepingStillHappens) {
    std::vector<std::string> errors;
    void* errorSender = nullptr;
    timers::SetApplicationErrorHandler([&](void* sender, const std::exception& e) {
        errorSender = sender;
        errors.push_back(e.what());
    });
    // Next to an event "once" that raises at its one firing after `work` ms (+500): the
    // error goes to the application and ends the tick, the event is disabled all the same,
    // and the tick is recomputed from the end of the handler.
    struct Row {
        const char* name;
        const char16_t* other;  // the event next to it, if any
        std::int32_t interval;
        std::uint64_t work;
        int shortTicks;  // 100 ms ticks after the failing one, for a list still active
        const char* fired;
    } rows[] = {
        // "low", due as well, is not examined in that tick but in the next, 100 ms later.
        {"the tick ends at the error", u"low", 500, 0, 1, "low@600"},
        // The last enabled event disabled itself: the list ends although its handler raised.
        {"the list ends", nullptr, 0, 0, 0, ""},
        // The handler ends at +800, when "keep" has 200 ms left: the walk settles on 100 ms,
        // against the 500 ms the failing event's interval gave before.
        {"recomputed from the handler's end", u"keep", 1000, 300, 2, "keep@1000"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        errors.clear();
        firings_.clear();
        finished_ = 0;
        TJvTimerList list;
        CountFinishes(list);
        if (row.other) AddEvent(list, row.other, row.interval, true);
        TJvTimerEvent& once = list.Events().Add();
        once.SetInterval(500);
        once.SetCycled(false);
        once.SetRepeatCount(1);
        once.SetOnTimer([this, &row](void*) {
            now_ += row.work;
            throw runtime::Exception(u"kapot");
        });
        std::uint32_t start = Now();
        list.SetActive(true);
        EXPECT_EQ(list.Events().TickInterval(), 500);
        Tick(list, 500);
        EXPECT_EQ(errors, (std::vector<std::string>{"kapot"}));
        EXPECT_EQ(errorSender, &list);
        EXPECT_FALSE(once.Enabled());
        const bool active = row.other != nullptr;
        EXPECT_EQ(list.Active(), active);
        EXPECT_EQ(list.TimerWindow() != 0, active);
        EXPECT_EQ(finished_, active ? 0 : 1);
        if (active) {
            EXPECT_EQ(list.Events().TickInterval(), 100);
        }
        Ticks(list, row.shortTicks, 100);
        Advance(active ? 0 : 3000);  // an ended list stops ticking
        EXPECT_EQ(Fired(start), row.fired);
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
        std::uint32_t start = Now();
        list.SetActive(true);

        // The missed ticks arrive as one, and the overdue event fires at it.
        Tick(list, gap, gap);
        EXPECT_EQ(e.LastFired(), Now());
        Tick(list, 1000);

        // The tick computed after such a gap treats the event as overdue as well.
        now_ += gap;
        e.SetInterval(2000);
        EXPECT_EQ(list.Events().TickInterval(), 100);
        Tick(list, 100);
        const auto at = [](std::uint64_t ms) { return "e@" + std::to_string(std::uint32_t(ms)); };
        EXPECT_EQ(Fired(start), at(gap) + " " + at(gap + 1000) + " " + at(2 * gap + 1100));
    }
}

TEST_F(TimerListTest, CollectionOperations) {
    TComponent notAList;
    for (TComponent* owner : {&notAList, static_cast<TComponent*>(nullptr)})
        EXPECT_EQ(RaisedText([&] { TJvTimerEvents events(owner); }), u"Owner of TJvTimerEvents must be a TJvTimerList");

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
    EXPECT_EQ(HandlesOf(list), (Handles{4, 2, 3, 1}));
    list.Events().DeleteByHandle(2);
    list.Events().DeleteByHandle(99);  // unknown: nothing
    EXPECT_EQ(HandlesOf(list), (Handles{4, 3, 1}));

    // Assignment between collections: copies settings, new handles, no handlers.
    TJvTimerList copy;
    copy.Events().Assign(list.Events());
    EXPECT_EQ(HandlesOf(copy), (Handles{1, 2, 3}));
    EXPECT_EQ(copy.Events()[1].Name(), u"ConnectTimer");
    EXPECT_EQ(copy.Events()[1].Interval(), 15000);
    EXPECT_TRUE(copy.Events()[1].Enabled());
    EXPECT_FALSE(copy.Events()[2].Enabled());
    EXPECT_FALSE(copy.Events()[0].OnTimer());
    copy.Events().Assign(list.Events());
    EXPECT_EQ(HandlesOf(copy), (Handles{4, 5, 6}));  // handles keep counting

    // Assignment between events goes through the setters.
    TJvTimerEvent& target = copy.Events()[2];
    target.Assign(list.Events()[0]);
    EXPECT_EQ(target.Interval(), 500);
    EXPECT_FALSE(target.Cycled());
    EXPECT_EQ(target.RepeatCount(), 0);  // copied as it stands: never set from code
    EXPECT_TRUE(copy.Active());          // enabling through Assign activated that list

    // Sorting on request, while the list is not kept sorted.
    list.SetSorted(false);
    list.Events()[0].SetInterval(40000);
    list.SortByInterval();
    EXPECT_EQ(HandlesOf(list), (Handles{3, 1, 4}));
}

}  // namespace
