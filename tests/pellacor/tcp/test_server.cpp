// Modbus/TCP server over real loopback sockets.
#include "tcp/server.h"
#include "test_tcp_support.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <set>
#include <string>

using namespace tcptest;

namespace {

struct Write {
    int32_t slave, type, address, value;
    bool operator==(const Write&) const = default;
};

std::mutex gWritesLock;
std::vector<Write> gWrites;

int32_t OnWrite(int32_t slave, int32_t type, int32_t address, int32_t value) {
    std::lock_guard<std::mutex> g(gWritesLock);
    gWrites.push_back({slave, type, address, value});
    return 0;
}

std::vector<Write> TakeWrites() {
    std::lock_guard<std::mutex> g(gWritesLock);
    return std::exchange(gWrites, {});
}

uint16_t Load(uint16_t& word) { return std::atomic_ref<uint16_t>(word).load(); }

class TcpServer : public ::testing::Test {
protected:
    static constexpr uint16_t kBigCount = 1100;

    void SetUp() override {
        port_ = FreeLoopbackPort();
        SetTCPServicePort(port_);
        EnableCallback(&OnWrite);
        TakeWrites();
        for (uint16_t i = 0; i < kBigCount; ++i) big_[i] = static_cast<uint16_t>(0x100 + i);
        block_ = DefineDataBlock(3, PELLACOR_HOLDING_REGISTER, 1, kBigCount, big_.data());
        ASSERT_GT(block_, 0);
        ASSERT_EQ(OpenTCPConnection(&window_.window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
    }

    void TearDown() override {
        CloseConnection(PELLACOR_TCP_HANDLE);
        EXPECT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));
        RemoveDataBlock(block_);
        EnableBufferCallback(nullptr);
        pellacor::tcp::SetFakeClock(false, 0);
    }

    // A client whose connection the server has accepted.
    std::unique_ptr<Client> Connect(int expectConnected) {
        auto c = std::make_unique<Client>(port_);
        EXPECT_TRUE(c->Connected());
        EXPECT_TRUE(WaitFor([&] { return pellacor::tcp::ConnectedClients() == expectConnected; }));
        return c;
    }

    Bytes Ask(const Bytes& request) {
        Client c(port_);
        EXPECT_TRUE(c.Send(request));
        return c.ReadReply();
    }

    uint16_t port_ = 0;
    RecordingWindow window_;
    int32_t block_ = 0;
    std::array<uint16_t, kBigCount> big_{};
};

TEST_F(TcpServer, ReplyLayouts) {
    struct Case {
        std::string name;
        Bytes request;
        Bytes expectHead; // leading bytes of the reply
        size_t expectSize;
    };
    // Frame layouts in detail are checked on the reply builder itself; these
    // go through the sockets, the service thread and a large block.
    const Case cases[] = {
        {"read 10 registers from unit 3", Req(0x1234, 3, 3, 0, 10),
         {0x12, 0x34, 0, 0, 0, 23, 3, 3, 20, 0x01, 0x00, 0x01, 0x01}, 29},
        {"read of a missing address", Req(8, 3, 3, kBigCount, 1), {0, 8, 0, 0, 0, 3, 3, 0x83, 2}, 9},
        {"write single register", Req(11, 3, 6, 4, 0xBEEF), {0, 11, 0, 0, 0, 6, 3, 6, 0, 4, 0xBE, 0xEF}, 12},
        {"write multiple registers", Mbap(12, 3, {16, 0, 5, 0, 2, 4, 0x11, 0x22, 0x33, 0x44}),
         {0, 12, 0, 0, 0, 6, 3, 16, 0, 5, 0, 2}, 12},
        {"largest read: 1010 registers", Req(14, 3, 3, 0, 1010), {0, 14, 0, 0, 0x07, 0xE7, 3, 3, 0xE4}, 2029},
        {"1011 registers is too large", Req(15, 3, 3, 0, 1011), {0, 15, 0, 0, 0, 3, 3, 0x83, 2}, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes reply = Ask(c.request);
        ASSERT_EQ(reply.size(), c.expectSize);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<long>(c.expectHead.size())), c.expectHead);
    }
    EXPECT_EQ(Load(big_[4]), 0xBEEF);
    EXPECT_EQ(Load(big_[5]), 0x1122);
    EXPECT_EQ(Load(big_[6]), 0x3344);
    const std::vector<Write> expected{{3, 3, 5, 0xBEEF}, {3, 3, 6, 0x1122}, {3, 3, 7, 0x3344}};
    EXPECT_EQ(TakeWrites(), expected);
}

