// VBxPakketServer: the reference peer of the collector. It listens for connections, reads
// one request frame per connection (SOH, decimal length, STX, base64 text, EOT), checks
// and prints it, and answers with one framed packet. Fault modes let an operator or a
// test see how a deployment copes with a server that misbehaves.
//
// The server handles one connection at a time on the main thread with blocking sockets,
// so its output is a plain, ordered transcript of what happened on the wire.
//
// The cycle mode serves a soak run: each connection gets the next behaviour of a fixed
// round (a good reply, faulty ones, two frames), and every packet it builds carries a
// sequence number and a CRC-32 of its body, so a reader of the collector's output can tell
// a whole packet from a torn or a wrong one. Each complete good reply is announced on its
// own line ("good packet N sent at T ms") once the last byte of its (first) frame has been
// handed to the socket.
#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/sockets.h"
#include "runtime/codepage.h"
#include "text/base64.h"
#include "text/cp1252.h"
#include "text/strings.h"

namespace {

namespace net = platform::net;

constexpr char kSoh = '\x01';
constexpr char kStx = '\x02';
constexpr char kEot = '\x04';

// A request larger than this is not a request of the collector; reading stops there so a
// runaway peer cannot make the server grow without bound.
constexpr std::size_t kMaxRequestBytes = 1024 * 1024;

// The packet served when no file is given: a small BrivonTV document with CR LF line ends.
constexpr std::string_view kSampleDocument =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n"
    "<BrivonTV versie=\"1.0\">\r\n"
    "<Zender nr=\"1\" naam=\"Brivon Een\">\r\n"
    "<Programma start=\"20:00\" einde=\"20:30\">Journaal</Programma>\r\n"
    "<Programma start=\"20:30\" einde=\"21:25\">Weerbericht en sport</Programma>\r\n"
    "</Zender>\r\n"
    "</BrivonTV>\r\n";

enum class Mode { Normal, Refuse, Silent, Partial, Slow, Reset, Garbage, NoStx, Nul, Oversize, Cycle };

struct ModeName {
    Mode mode;
    std::string_view name;
};
constexpr std::array kModeNames{
    ModeName{Mode::Normal, "normal"},     ModeName{Mode::Refuse, "refuse"}, ModeName{Mode::Silent, "silent"},
    ModeName{Mode::Partial, "partial"},   ModeName{Mode::Slow, "slow"},     ModeName{Mode::Reset, "reset"},
    ModeName{Mode::Garbage, "garbage"},   ModeName{Mode::NoStx, "nostx"},   ModeName{Mode::Nul, "nul"},
    ModeName{Mode::Oversize, "oversize"}, ModeName{Mode::Cycle, "cycle"},
};

// The round of the cycle mode, in order; connection n of the mode gets turn n modulo 8.
enum class Turn { Good, Split, GarbageFirst, Unfinished, Reset, SilentClose, InvalidBase64, TwoFrames };

struct TurnName {
    Turn turn;
    std::string_view name;
};
constexpr std::array kCycle{
    TurnName{Turn::Good, "good"},
    TurnName{Turn::Split, "split"},
    TurnName{Turn::GarbageFirst, "garbage-first"},
    TurnName{Turn::Unfinished, "unfinished"},
    TurnName{Turn::Reset, "reset"},
    TurnName{Turn::SilentClose, "silent-close"},
    TurnName{Turn::InvalidBase64, "invalid-base64"},
    TurnName{Turn::TwoFrames, "two-frames"},
};

// The cycle's silent turn closes after this pause: long enough to be a connection that
// never answers, short enough that a soak run at a short request interval keeps moving.
constexpr auto kCycleSilence = std::chrono::milliseconds(1000);
// The cycle's split turn sends its frame in this many pieces, this far apart.
constexpr std::size_t kCyclePieces = 8;
constexpr auto kCyclePiecePause = std::chrono::milliseconds(25);
// Default document sizes of the generated packets when --size is not given.
constexpr std::size_t kOversizeDefaultBytes = std::size_t{4} * 1024 * 1024;
constexpr std::size_t kCycleDefaultBytes = std::size_t{200} * 1024;

std::string_view NameOf(Mode mode) {
    for (const auto& entry : kModeNames) {
        if (entry.mode == mode) return entry.name;
    }
    return "?";
}

std::optional<Mode> ParseMode(std::string_view text) {
    for (const auto& entry : kModeNames) {
        if (entry.name == text) return entry.mode;
    }
    return std::nullopt;
}

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 4001;
    std::string file;                       // empty: the built-in sample
    std::vector<Mode> modes{Mode::Normal};  // connection n uses modes[min(n, size - 1)]
    long count = 0;                         // 0: serve until killed
    int delayMs = 250;
    std::size_t chunk = 16;
    std::optional<std::size_t> size;  // document size of oversize and cycle packets
    std::string dumpDir;              // empty: requests are not saved
    std::uint32_t seed = 1;
};

