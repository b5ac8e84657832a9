// The service control manager on Windows (advapi32), and the console-mode stand-in that
// takes its place when the program runs in the foreground of a console.
#include "platform/service_manager.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#include "platform/win32/win32.h"

namespace platform {
namespace {

// ----- The real manager -------------------------------------------------------------------

// The dispatcher calls service mains with the Windows signature; each table entry's own
// function is found again by the name the manager passes as the first argument.
std::vector<ServiceTableEntry>& DispatchEntries() {
    static std::vector<ServiceTableEntry> entries;
    return entries;
}

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
    const auto& entries = DispatchEntries();
    const ServiceTableEntry* chosen = entries.empty() ? nullptr : &entries.front();
    if (argc > 0 && argv != nullptr && argv[0] != nullptr) {
        for (const auto& entry : entries) {
            if (::CompareStringOrdinal(argv[0], -1, win32::Wide(entry.serviceName), -1, TRUE) == CSTR_EQUAL) {
                chosen = &entry;
                break;
            }
        }
    }
    if (chosen != nullptr && chosen->serviceProc != nullptr) {
        chosen->serviceProc(argc, reinterpret_cast<char16_t**>(argv));
    }
}

// Registered handlers live for the rest of the process: the manager may call one until the
// process ends. A list keeps their addresses stable for the context pointer.
std::list<HandlerFunction>& RegisteredHandlers() {
    static std::list<HandlerFunction> handlers;
    return handlers;
}

std::mutex& HandlersLock() {
    static std::mutex lock;
    return lock;
}

DWORD WINAPI HandlerTrampoline(DWORD control, DWORD, LPVOID, LPVOID context) {
    (*static_cast<HandlerFunction*>(context))(control);
    return NO_ERROR;
}

SC_HANDLE ToSc(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

// ----- The console stand-in ---------------------------------------------------------------

// Serves one service in the foreground: its service main runs on a thread of its own, as
// the manager would run it, and the dispatcher thread passes control codes from the
// console (Ctrl+C, Ctrl+Break, closing the window) to the registered handler with the
// manager's rules for which codes a state accepts (ControlGate): after a stop or a
// shutdown nothing more is passed until the service reports that it goes on running.
class ConsoleStandIn {
public:
    static ConsoleStandIn& Instance() {
        static ConsoleStandIn instance;
        return instance;
    }

    bool Run(const std::vector<ServiceTableEntry>& table);
    ServiceStatusHandle Register(HandlerFunction handler);
    bool Report(const ServiceStatus& status);
    // From the console's control thread: queue a code; with `waitForStop`, wait (bounded)
    // until the service has stopped, because the system ends the process once the handler
    // for a closing console returns.
    void Request(std::uint32_t control, bool waitForStop);

private:
    static BOOL WINAPI ConsoleCtrl(DWORD ctrlType);

    // Bound of codes_: the console sends only stop and shutdown, and the gate passes no
    // second one before the service has handled the first, so more than a few never wait.
    static constexpr std::size_t kMaxPassedCodes = 8;

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::uint32_t> codes_;  // codes the gate passed, for the dispatcher thread
    HandlerFunction handler_ = nullptr;
    ControlGate gate_;
    bool running_ = false;   // a dispatcher is serving
    bool finished_ = false;  // the service main has returned
    // Held while a report is echoed and while the handler runs, so that the handler is
    // never called in the middle of a report. Recursive: a handler may report itself.
    std::recursive_mutex reportLock_;
};

bool ConsoleStandIn::Run(const std::vector<ServiceTableEntry>& table) {
    // The stand-in serves the first service of the table, the only one this program has.
    const ServiceTableEntry* entry = table.empty() ? nullptr : &table.front();
    if (entry == nullptr || entry->serviceProc == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    {
        std::lock_guard guard(lock_);
        codes_.clear();
        handler_ = nullptr;
        gate_ = ControlGate{};
        running_ = true;
        finished_ = false;
    }
    ::SetConsoleCtrlHandler(&ConsoleStandIn::ConsoleCtrl, TRUE);

    std::u16string name = entry->serviceName;
    const ServiceMainFunction proc = entry->serviceProc;
    std::thread serviceMain([this, &name, proc] {
        char16_t* argv[] = {name.data(), nullptr};
        proc(1, argv);
        std::lock_guard guard(lock_);
        finished_ = true;
        changed_.notify_all();
    });

    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return finished_ || !codes_.empty() || gate_.HeldStopDue(); });
        if (finished_) {
            break;
        }
        std::uint32_t code = kServiceControlStop;
        if (gate_.HeldStopDue()) {
            // A stop asked for while the service started, now that the start has ended.
            if (!gate_.TakeHeldStop()) {
                continue;
            }
        } else {
            code = codes_.front();
            codes_.pop_front();
        }
        const HandlerFunction handler = handler_;
        if (handler == nullptr) {
            continue;
        }
        guard.unlock();
        {
            std::lock_guard report(reportLock_);
            handler(code);
        }
        guard.lock();
    }
    running_ = false;
    guard.unlock();

