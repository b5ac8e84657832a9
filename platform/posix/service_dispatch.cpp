// Running the service under systemd: the dispatcher talks to systemd through
// NOTIFY_SOCKET (status reports and watchdog pings, platform/posix/notify_client.h) and
// takes control codes from signals. In console mode the dispatcher is the same, but
// reports go to standard error.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "platform/contracts.h"
#include "platform/error_codes.h"
#include "platform/event_log.h"
#include "platform/messages.h"
#include "platform/posix/errors.h"
#include "platform/posix/notify_client.h"
#include "platform/posix/service_internal.h"
#include "platform/progress.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "text/strings.h"

namespace platform {
namespace {

std::uint32_t LastErrno() { return posix::ErrnoToWindowsError(errno); }

struct DispatcherState {
    CheckedMutex mutex;
    bool running = false;
    std::u16string serviceName;
    HandlerFunction handler = nullptr;
    // Decides from the service's reports which control codes it is passed.
    ControlGate gate{RequiredLock<CheckedMutex>(&mutex)};
    int wakeFd = -1;
    bool console = false;
    // The socket to systemd (NOTIFY_SOCKET): it never waits for its reader.
    posix::NotifyClient notify{RequiredLock<CheckedMutex>(&mutex)};
};

DispatcherState& Dispatcher() {
    static DispatcherState state;
    return state;
}

constexpr ServiceStatusHandle kStatusHandle = 1;

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) sigaddset(&set, signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&set, signal);
    return set;
}

std::uint32_t ControlCodeOfSignal(int signal) {
    switch (signal) {
    case SIGTERM:
    case SIGINT: return kServiceControlStop;
    case SIGUSR1: return kServiceControlPause;
    case SIGUSR2: return kServiceControlContinue;
    case SIGHUP: return kServiceControlInterrogate;
    case SIGPWR: return kServiceControlShutdown;
    default: break;
    }
    if (signal >= SIGRTMIN && signal <= SIGRTMAX) return 128 + static_cast<std::uint32_t>(signal - SIGRTMIN);
    return 0;
}

void Wake(int fd) {
    if (fd < 0) return;
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {}
}

// NOTIFY_SOCKET: a path, or an abstract name written with a leading "@".
bool OpenNotifySocket(DispatcherState& state) { return state.notify.Open(std::getenv("NOTIFY_SOCKET")); }

// Delivers one control code outside the lock, so that a handler may report a status.
void Deliver(DispatcherState& state, std::unique_lock<CheckedMutex>& lock, std::uint32_t code) {
    const HandlerFunction handler = state.handler;
    if (handler == nullptr) return;
    lock.unlock();
    handler(code);
    lock.lock();
}

// Takes the dispatcher for this process and, unless in console mode, opens the socket to
// systemd. False with the last error set when it is taken already or systemd is absent.
bool ClaimDispatcher(DispatcherState& state) {
    std::lock_guard<CheckedMutex> lock(state.mutex);
    if (state.running) {
        SetLastError(kErrorServiceAlreadyRunning);
        return false;
    }
    state.console = ConsoleMode();
    if (!state.console && !OpenNotifySocket(state)) {
        // Not started by systemd: the same outcome as a start by hand on Windows.
        state.notify.Close();
        SetLastError(kErrorFailedServiceControllerConnect);
        return false;
    }
    return true;
}

// The control signals are blocked in every thread (PrepareServiceDispatcher); the
// dispatcher's thread takes them one at a time from a signal descriptor, so no signal
// ever interrupts a handler. The wake descriptor tells it that the service reported or
// that its main function returned. On failure both are closed, the claim is given up
// and the last error is set.
bool OpenControlDescriptors(DispatcherState& state, int& signalFd, int& wakeFd) {
    const sigset_t signals = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signalFd >= 0 && wakeFd >= 0) return true;
    const std::uint32_t code = LastErrno();
    if (signalFd >= 0) ::close(signalFd);
    if (wakeFd >= 0) ::close(wakeFd);
    std::lock_guard<CheckedMutex> lock(state.mutex);
    state.notify.Close();
    SetLastError(code);
    return false;
}

