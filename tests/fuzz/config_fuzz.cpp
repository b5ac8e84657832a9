// The configuration reader: a configuration file of arbitrary bytes goes through the
// service's start (loading, ReadXMLTag, ToInteger and the use of each value).
//
// Input: the first byte picks a byte-order mark put in front of the rest (none, UTF-16
// LE, UTF-16 BE, UTF-8); the rest are the file's bytes (which may carry a mark of their
// own). Invariants:
// - loading splits the decoded text as a reference splitter does (a NUL ends the text;
//   CR, LF and CR LF end a line), and loading from the file equals loading in memory;
// - ReadXMLTag agrees with a reference written from the position rules, for every key
//   and for a tag taken from the input, and every value is a substring of the loaded lines
//   re-joined with CR LF;
// - ToInteger agrees with a reference conversion on every value and every line;
// - the service's fields, the timer interval, the socket's address and port and the log
//   entries are what the reference values say.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "collector/brivon_morvel.h"
#include "collector/collaborators.h"
#include "platform/event_log.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/lines.h"
#include "text/strings.h"

namespace {

using collector::TBrivonMorvel;
using collector::TSocketState;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "broken invariant: %s\n", what.c_str());
    std::abort();
}

void Check(bool ok, const std::string& what) {
    if (!ok) Fail(what);
}

std::string Show(std::u16string_view text) { return txt::ToUtf8(text.substr(0, 200)); }

// ---------------------------------------------------------------------------------------
// Collaborators: just enough to watch what the start does with the values.

class Log : public collector::ServiceLog {
public:
    void WriteEvent(const std::u16string& message, std::uint32_t type, int category, int eventId) override {
        Check(category == 0 && eventId == 1, "log entry with another category or event id");
        entries.push_back({message, type});
    }
    struct Entry {
        std::u16string text;
        std::uint32_t type;
    };
    std::vector<Entry> entries;
};

class TimerEvent : public collector::TimerEventOps {
public:
    bool Enabled() const override { return enabled; }
    void SetEnabled(bool value) override { enabled = value; }
    std::int32_t Interval() const override { return interval; }
    void SetInterval(std::int32_t ms) override { interval = ms; }
    bool enabled = false;
    std::int32_t interval = 0;
};

class TimerList : public collector::TimerListOps {
public:
    TimerList() {
        for (int i = 0; i < 3; ++i) {
            events[i].enabled = TBrivonMorvel::TimerDesign[i].enabled;
            events[i].interval = TBrivonMorvel::TimerDesign[i].interval;
        }
    }
    collector::TimerEventOps& Events(int index) override { return events[static_cast<std::size_t>(index)]; }
    void SetActive(bool value) override { active = value; }
    TimerEvent events[3];
    bool active = false;
};

class Socket : public collector::ClientSocketOps {
public:
    TSocketState State() const override { return TSocketState::wsClosed; }
    void SetAddr(const std::u16string& value) override { addr = value; }
    void SetPort(const std::u16string& value) override { port = value; }
    void Connect() override { Fail("the start connected"); }
    void Close() override {}
    int SendText(const std::u16string&) override { Fail("the start sent"); }
    std::size_t ReceiveTextInto(const std::function<char*(std::size_t)>&) override { return 0; }
    void SetHandlers(SessionHandler, SessionHandler, SessionHandler) override {}
    std::optional<std::u16string> addr, port;
};

// ---------------------------------------------------------------------------------------
// References

// Decoding by byte-order mark; the 8-bit and UTF-8 conversions are the code-page layer's
// own, checked here only for what must hold of them.
std::u16string ReferenceDecode(std::string_view bytes) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && ((at(0) == 0xFF && at(1) == 0xFE) || (at(0) == 0xFE && at(1) == 0xFF))) {
        const bool little = at(0) == 0xFF;
        std::u16string text;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            const unsigned lo = little ? at(i) : at(i + 1);
            const unsigned hi = little ? at(i + 1) : at(i);
            text.push_back(static_cast<char16_t>(hi << 8 | lo));
        }
        return text;
    }
    const bool utf8 = bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF;
    const std::string_view body = utf8 ? bytes.substr(3) : bytes;
    std::u16string text = utf8 ? txt::FromUtf8(body) : runtime::FromAnsi(body);
    if (!utf8) Check(text.size() == body.size(), "the 8-bit code page did not give one character per byte");
    if (std::all_of(body.begin(), body.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        Check(text == std::u16string(body.begin(), body.end()), "ASCII bytes did not decode to themselves");
    }
    return text;
}

