// The receive path: a script of socket and timer events over several connections, driven
// through the service object's handlers with a small per-connection limit, so the bound
// is reached. Input: byte 0 picks the limit (256 to 4096 bytes), then steps, each an
// operation byte and its arguments (see the switch). After every step the rig compares
// the buffer, the files and the log with its models (README.md lists the invariants).

#include "collector_harness.h"

namespace {

runtime::TDateTime ClockOf(std::uint8_t b) { return {2026, 1 + b % 12, 1 + b % 28, b % 24, b % 60, (b * 7) % 60, 0}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    const auto byte = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    const auto bytes = [&](std::size_t n) {
        const std::string out(reinterpret_cast<const char*>(data) + at, std::min(n, size - at));
        at += out.size();
        return out;
    };
    fuzz::Rig rig(256 * (1 + byte() % 16), u"out", ClockOf(0));
    bool failing = false;
    while (at < size) {
        const std::uint8_t op = byte();
        switch (op >= 0xF0 ? 8 : op % 8) {
        case 0: rig.Connect(); break;
        case 1: rig.Read(bytes(byte())); break;  // a read of n bytes
        case 2: {                                // a large read: n bytes repeated k times
            const std::string chunk = bytes(1 + byte());
            std::string read;
            for (int k = 1 + byte() % 64; k > 0; --k) read += chunk;
            rig.Read(std::move(read));
            break;
        }
        case 3: rig.PeerClose(); break;
        case 4: rig.Watchdog(); break;
        case 5: rig.Tick(); break;
        case 6: rig.SetFailing(failing = !failing); break;
        case 7: rig.SetClock(ClockOf(byte())); break;
        default: {  // a well-formed reply from the input: whole, cut short, or with bytes after it
            std::string reply = testsupport::FrameOf(bytes(byte()));
            if (op & 1) reply.resize(reply.size() / 2);
            if (op & 2) reply += "\r\nYWJj";
            rig.Read(std::move(reply));
        }
        }
        rig.Verify();
    }
    rig.SetFailing(false);
    rig.Tick();
    rig.Verify();
    return 0;
}
