// The files the collector writes: TV_BRIVON.XML and the archive files through its output
// files (captured here without a disk, and on the disk with links, folders and leftovers
// planted under the names it uses), and the default documents of a base directory that
// the 8-bit code page cannot hold.
#include "collector_test.h"

#include <algorithm>

#include "runtime/codepage.h"
#include "runtime/lines.h"

namespace collector::testing {
namespace {

namespace fs = std::filesystem;

class OutputFilesTest : public CollectorTest {
protected:
    void Deliver(const std::string& bytes) {
        Receive(bytes);
        Tick();
    }
    std::u16string Xml(const std::string& name) const { return base + txt::FromUtf8(Native("BrivonTV/XML/") + name); }
};

TEST_F(OutputFilesTest, PacketsAndArchivesGoThroughTheInstalledOutputFiles) {
    testsupport::MemoryFiles memory;
    service->SetOutputFiles(memory);
    Start();
    // At start: the leftovers of the archive folder and of the output folder.
    const std::u16string xmlFolder = base + txt::FromUtf8(Native("BrivonTV/XML"));
    EXPECT_EQ(memory.cleaned, (std::vector<std::u16string>{xmlFolder, xmlFolder + runtime::PathDelimiter()}));
    ASSERT_TRUE(memory.accepts);
    for (const char16_t* own :
         {u"TV_BRIVON.XML", u"MC_0312202614050712.XML", u"MC_03122026140507127.XML", u"MC_031220261405071259.XML"}) {
        EXPECT_TRUE(memory.accepts(own)) << txt::ToUtf8(own);
    }
    for (const char16_t* other :
         {u"tv_brivon.xml", u"TV_BRIVON.XML.bak", u"MC_031220261405071.XML", u"MC_0312202614050712599.XML",
          u"MC_0312202614050712a.XML", u"MC_.XML", u"VBxMorvelClient.xml", u"readme.xml", u""}) {
        EXPECT_FALSE(memory.accepts(other)) << txt::ToUtf8(other);
    }

    Deliver(FrameOf("abc"));
    Deliver("\x01YWJj\x04");
    const std::vector<testsupport::FileWrite> written = {{Xml("TV_BRIVON.XML"), "abc\r\n"},
                                                         {Xml(kArchiveName), kArchive}};
    EXPECT_EQ(memory.writes, written);
    // Nothing reached the disk.
    EXPECT_EQ(fs::directory_iterator(XmlDir()), fs::directory_iterator());

    // A failed write is the warning with the writer's own text; the buffer is emptied.
    memory.failingPaths.insert(Xml("TV_BRIVON.XML"));
    Deliver(FrameOf("def"));
    EXPECT_EQ(log.Last(), "W:Cannot create file \"" + txt::ToUtf8(Xml("TV_BRIVON.XML")) + "\". " + SystemText(112));
    EXPECT_TRUE(service->PakketBuffer.Empty());
    EXPECT_EQ(memory.writes, written);

    // An output folder of the configuration's own is cleaned too.
    std::string doc = ReadFile(dir / "VBxMorvelClient.xml");
    const std::string xml = dir.string() + Native("/BrivonTV/XML");
    doc.replace(doc.find(xml), xml.size(), dir.string() + Native("/elsewhere"));
    WriteFile(dir / "VBxMorvelClient.xml", doc);
    memory.cleaned.clear();
    Start();
    EXPECT_EQ(memory.cleaned, (std::vector<std::u16string>{xmlFolder, base + u"elsewhere" + runtime::PathDelimiter()}));

    // An unreadable configuration names no output folder: only the archive folder.
    memory.cleaned.clear();
    fs::permissions(dir / "VBxMorvelClient.xml", fs::perms::none);
    // Permissions do not bind every user (root reads the file all the same).
    if (std::ifstream(dir / "VBxMorvelClient.xml").is_open()) return;
    Start();
    EXPECT_EQ(memory.cleaned, std::vector<std::u16string>{xmlFolder});
}

using testsupport::MakeLink;

TEST_F(OutputFilesTest, LinksAndFoldersPlantedOnTheDiskAreNeverUsed) {
    Start();
    log.Clear();
    WriteFile(dir / "victim", "victim");
    if (!MakeLink(dir / "victim", XmlDir() / "TV_BRIVON.XML") || !MakeLink(dir / "victim", XmlDir() / kArchiveName)) {
        GTEST_SKIP() << "no symbolic links here";
    }
    // Links at both names are replaced by the new files, their target untouched.
    Deliver(FrameOf("abc"));
    Deliver("\x01YWJj\x04");
    EXPECT_FALSE(fs::is_symlink(XmlDir() / "TV_BRIVON.XML"));
    EXPECT_FALSE(fs::is_symlink(XmlDir() / kArchiveName));
    EXPECT_EQ(OutputBytes(), "abc\r\n");
    EXPECT_EQ(ReadFile(XmlDir() / kArchiveName), kArchive);
    EXPECT_EQ(ReadFile(dir / "victim"), "victim");

    // A folder at the output name fails this packet only, and is left in place.
    fs::remove(XmlDir() / "TV_BRIVON.XML");
    fs::create_directories(XmlDir() / "TV_BRIVON.XML" / "inside");
    Deliver(FrameOf("def"));
    EXPECT_EQ(log.Last().rfind("W:Cannot create file \"" + txt::ToUtf8(Xml("TV_BRIVON.XML")) + "\". ", 0), 0u)
        << log.Last();
    EXPECT_TRUE(fs::is_directory(XmlDir() / "TV_BRIVON.XML" / "inside"));
    fs::remove_all(XmlDir() / "TV_BRIVON.XML");
    Deliver(FrameOf("ghi"));
    EXPECT_EQ(log.Last(), kOntvangen);
    EXPECT_EQ(OutputBytes(), "ghi\r\n");
    // Nothing else is left in the folder: no temporary file of any packet.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(XmlDir())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{kArchiveName, "TV_BRIVON.XML"}));
}

TEST_F(OutputFilesTest, LeftoversOfAnEarlierRunAreRemovedAtStartOnly) {
    service->ServiceAfterInstall(service.get());
    const std::vector<std::string> leftovers = {"TV_BRIVON.XML.0a1b2c3d4e5f.tmp",
                                                "MC_03122026140507127.XML.zzzzzzzzzzzz.tmp"};
    const std::vector<std::string> others = {"TV_BRIVON.XML", "TV_BRIVON.XML.tmp", "notes.xml.0a1b2c3d4e5f.tmp",
                                             "MC_1.XML.0a1b2c3d4e5f.tmp"};
    for (const auto& name : leftovers) WriteFile(XmlDir() / name, "left over");
    for (const auto& name : others) WriteFile(XmlDir() / name, "user");
    fs::create_directories(XmlDir() / "TV_BRIVON.XML.111111111111.tmp");
    const bool link = MakeLink(dir / "victim", XmlDir() / "TV_BRIVON.XML.222222222222.tmp");
    WriteFile(dir / "VBxMorvelClient.xml.0a1b2c3d4e5f.tmp", "beside the executable: not an output folder");

    // Install does not clean; start does.
    service->ServiceAfterInstall(service.get());
    for (const auto& name : leftovers) EXPECT_TRUE(fs::exists(XmlDir() / name)) << name;
    Start();
    for (const auto& name : leftovers) EXPECT_FALSE(fs::exists(XmlDir() / name)) << name;
    for (const auto& name : others) EXPECT_EQ(ReadFile(XmlDir() / name), "user") << name;
    EXPECT_TRUE(fs::is_directory(XmlDir() / "TV_BRIVON.XML.111111111111.tmp"));
    if (link) {
        EXPECT_TRUE(fs::is_symlink(XmlDir() / "TV_BRIVON.XML.222222222222.tmp"));
    }
    EXPECT_TRUE(fs::exists(dir / "VBxMorvelClient.xml.0a1b2c3d4e5f.tmp"));
}

TEST_F(OutputFilesTest, BaseDirectoryOutsideTheCodePageGivesUtf8DocumentsThatWork) {
    // The folders are made and read through the program's own calls, which take UTF-16
    // names on every platform.
    const std::u16string cyrillic = base + txt::U("Коллектор") + runtime::PathDelimiter();
    ASSERT_TRUE(runtime::CreateDir(cyrillic.substr(0, cyrillic.size() - 1)));
    ASSERT_FALSE(runtime::ToAnsiExact(cyrillic).has_value()) << "the code page holds Cyrillic";
    TBrivonMorvel other(
        log, timers, socket, [this] { return now; }, cyrillic);
    bool started = true;
    other.ServiceStart(&other, started);

    const std::u16string expected = other.DefaultConfiguration().Text();
    for (const std::u16string& file : {other.ConfigFileName(), other.ReadmeFileName()}) {
        const std::string bytes = runtime::ReadFileBytes(file);
        EXPECT_EQ(bytes, "\xEF\xBB\xBF" + txt::ToUtf8(expected)) << txt::ToUtf8(file);
    }
    const std::u16string outputFolder = cyrillic + u"BrivonTV" + runtime::PathDelimiter() + u"XML";
    EXPECT_EQ(other.OutputDirectory, outputFolder);

    // A packet reaches the real folder.
    socket.RaiseConnected();
    socket.Deliver(FrameOf("abc"));
    other.JvTimerList1Events1Timer(&timers.events[1]);
    EXPECT_EQ(runtime::ReadFileBytes(outputFolder + runtime::PathDelimiter() + u"TV_BRIVON.XML"), "abc\r\n");
    EXPECT_EQ(log.Last(), kOntvangen);
}

TEST_F(OutputFilesTest, BaseDirectoryInsideTheCodePageKeepsTheExactBytes) {
    const std::u16string accented = base + txt::U("cliënt map") + runtime::PathDelimiter();
    if (!runtime::ToAnsiExact(accented)) GTEST_SKIP() << "the code page lacks \"ë\"";
    ASSERT_TRUE(runtime::CreateDir(accented.substr(0, accented.size() - 1)));
    TBrivonMorvel other(
        log, timers, socket, [this] { return now; }, accented);
    other.ServiceAfterInstall(&other);
    const std::string bytes = runtime::ReadFileBytes(other.ConfigFileName());
    EXPECT_EQ(bytes, runtime::ToAnsi(other.DefaultConfiguration().Text()));
    EXPECT_EQ(bytes.size(), 452 + runtime::ToAnsi(accented).size());
    EXPECT_EQ(runtime::ReadFileBytes(other.ReadmeFileName()), bytes);
}

}  // namespace
}  // namespace collector::testing
