// The OPC UA I/O loop and engine against the node-opcua peer through the
// loopback fault proxy: what a caller sees when the network misbehaves under
// a live session. Every call must come back within its own limit (never
// hang on a silent link), a cut must fail what is in flight at once rather
// than at its deadline, and a link that recovers must carry the same channel
// on. Repeated cuts must not leak descriptors.
#include "ua_loop.h"

#include "../support/fault_proxy.h"
#include "../support/ua_peer.h"

#include <dirent.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;
using quorvane::test::FaultProxy;
using Steady = std::chrono::steady_clock;

constexpr Millis kWait = 20s; // beyond every limit below: a completion that misses it hangs

int OpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

class UaFaultTest : public quorvane::test::UaPeerSuite<UaFaultTest> {
public:
    static std::vector<std::string> PeerArgs() { return {"--big-folder", "0"}; }

protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(UaPeerSuite::SetUp());
        proxy_ = std::make_unique<FaultProxy>(peer_->Port());
        ASSERT_TRUE(proxy_->Start());
        ASSERT_TRUE(loop_.start());
    }
    void TearDown() override {
        loop_.stop();
        proxy_.reset();
    }

    static UaSettings Settings() {
        UaSettings s;
        s.connect_total = 10s;
        s.request_timeout = 1000ms;
        s.request_grace = 200ms; // a request's deadline: 1.2 s
        s.close_timeout = 200ms;
        // Cut sessions are never closed (that comes with reconnection); a short
        // timeout lets the peer drop them before its 20 sessions run out.
        s.requested_session_timeout = 10000;
        return s;
    }

    UaLoop::ConnectionId Connect() {
        UaLoop::ConnectionId id = 0;
        auto done = loop_.open(proxy_->Url(), Settings(), &id);
        EXPECT_TRUE(done->wait_for(kWait));
        EXPECT_EQ(done->status(), status::Good) << std::hex << done->status();
        return done->status() == status::Good ? id : 0;
    }

    std::shared_ptr<UaCompletion> Read(UaLoop::ConnectionId id) {
        ReadRequest read;
        ReadValueId v;
        v.node_id = NodeId::string_id(1, "Static.Int16");
        read.nodes_to_read.push_back(v);
        return loop_.request(id, std::move(read));
    }

    // Waits for `done`; its status and how long it took from `since`.
    static std::pair<StatusCode, Steady::duration> Outcome(UaCompletion& done, Steady::time_point since) {
        EXPECT_TRUE(done.wait_for(kWait));
        return {done.status(), Steady::now() - since};
    }

    std::unique_ptr<FaultProxy> proxy_;
    SystemClock clock_;
    UaLoop loop_{clock_};
};

// A silent link and a slow one: the request fails at its deadline, not
// later; once the link recovers, the next request goes through at once on
// the same connection (the late answer is dropped by its request id).
TEST_F(UaFaultTest, SilentOrSlowLinkTimesARequestOutAtItsDeadlineAndTheChannelCarriesOn) {
    const struct {
        const char* what;
        void (*fault)(FaultProxy&);
    } cases[] = {
        {"blackhole", [](FaultProxy& p) { p.Blackhole(); }},
        {"delay 3 s", [](FaultProxy& p) { p.Delay(3000ms); }},
    };
    const UaLoop::ConnectionId id = Connect();
    ASSERT_NE(id, 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.fault(*proxy_);
        const auto start = Steady::now();
        auto read = Read(id);
        const auto [st, took] = Outcome(*read, start);
        EXPECT_EQ(st, status::BadTimeout) << std::hex << st;
        EXPECT_GE(took, 1200ms);
        EXPECT_LT(took, 2500ms);
        proxy_->Resume();
        const auto again = Steady::now();
        auto next = Read(id);
        const auto [st2, took2] = Outcome(*next, again);
        EXPECT_EQ(st2, status::Good) << std::hex << st2;
        EXPECT_LT(took2, 1200ms);
    }
    EXPECT_EQ(proxy_->Accepted(), 1); // the same connection throughout
}

// A cut with the server alive fails what is in flight at once, and the
// connection refuses further work at once; a stopped server (connecting
// refused) fails a new connection within a second.
TEST_F(UaFaultTest, CutFailsWorkInFlightAtOnceAndARefusedConnectFailsWithinASecond) {
    const UaLoop::ConnectionId id = Connect();
    ASSERT_NE(id, 0u);
    proxy_->Delay(5000ms); // keeps the read in flight until the cut
    const uint64_t sent = proxy_->FromClients();
    auto read = Read(id);
    while (proxy_->FromClients() == sent && !read->done()) std::this_thread::yield(); // out on the wire
    const auto start = Steady::now();
    proxy_->Cut();
    const auto [st, took] = Outcome(*read, start);
    EXPECT_EQ(st, status::BadConnectionClosed) << std::hex << st;
    EXPECT_LT(took, 500ms);
    auto after = Read(id);
    const auto [st2, took2] = Outcome(*after, Steady::now());
    EXPECT_NE(st2, status::Good);
    EXPECT_LT(took2, 500ms);

    proxy_->Resume();
    proxy_->Refuse();
    const auto connecting = Steady::now();
    UaLoop::ConnectionId refused = 0;
    auto open = loop_.open(proxy_->Url(), Settings(), &refused);
    const auto [st3, took3] = Outcome(*open, connecting);
    EXPECT_NE(st3, status::Good);
    EXPECT_LT(took3, 1s);
}

// Connect and cut, many times over: no descriptor is left behind.
TEST_F(UaFaultTest, RepeatedCutsLeaveNoDescriptorsBehind) {
    ASSERT_NE(Connect(), 0u); // the first connection sets up whatever stays (epoll, eventfd)
    proxy_->Cut();
    const int before = OpenDescriptors();
    constexpr int kCuts = 10;
    for (int i = 0; i < kCuts; ++i) {
        const UaLoop::ConnectionId id = Connect();
        ASSERT_NE(id, 0u);
        proxy_->Cut();
        auto read = Read(id); // completes once the loop has seen the close
        EXPECT_TRUE(read->wait_for(kWait));
    }
    EXPECT_LE(OpenDescriptors(), before + 1);
    EXPECT_EQ(proxy_->Accepted(), kCuts + 1);
}

} // namespace