    serviceMain.join();
    ::SetConsoleCtrlHandler(&ConsoleStandIn::ConsoleCtrl, FALSE);
    return true;
}

ServiceStatusHandle ConsoleStandIn::Register(HandlerFunction handler) {
    std::lock_guard guard(lock_);
    handler_ = handler;
    return 1;  // the stand-in serves one service; any non-empty value will do
}

bool ConsoleStandIn::Report(const ServiceStatus& status) {
    std::lock_guard report(reportLock_);
    EchoServiceStatus(status);
    std::lock_guard guard(lock_);
    gate_.Reported(status);
    changed_.notify_all();
    return true;
}

void ConsoleStandIn::Request(std::uint32_t control, bool waitForStop) {
    std::unique_lock guard(lock_);
    if (!running_) {
        return;
    }
    // Decided as it arrives, with the manager's rules (ControlGate): a stop while the
    // service starts is held, a second stop or a shutdown after a stop is refused.
    if (gate_.Offer(control) && codes_.size() < kMaxPassedCodes) {
        codes_.push_back(control);
    }
    changed_.notify_all();
    if (waitForStop) {
        // Windows gives a closing console about five seconds before it ends the process.
        changed_.wait_for(guard, std::chrono::milliseconds(4500), [this] { return finished_; });
    }
}

BOOL WINAPI ConsoleStandIn::ConsoleCtrl(DWORD ctrlType) {
    switch (ctrlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: Instance().Request(kServiceControlStop, false); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT: Instance().Request(kServiceControlStop, true); return TRUE;
    case CTRL_SHUTDOWN_EVENT: Instance().Request(kServiceControlShutdown, true); return TRUE;
    default: return FALSE;
    }
}

}  // namespace

ScHandle OpenSCManager(std::uint32_t desiredAccess) {
    return reinterpret_cast<ScHandle>(::OpenSCManagerW(nullptr, nullptr, desiredAccess));
}

ScHandle CreateService(ScHandle manager, const std::u16string& serviceName, const std::u16string& displayName,
                       std::uint32_t desiredAccess, std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::u16string& binaryPathName,
                       const std::u16string& loadOrderGroup, std::uint32_t* tagId, const std::u16string& dependencies,
                       const std::u16string* serviceStartName, const std::u16string& password) {
    // The manager reads the path as a command line: unquoted, "C:\Program Files\x.exe"
    // would first be tried as the program "C:\Program" with arguments.
    std::u16string commandLine = binaryPathName;
    if (commandLine.find(u' ') != std::u16string::npos && commandLine.front() != u'"') {
        commandLine = u'"' + commandLine + u'"';
    }
    DWORD tag = tagId != nullptr ? *tagId : 0;
    // The dependency list holds zero characters of its own; c_str() adds the final one.
    const SC_HANDLE service =
        ::CreateServiceW(ToSc(manager), win32::Wide(serviceName), win32::Wide(displayName), desiredAccess, serviceType,
                         startType, errorControl, win32::Wide(commandLine), win32::Wide(loadOrderGroup),
                         tagId != nullptr ? &tag : nullptr, win32::Wide(dependencies),
                         serviceStartName != nullptr ? win32::Wide(*serviceStartName) : nullptr, win32::Wide(password));
    const DWORD error = ::GetLastError();
    if (tagId != nullptr) {
        *tagId = tag;
    }
    ::SetLastError(error);
    return reinterpret_cast<ScHandle>(service);
}

