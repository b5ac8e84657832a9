#pragma once
// Helpers for socket tests: servers on 127.0.0.1 with ephemeral ports, run with the
// platform socket calls in blocking mode on their own thread, and a bounded pump of the
// calling thread's message loop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "platform/messages.h"
#include "platform/sockets.h"
#include "support/signal.h"

namespace testsupport {

namespace ps = platform::net;
using namespace std::chrono_literals;

inline ps::SockAddrIn Loopback(std::uint16_t port) {
    ps::SockAddrIn addr;
    addr.port = ps::htons(port);
    addr.addr = ps::inet_addr("127.0.0.1");
    return addr;
}

// Keeps the socket layer started for the test's own blocking sockets.
struct LayerStarted {
    LayerStarted() { ps::WSAStartup(0x0101); }
    ~LayerStarted() { ps::WSACleanup(); }
};

// A bound socket on 127.0.0.1 with an ephemeral port; listening unless told otherwise
// (a bound socket that does not listen refuses connections on its port).
class Listener {
public:
    explicit Listener(bool listen = true) {
        socket_ = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
        ps::bind(socket_, Loopback(0));
        if (listen) ps::listen(socket_, 5);
        ps::SockAddrIn local;
        ps::getsockname(socket_, local);
        port_ = ps::ntohs(local.port);
    }
    ~Listener() { Close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    std::uint16_t Port() const { return port_; }
    ps::SOCKET Accept() { return ps::accept(socket_, nullptr); }
    void ShutDown() { ps::shutdown(socket_, 2); }
    // Closes the listening socket once; safe from another thread than the one in Accept.
    void Close() {
        if (ps::SOCKET s = socket_.exchange(ps::kInvalidSocket); s != ps::kInvalidSocket) ps::closesocket(s);
    }

private:
    LayerStarted layer_;
    std::atomic<ps::SOCKET> socket_{ps::kInvalidSocket};
    std::uint16_t port_ = 0;
};

inline bool SendAll(ps::SOCKET s, std::string_view bytes) {
    while (!bytes.empty()) {
        int n = ps::send(s, bytes.data(), int(bytes.size()), 0);
        if (n <= 0) return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

// Reads until the peer closes (or an error) or `limit` bytes are in.
inline std::string RecvUpTo(ps::SOCKET s, std::size_t limit) {
    std::string out;
    char buf[4096];
    while (out.size() < limit) {
        int n = ps::recv(s, buf, int(std::min<std::size_t>(sizeof buf, limit - out.size())), 0);
        if (n <= 0) break;
        out.append(buf, std::size_t(n));
    }
    return out;
}

// Accepts one connection and runs the script with it on a server thread; the connection
// is closed after the script (unless the script closed it and returned kInvalidSocket).
//
// Teardown is bounded: a failed check can leave the script blocked in accept or recv while
// the client is still open. After `grace` (shorter once the test has failed) the listener
// and the connection are shut down, which wakes a blocked call on POSIX; where that is not
// enough (Windows wakes a blocked call only when its handle is closed) they are closed too.
// A thread that still does not end stops the program rather than hang it.
class Server {
public:
    using Script = std::function<ps::SOCKET(ps::SOCKET conn)>;
    explicit Server(Script script, std::chrono::milliseconds grace = 10s) : grace_(grace) {
        thread_ = std::thread([this, script = std::move(script)] {
            const ps::SOCKET conn = listener_.Accept();
            if (conn != ps::kInvalidSocket) conn_ = conn;
            if (conn == ps::kInvalidSocket || unblocked_) {
                // Woken by the teardown: there is no client to run the script with.
                if (conn != ps::kInvalidSocket && conn_.exchange(ps::kInvalidSocket) == conn) ps::closesocket(conn);
                done_.Set();
                return;
            }
            const ps::SOCKET left = script(conn);
            // Whoever takes the handle out of conn_ closes it, so it is closed once.
            const ps::SOCKET owned = conn_.exchange(ps::kInvalidSocket);
            if (left != ps::kInvalidSocket && owned == left) ps::closesocket(left);
            done_.Set();
        });
    }
    ~Server() {
        const auto grace = ::testing::Test::HasFailure() ? std::min(grace_, std::chrono::milliseconds(1s)) : grace_;
        if (!done_.Wait(grace)) {
            unblocked_ = true;
            listener_.ShutDown();
            if (ps::SOCKET conn = conn_; conn != ps::kInvalidSocket) ps::shutdown(conn, 2);
            if (!done_.Wait(2s)) {
                listener_.Close();
                if (ps::SOCKET conn = conn_.exchange(ps::kInvalidSocket); conn != ps::kInvalidSocket)
                    ps::closesocket(conn);
                if (!done_.Wait(10s)) {
                    std::fprintf(stderr, "test server thread is still blocked after its sockets were closed\n");
                    std::fflush(stderr);
                    std::abort();
                }
            }
        }
        if (thread_.joinable()) thread_.join();
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::uint16_t Port() const { return listener_.Port(); }
    bool WaitDone(std::chrono::milliseconds limit = 10s) { return done_.Wait(limit); }

private:
    Listener listener_;
    Signal done_;
    std::chrono::milliseconds grace_;
    std::atomic<bool> unblocked_{false};
    std::atomic<ps::SOCKET> conn_{ps::kInvalidSocket};
    std::thread thread_;
};

// The script of a server that sends its reply and closes the connection in order.
inline Server::Script SendAndClose(std::string reply) {
    return [reply = std::move(reply)](ps::SOCKET conn) {
        SendAll(conn, reply);
        return conn;
    };
}

// The script of a server that sends its reply and then waits for the client to close.
inline Server::Script SendAndWaitForClose(std::string reply = "") {
    return [reply = std::move(reply)](ps::SOCKET conn) {
        SendAll(conn, reply);
        RecvUpTo(conn, 1);
        return conn;
    };
}

// The script of a server that sends `first`, then `second` once `go` is set, and then
// waits for the client to close.
inline Server::Script SendInTwoParts(std::string first, Signal& go, std::string second) {
    return [first = std::move(first), &go, second = std::move(second)](ps::SOCKET conn) {
        SendAll(conn, first);
        go.Wait();
        SendAll(conn, second);
        RecvUpTo(conn, 1);
        return conn;
    };
}

// A server that accepts one connection and holds it open without a word until released,
// at the latest when it goes.
class HeldServer {
public:
    HeldServer()
        : server_([this](ps::SOCKET conn) {
              accepted_.Set();
              release_.Wait();
              return conn;
          }) {}
    ~HeldServer() { Release(); }

    std::uint16_t Port() const { return server_.Port(); }
    void Release() { release_.Set(); }
    // The client's connect can complete before the server thread accepts; a test that
    // checks handle numbers waits for the accept, which takes a number of its own.
    bool WaitAccepted(std::chrono::milliseconds limit = 10s) { return accepted_.Wait(limit); }

private:
    Signal accepted_;
    Signal release_;
    Server server_;
};

// Resets the connection instead of closing it in order.
inline void Reset(ps::SOCKET s) {
    ps::Linger linger{1, 0};
    ps::setsockopt(s, ps::kSolSocket, ps::kSoLinger, &linger, sizeof linger);
    ps::closesocket(s);
}

// Dispatches the calling thread's messages until done() holds, at most `limit` long.
// A watchdog thread posts a thread message at the deadline, so nothing sleeps.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    static std::atomic<std::uintptr_t> serial{1};
    constexpr std::uint32_t kDeadline = platform::kWmUser + 0x3F0;
    platform::EnsureMessageQueue();
    if (done()) return true;
    const platform::ThreadId self = platform::CurrentThreadId();
    const std::uintptr_t token = serial.fetch_add(1);
    Signal finished;
    std::thread watchdog([&] {
        if (!finished.Wait(limit)) platform::PostThreadMessage(self, kDeadline, token, 0);
    });
    bool ok = false;
    platform::Message msg;
    while (platform::GetMessage(msg)) {
        if (msg.window == 0 && msg.message == kDeadline) {
            if (msg.wParam == token) break;
            continue;  // left over from an earlier pump
        }
        platform::DispatchMessage(msg);
        if (done()) {
            ok = true;
            break;
        }
    }
    finished.Set();
    watchdog.join();
    return ok;
}

// Dispatches what is already waiting (including readiness the loop finds at once); what
// `take` returns true for is taken instead.
inline void PumpPending(const std::function<bool(const platform::Message&)>& take = {}) {
    platform::Message msg;
    for (int idle = 0; idle < 3;) {
        if (platform::PeekMessage(msg, true)) {
            idle = 0;
            if (!(take && take(msg)) && msg.window != 0) platform::DispatchMessage(msg);
        } else {
            ++idle;
        }
    }
}

}  // namespace testsupport
