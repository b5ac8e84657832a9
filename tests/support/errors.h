#pragma once
// The text of the error an action raises, for tests that compare it with the exact text
// an operator would see.
#include <functional>
#include <string>

#include "runtime/errors.h"
#include "text/strings.h"

namespace testsupport {

// The message of the `Error` the action raises; "<no exception>" when it raises none (an
// error of another class passes through and fails the test).
template <typename Error = runtime::Exception>
std::u16string RaisedText(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.Message();
    }
    return u"<no exception>";
}

// The same as UTF-8.
template <typename Error = runtime::Exception>
std::string MessageOf(const std::function<void()>& action) {
    return txt::ToUtf8(RaisedText<Error>(action));
}

}  // namespace testsupport
