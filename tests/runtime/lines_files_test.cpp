// Lists of lines, their files and the file error texts; the system's 8-bit code page;
// dates; OS error messages.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "platform/system.h"
#include "runtime/codepage.h"
#include "runtime/datetime.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "runtime/lines.h"
#include "support/errors.h"
#include "support/temp_folder.h"
#include "text/cp1252.h"
#include "text/strings.h"

using txt::U;

namespace {

using testsupport::RaisedText;
using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

std::vector<std::u16string> Split(std::u16string_view text) {
    runtime::TStringList list;
    list.SetText(text);
    return list.Lines();
}

}  // namespace

TEST(Lines, SplittingJoiningAndNormalisedBytes) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(Split(u""), V{});
    EXPECT_EQ(Split(u"a"), V{u"a"});
    EXPECT_EQ(Split(u"a\r\n"), V{u"a"});
    EXPECT_EQ(Split(u"a\r\nb\nc\rd"), (V{u"a", u"b", u"c", u"d"}));
    EXPECT_EQ(Split(u"a\n\rb"), (V{u"a", u"", u"b"}));  // LF CR ends two lines
    EXPECT_EQ(Split(u"\r\n\r\n"), (V{u"", u""}));
    EXPECT_EQ(Split(std::u16string(u"a\nb\0c\nd", 7)), (V{u"a", u"b"}));
    EXPECT_EQ(Split(std::u16string(u"\0abc", 4)), V{});

    runtime::TStringList list;
    list.Add(u"x");
    list.Add(u"");
    EXPECT_EQ(list.Text(), u"x\r\n\r\n");
    list.SetText(u"new");  // replaces, not appends
    EXPECT_EQ(list.Text(), u"new\r\n");
    list.Clear();
    EXPECT_EQ(list.Text(), u"");

    // The normalised bytes of a file match the list of lines; other control bytes are text.
    EXPECT_EQ(runtime::NormaliseLineBreaks("\x01\x34\x02YWJj\x04"), "\x01\x34\x02YWJj\x04\r\n");

    // Mixtures of breaks, NULs and text agree with the list's own splitting.
    std::mt19937 random(11);
    const char pieces[] = {'a', 'b', '\r', '\n', '\0'};
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 24, 'a');
        for (auto& b : bytes) b = pieces[random() % (round % 2 == 0 ? 4 : 5)];
        runtime::TStringList list;
        list.SetText(txt::Latin1ToText(bytes));
        ASSERT_EQ(runtime::NormaliseLineBreaks(bytes), txt::LowBytes(list.Text())) << testing::PrintToString(bytes);
    }
}

TEST(Files, SaveAndLoadWithByteOrderMarks) {
    TempFolder dir;
    const std::u16string file = dir.File("list.xml");
    runtime::TStringList list;
    list.Add(U("<a>cliënt €</a>"));
    list.Add(u"\u4E2D");
    list.SaveToFile(file);
    EXPECT_EQ(ReadFile(dir.Path("list.xml")), "<a>cli\xEBnt \x80</a>\r\n?\r\n");

    // Saving again truncates the longer previous contents.
    runtime::TStringList shorter;
    shorter.Add(u"z");
    shorter.SaveToFile(file);
    EXPECT_EQ(ReadFile(dir.Path("list.xml")), "z\r\n");

    struct Case {
        std::string bytes;
        std::vector<std::u16string> lines;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBF"
         "cli\xC3\xABnt\nb",
         {U("cliënt"), u"b"}},
        {"cli\xC3\xABnt", {U("cliÃ«nt")}},  // without the mark: the 8-bit code page
        {std::string("\xFF\xFE"
                     "a\0\r\0\n\0\xAC\x20",
                     10),
         {u"a", u"\u20AC"}},
        {std::string("\xFE\xFF\0a\0\r\x20\xAC", 8), {u"a", u"\u20AC"}},
        {std::string("\xFF\xFE\x61\0b", 5), {u"a"}},  // an odd last byte is no character
        {std::string("\xFE\xFF\0a\0", 5), {u"a"}},
        {"", {}},
        {"\xEF\xBB\xBF", {}},
    };
    for (const auto& c : cases) {
        WriteFile(dir.Path("list.xml"), c.bytes);
        runtime::TStringList loaded;
        loaded.Add(u"stale");
        loaded.LoadFromFile(file);
        EXPECT_EQ(loaded.Lines(), c.lines) << c.bytes;
    }
}

