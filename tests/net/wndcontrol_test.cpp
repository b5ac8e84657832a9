// Notification windows: message numbers per thread, shared and extra windows, the window
// class's lifetime, misuse texts and the thread hand-over.
#include "net/wndcontrol.h"

#include <gtest/gtest.h>

#include <thread>

#include "net/exceptions.h"
#include "net/wsocket.h"
#include "support/errors.h"
#include "support/socket_support.h"
#include "text/strings.h"

namespace {

using net::TWSocket;

constexpr auto IcsMessageOf = &testsupport::MessageOf<net::EIcsException>;

template <typename F>
void OnFreshThread(F f) {
    std::thread t(f);
    t.join();
}

// A control that records the messages it receives and notes its destruction.
class Probe : public net::TIcsWndControl {
public:
    explicit Probe(bool* destroyed = nullptr) : destroyed_(destroyed) { AttachNotificationWindow(); }
    ~Probe() override {
        if (destroyed_) *destroyed_ = true;
    }
    std::intptr_t HandleWindowMessage(std::uint32_t msg, std::uintptr_t w, std::intptr_t l) override {
        received.push_back(msg);
        return net::TIcsWndControl::HandleWindowMessage(msg, w, l);
    }
    std::vector<std::uint32_t> received;

private:
    bool* destroyed_;
};

TEST(NotificationWindow, SocketsShareTheirThreadsWindowUntilItsNumbersRunOutAndTheClassStays) {
    OnFreshThread([] {
        const int windowsBefore = net::IcsHiddenWindowCount();
        auto& pool = net::TIcsWndHandlerPool::Instance();
        const platform::ThreadId self = platform::CurrentThreadId();
        std::vector<std::unique_ptr<TWSocket>> sockets;
        for (int i = 0; i < 14; ++i) sockets.push_back(std::make_unique<TWSocket>());
        const TWSocket& a = *sockets[0];
        const std::uint32_t numbers[] = {
            a.MsgRelease(),      a.MsgAsyncSelect(),      a.MsgAsyncGetHostByName(),  a.MsgAsyncGetHostByAddr(),
            a.MsgCloseDelayed(), a.MsgTriggerException(), a.MsgTriggerDataAvailable()};
        for (std::uint32_t i = 0; i < std::size(numbers); ++i) EXPECT_EQ(numbers[i], 1025 + i) << i;
        EXPECT_EQ(a.ThreadId(), self);
        EXPECT_EQ(platform::WindowThread(a.Handle()), self);
        EXPECT_EQ(sockets[1]->Handle(), a.Handle());
        EXPECT_EQ(sockets[1]->MsgRelease(), 1032u);
        EXPECT_EQ(sockets.back()->MsgTriggerDataAvailable(), 1025u + 97u);  // 98 slots in use
        EXPECT_EQ(pool.HandlerCount(self), 1u);
        EXPECT_EQ(net::IcsHiddenWindowCount(), windowsBefore + 1);

        sockets.push_back(std::make_unique<TWSocket>());
        EXPECT_EQ(pool.HandlerCount(self), 2u);
        EXPECT_NE(sockets.back()->Handle(), a.Handle());
        EXPECT_EQ(sockets.back()->MsgRelease(), 1025u);
        EXPECT_EQ(net::IcsHiddenWindowCount(), windowsBefore + 2);
        // Another thread has a window and numbers of its own.
        OnFreshThread([&] {
            TWSocket c;
            EXPECT_NE(c.Handle(), a.Handle());
            EXPECT_EQ(c.MsgRelease(), 1025u);
        });

        platform::WindowHandle second = sockets.back()->Handle();
        sockets.pop_back();  // the last control of a window destroys it
        EXPECT_EQ(platform::WindowThread(second), 0u);
        EXPECT_EQ(pool.HandlerCount(self), 1u);
        EXPECT_EQ(net::IcsHiddenWindowCount(), windowsBefore + 1);

        sockets.clear();
        EXPECT_EQ(pool.HandlerCount(self), 0u);
        EXPECT_EQ(net::IcsHiddenWindowCount(), windowsBefore);
        // The last window does not take the class along: the next socket, on any thread,
        // creates its window without registering anything again.
        EXPECT_TRUE(platform::IsWindowClassRegistered(net::kIcsWndControlWindowClass));
        OnFreshThread([] {
            TWSocket next;
            EXPECT_NE(next.Handle(), 0u);
        });
    });
}

TEST(NotificationWindow, AClassRegisteredBeforeTheFirstSocketIsTakenAsItIs) {
    // Another part of the process may have registered the class first (on Windows a
    // second RegisterClassW fails with 1410): the socket still gets its window.
    OnFreshThread([] {
        if (!platform::IsWindowClassRegistered(net::kIcsWndControlWindowClass)) {
            ASSERT_TRUE(platform::RegisterWindowClass(net::kIcsWndControlWindowClass));
        }
        TWSocket socket;
        EXPECT_NE(socket.Handle(), 0u);
    });
}

TEST(NotificationWindow, MessageNumberMisuseTexts) {
    OnFreshThread([] {
        net::TIcsWndControl owner;  // never attached; only lends its identity to the slots
        net::TIcsWndHandlerList list(platform::CurrentThreadId());
        {
            net::TIcsWndHandler handler(list, 1025);
            std::uint32_t first = handler.AllocateMessage(owner);
            EXPECT_EQ(first, 1025u);
            EXPECT_NE(handler.Handle(), 0u);  // the window comes with the first number
            for (int i = 1; i < 100; ++i) handler.AllocateMessage(owner);
            EXPECT_EQ(IcsMessageOf([&] { handler.AllocateMessage(owner); }), "No more free message");

            for (std::uint32_t outside : {1125u, 1024u})
                EXPECT_EQ(IcsMessageOf([&] { handler.ReleaseMessage(outside); }), "Msg value out of bound") << outside;
            std::uint32_t msg = 1030;
            handler.ReleaseMessage(msg);
            EXPECT_EQ(msg, 0u);  // the caller's field is cleared
            std::uint32_t again = 1030;
            EXPECT_EQ(IcsMessageOf([&] { handler.ReleaseMessage(again); }), "Msg not registered");
            std::uint32_t none = 0;
            handler.ReleaseMessage(none);  // 0 means none
            EXPECT_EQ(handler.MsgCount(), 99);
            EXPECT_EQ(handler.AllocateMessage(owner), 1030u);  // the first free slot again
        }
        net::TIcsWndHandler undefined(list, 0);
        EXPECT_EQ(IcsMessageOf([&] { undefined.AllocateMessage(owner); }), "MsgLow not defined");
        std::uint32_t msg = 1025;
        EXPECT_EQ(IcsMessageOf([&] { undefined.ReleaseMessage(msg); }), "MsgLow not defined");
    });
}

TEST(NotificationWindow, AGoneControlsQueuedMessagesNeverReachTheNextOwnerOfItsNumbers) {
    // The window stays for another control, so the messages queued for the numbers of the
    // one that goes stay queued too; the control that takes those numbers next must not
    // get them, and takes the numbers only once they have come out of the queue.
    OnFreshThread([] {
        Probe keeper;
        auto gone = std::make_unique<Probe>();
        const std::uint32_t number = gone->MsgRelease();
        platform::PostMessage(gone->Handle(), number, 7, 7);
        gone.reset();
        Probe early;  // before the queue has been run: other numbers
        EXPECT_NE(early.MsgRelease(), number);
        testsupport::PumpPending();
        EXPECT_TRUE(early.received.empty());
        Probe next;  // the number is free again once the queue has been run
        EXPECT_EQ(next.MsgRelease(), number);
        testsupport::PumpPending();
        EXPECT_TRUE(next.received.empty());
        EXPECT_TRUE(keeper.received.empty());
    });
}

TEST(NotificationWindow, ThreadHandOverAndDeferredRelease) {
    OnFreshThread([] {
        auto probe = std::make_unique<Probe>();
        const platform::WindowHandle first = probe->Handle();
        std::string fromOther;
        OnFreshThread([&] { fromOther = IcsMessageOf([&] { probe->ThreadDetach(); }); });
        EXPECT_EQ(fromOther, "Cannot detach from another thread");
        EXPECT_EQ(IcsMessageOf([&] { probe->ThreadAttach(); }), "Cannot attach when not detached");

        probe->ThreadDetach();
        EXPECT_EQ(probe->Handle(), 0u);
        EXPECT_EQ(platform::WindowThread(first), 0u);  // its only control left
        OnFreshThread([&] {
            probe->ThreadAttach();
            EXPECT_EQ(platform::WindowThread(probe->Handle()), platform::CurrentThreadId());
            // Messages now run on the new owner's loop.
            platform::PostMessage(probe->Handle(), probe->MsgRelease() + 0, 0, 0);
            testsupport::PumpPending();
            EXPECT_EQ(probe->received.size(), 1u);
            probe->ThreadDetach();
        });
        probe->ThreadAttach();

        // Deferred destruction: the control goes when its MsgRelease comes out of the queue,
        // not at another of its messages queued before it (a tick of its timer).
        bool destroyed = false;
        auto owned = std::make_unique<Probe>(&destroyed);
        platform::PostMessage(owned->Handle(), platform::kWmTimer, owned->MsgRelease(), 0);
        net::TIcsWndControl::Release(std::move(owned));
        platform::Message tick;
        ASSERT_TRUE(platform::PeekMessage(tick, true));
        platform::DispatchMessage(tick);
        EXPECT_FALSE(destroyed);
        testsupport::PumpPending();
        EXPECT_TRUE(destroyed);
    });
}

}  // namespace
