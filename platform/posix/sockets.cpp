// POSIX implementation of the Windows Sockets calls of platform/sockets.h.
//
// Socket handles are ids handed out from a counter and never reused, mapped to the native
// descriptors under one table lock, so a notice that was already queued for a closed
// socket can never be taken for a newer one. Native error numbers are mapped onto the
// Windows Sockets numbers; option levels and names arrive in Windows numbering.
//
// WSAAsyncSelect watches the descriptor on the loop of the thread that owns the target
// window (platform/posix/loop_internal.h) and turns readiness into posted notices with
// the re-enabling rules of Windows:
// - connect: one notice when the attempt ends, with 0 or the error; after success the
//   socket counts as writable once, so a write notice follows;
// - read: one notice, then none until the next recv (EPOLLIN leaves the interest);
// - write: after connect, and after a send that took less than asked or met 10035, once
//   the socket can take data again;
// - close: one notice after the peer closed or reset, also when data are still pending;
//   after it the descriptor is no longer watched.
// Lock order: the table lock is taken after any lock of the socket's callers and never
// held while waiting for a callback on the owner's thread (UnwatchFd runs outside it).
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/posix/errors.h"
#include "platform/posix/loop_internal.h"

namespace platform::net {
namespace {

thread_local int t_lastError = 0;

int Fail(int wsaError) {
    t_lastError = wsaError;
    return kSocketError;
}

enum class Phase { Fresh, Connecting, Connected, Failed, Listening };

struct Entry {
    int fd = -1;
    // Asynchronous selection.
    bool selected = false;        // WSAAsyncSelect with a non-zero mask is in force
    WindowHandle window = 0;
    std::uint32_t message = 0;
    std::uint32_t mask = 0;
    ThreadId owner = 0;
    bool watched = false;         // the descriptor is on the owner's loop
    // Connection state as far as the notices need it.
    Phase phase = Phase::Fresh;
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    bool closeReported = false;
    bool sendShut = false;        // shutdown of the sending direction was asked for
};

struct Table {
    std::mutex mutex;
    std::map<SOCKET, Entry> sockets;
    SOCKET nextId = 0x100;
    int startups = 0;
    std::set<std::u16string> loaded;
    HostLookup hostLookup;
};

// Deliberately never destroyed: sockets may be closed by threads that outlive static
// destruction, and the table is tiny.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

std::u16string LowerCase(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    return text;
}

void OnReadiness(SOCKET id, std::uint32_t events);

// Under the table lock: the epoll interest the entry needs now.
std::uint32_t Interest(const Entry& e) {
    switch (e.phase) {
    case Phase::Connecting:
        return EPOLLOUT;
    case Phase::Connected: {
        std::uint32_t interest = 0;
        if (e.readArmed && (e.mask & kFdRead)) interest |= EPOLLIN;
        if (e.writeArmed && (e.mask & kFdWrite)) interest |= EPOLLOUT;
        if (!e.closeReported) interest |= EPOLLRDHUP;
        return interest;
    }
    case Phase::Listening:
        return (e.acceptArmed && (e.mask & kFdAccept)) ? std::uint32_t(EPOLLIN) : 0u;
    default:
        return 0;
    }
}

// Under the table lock: whether the descriptor should be on the owner's loop at all. A
// fresh socket is not watched (epoll reports an unconnected stream socket as hung up),
// nor one whose attempt failed or whose close was reported (hang-ups cannot be masked).
bool WantsWatch(const Entry& e) {
    if (!e.selected) return false;
    switch (e.phase) {
    case Phase::Connecting: case Phase::Listening: return true;
    case Phase::Connected: return !e.closeReported;
    default: return false;
    }
}

// Under the table lock: brings the watch in line with the entry. Returns the owner and
// descriptor to unwatch outside the lock, or -1.
int SyncWatch(SOCKET id, Entry& e) {
    if (WantsWatch(e)) {
        std::uint32_t interest = Interest(e);
        if (e.watched) {
            if (!posix::ModifyFdWatch(e.owner, e.fd, interest)) e.watched = false;
        }
        if (!e.watched) {
            e.watched = posix::WatchFd(e.owner, e.fd, interest,
                                       [id](std::uint32_t events) { OnReadiness(id, events); });
        }
        return -1;
    }
    if (e.watched) {
        e.watched = false;
        return e.fd;
    }
    return -1;
}

void Post(const Entry& e, SOCKET id, std::uint32_t events, int error) {
    std::uint32_t lParam = (events & 0xFFFF) | (std::uint32_t(error & 0xFFFF) << 16);
    PostMessage(e.window, e.message, id, std::intptr_t(lParam));
}

int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return posix::ErrnoToSocketError(errno);
    return posix::ErrnoToSocketError(err);
}

// Runs on the owner's thread, inside its loop: turns readiness into notices.
void OnReadiness(SOCKET id, std::uint32_t events) {
    Table& table = TheTable();
    int unwatchFd = -1;
    ThreadId owner = 0;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(id);
        if (it == table.sockets.end() || !it->second.selected) return;   // closed meanwhile
        Entry& e = it->second;
        owner = e.owner;
        const bool trouble = (events & (EPOLLERR | EPOLLHUP)) != 0;
        switch (e.phase) {
        case Phase::Connecting: {
            if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) break;
            int error = SocketError(e.fd);
            if (error == 0 && !(events & EPOLLOUT)) error = kWsaEConnRefused;
            if (error == 0) {
                e.phase = Phase::Connected;
                e.readArmed = true;
                e.writeArmed = false;
                if (e.mask & kFdConnect) Post(e, id, kFdConnect, 0);
                // A freshly connected socket can take data: Windows says so once.
                if (e.mask & kFdWrite) Post(e, id, kFdWrite, 0);
            } else {
                e.phase = Phase::Failed;
                if (e.mask & kFdConnect) Post(e, id, kFdConnect, error);
            }
            break;
        }
        case Phase::Connected: {
            if ((events & EPOLLIN) && e.readArmed && (e.mask & kFdRead)) {
                int pending = 0;
                if (::ioctl(e.fd, FIONREAD, &pending) == 0 && pending > 0) {
                    e.readArmed = false;
                    Post(e, id, kFdRead, 0);
                }
            }
            if ((events & EPOLLOUT) && e.writeArmed && (e.mask & kFdWrite) && !trouble) {
                e.writeArmed = false;
                Post(e, id, kFdWrite, 0);
            }
            if ((events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) && !e.closeReported) {
                e.closeReported = true;
                int error = (events & EPOLLERR) ? SocketError(e.fd) : 0;
                if (e.mask & kFdClose) Post(e, id, kFdClose, error);
            }
            break;
        }
        case Phase::Listening:
            if ((events & EPOLLIN) && e.acceptArmed && (e.mask & kFdAccept)) {
                e.acceptArmed = false;
                Post(e, id, kFdAccept, 0);
            }
            break;
        default:
            break;
        }
        unwatchFd = SyncWatch(id, e);
    }
    // From within our own callback: it just will not run again.
    if (unwatchFd >= 0) posix::UnwatchFd(owner, unwatchFd);
}

