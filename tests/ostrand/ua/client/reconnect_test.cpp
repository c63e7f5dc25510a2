// The waits between connection attempts: a server that refuses is tried
// again within the short cap whatever happened before, one that times out
// keeps the growing steps, and a success starts the schedule over.
#include "ua/client/reconnect.h"
#include "ua/encoding/text.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace ostrand::ua {
namespace {

using namespace std::chrono_literals;

struct ScheduleCase {
    const char* name;
    std::vector<bool> attempts; // timed out? one per failed attempt; the last one's wait is checked
    bool reset_before_last;
    Millis low, high; // the last wait, jitter included
};

TEST(ReconnectSchedule, WaitsStayWithinTheirBoundsForEveryJitter) {
    const std::vector<ScheduleCase> cases = {
        {"first wait", {false}, false, 400ms, 600ms},
        {"refused for long: capped at 1.5 s, still varied", std::vector<bool>(30, false), false, 1000ms, 1500ms},
        {"refused, second attempt: below the cap", {false, false}, false, 800ms, 1200ms},
        {"timed out for long: the long cap", std::vector<bool>(30, true), false, 8000ms, 12000ms},
        {"timed out five times", {true, true, true, true}, false, 3200ms, 4800ms},
        {"refused after long time-outs", {true, true, true, true, true, true, true, false}, false, 1000ms, 1500ms},
        {"a success starts over", {true, true, true, true, true, true, true}, true, 400ms, 600ms},
    };
    UaSettings settings; // 500 ms doubling to 10 s, +/- 20 %, 1.5 s after a fast failure
    for (const ScheduleCase& c : cases) {
        for (unsigned seed = 1; seed <= 200; ++seed) {
            std::minstd_rand random(seed);
            ReconnectSchedule schedule(settings);
            Millis last{};
            for (size_t i = 0; i < c.attempts.size(); ++i) {
                if (c.reset_before_last && i + 1 == c.attempts.size()) schedule.reset();
                last = schedule.next(c.attempts[i], random);
            }
            ASSERT_GE(last, c.low) << c.name << ", seed " << seed;
            ASSERT_LE(last, c.high) << c.name << ", seed " << seed;
        }
    }
}

TEST(ReconnectSchedule, WaitsAtTheFastCapStillDiffer) {
    UaSettings settings;
    std::minstd_rand random(7);
    ReconnectSchedule schedule(settings);
    std::set<int64_t> seen;
    for (int i = 0; i < 40; ++i) seen.insert(schedule.next(false, random).count());
    EXPECT_GT(seen.size(), 20u); // not all clamped to the same 1500 ms
}

TEST(ReconnectSchedule, OnlyTimeOutsCountAsSlowFailures) {
    EXPECT_TRUE(ReconnectSchedule::timed_out(status::BadTimeout));
    EXPECT_TRUE(ReconnectSchedule::timed_out(status::BadRequestTimeout));
    for (StatusCode fast : {status::BadConnectionClosed, status::BadCommunicationError, status::BadConnectionRejected,
                            status::BadTcpInternalError})
        EXPECT_FALSE(ReconnectSchedule::timed_out(fast)) << format_status(fast);
}

TEST(StatusName, NamesKnownCodesAndShowsOthersInHex) {
    const struct {
        StatusCode code;
        const char* name;
    } cases[] = {
        {status::Good, "Good"},
        {status::BadNodeIdUnknown, "BadNodeIdUnknown"},
        {status::BadTimeout | 0x0400u, "BadTimeout"}, // info bits do not change the name
        {0x80FF0000u, "Bad 0x80FF0000"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_status(c.code), c.name);
}

} // namespace
} // namespace ostrand::ua
