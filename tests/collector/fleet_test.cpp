// Monitoring and unattended configuration: the metrics file and the operator's text after
// a scripted run, the STATUS verdicts and the CONFIGURE documents, each as a table.
#include <chrono>
#include <map>
#include <utility>

#include "collector/commands.h"
#include "collector_test.h"
#include "runtime/lines.h"

namespace collector::testing {
namespace {

// The samples of a metrics file: "name{labels}" -> value; fails on a line of no known form.
std::map<std::string, std::string> Samples(const std::string& text) {
    std::map<std::string, std::string> samples;
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << "ends in a line feed";
    for (std::size_t at = 0, end = 0; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        if (line.starts_with("# HELP vbxmorvel_") || line.starts_with("# TYPE vbxmorvel_")) continue;
        EXPECT_TRUE(line.starts_with("vbxmorvel_")) << line;
        const std::size_t blank = line.rfind(' ');
        samples[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return samples;
}

class FleetTest : public CollectorTest {
protected:
    // The default configuration with a metrics file (relative to the base directory).
    void Configure(const std::u16string& metricsFile) {
        runtime::TStringList list = service->DefaultConfiguration();
        list.Add(u"<MetricsFile>" + metricsFile + u"</MetricsFile>");
        WriteFile(dir / "VBxMorvelClient.xml", list.ExactFileBytes());
    }
    std::map<std::string, std::string> Metrics() { return Samples(ReadFile(dir / "metrics.prom")); }
    // One cycle: the timer connects, the reply comes and closes the connection, and (with
    // `tick`) the next tick processes it.
    void Cycle(const std::string& reply, bool tick = true) {
        service->JvTimerList1Events0Timer(nullptr);
        socket.RaiseConnected();
        socket.Deliver(reply);
        if (tick) Tick();
    }
    // The timer's attempts, each refused.
    void RefusedConnects(int times) {
        socket.connectError = "Connection refused (#10061 in connect)";
        for (int i = 0; i < times; ++i) service->JvTimerList1Events0Timer(nullptr);
        socket.connectError = nullptr;
    }
};

TEST_F(FleetTest, MetricsFollowAScriptedRun) {
    Configure(u"metrics.prom");
    Start();
    service->ServiceStateReported(4);
    EXPECT_EQ(Metrics()["vbxmorvel_service_state"], "4");

    const std::string good = FrameOf("<a/>");
    for (int i = 0; i < 3; ++i) Cycle(good);
    RefusedConnects(1);
    Cycle(Frame("!!!!"));  // no well-formed base64
    Cycle(good, false);    // superseded by the next complete reply before its tick
    Cycle(Frame("YWJj"));
    Cycle(std::string("\x01") + "no end", false);
    socket.PeerClosed();

    std::map<std::string, std::string> m = Metrics();
    EXPECT_EQ(m["vbxmorvel_requests_sent_total"], "7");
    EXPECT_EQ(m["vbxmorvel_connect_failures_total"], "1");
    for (const auto& [outcome, count] : std::map<std::string, std::string>{
             {"written", "4"}, {"invalid", "1"}, {"archived", "0"}, {"dropped", "1"}, {"failed", "0"}}) {
        EXPECT_EQ(m["vbxmorvel_replies_total{outcome=\"" + outcome + "\"}"], count) << outcome;
    }
    EXPECT_EQ(m["vbxmorvel_last_reply_bytes"], std::to_string(Frame("YWJj").size()));
    EXPECT_NE(m["vbxmorvel_last_written_timestamp_seconds"], "0");
    EXPECT_EQ(m["vbxmorvel_log_entries_total{type=\"warning\"}"], "2");  // refused connect, invalid reply
    EXPECT_EQ(m.size(), 20u) << "a fixed set of series";
}

TEST_F(FleetTest, EachCycleRefreshesTheStatusTextOnce) {
    now = {2026, 12, 3, 14, 0, 7, 0};  // early in its hour: the hour of the day must not round down
    Start();
    Cycle(FrameOf("<a/>"), false);
    EXPECT_TRUE(log.statusTexts.empty()) << "the reply waits for its tick";
    Tick();
    ASSERT_EQ(log.statusTexts.size(), 1u);
    // The time of day of the local clock, the reply's bytes as received.
    EXPECT_EQ(log.statusTexts[0], "last packet 14:00:07, " + std::to_string(FrameOf("<a/>").size()) + " bytes");
    RefusedConnects(2);
    ASSERT_EQ(log.statusTexts.size(), 3u);
    EXPECT_EQ(log.statusTexts[1], "no packet since 14:00:07 (connect failed)");
    EXPECT_EQ(log.statusTexts[2], "no packet since 14:00:07 (connect failed \u00d72)");
}

TEST_F(FleetTest, AMetricsFileThatCannotBeWrittenIsOneWarningAndCollectionGoesOn) {
    Configure(u"missing/metrics.prom");
    Start();
    log.Clear();
    for (int i = 0; i < 2; ++i) Cycle(FrameOf("<a/>"));
    const std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(lines[3].starts_with("W:Cannot create file")) << lines[3];
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kOntvangen), 2);
}

// ---- STATUS -------------------------------------------------------------------------

// The commands run on their own, in the fixture's base directory.
class StatusTest : public CollectorTest {
protected:
    void WriteConfig(const std::string& metrics) {
        std::string text =
            "<HTTPTimer>10000</HTTPTimer><OutputDirectory>" + txt::ToUtf8(base) + "out</OutputDirectory>";
        if (!metrics.empty()) text += "<MetricsFile>" + metrics + "</MetricsFile>";
        WriteFile(dir / "VBxMorvelClient.xml", text);
    }
    // The file's time moved back by `age` seconds; returns the time it then has.
    double Aged(const std::filesystem::path& path, int age) {
        std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) - std::chrono::seconds(age));
        double at = 0;
        std::uint64_t size = 0;
        EXPECT_TRUE(runtime::FileTimeAndSize(txt::FromUtf8(path.string()), at, size));
        return at + age;
    }
};

