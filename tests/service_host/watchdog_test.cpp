// The watchdog: when it pings, how many heartbeats it keeps in flight, its tick interval,
// and its ticks on a loop driven by hand with an injected clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "service_host/watchdog.h"
#include "support/test_clock.h"

namespace {

using service_host::TServiceWatchdog;

// A control thread played by the test: it answers when the test says so.
class FakeTarget : public service_host::HeartbeatTarget {
public:
    void EnableHeartbeats() override { ++enableCalls; }
    bool PostHeartbeat(std::uint64_t serial) override {
        posts += (posts.empty() ? "" : " ") + std::to_string(serial);
        last = serial;
        if (!acceptPosts) return false;
        if (answerAtOnce) answered = serial;
        return true;
    }
    std::uint64_t AnsweredHeartbeat() const override { return answered; }
    bool ControlThreadSuspended() const override { return suspended; }
    std::uint64_t ControlThreadProgress() const override { return progress; }

    int enableCalls = 0;
    bool acceptPosts = true;
    bool answerAtOnce = false;
    bool suspended = false;
    std::uint64_t answered = 0;
    std::uint64_t last = 0;      // the last heartbeat posted
    std::uint64_t progress = 0;  // the time of the last progress mark; 0: none
    std::string posts;           // the serials posted: "1 2 3"
};

struct Pings {
    int count = 0;
    bool result = true;
    std::function<bool()> Function() {
        return [this] {
            ++count;
            return result;
        };
    }
};

constexpr std::uint64_t kSixtySeconds = 60'000'000;

// A watchdog over a FakeTarget on a clock the test sets.
class ServiceWatchdog : public ::testing::Test {
protected:
    TServiceWatchdog& Make(std::uint64_t usec = kSixtySeconds) {
        watchdog = std::make_unique<TServiceWatchdog>(target, pings.Function(), usec, [this] { return now; });
        return *watchdog;
    }

