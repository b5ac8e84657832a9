#pragma once
// Shared by the receive-path and packet fuzz targets: collaborators that record what the
// service object does (log, timer list, socket, an in-memory file sink), and a reference
// model of packet processing written from the frame rules, independent of the collector's
// own byte-level helpers.
//
// Nothing here touches the disk or depends on the time of day: the clock is injected and
// the base directory is a name only (every file goes to the sink).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collector/brivon_morvel.h"
#include "collector/collaborators.h"
#include "platform/event_log.h"
#include "runtime/codepage.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "support/receive_text.h"
#include "text/strings.h"

namespace fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "broken invariant: %s\n", what.c_str());
    std::abort();
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

// A printable excerpt of bytes for a failure line.
inline std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    if (bytes.size() > 64) out += "...";
    return out + " (" + std::to_string(bytes.size()) + " bytes)";
}

// ---------------------------------------------------------------------------------------
// Collaborators

struct LogEntry {
    std::u16string text;
    std::uint32_t type;
    bool operator==(const LogEntry&) const = default;
};

class Log : public collector::ServiceLog {
public:
    void WriteEvent(const std::u16string& message, std::uint32_t type, int category, int eventId) override {
        Check(category == 0 && eventId == 1, "log entry with another category or event id");
        entries.push_back({message, type});
    }
    std::vector<LogEntry> entries;
};

class TimerEvent : public collector::TimerEventOps {
public:
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    std::int32_t Interval() const override { return interval; }
    void SetInterval(std::int32_t ms) override { interval = ms; }
    bool enabled = false;
    std::int32_t interval = 0;
};

class TimerList : public collector::TimerListOps {
public:
    TimerEvent& Events(int index) override { return events.at(static_cast<std::size_t>(index)); }
    void SetActive(bool value) override { active = value; }
    std::array<TimerEvent, 3> events;
    bool active = false;
};

// A socket whose events the target raises. Close raises the closed event on the calling
// thread, as the real socket does; ReceiveText hands over the bytes of one read.
class Socket : public testsupport::StringReadSocket {
public:
    collector::TSocketState State() const override { return state; }
    void SetAddr(const std::u16string&) override {}
    void SetPort(const std::u16string&) override {}
    void Connect() override { state = collector::TSocketState::wsConnecting; }
    void Close() override {
        if (state == collector::TSocketState::wsClosed) return;
        state = collector::TSocketState::wsClosed;
        if (onClosed_) onClosed_(0);
    }
    int SendText(const std::u16string& text) override {
        ++sends;
        return static_cast<int>(text.size());
    }
    std::string ReceiveText() override { return std::exchange(pending_, std::string()); }
    void SetHandlers(SessionHandler onConnected, SessionHandler onData, SessionHandler onClosed) override {
        onConnected_ = std::move(onConnected);
        onData_ = std::move(onData);
        onClosed_ = std::move(onClosed);
    }

    void RaiseConnected() {
        state = collector::TSocketState::wsConnected;
        onConnected_(0);
    }
    void Deliver(std::string bytes) {
        pending_ = std::move(bytes);
        onData_(0);
        Check(pending_.empty(), "the data handler left received bytes unread");
    }
    void PeerClosed() {
        state = collector::TSocketState::wsClosed;
        onClosed_(0);
    }

    collector::TSocketState state = collector::TSocketState::wsClosed;
    int sends = 0;

private:
    std::string pending_;
    SessionHandler onConnected_, onData_, onClosed_;
};

// The file sink: every replace is recorded; `failing` makes it raise the file error.
struct FileWrite {
    std::u16string path;
    std::string bytes;
    bool operator==(const FileWrite&) const = default;
};

inline std::u16string FileError(const std::u16string& path) {
    return u"Cannot create file \"" + path + u"\". Access is denied";
}

class FileSink : public collector::OutputFileOps {
public:
    void ReplaceFile(const std::u16string& path, std::string_view bytes) override {
        if (failing) throw runtime::Exception(FileError(path));
        writes.push_back({path, std::string(bytes)});
    }
    void RemoveLeftovers(const std::u16string&, const std::function<bool(std::u16string_view)>&) override {
        Fail("leftovers removed outside the start");
    }
    std::vector<FileWrite> writes;
    bool failing = false;
};

