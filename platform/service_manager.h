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
// SIGPWR 5, SIGRTMIN+k 128+k), passing each as ControlGate decides. SIGPIPE is ignored.
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

#include "platform/contracts.h"
#include "platform/error_codes.h"

namespace platform {

using ScHandle = std::uintptr_t;             // SC_HANDLE; 0 means none
using ServiceStatusHandle = std::uintptr_t;  // SERVICE_STATUS_HANDLE; 0 means none

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

// CreateServiceW. `binaryPathName` is the executable's path: on Windows it is registered
// in double quotes when it holds a blank (the manager reads a command line), on Linux the
// unit's ExecStart quotes it as systemd requires. `tagId` is in/out and may be null (no tag
// requested); `dependencies` is the double-zero-terminated list (empty for none);
// `serviceStartName` null means the local system account.
ScHandle CreateService(ScHandle manager, const std::u16string& serviceName, const std::u16string& displayName,
                       std::uint32_t desiredAccess, std::uint32_t serviceType, std::uint32_t startType,
                       std::uint32_t errorControl, const std::u16string& binaryPathName,
                       const std::u16string& loadOrderGroup, std::uint32_t* tagId, const std::u16string& dependencies,
                       const std::u16string* serviceStartName, const std::u16string& password);

// OpenServiceW, DeleteService, CloseServiceHandle.
// Linux: a service exists when a unit of its name is in /etc/systemd/system,
// /run/systemd/system, /lib/systemd/system or /usr/lib/systemd/system (a mask, a link to
// /dev/null, counts); DeleteService removes only a unit INSTALL wrote, a regular file in
// /etc/systemd/system that no package owns and that no unit of another folder stands
// beside, and fails with 5 for any other (DeleteServiceRefusal tells why).
ScHandle OpenService(ScHandle manager, const std::u16string& serviceName, std::uint32_t desiredAccess);
bool DeleteService(ScHandle service);
bool CloseServiceHandle(ScHandle handle);
// Why DeleteService does not remove the service, as a sentence for the operator (for a
// package's unit: the unit's path, the package, and that the package is to be removed
// instead); empty where it would be removed or cannot be told. Windows: always empty.
std::u16string DeleteServiceRefusal(ScHandle service);

// The recovery the manager applies when the service's process ends without reporting
// stopped: SC_ACTION and SERVICE_FAILURE_ACTIONSW without reboot message or command. The
// n-th failure within `resetPeriodSeconds` of the previous one runs actions[n-1] (the last
// action repeats).
constexpr std::uint32_t kScActionNone = 0;
constexpr std::uint32_t kScActionRestart = 1;
struct ScAction {
    std::uint32_t type = kScActionNone;
    std::uint32_t delayMs = 0;
};
struct ServiceFailureActions {
    std::uint32_t resetPeriodSeconds = 0;
    std::vector<ScAction> actions;
};

// ChangeServiceConfig2W(SERVICE_CONFIG_DESCRIPTION): the sentence the manager shows for
// the service. Linux: the unit keeps its own lines, nothing changes; true.
bool ChangeServiceDescription(ScHandle service, const std::u16string& description);
// ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS). Linux: the unit's own restart
// lines do this, nothing changes; true.
bool ChangeServiceFailureActions(ScHandle service, const ServiceFailureActions& actions);
// ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG): whether the recovery actions
// also apply when the service reports stopped with an error code. A manager that does not
// know the setting fails with 124. Linux: Restart=on-failure does this; true.
bool ChangeServiceFailureActionsFlag(ScHandle service, bool onNonCrashFailures);

// StartServiceCtrlDispatcherW: runs the service main of the started service on a thread of
// its own and serves control codes until the service has reported stopped and its service
// main has returned; then returns true. Fails at once with 1063 when the process was not
// started by the service control manager.
bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table);

// RegisterServiceCtrlHandlerW: 0 on failure.
ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& serviceName, HandlerFunction handler);

// SetServiceStatus: false when the report could not be delivered.
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);
// The operator's text after the state name: on Linux one datagram that carries only
// "STATUS=<state name>: <text>", sent at once or dropped (the socket cannot take it, or a
// report waits for its retry: the text never overtakes a report), never kept or merged.
// Nothing in console mode and on Windows, whose manager shows no such text. Any thread.
bool SetServiceStatusText(std::uint32_t state, const std::u16string& text);

// Prepares the process for a service run before other threads exist: on Linux the control
// signals are blocked in the calling thread, so every thread started afterwards inherits
// the block and only the dispatcher takes them, and SIGPIPE is ignored, so a write to a
// closed output loses that output only.
void PrepareServiceDispatcher();

// The manager's watchdog. systemd (WatchdogSec=) kills and restarts a service that does not
// tell it "still alive" within WATCHDOG_USEC microseconds; it sets that variable, and
// WATCHDOG_PID naming the process meant, for the service's main process.
// ServiceWatchdogTimeoutUsec: the timeout in microseconds this process must honour, 0 when
// there is none (no WATCHDOG_USEC, a malformed one, WATCHDOG_PID naming another process,
// console mode, and always on Windows, whose manager has no watchdog). Read at each call.
std::uint64_t ServiceWatchdogTimeoutUsec();
// Sends one "WATCHDOG=1" datagram on the notification socket, under the dispatcher's lock so
// that it never splits a status report; it never waits for the receiver. False when it
// could not be sent (no dispatcher running, console mode, Windows, a full socket).
bool NotifyServiceWatchdog();
// How systemd reads the two variables (null: unset): the timeout when `usec` is a decimal
// number from 1 to 2^64 - 2 and `pid` is unset or the decimal `ownPid`; 0 otherwise.
std::uint64_t ParseWatchdogTimeout(const char* usec, const char* pid, std::uint64_t ownPid);

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

// What a stand-in for the manager passes to its service, decided as each control code
// arrives from the state the service last reported (whether or not that report reached
// its receiver):
// - while nothing or start-pending has been reported, a stop is held and passed as soon as
//   the service reports another state (if that state accepts it); other codes are dropped;
// - otherwise a code passes when the last report accepts it (ManagerAcceptsControl);
// - once a stop or a shutdown has passed, only interrogate may pass, until the service has
//   reported stop-pending and then a state other than stop-pending or stopped (a stop
//   that failed re-opens the gate), as the manager refuses controls to a stopping service.
// Bound: one held stop at most; a code that does not pass is dropped, never kept.
// Not thread-safe: its owner calls it under its own lock (the lock given at construction,
// which the contract checks look at).
class ControlGate {
public:
    // `ownerLock`: the lock every call is made under; none for a gate of one thread.
    explicit ControlGate(RequiredLock<CheckedMutex> ownerLock = {}) : ownerLock_(ownerLock) {}

    // A control code arrived: true when it is to be passed to the service now.
    bool Offer(std::uint32_t control);
    // The service made this report.
    void Reported(const ServiceStatus& status);
    // A stop is held and the service has left the start: TakeHeldStop decides it now.
    bool HeldStopDue() const;
    // Takes a due held stop: true when it is to be passed now. False (nothing taken)
    // while the stop is not due.
    bool TakeHeldStop();

private:
    bool Starting() const { return !reported_ || last_.dwCurrentState == kServiceStartPending; }
    bool Pass(std::uint32_t control);

    [[no_unique_address]] RequiredLock<CheckedMutex> ownerLock_;
    bool reported_ = false;
    ServiceStatus last_{};
    bool heldStop_ = false;
    bool stopPassed_ = false;       // a stop or shutdown passed and has not failed
    bool stopPendingSeen_ = false;  // the service reported stop-pending since it passed
};

}  // namespace platform
