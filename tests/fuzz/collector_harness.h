#pragma once
// Shared by the collector fuzz targets: reference models of the receive buffer and of
// packet processing, independent of the collector's own helpers, and a rig that drives the
// service with the fakes of tests/support next to them (no disk, an injected clock).
#include <cstdio>

#include "collector/brivon_morvel.h"
#include "invariants.h"
#include "platform/event_log.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "support/collector_fakes.h"
#include "support/messages.h"
#include "text/strings.h"

namespace fuzz {

using collector::TBrivonMorvel;
using collector::TSocketState;
using testsupport::FileWrite;
using testsupport::LogEntry;
using namespace testsupport::texts;

constexpr char kSOH = 1, kSTX = 2, kEOT = 4;
constexpr std::uint32_t kInfo = platform::kEventLogInformationType, kWarning = platform::kEventLogWarningType;
constexpr std::size_t npos = std::string::npos;

// A text file holding the bytes read one per character: cut at the first NUL, lines as
// ModelLines splits them, each character in the system's 8-bit code page.
inline std::string ModelFileBytes(std::string_view decoded) {
    static const std::string ansi = [] {
        std::u16string all(256, u'\0');
        for (std::size_t b = 0; b < all.size(); ++b) all[b] = static_cast<char16_t>(b);
        const std::string table = runtime::ToAnsi(all);
        Check(table.size() == 256, "the model expects a single-byte code page");
        return table;
    }();
    std::string text = ModelJoined(ModelLines(decoded));
    for (char& c : text) c = ansi[static_cast<unsigned char>(c)];
    return text;
}

// The receive buffer by connections: an optional waiting connection W, always complete,
// and the current connection C. A connection is complete when its bytes before their
// first NUL hold an SOH followed later by an EOT.
struct BufferModel {
    enum class Result { kMore, kEndOfFrame, kOverflow };

