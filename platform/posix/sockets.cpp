// POSIX implementation of the plain socket calls of platform/sockets.h: creating, binding,
// connecting, sending, receiving, options and closing, on the handles of the socket table
// (platform/posix/socket_table.h). Native error numbers are mapped onto the Windows
// Sockets numbers; option levels and names arrive in Windows numbering. Each call that
// can re-enable a notice (connect, accept, send, recv) brings the owner's watch in line
// (platform/posix/socket_notices.cpp).
#include "platform/sockets.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/error_codes.h"
#include "platform/posix/errors.h"
#include "platform/posix/loop_internal.h"
#include "platform/posix/socket_table.h"

namespace platform::net {
namespace {

using namespace impl;

// Windows option level/name onto the native pair; false when unknown.
bool MapOption(int level, int name, int& nativeLevel, int& nativeName) {
    if (level == kSolSocket) {
        nativeLevel = SOL_SOCKET;
        switch (name) {
        case kSoReuseAddr: nativeName = SO_REUSEADDR; return true;
        case kSoKeepAlive: nativeName = SO_KEEPALIVE; return true;
        case kSoLinger: nativeName = SO_LINGER; return true;
        case kSoSndBuf: nativeName = SO_SNDBUF; return true;
        case kSoRcvBuf: nativeName = SO_RCVBUF; return true;
        case 0x0020: nativeName = SO_BROADCAST; return true;
        case 0x1007: nativeName = SO_ERROR; return true;
        case 0x1008: nativeName = SO_TYPE; return true;
        default: return false;
        }
    }
    if (level == kIpProtoTcp) {
        nativeLevel = IPPROTO_TCP;
        switch (name) {
        case kTcpNoDelay: nativeName = TCP_NODELAY; return true;
        case 3: nativeName = TCP_KEEPIDLE; return true;  // TCP_KEEPALIVE on Windows, seconds
        case 16: nativeName = TCP_KEEPCNT; return true;
        case 17: nativeName = TCP_KEEPINTVL; return true;
        default: return false;
        }
    }
    return false;
}

}  // namespace

SOCKET socket(int af, int type, int protocol) {
    if (af != kAfInet) {
        WSASetLastError(kWsaEAfNoSupport);
        return kInvalidSocket;
    }
    int nativeType;
    switch (type) {
    case kSockStream: nativeType = SOCK_STREAM; break;
    case kSockDgram: nativeType = SOCK_DGRAM; break;
    case kSockRaw: nativeType = SOCK_RAW; break;
    default: WSASetLastError(kWsaESocktNoSupport); return kInvalidSocket;
    }
    Table& table = TheTable();
    {
        std::lock_guard lock(table.mutex);
        if (table.startups == 0) {
            WSASetLastError(kWsaNotInitialised);
            return kInvalidSocket;
        }
    }
    int fd = ::socket(AF_INET, nativeType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        WSASetLastError(posix::ErrnoToSocketError(errno));
        return kInvalidSocket;
    }
    std::lock_guard lock(table.mutex);
    SOCKET id = LowestFreeId(table);
    Entry entry;
    entry.fd = fd;
    table.sockets.emplace(id, entry);
    return id;
}

int closesocket(SOCKET s) {
    Table& table = TheTable();
    Entry entry;
    {
        std::unique_lock lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        entry = *e;
        table.sockets.erase(s);
        // A removal of its watch that another call started outside the lock (the loop's
        // own callback, a receive on another thread) may still be on its way: it must
        // find this descriptor, not a new socket that got its number.
        table.unwatched.wait(lock, [&] { return table.unwatching.count(entry.fd) == 0; });
    }
    // The id is gone, so a callback that starts now finds nothing; UnwatchFd waits for one
    // that is running. Only then is the descriptor closed, so its number cannot be reused
    // while the loop still watches it.
    if (entry.watched) posix::UnwatchFd(entry.owner, entry.fd);
    // With linger {on, 0} the kernel resets the connection here, as Windows does.
    if (::close(entry.fd) != 0 && errno != EINTR) return Fail(posix::ErrnoToSocketError(errno));
    return 0;
}

int connect(SOCKET s, const SockAddrIn& to) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = to.port;
    native.sin_addr.s_addr = to.addr;
    int fd;
    bool async;
    {
        Table& table = TheTable();
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        fd = e->fd;
        async = e->selected;
    }
    if (to.family != kAfInet) return Fail(kWsaEAfNoSupport);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native);
    int err = rc == 0 ? 0 : errno;
    if (!async) {
        if (rc == 0) {
            std::lock_guard lock(TheTable().mutex);
            Entry* e = FindEntry(TheTable(), s);
            if (e != nullptr) e->phase = Phase::Connected;
            return 0;
        }
        return Fail(posix::ErrnoToSocketError(err));
    }
    // Asynchronous: the outcome always arrives as a connect notice, as on Windows. A
    // failure the kernel reports at once (a refusal on the loopback) takes the same road.
    const bool inProgress = rc == 0 || err == EINPROGRESS || err == EAGAIN;
    const bool connectionFailure =
        err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT || err == ECONNRESET;
    if (!inProgress && !connectionFailure) return Fail(posix::ErrnoToSocketError(err));
    Table& table = TheTable();
    PendingUnwatch unwatch;
    {
        std::lock_guard lock(table.mutex);
        Entry* found = FindEntry(table, s);
        if (found == nullptr) return Fail(kWsaENotSock);
        Entry& e = *found;
        if (inProgress) {
            e.phase = Phase::Connecting;
        } else {
            e.phase = Phase::Failed;
            Notify(e, s, kFdConnect, posix::ErrnoToSocketError(err));
        }
        unwatch = SyncWatch(s, e);
    }
    unwatch.Run();
    return Fail(kWsaEWouldBlock);
}

