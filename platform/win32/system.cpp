// Small system services on Windows: kernel32's error texts, module path, code page and
// files (exclusive durable creation, write-through replacement, folder listings), advapi32's
// secure random bytes, the local time, ole32's COM initialisation and user32's message boxes.
#include "platform/system.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/flush_timer.h"
#include "platform/progress.h"
#include "platform/win32/win32.h"
// After the Windows headers, which they need.
#include <ntsecapi.h>
#include <objbase.h>

namespace platform {
namespace win32 {

std::string Utf8(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide, length, bytes.data(), needed, nullptr, nullptr);
    }
    return bytes;
}

void WriteStdLine(DWORD which, std::u16string_view text) {
    const HANDLE stream = ::GetStdHandle(which);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return;
    }
    std::u16string line(text);
    line += u"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(stream, &mode)) {
        ::WriteConsoleW(stream, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } else {
        // Redirected: UTF-8 with LF only, like every other line the program prints.
        std::string bytes = Utf8(text);
        bytes += '\n';
        ::WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}

}  // namespace win32

namespace {

bool IsTrimmedAtEnd(char16_t c) { return c <= u' ' || c == u'.'; }

}  // namespace

std::u16string SystemErrorText(std::uint32_t code) {
    wchar_t buffer[256];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                          buffer, 256, nullptr);
    std::u16string text = win32::FromWide(buffer, length);
    while (!text.empty() && IsTrimmedAtEnd(text.back())) {
        text.pop_back();
    }
    return text;
}

std::u16string ModuleFileName() {
    // A path longer than MAX_PATH would come back cut off, and every path built on the
    // base directory would then be wrong; the buffer grows until the whole path fits.
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return win32::FromWide(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);
    }
}

unsigned AnsiCodePage() { return ::GetACP(); }

std::string WideToAnsi(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return {};
    }
    std::string bytes(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide, length, bytes.data(), needed, nullptr, nullptr);
    return bytes;
}

std::u16string AnsiToWide(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (needed <= 0) {
        return {};
    }
    std::u16string text(static_cast<std::size_t>(needed), u'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, reinterpret_cast<wchar_t*>(text.data()), needed);
    return text;
}

bool FileExists(const std::u16string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FileTimeAndSize(const std::u16string& path, double& unixSeconds, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win32::Wide(path), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    // FILETIME counts 100 ns steps since 1601-01-01; 11644473600 s lie between that and 1970.
    const std::uint64_t ticks =
        (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    unixSeconds = static_cast<double>(ticks) / 1e7 - 11644473600.0;
    size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return true;
}

bool DirectoryExists(const std::u16string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::uint32_t CreateDirectory(const std::u16string& path) {
    return ::CreateDirectoryW(win32::Wide(path), nullptr) ? 0 : ::GetLastError();
}

namespace {

// Closes a file handle when the operation that opened it ends, also on an early return.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// WriteFile and ReadFile move at most 4 GB minus one per call; larger spans go in pieces.
constexpr std::size_t kMaxChunk = 1u << 30;

}  // namespace

std::uint32_t WriteWholeFile(const std::u16string& path, std::string_view bytes) {
    FileHandle file(
        ::CreateFileW(win32::Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return ::GetLastError();
    }
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - offset, kMaxChunk));
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data() + offset, chunk, &written, nullptr)) {
            return ::GetLastError();
        }
        if (written == 0) {
            // A write that takes nothing without an error can only mean a full medium.
            return ERROR_DISK_FULL;
        }
        offset += written;
    }
    return 0;
}

std::uint32_t ReadWholeFile(const std::u16string& path, std::string& bytes) {
    FileHandle file(::CreateFileW(win32::Wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return ::GetLastError();
    }
    std::string content;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
        content.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return ::GetLastError();
        }
        if (got == 0) {
            break;
        }
        content.append(buffer.data(), got);
    }
    bytes = std::move(content);
    return 0;
}

namespace {

// The durable writes go in pieces of this size, each a sign of progress for the watchdog
// (platform/progress.h).
constexpr std::size_t kProgressPiece = std::size_t{4} * 1024 * 1024;

// Writes every byte and, unless told otherwise, flushes them to the disk.
std::uint32_t WriteAndFlush(HANDLE file, std::string_view bytes, Durability durability) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        MarkProgress();
        const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - offset, kProgressPiece));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + offset, chunk, &written, nullptr)) {
            return ::GetLastError();
        }
        if (written == 0) {
            return ERROR_DISK_FULL;
        }
        offset += written;
    }
    if (durability == Durability::kUnflushed) return 0;
    // The data must be on the disk before the rename makes it the visible file.
    MarkProgress();
    const FlushTimer timer;
    const bool flushed = ::FlushFileBuffers(file);
    MarkProgress();
    return flushed ? 0 : ::GetLastError();
}

}  // namespace

