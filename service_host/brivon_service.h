#pragma once
// The program's one service object, BrivonMorvel: a TService that owns the collector's
// components as their design-time description creates them (the timer list JvTimerList1
// with its three events, the client socket QClientSocket with its settings) and binds the
// service's handler slots to collector::TBrivonMorvel.
//
// Threading contract: constructed and destroyed on the main thread (so the socket's
// notification window, and with it every socket event, belongs to the main thread's
// loop); the handlers run where TService says (the control thread); the timer list is
// activated by the start handler on the control thread, so timer events run there.
// Destruction happens after the control thread has ended.
#include <atomic>
#include <memory>

#include "collector/brivon_morvel.h"
#include "net/client_socket_ops.h"
#include "net/wsocket.h"
#include "service_host/service.h"
#include "service_host/service_application.h"
#include "timers/timer_list.h"
#include "timers/timer_list_ops.h"

namespace service_host {

class TBrivonService final : public TService {
public:
    explicit TBrivonService(TServiceApplication& owner);
    ~TBrivonService() override;

    platform::HandlerFunction ControlHandlerEntry() override { return &ServiceControlHandler; }
    collector::TBrivonMorvel& Collector() { return *collector_; }

private:
    // Runs on the dispatcher thread: hands the code to the collector's control handler,
    // which posts it with PostControl; it never waits.
    static void ServiceControlHandler(std::uint32_t code);
    void ApplySocketDesign();
    void CreateTimerEvents();

    static std::atomic<TBrivonService*> instance_;

    timers::TJvTimerList JvTimerList1;
    net::TWSocket QClientSocket;
    timers::JvTimerListOps timerOps_{JvTimerList1};
    net::ClientSocketOpsAdapter socketOps_{QClientSocket};
    std::unique_ptr<collector::TBrivonMorvel> collector_;
};

// The global service variable: the service object while it exists.
extern TService* BrivonMorvel;

// The factory the program start uses.
std::unique_ptr<TService> CreateBrivonService(TServiceApplication& owner);

}  // namespace service_host
