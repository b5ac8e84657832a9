// The contract of the socket calls (platform/sockets.h), run on every backend: the
// notices of WSAAsyncSelect with Windows' re-enabling rules, handles that the next socket
// takes over, error numbers in Windows numbering, options and inet_addr. The POSIX layer
// is held to what Windows does; where Windows leaves a choice (which handle value a new
// socket gets), the POSIX layer takes the strict one and only it is asserted there.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/messages.h"
#include "platform/sockets.h"
#include "support/socket_support.h"

namespace {

using namespace testsupport;

constexpr std::uint32_t kNotice = platform::kWmUser + 77;
const std::u16string kClass = u"VbxSocketNoticeTestWindow";

struct Notice {
    ps::SOCKET socket;
    std::uint32_t events;
    int error;
    platform::ThreadId thread;
};

class Recorder : public platform::WindowProcedure {
public:
    std::intptr_t WindowProc(platform::WindowHandle, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        if (message == kNotice) {
            std::uint32_t l = std::uint32_t(lParam);
            notices.push_back({ps::SOCKET(wParam), l & 0xFFFF, int(l >> 16), platform::CurrentThreadId()});
        }
        if (message == kNotice + 1) ++seenMarker;
        return 0;
    }
    int Count(std::uint32_t bit) const {
        int n = 0;
        for (const Notice& notice : notices) n += (notice.events & bit) ? 1 : 0;
        return n;
    }
    const Notice* Last(std::uint32_t bit) const {
        for (auto it = notices.rbegin(); it != notices.rend(); ++it)
            if (it->events & bit) return &*it;
        return nullptr;
    }
    std::vector<Notice> notices;
    int seenMarker = 0;  // messages kNotice + 1 the test posted itself
};

// A call's result with the last error it left, and that of a call that fails with `error`.
std::pair<int, int> Outcome(int result) { return {result, ps::WSAGetLastError()}; }
std::pair<int, int> Failed(int error) { return {ps::kSocketError, error}; }

// Sends until the socket's buffers are full and a send "would block"; the bytes sent.
std::size_t FillSendBuffers(ps::SOCKET s) {
    const std::string block(65536, 'w');
    std::size_t sent = 0;
    for (int n; (n = ps::send(s, block.data(), int(block.size()), 0)) != ps::kSocketError;) sent += std::size_t(n);
    EXPECT_EQ(ps::WSAGetLastError(), ps::kWsaEWouldBlock);
    return sent;
}

class SocketNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::EnsureMessageQueue();
        if (!platform::IsWindowClassRegistered(kClass)) platform::RegisterWindowClass(kClass);
        window = platform::CreateHiddenWindow(kClass);
        platform::SetWindowHandler(window, &recorder);
    }
    void TearDown() override {
        if (client != ps::kInvalidSocket) ps::closesocket(client);
        PumpPending();
        platform::DestroyWindow(window);
    }
    // An asynchronous client connecting to the port; connect reports 10035 at once.
    void StartClient(std::uint16_t port) {
        client = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
        ASSERT_NE(client, ps::kInvalidSocket);
        ASSERT_EQ(ps::WSAAsyncSelect(client, window, kNotice, 0x33), 0);
        ASSERT_EQ(Outcome(ps::connect(client, Loopback(port))), Failed(ps::kWsaEWouldBlock));
    }
    void CloseClient() {
        ps::closesocket(client);
        client = ps::kInvalidSocket;
    }
    bool PumpUntilCount(std::uint32_t bit, int n) {
        return PumpUntil([&] { return recorder.Count(bit) >= n; });
    }

    LayerStarted layer;
    Recorder recorder;
    platform::WindowHandle window = 0;
    ps::SOCKET client = ps::kInvalidSocket;
};

