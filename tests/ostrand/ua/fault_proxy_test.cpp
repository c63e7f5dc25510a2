// The loopback fault proxy that the OPC UA fault tests stand on: a fault it
// claims to inject must really happen (bytes held, connections closed,
// connecting refused), and lifting it must lose nothing.
#include "../../support/fault_proxy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace std::chrono_literals;
using quorvane::test::FaultProxy;

int Listener(uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    return fd;
}

// A connected socket, or -errno.
int Connect(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const int err = errno;
        ::close(fd);
        return -err;
    }
    return fd;
}

int Accept(int listener) {
    pollfd p{listener, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1 ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

// What arrives on `fd` within `limit` (up to `want` bytes); "<eof>" once closed.
std::string Receive(int fd, size_t want, std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
        char buf[256];
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - got.size()), 0);
        if (n <= 0) return got + "<eof>";
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

void Send(int fd, const std::string& s) { ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }

TEST(FaultProxy, ForwardsHoldsDelaysCutsAndRefuses) {
    uint16_t target = 0;
    const int server = Listener(&target);
    ASSERT_GE(server, 0);
    FaultProxy proxy(target);
    ASSERT_TRUE(proxy.Start());

    // Forwarding both ways.
    int c = Connect(proxy.Port());
    ASSERT_GE(c, 0);
    int s = Accept(server);
    ASSERT_GE(s, 0);
    Send(c, "hello");
    EXPECT_EQ(Receive(s, 5, 5s), "hello");
    Send(s, "world");
    EXPECT_EQ(Receive(c, 5, 5s), "world");
    EXPECT_EQ(proxy.Accepted(), 1);
    EXPECT_EQ(proxy.Open(), 1);

    // Blackhole: the connection stays, nothing moves either way; lifted, nothing is lost.
    proxy.Blackhole();
    Send(c, "up");
    Send(s, "down");
    EXPECT_EQ(Receive(s, 2, 300ms), "");
    EXPECT_EQ(Receive(c, 4, 300ms), "");
    EXPECT_EQ(proxy.Open(), 1);
    proxy.Resume();
    EXPECT_EQ(Receive(s, 2, 5s), "up");
    EXPECT_EQ(Receive(c, 4, 5s), "down");

    // Delay: nothing before it, everything after it.
    proxy.Delay(400ms);
    const auto sent = std::chrono::steady_clock::now();
    Send(c, "late");
    EXPECT_EQ(Receive(s, 4, 5s), "late");
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 400ms);
    proxy.Resume();

    // Cut: both sides see the close, the server side too although it is alive.
    proxy.Cut();
    EXPECT_EQ(Receive(c, 1, 5s), "<eof>");
    EXPECT_EQ(Receive(s, 1, 5s), "<eof>");
    EXPECT_EQ(proxy.Open(), 0);
    ::close(c);
    ::close(s);

    // Refuse: connecting fails at once; resumed, the same port takes connections again.
    proxy.Refuse();
    EXPECT_EQ(Connect(proxy.Port()), -ECONNREFUSED);
    proxy.Resume();
    c = Connect(proxy.Port());
    ASSERT_GE(c, 0);
    s = Accept(server);
    ASSERT_GE(s, 0);
    Send(s, "again");
    EXPECT_EQ(Receive(c, 5, 5s), "again");
    EXPECT_EQ(proxy.Accepted(), 2);

    // The server closing after its last words: the words arrive, then the close.
    Send(s, "bye");
    ::close(s);
    EXPECT_EQ(Receive(c, 4, 5s), "bye<eof>");
    ::close(c);

    // A target nobody listens on: the client's connection is closed.
    ::close(server);
    c = Connect(proxy.Port());
    ASSERT_GE(c, 0);
    EXPECT_EQ(Receive(c, 1, 5s), "<eof>");
    ::close(c);
    proxy.Stop();
    EXPECT_EQ(proxy.Open(), 0);
}

} // namespace
