// advapi32's service control manager and event log as the Windows platform layer passes
// them on. The manager's errors, the dispatcher started by hand and the console stand-in are
// checked end to end under Wine (tests/wine/service_e2e.py), as are the description and
// recovery actions /INSTALL sets.
#include <gtest/gtest.h>

#include "platform/event_log.h"
#include "platform/messages.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "platform/win32/service_control.h"

using namespace platform;

// The manager reads the binary path as a command line: a path with a blank must be
// quoted, or "C:\Program Files\..." could start "C:\Program.exe".
TEST(Win32ServiceManager, ABinaryPathWithABlankIsRegisteredInQuotes) {
    const ScHandle manager = OpenSCManager(kScManagerAllAccess);
    ASSERT_NE(manager, 0u);
    const struct {
        std::u16string given, registered;
    } cases[] = {
        {u"C:\\Program Files\\Vanto\\VBxMorvel.exe", u"\"C:\\Program Files\\Vanto\\VBxMorvel.exe\""},
        {u"C:\\Vanto\\VBxMorvel.exe", u"C:\\Vanto\\VBxMorvel.exe"},
        {u"\"C:\\Program Files\\VBxMorvel.exe\"", u"\"C:\\Program Files\\VBxMorvel.exe\""},
    };
    for (const auto& c : cases) {
        const ScHandle created =
            CreateService(manager, u"VBxWin32TestService", u"", kServiceAllAccess, kServiceWin32OwnProcess,
                          kServiceDemandStart, 1, c.given, u"", nullptr, u"", nullptr, u"");
        ASSERT_NE(created, 0u) << GetLastError();
        win32::ServiceConfig config;
        EXPECT_TRUE(win32::QueryServiceConfig(created, config));
        EXPECT_EQ(config.binaryPathName, c.registered);
        EXPECT_TRUE(DeleteService(created));
        EXPECT_TRUE(CloseServiceHandle(created));
    }
    EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST(Win32EventLog, EntriesGoToTheirSourceAndAreEchoedInConsoleMode) {
    const EventSourceHandle source = RegisterEventSource(u"BrivonMorvel");
    ASSERT_NE(source, 0u);
    const EventSourceHandle other = RegisterEventSource(u"VBxMorvel.exe");
    ASSERT_NE(other, 0u);
    EXPECT_NE(source, other);
    EXPECT_TRUE(ReportEvent(source, kEventLogErrorType, 0, 0, u""));
    EXPECT_FALSE(ReportEvent(0, kEventLogErrorType, 0, 0, u"lost"));

    SetEventLogEcho(true);
    testing::internal::CaptureStdout();
    ReportEvent(source, kEventLogWarningType, 0, 1, u"a\r\nb");
    ReportEvent(other, kEventLogErrorType, 0, 0, u"c");
    const std::string out = testing::internal::GetCapturedStdout();
    SetEventLogEcho(false);
    const auto first = out.find(" BrivonMorvel warning 0 1 a\\r\\nb\n");
    const auto second = out.find(" VBxMorvel.exe error 0 0 c\n");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_NE(second, std::string::npos) << out;
    EXPECT_LT(first, second);

    EXPECT_TRUE(DeregisterEventSource(other));
    EXPECT_TRUE(DeregisterEventSource(source));
    EXPECT_FALSE(DeregisterEventSource(0));
}

// A source's registration: written with the message file (its values after /INSTALL are
// checked by tests/wine/service_e2e.py), replaced, removed; a name that would address
// another key (the Application log's own, or a key below another source) is refused before
// the registry is touched.
TEST(Win32EventLog, EventSourceRegistrationIsWrittenAndRemovedForItsOwnKeyOnly) {
    const std::u16string source = u"VBxWin32TestSource";
    const std::u16string file = u"C:\\Program Files\\Vanto\\VBxMorvel.exe";
    ASSERT_TRUE(InstallEventSource(source, file)) << GetLastError();
    // Installing again replaces the values.
    ASSERT_TRUE(InstallEventSource(source, u"C:\\VBxMorvel.exe"));
    win32::EventSourceRegistration registration;
    ASSERT_TRUE(win32::QueryEventSource(source, registration)) << GetLastError();
    EXPECT_EQ(registration.messageFile, u"C:\\VBxMorvel.exe");

    EXPECT_TRUE(RemoveEventSource(source));
    EXPECT_FALSE(win32::QueryEventSource(source, registration));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_TRUE(RemoveEventSource(source)) << "a source that is not registered counts as removed";

    for (const std::u16string& name : {std::u16string(), source + u"\\Nested"}) {
        EXPECT_FALSE(InstallEventSource(name, file));
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
        EXPECT_FALSE(RemoveEventSource(name));
        EXPECT_EQ(GetLastError(), kErrorInvalidName);
    }
    EXPECT_FALSE(win32::QueryEventSource(source, registration));
}