TEST_F(SocketNoticeTest, ReadNoticeComesOnceUntilTheNextReceive) {
    Signal more, sentMore;
    Server server([&](ps::SOCKET conn) {
        SendAll(conn, "0123456789");
        more.Wait();
        SendAll(conn, "abcdefghij");
        sentMore.Set();
        RecvUpTo(conn, 1);
        return conn;
    });
    StartClient(server.Port());
    ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 1));
    EXPECT_EQ(recorder.notices.front().events, ps::kFdConnect);
    EXPECT_EQ(recorder.notices.front().error, 0);
    EXPECT_EQ(recorder.Count(ps::kFdWrite), 1);  // connected: writable once

    more.Set();
    sentMore.Wait();
    PumpPending();
    EXPECT_EQ(recorder.Count(ps::kFdRead), 1);  // new bytes, but no receive yet

    char buf[32];
    EXPECT_EQ(ps::recv(client, buf, 5, 0), 5);
    // Bytes are still pending after the receive: the next read notice comes. The POSIX
    // backend queues it in the receive itself, ahead of what the thread posts after it;
    // Wine posts it from its server a moment later, so there either order is right.
    ASSERT_TRUE(platform::PostMessage(window, kNotice + 1, 0, 0));
    ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 2));
#ifndef _WIN32
    EXPECT_EQ(recorder.seenMarker, 0);
#endif
    EXPECT_EQ(ps::recv(client, buf, sizeof buf, 0), 15);
    PumpPending();
    EXPECT_EQ(recorder.Count(ps::kFdRead), 2);  // nothing pending: no notice
    EXPECT_EQ(Outcome(ps::recv(client, buf, sizeof buf, 0)), Failed(ps::kWsaEWouldBlock));
    EXPECT_EQ(recorder.Count(ps::kFdClose), 0);
    EXPECT_EQ(recorder.Count(ps::kFdConnect), 1);
    CloseClient();  // lets the server finish
}

TEST_F(SocketNoticeTest, AnOrderlyCloseIsReportedOnceTheLastPendingByteIsRead) {
    // The peer sends its reply and closes before any notice is taken. The close notice
    // comes once nothing is left to read, never while bytes wait, and only once.
    struct Row {
        const char* name;
        std::string reply;
        std::vector<int> reads;  // the receives, in bytes each
    };
    const Row rows[] = {
        {"nothing pending", "", {}},
        {"read at once", "abc", {3}},
        {"read in pieces", "abcdef", {2, 3, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        recorder.notices.clear();
        Server server(SendAndClose(row.reply));
        StartClient(server.Port());
        ASSERT_TRUE(server.WaitDone());
        if (!row.reply.empty()) {
            ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 1));
        }
        char buf[8];
        for (int n : row.reads) {
            // Bounded: lets a close notice that came too early show.
            PumpUntil([] { return false; }, 50ms);
            EXPECT_EQ(recorder.Count(ps::kFdClose), 0) << "reported while bytes were pending";
            EXPECT_EQ(ps::recv(client, buf, n, 0), n);
        }
        ASSERT_TRUE(PumpUntilCount(ps::kFdClose, 1));
        EXPECT_EQ(recorder.Last(ps::kFdClose)->error, 0);
        EXPECT_EQ(ps::recv(client, buf, sizeof buf, 0), 0);  // the orderly end
        PumpUntil([] { return false; }, 50ms);
        EXPECT_EQ(recorder.Count(ps::kFdClose), 1);
        CloseClient();
    }
}

#ifndef _WIN32
TEST_F(SocketNoticeTest, AFullQueueDelaysNoticesButLosesNone) {
    // Windows posts its notices itself and loses what a full queue refuses; the POSIX
    // layer keeps them, one per kind, and posts them in order once the loop has room.
    Server server(SendAndClose("abcdef"));  // and the orderly end behind the bytes
    StartClient(server.Port());
    ASSERT_TRUE(server.WaitDone());
    ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 1));
    PumpPending();
    int filled = 0;
    while (platform::PostMessage(window, kNotice + 1, 0, 0)) ++filled;
    EXPECT_EQ(std::size_t(filled), platform::kMaxPostedMessages);
    // Bytes left after a receive, then the last byte after the peer's end: a read and a
    // close notice, both refused for now.
    char buf[8];
    ASSERT_EQ(ps::recv(client, buf, 2, 0), 2);
    ASSERT_EQ(ps::recv(client, buf, sizeof buf, 0), 4);
    const std::size_t before = recorder.notices.size();
    ASSERT_TRUE(PumpUntilCount(ps::kFdClose, 1));
    EXPECT_EQ(recorder.seenMarker, filled);
    ASSERT_EQ(recorder.notices.size(), before + 2);
    EXPECT_EQ(recorder.notices[before].events, ps::kFdRead);
    EXPECT_EQ(recorder.notices[before + 1].events, ps::kFdClose);
    EXPECT_EQ(recorder.notices[before + 1].error, 0);
}

