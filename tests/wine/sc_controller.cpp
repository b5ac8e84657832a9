// vbx_sc_controller: a small service controller for the end-to-end test under Wine. It
// talks to the service control manager the way an operator's tool does and prints one
// line per command, so that a script can follow the service's states.
//
//   vbx_sc_controller query NAME                   state=4 controls=7 checkpoint=0 waithint=5000 exit=0 pid=42
//   vbx_sc_controller start NAME                   ok
//   vbx_sc_controller control NAME CODE            (the status the manager returns, as query)
//   vbx_sc_controller wait NAME STATE TIMEOUT_MS   (the last status; exit 1 when not reached)
//   vbx_sc_controller config NAME                  type=16 start=2 error=1 tag=0 account=LocalSystem ...
//   vbx_sc_controller starttype NAME TYPE          (nothing; the start type changed: 2 auto, 3 demand, 4 disabled)
//   vbx_sc_controller text CODE                    the system's text for an error code, as the program trims it
//   vbx_sc_controller description NAME            [the service's description]
//   vbx_sc_controller recovery NAME               reset=86400 actions=1/60000,1/60000
//   vbx_sc_controller eventsource SOURCE          file=[C:\x\VBxMorvel.exe] type=2 types=7
//   vbx_sc_controller version FILE                fixed=1.0.0.0 ProductName=[...] ProductVersion=[...] ...
//   vbx_sc_controller message FILE ID [TEXT...]   [the message ID of FILE's table with the TEXTs inserted]
//   vbx_sc_controller desktop TIMEOUT_MS           ready after 12 ms (once a message-only window can be made)
//
// A failed call prints "error=<Windows error code>" and exits with status 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "platform/win32/service_control.h"
#include "runtime/codepage.h"
#include "text/strings.h"