TEST_F(StatusTest, VerdictsAsATable) {
    struct Case {
        int packetAge;        // -1: no output file; -2: no configuration either
        const char* metrics;  // the metrics file; nullptr: none configured; "": configured, missing
        int metricsAge;
        std::vector<std::u16string> thresholds;
        std::string verdict;  // the line up to " | "; its first word decides the exit status
    };
    const char* running = "# TYPE x\nvbxmorvel_service_state 4\n";
    const std::vector<Case> cases = {
        {12, nullptr, 0, {}, "OK - last packet 12 s ago, 5 bytes"},
        {12, running, 5, {}, "OK - last packet 12 s ago, 5 bytes, running"},
        {31, nullptr, 0, {}, "WARNING - last packet 31 s ago, 5 bytes"},
        {101, nullptr, 0, {}, "CRITICAL - last packet 101 s ago, 5 bytes"},
        {31, nullptr, 0, {u"40", u"50"}, "OK - last packet 31 s ago, 5 bytes"},
        {45, nullptr, 0, {u"20", u"40.5"}, "CRITICAL - last packet 45 s ago, 5 bytes"},
        {2, "vbxmorvel_service_state 1\n", 2, {}, "CRITICAL - last packet 2 s ago, 5 bytes, stopped"},
        {2, running, 31, {}, "CRITICAL - last packet 2 s ago, 5 bytes, running, metrics not updated for 31 s"},
        {-2, nullptr, 0, {}, "UNKNOWN - no configuration"},
        {-1, nullptr, 0, {}, "UNKNOWN - no output file yet"},
        {2, "", 0, {}, "UNKNOWN - cannot read the metrics file"},
        {2, "vbxmorvel_build_info 1\n", 0, {}, "UNKNOWN - no service state in the metrics file"},
        {2, nullptr, 0, {u"soon"}, "UNKNOWN - the warning threshold is no number of seconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verdict);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "out");
        if (c.packetAge > -2) WriteConfig(c.metrics == nullptr ? "" : "metrics.prom");
        // The metrics file is made first, so it is never younger than its age says.
        const bool metrics = c.metrics != nullptr && *c.metrics != '\0';
        if (metrics) WriteFile(dir / "metrics.prom", c.metrics);
        double at = 2e9;
        if (c.packetAge >= 0) {
            WriteFile(dir / "out" / "TV_BRIVON.XML", "abcde");
            at = Aged(dir / "out" / "TV_BRIVON.XML", c.packetAge);
        }
        if (metrics) Aged(dir / "metrics.prom", c.metricsAge);
        const auto files = std::distance(std::filesystem::recursive_directory_iterator(dir), {});
        const CommandResult result = StatusCommand(base, c.thresholds, at);
        const std::string line = txt::ToUtf8(result.line);
        const std::string word = c.verdict.substr(0, c.verdict.find(' '));
        EXPECT_EQ(result.exitStatus, word == "OK" ? 0 : word == "WARNING" ? 1 : word == "CRITICAL" ? 2 : 3);
        // The verdict in full; an UNKNOWN one names its file after it.
        EXPECT_EQ(line.substr(0, word == "UNKNOWN" ? c.verdict.size() + 10 : line.find(" | ")),
                  "VBXMORVEL " + c.verdict);
        if (word == "UNKNOWN") {
            EXPECT_NE(line.find(" | age=U;"), std::string::npos) << line;
        } else if (c.thresholds.empty()) {
            EXPECT_TRUE(line.ends_with(" | age=" + std::to_string(c.packetAge) + "s;30;100;0 size=5B;;;0")) << line;
        }
        EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir), {}), files) << "wrote nothing";
    }
}