TEST_F(SocketNoticeTest, AReceiveThatReportsTheCloseWhileASendWaitsLetsTheSocketClose) {
    // The peer sends, ends its side and reads nothing, so the client's sends fill up and it
    // waits to write when its receive of the last byte reports the held close. That receive
    // takes the socket out of the loop, and the close must not wait for it for ever.
    Signal release;
    Server server([&](ps::SOCKET conn) {
        SendAll(conn, "abc");
        ps::shutdown(conn, 1);
        release.Wait();
        return conn;
    });
    StartClient(server.Port());
    ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 1));
    FillSendBuffers(client);
    PumpUntil([] { return false; }, 50ms);  // the peer's end is seen and held behind the bytes
    EXPECT_EQ(recorder.Count(ps::kFdClose), 0);
    char buf[8];
    ASSERT_EQ(ps::recv(client, buf, sizeof buf, 0), 3);
    ASSERT_TRUE(PumpUntilCount(ps::kFdClose, 1));
    CloseClient();
    release.Set();
}
#endif

TEST_F(SocketNoticeTest, RefusedAndResetConnectionsCarryTheirErrors) {
    {
        Listener notListening(false);
        StartClient(notListening.Port());
        ASSERT_TRUE(PumpUntilCount(ps::kFdConnect, 1));
        PumpPending();
        EXPECT_EQ(recorder.Last(ps::kFdConnect)->error, ps::kWsaEConnRefused);
        EXPECT_EQ(recorder.Count(ps::kFdClose), 0);  // a failed attempt ends with its connect notice
        EXPECT_EQ(recorder.Count(ps::kFdWrite), 0);
        ps::closesocket(client);
    }
    recorder.notices.clear();
    Server server([](ps::SOCKET conn) {
        RecvUpTo(conn, 1);
        Reset(conn);
        return ps::kInvalidSocket;
    });
    StartClient(server.Port());
    ASSERT_TRUE(PumpUntilCount(ps::kFdConnect, 1));
    ASSERT_EQ(ps::send(client, "x", 1, 0), 1);
    ASSERT_TRUE(PumpUntilCount(ps::kFdClose, 1));
#ifdef _WIN32
    // Windows reports 10054; Wine reports a reset as an orderly end.
    EXPECT_TRUE(recorder.Last(ps::kFdClose)->error == ps::kWsaEConnReset || recorder.Last(ps::kFdClose)->error == 0);
#else
    EXPECT_EQ(recorder.Last(ps::kFdClose)->error, ps::kWsaEConnReset);
#endif
    // Sending into a reset connection reports the reset, never a signal.
    int rc = ps::send(client, "y", 1, 0);
    if (rc == ps::kSocketError) {
        EXPECT_EQ(ps::WSAGetLastError(), ps::kWsaEConnReset);
    }
    CloseClient();

    // Reset before the loop has looked at the attempt at all: it connected, then closed.
    recorder.notices.clear();
    Listener listener;
    StartClient(listener.Port());
    Reset(listener.Accept());
    ASSERT_TRUE(PumpUntilCount(ps::kFdClose, 1));
    EXPECT_EQ(recorder.notices.front().events, ps::kFdConnect);
    EXPECT_EQ(recorder.notices.front().error, 0);
#ifndef _WIN32
    EXPECT_EQ(recorder.Last(ps::kFdClose)->error, ps::kWsaEConnReset);
#endif
}

