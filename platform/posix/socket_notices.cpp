// POSIX notices of WSAAsyncSelect (platform/sockets.h).
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
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/error_codes.h"
#include "platform/posix/errors.h"
#include "platform/posix/loop_internal.h"
#include "platform/posix/socket_table.h"
#include "platform/sockets.h"

namespace platform::net {
namespace {

using namespace impl;

void OnReadiness(SOCKET id, std::uint32_t events);

// Under the table lock: the epoll interest the entry needs now.
std::uint32_t Interest(const Entry& e) {
    switch (e.phase) {
    case Phase::Connecting: return EPOLLOUT;
    case Phase::Connected: {
        std::uint32_t interest = 0;
        if (e.readArmed && (e.mask & kFdRead)) interest |= EPOLLIN;
        if (e.writeArmed && (e.mask & kFdWrite)) interest |= EPOLLOUT;
        if (!e.closeReported) interest |= EPOLLRDHUP;
        return interest;
    }
    case Phase::Listening: return (e.acceptArmed && (e.mask & kFdAccept)) ? std::uint32_t(EPOLLIN) : 0u;
    default: return 0;
    }
}

// Under the table lock: whether the descriptor should be on the owner's loop at all. A
// fresh socket is not watched (epoll reports an unconnected stream socket as hung up),
// nor one whose attempt failed or whose close was reported (hang-ups cannot be masked).
bool WantsWatch(const Entry& e) {
    if (!e.selected) return false;
    switch (e.phase) {
    case Phase::Connecting:
    case Phase::Listening: return true;
    case Phase::Connected: return !e.closeReported;
    default: return false;
    }
}

}  // namespace

namespace impl {

int SyncWatch(SOCKET id, Entry& e) {
    if (WantsWatch(e)) {
        std::uint32_t interest = Interest(e);
        if (e.watched) {
            if (!posix::ModifyFdWatch(e.owner, e.fd, interest)) e.watched = false;
        }
        if (!e.watched) {
            e.watched =
                posix::WatchFd(e.owner, e.fd, interest, [id](std::uint32_t events) { OnReadiness(id, events); });
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

void RearmNotice(SOCKET s, bool Entry::*armed) {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    Entry* e = FindEntry(table, s);
    if (e != nullptr && e->selected && !(e->*armed)) {
        e->*armed = true;
        SyncWatch(s, *e);
    }
}

}  // namespace impl

namespace {

int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return posix::ErrnoToSocketError(errno);
    return posix::ErrnoToSocketError(err);
}

// Runs on the owner's thread, inside its loop: turns readiness into notices.
void OnReadiness(SOCKET id, std::uint32_t events) {
    Table& table = TheTable();
    {
        std::lock_guard lock(table.mutex);
        Entry* found = FindEntry(table, id);
        if (found == nullptr || !found->selected) return;  // closed meanwhile
        Entry& e = *found;
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
        default: break;
        }
        // Still under the table lock: once the entry says it is not watched, closesocket on
        // another thread closes the descriptor at once, and its number may be reused and
        // watched again before a later UnwatchFd here, which would take that watch away.
        // From within our own callback this does not wait: the callback just will not run
        // again. (The table lock before the loop's own lock, as SyncWatch takes them.)
        const int unwatchFd = SyncWatch(id, e);
        if (unwatchFd >= 0) posix::UnwatchFd(e.owner, unwatchFd);
    }
}

}  // namespace

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
        Entry* found = FindEntry(table, s);
        if (found == nullptr) return Fail(kWsaENotSock);
        Entry& e = *found;
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
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        int stale = SyncWatch(s, *e);
        (void)stale;  // a watch is only added here, never removed
        if (WantsWatch(*e) && !e->watched) return Fail(kWsaEInval);
    }
    return 0;
}

}  // namespace platform::net
