// Receive-path benchmark: frames with 4, 16 and 64 MiB of base64 payload are fed through
// QClientSocketDataAvailable in 64 KiB reads and then processed by PakketVerwerker, which
// writes TV_BRIVON.XML into a temporary folder. For comparison, in the same run:
// `base64 -d` from coreutils decodes the same payload into a file, and the floor, a
// minimal reference doing only the unavoidable work (64 KiB copies into fresh huge-page
// memory, a plain table decode in place, a write into a new file without a flush).
//
// Each run of a size is a fresh child process (this program with "--size N --out FILE"):
// its first reply pays for fresh memory as a restarted service does, and its peak resident
// memory belongs to that size alone. Every size runs in three children; the table shows
// the median of each column. The input is generated in chunks straight into the frame, so
// the benchmark's own copy of the input is the frame itself; it is measured before feeding
// and subtracted. The time spent flushing the file to stable storage is measured apart
// and left out of the reply times (it measures the disk, not the program).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "bench/null_collaborators.h"
#include "collector/brivon_morvel.h"
#include "collector/packet_text.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/system.h"
#include "tests/support/receive_text.h"
#include "text/base64.h"
#include "text/strings.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using collector::TSocketState;

constexpr std::size_t kRead = 64 * 1024;
constexpr std::size_t kMiB = 1024 * 1024;