TEST_F(SocketNoticeTest, WriteNoticeFollowsASendThatWouldBlock) {
    std::atomic<std::size_t> total{0};
    Signal full;
    std::size_t got = 0;
    Server server([&](ps::SOCKET conn) {
        full.Wait();
        got = RecvUpTo(conn, total).size();
        return conn;
    });
    StartClient(server.Port());
    ASSERT_TRUE(PumpUntilCount(ps::kFdWrite, 1));
    const std::size_t sent = FillSendBuffers(client);
    PumpPending();
    EXPECT_EQ(recorder.Count(ps::kFdWrite), 1);  // full: no write notice yet
    total = sent;
    full.Set();
    ASSERT_TRUE(PumpUntilCount(ps::kFdWrite, 2));
    server.WaitDone();
    EXPECT_EQ(got, sent);
}

TEST_F(SocketNoticeTest, NoticesGoToTheWindowsThreadWhateverThreadConnects) {
    Server server(SendAndClose("hi"));
    std::thread control([&] { StartClient(server.Port()); });
    control.join();
    ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 1));
    // A receive on another thread releases the close notice, still to the window's thread.
    std::thread([&] {
        char buf[4];
        EXPECT_EQ(ps::recv(client, buf, sizeof buf, 0), 2);
    }).join();
    ASSERT_TRUE(PumpUntilCount(ps::kFdClose, 1));
    for (const Notice& notice : recorder.notices) {
        EXPECT_EQ(notice.thread, platform::CurrentThreadId());
        EXPECT_EQ(notice.socket, client);
    }
}

TEST_F(SocketNoticeTest, AClosedHandleGetsNoMoreNoticesAndGoesToTheNextSocket) {
    Server server([](ps::SOCKET conn) {
        RecvUpTo(conn, 1);
        SendAll(conn, "late");
        return conn;
    });
    StartClient(server.Port());
    ASSERT_TRUE(PumpUntilCount(ps::kFdConnect, 1));
    const ps::SOCKET old = client;
    ASSERT_EQ(ps::send(client, "x", 1, 0), 1);
    ASSERT_EQ(ps::closesocket(client), 0);
    client = ps::kInvalidSocket;
    server.WaitDone();
    PumpPending();
    const std::size_t seen = recorder.notices.size();
    PumpPending();
    EXPECT_EQ(recorder.notices.size(), seen);

    char buf[4];
    std::uint32_t pending;
    EXPECT_EQ(Outcome(ps::recv(old, buf, 4, 0)), Failed(ps::kWsaENotSock));
    EXPECT_EQ(Outcome(ps::send(old, buf, 4, 0)), Failed(ps::kWsaENotSock));
    EXPECT_EQ(Outcome(ps::ioctlsocketFionread(ps::kInvalidSocket, pending)), Failed(ps::kWsaENotSock));
    EXPECT_EQ(Outcome(ps::closesocket(old)), Failed(ps::kWsaENotSock));

    // Windows gives a closed socket's handle to a later socket; the POSIX layer always
    // gives the lowest free one, so a closed handle comes back at once. Code that takes a
    // notice's handle for proof of its connection therefore fails on Linux as well.
    for (int i = 0; i < 20; ++i) {
        const ps::SOCKET s = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
        ASSERT_NE(s, ps::kInvalidSocket);
        const ps::SOCKET t = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
        ASSERT_NE(t, ps::kInvalidSocket);
        EXPECT_NE(s, t);
        ps::closesocket(s);
        const ps::SOCKET again = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
#ifndef _WIN32
        EXPECT_EQ(again, s) << "round " << i;
        if (i == 0) {
            EXPECT_EQ(s, old);
        }
#endif
        ps::closesocket(again);
        ps::closesocket(t);
    }
}

