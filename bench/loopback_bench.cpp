// End-to-end receive benchmark over loopback: VBxPakketServer serves a frame with 64 MiB
// of base64 payload to the real TWSocket, whose data events run the collector's own
// handler (TBrivonMorvel::QClientSocketDataAvailable) on a real message loop; then
// PakketVerwerker is called directly and writes TV_BRIVON.XML. In the same run a plain
// reader (blocking recv into a 64 KiB buffer) fetches the same frame from the same server.
//
// Usage: loopback_bench [--server PATH] [--mib N] [--runs N]
//   --server   VBxPakketServer (default: beside this program's folder, ../VBxPakketServer)
//   --mib      payload size in MiB (default 64)
//   --runs     rounds; each round makes one connection of the program and one of the
//              plain reader, in alternating order (default 3), after one uncounted
//              connection that lets the server touch its memory once
//
// Figures: receive throughput from the first to the last byte of the frame (payload MiB
// per second), the program's rate as a share of the plain reader's, and the time from the
// last byte to the renamed TV_BRIVON.XML (decode, write, flush, rename). The server
// encodes its reply before it sends the first byte, so that work is outside the window.
// With VBX_BENCH_PHASES set, each round also prints the number of data events, the time
// spent inside the data handler and the process's CPU time between the first and the last
// byte (a rate far below the plain reader's with little CPU means the program waited for
// the processor, not for the socket).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/client_socket_ops.h"
#include "bench/document.h"
#include "collector/brivon_morvel.h"
#include "net/wsocket.h"
#include "platform/messages.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "support/collector_fakes.h"
#include "support/messages.h"
#include "support/temp_folder.h"
#include "text/strings.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace ps = platform::net;

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kPlainRead = 64 * 1024;
// The server is given this long to start listening; a benchmark without it is no run.
constexpr int kServerStartAttempts = 200;
constexpr auto kServerStartPause = std::chrono::milliseconds(50);

// The adapter the program uses, counting the bytes the collector reads through it.
class CountingSocket : public collector::ClientSocketOps {
public:
    explicit CountingSocket(app::ClientSocketOpsAdapter& inner) : inner_(inner) {}
    collector::TSocketState State() const override { return inner_.State(); }
    void SetAddr(const std::u16string& addr) override { inner_.SetAddr(addr); }
    void SetPort(const std::u16string& port) override { inner_.SetPort(port); }
    void Connect() override { inner_.Connect(); }
    void Close() override { inner_.Close(); }
    int SendText(const std::u16string& text) override { return inner_.SendText(text); }
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) override {
        const std::size_t got = inner_.ReceiveTextInto(prepare);
        received += got;
        return got;
    }
    void SetHandlers(SessionHandler connected, SessionHandler data, SessionHandler closed) override {
        inner_.SetHandlers(std::move(connected), std::move(data), std::move(closed));
    }
    std::size_t received = 0;

private:
    app::ClientSocketOpsAdapter& inner_;
};

