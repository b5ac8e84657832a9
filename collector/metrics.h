#pragma once
// The collector's figures for monitoring: what the request cycle did since the process
// started, rendered in the Prometheus text exposition format for the metrics file
// (MetricsFile), and the short text after the state name in systemd's status line.
//
// The set of series is fixed: every label value is one of this file's constants, none comes
// from the network or the configuration, so the file stays the same small size whatever
// the server sends.
//
// Threading contract: every counter is an atomic, so the socket's events (main thread),
// the timer events and handlers (control thread) and the final state report
// (service-main thread) count without a lock; Render and StatusText read a consistent
// enough picture (each figure on its own) from any thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace collector {

// What became of one reply (or of the bytes of one connection).
enum class ReplyOutcome : std::uint8_t {
    kWritten,     // decoded and written as TV_BRIVON.XML
    kInvalid,     // its payload is no well-formed base64: the file was left as it was
    kTooLong,     // its connection passed the receive buffer's bound: its bytes were discarded
    kArchived,    // no STX after the SOH: written as an archive file
    kBufferFull,  // the system refused storage for it
    kDropped,     // never processed: incomplete at the next connection, or superseded
    kFailed,      // the file could not be written
};
inline constexpr std::size_t kReplyOutcomeCount = 7;

// Seconds since 1970-01-01 00:00 UTC, with fractions; tests inject their own.
using EpochClock = std::function<double()>;
double SystemEpochSeconds();
// A steady clock in seconds for durations; tests inject their own.
double SteadySeconds();

class CollectorMetrics {
public:
    // The event-log types counted by log entries (information, warning, error, other).
    static constexpr std::size_t kLogTypes = 4;

    explicit CollectorMetrics(EpochClock wallClock = SystemEpochSeconds, EpochClock steadyClock = SteadySeconds);

    void RequestSent() { requestsSent_.fetch_add(1); }
    void ConnectFailed();
    // One reply's outcome; `bytes` are the reply's bytes as received.
    void Reply(ReplyOutcome outcome, std::uint64_t bytes);
    void LogEntry(std::uint32_t eventType);
    // The request cycle: begun when a connect is started, ended when its outcome is known.
    void CycleStarted();
    void CycleEnded();
    void SetIntervalMs(std::int32_t ms) { intervalMs_.store(ms); }
    std::int32_t IntervalMs() const { return intervalMs_.load(); }
    // The service's state as last reported (1..7; 0 before the first report).
    void SetState(std::uint32_t state) { state_.store(state); }
    std::uint32_t State() const { return state_.load(); }

    std::uint64_t Count(ReplyOutcome outcome) const { return replies_[static_cast<std::size_t>(outcome)].load(); }
    std::uint64_t RequestsSent() const { return requestsSent_.load(); }
    std::uint64_t ConnectFailures() const { return connectFailures_.load(); }

    // The whole metrics file: every series with its HELP and TYPE lines, ending in a line
    // feed. `version` is the program's version (the build-info label).
    std::string Render(std::string_view version) const;
    // The operator's text after the state name: "last packet 14:02:03, 5123 bytes" or
    // "no packet since 13:58:10 (connect refused ×4)"; `localTime` formats a wall-clock
    // time as hh:nn:ss in local time.
    std::u16string StatusText(const std::function<std::u16string(double epochSeconds)>& localTime) const;

private:
    EpochClock wallClock_;
    EpochClock steadyClock_;
    const double startTime_;
    std::atomic<std::uint64_t> requestsSent_{0};
    std::atomic<std::uint64_t> connectFailures_{0};
    std::array<std::atomic<std::uint64_t>, kReplyOutcomeCount> replies_{};
    std::array<std::atomic<std::uint64_t>, kLogTypes> logEntries_{};
    std::atomic<std::uint64_t> lastReplyBytes_{0};
    std::atomic<std::uint64_t> lastWrittenBytes_{0};
    std::atomic<double> lastWrittenTime_{0};
    std::atomic<double> cycleStart_{-1};
    std::atomic<double> lastCycleSeconds_{0};
    // The last thing that happened (an outcome, or kReplyOutcomeCount for a failed
    // connect; -1 for nothing yet) and how often in a row: the status text names them.
    std::atomic<int> lastEvent_{-1};
    std::atomic<std::uint64_t> eventRepeats_{0};
    std::atomic<std::int32_t> intervalMs_{0};
    std::atomic<std::uint32_t> state_{0};
};

}  // namespace collector
