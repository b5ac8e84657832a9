// Replacing a file as a whole through a temporary file; removing what an interrupted
// replace left behind; the bytes of documents the 8-bit code page cannot hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/progress.h"
#include "platform/system.h"
#include "runtime/codepage.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "runtime/lines.h"
#include "support/errors.h"
#include "support/temp_folder.h"
#include "text/strings.h"

namespace fs = std::filesystem;
using txt::U;

namespace {

using testsupport::MakeLink;
using testsupport::RaisedText;
using testsupport::ReadFile;
using testsupport::WriteFile;
using Folder = testsupport::TempFolder;

// Random parts that the test chooses, in order; counts how many were drawn.
struct Parts {
    std::vector<std::u16string> list;
    int drawn = 0;
    std::u16string operator()() { return list.at(static_cast<std::size_t>(drawn++) % list.size()); }
};

}  // namespace

TEST(Replace, WritesTheWholeFileAndLeavesNoTemporaryFile) {
    Folder dir;
    const std::u16string target = dir.File("TV_BRIVON.XML");
    // A shorter or empty file leaves nothing of the old one.
    for (const std::string& bytes :
         {std::string("first"), std::string("2"), std::string(), std::string(3 << 20, 'x')}) {
        runtime::ReplaceFile(target, bytes);
        EXPECT_EQ(ReadFile(dir.Path("TV_BRIVON.XML")), bytes);
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"TV_BRIVON.XML"});
    // A file of several pieces (the last one short) is written and flushed piece by
    // piece, each a progress mark of a watched thread.
    std::string pieces((9 << 20) + 5, '\0');
    for (std::size_t i = 0; i < pieces.size(); ++i) pieces[i] = static_cast<char>('a' + i % 23);
    platform::ThreadProgress progress;
    {
        const platform::WatchProgress watch(progress);
        progress.Mark(1);
        runtime::ReplaceFile(target, pieces);
    }
    EXPECT_GT(progress.LastMark(), 1u);
    EXPECT_EQ(ReadFile(dir.Path("TV_BRIVON.XML")), pieces);

#ifndef _WIN32
    // The permissions of an ordinary new file: 0666 less the umask, not 0600 or 0644.
    for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}}) {
        const mode_t old = ::umask(mask);
        runtime::ReplaceFile(target, "mode");
        ::umask(old);
        struct stat st {};
        ASSERT_EQ(::stat(dir.Path("TV_BRIVON.XML").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
    }
#endif
}

TEST(Replace, EntriesPlantedUnderTemporaryNamesOrAtTheTargetAreNeverUsed) {
    Folder dir;
    const std::u16string target = dir.File("TV_BRIVON.XML");
    WriteFile(dir.Path("victim"), "victim");
    const std::string a = "TV_BRIVON.XML.aaaaaaaaaaaa.tmp", b = "TV_BRIVON.XML.bbbbbbbbbbbb.tmp",
                      c = "TV_BRIVON.XML.cccccccccccc.tmp", d = "TV_BRIVON.XML.dddddddddddd.tmp";
    fs::create_directories(dir.Path(a) / "inside");
    WriteFile(dir.Path(b), "someone else's");
    const bool links = MakeLink(dir.Path("victim"), dir.Path(c)) && MakeLink(dir.Path("nowhere"), dir.Path(d));
    Parts parts{{u"aaaaaaaaaaaa", u"bbbbbbbbbbbb", u"cccccccccccc", u"dddddddddddd", u"eeeeeeeeeeee"}};
    if (!links) parts.list = {u"aaaaaaaaaaaa", u"bbbbbbbbbbbb", u"eeeeeeeeeeee"};

    runtime::ReplaceFile(target, "new", std::ref(parts));
    EXPECT_EQ(parts.drawn, static_cast<int>(parts.list.size()));
    EXPECT_EQ(ReadFile(dir.Path("TV_BRIVON.XML")), "new");
    // Each planted entry is as it was: never written through, never removed.
    EXPECT_TRUE(fs::is_directory(dir.Path(a) / "inside"));
    EXPECT_EQ(ReadFile(dir.Path(b)), "someone else's");
    EXPECT_EQ(ReadFile(dir.Path("victim")), "victim");
    if (links) {
        EXPECT_TRUE(fs::is_symlink(dir.Path(c)));
        EXPECT_TRUE(fs::is_symlink(dir.Path(d)));
        EXPECT_FALSE(fs::exists(dir.Path("nowhere")));
        // A link at the target itself is replaced, not followed.
        ASSERT_TRUE(MakeLink(dir.Path("victim"), dir.Path("MC_03122026140507127.XML")));
        runtime::ReplaceFile(dir.File("MC_03122026140507127.XML"), "archive");
        EXPECT_FALSE(fs::is_symlink(dir.Path("MC_03122026140507127.XML")));
        EXPECT_EQ(ReadFile(dir.Path("MC_03122026140507127.XML")), "archive");
        EXPECT_EQ(ReadFile(dir.Path("victim")), "victim");
    }
    EXPECT_FALSE(fs::exists(dir.Path("TV_BRIVON.XML.eeeeeeeeeeee.tmp")));

    // Names taken every time: the number of attempts is bounded, the failure names the
    // target, and the old target stays.
    Parts taken{{u"bbbbbbbbbbbb"}};
    const auto error =
        RaisedText<runtime::EFCreateError>([&] { runtime::ReplaceFile(target, "newer", std::ref(taken)); });
    EXPECT_EQ(error, u"Cannot create file \"" + target + u"\". " + platform::SystemErrorText(80));
    EXPECT_EQ(taken.drawn, runtime::kReplaceNameAttempts);
    EXPECT_EQ(ReadFile(dir.Path("TV_BRIVON.XML")), "new");
    EXPECT_EQ(ReadFile(dir.Path(b)), "someone else's");
}

TEST(Replace, FailuresKeepTheOldEntryAndRemoveTheTemporaryFile) {
    Folder dir;
    // A folder under the target's name cannot be replaced by a file.
    const std::u16string target = dir.File("TV_BRIVON.XML");
    fs::create_directories(dir.Path("TV_BRIVON.XML") / "inside");
    EXPECT_EQ(RaisedText<runtime::EFCreateError>([&] { runtime::ReplaceFile(target, "new"); }),
              u"Cannot create file \"" + target + u"\". " + platform::SystemErrorText(5));
    EXPECT_TRUE(fs::is_directory(dir.Path("TV_BRIVON.XML") / "inside"));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"TV_BRIVON.XML"});

    // A missing folder: the reason is the path's.
    const std::u16string missing = dir.File("missing") + runtime::PathDelimiter() + u"TV_BRIVON.XML";
    EXPECT_EQ(RaisedText<runtime::EFCreateError>([&] { runtime::ReplaceFile(missing, "new"); }),
              u"Cannot create file \"" + missing + u"\". " + platform::SystemErrorText(3));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"TV_BRIVON.XML"});

    // Once the folder is gone, the next replace works.
    fs::remove_all(dir.Path("TV_BRIVON.XML"));
    runtime::ReplaceFile(target, "new");
    EXPECT_EQ(ReadFile(dir.Path("TV_BRIVON.XML")), "new");
}