int bind(SOCKET s, const SockAddrIn& local) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = local.port;
    native.sin_addr.s_addr = local.addr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0)
        return Fail(posix::ErrnoToSocketError(errno));
    return 0;
}

int listen(SOCKET s, int backlog) {
    Table& table = TheTable();
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    if (::listen(fd, backlog) != 0) return Fail(posix::ErrnoToSocketError(errno));
    PendingUnwatch unwatch;
    {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        e->phase = Phase::Listening;
        unwatch = SyncWatch(s, *e);
    }
    unwatch.Run();
    return 0;
}

SOCKET accept(SOCKET s, SockAddrIn* from) {
    Table& table = TheTable();
    int fd;
    if (!FindFd(s, fd)) return kInvalidSocket;
    sockaddr_in native{};
    socklen_t len = sizeof native;
    int conn = ::accept4(fd, reinterpret_cast<sockaddr*>(&native), &len, SOCK_CLOEXEC);
    int err = errno;
    // Any accept call asks for the next accept notice.
    RearmNotice(s, &Entry::acceptArmed);
    std::lock_guard lock(table.mutex);
    if (conn < 0) {
        WSASetLastError(posix::ErrnoToSocketError(err));
        return kInvalidSocket;
    }
    if (from) {
        from->family = kAfInet;
        from->port = native.sin_port;
        from->addr = native.sin_addr.s_addr;
    }
    SOCKET id = LowestFreeId(table);
    Entry entry;
    entry.fd = conn;
    entry.phase = Phase::Connected;
    table.sockets.emplace(id, entry);
    return id;
}

int getsockname(SOCKET s, SockAddrIn& local) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    sockaddr_in native{};
    socklen_t len = sizeof native;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&native), &len) != 0)
        return Fail(posix::ErrnoToSocketError(errno));
    local.family = kAfInet;
    local.port = native.sin_port;
    local.addr = native.sin_addr.s_addr;
    return 0;
}

int send(SOCKET s, const void* data, int len, int flags) {
    Table& table = TheTable();
    int fd;
    bool shut;
    {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        fd = e->fd;
        shut = e->sendShut;
    }
    if (len < 0) return Fail(kWsaEInval);
    int native = MSG_NOSIGNAL | ((flags & 1) ? MSG_OOB : 0);
    ssize_t n = ::send(fd, data, std::size_t(len), native);
    int err = n < 0 ? errno : 0;
    // Only a send refused with 10035 asks for a write notice once the socket can take
    // data again, as on Windows. A send that took part of the bytes asks for none: the
    // sender goes on sending until one is refused (Windows and Wine take part of a
    // buffer too, and then no notice comes).
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
        RearmNotice(s, &Entry::writeArmed);
    }
    if (n < 0) {
        // EPIPE: after our own shutdown of sending it is 10058 as on Windows; otherwise
        // the peer has gone, which Windows reports as a reset (10054).
        if (err == EPIPE) return Fail(shut ? kWsaEShutdown : kWsaEConnReset);
        return Fail(posix::ErrnoToSocketError(err));
    }
    return int(n);
}

