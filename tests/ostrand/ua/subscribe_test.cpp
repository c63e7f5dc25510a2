// Groups and items on an OPC UA server (the node-opcua peer) through the C
// interface: first values with the server's source timestamps for each id
// form and type, the granted rate, deadbands (percent on an analog item, the
// fallback where the server refuses it), and removal while changes stream
// (run under ThreadSanitizer too).
#include "../../support/fault_proxy.h"
#include "../../support/ua_peer.h"
#include "../recorder.h"
#include "read_back.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Prints a measured time for the record (the fault table), never judged here.
void report(const char* what, std::chrono::steady_clock::time_point since) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since);
    std::printf("[ measured ] %s: %lld ms\n", what, static_cast<long long>(ms.count()));
}
using opc_test::Recorder;

int64_t now_filetime() { return ostrand::SystemClock().filetime(); }

class UaSubscribeTest : public quorvane::test::UaPeerSuite<UaSubscribeTest> {
public:
    static std::vector<std::string> PeerArgs() { return {}; }

protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UaPeerSuite::SetUp());
        ASSERT_EQ(OstrandInitialize(), 0);
        Recorder::instance().clear();
        server_ = ConnectServer("", peer_->Url().c_str(), 0);
        ASSERT_GT(server_, 0);
        ASSERT_EQ(EnableDataCallback(server_, &Recorder::callback), 1);
    }
    void TearDown() override {
        if (server_ > 0) DisconnectServer(server_);
        OstrandUninitialize();
    }

    // The session goes through `proxy` from here on.
    void ConnectThrough(const quorvane::test::FaultProxy& proxy) {
        DisconnectServer(server_);
        server_ = ConnectServer("", proxy.Url().c_str(), 0);
        ASSERT_GT(server_, 0);
        ASSERT_EQ(EnableDataCallback(server_, &Recorder::callback), 1);
    }

    int32_t Group(int32_t rate, float deadband) {
        const int32_t g = AddGroup(server_, "g", &rate, &deadband);
        EXPECT_GT(g, 0);
        return g;
    }

    int32_t server_ = 0;
};

TEST_F(UaSubscribeTest, FirstValuesCarryTheSourceTimeForEveryIdFormAndType) {
    struct Case {
        const char* id;
        VARTYPE vt;
        double number; // NaN: not numeric
    };
    const Case cases[] = {
        {"ns=1;s=Static.Int16", VT_I2, -1234},
        {"Static.Double", VT_R8, 3.5},                       // dotted browse path
        {"nsu=urn:opcua-peer:server;s=Static.UInt32", VT_UI4, 4000000000.0},
        {"Static.Boolean", VT_BOOL, -1},                     // VARIANT_TRUE
        {"ns=1;s=Static.String", VT_BSTR, NAN},
        {"Static.DateTime", VT_DATE, NAN},
    };
    int32_t rate = 150;
    float deadband = 0;
    const int32_t g = AddGroup(server_, "g", &rate, &deadband);
    ASSERT_GT(g, 0);
    EXPECT_EQ(rate, 150); // granted as asked
    const int64_t now = now_filetime();
    std::vector<int32_t> items;
    for (const Case& c : cases) items.push_back(AddItem(server_, g, c.id));
    for (size_t k = 0; k < items.size(); ++k) {
        ASSERT_GT(items[k], 0) << cases[k].id;
        ASSERT_TRUE(Recorder::instance().wait_for(g, items[k], 1, 10s)) << cases[k].id;
        const opc_test::Event e = Recorder::instance().events_for(g, items[k])[0];
        EXPECT_EQ(e.quality, 192) << cases[k].id;
        EXPECT_EQ(e.vt, cases[k].vt) << cases[k].id;
        if (!std::isnan(cases[k].number)) {
            EXPECT_EQ(e.number, cases[k].number) << cases[k].id;
        }
        // When the server last set the value (its start), not when it was sent.
        EXPECT_LT(static_cast<int64_t>(e.filetime), now) << cases[k].id;
        EXPECT_GT(static_cast<int64_t>(e.filetime), now - 3600LL * 10000000) << cases[k].id;
    }

    // A changing node keeps coming, each change once.
    const int32_t speed = AddItem(server_, g, "ns=1;s=Channel1.Device1.Speed");
    ASSERT_TRUE(Recorder::instance().wait_for(g, speed, 4, 10s));
    const auto changes = Recorder::instance().events_for(g, speed);
    for (size_t k = 1; k < changes.size(); ++k) EXPECT_GT(changes[k].number, changes[k - 1].number);
}

