// The OPC UA I/O loop and engine against the node-opcua peer through the
// loopback fault proxy: what a caller sees when the network misbehaves under
// a live session. Every call must come back within its own limit (never
// hang on a silent link), a cut must fail what is in flight at once rather
// than at its deadline, and a link that recovers must carry the same channel
// on. Repeated cuts must not leak descriptors. A connection kept with a
// session listener comes back by itself after every outage, on the same
// session when the server still has it, and leaves no sessions behind.
#include "ua/client/loop.h"

#include "../../../support/fault_proxy.h"
#include "../../../support/ua_peer.h"

#include <dirent.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
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

// The peer (one per suite) behind the fault proxy, and a running loop.
template <class Suite>
class PeerBehindProxy : public quorvane::test::UaPeerSuite<Suite> {
public:
    static std::vector<std::string> PeerArgs() { return {"--big-folder", "0"}; }

protected:
    using Base = quorvane::test::UaPeerSuite<Suite>;
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Base::SetUp());
        proxy_ = std::make_unique<FaultProxy>(Base::peer_->Port());
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

    UaLoop::ConnectionId Connect(const UaSettings& settings = Settings(),
                                 std::shared_ptr<SessionListener> listener = nullptr) {
        UaLoop::ConnectionId id = 0;
        auto done = loop_.open(proxy_->Url(), settings, &id, std::move(listener));
        EXPECT_TRUE(done->wait_for(kWait));
        EXPECT_EQ(done->status(), status::Good) << std::hex << done->status();
        return done->status() == status::Good ? id : 0;
    }

    std::shared_ptr<UaCompletion> Read(UaLoop::ConnectionId id, NodeId node = NodeId::string_id(1, "Static.Int16")) {
        ReadRequest read;
        ReadValueId v;
        v.node_id = std::move(node);
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

class UaFaultTest : public PeerBehindProxy<UaFaultTest> {};

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

// ---- Kept connections --------------------------------------------------------------

// Counts sessions and losses, and keeps a watchdog of its own: a State read
// every kProbe; no answer for kSilence declares the link dead.
class CountingListener final : public SessionListener {
public:
    static constexpr Millis kProbe{250}, kSilence{1000};
    struct Counts {
        int sessions = 0, fresh = 0, losses = 0;
    };

    void on_session(RequestPort&, bool fresh, SteadyTime now) override {
        last_answer_ = next_probe_ = now;
        probe_ = 0;
        Bump(&Counts::sessions, fresh ? &Counts::fresh : nullptr);
    }
    void on_lost(StatusCode, SteadyTime) override { Bump(&Counts::losses); }
    bool on_event(RequestPort&, UaEvent& e, SteadyTime now) override {
        if (e.request_id != probe_) return false;
        probe_ = 0;
        if (e.kind == UaEvent::Kind::Response) last_answer_ = now;
        return true;
    }
    StatusCode tick(RequestPort& port, SteadyTime now) override {
        if (now - last_answer_ >= kSilence) return status::BadTimeout;
        ReadRequest read;
        read.nodes_to_read.emplace_back();
        read.nodes_to_read.back().node_id = NodeId::numeric_id(0, node::Server_ServerStatus_State);
        if (probe_ == 0) probe_ = port.request(std::move(read), now, kProbe);
        next_probe_ = now + kProbe;
        return status::Good;
    }
    SteadyTime next_deadline() const override { return std::min(next_probe_, last_answer_ + kSilence); }

    // Waits (up to kWait) until `field` reaches `n`; the counts then.
    Counts Await(int Counts::*field, int n) {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, kWait, [&] { return counts_.*field >= n; });
        return counts_;
    }

private:
    void Bump(int Counts::*a, int Counts::*b = nullptr) {
        {
            std::lock_guard lock(mu_);
            ++(counts_.*a);
            if (b != nullptr) ++(counts_.*b);
        }
        cv_.notify_all();
    }

    SteadyTime last_answer_{}, next_probe_{SteadyTime::max()}; // I/O thread only
    uint32_t probe_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    Counts counts_;
};
using Counts = CountingListener::Counts;

