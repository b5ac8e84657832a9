#include "app/brivon_service.h"

namespace app {

service_host::TService* BrivonMorvel = nullptr;
std::atomic<TBrivonService*> TBrivonService::instance_{nullptr};

TBrivonService::TBrivonService(service_host::TServiceApplication& owner)
    : TService(&owner, std::u16string(collector::TBrivonMorvel::Name)) {
    DisplayName = std::u16string(collector::TBrivonMorvel::DisplayName);
    Description = std::u16string(collector::TBrivonMorvel::Description);
    // Recovery on Windows: a restart one minute after each of the first three failures; a
    // day without failure starts the count anew. The manager repeats the last action for
    // any further failure within that day. (systemd's unit has its own restart lines.)
    constexpr platform::ScAction kRestartAfterAMinute{platform::kScActionRestart, 60'000};
    FailureActions = {86'400, {kRestartAfterAMinute, kRestartAfterAMinute, kRestartAfterAMinute}};
    ApplySocketDesign();
    CreateTimerEvents();
    collector_ = std::make_unique<collector::TBrivonMorvel>(logOps_, timerOps_, socketOps_);

    // Socket notices on the main thread and the control thread's handlers take the
    // collector's lock first, so they never use the socket or the buffer at once.
    socketOps_.SetOwnerLock(&collector_->Lock());

    collector::TBrivonMorvel* c = collector_.get();
    for (std::size_t i = 0; i < collector::TBrivonMorvel::TimerDesign.size(); ++i) {
        const auto onTimer = collector::TBrivonMorvel::TimerDesign[i].onTimer;
        JvTimerList1.Events()[static_cast<int>(i)].SetOnTimer([c, onTimer](void* sender) { (c->*onTimer)(sender); });
    }

    SetOnStart([c](service_host::TService& sender, bool& started) { c->ServiceStart(&sender, started); });
    SetOnStop([c](service_host::TService& sender, bool& stopped) { c->ServiceStop(&sender, stopped); });
    SetOnPause([c](service_host::TService& sender, bool& paused) { c->ServicePause(&sender, paused); });
    SetOnContinue([c](service_host::TService& sender, bool& continued) { c->ServiceContinue(&sender, continued); });
    SetOnShutdown([c](service_host::TService& sender) { c->ServiceShutdown(&sender); });
    AfterInstall = [c](service_host::TService& sender) { c->ServiceAfterInstall(&sender); };
    BeforeUninstall = [c](service_host::TService& sender) { c->ServiceBeforeUninstall(&sender); };
    BeforeStatusReport = [c](service_host::TServiceState state) {
        c->ServiceStateReported(static_cast<std::uint32_t>(state));
    };

    instance_.store(this);
}

TBrivonService::~TBrivonService() {
    VBX_EXPECT_OWNER_THREAD(mainThread_, "the main thread");
    instance_.store(nullptr);
    // The handlers refer to the collector: clear them before it goes.
    for (int i = 0; i < JvTimerList1.Events().Count(); ++i) JvTimerList1.Events()[i].SetOnTimer({});
    socketOps_.SetHandlers({}, {}, {});
    socketOps_.SetOwnerLock(nullptr);
    BeforeStatusReport = {};
    collector_.reset();
}

void TBrivonService::ServiceControlHandler(std::uint32_t code) {
    if (TBrivonService* service = instance_.load()) service->PostControl(code);
}

void TBrivonService::ApplySocketDesign() {
    const collector::SocketDesign& d = collector::TBrivonMorvel::QClientSocketDesign;
    QClientSocket.SetLineMode(d.lineMode);
    QClientSocket.SetLineLimit(d.lineLimit);
    QClientSocket.SetLineEnd(std::string(d.lineEnd.begin(), d.lineEnd.end()));
    QClientSocket.SetLineEcho(d.lineEcho);
    QClientSocket.SetLineEdit(d.lineEdit);
    QClientSocket.SetProto(std::u16string(d.proto));
    QClientSocket.SetLocalAddr(std::u16string(d.localAddr));
    QClientSocket.SetLocalPort(std::u16string(d.localPort));
    QClientSocket.SetMultiCast(d.multiCast);
    QClientSocket.SetMultiCastIpTTL(d.multiCastIpTTL);
    QClientSocket.SetFlushTimeout(d.flushTimeout);
    QClientSocket.SetSendFlags(net::TSocketSendFlags::wsSendNormal);
    QClientSocket.SetLingerOnOff(d.lingerOnOff ? net::TSocketLingerOnOff::wsLingerOn
                                               : net::TSocketLingerOnOff::wsLingerOff);
    QClientSocket.SetLingerTimeout(d.lingerTimeout);
    QClientSocket.SetKeepAliveOnOff(d.keepAliveOnOff ? net::TSocketKeepAliveOnOff::wsKeepAliveOnCustom
                                                     : net::TSocketKeepAliveOnOff::wsKeepAliveOff);
    QClientSocket.SetKeepAliveTime(static_cast<std::uint32_t>(d.keepAliveTime));
    QClientSocket.SetKeepAliveInterval(static_cast<std::uint32_t>(d.keepAliveInterval));
    QClientSocket.SetSocksLevel(std::u16string(d.socksLevel));
    QClientSocket.SetSocksAuthentication(d.socksAuthentication ? net::TSocksAuthentication::socksAuthenticateUsercode
                                                               : net::TSocksAuthentication::socksNoAuthentication);
    QClientSocket.SetReuseAddr(d.reuseAddr);
    QClientSocket.SetComponentOptions({});
    QClientSocket.SetListenBacklog(d.listenBacklog);
    QClientSocket.SetReqVerLow(static_cast<std::uint8_t>(d.reqVerLow));
    QClientSocket.SetReqVerHigh(static_cast<std::uint8_t>(d.reqVerHigh));
}

void TBrivonService::CreateTimerEvents() {
    // As the design-time description loads them: a new event is enabled, and only enabling
    // an event later activates the list, so loading leaves the list inactive.
    for (const collector::TimerEventDesign& design : collector::TBrivonMorvel::TimerDesign) {
        timers::TJvTimerEvent& event = JvTimerList1.Events().Add();
        event.SetName(std::u16string(design.name));
        event.SetCycled(true);
        event.SetInterval(design.interval);
        event.SetEnabled(design.enabled);
    }
}

std::unique_ptr<service_host::TService> CreateBrivonService(service_host::TServiceApplication& owner) {
    return std::make_unique<TBrivonService>(owner);
}

}  // namespace app
