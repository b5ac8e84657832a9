#pragma once
// The collector's collaborators as its tests, fuzz targets and benchmarks give them: a log,
// a timer list and an output-file writer that record what the service object does, and a
// socket whose events the caller raises. None of them touches the disk, the network or the
// clock, and none depends on a test framework.
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collector/brivon_morvel.h"
#include "collector/collaborators.h"
#include "platform/system.h"
#include "runtime/errors.h"
#include "text/base64.h"
#include "text/strings.h"

namespace testsupport {

using collector::TSocketState;

// A reply as the server frames it: SOH, the payload's length in decimal, STX, the
// payload, EOT; FrameOf carries the text base64-encoded.
inline std::string Frame(std::string_view payload) {
    return "\x01" + std::to_string(payload.size()) + "\x02" + std::string(payload) + "\x04";
}
inline std::string FrameOf(std::string_view text) { return Frame(txt::Base64Encode(text)); }
// SOH and what follows it; a "\x01" literal would take a following digit into its escape.
inline std::string Soh(std::string_view rest) { return "\x01" + std::string(rest); }

// One entry of the log. The collector writes every entry with category 0 and event ID 1,
// so an expected entry names its text and type only.
struct LogEntry {
    std::u16string text;
    std::uint32_t type = 0;
    int category = 0;
    int eventId = 1;
    bool operator==(const LogEntry&) const = default;
};

// Written from the socket's thread and the control thread alike.
class RecordingLog : public collector::ServiceLog {
public:
    void WriteEvent(const std::u16string& message, std::uint32_t type, int category, int eventId) override {
        std::lock_guard guard(mutex_);
        entries_.push_back({message, type, category, eventId});
    }
    std::vector<LogEntry> Entries() const {
        std::lock_guard guard(mutex_);
        return entries_;
    }
    std::u16string LastText() const {
        std::lock_guard guard(mutex_);
        return entries_.empty() ? std::u16string() : entries_.back().text;
    }
    void Clear() {
        std::lock_guard guard(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

// Notes every change: "on", "off" and "interval=<ms>".
class FakeTimerEvent : public collector::TimerEventOps {
public:
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override {
        changes.push_back(value ? "on" : "off");
        enabled = value;
    }
    std::int32_t Interval() const override { return interval; }
    void SetInterval(std::int32_t ms) override {
        changes.push_back("interval=" + std::to_string(ms));
        interval = ms;
    }
    bool enabled = false;
    std::int32_t interval = 0;
    std::vector<std::string> changes;
};

// The three events as the service's design sets them up.
class FakeTimerList : public collector::TimerListOps {
public:
    FakeTimerList() {
        for (std::size_t i = 0; i < events.size(); ++i) {
            events[i].enabled = collector::TBrivonMorvel::TimerDesign[i].enabled;
            events[i].interval = collector::TBrivonMorvel::TimerDesign[i].interval;
        }
    }
    FakeTimerEvent& Events(int index) override { return events.at(static_cast<std::size_t>(index)); }
    void SetActive(bool value) override { active = value; }
    std::array<FakeTimerEvent, 3> events;
    bool active = false;
};

// A socket whose events the caller raises; each Deliver is one read. Close raises the
// closed handler on the calling thread, as the real socket does.
class FakeSocket : public collector::ClientSocketOps {
public:
    TSocketState State() const override { return state; }
    void SetAddr(const std::u16string& value) override { SetWhileClosed(addr, value, u"Addr"); }
    void SetPort(const std::u16string& value) override { SetWhileClosed(port, value, u"Port"); }
    void Connect() override {
        ++connects;
        if (connectError) {
            state = stateAfterFailedConnect;
            throw runtime::Exception(txt::U(connectError));
        }
        state = TSocketState::wsConnecting;
    }
    void Close() override {
        ++closes;
        {
            // Bytes still pending go with the connection.
            std::lock_guard guard(chunkMutex_);
            chunks_.clear();
        }
        if (state == TSocketState::wsClosed) return;
        state = TSocketState::wsClosed;
        addr.clear();
        port.clear();
        if (onClosed_) onClosed_(0);
    }
    int SendText(const std::u16string& text) override {
        if (sendError) throw runtime::Exception(txt::U(sendError));
        sent.push_back(text);
        return static_cast<int>(text.size());
    }
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) override {
        if (receiveError) throw runtime::Exception(txt::U(receiveError));
        // A socket that claims this many bytes pending asks for room for all of them.
        if (announced != 0) prepare(announced);
        const std::string bytes = TakeChunk();
        if (bytes.empty()) return 0;
        std::memcpy(prepare(bytes.size()), bytes.data(), bytes.size());
        return bytes.size();
    }
    void SetHandlers(SessionHandler onConnected, SessionHandler onData, SessionHandler onClosed) override {
        onConnected_ = std::move(onConnected);
        onData_ = std::move(onData);
        onClosed_ = std::move(onClosed);
    }

    // The caller's side: raise the events.
    void RaiseConnected(TSocketState newState = TSocketState::wsConnected) {
        state = newState;
        onConnected_(0);
    }
    void Deliver(std::string bytes) {
        {
            std::lock_guard guard(chunkMutex_);
            chunks_.push_back(std::move(bytes));
        }
        onData_(0);
    }
    void PeerClosed() {
        state = TSocketState::wsClosed;
        onClosed_(0);
    }
    // Reads delivered and not yet taken.
    std::size_t Pending() {
        std::lock_guard guard(chunkMutex_);
        return chunks_.size();
    }

    TSocketState state = TSocketState::wsClosed;
    std::u16string addr, port;
    int addressSets = 0;  // successful SetAddr and SetPort calls
    std::vector<std::u16string> sent;
    int connects = 0, closes = 0;
    const char* connectError = nullptr;
    TSocketState stateAfterFailedConnect = TSocketState::wsClosed;
    const char* sendError = nullptr;
    const char* receiveError = nullptr;  // the next reads fail with this text
    std::size_t announced = 0;           // the bytes the next reads claim pending; 0: the chunk's

private:
    void SetWhileClosed(std::u16string& field, const std::u16string& value, const std::u16string& name) {
        if (state != TSocketState::wsClosed) throw runtime::Exception(u"Cannot change " + name + u" if not closed");
        field = value;
        ++addressSets;
    }
    std::string TakeChunk() {
        std::lock_guard guard(chunkMutex_);
        if (chunks_.empty()) return {};
        std::string chunk = std::move(chunks_.front());
        chunks_.pop_front();
        return chunk;
    }

    std::mutex chunkMutex_;
    std::deque<std::string> chunks_;
    SessionHandler onConnected_, onData_, onClosed_;
};

// The text of a refused write: the disk's own for a full disk.
inline std::u16string FileError(const std::u16string& path) {
    return u"Cannot create file \"" + path + u"\". " + platform::SystemErrorText(112);
}

struct FileWrite {
    std::u16string path;
    std::string bytes;
    bool operator==(const FileWrite&) const = default;
};

// Output files kept in memory, every replace in order; `failing`, or a path in
// `failingPaths`, raises the file error instead.
class MemoryFiles : public collector::OutputFileOps {
public:
    void ReplaceFile(const std::u16string& path, std::string_view bytes) override {
        if (failing || failingPaths.count(path) != 0) throw runtime::EFCreateError(FileError(path));
        writes.push_back({path, std::string(bytes)});
    }
    void RemoveLeftovers(const std::u16string& folder,
                         const std::function<bool(std::u16string_view target)>& isTarget) override {
        cleaned.push_back(folder);
        accepts = isTarget;
    }
    std::vector<FileWrite> writes;
    bool failing = false;
    std::set<std::u16string> failingPaths;
    std::vector<std::u16string> cleaned;               // the folders cleaned of leftovers
    std::function<bool(std::u16string_view)> accepts;  // the last cleaning's name test
};

}  // namespace testsupport
