// The service control manager on Linux is systemd: a service is a unit file, the
// dispatcher talks to systemd through NOTIFY_SOCKET and takes control codes from signals.
// In console mode the dispatcher is the same, but reports go to standard error.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

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

extern char** environ;

namespace platform {
namespace {

constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";
constexpr const char* kDefaultSystemdRunFolder = "/run/systemd/system";
constexpr const char* kWantsFolder = "multi-user.target.wants";

std::uint32_t LastErrno() { return posix::ErrnoToWindowsError(errno); }

// ---- installation --------------------------------------------------------------------

struct HandleEntry {
    bool manager = false;
    std::string serviceName;  // UTF-8, for service handles
};

struct ManagerState {
    std::mutex mutex;
    std::string unitFolder = kDefaultUnitFolder;
    std::string systemdRunFolder = kDefaultSystemdRunFolder;
    std::map<ScHandle, HandleEntry> handles;
    ScHandle nextHandle = 1;
};

ManagerState& Manager() {
    static ManagerState state;
    return state;
}

std::string UnitPath(const ManagerState& state, const std::string& name) {
    return state.unitFolder + "/" + name + ".service";
}

std::string WantsLinkPath(const ManagerState& state, const std::string& name) {
    return state.unitFolder + "/" + kWantsFolder + "/" + name + ".service";
}

// A unit name becomes a file name in the unit folder, so it must not leave that folder.
bool ValidServiceName(const std::u16string& name) {
    if (name.empty() || name == u"." || name == u"..") return false;
    for (char16_t c : name) {
        if (c == u'/' || c < 0x20) return false;
    }
    return true;
}

// `systemctl daemon-reload` when systemd runs; the files alone are the registration
// otherwise. Its outcome does not change the result of the installation call.
void ReloadSystemd(const ManagerState& state) {
    struct stat info {};
    if (::stat(state.systemdRunFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return;
    // The child must not inherit the blocked control signals of a service process.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    // Nor the ignored SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &pipe);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char program[] = "systemctl";
    char verb[] = "daemon-reload";
    char* argv[] = {program, verb, nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program, nullptr, &attributes, argv, environ) == 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    }
    posix_spawnattr_destroy(&attributes);
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// How systemd reads the executable path, the first word of ExecStart: "%" starts a
// specifier and is written "%%", a blank ends the word unless the path is quoted, and "$"
// stands as it is (variables are expanded in the arguments only, and a "$$" there would
// stay two characters). Quotes, backslashes and control characters cannot be written at
// all (ExecutablePathExpressible).
std::string ExecStartWord(const std::string& path) {
    std::string word;
    const bool blank = path.find(' ') != std::string::npos;
    if (blank) word += '"';
    for (char c : path) word += c == '%' ? std::string("%%") : std::string(1, c);
    if (blank) word += '"';
    return word;
}

// systemd refuses an executable path with a quote, a backslash or a control character
// (C0 or DEL) in it, escaped or not ("Executable name contains special characters"), and
// then the whole unit: such a folder cannot hold a service.
bool ExecutablePathExpressible(const std::string& path) {
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\') return false;
    }
    return true;
}

// Makes a folder and its missing parents (0755 less the umask), as `mkdir -p` does.
// Returns 0, or the errno of the step that failed.
int MakeFolders(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return 0;
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
        if (at == std::string::npos) return 0;
    }
}

// ---- sandbox -------------------------------------------------------------------------

// The folders ProtectSystem=full makes read-only.
constexpr const char* kReadOnlyFolders[] = {"/usr", "/etc", "/boot", "/efi"};

bool IsUnder(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// The folder of an executable path: everything before its last "/" ("/" for "/x").
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// One path of ReadWritePaths=: "%" starts a specifier, and a blank separates paths unless
// the path is quoted. Quotes, backslashes and control characters are written differently
// by systemd versions or not at all, so a folder with one of them cannot be named: false.
bool PathWord(const std::string& path, std::string& word) {
    bool blank = false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\') return false;
        blank = blank || c == ' ';
    }
    word.clear();
    if (blank) word += '"';
    for (char c : path) word += c == '%' ? std::string("%%") : std::string(1, c);
    if (blank) word += '"';
    return true;
}

// The service runs as root (no User=), writes its tree beside the executable and its
// output into any folder outside /usr, /etc and /boot (so no PrivateTmp= or ProtectHome=:
// an output folder under /tmp or /home stays the real one), connects to IPv4 and IPv6
// addresses and resolves names (AF_NETLINK for the name service modules that list the
// local addresses). It keeps CAP_DAC_OVERRIDE and CAP_FOWNER so that it can still write
// into folders and replace files that belong to other users; every other capability, the
// kernel's settings, devices, namespaces and privileged system calls are out of reach.
// An executable under a folder that ProtectSystem=full makes read-only gets its own
// folder back with ReadWritePaths=; a folder that cannot be named there (a quote, a
// backslash or a control character in its name) leaves the system folders writable
// instead, so the service still works.
std::string SandboxLines(const std::string& executablePath) {
    const std::string folder = FolderOf(executablePath);
    bool underReadOnly = false;
    for (const char* readOnly : kReadOnlyFolders) underReadOnly = underReadOnly || IsUnder(executablePath, readOnly);
    std::string readWrite;
    const bool writable = !underReadOnly || PathWord(folder, readWrite);
    std::string text;
    if (writable) text += "ProtectSystem=full\n";
    if (underReadOnly && writable) text += "ReadWritePaths=" + readWrite + "\n";
    text +=
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        "ProcSubset=pid\n"
        "PrivateDevices=yes\n"
        "PrivateMounts=yes\n"
        "NoNewPrivileges=yes\n"
        "CapabilityBoundingSet=CAP_DAC_OVERRIDE CAP_FOWNER\n"
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "SystemCallArchitectures=native\n"
        "SystemCallFilter=@system-service\n"
        "SystemCallFilter=~@privileged @resources\n"
        "SystemCallErrorNumber=EPERM\n";
    return text;
}

// ---- dispatcher ----------------------------------------------------------------------

struct DispatcherState {
    std::mutex mutex;
    bool running = false;
    std::u16string serviceName;
    HandlerFunction handler = nullptr;
    // Decides from the service's reports which control codes it is passed.
    ControlGate gate;
    int wakeFd = -1;
    bool console = false;
    // The socket to systemd (NOTIFY_SOCKET): it never waits for its reader.
    posix::NotifyClient notify;
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
void Deliver(DispatcherState& state, std::unique_lock<std::mutex>& lock, std::uint32_t code) {
    const HandlerFunction handler = state.handler;
    if (handler == nullptr) return;
    lock.unlock();
    handler(code);
    lock.lock();
}

}  // namespace

namespace posix {

void SetServiceManagerFolders(const std::string& unitFolder, const std::string& systemdRunFolder) {
    ManagerState& state = Manager();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.unitFolder = unitFolder.empty() ? kDefaultUnitFolder : unitFolder;
    state.systemdRunFolder = systemdRunFolder.empty() ? kDefaultSystemdRunFolder : systemdRunFolder;
}

std::string UnitFileText(const std::u16string& displayName, const std::u16string& binaryPathName) {
    const std::string path = txt::ToUtf8(binaryPathName);
    std::string text = "[Unit]\nDescription=";
    text += txt::ToUtf8(displayName);
    text += "\n\n[Service]\nType=notify\nNotifyAccess=main\nExecStart=";
    text += ExecStartWord(path);
    // Self-healing: a crash, a failed exit or a watchdog timeout restarts the service after
    // a short pause; the program pings every third of WatchdogSec while its loops serve.
    // The restarts are bounded: at most 10 starts in 10 minutes, so a service that fails at
    // once is given up after about 50 s (unit "failed") instead of being started every 5 s
    // for ever; a hang needs WatchdogSec to be seen, so hangs alone never reach the bound.
    // These two names are the ones systemd still reads in [Service].
    text += "\nRestart=on-failure\nRestartSec=5\nStartLimitInterval=10min\nStartLimitBurst=10\nWatchdogSec=60\n";
    text += SandboxLines(path);
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

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

// ---- installation --------------------------------------------------------------------

ScHandle OpenSCManager(std::uint32_t /*desiredAccess*/) {
    ManagerState& state = Manager();
    std::lock_guard<std::mutex> lock(state.mutex);
    // A root without systemd (a minimal chroot, an image being built) has no unit folder
    // yet: it is made, so that the registration is there once systemd is.
    const int made = MakeFolders(state.unitFolder);
    if (made != 0 || ::access(state.unitFolder.c_str(), W_OK) != 0) {
        const int err = made != 0 ? made : errno;
        // Missing rights are "Access is denied", as for OpenSCManagerW without administrator rights.
        SetLastError(err == ENOENT || err == ENOTDIR ? posix::ErrnoToWindowsError(err) : kErrorAccessDenied);
        return 0;
    }
    const ScHandle handle = state.nextHandle++;
    state.handles.emplace(handle, HandleEntry{true, {}});
    return handle;
}

// True for an open manager handle; otherwise sets error 6, as the manager does.
bool IsManagerHandle(const ManagerState& state, ScHandle handle) {
    const auto found = state.handles.find(handle);
    if (found != state.handles.end() && found->second.manager) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
}

ScHandle CreateService(ScHandle manager, const std::u16string& serviceName, const std::u16string& displayName,
                       std::uint32_t /*desiredAccess*/, std::uint32_t /*serviceType*/, std::uint32_t startType,
                       std::uint32_t /*errorControl*/, const std::u16string& binaryPathName,
                       const std::u16string& /*loadOrderGroup*/, std::uint32_t* /*tagId*/,
                       const std::u16string& /*dependencies*/, const std::u16string* /*serviceStartName*/,
                       const std::u16string& /*password*/) {
    // Load-order groups, tags and dependencies have no unit counterpart here; without an
    // account the unit has no User= and runs as root, like the local system account.
    ManagerState& state = Manager();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!IsManagerHandle(state, manager)) return 0;
    if (!ValidServiceName(serviceName)) {
        SetLastError(kErrorInvalidName);
        return 0;
    }
    const std::string executablePath = txt::ToUtf8(binaryPathName);
    if (!ExecutablePathExpressible(executablePath)) {
        SetLastError(kErrorInvalidName);
        return 0;
    }
    const std::string name = txt::ToUtf8(serviceName);
    const std::string unitPath = UnitPath(state, name);
    const int fd = ::open(unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(errno == EEXIST ? kErrorServiceExists : LastErrno());
        return 0;
    }
    const bool written =
        WriteAll(fd, posix::UnitFileText(displayName.empty() ? serviceName : displayName, binaryPathName));
    const int writeErr = errno;
    if (::close(fd) != 0 || !written) {
        const std::uint32_t code = posix::ErrnoToWindowsError(written ? errno : writeErr);
        ::unlink(unitPath.c_str());
        SetLastError(code);
        return 0;
    }
    if (startType == kServiceAutoStart || startType == kServiceBootStart || startType == kServiceSystemStart) {
        const std::string wants = state.unitFolder + "/" + kWantsFolder;
        const std::string link = WantsLinkPath(state, name);
        const std::string target = "../" + name + ".service";
        if ((::mkdir(wants.c_str(), 0755) != 0 && errno != EEXIST) ||
            (::symlink(target.c_str(), link.c_str()) != 0 &&
             (errno != EEXIST || ::unlink(link.c_str()) != 0 || ::symlink(target.c_str(), link.c_str()) != 0))) {
            const std::uint32_t code = LastErrno();
            ::unlink(unitPath.c_str());
            SetLastError(code);
            return 0;
        }
    }
    ReloadSystemd(state);
    const ScHandle handle = state.nextHandle++;
    state.handles.emplace(handle, HandleEntry{false, name});
    return handle;
}

ScHandle OpenService(ScHandle manager, const std::u16string& serviceName, std::uint32_t /*desiredAccess*/) {
    ManagerState& state = Manager();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!IsManagerHandle(state, manager)) return 0;
    if (!ValidServiceName(serviceName)) {
        SetLastError(kErrorServiceDoesNotExist);
        return 0;
    }
    const std::string name = txt::ToUtf8(serviceName);
    struct stat info {};
    if (::lstat(UnitPath(state, name).c_str(), &info) != 0) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? kErrorServiceDoesNotExist : LastErrno());
        return 0;
    }
    const ScHandle handle = state.nextHandle++;
    state.handles.emplace(handle, HandleEntry{false, name});
    return handle;
}

