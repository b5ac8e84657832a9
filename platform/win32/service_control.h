#pragma once
// The controlling side of the Windows service control manager: what a tool that starts,
// controls and inspects an installed service needs beyond platform/service_manager.h.
// Windows only; every call maps onto the advapi32 call it is named after, and a failure
// leaves its Windows error code for platform::GetLastError.
//
// Threading contract: any thread; handles are not shared between threads by these calls.
#include <cstdint>
#include <string>

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

}  // namespace platform::win32
