// advapi32's service control manager and event log as the Windows platform layer passes
// them on, and the console-mode stand-in for the manager.
#include <gtest/gtest.h>

#include "platform/event_log.h"
#include "platform/messages.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "platform/win32/service_control.h"

using namespace platform;

namespace {

const std::u16string kTestService = u"VBxWin32TestService";

std::vector<std::uint32_t> g_reportedStates;
ServiceStatusHandle g_statusHandle = 0;

void TestHandler(std::uint32_t) {}

void ReportingServiceMain(std::uint32_t argc, char16_t** argv) {
    ASSERT_EQ(argc, 1u);
    EXPECT_EQ(std::u16string(argv[0]), kTestService);
    g_statusHandle = RegisterServiceCtrlHandler(kTestService, &TestHandler);
    ServiceStatus status;
    status.dwServiceType = kServiceWin32OwnProcess;
    status.dwWaitHint = 5000;
    for (std::uint32_t state : {kServiceStartPending, kServiceRunning, kServiceStopPending, kServiceStopped}) {
        status.dwCurrentState = state;
        status.dwControlsAccepted = state == kServiceStartPending ? 0 : 7;
        EXPECT_TRUE(SetServiceStatus(g_statusHandle, status));
        g_reportedStates.push_back(state);
    }
}

// The manager, opened for each test, and the test service registered in it.
class Win32ServiceManager : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(manager_, 0u); }
    void TearDown() override { EXPECT_TRUE(CloseServiceHandle(manager_)); }
    ScHandle Create(const std::u16string& path = ModuleFileName(), std::uint32_t* tag = nullptr) const {
        return CreateService(manager_, kTestService, u"", kServiceAllAccess, kServiceWin32OwnProcess,
                             kServiceDemandStart, 1, path, u"", tag, u"", nullptr, u"");
    }
    const ScHandle manager_ = OpenSCManager(kScManagerAllAccess);
};

}  // namespace

TEST_F(Win32ServiceManager, InstallingTwiceAndRemovingTwiceGiveTheManagersErrors) {
    const ScHandle created = Create();
    ASSERT_NE(created, 0u) << GetLastError();
    EXPECT_TRUE(CloseServiceHandle(created));

    std::uint32_t tag = 0;
    EXPECT_EQ(Create(ModuleFileName(), &tag), 0u);
    EXPECT_EQ(GetLastError(), kErrorServiceExists);
    EXPECT_EQ(tag, 0u);

    const ScHandle opened = OpenService(manager_, kTestService, kServiceAllAccess);
    ASSERT_NE(opened, 0u);
    EXPECT_TRUE(DeleteService(opened));
    EXPECT_TRUE(CloseServiceHandle(opened));
    EXPECT_EQ(OpenService(manager_, kTestService, kServiceAllAccess), 0u);
    EXPECT_EQ(GetLastError(), kErrorServiceDoesNotExist);
}

// The manager reads the binary path as a command line: a path with a blank must be
// quoted, or "C:\Program Files\..." could start "C:\Program.exe".
TEST_F(Win32ServiceManager, ABinaryPathWithABlankIsRegisteredInQuotes) {
    const struct {
        std::u16string given, registered;
    } cases[] = {
        {u"C:\\Program Files\\Vanto\\VBxMorvel.exe", u"\"C:\\Program Files\\Vanto\\VBxMorvel.exe\""},
        {u"C:\\Vanto\\VBxMorvel.exe", u"C:\\Vanto\\VBxMorvel.exe"},
        {u"\"C:\\Program Files\\VBxMorvel.exe\"", u"\"C:\\Program Files\\VBxMorvel.exe\""},
    };
    for (const auto& c : cases) {
        const ScHandle created = Create(c.given);
        ASSERT_NE(created, 0u) << GetLastError();
        win32::ServiceConfig config;
        EXPECT_TRUE(win32::QueryServiceConfig(created, config));
        EXPECT_EQ(config.binaryPathName, c.registered);
        EXPECT_TRUE(DeleteService(created));
        EXPECT_TRUE(CloseServiceHandle(created));
    }
}

TEST_F(Win32ServiceManager, ADispatcherStartedByHandFailsAtOnceWith1063) {
    ASSERT_FALSE(ConsoleMode());
    EXPECT_FALSE(StartServiceCtrlDispatcher({{kTestService, &ReportingServiceMain}, {u"", nullptr}}));
    EXPECT_EQ(GetLastError(), kErrorFailedServiceControllerConnect);
    EXPECT_TRUE(g_reportedStates.empty());
}

