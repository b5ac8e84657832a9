// The POSIX error numbering: both errno maps and the system texts looked up by number.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/error_codes.h"
#include "platform/posix/errors.h"
#include "platform/system.h"

namespace {

namespace pn = platform::net;

TEST(PosixErrors, ErrnoMapsGiveTheWindowsNumbers) {
    struct Case {
        int err;
        std::uint32_t system;  // file and system calls
        int socket;            // socket calls
    };
    const Case cases[] = {
        {0, 0, 0},
        {ENOENT, platform::kErrorFileNotFound, pn::kWsaEInval},
        {EACCES, platform::kErrorAccessDenied, pn::kWsaEAcces},
        {EEXIST, platform::kErrorFileExists, pn::kWsaEInval},
        {ENOSPC, platform::kErrorDiskFull, pn::kWsaEInval},
        {EINTR, platform::kErrorOperationAborted, pn::kWsaEIntr},
        {EWOULDBLOCK, platform::kErrorSharingViolation, pn::kWsaEWouldBlock},
        {EINPROGRESS, platform::kErrorInvalidFunction, pn::kWsaEWouldBlock},
        {ENOTSOCK, platform::kErrorInvalidFunction, pn::kWsaENotSock},
        {ECONNRESET, platform::kErrorInvalidFunction, pn::kWsaEConnReset},
        {ECONNREFUSED, platform::kErrorInvalidFunction, pn::kWsaEConnRefused},
        {ETIMEDOUT, platform::kErrorTimeout, pn::kWsaETimedOut},
        {ENOMEM, platform::kErrorNotEnoughMemory, pn::kWsaENoBufs},
        {EDQUOT, platform::kErrorDiskFull, pn::kWsaEDQuot},
        {EAFNOSUPPORT, platform::kErrorInvalidFunction, pn::kWsaEAfNoSupport},
        {EHOSTDOWN, platform::kErrorInvalidFunction, pn::kWsaEHostDown},
        // A number neither map knows is still a failure, never 0.
        {123456, platform::kErrorInvalidFunction, pn::kWsaEInval},
        {-1, platform::kErrorInvalidFunction, pn::kWsaEInval},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::posix::ErrnoToWindowsError(c.err), c.system) << c.err;
        EXPECT_EQ(platform::posix::ErrnoToSocketError(c.err), c.socket) << c.err;
    }
}

// A read that fails after the open (the process's own memory at address 0) gives its error.
TEST(PosixErrors, AFailedReadIsAnError) {
    std::string bytes;
    EXPECT_EQ(platform::kErrorIoDevice, platform::ReadWholeFile(u"/proc/self/mem", bytes));
}

TEST(PosixErrors, TextsAreFoundByNumberAcrossBothLists) {
    struct Case {
        std::uint32_t code;
        const char16_t* text;
    };
    const Case cases[] = {
        // The ends of the table and of each list.
        {platform::kErrorSuccess, u"The operation completed successfully"},
        {platform::kErrorInvalidFunction, u"Incorrect function"},
        {platform::kErrorTimeout, u"This operation returned because the timeout period expired"},
        {std::uint32_t(pn::kWsaEIntr), u"A blocking operation was interrupted by a call to WSACancelBlockingCall"},
        {std::uint32_t(pn::kWsaNoData), u"The requested name is valid, but no data of the requested type was found"},
        // Texts written over two lines of the list.
        {std::uint32_t(pn::kWsaEConnReset), u"An existing connection was forcibly closed by the remote host"},
        {std::uint32_t(pn::kWsaESocktNoSupport),
         u"The support for the specified socket type does not exist in this "
         u"address family"},
        // Named numbers without a text, and gaps between and after the numbers.
        {platform::kErrorInvalidTimerId, u""},
        {platform::kErrorServiceNotInExe, u""},
        {7, u""},
        {9999, u""},
        {10000, u""},
        {11005, u""},
        {0xFFFFFFFFu, u""},
    };
    for (const Case& c : cases) EXPECT_EQ(platform::SystemErrorText(c.code), std::u16string(c.text)) << c.code;
}

}  // namespace
