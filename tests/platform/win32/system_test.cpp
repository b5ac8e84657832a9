// kernel32, ole32 and user32 services of the Windows platform layer: error texts, module
// path, code page, files with their sharing rules and bounded renames, and where message
// boxes can be seen. The runtime's tests run on this backend too and hold the rest:
// trailing blanks of every error text, the module's name, every byte through the code page,
// exclusive creation, folder listings and random bytes (tests/runtime/replace_test.cpp),
// and boxes on the standard streams (tests/runtime/lines_files_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "platform/system.h"
#include "support/temp_folder.h"

using namespace platform;

namespace {

class Win32Files : public ::testing::Test {
protected:
    std::filesystem::path Native(const char* name) const { return dir_.Path(name); }
    std::u16string Path(const char* name) const { return dir_.File(name); }

    testsupport::TempFolder dir_{"win32-files"};
};

}  // namespace

TEST(Win32System, ErrorTextsAreOneLine) {
    for (std::uint32_t code : {2u, 3u, 5u, 32u, 112u, 1060u, 1063u, 1073u}) {
        const std::u16string text = SystemErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find(u'\n'), std::u16string::npos) << code;
    }
    EXPECT_TRUE(SystemErrorText(0x2FFFFFFF).empty());
}

TEST(Win32System, ModuleFileNameIsTheFullPathOfTheRunningProgram) {
    const std::u16string path = ModuleFileName();
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(path.substr(1, 2), u":\\");
    EXPECT_FALSE(DirectoryExists(path));
}

TEST(Win32System, AnsiConversionsUseTheSystemCodePage) {
    if (AnsiCodePage() != 1252) {
        GTEST_SKIP() << "the checks below are for Windows-1252";
    }
    EXPECT_EQ(WideToAnsi(u"cli\u00ebnt \u20ac"), "cli\xebnt \x80");
    EXPECT_EQ(AnsiToWide("cli\xebnt \x80"), u"cli\u00ebnt \u20ac");
    EXPECT_EQ(WideToAnsi(u""), "");
    EXPECT_EQ(AnsiToWide(""), u"");
    // A character outside the code page never comes out as itself.
    EXPECT_EQ(WideToAnsi(u"\u4e2d").size(), 1u);
}

TEST_F(Win32Files, WritingIsExclusiveAndReadingDeniesWriters) {
    const std::u16string file = Path("a.txt");
    ASSERT_EQ(WriteWholeFile(file, "first"), 0u);
    ASSERT_EQ(WriteWholeFile(file, "abc"), 0u);  // truncated, not appended
    std::string bytes;
    ASSERT_EQ(ReadWholeFile(file, bytes), 0u);
    EXPECT_EQ(bytes, "abc");
    {
        std::ofstream writer(Native("a.txt"), std::ios::app);
        ASSERT_TRUE(writer.is_open());
        EXPECT_EQ(ReadWholeFile(file, bytes), 32u);
        EXPECT_EQ(WriteWholeFile(file, "x"), 32u);
    }
    {
        std::ifstream reader(Native("a.txt"));
        ASSERT_TRUE(reader.is_open());
        EXPECT_EQ(WriteWholeFile(file, "x"), 32u);
        EXPECT_EQ(ReadWholeFile(file, bytes), 0u);
        EXPECT_EQ(bytes, "abc");
    }
    // Larger than one read; binary bytes unchanged.
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    ASSERT_EQ(WriteWholeFile(file, big), 0u);
    ASSERT_EQ(ReadWholeFile(file, bytes), 0u);
    EXPECT_TRUE(bytes == big);
}