// XML lines with CR LF of exactly `bytes` bytes (a multiple of 3, so the payload has no fill).
std::uint64_t WriteDocument(const fs::path& file, std::size_t bytes) {
    std::ofstream out(file, std::ios::binary);
    std::uint64_t hash = bench::kFnvStart;
    std::string chunk;
    std::size_t written = 0, line = 0;
    while (written < bytes) {
        chunk.clear();
        while (chunk.size() < kMiB) chunk += bench::DocumentLine(line++);
        chunk.resize(std::min(chunk.size(), bytes - written));
        if (written + chunk.size() == bytes) chunk.replace(chunk.size() - 3, 3, "a\r\n");
        written += chunk.size();
        hash = bench::Fnv(hash, chunk);
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    return hash;
}

std::uint16_t FreePort() {
    ps::SOCKET s = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
    ps::SockAddrIn local;
    local.addr = ps::inet_addr("127.0.0.1");
    ps::bind(s, local);
    ps::SockAddrIn bound;
    ps::getsockname(s, bound);
    ps::closesocket(s);
    return ps::ntohs(bound.port);
}

struct Window {
    Clock::time_point first, last;
    std::size_t bytes = 0;
    bool ok = false;
    double Seconds() const { return std::chrono::duration<double>(last - first).count(); }
};

// The plain reader: a blocking socket, one request, recv into 64 KiB until the EOT.
Window PlainRead(std::uint16_t port) {
    Window w;
    ps::SOCKET s = ps::socket(ps::kAfInet, ps::kSockStream, ps::kIpProtoTcp);
    ps::SockAddrIn to;
    to.addr = ps::inet_addr("127.0.0.1");
    to.port = ps::htons(port);
    if (ps::connect(s, to) != 0) {
        ps::closesocket(s);
        return w;
    }
    const std::string request =
        "\x01"
        "4\x02"
        "QUJD\x04";
    ps::send(s, request.data(), int(request.size()), 0);
    std::vector<char> buffer(kPlainRead);
    for (;;) {
        const int got = ps::recv(s, buffer.data(), int(buffer.size()), 0);
        if (got <= 0) break;
        if (w.bytes == 0) w.first = Clock::now();
        w.bytes += std::size_t(got);
        if (buffer[std::size_t(got) - 1] == '\x04') {
            w.last = Clock::now();
            w.ok = true;
            break;
        }
    }
    ps::closesocket(s);
    return w;
}

struct ProgramResult {
    Window receive;
    double processSeconds = 0;
    bool fileOk = false;
    Clock::duration inHandler{};
    int notices = 0;
    double cpuAtFirst = 0, cpuMs = 0;
};

// The program: TWSocket on this thread's loop, the collector's handlers, then PakketVerwerker.
ProgramResult ProgramRead(std::uint16_t port, const fs::path& dir, std::uint64_t expectedHash) {
    ProgramResult r;
    testsupport::RecordingLog log;
    testsupport::FakeTimerList timers;
    net::TWSocket socket;
    app::ClientSocketOpsAdapter adapter(socket);
    CountingSocket counting(adapter);
    collector::TBrivonMorvel service(log, timers, counting, runtime::Now, txt::FromUtf8(dir.string() + "/"));
    service.OutputDirectory = txt::FromUtf8(dir.string());
    adapter.SetOwnerLock(&service.Lock());

    // The collector's data handler, with the first and the last byte stamped around it.
    bool closed = false;
    auto onData = socket.OnDataAvailable;
    socket.OnDataAvailable = [&](net::TWSocket& s, std::uint16_t error) {
        const auto now = Clock::now();
        if (counting.received == 0) {
            r.receive.first = now;
            r.cpuAtFirst = platform::ProcessCpuTimeMs();
        }
        onData(s, error);
        r.inHandler += Clock::now() - now;
        ++r.notices;
        r.receive.bytes = counting.received;
        if (s.State() == collector::TSocketState::wsClosed && !r.receive.ok) {
            r.receive.last = Clock::now();
            r.receive.ok = true;
            r.cpuMs = platform::ProcessCpuTimeMs() - r.cpuAtFirst;
        }
    };
    auto onClosed = socket.OnSessionClosed;
    socket.OnSessionClosed = [&](net::TWSocket& s, std::uint16_t error) {
        onClosed(s, error);
        closed = true;
    };

    adapter.SetAddr(u"127.0.0.1");
    adapter.SetPort(txt::FromUtf8(std::to_string(port)));
    adapter.Connect();
    platform::Message msg;
    while (!closed && platform::GetMessage(msg)) platform::DispatchMessage(msg);
    if (!r.receive.ok) return r;

    const auto start = Clock::now();
    service.PakketVerwerker();
    r.processSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const fs::path file = dir / "TV_BRIVON.XML";
    std::string buffer(kMiB, '\0');
    r.fileOk = log.LastText() == testsupport::texts::kOntvangen && bench::FileHash(file, buffer) == expectedHash;
    fs::remove(file);
    socket.OnDataAvailable = {};
    socket.OnSessionClosed = {};
    return r;
}

std::string ServerPath(const char* argv0) {
    fs::path self = fs::absolute(argv0);
    return (self.parent_path().parent_path() / "VBxPakketServer").string();
}

}  // namespace

