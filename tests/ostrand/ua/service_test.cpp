// The service's C interface on an OPC UA server (the node-opcua peer on
// loopback): listing with discovery and the list file, connecting by listed
// name, URL and application URI, browsing with BrowseNext, writes of each
// type read back from the server, an unknown id, and the status texts.
#include "../../support/temp_dir.h"
#include "../../support/ua_peer.h"
#include "../recorder.h"
#include "automation.h"
#include "read_back.h"
#include "ua/client/loop.h"
#include "ua/encoding/text.h"
#include "ua/encoding/variant.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using opc_test::real4;
using opc_test::Recorder;

constexpr int kBigFolder = 5000;

std::string name_at(int32_t index) {
    char buffer[256];
    GetServerName(index, buffer, sizeof buffer);
    return buffer;
}

std::vector<std::string> listing(int32_t mode, const char* machine) {
    std::vector<std::string> names;
    const int32_t n = GetServerCount(mode, machine);
    for (int32_t k = 0; k < n; ++k) names.push_back(name_at(k));
    return names;
}

std::vector<std::string> browse(int32_t server, int32_t type) {
    std::vector<std::string> names;
    const int32_t n = BrowseCount(server, type);
    for (int32_t k = 0; k < n; ++k) {
        char buffer[256];
        EXPECT_EQ(BrowseName(server, k, buffer, sizeof buffer), 1);
        names.push_back(buffer);
    }
    return names;
}

class UaServiceTest : public quorvane::test::UaPeerSuite<UaServiceTest> {
public:
    static std::vector<std::string> PeerArgs() { return {"--big-folder", std::to_string(kBigFolder)}; }

protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UaPeerSuite::SetUp());
        ASSERT_EQ(OstrandInitialize(), 0);
        Recorder::instance().clear();
    }
    void TearDown() override { OstrandUninitialize(); }

    static std::string Machine() { return "127.0.0.1:" + std::to_string(peer_->Port()); }

    static ostrand::ua::DataValue ReadBack(const std::string& node) { return opc_test::ReadBack(peer_->Url(), node); }
};

TEST_F(UaServiceTest, ListsTheEndpointAndConnectsByNameUrlAndApplicationUri) {
    const std::vector<std::string> names = listing(1, Machine().c_str());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], peer_->Url());

    for (const auto& [machine, server] : std::vector<std::pair<std::string, std::string>>{
             {Machine(), names[0]},                         // the listed name
             {"", peer_->Url()},                            // a URL typed directly
             {"plant-pc", peer_->Url()},                    // the URL overrides the machine
             {Machine(), "urn:opcua-peer:server"},          // the application URI
             {"opc.tcp://" + Machine(), "opc ua test peer"}, // the application name, any case
         }) {
        const int32_t s = ConnectServer(machine.c_str(), server.c_str(), 0);
        EXPECT_GT(s, 0) << machine << " / " << server;
        uint16_t organization = 0;
        EXPECT_EQ(QueryOrganization(s, &organization), 1);
        EXPECT_EQ(organization, 1);
        EXPECT_EQ(DisconnectServer(s), 1);
    }
    EXPECT_EQ(ConnectServer(Machine().c_str(), "urn:no-such-server", 0), -1);
    EXPECT_EQ(ConnectServer("", "opc.tcp://", 0), -1);
}

