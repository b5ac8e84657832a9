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

void PrintStatus(const ServiceStatus& s, std::uint32_t pid) {
    std::printf("state=%u controls=%u checkpoint=%u waithint=%u exit=%u pid=%u\n", s.dwCurrentState,
                s.dwControlsAccepted, s.dwCheckPoint, s.dwWaitHint, s.dwWin32ExitCode, pid);
}

// Closes the manager and service handles when the command ends.
class Handles {
public:
    ~Handles() {
        if (service != 0) platform::CloseServiceHandle(service);
        if (manager != 0) platform::CloseServiceHandle(manager);
    }
    ScHandle manager = 0;
    ScHandle service = 0;
};

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

int Run(const std::vector<std::u16string>& args) {
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: vbx_sc_controller COMMAND ARGUMENT [...] (commands: sc_controller.cpp)\n");
        return 2;
    }
    const std::u16string& command = args[0];
    if (command == u"desktop") return WaitForDesktop(std::chrono::milliseconds(txt::ToInteger(args[1])));
    if (command == u"text") {
        const auto code = static_cast<std::uint32_t>(txt::ToInteger(args[1]));
        std::printf("%s\n", txt::ToUtf8(platform::SystemErrorText(code)).c_str());
        return 0;
    }
    if (command == u"eventsource") {
        platform::win32::EventSourceRegistration r;
        if (!platform::win32::QueryEventSource(args[1], r)) return Fail();
        std::printf("file=[%s] type=%u types=%u\n", txt::ToUtf8(r.messageFile).c_str(), r.messageFileType,
                    r.typesSupported);
        return 0;
    }
    if (command == u"version") {
        std::u16string fixed;
        if (!platform::win32::QueryFixedFileVersion(args[1], fixed)) return Fail();
        std::string line = "fixed=" + txt::ToUtf8(fixed);
        for (const std::u16string name : {u"ProductName", u"ProductVersion", u"FileVersion", u"FileDescription"}) {
            std::u16string value;
            if (!platform::win32::QueryVersionString(args[1], name, value)) return Fail();
            line += " " + txt::ToUtf8(name) + "=[" + txt::ToUtf8(value) + "]";
        }
        std::printf("%s\n", line.c_str());
        return 0;
    }
    if (command == u"message" && args.size() >= 3) {
        const auto id = static_cast<std::uint32_t>(txt::ToInteger(args[2]));
        std::u16string text;
        if (!platform::win32::FormatModuleMessage(args[1], id, {args.begin() + 3, args.end()}, text)) return Fail();
        std::printf("[%s]\n", txt::ToUtf8(text).c_str());
        return 0;
    }
    Handles h;
    h.manager = platform::OpenSCManager(platform::kScManagerAllAccess);
    if (h.manager == 0) return Fail();
    h.service = platform::OpenService(h.manager, args[1], platform::kServiceAllAccess);
    if (h.service == 0) return Fail();

    ServiceStatus status;
    std::uint32_t pid = 0;
    if (command == u"query") {
        if (!platform::win32::QueryServiceStatusEx(h.service, status, pid)) return Fail();
        PrintStatus(status, pid);
        return 0;
    }
    if (command == u"start") {
        if (!platform::win32::StartService(h.service)) return Fail();
        std::printf("ok\n");
        return 0;
    }
    if (command == u"control" && args.size() >= 3) {
        const auto code = static_cast<std::uint32_t>(txt::ToInteger(args[2]));
        if (!platform::win32::ControlService(h.service, code, status)) return Fail();
        PrintStatus(status, 0);
        return 0;
    }
    if (command == u"wait" && args.size() >= 4) {
        const auto wanted = static_cast<std::uint32_t>(txt::ToInteger(args[2]));
        const auto limit = std::chrono::milliseconds(txt::ToInteger(args[3]));
        const auto deadline = std::chrono::steady_clock::now() + limit;
        // The manager offers no notification here, so its state is polled.
        for (;;) {
            if (!platform::win32::QueryServiceStatusEx(h.service, status, pid)) return Fail();
            if (status.dwCurrentState == wanted || std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        PrintStatus(status, pid);
        return status.dwCurrentState == wanted ? 0 : 1;
    }
    if (command == u"config") {
        platform::win32::ServiceConfig c;
        if (!platform::win32::QueryServiceConfig(h.service, c)) return Fail();
        std::u16string deps = c.dependencies;
        std::replace(deps.begin(), deps.end(), u'\0', u'|');
        std::printf("type=%u start=%u error=%u tag=%u group=[%s] deps=[%s] account=[%s] display=[%s] path=[%s]\n",
                    c.serviceType, c.startType, c.errorControl, c.tagId, txt::ToUtf8(c.loadOrderGroup).c_str(),
                    txt::ToUtf8(deps).c_str(), txt::ToUtf8(c.serviceStartName).c_str(),
                    txt::ToUtf8(c.displayName).c_str(), txt::ToUtf8(c.binaryPathName).c_str());
        return 0;
    }
    if (command == u"starttype" && args.size() >= 3) {
        const auto type = static_cast<std::uint32_t>(txt::ToInteger(args[2]));
        return platform::win32::ChangeServiceStartType(h.service, type) ? 0 : Fail();
    }
    if (command == u"description") {
        std::u16string description;
        if (!platform::win32::QueryServiceDescription(h.service, description)) return Fail();
        std::printf("[%s]\n", txt::ToUtf8(description).c_str());
        return 0;
    }
    if (command == u"recovery") {
        platform::ServiceFailureActions actions;
        if (!platform::win32::QueryServiceFailureActions(h.service, actions)) return Fail();
        std::string list;
        for (const platform::ScAction& action : actions.actions) {
            list += (list.empty() ? "" : ",") + std::to_string(action.type) + "/" + std::to_string(action.delayMs);
        }
        std::printf("reset=%u actions=%s\n", actions.resetPeriodSeconds, list.c_str());
        return 0;
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(runtime::FromAnsi(argv[i]));
    const int status = Run(args);
    std::fflush(stdout);
    return status;
}
