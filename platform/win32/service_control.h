#pragma once
// The controlling side of the Windows service control manager: what a tool that starts,
// controls and inspects an installed service needs beyond platform/service_manager.h, and
// what it reads of the rest of an installation (the event source's registration, the
// executable's version resource and message table).
// Windows only; every call maps onto the advapi32 call it is named after, and a failure
// leaves its Windows error code for platform::GetLastError.
//
// Threading contract: any thread; handles are not shared between threads by these calls.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace platform::win32 {

// StartServiceW without arguments.
bool StartService(ScHandle service);
// ControlService: sends the control code; `status` receives the service's latest status.
bool ControlService(ScHandle service, std::uint32_t control, ServiceStatus& status);
// QueryServiceStatusEx(SC_STATUS_PROCESS_INFO): the status and the service's process id.
bool QueryServiceStatusEx(ScHandle service, ServiceStatus& status, std::uint32_t& processId);

// QueryServiceConfigW.
struct ServiceConfig {
    std::uint32_t serviceType = 0;
    std::uint32_t startType = 0;
    std::uint32_t errorControl = 0;
    std::u16string binaryPathName;
    std::u16string loadOrderGroup;
    std::uint32_t tagId = 0;
    std::u16string dependencies;  // zero-separated, as the manager keeps them
    std::u16string serviceStartName;
    std::u16string displayName;
};
bool QueryServiceConfig(ScHandle service, ServiceConfig& config);
// ChangeServiceConfigW with the start type only (SERVICE_NO_CHANGE for everything else).
bool ChangeServiceStartType(ScHandle service, std::uint32_t startType);

// QueryServiceConfig2W(SERVICE_CONFIG_DESCRIPTION): empty when the service has none.
bool QueryServiceDescription(ScHandle service, std::u16string& description);
// QueryServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS).
bool QueryServiceFailureActions(ScHandle service, ServiceFailureActions& actions);

// The registration of an event source under the Application log (RegOpenKeyExW,
// RegQueryValueExW): its EventMessageFile (with the registry type the value has) and
// TypesSupported. False with error 2 when the source is not registered.
struct EventSourceRegistration {
    std::u16string messageFile;
    std::uint32_t messageFileType = 0;  // REG_SZ 1, REG_EXPAND_SZ 2
    std::uint32_t typesSupported = 0;
};
bool QueryEventSource(const std::u16string& sourceName, EventSourceRegistration& registration);

// GetFileVersionInfoW and VerQueryValueW: one value of the file's version resource in its
// first language ("ProductName", "FileVersion", ...), and the fixed file version as
// "a.b.c.d".
bool QueryVersionString(const std::u16string& file, const std::u16string& name, std::u16string& value);
bool QueryFixedFileVersion(const std::u16string& file, std::u16string& version);

// FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY) with the
// message table of `file`, loaded as a data file (LoadLibraryExW): the message `id` with
// `arguments` as its insertion strings, in the neutral language.
bool FormatModuleMessage(const std::u16string& file, std::uint32_t id, const std::vector<std::u16string>& arguments,
                         std::u16string& text);

}  // namespace platform::win32
