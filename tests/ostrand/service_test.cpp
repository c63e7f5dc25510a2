// The service through its C interface: listing, browsing, groups, data
// changes with deadband, writes, status and caller buffers.

#include "recorder.h"

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace opc_test;
using std::chrono::milliseconds;

std::vector<std::string> browse(int32_t server, int32_t type) {
    std::vector<std::string> names;
    int32_t n = BrowseCount(server, type);
    for (int32_t k = 0; k < n; ++k) {
        char buffer[200];
        EXPECT_NE(BrowseName(server, k, buffer, sizeof buffer), 0);
        names.push_back(buffer);
    }
    return names;
}

std::string item_id(int32_t server, const char* leaf) {
    char buffer[200] = "unchanged";
    if (!BrowseItemId(server, leaf, buffer, sizeof buffer)) return "<none>";
    return buffer;
}

TEST(ServiceListing, LocalMachineOffersBothServersInEitherMode) {
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    for (const char* machine : {"", "localhost", static_cast<const char*>(host)}) {
        for (int32_t mode : {1, 0}) {
            ASSERT_EQ(GetServerCount(mode, machine), 2) << machine << " mode " << mode;
            char name[200];
            EXPECT_EQ(GetServerName(0, name, sizeof name), 1);
            EXPECT_STREQ(name, "Demo.Server.1");
            EXPECT_EQ(GetServerName(1, name, sizeof name), 1);
            EXPECT_STREQ(name, "Demo.FlatServer.1");
            EXPECT_EQ(GetServerName(2, name, sizeof name), 0);
            EXPECT_STREQ(name, "");
        }
    }
    EXPECT_EQ(GetServerCount(1, "plant-gw-7"), 0);
    EXPECT_EQ(GetServerCount(0, "plant-gw-7"), 0);
    EXPECT_EQ(GetServerCount(2, ""), 0);
    EXPECT_EQ(GetServerName(0, nullptr, 200), 0);
}

TEST(ServiceStartUp, ConnectNeedsTheServiceStarted) {
    EXPECT_EQ(ConnectServer("", "Demo.Server.1", 0), -1);
    ASSERT_EQ(OstrandInitialize(), 0);
    ASSERT_EQ(OstrandInitialize(), 0); // nests
    OstrandUninitialize();
    int32_t a = ConnectServer("", "Demo.Server.1", 0);
    int32_t b = ConnectServer(nullptr, "demo.flatserver.1", 0);
    EXPECT_NE(a, -1);
    EXPECT_NE(b, -1);
    EXPECT_NE(a, b);
    for (const char* bad : {"", "Demo.Server.2", "Demo.Server.1 "}) EXPECT_EQ(ConnectServer("", bad, 0), -1) << bad;
    EXPECT_EQ(ConnectServer("", nullptr, 0), -1);
    EXPECT_EQ(ConnectServer("plant-gw-7", "Demo.Server.1", 0), -1);
    OstrandUninitialize();
    // Stopping drops every connection.
    uint16_t organization = 0;
    EXPECT_EQ(QueryOrganization(a, &organization), 0);
    EXPECT_EQ(ConnectServer("", "Demo.Server.1", 0), -1);
}

using ServiceBrowse = ServiceTest;

