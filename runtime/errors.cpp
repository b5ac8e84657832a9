#include "runtime/errors.h"

#include "platform/system.h"
#include "text/strings.h"

namespace runtime {

Exception::Exception(std::u16string message) : message_(std::move(message)), utf8_(txt::ToUtf8(message_)) {}

std::u16string MessageOf(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Exception*>(&error)) return own->Message();
    return txt::FromUtf8(error.what());
}

EOSError MakeOSError(std::uint32_t code) {
    if (code == 0) return EOSError(u"A call to an OS function failed", 0);
    std::u16string text = u"System Error.  Code: ";
    text += txt::IntToStr(code);
    text += u".\r\n";
    text += platform::SystemErrorText(code);
    return EOSError(std::move(text), code);
}

void RaiseLastOSError(std::uint32_t code) { throw MakeOSError(code); }

}  // namespace runtime