void BeginDispatch(DispatcherState& state, const ServiceTableEntry& entry, int wakeFd) {
    std::lock_guard<CheckedMutex> lock(state.mutex);
    state.running = true;
    state.serviceName = entry.serviceName;
    state.handler = nullptr;
    state.gate = ControlGate{RequiredLock<CheckedMutex>(&state.mutex)};
    state.wakeFd = wakeFd;
}

// One pass after a wake-up: a held stop that became due, then every signal taken so far,
// each decided as it is taken, so nothing is queued here: the kernel keeps what is
// pending (one of each standard signal, real-time ones up to the process's
// pending-signal limit).
void PassPendingControls(DispatcherState& state, int signalFd, int wakeFd) {
    std::uint64_t counter = 0;
    while (::read(wakeFd, &counter, sizeof(counter)) > 0) {}
    {
        // A stop asked for while the service started waits for the end of the start.
        std::unique_lock<CheckedMutex> lock(state.mutex);
        if (state.gate.TakeHeldStop()) Deliver(state, lock, kServiceControlStop);
    }
    signalfd_siginfo info{};
    while (::read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        const std::uint32_t code = ControlCodeOfSignal(static_cast<int>(info.ssi_signo));
        if (code == 0) continue;
        std::unique_lock<CheckedMutex> lock(state.mutex);
        // A held stop that became due while signals were read still goes first.
        if (state.gate.TakeHeldStop()) Deliver(state, lock, kServiceControlStop);
        if (state.gate.Offer(code)) Deliver(state, lock, code);
    }
}

// What the dispatcher waits for on behalf of a kept report: the socket's room, where it
// can tell, and at most until the report's next retry (-1: no report is kept).
struct KeptReportWait {
    pollfd room{-1, POLLOUT, 0};
    int timeout = -1;
};

KeptReportWait KeptReport(DispatcherState& state) {
    std::lock_guard<CheckedMutex> lock(state.mutex);
    KeptReportWait wait;
    wait.timeout = state.notify.WaitMs(ProgressClockMs());
    if (wait.timeout >= 0 && state.notify.Connected()) wait.room.fd = state.notify.Fd();
    return wait;
}

// Tries a kept report again; the first report lost in this run is logged as a failed
// status report, as SetServiceStatus's caller logs one that fails at once.
void RetryKeptReport(DispatcherState& state) {
    std::u16string source;
    std::uint32_t code = 0;
    {
        std::lock_guard<CheckedMutex> lock(state.mutex);
        if (state.notify.Retry(ProgressClockMs()) != posix::NotifyClient::Result::kDropped) return;
        source = state.serviceName;
        code = GetLastError();
    }
    const EventSourceHandle log = RegisterEventSource(source);
    ReportEvent(log, kEventLogErrorType, 0, 0, SystemErrorText(code));
    DeregisterEventSource(log);
}

void EndDispatch(DispatcherState& state, int signalFd, int wakeFd) {
    ::close(signalFd);
    std::lock_guard<CheckedMutex> lock(state.mutex);
    ::close(wakeFd);
    state.wakeFd = -1;
    state.notify.Close();
    state.running = false;
    state.handler = nullptr;
}

}  // namespace

namespace posix {

std::string NotifyDatagram(const ServiceStatus& status) {
    const std::uint32_t state = status.dwCurrentState;
    std::string text = "STATUS=" + ServiceStateName(state);
    if (state == kServiceRunning) text += "\nREADY=1";
    if (state == kServiceStopPending) text += "\nSTOPPING=1";
    if (state == kServiceStartPending || state == kServiceStopPending || state == kServiceContinuePending ||
        state == kServicePausePending) {
        text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t(status.dwWaitHint) * 1000);
    }
    text += "\nX_SERVICE_STATE=" + std::to_string(state);
    text += "\nX_CONTROLS_ACCEPTED=" + std::to_string(status.dwControlsAccepted);
    text += "\nX_CHECKPOINT=" + std::to_string(status.dwCheckPoint);
    text += "\nX_WAIT_HINT=" + std::to_string(status.dwWaitHint);
    return text;
}

}  // namespace posix

void PrepareServiceDispatcher() {
    const sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Output that cannot be written (a closed reader of the console echo) is lost; it must
    // never end the process. Every write then fails with EPIPE instead.
    ::signal(SIGPIPE, SIG_IGN);
}

