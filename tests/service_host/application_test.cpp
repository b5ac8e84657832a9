// The service application: command-line switches, installation values, install and
// uninstall with their calls and boxes, the dispatcher's failure and the last-chance report.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "platform/system.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "service_host/service_application.h"
#include "support/host_fakes.h"
#include "support/messages.h"
#include "support/temp_folder.h"
#include "text/strings.h"
#ifndef _WIN32
#include "platform/posix/service_internal.h"
#endif

namespace {

using host_test::BoxShown;
using host_test::FakeEventLog;
using host_test::FakeManager;
using host_test::FakeService;
using service_host::TService;
using service_host::TServiceApplication;

namespace texts = testsupport::texts;

// A FakeService whose install and uninstall handlers are recorded among the manager's calls.
std::unique_ptr<TService> RecordingService(FakeManager& manager, FakeEventLog& log, TServiceApplication& owner) {
    auto service = std::make_unique<FakeService>(manager, log, &owner);
    service->BeforeUninstall = [&manager](TService&) { manager.Step("BeforeUninstall", 0); };
    service->AfterInstall = [&manager](TService&) { manager.Step("AfterInstall", 0); };
    return service;
}

// The program run as main runs it, against the fakes (or the platform's own manager where
// `host` says so); by default its service is a RecordingService.
struct Program {
    FakeManager manager;
    FakeEventLog log{&manager.calls};
    service_host::ServiceManagerApi* host = &manager;
    TService* reference = nullptr;
    int Run(std::vector<std::u16string> arguments, service_host::ServiceFactory make = {}) {
        if (!make) make = [this](TServiceApplication& owner) { return RecordingService(manager, log, owner); };
        return service_host::RunProgram(std::move(arguments), make, reference, *host, log);
    }
};

// The application with its service objects, run by the test with RunHost.
struct App {
    FakeManager manager;
    FakeEventLog log{&manager.calls};
    std::unique_ptr<TServiceApplication> app;
    TService* service = nullptr;

