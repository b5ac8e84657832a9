// POSIX notices of WSAAsyncSelect (platform/sockets.h).
//
// WSAAsyncSelect watches the descriptor on the loop of the thread that owns the target
// window (platform/posix/loop_internal.h) and turns readiness into posted notices with
// the re-enabling rules of Windows:
// - connect: one notice when the attempt ends, with 0 or the error; after success the
//   socket counts as writable once, so a write notice follows;
// - read: one notice, then none until the next recv; a recv that leaves bytes posts the
//   next one itself (EPOLLIN leaves the interest meanwhile);
// - write: after connect, and after a send that met 10035, once the socket can take data
//   again;
// - close: one notice after the peer reset, or after it closed in order and no byte is
//   left to read (with bytes pending, the receive that takes the last one posts it);
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

void OnReadiness(SOCKET id, int fd, std::uint32_t events);

// Under the table lock: the epoll interest the entry needs now.
std::uint32_t Interest(const Entry& e) {
    switch (e.phase) {
    case Phase::Connecting: return EPOLLOUT;
    case Phase::Connected: {
        std::uint32_t interest = 0;
        if (e.readArmed && (e.mask & kFdRead)) interest |= EPOLLIN;
        if (e.writeArmed && (e.mask & kFdWrite)) interest |= EPOLLOUT;
        if (!e.closeReported && !e.closeHeld) interest |= EPOLLRDHUP;
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
    // A held close needs the loop only for read notices: the peer's end would otherwise
    // be reported again and again while the bytes wait.
    case Phase::Connected: return !e.closeReported && (!e.closeHeld || Interest(e) != 0);
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
            e.watched = posix::WatchFd(e.owner, e.fd, interest,
                                       [id, fd = e.fd](std::uint32_t events) { OnReadiness(id, fd, events); });
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

void ReceiveDone(SOCKET s) {
    Table& table = TheTable();
    int unwatchFd = -1;
    ThreadId owner = 0;
    {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr || !e->selected) return;
        owner = e->owner;
        e->readArmed = true;
        int pending = 0;
        if (e->phase == Phase::Connected && !e->closeReported && ::ioctl(e->fd, FIONREAD, &pending) == 0) {
            if (pending > 0 && (e->mask & kFdRead)) {
                // Bytes are left: the next read notice is posted at once, from this call,
                // as Windows does. A handler that reads several times per notice gets
                // several notices, some of which find nothing left.
                e->readArmed = false;
                Post(*e, s, kFdRead, 0);
            } else if (pending == 0 && e->closeHeld) {
                e->closeReported = true;
                if (e->mask & kFdClose) Post(*e, s, kFdClose, 0);
            }
        }
        unwatchFd = SyncWatch(s, *e);
    }
    if (unwatchFd >= 0) posix::UnwatchFd(owner, unwatchFd);
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

// Runs on the owner's thread, inside its loop: turns readiness into notices. The id may
// have been closed and given to a new socket since the wait returned; the descriptor tells
// them apart (the old one stays open until its watch is gone, so the new socket cannot
// have its number).
void OnReadiness(SOCKET id, int fd, std::uint32_t events) {
    Table& table = TheTable();
    {
        std::lock_guard lock(table.mutex);
        Entry* found = FindEntry(table, id);
        if (found == nullptr || found->fd != fd || !found->selected) return;  // closed meanwhile
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
                int error = (events & EPOLLERR) ? SocketError(e.fd) : 0;
                int pending = 0;
                if (error == 0 && ::ioctl(e.fd, FIONREAD, &pending) == 0 && pending > 0) {
                    e.closeHeld = true;  // reported by the receive that empties the socket
                } else {
                    e.closeReported = true;
                    if (e.mask & kFdClose) Post(e, id, kFdClose, error);
                }
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
