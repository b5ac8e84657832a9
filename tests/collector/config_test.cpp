// Working tree, default files, configuration reading and the lifecycle handlers' logs.
#include "collector_test.h"

#include <tuple>

#include "runtime/lines.h"
#include "support/errors.h"

namespace collector::testing {
namespace {

namespace fs = std::filesystem;
namespace texts = testsupport::texts;

// The default document naming `outputDirectory` as the output folder.
std::string DefaultDocument(const std::string& outputDirectory) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<BrivonMorvelserver>\r\n<Timers>\r\n"
           "<HTTPTimer>60000</HTTPTimer>\r\n</Timers>\r\n<TCPCLIENT>\r\n<Binding>127.0.0.1</Binding>\r\n"
           "<Port>4001</Port>\r\n</TCPCLIENT>\r\n<Output>\r\n<OutputToFile>True</OutputToFile>\r\n"
           "<OutputDirectory>" +
           outputDirectory +
           "</OutputDirectory>\r\n</Output>\r\n<Serverdata>\r\n<Verzender>brv</Verzender>\r\n"
           "<Ontvanger>brv</Ontvanger>\r\n<Protocol>Mm_BR</Protocol>\r\n<Versie>1.0</Versie>\r\n"
           "</Serverdata>\r\n</BrivonMorvelserver>\r\n";
}

// A configuration with the default document's lines but `replace` swapped in.
std::string Config(const std::string& from, const std::string& to) {
    std::string doc = DefaultDocument("/x/BrivonTV/XML");
    doc.replace(doc.find(from), from.size(), to);
    return doc;
}

using TreeTest = CollectorTest;

TEST_F(TreeTest, InstallWritesTreeAndByteExactDefaults) {
    service->ServiceAfterInstall(service.get());
    for (const char* sub : {"BrivonTV", "BrivonTV/Logs", "BrivonTV/Config", "BrivonTV/XML"}) {
        EXPECT_TRUE(fs::is_directory(dir / sub)) << sub;
    }
    const std::string d = dir.string() + Native("/");
    const std::string expected = DefaultDocument(d + Native("BrivonTV/XML"));
    EXPECT_EQ(ReadFile(dir / "VBxMorvelClient.xml"), expected);
    EXPECT_EQ(ReadFile(dir / "BrivonTV/Config/readme.xml"), expected);
    // No message for the newly written configuration file at install.
    EXPECT_EQ(log.Lines(), std::vector<std::string>{Info(texts::kGeinstalleerd)});
    EXPECT_FALSE(timers.active);

    // Existing files are never rewritten, whatever they hold.
    WriteFile(dir / "VBxMorvelClient.xml", "junk");
    WriteFile(dir / "BrivonTV/Config/readme.xml", "");
    service->ServiceAfterInstall(service.get());
    Start();
    EXPECT_EQ(ReadFile(dir / "VBxMorvelClient.xml"), "junk");
    EXPECT_EQ(ReadFile(dir / "BrivonTV/Config/readme.xml"), "");
}

TEST_F(TreeTest, FirstStartAndStartAfterDeletedConfig) {
    service->ServiceAfterInstall(service.get());
    log.Clear();
    Start();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kGestart, Info(texts::Geconfigureerd(u"127.0.0.1", u"4001"))}));
    EXPECT_TRUE(timers.active);
    EXPECT_EQ(timers.events[0].interval, 60000);
    EXPECT_EQ(timers.events[0].changes, (std::vector<std::string>{"interval=60000", "on", "on"}));
    EXPECT_EQ(timers.events[1].changes, std::vector<std::string>{"on"});
    EXPECT_TRUE(timers.events[2].changes.empty());
    EXPECT_EQ((std::vector<std::u16string>{socket.addr, socket.port, service->OutputDirectory, service->OutputToFile,
                                           service->Verzender, service->Ontvanger, service->Versie, service->Protocol,
                                           service->Binding, service->PortText}),
              (std::vector<std::u16string>{u"127.0.0.1", u"4001", base + txt::FromUtf8(Native("BrivonTV/XML")), u"True",
                                           u"brv", u"brv", u"1.0", u"Mm_BR", u"127.0.0.1", u"4001"}));

    // Deleted configuration: written again and announced before the start message.
    fs::remove(dir / "VBxMorvelClient.xml");
    log.Clear();
    socket.addr.clear();
    Start();
    const auto lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], Info(texts::kGeinstalleerd + u" (VBxMorvelClient.xml)"));
    EXPECT_EQ(lines[1], kGestart);
}