class UaReconnectTest : public PeerBehindProxy<UaReconnectTest> {
protected:
    static UaSettings Kept() {
        UaSettings s = Settings();
        s.hello_timeout = s.open_timeout = 2000ms; // an attempt into the blackhole gives up soon
        s.reconnect_first = 100ms;
        s.reconnect_max = 800ms;
        s.requested_session_timeout = 3000; // a long blackhole outlives the session
        return s;
    }
    // The sessions the server holds, asked on a connection of its own (so one
    // at least), closed afterwards.
    uint32_t SessionsAtServer(const std::string& url) {
        UaLoop::ConnectionId id = 0;
        EXPECT_TRUE(loop_.open(url, Settings(), &id)->wait_for(kWait));
        auto read = Read(id, NodeId::numeric_id(0, node::Server_ServerDiagnostics_CurrentSessionCount));
        EXPECT_EQ(Outcome(*read, Steady::now()).first, status::Good);
        EXPECT_TRUE(loop_.close(id)->wait_for(kWait));
        const Response response = read->response();
        const auto* r = std::get_if<ReadResponse>(&response);
        const uint32_t* n = r && r->results.size() == 1 && r->results[0].value ? r->results[0].value->get<7>() : nullptr;
        EXPECT_NE(n, nullptr) << "a UInt32";
        return n != nullptr ? *n : 0;
    }
    // A kept connection with its first session up.
    UaLoop::ConnectionId KeepOne(const std::shared_ptr<CountingListener>& listener) {
        const UaLoop::ConnectionId id = Connect(Kept(), listener);
        EXPECT_EQ(listener->Await(&Counts::sessions, 1).sessions, 1);
        return id;
    }
    // Whether post_to gets the engine (and the loop answers at all).
    bool PortGiven(UaLoop::ConnectionId id) {
        auto done = std::make_shared<UaCompletion>();
        EXPECT_TRUE(loop_.post_to(id, [done](RequestPort* port, SteadyTime) {
            done->complete(port != nullptr ? status::Good : status::BadNotConnected);
        }));
        EXPECT_TRUE(done->wait_for(kWait));
        return done->status() == status::Good;
    }
};