TEST_F(Win32Files, RenamesReplaceAndFailuresGiveWindowsCodes) {
    ASSERT_EQ(WriteWholeFile(Path("old.xml"), "old"), 0u);
    ASSERT_EQ(WriteWholeFile(Path("new.xml"), "new"), 0u);
    ASSERT_EQ(RenameReplace(Path("new.xml"), Path("old.xml")), 0u);
    std::string bytes;
    ASSERT_EQ(ReadWholeFile(Path("old.xml"), bytes), 0u);
    EXPECT_EQ(bytes, "new");
    EXPECT_FALSE(FileExists(Path("new.xml")));

    EXPECT_EQ(ReadWholeFile(Path("missing.xml"), bytes), 2u);
    EXPECT_EQ(DeleteFile(Path("missing.xml")), 2u);
    EXPECT_EQ(WriteWholeFile(Path("no\\such.xml"), "x"), 3u);
    ASSERT_EQ(CreateDirectory(Path("no")), 0u);
    EXPECT_TRUE(DirectoryExists(Path("no")));
    EXPECT_EQ(WriteWholeFile(Path("no"), "x"), 5u);
    EXPECT_EQ(DeleteFile(Path("old.xml")), 0u);
    EXPECT_FALSE(FileExists(Path("old.xml")));
}

TEST(Win32System, LocalTimeAndComInitialisation) {
    const LocalTime t = LocalNow();  // year, month and milliseconds: tests/runtime/lines_files_test.cpp
    EXPECT_TRUE(t.day >= 1 && t.day <= 31);
    EXPECT_TRUE(t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59);
    CoInitialize();
    CoInitialize();  // a second initialisation of the same thread is harmless
    CoUninitialize();
    CoUninitialize();
}

TEST(Win32System, BoxesAreVisibleOnlyOnAVisibleStationOutsideSessionZero) {
    struct Row {
        std::optional<std::uint32_t> session;
        std::optional<bool> stationVisible;
        bool visible;
    } const rows[] = {
        {1, true, true},          {1, false, false},
        {1, std::nullopt, false}, {0, true, false},  // session 0's interactive station: nobody sees the box
        {0, false, false},        {std::nullopt, true, false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(BoxesVisible(row.session, row.stationVisible), row.visible)
            << row.session.value_or(99) << " " << row.stationVisible.value_or(false);
}

TEST_F(Win32Files, ARenameWaitsBoundedlyForAReaderOfTheTarget) {
    ASSERT_EQ(CreateNewFileDurably(Path("TV_BRIVON.XML"), "old"), 0u);
    const auto held = [&](std::chrono::milliseconds hold) {
        EXPECT_EQ(CreateNewFileDurably(Path("new.tmp"), "new"), 0u);
        std::atomic<bool> open{false};
        std::thread reader([&] {
            // The C runtime shares reading and writing, not deleting: a rename over the
            // file is refused while it is open.
            std::ifstream in(Native("TV_BRIVON.XML"));
            open = true;
            std::this_thread::sleep_for(hold);
        });
        while (!open) std::this_thread::yield();
        const auto start = std::chrono::steady_clock::now();
        const std::uint32_t code = RenameReplace(Path("new.tmp"), Path("TV_BRIVON.XML"));
        const auto took = std::chrono::steady_clock::now() - start;
        reader.join();
        return std::make_pair(code, took);
    };
    // Let go within the retries: the rename succeeds.
    auto [code, took] = held(std::chrono::milliseconds(250));
    EXPECT_EQ(code, 0u);
    std::string bytes;
    ASSERT_EQ(ReadWholeFile(Path("TV_BRIVON.XML"), bytes), 0u);
    EXPECT_EQ(bytes, "new");
    // Held longer than every retry: the rename gives up after them with the system's code.
    std::tie(code, took) = held(std::chrono::milliseconds(kRenameAttempts * kRenameRetryMs + 1500));
    EXPECT_TRUE(code == 5u || code == 32u) << code;
    EXPECT_GE(took, std::chrono::milliseconds((kRenameAttempts - 1) * kRenameRetryMs - 50));
    EXPECT_LT(took, std::chrono::milliseconds(kRenameAttempts * kRenameRetryMs + 1000));
    EXPECT_EQ(DeleteFile(Path("new.tmp")), 0u);

    // A folder at the target refuses the rename for good: no waiting.
    ASSERT_EQ(CreateDirectory(Path("folder")), 0u);
    ASSERT_EQ(CreateNewFileDurably(Path("new.tmp"), "new"), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(RenameReplace(Path("new.tmp"), Path("folder")), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kRenameRetryMs));
    EXPECT_TRUE(DirectoryExists(Path("folder")));
}