TEST(Files, ErrorTextsAndFileOperations) {
    TempFolder dir;
    const std::u16string missingFolder = dir.File("missing") + runtime::PathDelimiter() + u"out.xml";
    // The reason is the system's own text for the error code.
    const auto created = RaisedText<runtime::EFCreateError>([&] { runtime::WriteFileBytes(missingFolder, "x"); });
    EXPECT_EQ(created, u"Cannot create file \"" + missingFolder + u"\". " + platform::SystemErrorText(3));
    const std::u16string missingFile = dir.File("absent.xml");
    const auto opened = RaisedText<runtime::EFOpenError>([&] { runtime::TStringList().LoadFromFile(missingFile); });
    EXPECT_EQ(opened, u"Cannot open file \"" + missingFile + u"\". " + platform::SystemErrorText(2));
    std::string none;
    EXPECT_EQ(platform::ReadWholeFile(missingFolder, none), 3u);
    EXPECT_EQ(platform::DeleteFile(missingFolder), 3u);
    EXPECT_EQ(platform::CreateDirectory(dir.File("missing") + runtime::PathDelimiter() + u"sub"), 3u);
    // A directory is neither a file to read nor one to write.
    std::string bytes = "stale";
    EXPECT_EQ(platform::ReadWholeFile(dir.File(""), bytes), 5u);
#ifndef _WIN32
    EXPECT_EQ(bytes, "");  // the POSIX reader empties the buffer before it looks
#endif
    EXPECT_THROW(runtime::WriteFileBytes(dir.File(""), "x"), runtime::EFCreateError);

    EXPECT_FALSE(runtime::FileExists(dir.File("")));
    EXPECT_TRUE(runtime::DirectoryExists(dir.File("")));
    EXPECT_TRUE(runtime::CreateDir(dir.File("sub")));
    EXPECT_FALSE(runtime::CreateDir(dir.File("sub")));
    EXPECT_EQ(platform::CreateDirectory(dir.File("sub")), 183u);
    EXPECT_FALSE(runtime::FileExists(dir.File("sub")));

    const std::u16string file = dir.File("kept.xml");
    runtime::WriteFileBytes(file, "kept");
    EXPECT_EQ(runtime::ReadFileBytes(file), "kept");
    EXPECT_TRUE(runtime::FileExists(file));
    EXPECT_EQ(runtime::RenameReplace(file, dir.File("moved.xml")), 0u);
    EXPECT_EQ(runtime::RenameReplace(file, dir.File("moved.xml")), 2u);
    EXPECT_TRUE(runtime::DeleteFileIfExists(dir.File("moved.xml")));
    EXPECT_FALSE(runtime::DeleteFileIfExists(dir.File("moved.xml")));
}

TEST(Files, PathsAndModule) {
    EXPECT_EQ(runtime::ExtractFilePath(u"/opt/vbx/VBxMorvel"), u"/opt/vbx/");
    EXPECT_EQ(runtime::ExtractFileName(u"/opt/vbx/VBxMorvel"), u"VBxMorvel");
    EXPECT_EQ(runtime::ExtractFilePath(u"VBxMorvel"), u"");
    EXPECT_EQ(runtime::ExtractFileName(u"/opt/vbx/"), u"");
    EXPECT_EQ(runtime::ExtractFilePath(u"/a:b/c"), u"/a:b/");  // ":" is part of a POSIX name

    const std::u16string self = runtime::ModuleFileName();
    EXPECT_TRUE(runtime::FileExists(self));
    EXPECT_EQ(runtime::ExtractFilePath(self).back(), runtime::PathDelimiter());
#ifdef _WIN32
    EXPECT_EQ(runtime::ExtractFileName(self), u"runtime_tests.exe");
    EXPECT_EQ(runtime::PathDelimiter(), u'\\');
    // Both slashes and the drive's colon end a Windows folder.
    EXPECT_EQ(runtime::ExtractFilePath(u"C:\\vbx\\VBxMorvel.exe"), u"C:\\vbx\\");
    EXPECT_EQ(runtime::ExtractFileName(u"C:\\vbx/sub\\VBxMorvel.exe"), u"VBxMorvel.exe");
    EXPECT_EQ(runtime::ExtractFilePath(u"C:VBxMorvel.exe"), u"C:");
#else
    EXPECT_EQ(runtime::ExtractFileName(self), u"runtime_tests");
    EXPECT_EQ(runtime::PathDelimiter(), u'/');
    EXPECT_EQ(runtime::ExtractFileName(u"/opt/vbx\\VBxMorvel"), u"vbx\\VBxMorvel");  // "\\" is part of a name
#endif
}