// Looks up a socket's descriptor; sets 10038 when the handle is unknown.
bool FindFd(SOCKET s, int& fd) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    auto it = table.sockets.find(s);
    if (it == table.sockets.end()) {
        t_lastError = kWsaENotSock;
        return false;
    }
    fd = it->second.fd;
    return true;
}

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
        case 3: nativeName = TCP_KEEPIDLE; return true;     // TCP_KEEPALIVE on Windows, seconds
        case 16: nativeName = TCP_KEEPCNT; return true;
        case 17: nativeName = TCP_KEEPINTVL; return true;
        default: return false;
        }
    }
    return false;
}

}  // namespace

// ---- library loading (nothing to load on POSIX) ----------------------------------------------

std::uint32_t LoadSocketLibrary(const std::u16string& dllName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.loaded.insert(LowerCase(dllName));
    return 0;
}

bool IsSocketLibraryLoaded(const std::u16string& dllName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    return table.loaded.count(LowerCase(dllName)) != 0;
}

std::uint32_t FindEntryPoint(const std::u16string& dllName, const char* procName) {
    // Every entry point exists once the library counts as loaded; 126 (module not found)
    // otherwise, as GetProcAddress on a module that is not there.
    (void)procName;
    return IsSocketLibraryLoaded(dllName) ? 0 : kErrorModNotFound;
}

