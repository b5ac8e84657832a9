#include "collector/brivon_morvel.h"

#include <exception>
#include <new>

#include "collector/packet_text.h"
#include "platform/event_log.h"
#include "platform/system.h"
#include "runtime/codepage.h"
#include "runtime/errors.h"
#include "runtime/files.h"
#include "text/base64.h"
#include "text/cp1252.h"
#include "text/strings.h"

namespace collector {

namespace {

constexpr int kCategory = 0;
constexpr int kEventId = 1;
constexpr char16_t kBufferFull[] = u"Vanto Brivon Morvel ontvangstbuffer vol, ontvangen gegevens verworpen";

// The output files on the disk, each replaced through a temporary file.
class DiskOutputFiles final : public OutputFileOps {
public:
    void ReplaceFile(const std::u16string& path, std::string_view bytes) override { runtime::ReplaceFile(path, bytes); }
    void RemoveLeftovers(const std::u16string& folder,
                         const std::function<bool(std::u16string_view target)>& isTarget) override {
        runtime::RemoveReplaceLeftovers(folder, isTarget);
    }
};

DiskOutputFiles diskOutputFiles;  // stateless, shared by every service object

// The names of the files this program replaces: TV_BRIVON.XML and MC_<stamp>.XML, whose
// stamp has 16 to 18 digits.
bool IsOwnOutputName(std::u16string_view name) {
    if (name == u"TV_BRIVON.XML") return true;
    constexpr std::u16string_view kHead = u"MC_", kTail = u".XML";
    if (!name.starts_with(kHead) || !name.ends_with(kTail)) return false;
    const std::u16string_view stamp = name.substr(kHead.size(), name.size() - kHead.size() - kTail.size());
    if (stamp.size() < 16 || stamp.size() > 18) return false;
    for (const char16_t c : stamp) {
        if (c < u'0' || c > u'9') return false;
    }
    return true;
}

}  // namespace

const std::array<TimerEventDesign, 3> TBrivonMorvel::TimerDesign = {{
    {u"ControleTimer", 30000, false, &TBrivonMorvel::JvTimerList1Events0Timer},
    {u"PakketController", 2000, false, &TBrivonMorvel::JvTimerList1Events1Timer},
    {u"ConnectTimer", 15000, true, &TBrivonMorvel::JvTimerList1Events2Timer},
}};

const SocketDesign TBrivonMorvel::QClientSocketDesign{};

TBrivonMorvel::TBrivonMorvel(ServiceLog& log, TimerListOps& timers, ClientSocketOps& socket, runtime::LocalClock clock,
                             std::u16string baseDirectory)
    : log_(log),
      timers_(timers),
      socket_(socket),
      clock_(std::move(clock)),
      baseDirectory_(baseDirectory.empty() ? runtime::ExtractFilePath(runtime::ModuleFileName())
                                           : std::move(baseDirectory)),
      outputFiles_(&diskOutputFiles) {
    void* sender = &socket_;
    socket_.SetHandlers([this, sender](std::uint16_t err) { QClientSocketSessionConnected(sender, err); },
                        [this, sender](std::uint16_t err) { QClientSocketDataAvailable(sender, err); },
                        [this, sender](std::uint16_t err) { QClientSocketSessionClosed(sender, err); });
}

TBrivonMorvel::~TBrivonMorvel() {
    // The socket may outlive this object; it must not call into it afterwards.
    socket_.SetHandlers({}, {}, {});
}

void TBrivonMorvel::SetOutputFiles(OutputFileOps& files) {
    std::lock_guard guard(lock_);
    outputFiles_ = &files;
}

void TBrivonMorvel::Info(const std::u16string& message) {
    metrics_.LogEntry(platform::kEventLogInformationType);
    log_.WriteEvent(message, platform::kEventLogInformationType, kCategory, kEventId);
}

void TBrivonMorvel::Warning(const std::u16string& message) {
    metrics_.LogEntry(platform::kEventLogWarningType);
    log_.WriteEvent(message, platform::kEventLogWarningType, kCategory, kEventId);
}

// ---------------------------------------------------------------------------------------
// Monitoring: the metrics file and the operator's text

std::u16string TBrivonMorvel::ResolvePath(const std::u16string& baseDirectory, const std::u16string& path) {
    if (path.empty() || runtime::IsAbsolutePath(path)) return path;
    return baseDirectory + path;
}

std::u16string TBrivonMorvel::MetricsFileName() const {
    std::lock_guard guard(metricsMutex_);
    return metricsPath_;
}

void TBrivonMorvel::ServiceStateReported(std::uint32_t state) {
    metrics_.SetState(state);
    WriteMetrics();
}

void TBrivonMorvel::WriteMetrics() {
    std::lock_guard guard(metricsMutex_);
    if (metricsPath_.empty()) return;
    try {
        runtime::ReplaceFileUnflushed(metricsPath_, metrics_.Render(platform::ProgramVersion()));
    } catch (const std::exception& error) {
        // The figures are a convenience: their failure never disturbs collection, and
        // one warning per run says so (the next write may succeed without a word).
        if (metricsWarned_) return;
        metricsWarned_ = true;
        Warning(runtime::MessageOf(error));
    }
}

void TBrivonMorvel::EndCycle() {
    VBX_EXPECT_LOCK_HELD(lock_, "the service object's lock");
    if (!cycleOpen_) return;
    cycleOpen_ = false;
    metrics_.CycleEnded();
    WriteMetrics();
    log_.SetStatusText(metrics_.StatusText([this](double at) { return LocalTimeOf(at); }));
}

std::u16string TBrivonMorvel::LocalTimeOf(double epochSeconds) const {
    // The local clock gives the time of day now; the time asked for lies that many
    // seconds before it.
    const runtime::TDateTime now = clock_();
    constexpr long kDay = 86400;
    long second =
        now.hour * 3600L + now.minute * 60L + now.second - static_cast<long>(SystemEpochSeconds() - epochSeconds + 0.5);
    second = ((second % kDay) + kDay) % kDay;
    runtime::TDateTime at = now;
    at.hour = static_cast<int>(second / 3600);
    at.minute = static_cast<int>(second / 60 % 60);
    at.second = static_cast<int>(second % 60);
    return runtime::FormatDateTime(u"hh:nn:ss", at);
}

// ---------------------------------------------------------------------------------------
// Working tree and configuration

std::u16string TBrivonMorvel::TreePath(std::initializer_list<std::u16string_view> parts) const {
    std::u16string path = baseDirectory_;
    bool first = true;
    for (std::u16string_view part : parts) {
        if (!first) path.push_back(runtime::PathDelimiter());
        path += part;
        first = false;
    }
    return path;
}

std::u16string TBrivonMorvel::ConfigFileName() const { return TreePath({u"VBxMorvelClient.xml"}); }

std::u16string TBrivonMorvel::ReadmeFileName() const { return TreePath({u"BrivonTV", u"Config", u"readme.xml"}); }

std::u16string TBrivonMorvel::OutputFileName() const {
    std::u16string path = OutputDirectory;
    path.push_back(runtime::PathDelimiter());
    return path + u"TV_BRIVON.XML";
}

runtime::TStringList TBrivonMorvel::DefaultConfigurationFor(const std::u16string& baseDirectory) {
    const char16_t delimiter = runtime::PathDelimiter();
    runtime::TStringList list;
    list.Add(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    list.Add(u"<BrivonMorvelserver>");
    list.Add(u"<Timers>");
    list.Add(u"<HTTPTimer>60000</HTTPTimer>");
    list.Add(u"</Timers>");
    list.Add(u"<TCPCLIENT>");
    list.Add(u"<Binding>127.0.0.1</Binding>");
    list.Add(u"<Port>4001</Port>");
    list.Add(u"</TCPCLIENT>");
    list.Add(u"<Output>");
    list.Add(u"<OutputToFile>True</OutputToFile>");
    list.Add(u"<OutputDirectory>" + baseDirectory + u"BrivonTV" + delimiter + u"XML</OutputDirectory>");
    list.Add(u"</Output>");
    list.Add(u"<Serverdata>");
    list.Add(u"<Verzender>brv</Verzender>");
    list.Add(u"<Ontvanger>brv</Ontvanger>");
    list.Add(u"<Protocol>Mm_BR</Protocol>");
    list.Add(u"<Versie>1.0</Versie>");
    list.Add(u"</Serverdata>");
    list.Add(u"</BrivonMorvelserver>");
    return list;
}

void TBrivonMorvel::PrepareWorkingTree(bool announce) {
    VBX_EXPECT_LOCK_HELD(lock_, "the service object's lock");
    // A directory that cannot be created is not reported: the file write below fails then.
    for (const std::u16string& dir : {TreePath({u"BrivonTV"}), TreePath({u"BrivonTV", u"Logs"}),
                                      TreePath({u"BrivonTV", u"Config"}), TreePath({u"BrivonTV", u"XML"})}) {
        if (!runtime::DirectoryExists(dir)) runtime::CreateDir(dir);
    }
    // The default document is in the 8-bit code page when that holds the base directory
    // exactly, else in UTF-8 with a byte-order mark, so that OutputDirectory always reads
    // back as the real folder. Each file is made whole through a temporary file, so a link
    // left under its name is replaced, never written through.
    if (const std::u16string readme = ReadmeFileName(); !runtime::FileExists(readme)) {
        runtime::ReplaceFile(readme, DefaultConfiguration().ExactFileBytes());
    }
    if (const std::u16string config = ConfigFileName(); !runtime::FileExists(config)) {
        runtime::ReplaceFile(config, DefaultConfiguration().ExactFileBytes());
        if (announce) Info(txt::U("Vanto Brivon Morvel cliënt werd met succes geïnstalleerd (VBxMorvelClient.xml)"));
    }
}

void TBrivonMorvel::RemoveLeftoverTemporaries(bool configured) {
    VBX_EXPECT_LOCK_HELD(lock_, "the service object's lock");
    // Only regular files under the temporary names of this program's own output names are
    // removed; a link, a folder or any other name is somebody else's.
    outputFiles_->RemoveLeftovers(TreePath({u"BrivonTV", u"XML"}), IsOwnOutputName);
    if (configured) outputFiles_->RemoveLeftovers(runtime::ExtractFilePath(OutputFileName()), IsOwnOutputName);
}

std::u16string TBrivonMorvel::ReadXMLTag(const runtime::TStringList& list, std::u16string_view tag) {
    const std::u16string text = list.Text();
    const std::u16string open = u"<" + std::u16string(tag) + u">";
    const std::u16string close = u"</" + std::u16string(tag) + u">";
    const std::size_t a = text.find(open);
    const std::size_t b = text.find(close);
    if (a == std::u16string::npos || b == std::u16string::npos) return {};
    const std::size_t start = a + open.size();
    if (b <= start) return {};
    return text.substr(start, b - start);
}

bool TBrivonMorvel::LoadConfiguration(runtime::TStringList& list) {
    VBX_EXPECT_LOCK_HELD(lock_, "the service object's lock");
    const std::u16string config = ConfigFileName();
    if (!runtime::FileExists(config)) return false;
    list.LoadFromFile(config);

    OutputDirectory = ReadXMLTag(list, u"OutputDirectory");
    OutputToFile = ReadXMLTag(list, u"OutputToFile");
    Versie = ReadXMLTag(list, u"Versie");
    Protocol = ReadXMLTag(list, u"Protocol");
    Verzender = ReadXMLTag(list, u"Verzender");
    Ontvanger = ReadXMLTag(list, u"Ontvanger");
    {
        std::lock_guard metricsGuard(metricsMutex_);
        metricsPath_ = ResolvePath(baseDirectory_, ReadXMLTag(list, u"MetricsFile"));
    }

    if (const std::int32_t interval = txt::ToInteger(ReadXMLTag(list, u"HTTPTimer")); interval > 0) {
        TimerEventOps& controle = timers_.Events(kControleTimer);
        controle.SetInterval(interval);
        controle.SetEnabled(true);
    }
    metrics_.SetIntervalMs(timers_.Events(kControleTimer).Interval());

    if (const std::int32_t port = txt::ToInteger(ReadXMLTag(list, u"Port")); port > 0) {
        try {
            Binding = ReadXMLTag(list, u"Binding");
            PortText = txt::IntToStr(port);
            socket_.SetAddr(Binding);
            socket_.SetPort(PortText);
            Info(txt::U("Vanto Brivon Morvel cliënt werd met succes geconfigureerd op ") + Binding + u" via poort " +
                 PortText);
        } catch (const std::exception& error) {
            // This block reports its failures as information; the start goes on.
            Info(runtime::MessageOf(error));
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Lifecycle handlers

void TBrivonMorvel::ServiceStart(void*, bool&) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    // An error while writing the default files leaves the handler: the host reports it
    // and does not start the service.
    PrepareWorkingTree(true);
    bool configured = false;
    try {
        Info(txt::U("Vanto Brivon Morvel cliënt werd normaal gestart"));
        timers_.SetActive(true);
        runtime::TStringList list;
        if (LoadConfiguration(list)) {
            configured = true;
            timers_.Events(kControleTimer).SetEnabled(true);
            timers_.Events(kPakketController).SetEnabled(true);
        }
    } catch (const std::exception& error) {
        Warning(runtime::MessageOf(error));
    }
    RemoveLeftoverTemporaries(configured);
    platform::CoInitialize();
}

void TBrivonMorvel::ServiceStop(void*, bool&) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    struct ComRelease {
        ~ComRelease() { platform::CoUninitialize(); }
    } comRelease;  // also when a step below raises; the error then reaches the host
    if (socket_.State() == TSocketState::wsConnected) socket_.Close();
    timers_.Events(kControleTimer).SetEnabled(false);
    timers_.Events(kPakketController).SetEnabled(false);
    Info(txt::U("Vanto Brivon Morvel cliënt werd normaal gestopt"));
}

void TBrivonMorvel::ServicePause(void*, bool&) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    Info(txt::U("Vanto Brivon Morvel cliënt werd onderbroken door pauze actie"));
}

void TBrivonMorvel::ServiceContinue(void*, bool& continued) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    Info(txt::U("Vanto Brivon Morvel cliënt werd na een pauze gestart"));
    continued = true;
}

void TBrivonMorvel::ServiceShutdown(void*) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    Info(txt::U("Vanto Brivon Morvel cliënt werd gestopt wegens het afsluiten van de computer"));
}