// ---------------------------------------------------------------------------------------
// Log texts

inline const std::u16string kVerzonden = u"Vanto Brivon Morvel verzoek om informatie verzonden";
inline const std::u16string kAfgewerkt = u"Vanto Brivon Morvel verzoek om informatie afgewerkt";
inline const std::u16string kOntvangen = u"Vanto Brivon Morvel pakket ontvangen";
inline const std::u16string kOngeldig = u"Vanto Brivon Morvel ongeldig pakket ontvangen, bestand niet vervangen";
inline const std::u16string kVol = u"Vanto Brivon Morvel ontvangstbuffer vol, ontvangen gegevens verworpen";
inline const std::u16string kVerbroken = u"Vanto Brivon Morvel verbinding werd geforceerd verbroken";

// True for the texts the receive path and the processor may log, with their types.
inline bool IsSystemText(const LogEntry& e) {
    constexpr std::uint32_t kInfo = platform::kEventLogInformationType;
    constexpr std::uint32_t kWarning = platform::kEventLogWarningType;
    if (e.type == kInfo) return e.text == kVerzonden || e.text == kAfgewerkt || e.text == kOntvangen;
    if (e.type != kWarning) return false;
    if (e.text == kOngeldig || e.text == kVol || e.text == kVerbroken) return true;
    const std::u16string_view head = u"Cannot create file \"";
    return std::u16string_view(e.text).starts_with(head) && e.text.find(u"\". ", head.size()) != std::u16string::npos;
}

// ---------------------------------------------------------------------------------------
// Reference model of packet processing

constexpr char kSOH = 1, kSTX = 2, kEOT = 4;

// Lines end at CR LF, a lone CR or a lone LF (LF CR ends two lines); every line, the last
// one included, is written back followed by CR LF. An empty text stays empty.
inline std::string ModelLines(std::string_view text) {
    std::string out;
    std::string line;
    bool open = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out += line;
            out += "\r\n";
            line.clear();
            open = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
            open = true;
        }
    }
    if (open) out += line + "\r\n";
    return out;
}

// The system's 8-bit code page, one character at a time.
inline char ModelAnsi(unsigned char byte) {
    static const std::array<char, 256> table = [] {
        std::array<char, 256> t{};
        for (unsigned b = 0; b < 256; ++b) {
            const std::string ansi = runtime::ToAnsi(std::u16string(1, static_cast<char16_t>(b)));
            Check(ansi.size() == 1, "the model expects a single-byte code page");
            t[b] = ansi[0];
        }
        return t;
    }();
    return table[byte];
}

// A text file holding the bytes read one per character: cut at the first NUL, lines as
// above, characters in the code page.
inline std::string ModelFileBytes(std::string_view decoded) {
    const std::size_t nul = decoded.find('\0');
    std::string text = ModelLines(decoded.substr(0, nul));
    for (char& c : text) c = ModelAnsi(static_cast<unsigned char>(c));
    return text;
}

inline int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The lenient decoder: whole groups of four only, every byte outside the alphabet is 255,
// three bytes per group; a group whose third byte is "=" stops the decoding and drops two
// bytes, one whose fourth byte is "=" stops it and drops one; the output keeps the length
// of all groups, zero after the stopping group, minus the dropped bytes at the very end.
inline std::string ModelLenient(std::string_view text) {
    const std::size_t groups = text.size() / 4;
    std::string out(groups * 3, '\0');
    std::size_t drop = 0;
    for (std::size_t g = 0; g < groups && drop == 0; ++g) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int v = Base64Value(static_cast<unsigned char>(text[4 * g + k]));
            word = (word << 6) | static_cast<std::uint32_t>(v < 0 ? 255 : v);
        }
        out[3 * g] = static_cast<char>((word >> 16) & 0xFF);
        out[3 * g + 1] = static_cast<char>((word >> 8) & 0xFF);
        out[3 * g + 2] = static_cast<char>(word & 0xFF);
        if (text[4 * g + 2] == '=') {
            drop = 2;
        } else if (text[4 * g + 3] == '=') {
            drop = 1;
        }
    }
    out.resize(out.size() - drop);
    return out;
}

