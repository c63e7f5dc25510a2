// Modbus/TCP server under the situations that used to cost masters their
// data: burst connects, close and reopen, failures inside the server, a close
// while masters read, and masters from networks the operator did not allow.
#include "sys_calls.h"
#include "tcp/server.h"
#include "test_tcp_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <latch>
#include <memory>
#include <string>
#include <vector>

using namespace tcptest;
using pellacor::sys::Call;

namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// A connected socket from `source` (0: any) to 127.0.0.1:port, or -1 with errno.
int ConnectFrom(uint16_t port, const char* source = nullptr, const char* target = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (source != nullptr) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, target, &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// One request on `fd` and its whole reply (empty on time-out, close or reset).
Bytes Exchange(int fd, const Bytes& request, int ms = 3000) {
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return {};
    Bytes reply;
    const auto end = SteadyClock::now() + Ms(ms);
    size_t want = 7;
    while (reply.size() < want) {
        const auto left = std::chrono::duration_cast<Ms>(end - SteadyClock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return {};
        uint8_t buf[512];
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - reply.size()), 0);
        if (n <= 0) return {};
        reply.insert(reply.end(), buf, buf + n);
        if (reply.size() == 7) want = 6 + ((reply[4] << 8) | reply[5]);
    }
    return reply;
}

