#pragma once
// The socket calls of Windows Sockets 1.1 that the socket layer uses, with Windows
// numbers everywhere: option levels and names, event bits and error codes (native POSIX
// error numbers are mapped onto the Windows Sockets numbers). On Windows the calls go to
// entry points loaded at run time from wsock32.dll; on POSIX there is nothing to load.
//
// Threading contract: every call may be made from any thread. Notifications requested
// with WSAAsyncSelect are posted to the given window and so handled on its owning thread.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/messages.h"

namespace platform::net {

using SOCKET = std::uintptr_t;
constexpr SOCKET kInvalidSocket = ~SOCKET(0);
constexpr int kSocketError = -1;

// Address family, types and protocols (Windows values).
constexpr int kAfInet = 2;
constexpr int kSockStream = 1, kSockDgram = 2, kSockRaw = 3;
constexpr int kIpProtoTcp = 6, kIpProtoUdp = 17;

// Option levels and names (Windows values).
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoReuseAddr = 0x0004, kSoKeepAlive = 0x0008, kSoLinger = 0x0080;
constexpr int kSoSndBuf = 0x1001, kSoRcvBuf = 0x1002;
constexpr int kTcpNoDelay = 0x0001;  // at level kIpProtoTcp

// Event bits of WSAAsyncSelect and of the notices (low 16 bits of lParam; error in the high 16).
constexpr std::uint32_t kFdRead = 0x01, kFdWrite = 0x02, kFdOob = 0x04, kFdAccept = 0x08, kFdConnect = 0x10,
                        kFdClose = 0x20;

// IPv4 socket address; port and address in network byte order.
struct SockAddrIn {
    std::uint16_t family = kAfInet;
    std::uint16_t port = 0;
    std::uint32_t addr = 0;
};

struct Linger {
    std::uint16_t onoff = 0;
    std::uint16_t seconds = 0;
};

// Socket library loading (LoadLibraryW, GetProcAddress, FreeLibrary). Return 0 or the
// system error code. On POSIX loading always succeeds and every entry point exists.
std::uint32_t LoadSocketLibrary(const std::u16string& dllName);
bool IsSocketLibraryLoaded(const std::u16string& dllName);
std::uint32_t FindEntryPoint(const std::u16string& dllName, const char* procName);  // 0 when found
void UnloadSocketLibrary(const std::u16string& dllName);

int WSAStartup(std::uint16_t version);  // 0 or an error number
int WSACleanup();

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int connect(SOCKET s, const SockAddrIn& to);
int bind(SOCKET s, const SockAddrIn& local);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SockAddrIn* from);
int getsockname(SOCKET s, SockAddrIn& local);
int send(SOCKET s, const void* data, int len, int flags);
int recv(SOCKET s, void* data, int len, int flags);
int shutdown(SOCKET s, int how);
int ioctlsocketFionread(SOCKET s, std::uint32_t& pending);  // ioctlsocket(FIONREAD)
int setsockopt(SOCKET s, int level, int name, const void* value, int len);
int getsockopt(SOCKET s, int level, int name, void* value, int* len);
// Requests notices for the events in mask as `message` (wParam = the socket,
// lParam = events | error << 16) posted to `window`, and makes the socket non-blocking;
// mask 0 stops them. Re-enabling follows Windows: a read notice again only after a
// receive, a write notice after connect and after a send that met 10035 once the socket
// can take data again, one connect notice with 0 or the error, one close notice after the
// peer reset (with the error) or closed in order (with 0, only once no byte is left to
// read: bytes pending then hold it back until a receive has taken the last of them).
// A closed socket's handle may be given to the next socket at once, so a notice already
// queued for it can carry the handle of a newer socket.
int WSAAsyncSelect(SOCKET s, WindowHandle window, std::uint32_t message, std::uint32_t mask);

std::uint32_t inet_addr(const char* dotted);  // network order; all ones when invalid
// Blocking host-name lookup on the calling thread: IPv4 addresses in network order.
// On failure returns false and sets the last error (11001 not found, 11002 try again).
bool gethostbyname(const std::string& name, std::vector<std::uint32_t>& addrs);
bool getservbyname(const std::string& name, const std::string& proto, std::uint16_t& portNetOrder);
bool getprotobyname(const std::string& name, int& protocol);
std::uint16_t htons(std::uint16_t v);
std::uint16_t ntohs(std::uint16_t v);

int WSAGetLastError();
void WSASetLastError(int code);

// Tests replace the name lookup (the machines that run them have no name server). The
// function returns 0 and fills addrs, or returns the error code. Empty restores the real one.
using HostLookup = std::function<int(const std::string& name, std::vector<std::uint32_t>& addrs)>;
void SetHostLookupForTesting(HostLookup lookup);

}  // namespace platform::net
