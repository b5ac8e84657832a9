#include "runtime/files.h"

#include "platform/system.h"
#include "runtime/errors.h"
#include "runtime/strings.h"

namespace runtime {

namespace {

bool IsPathSeparator(char16_t c) {
    // Windows paths accept both slashes and end a drive name with ":"; on other systems
    // only "/" separates, and ":" is an ordinary character of a file name.
    if (platform::PathDelimiter() == u'\\') return c == u'\\' || c == u'/' || c == u':';
    return c == u'/';
}

std::size_t AfterLastSeparator(std::u16string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return i;
    }
    return 0;
}

}  // namespace

bool FileExists(const std::u16string& path) { return platform::FileExists(path); }

bool DirectoryExists(const std::u16string& path) { return platform::DirectoryExists(path); }

bool CreateDir(const std::u16string& path) { return platform::CreateDirectory(path) == 0; }

void WriteFileBytes(const std::u16string& path, std::string_view bytes) {
    if (const std::uint32_t code = platform::WriteWholeFile(path, bytes); code != 0) {
        throw EFCreateError(FormatS(u"Cannot create file \"%s\". %s", {path, platform::SystemErrorText(code)}));
    }
}

std::string ReadFileBytes(const std::u16string& path) {
    std::string bytes;
    if (const std::uint32_t code = platform::ReadWholeFile(path, bytes); code != 0) {
        throw EFOpenError(FormatS(u"Cannot open file \"%s\". %s", {path, platform::SystemErrorText(code)}));
    }
    return bytes;
}

unsigned RenameReplace(const std::u16string& from, const std::u16string& to) {
    return platform::RenameReplace(from, to);
}

bool DeleteFileIfExists(const std::u16string& path) { return platform::DeleteFile(path) == 0; }

std::u16string ModuleFileName() { return platform::ModuleFileName(); }

std::u16string ExtractFilePath(std::u16string_view path) {
    return std::u16string(path.substr(0, AfterLastSeparator(path)));
}

std::u16string ExtractFileName(std::u16string_view path) {
    return std::u16string(path.substr(AfterLastSeparator(path)));
}

char16_t PathDelimiter() { return platform::PathDelimiter(); }

}  // namespace runtime
