// The gateway's log lines: each event's priority prefix and text, the
// repeats written once a minute with their count, and nothing secret.
#include "frame/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <functional>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A log writing into `lines`, its time moved by hand.
struct Recorder {
    std::vector<std::string> lines;
    Clock::time_point now{};
    EventLog log{[this](const std::string& line) { lines.push_back(line); }, [this] { return now; }};
};

OstrandEvent Opc(int32_t kind) {
    OstrandEvent e{};
    e.kind = kind;
    e.url = "opc.tcp://plc7:4840";
    e.security_mode = "SignAndEncrypt";
    e.security_policy = "Basic256Sha256";
    e.user = "";
    e.outage_ms = -1;
    return e;
}

std::function<void(EventLog&)> Deadband(int32_t group, float percent, int32_t result) {
    return [=](EventLog& l) {
        auto e = Opc(OSTRAND_EVENT_GROUP_REVISED);
        e.group = group;
        e.deadband = percent;
        e.deadband_result = result;
        l.Opc(e);
    };
}

TEST(EventLog, EachEventIsOneLineWithItsPriority) {
    struct Case {
        const char* name;
        std::function<void(EventLog&)> event;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"connected, anonymous", [](EventLog& l) { auto e = Opc(OSTRAND_EVENT_CONNECTED); e.new_session = 1; l.Opc(e); },
         "<5>OPC server opc.tcp://plc7:4840 connected; security SignAndEncrypt Basic256Sha256, anonymous, session new\n"},
        {"back with a user",
         [](EventLog& l) {
             auto e = Opc(OSTRAND_EVENT_CONNECTED);
             e.user = "operator";
             e.outage_ms = 15249;
             l.Opc(e);
         },
         "<5>OPC server opc.tcp://plc7:4840 back after 15.2 s; security SignAndEncrypt Basic256Sha256, user operator, "
         "session reactivated\n"},
        {"lost",
         [](EventLog& l) { auto e = Opc(OSTRAND_EVENT_LOST); e.reason = "BadConnectionClosed"; l.Opc(e); },
         "<3>OPC server opc.tcp://plc7:4840 lost: BadConnectionClosed; reconnecting\n"},
        {"waiting", [](EventLog& l) { auto e = Opc(OSTRAND_EVENT_WAITING); e.reason = "BadConnectionRejected"; l.Opc(e); },
         "<4>OPC server opc.tcp://plc7:4840 cannot be reached: BadConnectionRejected; still trying\n"},
        {"unknown item",
         [](EventLog& l) {
             auto e = Opc(OSTRAND_EVENT_ITEM_FAILED);
             e.item_id = "ns=1;s=Nope";
             e.reason = "BadNodeIdUnknown";
             l.Opc(e);
         },
         "<4>OPC item ns=1;s=Nope cannot be resolved: BadNodeIdUnknown\n"},
        {"group revised",
         [](EventLog& l) {
             auto e = Opc(OSTRAND_EVENT_GROUP_REVISED);
             e.group = 3;
             e.requested_rate = 100;
             e.revised_rate = 250;
             l.Opc(e);
         },
         "<6>OPC group 3: the server revised the update rate from 100 ms to 250 ms\n"},
        {"deadband refused", Deadband(2, 0.5f, OSTRAND_DEADBAND_REFUSED),
         "<4>OPC group 2: the server refused the deadband of 0.5 %; its items report every change\n"},
        {"deadband taken as absolute", Deadband(4, 12.5f, OSTRAND_DEADBAND_ABSOLUTE),
         "<6>OPC group 4: the server revised the deadband of 12.5 % to an absolute one over the items' EU range\n"},
        {"link opened", [](EventLog& l) { l.LinkOpened("TCP port 502"); }, "<6>Modbus TCP port 502 opened\n"},
        {"link closed", [](EventLog& l) { l.LinkClosed("COM2"); }, "<6>Modbus COM2 closed\n"},
        {"link failed", [](EventLog& l) { l.LinkFailed("COM3", ENOENT); },
         "<3>Modbus COM3 failed: No such file or directory\n"},
        {"restored", [](EventLog& l) { l.Restored("plant.csv", 2, 120, 131); },
         "<5>configuration plant.csv restored: 2 groups, 120 items, 131 points\n"},
        {"master refused once", [](EventLog& l) { l.MastersRefused("10.0.0.9", 1); },
         "<4>Modbus TCP master 10.0.0.9 refused by --allow\n"},
        {"master refused three times in a tick", [](EventLog& l) { l.MastersRefused("fd00::7", 3); },
         "<4>Modbus TCP master fd00::7 refused by --allow (3 times)\n"},
        {"addresses beyond the library's table", [](EventLog& l) { l.MastersRefused("", 40); },
         "<4>Modbus TCP masters from further addresses refused by --allow (40 times)\n"},
        {"a newline in a text stays one line",
         [](EventLog& l) { l.Write(LogLevel::Error, "two\nlines"); }, "<3>two lines\n"},
    };
    // The texts are the same in every locale.
    const char* german = std::setlocale(LC_ALL, "de_DE.UTF-8");
    for (const Case& c : cases) {
        Recorder r;
        c.event(r.log);
        ASSERT_EQ(r.lines.size(), 1u) << c.name;
        EXPECT_EQ(r.lines[0], c.line) << c.name;
    }
    if (german != nullptr) std::setlocale(LC_ALL, "C");
}

