#include "service_host/service_application.h"

#include "platform/system.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "service_host/watchdog.h"
#include "text/strings.h"

namespace service_host {

std::atomic<TServiceApplication*> Application{nullptr};

namespace {

constexpr std::uint16_t kErrorType = 1;
constexpr std::uint16_t kInformationType = 4;

// A message box where a user can see it and dismiss it; elsewhere (a service, an
// installer's custom action) nobody could, and the box would hold the process for ever,
// so its text goes to the event log under the logger's source instead.
void ShowBox(ServiceManagerApi& manager, bool visible, TEventLogger& logger, const std::u16string& text,
             const std::u16string& caption, platform::MessageBoxIcon icon) {
    if (visible) {
        manager.ShowMessageBox(text, caption, icon);
        return;
    }
    logger.WriteEvent(text, icon == platform::MessageBoxIcon::Information ? kInformationType : kErrorType, 0, 0);
}

// The application's hidden window: it consumes the log-off notification and leaves every
// other message to the default handling.
class ApplicationWindow final : public platform::WindowProcedure {
public:
    std::intptr_t WindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                             std::intptr_t lParam) override {
        if (TServiceApplication::LogoffFilter(platform::Message{window, message, wParam, lParam})) return 0;
        return platform::DefWindowProc(window, message, wParam, lParam);
    }
};

constexpr char16_t kApplicationWindowClass[] = u"TApplication";

// Closes a manager or service handle when the operation that opened it ends.
class ScopedScHandle {
public:
    ScopedScHandle(ServiceManagerApi& manager, platform::ScHandle handle) : manager_(manager), handle_(handle) {}
    ~ScopedScHandle() {
        if (handle_ != 0) manager_.CloseServiceHandle(handle_);
    }
    ScopedScHandle(const ScopedScHandle&) = delete;
    ScopedScHandle& operator=(const ScopedScHandle&) = delete;
    platform::ScHandle Get() const { return handle_; }

private:
    ServiceManagerApi& manager_;
    platform::ScHandle handle_;
};

std::u16string DisplayNameOf(const TService& service) {
    return service.DisplayName.empty() ? service.Name : service.DisplayName;
}

}  // namespace

// ---- TServiceStartThread ------------------------------------------------------------

TServiceStartThread::TServiceStartThread(DispatchTable table, ServiceManagerApi& manager, platform::ThreadId mainThread)
    : table_(std::move(table)), manager_(manager), mainThread_(mainThread) {
    thread_ = std::thread([this] {
        Execute();
        DoTerminate();
    });
}

TServiceStartThread::~TServiceStartThread() { WaitFor(); }

void TServiceStartThread::WaitFor() {
    if (thread_.joinable()) thread_.join();
}

void TServiceStartThread::Execute() {
    const bool ok = manager_.StartServiceCtrlDispatcher(table_);
    returnCode_.store(ok ? 0 : manager_.GetLastError());
}

void TServiceStartThread::DoTerminate() {
    // The dispatcher's end, either way, ends the main loop.
    platform::PostReservedThreadMessage(mainThread_, platform::kWmQuit, 0, 0);
}

// ---- TServiceApplication ------------------------------------------------------------

TServiceApplication::TServiceApplication(std::vector<std::u16string> arguments, ServiceManagerApi& manager,
                                         EventLogApi& eventLog)
    : arguments_(std::move(arguments)),
      manager_(manager),
      eventLog_(eventLog),
      logger_(runtime::ExtractFileName(platform::ModuleFileName()), eventLog) {
    if (platform::IsWindowClassRegistered(kApplicationWindowClass) ||
        platform::RegisterWindowClass(kApplicationWindowClass)) {
        window_ = platform::CreateHiddenWindow(kApplicationWindowClass);
        if (window_ != 0) {
            windowProcedure_ = std::make_unique<ApplicationWindow>();
            platform::SetWindowHandler(window_, windowProcedure_.get());
        }
    }
}

