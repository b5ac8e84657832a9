#include "collector/metrics.h"

#include <charconv>
#include <chrono>

#include "text/strings.h"

namespace collector {

namespace {

// Label values and the status text's words, by outcome (ReplyOutcome's order).
constexpr std::array<std::string_view, kReplyOutcomeCount> kOutcomeLabels = {
    "written", "invalid", "too_long", "archived", "buffer_full", "dropped", "failed"};
constexpr std::array<std::u16string_view, kReplyOutcomeCount> kOutcomeWords = {
    u"written", u"invalid reply", u"reply too long", u"archived", u"buffer full", u"reply dropped", u"write failed"};
constexpr std::array<std::string_view, CollectorMetrics::kLogTypes> kLogTypeLabels = {"information", "warning", "error",
                                                                                      "other"};
// lastEvent_ when the last thing that happened was a failed connect.
constexpr int kConnectFailedEvent = static_cast<int>(kReplyOutcomeCount);

std::string Number(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string Number(std::uint64_t value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// One metric's HELP and TYPE lines.
void Head(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP vbxmorvel_").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE vbxmorvel_").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, const std::string& value) {
    out.append("vbxmorvel_").append(name);
    if (!labels.empty()) out.append("{").append(labels).append("}");
    out.append(" ").append(value).append("\n");
}

}  // namespace

double SystemEpochSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

CollectorMetrics::CollectorMetrics(EpochClock wallClock, EpochClock steadyClock)
    : wallClock_(std::move(wallClock)), steadyClock_(std::move(steadyClock)), startTime_(wallClock_()) {}

void CollectorMetrics::Reply(ReplyOutcome outcome, std::uint64_t bytes) {
    const auto index = static_cast<std::size_t>(outcome);
    replies_[index].fetch_add(1);
    lastReplyBytes_.store(bytes);
    if (outcome == ReplyOutcome::kWritten) {
        lastWrittenBytes_.store(bytes);
        lastWrittenTime_.store(wallClock_());
    }
    const int event = static_cast<int>(index);
    eventRepeats_.store(lastEvent_.exchange(event) == event ? eventRepeats_.load() + 1 : 1);
}

void CollectorMetrics::ConnectFailed() {
    connectFailures_.fetch_add(1);
    eventRepeats_.store(lastEvent_.exchange(kConnectFailedEvent) == kConnectFailedEvent ? eventRepeats_.load() + 1 : 1);
}

void CollectorMetrics::LogEntry(std::uint32_t eventType) {
    std::size_t index = 3;
    if (eventType == 4) index = 0;
    if (eventType == 2) index = 1;
    if (eventType == 1) index = 2;
    logEntries_[index].fetch_add(1);
}

void CollectorMetrics::CycleStarted() { cycleStart_.store(steadyClock_()); }

void CollectorMetrics::CycleEnded() {
    const double start = cycleStart_.exchange(-1);
    if (start >= 0) lastCycleSeconds_.store(steadyClock_() - start);
}

std::string CollectorMetrics::Render(std::string_view version) const {
    std::string out;
    out.reserve(3072);
    Head(out, "build_info", "gauge", "The program's version in its label; always 1.");
    std::string versionLabel = "version=\"";
    for (const char c : version) {
        // Escaped as the exposition format wants, though a version has none of these.
        if (c == '\\' || c == '"') versionLabel.push_back('\\');
        if (c == '\n') {
            versionLabel += "\\n";
            continue;
        }
        versionLabel.push_back(c);
    }
    versionLabel.push_back('"');
    Sample(out, "build_info", versionLabel, "1");
    Head(out, "start_time_seconds", "gauge", "Start time of the process since the Unix epoch in seconds.");
    Sample(out, "start_time_seconds", {}, Number(startTime_));
    Head(out, "service_state", "gauge",
         "The service's state as last reported: 1 stopped, 2 start pending, 3 stop pending, 4 running, "
         "5 continue pending, 6 pause pending, 7 paused.");
    Sample(out, "service_state", {}, Number(std::uint64_t{state_.load()}));
    Head(out, "requests_sent_total", "counter", "Requests sent to the packet server.");
    Sample(out, "requests_sent_total", {}, Number(requestsSent_.load()));
    Head(out, "connect_failures_total", "counter", "Connections to the packet server that could not be made.");
    Sample(out, "connect_failures_total", {}, Number(connectFailures_.load()));
    Head(out, "replies_total", "counter",
         "Replies by outcome: written, invalid (not written), too_long (past the receive bound), archived (no STX), "
         "buffer_full (no memory), dropped (never complete or superseded), failed (file not written).");
    for (std::size_t i = 0; i < kReplyOutcomeCount; ++i) {
        Sample(out, "replies_total", "outcome=\"" + std::string(kOutcomeLabels[i]) + "\"", Number(replies_[i].load()));
    }
    Head(out, "last_reply_bytes", "gauge", "Bytes of the last reply as received.");
    Sample(out, "last_reply_bytes", {}, Number(lastReplyBytes_.load()));
    Head(out, "last_written_timestamp_seconds", "gauge",
         "Time of the last packet written as TV_BRIVON.XML since the Unix epoch in seconds; 0 before the first.");
    Sample(out, "last_written_timestamp_seconds", {}, Number(lastWrittenTime_.load()));
    Head(out, "last_cycle_duration_seconds", "gauge",
         "Duration of the last request cycle, from the connect to its outcome, in seconds.");
    Sample(out, "last_cycle_duration_seconds", {}, Number(lastCycleSeconds_.load()));
    Head(out, "request_interval_seconds", "gauge", "The configured request interval in seconds.");
    Sample(out, "request_interval_seconds", {}, Number(intervalMs_.load() / 1000.0));
    Head(out, "log_entries_total", "counter", "Event-log entries of the collector by type.");
    for (std::size_t i = 0; i < kLogTypes; ++i) {
        Sample(out, "log_entries_total", "type=\"" + std::string(kLogTypeLabels[i]) + "\"",
               Number(logEntries_[i].load()));
    }
    return out;
}

std::u16string CollectorMetrics::StatusText(const std::function<std::u16string(double)>& localTime) const {
    const int event = lastEvent_.load();
    const double written = lastWrittenTime_.load();
    if (event == static_cast<int>(ReplyOutcome::kWritten)) {
        return u"last packet " + localTime(written) + u", " +
               txt::IntToStr(static_cast<std::int64_t>(lastWrittenBytes_.load())) + u" bytes";
    }
    std::u16string text = u"no packet since " + localTime(written > 0 ? written : startTime_);
    if (event < 0) return text;
    text += u" (";
    text += event == kConnectFailedEvent ? u"connect failed" : kOutcomeWords[static_cast<std::size_t>(event)];
    if (const std::uint64_t repeats = eventRepeats_.load(); repeats > 1) {
        text += u" \u00d7" + txt::IntToStr(static_cast<std::int64_t>(repeats));
    }
    return text + u")";
}

}  // namespace collector
