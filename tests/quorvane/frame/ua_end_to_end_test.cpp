// The gateway end to end on an OPC UA server: quorvane --headless restores a
// configuration naming the node-opcua peer's endpoint, libmodbus as the
// master reads the converted values and writes a setpoint that the peer then
// holds, and the peer is killed and started again on the same port in the
// middle. Values are set and read at the peer on a session of the test's own.
#include "../../ostrand/ua/read_back.h"
#include "../../support/loopback.h"
#include "../../support/ua_peer.h"
#include "program_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace ostrand::ua;
using quorvane::test::Eventually;
using quorvane::test::Master;
using quorvane::test::NotLogLines;
using quorvane::test::Program;
using quorvane::test::ScratchDir;
using quorvane::test::UaPeer;

// One Modbus point as the master reads it (PDU addresses).
enum class Table { Coil, Input, Holding };
struct Point {
    const char* what;
    Table table;
    int address;
    int count; // registers; 1 for a coil
};

// The group's items, both in NodeId text and as dotted browse paths.
constexpr Point kSetpoint{"ns=1;s=Static.Int16,1,40001,SHORT", Table::Holding, 0, 1};
constexpr Point kUnsigned{"Static.UInt32,1,40002,UNSIGNED", Table::Holding, 1, 1};
constexpr Point kFloat{"ns=1;s=Static.Float,1,40003,FLOAT", Table::Holding, 2, 2};
constexpr Point kScaled{"Static.Double,1,30001,SCALED0-1000,0.00,100.00", Table::Input, 0, 1};
constexpr Point kBool{"Static.Boolean,1,00001,BOOL", Table::Coil, 0, 1};
constexpr Point kSpeed{"Channel1.Device1.Speed,1,30002,SHORT", Table::Input, 1, 1};
// The setpoint's node once more: a master's write shows here only once it
// has come back from the peer as a data change.
constexpr Point kMirror{"Static.Int16,1,30003,SHORT", Table::Input, 2, 1};

// Static.Int16 as the peer starts (-1234), as a register.
constexpr uint16_t kInitialInt16 = 65536 - 1234;

// The words of a point, empty when the read fails.
std::vector<uint16_t> ReadPoint(Master& master, const Point& p) {
    std::vector<uint16_t> words(static_cast<size_t>(p.count));
    if (p.table == Table::Coil) {
        uint8_t bit = 0;
        if (modbus_read_bits(*master, p.address, 1, &bit) != 1) return {};
        return {bit};
    }
    const int n = p.table == Table::Input ? modbus_read_input_registers(*master, p.address, p.count, words.data())
                                          : modbus_read_registers(*master, p.address, p.count, words.data());
    return n == p.count ? words : std::vector<uint16_t>{};
}

std::vector<uint16_t> FloatWords(float f) { // low word first
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return {static_cast<uint16_t>(bits), static_cast<uint16_t>(bits >> 16)};
}

struct Expected {
    Point point;
    std::vector<uint16_t> words;
};

// The points the master does not read as expected, as text; empty when all match.
std::string Mismatches(Master& master, const std::vector<Expected>& expected) {
    std::string text;
    for (const Expected& e : expected) {
        const std::vector<uint16_t> got = ReadPoint(master, e.point);
        if (got == e.words) continue;
        text += std::string(e.point.what) + ":";
        for (uint16_t w : got) {
            text += ' ';
            text += std::to_string(w);
        }
        text += got.empty() ? " (read failed)\n" : "\n";
    }
    return text;
}

// Waits until the master reads every point as expected; the mismatches left
// at the deadline.
std::string AwaitPoints(Master& master, const std::vector<Expected>& expected, std::chrono::milliseconds limit) {
    std::string left;
    Eventually([&] { return (left = Mismatches(master, expected)).empty(); }, limit);
    return left;
}

// The peer's Static.Int16 once it equals `value`, within `limit`.
bool PeerHolds(const UaPeer& peer, int16_t value, std::chrono::milliseconds limit) {
    return Eventually(
        [&] {
            const DataValue v = opc_test::ReadBack(peer.Url(), "ns=1;s=Static.Int16");
            return v.value && v.value->get<kInt16>() && *v.value->get<kInt16>() == value;
        },
        limit);
}

// Speed counts up every 500 ms: two different readings show live data changes.
bool SpeedMoves(Master& master) {
    const std::vector<uint16_t> first = ReadPoint(master, kSpeed);
    return !first.empty() && Eventually([&] {
        const std::vector<uint16_t> now = ReadPoint(master, kSpeed);
        return !now.empty() && now != first;
    });
}

