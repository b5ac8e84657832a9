#pragma once
// Small system services: error texts, module path, code page, files, local time, COM and
// message boxes. Error codes are Windows error numbers on every platform; the POSIX
// implementation maps errno onto them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// FormatMessageW from the system table (language 0, at most 256 characters), trailing
// blanks, control characters and full stops removed; empty when there is no text.
std::u16string SystemErrorText(std::uint32_t code);

// GetModuleFileNameW: the executable's full path.
std::u16string ModuleFileName();
// The program's version, as the build names it (for example "1.0.0").
std::string_view ProgramVersion();

// Which 8-bit code page the system uses (1252 on Linux), and the conversions in it
// (WideCharToMultiByte/MultiByteToWideChar with CP_ACP on Windows).
unsigned AnsiCodePage();
std::string WideToAnsi(std::u16string_view text);
std::u16string AnsiToWide(std::string_view bytes);

// Files. Every call returns 0 or a Windows error code (2 not found, 3 path not found,
// 5 access denied, 32 sharing violation, 112 disk full, ...).
bool FileExists(const std::u16string& path);
// The file's last modification time in seconds since 1970-01-01 00:00 UTC and its size in
// bytes; false when it cannot be read (missing, a folder, no right to look).
bool FileTimeAndSize(const std::u16string& path, double& unixSeconds, std::uint64_t& size);
bool DirectoryExists(const std::u16string& path);
std::uint32_t CreateDirectory(const std::u16string& path);
// Created or truncated, exclusive access, all bytes written.
std::uint32_t WriteWholeFile(const std::u16string& path, std::string_view bytes);
// Read for reading, denying writers where the platform can.
std::uint32_t ReadWholeFile(const std::u16string& path, std::string& bytes);
// Creates a new file under `path` and writes the bytes. The creation is exclusive: an
// existing entry of that name, a link or a folder included, is never opened nor followed
// (80 "The file exists"). The file gets the permissions of an ordinary new file (0666 less
// the umask on POSIX). Every byte is flushed to stable storage before the file is closed.
// When anything fails after the creation, the file is removed again before returning.
// kUnflushed leaves both the data and the rename below to the system's own write-back: a
// power cut may then lose the newest file, but a reader still never sees half of one.
enum class Durability { kFlushed, kUnflushed };
std::uint32_t CreateNewFileDurably(const std::u16string& path, std::string_view bytes,
                                   Durability durability = Durability::kFlushed);
// Renames `from` over `to` in one step; an entry at `to` is replaced, never followed. The
// rename itself is made durable: on POSIX the folder is flushed afterwards, on Windows it
// is written through. On Windows a target that a reader holds open without delete sharing
// (5, 32) is tried again, at most kRenameAttempts times in all, kRenameRetryMs apart.
inline constexpr int kRenameAttempts = 5;
inline constexpr int kRenameRetryMs = 100;
std::uint32_t RenameReplace(const std::u16string& from, const std::u16string& to,
                            Durability durability = Durability::kFlushed);
// The time this process has spent so far waiting for files and folders to reach stable
// storage in the two calls above, in milliseconds. For benchmarks: it measures the disk.
double StableStorageFlushMs();
std::uint32_t DeleteFile(const std::u16string& path);
char16_t PathDelimiter();

// The entries of a folder ("." and ".." left out), each with its own kind: a link is
// reported as a link, whatever it points to.
enum class EntryKind { File, Directory, Link, Other };
struct DirectoryEntry {
    std::u16string name;
    EntryKind kind;
};
std::uint32_t ListDirectory(const std::u16string& path, std::vector<DirectoryEntry>& entries);

// Fills the buffer from the system's cryptographically secure random source.
std::uint32_t RandomBytes(unsigned char* buffer, std::size_t size);

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
// One line in UTF-8 on standard output (or standard error), flushed at once: the answer of
// a switch that a script or a monitoring agent reads.
void PrintLine(const std::u16string& line, bool toStandardError = false);

// Whether a message box of this process can be seen, and so dismissed, by a user: the
// process runs outside session 0 (ProcessIdToSessionId) and its window station is
// visible (GetProcessWindowStation, then GetUserObjectInformationW with UOI_FLAGS and
// WSF_VISIBLE). False for a service or anything else in session 0, even on that session's
// interactive station (a box there is shown to nobody), for an installer's custom action,
// whose box nobody could dismiss, and when the question cannot be answered. Linux: true
// (the box is a console line).
bool WindowStationVisible();

// The decision of WindowStationVisible from the system's answers, each empty where the
// system gave none: the process's session and the visible flag of its window station.
// Unanswered counts as invisible: a box that nobody can dismiss blocks for ever, while
// the event log, its replacement, never blocks.
constexpr bool BoxesVisible(std::optional<std::uint32_t> session, std::optional<bool> stationVisible) {
    return session.has_value() && *session != 0 && stationVisible.value_or(false);
}

}  // namespace platform