std::vector<std::u16string> ReferenceLines(std::u16string_view text) {
    std::vector<std::u16string> lines;
    std::u16string line;
    bool open = false;  // characters since the last break
    for (std::size_t i = 0; i < text.size() && text[i] != u'\0'; ++i) {
        const char16_t c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.push_back(line);
            line.clear();
            open = false;
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        } else {
            line.push_back(c);
            open = true;
        }
    }
    if (open) lines.push_back(line);
    return lines;
}

std::u16string Joined(const std::vector<std::u16string>& lines) {
    std::u16string text;
    for (const std::u16string& line : lines) text += line + u"\r\n";
    return text;
}

// Positions counted from 1, 0 when absent, as the rule is written.
std::u16string ReferenceTag(const std::u16string& text, const std::u16string& tag) {
    const auto position = [&](const std::u16string& what) -> long long {
        const std::size_t at = text.find(what);
        return at == std::u16string::npos ? 0 : static_cast<long long>(at) + 1;
    };
    const long long a = position(u"<" + tag + u">");
    const long long b = position(u"</" + tag + u">");
    if (a <= 0 || b <= 0) return {};
    const long long l = static_cast<long long>(tag.size()) + 2;
    const long long length = b - a - l;
    if (length <= 0) return {};
    const long long start = a + l;  // 1-based
    if (start - 1 >= static_cast<long long>(text.size())) return {};
    return text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(length));
}

