// VBxMorvel: the collector as a service. INSTALL and UNINSTALL register and remove it,
// CONFIGURE writes a first configuration, STATUS answers a monitoring agent, CONSOLE runs
// it in the foreground, anything else runs it under the service manager.
#include <string>
#include <string_view>
#include <vector>

#include "app/brivon_service.h"
#include "collector/commands.h"
#include "collector/metrics.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "service_host/service_application.h"
#include "text/strings.h"
#include "timers/application_errors.h"

namespace {

bool IsSwitch(std::u16string_view argument) {
    return !argument.empty() && (argument[0] == u'-' || argument[0] == u'/');
}

bool HasSwitch(const std::vector<std::u16string>& arguments, std::u16string_view name) {
    for (const std::u16string& argument : arguments) {
        if (IsSwitch(argument) && txt::SameText(std::u16string_view(argument).substr(1), name)) return true;
    }
    return false;
}

// CONFIGURE and STATUS, which come after INSTALL and UNINSTALL and before CONSOLE, run
// without the service object: they only read (STATUS) or write one file (CONFIGURE).
// Their arguments are the ones that are no switch. -1 when neither was asked for.
int RunFleetSwitch(const std::vector<std::u16string>& arguments) {
    if (HasSwitch(arguments, u"INSTALL") || HasSwitch(arguments, u"UNINSTALL")) return -1;
    const bool configure = HasSwitch(arguments, u"CONFIGURE");
    if (!configure && !HasSwitch(arguments, u"STATUS")) return -1;
    std::vector<std::u16string> values;
    for (const std::u16string& argument : arguments) {
        if (!IsSwitch(argument)) values.push_back(argument);
    }
    const std::u16string base = runtime::ExtractFilePath(runtime::ModuleFileName());
    const collector::CommandResult result =
        configure ? collector::ConfigureCommand(base, values)
                  : collector::StatusCommand(base, values, collector::SystemEpochSeconds());
    platform::PrintLine(result.line, result.error);
    return result.exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
    // The control signals wait for the dispatcher from the first moment on, so a stop that
    // comes while the program is still starting is held rather than ending the process.
    platform::PrepareServiceDispatcher();
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) {
#ifdef _WIN32
        arguments.push_back(runtime::FromAnsi(argv[i]));
#else
        arguments.push_back(txt::FromUtf8(argv[i]));
#endif
    }
    if (const int status = RunFleetSwitch(arguments); status >= 0) return status;
    // Errors escaping a timer handler go to the application's error handling.
    timers::SetApplicationErrorHandler([](void* sender, const std::exception& error) {
        if (service_host::TServiceApplication* application = service_host::Application.load()) {
            application->HandleException(sender, error);
        }
    });
    const int status = service_host::RunProgram(std::move(arguments), &app::CreateBrivonService, app::BrivonMorvel);
    timers::SetApplicationErrorHandler({});
    return status;
}
