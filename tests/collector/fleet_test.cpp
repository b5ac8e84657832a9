// Monitoring and unattended configuration: the metrics file and the operator's text after
// a scripted run, the STATUS verdicts and the CONFIGURE documents, each as a table.
#include <chrono>
#include <map>

#include "collector/commands.h"
#include "collector_test.h"
#include "runtime/lines.h"

namespace collector::testing {
namespace {

// The samples of a metrics file: "name{labels}" -> value; fails on a line of no known form.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << "ends in a line feed";
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.starts_with("# HELP vbxmorvel_") || line.starts_with("# TYPE vbxmorvel_")) continue;
        EXPECT_TRUE(line.starts_with("vbxmorvel_")) << line;
        const std::size_t blank = line.rfind(' ');
        samples[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return samples;
}

class StatusTextLog : public FakeLog {
public:
    void SetStatusText(const std::u16string& text) override { texts.push_back(txt::ToUtf8(text)); }
    std::vector<std::string> texts;
};

class FleetTest : public CollectorTest {
protected:
    // The default configuration with a metrics file (relative to the base directory).
    void Configure(const std::u16string& metricsFile) {
        runtime::TStringList list = service->DefaultConfiguration();
        list.Add(u"<MetricsFile>" + metricsFile + u"</MetricsFile>");
        WriteFile(dir / "VBxMorvelClient.xml", list.ExactFileBytes());
    }
    std::map<std::string, std::string> Metrics() { return Samples(ReadFile(dir / "metrics.prom")); }
    // One cycle: the timer connects, the reply comes and closes the connection.
    void Cycle(const std::string& reply) {
        service->JvTimerList1Events0Timer(nullptr);
        socket.RaiseConnected();
        socket.Deliver(reply);
    }
};

TEST_F(FleetTest, MetricsFollowAScriptedRun) {
    Configure(u"metrics.prom");
    Start();
    service->ServiceStateReported(4);
    EXPECT_EQ(Metrics()["vbxmorvel_service_state"], "4");
    EXPECT_EQ(Metrics()["vbxmorvel_request_interval_seconds"], "60");

    const std::string good = FrameOf("<a/>");
    for (int i = 0; i < 3; ++i) {
        Cycle(good);
        Tick();
    }
    socket.connectError = "Connection refused (#10061 in connect)";
    service->JvTimerList1Events0Timer(nullptr);
    socket.connectError = nullptr;
    Cycle(Frame("!!!!"));  // no well-formed base64
    Tick();
    Cycle(good);  // superseded by the next complete reply before its tick
    Cycle(Frame("YWJj"));
    Tick();
    Cycle(std::string("\x01") + "no end");
    socket.PeerClosed();

    std::map<std::string, std::string> m = Metrics();
    EXPECT_EQ(m["vbxmorvel_build_info{version=\"" + std::string(platform::ProgramVersion()) + "\"}"], "1");
    EXPECT_EQ(m["vbxmorvel_requests_sent_total"], "7");
    EXPECT_EQ(m["vbxmorvel_connect_failures_total"], "1");
    const std::map<std::string, std::string> replies = {{"written", "4"},  {"invalid", "1"},     {"too_long", "0"},
                                                        {"archived", "0"}, {"buffer_full", "0"}, {"dropped", "1"},
                                                        {"failed", "0"}};
    for (const auto& [outcome, count] : replies) {
        EXPECT_EQ(m["vbxmorvel_replies_total{outcome=\"" + outcome + "\"}"], count) << outcome;
    }
    EXPECT_EQ(m["vbxmorvel_last_reply_bytes"], std::to_string(Frame("YWJj").size()));
    EXPECT_NE(m["vbxmorvel_last_written_timestamp_seconds"], "0");
    EXPECT_EQ(m["vbxmorvel_log_entries_total{type=\"warning\"}"], "2");  // refused connect, invalid reply
    EXPECT_EQ(m.size(), 20u) << "a fixed set of series";

    // The final report writes the file once more.
    service->ServiceStateReported(1);
    EXPECT_EQ(Metrics()["vbxmorvel_service_state"], "1");
}

TEST(FleetStatusText, NamesTheLastOutcomeAndItsRepeats) {
    double wall = 1000;
    CollectorMetrics metrics([&] { return wall; }, [&] { return wall; });
    const auto clock = [](double at) { return txt::IntToStr(static_cast<std::int64_t>(at)); };
    EXPECT_EQ(txt::ToUtf8(metrics.StatusText(clock)), "no packet since 1000");
    wall = 1010;
    metrics.Reply(ReplyOutcome::kWritten, 5123);
    EXPECT_EQ(txt::ToUtf8(metrics.StatusText(clock)), "last packet 1010, 5123 bytes");
    metrics.ConnectFailed();
    metrics.ConnectFailed();
    metrics.ConnectFailed();
    metrics.ConnectFailed();
    EXPECT_EQ(txt::ToUtf8(metrics.StatusText(clock)), "no packet since 1010 (connect failed \u00d74)");
    metrics.Reply(ReplyOutcome::kInvalid, 9);
    EXPECT_EQ(txt::ToUtf8(metrics.StatusText(clock)), "no packet since 1010 (invalid reply)");
}

TEST_F(FleetTest, EachCycleRefreshesTheStatusTextOnce) {
    StatusTextLog textLog;
    service.reset();  // the old object lets go of the socket's handlers first
    service = std::make_unique<TBrivonMorvel>(
        textLog, timers, socket, [this] { return now; }, base);
    Start();
    Cycle(FrameOf("<a/>"));
    EXPECT_TRUE(textLog.texts.empty()) << "the reply waits for its tick";
    Tick();
    ASSERT_EQ(textLog.texts.size(), 1u);
    // The time of day of the local clock, the reply's bytes as received.
    EXPECT_EQ(textLog.texts[0], "last packet 14:05:07, " + std::to_string(FrameOf("<a/>").size()) + " bytes");
    socket.connectError = "Connection refused (#10061 in connect)";
    service->JvTimerList1Events0Timer(nullptr);
    ASSERT_EQ(textLog.texts.size(), 2u);
    EXPECT_TRUE(textLog.texts[1].ends_with("(connect failed)")) << textLog.texts[1];
}

TEST_F(FleetTest, AMetricsFileThatCannotBeWrittenIsOneWarningAndCollectionGoesOn) {
    Configure(u"missing/metrics.prom");
    Start();
    log.Clear();
    for (int i = 0; i < 2; ++i) {
        Cycle(FrameOf("<a/>"));
        Tick();
    }
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(lines[3].starts_with("W:Cannot create file")) << lines[3];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kOntvangen), 2);
    EXPECT_EQ(OutputBytes(), "<a/>\r\n");
}