    FakeTarget target;
    Pings pings;
    std::uint64_t now = 7'000'000;
    std::unique_ptr<TServiceWatchdog> watchdog;
};

TEST_F(ServiceWatchdog, TickIntervalIsAThirdOfTheTimeoutWithinBounds) {
    const struct {
        std::uint64_t usec;
        std::uint32_t ms;
    } rows[] = {
        {0, 0},                                   // no watchdog
        {1, TServiceWatchdog::kMinTickMs},        // absurdly short: held at the bound
        {299'999, TServiceWatchdog::kMinTickMs},  // a third is 99 ms
        {300'000, 100},
        {600'000, 200},
        {600'999, 200},  // rounded down: pings come early, never late
        {kSixtySeconds, 20'000},
        {6'442'450'941'000, TServiceWatchdog::kMaxTickMs},  // a third just over the longest tick
        {UINT64_MAX - 1, TServiceWatchdog::kMaxTickMs},
    };
    for (const auto& row : rows) EXPECT_EQ(row.ms, TServiceWatchdog::TickInterval(row.usec)) << row.usec;
}

// Each row plays a script against a watchdog with a 60 s timeout, one step per character:
//   '.' a tick that must not ping     '!' a tick that must ping
//   'a' the control thread answers the last heartbeat posted
//   'o' it answers an old heartbeat (the first)
//   's' it is suspended (paused)      'w' it wakes (continue)
//   'r' posts fail (no control thread) 'c' posts succeed again
TEST_F(ServiceWatchdog, PingsOnlyForAControlThreadThatAnswersOrWaits) {
    const struct {
        const char* name;
        std::uint64_t usec;
        bool answerAtOnce, pingResult;
        const char* script;
        const char* posts;  // the heartbeats posted, in order
        int pings;
    } rows[] = {
        // Nothing answered yet: no ping. A control thread that does not answer: no ping, and
        // no second heartbeat queued behind the first. An old answer does not count.
        {"pings only after the last heartbeat was answered", kSixtySeconds, false, true, ".a!.....o.a!", "1 2 3", 2},
        // A suspended thread waits and is vouched for without an answer; the waiting
        // heartbeat is not doubled. Awake again but not yet answered: no ping.
        {"a suspended control thread is vouched for", kSixtySeconds, false, true, ".a!s!!!!w.a!", "1 2 3", 6},
        {"suspended before any heartbeat could be posted", kSixtySeconds, false, true, "s!", "1", 1},
        // The control thread has ended (or not begun): posts fail. The answer to the last
        // heartbeat posted buys one ping, then silence; each failed post is retried at the
        // next tick with a new serial.
        {"no control thread means no ping", kSixtySeconds, true, true, ".!r!...c.!", "1 2 3 4 5 6 7 8", 3},
        {"a failed ping changes nothing", kSixtySeconds, true, false, ".!!", "1 2 3", 2},
        // Without a timeout no heartbeat is asked for, none posted, no ping, no tick started.
        {"without a timeout nothing happens", 0, true, true, "...", "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        target = FakeTarget();
        target.answerAtOnce = row.answerAtOnce;
        pings = Pings{0, row.pingResult};
        TServiceWatchdog& dog = Make(row.usec);
        EXPECT_EQ(row.usec == 0 ? 0 : 1, target.enableCalls);
        EXPECT_TRUE(row.usec != 0 || !dog.Start()) << "a tick started without a timeout";
        for (const char* step = row.script; *step != 0; ++step) {
            switch (*step) {
            case 'a': target.answered = target.last; break;
            case 'o': target.answered = 1; break;
            case 's': target.suspended = true; break;
            case 'w': target.suspended = false; break;
            case 'r': target.acceptPosts = false; break;
            case 'c': target.acceptPosts = true; break;
            default: EXPECT_EQ(*step == '!', dog.Tick()) << "step " << step - row.script;
            }
        }
        EXPECT_EQ(row.posts, target.posts);
        EXPECT_EQ(row.pings, pings.count);
    }
}

// A control thread busy with a long step answers no heartbeat; its progress marks stand in
// for the answer for two ticks (40 s of a 60 s timeout), so slow work that moves on is
// never taken for a hang, and a thread whose marks stop is given up two ticks later.
TEST_F(ServiceWatchdog, ProgressMarksStandInForAnAnswerForTwoTicks) {
    TServiceWatchdog& dog = Make();
    dog.Tick();
    target.answered = target.last;
    ASSERT_TRUE(dog.Tick());  // heartbeat 2 is in flight while the step runs

    const struct {
        std::int64_t markAge;  // ms before the tick; negative: a mark from "after" it
        bool pings;
    } rows[] = {{0, true}, {20'000, true}, {40'000, true}, {40'001, false}, {600'000, false}, {-5, true}};
    for (const auto& row : rows) {
        target.progress = static_cast<std::uint64_t>(static_cast<std::int64_t>(now) - row.markAge);
        EXPECT_EQ(row.pings, dog.Tick()) << row.markAge;
    }
    target.progress = 0;
    EXPECT_FALSE(dog.Tick()) << "no mark at all";

    // Ten minutes of a step marking every 30 s: a ping at every tick, and still only the
    // one heartbeat in flight.
    const int before = pings.count;
    for (int tick = 0; tick < 30; ++tick) {
        now += 20'000;
        if (tick % 3 != 1) target.progress = now - 10'000;
        EXPECT_TRUE(dog.Tick()) << tick;
    }
    EXPECT_EQ(before + 30, pings.count);
    EXPECT_EQ("1 2", target.posts);
    // The marks stop: two more ticks are vouched for, then none.
    const std::uint64_t lastMark = target.progress;
    int vouched = 0;
    for (int tick = 0; tick < 5; ++tick) {
        now += 20'000;
        if (dog.Tick()) ++vouched;
    }
    EXPECT_LE(vouched, 2);
    EXPECT_FALSE(dog.Tick());
    EXPECT_GT(now - lastMark, 40'000u);
    // The step ends and the thread answers: pings as before.
    target.answered = target.last;
    EXPECT_TRUE(dog.Tick());
}

TEST_F(ServiceWatchdog, HeartbeatWindowAnswersWhatItsLoopDispatches) {
    std::atomic<std::uint64_t> answered{0};
    platform::EnsureMessageQueue();
    platform::WindowHandle handle = 0;
    {
        service_host::THeartbeatWindow window(answered);
        handle = window.Handle();
        ASSERT_NE(0u, handle);
        ASSERT_TRUE(platform::PostMessage(window.Handle(), service_host::ServiceHeartbeatMessage, 7, 0));
        ASSERT_TRUE(platform::PostMessage(window.Handle(), platform::kWmUser + 9, 8, 0));  // not a heartbeat
        EXPECT_EQ(0u, answered.load()) << "answered before the loop served it";
        platform::Message m;
        while (platform::PeekMessage(m, true)) platform::DispatchMessage(m);
        EXPECT_EQ(7u, answered.load());

        // A heartbeat still queued when the window goes is dropped with it.
        ASSERT_TRUE(platform::PostMessage(window.Handle(), service_host::ServiceHeartbeatMessage, 9, 0));
    }
    EXPECT_EQ(0u, platform::WindowThread(handle)) << "the window outlives its object";
    platform::Message m;
    while (platform::PeekMessage(m, true)) platform::DispatchMessage(m);
    EXPECT_EQ(7u, answered.load());
}

#ifndef _WIN32
// The periodic tick follows the injected clock on POSIX only (Windows' timers follow the
// real clock, and Windows' manager keeps no watchdog).
class WatchdogLoop : public testsupport::TestClockTest {
protected:
    // Lets `ms` pass in steps of 10 ms, pumping after each; records when pings happened.
    void Pass(std::uint64_t ms) {
        for (std::uint64_t done = 0; done < ms; done += 10) {
            now_ += 10;
            const int before = pings_.count;
            Pump();
            for (int i = before; i < pings_.count; ++i) pingTimes_.push_back(now_.load() - start_);
        }
    }

    const std::uint64_t start_ = now_;
    Pings pings_;
    std::vector<std::uint64_t> pingTimes_;
};

TEST_F(WatchdogLoop, TicksEveryThirdOfTheTimeoutWhileTheLoopServes) {
    FakeTarget target;
    target.answerAtOnce = true;
    {
        TServiceWatchdog watchdog(target, pings_.Function(), 600'000);
        ASSERT_TRUE(watchdog.Start());
        EXPECT_FALSE(watchdog.Start()) << "a second tick for one watchdog";
        Pass(190);
        EXPECT_EQ("", target.posts) << "ticked before the interval";
        Pass(810);
        // First tick at 200 posts, every later one pings.
        EXPECT_EQ((std::vector<std::uint64_t>{400, 600, 800, 1000}), pingTimes_);
        EXPECT_EQ("1 2 3 4 5", target.posts);

        // A loop that does not serve for a while gives one late tick, not a burst.
        now_ += 1000;
        Pump();
        EXPECT_EQ(5, pings_.count);
    }
    // Gone with the watchdog: its tick never comes again.
    Pass(1000);
    EXPECT_EQ(5, pings_.count);
}
#endif

}  // namespace
