// What an operator of a headless gateway sees: the service manager's
// notifications on a socket of the test's own, --check and --browse against
// the node-opcua peer, and /metrics scraped with curl while a libmodbus
// master works. (tests/package verifies the unit files.)
#include "../../support/loopback.h"
#include "../../support/ua_peer.h"
#include "program_support.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using quorvane::test::Eventually;
using quorvane::test::Master;
using quorvane::test::Program;
using quorvane::test::ScratchDir;
using quorvane::test::UaPeerSuite;
using quorvane::test::WriteFile;

std::string TcpOnlyConfig() { return "\r\n[MODBUS]\r\nCONNECT TCP, 502\r\n"; }

std::string PeerConfig(const std::string& url, const std::vector<std::string>& items) {
    std::string config = "\r\n[MODBUS]\r\nCONNECT TCP, 502\r\n\r\n[SERVER]\r\nLOCAL MACHINE\r\n" + url +
                         "\r\n\r\n[GROUP1]\r\nPeer,200,0.000000\r\n";
    for (const std::string& item : items) config += item + "\r\n";
    return config;
}

// A datagram socket standing in for the service manager's.
class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool Bound() const { return bound_; }
    // Takes what arrived; every assignment of every message, in order.
    const std::vector<std::string>& Receive() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            const std::string message(buffer, static_cast<size_t>(n));
            for (size_t at = 0; at < message.size();) {
                const size_t end = message.find('\n', at);
                lines_.push_back(message.substr(at, end - at));
                at = end == std::string::npos ? message.size() : end + 1;
            }
        }
        return lines_;
    }
    bool Saw(const std::string& prefix) {
        for (const std::string& line : Receive())
            if (line.rfind(prefix, 0) == 0) return true;
        return false;
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> lines_;
};

TEST(ServiceManager, HearsReadyStatusAndWatchdogAndTheStatusFollowsTheMasters) {
    const ScratchDir dir("notify");
    WriteFile(dir / "tcp.csv", TcpOnlyConfig());
    NotifySocket manager(dir / "notify.sock");
    ASSERT_TRUE(manager.Bound());
    const uint16_t port = quorvane::test::FreeLoopbackPort();
    Program program(dir.Path(), {"--headless", "--tcp-port", std::to_string(port), "--bind", "127.0.0.1", "tcp.csv"},
                    {"NOTIFY_SOCKET=" + (dir / "notify.sock").string(), "WATCHDOG_USEC=400000", "WATCHDOG_PID"});
    ASSERT_TRUE(program.Started());

    EXPECT_TRUE(Eventually([&] { return manager.Saw("READY=1"); }, 15000ms)) << program.Stderr();
    EXPECT_TRUE(manager.Saw("STATUS=no OPC server; 0 of 0 items good; 0 masters"));
    // Pets at half the interval: several within a second.
    const auto pets = [&] {
        int n = 0;
        for (const std::string& line : manager.Receive()) n += line == "WATCHDOG=1";
        return n;
    };
    EXPECT_TRUE(Eventually([&] { return pets() >= 3; }, 5000ms));

    Master master(port);
    ASSERT_EQ(modbus_connect(*master), 0);
    EXPECT_TRUE(Eventually([&] { return manager.Saw("STATUS=no OPC server; 0 of 0 items good; 1 master"); }, 5000ms));

    program.Signal(SIGTERM);
    ASSERT_EQ(program.Wait(15000ms), std::optional<int>(0)) << program.Stderr();
    EXPECT_TRUE(manager.Saw("STOPPING=1"));
}

// The Prometheus samples of a scrape, by name and labels; empty when curl failed.
std::map<std::string, double> Scrape(uint16_t port) {
    std::map<std::string, double> samples;
    const std::string command = "curl -sf --max-time 5 http://127.0.0.1:" + std::to_string(port) + "/metrics";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return samples;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        if (line[0] == '#') continue;
        const char* blank = std::strrchr(line, ' ');
        if (blank != nullptr) samples[std::string(line, static_cast<size_t>(blank - line))] = std::strtod(blank + 1, nullptr);
    }
    ::pclose(pipe);
    return samples;
}

class OperatorTools : public UaPeerSuite<OperatorTools> {
public:
    static std::vector<std::string> PeerArgs() { return {"--big-folder", "0"}; }
};

