// Windows error numbers on POSIX: the two errno maps (file and system calls, socket
// calls) side by side, and the system texts behind SystemErrorText.
#include "platform/posix/errors.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "platform/error_codes.h"
#include "platform/system.h"
#include "text/strings.h"

namespace platform {
namespace {

struct ErrorText {
    std::uint32_t code;
    const char* text;
};

#define VBX_ERROR_TEXT(name, number, text) {number, text},
constexpr ErrorText kErrorTexts[] = {VBX_SYSTEM_ERRORS(VBX_ERROR_TEXT) VBX_SOCKET_ERRORS(VBX_ERROR_TEXT)};
#undef VBX_ERROR_TEXT

// The lookup below is a binary search: the lists must stay sorted by number, each once.
constexpr bool StrictlyAscending() {
    for (std::size_t i = 1; i < std::size(kErrorTexts); ++i)
        if (kErrorTexts[i - 1].code >= kErrorTexts[i].code) return false;
    return true;
}
static_assert(StrictlyAscending(), "error lists must be sorted by number without repeats");

}  // namespace

std::u16string SystemErrorText(std::uint32_t code) {
    const auto* found = std::lower_bound(std::begin(kErrorTexts), std::end(kErrorTexts), code,
                                         [](const ErrorText& entry, std::uint32_t c) { return entry.code < c; });
    if (found != std::end(kErrorTexts) && found->code == code) return txt::FromUtf8(found->text);
    return {};
}

namespace posix {

std::uint32_t ErrnoToWindowsError(int err) {
    switch (err) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case ELOOP: return kErrorPathNotFound;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case ENXIO:
    case ENODEV: return kErrorNotReady;
    case EXDEV: return kErrorNotSameDevice;
    case EBUSY:
    case ETXTBSY: return kErrorSharingViolation;
    case EWOULDBLOCK: return kErrorSharingViolation;
    case EEXIST: return kErrorFileExists;
    case EINVAL: return kErrorInvalidParameter;
    case EPIPE: return kErrorBrokenPipe;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EFBIG: return kErrorDiskFull;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case EINTR: return kErrorOperationAborted;
    case EIO: return kErrorIoDevice;
    case ETIMEDOUT: return kErrorTimeout;
    case ENOSYS:
    case EOPNOTSUPP: return kErrorNotSupported;
    default: return kErrorInvalidFunction;
    }
}

int ErrnoToSocketError(int err) {
    using namespace platform::net;
    switch (err) {
    case 0: return 0;
    case EINTR: return kWsaEIntr;
    case EACCES:
    case EPERM: return kWsaEAcces;
    case EFAULT: return kWsaEFault;
    case EINVAL: return kWsaEInval;
    case EMFILE:
    case ENFILE: return kWsaEMFile;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
    case EINPROGRESS: return kWsaEWouldBlock;
    case EALREADY: return kWsaEAlready;
    case EBADF:
    case ENOTSOCK: return kWsaENotSock;
    case EDESTADDRREQ: return kWsaEDestAddrReq;
    case EMSGSIZE: return kWsaEMsgSize;
    case EPROTOTYPE: return kWsaEProtoType;
    case ENOPROTOOPT: return kWsaENoProtoOpt;
    case EPROTONOSUPPORT: return kWsaEProtoNoSupport;
    case ESOCKTNOSUPPORT: return kWsaESocktNoSupport;
    case EOPNOTSUPP: return kWsaEOpNotSupp;
    case EPFNOSUPPORT: return kWsaEPfNoSupport;
    case EAFNOSUPPORT: return kWsaEAfNoSupport;
    case EADDRINUSE: return kWsaEAddrInUse;
    case EADDRNOTAVAIL: return kWsaEAddrNotAvail;
    case ENETDOWN: return kWsaENetDown;
    case ENETUNREACH: return kWsaENetUnreach;
    case ENETRESET: return kWsaENetReset;
    case ECONNABORTED: return kWsaEConnAborted;
    case ECONNRESET: return kWsaEConnReset;
    case ENOBUFS:
    case ENOMEM: return kWsaENoBufs;
    case EISCONN: return kWsaEIsConn;
    case ENOTCONN: return kWsaENotConn;
    case ESHUTDOWN: return kWsaEShutdown;
    case ETOOMANYREFS: return kWsaETooManyRefs;
    case ETIMEDOUT: return kWsaETimedOut;
    case ECONNREFUSED: return kWsaEConnRefused;
    case ELOOP: return kWsaELoop;
    case ENAMETOOLONG: return kWsaENameTooLong;
    case EHOSTDOWN: return kWsaEHostDown;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    case ENOTEMPTY: return kWsaENotEmpty;
    case EUSERS: return kWsaEUsers;
    case EDQUOT: return kWsaEDQuot;
    case ESTALE: return kWsaEStale;
    case EREMOTE: return kWsaERemote;
    default: return kWsaEInval;
    }
}

}  // namespace posix
}  // namespace platform
