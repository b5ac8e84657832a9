// The program's version and its plain answers on the console, shared by every platform.
#include <cstdio>

#include "platform/system.h"
#include "text/strings.h"

namespace platform {

std::string_view ProgramVersion() { return VBX_PROJECT_VERSION; }

void PrintLine(const std::u16string& line, bool toStandardError) {
    const std::string utf8 = txt::ToUtf8(line) + "\n";
    std::FILE* stream = toStandardError ? stderr : stdout;
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

}  // namespace platform