void TBrivonMorvel::ServiceAfterInstall(void*) {
    std::lock_guard guard(lock_);
    PrepareWorkingTree(false);
    Info(txt::U("Vanto Brivon Morvel cliënt werd met succes geïnstalleerd"));
}

void TBrivonMorvel::ServiceBeforeUninstall(void*) {
    std::lock_guard guard(lock_);
    Info(txt::U("De installatie van Vanto Brivon Morvel cliënt werd verwijderd"));
}

// ---------------------------------------------------------------------------------------
// Request envelope

void TBrivonMorvel::VraagPakket() {
    std::lock_guard guard(lock_);
    runtime::TStringList list;
    if (socket_.State() != TSocketState::wsConnected) return;
    const std::u16string stamp = runtime::FormatDateTime(u"hhnnms", clock_());
    list.Add(u"<?xml version=\"1.0\"?>");
    list.Add(u"<MSG tag=\"" + stamp + u"\" type=\"COM\" protocol=\"Mm_BR\" versie=\"1.0\">");
    list.Add(u"<Verzender>" + Verzender + u"</Verzender>");
    list.Add(u"<Ontvanger>" + Ontvanger + u"</Ontvanger>");
    list.Add(u"<Brivon>");
    list.Add(u"<BrivonPakket>");
    list.Add(u"<Gebruikersnaam>wxrq</Gebruikersnaam>");
    list.Add(u"<Paswoord>wxrq</Paswoord>");
    list.Add(u"<PakketSoort>BrivonTV</PakketSoort>");
    list.Add(u"</BrivonPakket>");
    list.Add(u"</Brivon>");
    list.Add(u"</MSG>");

    const std::string base64 = txt::Base64Encode(txt::LowBytes(list.Text()));
    std::u16string frame(1, static_cast<char16_t>(kSOH));
    frame += txt::IntToStr(static_cast<std::int64_t>(base64.size()));
    frame.push_back(static_cast<char16_t>(kSTX));
    frame += txt::Latin1ToText(base64);
    frame.push_back(static_cast<char16_t>(kEOT));
    try {
        socket_.SendText(frame);
        // A failed attempt still hands the request to the socket; it counts as no request.
        if (!connectFailed_) metrics_.RequestSent();
    } catch (const std::exception& error) {
        Warning(runtime::MessageOf(error));
    }
}

