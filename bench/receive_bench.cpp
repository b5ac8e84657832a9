// Receive-path benchmark: frames with 4, 16 and 64 MiB of base64 payload are fed through
// QClientSocketDataAvailable in 64 KiB reads and then processed by PakketVerwerker, which
// writes TV_BRIVON.XML into a temporary folder. For comparison, `base64 -d` from coreutils
// decodes the same payload in the same run.
//
// Each size runs in a child process (this program with "--size N --out FILE"), so that
// the peak resident memory belongs to that size alone. The input is generated in chunks
// straight into the frame, so the benchmark's own copy of the input is the frame itself;
// it is measured before feeding and subtracted.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "collector/brivon_morvel.h"
#include "platform/process.h"
#include "text/base64.h"
#include "text/strings.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using collector::TSocketState;

constexpr std::size_t kRead = 64 * 1024;
constexpr std::size_t kMiB = 1024 * 1024;

class NullLog : public collector::ServiceLog {
public:
    void WriteEvent(const std::u16string& message, std::uint32_t, int, int) override { last = message; }
    std::u16string last;
};

class NullEvent : public collector::TimerEventOps {
public:
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    std::int32_t Interval() const override { return interval; }
    void SetInterval(std::int32_t ms) override { interval = ms; }
    bool enabled = false;
    std::int32_t interval = 0;
};

class NullTimers : public collector::TimerListOps {
public:
    collector::TimerEventOps& Events(int index) override { return events[index]; }
    void SetActive(bool) override {}
    NullEvent events[3];
};

// Hands out the frame in reads of at most 64 KiB, as a socket would.
class FrameSocket : public collector::ClientSocketOps {
public:
    explicit FrameSocket(const std::string& frame) : frame_(frame) {}
    TSocketState State() const override { return state; }
    void SetAddr(const std::u16string&) override {}
    void SetPort(const std::u16string&) override {}
    void Connect() override {}
    void Close() override {
        if (state == TSocketState::wsClosed) return;
        state = TSocketState::wsClosed;
        if (onClosed_) onClosed_(0);
    }
    int SendText(const std::u16string& text) override { return static_cast<int>(text.size()); }
    std::string ReceiveText() override {
        const std::size_t n = std::min(kRead, frame_.size() - offset);
        std::string bytes = frame_.substr(offset, n);
        offset += n;
        return bytes;
    }
    void SetHandlers(SessionHandler, SessionHandler, SessionHandler onClosed) override {
        onClosed_ = std::move(onClosed);
    }

    TSocketState state = TSocketState::wsConnected;
    std::size_t offset = 0;

private:
    const std::string& frame_;
    SessionHandler onClosed_;
};

