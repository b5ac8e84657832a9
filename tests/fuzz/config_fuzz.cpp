// The configuration reader: a configuration file of arbitrary bytes goes through loading,
// ReadXMLTag, ToInteger and the service's start. Input: the first byte picks a byte-order
// mark put in front of the rest (none, UTF-16 LE, UTF-16 BE, UTF-8); the rest are the
// file's bytes (which may carry a mark of their own). The invariants are in README.md.

#include "collector_harness.h"
#include "runtime/lines.h"
#include "support/temp_folder.h"

namespace {

using collector::TBrivonMorvel;
using fuzz::Check;
using fuzz::ModelReadNumber;

std::string Show(std::u16string_view text) { return txt::ToUtf8(text.substr(0, 200)); }

// The text between the first "<tag>" and the first "</tag>", empty unless the closing one
// comes after the opening one and something lies between.
std::u16string ReferenceTag(const std::u16string& text, const std::u16string& tag) {
    const std::size_t open = text.find(u"<" + tag + u">"), close = text.find(u"</" + tag + u">");
    const std::size_t start = open + tag.size() + 2;
    if (open == std::u16string::npos || close == std::u16string::npos || close <= start) return {};
    return text.substr(start, close - start);
}

const std::pair<std::u16string, std::u16string TBrivonMorvel::*> kTextFields[] = {
    {u"OutputDirectory", &TBrivonMorvel::OutputDirectory},
    {u"OutputToFile", &TBrivonMorvel::OutputToFile},
    {u"Versie", &TBrivonMorvel::Versie},
    {u"Protocol", &TBrivonMorvel::Protocol},
    {u"Verzender", &TBrivonMorvel::Verzender},
    {u"Ontvanger", &TBrivonMorvel::Ontvanger}};

// A tag name found in the text: the characters after the first "<" up to the next ">".
std::u16string TagFromInput(const std::u16string& text) {
    const std::size_t open = text.find(u'<');
    if (open == std::u16string::npos) return u"Port";
    const std::size_t close = text.find(u'>', open + 1);
    std::u16string tag = text.substr(open + 1, close == std::u16string::npos ? 0 : close - open - 1);
    if (tag.starts_with(u'/')) tag.erase(0, 1);
    return tag.substr(0, 64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::string kMarks[] = {"", "\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF"};
    const std::string bytes = kMarks[data[0] & 3] + std::string(reinterpret_cast<const char*>(data + 1), size - 1);

    // Loading, in memory and from the file (the decoding by byte-order mark is the unit
    // table Files.SaveAndLoadWithByteOrderMarks).
    const std::u16string decoded = runtime::DecodeFileText(bytes);
    const std::vector<std::u16string> lines = fuzz::ModelLines(std::u16string_view(decoded));
    const std::u16string text = fuzz::ModelJoined(lines);
    runtime::TStringList inMemory, fromFile;
    inMemory.SetText(decoded);
    Check(inMemory.Lines() == lines, "the loaded lines differ from the reference split");
    Check(inMemory.Text() == text, "the list's text is not its lines joined with CR LF");
    // The base directory: one per process (parallel jobs each get their own), removed when
    // the process exits normally.
    static const testsupport::TempFolder folder("fuzz-config");
    static const std::u16string dir = folder.Name() + runtime::PathDelimiter();
    runtime::WriteFileBytes(dir + u"VBxMorvelClient.xml", bytes);
    fromFile.LoadFromFile(dir + u"VBxMorvelClient.xml");
    Check(fromFile.Lines() == lines, "loading the file differs from loading in memory");

    // The service's start with this file.
    testsupport::RecordingLog log;
    testsupport::FakeTimerList timers;
    testsupport::FakeSocket socket;
    TBrivonMorvel service(
        log, timers, socket, [] { return runtime::TDateTime{2026, 12, 3, 14, 5, 7, 0}; }, dir);

    // A tag taken from the input (the fixed ones are checked through the start below).
    const std::u16string inputTag = TagFromInput(decoded), value = service.ReadXMLTag(fromFile, inputTag);
    Check(value == ReferenceTag(text, inputTag), "ReadXMLTag(" + Show(inputTag) + ") = \"" + Show(value) + "\"");
    Check(text.find(value) != std::u16string::npos, "a value is not part of the loaded text");

    bool started = true;
    service.ServiceStart(&service, started);
    Check(socket.connects == 0 && socket.sent.empty(), "the start connected or sent");
    for (const auto& [key, field] : kTextFields) {
        Check(service.*field == ReferenceTag(text, key), "field " + Show(key) + " holds another value");
    }
    const auto number = [&](auto tag) { return ModelReadNumber(std::u16string_view(ReferenceTag(text, tag))).integer; };
    const std::int32_t interval = number(u"HTTPTimer");
    Check(timers.events[0].interval == (interval > 0 ? interval : TBrivonMorvel::TimerDesign[0].interval),
          "ControleTimer has another interval");
    Check(timers.events[0].enabled && timers.events[1].enabled, "the timers were not enabled");

    std::vector<fuzz::LogEntry> expectedLog = {{fuzz::kGestart, fuzz::kInfo}};
    if (const std::int32_t port = number(u"Port"); port > 0) {
        const std::u16string binding = ReferenceTag(text, u"Binding"), portText = txt::FromUtf8(std::to_string(port));
        Check(service.Binding == binding && service.PortText == portText, "Binding or PortText differ");
        Check(socket.addressSets == 2 && socket.addr == binding && socket.port == portText,
              "the socket got another address or port");
        expectedLog.push_back({fuzz::Geconfigureerd(binding, portText), fuzz::kInfo});
    } else {
        Check(service.Binding.empty() && service.PortText.empty() && socket.addressSets == 0,
              "a port not above 0 still configured the socket");
    }
    const std::vector<fuzz::LogEntry> entries = log.Entries();
    Check(entries == expectedLog, "the log holds " + std::to_string(entries.size()) + " entries, the last \"" +
                                      (entries.empty() ? "" : Show(entries.back().text)) + "\"");
    return 0;
}
