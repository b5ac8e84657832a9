// The Windows message machinery beyond the shared loop contract: message-only windows,
// the handler reference in the extra bytes, errors thrown by handlers, the real timers and
// the suspension that must never lose a wake-up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/messages.h"
#include "support/win32_support.h"

using namespace platform;
using win32_tests::RecordingWindow;

namespace {

constexpr std::uint32_t kTestMessage = kWmUser + 7;

void DrainAndDispatch() {
    Message msg;
    while (PeekMessage(msg, true)) {
        DispatchMessage(msg);
    }
}

// Throws for kTestMessage; for kTestMessage + 1 it dispatches what is queued (a nested
// loop, as a socket does while a close would block) and lets any error pass.
class ThrowingWindow : public RecordingWindow {
public:
    std::intptr_t WindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        RecordingWindow::WindowProc(window, message, wParam, lParam);
        if (message == kTestMessage) {
            throw std::runtime_error("thrown by the handler");
        }
        if (message == kTestMessage + 1) {
            DrainAndDispatch();
        }
        return 42;
    }
};

}  // namespace

TEST(Win32Windows, HiddenWindowsAreMessageOnlyAndCarryTheirHandler) {
    // Without a display only message-only windows can be created; these tests run so.
    RecordingWindow window;
    ASSERT_NE(window.handle(), 0u);
    EXPECT_EQ(GetWindowHandler(window.handle()), &window);
    EXPECT_EQ(WindowThread(window.handle()), CurrentThreadId());
    ThreadId seenFromOther = 0;
    std::thread([&] { seenFromOther = WindowThread(window.handle()); }).join();
    EXPECT_EQ(seenFromOther, CurrentThreadId());

    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 1, -1));
    std::thread([&] { EXPECT_TRUE(PostMessage(window.handle(), kTestMessage, 2, 0x7FFF0000)); }).join();
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage + 1, 3, 0));
    DrainAndDispatch();
    ASSERT_EQ(window.received.size(), 3u);
    EXPECT_EQ(window.received[0].wParam, 1u);
    EXPECT_EQ(window.received[0].lParam, -1);
    EXPECT_EQ(window.received[1].wParam, 2u);
    EXPECT_EQ(window.received[1].lParam, 0x7FFF0000);
    EXPECT_EQ(window.received[2].message, kTestMessage + 1);
    EXPECT_EQ(window.received[0].window, window.handle());

    // Without a handler the default procedure answers.
    SetWindowHandler(window.handle(), nullptr);
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 4, 0));
    DrainAndDispatch();
    EXPECT_EQ(window.received.size(), 3u);
    SetWindowHandler(window.handle(), &window);

    // Destroying sends its own messages; the handler is detached first and sees none.
    const WindowHandle gone = window.handle();
    {
        RecordingWindow other;
        const WindowHandle handle = other.handle();
        ASSERT_TRUE(DestroyWindow(handle));
        EXPECT_TRUE(other.received.empty());
        EXPECT_FALSE(PostMessage(handle, kTestMessage, 0, 0));
        EXPECT_EQ(WindowThread(handle), 0u);
    }
    EXPECT_TRUE(PostMessage(gone, kTestMessage, 5, 0));
    DrainAndDispatch();
}

TEST(Win32Windows, ClassRegistrationAndFailedCreation) {
    const std::u16string name = u"VBxWin32TestClassOnce";
    EXPECT_FALSE(IsWindowClassRegistered(name));
    SetLastError(0);
    EXPECT_EQ(CreateHiddenWindow(name), 0u);
    EXPECT_NE(GetLastError(), 0u);
    ASSERT_TRUE(RegisterWindowClass(name));
    EXPECT_TRUE(IsWindowClassRegistered(name));
    EXPECT_FALSE(RegisterWindowClass(name));
    const WindowHandle window = CreateHiddenWindow(name);
    ASSERT_NE(window, 0u);
    // A class with a live window stays registered.
    EXPECT_FALSE(UnregisterWindowClass(name));
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterWindowClass(name));
    EXPECT_FALSE(IsWindowClassRegistered(name));
}

TEST(Win32Windows, AnErrorThrownByAHandlerComesOutOfDispatchMessage) {
    ThrowingWindow window;
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 1, 0));
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage + 2, 2, 0));
    Message msg;
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_THROW(DispatchMessage(msg), std::runtime_error);
    // The loop goes on: the next message is handled normally with the handler's result.
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_EQ(DispatchMessage(msg), 42);

    // An error in a nested loop passes through the outer handler to the outer caller, once.
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage + 1, 3, 0));
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage, 4, 0));
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_THROW(DispatchMessage(msg), std::runtime_error);
    ASSERT_TRUE(PostMessage(window.handle(), kTestMessage + 2, 5, 0));
    ASSERT_TRUE(PeekMessage(msg, true));
    EXPECT_EQ(DispatchMessage(msg), 42);
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
            if (round % 2 == 0) {
                std::this_thread::yield();
            }
            PostMessage(window.handle(), kTestMessage, 0, 0);  // must not end the wait
            PostThreadMessage(self, kTestMessage, round, 0);
        });
        std::thread rescuer([&] {
            for (int i = 0; i < 500 && !woken.load(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!woken.load()) {
                PostThreadMessage(self, kTestMessage, kRescue, 0);
            }
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

    PostQuitMessage(3);
    SuspendUntilThreadMessage();
    Message msg;
    EXPECT_FALSE(GetMessage(msg));
    EXPECT_EQ(msg.message, kWmQuit);
    EXPECT_EQ(msg.wParam, 3u);
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

    // A running timer keeps ticking through GetMessage.
    window.received.clear();
    ASSERT_TRUE(SetTimer(window.handle(), 2, 10));
    EXPECT_TRUE(win32_tests::PumpUntil(window.handle(), [&] { return window.received.size() >= 3; }));
    for (const auto& m : window.received) {
        EXPECT_EQ(m.message, kWmTimer);
        EXPECT_EQ(m.wParam, 2u);
    }
    EXPECT_TRUE(KillTimer(window.handle(), 2));
    EXPECT_FALSE(KillTimer(window.handle(), 2));
    // Only the owning thread sets a window's timer.
    bool foreign = true;
    std::thread([&] { foreign = SetTimer(window.handle(), 3, 10); }).join();
    EXPECT_FALSE(foreign);
}

TEST(Win32Clock, TheTestClockDrivesOnlyTheTickCount) {
    SetTestClock([] { return std::uint64_t(0x100000005); });
    EXPECT_EQ(GetTickCount(), 5u);
    SetTestClock({});
    const std::uint32_t a = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t elapsed = GetTickCount() - a;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);
}