TEST_F(SocketNoticeTest, AcceptedConnectionsAndAMaskOfZero) {
    Listener listener;
    StartClient(listener.Port());
    ps::SockAddrIn from;
    ps::SOCKET server = ps::kInvalidSocket;
    std::thread([&] { server = listener.Accept(); }).join();
    ASSERT_NE(server, ps::kInvalidSocket);
    ASSERT_TRUE(PumpUntilCount(ps::kFdWrite, 1));
    ASSERT_EQ(ps::getsockname(server, from), 0);
    EXPECT_EQ(from.addr, ps::inet_addr("127.0.0.1"));
    char buffer[64];
    const std::string frame{'\x01', '1', '2', '\x02', 'a', 'b', 'c', '\x04'};
    ASSERT_TRUE(SendAll(server, frame));
    ASSERT_TRUE(PumpUntilCount(ps::kFdRead, 1));
    std::uint32_t pending = 0;
    ASSERT_EQ(ps::ioctlsocketFionread(client, pending), 0);
    EXPECT_EQ(pending, 8u);
    ASSERT_EQ(ps::recv(client, buffer, sizeof buffer, 0), 8);
    EXPECT_EQ(std::string(buffer, 8), frame);
    EXPECT_EQ(ps::send(client, "ok", 2, 0), 2);
    EXPECT_EQ(RecvUpTo(server, 2), "ok");

    // Mask 0 stops the notices: the peer's close is not reported.
    ASSERT_EQ(ps::WSAAsyncSelect(client, window, 0, 0), 0);
    ASSERT_EQ(ps::closesocket(server), 0);
    const std::size_t before = recorder.notices.size();
    EXPECT_EQ(RecvUpTo(client, 1), "");  // the orderly end, read without a notice
    PumpPending();
    EXPECT_EQ(recorder.notices.size(), before);
    EXPECT_EQ(ps::shutdown(client, 1), 0);
}

// Failures as on Windows: SOCKET_ERROR with the reason in Windows numbering in
// WSAGetLastError, and a call that succeeds returns 0; options in Windows numbering.
TEST(SocketCalls, FailuresAndOptionsUseWindowsNumbers) {
    LayerStarted layer;
    Listener notListening(false);
    const ps::SOCKET s = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
    const ps::SOCKET t = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
    char c;
    ps::SockAddrIn local{};
    const int on = -1;
    const struct {
        const char* call;
        std::pair<int, int> got;  // the rows are made in order
        int error;
    } rows[] = {
        {"recv before a connection", Outcome(ps::recv(s, &c, 1, 0)), ps::kWsaENotConn},
        {"connect to no listener", Outcome(ps::connect(s, Loopback(notListening.Port()))), ps::kWsaEConnRefused},
        {"bind to a port in use", Outcome(ps::bind(t, Loopback(notListening.Port()))), 10048},
        {"setsockopt of an unknown option", Outcome(ps::setsockopt(t, ps::kSolSocket, 0x7777, &on, sizeof on)), 10042},
        {"getsockname of no socket", Outcome(ps::getsockname(s + 1000, local)), ps::kWsaENotSock},
        {"shutdown how 3", Outcome(ps::shutdown(s, 3)), ps::kWsaEInval},
        {"setsockopt of no bytes", Outcome(ps::setsockopt(s, ps::kSolSocket, ps::kSoKeepAlive, &on, 0)),
         ps::kWsaEFault},
    };
    for (const auto& row : rows) EXPECT_EQ(row.got, Failed(row.error)) << row.call;
    EXPECT_EQ(ps::socket(ps::kAfInet, 9, 0), ps::kInvalidSocket);
    EXPECT_EQ(ps::WSAGetLastError(), 10044);
    EXPECT_EQ(ps::WSAStartup(0x0100), 10092);  // major version 0
    EXPECT_EQ(ps::bind(t, Loopback(0)), 0) << "a bind that succeeds says so";

    ps::Linger linger{1, 0}, back{};
    int len = sizeof back;
    EXPECT_EQ(ps::setsockopt(t, ps::kSolSocket, ps::kSoLinger, &linger, sizeof linger), 0);
    EXPECT_EQ(ps::getsockopt(t, ps::kSolSocket, ps::kSoLinger, &back, &len), 0);
    EXPECT_EQ((std::pair<int, int>(back.onoff, back.seconds)), std::pair(1, 0));
    EXPECT_EQ(ps::setsockopt(t, ps::kIpProtoTcp, ps::kTcpNoDelay, &on, sizeof on), 0);
    int value = 0;
    len = sizeof value;
    EXPECT_EQ(ps::getsockopt(t, ps::kIpProtoTcp, ps::kTcpNoDelay, &value, &len), 0);
    EXPECT_EQ(value, 1);
    len = sizeof value;
    EXPECT_EQ(ps::getsockopt(t, ps::kSolSocket, ps::kSoSndBuf, &value, &len), 0);
    EXPECT_GT(value, 0);
    ps::closesocket(s);
    ps::closesocket(t);
}