TEST_F(OperatorTools, CheckNamesTheUnknownItemAndExitsByTheWorstItem) {
    struct Case {
        const char* what;
        std::vector<std::string> items;
        bool reachable;
        int seconds; // --timeout
        int exit;
        std::vector<std::string> rows; // lines expected in the output
    } cases[] = {
        {"all good", {"Static.Double,1,40001,SHORT", "ns=1;s=Static.Int16,1,40002,SHORT"}, true, 15, 0,
         {"Peer\tStatic.Double\tGood\t", "Peer\tns=1;s=Static.Int16\tGood\t-1234\t1:40002"}},
        {"one unknown", {"Static.Double,1,40001,SHORT", "ns=1;s=NoSuchNode,1,40002,SHORT"}, true, 15, 1,
         {"Peer\tStatic.Double\tGood\t", "Peer\tns=1;s=NoSuchNode\tBadNodeIdUnknown\t"}},
        {"no server", {"Static.Double,1,40001,SHORT"}, false, 2, 2, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchDir dir("check");
        const std::string url =
            c.reachable ? peer_->Url() : "opc.tcp://127.0.0.1:" + std::to_string(quorvane::test::FreeLoopbackPort());
        WriteFile(dir / "plant.csv", PeerConfig(url, c.items));
        Program program(dir.Path(),
                        {"--tcp-port", std::to_string(quorvane::test::FreeLoopbackPort()), "--bind", "127.0.0.1",
                         "--timeout", std::to_string(c.seconds), "--check", "plant.csv"},
                        {"XDG_CONFIG_HOME=" + dir.Path().string()});
        ASSERT_EQ(program.Wait(40000ms), std::optional<int>(c.exit)) << program.Stdout() << program.Stderr();
        const std::string out = program.Stdout();
        for (const std::string& row : c.rows) EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
        if (c.exit == 2) {
            EXPECT_NE(program.Stderr().find("cannot be reached"), std::string::npos) << program.Stderr();
        }
    }
}

TEST_F(OperatorTools, BrowseListsTheStaticVariablesWithTypesAndAccess) {
    const ScratchDir dir("browse");
    Program program(dir.Path(), {"--browse", peer_->Url(), "Static"}, {"XDG_CONFIG_HOME=" + dir.Path().string()});
    ASSERT_EQ(program.Wait(40000ms), std::optional<int>(0)) << program.Stderr();
    const std::string out = program.Stdout();
    for (const char* line : {"Int16  ns=1;s=Static.Int16  Int16  read/write\n",
                             "Double  ns=1;s=Static.Double  Double  read/write\n",
                             "String  ns=1;s=Static.String  String  read/write\n",
                             "Boolean  ns=1;s=Static.Boolean  Boolean  read/write\n",
                             "DateTime  ns=1;s=Static.DateTime  DateTime  read/write\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;

    Program missing(dir.Path(), {"--browse", peer_->Url(), "NoSuchFolder"}, {"XDG_CONFIG_HOME=" + dir.Path().string()});
    EXPECT_EQ(missing.Wait(40000ms), std::optional<int>(1)) << missing.Stderr();
}

TEST_F(OperatorTools, MetricsCountAMastersRequestsAndTheServersItems) {
    const ScratchDir dir("metrics");
    WriteFile(dir / "plant.csv", PeerConfig(peer_->Url(), {"Static.Double,1,40001,SHORT", "ns=1;s=NoSuchNode,1,40002,SHORT"}));
    const uint16_t port = quorvane::test::FreeLoopbackPort();
    const uint16_t http = quorvane::test::FreeLoopbackPort();
    Program program(dir.Path(),
                    {"--headless", "--tcp-port", std::to_string(port), "--bind", "127.0.0.1", "--metrics",
                     std::to_string(http), "plant.csv"},
                    {"XDG_CONFIG_HOME=" + dir.Path().string()});
    std::map<std::string, double> before;
    ASSERT_TRUE(Eventually(
        [&] {
            before = Scrape(http);
            return before["quorvane_opc_items{quality=\"good\"}"] == 1 && before["quorvane_opc_server_up"] == 1;
        },
        20000ms))
        << program.Stderr();
    EXPECT_EQ(before["quorvane_opc_items{quality=\"bad\"}"], 1);
    EXPECT_GE(before["quorvane_opc_data_changes_total"], 2);
    EXPECT_EQ(before["quorvane_modbus_masters_connected{link=\"tcp\"}"], 0);

    Master master(port);
    ASSERT_EQ(modbus_connect(*master), 0);
    uint16_t words[2];
    constexpr int kReads = 5;
    for (int i = 0; i < kReads; ++i) ASSERT_EQ(modbus_read_registers(*master, 0, 2, words), 2);
    EXPECT_EQ(modbus_read_registers(*master, 9000, 1, words), -1); // nothing mapped there: exception 2
    const std::string requests = "quorvane_modbus_requests_total{link=\"tcp\"}";
    const std::string illegalAddress = "quorvane_modbus_exceptions_total{link=\"tcp\",code=\"2\"}";
    std::map<std::string, double> after;
    EXPECT_TRUE(Eventually(
        [&] {
            after = Scrape(http);
            return after[requests] == before[requests] + kReads + 1 && after[illegalAddress] == before[illegalAddress] + 1;
        },
        5000ms))
        << after[requests] << " requests, " << after[illegalAddress] << " exceptions";
    EXPECT_EQ(after["quorvane_modbus_masters_connected{link=\"tcp\"}"], 1);
    EXPECT_EQ(after["quorvane_modbus_bad_frames_total{link=\"tcp\"}"], before["quorvane_modbus_bad_frames_total{link=\"tcp\"}"]);

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(15000ms), std::optional<int>(0)) << program.Stderr();
}

} // namespace