TEST_F(ServiceBrowse, WalksTheDemoTree) {
    int32_t s = connect();
    uint16_t organization = 0;
    ASSERT_EQ(QueryOrganization(s, &organization), 1);
    EXPECT_EQ(organization, 1);

    ASSERT_NE(BrowseMoveTo(s, ""), 0);
    EXPECT_EQ(browse(s, 1), (std::vector<std::string>{"Channel1", "Channel2", "Setpoints"}));
    EXPECT_TRUE(browse(s, 2).empty());
    std::vector<std::string> all = browse(s, 3);
    EXPECT_EQ(all.size(), 25u);
    EXPECT_EQ(all.front(), "Channel1.Device1.Speed");

    ASSERT_NE(BrowseMoveTo(s, "Channel1"), 0);
    EXPECT_EQ(browse(s, 1), std::vector<std::string>{"Device1"});
    EXPECT_TRUE(browse(s, 2).empty());
    ASSERT_NE(BrowseMoveTo(s, "Channel1.Device1"), 0);
    EXPECT_EQ(browse(s, 2), (std::vector<std::string>{"Speed", "Temp", "Run", "Level", "Count", "Name", "Big",
                                                      "Broken"}));
    EXPECT_TRUE(browse(s, 1).empty());
    EXPECT_EQ(item_id(s, "Speed"), "Channel1.Device1.Speed");
    EXPECT_EQ(item_id(s, "Setpoints.Short"), "Setpoints.Short"); // full ids work anywhere
    EXPECT_EQ(item_id(s, "Nope"), "<none>");

    // A leaf, a partial name or a trailing dot is no branch; the position stays.
    for (const char* bad : {"Channel1.Device1.Speed", "Chan", "Channel1.", ".Channel1", "Channel3"})
        EXPECT_EQ(BrowseMoveTo(s, bad), 0) << bad;
    EXPECT_EQ(item_id(s, "Temp"), "Channel1.Device1.Temp");

    ASSERT_NE(BrowseMoveTo(s, "Setpoints"), 0);
    EXPECT_EQ(browse(s, 3).size(), 7u);
    EXPECT_EQ(BrowseCount(s, 4), 0);
    char buffer[200];
    EXPECT_EQ(BrowseName(s, 0, buffer, sizeof buffer), 0); // the failed listing emptied the names
}

TEST_F(ServiceBrowse, FlatServerHasOnlyLeaves) {
    int32_t s = connect("Demo.FlatServer.1");
    uint16_t organization = 0;
    ASSERT_EQ(QueryOrganization(s, &organization), 1);
    EXPECT_EQ(organization, 2);
    ASSERT_NE(BrowseMoveTo(s, ""), 0);
    EXPECT_TRUE(browse(s, 1).empty());
    std::vector<std::string> leaves = browse(s, 2);
    EXPECT_EQ(leaves.size(), 9u);
    EXPECT_EQ(browse(s, 3), leaves);
    EXPECT_EQ(item_id(s, "Ramp"), "Ramp");
    EXPECT_EQ(BrowseMoveTo(s, "Ramp"), 0);
    EXPECT_EQ(QueryOrganization(s, nullptr), 0);
}

TEST_F(ServiceBrowse, CallerBuffersAreNeverOverrun) {
    int32_t s = connect();
    ASSERT_NE(BrowseMoveTo(s, "Channel1.Device1"), 0);
    ASSERT_GT(BrowseCount(s, 3), 0);

    struct Call {
        const char* what;
        std::function<int32_t(char*, int32_t)> run;
        const char* whole;
    } calls[] = {
        {"BrowseName", [&](char* b, int32_t n) { return BrowseName(s, 0, b, n); }, "Channel1.Device1.Speed"},
        {"BrowseItemId", [&](char* b, int32_t n) { return BrowseItemId(s, "Speed", b, n); },
         "Channel1.Device1.Speed"},
        {"GetServerName", [&](char* b, int32_t n) { GetServerCount(1, ""); return GetServerName(0, b, n); },
         "Demo.Server.1"},
        {"vendor text", [&](char* b, int32_t n) {
             ServerStatus st{};
             st.vendorInfo = b;
             return GetServerStatus(s, &st, n) ? 1 : 0;
         }, "Ostrand built-in simulation server"},
    };
    for (Call& c : calls) {
        for (int32_t size : {200, 1, 5}) {
            char buffer[256];
            std::memset(buffer, 0x7E, sizeof buffer);
            c.run(buffer, size);
            size_t expected = std::min<size_t>(std::strlen(c.whole), static_cast<size_t>(size) - 1);
            EXPECT_EQ(std::strlen(buffer), expected) << c.what << " size " << size;
            EXPECT_EQ(std::string(buffer, expected), std::string(c.whole, expected)) << c.what;
            for (size_t k = static_cast<size_t>(size); k < sizeof buffer; ++k)
                ASSERT_EQ(buffer[k], 0x7E) << c.what << " wrote byte " << k << " of a " << size << "-byte buffer";
        }
        char untouched = 0x7E;
        c.run(&untouched, 0);
        EXPECT_EQ(untouched, 0x7E) << c.what;
    }
    // A cut name is reported, so that nobody adds a wrong item id.
    char small[5];
    EXPECT_EQ(BrowseName(s, 0, small, sizeof small), 0);
}

