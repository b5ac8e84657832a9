// VBxMorvel: the collector as a service. INSTALL and UNINSTALL register and remove it,
// CONSOLE runs it in the foreground, anything else runs it under the service manager.
#include <string>
#include <vector>

#include "app/brivon_service.h"
#include "platform/service_manager.h"
#include "runtime/codepage.h"
#include "service_host/service_application.h"
#include "text/strings.h"
#include "timers/application_errors.h"

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