TEST_F(UaServiceTest, AClosedPortFailsWithinASecond) {
    const uint16_t closed = quorvane::test::FreeLoopbackPort();
    const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(closed);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectServer("", url.c_str(), 0), -1);
    EXPECT_EQ(GetServerCount(1, ("127.0.0.1:" + std::to_string(closed)).c_str()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(UaServiceTest, LocalListingPutsTheSimulationFirstThenTheListFile) {
    const quorvane::test::TempDir dir("ostrand-conf");
    std::filesystem::create_directories(dir.path / "ostrand");
    std::string notes; // the file is read in pieces: the entries come after several
    for (int line = 0; line < 300; ++line) notes += "# notes on the plant's servers, line " + std::to_string(line) + "\n";
    std::ofstream(dir.path / "ostrand/servers.conf")
        << "# test list\n" << notes << peer_->Url() << " security=None\n"
        << "opc.tcp://10.255.0.9:4840 # another machine's server is not listed here\n";
    const quorvane::test::ConfigHome home(dir.path);
    for (int32_t mode : {0, 1}) {
        EXPECT_EQ(listing(mode, ""), (std::vector<std::string>{"Demo.Server.1", "Demo.FlatServer.1", peer_->Url()}))
            << "mode " << mode;
    }
    const int32_t s = ConnectServer("", name_at(2).c_str(), 0);
    EXPECT_GT(s, 0);
    DisconnectServer(s);
}

TEST_F(UaServiceTest, BrowsesLevelsBigFoldersAndWalks) {
    const int32_t s = ConnectServer("", peer_->Url().c_str(), 0);
    ASSERT_GT(s, 0);
    ASSERT_EQ(BrowseMoveTo(s, ""), 1);
    // The server's own namespace-0 objects stay out of the root.
    EXPECT_EQ(browse(s, 1), (std::vector<std::string>{"Channel1", "Flat", "Static", "BigFolder"}));
    EXPECT_EQ(browse(s, 2), std::vector<std::string>{});

    ASSERT_EQ(BrowseMoveTo(s, "Channel1.Device1"), 1);
    EXPECT_EQ(browse(s, 2),
              (std::vector<std::string>{"Speed", "Temp", "Run", "Level", "Count", "Name", "Big"}));
    EXPECT_EQ(browse(s, 1), std::vector<std::string>{}); // Level's EURange is a property, not a branch
    char id[256];
    ASSERT_EQ(BrowseItemId(s, "Speed", id, sizeof id), 1);
    EXPECT_STREQ(id, "ns=1;s=Channel1.Device1.Speed");
    ASSERT_EQ(BrowseItemId(s, "Flat.Ramp", id, sizeof id), 1); // a dotted id from anywhere
    EXPECT_STREQ(id, "ns=1;s=Flat.Ramp");
    EXPECT_EQ(BrowseItemId(s, "Nothing", id, sizeof id), 0);

    EXPECT_EQ(BrowseMoveTo(s, "Channel1.Nothing"), 0);
    EXPECT_EQ(BrowseMoveTo(s, "Channel1.Device1.Speed"), 0); // a leaf is no branch

    ASSERT_EQ(BrowseMoveTo(s, "BigFolder"), 1);
    const std::vector<std::string> big = browse(s, 2); // 5 BrowseNext rounds at 1000 per call
    ASSERT_EQ(big.size(), static_cast<size_t>(kBigFolder));
    EXPECT_EQ(big.front(), "V0");
    EXPECT_EQ(big.back(), "V" + std::to_string(kBigFolder - 1));

    ASSERT_EQ(BrowseMoveTo(s, "Flat"), 1);
    EXPECT_EQ(browse(s, 3), (std::vector<std::string>{"ns=1;s=Flat.Byte", "ns=1;s=Flat.SByte", "ns=1;s=Flat.UInt32",
                                                      "ns=1;s=Flat.Ramp", "ns=1;s=Flat.Time"}));
    ASSERT_EQ(BrowseMoveTo(s, ""), 1);
    EXPECT_EQ(BrowseCount(s, 3), 12 + 8 + kBigFolder); // Channel1, Static and BigFolder; no ns=0 nodes
    EXPECT_EQ(DisconnectServer(s), 1);
}

TEST_F(UaServiceTest, WritesAreCoercedToEachNodeTypeAndReadBack) {
    using namespace ostrand::ua;
    const int32_t s = ConnectServer("", peer_->Url().c_str(), 0);
    ASSERT_GT(s, 0);
    int32_t rate = 500;
    float deadband = 0;
    const int32_t g = AddGroup(s, "writes", &rate, &deadband);
    ASSERT_GT(g, 0);
    VARIANT text = opc_test::text("written");
    const VARIANT date = opc_test::date(45000.5); // 2023-03-15 12:00 UTC
    struct Case {
        const char* id;
        VARIANT value;
        Variant expected;
    };
    const Case cases[] = {
        {"Static.Int16", real4(12.5f), Variant::scalar<kInt16>(12)}, // the model's VT_R4, rounded half to even
        {"ns=1;s=Static.Byte", real4(77.f), Variant::scalar<kByte>(77)},
        {"Static.UInt32", real4(4000000.f), Variant::scalar<kUInt32>(4000000)},
        {"nsu=urn:opcua-peer:server;s=Static.Double", real4(-2.25f), Variant::scalar<kDouble>(-2.25)},
        {"Static.DateTime", date, Variant::scalar<kDateTime>(date_to_filetime(45000.5))},
        {"Static.String", text, Variant::scalar<kString>(std::string("written"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const int32_t item = AddItem(s, g, c.id);
        ASSERT_GT(item, 0);
        VARIANT v = c.value;
        EXPECT_EQ(WriteItem(s, g, item, &v, 0), S_OK);
        std::string node = c.id;
        if (node.find('=') == std::string::npos) node = "ns=1;s=" + node;
        if (node.rfind("nsu=", 0) == 0) node = "ns=1;s=Static.Double";
        const DataValue back = ReadBack(node);
        ASSERT_TRUE(back.value);
        EXPECT_EQ(*back.value, c.expected);
    }
    const int32_t speed = AddItem(s, g, "Static.Int16");
    VARIANT big = real4(40000.f);
    EXPECT_EQ(WriteItem(s, g, speed, &big, 0), DISP_E_OVERFLOW);
    EXPECT_EQ(WriteItem(s, g, speed, &big, 1), 0);
    VARIANT ok = real4(5.f);
    EXPECT_NE(WriteItem(s, g, speed, &ok, 1), 0); // a transaction id
    EXPECT_EQ(WriteItem(s, g, speed + 1000, &ok, 0), E_INVALIDARG);
    VariantClear(&text);
    EXPECT_EQ(DisconnectServer(s), 1);
}

// The ids of the items the server refused, as the events told them.
std::mutex failed_mu;
std::vector<std::string> failed_ids;
void on_event(const OstrandEvent* e) {
    if (e->kind != OSTRAND_EVENT_ITEM_FAILED || !e->item_id) return;
    std::lock_guard lock(failed_mu);
    failed_ids.emplace_back(e->item_id);
}

TEST_F(UaServiceTest, AnUnknownIdReportsQualityZeroOnce) {
    {
        std::lock_guard lock(failed_mu);
        failed_ids.clear();
    }
    SetEventCallback(&on_event);
    const int32_t s = ConnectServer("", peer_->Url().c_str(), 0);
    ASSERT_GT(s, 0);
    ASSERT_EQ(EnableDataCallback(s, &Recorder::callback), 1);
    int32_t rate = 100;
    float deadband = 0;
    const int32_t g = AddGroup(s, "g", &rate, &deadband);
    EXPECT_EQ(AddItem(s, g, "ns=x;s=1"), -1); // malformed NodeId text: refused at once
    const int32_t unknown_id = AddItem(s, g, "ns=1;s=No.Such.Node");
    const int32_t unknown_path = AddItem(s, g, "Channel1.Device1.Nothing");
    const int32_t known = AddItem(s, g, "Channel1.Device1.Speed");
    ASSERT_GT(unknown_id, 0);
    ASSERT_GT(unknown_path, 0);
    for (int32_t item : {unknown_id, unknown_path}) {
        ASSERT_TRUE(Recorder::instance().wait_for(g, item, 1, 10s));
        const auto events = Recorder::instance().events_for(g, item);
        EXPECT_EQ(events[0].quality, 0);
        EXPECT_EQ(events[0].vt, VT_EMPTY);
    }
    // The write path sees the same: the server does not know the node.
    VARIANT v = real4(1.f);
    EXPECT_EQ(WriteItem(s, g, unknown_id, &v, 0), E_INVALIDARG);
    EXPECT_EQ(Recorder::instance().count_for(g, unknown_id), 1u);
    EXPECT_EQ(Recorder::instance().count_for(g, known), 0u);
    EXPECT_EQ(DisconnectServer(s), 1);
    SetEventCallback(nullptr);
    std::lock_guard lock(failed_mu);
    std::sort(failed_ids.begin(), failed_ids.end());
    EXPECT_EQ(failed_ids, (std::vector<std::string>{"Channel1.Device1.Nothing", "ns=1;s=No.Such.Node"}));
}

TEST_F(UaServiceTest, StatusComesFromTheServerStatusScalars) {
    const int32_t s = ConnectServer("", peer_->Url().c_str(), 0);
    ASSERT_GT(s, 0);
    int32_t rate = 1000;
    float deadband = 0;
    AddGroup(s, "a", &rate, &deadband);
    char vendor[128];
    ServerStatus status{};
    status.vendorInfo = vendor;
    ASSERT_EQ(GetServerStatus(s, &status, sizeof vendor), 1);
    EXPECT_EQ(status.serverState, 1);
    EXPECT_EQ(status.groupCount, 1);
    EXPECT_EQ(status.majorVersion, 1);
    EXPECT_EQ(status.minorVersion, 2);
    EXPECT_EQ(status.buildNumber, 4567);
    EXPECT_STREQ(vendor, "Test Peer Maker OPC UA Test Peer 1.2.3");
    const int64_t now = ostrand::SystemClock().filetime();
    auto ticks = [](const FILETIME& f) { return static_cast<int64_t>((uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime); };
    EXPECT_LT(std::abs(ticks(status.currentTime) - now), 50000000); // 5 s
    EXPECT_LE(ticks(status.startTime), ticks(status.currentTime));
    EXPECT_GT(ticks(status.startTime), now - 3000LL * 10000000);

    // Once the server is gone the call still answers: state 2 and the outage in words.
    peer_->Stop();
    ASSERT_EQ(GetServerStatus(s, &status, sizeof vendor), 1);
    EXPECT_EQ(status.serverState, 2);
    EXPECT_EQ(std::string(vendor).rfind("connection lost ", 0), 0u) << vendor;
    VARIANT v = real4(1.f);
    const auto start = std::chrono::steady_clock::now();
    int32_t g2 = AddGroup(s, "b", &rate, &deadband);
    const int32_t i2 = AddItem(s, g2, "Static.Int16");
    EXPECT_EQ(WriteItem(s, g2, i2, &v, 0), E_FAIL); // down: fails at once, never replayed
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(DisconnectServer(s), 1);
    start_error_ = peer_->Start(); // for any test after this one
}

} // namespace