TServiceApplication::~TServiceApplication() {
    services_.clear();
    if (window_ != 0) {
        platform::SetWindowHandler(window_, nullptr);
        platform::DestroyWindow(window_);
    }
}

void TServiceApplication::InitializeOnce() {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread");
    if (initialized_) return;
    initialized_ = true;
    // The application's one-time initialisation starts COM for the main thread.
    platform::CoInitialize();
}

void TServiceApplication::CreateServiceObject(const ServiceFactory& factory, TService*& reference) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread");
    try {
        std::unique_ptr<TService> service = factory(*this);
        reference = service.get();
        services_.push_back(std::move(service));
    } catch (...) {
        reference = nullptr;
        throw;
    }
}

bool TServiceApplication::HasSwitch(std::u16string_view name) const {
    for (const std::u16string& argument : arguments_) {
        if (argument.empty() || (argument[0] != u'-' && argument[0] != u'/')) continue;
        if (txt::SameText(std::u16string_view(argument).substr(1), name)) return true;
    }
    return false;
}

void TServiceApplication::RunHost() {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread");
    if (HasSwitch(u"INSTALL")) {
        RegisterWithManager(true, HasSwitch(u"SILENT"));
        return;
    }
    if (HasSwitch(u"UNINSTALL")) {
        RegisterWithManager(false, HasSwitch(u"SILENT"));
        return;
    }
    manager_.PrepareServiceDispatcher(HasSwitch(u"CONSOLE"));
    RunServices();
}

DispatchTable TServiceApplication::BuildDispatchTable() const {
    DispatchTable table;
    table.reserve(services_.size() + 1);
    for (const auto& service : services_) table.push_back({service->Name, &TServiceApplication::ServiceMainEntry});
    table.push_back({});
    return table;
}

void TServiceApplication::RunServices() {
    platform::EnsureMessageQueue();
    // The manager's watchdog, when it keeps one over this process, is fed from this loop
    // for the service it starts (the table's first). Made before the control thread, which
    // then keeps a heartbeat window; it ends after the dispatcher has.
    std::unique_ptr<TServiceWatchdog> watchdog;
    if (!services_.empty()) {
        watchdog = std::make_unique<TServiceWatchdog>(
            *services_.front(), [this] { return manager_.NotifyServiceWatchdog(); },
            manager_.ServiceWatchdogTimeoutUsec());
        watchdog->Start();
    }
    TServiceStartThread startThread(BuildDispatchTable(), manager_, platform::CurrentThreadId());

    platform::Message msg;
    while (platform::GetMessage(msg)) {
        try {
            platform::DispatchMessage(msg);
        } catch (const std::exception& error) {
            HandleException(nullptr, error);
        }
    }

    startThread.WaitFor();
    if (const std::uint32_t code = startThread.ReturnCode(); code != 0) {
        logger_.WriteEvent(platform::SystemErrorText(code), kErrorType, 0, 0);
    }
    // A start that failed is a failure of the process too, as its stopped report says.
    for (const auto& service : services_) {
        if (service->StartFailed()) exitStatus_ = 1;
    }
}

void TServiceApplication::RegisterWithManager(bool install, bool silent) {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread");
    const platform::ScHandle opened = manager_.OpenSCManager(platform::kScManagerAllAccess);
    if (opened == 0) runtime::RaiseLastOSError(manager_.GetLastError());
    ScopedScHandle scm(manager_, opened);

    // Every failure, of the registration itself or of a step after it, gets the failure box
    // and takes away the success box; where a user sees the box, it is the report and the
    // exit status stays 0. Where nobody sees it (an installer's custom action) the boxes
    // go to the event log, and with SILENT nobody looked for one: a failure then ends with
    // status 1, so that the caller learns of it. A step that fails after the service was registered or removed does not undo
    // that: the service runs without its description, recovery or event message file,
    // which the operator can add by installing again after removing it.
    const bool visible = manager_.WindowStationVisible();
    bool success = true;
    for (const auto& service : services_) {
        const auto showFailure = [&](const std::exception& error) {
            success = false;
            const char16_t* pattern = install ? u"Service \"%s\" failed to install with error: \"%s\""
                                              : u"Service \"%s\" failed to uninstall with error: \"%s\"";
            ShowBox(manager_, visible, logger_,
                    txt::FormatS(pattern, {DisplayNameOf(*service), runtime::MessageOf(error)}), u"Error",
                    platform::MessageBoxIcon::Error);
        };
        try {
            if (install) {
                InstallOneService(*service, scm.Get(), showFailure);
            } else {
                UninstallOneService(*service, scm.Get(), showFailure);
            }
        } catch (const std::exception& error) {
            showFailure(error);
        }
    }
    if (success && !silent) {
        ShowBox(manager_, visible, logger_,
                install ? u"Service installed successfully" : u"Service uninstalled successfully", u"Information",
                platform::MessageBoxIcon::Information);
    }
    if (!success && (!visible || silent)) exitStatus_ = 1;
}