TEST(Errors, OsErrorMessages) {
    const std::u16string text1073 = platform::SystemErrorText(1073);
    EXPECT_FALSE(text1073.empty());
    const runtime::EOSError e = runtime::MakeOSError(1073);
    EXPECT_EQ(e.Message(), u"System Error.  Code: 1073.\r\n" + text1073);
    EXPECT_EQ(e.Code(), 1073u);
    EXPECT_STREQ(e.ClassName(), "EOSError");
    EXPECT_EQ(e.what(), "System Error.  Code: 1073.\r\n" + txt::ToUtf8(text1073));
    EXPECT_EQ(runtime::MakeOSError(0).Message(), u"A call to an OS function failed");
    EXPECT_EQ(runtime::MakeOSError(424242).Message(), u"System Error.  Code: 424242.\r\n");
    EXPECT_THROW(runtime::RaiseLastOSError(5), runtime::EOSError);

#ifndef _WIN32
    // The POSIX table carries Windows' wording, also for the file errors above and those
    // of the whole-file replace.
    for (const auto& [code, text] : std::initializer_list<std::pair<std::uint32_t, std::u16string_view>>{
             {2, u"The system cannot find the file specified"},
             {3, u"The system cannot find the path specified"},
             {80, u"The file exists"},
             {1063, u"The service process could not connect to the service controller"},
             {1073, u"The specified service already exists"},
             {10061, u"No connection could be made because the target machine actively refused it"},
             {7, u""}})
        EXPECT_EQ(platform::SystemErrorText(code), text) << code;
#endif
    // No entry keeps a trailing full stop or blank.
    for (std::uint32_t code = 0; code < 12000; ++code) {
        const std::u16string text = platform::SystemErrorText(code);
        if (!text.empty()) {
            EXPECT_GT(text.back(), u' ') << code;
            EXPECT_NE(text.back(), u'.') << code;
        }
    }
}

TEST(Errors, MessageOfAnyCaughtError) {
    // Our own errors give their exact UTF-16 text, whatever their class; any other error
    // its what(), read as UTF-8.
    EXPECT_EQ(runtime::MessageOf(runtime::EFCreateError(u"Cannot create file \"\u00E9\". Access is denied")),
              u"Cannot create file \"\u00E9\". Access is denied");
    EXPECT_EQ(runtime::MessageOf(runtime::MakeOSError(0)), u"A call to an OS function failed");
    EXPECT_EQ(runtime::MessageOf(std::runtime_error("caf\xC3\xA9")), u"caf\u00E9");
    EXPECT_EQ(runtime::MessageOf(std::bad_alloc()), txt::FromUtf8(std::bad_alloc().what()));
}

TEST(Errors, MessageBoxesGoToTheConsole) {
    EXPECT_TRUE(platform::WindowStationVisible());  // a console line can always be written
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    platform::ShowMessageBox(u"Service installed successfully", u"Information", platform::MessageBoxIcon::Information);
    platform::ShowMessageBox(U("Eén\r\ntwee"), u"Error", platform::MessageBoxIcon::Error);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Information: Service installed successfully\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: E\xC3\xA9n\ntwee\n");
}

TEST(SystemCodePage, EveryByteSurvivesTheTripThroughText) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(runtime::ToAnsi(runtime::FromAnsi(all)), all);
}

TEST(DateTime, StampFormats) {
    auto at = [](int y, int mo, int d, int h, int mi, int s) { return runtime::TDateTime{y, mo, d, h, mi, s, 0}; };
    EXPECT_EQ(runtime::FormatDateTime(u"hhnnms", at(2026, 3, 3, 9, 5, 7)), u"090537");
    EXPECT_EQ(runtime::FormatDateTime(u"hhnnms", at(2026, 12, 12, 14, 30, 45)), u"14301245");
    EXPECT_EQ(runtime::FormatDateTime(u"hhnnms", at(2026, 12, 31, 23, 59, 59)), u"23591259");
    EXPECT_EQ(runtime::FormatDateTime(u"hhnnms", at(2026, 1, 1, 0, 0, 0)), u"000010");
    EXPECT_EQ(runtime::FormatDateTime(u"ddmmyyyyhhnnssms", at(2026, 12, 3, 14, 5, 7)), u"03122026140507127");
    EXPECT_EQ(runtime::FormatDateTime(u"hh:mm dd-mm", at(2026, 4, 2, 8, 9, 0)), u"08:09 02-04");
    EXPECT_EQ(runtime::FormatDateTime(u"MC_.XML", at(2026, 4, 2, 8, 9, 0)), u"MC_.XML");

    const runtime::TDateTime now = runtime::Now();
    EXPECT_GE(now.year, 2024);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12 && now.millisecond >= 0 && now.millisecond < 1000);
}
