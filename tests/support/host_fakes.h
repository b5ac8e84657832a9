#pragma once
// Fakes of the service host's platform: an event log that records entries, a service
// manager that records status reports and lets a test wait for them, and a service of
// its own name whose control handler reaches it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "service_host/host_api.h"
#include "service_host/service.h"
#include "support/messages.h"

namespace host_test {

struct Entry {
    platform::EventSourceHandle source;
    std::u16string sourceName;
    std::uint16_t type;
    std::uint16_t category;
    std::uint32_t id;
    std::u16string text;
};

class FakeEventLog : public service_host::EventLogApi {
public:
    platform::EventSourceHandle RegisterEventSource(const std::u16string& name) override {
        std::lock_guard lock(mutex);
        ++registerCalls;
        if (failOpen) return 0;
        const platform::EventSourceHandle handle = next++;
        open[handle] = name;
        return handle;
    }
    void ReportEvent(platform::EventSourceHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t id,
                     const std::u16string& text) override {
        std::lock_guard lock(mutex);
        const auto found = open.find(source);
        entries.push_back({source, found == open.end() ? u"" : found->second, type, category, id, text});
        written.notify_all();
        if (throwOnReport) throw std::runtime_error("rejected");
    }
    void DeregisterEventSource(platform::EventSourceHandle source) override {
        std::lock_guard lock(mutex);
        ++deregisterCalls;
        open.erase(source);
    }

    std::uint32_t InstallEventSource(const std::u16string& name, const std::u16string& messageFile) override {
        std::lock_guard lock(mutex);
        sourceCalls.push_back(u"install " + name + u" " + messageFile);
        const auto failed = sourceErrors.find(name);
        return failed == sourceErrors.end() ? 0 : failed->second;
    }
    std::uint32_t RemoveEventSource(const std::u16string& name) override {
        std::lock_guard lock(mutex);
        sourceCalls.push_back(u"remove " + name);
        const auto failed = sourceErrors.find(name);
        return failed == sourceErrors.end() ? 0 : failed->second;
    }

    std::vector<Entry> Entries() {
        std::lock_guard lock(mutex);
        return entries;
    }
    // Waits until `count` entries have been written (false after two seconds).
    bool WaitForEntries(std::size_t count) {
        std::unique_lock lock(mutex);
        return written.wait_for(lock, std::chrono::seconds(2), [&] { return entries.size() >= count; });
    }

    std::mutex mutex;
    std::condition_variable written;
    bool failOpen = false;
    bool throwOnReport = false;
    int registerCalls = 0;
    int deregisterCalls = 0;
    platform::EventSourceHandle next = 100;
    std::map<platform::EventSourceHandle, std::u16string> open;
    std::vector<Entry> entries;
    std::vector<std::u16string> sourceCalls;               // "install <name> <file>", "remove <name>"
    std::map<std::u16string, std::uint32_t> sourceErrors;  // a source's registration fails with this code
};

struct Report {
    platform::ServiceStatus status;
    platform::ThreadId thread;
};

struct BoxShown {
    std::u16string text;
    std::u16string caption;
};

class FakeManager : public service_host::ServiceManagerApi {
public:
    // ---- installation ----
    platform::ScHandle OpenSCManager(std::uint32_t access) override {
        calls.push_back("OpenSCManager");
        openAccess = access;
        if (openError != 0) return Fail(openError);
        return 1;
    }
    platform::ScHandle CreateService(platform::ScHandle, const std::u16string& name, const std::u16string& display,
                                     std::uint32_t access, std::uint32_t type, std::uint32_t start,
                                     std::uint32_t errorControl, const std::u16string& path,
                                     const std::u16string& group, std::uint32_t* tag, const std::u16string& deps,
                                     const std::u16string* account, const std::u16string& password) override {
        calls.push_back("CreateService");
        created = {name,
                   display,
                   access,
                   type,
                   start,
                   errorControl,
                   path,
                   group,
                   tag != nullptr,
                   tag ? *tag : 0,
                   deps,
                   account != nullptr,
                   account ? *account : u"",
                   password};
        if (tag != nullptr) *tag = returnedTag;
        if (createError != 0) return Fail(createError);
        return 2;
    }
    platform::ScHandle OpenService(platform::ScHandle, const std::u16string&, std::uint32_t) override {
        calls.push_back("OpenService");
        if (openServiceError != 0) return Fail(openServiceError);
        return 3;
    }
    bool DeleteService(platform::ScHandle handle) override {
        calls.push_back("DeleteService " + std::to_string(handle));
        if (deleteError != 0) return Fail(deleteError) != 0;
        return true;
    }
    std::u16string DeleteServiceRefusal(platform::ScHandle) override { return {}; }
    bool CloseServiceHandle(platform::ScHandle handle) override {
        calls.push_back("Close " + std::to_string(handle));
        return true;
    }
    bool ChangeServiceDescription(platform::ScHandle handle, const std::u16string& text) override {
        calls.push_back("ChangeServiceDescription " + std::to_string(handle));
        description = text;
        if (descriptionError != 0) return Fail(descriptionError) != 0;
        return true;
    }
    bool ChangeServiceFailureActions(platform::ScHandle handle,
                                     const platform::ServiceFailureActions& actions) override {
        calls.push_back("ChangeServiceFailureActions " + std::to_string(handle));
        failureActions = actions;
        if (failureActionsError != 0) return Fail(failureActionsError) != 0;
        return true;
    }
    bool ChangeServiceFailureActionsFlag(platform::ScHandle handle, bool onNonCrashFailures) override {
        calls.push_back("ChangeServiceFailureActionsFlag " + std::to_string(handle) + " " +
                        (onNonCrashFailures ? "on" : "off"));
        if (failureActionsFlagError != 0) return Fail(failureActionsFlagError) != 0;
        return true;
    }
    void PrepareServiceDispatcher(bool console) override { consoleRequested = console; }
    bool StartServiceCtrlDispatcher(const std::vector<platform::ServiceTableEntry>& table) override {
        dispatchTable = table;
        if (dispatcher) return dispatcher(table);
        return Fail(platform::kErrorFailedServiceControllerConnect) != 0;
    }
    // ---- a running service ----
    platform::ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& name,
                                                             platform::HandlerFunction entry) override {
        std::lock_guard lock(mutex);
        registeredName = name;
        handler = entry;
        if (registerError != 0) return Fail(registerError);
        return 7;
    }
    bool SetServiceStatus(platform::ServiceStatusHandle handle, const platform::ServiceStatus& status) override {
        std::function<void(const platform::ServiceStatus&)> hook;
        {
            std::lock_guard lock(mutex);
            statusHandle = handle;
            reports.push_back({status, platform::CurrentThreadId()});
            hook = onReport;
        }
        changed.notify_all();
        if (hook) hook(status);
        if (statusError != 0) {
            lastError = statusError;
            return false;
        }
        return true;
    }
    std::uint32_t GetLastError() override { return lastError; }
    std::uint64_t ServiceWatchdogTimeoutUsec() override { return watchdogUsec; }
    bool NotifyServiceWatchdog() override {
        ++watchdogPings;
        return true;
    }
    void ShowMessageBox(const std::u16string& text, const std::u16string& caption, platform::MessageBoxIcon) override {
        boxes.push_back({text, caption});
    }
    bool WindowStationVisible() override { return windowStationVisible; }

