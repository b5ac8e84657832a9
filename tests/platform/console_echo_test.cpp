// The console formats of the event log and the status reports, and which controls the
// in-process stand-in for the service manager passes.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "text/strings.h"

namespace {

TEST(ConsoleFormats, EventEntriesAndStatusLines) {
    EXPECT_EQ("BrivonMorvel information 0 1 Vanto Brivon Morvel cliënt werd normaal gestart",
              platform::FormatEventEntry(u"BrivonMorvel", 4, 0, 1,
                                         txt::U("Vanto Brivon Morvel cliënt werd normaal gestart")));
    EXPECT_EQ("VBxMorvel error 0 0 System Error.  Code: 5.\\r\\nAccess is denied",
              platform::FormatEventEntry(u"VBxMorvel", 1, 0, 0, u"System Error.  Code: 5.\r\nAccess is denied"));
    EXPECT_EQ("s warning 65535 4294967295 a\\\\b\\n\\x01\\x1F\\x09",
              platform::FormatEventEntry(u"s", 2, 65535, 4294967295u, u"a\\b\n\x01\x1F\t"));
    EXPECT_EQ("s 8 0 0 ", platform::FormatEventEntry(u"s", 8, 0, 0, u""));
    EXPECT_EQ("s warning 0 0 \\x09", platform::FormatEventEntry(u"s", 2, 0, 0, u"\t"));

    // The status lines, with every state's name, are read end to end (the e2e groups' status
    // reports); a state without a name is its number.
    EXPECT_EQ("9", platform::ServiceStateName(9));
}

#ifndef _WIN32
// A box is a line on standard error; a CR LF is one line break. (Information goes to
// standard output, as the installation's boxes show end to end: e2e install_uninstall.)
TEST(ConsoleFormats, MessageBoxesAreLines) {
    testing::internal::CaptureStderr();
    platform::ShowMessageBox(u"a\r\nb\rc\n", u"Error", platform::MessageBoxIcon::Error);
    EXPECT_EQ("Error: a\nb\rc\n\n", testing::internal::GetCapturedStderr());
}
#endif

TEST(ConsoleFormats, ManagerPassesOnlyAcceptedControls) {
    struct Row {
        std::uint32_t control, state, controls;
        bool accepted;
    } rows[] = {
        {1, 2, 7, false},  {4, 2, 0, false},  {1, 3, 7, false}, {4, 1, 7, false}, {1, 4, 7, true},  {1, 4, 6, false},
        {2, 4, 7, true},   {2, 4, 5, false},  {3, 7, 2, true},  {5, 4, 4, true},  {5, 4, 3, false}, {4, 7, 0, true},
        {128, 4, 0, true}, {200, 7, 0, true}, {4, 6, 7, false}, {1, 6, 1, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.accepted, platform::ManagerAcceptsControl(
                                    row.control, {.dwCurrentState = row.state, .dwControlsAccepted = row.controls}))
            << row.control << " in state " << row.state << " controls " << row.controls;
    }
}

}  // namespace
