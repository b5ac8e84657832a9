// The watchdog: when it pings, how many heartbeats it keeps in flight, its tick interval,
// and its ticks on a loop driven by hand with an injected clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
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
        posts.push_back(serial);
        if (!acceptPosts) return false;
        if (answerAtOnce) answered = serial;
        return true;
    }
    std::uint64_t AnsweredHeartbeat() const override { return answered; }
    bool ControlThreadSuspended() const override { return suspended; }
    std::uint64_t ControlThreadProgress() const override { return progress; }
    // Answers the last heartbeat posted.
    void Answer() { answered = posts.empty() ? 0 : posts.back(); }

    int enableCalls = 0;
    bool acceptPosts = true;
    bool answerAtOnce = false;
    bool suspended = false;
    std::uint64_t answered = 0;
    std::uint64_t progress = 0;  // the time of the last progress mark; 0: none
    std::vector<std::uint64_t> posts;
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

TEST(ServiceWatchdog, TickIntervalIsAThirdOfTheTimeoutWithinBounds) {
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

TEST(ServiceWatchdog, PingsOnlyAfterTheLastHeartbeatWasAnswered) {
    FakeTarget target;
    Pings pings;
    TServiceWatchdog watchdog(target, pings.Function(), kSixtySeconds);
    EXPECT_EQ(1, target.enableCalls);

    // Nothing answered yet: no ping, the first heartbeat goes out.
    EXPECT_FALSE(watchdog.Tick());
    EXPECT_EQ((std::vector<std::uint64_t>{1}), target.posts);
    target.Answer();
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_EQ(1, pings.count);
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), target.posts);

    // A control thread that does not answer: no ping, and no second heartbeat queued
    // behind the first, however many ticks pass.
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(watchdog.Tick()) << i;
    EXPECT_EQ(1, pings.count);
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), target.posts);

    // An old answer does not count for the heartbeat in flight.
    target.answered = 1;
    EXPECT_FALSE(watchdog.Tick());
    target.Answer();
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_EQ(2, pings.count);
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2, 3}), target.posts);
}

TEST(ServiceWatchdog, ASuspendedControlThreadIsVouchedForWithoutAnAnswer) {
    FakeTarget target;
    Pings pings;
    TServiceWatchdog watchdog(target, pings.Function(), kSixtySeconds);
    watchdog.Tick();
    target.Answer();
    watchdog.Tick();  // heartbeat 2 in flight when the pause suspends the thread
    ASSERT_EQ(1, pings.count);

    target.suspended = true;
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(watchdog.Tick()) << i;
    EXPECT_EQ(5, pings.count);
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), target.posts) << "the waiting heartbeat is not doubled";

    // Awake again (continue) but the heartbeat not yet answered: no ping.
    target.suspended = false;
    EXPECT_FALSE(watchdog.Tick());
    target.Answer();
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_EQ(6, pings.count);

    // Suspended before any heartbeat could be posted still counts as waiting, not stuck.
    FakeTarget fresh;
    fresh.suspended = true;
    Pings freshPings;
    TServiceWatchdog second(fresh, freshPings.Function(), kSixtySeconds);
    EXPECT_TRUE(second.Tick());
    EXPECT_EQ(1, freshPings.count);
}

// A control thread busy with a long step answers no heartbeat; its progress marks stand in
// for the answer for two ticks (40 s of a 60 s timeout), so slow work that moves on is
// never taken for a hang, and a thread whose marks stop is given up two ticks later.
TEST(ServiceWatchdog, ProgressMarksStandInForAnAnswerForTwoTicks) {
    FakeTarget target;
    Pings pings;
    std::uint64_t now = 7'000'000;
    TServiceWatchdog watchdog(target, pings.Function(), kSixtySeconds, [&] { return now; });
    watchdog.Tick();
    target.Answer();
    ASSERT_TRUE(watchdog.Tick());  // heartbeat 2 is in flight while the step runs

    const struct {
        std::int64_t markAge;  // ms before the tick; negative: a mark from "after" it
        bool pings;
    } rows[] = {{0, true}, {20'000, true}, {40'000, true}, {40'001, false}, {600'000, false}, {-5, true}};
    for (const auto& row : rows) {
        target.progress = static_cast<std::uint64_t>(static_cast<std::int64_t>(now) - row.markAge);
        EXPECT_EQ(row.pings, watchdog.Tick()) << row.markAge;
    }
    target.progress = 0;
    EXPECT_FALSE(watchdog.Tick()) << "no mark at all";

    // Ten minutes of a step marking every 30 s: a ping at every tick, and still only the
    // one heartbeat in flight.
    const int before = pings.count;
    for (int tick = 0; tick < 30; ++tick) {
        now += 20'000;
        if (tick % 3 != 1) target.progress = now - 10'000;
        EXPECT_TRUE(watchdog.Tick()) << tick;
    }
    EXPECT_EQ(before + 30, pings.count);
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), target.posts);
    // The marks stop: two more ticks are vouched for, then none.
    const std::uint64_t lastMark = target.progress;
    int vouched = 0;
    for (int tick = 0; tick < 5; ++tick) {
        now += 20'000;
        if (watchdog.Tick()) ++vouched;
    }
    EXPECT_LE(vouched, 2);
    EXPECT_FALSE(watchdog.Tick());
    EXPECT_GT(now - lastMark, 40'000u);
    // The step ends and the thread answers: pings as before.
    target.Answer();
    EXPECT_TRUE(watchdog.Tick());
}