namespace {

using platform::ScHandle;
using platform::ServiceStatus;

int Fail() {
    std::printf("error=%u\n", static_cast<unsigned>(platform::GetLastError()));
    return 1;
}

// A command's one line when its call succeeded, else the call's error.
int Reply(bool ok, const std::string& line) {
    if (!ok) return Fail();
    std::printf("%s\n", line.c_str());
    return 0;
}

template <typename... Values>
std::string Format(const char* format, Values... values) {
    char line[4096];
    std::snprintf(line, sizeof line, format, values...);
    return line;
}

std::string StatusLine(const ServiceStatus& s, std::uint32_t pid) {
    return Format("state=%u controls=%u checkpoint=%u waithint=%u exit=%u pid=%u", s.dwCurrentState,
                  s.dwControlsAccepted, s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode, pid);
}

std::string Utf8(const std::u16string& text) { return txt::ToUtf8(text); }

// The command's argument at `index` as a number; 0 when it is missing.
std::uint32_t Number(const std::vector<std::u16string>& args, std::size_t index) {
    return index < args.size() ? static_cast<std::uint32_t>(txt::ToInteger(args[index])) : 0;
}

// Waits until Wine's desktop is whole. Wine makes it while the first programs of a session
// start; a thread that asks for it half made keeps a desktop without the parent of
// message-only windows, and every hidden window it creates fails (without an error
// number). Each attempt therefore runs on a thread of its own.
int WaitForDesktop(std::chrono::milliseconds limit) {
    const std::u16string className = u"VBxDesktopProbe";
    if (!platform::IsWindowClassRegistered(className) && !platform::RegisterWindowClass(className)) return Fail();
    const auto start = std::chrono::steady_clock::now();
    for (int attempt = 1;; ++attempt) {
        platform::WindowHandle window = 0;
        std::thread([&] {
            window = platform::CreateHiddenWindow(className);
            if (window != 0) platform::DestroyWindow(window);
        }).join();
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (window != 0) {
            std::printf("ready after %lld ms, attempt %d\n", static_cast<long long>(waited.count()), attempt);
            return 0;
        }
        if (waited >= limit) {
            std::printf("no desktop after %lld ms\n", static_cast<long long>(waited.count()));
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The commands on an opened service.
int ServiceCommand(const std::u16string& command, ScHandle service, const std::vector<std::u16string>& args) {
    namespace win32 = platform::win32;
    ServiceStatus status;
    std::uint32_t pid = 0;
    if (command == u"query") {
        const bool ok = win32::QueryServiceStatusEx(service, status, pid);
        return Reply(ok, StatusLine(status, pid));
    }
    if (command == u"start") return Reply(win32::StartService(service), "ok");
    if (command == u"control") {
        const bool ok = win32::ControlService(service, Number(args, 2), status);
        return Reply(ok, StatusLine(status, 0));
    }
    if (command == u"wait") {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Number(args, 3));
        // The manager offers no notification here, so its state is polled.
        for (;;) {
            if (!win32::QueryServiceStatusEx(service, status, pid)) return Fail();
            if (status.dwCurrentState == Number(args, 2) || std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::printf("%s\n", StatusLine(status, pid).c_str());
        return status.dwCurrentState == Number(args, 2) ? 0 : 1;
    }
    if (command == u"config") {
        win32::ServiceConfig c;
        const bool ok = win32::QueryServiceConfig(service, c);
        std::u16string deps = c.dependencies;
        std::replace(deps.begin(), deps.end(), u'\0', u'|');
        return Reply(ok, Format("type=%u start=%u error=%u tag=%u group=[%s] deps=[%s] account=[%s] display=[%s] "
                                "path=[%s]",
                                c.serviceType, c.startType, c.errorControl, c.tagId, Utf8(c.loadOrderGroup).c_str(),
                                Utf8(deps).c_str(), Utf8(c.serviceStartName).c_str(), Utf8(c.displayName).c_str(),
                                Utf8(c.binaryPathName).c_str()));
    }
    if (command == u"starttype") return win32::ChangeServiceStartType(service, Number(args, 2)) ? 0 : Fail();
    if (command == u"description") {
        std::u16string description;
        const bool ok = win32::QueryServiceDescription(service, description);
        return Reply(ok, "[" + Utf8(description) + "]");
    }
    if (command == u"recovery") {
        platform::ServiceFailureActions actions;
        const bool ok = win32::QueryServiceFailureActions(service, actions);
        std::string list;
        for (const platform::ScAction& action : actions.actions) {
            list += (list.empty() ? "" : ",") + std::to_string(action.type) + "/" + std::to_string(action.delayMs);
        }
        return Reply(ok, Format("reset=%u actions=%s", actions.resetPeriodSeconds, list.c_str()));
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}

int Run(const std::vector<std::u16string>& args) {
    namespace win32 = platform::win32;
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: vbx_sc_controller COMMAND ARGUMENT [...] (commands: sc_controller.cpp)\n");
        return 2;
    }
    const std::u16string& command = args[0];
    const std::u16string& name = args[1];
    if (command == u"desktop") return WaitForDesktop(std::chrono::milliseconds(Number(args, 1)));
    if (command == u"text") return Reply(true, Utf8(platform::SystemErrorText(Number(args, 1))));
    if (command == u"eventsource") {
        win32::EventSourceRegistration r;
        const bool ok = win32::QueryEventSource(name, r);
        return Reply(
            ok, Format("file=[%s] type=%u types=%u", Utf8(r.messageFile).c_str(), r.messageFileType, r.typesSupported));
    }
    if (command == u"version") {
        std::u16string fixed, value;
        bool ok = win32::QueryFixedFileVersion(name, fixed);
        std::string line = "fixed=" + Utf8(fixed);
        for (const std::u16string key : {u"ProductName", u"ProductVersion", u"FileVersion", u"FileDescription"}) {
            ok = ok && win32::QueryVersionString(name, key, value);
            line += " " + Utf8(key) + "=[" + Utf8(value) + "]";
        }
        return Reply(ok, line);
    }
    if (command == u"message") {
        std::u16string text;
        const bool ok =
            args.size() >= 3 && win32::FormatModuleMessage(name, Number(args, 2), {args.begin() + 3, args.end()}, text);
        return Reply(ok, "[" + Utf8(text) + "]");
    }
    const ScHandle manager = platform::OpenSCManager(platform::kScManagerAllAccess);
    if (manager == 0) return Fail();
    const ScHandle service = platform::OpenService(manager, name, platform::kServiceAllAccess);
    const int status = service == 0 ? Fail() : ServiceCommand(command, service, args);
    if (service != 0) platform::CloseServiceHandle(service);
    platform::CloseServiceHandle(manager);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(runtime::FromAnsi(argv[i]));
    const int status = Run(args);
    std::fflush(stdout);
    return status;
}
