#pragma once
// The program's one service object, BrivonMorvel: a TService that owns the collector's
// components as their design-time description creates them (the timer list JvTimerList1
// with its three events, the client socket QClientSocket with its settings), wraps them in
// the adapters the collector sees, and binds the service's handler slots to
// collector::TBrivonMorvel.
//
// The route of a control code: the platform's dispatcher thread calls the entry that
// ControlHandlerEntry hands out, ServiceControlHandler; it posts the code with PostControl
// to the control thread and returns at once; the control thread takes it and runs the
// bound handler (ServiceStop, ServicePause, ...) of the collector.
//
// Threading contract: constructed and destroyed on the main thread (so the socket's
// notification window, and with it every socket event, belongs to the main thread's
// loop); the handlers run where TService says (the control thread); the timer list is
// activated by the start handler on the control thread, so timer events run there.
// Destruction happens after the control thread has ended.
#include <atomic>
#include <cstdint>
#include <memory>

#include "app/client_socket_ops.h"
#include "app/service_log_ops.h"
#include "app/timer_list_ops.h"
#include "collector/brivon_morvel.h"
#include "net/wsocket.h"
#include "platform/contracts.h"
#include "service_host/service.h"
#include "service_host/service_application.h"
#include "timers/timer_list.h"

namespace app {

class TBrivonService final : public service_host::TService {
public:
    explicit TBrivonService(service_host::TServiceApplication& owner);
    ~TBrivonService() override;

    platform::HandlerFunction ControlHandlerEntry() override { return &ServiceControlHandler; }
    collector::TBrivonMorvel& Collector() { return *collector_; }

private:
    // Runs on the dispatcher thread: passes the code unchanged to PostControl of the
    // service object, which queues it for the control thread; it never waits.
    static void ServiceControlHandler(std::uint32_t code);
    void ApplySocketDesign();
    void CreateTimerEvents();

    static std::atomic<TBrivonService*> instance_;

    timers::TJvTimerList JvTimerList1;
    net::TWSocket QClientSocket;
    JvTimerListOps timerOps_{JvTimerList1};
    ClientSocketOpsAdapter socketOps_{QClientSocket};
    ServiceLogAdapter logOps_{*this};
    std::unique_ptr<collector::TBrivonMorvel> collector_;
    // The thread of the contract above, checked at run time.
    platform::OwnerThread mainThread_;
};

// The global service variable: the service object while it exists.
extern service_host::TService* BrivonMorvel;

// The factory the program start uses.
std::unique_ptr<service_host::TService> CreateBrivonService(service_host::TServiceApplication& owner);

}  // namespace app
