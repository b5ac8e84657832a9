// The service control manager on Windows (advapi32). In console mode the dispatcher, the
// handler registration and the status reports go to the console stand-in instead
// (platform/win32/console_service.h).
#include "platform/service_manager.h"

#include <list>
#include <mutex>

#include "platform/win32/console_service.h"
#include "platform/win32/win32.h"

namespace platform {
namespace {

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

bool ChangeServiceFailureActionsFlag(ScHandle service, bool onNonCrashFailures) {
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = onNonCrashFailures ? TRUE : FALSE;
    return ::ChangeServiceConfig2W(ToSc(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) != 0;
}

// The manager removes any service it knows; who registered it is not its concern.
std::u16string DeleteServiceRefusal(ScHandle /*service*/) { return {}; }

bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table) {
    if (ConsoleMode()) {
        return win32::RunConsoleDispatcher(table);
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
        return win32::RegisterConsoleHandler(handler);
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
        return win32::ReportConsoleStatus(status);
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

bool SetServiceStatusText(std::uint32_t, const std::u16string&) { return true; }

}  // namespace platform
