// Bad input to the POSIX socket calls fails as the calls fail on Windows: SOCKET_ERROR,
// with the reason in WSAGetLastError; a call that succeeds returns 0.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/socket_support.h"

namespace {

using namespace testsupport;

TEST(SocketCalls, BadInputFailsWithTheReason) {
    LayerStarted layer;
    const ps::SOCKET s = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
    ps::SockAddrIn local{};
    const int on = 1;
    // A call's result with the last error it left (the rows are made in order).
    const auto made = [](int result) { return std::pair{result, ps::WSAGetLastError()}; };
    const struct {
        const char* call;
        std::pair<int, int> got;
        int error;
    } rows[] = {
        {"getsockname of no socket", made(ps::getsockname(s + 1000, local)), ps::kWsaENotSock},
        {"shutdown how 3", made(ps::shutdown(s, 3)), ps::kWsaEInval},
        {"setsockopt of no bytes", made(ps::setsockopt(s, ps::kSolSocket, ps::kSoKeepAlive, &on, 0)), ps::kWsaEFault},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(std::pair(ps::kSocketError, row.error), row.got) << row.call;
    }
    EXPECT_EQ(0, ps::bind(s, Loopback(0))) << "a bind that succeeds says so";
    ps::closesocket(s);
}

// A loaded library counts under its name in any case, and only under its name.
TEST(SocketCalls, ALoadedLibraryIsKnownByItsNameInAnyCase) {
    ASSERT_EQ(0u, ps::LoadSocketLibrary(u"VBxTest.dll"));
    EXPECT_TRUE(ps::IsSocketLibraryLoaded(u"vbxtest.DLL"));
    EXPECT_FALSE(ps::IsSocketLibraryLoaded(u"vbxother.dll"));
    EXPECT_EQ(126u, ps::FindEntryPoint(u"vbxother.dll", "socket"));
    ps::UnloadSocketLibrary(u"VBXTEST.dll");
    EXPECT_FALSE(ps::IsSocketLibraryLoaded(u"vbxtest.dll"));
}

// A lookup's result holds only its own addresses, whatever the vector held before.
TEST(SocketCalls, ALookupGivesOnlyItsOwnAddresses) {
    std::vector<std::uint32_t> addrs{7};
    ASSERT_TRUE(ps::gethostbyname("127.0.0.1", addrs));
    EXPECT_EQ(std::vector<std::uint32_t>{ps::inet_addr("127.0.0.1")}, addrs);
}

}  // namespace