// ---------------------------------------------------------------------------------------
// Socket handlers

void TBrivonMorvel::QClientSocketSessionConnected(void*, std::uint16_t errCode) {
    VBX_EXPECT_OWNER_THREAD(socketThread_, "the socket's thread");
    std::lock_guard guard(lock_);
    // The error code changes nothing the cycle does; it is only counted.
    connectFailed_ = errCode != 0;
    if (connectFailed_) metrics_.ConnectFailed();
    // An unfinished reply of the connection before is discarded now, never processed.
    if (PakketBuffer.CurrentSize() > 0 && !PakketBuffer.CurrentComplete() && PakketBuffer.WaitingSize() == 0) {
        metrics_.Reply(ReplyOutcome::kDropped, connectionBytes_);
    }
    connectionBytes_ = 0;
    PakketBuffer.BeginConnection();
    timers_.Events(kConnectTimer).SetEnabled(true);
    Info(u"Vanto Brivon Morvel verzoek om informatie verzonden");
    VraagPakket();
}

void TBrivonMorvel::QClientSocketDataAvailable(void*, std::uint16_t) {
    VBX_EXPECT_OWNER_THREAD(socketThread_, "the socket's thread");
    std::lock_guard guard(lock_);
    // Received bytes go straight into the buffer: reading them as ANSI text and writing
    // them back is the identity for every byte, so they are read into its storage.
    // Nothing that goes wrong here is left to the socket, which would drop it unreported
    // and leave the connection waiting for its watchdog.
    ReceiveBuffer::AppendResult result = ReceiveBuffer::AppendResult::kMore;
    const std::size_t waiting = PakketBuffer.WaitingSize();
    try {
        const std::size_t got =
            socket_.ReceiveTextInto([this](std::size_t most) { return PakketBuffer.ReadRoom(most); });
        connectionBytes_ += got;
        result = PakketBuffer.CommitRead(got);
        if (result == ReceiveBuffer::AppendResult::kOverflow) metrics_.Reply(ReplyOutcome::kTooLong, connectionBytes_);
    } catch (const std::bad_alloc&) {
        // The system refused the storage for the bytes (an address-space limit, strict
        // overcommit): this reply is lost, as one past the buffer's bound is; the next
        // cycle asks again.
        PakketBuffer.DropCurrentConnection();
        result = ReceiveBuffer::AppendResult::kOverflow;
        metrics_.Reply(ReplyOutcome::kBufferFull, connectionBytes_);
    } catch (const std::exception& error) {
        Warning(runtime::MessageOf(error));
        result = ReceiveBuffer::AppendResult::kEndOfFrame;  // the connection is of no more use
    }
    // A complete reply supersedes one that still waited for its tick.
    if (waiting > 0 && PakketBuffer.WaitingSize() == 0) metrics_.Reply(ReplyOutcome::kDropped, waiting);
    if (result == ReceiveBuffer::AppendResult::kMore) return;
    if (result == ReceiveBuffer::AppendResult::kOverflow) Warning(kBufferFull);
    try {
        if (socket_.State() != TSocketState::wsClosed) socket_.Close();
    } catch (const std::exception& error) {
        Warning(runtime::MessageOf(error));
    }
}

