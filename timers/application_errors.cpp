#include "timers/application_errors.h"

#include <memory>
#include <mutex>

namespace timers {
namespace {

std::mutex g_mutex;
std::shared_ptr<const ApplicationErrorHandler> g_handler;

}  // namespace

void SetApplicationErrorHandler(ApplicationErrorHandler handler) {
    std::lock_guard lock(g_mutex);
    if (handler)
        g_handler = std::make_shared<const ApplicationErrorHandler>(std::move(handler));
    else
        g_handler.reset();
}

void HandleApplicationError(void* sender, const std::exception& error) {
    std::shared_ptr<const ApplicationErrorHandler> handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    if (!handler) return;
    try {
        (*handler)(sender, error);
    } catch (...) {
        // The error handler is the last stop; nothing above it could report this.
    }
}

}  // namespace timers
