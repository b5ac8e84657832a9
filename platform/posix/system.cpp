// System services on POSIX: the Windows error texts, the executable's path, the code page,
// whole-file reads and writes with advisory locks, exclusive durable file creation and
// replacement, folder listings, random bytes, local time and console message boxes.
#include "platform/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "platform/posix/errors.h"
#include "text/cp1252.h"
#include "text/strings.h"

namespace platform {

namespace {

struct ErrorText {
    std::uint32_t code;
    const char* text;
};

// The Windows system messages for the codes the program can meet, already trimmed of the
// trailing full stop and line break as SystemErrorText returns them. Sorted by code.
constexpr ErrorText kErrorTexts[] = {
    {0, "The operation completed successfully"},
    {1, "Incorrect function"},
    {2, "The system cannot find the file specified"},
    {3, "The system cannot find the path specified"},
    {4, "The system cannot open the file"},
    {5, "Access is denied"},
    {6, "The handle is invalid"},
    {8, "Not enough memory resources are available to process this command"},
    {13, "The data is invalid"},
    {14, "Not enough memory resources are available to complete this operation"},
    {15, "The system cannot find the drive specified"},
    {17, "The system cannot move the file to a different disk drive"},
    {19, "The media is write protected"},
    {21, "The device is not ready"},
    {23, "Data error (cyclic redundancy check)"},
    {29, "The system cannot write to the specified device"},
    {30, "The system cannot read from the specified device"},
    {31, "A device attached to the system is not functioning"},
    {32, "The process cannot access the file because it is being used by another process"},
    {33, "The process cannot access the file because another process has locked a portion of the file"},
    {38, "Reached the end of the file"},
    {39, "The disk is full"},
    {50, "The request is not supported"},
    {80, "The file exists"},
    {82, "The directory or file cannot be created"},
    {87, "The parameter is incorrect"},
    {109, "The pipe has been ended"},
    {110, "The system cannot open the device or file specified"},
    {112, "There is not enough space on the disk"},
    {122, "The data area passed to a system call is too small"},
    {123, "The filename, directory name, or volume label syntax is incorrect"},
    {145, "The directory is not empty"},
    {161, "The specified path is invalid"},
    {170, "The requested resource is in use"},
    {183, "Cannot create a file when that file already exists"},
    {206, "The filename or extension is too long"},
    {267, "The directory name is invalid"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request"},
    {1051, "A stop control has been sent to a service that other running services are dependent on"},
    {1052, "The requested control is not valid for this service"},
    {1053, "The service did not respond to the start or control request in a timely fashion"},
    {1056, "An instance of the service is already running"},
    {1060, "The specified service does not exist as an installed service"},
    {1061, "The service cannot accept control messages at this time"},
    {1062, "The service has not been started"},
    {1063, "The service process could not connect to the service controller"},
    {1072, "The specified service has been marked for deletion"},
    {1073, "The specified service already exists"},
    {1078, "The name is already in use as either a service name or a service display name"},
    {1117, "The request could not be performed because of an I/O device error"},
    {1400, "Invalid window handle"},
    {1450, "Insufficient system resources exist to complete the requested service"},
    {1460, "This operation returned because the timeout period expired"},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall"},
    {10009, "The file handle supplied is not valid"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions"},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call"},
    {10022, "An invalid argument was supplied"},
    {10024, "Too many open sockets"},
    {10035, "A non-blocking socket operation could not be completed immediately"},
    {10036, "A blocking operation is currently executing"},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress"},
    {10038, "An operation was attempted on something that is not a socket"},
    {10039, "A required address was omitted from an operation on a socket"},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other "
            "network limit, or the buffer used to receive a datagram into was smaller than the datagram itself"},
    {10041, "A protocol was specified in the socket function call that does not support the semantics of the "
            "socket type requested"},
    {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call"},
    {10043, "The requested protocol has not been configured into the system, or no implementation for it exists"},
    {10044, "The support for the specified socket type does not exist in this address family"},
    {10045, "The attempted operation is not supported for the type of object referenced"},
    {10046, "The protocol family has not been configured into the system or no implementation for it exists"},
    {10047, "An address incompatible with the requested protocol was used"},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted"},
    {10049, "The requested address is not valid in its context"},
    {10050, "A socket operation encountered a dead network"},
    {10051, "A socket operation was attempted to an unreachable network"},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation "
            "was in progress"},
    {10053, "An established connection was aborted by the software in your host machine"},
    {10054, "An existing connection was forcibly closed by the remote host"},
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space "
            "or because a queue was full"},
    {10056, "A connect request was made on an already connected socket"},
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when "
            "sending on a datagram socket using a sendto call) no address was supplied"},
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down in "
            "that direction with a previous shutdown call"},
    {10059, "Too many references to some kernel object"},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of "
            "time, or established connection failed because connected host has failed to respond"},
    {10061, "No connection could be made because the target machine actively refused it"},
    {10062, "Cannot translate name"},
    {10063, "Name component or name was too long"},
    {10064, "A socket operation failed because the destination host was down"},
    {10065, "A socket operation was attempted to an unreachable host"},
    {10066, "Cannot remove a directory that is not empty"},
    {10067, "A Windows Sockets implementation may have a limit on the number of applications that may use it "
            "simultaneously"},
    {10068, "Ran out of quota"},
    {10069, "Ran out of disk quota"},
    {10070, "File handle reference is no longer available"},
    {10071, "Item is not available locally"},
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to provide network "
            "services is currently unavailable"},
    {10092, "The Windows Sockets version requested is not supported"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed"},
    {10101, "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful shutdown "
            "sequence"},
    {10102, "No more results can be returned by WSALookupServiceNext"},
    {10103, "A call to WSALookupServiceEnd was made while this call was still processing. The call has been "
            "canceled"},
    {10104, "The procedure call table is invalid"},
    {10105, "The requested service provider is invalid"},
    {10106, "The requested service provider could not be loaded or initialized"},
    {10107, "A system call that should never fail has failed"},
    {10108, "No such service is known. The service cannot be found in the specified name space"},
    {10109, "The specified class was not found"},
    {10110, "No more results can be returned by WSALookupServiceNext"},
    {10111, "A call to WSALookupServiceEnd was made while this call was still processing. The call has been "
            "canceled"},
    {10112, "A database query failed because it was actively refused"},
    {11001, "No such host is known"},
    {11002, "This is usually a temporary error during hostname resolution and means that the local server did "
            "not receive a response from an authoritative server"},
    {11003, "A non-recoverable error occurred during a database lookup"},
    {11004, "The requested name is valid, but no data of the requested type was found"},
};

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
            if (::stat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 3;
        }
    }
    return posix::ErrnoToWindowsError(err);
}

