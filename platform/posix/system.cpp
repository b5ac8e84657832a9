// System services on POSIX: the executable's path, the code page,
// whole-file reads and writes with advisory locks, exclusive durable file creation and
// replacement, folder listings, random bytes, local time and console message boxes.
#include "platform/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "platform/error_codes.h"
#include "platform/flush_timer.h"
#include "platform/posix/errors.h"
#include "platform/progress.h"
#include "text/cp1252.h"
#include "text/strings.h"

namespace platform {

namespace {

std::string NativePath(const std::u16string& path) { return txt::ToUtf8(path); }

// Closes the descriptor when the operation leaves, also on an early return.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports the error of close itself, which on some file systems is
    // the first sign that written data did not reach the disk.
    int Close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

std::uint32_t LastError() { return posix::ErrnoToWindowsError(errno); }

// The error of a call on `path`. POSIX says ENOENT both for a missing file and for a
// missing folder on the way to it; Windows tells them apart (2 and 3), and so do the
// texts an operator reads.
std::uint32_t PathError(const std::string& path) {
    const int err = errno;
    if (err == ENOENT) {
        const std::size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            struct stat st {};
            if (::stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrorPathNotFound;
        }
    }
    return posix::ErrnoToWindowsError(err);
}

// Files are written and flushed in pieces of this size, each a sign of progress for the
// watchdog (platform/progress.h): however slow the storage, no call waits for more than
// one piece, so a large file written to slow storage never looks like a hang.
constexpr std::size_t kProgressPiece = std::size_t{4} * 1024 * 1024;

// Writes every byte, again after an interruption; 0 or the errno of the failed write.
int WriteAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, std::min(left, kProgressPiece));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
        MarkProgress();
    }
    return 0;
}

// Starts writing [at, at + piece) of the file to stable storage (`wait`: and waits until
// it is written); false when the file system refuses.
bool SyncPiece(int fd, std::size_t at, std::size_t size, bool wait) {
    if (at >= size) return true;
    const unsigned flags =
        wait ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER : SYNC_FILE_RANGE_WRITE;
    while (::sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(std::min(kProgressPiece, size - at)),
                             flags) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Flushes the file's data to stable storage: a large file first piece by piece, the next
// piece on its way while one is waited for (the final fsync then has little left to wait
// for), then everything with its metadata. 0 or the errno of the failed fsync.
int FlushFile(int fd, std::size_t size) {
    const FlushTimer timer;
    if (size > kProgressPiece) {
        // Only a head start for the fsync below, which decides: a file system that refuses
        // it is flushed in one piece.
        bool ok = SyncPiece(fd, 0, size, false);
        for (std::size_t at = 0; ok && at < size; at += kProgressPiece) {
            ok = SyncPiece(fd, at + kProgressPiece, size, false) && SyncPiece(fd, at, size, true);
            MarkProgress();
        }
    }
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return errno;
    }
    MarkProgress();
    return 0;
}

// Takes the advisory lock without waiting; a lock held elsewhere is a sharing violation.
std::uint32_t Lock(int fd, int operation) {
    while (::flock(fd, operation | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return kErrorSharingViolation;
        // File systems without flock support give no sharing protection at all; the
        // file is still usable.
        if (errno == ENOLCK || errno == EOPNOTSUPP) return 0;
        return LastError();
    }
    return 0;
}

}  // namespace

std::u16string ModuleFileName() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return txt::FromUtf8(buffer);
        }
        // The path may have been cut off: try again with more room.
        buffer.resize(buffer.size() * 2);
    }
}

unsigned AnsiCodePage() { return 1252; }

std::string WideToAnsi(std::u16string_view text) { return txt::EncodeCp1252(text); }

std::u16string AnsiToWide(std::string_view bytes) { return txt::DecodeCp1252(bytes); }

