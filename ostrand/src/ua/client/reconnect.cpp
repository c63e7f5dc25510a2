#include "ua/client/reconnect.h"

#include <algorithm>

namespace ostrand::ua {

Millis ReconnectSchedule::next(bool timed_out, std::minstd_rand& random) {
    const UaSettings& s = *settings_;
    const double j = std::clamp(s.reconnect_jitter, 0.0, 1.0);
    const double factor = std::uniform_real_distribution<double>(1.0 - j, 1.0 + j)(random);
    double base = static_cast<double>(step_.count());
    // The cap holds with the jitter on top, and the waits still vary, so
    // that gateways that lost one server do not all come back at once.
    if (!timed_out) base = std::min(base, static_cast<double>(s.reconnect_fast_max.count()) / (1.0 + j));
    step_ = std::min(step_ * 2, std::max(s.reconnect_max, s.reconnect_first));
    const Millis wait{static_cast<int64_t>(base * factor)};
    return std::clamp(wait, Millis(0), timed_out ? Millis::max() : s.reconnect_fast_max);
}

bool ReconnectSchedule::timed_out(StatusCode why) {
    return why == status::BadTimeout || why == status::BadRequestTimeout;
}

} // namespace ostrand::ua
