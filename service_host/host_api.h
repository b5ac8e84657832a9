#pragma once
// The platform calls of the service host, gathered behind two interfaces so that the
// host's logic runs against fakes in tests. The defaults forward to platform/event_log.h,
// platform/service_manager.h and platform/system.h.
//
// Threading contract: the defaults are as thread-safe as the platform calls they forward
// to (see those headers); a fake states its own.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/system.h"

namespace service_host {

class EventLogApi {
public:
    virtual ~EventLogApi() = default;
    virtual platform::EventSourceHandle RegisterEventSource(const std::u16string& sourceName) = 0;
    virtual void ReportEvent(platform::EventSourceHandle source, std::uint16_t eventType, std::uint16_t category,
                             std::uint32_t eventId, const std::u16string& text) = 0;
    virtual void DeregisterEventSource(platform::EventSourceHandle source) = 0;
    // The source's registration with the log, at installation and removal: 0, or the
    // platform's error code.
    virtual std::uint32_t InstallEventSource(const std::u16string& sourceName, const std::u16string& messageFile) = 0;
    virtual std::uint32_t RemoveEventSource(const std::u16string& sourceName) = 0;
};

class ServiceManagerApi {
public:
    virtual ~ServiceManagerApi() = default;
    virtual platform::ScHandle OpenSCManager(std::uint32_t desiredAccess) = 0;
    virtual platform::ScHandle CreateService(platform::ScHandle manager, const std::u16string& serviceName,
                                             const std::u16string& displayName, std::uint32_t desiredAccess,
                                             std::uint32_t serviceType, std::uint32_t startType,
                                             std::uint32_t errorControl, const std::u16string& binaryPathName,
                                             const std::u16string& loadOrderGroup, std::uint32_t* tagId,
                                             const std::u16string& dependencies, const std::u16string* serviceStartName,
                                             const std::u16string& password) = 0;
    virtual platform::ScHandle OpenService(platform::ScHandle manager, const std::u16string& serviceName,
                                           std::uint32_t desiredAccess) = 0;
    virtual bool DeleteService(platform::ScHandle service) = 0;
    virtual std::u16string DeleteServiceRefusal(platform::ScHandle service) = 0;
    virtual bool CloseServiceHandle(platform::ScHandle handle) = 0;
    virtual bool ChangeServiceDescription(platform::ScHandle service, const std::u16string& description) = 0;
    virtual bool ChangeServiceFailureActions(platform::ScHandle service,
                                             const platform::ServiceFailureActions& actions) = 0;
    virtual bool ChangeServiceFailureActionsFlag(platform::ScHandle service, bool onNonCrashFailures) = 0;
    // Before the dispatcher thread exists: block the control signals (POSIX) and select the
    // console stand-in (echoed reports and entries) or the real manager.
    virtual void PrepareServiceDispatcher(bool console) = 0;
    virtual bool StartServiceCtrlDispatcher(const std::vector<platform::ServiceTableEntry>& table) = 0;
    virtual platform::ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& serviceName,
                                                                     platform::HandlerFunction handler) = 0;
    virtual bool SetServiceStatus(platform::ServiceStatusHandle handle, const platform::ServiceStatus& status) = 0;
    virtual std::uint32_t GetLastError() = 0;
    // The manager's watchdog: its timeout in microseconds (0: none) and one "still alive".
    virtual std::uint64_t ServiceWatchdogTimeoutUsec() = 0;
    virtual bool NotifyServiceWatchdog() = 0;
    // The operator's text after the state name (platform::SetServiceStatusText); fakes
    // that do not look at it leave it to this default.
    virtual bool SetServiceStatusText(std::uint32_t /*state*/, const std::u16string& /*text*/) { return true; }
    virtual void ShowMessageBox(const std::u16string& text, const std::u16string& caption,
                                platform::MessageBoxIcon icon) = 0;
    // Whether a user can see (and dismiss) a message box of this process now.
    virtual bool WindowStationVisible() = 0;
};

// The real platform.
EventLogApi& PlatformEventLog();
ServiceManagerApi& PlatformServiceManager();

}  // namespace service_host