void UnloadSocketLibrary(const std::u16string& dllName) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.loaded.erase(LowerCase(dllName));
}

int WSAStartup(std::uint16_t version) {
    // Version 1.0 and later are served (low byte the major version).
    if ((version & 0xFF) == 0) return kWsaVerNotSupported;
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    ++table.startups;
    return 0;
}

int WSACleanup() {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    if (table.startups == 0) return Fail(kWsaNotInitialised);
    --table.startups;
    return 0;
}

// ---- sockets -------------------------------------------------------------------------------

SOCKET socket(int af, int type, int protocol) {
    if (af != kAfInet) {
        t_lastError = kWsaEAfNoSupport;
        return kInvalidSocket;
    }
    int nativeType;
    switch (type) {
    case kSockStream: nativeType = SOCK_STREAM; break;
    case kSockDgram: nativeType = SOCK_DGRAM; break;
    case kSockRaw: nativeType = SOCK_RAW; break;
    default: t_lastError = kWsaESocktNoSupport; return kInvalidSocket;
    }
    Table& table = TheTable();
    {
        std::lock_guard lock(table.mutex);
        if (table.startups == 0) {
            t_lastError = kWsaNotInitialised;
            return kInvalidSocket;
        }
    }
    int fd = ::socket(AF_INET, nativeType | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        t_lastError = posix::ErrnoToSocketError(errno);
        return kInvalidSocket;
    }
    std::lock_guard lock(table.mutex);
    SOCKET id = table.nextId++;
    Entry entry;
    entry.fd = fd;
    table.sockets.emplace(id, entry);
    return id;
}

int closesocket(SOCKET s) {
    Table& table = TheTable();
    Entry entry;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        entry = it->second;
        table.sockets.erase(it);
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
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        fd = it->second.fd;
        async = it->second.selected;
    }
    if (to.family != kAfInet) return Fail(kWsaEAfNoSupport);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native);
    int err = rc == 0 ? 0 : errno;
    if (!async) {
        if (rc == 0) {
            std::lock_guard lock(TheTable().mutex);
            auto it = TheTable().sockets.find(s);
            if (it != TheTable().sockets.end()) it->second.phase = Phase::Connected;
            return 0;
        }
        return Fail(posix::ErrnoToSocketError(err));
    }
    // Asynchronous: the outcome always arrives as a connect notice, as on Windows. A
    // failure the kernel reports at once (a refusal on the loopback) takes the same road.
    const bool inProgress = rc == 0 || err == EINPROGRESS || err == EAGAIN;
    const bool connectionFailure = err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH ||
                                   err == ETIMEDOUT || err == ECONNRESET;
    if (!inProgress && !connectionFailure) return Fail(posix::ErrnoToSocketError(err));
    Table& table = TheTable();
    int unwatchFd = -1;
    ThreadId owner = 0;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        Entry& e = it->second;
        owner = e.owner;
        if (inProgress) {
            e.phase = Phase::Connecting;
        } else {
            e.phase = Phase::Failed;
            if (e.mask & kFdConnect) Post(e, s, kFdConnect, posix::ErrnoToSocketError(err));
        }
        unwatchFd = SyncWatch(s, e);
    }
    if (unwatchFd >= 0) posix::UnwatchFd(owner, unwatchFd);
    return Fail(kWsaEWouldBlock);
}

int bind(SOCKET s, const SockAddrIn& local) {
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = local.port;
    native.sin_addr.s_addr = local.addr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native) != 0) return Fail(posix::ErrnoToSocketError(errno));
    return 0;
}