class Hardened : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = FreeLoopbackPort();
        ASSERT_NE(port_, 0);
        SetTCPServicePort(port_);
        for (uint16_t i = 0; i < 10; ++i) regs_[i] = static_cast<uint16_t>(0x700 + i);
        block_ = DefineDataBlock(7, PELLACOR_HOLDING_REGISTER, 1, 10, regs_);
        ASSERT_GT(block_, 0);
    }
    void TearDown() override {
        CloseConnection(PELLACOR_TCP_HANDLE);
        EXPECT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));
        pellacor::sys::ClearFailuresForTesting();
        SetTCPBindAddress(nullptr);
        AddTCPAllowedNetwork(nullptr);
        RemoveDataBlock(block_);
    }
    void Open() {
        ASSERT_EQ(OpenTCPConnection(&window_.window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
        ASSERT_TRUE(WaitFor([&] {
            const int fd = ConnectFrom(port_);
            if (fd >= 0) ::close(fd);
            return fd >= 0;
        }));
        ASSERT_TRUE(WaitFor([] { return pellacor::tcp::ConnectedClients() == 0; }));
    }

    uint16_t port_ = 0;
    RecordingWindow window_;
    int32_t block_ = 0;
    uint16_t regs_[10] = {};
};

TEST_F(Hardened, ThirtyTwoMastersConnectingAtOnceAreAnsweredWithin100Ms) {
    Open();
    constexpr int kMasters = 32;
    std::latch start(kMasters);
    std::array<long long, kMasters> elapsedMs{};
    std::array<bool, kMasters> answered{};
    std::vector<std::thread> masters;
    for (int i = 0; i < kMasters; ++i) {
        masters.emplace_back([&, i] {
            start.arrive_and_wait();
            const auto t0 = SteadyClock::now();
            const int fd = ConnectFrom(port_);
            if (fd < 0) return;
            answered[i] = Exchange(fd, Req(static_cast<uint16_t>(i), 7, 3, 0, 2), 2000).size() == 13;
            elapsedMs[i] = std::chrono::duration_cast<Ms>(SteadyClock::now() - t0).count();
            ::close(fd);
        });
    }
    for (auto& t : masters) t.join();
    for (int i = 0; i < kMasters; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(answered[i]);
        EXPECT_LT(elapsedMs[i], 100);
    }
}

TEST_F(Hardened, CloseAndReopenNeverResetsAMaster) {
    Open();
    int refusedRetries = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
        // Closed means closed: the old server takes no connection any more.
        const int stale = ConnectFrom(port_);
        EXPECT_EQ(stale, -1);
        if (stale >= 0) ::close(stale);
        ASSERT_EQ(OpenTCPConnection(&window_.window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
        // Refused while the new server is not listening yet; once accepted,
        // always answered.
        int fd = -1;
        for (int attempt = 0; attempt < 2000 && fd < 0; ++attempt) {
            fd = ConnectFrom(port_);
            if (fd < 0) {
                ASSERT_EQ(errno, ECONNREFUSED);
                ++refusedRetries;
                std::this_thread::sleep_for(Ms(1));
            }
        }
        ASSERT_GE(fd, 0);
        EXPECT_EQ(Exchange(fd, Req(static_cast<uint16_t>(cycle), 7, 3, 0, 1)).size(), 11u);
        ::close(fd);
    }
    RecordProperty("refused_connects_retried", refusedRetries);
    EXPECT_TRUE(window_.Snapshot().empty());
}

TEST_F(Hardened, FailuresInsideTheServerEndItVisibly) {
    struct Case {
        const char* name;
        Call call;
        int skip;
        uintptr_t stage;
    };
    // The order of set-up: epoll instance, wake-up registration, socket,
    // timerfd, listening socket registration, timer registration.
    const Case cases[] = {
        {"socket()", Call::Socket, 0, PELLACOR_TCP_FAILED_SOCKET},
        {"epoll instance", Call::EpollCreate, 0, PELLACOR_TCP_FAILED_EVENTS},
        {"wake-up registration", Call::EpollCtl, 0, PELLACOR_TCP_FAILED_EVENTS},
        {"listening socket registration", Call::EpollCtl, 1, PELLACOR_TCP_FAILED_EVENTS},
        {"idle timer registration", Call::EpollCtl, 2, PELLACOR_TCP_FAILED_EVENTS},
        {"idle timer", Call::TimerCreate, 0, PELLACOR_TCP_FAILED_EVENTS},
        {"event wait while serving", Call::EpollWait, 0, PELLACOR_TCP_FAILED_WAIT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window_.Clear();
        pellacor::sys::FailForTesting(c.call, ENOMEM, c.skip);
        ASSERT_EQ(OpenTCPConnection(&window_.window, 4711), PELLACOR_TCP_HANDLE);
        ASSERT_TRUE(WaitFor([&] { return !window_.Snapshot().empty(); }));
        // The thread ended (nothing spins) and the slot is free again.
        ASSERT_TRUE(pellacor::tcp::WaitAllServersEnded(3000));
        EXPECT_EQ(pellacor::tcp::LiveServiceThreads(), 0);
        const auto posted = window_.Snapshot();
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].message, 4711u);
        EXPECT_EQ(posted[0].wparam, c.stage);
        EXPECT_EQ(posted[0].lparam, ENOMEM);
        EXPECT_EQ(ConnectFrom(port_), -1); // nothing listens
        // Without the fault the server opens and serves.
        Open();
        const int fd = ConnectFrom(port_);
        EXPECT_EQ(Exchange(fd, Req(1, 7, 3, 0, 1)).size(), 11u);
        ::close(fd);
        ASSERT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
    }
}

// Traffic recorded after CloseConnection(8050) has returned: the service thread
// still ran while the application already freed what it uses.
std::atomic<bool> gClosed{false};
std::atomic<int> gLateCalls{0};

TEST_F(Hardened, CloseWhileMastersReadLeavesNothingRunning) {
    EnableBufferCallback([](int32_t, int32_t, int32_t) {
        if (gClosed.load()) gLateCalls.fetch_add(1);
        return 0;
    });
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        gClosed = false;
        auto window = std::make_unique<RecordingWindow>();
        auto regs = std::make_unique<uint16_t[]>(100);
        const int32_t block = DefineDataBlock(9, PELLACOR_HOLDING_REGISTER, 1, 100, regs.get());
        ASSERT_GT(block, 0);
        ASSERT_EQ(OpenTCPConnection(&window->window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
        std::atomic<int> replies[4] = {};
        std::vector<std::thread> masters;
        for (int m = 0; m < 4; ++m) {
            masters.emplace_back([&, m] {
                Client c(port_);
                for (int i = 0; i < 5000 && c.Connected(); ++i) {
                    if (!c.Send(Req(static_cast<uint16_t>(i), 9, 3, static_cast<uint16_t>(m), 50))) break;
                    if (c.ReadReply(2000).size() != 109) break;
                    replies[m].fetch_add(1);
                }
            });
        }
        // Every master is reading when the server closes.
        // (No ASSERT before the join: the masters must not outlive the round.)
        EXPECT_TRUE(WaitFor([&] { return std::all_of(replies, replies + 4, [](auto& r) { return r >= 10; }); }));
        EXPECT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
        gClosed = true;
        EXPECT_EQ(pellacor::tcp::LiveServiceThreads(), 0);
        // What the server used goes away at once.
        RemoveDataBlock(block);
        regs.reset();
        window.reset();
        for (auto& t : masters) t.join();
    }
    EXPECT_EQ(gLateCalls.load(), 0);
    EnableBufferCallback(nullptr);
}

TEST(TcpAccess, NetworksAndAddressesParse) {
    struct Case {
        const char* text;
        bool network, bindAddress;
    };
    const Case cases[] = {
        {"127.0.0.1", true, true},       {"10.0.0.0/8", true, false},    {"0.0.0.0/0", true, false},
        {"192.168.1.128/25", true, false}, {"fd00::/8", true, false},   {"::1", true, true},
        {"::", true, true},              {"10.1.2.3/8", false, false},   {"10.0.0.0/33", false, false},
        {"fd00::1/8", false, false},     {"10.0.0.0/", false, false},    {"10.0.0.0/-1", false, false},
        {"10.0.0.0/8x", false, false},   {"10.0.0.0 /8", false, false},  {"10.0.0", false, false},
        {"localhost", false, false},     {"", false, false},             {"1.2.3.4/0008", false, false},
        {"::ffff:127.0.0.1", true, true}, {"::ffff:10.0.0.0/104", true, false},
        {"::ffff:10.0.0.0/95", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        pellacor::tcp::Network n;
        sockaddr_storage a{};
        EXPECT_EQ(pellacor::tcp::ParseNetwork(c.text, n), c.network);
        if (*c.text != '\0') {
            EXPECT_EQ(pellacor::tcp::ParseBindAddress(c.text, a), c.bindAddress);
        }
    }

    struct Match {
        const char* peer;
        const char* network;
        bool in;
    };
    const Match matches[] = {
        {"10.1.2.3", "10.0.0.0/8", true},          {"11.0.0.1", "10.0.0.0/8", false},
        {"192.168.1.130", "192.168.1.128/25", true}, {"192.168.1.127", "192.168.1.128/25", false},
        {"::ffff:10.1.2.3", "10.0.0.0/8", true},   {"fd00::5", "fd00::/8", true},
        {"fe80::1", "fd00::/8", false},            {"10.1.2.3", "fd00::/8", false},
        {"1.2.3.4", "0.0.0.0/0", true},            {"127.0.0.2", "127.0.0.2", true},
        {"127.0.0.1", "127.0.0.2/32", false},
        // IPv4 masters named or seen in their IPv4-mapped IPv6 form.
        {"::ffff:127.0.0.1", "::ffff:127.0.0.1", true}, {"127.0.0.1", "::ffff:127.0.0.1", true},
        {"::ffff:127.0.0.2", "::ffff:127.0.0.1", false}, {"::ffff:10.1.2.3", "::ffff:10.0.0.0/104", true},
        {"::ffff:11.1.2.3", "::ffff:10.0.0.0/104", false}, {"::ffff:10.1.2.3", "::ffff:0:0/96", true},
        {"fd00::5", "::ffff:0:0/96", false},         {"::ffff:127.0.0.1", "::/0", true},
        {"127.0.0.1", "::/0", true},                 {"::1", "::/0", true},
        {"::ffff:127.0.0.1", "::1", false},
    };
    for (const Match& m : matches) {
        SCOPED_TRACE(std::string(m.peer) + " in " + m.network);
        pellacor::tcp::Network n;
        ASSERT_TRUE(pellacor::tcp::ParseNetwork(m.network, n));
        sockaddr_storage peer{};
        if (std::string(m.peer).find(':') == std::string::npos) {
            peer.ss_family = AF_INET;
            ::inet_pton(AF_INET, m.peer, &reinterpret_cast<sockaddr_in&>(peer).sin_addr);
        } else {
            peer.ss_family = AF_INET6;
            ::inet_pton(AF_INET6, m.peer, &reinterpret_cast<sockaddr_in6&>(peer).sin6_addr);
        }
        EXPECT_EQ(pellacor::tcp::InNetwork(peer, n), m.in);
    }
}

TEST_F(Hardened, MastersFromElsewhereAreClosedAndCounted) {
    EXPECT_EQ(SetTCPBindAddress("not an address"), 0);
    EXPECT_EQ(AddTCPAllowedNetwork("127.0.0.2/8"), 0);
    ASSERT_EQ(SetTCPBindAddress("127.0.0.1"), 1);
    ASSERT_EQ(AddTCPAllowedNetwork("127.0.0.2/32"), 1);
    TCPRefusedConnections(1);
    ASSERT_EQ(OpenTCPConnection(&window_.window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);

    int allowed = -1;
    ASSERT_TRUE(WaitFor([&] { return (allowed = ConnectFrom(port_, "127.0.0.2")) >= 0; }));
    EXPECT_EQ(Exchange(allowed, Req(1, 7, 3, 0, 1)).size(), 11u);

    const int stranger = ConnectFrom(port_, "127.0.0.1");
    ASSERT_GE(stranger, 0); // the kernel completes the handshake
    EXPECT_TRUE(Exchange(stranger, Req(2, 7, 3, 0, 1)).empty());
    EXPECT_TRUE(WaitFor([] { return TCPRefusedConnections(0) == 1; }));
    EXPECT_EQ(pellacor::tcp::ConnectedClients(), 1);
    ::close(stranger);

    // Bound to 127.0.0.1 only: another loopback address is not served.
    EXPECT_EQ(ConnectFrom(port_, "127.0.0.2", "127.0.0.3"), -1);
    EXPECT_EQ(Exchange(allowed, Req(3, 7, 3, 0, 1)).size(), 11u);
    ::close(allowed);
    EXPECT_EQ(TCPRefusedConnections(1), 1u);
    EXPECT_EQ(TCPRefusedConnections(0), 0u);
}

// Refused masters are reported by address with their counts, and a flood of
// addresses keeps the table at its size, the rest counted together.
TEST_F(Hardened, RefusedMastersAreReportedByAddressInABoundedTable) {
    ASSERT_EQ(SetTCPBindAddress("127.0.0.1"), 1);
    ASSERT_EQ(AddTCPAllowedNetwork("127.0.0.2/32"), 1);
    PellacorRefusedMaster taken[PELLACOR_REFUSED_MASTERS_KEPT + 2];
    while (TakeTCPRefusedMasters(taken, PELLACOR_REFUSED_MASTERS_KEPT + 2) > 0) {
    }
    TCPRefusedConnections(1);
    ASSERT_EQ(OpenTCPConnection(&window_.window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
    int allowed = -1;
    ASSERT_TRUE(WaitFor([&] { return (allowed = ConnectFrom(port_, "127.0.0.2")) >= 0; }));
    ::close(allowed);

    // 127.0.0.1 three times, then more distinct addresses than the table keeps.
    const int strangers = PELLACOR_REFUSED_MASTERS_KEPT + 5;
    std::vector<std::string> sources(3, "127.0.0.1");
    for (int i = 1; i <= strangers; ++i) sources.push_back("127.0.1." + std::to_string(i));
    for (const std::string& source : sources) {
        const int fd = ConnectFrom(port_, source.c_str());
        ASSERT_GE(fd, 0) << source;
        ::close(fd);
    }
    ASSERT_TRUE(WaitFor([&] { return TCPRefusedConnections(0) == sources.size(); }));

    const struct {
        int index;
        std::string address;
        uint32_t count;
    } expected[] = {
        {0, "127.0.0.1", 3},
        {1, "127.0.1.1", 1},
        {PELLACOR_REFUSED_MASTERS_KEPT - 1, "127.0.1." + std::to_string(PELLACOR_REFUSED_MASTERS_KEPT - 1), 1},
        {PELLACOR_REFUSED_MASTERS_KEPT, "", strangers - (PELLACOR_REFUSED_MASTERS_KEPT - 1)}, // the rest
    };
    // Taken in two parts: what a small buffer leaves stays for the next call.
    ASSERT_EQ(TakeTCPRefusedMasters(taken, 2), 2);
    ASSERT_EQ(TakeTCPRefusedMasters(taken + 2, PELLACOR_REFUSED_MASTERS_KEPT + 2 - 2),
              PELLACOR_REFUSED_MASTERS_KEPT + 1 - 2);
    for (const auto& e : expected) {
        EXPECT_EQ(taken[e.index].address, e.address) << e.index;
        EXPECT_EQ(taken[e.index].count, e.count) << e.index;
    }
    EXPECT_EQ(TakeTCPRefusedMasters(taken, 1), 0); // drained
}

} // namespace