ScHandle OpenService(ScHandle manager, const std::u16string& serviceName, std::uint32_t desiredAccess) {
    return reinterpret_cast<ScHandle>(::OpenServiceW(ToSc(manager), win32::Wide(serviceName), desiredAccess));
}

bool DeleteService(ScHandle service) { return ::DeleteService(ToSc(service)) != 0; }

bool CloseServiceHandle(ScHandle handle) { return ::CloseServiceHandle(ToSc(handle)) != 0; }

bool ChangeServiceDescription(ScHandle service, const std::u16string& description) {
    std::u16string text = description;
    SERVICE_DESCRIPTIONW native{reinterpret_cast<LPWSTR>(text.data())};
    return ::ChangeServiceConfig2W(ToSc(service), SERVICE_CONFIG_DESCRIPTION, &native) != 0;
}

bool ChangeServiceFailureActions(ScHandle service, const ServiceFailureActions& actions) {
    std::vector<SC_ACTION> native;
    native.reserve(actions.actions.size());
    for (const ScAction& action : actions.actions) {
        native.push_back({static_cast<SC_ACTION_TYPE>(action.type), action.delayMs});
    }
    // No reboot message and no command: null leaves them as they are, and a new service has none.
    SERVICE_FAILURE_ACTIONSW config{};
    config.dwResetPeriod = actions.resetPeriodSeconds;
    config.cActions = static_cast<DWORD>(native.size());
    config.lpsaActions = native.empty() ? nullptr : native.data();
    return ::ChangeServiceConfig2W(ToSc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &config) != 0;
}

bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table) {
    if (ConsoleMode()) {
        return ConsoleStandIn::Instance().Run(table);
    }
    auto& entries = DispatchEntries();
    entries.clear();
    for (const auto& entry : table) {
        if (entry.serviceName.empty() && entry.serviceProc == nullptr) {
            break;
        }
        entries.push_back(entry);
    }
    std::vector<std::u16string> names;
    names.reserve(entries.size());
    std::vector<SERVICE_TABLE_ENTRYW> native;
    for (const auto& entry : entries) {
        names.push_back(entry.serviceName);
        native.push_back({reinterpret_cast<LPWSTR>(names.back().data()), &ServiceMainTrampoline});
    }
    native.push_back({nullptr, nullptr});
    return ::StartServiceCtrlDispatcherW(native.data()) != 0;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& serviceName, HandlerFunction handler) {
    if (ConsoleMode()) {
        return ConsoleStandIn::Instance().Register(handler);
    }
    HandlerFunction* context;
    {
        std::lock_guard guard(HandlersLock());
        context = &RegisteredHandlers().emplace_back(handler);
    }
    // The extended registration carries the handler as its context; the manager treats the
    // handler exactly as one registered with RegisterServiceCtrlHandlerW.
    const SERVICE_STATUS_HANDLE status =
        ::RegisterServiceCtrlHandlerExW(win32::Wide(serviceName), &HandlerTrampoline, context);
    return reinterpret_cast<ServiceStatusHandle>(status);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    if (ConsoleMode()) {
        return ConsoleStandIn::Instance().Report(status);
    }
    SERVICE_STATUS native{};
    native.dwServiceType = status.dwServiceType;
    native.dwCurrentState = status.dwCurrentState;
    native.dwControlsAccepted = status.dwControlsAccepted;
    native.dwWin32ExitCode = status.dwWin32ExitCode;
    native.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    native.dwCheckPoint = status.dwCheckPoint;
    native.dwWaitHint = status.dwWaitHint;
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != 0;
}

// Windows delivers control codes through the dispatcher without any preparation.
void PrepareServiceDispatcher() {}

// Windows' service control manager keeps no watchdog over a running service; its recovery
// actions act on the process's end only.
std::uint64_t ServiceWatchdogTimeoutUsec() { return 0; }

bool NotifyServiceWatchdog() { return false; }

}  // namespace platform
