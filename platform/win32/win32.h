#pragma once
// Internal to the Windows platform layer: the one place that includes the Windows headers.
//
// With UNICODE defined the Windows headers turn names such as GetMessage, PostMessage,
// DeleteFile or CreateDirectory into macros for their wide variants. The platform
// interface uses those very names for its own functions, so the macros are removed here
// and the Windows functions are always called by their explicit "W" names.
// winsock2.h must come before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <string>
#include <string_view>

#undef CreateDirectory
#undef CreateService
#undef DefWindowProc
#undef DeleteFile
#undef DispatchMessage
#undef GetMessage
#undef OpenSCManager
#undef OpenService
#undef PeekMessage
#undef PostMessage
#undef PostThreadMessage
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef ReportEvent
#undef StartService
#undef StartServiceCtrlDispatcher
#undef QueryServiceConfig

namespace platform::win32 {

// UTF-16 text of the portable code and the wide strings of the Windows calls share their
// representation (both are 16-bit code units).
inline const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline std::u16string FromWide(const wchar_t* text, std::size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

inline HWND ToHwnd(std::uintptr_t window) { return reinterpret_cast<HWND>(window); }

// UTF-8 for diagnostics written to standard error.
std::string Utf8(std::u16string_view text);

// Writes one line of text to standard output or error (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE):
// through the console when the stream is one, else as UTF-8 bytes. Nothing happens when
// the process has no such stream (a service started by the manager).
void WriteStdLine(DWORD which, std::u16string_view text);

}  // namespace platform::win32
