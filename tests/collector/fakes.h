#pragma once
// Fakes of the collector's collaborators and a fixture that builds the service object in
// a fresh base directory with a fixed clock.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "collector/brivon_morvel.h"
#include "collector/collaborators.h"
#include "platform/system.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "support/receive_text.h"
#include "text/strings.h"

namespace collector::testing {

struct LogEntry {
    std::string text;  // UTF-8 for readable comparisons
    std::uint32_t type;
    int category;
    int eventId;
};

class FakeLog : public ServiceLog {
public:
    void WriteEvent(const std::u16string& message, std::uint32_t type, int category, int eventId) override {
        std::lock_guard guard(mutex_);
        entries_.push_back({txt::ToUtf8(message), type, category, eventId});
    }
    std::vector<LogEntry> Entries() const {
        std::lock_guard guard(mutex_);
        return entries_;
    }
    // "I:<text>" or "W:<text>" per entry; also checks category 0 and event ID 1.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const LogEntry& e : Entries()) {
            EXPECT_EQ(e.category, 0);
            EXPECT_EQ(e.eventId, 1);
            lines.push_back((e.type == 4 ? "I:" : e.type == 2 ? "W:" : "?:") + e.text);
        }
        return lines;
    }
    void Clear() {
        std::lock_guard guard(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

class FakeTimerEvent : public TimerEventOps {
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

class FakeTimerList : public TimerListOps {
public:
    FakeTimerList() {
        for (int i = 0; i < 3; ++i) {
            events[i].enabled = TBrivonMorvel::TimerDesign[i].enabled;
            events[i].interval = TBrivonMorvel::TimerDesign[i].interval;
        }
    }
    TimerEventOps& Events(int index) override { return events.at(static_cast<std::size_t>(index)); }
    void SetActive(bool value) override { active = value; }
    std::array<FakeTimerEvent, 3> events;
    bool active = false;
};

// A socket whose events are raised by the test. Close raises the closed handler on the
// calling thread, as the real socket does.
class FakeSocket : public testsupport::StringReadSocket {
public:
    TSocketState State() const override { return state; }
    void SetAddr(const std::u16string& value) override {
        if (state != TSocketState::wsClosed) throw runtime::Exception(u"Cannot change Addr if not closed");
        addr = value;
    }
    void SetPort(const std::u16string& value) override {
        if (state != TSocketState::wsClosed) throw runtime::Exception(u"Cannot change Port if not closed");
        port = value;
    }
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
    std::string ReceiveText() override {
        std::lock_guard guard(chunkMutex_);
        if (chunks_.empty()) return {};
        std::string chunk = std::move(chunks_.front());
        chunks_.pop_front();
        return chunk;
    }
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>& prepare) override {
        if (receiveError) throw runtime::Exception(txt::U(receiveError));
        // A socket that claims this many bytes pending asks for room for all of them.
        if (announced != 0) prepare(announced);
        return StringReadSocket::ReceiveTextInto(prepare);
    }
    void SetHandlers(SessionHandler onConnected, SessionHandler onData, SessionHandler onClosed) override {
        onConnected_ = std::move(onConnected);
        onData_ = std::move(onData);
        onClosed_ = std::move(onClosed);
    }

    // Test side: raise the events.
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
    bool HasHandlers() const { return static_cast<bool>(onData_); }

    TSocketState state = TSocketState::wsClosed;
    std::u16string addr, port;
    std::vector<std::u16string> sent;
    int connects = 0, closes = 0;
    const char* connectError = nullptr;
    TSocketState stateAfterFailedConnect = TSocketState::wsClosed;
    const char* sendError = nullptr;
    const char* receiveError = nullptr;  // the next reads fail with this text
    std::size_t announced = 0;           // the bytes the next reads claim pending; 0: the chunk's

private:
    std::mutex chunkMutex_;
    std::deque<std::string> chunks_;
    SessionHandler onConnected_, onData_, onClosed_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A relative path written with "/" in the platform's own notation, as the service builds
// its paths.
inline std::string Native(std::string path) {
    for (char& c : path) {
        if (c == '/') c = char(runtime::PathDelimiter());
    }
    return path;
}

// The system's own text for a Windows error code, as UTF-8.
inline std::string SystemText(std::uint32_t code) { return txt::ToUtf8(platform::SystemErrorText(code)); }

inline void WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A service object in its own fresh base directory with a fixed clock.
class CollectorTest : public ::testing::Test {
protected:
    CollectorTest() {
        // ctest runs test programs side by side, each with the same counter and often the
        // same addresses, so a random part keeps their folders apart.
        static std::atomic<int> counter{0};
        static const unsigned processTag = std::random_device{}();
        dir = std::filesystem::temp_directory_path() /
              ("vbx-collector-" + std::to_string(processTag) + "-" + std::to_string(counter++) + "-" +
               std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        base = txt::FromUtf8(dir.string()) + runtime::PathDelimiter();
        service = std::make_unique<TBrivonMorvel>(
            log, timers, socket, [this] { return now; }, base);
    }
    ~CollectorTest() override {
        service.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    void Start() {
        bool started = true;
        service->ServiceStart(service.get(), started);
    }
    std::filesystem::path XmlDir() const { return dir / "BrivonTV" / "XML"; }
    std::string OutputBytes() const { return ReadFile(XmlDir() / "TV_BRIVON.XML"); }
    void Tick() { service->JvTimerList1Events1Timer(&timers.events[1]); }

    std::filesystem::path dir;
    std::u16string base;
    FakeLog log;
    FakeTimerList timers;
    FakeSocket socket;
    runtime::TDateTime now{2026, 12, 3, 14, 5, 7, 0};
    std::unique_ptr<TBrivonMorvel> service;
};

}  // namespace collector::testing
