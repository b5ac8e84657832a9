#include "runtime/files.h"

#include <vector>

#include "platform/system.h"
#include "runtime/errors.h"
#include "text/strings.h"

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

bool FileTimeAndSize(const std::u16string& path, double& unixSeconds, std::uint64_t& size) {
    return platform::FileTimeAndSize(path, unixSeconds, size);
}

bool IsAbsolutePath(std::u16string_view path) {
    if (platform::PathDelimiter() == u'/') return !path.empty() && path[0] == u'/';
    // A drive ("C:\..."), a share or the current drive's root ("\\server", "\\...").
    return (path.size() >= 3 && path[1] == u':' && (path[2] == u'\\' || path[2] == u'/')) ||
           (!path.empty() && (path[0] == u'\\' || path[0] == u'/'));
}

bool CreateDir(const std::u16string& path) { return platform::CreateDirectory(path) == 0; }

void WriteFileBytes(const std::u16string& path, std::string_view bytes) {
    if (const std::uint32_t code = platform::WriteWholeFile(path, bytes); code != 0) {
        throw EFCreateError(txt::FormatS(u"Cannot create file \"%s\". %s", {path, platform::SystemErrorText(code)}));
    }
}

std::string ReadFileBytes(const std::u16string& path) {
    std::string bytes;
    if (const std::uint32_t code = platform::ReadWholeFile(path, bytes); code != 0) {
        throw EFOpenError(txt::FormatS(u"Cannot open file \"%s\". %s", {path, platform::SystemErrorText(code)}));
    }
    return bytes;
}

unsigned RenameReplace(const std::u16string& from, const std::u16string& to) {
    return platform::RenameReplace(from, to);
}

bool DeleteFileIfExists(const std::u16string& path) { return platform::DeleteFile(path) == 0; }

namespace {

constexpr std::u16string_view kRandomAlphabet = u"0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::u16string_view kTemporaryEnd = u".tmp";

// kReplaceRandomLength characters of the alphabet from the secure source. Bytes from 252
// up are skipped so that every character is equally likely (252 = 7 * 36).
std::uint32_t RandomPart(std::u16string& part) {
    part.clear();
    unsigned char bytes[32];
    while (part.size() < kReplaceRandomLength) {
        if (const std::uint32_t code = platform::RandomBytes(bytes, sizeof bytes); code != 0) return code;
        for (const unsigned char b : bytes) {
            if (b >= 252 || part.size() == kReplaceRandomLength) continue;
            part.push_back(kRandomAlphabet[b % kRandomAlphabet.size()]);
        }
    }
    return 0;
}

[[noreturn]] void RaiseCreateError(const std::u16string& path, std::uint32_t code) {
    throw EFCreateError(txt::FormatS(u"Cannot create file \"%s\". %s", {path, platform::SystemErrorText(code)}));
}

// The whole replace, with the random parts from `next` (0 or the error of the source).
void Replace(const std::u16string& path, std::string_view bytes,
             const std::function<std::uint32_t(std::u16string&)>& next,
             platform::Durability durability = platform::Durability::kFlushed) {
    std::u16string temporary;
    std::uint32_t code = 0;
    std::u16string part;
    for (int attempt = 0; attempt < kReplaceNameAttempts; ++attempt) {
        if (code = next(part); code != 0) RaiseCreateError(path, code);
        temporary = path + u"." + part + std::u16string(kTemporaryEnd);
        code = platform::CreateNewFileDurably(temporary, bytes, durability);
        // A taken name is someone else's entry: left alone, and another name is drawn.
        if (code != 80 && code != 183) break;
    }
    // Every name was taken, or the file could not be made (it was then removed already).
    if (code != 0) RaiseCreateError(path, code);
    if (code = platform::RenameReplace(temporary, path, durability); code != 0) {
        platform::DeleteFile(temporary);
        RaiseCreateError(path, code);
    }
}

}  // namespace

void ReplaceFile(const std::u16string& path, std::string_view bytes) { Replace(path, bytes, RandomPart); }

void ReplaceFileUnflushed(const std::u16string& path, std::string_view bytes) {
    Replace(path, bytes, RandomPart, platform::Durability::kUnflushed);
}

void ReplaceFile(const std::u16string& path, std::string_view bytes,
                 const std::function<std::u16string()>& randomPart) {
    Replace(path, bytes, [&](std::u16string& part) {
        part = randomPart();
        return std::uint32_t{0};
    });
}

std::u16string ReplaceRandomPart() {
    std::u16string part;
    if (const std::uint32_t code = RandomPart(part); code != 0) throw MakeOSError(code);
    return part;
}

bool IsReplaceTemporaryName(std::u16string_view name, std::u16string_view& target) {
    // "<target>." + random part + ".tmp", with a target name of at least one character.
    constexpr std::size_t kTail = 1 + kReplaceRandomLength + kTemporaryEnd.size();
    if (name.size() <= kTail || !name.ends_with(kTemporaryEnd)) return false;
    const std::size_t dot = name.size() - kTail;
    if (name[dot] != u'.') return false;
    for (const char16_t c : name.substr(dot + 1, kReplaceRandomLength)) {
        if (kRandomAlphabet.find(c) == std::u16string_view::npos) return false;
    }
    target = name.substr(0, dot);
    return true;
}

std::size_t RemoveReplaceLeftovers(const std::u16string& folder,
                                   const std::function<bool(std::u16string_view target)>& isTarget) {
    std::vector<platform::DirectoryEntry> entries;
    // A folder that cannot be read has nothing this program could remove either.
    if (platform::ListDirectory(folder, entries) != 0) return 0;
    std::u16string prefix = folder;
    if (!prefix.empty() && !IsPathSeparator(prefix.back())) prefix.push_back(platform::PathDelimiter());
    std::size_t removed = 0;
    for (const platform::DirectoryEntry& entry : entries) {
        std::u16string_view target;
        if (entry.kind != platform::EntryKind::File || !IsReplaceTemporaryName(entry.name, target) ||
            !isTarget(target)) {
            continue;
        }
        if (platform::DeleteFile(prefix + entry.name) == 0) ++removed;
    }
    return removed;
}

std::u16string ModuleFileName() { return platform::ModuleFileName(); }

std::u16string ExtractFilePath(std::u16string_view path) {
    return std::u16string(path.substr(0, AfterLastSeparator(path)));
}

std::u16string ExtractFileName(std::u16string_view path) {
    return std::u16string(path.substr(AfterLastSeparator(path)));
}

char16_t PathDelimiter() { return platform::PathDelimiter(); }

}  // namespace runtime
