#pragma once
// The collector's view of its client socket (collector::ClientSocketOps) over a TWSocket,
// so that the collector never sees the concrete class.
//
// Wiring: the program creates the TWSocket on the main thread, wraps it here and hands
// the adapter to the collector; it also passes the collector's recursive lock to
// SetOwnerLock, so that notices handled on the main thread and the Connect/Close calls
// of the control thread never run at the same moment (lock order: that lock first).
//
// Threading contract: as TWSocket's; the adapter adds no state of its own beyond the
// handlers it installs.
#include <mutex>

#include "collector/collaborators.h"
#include "net/wsocket.h"

namespace app {

class ClientSocketOpsAdapter final : public collector::ClientSocketOps {
public:
    explicit ClientSocketOpsAdapter(net::TWSocket& socket) : socket_(socket) {}

    net::TSocketState State() const override { return socket_.State(); }
    void SetAddr(const std::u16string& addr) override { socket_.SetAddr(addr); }
    void SetPort(const std::u16string& port) override { socket_.SetPort(port); }
    void Connect() override { socket_.Connect(); }
    void Close() override { socket_.Close(); }
    int SendText(const std::u16string& text) override { return socket_.SendText(text); }
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) override {
        return socket_.ReceiveTextInto(prepare);
    }

    // An empty handler leaves the socket's slot unassigned, so that the socket behaves as
    // with no handler (for a data handler: it reads and drops the bytes itself).
    void SetHandlers(SessionHandler onSessionConnected, SessionHandler onDataAvailable,
                     SessionHandler onSessionClosed) override {
        socket_.OnSessionConnected = Bind(std::move(onSessionConnected));
        socket_.OnDataAvailable = Bind(std::move(onDataAvailable));
        socket_.OnSessionClosed = Bind(std::move(onSessionClosed));
    }

    // The collector's lock; see the wiring note above.
    void SetOwnerLock(platform::CheckedRecursiveMutex* lock) { socket_.SetOwnerLock(lock); }

    net::TWSocket& Socket() { return socket_; }

private:
    static std::function<void(net::TWSocket&, std::uint16_t)> Bind(SessionHandler handler) {
        if (!handler) return {};
        return [handler = std::move(handler)](net::TWSocket&, std::uint16_t errCode) { handler(errCode); };
    }

    net::TWSocket& socket_;
};

}  // namespace app