std::vector<std::u16string> TServiceApplication::EventSourcesOf(const TService& service) const {
    std::vector<std::u16string> sources{service.Name};
    if (!txt::SameText(logger_.SourceName(), service.Name)) sources.push_back(logger_.SourceName());
    return sources;
}

void TServiceApplication::InstallOneService(TService& service, platform::ScHandle manager,
                                            const StepFailed& stepFailed) {
    const std::u16string path = platform::ModuleFileName();
    if (service.BeforeInstall) service.BeforeInstall(service);
    std::uint32_t tag = service.TagID;
    const std::u16string account = service.ServiceStartName();
    const platform::ScHandle created = manager_.CreateService(
        manager, service.Name, DisplayNameOf(service), platform::kServiceAllAccess, service.PlatformServiceType(),
        service.PlatformStartType(), service.PlatformErrorControl(), path, service.LoadGroup, tag > 0 ? &tag : nullptr,
        service.DependencyList(), account.empty() ? nullptr : &account, service.Password());
    const std::uint32_t code = created == 0 ? manager_.GetLastError() : 0;
    service.TagID = tag;
    if (created == 0) runtime::RaiseLastOSError(code);
    ScopedScHandle handle(manager_, created);
    try {
        if (service.AfterInstall) service.AfterInstall(service);
    } catch (...) {
        // A service whose preparation failed is not left registered.
        manager_.DeleteService(handle.Get());
        throw;
    }

    // The registration stands from here on; each further step is tried and reported alone.
    if (!service.Description.empty() && !manager_.ChangeServiceDescription(handle.Get(), service.Description)) {
        stepFailed(runtime::MakeOSError(manager_.GetLastError()));
    }
    if (!service.FailureActions.actions.empty()) {
        if (!manager_.ChangeServiceFailureActions(handle.Get(), service.FailureActions)) {
            stepFailed(runtime::MakeOSError(manager_.GetLastError()));
        } else if (!manager_.ChangeServiceFailureActionsFlag(handle.Get(), true)) {
            // The actions also apply to a stop with an error code (a failed start). A
            // manager that does not know this setting (124) still restarts a process that
            // ends without reporting stopped: no failure.
            if (const std::uint32_t code = manager_.GetLastError(); code != platform::kErrorInvalidLevel) {
                stepFailed(runtime::MakeOSError(code));
            }
        }
    }
    for (const std::u16string& source : EventSourcesOf(service)) {
        if (const std::uint32_t failed = eventLog_.InstallEventSource(source, path); failed != 0) {
            stepFailed(runtime::MakeOSError(failed));
        }
    }
}

