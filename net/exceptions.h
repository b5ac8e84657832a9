#pragma once
// The error classes of the socket layer. Both carry the exact message an operator sees.
#include "runtime/errors.h"

namespace net {

// Every failure of a socket operation, of address resolution and of the socket layer's
// start-up.
class ESocketException : public runtime::Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "ESocketException"; }
};

// Misuse or exhaustion of the notification-window bookkeeping.
class EIcsException : public runtime::Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EIcsException"; }
};

}  // namespace net
