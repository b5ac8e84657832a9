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
    // end-of-frame test starts afresh with this connection's bytes.
    void BeginConnection();

    // Appends bytes received on the current connection. A NUL byte followed by later
    // bytes drops everything up to and including it, unless a complete frame lies before
    // it; otherwise the processor, which reads only up to the first NUL, would never see
    // a later frame.
    AppendResult Append(std::string_view bytes);

    // Empties the buffer (the processor's last step). The storage is kept for the next
    // reply unless it grew beyond what one connection may hold.
    void Clear();

    bool Empty() const { return data_.empty(); }
    std::size_t Size() const { return data_.size(); }
    std::string_view Bytes() const { return data_; }
    // The part the processor looks at: everything before the first NUL.
    std::string_view Visible() const { return std::string_view(data_).substr(0, nul_ == npos ? data_.size() : nul_); }

    // For the processor, which decodes the frame where it lies and then empties the
    // buffer: the bytes may be overwritten, but only Clear() may follow.
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
    bool connEot_ = false;             // the current connection has delivered an EOT
    bool sizeKnown_ = false;           // ReserveForFrame has decided for this frame
};

}  // namespace collector