TEST(SocketCalls, InetAddrReadsTheDottedFormsAsWindowsDoes) {
    auto bytes = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return a | (b << 8) | (c << 16) | (d << 24);  // network order in memory
    };
    EXPECT_EQ(ps::inet_addr("1.2.3.4"), bytes(1, 2, 3, 4));
    EXPECT_EQ(ps::inet_addr("10.0.0.1  "), bytes(10, 0, 0, 1));  // a blank ends the text
    EXPECT_EQ(ps::inet_addr("10.0.0.1 and more"), bytes(10, 0, 0, 1));
    EXPECT_EQ(ps::inet_addr("010.0.0.1"), bytes(8, 0, 0, 1));     // octal part
    EXPECT_EQ(ps::inet_addr("0x7f.0.0.1"), bytes(127, 0, 0, 1));  // hexadecimal part
    EXPECT_EQ(ps::inet_addr("127.1"), bytes(127, 0, 0, 1));       // last part fills the rest
    EXPECT_EQ(ps::inet_addr("255.255.255.255"), 0xFFFFFFFFu);
    for (const char* bad :
         {"1.2.3.256", "1.2.3.4a", "08.1.1.1", "1.2.3.4.5", "", "a.b.c.d", "1..2.3", " 10.0.0.1", "\t10.0.0.1"})
        EXPECT_EQ(ps::inet_addr(bad), 0xFFFFFFFFu) << bad;
    EXPECT_EQ(ps::htons(0x1234), ps::ntohs(0x1234));
    EXPECT_EQ(ps::ntohs(ps::htons(4001)), 4001);
}

TEST(SocketCalls, HostLookupCanBeReplacedAndReportsItsErrors) {
    LayerStarted layer;
    ps::SetHostLookupForTesting([](const std::string& name, std::vector<std::uint32_t>& addrs) {
        if (name != "collector.test") return int(ps::kWsaHostNotFound);
        addrs = {0x0100007F, 0x0200007F};
        return 0;
    });
    std::vector<std::uint32_t> addrs;
    ASSERT_TRUE(ps::gethostbyname("collector.test", addrs));
    EXPECT_EQ(addrs, (std::vector<std::uint32_t>{0x0100007F, 0x0200007F}));
    EXPECT_FALSE(ps::gethostbyname("elsewhere.test", addrs));
    EXPECT_TRUE(addrs.empty());
    EXPECT_EQ(ps::WSAGetLastError(), ps::kWsaHostNotFound);
    ps::SetHostLookupForTesting({});
    // The real lookup knows the local machine's own name for the loopback address.
    if (ps::gethostbyname("localhost", addrs)) {
        ASSERT_FALSE(addrs.empty());
        EXPECT_EQ(addrs.front(), ps::inet_addr("127.0.0.1"));
    }
    // A lookup's result holds only its own addresses, whatever the vector held before.
    addrs = {7};
    ASSERT_TRUE(ps::gethostbyname("127.0.0.1", addrs));
    EXPECT_EQ(std::vector<std::uint32_t>{ps::inet_addr("127.0.0.1")}, addrs);
}

#ifndef _WIN32
// A loaded library counts under its name in any case, and only under its name.
TEST(SocketCalls, ALoadedLibraryIsKnownByItsNameInAnyCase) {
    ASSERT_EQ(0u, ps::LoadSocketLibrary(u"VBxTest.dll"));
    EXPECT_TRUE(ps::IsSocketLibraryLoaded(u"vbxtest.DLL"));
    EXPECT_FALSE(ps::IsSocketLibraryLoaded(u"vbxother.dll"));
    EXPECT_EQ(126u, ps::FindEntryPoint(u"vbxother.dll", "socket"));
    ps::UnloadSocketLibrary(u"VBXTEST.dll");
    EXPECT_FALSE(ps::IsSocketLibraryLoaded(u"vbxtest.dll"));
}
#endif

}  // namespace