// Takes the advisory lock without waiting; a lock held elsewhere is a sharing violation.
std::uint32_t Lock(int fd, int operation) {
    while (::flock(fd, operation | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return 32;
        // File systems without flock support give no sharing protection at all; the
        // file is still usable.
        if (errno == ENOLCK || errno == EOPNOTSUPP) return 0;
        return LastError();
    }
    return 0;
}

}  // namespace

namespace posix {

std::uint32_t ErrnoToWindowsError(int err) {
    switch (err) {
    case 0: return 0;
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case ELOOP: return 3;
    case EMFILE:
    case ENFILE: return 4;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return 5;
    case EBADF: return 6;
    case ENOMEM: return 8;
    case ENXIO:
    case ENODEV: return 21;
    case EXDEV: return 17;
    case EBUSY:
    case ETXTBSY: return 32;
    case EWOULDBLOCK: return 32;
    case EEXIST: return 80;
    case EINVAL: return 87;
    case EPIPE: return 109;
    case ENOSPC:
    case EDQUOT: return 112;
    case EFBIG: return 112;
    case ENOTEMPTY: return 145;
    case ENAMETOOLONG: return 206;
    case EINTR: return 995;
    case EIO: return 1117;
    case ETIMEDOUT: return 1460;
    case ENOSYS:
    case EOPNOTSUPP: return 50;
    default: return 1;
    }
}

}  // namespace posix

std::u16string SystemErrorText(std::uint32_t code) {
    std::size_t lo = 0, hi = std::size(kErrorTexts);
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (kErrorTexts[mid].code < code) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo < std::size(kErrorTexts) && kErrorTexts[lo].code == code) return txt::FromUtf8(kErrorTexts[lo].text);
    return {};
}

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
    if (errno == EEXIST) return 183;
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
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
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
    if (S_ISDIR(st.st_mode)) return 5;
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

std::uint32_t CreateNewFileDurably(const std::u16string& path, std::string_view bytes) {
    const std::string native = NativePath(path);
    // O_EXCL refuses every existing name, a link included (also one that points nowhere),
    // and O_NOFOLLOW keeps that true where O_EXCL alone would not. Mode 0666 lets the
    // umask decide, as for any new file, so readers that are not root can read the output.
    Fd fd(::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) return errno == EEXIST ? 80 : PathError(native);
    const auto fail = [&](int err) {
        fd.Close();
        ::unlink(native.c_str());
        return posix::ErrnoToWindowsError(err);
    };
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    // The data must be on the disk before a rename can make it the visible file; otherwise
    // a power cut may leave an empty or short file under the final name.
    while (::fsync(fd.get()) != 0) {
        if (errno != EINTR) return fail(errno);
    }
    if (const int err = fd.Close(); err != 0 && err != EINTR) {
        ::unlink(native.c_str());
        return posix::ErrnoToWindowsError(err);
    }
    return 0;
}

std::uint32_t RenameReplace(const std::u16string& from, const std::u16string& to) {
    const std::string source = NativePath(from), target = NativePath(to);
    if (::rename(source.c_str(), target.c_str()) != 0) {
        return errno == ENOENT && ::access(source.c_str(), F_OK) == 0 ? PathError(target) : PathError(source);
    }
    // The new name is only durable once the folder that holds it is flushed. The rename has
    // happened and readers see the new file, so a folder that cannot be flushed (some file
    // systems refuse fsync on folders) is not reported as a failed replace.
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) {
        while (::fsync(dir.get()) != 0 && errno == EINTR) {
        }
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
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min,         parts.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

void CoInitialize() {}

void CoUninitialize() {}

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