TEST(EventLog, RepeatedFailuresAreWrittenOnceAMinuteWithTheirCount) {
    Recorder r;
    auto e = Opc(OSTRAND_EVENT_WAITING);
    e.reason = "BadConnectionRejected";
    // Every 2 s for 130 s: the first, then one line a minute.
    for (int s = 0; s <= 130; s += 2) {
        r.now = Clock::time_point{} + std::chrono::seconds(s);
        r.log.Opc(e);
    }
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0], "<4>OPC server opc.tcp://plc7:4840 cannot be reached: BadConnectionRejected; still trying\n");
    EXPECT_EQ(r.lines[1], "<4>OPC server opc.tcp://plc7:4840 cannot be reached: BadConnectionRejected; still trying "
                          "(30 times in 60 s)\n");
    EXPECT_EQ(r.lines[2], r.lines[1]);

    // Connected ends the repeat: the next outage's first failure is written at once.
    r.log.Opc(Opc(OSTRAND_EVENT_CONNECTED));
    r.log.Opc(e);
    ASSERT_EQ(r.lines.size(), 5u);
    EXPECT_EQ(r.lines[4], r.lines[0]);
    // Another server's failure is a failure of its own.
    e.url = "opc.tcp://plc8:4840";
    r.log.Opc(e);
    EXPECT_EQ(r.lines.size(), 6u);
}

TEST(EventLog, RefusedMastersAreWrittenOnceAMinutePerAddressWithTheirCount) {
    Recorder r;
    auto at = [&](int s) { r.now = Clock::time_point{} + std::chrono::seconds(s); };
    at(0);
    r.log.MastersRefused("10.0.0.9", 2);
    r.log.MastersRefused("10.0.0.8", 1); // another address: its own line
    at(1);
    r.log.MastersRefused("10.0.0.9", 5);
    at(61);
    r.log.MastersRefused("10.0.0.9", 1);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0], "<4>Modbus TCP master 10.0.0.9 refused by --allow (2 times)\n");
    EXPECT_EQ(r.lines[1], "<4>Modbus TCP master 10.0.0.8 refused by --allow\n");
    EXPECT_EQ(r.lines[2], "<4>Modbus TCP master 10.0.0.9 refused by --allow (6 times in 61 s)\n");
}

TEST(EventLog, AFloodOfAddressesIsLetGoWithItsPendingCounts) {
    Recorder r;
    r.log.MastersRefused("10.0.0.9", 1);
    r.log.MastersRefused("10.0.0.9", 4); // pending, not yet written
    r.now += 2min;
    for (size_t i = 0; i < EventLog::kRepeatKeysKept; ++i) r.log.MastersRefused("fd00::" + std::to_string(i), 1);
    // The full table let the old address go, its pending count written.
    const std::string pending = "<4>Modbus TCP master 10.0.0.9 refused by --allow (4 times in 120 s)\n";
    EXPECT_EQ(std::count(r.lines.begin(), r.lines.end(), pending), 1);
    EXPECT_EQ(r.lines.size(), 1 + EventLog::kRepeatKeysKept + 1);
    // Past the bound, within the minute: still written, each address once.
    r.log.MastersRefused("fd00::ffff", 1);
    r.log.MastersRefused("fd00::0", 1);
    EXPECT_EQ(r.lines.size(), 1 + EventLog::kRepeatKeysKept + 2);
}

TEST(EventLog, KeepsTheOpcStateForASummary) {
    Recorder r;
    auto waiting = Opc(OSTRAND_EVENT_WAITING);
    waiting.reason = "BadTimeout";
    r.log.Opc(waiting);
    EventLog::State s = r.log.Snapshot();
    EXPECT_EQ(s.opc, EventLog::OpcState::Waiting);
    EXPECT_EQ(s.reason, "BadTimeout");
    auto item = Opc(OSTRAND_EVENT_ITEM_FAILED);
    item.item_id = "x";
    item.reason = "BadNodeIdUnknown";
    r.log.Opc(Opc(OSTRAND_EVENT_CONNECTED));
    r.log.Opc(item);
    s = r.log.Snapshot();
    EXPECT_EQ(s.opc, EventLog::OpcState::Connected);
    EXPECT_EQ(s.url, "opc.tcp://plc7:4840");
    EXPECT_EQ(s.itemsFailed, 1);
}

} // namespace
} // namespace quorvane