using ServiceGroups = ServiceTest;

TEST_F(ServiceGroups, RateAndDeadbandAreRevisedIntoRange) {
    int32_t s = connect();
    struct {
        int32_t rate;
        float deadband;
        int32_t revised_rate;
        float revised_deadband;
    } cases[] = {{1000, 5, 1000, 5}, {50, 0, 100, 0}, {0, -3, 100, 0}, {-20, 150, 100, 100}, {100, NAN, 100, 0}};
    for (auto& c : cases) {
        int32_t rate = c.rate;
        float deadband = c.deadband;
        EXPECT_NE(AddGroup(s, "g", &rate, &deadband), -1);
        EXPECT_EQ(rate, c.revised_rate);
        EXPECT_EQ(deadband, c.revised_deadband);
    }
    int32_t rate = 100;
    float deadband = 0;
    EXPECT_EQ(AddGroup(s + 1000, "g", &rate, &deadband), -1);
    EXPECT_EQ(AddGroup(s, "g", nullptr, &deadband), -1);
    int32_t g = group(s, 100);
    EXPECT_EQ(AddItem(s, g, "Channel1.Device1.Nope"), -1);
    EXPECT_EQ(AddItem(s, g, "channel1.device1.speed"), -1);
    EXPECT_EQ(AddItem(s, g + 1000, "Channel1.Device1.Speed"), -1);
    EXPECT_EQ(AddItem(s, g, nullptr), -1);
    EXPECT_EQ(RemoveGroup(s, g + 1000), 0);
    EXPECT_EQ(RemoveItem(s, g, 12345), 0);
}

TEST_F(ServiceGroups, TwoGroupsReportAtTheirOwnRates) {
    int32_t s = connect();
    int32_t fast = group(s, 100);
    int32_t slow = group(s, 500);
    int32_t fast_item = AddItem(s, fast, "Channel1.Device1.Speed");
    int32_t slow_item = AddItem(s, slow, "Channel1.Device1.Speed");
    ASSERT_NE(fast_item, -1);
    ASSERT_NE(slow_item, -1);
    sleep_ms(1500);
    std::vector<Event> f = Recorder::instance().events_for(fast);
    std::vector<Event> w = Recorder::instance().events_for(slow);
    // The ramp changes every 100 ms: about 15 changes against about 3.
    EXPECT_GE(f.size(), 8u);
    EXPECT_GE(w.size(), 2u);
    EXPECT_LE(w.size(), 5u);
    EXPECT_GT(f.size(), 2 * w.size());
    for (const Event& e : f) {
        EXPECT_EQ(e.server, s);
        EXPECT_EQ(e.item, fast_item);
        EXPECT_EQ(e.vt, VT_I2);
        EXPECT_EQ(e.quality, 192);
    }
    for (size_t k = 1; k < f.size(); ++k) {
        EXPECT_NE(f[k].number, f[k - 1].number) << "an unchanged value was reported";
        EXPECT_GE(f[k].filetime, f[k - 1].filetime);
    }
}

