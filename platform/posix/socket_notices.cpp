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
//   after it the descriptor is no longer watched. A connection reset before its connect
//   notice was posted gives the connect notice with 0 and then the close with the reset.
// A notice that the owner's full queue refuses is kept in the entry (one per kind) and
// posted when the loop next serves the descriptor, so a full queue delays notices but
// never loses one; the loop serves descriptors only when its queue is empty.
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

// Under the table lock: the epoll interest the entry needs now. While notices are owed
// any readiness will do: it only brings the loop back to post them.
std::uint32_t Interest(const Entry& e) {
    if (e.owed != 0) return EPOLLIN | EPOLLOUT | EPOLLRDHUP;
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
    if (e.owed != 0) return true;  // a failed or closed socket reports a hang-up: enough to come back
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

PendingUnwatch LeaveLoop(SOCKET id, Entry& e) {
    VBX_EXPECT_LOCK_HELD(TheTable().mutex, "the table lock");
    if (!e.watched) return {};
    e.watched = false;
    ++TheTable().unwatching[e.fd];
    return PendingUnwatch{id, e.owner, e.fd};
}

PendingUnwatch SyncWatch(SOCKET id, Entry& e) {
    VBX_EXPECT_LOCK_HELD(TheTable().mutex, "the table lock");
    if (!WantsWatch(e)) return LeaveLoop(id, e);
    std::uint32_t interest = Interest(e);
    if (e.watched) {
        if (!posix::ModifyFdWatch(e.owner, e.fd, interest)) e.watched = false;
    }
    // A removal still on its way would take a new watch with it: PendingUnwatch::Run
    // adds it once that removal is done.
    if (!e.watched && TheTable().unwatching.count(e.fd) == 0) {
        e.watched = posix::WatchFd(e.owner, e.fd, interest,
                                   [id, fd = e.fd](std::uint32_t events) { OnReadiness(id, fd, events); });
    }
    return {};
}

void PendingUnwatch::Run() const {
    if (fd < 0) return;
    posix::UnwatchFd(owner, fd);
    Table& table = TheTable();
    PendingUnwatch next;
    {
        std::lock_guard lock(table.mutex);
        if (--table.unwatching[fd] == 0) table.unwatching.erase(fd);
        table.unwatched.notify_all();
        // The descriptor is still open here (closesocket waits for this removal), so an
        // entry with it is this socket's.
        Entry* e = FindEntry(table, id);
        if (e != nullptr && e->fd == fd) next = SyncWatch(id, *e);
    }
    next.Run();  // nothing to remove in practice: no watch is added while one is removed
}

}  // namespace impl

namespace {

using namespace impl;

// Posts one notice; false only when the queue is full. A window that has gone (or a
// loop that has ended) takes no notice any more, as on Windows.
bool PostNotice(const Entry& e, SOCKET id, std::uint32_t event, int error) {
    std::uint32_t lParam = (event & 0xFFFF) | (std::uint32_t(error & 0xFFFF) << 16);
    return PostMessage(e.window, e.message, id, std::intptr_t(lParam)) || GetLastError() != kErrorNotEnoughQuota;
}

// Under the table lock: posts the owed notices in order, as far as the queue takes them.
void PostOwed(Entry& e, SOCKET id) {
    for (std::uint32_t event : {kFdConnect, kFdRead, kFdWrite, kFdAccept, kFdClose}) {
        if (!(e.owed & event)) continue;
        const int error = event == kFdConnect ? e.owedConnectError : event == kFdClose ? e.owedCloseError : 0;
        if ((e.mask & event) && !PostNotice(e, id, event, error)) return;
        e.owed &= ~event;
    }
}

}  // namespace

namespace impl {

void Notify(Entry& e, SOCKET id, std::uint32_t event, int error) {
    VBX_EXPECT_LOCK_HELD(TheTable().mutex, "the table lock");
    if (!(e.mask & event)) return;
    // Behind owed notices, never ahead of them.
    if (e.owed == 0 && PostNotice(e, id, event, error)) return;
    e.owed |= event;
    if (event == kFdConnect) e.owedConnectError = error;
    if (event == kFdClose) e.owedCloseError = error;
}

void ReceiveDone(SOCKET s) {
    Table& table = TheTable();
    PendingUnwatch unwatch;
    {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr || !e->selected) return;
        e->readArmed = true;
        int pending = 0;
        if (e->phase == Phase::Connected && !e->closeReported && ::ioctl(e->fd, FIONREAD, &pending) == 0) {
            if (pending > 0 && (e->mask & kFdRead)) {
                // Bytes are left: the next read notice is posted at once, from this call,
                // as Windows does. A handler that reads several times per notice gets
                // several notices, some of which find nothing left.
                e->readArmed = false;
                Notify(*e, s, kFdRead, 0);
            } else if (pending == 0 && e->closeHeld) {
                e->closeReported = true;
                Notify(*e, s, kFdClose, 0);
            }
        }
        unwatch = SyncWatch(s, *e);
    }
    unwatch.Run();
}

