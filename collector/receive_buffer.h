#pragma once
// The collector's receive buffer: the bytes of the server's replies as they arrive, with
// the positions of the frame markers kept up to date as bytes are appended, so that the
// end-of-frame test and the processor's "is there a frame" test never re-scan old bytes.
//
// The buffer holds at most two connections' bytes:
// - the *waiting* connection: an earlier connection whose bytes are complete (an SOH
//   followed, later, by an EOT), waiting for the processing tick; and
// - the *current* connection: the one that receives now (or received last).
// When the current connection becomes complete while an earlier one waits, the earlier
// one is discarded at once: the newer reply supersedes it, whatever it turns out to hold.
// So at most one complete connection ever waits, and the output is never more than one
// tick behind the newest complete reply.
//
// "Complete" is judged on what the processor can see: the connection's bytes after the
// NUL rule (see Append), up to their first NUL, hold an SOH followed by an EOT.
//
// Bounds: the current connection holds at most ConnectionLimit() bytes while it has no
// complete frame (beyond that its bytes are discarded and Append reports kOverflow); once
// complete, it takes bytes up to that limit only, so it exceeds the limit by at most the
// read that completed it. The waiting connection is a former current one. Memory grows
// with the bytes actually received, never with a length field.
//
// Storage: the bytes live in one memory region that grows with them, geometrically, so
// that each growth is rare; a larger reservation moves no bytes where the system can
// remap (see platform/memory.h). For n bytes held, counting a read in progress, the
// region holds less than 2 n + kStorageSlack of address space: a step at most doubles
// what is usable, or stops at the end of an announced frame, and a reservation is rounded
// up by less than 2 MiB (kStorageSlack also covers the 2 MiB a fresh aligned mapping
// takes for a moment on systems that do not align it themselves). When bytes go (a
// connection dropped or processed) the region shrinks to the same bound, and when the
// buffer becomes empty the region is given back to the system: a service that idles
// between replies keeps no memory for them. The next reply touches fresh pages, huge
// ones where the system has them, which costs one fault per 2 MiB. When the system
// refuses more storage, ReadRoom and Append throw std::bad_alloc and leave the buffer as
// it was.
//
// Threading contract: not thread-safe. The service object guards it with its one lock;
// every call happens under that lock (the lock given at construction, which the changing
// calls check).
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/contracts.h"
#include "platform/memory.h"

namespace collector {

// Frame control bytes (shared by the request envelope and the reply).
constexpr char kSOH = '\x01';
constexpr char kSTX = '\x02';
constexpr char kEOT = '\x04';

class ReceiveBuffer {
public:
    static constexpr std::size_t npos = std::string::npos;
    // The default of the bytes one connection may hold without forming a complete frame.
    static constexpr std::size_t kConnectionLimit = std::size_t{128} * 1024 * 1024;
    // The constant of the storage bound (see above): the address space held stays below
    // twice the bytes held plus this.
    static constexpr std::size_t kStorageSlack = std::size_t{4} * 1024 * 1024;
    // From this much storage on, the reservation is at least 2 MiB, so that huge pages can
    // back the reply from its first byte on (within kStorageSlack).
    static constexpr std::size_t kLargeRead = std::size_t{64} * 1024;

    enum class AppendResult {
        kMore,        // no end-of-frame byte on this connection yet
        kEndOfFrame,  // the connection has delivered an EOT: close it
        kOverflow,    // the connection's bytes passed the limit and were discarded
    };

    // `ownerLock`: the lock every call is made under; none for a buffer of one thread.
    explicit ReceiveBuffer(platform::RequiredLock<platform::CheckedRecursiveMutex> ownerLock = {})
        : ownerLock_(ownerLock) {}

    // The per-connection bound (see above); a new value applies from the next Append.
    void SetConnectionLimit(std::size_t limit) { limit_ = limit; }
    std::size_t ConnectionLimit() const { return limit_; }

    // A new connection begins. The current connection's bytes become the waiting
    // connection when they are complete; otherwise they are a leftover and discarded (so
    // an unfinished reply or a stray byte is never glued to the new reply). A waiting
    // connection stays. The end-of-frame test starts afresh with the new connection.
    void BeginConnection();

    // Appends bytes received on the current connection. A NUL byte followed by later
    // bytes of the connection drops the connection's bytes up to and including it, unless
    // a complete frame lies before it; otherwise the processor, which reads only up to
    // the first NUL, would never see a later frame. When the connection becomes complete
    // here, a waiting connection is discarded.
    AppendResult Append(std::string_view bytes);
    // Append in two steps for a read straight into the storage: ReadRoom gives room for
    // up to `most` bytes after those held (valid until the next call that changes the
    // buffer), CommitRead then appends the `got` bytes read there exactly as Append would.
    // The room counts towards the usable storage like the bytes of a read passed to Append.
    char* ReadRoom(std::size_t most);
    AppendResult CommitRead(std::size_t got);

    // Empties the buffer and gives its storage back to the system.
    void Clear();
    // Drops the current connection's bytes (a waiting connection stays), as when it
    // overflows; the end-of-frame test starts afresh.
    void DropCurrentConnection();