TEST_F(Win32ServiceManager, TheConsoleStandInRunsTheServiceAndEchoesEveryReport) {
    SetConsoleMode(true);
    g_reportedStates.clear();
    testing::internal::CaptureStderr();
    const bool served = StartServiceCtrlDispatcher({{kTestService, &ReportingServiceMain}, {u"", nullptr}});
    const std::string err = testing::internal::GetCapturedStderr();
    SetConsoleMode(false);
    ASSERT_TRUE(served);
    EXPECT_NE(g_statusHandle, 0u);
    EXPECT_EQ(g_reportedStates, (std::vector<std::uint32_t>{2, 4, 3, 1}));
    EXPECT_NE(err.find(" status ssStartPending state=2 controls=0 checkpoint=0 waithint=5000\n"), std::string::npos);
    EXPECT_NE(err.find(" status ssRunning state=4 controls=7 checkpoint=0 waithint=5000\n"), std::string::npos);
    EXPECT_NE(err.find(" status ssStopped state=1 controls=7 checkpoint=0 waithint=5000\n"), std::string::npos);
    EXPECT_LT(err.find("ssRunning"), err.find("ssStopPending"));
}

TEST(Win32EventLog, EntriesGoToTheirSourceAndAreEchoedInConsoleMode) {
    const EventSourceHandle source = RegisterEventSource(u"BrivonMorvel");
    ASSERT_NE(source, 0u);
    const EventSourceHandle other = RegisterEventSource(u"VBxMorvel.exe");
    ASSERT_NE(other, 0u);
    EXPECT_NE(source, other);
    EXPECT_TRUE(ReportEvent(source, kEventLogInformationType, 0, 1, u"Vanto Brivon Morvel pakket ontvangen"));
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

// A source's registration: written with the message file, read back, removed; a name that
// would address another key (the Application log's own, or a key below another source) is
// refused before the registry is touched.
TEST(Win32EventLog, EventSourceRegistrationIsWrittenAndRemovedForItsOwnKeyOnly) {
    const std::u16string source = u"VBxWin32TestSource";
    const std::u16string file = u"C:\\Program Files\\Vanto\\VBxMorvel.exe";
    ASSERT_TRUE(InstallEventSource(source, file)) << GetLastError();
    win32::EventSourceRegistration registration;
    ASSERT_TRUE(win32::QueryEventSource(source, registration)) << GetLastError();
    EXPECT_EQ(registration.messageFile, file);
    EXPECT_EQ(registration.messageFileType, 2u);  // REG_EXPAND_SZ
    EXPECT_EQ(registration.typesSupported, 7u);
    // Installing again replaces the values.
    ASSERT_TRUE(InstallEventSource(source, u"C:\\VBxMorvel.exe"));
    ASSERT_TRUE(win32::QueryEventSource(source, registration));
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

TEST_F(Win32ServiceManager, DescriptionAndFailureActionsAreSetOnARegisteredService) {
    const ScHandle created = Create();
    ASSERT_NE(created, 0u) << GetLastError();
    std::u16string description;
    EXPECT_TRUE(win32::QueryServiceDescription(created, description));
    EXPECT_EQ(description, u"");
    EXPECT_TRUE(ChangeServiceDescription(created, u"Verzamelt het pakket \u00e9n schrijft het weg."));
    EXPECT_TRUE(win32::QueryServiceDescription(created, description));
    EXPECT_EQ(description, u"Verzamelt het pakket \u00e9n schrijft het weg.");

    const ServiceFailureActions actions{86400, {{kScActionRestart, 60000}, {kScActionRestart, 60000}}};
    EXPECT_TRUE(ChangeServiceFailureActions(created, actions)) << GetLastError();
    ServiceFailureActions read;
    // Wine's manager takes failure actions without keeping them.
    if (win32::QueryServiceFailureActions(created, read)) {
        EXPECT_EQ(read.resetPeriodSeconds, 86400u);
        ASSERT_EQ(read.actions.size(), 2u);
        EXPECT_EQ(read.actions[1].type, kScActionRestart);
        EXPECT_EQ(read.actions[1].delayMs, 60000u);
    }
    EXPECT_TRUE(DeleteService(created));
    EXPECT_TRUE(CloseServiceHandle(created));
}
