// Console mode lines of the event log and of the service manager stand-in, shared by every
// platform: the formats are part of the program's contract with operators and tests.
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/system.h"
#include "text/strings.h"

namespace platform {
namespace {

std::atomic<bool> g_eventEcho{false};
std::atomic<bool> g_consoleMode{false};

// One lock for both streams keeps every line whole even when several threads write.
std::mutex& EchoMutex() {
    static std::mutex mutex;
    return mutex;
}

void AppendPadded(std::string& out, int value, int width) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
    out += digits;
}

std::string TimeStamp() {
    const LocalTime t = LocalNow();
    std::string s;
    s.reserve(24);
    AppendPadded(s, t.year, 4);
    s += '-';
    AppendPadded(s, t.month, 2);
    s += '-';
    AppendPadded(s, t.day, 2);
    s += ' ';
    AppendPadded(s, t.hour, 2);
    s += ':';
    AppendPadded(s, t.minute, 2);
    s += ':';
    AppendPadded(s, t.second, 2);
    s += '.';
    AppendPadded(s, t.millisecond, 3);
    return s;
}

void WriteLine(std::FILE* stream, const std::string& line) {
    std::string whole = TimeStamp();
    whole += ' ';
    whole += line;
    whole += '\n';
    std::lock_guard<std::mutex> lock(EchoMutex());
    std::fwrite(whole.data(), 1, whole.size(), stream);
    std::fflush(stream);
}

std::string EscapeText(const std::u16string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::u16string escaped;
    escaped.reserve(text.size());
    for (char16_t c : text) {
        if (c == u'\\') {
            escaped += u"\\\\";
        } else if (c == u'\r') {
            escaped += u"\\r";
        } else if (c == u'\n') {
            escaped += u"\\n";
        } else if (c < 0x20) {
            escaped += u"\\x";
            escaped += static_cast<char16_t>(kHex[c >> 4]);
            escaped += static_cast<char16_t>(kHex[c & 0xF]);
        } else {
            escaped += c;
        }
    }
    return txt::ToUtf8(escaped);
}

std::string TypeWord(std::uint16_t eventType) {
    switch (eventType) {
    case kEventLogErrorType: return "error";
    case kEventLogWarningType: return "warning";
    case kEventLogInformationType: return "information";
    default: return std::to_string(eventType);
    }
}

}  // namespace

void SetEventLogEcho(bool echo) { g_eventEcho.store(echo); }
bool EventLogEcho() { return g_eventEcho.load(); }

std::string FormatEventEntry(const std::u16string& sourceName, std::uint16_t eventType, std::uint16_t category,
                             std::uint32_t eventId, const std::u16string& text) {
    std::string line = txt::ToUtf8(sourceName);
    line += ' ';
    line += TypeWord(eventType);
    line += ' ';
    line += std::to_string(category);
    line += ' ';
    line += std::to_string(eventId);
    line += ' ';
    line += EscapeText(text);
    return line;
}

void EchoEventEntry(const std::u16string& sourceName, std::uint16_t eventType, std::uint16_t category,
                    std::uint32_t eventId, const std::u16string& text) {
    WriteLine(stdout, FormatEventEntry(sourceName, eventType, category, eventId, text));
}

void SetConsoleMode(bool console) { g_consoleMode.store(console); }
bool ConsoleMode() { return g_consoleMode.load(); }

std::string FormatServiceStatus(const ServiceStatus& status) {
    std::string line = "status ";
    line += ServiceStateName(status.dwCurrentState);
    line += " state=" + std::to_string(status.dwCurrentState);
    line += " controls=" + std::to_string(status.dwControlsAccepted);
    line += " checkpoint=" + std::to_string(status.dwCheckPoint);
    line += " waithint=" + std::to_string(status.dwWaitHint);
    return line;
}

void EchoServiceStatus(const ServiceStatus& status) { WriteLine(stderr, FormatServiceStatus(status)); }

}  // namespace platform