// ---- STATUS -------------------------------------------------------------------------

class StatusTest : public ::testing::Test {
protected:
    std::u16string Base() const { return folder.Name() + runtime::PathDelimiter(); }
    std::filesystem::path Dir() const { return folder.Path(); }
    void WriteConfig(const std::string& metrics) {
        std::string text =
            "<HTTPTimer>10000</HTTPTimer><OutputDirectory>" + txt::ToUtf8(Base()) + "out</OutputDirectory>";
        if (!metrics.empty()) text += "<MetricsFile>" + metrics + "</MetricsFile>";
        WriteFile(Dir() / "VBxMorvelClient.xml", text);
    }
    // The file's time moved back by `age` seconds; returns the time it then has.
    double Aged(const std::filesystem::path& path, int age) {
        std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::seconds(age));
        double at = 0;
        std::uint64_t size = 0;
        EXPECT_TRUE(runtime::FileTimeAndSize(txt::FromUtf8(path.string()), at, size));
        return at + age;
    }
    testsupport::TempFolder folder{"status"};
};

TEST_F(StatusTest, VerdictsAsATable) {
    struct Case {
        const char* name;
        bool config;
        int packetAge;        // -1: no output file
        const char* metrics;  // metrics file content; nullptr: none configured; "": configured, missing
        int metricsAge;
        std::vector<std::u16string> arguments;
        int status;
        const char* line;
    };
    const std::string running = "# TYPE x\nvbxmorvel_service_state 4\n";
    const std::string stopped = "vbxmorvel_service_state 1\n";
    const std::vector<Case> cases = {
        {"ok",
         true,
         12,
         nullptr,
         0,
         {},
         0,
         "VBXMORVEL OK - last packet 12 s ago, 5 bytes | age=12s;30;100;0 size=5B;;;0"},
        {"ok_running",
         true,
         12,
         running.c_str(),
         5,
         {},
         0,
         "VBXMORVEL OK - last packet 12 s ago, 5 bytes, running | age=12s;30;100;0 size=5B;;;0"},
        {"warning",
         true,
         31,
         nullptr,
         0,
         {},
         1,
         "VBXMORVEL WARNING - last packet 31 s ago, 5 bytes | age=31s;30;100;0 size=5B;;;0"},
        {"critical",
         true,
         101,
         nullptr,
         0,
         {},
         2,
         "VBXMORVEL CRITICAL - last packet 101 s ago, 5 bytes | age=101s;30;100;0 size=5B;;;0"},
        {"own_thresholds",
         true,
         31,
         nullptr,
         0,
         {u"40", u"50"},
         0,
         "VBXMORVEL OK - last packet 31 s ago, 5 bytes | age=31s;40;50;0 size=5B;;;0"},
        {"own_critical",
         true,
         45,
         nullptr,
         0,
         {u"20", u"40.5"},
         2,
         "VBXMORVEL CRITICAL - last packet 45 s ago, 5 bytes | age=45s;20;40.5;0 size=5B;;;0"},
        {"stopped",
         true,
         2,
         stopped.c_str(),
         2,
         {},
         2,
         "VBXMORVEL CRITICAL - last packet 2 s ago, 5 bytes, stopped | age=2s;30;100;0 size=5B;;;0"},
        {"stale_metrics",
         true,
         2,
         running.c_str(),
         31,
         {},
         2,
         "VBXMORVEL CRITICAL - last packet 2 s ago, 5 bytes, running, metrics not updated for 31 s | "
         "age=2s;30;100;0 size=5B;;;0"},
        {"no_configuration", false, 2, nullptr, 0, {}, 3, nullptr},
        {"no_output_file", true, -1, nullptr, 0, {}, 3, nullptr},
        {"missing_metrics", true, 2, "", 0, {}, 3, nullptr},
        {"metrics_without_state", true, 2, "vbxmorvel_build_info 1\n", 0, {}, 3, nullptr},
        {"bad_threshold", true, 2, nullptr, 0, {u"soon"}, 3, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Dir());
        std::filesystem::create_directories(Dir() / "out");
        if (c.config) WriteConfig(c.metrics == nullptr ? "" : "metrics.prom");
        // The metrics file is made first, so it is never younger than its age says.
        if (c.metrics != nullptr && *c.metrics != '\0') WriteFile(Dir() / "metrics.prom", c.metrics);
        double now = 2e9;
        if (c.packetAge >= 0) {
            WriteFile(Dir() / "out" / "TV_BRIVON.XML", "abcde");
            now = Aged(Dir() / "out" / "TV_BRIVON.XML", c.packetAge);
        }
        if (c.metrics != nullptr && *c.metrics != '\0') Aged(Dir() / "metrics.prom", c.metricsAge);
        const auto files = std::distance(std::filesystem::recursive_directory_iterator(Dir()), {});
        const CommandResult result = StatusCommand(Base(), c.arguments, now);
        EXPECT_EQ(result.exitStatus, c.status) << txt::ToUtf8(result.line);
        const std::string line = txt::ToUtf8(result.line);
        if (c.line != nullptr) {
            EXPECT_EQ(line, c.line);
        } else {
            EXPECT_TRUE(line.starts_with("VBXMORVEL UNKNOWN - ")) << line;
            EXPECT_NE(line.find(" | age=U;"), std::string::npos) << line;
        }
        EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(Dir()), {}), files) << "wrote nothing";
    }
}