TEST_F(TcpServer, StreamAssembly) {
    Client c(port_);
    const Bytes request = Req(0x0102, 3, 3, 0, 2);
    // Split inside the header, then the rest after a pause: one reply.
    ASSERT_TRUE(c.Send(Bytes(request.begin(), request.begin() + 5)));
    EXPECT_TRUE(c.ReadExact(1, 100).empty());
    ASSERT_TRUE(c.Send(Bytes(request.begin() + 5, request.end())));
    EXPECT_EQ(c.ReadReply(), (Bytes{1, 2, 0, 0, 0, 7, 3, 3, 4, 0x01, 0x00, 0x01, 0x01}));

    // Byte by byte.
    for (uint8_t b : request) ASSERT_TRUE(c.Send(Bytes{b}));
    EXPECT_EQ(c.ReadReply().size(), 13u);

    // Several requests in one segment, the last one cut short: every complete
    // one answered in order, the partial one once it is completed.
    Bytes burst;
    for (uint16_t tid = 100; tid < 110; ++tid) {
        const Bytes r = Req(tid, 3, 3, tid - 100, 1);
        burst.insert(burst.end(), r.begin(), r.end());
    }
    const Bytes last = Req(110, 3, 6, 0, 7);
    burst.insert(burst.end(), last.begin(), last.begin() + 9);
    ASSERT_TRUE(c.Send(burst));
    for (uint16_t tid = 100; tid < 110; ++tid) {
        const Bytes reply = c.ReadReply();
        ASSERT_EQ(reply.size(), 11u);
        EXPECT_EQ((reply[0] << 8) | reply[1], tid);
        EXPECT_EQ((reply[9] << 8) | reply[10], 0x100 + tid - 100);
    }
    ASSERT_TRUE(c.Send(Bytes(last.begin() + 9, last.end())));
    EXPECT_EQ(c.ReadReply(), last);
}

TEST_F(TcpServer, ImpossibleLengthDropsOnlyThatClient) {
    Client good(port_);
    for (uint16_t length : {0, 1, 2020, 0xFFFF}) {
        SCOPED_TRACE(length);
        Client bad(port_);
        ASSERT_TRUE(bad.Send(Bytes{0, 1, 0, 0, Hi(length), Lo(length), 3, 3}));
        EXPECT_TRUE(bad.ClosedByPeer());
    }
    // The largest length that fits the buffer is answered: a diagnostics
    // request with 2015 bytes of data.
    Bytes big{0, 2, 0, 0, Hi(2019), Lo(2019), 3, 8, 0, 0, 0x12, 0x34};
    big.resize(2025, 0x5A);
    ASSERT_TRUE(good.Send(big));
    EXPECT_EQ(good.ReadReply(), (Bytes{0, 2, 0, 0, 0, 6, 3, 8, 0, 0, 0x12, 0x34}));
}

TEST_F(TcpServer, ThirtyThirdClientWaitsForAFreeSlot) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 1; i <= 32; ++i) clients.push_back(Connect(i));
    Client late(port_);
    ASSERT_TRUE(late.Connected()); // completed by the kernel, left in the listen queue
    ASSERT_TRUE(late.Send(Req(33, 3, 3, 0, 1)));
    EXPECT_TRUE(late.ReadExact(1, 300).empty());
    EXPECT_EQ(pellacor::tcp::ConnectedClients(), 32);

    // The others are still served meanwhile.
    ASSERT_TRUE(clients[5]->Send(Req(6, 3, 3, 0, 1)));
    EXPECT_EQ(clients[5]->ReadReply().size(), 11u);

    clients[0].reset();
    const Bytes reply = late.ReadReply();
    ASSERT_EQ(reply.size(), 11u);
    EXPECT_EQ(reply[1], 33);
}

