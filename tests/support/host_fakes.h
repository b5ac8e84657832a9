#pragma once
// Fakes of the service host's platform: an event log that records entries, a service
// manager that records its calls and status reports and lets a test wait for them, and a
// service of its own name whose control handler reaches it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "platform/system.h"
#include "runtime/files.h"
#include "service_host/host_api.h"
#include "service_host/service.h"
#include "support/messages.h"
#include "text/strings.h"

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
    explicit FakeEventLog(std::string* calls = nullptr) : calls(calls) {}
    platform::EventSourceHandle RegisterEventSource(const std::u16string& name) override {
        std::lock_guard lock(mutex);
        ++registerCalls;
        if (failOpen) return 0;
        open[next] = name;
        return next++;
    }
    void ReportEvent(platform::EventSourceHandle source, std::uint16_t type, std::uint16_t category, std::uint32_t id,
                     const std::u16string& text) override {
        std::lock_guard lock(mutex);
        const auto found = open.find(source);
        entries.push_back({source, found == open.end() ? u"" : found->second, type, category, id, text});
        if (throwOnReport) throw std::runtime_error("rejected");
    }
    void DeregisterEventSource(platform::EventSourceHandle source) override {
        std::lock_guard lock(mutex);
        ++deregisterCalls;
        open.erase(source);
    }
    std::uint32_t InstallEventSource(const std::u16string& name, const std::u16string& file) override {
        messageFile = file;
        return SourceCall("install ", name);
    }
    std::uint32_t RemoveEventSource(const std::u16string& name) override { return SourceCall("remove ", name); }

    std::vector<Entry> Entries() {
        std::lock_guard lock(mutex);
        return entries;
    }
    // Each entry as "<source name> <type>/<category>/<id>: <text>".
    std::vector<std::u16string> Lines() {
        std::vector<std::u16string> lines;
        for (const Entry& e : Entries()) {
            lines.push_back(e.sourceName + u" " + txt::IntToStr(e.type) + u"/" + txt::IntToStr(e.category) + u"/" +
                            txt::IntToStr(e.id) + u": " + e.text);
        }
        return lines;
    }

    std::mutex mutex;
    bool failOpen = false;
    bool throwOnReport = false;
    int registerCalls = 0;
    int deregisterCalls = 0;
    platform::EventSourceHandle next = 100;
    std::map<platform::EventSourceHandle, std::u16string> open;
    std::vector<Entry> entries;
    std::map<std::u16string, std::uint32_t> sourceErrors;  // a source's registration fails with this code
    std::u16string messageFile;                            // of the last source installed
    std::string* calls;  // "..., install BrivonMorvel, install host, ...": the executable's own source is "host"

private:
    std::uint32_t SourceCall(const char* verb, const std::u16string& name) {
        std::lock_guard lock(mutex);
        const bool host = name == runtime::ExtractFileName(platform::ModuleFileName());
        if (calls != nullptr) *calls += (calls->empty() ? "" : ", ") + (verb + (host ? "host" : txt::ToUtf8(name)));
        const auto failed = sourceErrors.find(name);
        return failed == sourceErrors.end() ? 0 : failed->second;
    }
};

struct Report {
    platform::ServiceStatus status;
    platform::ThreadId thread;
};

// A message box, or the event-log entry that stands for it.
struct BoxShown {
    std::u16string text;
    std::u16string caption;
    bool operator==(const BoxShown&) const = default;
};
inline void PrintTo(const BoxShown& box, std::ostream* out) {
    *out << txt::ToUtf8(box.caption) << ": " << txt::ToUtf8(box.text);
}