// The conversion: blanks, one sign, a hexadecimal prefix, then the longest run of digits
// whose value stays within the range (all 32 bits for hexadecimal, the signed range for
// decimal); the sign counts only when nothing follows the digits.
std::int32_t ReferenceToInteger(std::u16string_view text) {
    std::size_t i = text.find_first_not_of(u' ');
    if (i == std::u16string_view::npos) return 0;
    bool negative = false;
    if (text[i] == u'+' || text[i] == u'-') negative = text[i++] == u'-';
    int base = 10;
    const std::u16string_view rest = text.substr(i);
    if (rest.starts_with(u"$") || rest.starts_with(u"x") || rest.starts_with(u"X")) {
        base = 16;
        i += 1;
    } else if (rest.starts_with(u"0x") || rest.starts_with(u"0X")) {
        base = 16;
        i += 2;
    }
    std::string digits;
    for (std::size_t k = i; k < text.size(); ++k) {
        const char16_t c = text[k];
        const bool digit =
            (c >= u'0' && c <= u'9') || (base == 16 && ((c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')));
        if (!digit) break;
        digits.push_back(static_cast<char>(c));
    }
    const std::uint64_t limit = base == 16 ? 0xFFFFFFFFull : 0x7FFFFFFFull + (negative ? 1 : 0);
    // The value only grows with each digit, so the longest prefix within the limit is
    // found by bisection over the prefix length.
    const auto value = [&](std::size_t count) -> std::optional<std::uint64_t> {
        if (count == 0) return 0;
        std::uint64_t v = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + count, v, base);
        if (error != std::errc() || end != digits.data() + count || v > limit) return std::nullopt;
        return v;
    };
    std::size_t low = 0, high = digits.size();
    while (low < high) {
        const std::size_t mid = (low + high + 1) / 2;
        if (value(mid)) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    const std::uint64_t v = *value(low);
    const bool whole = i + low == text.size();
    const std::uint32_t bits = static_cast<std::uint32_t>(whole && negative ? (0 - v) : v);
    return static_cast<std::int32_t>(bits);
}

void CheckToInteger(std::u16string_view text) {
    const std::int32_t got = txt::ToInteger(text);
    const std::int32_t expected = ReferenceToInteger(text);
    if (got != expected) {
        Fail("ToInteger(\"" + Show(text) + "\") = " + std::to_string(got) + ", the reference gives " +
             std::to_string(expected));
    }
}

// ---------------------------------------------------------------------------------------

const std::u16string kTextKeys[] = {u"OutputDirectory", u"OutputToFile", u"Versie",
                                    u"Protocol",        u"Verzender",    u"Ontvanger"};

// A tag name found in the text: the characters after the first "<" up to the next ">".
std::u16string TagFromInput(const std::u16string& text) {
    const std::size_t open = text.find(u'<');
    if (open == std::u16string::npos) return u"Port";
    const std::size_t close = text.find(u'>', open + 1);
    std::u16string tag = text.substr(open + 1, close == std::u16string::npos ? 0 : close - open - 1);
    if (!tag.empty() && tag[0] == u'/') tag.erase(0, 1);
    return tag.substr(0, 64);
}

// The base directory of the service under test: one per process (parallel fuzzing jobs
// each get their own), removed when the process exits normally.
class BaseDirectory {
public:
    BaseDirectory()
        : path_(std::filesystem::temp_directory_path() /
                ("vbx-fuzz-config-" + std::to_string(std::random_device{}()))) {
        std::filesystem::create_directories(path_);
        text_ = txt::FromUtf8(path_.string()) + runtime::PathDelimiter();
    }
    ~BaseDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::u16string& Text() const { return text_; }

private:
    std::filesystem::path path_;
    std::u16string text_;
};

const std::u16string& Directory() {
    static const BaseDirectory dir;
    return dir.Text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::string kMarks[] = {"", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF"};
    const std::string bytes = kMarks[data[0] & 3] + std::string(reinterpret_cast<const char*>(data + 1), size - 1);

    // Loading, in memory and from the file.
    const std::u16string decoded = ReferenceDecode(bytes);
    const std::vector<std::u16string> expectedLines = ReferenceLines(decoded);
    runtime::TStringList inMemory;
    inMemory.SetText(runtime::DecodeFileText(bytes));
    Check(inMemory.Lines() == expectedLines, "the loaded lines differ from the reference split");
    const std::u16string text = Joined(expectedLines);
    Check(inMemory.Text() == text, "the list's text is not its lines joined with CR LF");

    const std::u16string& dir = Directory();
    runtime::WriteFileBytes(dir + u"VBxMorvelClient.xml", bytes);
    runtime::TStringList fromFile;
    fromFile.LoadFromFile(dir + u"VBxMorvelClient.xml");
    Check(fromFile.Lines() == expectedLines, "loading the file differs from loading in memory");

    // The service's start with this file.
    Log log;
    TimerList timers;
    Socket socket;
    TBrivonMorvel service(
        log, timers, socket, [] { return runtime::TDateTime{2026, 12, 3, 14, 5, 7, 0}; }, dir);

    std::vector<std::u16string> tags(std::begin(kTextKeys), std::end(kTextKeys));
    tags.insert(tags.end(), {u"HTTPTimer", u"Port", u"Binding", TagFromInput(decoded)});
    for (const std::u16string& tag : tags) {
        const std::u16string value = service.ReadXMLTag(fromFile, tag);
        const std::u16string expected = ReferenceTag(text, tag);
        if (value != expected) {
            Fail("ReadXMLTag(" + Show(tag) + ") = \"" + Show(value) + "\", the reference gives \"" + Show(expected) +
                 "\"");
        }
        Check(text.find(value) != std::u16string::npos, "a value is not part of the loaded text");
        CheckToInteger(value);
    }
    for (const std::u16string& line : expectedLines) CheckToInteger(line);

    bool started = true;
    service.ServiceStart(&service, started);

    const std::u16string* fields[] = {&service.OutputDirectory, &service.OutputToFile, &service.Versie,
                                      &service.Protocol,        &service.Verzender,    &service.Ontvanger};
    for (std::size_t k = 0; k < std::size(kTextKeys); ++k) {
        Check(*fields[k] == ReferenceTag(text, kTextKeys[k]), "field " + Show(kTextKeys[k]) + " holds another value");
    }

    const std::int32_t interval = ReferenceToInteger(ReferenceTag(text, u"HTTPTimer"));
    const std::int32_t expectedInterval = interval > 0 ? interval : TBrivonMorvel::TimerDesign[0].interval;
    Check(timers.events[0].interval == expectedInterval, "ControleTimer has another interval");
    Check(timers.events[0].enabled && timers.events[1].enabled, "the timers were not enabled");

    std::vector<std::u16string> expectedLog = {txt::U("Vanto Brivon Morvel cliënt werd normaal gestart")};
    const std::int32_t port = ReferenceToInteger(ReferenceTag(text, u"Port"));
    if (port > 0) {
        const std::u16string binding = ReferenceTag(text, u"Binding");
        const std::u16string portText = txt::FromUtf8(std::to_string(port));
        Check(service.Binding == binding && service.PortText == portText, "Binding or PortText differ");
        Check(socket.addr == binding && socket.port == portText, "the socket got another address or port");
        expectedLog.push_back(txt::U("Vanto Brivon Morvel cliënt werd met succes geconfigureerd op ") + binding +
                              u" via poort " + portText);
    } else {
        Check(service.Binding.empty() && service.PortText.empty() && !socket.addr && !socket.port,
              "a port not above 0 still configured the socket");
    }
    Check(log.entries.size() == expectedLog.size(), "another number of log entries");
    for (std::size_t k = 0; k < expectedLog.size(); ++k) {
        Check(log.entries[k].text == expectedLog[k] && log.entries[k].type == platform::kEventLogInformationType,
              "log entry " + std::to_string(k) + " is \"" + Show(log.entries[k].text) + "\"");
    }
    return 0;
}