    explicit App(std::vector<std::u16string> args, int services = 1) {
        app = std::make_unique<TServiceApplication>(std::move(args), manager, log);
        for (int i = 0; i < services; ++i) {
            app->CreateServiceObject(
                [this](TServiceApplication& owner) { return RecordingService(manager, log, owner); }, service);
        }
    }
};

// The executable's file name: the source of the host's entries.
std::u16string Module() { return runtime::ExtractFileName(platform::ModuleFileName()); }

// The last-chance report of an error of that class and text.
std::u16string LastChance(const char16_t* errorClass, const std::u16string& text) {
    return u"Exception " + std::u16string(errorClass) + u" in module " + Module() + u" at 0000000000000000.\r\n" +
           text + u".\r\n";
}

TEST(ServiceApplication, HasSwitchMatchesWholeSwitchesInAnyCase) {
    struct Row {
        std::u16string argument;
        bool matches;
    } rows[] = {
        {u"/INSTALL", true}, {u"-install", true},    {u"/InStAlL", true}, {u"INSTALL", false}, {u"--install", false},
        {u"/inst", false},   {u"/install:1", false}, {u"", false},        {u"/", false},       {u"\\install", false},
    };
    for (const Row& row : rows) {
        TServiceApplication app({u"other", row.argument, u"x"});
        EXPECT_EQ(row.matches, app.HasSwitch(u"INSTALL")) << txt::ToUtf8(row.argument);
    }
    TServiceApplication none({});
    EXPECT_FALSE(none.HasSwitch(u"INSTALL"));
}

// The platform's codes of the installation values; the defaults are checked where
// CreateService gets them.
TEST(ServiceApplication, InstallationValuesAndTheirMappings) {
    App a({});
    TService& s = *a.service;
    s.Dependencies = {{u"Tcpip", false}, {u"NetGroup", true}};
    EXPECT_EQ(std::u16string(u"Tcpip\0+NetGroup\0\0", 17), s.DependencyList());

    s.SetInteractive(true);
    EXPECT_EQ(0x110u, s.PlatformServiceType());
    s.SetServiceStartName(u".\\collector");
    EXPECT_FALSE(s.Interactive());
    s.SetPassword(u"geheim");
    s.SetInteractive(true);
    EXPECT_EQ(u"", s.ServiceStartName());
    EXPECT_EQ(u"", s.Password());

    using service_host::TServiceType;
    using service_host::TStartType;
    s.StartType = TStartType::stBoot;
    EXPECT_EQ(2u, s.PlatformStartType());
    s.ServiceType = TServiceType::stDevice;
    EXPECT_EQ(0u, s.PlatformStartType());
    EXPECT_EQ(1u, s.PlatformServiceType());
    s.StartType = TStartType::stDisabled;
    EXPECT_EQ(4u, s.PlatformStartType());
    s.ServiceType = TServiceType::stFileSystem;
    EXPECT_EQ(2u, s.PlatformServiceType());
    s.ErrorSeverity = service_host::TErrorSeverity::esCritical;
    EXPECT_EQ(3u, s.PlatformErrorControl());

    App two({}, 2);
    EXPECT_EQ(0x20u, two.service->PlatformServiceType());
}

TEST(ServiceApplication, InstallPassesTheServicesValuesAndItsTag) {
    // Both switches: only the installation runs; SILENT drops the success box.
    App a({u"-UNINSTALL", u"/Install", u"/silent"});
    a.service->TagID = 3;
    a.manager.returnedTag = 9;
    a.app->RunHost();
    EXPECT_TRUE((FakeManager::Created{u"BrivonMorvel", texts::kDisplayName, platform::ModuleFileName(), u"",
                                      platform::kServiceAllAccess, 0x10, 2, 1, 3, false} == a.manager.created));
    EXPECT_EQ(platform::kScManagerAllAccess, a.manager.openAccess);
    EXPECT_EQ(9u, a.service->TagID);
    // No description and no actions: the manager's defaults stay; the sources are still written.
    EXPECT_EQ("OpenSCManager, CreateService, AfterInstall, install BrivonMorvel, install host, Close 2, Close 1",
              a.manager.calls);
    EXPECT_EQ(platform::ModuleFileName(), a.log.messageFile);
    EXPECT_TRUE(a.manager.boxes.empty());
}

// Description, recovery and event sources come after the registration: each is tried on
// its own, a failure gets the install failure box but never removes the registered service.
TEST(ServiceApplication, StepsAfterTheRegistrationAreReportedWithoutUndoingIt) {
    struct Row {
        const char* what;
        std::uint32_t descriptionError, failureActionsError, flagError, serviceSourceError, hostSourceError;
        std::vector<std::uint32_t> boxedCodes;  // empty: the success box
    } rows[] = {
        {"every step succeeds", 0, 0, 0, 0, 0, {}},
        {"description refused", 5, 0, 0, 0, 0, {5}},
        {"recovery refused", 0, 1072, 0, 0, 0, {1072}},
        {"recovery on a failed stop refused", 0, 0, 5, 0, 0, {5}},
        {"recovery on a failed stop unknown to the manager", 0, 0, 124, 0, 0, {}},
        {"service's source not written", 0, 0, 0, 5, 0, {5}},
        {"host's source not written", 0, 0, 0, 0, 1021, {1021}},
        {"every step fails", 5, 1072, 0, 1021, 5, {5, 1072, 1021, 5}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        App a({u"/install"});
        a.service->Description = u"Collects.";
        a.service->FailureActions = {86400, {{platform::kScActionRestart, 60000}}};
        a.manager.descriptionError = row.descriptionError;
        a.manager.failureActionsError = row.failureActionsError;
        a.manager.failureActionsFlagError = row.flagError;
        if (row.serviceSourceError != 0) a.log.sourceErrors[u"BrivonMorvel"] = row.serviceSourceError;
        if (row.hostSourceError != 0) a.log.sourceErrors[Module()] = row.hostSourceError;
        a.app->RunHost();
        // Every step is tried, on the registered service's handle, and nothing is deleted;
        // the actions apply to a failed stop too once they are set.
        EXPECT_EQ(std::string("OpenSCManager, CreateService, AfterInstall, ChangeServiceDescription 2 Collects., "
                              "ChangeServiceFailureActions 2 86400 [1 60000], ") +
                      (row.failureActionsError == 0 ? "ChangeServiceFailureActionsFlag 2 on, " : "") +
                      "install BrivonMorvel, install host, Close 2, Close 1",
                  a.manager.calls);
        std::vector<BoxShown> expected;
        for (const std::uint32_t code : row.boxedCodes) expected.push_back({texts::Failed(u"install", code), u"Error"});
        if (expected.empty()) expected.push_back({texts::kInstalled, u"Information"});
        EXPECT_EQ(expected, a.manager.boxes);
    }
}

// Each run twice: where a user sees the boxes (the answer injected as true) and where nobody
// does (a service, an installer's custom action). There every box becomes an entry under the
// executable's file name with the box's icon as its type, category 0, ID 0 and the box's
// text, and a failed installation or removal ends with status 1. Without the manager's
// rights or a service object the error is not caught: the last-chance report, status 1.
// A service's sources go only with the service, and each is tried on its own.
TEST(ServiceApplication, WhereNoUserCanSeeABoxItGoesToTheEventLogAndAFailureEndsWithStatusOne) {
    const std::u16string noRights =
        LastChance(u"EOSError", u"System Error.  Code: 5.\r\n" + platform::SystemErrorText(5));
    const std::u16string failedPreparation =
        u"Service \"Vanto Brivon Morvel Collector\" failed to install with error: \"Cannot create file \"x\". Disk\"";
    const std::string installed =
        "OpenSCManager, CreateService, AfterInstall, install BrivonMorvel, install host, Close 2, Close 1";
    const std::string removed =
        "OpenSCManager, BeforeUninstall, OpenService, DeleteService 3, Close 3, remove BrivonMorvel, remove host, "
        "Close 1";
    enum class Fault { None, Exists, SourceRefused, PreparationFails, NotInstalled, NotDeleted, NoRights, NoService };
    using enum Fault;
    struct Case {
        const char* name;
        std::u16string arguments;  // separated by spaces
        Fault fault;
        std::u16string caption, text;  // of the one box; none where empty
        int interactiveStatus, unseenStatus;
        std::string calls;  // the manager's, the event log's source calls and the install handlers'
    };
    const Case cases[] = {
        {"installed", u"/install", None, u"Information", texts::kInstalled, 0, 0, installed},
        {"installed silently", u"/install /silent", None, u"", u"", 0, 0, installed},
        {"already installed", u"/install /silent", Exists, u"Error", texts::Failed(u"install", 1073), 1, 1,
         "OpenSCManager, CreateService, Close 1"},
        {"a step after the registration failed", u"/install", SourceRefused, u"Error", texts::Failed(u"install", 5), 0,
         1, installed},
        // The service it has just registered goes again, and gets none of the steps.
        {"the preparation failed", u"/install", PreparationFails, u"Error", failedPreparation, 0, 1,
         "OpenSCManager, CreateService, DeleteService 2, Close 2, Close 1"},
        {"uninstalled", u"/uninstall", None, u"Information", texts::kUninstalled, 0, 0, removed},
        {"a source not removed", u"/uninstall", SourceRefused, u"Error", texts::Failed(u"uninstall", 5), 0, 1, removed},
        {"not installed", u"/uninstall", NotInstalled, u"Error", texts::Failed(u"uninstall", 1060), 0, 1,
         "OpenSCManager, BeforeUninstall, OpenService, Close 1"},
        {"not deleted", u"/uninstall", NotDeleted, u"Error", texts::Failed(u"uninstall", 5), 0, 1,
         "OpenSCManager, BeforeUninstall, OpenService, DeleteService 3, Close 3, Close 1"},
        {"no right to open the manager", u"/install", NoRights, u"Application Error", noRights, 1, 1, "OpenSCManager"},
        {"the service object cannot be made", u"", NoService, u"Application Error",
         LastChance(u"EOutOfResources", u"Out"), 1, 1, ""},
    };
    for (const Case& c : cases) {
        for (const bool visible : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (visible ? ", seen" : ", unseen"));
            Program p;
            p.manager.windowStationVisible = visible;
            p.manager.createError = c.fault == Exists ? platform::kErrorServiceExists : 0;
            p.manager.openServiceError = c.fault == NotInstalled ? platform::kErrorServiceDoesNotExist : 0;
            p.manager.deleteError = c.fault == NotDeleted ? 5 : 0;
            p.manager.openError = c.fault == NoRights ? 5 : 0;
            if (c.fault == SourceRefused) p.log.sourceErrors[u"BrivonMorvel"] = 5;
            std::vector<std::u16string> arguments;
            for (std::size_t at = 0, end = 0; at < c.arguments.size(); at = end + 1) {
                end = std::min(c.arguments.find(u' ', at), c.arguments.size());
                arguments.push_back(c.arguments.substr(at, end - at));
            }
            const int status = p.Run(arguments, [&](TServiceApplication& owner) {
                if (c.fault == NoService) throw runtime::EOutOfResources(u"Out");
                auto service = RecordingService(p.manager, p.log, owner);
                if (c.fault == PreparationFails) {
                    service->Description = u"Collects.";
                    service->AfterInstall = [](TService&) {
                        throw runtime::EFCreateError(u"Cannot create file \"x\". Disk");
                    };
                }
                return service;
            });
            const bool boxed = !c.caption.empty();
            const std::u16string type = c.caption == u"Information" ? u" 4/0/0: " : u" 1/0/0: ";
            const std::vector<BoxShown> box =
                boxed ? std::vector{BoxShown{c.text, c.caption}} : std::vector<BoxShown>{};
            EXPECT_EQ(visible ? box : std::vector<BoxShown>{}, p.manager.boxes);
            EXPECT_EQ(!visible && boxed ? std::vector{Module() + type + c.text} : std::vector<std::u16string>{},
                      p.log.Lines());
            EXPECT_EQ(visible ? c.interactiveStatus : c.unseenStatus, status);
            EXPECT_EQ(c.calls, p.manager.calls);
            EXPECT_EQ(nullptr, p.reference);
            EXPECT_FALSE(p.manager.created.tagIn) << "a tag asked for that the service does not have";
        }
    }
}

TEST(ServiceApplication, ServiceRunThroughTheDispatcherAndErrorHandling) {
    // Started by hand: the dispatcher refuses; its error is logged and the status is 0.
    Program byHand;
    EXPECT_EQ(0, byHand.Run({u"/SILENT"}));
    EXPECT_TRUE(byHand.manager.boxes.empty());
    EXPECT_FALSE(byHand.manager.consoleRequested);
    ASSERT_EQ(2u, byHand.manager.dispatchTable.size());
    EXPECT_EQ(u"BrivonMorvel", byHand.manager.dispatchTable[0].serviceName);
    EXPECT_EQ(nullptr, byHand.manager.dispatchTable[1].serviceProc);
    EXPECT_EQ(std::vector{Module() + u" 1/0/0: " + platform::SystemErrorText(1063)}, byHand.log.Lines());

    // A dispatcher that starts the service, stops it once it runs, and returns when it ended.
    Program p;
    FakeManager& manager = p.manager;
    manager.dispatcher = [&](const std::vector<platform::ServiceTableEntry>& table) {
        manager.onReport = [&](const platform::ServiceStatus& status) {
            if (status.dwCurrentState == platform::kServiceRunning) {
                std::thread([&] { manager.handler(platform::kServiceControlStop); }).detach();
            }
        };
        std::thread serviceMain([&] {
            char16_t wrong[] = u"Other";
            char16_t* wrongArgv[] = {wrong, nullptr};
            table[0].serviceProc(1, wrongArgv);  // no such service: nothing happens
            std::u16string name = table[0].serviceName;
            char16_t* argv[] = {name.data(), nullptr};
            table[0].serviceProc(1, argv);
        });
        serviceMain.join();
        return true;
    };
    EXPECT_EQ(0, p.Run({u"/console"}));
    EXPECT_TRUE(manager.consoleRequested);
    EXPECT_EQ("StartPending StartPending Running StopPending Stopped", manager.States());
    EXPECT_TRUE(p.log.Entries().empty());

    // A start handler that raises ends the process with status 1.
    Program failing;
    failing.manager.dispatcher = manager.dispatcher;  // its stop on running stays with the first
    EXPECT_EQ(1, failing.Run({u"/console"}, [&](TServiceApplication& owner) -> std::unique_ptr<TService> {
        auto service = std::make_unique<FakeService>(failing.manager, failing.log, &owner);
        service->SetOnStart([](TService&, bool&) { throw runtime::Exception(u"Cannot create folder"); });
        return service;
    }));
    EXPECT_EQ("StartPending StartPending Stopped", failing.manager.States());

    // The application's error handling drops the silent abort and logs everything else.
    FakeEventLog appLog;
    TServiceApplication app({}, manager, appLog);
    app.HandleException(nullptr, runtime::EAbort(u"stil"));
    app.HandleException(nullptr, runtime::Exception(u"Test exception in WSocket"));
    app.HandleException(nullptr, std::runtime_error("plain"));
    EXPECT_EQ(
        (std::vector<std::u16string>{Module() + u" 1/0/0: Test exception in WSocket", Module() + u" 1/0/0: plain"}),
        appLog.Lines());
    EXPECT_TRUE(TServiceApplication::LogoffFilter(platform::Message{0, platform::kWmEndSession, 1, 0}));
    EXPECT_FALSE(TServiceApplication::LogoffFilter(platform::Message{0, platform::kWmQuit, 0, 0}));
}

#ifndef _WIN32
// INSTALL and UNINSTALL through the host's adapter to the real systemd manager, with a
// private unit folder. The unit's text and the system's error texts are checked end to end.
TEST(SystemdManager, APackagesUnitOrAMaskIsNotTheProgramsToRemove) {
    namespace fs = std::filesystem;
    const testsupport::TempFolder root("host-units");
    fs::create_directories(root.Path("units"));
    // The packages' folder, and the owner query: the package "vbxmorvel" owns what is there.
    const fs::path lib = root.Path("lib");
    fs::create_directories(lib);
    const fs::path query = root.Path("dpkg-query");
    testsupport::WriteFile(
        query,
        "#!/bin/sh\ncase \"$2\" in */lib/*) echo \"diversion by x from: $2\"; echo \"vbxmorvel: $2\";; "
        "*) echo \"no path found matching $2\" >&2; exit 1;; esac\n");
    fs::permissions(query, fs::perms::owner_all);
    platform::posix::SetServiceManagerFolders(root.Path("units").string(), root.Path("no-systemd").string(),
                                              {lib.string()}, query.string());
    // A run's console lines (each box is one), checking its status.
    const auto run = [](int status, std::vector<std::u16string> arguments) {
        Program p;
        p.host = &service_host::PlatformServiceManager();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(status, p.Run(std::move(arguments)));
        return testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ("Information: " + txt::ToUtf8(texts::kInstalled) + "\n", run(0, {u"/INSTALL"}));
    const fs::path own = root.Path("units") / "BrivonMorvel.service";
    const fs::path link = root.Path("units") / "multi-user.target.wants" / "BrivonMorvel.service";
    ASSERT_TRUE(fs::is_regular_file(own) && fs::is_symlink(link));

    // A package's unit is a service that exists, and not INSTALL's to remove, even where a
    // unit INSTALL wrote overrides it; neither unit is touched.
    const fs::path packaged = lib / "BrivonMorvel.service";
    testsupport::WriteFile(packaged, "[Unit]\n");
    EXPECT_NE(std::string::npos, run(1, {u"/install", u"/silent"}).find("1073"));
    EXPECT_EQ("Error: Service \"Vanto Brivon Morvel Collector\" failed to uninstall with error: \"The unit \"" +
                  packaged.string() + "\" belongs to the package vbxmorvel; remove the package instead\"\n",
              run(0, {u"/uninstall"}));
    EXPECT_TRUE(fs::is_regular_file(packaged) && fs::is_regular_file(own) && fs::is_symlink(link));
    // A mask (of an administrator) is one too, and stays.
    fs::remove(packaged);
    fs::remove(own);
    fs::create_symlink("/dev/null", own);
    EXPECT_NE(std::string::npos, run(0, {u"/install"}).find("1073"));
    const std::string mask = run(1, {u"/uninstall", u"/silent"});
    EXPECT_NE(std::string::npos, mask.find("is a mask")) << mask;
    EXPECT_TRUE(fs::is_symlink(own));
    platform::posix::SetServiceManagerFolders("", "");
}
#endif

}  // namespace