constexpr std::string_view kUsage =
    "usage: VBxPakketServer [--host A.B.C.D] [--port N] [--file XML] [--mode MODE[,MODE...]]\n"
    "                       [--count N] [--delay-ms N] [--chunk N] [--size BYTES] [--dump DIR]\n"
    "                       [--seed N]\n"
    "modes: normal refuse silent partial slow reset garbage nostx nul oversize cycle\n"
    "  A list of modes applies to the connections in turn; the last one repeats.\n"
    "  --size: document bytes of an oversize packet (default 4194304) or of a cycle packet\n"
    "  (default 204800).\n"
    "  cycle: each connection gets the next of good, split, garbage-first, unfinished, reset,\n"
    "  silent-close (closes after 1 s), invalid-base64, two-frames; every packet carries\n"
    "  volgnr, lengte and crc32 (CRC-32 of the lines after the second) on its second line,\n"
    "  and each complete good reply is announced as \"good packet N sent at T ms\".\n"
    "  --port 0 listens on a free port; the first output line names it.\n";

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct HelpRequested {};

long ParseNumber(std::string_view option, std::string_view text, long low, long high) {
    long value = 0;
    if (text.empty() || text.size() > 10) throw UsageError(std::string(option) + ": not a number");
    for (char c : text) {
        if (c < '0' || c > '9') throw UsageError(std::string(option) + ": not a number");
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) throw UsageError(std::string(option) + ": out of range");
    return value;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") throw HelpRequested();
        if (i + 1 >= argc) throw UsageError(std::string(arg) + ": value missing");
        std::string_view value = argv[++i];
        if (arg == "--host") {
            options.host = value;
        } else if (arg == "--port") {
            options.port = static_cast<std::uint16_t>(ParseNumber(arg, value, 0, 65535));
        } else if (arg == "--file") {
            options.file = value;
        } else if (arg == "--mode") {
            options.modes.clear();
            std::size_t start = 0;
            while (start <= value.size()) {
                std::size_t comma = value.find(',', start);
                if (comma == std::string_view::npos) comma = value.size();
                auto mode = ParseMode(value.substr(start, comma - start));
                if (!mode) throw UsageError("--mode: unknown mode " + std::string(value.substr(start, comma - start)));
                options.modes.push_back(*mode);
                start = comma + 1;
            }
            if (options.modes.size() > 1 && std::ranges::count(options.modes, Mode::Refuse) > 0) {
                throw UsageError("--mode: refuse cannot be combined with other modes");
            }
            if (options.modes.size() > 1 && std::ranges::count(options.modes, Mode::Cycle) > 0) {
                throw UsageError("--mode: cycle cannot be combined with other modes");
            }
        } else if (arg == "--count") {
            options.count = ParseNumber(arg, value, 0, 1000000000);
        } else if (arg == "--delay-ms") {
            options.delayMs = static_cast<int>(ParseNumber(arg, value, 0, 600000));
        } else if (arg == "--chunk") {
            options.chunk = static_cast<std::size_t>(ParseNumber(arg, value, 1, 1 << 20));
        } else if (arg == "--size") {
            options.size = static_cast<std::size_t>(ParseNumber(arg, value, 1, 1 << 30));
        } else if (arg == "--dump") {
            options.dumpDir = value;
        } else if (arg == "--seed") {
            options.seed = static_cast<std::uint32_t>(ParseNumber(arg, value, 0, 4294967295L));
        } else {
            throw UsageError("unknown option " + std::string(arg));
        }
    }
    return options;
}

