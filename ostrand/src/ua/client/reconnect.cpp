#include "ua/client/reconnect.h"

#include <algorithm>

namespace ostrand::ua {

Millis ReconnectSchedule::next(bool timed_out, std::minstd_rand& random) {
    const UaSettings& s = *settings_;
    const double j = std::clamp(s.reconnect_jitter, 0.0, 1.0);
    const double factor = std::uniform_real_distribution<double>(1.0 - j, 1.0 + j)(random);
    Millis wait{static_cast<int64_t>(static_cast<double>(step_.count()) * factor)};
    step_ = std::min(step_ * 2, std::max(s.reconnect_max, s.reconnect_first));
    if (!timed_out) wait = std::min(wait, s.reconnect_fast_max);
    return std::max(wait, Millis(0));
}

bool ReconnectSchedule::timed_out(StatusCode why) {
    return why == status::BadTimeout || why == status::BadRequestTimeout;
}

} // namespace ostrand::ua
