// The controlling side of the service control manager (advapi32), for tools and tests.
#include "platform/win32/service_control.h"

#include <cwchar>
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

bool ChangeServiceStartType(ScHandle service, std::uint32_t startType) {
    return ::ChangeServiceConfigW(ToSc(service), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
}

bool QueryServiceDescription(ScHandle service, std::u16string& description) {
    DWORD needed = 0;
    ::QueryServiceConfig2W(ToSc(service), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    std::vector<std::uint64_t> block((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (!::QueryServiceConfig2W(ToSc(service), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<LPBYTE>(block.data()),
                                static_cast<DWORD>(block.size() * sizeof(std::uint64_t)), &needed)) {
        return false;
    }
    description = Text(reinterpret_cast<SERVICE_DESCRIPTIONW*>(block.data())->lpDescription);
    return true;
}

bool QueryServiceFailureActions(ScHandle service, ServiceFailureActions& actions) {
    DWORD needed = 0;
    ::QueryServiceConfig2W(ToSc(service), SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    std::vector<std::uint64_t> block((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (!::QueryServiceConfig2W(ToSc(service), SERVICE_CONFIG_FAILURE_ACTIONS, reinterpret_cast<LPBYTE>(block.data()),
                                static_cast<DWORD>(block.size() * sizeof(std::uint64_t)), &needed)) {
        return false;
    }
    const auto* native = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(block.data());
    actions.resetPeriodSeconds = native->dwResetPeriod;
    actions.actions.clear();
    for (DWORD i = 0; i < native->cActions && native->lpsaActions != nullptr; ++i) {
        actions.actions.push_back(
            {static_cast<std::uint32_t>(native->lpsaActions[i].Type), native->lpsaActions[i].Delay});
    }
    return true;
}

bool QueryEventSource(const std::u16string& sourceName, EventSourceRegistration& registration) {
    const std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + sourceName;
    HKEY key = nullptr;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path), 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(status));
        return false;
    }
    // Room for a long path; a longer value is an error here, not a truncated text.
    std::vector<wchar_t> file(4096, L'\0');
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>((file.size() - 1) * sizeof(wchar_t));
    status =
        ::RegQueryValueExW(key, L"EventMessageFile", nullptr, &type, reinterpret_cast<LPBYTE>(file.data()), &bytes);
    DWORD types = 0;
    DWORD typesBytes = sizeof types;
    DWORD typesType = 0;
    if (status == ERROR_SUCCESS) {
        status = ::RegQueryValueExW(key, L"TypesSupported", nullptr, &typesType, reinterpret_cast<LPBYTE>(&types),
                                    &typesBytes);
        if (status == ERROR_SUCCESS && typesType != REG_DWORD) {
            status = ERROR_INVALID_DATA;
        }
    }
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(status));
        return false;
    }
    registration.messageFile = Text(file.data());
    registration.messageFileType = type;
    registration.typesSupported = types;
    return true;
}

namespace {

std::vector<std::uint64_t> VersionBlock(const std::u16string& file) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(Wide(file), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<std::uint64_t> block((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    if (!::GetFileVersionInfoW(Wide(file), 0, static_cast<DWORD>(block.size() * sizeof(std::uint64_t)), block.data())) {
        return {};
    }
    return block;
}

}  // namespace

bool QueryVersionString(const std::u16string& file, const std::u16string& name, std::u16string& value) {
    std::vector<std::uint64_t> block = VersionBlock(file);
    if (block.empty()) {
        return false;
    }
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                          &length) ||
        length < sizeof(Translation)) {
        ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    wchar_t prefix[40];
    std::swprintf(prefix, 40, L"\\StringFileInfo\\%04x%04x\\", translations[0].language, translations[0].codePage);
    const std::u16string query = Text(prefix) + name;
    wchar_t* text = nullptr;
    if (!::VerQueryValueW(block.data(), Wide(query), reinterpret_cast<void**>(&text), &length) || text == nullptr) {
        ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return false;
    }
    // The length counts the terminating zero when there is one.
    value = Text(text);
    return true;
}

bool QueryFixedFileVersion(const std::u16string& file, std::u16string& version) {
    std::vector<std::uint64_t> block = VersionBlock(file);
    if (block.empty()) {
        return false;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    wchar_t text[64];
    std::swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    version = Text(text);
    return true;
}

bool FormatModuleMessage(const std::u16string& file, std::uint32_t id, const std::vector<std::u16string>& arguments,
                         std::u16string& text) {
    const HMODULE module = ::LoadLibraryExW(Wide(file), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        return false;
    }
    std::vector<DWORD_PTR> inserts;
    for (const std::u16string& argument : arguments) {
        inserts.push_back(reinterpret_cast<DWORD_PTR>(Wide(argument)));
    }
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, id, 0,
        reinterpret_cast<LPWSTR>(&buffer), 0, reinterpret_cast<va_list*>(inserts.data()));
    const DWORD error = ::GetLastError();
    if (buffer != nullptr) {
        text = FromWide(buffer, length);
        ::LocalFree(buffer);
    }
    ::FreeLibrary(module);
    ::SetLastError(error);
    return buffer != nullptr;
}

}  // namespace platform::win32
