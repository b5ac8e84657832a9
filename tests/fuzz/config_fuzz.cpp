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
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "collector/brivon_morvel.h"
#include "invariants.h"
#include "platform/event_log.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/lines.h"
#include "support/collector_fakes.h"
#include "support/messages.h"
#include "support/temp_folder.h"
#include "text/strings.h"

namespace {

using collector::TBrivonMorvel;
using fuzz::Check;
using fuzz::Fail;
using fuzz::ModelJoined;
using fuzz::ModelLines;
using fuzz::ModelReadNumber;

std::string Show(std::u16string_view text) { return txt::ToUtf8(text.substr(0, 200)); }

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

void CheckToInteger(std::u16string_view text) {
    const std::int32_t got = txt::ToInteger(text);
    const std::int32_t expected = ModelReadNumber(text).Integer();
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
const std::u16string& Directory() {
    static const testsupport::TempFolder folder("fuzz-config");
    static const std::u16string text = folder.Name() + runtime::PathDelimiter();
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::string kMarks[] = {"", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF"};
    const std::string bytes = kMarks[data[0] & 3] + std::string(reinterpret_cast<const char*>(data + 1), size - 1);

    // Loading, in memory and from the file.
    const std::u16string decoded = ReferenceDecode(bytes);
    const std::vector<std::u16string> expectedLines = ModelLines(std::u16string_view(decoded));
    runtime::TStringList inMemory;
    inMemory.SetText(runtime::DecodeFileText(bytes));
    Check(inMemory.Lines() == expectedLines, "the loaded lines differ from the reference split");
    const std::u16string text = ModelJoined(expectedLines);
    Check(inMemory.Text() == text, "the list's text is not its lines joined with CR LF");

    const std::u16string& dir = Directory();
    runtime::WriteFileBytes(dir + u"VBxMorvelClient.xml", bytes);
    runtime::TStringList fromFile;
    fromFile.LoadFromFile(dir + u"VBxMorvelClient.xml");
    Check(fromFile.Lines() == expectedLines, "loading the file differs from loading in memory");

    // The service's start with this file.
    testsupport::RecordingLog log;
    testsupport::FakeTimerList timers;
    testsupport::FakeSocket socket;
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
    Check(socket.connects == 0 && socket.sent.empty(), "the start connected or sent");

    const std::u16string* fields[] = {&service.OutputDirectory, &service.OutputToFile, &service.Versie,
                                      &service.Protocol,        &service.Verzender,    &service.Ontvanger};
    for (std::size_t k = 0; k < std::size(kTextKeys); ++k) {
        Check(*fields[k] == ReferenceTag(text, kTextKeys[k]), "field " + Show(kTextKeys[k]) + " holds another value");
    }

    const std::int32_t interval = ModelReadNumber(std::u16string_view(ReferenceTag(text, u"HTTPTimer"))).Integer();
    const std::int32_t expectedInterval = interval > 0 ? interval : TBrivonMorvel::TimerDesign[0].interval;
    Check(timers.events[0].interval == expectedInterval, "ControleTimer has another interval");
    Check(timers.events[0].enabled && timers.events[1].enabled, "the timers were not enabled");

    std::vector<std::u16string> expectedLog = {testsupport::texts::kGestart};
    const std::int32_t port = ModelReadNumber(std::u16string_view(ReferenceTag(text, u"Port"))).Integer();
    if (port > 0) {
        const std::u16string binding = ReferenceTag(text, u"Binding");
        const std::u16string portText = txt::FromUtf8(std::to_string(port));
        Check(service.Binding == binding && service.PortText == portText, "Binding or PortText differ");
        Check(socket.addressSets == 2 && socket.addr == binding && socket.port == portText,
              "the socket got another address or port");
        expectedLog.push_back(testsupport::texts::Geconfigureerd(binding, portText));
    } else {
        Check(service.Binding.empty() && service.PortText.empty() && socket.addressSets == 0,
              "a port not above 0 still configured the socket");
    }
    const std::vector<testsupport::LogEntry> entries = log.Entries();
    Check(entries.size() == expectedLog.size(), "another number of log entries");
    for (std::size_t k = 0; k < expectedLog.size(); ++k) {
        Check(entries[k] == testsupport::LogEntry{expectedLog[k], platform::kEventLogInformationType},
              "log entry " + std::to_string(k) + " is \"" + Show(entries[k].text) + "\"");
    }
    return 0;
}