void TBrivonMorvel::QClientSocketSessionClosed(void*, std::uint16_t) {
    std::lock_guard guard(lock_);
    timers_.Events(kConnectTimer).SetEnabled(false);
    Info(u"Vanto Brivon Morvel verzoek om informatie afgewerkt");
    // Without a complete reply to process (a failed connect, the watchdog, a reply cut
    // short or discarded) the cycle ends here; otherwise the processor ends it.
    if (!PakketBuffer.HasCompleteFrame()) EndCycle();
}

// ---------------------------------------------------------------------------------------
// Timer handlers

void TBrivonMorvel::JvTimerList1Events0Timer(void*) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    TimerEventOps& controle = timers_.Events(kControleTimer);
    controle.SetEnabled(false);
    try {
        if (socket_.State() == TSocketState::wsClosed) {
            cycleOpen_ = true;
            metrics_.CycleStarted();
            socket_.SetAddr(Binding);
            socket_.SetPort(PortText);
            socket_.Connect();
        }
    } catch (const std::exception& error) {
        metrics_.ConnectFailed();
        Warning(runtime::MessageOf(error));
        // A connect that failed after opening the socket leaves it neither closed nor
        // connected, and no later firing would connect again: close it. Its closed event
        // then ends the cycle as usual.
        try {
            if (socket_.State() != TSocketState::wsClosed) socket_.Close();
        } catch (const std::exception& closeError) {
            Warning(runtime::MessageOf(closeError));
        }
        EndCycle();
    }
    controle.SetEnabled(true);
}

