#pragma once
// Small system services: error texts, module path, code page, files, local time, COM and
// message boxes. Error codes are Windows error numbers on every platform; the POSIX
// implementation maps errno onto them.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// FormatMessageW from the system table (language 0, at most 256 characters), trailing
// blanks, control characters and full stops removed; empty when there is no text.
std::u16string SystemErrorText(std::uint32_t code);

// GetModuleFileNameW: the executable's full path.
std::u16string ModuleFileName();

// Which 8-bit code page the system uses (1252 on Linux), and the conversions in it
// (WideCharToMultiByte/MultiByteToWideChar with CP_ACP on Windows).
unsigned AnsiCodePage();
std::string WideToAnsi(std::u16string_view text);
std::u16string AnsiToWide(std::string_view bytes);

// Files. Every call returns 0 or a Windows error code (2 not found, 3 path not found,
// 5 access denied, 32 sharing violation, 112 disk full, ...).
bool FileExists(const std::u16string& path);
bool DirectoryExists(const std::u16string& path);
std::uint32_t CreateDirectory(const std::u16string& path);
// Created or truncated, exclusive access, all bytes written.
std::uint32_t WriteWholeFile(const std::u16string& path, std::string_view bytes);
// Read for reading, denying writers where the platform can.
std::uint32_t ReadWholeFile(const std::u16string& path, std::string& bytes);
std::uint32_t RenameReplace(const std::u16string& from, const std::u16string& to);
std::uint32_t DeleteFile(const std::u16string& path);
char16_t PathDelimiter();

// Local wall-clock time.
struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};
LocalTime LocalNow();

// COM initialisation of the calling thread; no counterpart on POSIX.
void CoInitialize();
void CoUninitialize();

// Modal message boxes. On Linux "<caption>: <text>" on standard output ("Information")
// or standard error (anything else).
enum class MessageBoxIcon { Information, Error };
void ShowMessageBox(const std::u16string& text, const std::u16string& caption, MessageBoxIcon icon);

}  // namespace platform
