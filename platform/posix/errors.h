#pragma once
// Internal to the POSIX platform layer: native error numbers in the Windows numbering that
// the rest of the program speaks (see platform/error_codes.h). Safe to call from any thread.
#include <cstdint>

namespace platform::posix {

// Maps an errno value of a file or system call onto the Windows error code with the
// nearest meaning (ENOENT 2, ENOTDIR 3, EACCES 5, EEXIST 80, ENOSPC 112, ...). Unknown
// values give 1 ("Incorrect function"), never 0, so that a failure is never read as success.
std::uint32_t ErrnoToWindowsError(int err);

// Maps an errno value of a socket call onto the Windows Sockets number (EWOULDBLOCK and
// EINPROGRESS 10035, ECONNRESET 10054, ...). Unknown values give 10022 (invalid
// argument), never 0, for the same reason.
int ErrnoToSocketError(int err);

}  // namespace platform::posix