int listen(SOCKET s, int backlog) {
    Table& table = TheTable();
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    if (::listen(fd, backlog) != 0) return Fail(posix::ErrnoToSocketError(errno));
    int unwatchFd = -1;
    ThreadId owner = 0;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        it->second.phase = Phase::Listening;
        owner = it->second.owner;
        unwatchFd = SyncWatch(s, it->second);
    }
    if (unwatchFd >= 0) posix::UnwatchFd(owner, unwatchFd);
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
    std::lock_guard lock(table.mutex);
    auto it = table.sockets.find(s);
    if (it != table.sockets.end() && !it->second.acceptArmed) {
        // Any accept call asks for the next accept notice.
        it->second.acceptArmed = true;
        SyncWatch(s, it->second);
    }
    if (conn < 0) {
        t_lastError = posix::ErrnoToSocketError(err);
        return kInvalidSocket;
    }
    if (from) {
        from->family = kAfInet;
        from->port = native.sin_port;
        from->addr = native.sin_addr.s_addr;
    }
    SOCKET id = table.nextId++;
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
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&native), &len) != 0) return Fail(posix::ErrnoToSocketError(errno));
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
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        fd = it->second.fd;
        shut = it->second.sendShut;
    }
    if (len < 0) return Fail(kWsaEInval);
    int native = MSG_NOSIGNAL | ((flags & 1) ? MSG_OOB : 0);
    ssize_t n = ::send(fd, data, std::size_t(len), native);
    int err = n < 0 ? errno : 0;
    // A send that could not take everything asks for a write notice once the socket can
    // take data again. Windows gives one only after 10035; a partial send is included
    // here because the kernel takes part of a buffer where Windows would take it whole,
    // and the sender waits for that notice either way.
    if ((n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) || (n >= 0 && n < len)) {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it != table.sockets.end() && it->second.selected && !it->second.writeArmed) {
            it->second.writeArmed = true;
            SyncWatch(s, it->second);
        }
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
    Table& table = TheTable();
    int fd;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        fd = it->second.fd;
    }
    if (len < 0) return Fail(kWsaEInval);
    ssize_t n = ::recv(fd, data, std::size_t(len), (flags & 1) ? MSG_OOB : 0);
    int err = n < 0 ? errno : 0;
    {
        // Every receive asks for the next read notice; a level-triggered watch then posts
        // it at once if bytes are still pending.
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it != table.sockets.end() && it->second.selected && !it->second.readArmed) {
            it->second.readArmed = true;
            SyncWatch(s, it->second);
        }
    }
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
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        fd = it->second.fd;
        if (how != 0) it->second.sendShut = true;
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
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &native, sizeof native) != 0) return Fail(posix::ErrnoToSocketError(errno));
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
        if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &native, &nativeLen) != 0) return Fail(posix::ErrnoToSocketError(errno));
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

int WSAAsyncSelect(SOCKET s, WindowHandle window, std::uint32_t message, std::uint32_t mask) {
    Table& table = TheTable();
    int fd;
    if (!FindFd(s, fd)) return kSocketError;
    // Non-blocking from here on, also when notices are turned off (as on Windows).
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(posix::ErrnoToSocketError(errno));
    ThreadId owner = 0;
    if (mask != 0) {
        owner = WindowThread(window);
        if (owner == 0) return Fail(kWsaEInval);
    }
    int unwatchFd = -1;
    ThreadId oldOwner = 0;
    {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        Entry& e = it->second;
        if (e.watched && (mask == 0 || owner != e.owner)) {
            // Moving to another loop (or stopping): leave the old one first.
            unwatchFd = e.fd;
            oldOwner = e.owner;
            e.watched = false;
        }
        e.selected = mask != 0;
        e.window = window;
        e.message = message;
        e.mask = mask;
        if (mask != 0) {
            e.owner = owner;
            // A socket that is already connected can take data: one write notice, and a
            // read notice if bytes are pending (the level-triggered watch finds them).
            if (e.phase == Phase::Connected) {
                e.readArmed = true;
                e.writeArmed = true;
            }
        }
    }
    if (unwatchFd >= 0) posix::UnwatchFd(oldOwner, unwatchFd);
    if (mask != 0) {
        std::lock_guard lock(table.mutex);
        auto it = table.sockets.find(s);
        if (it == table.sockets.end()) return Fail(kWsaENotSock);
        int stale = SyncWatch(s, it->second);
        (void)stale;   // a watch is only added here, never removed
        if (WantsWatch(it->second) && !it->second.watched) return Fail(kWsaEInval);
    }
    return 0;
}