TEST_F(TreeTest, DefaultFileThatCannotBeWrittenLeavesStart) {
    service->ServiceAfterInstall(service.get());
    // A directory of the configuration file's name does not count as the file, and the
    // default document cannot be written over it: the error leaves ServiceStart.
    fs::remove(dir / "VBxMorvelClient.xml");
    fs::create_directory(dir / "VBxMorvelClient.xml");
    log.Clear();
    const std::string error = testsupport::MessageOf([&] { Start(); });
    EXPECT_EQ(error.rfind("Cannot create file \"" + dir.string() + Native("/VBxMorvelClient.xml") + "\". ", 0), 0u)
        << error;
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_FALSE(timers.active);
}

TEST_F(TreeTest, UnreadableConfigurationLeavesOnlyConnectTimer) {
    service->ServiceAfterInstall(service.get());
    fs::permissions(dir / "VBxMorvelClient.xml", fs::perms::none);
    if (std::ifstream(dir / "VBxMorvelClient.xml").is_open())
        GTEST_SKIP() << "file permissions do not apply to this user";
    log.Clear();
    Start();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], kGestart);
    EXPECT_EQ(lines[1].rfind("W:Cannot open file \"", 0), 0u) << lines[1];
    EXPECT_EQ(std::tuple(timers.active, timers.events[0].enabled, timers.events[1].enabled, timers.events[2].enabled),
              std::tuple(true, false, false, true));
}

TEST_F(TreeTest, StopPauseContinueShutdownLogs) {
    Start();
    log.Clear();
    bool flag = true;
    service->ServicePause(service.get(), flag);
    bool continued = false;
    service->ServiceContinue(service.get(), continued);
    EXPECT_TRUE(continued);
    service->ServiceShutdown(service.get());
    service->ServiceBeforeUninstall(service.get());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "I:Vanto Brivon Morvel cliënt werd onderbroken door pauze actie",
                               "I:Vanto Brivon Morvel cliënt werd na een pauze gestart",
                               "I:Vanto Brivon Morvel cliënt werd gestopt wegens het afsluiten van de computer",
                               "I:De installatie van Vanto Brivon Morvel cliënt werd verwijderd"}));

    // Stop while not connected: only the stop message; timers 0 and 1 off, 2 untouched.
    log.Clear();
    timers.events[2].changes.clear();
    service->ServiceStop(service.get(), flag);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{Info(texts::kGestopt)});
    EXPECT_FALSE(timers.events[0].enabled);
    EXPECT_FALSE(timers.events[1].enabled);
    EXPECT_TRUE(timers.events[2].changes.empty());
    EXPECT_EQ(socket.closes, 0);

    // Stop while connected: the closed handler's message comes first.
    socket.state = TSocketState::wsConnected;
    log.Clear();
    service->ServiceStop(service.get(), flag);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{kAfgewerkt, Info(texts::kGestopt)}));
    EXPECT_EQ(timers.events[2].changes, std::vector<std::string>{"off"});
}

struct ConfigCase {
    const char* from;
    const char* to;
    int controleInterval;      // ControleTimer's interval after start
    const char16_t* portText;  // empty: address and port not set
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.to; }