TEST_F(UaSubscribeTest, DeadbandThinsAnalogChangesAndFallsBackWhereRefused) {
    const int32_t plain = Group(100, 0);
    const int32_t banded = Group(100, 20);
    // Level is an analog item with an EURange of 0..100: a percent deadband
    // applies. Speed has no range: the server refuses the filter, and the
    // item is monitored without one rather than not at all.
    const int32_t level_plain = AddItem(server_, plain, "Channel1.Device1.Level");
    const int32_t level_banded = AddItem(server_, banded, "Channel1.Device1.Level");
    const int32_t speed_banded = AddItem(server_, banded, "Channel1.Device1.Speed");
    ASSERT_TRUE(Recorder::instance().wait_for(plain, level_plain, 20, 15s));
    ASSERT_TRUE(Recorder::instance().wait_for(banded, speed_banded, 3, 10s));
    const size_t all = Recorder::instance().count_for(plain, level_plain);
    const size_t thinned = Recorder::instance().count_for(banded, level_banded);
    EXPECT_GE(thinned, 1u);
    EXPECT_LT(thinned * 3, all) << thinned << " of " << all;
    for (const auto& e : Recorder::instance().events_for(banded, speed_banded)) EXPECT_EQ(e.quality, 192);
}

// Items and groups removed while their changes stream: no callback for a
// removed handle once the removal returned, and nothing left at the end.
TEST_F(UaSubscribeTest, RemovalWhileChangesStream) {
    std::atomic<int32_t> removed_item{0};
    std::atomic<int> late{0};
    Recorder::instance().set_hook([&](const opc_test::Event& e) {
        if (e.item == removed_item.load()) ++late;
    });
    for (int round = 0; round < 3; ++round) {
        const int32_t g = Group(100, 0);
        std::vector<int32_t> items;
        for (const char* id : {"Flat.Ramp", "Channel1.Device1.Temp", "Channel1.Device1.Level"})
            items.push_back(AddItem(server_, g, id));
        ASSERT_TRUE(Recorder::instance().wait_for(g, items[0], 2, 10s));
        EXPECT_EQ(RemoveItem(server_, g, items[0]), 1);
        removed_item = items[0];
        EXPECT_EQ(RemoveGroup(server_, g), 1);
    }
    Recorder::instance().set_hook(nullptr);
    EXPECT_EQ(late.load(), 0);
}

// The server killed under a live subscription and started again on the same
// port: every item turns bad exactly once, at once, keeping its value; the
// status says so; after the restart the same handles report good values, and
// the server holds one subscription for the one group.
TEST_F(UaSubscribeTest, ServerKilledAndRestartedItemsGoBadOnceThenGoodOnTheSameHandles) {
    const int32_t g = Group(100, 0);
    std::vector<int32_t> items;
    for (const char* id : {"Flat.Ramp", "ns=1;s=Static.Int16", "Channel1.Device1.Count"})
        items.push_back(AddItem(server_, g, id));
    for (int32_t item : items) ASSERT_TRUE(Recorder::instance().wait_for(g, item, 1, 10s));

    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(peer_->Pid(), SIGKILL), 0);
    for (int32_t item : items) {
        ASSERT_TRUE(Recorder::instance().wait_until(g, item, 5s, [](const auto& events) {
            return std::any_of(events.begin(), events.end(), [](const auto& e) { return e.quality == 0; });
        }));
    }
    report("server killed: every item bad", killed);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 1s);
    const auto static_bad = Recorder::instance().events_for(g, items[1]).back();
    EXPECT_EQ(static_bad.number, -1234); // the last value, kept
    char vendor[128];
    ServerStatus status{};
    status.vendorInfo = vendor;
    ASSERT_EQ(GetServerStatus(server_, &status, sizeof vendor), 1);
    EXPECT_EQ(status.serverState, 2);
    EXPECT_NE(std::string(vendor).find(", reconnecting"), std::string::npos) << vendor;

    const uint16_t port = peer_->Port();
    peer_->Stop();
    ASSERT_EQ(peer_->Start(port), "");
    const auto ready = std::chrono::steady_clock::now();
    for (int32_t item : items) {
        ASSERT_TRUE(Recorder::instance().wait_until(g, item, 30s, [](const auto& events) {
            const bool went_bad = std::any_of(events.begin(), events.end(), [](const auto& e) { return e.quality == 0; });
            return went_bad && events.back().quality == 192;
        })) << "item " << item;
        size_t bad = 0;
        for (const auto& e : Recorder::instance().events_for(g, item)) bad += e.quality == 0;
        EXPECT_EQ(bad, 1u) << "item " << item;
    }
    report("server restarted: every item good again after its READY", ready);
    // One subscription at the server for the one group (the old session died with the server).
    const auto count = opc_test::ReadBack(peer_->Url(), "i=2285");
    const uint32_t* subscriptions = count.value ? count.value->get<ostrand::ua::kUInt32>() : nullptr;
    ASSERT_NE(subscriptions, nullptr);
    EXPECT_EQ(*subscriptions, 1u);
}

