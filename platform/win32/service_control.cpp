// The controlling side of the service control manager (advapi32), for tools and tests.
#include "platform/win32/service_control.h"

#include <vector>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

SC_HANDLE ToSc(ScHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }

std::u16string Text(const wchar_t* text) {
    return text != nullptr ? FromWide(text, std::char_traits<wchar_t>::length(text)) : std::u16string();
}

// A zero-separated list ends at the first empty entry.
std::u16string MultiText(const wchar_t* list) {
    std::u16string out;
    if (list == nullptr) {
        return out;
    }
    while (*list != L'\0') {
        const std::size_t length = std::char_traits<wchar_t>::length(list);
        out += FromWide(list, length);
        out += u'\0';
        list += length + 1;
    }
    return out;
}

// SERVICE_STATUS and SERVICE_STATUS_PROCESS begin with the same seven fields.
template <typename NativeStatus>
void FromNative(const NativeStatus& native, ServiceStatus& status) {
    status.dwServiceType = native.dwServiceType;
    status.dwCurrentState = native.dwCurrentState;
    status.dwControlsAccepted = native.dwControlsAccepted;
    status.dwWin32ExitCode = native.dwWin32ExitCode;
    status.dwServiceSpecificExitCode = native.dwServiceSpecificExitCode;
    status.dwCheckPoint = native.dwCheckPoint;
    status.dwWaitHint = native.dwWaitHint;
}

}  // namespace

bool StartService(ScHandle service) { return ::StartServiceW(ToSc(service), 0, nullptr) != 0; }

bool ControlService(ScHandle service, std::uint32_t control, ServiceStatus& status) {
    SERVICE_STATUS native{};
    const bool sent = ::ControlService(ToSc(service), control, &native) != 0;
    const DWORD error = ::GetLastError();
    // The manager fills the status also for some refusals (a control the state does not
    // accept), so it is passed on either way.
    FromNative(native, status);
    ::SetLastError(error);
    return sent;
}

bool QueryServiceStatusEx(ScHandle service, ServiceStatus& status, std::uint32_t& processId) {
    SERVICE_STATUS_PROCESS native{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(ToSc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&native), sizeof native,
                                &needed)) {
        return false;
    }
    FromNative(native, status);
    processId = native.dwProcessId;
    return true;
}

bool QueryServiceConfig(ScHandle service, ServiceConfig& config) {
    DWORD needed = 0;
    ::QueryServiceConfigW(ToSc(service), nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    // QUERY_SERVICE_CONFIGW is followed by its strings in the same block.
    std::vector<std::uint64_t> block((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* native = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block.data());
    if (!::QueryServiceConfigW(ToSc(service), native, static_cast<DWORD>(block.size() * sizeof(std::uint64_t)),
                               &needed)) {
        return false;
    }
    config.serviceType = native->dwServiceType;
    config.startType = native->dwStartType;
    config.errorControl = native->dwErrorControl;
    config.binaryPathName = Text(native->lpBinaryPathName);
    config.loadOrderGroup = Text(native->lpLoadOrderGroup);
    config.tagId = native->dwTagId;
    config.dependencies = MultiText(native->lpDependencies);
    config.serviceStartName = Text(native->lpServiceStartName);
    config.displayName = Text(native->lpDisplayName);
    return true;
}

}  // namespace platform::win32
