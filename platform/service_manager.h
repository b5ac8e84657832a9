#pragma once
// The service control manager as the service host uses it: installation and removal, the
// dispatcher, the control handler and status reports. Each operation maps onto one Win32
// call (named with it); failures leave their Windows error code for GetLastError
// (platform/messages.h).
//
// Linux: the manager is systemd. Opening it means that /etc/systemd/system can be
// written; a service is a unit file there (plus the wants link for automatic start); the
// dispatcher needs NOTIFY_SOCKET, sends every status report as one sd_notify datagram and
// turns signals into control codes (SIGTERM/SIGINT 1, SIGUSR1 2, SIGUSR2 3, SIGHUP 4,
// SIGPWR 5, SIGRTMIN+k 128+k).
//
// Console mode (SetConsoleMode) replaces the manager by an in-process stand-in: the same
// dispatcher and the same control codes, but no notification socket is needed and every
// status report is echoed to standard error (EchoServiceStatus).
//
// Threading contract:
// - PrepareServiceDispatcher and SetConsoleMode: main thread, before any other thread of
//   the program is started.
// - StartServiceCtrlDispatcher blocks its calling thread (the dispatcher thread) until the
//   service has stopped; the registered control handler is called on that thread, one
//   control code at a time, in the order the codes arrived.
// - RegisterServiceCtrlHandler and SetServiceStatus: any thread of the service.
// - The installation calls: any one thread at a time.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using ScHandle = std::uintptr_t;              // SC_HANDLE; 0 means none
using ServiceStatusHandle = std::uintptr_t;   // SERVICE_STATUS_HANDLE; 0 means none

// Entry points with the shapes of LPSERVICE_MAIN_FUNCTIONW and LPHANDLER_FUNCTION.
using ServiceMainFunction = void (*)(std::uint32_t argc, char16_t** argv);
using HandlerFunction = void (*)(std::uint32_t control);

constexpr std::uint32_t kScManagerAllAccess = 0xF003F;
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;

constexpr std::uint32_t kServiceKernelDriver = 0x1;
constexpr std::uint32_t kServiceFileSystemDriver = 0x2;
constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceWin32ShareProcess = 0x20;
constexpr std::uint32_t kServiceInteractiveProcess = 0x100;

constexpr std::uint32_t kServiceBootStart = 0;
constexpr std::uint32_t kServiceSystemStart = 1;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceDemandStart = 3;
constexpr std::uint32_t kServiceDisabled = 4;

constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlPause = 2;
constexpr std::uint32_t kServiceControlContinue = 3;
constexpr std::uint32_t kServiceControlInterrogate = 4;
constexpr std::uint32_t kServiceControlShutdown = 5;

constexpr std::uint32_t kServiceAcceptStop = 1;
constexpr std::uint32_t kServiceAcceptPauseContinue = 2;
constexpr std::uint32_t kServiceAcceptShutdown = 4;

constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceContinuePending = 5;
constexpr std::uint32_t kServicePausePending = 6;
constexpr std::uint32_t kServicePaused = 7;

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr std::uint32_t kErrorServiceExists = 1073;

// SERVICE_STATUS.
struct ServiceStatus {
    std::uint32_t dwServiceType = 0;
    std::uint32_t dwCurrentState = 0;
    std::uint32_t dwControlsAccepted = 0;
    std::uint32_t dwWin32ExitCode = 0;
    std::uint32_t dwServiceSpecificExitCode = 0;
    std::uint32_t dwCheckPoint = 0;
    std::uint32_t dwWaitHint = 0;
};

// SERVICE_TABLE_ENTRYW. The table ends at an entry with an empty name and no entry point
// (or at the end of the vector).
struct ServiceTableEntry {
    std::u16string serviceName;
    ServiceMainFunction serviceProc = nullptr;
};

// OpenSCManagerW(no machine, no database, access).
ScHandle OpenSCManager(std::uint32_t desiredAccess);

// CreateServiceW. `tagId` is in/out and may be null (no tag requested); `dependencies` is
// the double-zero-terminated list (empty for none); `serviceStartName` null means the
// local system account.
ScHandle CreateService(ScHandle manager, const std::u16string& serviceName, const std::u16string& displayName,
                       std::uint32_t desiredAccess, std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::u16string& binaryPathName,
                       const std::u16string& loadOrderGroup, std::uint32_t* tagId, const std::u16string& dependencies,
                       const std::u16string* serviceStartName, const std::u16string& password);

// OpenServiceW, DeleteService, CloseServiceHandle.
ScHandle OpenService(ScHandle manager, const std::u16string& serviceName, std::uint32_t desiredAccess);
bool DeleteService(ScHandle service);
bool CloseServiceHandle(ScHandle handle);

// StartServiceCtrlDispatcherW: runs the service main of the started service on a thread of
// its own and serves control codes until the service has reported stopped and its service
// main has returned; then returns true. Fails at once with 1063 when the process was not
// started by the service control manager.
bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table);

// RegisterServiceCtrlHandlerW: 0 on failure.
ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& serviceName, HandlerFunction handler);

// SetServiceStatus: false when the report could not be delivered.
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Prepares the process for a service run before other threads exist: on Linux the control
// signals are blocked in the calling thread, so every thread started afterwards inherits
// the block and only the dispatcher takes them.
void PrepareServiceDispatcher();

// The CONSOLE switch: the in-process stand-in for the manager (see above).
void SetConsoleMode(bool console);
bool ConsoleMode();

// "ssStopped" .. "ssPaused" for 1..7, else the decimal number.
std::string ServiceStateName(std::uint32_t state);

// Writes one console line for a status report to standard error, flushed at once:
// "YYYY-MM-DD HH:MM:SS.mmm status <state name> state=<1..7> controls=<n> checkpoint=<n>
// waithint=<n>" (local time). Shared by every platform's console mode.
void EchoServiceStatus(const ServiceStatus& status);
// The line EchoServiceStatus writes, without the time stamp and the line break.
std::string FormatServiceStatus(const ServiceStatus& status);

// Whether the manager passes `control` to a service whose last report was `status`
// (nothing while start-pending, stop-pending or stopped; stop with bit 1, pause and
// continue with bit 2, shutdown with bit 4; interrogate and custom codes while running
// or paused). Shared by every stand-in.
bool ManagerAcceptsControl(std::uint32_t control, const ServiceStatus& status);

}  // namespace platform