    static bool Complete(std::string_view bytes) {
        const std::string_view visible = bytes.substr(0, bytes.find('\0'));
        const std::size_t soh = visible.find(kSOH);
        return soh != npos && visible.find(kEOT, soh + 1) != npos;
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
        eot = eot || read.find(kEOT) != npos;
        const bool wasComplete = Complete(current);
        if (wasComplete) {
            current += read.substr(0, current.size() < limit ? limit - current.size() : 0);
        } else {
            current += read;
            // A NUL with bytes after it drops what precedes it, while no frame lies before.
            for (std::size_t nul; !Complete(current) && (nul = current.find('\0')) != npos && nul + 1 < current.size();)
                current.erase(0, nul + 1);
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
    // The connection whose first frame a tick processes, and its discarding.
    const std::string& FrameConnection() const { return waiting ? *waiting : current; }
    void DiscardFrameConnection() { waiting ? waiting.reset() : current.clear(); }

    std::size_t limit = 0;
    std::optional<std::string> waiting;
    std::string current;
    bool eot = false;
};

// Items one per line, for a failure line.
template <typename T, typename Show>
std::string List(const std::vector<T>& items, Show show) {
    std::string text;
    for (const T& item : items) text += "\n  " + show(item);
    return text;
}

// The service object driven through its socket and timer handlers, next to the models.
// Each step does what the handlers do and expects what the models say; Verify compares.
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
    bool Connected() const { return socket_.state == TSocketState::wsConnected; }

    // The connected event of a new connection (the socket connects only when closed).
    void Connect() {
        if (socket_.state != TSocketState::wsClosed) return;
        model_.Begin();
        Expect(kVerzonden, kInfo);
        socket_.RaiseConnected();
        Check(!socket_.sent.empty(), "no request sent on a new connection");
    }

    // One read on the open connection.
    void Read(std::string bytes) {
        if (!Connected()) return;
        largestRead_ = std::max(largestRead_, bytes.size());
        const BufferModel::Result result = model_.Append(bytes);
        if (result == BufferModel::Result::kOverflow) Expect(kVol, kWarning);
        if (result != BufferModel::Result::kMore) Expect(kAfgewerkt, kInfo);
        socket_.Deliver(std::move(bytes));
        Check(socket_.Pending() == 0, "the data handler left received bytes unread");
        CheckBounds();
        Check(Connected() == (result == BufferModel::Result::kMore),
              "the connection was not closed at its end, or closed early");
    }

    void PeerClose() {
        if (!Connected()) return;
        Expect(kAfgewerkt, kInfo);
        socket_.PeerClosed();
    }

    void Watchdog() {
        Expect(kVerbroken, kWarning);
        if (socket_.state != TSocketState::wsClosed) Expect(kAfgewerkt, kInfo);
        service_.JvTimerList1Events2Timer(&timers_.events[TBrivonMorvel::kConnectTimer]);
        Check(socket_.state == TSocketState::wsClosed, "the watchdog left the connection open");
    }

    void Tick() {
        if (ModelTick(model_.FrameConnection())) model_.DiscardFrameConnection();
        service_.JvTimerList1Events1Timer(&timers_.events[TBrivonMorvel::kPakketController]);
        Check(timers_.events[TBrivonMorvel::kPakketController].enabled, "PakketController left off after a tick");
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

    // The buffer's bytes, the log and the files are the models'. The expected log holds
    // only the system's texts, so an entry that is none of them breaks the equality too.
    void Verify() const {
        CheckBounds();
        const collector::ReceiveBuffer& buffer = service_.PakketBuffer;
        if (buffer.Bytes() != model_.Bytes()) {
            Fail("buffer " + Hex(buffer.Bytes()) + " but the model holds " + Hex(model_.Bytes()));
        }
        Check(buffer.WaitingSize() == (model_.waiting ? model_.waiting->size() : 0), "the waiting connection differs");
        const auto entry = [](const LogEntry& e) { return std::to_string(e.type) + " " + txt::ToUtf8(e.text); };
        const auto file = [](const FileWrite& f) { return txt::ToUtf8(f.path) + " " + Hex(f.bytes); };
        if (log_.Entries() != expectedLog_) {
            Fail("log:" + List(log_.Entries(), entry) + "\nexpected:" + List(expectedLog_, entry));
        }
        if (sink_.writes != expectedWrites_) {
            Fail("files:" + List(sink_.writes, file) + "\nexpected:" + List(expectedWrites_, file));
        }
        Check(sink_.cleaned.empty(), "leftovers removed outside the start");
    }

private:
    void Expect(const std::u16string& text, std::uint32_t type) { expectedLog_.push_back({text, type}); }

    // What one processing tick must do with the frame connection's bytes: it processes the
    // first frame when the bytes before their first NUL hold an SOH and an EOT (in any
    // order), and then discards the connection (the result).
    bool ModelTick(std::string_view connection) {
        const std::string_view visible = connection.substr(0, connection.find('\0'));
        const std::size_t soh = visible.find(kSOH);
        if (soh == npos || visible.find(kEOT) == npos) return false;
        const std::string text = ModelJoined(ModelLines(visible.substr(soh)));  // the frame text from its SOH
        const std::size_t stx = text.find(kSTX);
        const char16_t d = runtime::PathDelimiter();
        FileWrite write;
        if (stx != npos) {
            // The length field after the SOH, read as a number without its sign.
            const std::uint64_t length = ModelReadNumber(std::string_view(text).substr(1, stx - 1)).value;
            const std::string payload =
                text.substr(stx + 1, static_cast<std::size_t>(std::min<std::uint64_t>(length, text.size())));
            if (!ModelWellFormed(payload)) {
                Expect(kOngeldig, kWarning);
                return true;
            }
            write = {service_.OutputDirectory + d + u"TV_BRIVON.XML", ModelFileBytes(ModelLenient(payload))};
        } else {
            // An archive file of the frame text, its bytes above 0x7F as "?".
            std::string ascii = text;
            for (char& c : ascii) c = static_cast<unsigned char>(c) >= 0x80 ? '?' : c;
            // Its stamp "ddmmyyyyhhnnssms": day, month, year, hour, minute, second, then the
            // month and the second again without padding.
            char stamp[64];
            const runtime::TDateTime& t = now_;
            std::snprintf(stamp, sizeof stamp, "%02d%02d%04d%02d%02d%02d%d%d", t.day, t.month, t.year, t.hour, t.minute,
                          t.second, t.month, t.second);
            const std::u16string name =
                u"MC_" + std::u16string(stamp, stamp + std::string_view(stamp).size()) + u".XML";
            write = {Base() + u"BrivonTV" + d + u"XML" + d + name, ModelFileBytes(ModelLenient(ascii))};
        }
        if (sink_.failing) {
            Expect(testsupport::FileError(write.path), kWarning);
        } else {
            if (stx != npos) Expect(kOntvangen, kInfo);
            expectedWrites_.push_back(std::move(write));
        }
        return true;
    }

    runtime::TDateTime now_;
    testsupport::RecordingLog log_;
    testsupport::FakeTimerList timers_;
    testsupport::FakeSocket socket_;
    testsupport::MemoryFiles sink_;
    TBrivonMorvel service_;
    BufferModel model_;
    std::size_t largestRead_ = 0;
    std::vector<LogEntry> expectedLog_;
    std::vector<FileWrite> expectedWrites_;
};

}  // namespace fuzz