// Through a loopback proxy: a cut with the server alive, then a blackhole
// (sockets open, nothing passes). Items go bad once per outage and good
// again; no call blocks past its limit; values flow after each.
TEST_F(UaSubscribeTest, CutAndBlackholeThroughAProxyAreSurvived) {
    quorvane::test::FaultProxy proxy(peer_->Port());
    ASSERT_TRUE(proxy.Start());
    ASSERT_NO_FATAL_FAILURE(ConnectThrough(proxy));
    const int32_t s = server_;
    const int32_t g = Group(100, 0);
    const int32_t ramp = AddItem(s, g, "Flat.Ramp");
    const int32_t fixed = AddItem(s, g, "Static.Double");
    ASSERT_TRUE(Recorder::instance().wait_for(g, fixed, 1, 10s));
    ASSERT_TRUE(Recorder::instance().wait_for(g, ramp, 2, 10s));

    // Good again after `outages` bad spells: the item was bad and is good now.
    auto recovered = [](size_t outages) {
        return [outages](const auto& events) {
            const auto bad = std::count_if(events.begin(), events.end(), [](const auto& e) { return e.quality == 0; });
            return static_cast<size_t>(bad) == outages && events.back().quality == 192;
        };
    };
    const auto cut = std::chrono::steady_clock::now();
    proxy.Cut();
    for (int32_t item : {ramp, fixed}) ASSERT_TRUE(Recorder::instance().wait_until(g, item, 10s, recovered(1))) << item;
    report("cut, server alive: every item good again", cut);
    EXPECT_LT(std::chrono::steady_clock::now() - cut, 1500ms);

    proxy.Blackhole();
    const auto stalled = std::chrono::steady_clock::now();
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = 3.5; // what the node holds: other tests read it
    // Unnoticed yet: the write waits for its own limit and no longer.
    EXPECT_EQ(WriteItem(s, g, fixed, &v, 0), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - stalled, 8s);
    ASSERT_TRUE(Recorder::instance().wait_until(g, ramp, 10s, [](const auto& events) {
        return events.back().quality == 0 && std::count_if(events.begin(), events.end(), [](const auto& e) { return e.quality == 0; }) == 2;
    }));
    report("blackhole: loss declared", stalled);
    EXPECT_LT(std::chrono::steady_clock::now() - stalled, 10s); // the keep-alive watchdog, not TCP
    const auto down = std::chrono::steady_clock::now();
    EXPECT_EQ(WriteItem(s, g, fixed, &v, 0), E_FAIL); // known to be down: at once
    EXPECT_LT(std::chrono::steady_clock::now() - down, 1s);
    std::this_thread::sleep_until(stalled + 10s); // the fault's own length
    proxy.Resume();
    const auto resumed = std::chrono::steady_clock::now();
    for (int32_t item : {ramp, fixed}) ASSERT_TRUE(Recorder::instance().wait_until(g, item, 20s, recovered(2))) << item;
    report("blackhole lifted after 10 s: every item good again", resumed);
    EXPECT_EQ(WriteItem(s, g, fixed, &v, 0), S_OK);
    EXPECT_EQ(DisconnectServer(s), 1);
    server_ = 0; // before the proxy goes
}

// A value written and taken by the server is what an outage reports, even
// before the server's data change for it came (a slow group here): the
// registers a master wrote keep that value.
TEST_F(UaSubscribeTest, AnOutageRightAfterAWriteReportsTheWrittenValue) {
    quorvane::test::FaultProxy proxy(peer_->Port());
    ASSERT_TRUE(proxy.Start());
    ASSERT_NO_FATAL_FAILURE(ConnectThrough(proxy));
    const int32_t s = server_;
    const int32_t g = Group(5000, 0);
    const int32_t byte = AddItem(s, g, "Static.Byte");
    ASSERT_TRUE(Recorder::instance().wait_for(g, byte, 1, 10s));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = 17;
    ASSERT_EQ(WriteItem(s, g, byte, &v, 0), S_OK);
    proxy.Cut();
    ASSERT_TRUE(Recorder::instance().wait_until(g, byte, 5s, [](const auto& events) { return events.back().quality == 0; }));
    EXPECT_EQ(Recorder::instance().events_for(g, byte).back().number, 17);
    v.fltVal = 200; // as the peer started
    EXPECT_TRUE(Recorder::instance().wait_until(g, byte, 10s, [](const auto& events) { return events.back().quality == 192; }));
    EXPECT_EQ(WriteItem(s, g, byte, &v, 0), S_OK);
    EXPECT_EQ(DisconnectServer(s), 1);
    server_ = 0; // before the proxy goes
}

} // namespace
