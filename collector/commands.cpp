#include "collector/commands.h"

#include <array>
#include <charconv>
#include <cmath>
#include <exception>
#include <optional>
#include <string_view>

#include "collector/brivon_morvel.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "runtime/lines.h"
#include "text/strings.h"

namespace collector {

namespace {

// The keys of the configuration document, as the document spells them.
constexpr std::array<std::u16string_view, 10> kKeys = {u"HTTPTimer",       u"Binding",    u"Port",      u"OutputToFile",
                                                       u"OutputDirectory", u"Verzender",  u"Ontvanger", u"Protocol",
                                                       u"Versie",          u"MetricsFile"};
constexpr std::u16string_view kMetricsFile = u"MetricsFile";
constexpr std::int32_t kDesignIntervalMs = 30000;  // ControleTimer's interval without HTTPTimer
constexpr double kWarningIntervals = 3;
constexpr double kCriticalIntervals = 10;

std::u16string Element(std::u16string_view key, std::u16string_view value) {
    return u"<" + std::u16string(key) + u">" + std::u16string(value) + u"</" + std::u16string(key) + u">";
}

std::u16string Number(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return txt::FromUtf8(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

std::optional<double> Seconds(std::u16string_view text) {
    const std::string bytes = txt::ToUtf8(text);
    double value = 0;
    const auto result = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
    if (result.ec != std::errc() || result.ptr != bytes.data() + bytes.size() || !(value >= 0)) return std::nullopt;
    return value;
}

// The service's state names in the check's words, by state value (0: not known).
std::u16string StateWords(int state) {
    static constexpr std::array<std::u16string_view, 8> kWords = {
        u"state unknown", u"stopped", u"starting", u"stopping", u"running", u"continuing", u"pausing", u"paused"};
    return std::u16string(state >= 0 && state < 8 ? kWords[static_cast<std::size_t>(state)] : kWords[0]);
}

// The value of `vbxmorvel_service_state` in a metrics file; -1 when it has none.
int StateInMetrics(std::string_view text) {
    constexpr std::string_view kSeries = "\nvbxmorvel_service_state ";
    const std::size_t at = text.find(kSeries);
    if (at == std::string_view::npos) return -1;
    int state = -1;
    const char* first = text.data() + at + kSeries.size();
    if (std::from_chars(first, text.data() + text.size(), state).ec != std::errc()) return -1;
    return state;
}

CommandResult Verdict(int status, const std::u16string& text, const std::u16string& perf) {
    static constexpr std::array<std::u16string_view, 4> kNames = {u"OK", u"WARNING", u"CRITICAL", u"UNKNOWN"};
    return {status,
            u"VBXMORVEL " + std::u16string(kNames[static_cast<std::size_t>(status)]) + u" - " + text + u" | " + perf};
}

}  // namespace

CommandResult ConfigureCommand(const std::u16string& baseDirectory, const std::vector<std::u16string>& assignments) {
    std::array<std::optional<std::u16string>, kKeys.size()> values;
    for (const std::u16string& assignment : assignments) {
        const std::size_t equals = assignment.find(u'=');
        const std::u16string_view key = std::u16string_view(assignment).substr(0, equals);
        std::size_t index = kKeys.size();
        for (std::size_t i = 0; i < kKeys.size(); ++i) {
            if (equals != std::u16string::npos && txt::SameText(key, kKeys[i])) index = i;
        }
        if (index == kKeys.size()) return {1, u"Unknown configuration key: " + assignment, true};
        std::u16string value = assignment.substr(equals + 1);
        // The reader takes a value up to the first closing tag of its key and the lines as
        // they stand: a value with a tag or a line break would not read back as given.
        if (value.find_first_of(u"<>\r\n") != std::u16string::npos) {
            return {1, u"A configuration value cannot hold \"<\", \">\" or a line break: " + assignment, true};
        }
        values[index] = std::move(value);
    }
    const std::u16string config = baseDirectory + u"VBxMorvelClient.xml";
    if (runtime::FileExists(config)) return {0, u"The configuration exists and was not changed: " + config};

    const runtime::TStringList defaults = TBrivonMorvel::DefaultConfigurationFor(baseDirectory);
    runtime::TStringList document;
    for (const std::u16string& line : defaults.Lines()) {
        std::u16string written = line;
        for (std::size_t i = 0; i < kKeys.size(); ++i) {
            if (values[i] && line.starts_with(u"<" + std::u16string(kKeys[i]) + u">")) {
                written = Element(kKeys[i], *values[i]);
            }
        }
        document.Add(written);
        // The metrics file, absent from the default document, joins the output group right
        // after the output directory; without a value the document stays the default.
        const std::optional<std::u16string>& metrics = values[kKeys.size() - 1];
        if (line.starts_with(u"<OutputDirectory>") && metrics && !metrics->empty()) {
            document.Add(Element(kMetricsFile, *metrics));
        }
    }
    try {
        runtime::ReplaceFile(config, document.ExactFileBytes());
    } catch (const std::exception& error) {
        return {1, runtime::MessageOf(error), true};
    }
    return {0, u"The configuration was written: " + config};
}

CommandResult StatusCommand(const std::u16string& baseDirectory, const std::vector<std::u16string>& arguments,
                            double now) {
    const std::u16string unknownPerf = u"age=U;;;0 size=U;;;0";
    if (arguments.size() > 2) return Verdict(3, u"usage: /STATUS [WARNING_S [CRITICAL_S]]", unknownPerf);
    std::optional<double> warning, critical;
    if (!arguments.empty() && !(warning = Seconds(arguments[0]))) {
        return Verdict(3, u"the warning threshold is no number of seconds: " + arguments[0], unknownPerf);
    }
    if (arguments.size() > 1 && !(critical = Seconds(arguments[1]))) {
        return Verdict(3, u"the critical threshold is no number of seconds: " + arguments[1], unknownPerf);
    }

    const std::u16string config = baseDirectory + u"VBxMorvelClient.xml";
    if (!runtime::FileExists(config)) return Verdict(3, u"no configuration " + config, unknownPerf);
    runtime::TStringList list;
    try {
        list.LoadFromFile(config);
    } catch (const std::exception& error) {
        return Verdict(3, runtime::MessageOf(error), unknownPerf);
    }
    std::int32_t intervalMs = txt::ToInteger(TBrivonMorvel::ReadXMLTag(list, u"HTTPTimer"));
    if (intervalMs <= 0) intervalMs = kDesignIntervalMs;
    const double interval = intervalMs / 1000.0;
    const double warnAfter = warning.value_or(kWarningIntervals * interval);
    const double critAfter = critical.value_or(kCriticalIntervals * interval);
    const std::u16string thresholds = u";" + Number(warnAfter) + u";" + Number(critAfter) + u";0";

    std::u16string output = TBrivonMorvel::ReadXMLTag(list, u"OutputDirectory");
    output.push_back(runtime::PathDelimiter());
    output += u"TV_BRIVON.XML";
    double written = 0;
    std::uint64_t size = 0;
    if (!runtime::FileTimeAndSize(output, written, size)) {
        return Verdict(3, u"no output file yet " + output, u"age=U" + thresholds + u" size=U;;;0");
    }

    // The metrics file, when one is configured, tells the service's state, and its own age
    // whether the service still writes it.
    int state = -1;
    double metricsAge = 0;
    const std::u16string metrics =
        TBrivonMorvel::ResolvePath(baseDirectory, TBrivonMorvel::ReadXMLTag(list, kMetricsFile));
    if (!metrics.empty()) {
        double metricsTime = 0;
        std::uint64_t metricsSize = 0;
        std::string text;
        try {
            if (!runtime::FileTimeAndSize(metrics, metricsTime, metricsSize)) throw std::exception();
            text = "\n" + runtime::ReadFileBytes(metrics);
        } catch (const std::exception&) {
            return Verdict(3, u"cannot read the metrics file " + metrics, u"age=U" + thresholds + u" size=U;;;0");
        }
        if (state = StateInMetrics(text); state < 0) {
            return Verdict(3, u"no service state in the metrics file " + metrics,
                           u"age=U" + thresholds + u" size=U;;;0");
        }
        metricsAge = std::max(0.0, now - metricsTime);
    }

    const double age = std::max(0.0, now - written);
    const auto wholeAge = static_cast<std::int64_t>(std::floor(age));
    std::u16string text = u"last packet " + txt::IntToStr(wholeAge) + u" s ago, " +
                          txt::IntToStr(static_cast<std::int64_t>(size)) + u" bytes";
    if (state >= 0) text += u", " + StateWords(state);
    int status = 0;
    if (state == 1) {
        status = 2;
    } else if (state >= 0 && metricsAge > kWarningIntervals * interval) {
        status = 2;
        text += u", metrics not updated for " + txt::IntToStr(static_cast<std::int64_t>(metricsAge)) + u" s";
    } else if (age > critAfter) {
        status = 2;
    } else if (age > warnAfter) {
        status = 1;
    }
    return Verdict(status, text,
                   u"age=" + txt::IntToStr(wholeAge) + u"s" + thresholds + u" size=" +
                       txt::IntToStr(static_cast<std::int64_t>(size)) + u"B;;;0");
}

}  // namespace collector
