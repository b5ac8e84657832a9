// The receive path: a script of socket and timer events over several connections, driven
// through the service object's handlers with a small per-connection limit, so the bound
// is reached.
//
// Input: byte 0 picks the limit (256 to 4096 bytes), then steps, each an operation byte
// and its arguments: a new connection; a read of n bytes; a large read (n bytes repeated k
// times); the peer's close; the watchdog; a processing tick; the file sink starting or
// stopping to fail; a new clock; a well-formed reply built from the input (whole, cut
// short, or followed by more bytes). Invariants after every step:
// - the buffer holds exactly what a reference model of the connections holds (the
//   waiting and the current connection, the NUL rule, the limit), and never more than the
//   bounds allow: at most two connections, the current one within the limit while it has
//   no complete frame and within the limit plus the largest read once it has, the waiting
//   one within the limit plus the largest read, the whole within twice that;
// - each tick writes and logs what the reference model of packet processing says for the
//   frame connection's first frame;
// - every log entry is one of the system's texts, in the order the handlers must log them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "collector_harness.h"

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string Bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        std::string out(reinterpret_cast<const char*>(data_) + at_, n);
        at_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

runtime::TDateTime ClockOf(std::uint8_t b) { return {2026, 1 + b % 12, 1 + b % 28, b % 24, b % 60, (b * 7) % 60, 0}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::size_t limit = 256 * (1 + in.Byte() % 16);
    fuzz::Rig rig(limit, u"out", ClockOf(0));
    bool failing = false;
    while (!in.Empty()) {
        const std::uint8_t op = in.Byte();
        if (op >= 0xF0) {
            // A well-formed reply in one read, payload taken from the input; the low bits
            // cut it short or add bytes behind it.
            std::string reply = testsupport::FrameOf(in.Bytes(in.Byte()));
            if (op & 1) reply.resize(reply.size() / 2);
            if (op & 2) reply += "\r\nYWJj";
            rig.Read(std::move(reply));
            rig.Verify();
            continue;
        }
        switch (op % 8) {
        case 0: rig.Connect(); break;
        case 1: rig.Read(in.Bytes(in.Byte())); break;
        case 2: {
            const std::string chunk = in.Bytes(1 + in.Byte());
            std::string read;
            for (int k = 1 + in.Byte() % 64; k > 0; --k) read += chunk;
            rig.Read(std::move(read));
            break;
        }
        case 3: rig.PeerClose(); break;
        case 4: rig.Watchdog(); break;
        case 5: rig.Tick(); break;
        case 6:
            failing = !failing;
            rig.SetFailing(failing);
            break;
        default: rig.SetClock(ClockOf(in.Byte())); break;
        }
        rig.Verify();
    }
    rig.SetFailing(false);
    rig.Tick();
    rig.Verify();
    return 0;
}
