#include "events.h"

#include <mutex>

namespace ostrand {

namespace {

std::mutex& event_mu() {
    static std::mutex mu;
    return mu;
}
EventCallback g_callback = nullptr; // guarded by event_mu()

} // namespace

void set_event_callback(EventCallback callback) {
    std::lock_guard lock(event_mu());
    g_callback = callback;
}

void emit_event(const OstrandEvent& event) {
    std::lock_guard lock(event_mu());
    if (g_callback) g_callback(&event);
}

} // namespace ostrand