TEST(ProgramOnUaPeer, ServesConvertedValuesWritesSetpointsAndSurvivesAPeerRestart) {
    UaPeer peer(UaPeer::Options{300, {"--big-folder", "0"}});
    ASSERT_EQ(peer.Start(), "") << "the OPC UA test peer is needed";
    ASSERT_EQ(opc_test::WriteAt(peer.Url(), "ns=1;s=Static.Double", Variant::scalar<kDouble>(42.5)), status::Good);

    const ScratchDir dir("ua-end-to-end");
    std::string config = "\r\n[MODBUS]\r\nCONNECT TCP, 502\r\n\r\n[SERVER]\r\nLOCAL MACHINE\r\n" + peer.Url() +
                         "\r\n\r\n[GROUP1]\r\nPeer,200,0.000000\r\n";
    for (const Point& p : {kSetpoint, kUnsigned, kFloat, kScaled, kBool, kSpeed, kMirror})
        config += p.what + std::string("\r\n");
    quorvane::test::WriteFile(dir / "peer.csv", config);

    const uint16_t port = quorvane::test::FreeLoopbackPort();
    // The program's list file of endpoints and its PKI stay in the scratch folder.
    Program program(dir.Path(),
                    {"--headless", "--tcp-port", std::to_string(port), "--bind", "127.0.0.1", "peer.csv"},
                    {"XDG_CONFIG_HOME=" + dir.Path().string()});
    ASSERT_TRUE(program.Started());
    Master master(port);
    ASSERT_TRUE(Eventually([&] { return modbus_connect(*master) == 0; }, 15000ms)) << program.Stderr();

    // First values: the peer's fixed nodes and the Double set before the start.
    EXPECT_EQ(AwaitPoints(master,
                          {{kSetpoint, {kInitialInt16}},
                           {kMirror, {kInitialInt16}},
                           {kFloat, FloatWords(1.25f)},
                           {kScaled, {425}},
                           {kBool, {1}}},
                          15000ms),
              "")
        << program.Stderr();
    // A change made at the peer reaches the master.
    ASSERT_EQ(opc_test::WriteAt(peer.Url(), "ns=1;s=Static.UInt32", Variant::scalar<kUInt32>(54321)), status::Good);
    EXPECT_EQ(AwaitPoints(master, {{kUnsigned, {54321}}}, 8000ms), "");
    EXPECT_TRUE(SpeedMoves(master));

    // The master's setpoint goes to the peer.
    ASSERT_EQ(modbus_write_register(*master, kSetpoint.address, 1234), 1) << modbus_strerror(errno);
    EXPECT_TRUE(PeerHolds(peer, 1234, 8000ms));
    EXPECT_EQ(AwaitPoints(master, {{kMirror, {1234}}}, 8000ms), "");

    // The peer dies; the gateway keeps serving the last values all the while
    // it notices the loss and reports it.
    const uint16_t peerPort = peer.Port();
    ::kill(peer.Pid(), SIGKILL);
    peer.Stop();
    const std::vector<Expected> kept = {{kUnsigned, {54321}}, {kSetpoint, {1234}}, {kMirror, {1234}}};
    std::string changed;
    EXPECT_FALSE(Eventually([&] { return !(changed = Mismatches(master, kept)).empty(); }, 2000ms)) << changed;

    // Started again on the same port, with its initial values: the master
    // reads them, a new change, live data and its setpoint go through again.
    ASSERT_EQ(peer.Start(peerPort), "");
    const auto restarted = std::chrono::steady_clock::now();
    const std::string late =
        AwaitPoints(master, {{kSetpoint, {kInitialInt16}}, {kMirror, {kInitialInt16}}, {kScaled, {35}}}, 30000ms);
    EXPECT_EQ(late, "") << program.Stderr();
    if (late.empty()) {
        const auto recovery =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - restarted);
        RecordProperty("values_again_ms", static_cast<int>(recovery.count()));
        std::printf("the master read the restarted peer's values %lld ms after it was ready\n",
                    static_cast<long long>(recovery.count()));
    }
    ASSERT_EQ(opc_test::WriteAt(peer.Url(), "ns=1;s=Static.UInt32", Variant::scalar<kUInt32>(777)), status::Good);
    EXPECT_EQ(AwaitPoints(master, {{kUnsigned, {777}}, {kFloat, FloatWords(1.25f)}, {kBool, {1}}}, 8000ms), "");
    EXPECT_TRUE(SpeedMoves(master));
    ASSERT_EQ(modbus_write_register(*master, kSetpoint.address, 4321), 1) << modbus_strerror(errno);
    EXPECT_TRUE(PeerHolds(peer, 4321, 8000ms));
    EXPECT_EQ(AwaitPoints(master, {{kMirror, {4321}}}, 8000ms), "");

    modbus_close(*master);
    program.Signal(SIGTERM);
    const auto exit = program.Wait(15000ms);
    ASSERT_TRUE(exit.has_value()) << "still running 15 s after SIGTERM";
    EXPECT_EQ(*exit, 0) << program.Stderr();
    EXPECT_EQ(NotLogLines(program.Stderr()), "");
}

