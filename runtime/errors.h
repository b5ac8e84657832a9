#pragma once
// Error objects of the runtime library. Every error carries the exact message text an
// operator sees; what() gives the same text in UTF-8 for diagnostics.
#include <cstdint>
#include <exception>
#include <string>

namespace runtime {

class Exception : public std::exception {
public:
    explicit Exception(std::u16string message);
    ~Exception() override = default;

    const std::u16string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return utf8_.c_str(); }
    // The class name shown in the last-chance report ("Exception %s in module ...").
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::u16string message_;
    std::string utf8_;
};

// The silent-abort error: the application's error handling drops it without an entry.
class EAbort : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EAbort"; }
};

// A platform call failed; Code() is the Windows error number (native numbers are mapped).
class EOSError : public Exception {
public:
    EOSError(std::u16string message, std::uint32_t code) : Exception(std::move(message)), code_(code) {}
    std::uint32_t Code() const noexcept { return code_; }
    const char* ClassName() const noexcept override { return "EOSError"; }

private:
    std::uint32_t code_;
};

class EFCreateError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EFCreateError"; }
};

class EFOpenError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EFOpenError"; }
};

class EOutOfResources : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EOutOfResources"; }
};

class EInvalidOperation : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EInvalidOperation"; }
};

// The message text an operator sees for any error caught at a boundary: the exact text
// of one of ours, the UTF-8 what() of any other.
std::u16string MessageOf(const std::exception& error);

// "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed" for code 0.
[[noreturn]] void RaiseLastOSError(std::uint32_t code);
EOSError MakeOSError(std::uint32_t code);

}  // namespace runtime