std::uint64_t Fnv(std::uint64_t hash, std::string_view bytes) {
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// One size, in this process: prints "payloadMiB seconds peakKiB base64Seconds ok" to `out`.
int RunSize(std::size_t payloadMiB, const std::string& outFile) {
    const fs::path dir = fs::temp_directory_path() / ("vbx-receive-bench-" + std::to_string(payloadMiB));
    fs::remove_all(dir);
    fs::create_directories(dir);

    // The decoded document: XML lines with CR LF, generated in chunks of whole base64
    // groups and encoded straight into the frame.
    const std::size_t payload = payloadMiB * kMiB;
    const std::size_t textBytes = payload / 4 * 3;
    std::string frame = "\x01" + std::to_string(payload) + "\x02";
    const std::size_t header = frame.size();
    frame.reserve(header + payload + 1);
    std::uint64_t expectedHash = 14695981039346656037ull;
    {
        std::ofstream b64(dir / "payload.b64", std::ios::binary);
        std::string chunk, carry;
        std::size_t produced = 0, line = 0;
        while (produced < textBytes) {
            // The bytes cut off the previous chunk start this one, so the text runs on.
            chunk.swap(carry);
            carry.clear();
            while (chunk.size() < 3 * kMiB) {
                chunk += "<programma nr=\"" + std::to_string(line) + "\" kanaal=\"" + std::to_string(line % 97) +
                         "\">Uitzending " + std::to_string(line * 7919 % 100003) + "</programma>\r\n";
                ++line;
            }
            const std::size_t take = std::min(chunk.size() / 3 * 3, textBytes - produced);
            carry.assign(chunk, take);
            chunk.resize(take);
            if (produced + chunk.size() == textBytes) {
                // The document ends with a whole line, so the file equals it byte for byte.
                chunk.replace(chunk.size() - 3, 3, "a\r\n");
                if (chunk[chunk.size() - 4] == '\r') chunk[chunk.size() - 4] = 'a';
            }
            produced += chunk.size();
            expectedHash = Fnv(expectedHash, chunk);
            const std::string encoded = txt::Base64Encode(chunk);
            frame += encoded;
            b64.write(encoded.data(), static_cast<std::streamsize>(encoded.size()));
        }
    }
    frame.push_back('\x04');

    // base64 -d on the same payload, best of three.
    const std::string command =
        "base64 -d < '" + (dir / "payload.b64").string() + "' > '" + (dir / "decoded").string() + "'";
    double b64Seconds = 1e9;
    int b64Status = 0;
    for (int run = 0; run < 3; ++run) {
        const auto b64Start = Clock::now();
        b64Status |= std::system(command.c_str());
        b64Seconds = std::min(b64Seconds, std::chrono::duration<double>(Clock::now() - b64Start).count());
    }
    fs::remove(dir / "decoded");
    fs::remove(dir / "payload.b64");

    NullLog log;
    NullTimers timers;
    FrameSocket socket(frame);
    collector::TBrivonMorvel service(log, timers, socket, runtime::Now, txt::FromUtf8(dir.string() + "/"));
    service.OutputDirectory = txt::FromUtf8(dir.string());

    // The first reply lands in fresh memory; the later ones reuse the service's buffers,
    // as every reply after the first does in a running service.
    const std::uint64_t baselineKiB = platform::ResidentMemoryKiB();
    double coldSeconds = 0, warmSeconds = 1e9;
    bool ok = b64Status == 0;
    for (int run = 0; run < 3; ++run) {
        socket.state = TSocketState::wsConnected;
        socket.offset = 0;
        service.QClientSocketSessionConnected(&socket, 0);
        const auto start = Clock::now();
        while (socket.offset < frame.size()) service.QClientSocketDataAvailable(&socket, 0);
        const auto fed = Clock::now();
        service.PakketVerwerker();
        const auto done = Clock::now();
        const double seconds = std::chrono::duration<double>(done - start).count();
        if (run == 0) {
            coldSeconds = seconds;
        } else {
            warmSeconds = std::min(warmSeconds, seconds);
        }
        if (std::getenv("VBX_BENCH_PHASES")) {
            std::fprintf(stderr, "%zu MiB run %d: feed %.1f ms, process %.1f ms\n", payloadMiB, run,
                         std::chrono::duration<double, std::milli>(fed - start).count(),
                         std::chrono::duration<double, std::milli>(done - fed).count());
        }

        // Check the written file against the document.
        std::uint64_t hash = 14695981039346656037ull;
        {
            std::ifstream in(dir / "TV_BRIVON.XML", std::ios::binary);
            std::string chunk(kMiB, '\0');
            while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
                hash = Fnv(hash, std::string_view(chunk.data(), static_cast<std::size_t>(in.gcount())));
            }
        }
        const bool good = hash == expectedHash && socket.state == TSocketState::wsClosed &&
                          log.last == u"Vanto Brivon Morvel pakket ontvangen";
        if (!good) {
            std::fprintf(stderr, "size %zu run %d: file %s, socket %s, last entry \"%s\"\n", payloadMiB, run,
                         hash == expectedHash ? "ok" : "differs",
                         socket.state == TSocketState::wsClosed ? "closed" : "open", txt::ToUtf8(log.last).c_str());
        }
        ok = ok && good;
        fs::remove(dir / "TV_BRIVON.XML");
    }
    const std::uint64_t peakKiB = platform::PeakResidentKiB();
    const std::uint64_t extraKiB = peakKiB > baselineKiB ? peakKiB - baselineKiB : 0;
    fs::remove_all(dir);

    std::ofstream out(outFile);
    out << payloadMiB << ' ' << coldSeconds << ' ' << warmSeconds << ' ' << extraKiB << ' ' << b64Seconds << ' '
        << (ok ? 1 : 0) << ' ' << frame.size() << '\n';
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--size") return RunSize(std::stoul(argv[2]), argv[4]);

    std::printf("%8s %11s %11s %11s %9s %9s %8s\n", "payload", "first", "later", "base64 -d", "later/", "peak",
                "peak/");
    std::printf("%8s %11s %11s %11s %9s %9s %8s\n", "MiB", "MiB/s", "MiB/s", "MiB/s", "base64", "MiB", "frame");
    double cold16 = 0, cold64 = 0, warm16 = 0, warm64 = 0;
    bool allOk = true;
    for (std::size_t mib : {4, 16, 64}) {
        const std::string outFile = (fs::temp_directory_path() / "vbx-receive-bench.result").string();
        const std::string command =
            std::string("'") + argv[0] + "' --size " + std::to_string(mib) + " --out '" + outFile + "'";
        const int status = std::system(command.c_str());
        std::ifstream in(outFile);
        std::size_t payloadMiB = 0, frameBytes = 0;
        double cold = 0, warm = 0, b64Seconds = 0;
        std::uint64_t extraKiB = 0;
        int ok = 0;
        in >> payloadMiB >> cold >> warm >> extraKiB >> b64Seconds >> ok >> frameBytes;
        fs::remove(outFile);
        if (status != 0 || !ok) allOk = false;
        const double mb = double(payloadMiB);
        std::printf("%8zu %11.0f %11.0f %11.0f %8.2fx %9.1f %7.2fx%s\n", payloadMiB, mb / cold, mb / warm,
                    mb / b64Seconds, b64Seconds / warm, double(extraKiB) / 1024.0,
                    double(extraKiB) * 1024.0 / double(frameBytes), ok ? "" : "  WRONG OUTPUT");
        if (mib == 16) cold16 = cold, warm16 = warm;
        if (mib == 64) cold64 = cold, warm64 = warm;
    }
    std::printf("time 64 MiB / time 16 MiB: first reply %.2f, later replies %.2f\n", cold64 / cold16, warm64 / warm16);
    std::printf("peak: resident memory above the benchmark's own copy of the frame, over all replies\n");
    return allOk ? 0 : 1;
}
