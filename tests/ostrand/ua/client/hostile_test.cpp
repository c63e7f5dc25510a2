// The OPC UA I/O loop and engine against a server that misbehaves on
// purpose: every script must end in a clear failure within the connect
// limit, never in a hang, a crash or memory that grows with what the server
// claims (run under ASan for the memory faults); and the loop's hello limit
// and stop() with work in flight.
#include "../hostile_server.h"
#include "ua/client/loop.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;
using test::HostileServer;
using Play = HostileServer::Play;

long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") return in >> value ? value : 0;
        in.ignore(256, '\n');
    }
    return 0;
}

UaSettings Short() {
    UaSettings s;
    s.connect_timeout = 1000ms;
    s.hello_timeout = 1000ms;
    s.open_timeout = 1000ms;
    s.connect_total = 3000ms;
    s.request_timeout = 500ms;
    s.request_grace = 200ms;
    return s;
}

struct Outcome {
    StatusCode status = status::Good;
    std::chrono::steady_clock::duration took{};
};

Outcome Open(UaLoop& loop, const HostileServer& server, UaLoop::ConnectionId* id) {
    const auto start = std::chrono::steady_clock::now();
    auto opened = loop.open(server.Url(), Short(), id);
    EXPECT_TRUE(opened->wait_for(10s));
    return {opened->status(), std::chrono::steady_clock::now() - start};
}

TEST(UaHostileServer, EveryScriptEndsInAClearFailureWithinTheConnectLimit) {
    SystemClock clock;
    UaLoop loop(clock);
    ASSERT_TRUE(loop.start());
    const long rss_before = RssKiB();
    // `reached`: the last client chunk the server saw (one of these), so the fault really came at that step.
    const struct {
        Play play;
        const char* what;
        std::chrono::milliseconds delay;
        StatusCode expected;
        const char* reached;
    } cases[] = {
        {Play::Silent, "never answers", 0ms, status::BadTimeout, "HEL"},
        {Play::GarbageAfterHello, "noise instead of ACK", 0ms, status::BadTcpMessageTypeInvalid, "HEL"},
        {Play::ErrAfterHello, "ERR instead of ACK", 0ms, status::BadTcpEndpointUrlInvalid, "HEL"},
        {Play::TinyReceiveBuffer, "ACK with a 100-byte buffer", 0ms, status::BadConnectionRejected, "HEL"},
        // The header follows the ACK at once: the client may fail before its OPN goes out.
        {Play::HugeChunkHeader, "a 4 GiB chunk header", 0ms, status::BadTcpMessageTooLarge, "HEL OPN"},
        {Play::ForeignChannelId, "an answer on another channel", 0ms, status::BadSecureChannelIdInvalid, "MSG"},
        {Play::ForeignTokenId, "an answer under an unknown token", 0ms, status::BadSecureChannelTokenUnknown,
         "MSG"},
        // Dropped like a late answer; CreateSession then times out at its own deadline.
        {Play::ForeignRequestId, "an answer to a request never sent", 0ms, status::BadTimeout, "MSG"},
        {Play::EndlessContinuation, "continuation chunks without end", 0ms, status::BadTcpMessageTooLarge, "MSG"},
        {Play::Normal, "answers slower than the step limit", 1500ms, status::BadTimeout, "HEL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HostileServer server(c.play, c.delay);
        ASSERT_TRUE(server.Start());
        UaLoop::ConnectionId id = 0;
        const Outcome o = Open(loop, server, &id);
        EXPECT_EQ(o.status, c.expected) << std::hex << o.status;
        const auto seen = server.Seen();
        ASSERT_FALSE(seen.empty());
        EXPECT_NE(std::string(c.reached).find(seen.back()), std::string::npos) << seen.back();
        EXPECT_LT(o.took, Short().connect_total + 1s);
        // The connection is unusable afterwards, and says so at once.
        auto after = loop.request(id, ReadRequest{});
        ASSERT_TRUE(after->wait_for(2s));
        EXPECT_NE(after->status(), status::Good);
    }
    // Nothing the servers claimed was allocated (4 GiB chunk, 2^31 message size, endless chunks).
    EXPECT_LT(RssKiB() - rss_before, 64 * 1024);
    loop.stop();
}

TEST(UaHostileServer, AHugeAnnouncedMessageSizeIsNotAllocated) {
    SystemClock clock;
    UaLoop loop(clock);
    ASSERT_TRUE(loop.start());
    HostileServer server(Play::HugeMessageSize);
    ASSERT_TRUE(server.Start());
    const long rss_before = RssKiB();
    UaLoop::ConnectionId id = 0;
    const Outcome o = Open(loop, server, &id);
    // Announcing large limits is allowed; the handshake goes on with ours.
    EXPECT_EQ(o.status, status::Good);
    EXPECT_LT(RssKiB() - rss_before, 64 * 1024);
    loop.stop();
}

// A slow server within the limits connects; one that then never answers
// times a request out at its deadline, and the channel stays up for the next.
TEST(UaHostileServer, SlowRepliesConnectAndASilentRequestTimesOutAtItsDeadline) {
    SystemClock clock;
    UaLoop loop(clock);
    ASSERT_TRUE(loop.start());
    HostileServer server(Play::Normal, 200ms);
    ASSERT_TRUE(server.Start());
    UaLoop::ConnectionId id = 0;
    const Outcome o = Open(loop, server, &id);
    ASSERT_EQ(o.status, status::Good);
    EXPECT_GE(o.took, 800ms); // four replies, each held back
    for (int i = 0; i < 2; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto read = loop.request(id, ReadRequest{});
        ASSERT_TRUE(read->wait_for(5s));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(read->status(), status::BadTimeout);
        EXPECT_GE(took, 700ms);
        EXPECT_LT(took, 2s);
    }
    EXPECT_EQ(server.Connections(), 1);
    loop.stop();
}

// The I/O loop itself: the hello limit on a silent server, and stop().
TEST(UaLoop, SilentServerTimesOutAtTheHelloLimit) {
    HostileServer server(Play::Silent);
    ASSERT_TRUE(server.Start());
    SystemClock clock;
    UaLoop loop(clock);
    ASSERT_TRUE(loop.start());
    UaSettings s;
    s.hello_timeout = 300ms;
    const auto start = std::chrono::steady_clock::now();
    UaLoop::ConnectionId id = 0;
    auto opened = loop.open(server.Url(), s, &id);
    ASSERT_TRUE(opened->wait_for(10s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(opened->status(), status::BadTimeout);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
    auto after = loop.request(id, ReadRequest{});
    ASSERT_TRUE(after->wait_for(10s));
    EXPECT_EQ(after->status(), status::BadNotConnected);
}

TEST(UaLoop, StopCompletesWhatIsInFlightAndRefusesNewWork) {
    HostileServer server(Play::Silent);
    ASSERT_TRUE(server.Start());
    SystemClock clock;
    UaLoop loop(clock);
    ASSERT_TRUE(loop.start());
    UaLoop::ConnectionId id = 0;
    auto opened = loop.open(server.Url(), UaSettings{}, &id); // would wait 5 s for an ACK
    ASSERT_NE(id, 0u);
    const auto start = std::chrono::steady_clock::now();
    loop.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_TRUE(opened->done());
    EXPECT_EQ(opened->status(), status::BadShutdown);
    auto refused = loop.open(server.Url(), UaSettings{}, &id);
    ASSERT_TRUE(refused->done());
    EXPECT_EQ(refused->status(), status::BadShutdown);
    EXPECT_EQ(id, 0u);
}

} // namespace
