// The POSIX loop on the real clock: the tick count moves in steps of 10 ms, and a tick
// whose due time falls between two steps wakes the loop once, at the step that reaches it.
// Real time, bounded to well under a second.
#include <gtest/gtest.h>
#include <time.h>

#include <vector>

#include "platform/messages.h"
#include "platform/posix/loop_internal.h"

namespace {

using namespace platform;

constexpr std::uint64_t kStep = 10;
const std::u16string kClass = u"LoopClockTestWindow";

class TickCounter : public WindowProcedure {
public:
    std::intptr_t WindowProc(WindowHandle, std::uint32_t message, std::uintptr_t, std::intptr_t) override {
        if (message == kWmTimer) counts.push_back(GetTickCount64());
        return 0;
    }
    std::vector<std::uint64_t> counts;  // the tick count at each tick
};

class LoopClock : public ::testing::Test {
protected:
    void SetUp() override {
        SetTestClock({});
        EnsureMessageQueue();
        if (!IsWindowClassRegistered(kClass)) {
            ASSERT_TRUE(RegisterWindowClass(kClass));
        }
        window_ = CreateHiddenWindow(kClass);
        ASSERT_NE(window_, 0u);
        SetWindowHandler(window_, &ticks_);
    }
    void TearDown() override {
        KillTimer(window_, 1);
        DestroyWindow(window_);
        Message m;
        while (PeekMessage(m, true)) {}
    }
    WindowHandle window_ = 0;
    TickCounter ticks_;
};

// The monotonic clock the count follows, in whole milliseconds.
std::uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
}

TEST_F(LoopClock, TickCountMovesInWholeStepsAndAgreesWithItsLowHalf) {
    // Each reading is bracketed by readings of the clock it follows, so it must be that
    // clock rounded down to a step, however long the thread is held up in between. The
    // 32-bit count is compared as the low half of the 64-bit one: its own remainder stops
    // being a multiple of the step once the count passes 2^32 (49.7 days of uptime).
    const std::uint64_t first = GetTickCount64();
    for (std::uint64_t wide = first; wide == first;) {  // until the count has moved a step
        const std::uint64_t before = MonotonicMs();
        wide = GetTickCount64();
        const std::uint32_t narrow = GetTickCount();
        const std::uint64_t wideAgain = GetTickCount64();
        const std::uint64_t after = MonotonicMs();
        ASSERT_EQ(wide % kStep, 0u) << wide;
        ASSERT_GE(wide, before - before % kStep);
        ASSERT_LE(wideAgain, after - after % kStep);
        ASSERT_LE(wide, wideAgain);
        // The low half of a reading taken between the two wide ones: whole steps after the first.
        const std::uint64_t offset = std::uint32_t(narrow - std::uint32_t(wide));
        ASSERT_LE(offset, wideAgain - wide);
        ASSERT_EQ(offset % kStep, 0u);
    }
}

TEST_F(LoopClock, AnOffStepTickWakesTheLoopOnceAndNeverBeforeItIsDue) {
    // 15 ms: every other due time lies between two steps. A wait that ended on the due
    // millisecond would find the count a step short and wait again (or spin to the step).
    const std::uint64_t armed = GetTickCount64();
    ASSERT_TRUE(SetTimer(window_, 1, 15));
    const std::uint64_t wakeupsBefore = posix::LoopWakeups();
    Message m;
    while (ticks_.counts.size() < 6) {
        ASSERT_TRUE(GetMessage(m));
        DispatchMessage(m);
    }
    const std::uint64_t wakeups = posix::LoopWakeups() - wakeupsBefore;
    // At most one wake-up per tick (fewer when a late wake-up finds the next tick due too).
    EXPECT_LE(wakeups, 6u);
    for (std::size_t i = 0; i < ticks_.counts.size(); ++i) {
        // Missed periods collapse, so tick i comes no earlier than its own due time.
        EXPECT_GE(ticks_.counts[i], armed + 15 * (i + 1)) << "tick " << i;
        EXPECT_EQ(ticks_.counts[i] % kStep, 0u);
    }
}

}  // namespace