void TBrivonMorvel::JvTimerList1Events1Timer(void*) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::unique_lock guard(lock_);
    TimerEventOps& controller = timers_.Events(kPakketController);
    controller.SetEnabled(false);
    if (!PakketBuffer.Empty()) {
        // The processor takes the lock itself and gives it up while it decodes and writes
        // a frame it has taken out of the buffer, so that the socket's events are not held
        // up by a long write.
        guard.unlock();
        try {
            PakketVerwerker();
        } catch (const std::exception& error) {
            Warning(runtime::MessageOf(error));
        }
        guard.lock();
    }
    controller.SetEnabled(true);
}

void TBrivonMorvel::JvTimerList1Events2Timer(void*) {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::lock_guard guard(lock_);
    timers_.Events(kConnectTimer).SetEnabled(false);
    Warning(u"Vanto Brivon Morvel verbinding werd geforceerd verbroken");
    // An error of Close is left to the timer list.
    if (socket_.State() != TSocketState::wsClosed) socket_.Close();
}

// ---------------------------------------------------------------------------------------
// Packet processing: the frame is located and taken out of the buffer under the lock, then
// decoded, written or archived, and discarded without it, and the outcome is logged under
// the lock again.

void TBrivonMorvel::PakketVerwerker() {
    VBX_EXPECT_OWNER_THREAD(controlThread_, "the control thread");
    std::unique_lock guard(lock_);
    // PakketController is switched on again under the lock, whatever happens below.
    struct Reenable {
        std::unique_lock<platform::CheckedRecursiveMutex>& guard;
        TimerEventOps& event;
        ~Reenable() {
            if (!guard.owns_lock()) guard.lock();
            event.SetEnabled(true);
        }
    } reenable{guard, timers_.Events(kPakketController)};
    bool taken = false;
    std::uint64_t received = 0;
    try {
        Frame frame;
        if (!TakeFrame(frame)) return;
        taken = true;
        received = frame.received;
        // The frame is this thread's own now: decoding and writing it, which may take long
        // for a large reply on slow storage, need no lock, and the main thread receives the
        // next reply meanwhile.
        guard.unlock();
        const Outcome outcome = ProcessFrame(frame);
        frame.bytes.Release();
        guard.lock();
        metrics_.Reply(outcome == Outcome::kWritten   ? ReplyOutcome::kWritten
                       : outcome == Outcome::kInvalid ? ReplyOutcome::kInvalid
                                                      : ReplyOutcome::kArchived,
                       frame.received);
        ReportOutcome(outcome);
        EndCycle();
    } catch (const std::bad_alloc&) {
        // Too little memory to process the frame: its bytes are lost like those of a reply
        // too large for the buffer.
        if (!guard.owns_lock()) guard.lock();
        if (!taken) PakketBuffer.DiscardFrameConnection();
        metrics_.Reply(ReplyOutcome::kBufferFull, received);
        Warning(kBufferFull);
        EndCycle();
    } catch (const std::exception& error) {
        if (!guard.owns_lock()) guard.lock();
        if (!taken) PakketBuffer.DiscardFrameConnection();
        metrics_.Reply(ReplyOutcome::kFailed, received);
        Warning(runtime::MessageOf(error));
        EndCycle();
    }
}