// ---- names ------------------------------------------------------------------------------

std::uint32_t inet_addr(const char* dotted) {
    // Windows' reading: leading blanks skipped; one to four parts, each decimal, octal
    // (leading 0) or hexadecimal (0x); the last part fills the remaining bytes; the text
    // ends at its end or at a blank. Anything else gives all ones.
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    if (dotted == nullptr) return kNone;
    const char* p = dotted;
    while (*p == ' ' || *p == '\t') ++p;
    std::uint32_t parts[4];
    int count = 0;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return kNone;
        std::uint64_t value = 0;
        unsigned base = 10;
        if (*p == '0') {
            ++p;
            if (*p == 'x' || *p == 'X') {
                base = 16;
                ++p;
            } else {
                base = 8;
            }
        }
        for (;; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = unsigned(c - '0');
            } else if (base == 16 && std::isxdigit(c)) {
                digit = unsigned(std::tolower(c) - 'a' + 10);
            } else {
                break;
            }
            if (digit >= base) return kNone;
            value = value * base + digit;
            if (value > 0xFFFFFFFFull) return kNone;
        }
        if (count == 4) return kNone;
        parts[count++] = std::uint32_t(value);
        if (*p == '.') {
            ++p;
            continue;
        }
        break;
    }
    if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) return kNone;
    std::uint32_t host;
    switch (count) {
    case 1: host = parts[0]; break;
    case 2:
        if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return kNone;
        host = (parts[0] << 24) | parts[1];
        break;
    case 3:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return kNone;
        host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
        break;
    default:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFF || parts[3] > 0xFF) return kNone;
        host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
        break;
    }
    return ::htonl(host);
}

bool gethostbyname(const std::string& name, std::vector<std::uint32_t>& addrs) {
    addrs.clear();
    HostLookup hook;
    {
        std::lock_guard lock(TheTable().mutex);
        hook = TheTable().hostLookup;
    }
    if (hook) {
        int rc = hook(name, addrs);
        if (rc != 0 || addrs.empty()) {
            addrs.clear();
            t_lastError = rc != 0 ? rc : kWsaNoData;
            return false;
        }
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        t_lastError = rc == EAI_NONAME ? kWsaHostNotFound : rc == EAI_AGAIN ? kWsaTryAgain : kWsaNoRecovery;
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(result, &::freeaddrinfo);
    for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
        std::uint32_t addr = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (std::uint32_t a : addrs) seen = seen || a == addr;
        if (!seen) addrs.push_back(addr);
    }
    if (addrs.empty()) {
        t_lastError = kWsaNoData;
        return false;
    }
    return true;
}

bool getservbyname(const std::string& name, const std::string& proto, std::uint16_t& portNetOrder) {
    servent entry{};
    servent* result = nullptr;
    char buffer[1024];
    if (::getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, buffer, sizeof buffer,
                          &result) != 0 ||
        result == nullptr) {
        // The name is valid but the services table has no such entry.
        t_lastError = kWsaNoData;
        return false;
    }
    portNetOrder = std::uint16_t(result->s_port);
    return true;
}

bool getprotobyname(const std::string& name, int& protocol) {
    protoent entry{};
    protoent* result = nullptr;
    char buffer[1024];
    if (::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &result) != 0 || result == nullptr) {
        t_lastError = kWsaNoData;
        return false;
    }
    protocol = result->p_proto;
    return true;
}

// glibc defines htons and ntohs as macros when optimising; these are the functions.
#undef htons
#undef ntohs

std::uint16_t htons(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return std::uint16_t((v >> 8) | (v << 8));
    return v;
}

std::uint16_t ntohs(std::uint16_t v) { return htons(v); }

int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int code) { t_lastError = code; }

void SetHostLookupForTesting(HostLookup lookup) {
    std::lock_guard lock(TheTable().mutex);
    TheTable().hostLookup = std::move(lookup);
}

}  // namespace platform::net