std::uint32_t CreateNewFileDurably(const std::u16string& path, std::string_view bytes, Durability durability) {
    std::uint32_t code = 0;
    {
        // CREATE_NEW refuses every existing name, a link or a folder included, so nothing
        // planted under the name is ever opened. No sharing while it is written.
        FileHandle file(
            ::CreateFileW(win32::Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            const DWORD error = ::GetLastError();
            // A folder under the name may be refused as "access denied"; it is a taken name
            // all the same, and the caller then tries another one.
            if (error == ERROR_ACCESS_DENIED && ::GetFileAttributesW(win32::Wide(path)) != INVALID_FILE_ATTRIBUTES) {
                return ERROR_FILE_EXISTS;
            }
            return error;
        }
        code = WriteAndFlush(file.get(), bytes, durability);
    }
    // Closed above: only a closed file can be deleted.
    if (code != 0) {
        ::DeleteFileW(win32::Wide(path));
    }
    return code;
}

std::uint32_t RenameReplace(const std::u16string& from, const std::u16string& to, Durability durability) {
    const DWORD flags =
        MOVEFILE_REPLACE_EXISTING | (durability == Durability::kFlushed ? MOVEFILE_WRITE_THROUGH : DWORD{0});
    for (int attempt = 1;; ++attempt) {
        if (::MoveFileExW(win32::Wide(from), win32::Wide(to), flags)) {
            return 0;
        }
        const DWORD code = ::GetLastError();
        // A reader that holds the target open without delete sharing refuses the rename for
        // as long as it reads: wait a little for it. A folder under the target's name
        // refuses it for good, so it is not waited for.
        const DWORD attributes = ::GetFileAttributesW(win32::Wide(to));
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) || folder || attempt >= kRenameAttempts) {
            return code;
        }
        ::Sleep(kRenameRetryMs);
    }
}

std::uint32_t DeleteFile(const std::u16string& path) { return ::DeleteFileW(win32::Wide(path)) ? 0 : ::GetLastError(); }

char16_t PathDelimiter() { return u'\\'; }

std::uint32_t ListDirectory(const std::u16string& path, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    std::u16string pattern = path;
    if (!pattern.empty() && pattern.back() != u'\\' && pattern.back() != u'/') {
        pattern.push_back(u'\\');
    }
    pattern.push_back(u'*');
    WIN32_FIND_DATAW data{};
    const HANDLE find = ::FindFirstFileW(win32::Wide(pattern), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        // An empty folder has no entry at all, not even "." when it is a drive's root.
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES ? 0 : code;
    }
    std::uint32_t code = 0;
    do {
        const std::u16string name = win32::FromWide(data.cFileName, std::wcslen(data.cFileName));
        if (name == u"." || name == u"..") {
            continue;
        }
        // A reparse point (a link or a junction) is reported as a link, whatever it is on.
        EntryKind kind = EntryKind::File;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            kind = EntryKind::Link;
        } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            kind = EntryKind::Directory;
        } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            kind = EntryKind::Other;
        }
        entries.push_back({name, kind});
    } while (::FindNextFileW(find, &data));
    if (const DWORD last = ::GetLastError(); last != ERROR_NO_MORE_FILES) {
        code = last;
    }
    ::FindClose(find);
    return code;
}

std::uint32_t RandomBytes(unsigned char* buffer, std::size_t size) {
    // RtlGenRandom (SystemFunction036 of advapi32): the system's secure random source,
    // available on every Windows this program runs on without another library.
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        if (!SystemFunction036(buffer, chunk)) {
            return ERROR_GEN_FAILURE;
        }
        buffer += chunk;
        size -= chunk;
    }
    return 0;
}

LocalTime LocalNow() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void CoInitialize() {
    // The result is not looked at: S_FALSE (already initialised) and a refusal both leave
    // the thread usable for what this program does, which needs no COM object.
    (void)::CoInitialize(nullptr);
}

void CoUninitialize() { ::CoUninitialize(); }

bool WindowStationVisible() {
    std::optional<std::uint32_t> session;
    if (DWORD id = 0; ::ProcessIdToSessionId(::GetCurrentProcessId(), &id)) session = id;
    std::optional<bool> stationVisible;
    const HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (station != nullptr && ::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed))
        stationVisible = (flags.dwFlags & WSF_VISIBLE) != 0;
    return BoxesVisible(session, stationVisible);
}

void ShowMessageBox(const std::u16string& text, const std::u16string& caption, MessageBoxIcon icon) {
    // Task-modal without an owner: the program has no window of its own, and the
    // last-chance report must hold every window of the program, not just one.
    const UINT style = MB_OK | MB_TASKMODAL | (icon == MessageBoxIcon::Information ? MB_ICONINFORMATION : MB_ICONERROR);
    const int result = ::MessageBoxW(nullptr, win32::Wide(text), win32::Wide(caption), style);
    if (result <= 0) {
        // The box could not be shown (no desktop: Wine without a display returns at once).
        // The text would otherwise be lost, so it goes to standard error as a console
        // message instead, in the form and on the stream the Linux build uses.
        win32::WriteStdLine(icon == MessageBoxIcon::Information ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
                            caption + u": " + text);
    }
}

}  // namespace platform