bool TBrivonMorvel::TakeFrame(Frame& frame) {
    VBX_EXPECT_LOCK_HELD(lock_, "the service object's lock");
    if (PakketBuffer.FirstSoh() == ReceiveBuffer::npos || PakketBuffer.FirstEot() == ReceiveBuffer::npos) return false;
    // The frame text from its first SOH; bytes before it are dropped. It ends with the
    // bytes of its own connection: the bytes of a connection still receiving behind it
    // are not part of it and stay for a later tick.
    frame.soh = PakketBuffer.FirstSoh();
    frame.visibleEnd = PakketBuffer.Visible().size();
    frame.files = outputFiles_;
    frame.output = OutputFileName();
    frame.received = PakketBuffer.FrameConnectionSize();
    frame.bytes = PakketBuffer.TakeFrameConnection();
    return true;
}

TBrivonMorvel::Outcome TBrivonMorvel::ProcessFrame(Frame& frame) {
    // Every storage used here is given back before the outcome is reported.
    const PayloadSpan payload = LocatePayload(frame.Visible(), frame.soh);
    if (!payload.hasStx) {
        WriteArchiveFile(frame);
        return Outcome::kArchived;
    }
    // The payload is decoded where it lies. The characters the decoder uses are either
    // the frame's own bytes or hold a line break, which no well-formed payload does.
    const std::size_t decoded = payload.size == std::string_view::npos
                                    ? payload.size
                                    : DecodeWellFormedBase64InPlace(frame.bytes.Data() + payload.offset, payload.size);
    if (decoded == std::string_view::npos) return Outcome::kInvalid;
    // Built where it lies too; what follows the decoded bytes in the region is room.
    std::string built;  // only for a code page of more than one byte per character
    frame.files->ReplaceFile(frame.output, FileBytesInRegion(frame.bytes, payload.offset, decoded, built));
    frame.bytes.Release();
    return Outcome::kWritten;
}