// Every line of the transcript is flushed at once: tests and operators read it live.
void Say(const std::string& line) { std::cout << line << '\n' << std::flush; }

void Complain(const std::string& line) { std::cerr << line << '\n' << std::flush; }

std::string DottedAddress(std::uint32_t networkOrder) {
    auto bytes = std::bit_cast<std::array<std::uint8_t, 4>>(networkOrder);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

std::string Frame(std::string_view base64Text, bool withStx = true) {
    std::string frame;
    frame.reserve(base64Text.size() + 16);
    frame += kSoh;
    frame += std::to_string(base64Text.size());
    if (withStx) frame += kStx;
    frame += base64Text;
    frame += kEot;
    return frame;
}

// A document of at least `bytes` bytes made of numbered programme lines, for the oversize mode.
std::string LargeDocument(std::size_t bytes) {
    std::string doc = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<BrivonTV versie=\"1.0\">\r\n";
    const std::string closing = "</BrivonTV>\r\n";
    for (std::size_t n = 1; doc.size() + closing.size() < bytes; ++n) {
        doc += "<Programma nr=\"" + std::to_string(n) + "\" start=\"00:00\">Herhaling</Programma>\r\n";
    }
    return doc + closing;
}

// CRC-32 as zlib computes it (reflected polynomial 0xEDB88320, all ones in and out), so a
// reader in any language can check a packet with its standard library.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

std::uint32_t Crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

// A packet of the cycle mode, about `bytes` long: the XML declaration, the root element's
// start tag with the packet's number, the length and the CRC-32 of everything after that
// line, then programme lines that name the packet, so that no two packets share a body and
// a read that mixes two of them fails its check. Only ASCII and CR LF line ends, which the
// collector writes back unchanged.
std::string SoakDocument(long sequence, std::size_t bytes) {
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";
    const std::string number = std::to_string(sequence);
    const std::string closing = "</BrivonTV>\r\n";
    std::string body;
    body.reserve(bytes + 128);
    for (std::size_t n = 1; declaration.size() + 96 + body.size() + closing.size() < bytes; ++n) {
        body += "<Programma nr=\"" + std::to_string(n) + "\" pakket=\"" + number + "\" start=\"" +
                std::to_string(10 + n % 14) + ":" + std::to_string(10 + n % 50) + "\">Herhaling " +
                std::to_string(n * 7919 % 100003) + " uit pakket " + number + "</Programma>\r\n";
    }
    body += closing;
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(Crc32(body)));
    return declaration + "<BrivonTV versie=\"1.0\" volgnr=\"" + number + "\" lengte=\"" + std::to_string(body.size()) +
           "\" crc32=\"" + crc + "\">\r\n" + body;
}

struct RequestCheck {
    bool ok = false;
    std::string reason;      // why the request is rejected
    std::string decoded;     // the request document when ok
    std::size_t length = 0;  // the base64 characters
};

// The collector sends exactly SOH, the payload length in decimal without leading zeros,
// STX, the base64 text and EOT; anything else is reported with the first thing wrong.
RequestCheck CheckRequest(std::string_view frame) {
    RequestCheck check;
    if (frame.empty()) {
        check.reason = "nothing received";
        return check;
    }
    if (frame.front() != kSoh) {
        check.reason = "the frame does not start with SOH";
        return check;
    }
    const auto eot = frame.find(kEot);
    if (eot == std::string_view::npos) {
        check.reason = "the frame has no EOT";
        return check;
    }
    if (eot + 1 != frame.size()) {
        check.reason = "bytes follow the EOT";
        return check;
    }
    const auto stx = frame.find(kStx);
    if (stx == std::string_view::npos || stx > eot) {
        check.reason = "the frame has no STX";
        return check;
    }
    const auto digits = frame.substr(1, stx - 1);
    if (digits.empty() || !std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; }) ||
        (digits.size() > 1 && digits.front() == '0') || digits.size() > 9) {
        check.reason = "the length field is not a plain decimal number: \"" + std::string(digits) + "\"";
        return check;
    }
    const auto payload = frame.substr(stx + 1, eot - stx - 1);
    const std::size_t declared = std::stoul(std::string(digits));
    if (declared != payload.size()) {
        check.reason = "the length field says " + std::to_string(declared) + " but the payload has " +
                       std::to_string(payload.size()) + " characters";
        return check;
    }
    if (payload.size() % 4 != 0 || !txt::IsWellFormedBase64(payload)) {
        check.reason = "the payload is not well-formed base64";
        return check;
    }
    check.ok = true;
    check.length = payload.size();
    check.decoded = txt::Base64DecodeLenient(payload);
    return check;
}