// ---- CONFIGURE ----------------------------------------------------------------------

TEST_F(StatusTest, ConfigureAsATable) {
    const std::string base = txt::ToUtf8(Base());
    const auto document = [&](const std::map<std::string, std::string>& values, const std::string& metrics) {
        runtime::TStringList defaults = TBrivonMorvel::DefaultConfigurationFor(Base());
        std::string text;
        for (const std::u16string& line : defaults.Lines()) {
            std::string written = txt::ToUtf8(line);
            for (const auto& [key, value] : values) {
                if (written.starts_with("<" + key + ">")) written = "<" + key + ">" + value + "</" + key + ">";
            }
            text += written + "\r\n";
            if (written.starts_with("<OutputDirectory>") && !metrics.empty()) {
                text += "<MetricsFile>" + metrics + "</MetricsFile>\r\n";
            }
        }
        return text;
    };
    struct Case {
        const char* name;
        std::vector<std::u16string> arguments;
        int status;
        std::string expected;  // the file afterwards; empty: none
    };
    const std::vector<Case> cases = {
        {"nothing_given_is_the_default", {}, 0, document({}, "")},
        {"any_letter_case",
         {u"port=4555", u"HTTPTIMER=1000", u"binding=10.0.0.7", u"outputdirectory=/srv/x", u"verzender=a",
          u"ONTVANGER=b", u"protocol=P", u"versie=2", u"OutputToFile=False"},
         0,
         document({{"Port", "4555"},
                   {"HTTPTimer", "1000"},
                   {"Binding", "10.0.0.7"},
                   {"OutputDirectory", "/srv/x"},
                   {"Verzender", "a"},
                   {"Ontvanger", "b"},
                   {"Protocol", "P"},
                   {"Versie", "2"},
                   {"OutputToFile", "False"}},
                  "")},
        {"metrics_file_added", {u"MetricsFile=m.prom"}, 0, document({}, "m.prom")},
        {"empty_metrics_file_keeps_the_default", {u"metricsfile="}, 0, document({}, "")},
        {"last_value_wins", {u"Port=1", u"Port=2"}, 0, document({{"Port", "2"}}, "")},
        {"unknown_key", {u"Port=1", u"Colour=red"}, 1, ""},
        {"no_equals_sign", {u"Port"}, 1, ""},
        {"value_with_a_tag", {u"Binding=a</Binding>"}, 1, ""},
    };
    const std::filesystem::path config = Dir() / "VBxMorvelClient.xml";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Dir());
        std::filesystem::create_directories(Dir());
        const CommandResult result = ConfigureCommand(Base(), c.arguments);
        EXPECT_EQ(result.exitStatus, c.status) << txt::ToUtf8(result.line);
        EXPECT_EQ(result.error, c.status != 0);
        if (c.expected.empty()) {
            EXPECT_FALSE(std::filesystem::exists(config));
            continue;
        }
        EXPECT_EQ(ReadFile(config), c.expected);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir()), {}), 1) << "nothing else made";
        // An existing configuration is never changed.
        const CommandResult again = ConfigureCommand(Base(), {u"Port=9"});
        EXPECT_EQ(again.exitStatus, 0);
        EXPECT_NE(txt::ToUtf8(again.line).find("not changed"), std::string::npos);
        EXPECT_EQ(ReadFile(config), c.expected);
    }
    // A file that cannot be written.
    std::filesystem::remove_all(Dir());
    const CommandResult failed = ConfigureCommand(Base(), {u"Port=1"});
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_TRUE(txt::ToUtf8(failed.line).starts_with("Cannot create file")) << txt::ToUtf8(failed.line);
}

}  // namespace
}  // namespace collector::testing
