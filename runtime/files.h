#pragma once
// Files and directories. Paths are UTF-16 text; errors raise the runtime's texts with the
// system's error text for the (Windows-numbered) error code.
#include <string>
#include <string_view>

namespace runtime {

bool FileExists(const std::u16string& path);        // a directory of that name does not count
bool DirectoryExists(const std::u16string& path);
bool CreateDir(const std::u16string& path);          // one level; false on failure

// Creates or truncates the file with exclusive access and writes the bytes.
// Raises EFCreateError "Cannot create file "%s". %s".
void WriteFileBytes(const std::u16string& path, std::string_view bytes);
// Reads the whole file, denying writers where the platform can.
// Raises EFOpenError "Cannot open file "%s". %s".
std::string ReadFileBytes(const std::u16string& path);

// Replaces the target by the source in one step. Returns 0 or the Windows error code.
unsigned RenameReplace(const std::u16string& from, const std::u16string& to);
bool DeleteFileIfExists(const std::u16string& path);

// The executable's full path and its directory with the trailing separator.
std::u16string ModuleFileName();
std::u16string ExtractFilePath(std::u16string_view path);   // up to and including the last separator or ':'
std::u16string ExtractFileName(std::u16string_view path);   // the part after the last separator
char16_t PathDelimiter();                                    // '\\' on Windows, '/' elsewhere

}  // namespace runtime
