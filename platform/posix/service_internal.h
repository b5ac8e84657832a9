#pragma once
// Internal to the POSIX platform layer: the pieces of the event log and of the systemd
// service manager that tests look at without a running journal or systemd.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace platform::posix {

// One journal entry in the native protocol: MESSAGE, PRIORITY, SYSLOG_IDENTIFIER,
// EVENT_TYPE, EVENT_CATEGORY, EVENT_ID and VBX_VERSION (the program's version); a value
// with a line break uses the binary field form (name, LF, 64-bit little-endian length,
// value, LF).
std::string JournalDatagram(const std::u16string& sourceName, std::uint16_t eventType, std::uint16_t category,
                            std::uint32_t eventId, const std::u16string& text);
// 3, 4 or 6 for error, warning, information; 6 for any other type.
int JournalPriority(std::uint16_t eventType);

// The longest text an entry carries whole, in characters (UTF-16 code units). A longer
// text is cut there (never inside a character) and ends in a visible marker:
// " [... entry cut at <kept> of <all> characters]".
inline constexpr std::size_t kMaxEntryCharacters = std::size_t{1024} * 1024;
std::u16string EntryText(const std::u16string& text);
// Where no journal exists, syslog takes an entry's text (UTF-8) in parts of at most this
// many bytes, the size syslog daemons keep whole; a longer text becomes numbered parts,
// each beginning "[part <i> of <n>] " (a UTF-8 sequence is never split).
inline constexpr std::size_t kSyslogPartBytes = 4000;
std::vector<std::string> SyslogParts(const std::string& text);
// Replaces the journal's socket (normally /run/systemd/journal/socket); empty restores it.
// For tests only.
void SetJournalSocketPath(const std::string& path);

// One sd_notify datagram for a status report.
std::string NotifyDatagram(const ServiceStatus& status);

// The unit file text for an executable path (quoted as systemd requires). CreateService
// writes it only for a path systemd can run: no quote, backslash or control character.
std::string UnitFileText(const std::u16string& displayName, const std::u16string& binaryPathName);

// Replaces the folders the service manager works in: the unit folder (normally
// /etc/systemd/system), the folder whose existence means that systemd runs and that holds
// runtime units (normally /run/systemd/system), the folders of packages' units (normally
// /lib/systemd/system and /usr/lib/systemd/system), and the program asked with "-S <path>"
// which package owns a unit (normally dpkg-query). Empty values restore the defaults. For
// tests only.
void SetServiceManagerFolders(const std::string& unitFolder, const std::string& systemdRunFolder,
                              const std::vector<std::string>& packageFolders = {}, const std::string& ownerQuery = {});

}  // namespace platform::posix
