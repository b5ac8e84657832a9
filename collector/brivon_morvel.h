#pragma once
// TBrivonMorvel: the collector's service object. It prepares its working tree and reads
// its configuration at start, and runs the request cycle: a timer connects to the server,
// the connected event sends the framed request, the data event collects the reply and
// closes the connection at its end, and a second timer decodes the reply into
// TV_BRIVON.XML. A third timer is the watchdog of a connection that stays open too long.
//
// The object reaches the service base, the timer list, the socket and its output files
// only through the operations of collector/collaborators.h; the program wires the real
// ones (the output files go to the disk by default), tests wire fakes.
//
// Threading contract:
// - Lifecycle handlers run on the host's control thread (install and uninstall in the
//   installing process), timer handlers on the thread that activated the timer list
//   (the control thread), socket handlers on the socket's thread, and the socket's
//   closed event also on whichever thread calls Close.
// - Every handler takes Lock() for its whole run, so an append to PakketBuffer and its
//   read-and-empty never interleave, the socket is never used by two threads at once,
//   and the fields are read and written under one lock. The one exception is the packet
//   processor: under the lock it takes the frame out of the buffer (which is then as
//   emptied), and it decodes and writes that frame without the lock, so that a long
//   write never holds up the socket's events on the main thread.
// - Lock order: collector lock -> socket locks -> timer-list lock -> platform queue
//   locks. The socket wiring takes Lock() before its own locks when it delivers an event;
//   the timer list calls handlers without holding its own lock. No handler waits for
//   another thread while holding the lock. The lock is recursive because Close raises
//   the closed event on the calling thread, inside a handler that already holds it.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "collector/collaborators.h"
#include "collector/metrics.h"
#include "collector/receive_buffer.h"
#include "platform/contracts.h"
#include "runtime/datetime.h"
#include "runtime/lines.h"

namespace collector {

class TBrivonMorvel;

// Design-time settings of one timer event of JvTimerList1, by index.
struct TimerEventDesign {
    std::u16string_view name;
    std::int32_t interval;  // milliseconds
    bool enabled;
    void (TBrivonMorvel::*onTimer)(void* sender);
};

// Design-time settings of QClientSocket.
struct SocketDesign {
    bool lineMode = false;
    std::int32_t lineLimit = 65536;
    std::u16string_view lineEnd = u"\r\n";
    bool lineEcho = false;
    bool lineEdit = false;
    std::u16string_view proto = u"tcp";
    std::u16string_view localAddr = u"0.0.0.0";
    std::u16string_view localPort = u"0";
    bool multiThreaded = false;
    bool multiCast = false;
    int multiCastIpTTL = 1;
    int flushTimeout = 60;
    bool lingerOnOff = true;
    int lingerTimeout = 0;
    bool keepAliveOnOff = false;
    int keepAliveTime = 0;
    int keepAliveInterval = 0;
    std::u16string_view socksLevel = u"5";
    bool socksAuthentication = false;
    bool reuseAddr = false;
    int listenBacklog = 5;
    int reqVerLow = 1;
    int reqVerHigh = 1;
};

class TBrivonMorvel {
public:
    static constexpr std::u16string_view Name = u"BrivonMorvel";
    static constexpr std::u16string_view DisplayName = u"Vanto Brivon Morvel Collector";
    static constexpr std::u16string_view Description =
        u"Collects the BrivonTV information packet from the packet server and writes it as TV_BRIVON.XML.";

    // Timer event indices of JvTimerList1.
    static constexpr int kControleTimer = 0;
    static constexpr int kPakketController = 1;
    static constexpr int kConnectTimer = 2;
    static const std::array<TimerEventDesign, 3> TimerDesign;
    static const SocketDesign QClientSocketDesign;

    // The collaborators must outlive the object. `baseDirectory` ends with the path
    // delimiter; empty means the executable's directory. The socket's handlers are
    // installed here.
    TBrivonMorvel(ServiceLog& log, TimerListOps& timers, ClientSocketOps& socket,
                  runtime::LocalClock clock = runtime::Now, std::u16string baseDirectory = {});
    ~TBrivonMorvel();
    TBrivonMorvel(const TBrivonMorvel&) = delete;
    TBrivonMorvel& operator=(const TBrivonMorvel&) = delete;

    platform::CheckedRecursiveMutex& Lock() { return lock_; }
    // Where TV_BRIVON.XML and the archive files go; the disk unless a test installs its
    // own, which must outlive this object.
    void SetOutputFiles(OutputFileOps& files);
    const std::u16string& BaseDirectory() const { return baseDirectory_; }
    // The control thread's handlers move to another thread from now on (a host that starts
    // a new control thread); the next of them binds it.
    void HandOverControlThread() { controlThread_.Detach(); }

    // Lifecycle handlers, with the host's handler shapes.
    void ServiceStart(void* sender, bool& started);
    void ServiceStop(void* sender, bool& stopped);
    void ServicePause(void* sender, bool& paused);
    void ServiceContinue(void* sender, bool& continued);
    void ServiceShutdown(void* sender);
    void ServiceAfterInstall(void* sender);
    void ServiceBeforeUninstall(void* sender);

    // Socket handlers.
    void QClientSocketSessionConnected(void* sender, std::uint16_t errCode);
    void QClientSocketDataAvailable(void* sender, std::uint16_t errCode);
    void QClientSocketSessionClosed(void* sender, std::uint16_t errCode);

