#pragma once
// The collector's receive buffer: the bytes of the server's replies as they arrive, with
// the positions of the frame markers kept up to date as bytes are appended, so that the
// end-of-frame test and the processor's "is there a frame" test never re-scan old bytes.
//
// Threading contract: not thread-safe. The service object guards it with its one lock;
// every call happens under that lock.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace collector {

// Frame control bytes (shared by the request envelope and the reply).
constexpr char kSOH = '\x01';
constexpr char kSTX = '\x02';
constexpr char kEOT = '\x04';

class ReceiveBuffer {
public:
    static constexpr std::size_t npos = std::string::npos;
    // The bytes one connection may hold without forming a complete frame.
    static constexpr std::size_t kConnectionLimit = std::size_t{128} * 1024 * 1024;

    enum class AppendResult {
        kMore,         // no end-of-frame byte on this connection yet
        kEndOfFrame,   // the connection has delivered an EOT: close it
        kOverflow,     // the connection's bytes passed the limit and were discarded
    };

    // A new connection: leftovers holding no complete frame are discarded (so that an
    // unfinished reply or a stray byte is never glued to the new reply), and the
    // end-of-frame test starts afresh with this connection's bytes. While a complete frame
    // waits for processing, the new connection's bytes are kept apart from it: the buffer
    // remembers where the connection begins, and a later connection that ended without a
    // complete frame of its own is discarded here as a leftover.
    void BeginConnection();

    // Appends bytes received on the current connection. A NUL byte followed by later
    // bytes drops everything up to and including it, unless a complete frame lies before
    // it; otherwise the processor, which reads only up to the first NUL, would never see
    // a later frame.
    AppendResult Append(std::string_view bytes);

    // Empties the buffer. The storage is kept for the next reply unless it grew beyond
    // what one connection may hold.
    void Clear();

    // The processor's last step: drops the bytes of the connection the processed frame
    // came from, and keeps every byte that arrived on later connections (a reply still
    // arriving, or one that arrived whole while the frame waited). Without a later
    // connection this empties the buffer. The kept bytes are scanned afresh.
    void DiscardFrameConnection();

    bool Empty() const { return data_.empty(); }
    std::size_t Size() const { return data_.size(); }
    std::string_view Bytes() const { return data_; }
    // The part the processor looks at: everything before the first NUL.
    std::string_view Visible() const { return std::string_view(data_).substr(0, nul_ == npos ? data_.size() : nul_); }

    // The visible bytes of the connection that holds the first frame: the processor reads
    // its frame from these only, so a frame never takes bytes of a later reply.
    std::string_view FrameConnection() const { return Visible().substr(0, FrameConnectionSize()); }
    // The raw size of that connection's bytes, from the start of the buffer.
    std::size_t FrameConnectionSize() const { return later_.empty() ? data_.size() : later_.front(); }

    // For the processor, which decodes the frame where it lies and then discards it: the
    // bytes before FrameConnectionSize() may be overwritten, but then only
    // DiscardFrameConnection() or Clear() may follow. Later bytes must stay untouched.
    char* MutableData() { return data_.data(); }

    // Positions within Visible(), npos when absent.
    std::size_t FirstSoh() const { return soh_; }
    std::size_t FirstEot() const { return eot_; }
    // True when Visible() holds an SOH followed, later, by an EOT.
    bool HasCompleteFrame() const { return eotAfterSoh_ != npos; }

private:
    // Finds the markers in data_[from, size): first the NUL that ends the visible part,
    // then the SOH and EOT positions before it. Bytes before `from` were scanned already.
    void Scan(std::size_t from);
    void ApplyNulRule();
    void TruncateTo(std::size_t size);
    // Removes data_[0, cut) and moves every position along with the bytes.
    void DropFront(std::size_t cut);
    // True when data_[from, to), read on its own with the NUL rule, holds a complete frame.
    bool HoldsCompleteFrame(std::size_t from, std::size_t to) const;
    void ResetMarkers() { soh_ = eot_ = eotAfterSoh_ = nul_ = npos; }
    // Once this connection's frame header is in, makes room for the announced payload,
    // so a large reply is stored once instead of being copied at every growth step.
    void ReserveForFrame();

    std::string data_;
    std::size_t soh_ = npos;           // first SOH before the first NUL
    std::size_t eot_ = npos;           // first EOT before the first NUL
    std::size_t eotAfterSoh_ = npos;   // first EOT after soh_, before the first NUL
    std::size_t nul_ = npos;           // first NUL
    std::size_t connStart_ = 0;        // where the current connection's bytes begin
    // Where each connection that began while a complete frame waited begins, in order
    // (the last one is connStart_ while such a connection is current). The bytes before
    // the first of these belong to one connection, and hold the first complete frame.
    std::vector<std::size_t> later_;
    bool connEot_ = false;             // the current connection has delivered an EOT
    bool sizeKnown_ = false;           // ReserveForFrame has decided for this frame
};

}  // namespace collector
