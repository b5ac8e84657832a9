#include "runtime/codepage.h"

#include "platform/system.h"

namespace runtime {

std::string ToAnsi(std::u16string_view text) { return platform::WideToAnsi(text); }

std::u16string FromAnsi(std::string_view bytes) { return platform::AnsiToWide(bytes); }

std::optional<std::string> ToAnsiExact(std::u16string_view text) {
    // Reading the bytes back is the one test that covers both ways a character can be
    // lost: the default character and, on Windows, a best-fit look-alike.
    std::string bytes = ToAnsi(text);
    if (FromAnsi(bytes) != text) return std::nullopt;
    return bytes;
}

}  // namespace runtime