TEST_F(TcpServer, IdleClientsAreDroppedByTheIdleCheck) {
    using pellacor::tcp::SetFakeClock;
    using pellacor::tcp::TriggerIdleCheck;
    // Start just below the wrap of the 32-bit tick: differences stay right.
    const uint32_t t0 = 0xFFFFFF00u;
    SetFakeClock(true, t0);
    auto silent = Connect(1);
    auto active = Connect(2);

    SetFakeClock(true, t0 + 200000);
    ASSERT_TRUE(active->Send(Req(1, 3, 3, 0, 1)));
    ASSERT_EQ(active->ReadReply().size(), 11u);

    SetFakeClock(true, t0 + 300000); // exactly the limit: not yet
    ASSERT_TRUE(TriggerIdleCheck());
    EXPECT_FALSE(silent->ClosedByPeer(200));

    SetFakeClock(true, t0 + 300001);
    ASSERT_TRUE(TriggerIdleCheck());
    EXPECT_TRUE(silent->ClosedByPeer());
    EXPECT_TRUE(WaitFor([] { return pellacor::tcp::ConnectedClients() == 1; }));
    ASSERT_TRUE(active->Send(Req(2, 3, 3, 0, 1)));
    EXPECT_EQ(active->ReadReply().size(), 11u);

    SetFakeClock(true, t0 + 300001 + 300001); // its last request was at t0 + 300001
    ASSERT_TRUE(TriggerIdleCheck());
    EXPECT_TRUE(active->ClosedByPeer());
}

TEST_F(TcpServer, CountersAndTrafficRing) {
    static std::mutex chunksLock;
    static std::vector<std::array<int32_t, 3>> chunks; // handle, position, length
    {
        std::lock_guard<std::mutex> g(chunksLock);
        chunks.clear();
    }
    EnableBufferCallback([](int32_t h, int32_t p, int32_t n) {
        std::lock_guard<std::mutex> g(chunksLock);
        chunks.push_back({h, p, n});
        return 0;
    });
    SlaveStatus(PELLACOR_TCP_HANDLE, nullptr, nullptr, 1);

    Client c(port_);
    const Bytes request = Req(0x4242, 3, 3, 2, 3);
    ASSERT_TRUE(c.Send(request));
    const Bytes reply = c.ReadReply();
    ASSERT_EQ(reply.size(), 15u);
    ASSERT_TRUE(c.Send(Mbap(1, 3, {99})));
    ASSERT_EQ(c.ReadReply().size(), 9u);

    uint32_t good = 0, bad = 7;
    EXPECT_EQ(SlaveStatus(PELLACOR_TCP_HANDLE, &good, &bad, 0), 0);
    EXPECT_EQ(good, 2u);
    EXPECT_EQ(bad, 0u);

    std::lock_guard<std::mutex> g(chunksLock);
    ASSERT_EQ(chunks.size(), 4u);
    // The request is recorded tagged as received, then the reply right after it.
    const Bytes* expected[] = {&request, &reply};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto [handle, position, length] = chunks[i];
        EXPECT_EQ(handle, PELLACOR_TCP_HANDLE);
        ASSERT_EQ(static_cast<size_t>(length), expected[i]->size());
        std::vector<uint16_t> ring(expected[i]->size()), want;
        ASSERT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, ring.data(), position, length), length);
        for (uint8_t b : *expected[i]) want.push_back(static_cast<uint16_t>((i == 0 ? 0x100 : 0) | b));
        EXPECT_EQ(ring, want);
    }
    EXPECT_EQ(chunks[1][1], (chunks[0][1] + chunks[0][2]) % 1024);
}

TEST_F(TcpServer, RepliesGoOutWholeToASlowReader) {
    // A small receive window forces short sends; every reply must still
    // arrive complete and in order once the client reads.
    Client slow(port_, 4096);
    Bytes burst;
    constexpr int kRequests = 100; // about 200 KB of replies
    for (int i = 0; i < kRequests; ++i) {
        const Bytes r = Req(static_cast<uint16_t>(i), 3, 3, 0, 1010);
        burst.insert(burst.end(), r.begin(), r.end());
    }
    ASSERT_TRUE(slow.Send(burst));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < kRequests; ++i) {
        const Bytes reply = slow.ReadReply();
        ASSERT_EQ(reply.size(), 2029u) << i;
        ASSERT_EQ((reply[0] << 8) | reply[1], i);
        ASSERT_EQ(reply[2028], Lo(0x100 + 1009));
    }
}