// One kept connection through a cut with the server alive (the same session
// again within 1.5 s), a blackhole (the listener's watchdog declares the loss,
// the loop comes back after the link does) and a server killed and started
// again on the same port (a new session); a blackhole that outlives the
// session ends in a new one too. Meanwhile nothing waits on it.
TEST_F(UaReconnectTest, AKeptConnectionComesBackAfterEachOutage) {
    const uint16_t port = peer_->Port();
    const struct {
        const char* what;
        std::function<void(FaultProxy&)> fault, repair; // no repair: the recovery is timed from the fault
        bool fresh;
        Millis within;
    } cases[] = {
        {"cut, server alive", [](FaultProxy& p) { p.Cut(); }, nullptr, false, 1500ms},
        {"blackhole", [](FaultProxy& p) { p.Blackhole(); }, [](FaultProxy& p) { p.Resume(); }, false, 3000ms},
        {"server killed and restarted", [](FaultProxy&) { ::kill(peer_->Pid(), SIGKILL); },
         [port](FaultProxy&) { ASSERT_EQ(peer_->Start(port), ""); }, true, 2500ms},
        {"blackhole past the session timeout", [](FaultProxy& p) { p.Blackhole(); },
         [this](FaultProxy& p) {
             const auto limit = Steady::now() + kWait; // until the server has dropped our session
             while (SessionsAtServer(peer_->Url()) > 1 && Steady::now() < limit) {}
             p.Resume();
         }, true, 3000ms},
    };
    auto listener = std::make_shared<CountingListener>();
    const UaLoop::ConnectionId id = KeepOne(listener);
    int fresh = 1;
    for (int round = 1; const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto fault = Steady::now();
        c.fault(*proxy_);
        ASSERT_EQ(listener->Await(&Counts::losses, round).losses, round);
        const auto lost = Steady::now() - fault;
        EXPECT_LT(lost, CountingListener::kSilence + 1000ms);
        EXPECT_FALSE(loop_.session_up(id));
        EXPECT_FALSE(PortGiven(id));
        const auto [st, took] = Outcome(*Read(id), Steady::now());
        EXPECT_EQ(st, status::BadNotConnected) << std::hex << st;
        EXPECT_LT(took, 500ms) << "refused at once, never queued";

        if (c.repair) c.repair(*proxy_);
        const auto repaired = c.repair ? Steady::now() : fault;
        const Counts n = listener->Await(&Counts::sessions, round + 1);
        const auto back = std::chrono::duration_cast<Millis>(Steady::now() - repaired);
        std::printf("[ measured ] %s: loss seen after %lld ms, session again %lld ms after the %s\n", c.what,
                    static_cast<long long>(std::chrono::duration_cast<Millis>(lost).count()),
                    static_cast<long long>(back.count()), c.repair ? "repair" : "fault");
        ASSERT_EQ(n.sessions, round + 1);
        EXPECT_LT(back, c.within);
        EXPECT_EQ(n.losses, round) << "one loss per outage";
        fresh += c.fresh;
        EXPECT_EQ(n.fresh, fresh) << "the first, and one after each loss of the session";
        EXPECT_TRUE(loop_.session_up(id));
        EXPECT_TRUE(PortGiven(id));
        EXPECT_EQ(Outcome(*Read(id), Steady::now()).first, status::Good);
        ++round;
    }
}

// Many cuts in a row: the session is reactivated every time, so the server
// holds no sessions but ours and the asking one, and no descriptor is left.
TEST_F(UaReconnectTest, ThirtyCutsLeaveNoSessionsOrDescriptorsBehind) {
    auto listener = std::make_shared<CountingListener>();
    KeepOne(listener);
    const int before = OpenDescriptors();
    constexpr int kCuts = 30;
    for (int i = 1; i <= kCuts; ++i) {
        proxy_->Cut();
        ASSERT_EQ(listener->Await(&Counts::sessions, i + 1).sessions, i + 1) << "cut " << i;
    }
    EXPECT_EQ(listener->Await(&Counts::losses, kCuts).fresh, 1);
    EXPECT_LE(OpenDescriptors(), before + 1);

    EXPECT_LE(SessionsAtServer(proxy_->Url()), 2u);
}

// close() while the connection waits out its back-off, and stop() while an
// attempt hangs in the handshake, end it within the close limit.
TEST_F(UaReconnectTest, CloseOrStopDuringReconnectingEndsItAtOnce) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop, attempt in a blackhole" : "close, refused");
        ASSERT_TRUE(loop_.start());
        auto listener = std::make_shared<CountingListener>();
        const UaLoop::ConnectionId id = KeepOne(listener);
        const int accepted = proxy_->Accepted();
        stop ? proxy_->Blackhole() : proxy_->Refuse();
        proxy_->Cut();
        ASSERT_EQ(listener->Await(&Counts::losses, 1).losses, 1);
        const auto limit = Steady::now() + kWait;
        while (stop && proxy_->Accepted() == accepted && Steady::now() < limit) std::this_thread::yield();
        const auto start = Steady::now();
        if (stop) loop_.stop();
        else EXPECT_EQ(Outcome(*loop_.close(id), start).first, status::Good);
        EXPECT_LT(Steady::now() - start, Kept().close_timeout + 300ms);
        EXPECT_FALSE(loop_.session_up(id));
        EXPECT_FALSE(loop_.post_to(id, [](RequestPort*, SteadyTime) {}));
        loop_.stop();
        proxy_->Resume();
    }
}

} // namespace
