// The wire formats of the systemd side: journal entries, notification datagrams and the
// unit file.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/service_internal.h"
#include "platform/service_manager.h"

namespace {

TEST(LinuxFormats, JournalNotifyAndUnitTexts) {
    using platform::posix::JournalDatagram;
    EXPECT_EQ(std::string("MESSAGE=hallo\nPRIORITY=6\nSYSLOG_IDENTIFIER=BrivonMorvel\nEVENT_TYPE=4\n"
                          "EVENT_CATEGORY=0\nEVENT_ID=1\nVBX_VERSION=" VBX_PROJECT_VERSION "\n"),
              JournalDatagram(u"BrivonMorvel", 4, 0, 1, u"hallo"));
    const std::string multi = JournalDatagram(u"VBxMorvel", 1, 0, 0, u"a\r\nb");
    EXPECT_EQ(std::string("MESSAGE\n\x04\0\0\0\0\0\0\0a\r\nb\nPRIORITY=3\n", 23), multi.substr(0, 23));
    EXPECT_EQ("\nEVENT_ID=0\nVBX_VERSION=" VBX_PROJECT_VERSION "\n", multi.substr(multi.find("\nEVENT_ID=")));
    EXPECT_EQ(4, platform::posix::JournalPriority(2));
    EXPECT_EQ(6, platform::posix::JournalPriority(16));

    platform::ServiceStatus status;
    status.dwCurrentState = 2;
    status.dwCheckPoint = 2;
    status.dwWaitHint = 5000;
    EXPECT_EQ(
        "STATUS=ssStartPending\nEXTEND_TIMEOUT_USEC=5000000\nX_SERVICE_STATE=2\nX_CONTROLS_ACCEPTED=0\n"
        "X_CHECKPOINT=2\nX_WAIT_HINT=5000",
        platform::posix::NotifyDatagram(status));
    status.dwCurrentState = 4;
    status.dwControlsAccepted = 7;
    status.dwCheckPoint = 0;
    EXPECT_EQ("STATUS=ssRunning\nREADY=1\nX_SERVICE_STATE=4\nX_CONTROLS_ACCEPTED=7\nX_CHECKPOINT=0\nX_WAIT_HINT=5000",
              platform::posix::NotifyDatagram(status));
    status.dwCurrentState = 3;
    EXPECT_EQ(0u, platform::posix::NotifyDatagram(status).find("STATUS=ssStopPending\nSTOPPING=1\n"
                                                               "EXTEND_TIMEOUT_USEC=5000000\n"));

    const std::string unit = platform::posix::UnitFileText(u"Vanto Brivon Morvel Collector", u"/opt/vbx/VBxMorvel");
    EXPECT_EQ(
        "[Unit]\nDescription=Vanto Brivon Morvel Collector\n\n[Service]\nType=notify\nNotifyAccess=main\n"
        "ExecStart=/opt/vbx/VBxMorvel\nRestart=on-failure\nRestartSec=5\nWatchdogSec=60\n"
        "\n[Install]\nWantedBy=multi-user.target\n",
        unit);
    auto execStart = [](const std::u16string& path) {
        const std::string text = platform::posix::UnitFileText(u"d", path);
        const auto at = text.find("ExecStart=") + 10;
        return text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_EQ("\"/opt/my tools/VBxMorvel\"", execStart(u"/opt/my tools/VBxMorvel"));
    EXPECT_EQ("\"/opt/a\\\"b\\\\c d/x\"", execStart(u"/opt/a\"b\\c d/x"));
    EXPECT_EQ("/opt/100%%/$$HOME/x", execStart(u"/opt/100%/$HOME/x"));
}

}  // namespace