bool DeleteService(ScHandle service) {
    ManagerState& state = Manager();
    std::lock_guard<std::mutex> lock(state.mutex);
    const auto found = state.handles.find(service);
    if (found == state.handles.end() || found->second.manager) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    const std::string& name = found->second.serviceName;
    if (::unlink(WantsLinkPath(state, name).c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
        SetLastError(LastErrno());
        return false;
    }
    if (::unlink(UnitPath(state, name).c_str()) != 0) {
        SetLastError(errno == ENOENT ? kErrorServiceDoesNotExist : LastErrno());
        return false;
    }
    ReloadSystemd(state);
    return true;
}

bool CloseServiceHandle(ScHandle handle) {
    ManagerState& state = Manager();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.handles.erase(handle) == 0) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

// The unit's own lines give the service its description and its restarts; there is
// nothing to change after it was written.
bool ChangeServiceDescription(ScHandle /*service*/, const std::u16string& /*description*/) { return true; }
bool ChangeServiceFailureActions(ScHandle /*service*/, const ServiceFailureActions& /*actions*/) { return true; }

// ---- dispatcher ----------------------------------------------------------------------

void PrepareServiceDispatcher() {
    const sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Output that cannot be written (a closed reader of the console echo) is lost; it must
    // never end the process. Every write then fails with EPIPE instead.
    ::signal(SIGPIPE, SIG_IGN);
}

namespace {

// Takes the dispatcher for this process and, unless in console mode, opens the socket to
// systemd. False with the last error set when it is taken already or systemd is absent.
bool ClaimDispatcher(DispatcherState& state) {
    std::lock_guard<std::mutex> lock(state.mutex);
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
    std::lock_guard<std::mutex> lock(state.mutex);
    state.notify.Close();
    SetLastError(code);
    return false;
}

void BeginDispatch(DispatcherState& state, const ServiceTableEntry& entry, int wakeFd) {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.running = true;
    state.serviceName = entry.serviceName;
    state.handler = nullptr;
    state.gate = ControlGate{};
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
        std::unique_lock<std::mutex> lock(state.mutex);
        if (state.gate.TakeHeldStop()) Deliver(state, lock, kServiceControlStop);
    }
    signalfd_siginfo info{};
    while (::read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        const std::uint32_t code = ControlCodeOfSignal(static_cast<int>(info.ssi_signo));
        if (code == 0) continue;
        std::unique_lock<std::mutex> lock(state.mutex);
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
    std::lock_guard<std::mutex> lock(state.mutex);
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
        std::lock_guard<std::mutex> lock(state.mutex);
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
    std::lock_guard<std::mutex> lock(state.mutex);
    ::close(wakeFd);
    state.wakeFd = -1;
    state.notify.Close();
    state.running = false;
    state.handler = nullptr;
}

}  // namespace

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
    std::lock_guard<std::mutex> lock(state.mutex);
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
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.running || state.console || !state.notify.IsOpen()) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    // Never waits: a receiver that does not read loses the ping, and the caller (the main
    // thread's loop) goes on serving.
    return state.notify.Ping();
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
    DispatcherState& state = Dispatcher();
    std::unique_lock<std::mutex> lock(state.mutex);
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
