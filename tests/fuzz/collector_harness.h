#pragma once
// Shared by the receive-path and packet fuzz targets: a reference model of packet
// processing written from the frame rules, independent of the collector's own byte-level
// helpers, a model of the receive buffer's connections, and a rig that drives the service
// object with the shared fakes (tests/support/collector_fakes.h) next to the models.
//
// Nothing here touches the disk or depends on the time of day: the clock is injected and
// the base directory is a name only (every file goes to the in-memory writer).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collector/brivon_morvel.h"
#include "invariants.h"
#include "platform/event_log.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "support/collector_fakes.h"
#include "support/messages.h"
#include "text/strings.h"

namespace fuzz {

using testsupport::FileError;
using testsupport::FileWrite;
using testsupport::LogEntry;
using namespace testsupport::texts;

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
    std::string text = ModelJoined(ModelLines(decoded.substr(0, nul)));
    for (char& c : text) c = ModelAnsi(static_cast<unsigned char>(c));
    return text;
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
    const std::string text = ModelJoined(ModelLines(visible.substr(soh)));  // the frame text from its SOH
    const std::size_t stx = text.find(kSTX);
    FileWrite write;
    if (stx != std::string::npos) {
        // The length field after the SOH, read as a number without its sign.
        const std::uint64_t length = ModelReadNumber(std::string_view(text).substr(1, stx - 1)).value;
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
        Check(!socket_.sent.empty(), "no request sent on a new connection");
    }

    // One read on the open connection.
    void Read(std::string bytes) {
        if (!Connected()) return;
        largestRead_ = std::max(largestRead_, bytes.size());
        const BufferModel::Result result = model_.Append(bytes);
        if (result == BufferModel::Result::kOverflow) Expect(kVol, platform::kEventLogWarningType);
        if (result != BufferModel::Result::kMore) Expect(kAfgewerkt, platform::kEventLogInformationType);
        socket_.Deliver(std::move(bytes));
        Check(socket_.Pending() == 0, "the data handler left received bytes unread");
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
        const std::vector<LogEntry> entries = log_.Entries();
        for (const LogEntry& e : entries) {
            Check(IsSystemText(e), "a log entry that is none of the system's texts: " + txt::ToUtf8(e.text));
        }
        if (entries != expectedLog_) {
            std::string what = "log entries differ; got:";
            for (const LogEntry& e : entries) what += "\n  " + std::to_string(e.type) + " " + txt::ToUtf8(e.text);
            what += "\nexpected:";
            for (const LogEntry& e : expectedLog_) what += "\n  " + std::to_string(e.type) + " " + txt::ToUtf8(e.text);
            Fail(what);
        }
        Check(sink_.cleaned.empty(), "leftovers removed outside the start");
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
    testsupport::RecordingLog log_;
    testsupport::FakeTimerList timers_;
    testsupport::FakeSocket socket_;
    testsupport::MemoryFiles sink_;
    collector::TBrivonMorvel service_;
    BufferModel model_;
    std::size_t largestRead_ = 0;
    std::vector<LogEntry> expectedLog_;
    std::vector<FileWrite> expectedWrites_;
};

}  // namespace fuzz
