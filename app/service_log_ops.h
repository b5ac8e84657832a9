#pragma once
// The collector's view of the service base's event log (collector::ServiceLog) over a
// TService, so that the service framework never needs to know the collector.
//
// Threading contract: as TService::WriteEvent (any thread, also several at once). The
// adapter must not outlive the service it wraps.
#include <cstdint>
#include <string>

#include "collector/collaborators.h"
#include "service_host/service.h"

namespace app {

class ServiceLogAdapter final : public collector::ServiceLog {
public:
    explicit ServiceLogAdapter(service_host::TService& service) : service_(service) {}

    void WriteEvent(const std::u16string& message, std::uint32_t eventType, int category, int eventId) override {
        service_.WriteEvent(message, eventType, category, eventId);
    }
    void SetStatusText(const std::u16string& text) override { service_.RefreshStatusText(text); }

private:
    service_host::TService& service_;
};

}  // namespace app