    // Waits until `count` reports have been made (false after two seconds).
    bool WaitForReports(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(2), [&] { return reports.size() >= count; });
    }
    std::vector<Report> Reports() {
        std::lock_guard lock(mutex);
        return reports;
    }
    std::vector<std::uint32_t> States() {
        std::vector<std::uint32_t> states;
        for (const Report& report : Reports()) states.push_back(report.status.dwCurrentState);
        return states;
    }

    struct Created {
        std::u16string name, display;
        std::uint32_t access, type, start, errorControl;
        std::u16string path, group;
        bool tagRequested;
        std::uint32_t tagIn;
        std::u16string dependencies;
        bool accountGiven;
        std::u16string account, password;
    } created{};

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> reports;
    std::function<void(const platform::ServiceStatus&)> onReport;
    std::function<bool(const std::vector<platform::ServiceTableEntry>&)> dispatcher;
    std::vector<platform::ServiceTableEntry> dispatchTable;
    std::vector<std::string> calls;
    std::vector<BoxShown> boxes;
    bool windowStationVisible = true;  // the injected answer: can a user see a box here
    std::u16string registeredName;
    platform::HandlerFunction handler = nullptr;
    platform::ServiceStatusHandle statusHandle = 0;
    bool consoleRequested = false;
    std::uint32_t openAccess = 0;
    std::uint32_t returnedTag = 0;
    std::uint32_t openError = 0, createError = 0, openServiceError = 0, deleteError = 0;
    std::uint32_t registerError = 0, statusError = 0;
    std::uint32_t descriptionError = 0, failureActionsError = 0, failureActionsFlagError = 0;
    std::u16string description;
    platform::ServiceFailureActions failureActions;
    std::atomic<std::uint32_t> lastError{0};
    std::uint64_t watchdogUsec = 0;
    std::atomic<int> watchdogPings{0};

private:
    platform::ScHandle Fail(std::uint32_t code) {
        lastError = code;
        return 0;
    }
};

// The service "BrivonMorvel" with the collector's display name. Its control handler passes
// every code to the service constructed last, as the program's handler reaches its one
// service.
class FakeService : public service_host::TService {
public:
    FakeService(FakeManager& manager, FakeEventLog& log, service_host::TServiceApplication* owner = nullptr)
        : TService(owner, u"BrivonMorvel", manager, log) {
        DisplayName = testsupport::texts::kDisplayName;
        current.store(this);
    }
    ~FakeService() override {
        FakeService* self = this;
        current.compare_exchange_strong(self, nullptr);
    }
    platform::HandlerFunction ControlHandlerEntry() override { return &Entry; }
    static void Entry(std::uint32_t code) {
        if (FakeService* service = current.load()) service->PostControl(code);
    }
    static inline std::atomic<FakeService*> current{nullptr};
};

}  // namespace host_test
