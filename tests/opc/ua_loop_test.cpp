// The OPC UA I/O loop against servers that misbehave at the TCP level, on
// loopback: one that accepts and never answers, and a stop() while work is
// in flight. Every completion must complete, within its limit.
#include "ua_loop.h"

#include "../support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;

// A listening socket on 127.0.0.1 that never accepts: the kernel completes
// the TCP handshake, then nothing is ever said.
class SilentServer {
public:
    SilentServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentServer() {
        if (fd_ >= 0) ::close(fd_);
    }
    std::string Url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
    uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

TEST(UaLoop, SilentServerTimesOutAtTheHelloLimit) {
    SilentServer server;
    ASSERT_NE(server.Port(), 0);
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
    SilentServer server;
    ASSERT_NE(server.Port(), 0);
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
