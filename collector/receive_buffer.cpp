#include "collector/receive_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "collector/packet_text.h"

namespace collector {

namespace {

std::size_t Find(const char* data, char c, std::size_t from, std::size_t to) {
    if (from >= to) return std::string::npos;
    const void* hit = std::memchr(data + from, c, to - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : std::string::npos;
}

}  // namespace

void ReceiveBuffer::BeginConnection() {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    if (CurrentComplete()) {
        // Nothing waits here: the current connection's frame discarded any earlier
        // waiting connection when it became complete.
        waitEnd_ = size_;
        waitSoh_ = soh_;
        waitEot_ = eot_;
        waitVisible_ = nul_ == npos ? size_ : nul_;
        ResetMarkers();
    } else {
        DropCurrent();
    }
    connEot_ = false;
    headerSeen_ = false;
    frameEnd_ = npos;
}

char* ReceiveBuffer::ReadRoom(std::size_t most) {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    GrowFor(most);
    return Data() + size_;
}

ReceiveBuffer::AppendResult ReceiveBuffer::CommitRead(std::size_t got) {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    // The bytes already stand where Append puts them; Append's copy is then skipped.
    return Append(std::string_view(Data() + size_, got));
}

ReceiveBuffer::AppendResult ReceiveBuffer::Append(std::string_view bytes) {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    // The end-of-frame test looks at the raw bytes of this connection only; a frame still
    // waiting from an earlier connection must not cut this reply short.
    // (An empty read may come with no storage at all: nothing to search then.)
    const bool eotHere = !connEot_ && !bytes.empty() && std::memchr(bytes.data(), kEOT, bytes.size()) != nullptr;
    const bool wasComplete = CurrentComplete();
    if (wasComplete) {
        // A complete connection takes bytes up to the limit only (the socket is closed at
        // its EOT, so these are at most the rest of a read).
        const std::size_t held = CurrentSize();
        bytes = bytes.substr(0, held < limit_ ? limit_ - held : 0);
    }
    const std::size_t from = size_;
    GrowFor(bytes.size());  // a refusal leaves everything as it was
    if (eotHere) connEot_ = true;
    if (!bytes.empty() && bytes.data() != Data() + size_) std::memcpy(Data() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    Scan(from);
    ApplyNulRule();
    if (!headerSeen_) NoteFrameEnd();

    if (CurrentComplete()) {
        // The newer reply supersedes the one waiting for its tick.
        if (!wasComplete && waitEnd_ > 0) DropWaiting();
    } else if (CurrentSize() > limit_) {
        DropCurrent();
        return AppendResult::kOverflow;
    }
    return connEot_ ? AppendResult::kEndOfFrame : AppendResult::kMore;
}

void ReceiveBuffer::Clear() {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    storage_.Release();
    size_ = 0;
    waitEnd_ = 0;
    waitSoh_ = waitEot_ = npos;
    waitVisible_ = 0;
    ResetMarkers();
    headerSeen_ = false;
    frameEnd_ = npos;
}

void ReceiveBuffer::DiscardFrameConnection() {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    if (waitEnd_ > 0) {
        DropWaiting();
    } else {
        Clear();
    }
}

std::string_view ReceiveBuffer::Visible() const {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    const std::size_t end = waitEnd_ > 0 ? waitVisible_ : nul_ == npos ? size_ : nul_;
    return std::string_view(Data(), end);
}

void ReceiveBuffer::DropCurrent() {
    if (waitEnd_ == 0) {
        Clear();
        return;
    }
    size_ = waitEnd_;
    ResetMarkers();
    headerSeen_ = false;
    frameEnd_ = npos;
    FitStorage();
}

void ReceiveBuffer::DropCurrentConnection() {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    DropCurrent();
    connEot_ = false;
}

void ReceiveBuffer::DropWaiting() {
    if (size_ == waitEnd_) {
        Clear();
        return;
    }
    const std::size_t cut = waitEnd_;
    Erase(0, cut);
    ForgetWaiting(cut);
    FitStorage();
}

void ReceiveBuffer::ForgetWaiting(std::size_t cut) {
    for (std::size_t* pos : {&soh_, &eot_, &eotAfterSoh_, &nul_, &frameEnd_}) {
        if (*pos != npos) *pos -= cut;
    }
    waitEnd_ = 0;
    waitSoh_ = waitEot_ = npos;
    waitVisible_ = 0;
}

platform::MemoryRegion ReceiveBuffer::TakeFrameConnection() {
    VBX_EXPECT_LOCK_HELD(ownerLock_, "the service object's lock");
    platform::MemoryRegion taken;
    if (waitEnd_ == 0 || size_ == waitEnd_) {
        // The frame connection is all the buffer holds.
        taken = std::move(storage_);
        Clear();
        return taken;
    }
    // The current connection's bytes move to storage of their own first, so that a refusal
    // leaves everything as it was.
    const std::size_t cut = waitEnd_;
    platform::MemoryRegion own;
    own.Grow(size_ - cut);
    std::memcpy(own.Data(), Data() + cut, size_ - cut);
    taken = std::move(storage_);
    storage_ = std::move(own);
    size_ -= cut;
    ForgetWaiting(cut);
    return taken;
}

void ReceiveBuffer::EraseCurrent(std::size_t from, std::size_t to) {
    const std::size_t cut = to - from;
    Erase(from, to);
    for (std::size_t* pos : {&soh_, &eot_, &eotAfterSoh_, &nul_, &frameEnd_}) {
        if (*pos == npos) continue;
        if (*pos >= to) {
            *pos -= cut;
        } else if (*pos >= from) {
            *pos = npos;
        }
    }
}

void ReceiveBuffer::Erase(std::size_t from, std::size_t to) {
    std::memmove(Data() + from, Data() + to, size_ - to);
    size_ -= to - from;
}

void ReceiveBuffer::GrowFor(std::size_t more) {
    const std::size_t needed = size_ + more;
    if (needed <= storage_.Usable()) return;
    // Doubling the current connection's part keeps the steps few and the storage below
    // twice the bytes held (each step starts from less than `needed`); a waiting
    // connection is complete and does not grow. A length field only caps a step at the end
    // of its frame, once the bytes have come that close: a header alone never makes
    // anything usable.
    const std::size_t current = storage_.Usable() > waitEnd_ ? storage_.Usable() - waitEnd_ : 0;
    std::size_t target = std::max(needed, waitEnd_ + 2 * current);
    const bool toFrameEnd = frameEnd_ != npos && needed <= frameEnd_ && frameEnd_ / 2 <= needed;
    if (toFrameEnd) target = frameEnd_;
    // A reply that comes in large reads gets a reservation that huge pages can back from
    // its first byte on; a short reply keeps a small one.
    if (target >= kLargeRead) storage_.Reserve(platform::MemoryRegion::kAlignment);
    storage_.Grow(target);
    // The frame's last bytes need not take a whole huge page.
    if (toFrameEnd) storage_.ExpectEnd(frameEnd_);
}

void ReceiveBuffer::FitStorage() {
    if (storage_.Reserved() > 2 * size_ + kStorageSlack) storage_.Shrink(size_);
}

void ReceiveBuffer::NoteFrameEnd() {
    // The length field is short; a header that has not ended within a few bytes of the
    // SOH is not worth waiting for.
    constexpr std::size_t kHeaderLimit = 24;
    if (soh_ == npos) return;
    const std::size_t visibleEnd = nul_ == npos ? size_ : nul_;
    const std::size_t end = std::min(visibleEnd, soh_ + kHeaderLimit);
    const std::size_t stx = Find(Data(), kSTX, soh_ + 1, end);
    if (stx == npos) {
        headerSeen_ = end == soh_ + kHeaderLimit;
        return;
    }
    headerSeen_ = true;
    const std::size_t payload =
        std::min<std::size_t>(ReadFrameLength(std::string_view(Data() + soh_ + 1, stx - soh_ - 1)), limit_);
    frameEnd_ = stx + 1 + payload + 1;
}

void ReceiveBuffer::Scan(std::size_t from) {
    // Markers behind the first NUL are invisible to the processor, so they are not
    // tracked until the NUL rule removes what hides them.
    if (nul_ != npos) return;
    nul_ = Find(Data(), '\0', from, size_);
    const std::size_t end = nul_ == npos ? size_ : nul_;
    std::size_t eotHere = npos;
    if (eot_ == npos || eotAfterSoh_ == npos) eotHere = Find(Data(), kEOT, from, end);
    if (eot_ == npos) eot_ = eotHere;
    if (soh_ == npos) soh_ = Find(Data(), kSOH, from, end);
    // eotHere was searched whenever eotAfterSoh_ is still open; without an EOT in the new
    // bytes there is nothing more to find.
    if (soh_ != npos && eotAfterSoh_ == npos && eotHere != npos) {
        eotAfterSoh_ = eotHere > soh_ ? eotHere : Find(Data(), kEOT, std::max(soh_, eotHere) + 1, end);
    }
}

void ReceiveBuffer::ApplyNulRule() {
    // Each round drops one NUL-ended segment of the current connection that holds no
    // complete frame. Every round scans only the segment after the dropped one, and such
    // segments are always bytes of the latest append (older bytes either held no NUL,
    // ended in one, or hold a complete frame before it), so the rule costs nothing beyond
    // the new bytes.
    std::size_t cut = npos;
    while (nul_ != npos && nul_ + 1 < size_ && eotAfterSoh_ == npos) {
        cut = nul_ + 1;
        ResetMarkers();
        Scan(cut);
    }
    if (cut != npos) {
        EraseCurrent(waitEnd_, cut);
        headerSeen_ = false;
        frameEnd_ = npos;
        FitStorage();
    }
}

}  // namespace collector
