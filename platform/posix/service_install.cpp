// Registering the service with systemd: a service is a unit file in the unit folder, with
// a link in multi-user.target.wants for one that starts with the system. The unit's text
// (the quoting of its paths and its sandbox lines) is made here too, and a folder whose
// name systemd cannot run is refused before anything is written.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include "platform/error_codes.h"
#include "platform/messages.h"
#include "platform/posix/errors.h"
#include "platform/posix/service_internal.h"
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
// otherwise. Its outcome does not change the result of the installation call, and what it
// prints (in a chroot that sees a running systemd: "Running in chroot, ignoring command")
// goes to /dev/null, so that the program's own output says only the program's result.
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
    posix_spawn_file_actions_t silenced;
    if (posix_spawn_file_actions_init(&silenced) != 0) {
        posix_spawnattr_destroy(&attributes);
        return;
    }
    posix_spawn_file_actions_addopen(&silenced, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&silenced, STDOUT_FILENO, STDERR_FILENO);
    pid_t child = 0;
    if (posix_spawnp(&child, program, &silenced, &attributes, argv, environ) == 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    }
    posix_spawn_file_actions_destroy(&silenced);
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

// True for an open manager handle; otherwise sets error 6, as the manager does.
bool IsManagerHandle(const ManagerState& state, ScHandle handle) {
    const auto found = state.handles.find(handle);
    if (found != state.handles.end() && found->second.manager) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
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

}  // namespace posix

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

}  // namespace platform
