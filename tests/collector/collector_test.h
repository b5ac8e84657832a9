#pragma once
// The fixture of the collector's tests: the service object in a fresh base directory with
// the shared fakes and a fixed clock, the log read as "I:<text>" and "W:<text>" lines, and
// the entries the tests expect written that way.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "collector/brivon_morvel.h"
#include "platform/event_log.h"
#include "runtime/files.h"
#include "support/collector_fakes.h"
#include "support/messages.h"
#include "support/temp_folder.h"
#include "text/strings.h"

namespace collector::testing {

using testsupport::FakeSocket;
using testsupport::FakeTimerList;
using testsupport::Frame;
using testsupport::FrameOf;
using testsupport::ReadFile;
using testsupport::Soh;
using testsupport::WriteFile;

inline std::string Info(const std::u16string& text) { return "I:" + txt::ToUtf8(text); }
inline std::string Warning(const std::u16string& text) { return "W:" + txt::ToUtf8(text); }

inline const std::string kVerzonden = Info(testsupport::texts::kVerzonden);
inline const std::string kAfgewerkt = Info(testsupport::texts::kAfgewerkt);
inline const std::string kOntvangen = Info(testsupport::texts::kOntvangen);
inline const std::string kGestart = Info(testsupport::texts::kGestart);
inline const std::string kOngeldig = Warning(testsupport::texts::kOngeldig);
inline const std::string kVol = Warning(testsupport::texts::kVol);
inline const std::string kGeforceerd = Warning(testsupport::texts::kVerbroken);

// The archive file at the fixture's clock, and its bytes for the frame SOH "YWJj" EOT: the
// lenient decoding of its frame text.
inline const std::string kArchiveName = "MC_03122026140507127.XML";
inline const std::string kArchive = "\xFD??\x8F\xFF\xFF\r\n";

class FakeLog : public testsupport::RecordingLog {
public:
    // "I:<text>" or "W:<text>" per entry; also checks category 0 and event ID 1.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const testsupport::LogEntry& e : Entries()) {
            EXPECT_EQ(e.category, 0);
            EXPECT_EQ(e.eventId, 1);
            lines.push_back(e.type == platform::kEventLogInformationType ? Info(e.text)
                            : e.type == platform::kEventLogWarningType   ? Warning(e.text)
                                                                         : "?:" + txt::ToUtf8(e.text));
        }
        return lines;
    }
    std::string Last() const {
        const auto lines = Lines();
        return lines.empty() ? "" : lines.back();
    }
    void SetStatusText(const std::u16string& text) override { statusTexts.push_back(txt::ToUtf8(text)); }
    std::vector<std::string> statusTexts;  // the operator's texts, in their order
};

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

class CollectorTest : public ::testing::Test {
protected:
    CollectorTest()
        : dir(folder.Path()),
          base(folder.Name() + runtime::PathDelimiter()),
          service(std::make_unique<TBrivonMorvel>(
              log, timers, socket, [this] { return now; }, base)) {}
    ~CollectorTest() override { service.reset(); }

    void Start() {
        bool started = true;
        service->ServiceStart(service.get(), started);
    }
    // A new connection's connected event.
    void Connect() {
        socket.state = TSocketState::wsConnecting;
        socket.RaiseConnected();
    }
    // A new connection that receives these bytes in one read.
    void Receive(std::string bytes) {
        Connect();
        socket.Deliver(std::move(bytes));
    }
    std::filesystem::path XmlDir() const { return dir / "BrivonTV" / "XML"; }
    std::string OutputBytes() const { return ReadFile(XmlDir() / "TV_BRIVON.XML"); }
    void Tick() { service->JvTimerList1Events1Timer(&timers.events[1]); }

    testsupport::TempFolder folder{"collector"};
    std::filesystem::path dir;
    std::u16string base;
    FakeLog log;
    FakeTimerList timers;
    FakeSocket socket;
    runtime::TDateTime now{2026, 12, 3, 14, 5, 7, 0};
    std::unique_ptr<TBrivonMorvel> service;
};

// The fixture after a start, the start's entries cleared.
class StartedTest : public CollectorTest {
protected:
    void SetUp() override {
        Start();
        log.Clear();
    }
};

}  // namespace collector::testing