// Prints the decoded request one line at a time; its bytes are read one byte per
// character, as the collector wrote them.
void PrintRequest(const std::string& decoded) {
    std::string line;
    auto flush = [&line] {
        Say("  " + txt::ToUtf8(txt::Latin1ToText(line)));
        line.clear();
    };
    for (std::size_t i = 0; i < decoded.size(); ++i) {
        char c = decoded[i];
        if (c == '\r' || c == '\n') {
            flush();
            if (c == '\r' && i + 1 < decoded.size() && decoded[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) flush();
}

// A socket that is closed when its owner goes out of scope.
class Socket {
public:
    explicit Socket(net::SOCKET s = net::kInvalidSocket) : s_(s) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }
    net::SOCKET get() const { return s_; }
    bool valid() const { return s_ != net::kInvalidSocket; }
    void Close() {
        if (valid()) net::closesocket(s_);
        s_ = net::kInvalidSocket;
    }

private:
    net::SOCKET s_;
};

bool SendAll(net::SOCKET s, std::string_view bytes) {
    while (!bytes.empty()) {
        const int piece = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
        const int sent = net::send(s, bytes.data(), piece, 0);
        if (sent <= 0) {
            Say("send failed: error " + std::to_string(net::WSAGetLastError()));
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Reads up to and including the first EOT, or until the peer closes or the limit is met.
std::string ReadRequest(net::SOCKET s) {
    std::string received;
    std::array<char, 4096> buffer{};
    while (received.find(kEot) == std::string::npos && received.size() < kMaxRequestBytes) {
        const int got = net::recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got <= 0) break;
        received.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return received;
}

// Waits until the peer closes (or resets) the connection, discarding what it sends.
void AwaitPeerClose(net::SOCKET s) {
    std::array<char, 4096> buffer{};
    while (net::recv(s, buffer.data(), static_cast<int>(buffer.size()), 0) > 0) {}
}

class Server {
public:
    explicit Server(Options options) : options_(std::move(options)), random_(options_.seed) {}

    int Run() {
        if (!LoadPacket()) return 1;
        // On Windows the socket calls are bound from wsock32.dll at run time; elsewhere this is a no-op.
        if (const auto error = net::LoadSocketLibrary(u"wsock32.dll"); error != 0) {
            Complain("cannot load wsock32.dll: error " + std::to_string(error));
            return 1;
        }
        if (net::WSAStartup(0x0101) != 0) {
            Complain("cannot start the socket library");
            return 1;
        }
        const std::uint32_t address = net::inet_addr(options_.host.c_str());
        if (address == 0xFFFFFFFFu && options_.host != "255.255.255.255") {
            Complain("--host: not a dotted IPv4 address: " + options_.host);
            return 2;
        }
        Socket listener(net::socket(net::kAfInet, net::kSockStream, net::kIpProtoTcp));
        if (!listener.valid()) {
            Complain("socket failed: error " + std::to_string(net::WSAGetLastError()));
            return 1;
        }
        const int reuse = 1;
        net::setsockopt(listener.get(), net::kSolSocket, net::kSoReuseAddr, &reuse, sizeof reuse);
        net::SockAddrIn local;
        local.addr = address;
        local.port = net::htons(options_.port);
        if (net::bind(listener.get(), local) != 0) {
            Complain("bind to " + options_.host + ":" + std::to_string(options_.port) + " failed: error " +
                     std::to_string(net::WSAGetLastError()));
            return 1;
        }
        net::SockAddrIn bound;
        net::getsockname(listener.get(), bound);
        const std::string where = options_.host + ":" + std::to_string(net::ntohs(bound.port));

        if (options_.modes.front() == Mode::Refuse) {
            // A bound socket that never listens holds the port, and every connect to it is
            // refused, which is what a host without the server looks like.
            Say("listening on " + where);
            Say("mode refuse: connections to this port are refused");
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        if (net::listen(listener.get(), 16) != 0) {
            Complain("listen failed: error " + std::to_string(net::WSAGetLastError()));
            return 1;
        }
        Say("listening on " + where);
        started_ = std::chrono::steady_clock::now();
        for (long served = 0; options_.count == 0 || served < options_.count; ++served) {
            net::SockAddrIn from;
            Socket peer(net::accept(listener.get(), &from));
            if (!peer.valid()) {
                Complain("accept failed: error " + std::to_string(net::WSAGetLastError()));
                return 1;
            }
            const Mode mode = options_.modes[std::min<std::size_t>(served, options_.modes.size() - 1)];
            std::string modeText(NameOf(mode));
            if (mode == Mode::Cycle) modeText += "/" + std::string(kCycle[turn_ % kCycle.size()].name);
            Say("connection " + std::to_string(served + 1) + " from " + DottedAddress(from.addr) + ":" +
                std::to_string(net::ntohs(from.port)) + " mode " + modeText);
            Serve(peer, mode, served + 1);
            peer.Close();
            Say("closed");
        }
        net::WSACleanup();
        return 0;
    }

private:
    bool LoadPacket() {
        if (options_.file.empty()) {
            packet_ = kSampleDocument;
            return true;
        }
        std::ifstream in(options_.file, std::ios::binary);
        if (!in) {
            Complain("cannot read " + options_.file);
            return false;
        }
        packet_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
    }

    void Dump(long connection, const std::string& request) {
        if (options_.dumpDir.empty()) return;
        const std::string name = options_.dumpDir + "/request-" + std::to_string(connection) + ".bin";
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(request.data(), static_cast<std::streamsize>(request.size()));
        if (!out) Complain("cannot write " + name);
    }

    void Serve(Socket& peer, Mode mode, long connection) {
        const std::string request = ReadRequest(peer.get());
        Dump(connection, request);
        const RequestCheck check = CheckRequest(request);
        if (check.ok) {
            Say("request ok: " + std::to_string(check.length) + " base64 characters, " +
                std::to_string(check.decoded.size()) + " bytes");
            // A soak run makes thousands of connections: its transcript keeps one line per request.
            if (mode != Mode::Cycle) PrintRequest(check.decoded);
        } else {
            // A bad request is answered all the same: the modes test the collector's
            // reading of replies, and a rejected request is visible in the transcript.
            Say("request rejected (" + std::to_string(request.size()) + " bytes): " + check.reason);
        }

        const std::string frame = Frame(txt::Base64Encode(packet_));
        const std::string half = frame.substr(0, frame.size() / 2);
        switch (mode) {
        case Mode::Normal:
        case Mode::Refuse: Answer(peer, frame, "normal"); break;
        case Mode::Silent:
            Say("answer: none, waiting for the peer to close");
            AwaitPeerClose(peer.get());
            break;
        case Mode::Partial: Answer(peer, half, "partial"); break;
        case Mode::Slow:
            Say("answer: slow, " + std::to_string(frame.size()) + " bytes in pieces of " +
                std::to_string(options_.chunk) + " every " + std::to_string(options_.delayMs) + " ms");
            for (std::size_t at = 0; at < frame.size(); at += options_.chunk) {
                if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.delayMs));
                if (!SendAll(peer.get(), std::string_view(frame).substr(at, options_.chunk))) break;
            }
            break;
        case Mode::Reset:
            Answer(peer, half, "reset after half a frame,");
            MakeCloseAbortive(peer);
            break;
        case Mode::Garbage: Answer(peer, Junk(512), "garbage"); break;
        case Mode::NoStx: Answer(peer, Frame(txt::Base64Encode(packet_), false), "frame without STX"); break;
        case Mode::Nul: Answer(peer, std::string(1, '\0') + frame, "NUL before the frame"); break;
        case Mode::Oversize:
            Answer(peer, Frame(txt::Base64Encode(LargeDocument(options_.size.value_or(kOversizeDefaultBytes)))),
                   "oversize");
            break;
        case Mode::Cycle: ServeTurn(peer, kCycle[turn_++ % kCycle.size()].turn); break;
        }
    }

    // One connection of the cycle mode. Every turn builds a fresh packet, so each number is
    // sent at most once; only the turns that deliver a whole good frame announce theirs.
    void ServeTurn(Socket& peer, Turn turn) {
        const std::size_t bytes = options_.size.value_or(kCycleDefaultBytes);
        const long sequence = nextSequence_++;
        const std::string text = txt::Base64Encode(SoakDocument(sequence, bytes));
        const std::string frame = Frame(text);
        const std::string half = frame.substr(0, frame.size() / 2);
        bool good = false;
        std::string note;
        switch (turn) {
        case Turn::Good: good = Answer(peer, frame, "good"); break;
        case Turn::Split:
            Say("answer: split, " + std::to_string(frame.size()) + " bytes in " + std::to_string(kCyclePieces) +
                " pieces");
            good = true;
            for (std::size_t i = 0; i < kCyclePieces && good; ++i) {
                if (i > 0) std::this_thread::sleep_for(kCyclePiecePause);
                const std::size_t from = frame.size() * i / kCyclePieces;
                const std::size_t to = frame.size() * (i + 1) / kCyclePieces;
                good = SendAll(peer.get(), std::string_view(frame).substr(from, to - from));
            }
            break;
        case Turn::GarbageFirst: good = Answer(peer, Junk(512) + frame, "garbage before the frame,"); break;
        case Turn::Unfinished: Answer(peer, half, "unfinished, then closed,"); break;
        case Turn::Reset:
            Answer(peer, half, "reset after half a frame,");
            MakeCloseAbortive(peer);
            break;
        case Turn::SilentClose:
            Say("answer: none, closing after " + std::to_string(kCycleSilence.count()) + " ms");
            std::this_thread::sleep_for(kCycleSilence);
            break;
        case Turn::InvalidBase64: {
            // A character outside the alphabet in the middle: the frame is complete and its
            // length field right, but the payload is not base64.
            std::string broken = text;
            broken[broken.size() / 2] = '!';
            Answer(peer, Frame(broken), "invalid base64");
            break;
        }
        case Turn::TwoFrames: {
            // Only the first frame of a reply counts; the second one's packet must never
            // be what the collector writes. The collector may close as soon as it has the
            // first frame, so the reply is good once that frame is sent, whatever becomes
            // of the second.
            const long second = nextSequence_++;
            const std::string next = Frame(txt::Base64Encode(SoakDocument(second, bytes)));
            Say("answer: two frames " + std::to_string(frame.size() + next.size()) + " bytes");
            good = SendAll(peer.get(), frame);
            if (good) SendAll(peer.get(), next);
            note = " (the second frame holds packet " + std::to_string(second) + ")";
            break;
        }
        }
        if (good) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
            Say("good packet " + std::to_string(sequence) + " sent at " + std::to_string(elapsed.count()) + " ms" +
                note);
        }
    }

    // Random bytes that can never form a frame: no NUL, SOH, STX or EOT among them.
    std::string Junk(std::size_t size) {
        std::string junk(size, '\0');
        std::uniform_int_distribution<int> byte(0, 255);
        for (char& c : junk) {
            int b;
            do b = byte(random_);
            while (b == 0 || b == kSoh || b == kStx || b == kEot);
            c = static_cast<char>(b);
        }
        return junk;
    }

    // Linger on with a zero timeout makes the close abortive: the peer gets a reset.
    static void MakeCloseAbortive(Socket& peer) {
        const net::Linger linger{1, 0};
        net::setsockopt(peer.get(), net::kSolSocket, net::kSoLinger, &linger, sizeof linger);
    }

    bool Answer(Socket& peer, std::string_view bytes, std::string_view what) {
        Say("answer: " + std::string(what) + " " + std::to_string(bytes.size()) + " bytes");
        return SendAll(peer.get(), bytes);
    }

    Options options_;
    std::string packet_;
    std::mt19937 random_;
    std::chrono::steady_clock::time_point started_;
    std::size_t turn_ = 0;   // the cycle mode's next turn
    long nextSequence_ = 1;  // the cycle mode's next packet number
};

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
    // A peer that closes early must not end the server; the failed send is reported instead.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const HelpRequested&) {
        std::cout << kUsage;
        return 0;
    } catch (const UsageError& error) {
        Complain(std::string("VBxPakketServer: ") + error.what());
        std::cerr << kUsage;
        return 2;
    }
    return Server(std::move(options)).Run();
}
