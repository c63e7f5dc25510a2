// Bounded churn soak of the Modbus/TCP server: 64 clients (twice the slots)
// connect, send valid and invalid requests, drop mid-frame and reconnect.
// Afterwards descriptors and heap are back to their baseline and a fresh
// client is still served. QV_SOAK_SECONDS overrides the 60 s default.
#include "tcp/server.h"
#include "test_tcp_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>

#include <atomic>
#include <random>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QV_SANITIZER_HEAP 1
#endif
#endif
#ifdef QV_SANITIZER_HEAP
// From the sanitizer runtime (its header ships with clang only).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace tcptest;

namespace {

size_t HeapInUse() {
#ifdef QV_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

constexpr uint16_t kRegisters = 500;
uint16_t gRegisters[kRegisters];

struct Tally {
    std::atomic<uint64_t> answered{0}, exceptions{0}, wrong{0}, drops{0}, connects{0};
};

// One client socket of the churn; connects without blocking for long, because
// half of the clients find every slot busy at any time.
class ChurnClient {
public:
    ~ChurnClient() { Close(); }
    bool Connected() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool Connect(uint16_t port) {
        Close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
            Close();
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, 50) != 1 || ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            Close();
            return false;
        }
        return true;
    }
    bool Send(const Bytes& b) {
        return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // A whole reply within `ms`, else empty (not accepted yet, or closed).
    Bytes Reply(int ms) {
        Bytes in;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            if (in.size() >= 7 && in.size() >= static_cast<size_t>((in[4] << 8) | in[5]) + 6) return in;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return {};
            uint8_t buf[2048];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) return {};
            in.insert(in.end(), buf, buf + n);
        }
    }

private:
    int fd_ = -1;
};

void Churn(uint16_t port, unsigned seed, int clients, std::chrono::steady_clock::time_point end, Tally& t) {
    std::mt19937 rng(seed);
    std::vector<ChurnClient> mine(static_cast<size_t>(clients));
    uint16_t tid = 0;
    // Bounded in count as well as in time.
    for (int step = 0; step < 400000 && std::chrono::steady_clock::now() < end; ++step) {
        ChurnClient& c = mine[rng() % mine.size()];
        if (!c.Connected()) {
            if (c.Connect(port)) ++t.connects;
            continue;
        }
        const unsigned action = rng() % 12;
        ++tid;
        if (action < 6) { // a valid read, checked value by value
            const uint16_t first = static_cast<uint16_t>(rng() % 400);
            const uint16_t count = static_cast<uint16_t>(1 + rng() % 100);
            if (!c.Send(Req(tid, 1, 3, first, count))) {
                c.Close();
                continue;
            }
            const Bytes r = c.Reply(100);
            if (r.empty()) { // still waiting for a slot: give up and reconnect later
                c.Close();
                continue;
            }
            bool ok = r.size() == 9u + 2u * count && r[0] == Hi(tid) && r[1] == Lo(tid) && r[7] == 3;
            for (uint16_t i = 0; ok && i < count; ++i)
                ok = r[9 + 2 * i] == Hi(0x100 + first + i) && r[10 + 2 * i] == Lo(0x100 + first + i);
            ++(ok ? t.answered : t.wrong);
        } else if (action < 8) { // unknown function, or an address no block holds
            const Bytes req = action == 6 ? Mbap(tid, 1, {0x41, 1, 2}) : Req(tid, 1, 3, 60000, 4);
            if (!c.Send(req)) {
                c.Close();
                continue;
            }
            const Bytes r = c.Reply(100);
            if (r.empty()) {
                c.Close();
                continue;
            }
            const bool ok = r.size() == 9 && (r[7] & 0x80) != 0 && r[8] == (action == 6 ? 1 : 2);
            ++(ok ? t.exceptions : t.wrong);
        } else if (action < 10) { // drop mid-frame
            const Bytes req = Req(tid, 1, 3, 0, 10);
            c.Send(Bytes(req.begin(), req.begin() + 1 + static_cast<long>(rng() % (req.size() - 1))));
            c.Close();
            ++t.drops;
        } else if (action == 10) { // a length no buffer can hold
            c.Send(Bytes{0, 1, 0, 0, 0xFF, 0xFF, 1, 3});
            c.Close();
            ++t.drops;
        } else {
            c.Close();
        }
    }
}

TEST(TcpSoak, ChurnLeavesNothingBehind) {
    int seconds = 60;
    if (const char* s = std::getenv("QV_SOAK_SECONDS")) seconds = std::max(1, std::atoi(s));
    for (uint16_t i = 0; i < kRegisters; ++i) gRegisters[i] = static_cast<uint16_t>(0x100 + i);
    const int32_t block = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, kRegisters, gRegisters);
    ASSERT_GT(block, 0);
    const uint16_t port = FreeLoopbackPort();
    SetTCPServicePort(port);
    ASSERT_EQ(OpenTCPConnection(nullptr, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);

    auto askOnce = [&] {
        Client c(port);
        EXPECT_TRUE(c.Send(Req(77, 1, 3, 10, 2)));
        return c.ReadReply();
    };
    // Warm up (service thread and first buffers), then take the baseline.
    ASSERT_EQ(askOnce().size(), 13u);
    ASSERT_TRUE(WaitFor([] { return pellacor::tcp::ConnectedClients() == 0; }));
    const int fdBaseline = OpenDescriptors();
    const size_t heapBaseline = HeapInUse();

    Tally t;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i) threads.emplace_back(Churn, port, 1234 + i, 16, end, std::ref(t));
    for (auto& th : threads) th.join();

    EXPECT_EQ(t.wrong.load(), 0u);
    EXPECT_GT(t.answered.load(), 0u);
    EXPECT_GT(t.exceptions.load(), 0u);
    EXPECT_GT(t.drops.load(), 0u);
    std::printf("soak: %llu answered, %llu exceptions, %llu drops, %llu connects\n",
                static_cast<unsigned long long>(t.answered.load()),
                static_cast<unsigned long long>(t.exceptions.load()), static_cast<unsigned long long>(t.drops.load()),
                static_cast<unsigned long long>(t.connects.load()));

    // Every client is gone: the server lets go of all of them.
    EXPECT_TRUE(WaitFor([] { return pellacor::tcp::ConnectedClients() == 0; }, 5000));
    const Bytes after = askOnce();
    ASSERT_EQ(after.size(), 13u);
    EXPECT_EQ(after[9], 0x01);
    EXPECT_EQ(after[10], 0x0A);
    EXPECT_TRUE(WaitFor([] { return pellacor::tcp::ConnectedClients() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == fdBaseline; }));
    // Freed client buffers and output queues: only small noise may remain.
    EXPECT_LT(HeapInUse(), heapBaseline + 64 * 1024);

    EXPECT_EQ(CloseConnection(PELLACOR_TCP_HANDLE), 1);
    EXPECT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));
    RemoveDataBlock(block);
}

} // namespace
