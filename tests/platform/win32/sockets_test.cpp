// Windows Sockets bound at run time: loading and entry points, and the asynchronous
// notices of WSAAsyncSelect delivered to a hidden window of the calling thread.
#include <gtest/gtest.h>

#include <thread>

#include "platform/sockets.h"
#include "support/win32_support.h"

using namespace platform;
using namespace platform::net;
using win32_tests::RecordingWindow;

namespace {

const std::u16string kLibrary = u"wsock32.dll";
constexpr std::uint32_t kNotice = kWmUser + 2;  // the socket's first select message, 1026
constexpr std::uint32_t kAllEvents = kFdRead | kFdWrite | kFdConnect | kFdClose;  // 0x33

// 127.0.0.1 in network order, as a little-endian machine holds it.
std::uint32_t Loopback() { return 0x0100007F; }

// A started socket library for one test, stopped and unloaded at its end.
class Win32Sockets : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadSocketLibrary(kLibrary), 0u);
        ASSERT_EQ(WSAStartup(0x0101), 0);
    }
    void TearDown() override {
        WSACleanup();
        UnloadSocketLibrary(kLibrary);
    }

    // A blocking listener on 127.0.0.1 with a port of the system's choice.
    SOCKET Listen(std::uint16_t& portNetOrder) {
        const SOCKET s = socket(kAfInet, kSockStream, kIpProtoTcp);
        EXPECT_NE(s, kInvalidSocket);
        SockAddrIn local;
        local.addr = Loopback();
        EXPECT_EQ(bind(s, local), 0);
        EXPECT_EQ(listen(s, 5), 0);
        SockAddrIn bound;
        EXPECT_EQ(getsockname(s, bound), 0);
        portNetOrder = bound.port;
        return s;
    }

    // The notices for socket s that reached the window so far, events | error << 16.
    static std::vector<std::uint32_t> Notices(const RecordingWindow& window, SOCKET s) {
        std::vector<std::uint32_t> out;
        for (const auto& m : window.received) {
            if (m.message == kNotice && m.wParam == s) out.push_back(static_cast<std::uint32_t>(m.lParam));
        }
        return out;
    }
    static bool Has(const std::vector<std::uint32_t>& notices, std::uint32_t event) {
        for (auto n : notices) {
            if (n & event) return true;
        }
        return false;
    }
};

}  // namespace