class FakeManager : public service_host::ServiceManagerApi {
public:
    // ---- installation: each call is recorded in `calls`, and fails with its error if set ----
    platform::ScHandle OpenSCManager(std::uint32_t access) override {
        openAccess = access;
        return Step("OpenSCManager", openError) ? 1 : 0;
    }
    platform::ScHandle CreateService(platform::ScHandle, const std::u16string& name, const std::u16string& display,
                                     std::uint32_t access, std::uint32_t type, std::uint32_t start,
                                     std::uint32_t errorControl, const std::u16string& path, const std::u16string&,
                                     std::uint32_t* tag, const std::u16string& deps, const std::u16string* account,
                                     const std::u16string&) override {
        created = {name, display, path, deps, access, type, start, errorControl, {}, account != nullptr};
        if (tag != nullptr) {
            created.tagIn = *tag;
            *tag = returnedTag;
        }
        return Step("CreateService", createError) ? 2 : 0;
    }
    platform::ScHandle OpenService(platform::ScHandle, const std::u16string&, std::uint32_t) override {
        return Step("OpenService", openServiceError) ? 3 : 0;
    }
    bool DeleteService(platform::ScHandle handle) override {
        return Step("DeleteService " + std::to_string(handle), deleteError);
    }
    std::u16string DeleteServiceRefusal(platform::ScHandle) override { return {}; }
    bool CloseServiceHandle(platform::ScHandle handle) override { return Step("Close " + std::to_string(handle), 0); }
    // "ChangeServiceDescription 2 <text>", "ChangeServiceFailureActions 2 <reset> [<type> <delay>]..."
    bool ChangeServiceDescription(platform::ScHandle handle, const std::u16string& text) override {
        return Step("ChangeServiceDescription " + std::to_string(handle) + " " + txt::ToUtf8(text), descriptionError);
    }
    bool ChangeServiceFailureActions(platform::ScHandle handle,
                                     const platform::ServiceFailureActions& actions) override {
        std::string call =
            "ChangeServiceFailureActions " + std::to_string(handle) + " " + std::to_string(actions.resetPeriodSeconds);
        for (const auto& [type, delay] : actions.actions)
            call += " [" + std::to_string(type) + " " + std::to_string(delay) + "]";
        return Step(call, failureActionsError);
    }
    bool ChangeServiceFailureActionsFlag(platform::ScHandle handle, bool onNonCrashFailures) override {
        return Step("ChangeServiceFailureActionsFlag " + std::to_string(handle) + (onNonCrashFailures ? " on" : " off"),
                    failureActionsFlagError);
    }
    void PrepareServiceDispatcher(bool console) override { consoleRequested = console; }
    bool StartServiceCtrlDispatcher(const std::vector<platform::ServiceTableEntry>& table) override {
        dispatchTable = table;
        if (dispatcher) return dispatcher(table);
        lastError = platform::kErrorFailedServiceControllerConnect;
        return false;
    }
    // ---- a running service ----
    platform::ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& name,
                                                             platform::HandlerFunction entry) override {
        std::lock_guard lock(mutex);
        registeredName = name;
        handler = entry;
        if (registerError != 0) lastError = registerError;
        return registerError != 0 ? 0 : 7;
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
        if (statusError != 0) lastError = statusError;
        return statusError == 0;
    }
    std::uint32_t GetLastError() override { return lastError; }
    std::uint64_t ServiceWatchdogTimeoutUsec() override { return 0; }
    bool NotifyServiceWatchdog() override { return true; }
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
    // The states reported from the `first` report on: "StopPending Stopped".
    std::string States(std::size_t first = 0) {
        static const char* const kNames[] = {"?",       "Stopped",         "StartPending", "StopPending",
                                             "Running", "ContinuePending", "PausePending", "Paused"};
        std::string names;
        const auto all = Reports();
        for (std::size_t i = first; i < all.size(); ++i) {
            names += (i > first ? " " : "") + std::string(kNames[all[i].status.dwCurrentState]);
        }
        return names;
    }

    struct Created {
        std::u16string name, display, path, dependencies;
        std::uint32_t access, type, start, errorControl;
        std::optional<std::uint32_t> tagIn;  // none: no tag asked for
        bool accountGiven;
        bool operator==(const Created&) const = default;
    } created{};

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> reports;
    std::function<void(const platform::ServiceStatus&)> onReport;
    std::function<bool(const std::vector<platform::ServiceTableEntry>&)> dispatcher;
    std::vector<platform::ServiceTableEntry> dispatchTable;
    std::string calls;  // "OpenSCManager, CreateService, Close 2, ..."
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
    std::atomic<std::uint32_t> lastError{0};

    // Records a call; false, with `error` as the last error, where it is set.
    bool Step(const std::string& call, std::uint32_t error) {
        calls += (calls.empty() ? "" : ", ") + call;
        if (error != 0) lastError = error;
        return error == 0;
    }
};

// The service "BrivonMorvel" with the collector's display name. Its control handler passes
// every code to the service constructed last, as the program's handler reaches its one
// service; a custom code goes to `onCustom`.
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
    bool HandleCustomControl(std::uint32_t code) override {
        if (onCustom) onCustom(code);
        return true;
    }
    std::function<void(std::uint32_t)> onCustom;
    static inline std::atomic<FakeService*> current{nullptr};
};

}  // namespace host_test
