// VBxUnitFile: writes the systemd unit that /INSTALL writes for a program at a given path,
// with the service's own display name, so that the Debian package ships the very text the
// program would write for /opt/vbxmorvel/VBxMorvel (cmake/packaging.cmake runs it at
// build time).
//
//   VBxUnitFile <program path> <output file>
#include <cstdio>
#include <fstream>
#include <string>

#include "collector/brivon_morvel.h"
#include "platform/posix/service_internal.h"
#include "text/strings.h"

int main(int argc, char** argv) {
    if (argc != 3 || argv[1][0] != '/') {
        std::fputs("usage: VBxUnitFile <absolute program path> <output file>\n", stderr);
        return 2;
    }
    const std::string text =
        platform::posix::UnitFileText(std::u16string(collector::TBrivonMorvel::DisplayName), txt::FromUtf8(argv[1]));
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "VBxUnitFile: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
