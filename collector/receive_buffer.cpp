#include "collector/receive_buffer.h"

#include <algorithm>
#include <cstring>

#include "collector/packet_text.h"

namespace collector {

namespace {

// Storage up to this size is kept when the buffer is emptied, so the next reply of a
// similar size lands in memory that is already mapped; larger storage is given back.
// Together with the bound per connection this keeps every reply that can be processed.
constexpr std::size_t kKeptCapacity = ReceiveBuffer::kConnectionLimit + 64 * 1024;

std::size_t Find(const std::string& data, char c, std::size_t from, std::size_t to) {
    if (from >= to) return std::string::npos;
    const void* hit = std::memchr(data.data() + from, c, to - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data.data()) : std::string::npos;
}

}  // namespace

void ReceiveBuffer::BeginConnection() {
    if (!HasCompleteFrame()) {
        Clear();
    } else {
        // A frame waits. The connection that just ended is kept only when it delivered a
        // complete frame of its own; otherwise its bytes would be glued to the new reply
        // once the waiting frame is gone.
        if (connStart_ > 0 && !HoldsCompleteFrame(connStart_, data_.size())) {
            TruncateTo(connStart_);
            later_.pop_back();
        }
        later_.push_back(data_.size());
    }
    connStart_ = data_.size();
    connEot_ = false;
    sizeKnown_ = false;
}

ReceiveBuffer::AppendResult ReceiveBuffer::Append(std::string_view bytes) {
    const std::size_t from = data_.size();
    data_.append(bytes);
    // The end-of-frame test looks at the raw bytes of this connection only; a frame still
    // waiting in the buffer from an earlier connection must not cut this reply short.
    if (!connEot_ && std::memchr(bytes.data(), kEOT, bytes.size()) != nullptr) connEot_ = true;
    Scan(from);
    ApplyNulRule();
    if (!sizeKnown_) ReserveForFrame();

    if (data_.size() - connStart_ > kConnectionLimit) {
        // The markers describe the first frame of the buffer; a connection behind a
        // waiting frame is looked at on its own (once: the connection is closed next).
        const bool frameEndsHere = connStart_ == 0 ? eotAfterSoh_ != npos
                                                   : HoldsCompleteFrame(connStart_, data_.size());
        if (frameEndsHere) return connEot_ ? AppendResult::kEndOfFrame : AppendResult::kMore;
        TruncateTo(connStart_);
        return AppendResult::kOverflow;
    }
    return connEot_ ? AppendResult::kEndOfFrame : AppendResult::kMore;
}

void ReceiveBuffer::Clear() {
    if (data_.capacity() > kKeptCapacity) {
        std::string().swap(data_);
    } else {
        data_.clear();
    }
    ResetMarkers();
    connStart_ = 0;
    later_.clear();
    sizeKnown_ = false;
}

void ReceiveBuffer::DiscardFrameConnection() {
    if (later_.empty()) {
        Clear();
        return;
    }
    // The processor may have decoded over the dropped bytes; the markers of the kept
    // bytes are found again, once, and the NUL rule applies to them as to fresh bytes.
    DropFront(later_.front());
    ResetMarkers();
    Scan(0);
    ApplyNulRule();
    sizeKnown_ = false;
    ReserveForFrame();
}

bool ReceiveBuffer::HoldsCompleteFrame(std::size_t from, std::size_t to) const {
    // The NUL rule drops a NUL-ended piece without a complete frame once bytes follow it,
    // so a frame in any piece counts.
    while (from < to) {
        const std::size_t nul = Find(data_, '\0', from, to);
        const std::size_t end = nul == npos ? to : nul;
        const std::size_t soh = Find(data_, kSOH, from, end);
        if (soh != npos && Find(data_, kEOT, soh + 1, end) != npos) return true;
        if (nul == npos) break;
        from = nul + 1;
    }
    return false;
}

void ReceiveBuffer::DropFront(std::size_t cut) {
    data_.erase(0, cut);
    for (std::size_t* pos : {&soh_, &eot_, &eotAfterSoh_, &nul_}) {
        if (*pos != npos) *pos = *pos >= cut ? *pos - cut : npos;
    }
    connStart_ = connStart_ > cut ? connStart_ - cut : 0;
    // A connection that now begins at the start is the first one, not a later one.
    std::erase_if(later_, [cut](std::size_t start) { return start <= cut; });
    for (std::size_t& start : later_) start -= cut;
}

void ReceiveBuffer::ReserveForFrame() {
    // The length field is short; a header that has not ended within a few bytes of the
    // SOH is not worth waiting for. The reservation is bounded by what a connection may
    // hold, and unused reserved memory costs nothing until written.
    constexpr std::size_t kHeaderLimit = 24;
    if (soh_ == npos) return;
    if (soh_ < connStart_) {
        sizeKnown_ = true;   // a frame kept from an earlier connection comes first
        return;
    }
    const std::size_t end = std::min(Visible().size(), soh_ + kHeaderLimit);
    const std::size_t stx = Find(data_, kSTX, soh_ + 1, end);
    if (stx == npos) {
        sizeKnown_ = end == soh_ + kHeaderLimit;
        return;
    }
    sizeKnown_ = true;
    const std::size_t payload = std::min<std::size_t>(ReadFrameLength(Visible().substr(soh_ + 1, stx - soh_ - 1)),
                                                      kConnectionLimit);
    const std::size_t wanted = stx + 1 + payload + 1;
    if (wanted > data_.capacity()) data_.reserve(wanted);
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
    // Each round drops one NUL-ended segment that holds no complete frame. Every round
    // scans only the segment after the dropped one, and such segments are always bytes
    // of the latest append (older bytes either held no NUL, ended in one, or hold a
    // complete frame before it), so the rule costs nothing beyond the new bytes.
    std::size_t cut = 0;
    while (nul_ != npos && nul_ + 1 < data_.size() && eotAfterSoh_ == npos) {
        cut = nul_ + 1;
        ResetMarkers();
        Scan(cut);
    }
    if (cut != 0) DropFront(cut);
}

void ReceiveBuffer::TruncateTo(std::size_t size) {
    data_.resize(size);
    for (std::size_t* pos : {&soh_, &eot_, &eotAfterSoh_, &nul_}) {
        if (*pos != npos && *pos >= size) *pos = npos;
    }
    // The markers were searched only up to the NUL that is now gone; that part is intact
    // and what followed it is discarded, so nothing is left unscanned.
}

}  // namespace collector
