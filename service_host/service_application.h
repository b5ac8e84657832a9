#pragma once
// TServiceApplication: the program's start and its three jobs, chosen by the command line:
// register the service with the service control manager (INSTALL), remove it
// (UNINSTALL), or run it (CONSOLE: in the foreground, with the in-process stand-in for the
// manager; otherwise under the manager). A service run has a dispatcher thread
// (TServiceStartThread) blocked in the platform's dispatcher while the main thread runs the
// message loop that delivers the socket's notices; the dispatcher's end ends the loop.
// When the manager keeps a watchdog over the process, that loop also feeds it
// (TServiceWatchdog), so the manager restarts a service whose loops stop serving.
//
// Threading contract:
// - Construction, InitializeOnce, CreateServiceObject, RunHost, RegisterWithManager and
//   DestroyHostObjects: the main thread.
// - ServiceMainEntry and RouteServiceMain: the platform's service-main thread.
// - HandleException and LogHostException: any thread (timer handlers fail on the control
//   thread, socket notices on the main thread).
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/contracts.h"
#include "platform/messages.h"
#include "service_host/event_logger.h"
#include "service_host/host_api.h"
#include "service_host/service.h"

namespace service_host {

class TServiceApplication;

// The table handed to the platform dispatcher: one entry per service, then an empty one.
using DispatchTable = std::vector<platform::ServiceTableEntry>;

// The dispatcher thread: created running; its creator frees it.
class TServiceStartThread {
public:
    TServiceStartThread(DispatchTable table, ServiceManagerApi& manager, platform::ThreadId mainThread);
    ~TServiceStartThread();
    TServiceStartThread(const TServiceStartThread&) = delete;
    TServiceStartThread& operator=(const TServiceStartThread&) = delete;

    // 0, or the platform's error code when the dispatcher call failed. Read after WaitFor
    // or after the quit it posts has arrived.
    std::uint32_t ReturnCode() const { return returnCode_.load(); }
    void WaitFor();

private:
    void Execute();
    void DoTerminate();

    const DispatchTable table_;
    ServiceManagerApi& manager_;
    const platform::ThreadId mainThread_;
    std::atomic<std::uint32_t> returnCode_{0};
    std::thread thread_;
};

using ServiceFactory = std::function<std::unique_ptr<TService>(TServiceApplication& owner)>;

class TServiceApplication {
public:
    // The command-line arguments after the program path.
    explicit TServiceApplication(std::vector<std::u16string> arguments,
                                 ServiceManagerApi& manager = PlatformServiceManager(),
                                 EventLogApi& eventLog = PlatformEventLog());
    virtual ~TServiceApplication();
    TServiceApplication(const TServiceApplication&) = delete;
    TServiceApplication& operator=(const TServiceApplication&) = delete;

    // Constructs the service with this application as owner and stores it in `reference`
    // (empty when construction raises; the error passes on).
    virtual void CreateServiceObject(const ServiceFactory& factory, TService*& reference);
    virtual void InitializeOnce();
    virtual void RunHost();

    bool HasSwitch(std::u16string_view name) const;
    void RegisterWithManager(bool install, bool silent);
    void RouteServiceMain(std::uint32_t argc, char16_t** argv);
    static void ServiceMainEntry(std::uint32_t argc, char16_t** argv);
    int CountServices() const { return static_cast<int>(services_.size()); }
    TService& Service(int index) { return *services_.at(static_cast<std::size_t>(index)); }

    // The application's error handling: EAbort is dropped, every other error is written by
    // LogHostException.
    void HandleException(void* sender, const std::exception& error) noexcept;
    void LogHostException(void* sender, const std::exception& error) noexcept;
    // True (consumed) for the log-off notification, so that a running service survives a
    // user logging off.
    static bool LogoffFilter(const platform::Message& msg);

    // The exit procedure: destroys the services with their components and loggers.
    void DestroyHostObjects();

    TEventLogger& Logger() { return logger_; }
    bool Initialized() const { return initialized_; }
    // The process's exit status after RunHost: 0, or 1 when an installation or removal
    // failed where no user could see its failure box (it went to the event log instead)
    // or with SILENT, or when a service's start failed.
    int ExitStatus() const { return exitStatus_; }

private:
    // A step after the registration failed: reported, but the registration stands.
    using StepFailed = std::function<void(const std::exception& error)>;
    void InstallOneService(TService& service, platform::ScHandle manager, const StepFailed& stepFailed);
    void UninstallOneService(TService& service, platform::ScHandle manager, const StepFailed& stepFailed);
    // The event sources a service's entries are written under: its own name and the
    // executable's file name (the host's errors).
    std::vector<std::u16string> EventSourcesOf(const TService& service) const;
    DispatchTable BuildDispatchTable() const;
    void RunServices();

    const std::vector<std::u16string> arguments_;
    ServiceManagerApi& manager_;
    EventLogApi& eventLog_;
    TEventLogger logger_;
    bool initialized_ = false;
    int exitStatus_ = 0;
    std::vector<std::unique_ptr<TService>> services_;
    platform::WindowHandle window_ = 0;  // the application's hidden window
    std::unique_ptr<platform::WindowProcedure> windowProcedure_;
    // The threads of the contract above, checked at run time.
    platform::OwnerThread mainThread_;
    platform::OwnerThread serviceMainThread_{platform::OwnerThread::Start::kDetached};
};

// The one application object of the process (set while it exists).
extern std::atomic<TServiceApplication*> Application;

// The program: start sequence, RunHost, exit procedures and the last-chance report.
// Returns the process's exit status (0, or 1 after the last-chance report, after an
// installation or removal that failed where no user could see its box or with SILENT, and
// after a start that failed).
//
// Every message box (the last-chance report, the installation's and the removal's) is
// shown only where a user can see it (ServiceManagerApi::WindowStationVisible); otherwise
// it becomes an event-log entry under the executable's file name: type error (1) or
// information (4) as the box's icon, category 0, ID 0, the box's text.
int RunProgram(std::vector<std::u16string> arguments, const ServiceFactory& factory, TService*& serviceReference,
               ServiceManagerApi& manager = PlatformServiceManager(), EventLogApi& eventLog = PlatformEventLog());

// "Exception %s in module %s at %p.\r\n%s%s\r\n" for an error that no one caught.
std::u16string LastChanceText(const std::exception& error, const std::u16string& moduleName);

}  // namespace service_host