// Hands out the frame in reads of at most 64 KiB, as a socket would.
class FrameSocket : public testsupport::StringReadSocket {
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

// The floor: the frame arrives in 64 KiB copies into fresh huge-page memory, the payload
// is decoded in place by the plain table decoder and written into a new file, unflushed.
double FloorSeconds(const std::string& frame, std::size_t header, std::size_t payload, const fs::path& file) {
    const auto start = Clock::now();
    platform::MemoryRegion memory(frame.size());
    memory.Grow(frame.size());
    for (std::size_t at = 0; at < frame.size(); at += kRead) {
        std::memcpy(memory.Data() + at, frame.data() + at, std::min(kRead, frame.size() - at));
    }
    const std::size_t decoded =
        collector::DecodeWellFormedBase64InPlace(memory.Data() + header, payload, txt::Base64Kernel::kPortable);
    std::FILE* out = std::fopen(file.string().c_str(), "wb");
    if (out == nullptr || decoded == std::string_view::npos ||
        std::fwrite(memory.Data() + header, 1, decoded, out) != decoded) {
        std::fprintf(stderr, "floor reference failed\n");
    }
    if (out != nullptr) std::fclose(out);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    fs::remove(file);
    return seconds;
}

struct SizeResult {
    double first = 0, firstFlush = 0;  // seconds of the first reply without its flush, and the flush
    double later = 0, laterFlush = 0;  // the same, median of the later replies
    double base64 = 0, floor = 0;      // seconds
    double peakKiB = 0;                // peak resident memory above the idle figure
    double afterKiB = 0;               // resident memory after the last reply above the idle figure
    double ok = 0;
    double frameBytes = 0;
};

// The frame of a payload of that size, and the hash of the document it carries.
struct Frame {
    std::string bytes;
    std::size_t header = 0;
    std::size_t payload = 0;
    std::uint64_t hash = 0;
};

Frame MakeFrame(std::size_t payloadMiB) {
    // The decoded document: XML lines with CR LF, generated in chunks of whole base64
    // groups and encoded straight into the frame.
    const std::size_t payload = payloadMiB * kMiB;
    const std::size_t textBytes = payload / 4 * 3;
    std::string frame = "\x01" + std::to_string(payload) + "\x02";
    const std::size_t header = frame.size();
    frame.reserve(header + payload + 1);
    std::uint64_t expectedHash = 14695981039346656037ull;
    {
        std::string chunk, carry;
        std::size_t produced = 0, line = 0;
        while (produced < textBytes) {
            // The bytes cut off the previous chunk start this one, so the text runs on.
            chunk.swap(carry);
            carry.clear();
            while (chunk.size() < 3 * kRead) {
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
        }
    }
    frame.push_back('\x04');
    return Frame{std::move(frame), header, payload, expectedHash};
}

// One size, in this process: writes a SizeResult to `outFile`.
int RunSize(std::size_t payloadMiB, const std::string& outFile) {
    const fs::path dir = fs::temp_directory_path() / ("vbx-receive-bench-" + std::to_string(payloadMiB));
    fs::remove_all(dir);
    fs::create_directories(dir);

    Frame made = MakeFrame(payloadMiB);
    const std::string& frame = made.bytes;
    const std::uint64_t expectedHash = made.hash;
    SizeResult result;
    bool ok = true;

    bench::NullLog log;
    bench::NullTimers timers;
    FrameSocket socket(frame);
    collector::TBrivonMorvel service(log, timers, socket, runtime::Now, txt::FromUtf8(dir.string() + "/"));
    service.OutputDirectory = txt::FromUtf8(dir.string());

    // The first reply lands in fresh memory; the service gives its storage back after
    // each reply, so the later ones touch fresh memory as well.
    constexpr int kReplies = 4;
    std::string chunk(kRead, '\0');  // for reading the file back, outside the figures
    const std::uint64_t idleKiB = platform::ResidentMemoryKiB();
    std::vector<double> later, laterFlush;
    for (int run = 0; run < kReplies; ++run) {
        socket.state = TSocketState::wsConnected;
        socket.offset = 0;
        service.QClientSocketSessionConnected(&socket, 0);
        const double flushBefore = platform::StableStorageFlushMs();
        const auto start = Clock::now();
        while (socket.offset < frame.size()) service.QClientSocketDataAvailable(&socket, 0);
        const auto fed = Clock::now();
        service.PakketVerwerker();
        const auto done = Clock::now();
        const double flush = (platform::StableStorageFlushMs() - flushBefore) / 1000.0;
        const double seconds = std::chrono::duration<double>(done - start).count() - flush;
        if (run == 0) {
            result.first = seconds;
            result.firstFlush = flush;
        } else {
            later.push_back(seconds);
            laterFlush.push_back(flush);
        }
        if (std::getenv("VBX_BENCH_PHASES")) {
            std::fprintf(stderr, "%zu MiB run %d: feed %.1f ms, process %.1f ms of which flush %.1f ms\n", payloadMiB,
                         run, std::chrono::duration<double, std::milli>(fed - start).count(),
                         std::chrono::duration<double, std::milli>(done - fed).count(), flush * 1000.0);
        }

        // Check the written file against the document.
        std::uint64_t hash = 14695981039346656037ull;
        {
            std::ifstream in(dir / "TV_BRIVON.XML", std::ios::binary);
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
    // The payload for base64 -d is written only now, so that the first reply finds the
    // machine as the floor's process does: its page-cache pages for the written file come
    // from memory the previous process freed, not from fresh memory the benchmark's own
    // file took away.
    const fs::path b64File = dir / "payload.b64";
    ok = ok && platform::CreateNewFileDurably(txt::FromUtf8(b64File.string()),
                                              std::string_view(frame).substr(made.header, made.payload)) == 0;
    // base64 -d on the same payload into a file, best of three, after the replies: its
    // unflushed output would slow down the writes of a reply that followed it.
    const std::string command = "base64 -d < '" + b64File.string() + "' > '" + (dir / "decoded").string() + "'";
    result.base64 = 1e9;
    int b64Status = 0;
    for (int run = 0; run < 3; ++run) {
        const auto b64Start = Clock::now();
        b64Status |= std::system(command.c_str());
        result.base64 = std::min(result.base64, std::chrono::duration<double>(Clock::now() - b64Start).count());
        fs::remove(dir / "decoded");
    }
    fs::remove(b64File);
    ok = ok && b64Status == 0;

    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    result.later = median(later);
    result.laterFlush = median(laterFlush);
    const std::uint64_t afterKiB = platform::ResidentMemoryKiB();
    const std::uint64_t peakKiB = platform::PeakResidentKiB();
    result.peakKiB = peakKiB > idleKiB ? double(peakKiB - idleKiB) : 0.0;
    result.afterKiB = double(afterKiB) - double(idleKiB);
    result.ok = ok ? 1 : 0;
    result.frameBytes = double(frame.size());
    fs::remove_all(dir);

    std::ofstream out(outFile);
    for (double value : {result.first, result.firstFlush, result.later, result.laterFlush, result.base64, result.floor,
                         result.peakKiB, result.afterKiB, result.ok, result.frameBytes}) {
        out << value << ' ';
    }
    out << '\n';
    return ok ? 0 : 1;
}

// The floor of one size, in a fresh process of its own like the first reply: writes its
// seconds to `outFile`.
int RunFloor(std::size_t payloadMiB, const std::string& outFile) {
    const fs::path dir = fs::temp_directory_path() / ("vbx-receive-floor-" + std::to_string(payloadMiB));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Frame frame = MakeFrame(payloadMiB);
    const double seconds = FloorSeconds(frame.bytes, frame.header, frame.payload, dir / "floor");
    fs::remove_all(dir);
    std::ofstream(outFile) << seconds << '\n';
    return 0;
}

// The median of each figure over the runs.
SizeResult Median(std::vector<SizeResult> runs) {
    SizeResult result;
    for (double SizeResult::*field :
         {&SizeResult::first, &SizeResult::firstFlush, &SizeResult::later, &SizeResult::laterFlush, &SizeResult::base64,
          &SizeResult::floor, &SizeResult::peakKiB, &SizeResult::afterKiB, &SizeResult::ok, &SizeResult::frameBytes}) {
        std::vector<double> values;
        for (const SizeResult& run : runs) values.push_back(run.*field);
        std::sort(values.begin(), values.end());
        result.*field = values[values.size() / 2];
    }
    for (const SizeResult& run : runs) result.ok = std::min(result.ok, run.ok);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--size") return RunSize(std::stoul(argv[2]), argv[4]);
    if (argc == 5 && std::string(argv[1]) == "--floor") return RunFloor(std::stoul(argv[2]), argv[4]);

    constexpr int kProcesses = 3;
    std::printf(
        "| payload MiB | first reply MiB/s | later replies MiB/s | base64 -d MiB/s | first / base64 -d "
        "| later / base64 -d | floor MiB/s | flush ms first / later | peak above frame | "
        "resident after - idle MiB |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    double first16 = 0, first64 = 0, later16 = 0, later64 = 0, floor16 = 0, floor64 = 0;
    bool allOk = true;
    for (std::size_t mib : {4, 16, 64}) {
        std::vector<SizeResult> runs;
        for (int process = 0; process < kProcesses; ++process) {
            const std::string outFile = (fs::temp_directory_path() / "vbx-receive-bench.result").string();
            const auto child = [&](const char* mode) {
                const std::string command =
                    std::string("'") + argv[0] + "' " + mode + " " + std::to_string(mib) + " --out '" + outFile + "'";
                return std::system(command.c_str());
            };
            SizeResult run;
            const int status = child("--size");
            {
                std::ifstream in(outFile);
                in >> run.first >> run.firstFlush >> run.later >> run.laterFlush >> run.base64 >> run.floor >>
                    run.peakKiB >> run.afterKiB >> run.ok >> run.frameBytes;
                if (status != 0 || !in) run.ok = 0;
            }
            const int floorStatus = child("--floor");
            {
                std::ifstream in(outFile);
                in >> run.floor;
                if (floorStatus != 0 || !in) run.ok = 0;
            }
            fs::remove(outFile);
            runs.push_back(run);
        }
        const SizeResult r = Median(runs);
        if (r.ok == 0) allOk = false;
        const double mb = double(mib);
        std::printf("| %zu | %.0f | %.0f | %.0f | %.2fx | %.2fx | %.0f | %.0f / %.0f | %.2fx | %.1f |%s\n", mib,
                    mb / r.first, mb / r.later, mb / r.base64, r.base64 / r.first, r.base64 / r.later, mb / r.floor,
                    r.firstFlush * 1000.0, r.laterFlush * 1000.0, r.peakKiB * 1024.0 / r.frameBytes,
                    r.afterKiB / 1024.0, r.ok != 0 ? "" : "  WRONG OUTPUT");
        std::fflush(stdout);
        if (mib == 16) first16 = r.first, later16 = r.later, floor16 = r.floor;
        if (mib == 64) first64 = r.first, later64 = r.later, floor64 = r.floor;
    }
    std::printf("\ntime 64 MiB / time 16 MiB: first reply %.2f, later replies %.2f, floor %.2f\n", first64 / first16,
                later64 / later16, floor64 / floor16);
    return allOk ? 0 : 1;
}
