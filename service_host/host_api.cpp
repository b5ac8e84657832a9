#include "service_host/host_api.h"

#include "platform/messages.h"

namespace service_host {
namespace {

class RealEventLog final : public EventLogApi {
public:
    platform::EventSourceHandle RegisterEventSource(const std::u16string& sourceName) override {
        return platform::RegisterEventSource(sourceName);
    }
    void ReportEvent(platform::EventSourceHandle source, std::uint16_t eventType, std::uint16_t category,
                     std::uint32_t eventId, const std::u16string& text) override {
        platform::ReportEvent(source, eventType, category, eventId, text);
    }
    void DeregisterEventSource(platform::EventSourceHandle source) override { platform::DeregisterEventSource(source); }
    std::uint32_t InstallEventSource(const std::u16string& sourceName, const std::u16string& messageFile) override {
        return platform::InstallEventSource(sourceName, messageFile) ? 0 : platform::GetLastError();
    }
    std::uint32_t RemoveEventSource(const std::u16string& sourceName) override {
        return platform::RemoveEventSource(sourceName) ? 0 : platform::GetLastError();
    }
};

class RealServiceManager final : public ServiceManagerApi {
public:
    platform::ScHandle OpenSCManager(std::uint32_t desiredAccess) override {
        return platform::OpenSCManager(desiredAccess);
    }
    platform::ScHandle CreateService(platform::ScHandle manager, const std::u16string& serviceName,
                                     const std::u16string& displayName, std::uint32_t desiredAccess,
                                     std::uint32_t serviceType, std::uint32_t startType, std::uint32_t errorControl,
                                     const std::u16string& binaryPathName, const std::u16string& loadOrderGroup,
                                     std::uint32_t* tagId, const std::u16string& dependencies,
                                     const std::u16string* serviceStartName, const std::u16string& password) override {
        return platform::CreateService(manager, serviceName, displayName, desiredAccess, serviceType, startType,
                                       errorControl, binaryPathName, loadOrderGroup, tagId, dependencies,
                                       serviceStartName, password);
    }
    platform::ScHandle OpenService(platform::ScHandle manager, const std::u16string& serviceName,
                                   std::uint32_t desiredAccess) override {
        return platform::OpenService(manager, serviceName, desiredAccess);
    }
    bool DeleteService(platform::ScHandle service) override { return platform::DeleteService(service); }
    std::u16string DeleteServiceRefusal(platform::ScHandle service) override {
        return platform::DeleteServiceRefusal(service);
    }
    bool CloseServiceHandle(platform::ScHandle handle) override { return platform::CloseServiceHandle(handle); }
    bool ChangeServiceDescription(platform::ScHandle service, const std::u16string& description) override {
        return platform::ChangeServiceDescription(service, description);
    }
    bool ChangeServiceFailureActions(platform::ScHandle service,
                                     const platform::ServiceFailureActions& actions) override {
        return platform::ChangeServiceFailureActions(service, actions);
    }
    bool ChangeServiceFailureActionsFlag(platform::ScHandle service, bool onNonCrashFailures) override {
        return platform::ChangeServiceFailureActionsFlag(service, onNonCrashFailures);
    }
    void PrepareServiceDispatcher(bool console) override {
        platform::SetConsoleMode(console);
        platform::SetEventLogEcho(console);
        platform::PrepareServiceDispatcher();
    }
    bool StartServiceCtrlDispatcher(const std::vector<platform::ServiceTableEntry>& table) override {
        return platform::StartServiceCtrlDispatcher(table);
    }
    platform::ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& serviceName,
                                                             platform::HandlerFunction handler) override {
        return platform::RegisterServiceCtrlHandler(serviceName, handler);
    }
    bool SetServiceStatus(platform::ServiceStatusHandle handle, const platform::ServiceStatus& status) override {
        return platform::SetServiceStatus(handle, status);
    }
    std::uint32_t GetLastError() override { return platform::GetLastError(); }
    std::uint64_t ServiceWatchdogTimeoutUsec() override { return platform::ServiceWatchdogTimeoutUsec(); }
    bool NotifyServiceWatchdog() override { return platform::NotifyServiceWatchdog(); }
    bool SetServiceStatusText(std::uint32_t state, const std::u16string& text) override {
        return platform::SetServiceStatusText(state, text);
    }
    void ShowMessageBox(const std::u16string& text, const std::u16string& caption,
                        platform::MessageBoxIcon icon) override {
        platform::ShowMessageBox(text, caption, icon);
    }
    bool WindowStationVisible() override { return platform::WindowStationVisible(); }
};

}  // namespace

EventLogApi& PlatformEventLog() {
    static RealEventLog instance;
    return instance;
}

ServiceManagerApi& PlatformServiceManager() {
    static RealServiceManager instance;
    return instance;
}

}  // namespace service_host