bool FileTimeAndSize(const std::u16string& path, double& unixSeconds, std::uint64_t& size) {
    struct stat st {};
    if (::stat(NativePath(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    unixSeconds = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool FileExists(const std::u16string& path) {
    struct stat st {};
    return ::stat(NativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::u16string& path) {
    struct stat st {};
    return ::stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::uint32_t CreateDirectory(const std::u16string& path) {
    const std::string native = NativePath(path);
    if (::mkdir(native.c_str(), 0777) == 0) return 0;
    // CreateDirectoryW reports an existing entry as ERROR_ALREADY_EXISTS.
    if (errno == EEXIST) return kErrorAlreadyExists;
    return PathError(native);
}

std::uint32_t WriteWholeFile(const std::u16string& path, std::string_view bytes) {
    // The file is truncated only once the exclusive lock is held, so a file another
    // process is reading or writing keeps its contents when this write is refused.
    const std::string native = NativePath(path);
    Fd fd(::open(native.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return PathError(native);
    if (const std::uint32_t code = Lock(fd.get(), LOCK_EX); code != 0) return code;
    while (::ftruncate(fd.get(), 0) != 0) {
        if (errno != EINTR) return LastError();
    }
    if (const int err = WriteAll(fd.get(), bytes); err != 0) return posix::ErrnoToWindowsError(err);
    if (const int err = fd.Close(); err != 0 && err != EINTR) return posix::ErrnoToWindowsError(err);
    return 0;
}

std::uint32_t ReadWholeFile(const std::u16string& path, std::string& bytes) {
    bytes.clear();
    const std::string native = NativePath(path);
    Fd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return PathError(native);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return LastError();
    // Opening a directory as a file is refused on Windows with "Access is denied".
    if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;
    if (const std::uint32_t code = Lock(fd.get(), LOCK_SH); code != 0) return code;
    std::string data;
    if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        if (n == 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    bytes = std::move(data);
    return 0;
}

std::uint32_t CreateNewFileDurably(const std::u16string& path, std::string_view bytes, Durability durability) {
    const std::string native = NativePath(path);
    // O_EXCL refuses every existing name, a link included (also one that points nowhere),
    // and O_NOFOLLOW keeps that true where O_EXCL alone would not. Mode 0666 lets the
    // umask decide, as for any new file, so readers that are not root can read the output.
    Fd fd(::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) return errno == EEXIST ? kErrorFileExists : PathError(native);
    const auto fail = [&](int err) {
        fd.Close();
        ::unlink(native.c_str());
        return posix::ErrnoToWindowsError(err);
    };
    if (const int err = WriteAll(fd.get(), bytes); err != 0) return fail(err);
    // The data must be on the disk before a rename can make it the visible file; otherwise
    // a power cut may leave an empty or short file under the final name.
    if (durability == Durability::kFlushed) {
        if (const int err = FlushFile(fd.get(), bytes.size()); err != 0) return fail(err);
    }
    if (const int err = fd.Close(); err != 0 && err != EINTR) {
        ::unlink(native.c_str());
        return posix::ErrnoToWindowsError(err);
    }
    return 0;
}

std::uint32_t RenameReplace(const std::u16string& from, const std::u16string& to, Durability durability) {
    const std::string source = NativePath(from), target = NativePath(to);
    if (::rename(source.c_str(), target.c_str()) != 0) {
        return errno == ENOENT && ::access(source.c_str(), F_OK) == 0 ? PathError(target) : PathError(source);
    }
    if (durability == Durability::kUnflushed) return 0;
    // The new name is only durable once the folder that holds it is flushed. The rename has
    // happened and readers see the new file, so a folder that cannot be flushed (some file
    // systems refuse fsync on folders) is not reported as a failed replace.
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        const FlushTimer timer;
        while (::fsync(dir.get()) != 0 && errno == EINTR) {}
        MarkProgress();
    }
    return 0;
}

std::uint32_t DeleteFile(const std::u16string& path) {
    const std::string native = NativePath(path);
    return ::unlink(native.c_str()) == 0 ? 0 : PathError(native);
}

char16_t PathDelimiter() { return u'/'; }

std::uint32_t ListDirectory(const std::u16string& path, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    const std::string native = NativePath(path);
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return PathError(native);
    // fdopendir takes over the descriptor; closedir closes both.
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const std::uint32_t code = LastError();
        ::close(fd);
        return code;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(dir, ::closedir);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) return LastError();
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        // The kind of the entry itself: a link is never looked through.
        struct stat st {};
        EntryKind kind = EntryKind::Other;
        if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) {
                kind = EntryKind::Link;
            } else if (S_ISDIR(st.st_mode)) {
                kind = EntryKind::Directory;
            } else if (S_ISREG(st.st_mode)) {
                kind = EntryKind::File;
            }
        }
        entries.push_back({txt::FromUtf8(name), kind});
    }
    return 0;
}

std::uint32_t RandomBytes(unsigned char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::getrandom(buffer, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

LocalTime LocalNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    const std::time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_year + 1900,
                     parts.tm_mon + 1,
                     parts.tm_mday,
                     parts.tm_hour,
                     parts.tm_min,
                     parts.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
}

void CoInitialize() {}

void CoUninitialize() {}

// A box is a console line here: there is always somewhere to write it, and nothing
// waits for anybody to dismiss it.
bool WindowStationVisible() { return true; }

void ShowMessageBox(const std::u16string& text, const std::u16string& caption, MessageBoxIcon icon) {
    std::u16string line = caption + u": ";
    line.reserve(line.size() + text.size() + 1);
    // A CR LF in the text is one line break on the console.
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
        line.push_back(text[i]);
    }
    line.push_back(u'\n');
    const std::string utf8 = txt::ToUtf8(line);
    std::FILE* stream = icon == MessageBoxIcon::Information ? stdout : stderr;
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

}  // namespace platform