TEST_F(ServiceGroups, UnchangingItemsReportOnceWithTheirQuality) {
    int32_t s = connect();
    int32_t g = group(s, 100);
    ServerStatus st{};
    ASSERT_EQ(GetServerStatus(s, &st, 0), 1);
    const uint64_t before = filetime(st.currentTime);
    int32_t label = AddItem(s, g, "Channel2.Device1.Label");
    int32_t broken = AddItem(s, g, "Channel1.Device1.Broken");
    ASSERT_TRUE(Recorder::instance().wait_for(g, broken, 1, milliseconds(2000)));
    sleep_ms(500);
    std::vector<Event> l = Recorder::instance().events_for(g, label);
    std::vector<Event> b = Recorder::instance().events_for(g, broken);
    ASSERT_EQ(l.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(l[0].vt, VT_BSTR);
    EXPECT_EQ(l[0].quality, 192);
    EXPECT_EQ(b[0].quality, 0);
    // A UTC file time of this moment (within a minute).
    EXPECT_GE(l[0].filetime, before);
    EXPECT_LT(l[0].filetime, before + 600000000ULL);
}

TEST_F(ServiceGroups, PercentDeadbandSuppressesSmallChangesOfRangedItems) {
    int32_t s = connect();
    int32_t banded = group(s, 100, 10);   // 10 % of Level's 0..100
    int32_t plain = group(s, 100, 0);
    int32_t level = AddItem(s, banded, "Setpoints.Level");
    int32_t level_plain = AddItem(s, plain, "Setpoints.Level");
    int32_t unranged = AddItem(s, banded, "Setpoints.Float");
    // Items that change on every update show when each group has sampled.
    int32_t tick = AddItem(s, banded, "Channel2.Device1.Total");
    int32_t tick_plain = AddItem(s, plain, "Channel2.Device1.Total");
    ASSERT_TRUE(Recorder::instance().wait_for(banded, level, 1, milliseconds(2000)));
    ASSERT_TRUE(Recorder::instance().wait_for(plain, level_plain, 1, milliseconds(2000)));

    auto write = [&](double value, int32_t item) {
        VARIANT v = make_variant(VT_R8, &VARIANT::dblVal, value);
        ASSERT_EQ(WriteItem(s, banded, item, &v, 0), 0);
        // Two more updates of each group: both have sampled the written value.
        for (auto [g, t] : {std::pair{banded, tick}, std::pair{plain, tick_plain}})
            ASSERT_TRUE(Recorder::instance().wait_for(g, t, Recorder::instance().count_for(g, t) + 2,
                                                      milliseconds(3000)));
    };
    // Each step against the last value reported to the banded group (50 at first).
    struct Step {
        double value;
        bool reported;
    } steps[] = {{55, false}, {60, false}, {60.5, true}, {51, false}, {50.4, true}, {41, false}, {40.3, true}};
    size_t expected = 1;
    for (const Step& step : steps) {
        write(step.value, level);
        if (step.reported) ++expected;
        std::vector<Event> e = Recorder::instance().events_for(banded, level);
        ASSERT_EQ(e.size(), expected) << "after writing " << step.value;
        if (step.reported) {
            EXPECT_DOUBLE_EQ(e.back().number, step.value);
        }
    }
    // Without a deadband every change is seen.
    EXPECT_EQ(Recorder::instance().count_for(plain, level_plain), 1 + std::size(steps));
    // An item without a range ignores the deadband.
    ASSERT_TRUE(Recorder::instance().wait_for(banded, unranged, 1, milliseconds(2000)));
    write(0.5, unranged);
    EXPECT_EQ(Recorder::instance().count_for(banded, unranged), 2u);
}

using ServiceWrite = ServiceTest;

TEST_F(ServiceWrite, WrittenValuesAreCoercedKeptAndReported) {
    int32_t s = connect();
    int32_t g = group(s, 100);
    int32_t shorty = AddItem(s, g, "Setpoints.Short");
    int32_t text = AddItem(s, g, "Setpoints.Text");
    int32_t speed = AddItem(s, g, "Channel1.Device1.Speed");
    ASSERT_TRUE(Recorder::instance().wait_for(g, shorty, 1, milliseconds(2000)));

    auto value = [](VARTYPE vt, double x) {
        VARIANT v = make_variant(VT_R8, &VARIANT::dblVal, x);
        if (vt == VT_NULL) v.vt = VT_NULL;
        else EXPECT_EQ(VariantChangeType(&v, &v, 0, vt), S_OK);
        return v;
    };
    VARIANT v = value(VT_R4, 2.5f);
    EXPECT_EQ(WriteItem(s, g, shorty, &v, 0), S_OK);
    ASSERT_TRUE(Recorder::instance().wait_for(g, shorty, 2, milliseconds(2000)));
    Event e = Recorder::instance().events_for(g, shorty).back();
    EXPECT_EQ(e.vt, VT_I2);
    EXPECT_EQ(e.number, 2); // half to even
    EXPECT_EQ(v.vt, VT_R4);  // the caller's VARIANT is left alone

    struct Refused {
        int32_t item;
        VARIANT value;
        HRESULT sync_result;
    } refused[] = {
        {shorty, value(VT_I4, 70000), DISP_E_OVERFLOW},
        {shorty, value(VT_NULL, 0), DISP_E_TYPEMISMATCH},
        {speed, value(VT_I2, 1), E_ACCESSDENIED},
        {12345, value(VT_I2, 1), E_INVALIDARG},
    };
    for (Refused& r : refused) {
        EXPECT_EQ(WriteItem(s, g, r.item, &r.value, 0), r.sync_result);
        EXPECT_EQ(WriteItem(s, g, r.item, &r.value, 1), 0);
    }
    EXPECT_EQ(WriteItem(s, g, shorty, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(WriteItem(s, g, shorty, &v, 2), E_INVALIDARG);
    EXPECT_EQ(WriteItem(s, g + 1000, shorty, &v, 0), E_INVALIDARG);

    // Asynchronous: nonzero on success, and the value arrives like any other.
    VARIANT t = make_variant(VT_I4, &VARIANT::lVal, -42);
    EXPECT_NE(WriteItem(s, g, text, &t, 1), 0);
    ASSERT_TRUE(Recorder::instance().wait_for(g, text, 2, milliseconds(2000)));
    e = Recorder::instance().events_for(g, text).back();
    EXPECT_EQ(e.vt, VT_BSTR);
    EXPECT_EQ(e.number, -42);
    // The refused writes changed nothing.
    EXPECT_EQ(Recorder::instance().count_for(g, shorty), 2u);
}

TEST_F(ServiceWrite, ConnectionsKeepTheirOwnValues) {
    int32_t a = connect();
    int32_t b = connect();
    int32_t ga = group(a, 100), gb = group(b, 100);
    int32_t ia = AddItem(a, ga, "Setpoints.Long");
    int32_t ib = AddItem(b, gb, "Setpoints.Long");
    VARIANT v = make_variant(VT_I4, &VARIANT::lVal, 99);
    ASSERT_EQ(WriteItem(a, ga, ia, &v, 0), 0);
    EXPECT_EQ(WriteItem(b, ga, ia, &v, 0), E_INVALIDARG); // a's group is not b's
    EXPECT_TRUE(Recorder::instance().wait_for_value(ga, ia, 99, milliseconds(3000)));
    ASSERT_TRUE(Recorder::instance().wait_for(gb, ib, 1, milliseconds(2000)));
    sleep_ms(300);
    EXPECT_EQ(Recorder::instance().events_for(gb, ib).back().number, 0);
}

using ServiceStatus = ServiceTest;

TEST_F(ServiceStatus, FillsTheRecordOfTheConnection) {
    int32_t s = connect();
    group(s, 100);
    int32_t g = group(s, 200);
    AddItem(s, g, "Channel1.Device1.Speed");
    ASSERT_TRUE(Recorder::instance().wait_for(g, 0, 1, milliseconds(2000)));
    char vendor[200];
    ServerStatus st{};
    st.vendorInfo = vendor;
    ASSERT_EQ(GetServerStatus(s, &st, sizeof vendor), 1);
    const uint64_t start = filetime(st.startTime), update = filetime(st.lastUpdateTime);
    const uint64_t current = filetime(st.currentTime);
    // 2020-01-01 as a file time: a sanity floor for a UTC clock.
    EXPECT_GT(start, 132223104000000000ULL);
    EXPECT_LE(start, update);
    EXPECT_LE(update, current);
    EXPECT_LT(current - start, 600000000ULL);
    EXPECT_EQ(st.serverState, 1);
    EXPECT_EQ(st.groupCount, 2);
    EXPECT_GE(st.bandWidth, 0);
    EXPECT_LE(st.bandWidth, 100);
    EXPECT_EQ(st.majorVersion, 1);
    EXPECT_STREQ(vendor, "Ostrand built-in simulation server");
    EXPECT_EQ(st.vendorInfo, vendor);

    RemoveGroup(s, g);
    ASSERT_EQ(GetServerStatus(s, &st, sizeof vendor), 1);
    EXPECT_EQ(st.groupCount, 1);
    st.vendorInfo = nullptr;
    EXPECT_EQ(GetServerStatus(s, &st, 200), 1); // no vendor buffer: the rest is still filled
    EXPECT_EQ(GetServerStatus(s + 1000, &st, 200), 0);
    EXPECT_EQ(GetServerStatus(s, nullptr, 200), 0);
    DisconnectServer(s);
    EXPECT_EQ(GetServerStatus(s, &st, 200), 0);
}

} // namespace
