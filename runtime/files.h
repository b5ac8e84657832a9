#pragma once
// Files and directories. Paths are UTF-16 text; errors raise the runtime's texts with the
// system's error text for the (Windows-numbered) error code.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace runtime {

bool FileExists(const std::u16string& path);  // a directory of that name does not count
bool DirectoryExists(const std::u16string& path);
// The file's modification time (seconds since 1970 UTC) and size; false when it cannot be read.
bool FileTimeAndSize(const std::u16string& path, double& unixSeconds, std::uint64_t& size);
// Whether `path` names its file from a root rather than from a base directory.
bool IsAbsolutePath(std::u16string_view path);
bool CreateDir(const std::u16string& path);  // one level; false on failure

// Creates or truncates the file with exclusive access and writes the bytes.
// Raises EFCreateError "Cannot create file "%s". %s".
void WriteFileBytes(const std::u16string& path, std::string_view bytes);
// Reads the whole file, denying writers where the platform can.
// Raises EFOpenError "Cannot open file "%s". %s".
std::string ReadFileBytes(const std::u16string& path);

// Replaces the target by the source in one step. Returns 0 or the Windows error code.
unsigned RenameReplace(const std::u16string& from, const std::u16string& to);

// Replaces the file `path` as a whole, so that a reader sees either the old file or the
// new one, and a failure leaves the old one as it was. The bytes go to a new temporary
// file beside it, `<path>.<random>.tmp`, created exclusively (an entry planted under that
// name, a link or a folder, is never opened, written through nor removed), flushed to
// the disk, and renamed over `path` (a link at `path` is replaced, never followed). A
// temporary name that is taken is tried again with a new random part, at most
// kReplaceNameAttempts names in all. On failure the temporary file is removed and
// EFCreateError "Cannot create file "%s". %s" is raised with `path` and the system's reason.
// Safe to call from any thread.
inline constexpr int kReplaceNameAttempts = 8;
void ReplaceFile(const std::u16string& path, std::string_view bytes);
// The same without waiting for stable storage (figures that the next write renews): a power
// cut may lose the newest file, but never leaves half of one.
void ReplaceFileUnflushed(const std::u16string& path, std::string_view bytes);
// The same with the random part of each temporary name taken from `randomPart`, which
// must return kReplaceRandomLength characters of [0-9a-z] (tests choose the names).
void ReplaceFile(const std::u16string& path, std::string_view bytes, const std::function<std::u16string()>& randomPart);

// The random part of the temporary names: kReplaceRandomLength characters of [0-9a-z]
// from the system's secure random source (about 62 bits). Raises EOSError when the
// source fails.
inline constexpr std::size_t kReplaceRandomLength = 12;
std::u16string ReplaceRandomPart();

// Whether `name` (a file name without folder) has the form of a temporary name of
// ReplaceFile, `<target>.<random>.tmp`; if so, `target` receives the target's name.
bool IsReplaceTemporaryName(std::u16string_view name, std::u16string_view& target);

// Removes the regular files that an interrupted ReplaceFile left in `folder`: those under
// a temporary name whose target name `isTarget` accepts. Links, folders and every other
// name are left alone. Returns how many files were removed; never raises.
std::size_t RemoveReplaceLeftovers(const std::u16string& folder,
                                   const std::function<bool(std::u16string_view target)>& isTarget);
bool DeleteFileIfExists(const std::u16string& path);

// The executable's full path and its directory with the trailing separator.
std::u16string ModuleFileName();
std::u16string ExtractFilePath(std::u16string_view path);  // up to and including the last separator or ':'
std::u16string ExtractFileName(std::u16string_view path);  // the part after the last separator
char16_t PathDelimiter();                                  // '\\' on Windows, '/' elsewhere

}  // namespace runtime