int recv(SOCKET s, void* data, int len, int flags) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    if (len < 0) return Fail(kWsaEInval);
    ssize_t n = ::recv(fd, data, std::size_t(len), (flags & 1) ? MSG_OOB : 0);
    int err = n < 0 ? errno : 0;
    // Every receive asks for the next read notice; a level-triggered watch then posts it
    // at once if bytes are still pending. The one that takes the last byte after the
    // peer's end posts the close notice.
    ReceiveDone(s);
    if (n < 0) return Fail(posix::ErrnoToSocketError(err));
    return int(n);
}

int shutdown(SOCKET s, int how) {
    int native;
    switch (how) {
    case 0: native = SHUT_RD; break;
    case 1: native = SHUT_WR; break;
    case 2: native = SHUT_RDWR; break;
    default: return Fail(kWsaEInval);
    }
    Table& table = TheTable();
    int fd;
    {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        fd = e->fd;
        if (how != 0) e->sendShut = true;
    }
    if (::shutdown(fd, native) != 0) return Fail(posix::ErrnoToSocketError(errno));
    return 0;
}

int ioctlsocketFionread(SOCKET s, std::uint32_t& pending) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0) return Fail(posix::ErrnoToSocketError(errno));
    pending = std::uint32_t(count < 0 ? 0 : count);
    return 0;
}

int setsockopt(SOCKET s, int level, int name, const void* value, int len) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    int nativeLevel, nativeName;
    if (!MapOption(level, name, nativeLevel, nativeName)) return Fail(kWsaENoProtoOpt);
    if (value == nullptr) return Fail(kWsaEFault);
    if (nativeLevel == SOL_SOCKET && nativeName == SO_LINGER) {
        if (len < int(sizeof(Linger))) return Fail(kWsaEFault);
        Linger windows;
        std::memcpy(&windows, value, sizeof windows);
        ::linger native{windows.onoff != 0 ? 1 : 0, windows.seconds};
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &native, sizeof native) != 0)
            return Fail(posix::ErrnoToSocketError(errno));
        return 0;
    }
    // Windows options are 4-byte integers (BOOL or count); a shorter value is read as
    // far as it goes, as Windows does for one-byte booleans.
    if (len <= 0) return Fail(kWsaEFault);
    int v = 0;
    if (len >= int(sizeof v)) {
        std::memcpy(&v, value, sizeof v);
    } else {
        v = *static_cast<const unsigned char*>(value);
    }
    if (nativeName == SO_REUSEADDR || nativeName == SO_KEEPALIVE || nativeName == TCP_NODELAY ||
        nativeName == SO_BROADCAST)
        v = v != 0 ? 1 : 0;
    if (::setsockopt(fd, nativeLevel, nativeName, &v, sizeof v) != 0) return Fail(posix::ErrnoToSocketError(errno));
    return 0;
}

int getsockopt(SOCKET s, int level, int name, void* value, int* len) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    int nativeLevel, nativeName;
    if (!MapOption(level, name, nativeLevel, nativeName)) return Fail(kWsaENoProtoOpt);
    if (value == nullptr || len == nullptr) return Fail(kWsaEFault);
    if (nativeLevel == SOL_SOCKET && nativeName == SO_LINGER) {
        if (*len < int(sizeof(Linger))) return Fail(kWsaEFault);
        ::linger native{};
        socklen_t nativeLen = sizeof native;
        if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &native, &nativeLen) != 0)
            return Fail(posix::ErrnoToSocketError(errno));
        Linger windows{std::uint16_t(native.l_onoff ? 1 : 0), std::uint16_t(native.l_linger)};
        std::memcpy(value, &windows, sizeof windows);
        *len = sizeof windows;
        return 0;
    }
    if (*len < int(sizeof(int))) return Fail(kWsaEFault);
    int v = 0;
    socklen_t nativeLen = sizeof v;
    if (::getsockopt(fd, nativeLevel, nativeName, &v, &nativeLen) != 0) return Fail(posix::ErrnoToSocketError(errno));
    if (nativeName == SO_ERROR) v = posix::ErrnoToSocketError(v);
    std::memcpy(value, &v, sizeof v);
    *len = sizeof v;
    return 0;
}

// glibc defines htons and ntohs as macros when optimising; these are the functions.
#undef htons
#undef ntohs

std::uint16_t htons(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return std::uint16_t((v >> 8) | (v << 8));
    return v;
}

std::uint16_t ntohs(std::uint16_t v) { return htons(v); }

}  // namespace platform::net