TEST(ServiceWatchdog, NoControlThreadMeansNoPingEvenAfterEarlierAnswers) {
    FakeTarget target;
    target.answerAtOnce = true;
    Pings pings;
    TServiceWatchdog watchdog(target, pings.Function(), kSixtySeconds);
    watchdog.Tick();
    EXPECT_TRUE(watchdog.Tick());

    // The control thread has ended (or not begun): posts fail. The answer to the last
    // heartbeat posted buys one ping, then silence.
    target.acceptPosts = false;
    EXPECT_TRUE(watchdog.Tick());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(watchdog.Tick()) << i;
    EXPECT_EQ(2, pings.count);
    // Each failed post is retried at the next tick with a new serial, never an old one.
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}), target.posts);

    target.acceptPosts = true;
    EXPECT_FALSE(watchdog.Tick());
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_EQ(3, pings.count);
}

TEST(ServiceWatchdog, AFailedPingChangesNothing) {
    FakeTarget target;
    target.answerAtOnce = true;
    Pings pings;
    pings.result = false;
    TServiceWatchdog watchdog(target, pings.Function(), kSixtySeconds);
    watchdog.Tick();
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_TRUE(watchdog.Tick());
    EXPECT_EQ(2, pings.count);
    EXPECT_EQ((std::vector<std::uint64_t>{1, 2, 3}), target.posts);
}

TEST(ServiceWatchdog, WithoutATimeoutNothingHappens) {
    FakeTarget target;
    target.answerAtOnce = true;
    Pings pings;
    TServiceWatchdog watchdog(target, pings.Function(), 0);
    EXPECT_EQ(0, target.enableCalls);
    EXPECT_EQ(0u, watchdog.Interval());
    EXPECT_FALSE(watchdog.Start());
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(watchdog.Tick());
    EXPECT_EQ(0, pings.count);
    EXPECT_TRUE(target.posts.empty());
}

TEST(ServiceWatchdog, HeartbeatWindowAnswersWhatItsLoopDispatches) {
    std::atomic<std::uint64_t> answered{0};
    platform::EnsureMessageQueue();
    {
        service_host::THeartbeatWindow window(answered);
        ASSERT_NE(0u, window.Handle());
        ASSERT_TRUE(platform::PostMessage(window.Handle(), service_host::ServiceHeartbeatMessage, 7, 0));
        ASSERT_TRUE(platform::PostMessage(window.Handle(), platform::kWmUser + 9, 8, 0));  // not a heartbeat
        EXPECT_EQ(0u, answered.load()) << "answered before the loop served it";
        platform::Message m;
        while (platform::PeekMessage(m, true)) platform::DispatchMessage(m);
        EXPECT_EQ(7u, answered.load());

        // A heartbeat still queued when the window goes is dropped with it.
        ASSERT_TRUE(platform::PostMessage(window.Handle(), service_host::ServiceHeartbeatMessage, 9, 0));
    }
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
        EXPECT_TRUE(target.posts.empty()) << "ticked before the interval";
        Pass(810);
        // First tick at 200 posts, every later one pings.
        EXPECT_EQ((std::vector<std::uint64_t>{400, 600, 800, 1000}), pingTimes_);
        EXPECT_EQ(5u, target.posts.size());

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