TEST(Replace, RandomPartsAndTemporaryNames) {
    std::set<std::u16string> seen;
    std::set<char16_t> chars;
    for (int i = 0; i < 1000; ++i) {
        const std::u16string part = runtime::ReplaceRandomPart();
        ASSERT_EQ(part.size(), runtime::kReplaceRandomLength);
        for (const char16_t c : part) ASSERT_TRUE((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z')) << int(c);
        seen.insert(part);
        chars.insert(part.begin(), part.end());
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_EQ(chars.size(), 36u);  // every character is drawn

    struct NameCase {
        const char16_t* name;
        const char16_t* target;  // nullptr: not a temporary name
    };
    for (const NameCase& c : std::initializer_list<NameCase>{
             {u"TV_BRIVON.XML.0a1b2c3d4e5f.tmp", u"TV_BRIVON.XML"},
             {u"MC_03122026140507127.XML.zzzzzzzzzzzz.tmp", u"MC_03122026140507127.XML"},
             {u"x.000000000000.tmp", u"x"},
             {u".000000000000.tmp", nullptr},                // no target name
             {u"TV_BRIVON.XML.tmp", nullptr},                // the old fixed name
             {u"TV_BRIVON.XML.0a1b2c3d4e5.tmp", nullptr},    // 11 characters
             {u"TV_BRIVON.XML.0a1b2c3d4e5f6.tmp", nullptr},  // 13 characters, no dot before 12
             {u"TV_BRIVON.XML.0A1B2C3D4E5F.tmp", nullptr},   // capitals are not drawn
             {u"TV_BRIVON.XML.0a1b2c-d4e5f.tmp", nullptr},
             {u"TV_BRIVON.XML.0a1b2c3d4e5f.TMP", nullptr},
             {u"TV_BRIVON.XML.0a1b2c3d4e5f.tmp.bak", nullptr},
             {u"TV_BRIVON.XML_0a1b2c3d4e5f.tmp", nullptr}}) {
        std::u16string_view target;
        const bool is = runtime::IsReplaceTemporaryName(c.name, target);
        EXPECT_EQ(is, c.target != nullptr) << txt::ToUtf8(c.name);
        if (is && c.target) {
            EXPECT_EQ(target, c.target) << txt::ToUtf8(c.name);
        }
    }
}

TEST(CodePage, DocumentsTheCodePageCannotHoldBecomeUtf8WithAMark) {
    struct Case {
        const char* line;  // UTF-8
        bool exact;        // the 8-bit code page holds it
    };
    for (const Case& c :
         {Case{"<OutputDirectory>/opt/app/BrivonTV/XML</OutputDirectory>", true}, Case{"/opt/cliënt map/", true},
          Case{"/opt/\xD0\xBA\xD0\xBB\xD0\xB8\xD0\xB5\xD0\xBD\xD1\x82/", false},  // Cyrillic
          Case{"/opt/\xC4\x81/", false},          // a-macron: Windows would write a best-fit "a"
          Case{"/opt/\xF0\x9F\x93\x81/", false},  // outside the basic plane
          Case{"/opt/?/", true}}) {
        runtime::TStringList list;
        list.Add(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
        list.Add(U(c.line));
        const std::string bytes = list.ExactFileBytes();
        if (c.exact) {
            EXPECT_EQ(bytes, runtime::ToAnsi(list.Text())) << c.line;
            EXPECT_EQ(runtime::ToAnsiExact(list.Text()), bytes) << c.line;
        } else {
            EXPECT_EQ(bytes, "\xEF\xBB\xBF" + txt::ToUtf8(list.Text())) << c.line;
            EXPECT_FALSE(runtime::ToAnsiExact(list.Text()).has_value()) << c.line;
        }
        // Either way the loader reads back the very text.
        EXPECT_EQ(runtime::DecodeFileText(bytes), list.Text()) << c.line;
    }
}
