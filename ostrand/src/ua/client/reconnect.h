// The wait between connection attempts to a server that cannot be reached.
//
// Each wait is the current step varied by +/- reconnect_jitter; the step
// starts at reconnect_first and doubles after every failed attempt up to
// reconnect_max. After an attempt that failed fast (the port refused, the
// connection was reset) the step counts as at most reconnect_fast_max /
// (1 + jitter), so the wait stays at or below reconnect_fast_max with the
// jitter and a server that comes back is found within that whatever the
// outage lasted.
// An attempt that timed out already spent its own limit and keeps the longer
// steps. reset() after a success starts again from reconnect_first.
#pragma once

#include "ua/client/engine.h"

#include <random>

namespace ostrand::ua {

class ReconnectSchedule {
public:
    explicit ReconnectSchedule(const UaSettings& settings) : settings_(&settings), step_(settings.reconnect_first) {}

    // The wait after a failed attempt; `random` varies it.
    Millis next(bool timed_out, std::minstd_rand& random);
    void reset() { step_ = settings_->reconnect_first; }

    // An attempt that ended with `why` spent its time limit.
    static bool timed_out(StatusCode why);

private:
    const UaSettings* settings_;
    Millis step_;
};

} // namespace ostrand::ua
