#include "collector/receive_buffer.h"

#include <algorithm>
#include <cstring>

#include "collector/packet_text.h"

namespace collector {

namespace {

// Storage up to the per-connection limit and this much more is kept when the buffer is
// emptied, so the next reply of a similar size lands in memory that is already mapped;
// larger storage is given back. Storage only ever grows with bytes actually received.
constexpr std::size_t kKeptSlack = 64 * 1024;

std::size_t Find(const std::string& data, char c, std::size_t from, std::size_t to) {
    if (from >= to) return std::string::npos;
    const void* hit = std::memchr(data.data() + from, c, to - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data.data()) : std::string::npos;
}

}  // namespace

void ReceiveBuffer::BeginConnection() {
    if (CurrentComplete()) {
        // Nothing waits here: the current connection's frame discarded any earlier
        // waiting connection when it became complete.
        waitEnd_ = data_.size();
        waitSoh_ = soh_;
        waitEot_ = eot_;
        waitVisible_ = nul_ == npos ? data_.size() : nul_;
        ResetMarkers();
    } else {
        DropCurrent();
    }
    connEot_ = false;
    headerSeen_ = false;
    frameEnd_ = npos;
}

ReceiveBuffer::AppendResult ReceiveBuffer::Append(std::string_view bytes) {
    // The end-of-frame test looks at the raw bytes of this connection only; a frame still
    // waiting from an earlier connection must not cut this reply short.
    if (!connEot_ && std::memchr(bytes.data(), kEOT, bytes.size()) != nullptr) connEot_ = true;
    const bool wasComplete = CurrentComplete();
    if (wasComplete) {
        // A complete connection takes bytes up to the limit only (the socket is closed at
        // its EOT, so these are at most the rest of a read).
        const std::size_t held = CurrentSize();
        bytes = bytes.substr(0, held < limit_ ? limit_ - held : 0);
    }
    const std::size_t from = data_.size();
    GrowFor(bytes.size());
    data_.append(bytes);
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
    const std::size_t capacity = data_.capacity();
    if (capacity > kKeptSlack && capacity - kKeptSlack > limit_) {
        std::string().swap(data_);
    } else {
        data_.clear();
    }
    waitEnd_ = 0;
    waitSoh_ = waitEot_ = npos;
    waitVisible_ = 0;
    ResetMarkers();
    headerSeen_ = false;
    frameEnd_ = npos;
}

void ReceiveBuffer::DiscardFrameConnection() {
    if (waitEnd_ > 0) {
        DropWaiting();
    } else {
        Clear();
    }
}

std::string_view ReceiveBuffer::Visible() const {
    const std::size_t end = waitEnd_ > 0 ? waitVisible_ : nul_ == npos ? data_.size() : nul_;
    return std::string_view(data_).substr(0, end);
}

void ReceiveBuffer::DropCurrent() {
    if (waitEnd_ == 0) {
        Clear();
        return;
    }
    data_.resize(waitEnd_);
    ResetMarkers();
    headerSeen_ = false;
    frameEnd_ = npos;
}

void ReceiveBuffer::DropWaiting() {
    if (data_.size() == waitEnd_) {
        Clear();
        return;
    }
    const std::size_t cut = waitEnd_;
    data_.erase(0, cut);
    for (std::size_t* pos : {&soh_, &eot_, &eotAfterSoh_, &nul_, &frameEnd_}) {
        if (*pos != npos) *pos -= cut;
    }
    waitEnd_ = 0;
    waitSoh_ = waitEot_ = npos;
    waitVisible_ = 0;
}

void ReceiveBuffer::EraseCurrent(std::size_t from, std::size_t to) {
    const std::size_t cut = to - from;
    data_.erase(from, cut);
    for (std::size_t* pos : {&soh_, &eot_, &eotAfterSoh_, &nul_, &frameEnd_}) {
        if (*pos == npos) continue;
        if (*pos >= to) {
            *pos -= cut;
        } else if (*pos >= from) {
            *pos = npos;
        }
    }
}

void ReceiveBuffer::GrowFor(std::size_t more) {
    const std::size_t needed = data_.size() + more;
    if (needed <= data_.capacity()) return;
    // Doubling keeps the cost of appending linear, and the storage never exceeds twice
    // the bytes held. A length field only caps a step at the end of its frame, once the
    // bytes have come that close: a header alone never reserves anything.
    std::size_t target = std::max(needed, 2 * data_.capacity());
    if (frameEnd_ != npos && needed <= frameEnd_ && frameEnd_ / 2 <= needed) target = frameEnd_;
    // A fresh string takes exactly the size asked for; reserve() on the old one would
    // round a step up to twice its capacity.
    std::string grown;
    grown.reserve(target);
    grown.append(data_);
    data_.swap(grown);
}

void ReceiveBuffer::NoteFrameEnd() {
    // The length field is short; a header that has not ended within a few bytes of the
    // SOH is not worth waiting for.
    constexpr std::size_t kHeaderLimit = 24;
    if (soh_ == npos) return;
    const std::size_t visibleEnd = nul_ == npos ? data_.size() : nul_;
    const std::size_t end = std::min(visibleEnd, soh_ + kHeaderLimit);
    const std::size_t stx = Find(data_, kSTX, soh_ + 1, end);
    if (stx == npos) {
        headerSeen_ = end == soh_ + kHeaderLimit;
        return;
    }
    headerSeen_ = true;
    const std::size_t payload =
        std::min<std::size_t>(ReadFrameLength(std::string_view(data_).substr(soh_ + 1, stx - soh_ - 1)), limit_);
    frameEnd_ = stx + 1 + payload + 1;
}

void ReceiveBuffer::Scan(std::size_t from) {
    // Markers behind the first NUL are invisible to the processor, so they are not
    // tracked until the NUL rule removes what hides them.
    if (nul_ != npos) return;
    nul_ = Find(data_, '\0', from, data_.size());
    const std::size_t end = nul_ == npos ? data_.size() : nul_;
    std::size_t eotHere = npos;
    if (eot_ == npos || eotAfterSoh_ == npos) eotHere = Find(data_, kEOT, from, end);
    if (eot_ == npos) eot_ = eotHere;
    if (soh_ == npos) soh_ = Find(data_, kSOH, from, end);
    // eotHere was searched whenever eotAfterSoh_ is still open; without an EOT in the new
    // bytes there is nothing more to find.
    if (soh_ != npos && eotAfterSoh_ == npos && eotHere != npos) {
        eotAfterSoh_ = eotHere > soh_ ? eotHere : Find(data_, kEOT, std::max(soh_, eotHere) + 1, end);
    }
}

void ReceiveBuffer::ApplyNulRule() {
    // Each round drops one NUL-ended segment of the current connection that holds no
    // complete frame. Every round scans only the segment after the dropped one, and such
    // segments are always bytes of the latest append (older bytes either held no NUL,
    // ended in one, or hold a complete frame before it), so the rule costs nothing beyond
    // the new bytes.
    std::size_t cut = npos;
    while (nul_ != npos && nul_ + 1 < data_.size() && eotAfterSoh_ == npos) {
        cut = nul_ + 1;
        ResetMarkers();
        Scan(cut);
    }
    if (cut != npos) {
        EraseCurrent(waitEnd_, cut);
        headerSeen_ = false;
        frameEnd_ = npos;
    }
}

}  // namespace collector
