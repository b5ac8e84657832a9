// The Windows message machinery beyond the shared loop contract: message-only windows,
// the handler reference in the extra bytes, errors thrown by handlers, the real timers and
// the suspension that must never lose a wake-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/messages.h"

using namespace platform;

namespace {

constexpr std::uint32_t kTestMessage = kWmUser + 7;

// A hidden window of the calling thread whose handler records every message it gets.
class RecordingWindow : public WindowProcedure {
public:
    RecordingWindow() {
        if (!IsWindowClassRegistered(kClass)) RegisterWindowClass(kClass);
        handle_ = CreateHiddenWindow(kClass);
        if (handle_ != 0) SetWindowHandler(handle_, this);
    }
    ~RecordingWindow() override { DestroyWindow(handle_); }
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    WindowHandle handle() const { return handle_; }
    std::vector<Message> received;

    std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        received.push_back({window, message, wParam, lParam});
        return 0;
    }

private:
    static constexpr const char16_t* kClass = u"VBxWin32TestWindow";
    WindowHandle handle_ = 0;
};

void DrainAndDispatch() {
    Message msg;
    while (PeekMessage(msg, true)) DispatchMessage(msg);
}

// Throws for kTestMessage; for kTestMessage + 1 it dispatches what is queued (a nested
// loop, as a socket does while a close would block) and lets any error pass.
class ThrowingWindow : public RecordingWindow {
public:
    std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        RecordingWindow::WindowProc(window, message, wParam, lParam);
        if (message == kTestMessage) throw std::runtime_error("thrown by the handler");
        if (message == kTestMessage + 1) DrainAndDispatch();
        return 42;
    }
};

}  // namespace

// The shared contract (tests/platform/loop_contract_test.cpp) covers posting, the handler,
// its result and destruction; here what only the Windows backend does.
TEST(Win32Windows, HiddenWindowsAreMessageOnlyAndCarryTheirHandler) {
    // Without a display only message-only windows can be created; these tests run so.
    RecordingWindow window;
    ASSERT_NE(window.handle(), 0u);
    ThreadId seenFromOther = 0;
    std::thread([&] {
        seenFromOther = WindowThread(window.handle());
        EXPECT_TRUE(PostMessage(window.handle(), kTestMessage, 2, 0x7FFF0000));
    }).join();
    EXPECT_EQ(seenFromOther, CurrentThreadId());
    DrainAndDispatch();
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].lParam, 0x7FFF0000);

    // A handler taken away: the default procedure answers.
    SetWindowHandler(window.handle(), nullptr);
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 4, 0));
    DrainAndDispatch();
    EXPECT_EQ(window.received.size(), 1u);

    // Destroying sends its own messages; the handler is detached first and sees none.
    RecordingWindow other;
    ASSERT_TRUE(DestroyWindow(other.handle()));
    EXPECT_TRUE(other.received.empty());
}

TEST(Win32Windows, AnErrorThrownByAHandlerComesOutOfDispatchMessage) {
    ThrowingWindow window;
    const auto dispatchNext = [] {
        Message msg;
        EXPECT_TRUE(PeekMessage(msg, true));
        return DispatchMessage(msg);
    };
    // The error comes out once, then the loop goes on: the next message is handled with the
    // handler's result. The second round throws in a nested loop: the error passes through
    // the outer handler to the outer caller.
    for (const std::uint32_t first : {kTestMessage, kTestMessage + 1}) {
        SCOPED_TRACE(first - kTestMessage);
        ASSERT_TRUE(PostMessage(window.handle(), first, 1, 0));
        if (first != kTestMessage) {
            ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 2, 0));
        }
        EXPECT_THROW(dispatchNext(), std::runtime_error);
        ASSERT_TRUE(PostMessage(window.handle(), kTestMessage + 2, 3, 0));
        EXPECT_EQ(dispatchNext(), 42);
    }
    EXPECT_EQ(window.received.size(), 5u);
}

TEST(Win32Queue, SuspensionNeverLosesAWakeUpAndWakesForAQuit) {
    EnsureMessageQueue();
    const ThreadId self = CurrentThreadId();
    RecordingWindow window;
    // Many rounds where the post races with entering the wait; a lost wake-up would hang,
    // so a rescuer posts a marked message after a generous delay and the round fails.
    constexpr std::uintptr_t kRescue = 0xDEAD;
    for (int round = 0; round < 100; ++round) {
        std::atomic<bool> woken{false};
        std::thread poster([&] {
            if (round % 2 == 0) std::this_thread::yield();
            PostMessage(window.handle(), kTestMessage, 0, 0);  // must not end the wait
            PostThreadMessage(self, kTestMessage, round, 0);
        });
        std::thread rescuer([&] {
            for (int i = 0; i < 500 && !woken.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!woken.load()) PostThreadMessage(self, kTestMessage, kRescue, 0);
        });
        SuspendUntilThreadMessage();
        woken = true;
        poster.join();
        rescuer.join();
        Message msg;
        bool sawThreadMessage = false;
        while (PeekMessage(msg, true)) {
            if (msg.window == 0) {
                ASSERT_NE(msg.wParam, kRescue) << "round " << round;
                sawThreadMessage = true;
            }
        }
        ASSERT_TRUE(sawThreadMessage) << "round " << round;
    }

    // The quit's own message: tests/platform/loop_contract_test.cpp.
    PostQuitMessage(3);
    SuspendUntilThreadMessage();
    Message msg;
    EXPECT_FALSE(GetMessage(msg));
}

TEST(Win32Timers, TicksGoAfterPostedMessagesAndMissedTicksArriveAsOne) {
    RecordingWindow window;
    ASSERT_TRUE(SetTimer(window.handle(), 1, 20));
    // The thread is busy for several periods.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 9, 0));
    ASSERT_TRUE(KillTimer(window.handle(), 1));
    DrainAndDispatch();
    // KillTimer may leave one tick behind; the posted message came first in any case and
    // at most one tick was pending.
    ASSERT_GE(window.received.size(), 1u);
    ASSERT_LE(window.received.size(), 2u);
    EXPECT_EQ(window.received[0].message, kTestMessage);
    if (window.received.size() == 2) {
        EXPECT_EQ(window.received[1].message, kWmTimer);
        EXPECT_EQ(window.received[1].wParam, 1u);
    }

    // A running timer keeps ticking through GetMessage; a watchdog tick (3) bounds each wait.
    window.received.clear();
    ASSERT_TRUE(SetTimer(window.handle(), 2, 10));
    ASSERT_TRUE(SetTimer(window.handle(), 3, 200));
    const std::uint32_t start = GetTickCount();
    Message msg;
    while (window.received.size() < 3 && GetTickCount() - start < 5000 && GetMessage(msg)) {
        if (msg.wParam != 3) DispatchMessage(msg);
    }
    ASSERT_GE(window.received.size(), 3u);
    for (const auto& m : window.received) {
        EXPECT_EQ(m.message, kWmTimer);
        EXPECT_EQ(m.wParam, 2u);
    }
    EXPECT_TRUE(KillTimer(window.handle(), 2));
    EXPECT_TRUE(KillTimer(window.handle(), 3));
}