// The validity rule: the groups the decoder uses hold alphabet characters only, except
// that the very last one may end in "=" or in "==".
inline bool ModelWellFormed(std::string_view text) {
    const std::size_t used = text.size() / 4 * 4;
    for (std::size_t i = 0; i < used; ++i) {
        if (Base64Value(static_cast<unsigned char>(text[i])) >= 0) continue;
        if (text[i] != '=') return false;
        const bool last = i == used - 1;
        const bool secondLast = i == used - 2 && text[used - 1] == '=';
        if (!last && !secondLast) return false;
    }
    return true;
}

// The length field after the SOH: blanks, one sign without effect, a hexadecimal prefix
// ("$", "x", "X", "0x", "0X"), then digits of that base until a byte that is not one or
// until the value would leave 32 bits (2^31 - 1 for decimals, 2^31 after a "-").
inline std::uint64_t ModelLength(std::string_view field) {
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ') ++i;
    bool minus = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) minus = field[i++] == '-';
    bool hex = false;
    if (i < field.size() && (field[i] == '$' || field[i] == 'x' || field[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < field.size() && field[i] == '0' && (field[i + 1] == 'x' || field[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : 0x7FFFFFFFull + (minus ? 1 : 0);
    std::uint64_t value = 0;
    for (; i < field.size(); ++i) {
        const char c = field[i];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) break;
        const std::uint64_t next = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (next > limit) break;
        value = next;
    }
    return value;
}

// The archive stamp "ddmmyyyyhhnnssms": day, month, year, hour, minute, second, then the
// month and the second again without padding.
inline std::u16string ModelStamp(const runtime::TDateTime& t) {
    const auto two = [](int v) { return std::to_string(v / 10) + std::to_string(v % 10); };
    const std::string year = std::to_string(t.year);
    const std::string stamp = two(t.day) + two(t.month) + std::string(4 - std::min<std::size_t>(4, year.size()), '0') +
                              year + two(t.hour) + two(t.minute) + two(t.second) + std::to_string(t.month) +
                              std::to_string(t.second);
    return std::u16string(stamp.begin(), stamp.end());
}

// What one processing tick does with the frame connection's bytes.
struct TickOutcome {
    bool processed = false;          // the frame connection is discarded
    std::optional<FileWrite> write;  // the file the tick replaces
    std::optional<LogEntry> log;
};

struct Places {
    std::u16string outputFile;   // OutputDirectory + delimiter + "TV_BRIVON.XML"
    std::u16string archiveHead;  // base + "BrivonTV/XML/MC_" in the platform's notation
    runtime::TDateTime now;
};

// The frame connection's bytes as received; the first frame is processed when the bytes
// before their first NUL hold an SOH and an EOT (in any order).
inline TickOutcome ModelTick(std::string_view connection, const Places& places, bool failing) {
    TickOutcome outcome;
    const std::string_view visible = connection.substr(0, connection.find('\0'));
    const std::size_t soh = visible.find(kSOH);
    if (soh == std::string_view::npos || visible.find(kEOT) == std::string_view::npos) return outcome;
    outcome.processed = true;
    const std::string text = ModelLines(visible.substr(soh));  // the frame text from its SOH
    const std::size_t stx = text.find(kSTX);
    FileWrite write;
    if (stx != std::string::npos) {
        const std::uint64_t length = ModelLength(std::string_view(text).substr(1, stx - 1));
        const std::string payload =
            text.substr(stx + 1, static_cast<std::size_t>(std::min<std::uint64_t>(length, text.size())));
        if (!ModelWellFormed(payload)) {
            outcome.log = LogEntry{kOngeldig, platform::kEventLogWarningType};
            return outcome;
        }
        write = {places.outputFile, ModelFileBytes(ModelLenient(payload))};
    } else {
        std::string ascii = text;
        for (char& c : ascii) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        write = {places.archiveHead + ModelStamp(places.now) + u".XML", ModelFileBytes(ModelLenient(ascii))};
    }
    if (failing) {
        outcome.log = LogEntry{FileError(write.path), platform::kEventLogWarningType};
        return outcome;
    }
    if (stx != std::string::npos) outcome.log = LogEntry{kOntvangen, platform::kEventLogInformationType};
    outcome.write = std::move(write);
    return outcome;
}

// The receive buffer by connections: an optional waiting connection W, always complete,
// and the current connection C. A connection is complete when its bytes before their
// first NUL hold an SOH followed later by an EOT.
struct BufferModel {
    enum class Result { kMore, kEndOfFrame, kOverflow };

    static bool Complete(std::string_view bytes) {
        const std::string_view visible = bytes.substr(0, bytes.find('\0'));
        const std::size_t soh = visible.find(kSOH);
        return soh != std::string_view::npos && visible.find(kEOT, soh + 1) != std::string_view::npos;
    }

    // A new connection: a complete C waits (W stays otherwise), an incomplete one is dropped.
    void Begin() {
        if (Complete(current)) {
            Check(!waiting, "model: a complete connection while another waits");
            waiting = std::move(current);
        }
        current.clear();
        eot = false;
    }

    Result Append(std::string_view read) {
        if (read.find(kEOT) != std::string_view::npos) eot = true;
        const bool wasComplete = Complete(current);
        if (wasComplete) {
            current += read.substr(0, current.size() < limit ? limit - current.size() : 0);
        } else {
            current += read;
            // A NUL with bytes after it drops what precedes it, while no frame lies before.
            for (std::size_t nul;
                 !Complete(current) && (nul = current.find('\0')) != std::string::npos && nul + 1 < current.size();) {
                current.erase(0, nul + 1);
            }
        }
        const bool complete = Complete(current);
        if (complete && !wasComplete) waiting.reset();
        if (!complete && current.size() > limit) {
            current.clear();
            return Result::kOverflow;
        }
        return eot ? Result::kEndOfFrame : Result::kMore;
    }

    std::string Bytes() const { return waiting.value_or(std::string()) + current; }
    // The connection whose first frame a tick processes.
    const std::string& FrameConnection() const { return waiting ? *waiting : current; }
    void DiscardFrameConnection() {
        if (waiting) {
            waiting.reset();
        } else {
            current.clear();
        }
    }

    std::size_t limit = 0;
    std::optional<std::string> waiting;
    std::string current;
    bool eot = false;
};

inline Places PlacesOf(const std::u16string& outputDirectory, const std::u16string& base,
                       const runtime::TDateTime& now) {
    const char16_t d = runtime::PathDelimiter();
    return {outputDirectory + d + u"TV_BRIVON.XML", base + u"BrivonTV" + d + u"XML" + d + u"MC_", now};
}

// ---------------------------------------------------------------------------------------
// The service object driven through its socket and timer handlers, next to the models.
// Each step does what the handlers do and what the models say they must; Verify compares.
class Rig {
public:
    Rig(std::size_t limit, std::u16string outputDirectory, runtime::TDateTime now)
        : now_(now),
          service_(
              log_, timers_, socket_, [this] { return now_; }, Base()) {
        service_.SetOutputFiles(sink_);
        service_.OutputDirectory = std::move(outputDirectory);
        service_.PakketBuffer.SetConnectionLimit(limit);
        model_.limit = limit;
    }

    static std::u16string Base() { return std::u16string(u"fuzz") + runtime::PathDelimiter(); }

    void SetClock(runtime::TDateTime now) { now_ = now; }
    void SetFailing(bool failing) { sink_.failing = failing; }
    bool Connected() const { return socket_.state == collector::TSocketState::wsConnected; }

    // The connected event of a new connection (the socket connects only when closed).
    void Connect() {
        if (socket_.state != collector::TSocketState::wsClosed) return;
        model_.Begin();
        Expect(kVerzonden, platform::kEventLogInformationType);
        socket_.RaiseConnected();
        Check(socket_.sends > 0, "no request sent on a new connection");
    }

    // One read on the open connection.
    void Read(std::string bytes) {
        if (!Connected()) return;
        largestRead_ = std::max(largestRead_, bytes.size());
        const BufferModel::Result result = model_.Append(bytes);
        if (result == BufferModel::Result::kOverflow) Expect(kVol, platform::kEventLogWarningType);
        if (result != BufferModel::Result::kMore) Expect(kAfgewerkt, platform::kEventLogInformationType);
        socket_.Deliver(std::move(bytes));
        CheckBounds();
        Check(Connected() == (result == BufferModel::Result::kMore),
              "the connection was not closed at its end, or closed early");
    }

    void PeerClose() {
        if (!Connected()) return;
        Expect(kAfgewerkt, platform::kEventLogInformationType);
        socket_.PeerClosed();
    }

    void Watchdog() {
        Expect(kVerbroken, platform::kEventLogWarningType);
        if (socket_.state != collector::TSocketState::wsClosed) Expect(kAfgewerkt, platform::kEventLogInformationType);
        service_.JvTimerList1Events2Timer(&timers_.events[collector::TBrivonMorvel::kConnectTimer]);
        Check(socket_.state == collector::TSocketState::wsClosed, "the watchdog left the connection open");
    }

    void Tick() {
        if (!model_.Bytes().empty()) {
            const TickOutcome outcome =
                ModelTick(model_.FrameConnection(), PlacesOf(service_.OutputDirectory, Base(), now_), sink_.failing);
            if (outcome.processed) model_.DiscardFrameConnection();
            if (outcome.write) expectedWrites_.push_back(*outcome.write);
            if (outcome.log) expectedLog_.push_back(*outcome.log);
        }
        service_.JvTimerList1Events1Timer(&timers_.events[collector::TBrivonMorvel::kPakketController]);
        Check(timers_.events[collector::TBrivonMorvel::kPakketController].enabled,
              "PakketController left off after a tick");
    }

    // The bounds hold whatever the model says.
    void CheckBounds() const {
        const collector::ReceiveBuffer& buffer = service_.PakketBuffer;
        const std::size_t limit = model_.limit, bound = limit + largestRead_;
        Check(buffer.Connections() <= 2, "more than two connections held");
        Check(buffer.CurrentComplete() ? buffer.CurrentSize() <= bound : buffer.CurrentSize() <= limit,
              "the current connection exceeds its bound: " + std::to_string(buffer.CurrentSize()));
        Check(buffer.WaitingSize() <= bound, "the waiting connection exceeds its bound");
        Check(buffer.Size() <= 2 * bound, "the buffer exceeds twice the limit and largest read");
        Check(buffer.Capacity() <= std::max(limit + 64 * 1024, 4 * bound) + 64, "the storage exceeds its bound");
    }

    void Verify() const {
        CheckBounds();
        const collector::ReceiveBuffer& buffer = service_.PakketBuffer;
        // The bytes are the model's, connection by connection.
        const std::string expected = model_.Bytes();
        if (buffer.Bytes() != expected) {
            Fail("buffer " + Hex(buffer.Bytes()) + " but the model holds " + Hex(expected));
        }
        Check(buffer.WaitingSize() == (model_.waiting ? model_.waiting->size() : 0), "the waiting connection differs");
        for (const LogEntry& e : log_.entries) {
            Check(IsSystemText(e), "a log entry that is none of the system's texts: " + txt::ToUtf8(e.text));
        }
        if (log_.entries != expectedLog_) {
            std::string what = "log entries differ; got:";
            for (const LogEntry& e : log_.entries) what += "\n  " + std::to_string(e.type) + " " + txt::ToUtf8(e.text);
            what += "\nexpected:";
            for (const LogEntry& e : expectedLog_) what += "\n  " + std::to_string(e.type) + " " + txt::ToUtf8(e.text);
            Fail(what);
        }
        Check(sink_.writes.size() == expectedWrites_.size(), "the number of files written differs from the model");
        for (std::size_t i = 0; i < expectedWrites_.size(); ++i) {
            const FileWrite &got = sink_.writes[i], &want = expectedWrites_[i];
            Check(got.path == want.path, "file name " + txt::ToUtf8(got.path) + ", expected " + txt::ToUtf8(want.path));
            Check(got.bytes == want.bytes, "file bytes " + Hex(got.bytes) + ", expected " + Hex(want.bytes));
        }
    }

private:
    void Expect(const std::u16string& text, std::uint32_t type) { expectedLog_.push_back({text, type}); }

    runtime::TDateTime now_;
    Log log_;
    TimerList timers_;
    Socket socket_;
    FileSink sink_;
    collector::TBrivonMorvel service_;
    BufferModel model_;
    std::size_t largestRead_ = 0;
    std::vector<LogEntry> expectedLog_;
    std::vector<FileWrite> expectedWrites_;
};

}  // namespace fuzz