void TServiceApplication::UninstallOneService(TService& service, platform::ScHandle manager,
                                              const StepFailed& stepFailed) {
    if (service.BeforeUninstall) service.BeforeUninstall(service);
    const platform::ScHandle opened = manager_.OpenService(manager, service.Name, platform::kServiceAllAccess);
    if (opened == 0) runtime::RaiseLastOSError(manager_.GetLastError());
    {
        ScopedScHandle handle(manager_, opened);
        if (!manager_.DeleteService(handle.Get())) {
            const std::uint32_t code = manager_.GetLastError();
            // A registration that is not the program's to remove (one a package owns) says
            // whose it is.
            const std::u16string refusal = manager_.DeleteServiceRefusal(handle.Get());
            if (!refusal.empty()) throw runtime::EOSError(refusal, code);
            runtime::RaiseLastOSError(code);
        }
    }
    // The service is gone; its event sources go with it, each failure reported alone.
    for (const std::u16string& source : EventSourcesOf(service)) {
        if (const std::uint32_t failed = eventLog_.RemoveEventSource(source); failed != 0) {
            stepFailed(runtime::MakeOSError(failed));
        }
    }
    if (service.AfterUninstall) service.AfterUninstall(service);
}

void TServiceApplication::RouteServiceMain(std::uint32_t argc, char16_t** argv) {
    VBX_EXPECT_OWNER_THREAD(serviceMainThread_, "the service-main thread");
    if (argc == 0 || argv == nullptr || argv[0] == nullptr) return;
    const std::u16string_view name(argv[0]);
    for (const auto& service : services_) {
        if (txt::SameText(name, service->Name)) {
            service->EnterServiceMain(argc, argv);
            return;
        }
    }
}

void TServiceApplication::ServiceMainEntry(std::uint32_t argc, char16_t** argv) {
    if (TServiceApplication* application = Application.load()) application->RouteServiceMain(argc, argv);
}

void TServiceApplication::HandleException(void* sender, const std::exception& error) noexcept {
    // The silent-abort error ends an operation without telling anyone.
    if (dynamic_cast<const runtime::EAbort*>(&error) != nullptr) return;
    LogHostException(sender, error);
}

void TServiceApplication::LogHostException(void* /*sender*/, const std::exception& error) noexcept {
    try {
        logger_.WriteEvent(runtime::MessageOf(error), kErrorType, 0, 0);
    } catch (...) {
        // Building the text ran out of memory; the error handler itself must never fail.
    }
}

bool TServiceApplication::LogoffFilter(const platform::Message& msg) { return msg.message == platform::kWmEndSession; }

void TServiceApplication::DestroyHostObjects() {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread");
    services_.clear();
}

// ---- program ------------------------------------------------------------------------

std::u16string LastChanceText(const std::exception& error, const std::u16string& moduleName) {
    const auto* exception = dynamic_cast<const runtime::Exception*>(&error);
    const std::u16string className = txt::FromUtf8(exception != nullptr ? exception->ClassName() : "Exception");
    const std::u16string message = runtime::MessageOf(error);
    std::u16string text = u"Exception " + className + u" in module " + moduleName + u" at " + std::u16string(16, u'0') +
                          u".\r\n" + message;
    if (message.empty() || message.back() != u'.') text += u'.';
    text += u"\r\n";
    return text;
}

int RunProgram(std::vector<std::u16string> arguments, const ServiceFactory& factory, TService*& serviceReference,
               ServiceManagerApi& manager, EventLogApi& eventLog) {
    std::unique_ptr<TServiceApplication> application;
    int exitStatus = 0;
    try {
        application = std::make_unique<TServiceApplication>(std::move(arguments), manager, eventLog);
        Application.store(application.get());
        application->InitializeOnce();
        application->CreateServiceObject(factory, serviceReference);
        application->RunHost();
        exitStatus = application->ExitStatus();
    } catch (const std::exception& error) {
        // The last-chance report: nothing on the way caught the error. Its entry, where no
        // box can be seen, goes under the executable's file name like the host's errors.
        const std::u16string moduleName = runtime::ExtractFileName(platform::ModuleFileName());
        TEventLogger logger(moduleName, eventLog);
        ShowBox(manager, manager.WindowStationVisible(), logger, LastChanceText(error, moduleName),
                u"Application Error", platform::MessageBoxIcon::Error);
        exitStatus = 1;
    }
    // Exit procedure, then the application object itself.
    serviceReference = nullptr;
    if (application) application->DestroyHostObjects();
    Application.store(nullptr);
    application.reset();
    return exitStatus;
}

}  // namespace service_host