class ConfigValueTest : public CollectorTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigValueTest, TimerAndPortValues) {
    const ConfigCase& c = GetParam();
    service->ServiceAfterInstall(service.get());
    WriteFile(dir / "VBxMorvelClient.xml", Config(c.from, c.to));
    Start();
    const std::u16string port = c.portText, addr = port.empty() ? u"" : u"127.0.0.1";
    EXPECT_EQ(std::tuple(timers.events[0].interval, timers.events[0].enabled, timers.events[1].enabled),
              std::tuple(c.controleInterval, true, true));
    EXPECT_EQ(std::tuple(service->PortText, socket.port, socket.addr), std::tuple(port, port, addr));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ConfigValueTest,
    ::testing::Values(ConfigCase{"<Port>4001</Port>", "<Port>   4001</Port>", 60000, u"4001"},
                      ConfigCase{"<Port>4001</Port>", "<Port>4001 </Port>", 60000, u"4001"},
                      ConfigCase{"<Port>4001</Port>", "<Port>4001abc</Port>", 60000, u"4001"},
                      ConfigCase{"<Port>4001</Port>", "<Port>$FA1</Port>", 60000, u"4001"},
                      ConfigCase{"<Port>4001</Port>", "<Port>abc</Port>", 60000, u""},
                      ConfigCase{"<Port>4001</Port>", "<Port>-4001</Port>", 60000, u""},
                      ConfigCase{"<Port>4001</Port>", "<port>4001</port>", 60000, u""},
                      ConfigCase{"<HTTPTimer>60000</HTTPTimer>", "<HTTPTimer>0</HTTPTimer>", 30000, u"4001"},
                      ConfigCase{"<HTTPTimer>60000</HTTPTimer>", "<HTTPTimer>-5</HTTPTimer>", 30000, u"4001"},
                      ConfigCase{"<HTTPTimer>60000</HTTPTimer>", "", 30000, u"4001"},
                      ConfigCase{"<HTTPTimer>60000</HTTPTimer>", "<HTTPTimer>1500</HTTPTimer>", 1500, u"4001"}));

TEST_F(TreeTest, ReadXMLTagEdgeCases) {
    const auto read = [&](std::u16string_view text, std::u16string_view tag) {
        runtime::TStringList list;
        list.SetText(text);
        return txt::ToUtf8(service->ReadXMLTag(list, tag));
    };
    EXPECT_EQ(read(u"<Verzender> brv </Verzender>", u"Verzender"), " brv ");
    EXPECT_EQ(read(u"<A>one\nline two</A>", u"A"), "one\r\nline two");
    EXPECT_EQ(read(u"</A>x<A>y</A>", u"A"), "");
    EXPECT_EQ(read(u"<!-- <A>old</A> -->\n<A>new</A>", u"A"), "old");
    EXPECT_EQ(read(u"<A>first</A><A>second</A>", u"A"), "first");
    EXPECT_EQ(read(u"<a>x</a>", u"A"), "");
    EXPECT_EQ(read(u"<A x=\"1\">x</A>", u"A"), "");
    EXPECT_EQ(read(u"<A></A>", u"A"), "");
    EXPECT_EQ(read(u"<A>unclosed", u"A"), "");
    EXPECT_EQ(read(u"<A>a &amp; b</A>", u"A"), "a &amp; b");
}

TEST_F(TreeTest, ConfigurationEncodingsAndLineBreaks) {
    service->ServiceAfterInstall(service.get());
    const std::string doc = Config("<Verzender>brv</Verzender>", "<Verzender>\xC3\xA9t\xC3\xA9</Verzender>");
    // UTF-8 with a byte-order mark: read as UTF-8.
    WriteFile(dir / "VBxMorvelClient.xml", "\xEF\xBB\xBF" + doc);
    Start();
    EXPECT_EQ(service->Verzender, txt::U("été"));
    // The same bytes without the mark: read in the 8-bit code page.
    WriteFile(dir / "VBxMorvelClient.xml", doc);
    Start();
    EXPECT_EQ(service->Verzender, txt::U("Ã©tÃ©"));
    // LF-only and CR-only breaks read the same as CR LF.
    for (const char* brk : {"\n", "\r"}) {
        std::string other = DefaultDocument("/x/BrivonTV/XML");
        for (std::size_t at = other.find("\r\n"); at != std::string::npos; at = other.find("\r\n", at)) {
            other.replace(at, 2, brk);
        }
        WriteFile(dir / "VBxMorvelClient.xml", other);
        Start();
        EXPECT_EQ(service->OutputDirectory, u"/x/BrivonTV/XML");
        EXPECT_EQ(service->PortText, u"4001");
    }
}

}  // namespace
}  // namespace collector::testing