int main(int argc, char** argv) {
    std::string server = ServerPath(argv[0]);
    std::size_t mib = 64;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--server")
            server = argv[i + 1];
        else if (arg == "--mib")
            mib = std::stoul(argv[i + 1]);
        else if (arg == "--runs")
            runs = std::max(1, std::stoi(argv[i + 1]));
    }
    if (ps::WSAStartup(0x0101) != 0) return 2;
    platform::EnsureMessageQueue();

    const testsupport::TempFolder folder("loopback-bench");
    const fs::path& dir = folder.Path();
    const std::size_t documentBytes = mib * kMiB / 4 * 3;
    const std::uint64_t expectedHash = WriteDocument(dir / "document.xml", documentBytes);

    const std::uint16_t port = FreePort();
    const fs::path pidFile = dir / "server.pid";
    const std::string command = "'" + server + "' --port " + std::to_string(port) + " --file '" +
                                (dir / "document.xml").string() + "' --count " + std::to_string(2 * runs + 1) + " > '" +
                                (dir / "server.log").string() + "' 2>&1 & echo $! > '" + pidFile.string() + "'";
    if (std::system(command.c_str()) != 0) return 2;
    bool listening = false;
    for (int attempt = 0; attempt < kServerStartAttempts && !listening; ++attempt) {
        std::ifstream log(dir / "server.log");
        std::string line;
        listening = std::getline(log, line) && line.find("listening on") != std::string::npos;
        if (!listening) std::this_thread::sleep_for(kServerStartPause);
    }
    if (!listening) {
        std::fprintf(stderr, "VBxPakketServer (%s) did not start\n", server.c_str());
        return 2;
    }

    // One reply before the rounds, not counted: the server's first reply runs on memory it
    // has never touched, which would slow whichever side meets it first.
    if (!PlainRead(port).ok) {
        std::fprintf(stderr, "VBxPakketServer sent no frame\n");
        return 2;
    }

    std::printf("payload %zu MiB over loopback, frame bytes received from first to last byte\n", mib);
    std::printf("%4s %13s %13s %9s %14s\n", "run", "program", "plain recv", "program/", "last byte to");
    std::printf("%4s %13s %13s %9s %14s\n", "", "MiB/s", "MiB/s", "plain", "renamed file ms");
    std::vector<double> shares;
    bool allOk = true;
    for (int run = 1; run <= runs; ++run) {
        ProgramResult program;
        Window plain;
        // Alternate the order, so neither side always meets a warm server.
        if (run % 2 == 1) {
            program = ProgramRead(port, dir, expectedHash);
            plain = PlainRead(port);
        } else {
            plain = PlainRead(port);
            program = ProgramRead(port, dir, expectedHash);
        }
        const bool ok = program.receive.ok && program.fileOk && plain.ok && program.receive.bytes == plain.bytes;
        allOk = allOk && ok;
        if (std::getenv("VBX_BENCH_PHASES"))
            std::fprintf(stderr, "run %d: %d data events, %.1f ms in the data handler, %.1f ms CPU\n", run,
                         program.notices, std::chrono::duration<double, std::milli>(program.inHandler).count(),
                         program.cpuMs);
        if (!ok)
            std::fprintf(stderr, "run %d: program received %s (%zu bytes), file %s; plain reader %s (%zu bytes)\n", run,
                         program.receive.ok ? "the frame" : "no frame", program.receive.bytes,
                         program.fileOk ? "right" : "wrong", plain.ok ? "the frame" : "no frame", plain.bytes);
        const double programRate = double(mib) / program.receive.Seconds();
        const double plainRate = double(mib) / plain.Seconds();
        shares.push_back(programRate / plainRate);
        std::printf("%4d %13.0f %13.0f %8.0f%% %14.1f%s\n", run, programRate, plainRate,
                    100.0 * programRate / plainRate, program.processSeconds * 1000.0, ok ? "" : "  WRONG RESULT");
    }
    std::sort(shares.begin(), shares.end());
    std::printf("median program/plain: %.0f%% (target at least 70%%)\n", 100.0 * shares[shares.size() / 2]);

    std::ifstream pid(pidFile);
    std::string serverPid;
    if (pid >> serverPid) {
        // The server may have ended by itself already; that is no failure of the benchmark.
        [[maybe_unused]] const int killed = std::system(("kill " + serverPid + " 2>/dev/null").c_str());
    }
    return allOk ? 0 : 1;
}