TEST(Win32SocketLibrary, LoadingFindingAndUnloading) {
    EXPECT_FALSE(IsSocketLibraryLoaded(kLibrary));
    // The calls reach the library whether or not it was loaded, but need the start-up.
    EXPECT_EQ(socket(kAfInet, kSockStream, kIpProtoTcp), kInvalidSocket);
    EXPECT_EQ(WSAGetLastError(), kWsaNotInitialised);
    EXPECT_NE(FindEntryPoint(kLibrary, "socket"), 0u);

    EXPECT_EQ(LoadSocketLibrary(u"vbx-no-such-library.dll"), 126u);
    ASSERT_EQ(LoadSocketLibrary(kLibrary), 0u);
    EXPECT_TRUE(IsSocketLibraryLoaded(u"WSOCK32.DLL"));
    EXPECT_EQ(LoadSocketLibrary(kLibrary), 0u);  // already loaded
    for (const char* name : {"WSAStartup",     "WSACleanup",     "socket",    "closesocket",     "connect",
                             "send",           "recv",           "shutdown",  "ioctlsocket",     "setsockopt",
                             "getsockopt",     "WSAAsyncSelect", "inet_addr", "gethostbyname",   "getservbyname",
                             "getprotobyname", "htons",          "ntohs",     "WSAGetLastError", "WSASetLastError"}) {
        EXPECT_EQ(FindEntryPoint(kLibrary, name), 0u) << name;
    }
    EXPECT_EQ(FindEntryPoint(kLibrary, "NoSuchEntryPoint"), 127u);

    // The second library loads on its own, beside the first.
    ASSERT_EQ(LoadSocketLibrary(u"ws2_32.dll"), 0u);
    EXPECT_EQ(FindEntryPoint(u"ws2_32.dll", "WSAIoctl"), 0u);
    UnloadSocketLibrary(u"ws2_32.dll");
    EXPECT_TRUE(IsSocketLibraryLoaded(kLibrary));

    ASSERT_EQ(WSAStartup(0x0101), 0);
    EXPECT_EQ(inet_addr("127.0.0.1"), Loopback());
    EXPECT_EQ(inet_addr("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(ntohs(htons(4001)), 4001);
    EXPECT_EQ(htons(0x1234), 0x3412);
    int proto = 0;
    if (getprotobyname("tcp", proto)) {
        EXPECT_EQ(proto, 6);
    }
    WSASetLastError(10061);
    EXPECT_EQ(WSAGetLastError(), 10061);
    EXPECT_EQ(WSACleanup(), 0);

    // The layer's unload after its clean-up: calls still find the library, not started.
    UnloadSocketLibrary(kLibrary);
    EXPECT_FALSE(IsSocketLibraryLoaded(kLibrary));
    EXPECT_EQ(socket(kAfInet, kSockStream, kIpProtoTcp), kInvalidSocket);
    EXPECT_EQ(WSAGetLastError(), kWsaNotInitialised);
    // A socket of a user that started the layer itself outlives the layer's unload.
    ASSERT_EQ(WSAStartup(0x0101), 0);
    const SOCKET own = socket(kAfInet, kSockStream, kIpProtoTcp);
    ASSERT_NE(own, kInvalidSocket);
    ASSERT_EQ(LoadSocketLibrary(kLibrary), 0u);
    UnloadSocketLibrary(kLibrary);
    EXPECT_EQ(closesocket(own), 0);
    EXPECT_EQ(WSACleanup(), 0);
    // Loading again after an unload starts afresh.
    ASSERT_EQ(LoadSocketLibrary(kLibrary), 0u);
    ASSERT_EQ(WSAStartup(0x0101), 0);
    EXPECT_EQ(WSACleanup(), 0);
    UnloadSocketLibrary(kLibrary);
}

TEST_F(Win32Sockets, NoticesReachTheWindowForConnectReadWriteAndClose) {
    RecordingWindow window;
    std::uint16_t port = 0;
    const SOCKET listener = Listen(port);

    const SOCKET client = socket(kAfInet, kSockStream, kIpProtoTcp);
    ASSERT_NE(client, kInvalidSocket);
    int sndbuf = 0;
    int len = sizeof sndbuf;
    ASSERT_EQ(getsockopt(client, kSolSocket, kSoSndBuf, &sndbuf, &len), 0);
    EXPECT_GT(sndbuf, 0);
    const Linger linger{1, 0};
    EXPECT_EQ(setsockopt(client, kSolSocket, kSoLinger, &linger, sizeof linger), 0);

    ASSERT_EQ(WSAAsyncSelect(client, window.handle(), kNotice, kAllEvents), 0);
    SockAddrIn remote;
    remote.port = port;
    remote.addr = inet_addr("127.0.0.1");
    if (connect(client, remote) != 0) {
        EXPECT_EQ(WSAGetLastError(), kWsaEWouldBlock);
    }
    ASSERT_TRUE(win32_tests::PumpUntil(window.handle(), [&] { return Has(Notices(window, client), kFdConnect); }));
    for (auto n : Notices(window, client)) {
        if (n & kFdConnect) {
            EXPECT_EQ(n >> 16, 0u);  // no error
        }
    }
    EXPECT_TRUE(win32_tests::PumpUntil(window.handle(), [&] { return Has(Notices(window, client), kFdWrite); }));

    SockAddrIn from;
    const SOCKET server = accept(listener, &from);
    ASSERT_NE(server, kInvalidSocket);
    EXPECT_EQ(from.addr, Loopback());

    // Non-blocking now: nothing pending means "would block".
    char buffer[64];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), kSocketError);
    EXPECT_EQ(WSAGetLastError(), kWsaEWouldBlock);

    ASSERT_EQ(send(server,
                   "\x01"
                   "12\x02"
                   "abc\x04",
                   8, 0),
              8);
    ASSERT_TRUE(win32_tests::PumpUntil(window.handle(), [&] { return Has(Notices(window, client), kFdRead); }));
    std::uint32_t pending = 0;
    ASSERT_EQ(ioctlsocketFionread(client, pending), 0);
    EXPECT_EQ(pending, 8u);
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 8);
    EXPECT_EQ(std::string(buffer, 8), std::string("\x01"
                                                  "12\x02"
                                                  "abc\x04",
                                                  8));
    EXPECT_EQ(send(client, "ok", 2, 0), 2);
    char reply[2];
    EXPECT_EQ(recv(server, reply, 2, 0), 2);

    // The peer closes: one close notice, without error for an orderly close.
    ASSERT_EQ(closesocket(server), 0);
    ASSERT_TRUE(win32_tests::PumpUntil(window.handle(), [&] { return Has(Notices(window, client), kFdClose); }));
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);

    // Mask 0 stops the notices; the handle is then released.
    EXPECT_EQ(WSAAsyncSelect(client, window.handle(), 0, 0), 0);
    EXPECT_EQ(shutdown(client, 1), 0);
    EXPECT_EQ(closesocket(client), 0);
    EXPECT_EQ(closesocket(client), kSocketError);
    EXPECT_EQ(WSAGetLastError(), kWsaENotSock);
    EXPECT_EQ(closesocket(listener), 0);
}