// ---- CONFIGURE ----------------------------------------------------------------------

TEST_F(StatusTest, ConfigureAsATable) {
    const std::string defaults = TBrivonMorvel::DefaultConfigurationFor(base).ExactFileBytes();
    // The default document with some texts exchanged.
    const auto with = [&](std::vector<std::pair<std::string, std::string>> changes) {
        std::string text = defaults;
        for (const auto& [from, to] : changes) text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string output = Native("BrivonTV/XML") + "</OutputDirectory>\r\n";
    struct Case {
        const char* name;
        std::vector<std::u16string> arguments;
        int status;
        std::string expected;  // the file afterwards; empty: none
    };
    const std::vector<Case> cases = {
        {"nothing_given_is_the_default", {}, 0, defaults},
        {"any_letter_case",
         {u"port=4555", u"HTTPTIMER=1000", u"binding=10.0.0.7", u"verzender=a"},
         0,
         with({{"<Port>4001", "<Port>4555"},
               {"<HTTPTimer>60000", "<HTTPTimer>1000"},
               {"<Binding>127.0.0.1", "<Binding>10.0.0.7"},
               {"<Verzender>brv", "<Verzender>a"}})},
        {"metrics_file_added",
         {u"MetricsFile=m.prom"},
         0,
         with({{output, output + "<MetricsFile>m.prom</MetricsFile>\r\n"}})},
        {"empty_metrics_file_keeps_the_default", {u"metricsfile="}, 0, defaults},
        {"last_value_wins", {u"Port=1", u"Port=2"}, 0, with({{"<Port>4001", "<Port>2"}})},
        {"unknown_key", {u"Port=1", u"Colour=red"}, 1, ""},
        {"no_equals_sign", {u"Port"}, 1, ""},
        {"value_with_a_tag", {u"Binding=a</Binding>"}, 1, ""},
    };
    const std::filesystem::path config = dir / "VBxMorvelClient.xml";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        const CommandResult result = ConfigureCommand(base, c.arguments);
        EXPECT_EQ(result.exitStatus, c.status) << txt::ToUtf8(result.line);
        EXPECT_EQ(result.error, c.status != 0);
        if (c.expected.empty()) {
            EXPECT_FALSE(std::filesystem::exists(config));
            continue;
        }
        EXPECT_EQ(ReadFile(config), c.expected);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "nothing else made";
        // An existing configuration is never changed.
        const CommandResult again = ConfigureCommand(base, {u"Port=9"});
        EXPECT_NE(txt::ToUtf8(again.line).find("not changed"), std::string::npos);
        EXPECT_EQ(ReadFile(config), c.expected);
    }
    // A file that cannot be written.
    std::filesystem::remove_all(dir);
    const CommandResult failed = ConfigureCommand(base, {u"Port=1"});
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_TRUE(txt::ToUtf8(failed.line).starts_with("Cannot create file")) << txt::ToUtf8(failed.line);
}

}  // namespace
}  // namespace collector::testing