TEST_F(TcpServer, ClientThatNeverReadsIsDropped) {
    Client hog(port_, 4096);
    Client other(port_);
    const Bytes r = Req(1, 3, 3, 0, 1010);
    bool dropped = false;
    // Bounded: at most 20 MB of replies asked for; the server gives up long before.
    for (int round = 0; round < 100 && !dropped; ++round) {
        Bytes burst;
        for (int i = 0; i < 100; ++i) burst.insert(burst.end(), r.begin(), r.end());
        if (!hog.Send(burst)) dropped = true;
        if (round % 10 == 9)
            dropped = dropped || WaitFor([] { return pellacor::tcp::ConnectedClients() == 1; }, 100);
    }
    EXPECT_TRUE(dropped || WaitFor([] { return pellacor::tcp::ConnectedClients() == 1; }));
    ASSERT_TRUE(other.Send(Req(2, 3, 3, 0, 1)));
    EXPECT_EQ(other.ReadReply().size(), 11u);
}

TEST_F(TcpServer, CloseFromACallbackOnTheServiceThread) {
    // The application may close the server from its write callback: no
    // deadlock, no reply after the close, and the clients are let go.
    EnableCallback([](int32_t, int32_t, int32_t, int32_t) {
        CloseConnection(PELLACOR_TCP_HANDLE);
        return 0;
    });
    Client c(port_);
    ASSERT_TRUE(c.Send(Req(1, 3, 6, 0, 42)));
    EXPECT_TRUE(c.ClosedByPeer());
    EXPECT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));
    EXPECT_EQ(OpenTCPConnection(&window_.window, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
    EnableCallback(&OnWrite);
}

TEST(TcpLifecycle, OpenCloseAndBindFailure) {
    const int baseline = OpenDescriptors();
    RecordingWindow window;
    const uint16_t port = FreeLoopbackPort();
    SetTCPServicePort(port);
    EXPECT_EQ(InitializeWSock(), 0);

    ASSERT_EQ(OpenTCPConnection(&window.window, 1025), PELLACOR_TCP_HANDLE);
    EXPECT_EQ(OpenTCPConnection(&window.window, 1025), -1);
    // Close followed at once by open: the old server's tear-down must neither
    // take the new one's sockets nor make its bind fail.
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
        ASSERT_EQ(OpenTCPConnection(&window.window, 1025), PELLACOR_TCP_HANDLE) << i;
    }
    {
        Client c(port);
        ASSERT_TRUE(c.Send(Mbap(5, 1, {8, 0, 0, 1, 2})));
        EXPECT_EQ(c.ReadReply().size(), 12u);
    }
    EXPECT_TRUE(window.Snapshot().empty());
    EXPECT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
    EXPECT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1); // already closed
    ASSERT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));

    // A port held by another listener: the application's message with 0, 0,
    // after which the server counts as closed and may be opened again.
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    ASSERT_EQ(OpenTCPConnection(&window.window, 4711), PELLACOR_TCP_HANDLE);
    ASSERT_TRUE(WaitFor([&] { return !window.Snapshot().empty(); }));
    const auto posted = window.Snapshot();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, 4711u);
    EXPECT_EQ(posted[0].wparam, 0u);
    EXPECT_EQ(posted[0].lparam, 0);
    ::close(blocker);
    ASSERT_TRUE(WaitFor([&] { return OpenTCPConnection(&window.window, 4711) == PELLACOR_TCP_HANDLE; }));
    {
        Client c(port);
        ASSERT_TRUE(c.Send(Mbap(6, 1, {8, 0, 0, 1, 2})));
        EXPECT_EQ(c.ReadReply().size(), 12u);
    }
    EXPECT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
    ASSERT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));
    EXPECT_EQ(UnInitializeWSock(), 0);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == baseline; }));
}

} // namespace