TEST_F(Win32Sockets, ARefusedConnectionIsOneConnectNoticeCarryingTheError) {
    RecordingWindow window;
    std::uint16_t port = 0;
    const SOCKET probe = Listen(port);
    ASSERT_EQ(closesocket(probe), 0);  // nobody listens on that port any more

    const SOCKET client = socket(kAfInet, kSockStream, kIpProtoTcp);
    ASSERT_NE(client, kInvalidSocket);
    ASSERT_EQ(WSAAsyncSelect(client, window.handle(), kNotice, kAllEvents), 0);
    SockAddrIn remote;
    remote.port = port;
    remote.addr = Loopback();
    if (connect(client, remote) != 0) {
        ASSERT_EQ(WSAGetLastError(), kWsaEWouldBlock);
    }
    ASSERT_TRUE(win32_tests::PumpUntil(window.handle(), [&] { return Has(Notices(window, client), kFdConnect); }));
    for (auto n : Notices(window, client)) {
        if (n & kFdConnect) {
            EXPECT_EQ(n >> 16, static_cast<std::uint32_t>(kWsaEConnRefused));
        }
    }
    EXPECT_EQ(closesocket(client), 0);
}

TEST_F(Win32Sockets, HostLookupCanBeReplacedAndReportsItsErrors) {
    SetHostLookupForTesting([](const std::string& name, std::vector<std::uint32_t>& addrs) {
        if (name != "collector.test") return kWsaHostNotFound;
        addrs = {0x0100007F, 0x0200007F};
        return 0;
    });
    std::vector<std::uint32_t> addrs;
    ASSERT_TRUE(gethostbyname("collector.test", addrs));
    EXPECT_EQ(addrs, (std::vector<std::uint32_t>{0x0100007F, 0x0200007F}));
    EXPECT_FALSE(gethostbyname("elsewhere.test", addrs));
    EXPECT_TRUE(addrs.empty());
    EXPECT_EQ(WSAGetLastError(), kWsaHostNotFound);
    SetHostLookupForTesting({});
    // The real lookup knows the local machine's own name for the loopback address.
    if (gethostbyname("localhost", addrs)) {
        ASSERT_FALSE(addrs.empty());
        EXPECT_EQ(addrs.front(), Loopback());
    }
}