    // Timer handlers: ControleTimer, PakketController, ConnectTimer.
    void JvTimerList1Events0Timer(void* sender);
    void JvTimerList1Events1Timer(void* sender);
    void JvTimerList1Events2Timer(void* sender);

    void VraagPakket();
    void PakketVerwerker();

    // The text between the first opening and the first closing tag of that name.
    static std::u16string ReadXMLTag(const runtime::TStringList& list, std::u16string_view tag);

    // The default configuration document (20 lines) for this base directory, and for any.
    runtime::TStringList DefaultConfiguration() const { return DefaultConfigurationFor(baseDirectory_); }
    static runtime::TStringList DefaultConfigurationFor(const std::u16string& baseDirectory);
    // A configured path (MetricsFile) as a full path: absolute, or relative to the base directory.
    static std::u16string ResolvePath(const std::u16string& baseDirectory, const std::u16string& path);

    // The figures of the request cycle, and where they are written (empty: nowhere; known
    // once the configuration was read).
    const CollectorMetrics& Metrics() const { return metrics_; }
    std::u16string MetricsFileName() const;
    // Before every status report of the host, with the state it reports (1..7): the
    // figures are written. Any thread; it takes no lock of the object's but the metrics file's.
    void ServiceStateReported(std::uint32_t state);

    // Paths built on the base directory.
    std::u16string ConfigFileName() const;  // D + "VBxMorvelClient.xml"
    std::u16string ReadmeFileName() const;  // D + "BrivonTV\Config\readme.xml"
    std::u16string OutputFileName() const;  // OutputDirectory + "\TV_BRIVON.XML"

    // Configuration values (written by ServiceStart only) and the receive buffer.
    std::u16string Versie;
    std::u16string Protocol;
    std::u16string Verzender;
    std::u16string Ontvanger;
    std::u16string Binding;
    std::u16string PortText;
    std::u16string OutputDirectory;
    std::u16string OutputToFile;
    ReceiveBuffer PakketBuffer{platform::RequiredLock<platform::CheckedRecursiveMutex>(&lock_)};

private:
    void Info(const std::u16string& message);
    void Warning(const std::u16string& message);
    // Under the lock: creates the missing directories and default files; `announce` logs a
    // newly written configuration file.
    void PrepareWorkingTree(bool announce);
    // Under the lock: reads the configuration into the fields; false when the
    // configuration file does not exist.
    bool LoadConfiguration(runtime::TStringList& list);
    // A frame taken out of the buffer for processing: its connection's bytes, where its
    // first SOH lies and where their visible part ends, and where it is written.
    struct Frame {
        platform::MemoryRegion bytes;
        std::size_t soh = 0;
        std::size_t visibleEnd = 0;
        OutputFileOps* files = nullptr;
        std::u16string output;
        std::uint64_t received = 0;  // the connection's bytes as received
        // The connection's bytes up to their first NUL, and the frame text from the SOH.
        std::string_view Visible() const { return std::string_view(bytes.Data(), visibleEnd); }
        std::string_view Text() const { return Visible().substr(soh); }
    };
    enum class Outcome { kWritten, kInvalid, kArchived };
    // Under the lock: finds a complete frame and takes its connection's bytes out of the
    // buffer; false when there is none.
    bool TakeFrame(Frame& frame);
    // The processor's steps that need no lock: they work on the frame alone.
    Outcome ProcessFrame(Frame& frame);
    void WriteArchiveFile(Frame& frame);
    // Under the lock again: the outcome in the event log.
    void ReportOutcome(Outcome outcome);
    // Under the lock: removes what an interrupted replace left in the archive folder and,
    // once the configuration is known, in the output folder.
    void RemoveLeftoverTemporaries(bool configured);
    std::u16string TreePath(std::initializer_list<std::u16string_view> parts) const;
    // Under the lock: the request cycle has its outcome. Once per cycle: its duration is
    // taken, the metrics file written and the operator's text refreshed.
    void EndCycle();
    // Writes the metrics file when one is configured; a failure is one warning per run.
    void WriteMetrics();
    // hh:nn:ss in local time for a time given in seconds since 1970.
    std::u16string LocalTimeOf(double epochSeconds) const;

    ServiceLog& log_;
    TimerListOps& timers_;
    ClientSocketOps& socket_;
    runtime::LocalClock clock_;
    std::u16string baseDirectory_;
    OutputFileOps* outputFiles_;  // never null; not owned
    platform::CheckedRecursiveMutex lock_;
    CollectorMetrics metrics_;
    bool cycleOpen_ = false;             // under lock_: a connect began a cycle without outcome yet
    std::uint64_t connectionBytes_ = 0;  // under lock_: bytes received on the current connection
    bool connectFailed_ = false;         // under lock_: the last connected event reported a failure
    // The metrics file's path and whether its failure was reported, under their own lock
    // (taken last: after the object's lock, before nothing else).
    mutable std::mutex metricsMutex_;
    std::u16string metricsPath_;
    bool metricsWarned_ = false;
    // The threads of the contract above, checked at run time: the control thread (the
    // lifecycle handlers but installation, the timer handlers and the packet processor)
    // and the socket's thread (its connected and data events).
    platform::OwnerThread controlThread_{platform::OwnerThread::Start::kDetached};
    platform::OwnerThread socketThread_{platform::OwnerThread::Start::kDetached};
};

}  // namespace collector