void TBrivonMorvel::ReportOutcome(Outcome outcome) {
    VBX_EXPECT_LOCK_HELD(lock_, "the service object's lock");
    switch (outcome) {
    case Outcome::kWritten: Info(u"Vanto Brivon Morvel pakket ontvangen"); break;
    case Outcome::kInvalid: Warning(u"Vanto Brivon Morvel ongeldig pakket ontvangen, bestand niet vervangen"); break;
    case Outcome::kArchived: break;
    }
}

void TBrivonMorvel::WriteArchiveFile(Frame& frame) {
    // The frame without STX is archived as the decoding of its whole text from the SOH,
    // non-ASCII characters replaced by "?" first. The text goes into storage of its own
    // (its line breaks become CR LF), the frame's storage goes back, and the text is
    // decoded and made a file where it lies.
    const std::string_view text = frame.Text();
    platform::MemoryRegion archive;
    archive.Grow(runtime::NormalisedRoom(text));
    std::size_t size = runtime::NormaliseLineBreaks(text, archive.Data());
    frame.bytes.Release();
    char* const data = archive.Data();
    for (std::size_t i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(data[i]) >= 0x80) data[i] = '?';
    }
    size = txt::Base64DecodeLenientInto(std::string_view(data, size), data);
    const std::u16string stamp = runtime::FormatDateTime(u"ddmmyyyyhhnnssms", clock_());
    // Replaced like the output file, so a link planted under an archive name is replaced,
    // never followed; two archives within one second share a name and the later one wins.
    std::string built;  // only for a code page of more than one byte per character
    frame.files->ReplaceFile(TreePath({u"BrivonTV", u"XML", u"MC_"}) + stamp + u".XML",
                             FileBytesInRegion(archive, 0, size, built));
}

}  // namespace collector
