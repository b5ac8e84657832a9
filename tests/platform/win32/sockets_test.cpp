// Windows Sockets bound at run time: loading and entry points. The notices and the calls
// themselves (inet_addr among them) have one contract on every platform
// (tests/platform/socket_notices_test.cpp).
#include <gtest/gtest.h>

#include "platform/sockets.h"

using namespace platform;
using namespace platform::net;

namespace {

const std::u16string kLibrary = u"wsock32.dll";

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
    EXPECT_EQ(htons(0x1234), 0x3412);  // the contract cannot tell a swap from none
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