    // The processor's last step: drops the bytes of the frame connection (see below) and
    // keeps those of the current connection when it is another one. Without a waiting
    // connection this empties the buffer.
    void DiscardFrameConnection();

    bool Empty() const { return size_ == 0; }
    std::size_t Size() const { return size_; }
    // The usable storage; 0 once the storage is given back.
    std::size_t Capacity() const { return storage_.Usable(); }
    // The address space held; 0 once the storage is given back.
    std::size_t Reserved() const { return storage_.Reserved(); }
    std::string_view Bytes() const { return std::string_view(storage_.Data(), size_); }
    // The number of connections whose bytes are held: 0, 1 or 2.
    std::size_t Connections() const { return (waitEnd_ > 0 ? 1 : 0) + (size_ > waitEnd_ ? 1 : 0); }
    // The bytes of the waiting connection (0 when none waits) and of the current one.
    std::size_t WaitingSize() const { return waitEnd_; }
    std::size_t CurrentSize() const { return size_ - waitEnd_; }
    // True when the current connection's bytes are complete (then nothing else waits).
    bool CurrentComplete() const { return eotAfterSoh_ != npos; }

    // The frame connection: the one whose first frame the next tick processes. It is the
    // waiting connection when one waits, else the current connection; its bytes always
    // start the buffer.
    std::size_t FrameConnectionSize() const { return waitEnd_ > 0 ? waitEnd_ : size_; }
    // The part of it the processor looks at: its bytes before their first NUL.
    std::string_view Visible() const;
    // Positions of the first SOH and the first EOT within Visible(), npos when absent.
    std::size_t FirstSoh() const { return waitEnd_ > 0 ? waitSoh_ : soh_; }
    std::size_t FirstEot() const { return waitEnd_ > 0 ? waitEot_ : eot_; }
    // True when Visible() holds an SOH followed, later, by an EOT.
    bool HasCompleteFrame() const { return waitEnd_ > 0 || eotAfterSoh_ != npos; }

    // For the processor, which decodes the frame where it lies and then discards it: the
    // bytes before FrameConnectionSize() may be overwritten, but then only
    // DiscardFrameConnection() or Clear() may follow. Later bytes must stay untouched.
    char* MutableData() { return storage_.Data(); }
    // For the processor that works without the buffer's lock: hands over the frame
    // connection's bytes, [0, FrameConnectionSize()) of the returned region, and leaves the
    // buffer as DiscardFrameConnection() would. The current connection's bytes, when it is
    // another one, move to storage of their own. Throws std::bad_alloc (and changes
    // nothing) when that storage cannot be had.
    platform::MemoryRegion TakeFrameConnection();

private:
    // Finds the current connection's markers in [from, size_): first the NUL that
    // ends its visible part, then the SOH and EOT positions before it. Bytes before
    // `from` were scanned already.
    void Scan(std::size_t from);
    void ApplyNulRule();
    void DropCurrent();
    // Removes [from, to) from the current connection's bytes and moves its markers
    // along with the bytes.
    void EraseCurrent(std::size_t from, std::size_t to);
    // Removes the waiting connection's bytes, which start the buffer.
    void DropWaiting();
    // The waiting connection's `cut` bytes are gone from the start: the current
    // connection's markers move down with its bytes.
    void ForgetWaiting(std::size_t cut);
    void ResetMarkers() { soh_ = eot_ = eotAfterSoh_ = nul_ = npos; }
    // Makes room for `more` bytes, growing the storage geometrically with the bytes held.
    void GrowFor(std::size_t more);
    // After bytes went: gives back storage beyond the bound for the bytes still held.
    void FitStorage();
    // Removes [from, to) from the bytes held; the later bytes move down.
    void Erase(std::size_t from, std::size_t to);
    char* Data() const { return storage_.Data(); }
    // Once the current connection's frame header is in, notes where the announced frame
    // ends, so that growth stops there instead of overshooting it.
    void NoteFrameEnd();

    [[no_unique_address]] platform::RequiredLock<platform::CheckedRecursiveMutex> ownerLock_;
    platform::MemoryRegion storage_;
    std::size_t size_ = 0;  // the bytes held: Data()[0, size_)
    std::size_t limit_ = kConnectionLimit;
    // The waiting connection: [0, waitEnd_), with the first SOH and EOT of its
    // visible part and where that part ends.
    std::size_t waitEnd_ = 0;
    std::size_t waitSoh_ = npos;
    std::size_t waitEot_ = npos;
    std::size_t waitVisible_ = 0;
    // The current connection: [waitEnd_, size_). Positions count from Data().
    std::size_t soh_ = npos;          // first SOH before the first NUL
    std::size_t eot_ = npos;          // first EOT before the first NUL
    std::size_t eotAfterSoh_ = npos;  // first EOT after soh_, before the first NUL
    std::size_t nul_ = npos;          // first NUL
    bool connEot_ = false;            // the current connection has delivered an EOT
    bool headerSeen_ = false;         // NoteFrameEnd has decided for this frame
    std::size_t frameEnd_ = npos;     // where the announced frame ends, when known
};

}  // namespace collector