void RearmNotice(SOCKET s, bool Entry::*armed) {
    Table& table = TheTable();
    PendingUnwatch unwatch;
    {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e != nullptr && e->selected && !(e->*armed)) {
            e->*armed = true;
            unwatch = SyncWatch(s, *e);
        }
    }
    unwatch.Run();
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
    PendingUnwatch unwatch;
    {
        std::lock_guard lock(table.mutex);
        Entry* found = FindEntry(table, id);
        if (found == nullptr || found->fd != fd || !found->selected) return;  // closed meanwhile
        Entry& e = *found;
        PostOwed(e, id);
        const bool trouble = (events & (EPOLLERR | EPOLLHUP)) != 0;
        switch (e.phase) {
        case Phase::Connecting: {
            if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) break;
            int error = SocketError(e.fd);
            if (error == 0 && !(events & EPOLLOUT)) error = kWsaEConnRefused;
            // A reset means the attempt succeeded and the peer reset the connection
            // before this look: the connect succeeded, then the connection closed.
            if (error == 0 || error == kWsaEConnReset) {
                e.phase = Phase::Connected;
                e.readArmed = true;
                e.writeArmed = false;
                Notify(e, id, kFdConnect, 0);
                // A freshly connected socket can take data: Windows says so once.
                Notify(e, id, kFdWrite, 0);
                if (error != 0) {
                    e.closeReported = true;
                    Notify(e, id, kFdClose, error);
                }
            } else {
                e.phase = Phase::Failed;
                Notify(e, id, kFdConnect, error);
            }
            break;
        }
        case Phase::Connected: {
            if ((events & EPOLLIN) && e.readArmed && (e.mask & kFdRead)) {
                int pending = 0;
                if (::ioctl(e.fd, FIONREAD, &pending) == 0 && pending > 0) {
                    e.readArmed = false;
                    Notify(e, id, kFdRead, 0);
                }
            }
            if ((events & EPOLLOUT) && e.writeArmed && (e.mask & kFdWrite) && !trouble) {
                e.writeArmed = false;
                Notify(e, id, kFdWrite, 0);
            }
            if ((events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP)) && !e.closeReported) {
                int error = (events & EPOLLERR) ? SocketError(e.fd) : 0;
                int pending = 0;
                if (error == 0 && ::ioctl(e.fd, FIONREAD, &pending) == 0 && pending > 0) {
                    e.closeHeld = true;  // reported by the receive that empties the socket
                } else {
                    e.closeReported = true;
                    Notify(e, id, kFdClose, error);
                }
            }
            break;
        }
        case Phase::Listening:
            if ((events & EPOLLIN) && e.acceptArmed && (e.mask & kFdAccept)) {
                e.acceptArmed = false;
                Notify(e, id, kFdAccept, 0);
            }
            break;
        default: break;
        }
        unwatch = SyncWatch(id, e);
    }
    // From within our own callback: it just will not run again.
    unwatch.Run();
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
    PendingUnwatch unwatch;
    {
        std::lock_guard lock(table.mutex);
        Entry* found = FindEntry(table, s);
        if (found == nullptr) return Fail(kWsaENotSock);
        Entry& e = *found;
        // Moving to another loop (or stopping): leave the old one first.
        if (mask == 0 || owner != e.owner) unwatch = LeaveLoop(s, e);
        // Owed notices go with the selection they were owed to, as queued ones go with
        // their window.
        e.owed = 0;
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
    // The removal brings the entry's watch in line again, on the new loop.
    unwatch.Run();
    if (mask != 0) {
        std::lock_guard lock(table.mutex);
        Entry* e = FindEntry(table, s);
        if (e == nullptr) return Fail(kWsaENotSock);
        SyncWatch(s, *e);  // only adds a watch here
        // (Unless a removal on another thread holds the new watch back for a moment.)
        if (WantsWatch(*e) && !e->watched && table.unwatching.count(e->fd) == 0) return Fail(kWsaEInval);
    }
    return 0;
}

}  // namespace platform::net