bool StartServiceCtrlDispatcher(const std::vector<ServiceTableEntry>& table) {
    // systemd starts the one service of the unit: the first entry of the table.
    const ServiceTableEntry* entry = table.empty() ? nullptr : &table.front();
    if (entry == nullptr || entry->serviceProc == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    DispatcherState& state = Dispatcher();
    if (!ClaimDispatcher(state)) return false;
    int signalFd = -1, wakeFd = -1;
    if (!OpenControlDescriptors(state, signalFd, wakeFd)) return false;
    BeginDispatch(state, *entry, wakeFd);

    std::atomic<bool> mainReturned{false};
    std::thread serviceMain([&, proc = entry->serviceProc, name = entry->serviceName]() mutable {
        char16_t* argv[] = {name.data(), nullptr};
        proc(1, argv);
        mainReturned.store(true);
        Wake(wakeFd);
    });
    for (;;) {
        // A kept report is tried again as soon as the socket has room, or at its deadline.
        const KeptReportWait kept = KeptReport(state);
        pollfd fds[3] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, kept.room};
        if (::poll(fds, 3, kept.timeout) < 0 && errno != EINTR) break;
        PassPendingControls(state, signalFd, wakeFd);
        RetryKeptReport(state);
        if (mainReturned.load()) break;
    }
    serviceMain.join();
    // The last reports (stop-pending, stopped) still get their bounded retry.
    for (KeptReportWait kept = KeptReport(state); kept.timeout >= 0; kept = KeptReport(state)) {
        ::poll(&kept.room, 1, kept.timeout);
        RetryKeptReport(state);
    }
    EndDispatch(state, signalFd, wakeFd);
    return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const std::u16string& serviceName, HandlerFunction handler) {
    DispatcherState& state = Dispatcher();
    std::lock_guard<CheckedMutex> lock(state.mutex);
    if (!state.running) {
        SetLastError(kErrorFailedServiceControllerConnect);
        return 0;
    }
    if (!txt::SameText(serviceName, state.serviceName)) {
        SetLastError(kErrorServiceNotInExe);
        return 0;
    }
    state.handler = handler;
    return kStatusHandle;
}

std::uint64_t ServiceWatchdogTimeoutUsec() {
    // The console stand-in has no manager behind it, so nothing watches the process.
    if (ConsoleMode()) return 0;
    return ParseWatchdogTimeout(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"),
                                static_cast<std::uint64_t>(::getpid()));
}

bool NotifyServiceWatchdog() {
    DispatcherState& state = Dispatcher();
    std::lock_guard<CheckedMutex> lock(state.mutex);
    if (!state.running || state.console || !state.notify.IsOpen()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    // Never waits: a receiver that does not read loses the ping, and the caller (the main
    // thread's loop) goes on serving.
    return state.notify.Ping();
}

bool SetServiceStatusText(std::uint32_t state, const std::u16string& text) {
    DispatcherState& dispatcher = Dispatcher();
    std::lock_guard<CheckedMutex> lock(dispatcher.mutex);
    if (!dispatcher.running || dispatcher.console || !dispatcher.notify.IsOpen()) return false;
    return dispatcher.notify.Refresh("STATUS=" + ServiceStateName(state) + ": " + txt::ToUtf8(text));
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    DispatcherState& state = Dispatcher();
    std::unique_lock<CheckedMutex> lock(state.mutex);
    if (!state.running || handle != kStatusHandle) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    // The state the service reports decides what it is passed next, whether or not the
    // report reaches its receiver: a lost datagram must not freeze control.
    state.gate.Reported(status);
    Wake(state.wakeFd);
    if (state.console) {
        // The echo may wait for the reader of standard error; the signal thread must not
        // wait with it. One thread reports at a time, so the lines keep their order.
        lock.unlock();
        EchoServiceStatus(status);
        return true;
    }
    // Reports are sent (or kept, see notify_client.h) under the lock, so they reach the
    // receiver in the order they were made; none waits. A kept report is no failure: it
    // goes out later, or its loss is logged by the dispatcher.
    const posix::NotifyClient::Result result = state.notify.Report(status, ProgressClockMs());
    return result == posix::NotifyClient::Result::kSent || result == posix::NotifyClient::Result::kKept;
}

}  // namespace platform