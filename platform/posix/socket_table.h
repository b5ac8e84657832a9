#pragma once
// Internal to the POSIX socket layer: the handle table that the plain calls
// (sockets.cpp), the notices (socket_notices.cpp) and the name lookups (socket_names.cpp)
// share.
//
// Socket handles are ids mapped to the native descriptors under one table lock. As on
// Windows, the id of a closed socket is given to the next socket: every new socket takes
// the lowest free id. A notice already queued for a closed socket therefore carries the
// same handle value as a newer socket may; telling them apart is the receiver's work, as
// it is on Windows.
// Lock order: the table lock is taken after any lock of the socket's callers and never
// held while waiting for a callback on the owner's thread (UnwatchFd runs outside it).
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/contracts.h"
#include "platform/messages.h"
#include "platform/sockets.h"

namespace platform::net::impl {

enum class Phase { Fresh, Connecting, Connected, Failed, Listening };

struct Entry {
    int fd = -1;
    // Asynchronous selection.
    bool selected = false;  // WSAAsyncSelect with a non-zero mask is in force
    WindowHandle window = 0;
    std::uint32_t message = 0;
    std::uint32_t mask = 0;
    ThreadId owner = 0;
    bool watched = false;  // the descriptor is on the owner's loop
    // Connection state as far as the notices need it.
    Phase phase = Phase::Fresh;
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    bool closeReported = false;
    // The peer closed in order while bytes were pending: the close notice waits until a
    // receive has taken the last of them, as on Windows.
    bool closeHeld = false;
    bool sendShut = false;  // shutdown of the sending direction was asked for
    // Notices the owner's full queue refused: at most one per kind (the event bits), the
    // connect's and the close's with their errors. They are posted, in the order
    // connect, read, write, accept, close and ahead of any later notice of the socket,
    // when the owner's loop next serves the descriptor, which it does only once its
    // queue is empty; until then the descriptor stays watched for any readiness. (A loop
    // suspended with a full queue would come back at once, again and again: the program
    // suspends only its control thread, which owns no socket.)
    std::uint32_t owed = 0;
    int owedConnectError = 0;
    int owedCloseError = 0;
};

// The one table of every open socket. Its size is bounded by the descriptors the process
// may hold: an entry exists only while its descriptor is open.
struct Table {
    CheckedMutex mutex;
    std::map<SOCKET, Entry> sockets;
    // Descriptors whose watch is being removed outside the lock, with the number of
    // removals on the way. closesocket closes a descriptor only once none is left, so
    // its number cannot go to a new socket whose watch a late removal would take.
    std::map<int, int> unwatching;
    CheckedConditionVariable unwatched;
    int startups = 0;
    std::set<std::u16string> loaded;
    HostLookup hostLookup;
};

// Deliberately never destroyed: sockets may be closed by threads that outlive static
// destruction, and the table is tiny.
Table& TheTable();

// Handles are multiples of 4 from here on, as Windows' are.
constexpr SOCKET kFirstSocketId = 0x100;
constexpr SOCKET kSocketIdStep = 4;

// Under the table lock: the lowest id no open socket holds.
SOCKET LowestFreeId(const Table& table);

// Under the table lock: the entry of a handle, or nullptr when the handle is unknown.
Entry* FindEntry(Table& table, SOCKET s);

// Looks up a socket's descriptor under the lock; sets 10038 when the handle is unknown.
bool FindFd(SOCKET s, int& fd);

// Sets the calling thread's last error and returns the failure value of the calls.
inline int Fail(int wsaError) {
    WSASetLastError(wsaError);
    return kSocketError;
}

// A watch that SyncWatch gave up, to be removed once the table lock is released.
struct PendingUnwatch {
    SOCKET id = 0;
    ThreadId owner = 0;
    int fd = -1;
    // Without the table lock: removes the watch, lets a closesocket waiting for it go on,
    // and watches the socket again if it asked for that meanwhile (a new watch waits
    // while the old one is being removed).
    void Run() const;
};

// Under the table lock: brings the owner's watch of the descriptor in line with the
// entry (socket_notices.cpp); a watch to remove is returned, counted in `unwatching`.
PendingUnwatch SyncWatch(SOCKET id, Entry& e);
// Under the table lock: leaves the owner's loop now (moving to another loop, or mask 0).
PendingUnwatch LeaveLoop(SOCKET id, Entry& e);

// Takes the table lock: when notices are selected and the one behind `armed` (read or
// write) has been posted, arms it again and lets the owner's loop watch for it.
void RearmNotice(SOCKET s, bool Entry::*armed);

// Takes the table lock, after a receive: posts the next read notice when bytes are left
// (else asks the loop for one), or the close notice that waited for the pending bytes
// once none is left.
void ReceiveDone(SOCKET s);

// Under the table lock: posts a notice for the socket to its window, when its mask asks
// for it; one that the owner's full queue refuses is owed (Entry::owed), never lost.
void Notify(Entry& e, SOCKET id, std::uint32_t event, int error);

}  // namespace platform::net::impl
