// Time for the OPC UA client. The engines never read a clock themselves: the
// I/O loop asks a `Clock` and passes `now` in, so tests drive them with made-up
// times. Two kinds of time are needed: a steady one for deadlines and timers,
// and the UTC wall time that goes on the wire (RequestHeader timestamps).
#pragma once

#include <chrono>
#include <cstdint>

namespace ostrand {

using SteadyClock = std::chrono::steady_clock;
using SteadyTime = SteadyClock::time_point;

// UA DateTime and Windows FILETIME are the same count: 100 ns ticks since
// 1601-01-01 00:00 UTC (OPC UA Part 6, DateTime).
using FileTime = int64_t;
constexpr FileTime kFileTimeAtUnixEpoch = 116444736000000000;

inline FileTime to_filetime(std::chrono::system_clock::time_point t) {
    const auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(
        t.time_since_epoch());
    return kFileTimeAtUnixEpoch + ticks.count();
}

class Clock {
public:
    virtual ~Clock() = default;
    virtual SteadyTime now() const = 0;
    virtual FileTime filetime() const = 0;
};

// The clocks of this machine.
class SystemClock final : public Clock {
public:
    SteadyTime now() const override { return SteadyClock::now(); }
    FileTime filetime() const override { return to_filetime(std::chrono::system_clock::now()); }
};

} // namespace ostrand