// The gateway started before its server and two outages of that server: good
// values within 3 s of the server's ready line each time, said in the log.
// The long waits are the scenario itself; they overlap with other tests.
TEST(ProgramOnUaPeer, StartsBeforeItsServerAndIsBackWithinSecondsOfEachReturn) {
    UaPeer peer(UaPeer::Options{300, {"--big-folder", "0"}});
    const uint16_t peerPort = quorvane::test::FreeLoopbackPort();
    ASSERT_NE(peerPort, 0);
    const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(peerPort);
    const ScratchDir dir("ua-start-order");
    quorvane::test::WriteFile(dir / "late.csv", "\r\n[MODBUS]\r\nCONNECT TCP, 502\r\n\r\n[SERVER]\r\nLOCAL MACHINE\r\n" +
                                                    url + "\r\n\r\n[GROUP1]\r\nPeer,200,0.000000\r\n" +
                                                    kMirror.what + "\r\nns=1;s=NoSuchNode,1,30010,SHORT\r\n");
    const uint16_t port = quorvane::test::FreeLoopbackPort();
    Program program(dir.Path(), {"--headless", "--tcp-port", std::to_string(port), "--bind", "127.0.0.1", "late.csv"},
                    {"XDG_CONFIG_HOME=" + dir.Path().string()});
    ASSERT_TRUE(program.Started());
    Master master(port);
    // The links are served while the server is away.
    ASSERT_TRUE(Eventually([&] { return modbus_connect(*master) == 0; }, 15000ms)) << program.Stderr();
    std::this_thread::sleep_for(3s); // the server boots later than the gateway

    // Served good within 3 s of the server's ready line; printed, and at most
    // 20 s waited for, so that a slow return shows as a figure.
    auto served_after = [&](const char* what) {
        const auto ready = std::chrono::steady_clock::now();
        const std::string left = AwaitPoints(master, {{kMirror, {kInitialInt16}}}, 20000ms);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - ready).count();
        EXPECT_EQ(left, "") << what << "\n" << program.Stderr();
        std::printf("%s: values served %lld ms after the peer was ready\n", what, static_cast<long long>(ms));
        EXPECT_LE(ms, 3000) << what;
    };
    ASSERT_EQ(peer.Start(peerPort), "");
    served_after("started 3 s after the gateway");

    for (const auto outage : {15s, 40s}) {
        // A value only the old server held: the new one starts from its initial value.
        ASSERT_EQ(opc_test::WriteAt(url, "ns=1;s=Static.Int16", Variant::scalar<kInt16>(1234)), status::Good);
        ASSERT_EQ(AwaitPoints(master, {{kMirror, {1234}}}, 8000ms), "");
        ::kill(peer.Pid(), SIGKILL);
        peer.Stop();
        std::this_thread::sleep_for(outage);
        ASSERT_EQ(peer.Start(peerPort), "");
        served_after(outage == 15s ? "after a 15 s outage" : "after a 40 s outage");
    }

    modbus_close(*master);
    program.Signal(SIGTERM);
    ASSERT_TRUE(program.Wait(15000ms).has_value());
    const std::string log = program.Stderr();
    EXPECT_EQ(NotLogLines(log), "");
    const std::string server = "OPC server " + url;
    const std::vector<std::string> lines = {
        std::string("<4>").append(server).append(" cannot be reached: BadConnectionRejected; still trying\n"),
        std::string("<5>").append(server).append(" connected; security None None, anonymous, session new\n"),
        "<4>OPC item ns=1;s=NoSuchNode cannot be resolved: BadNodeIdUnknown\n",
        "<5>configuration late.csv restored: 1 groups, 2 items, 2 points\n",
        std::string("<6>Modbus TCP port ").append(std::to_string(port)).append(" opened\n"),
        std::string("<3>").append(server).append(" lost: "),
        std::string("<5>").append(server).append(" back after "),
    };
    for (const std::string& line : lines) EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
}

} // namespace
