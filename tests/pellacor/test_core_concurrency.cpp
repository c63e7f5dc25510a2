// The table is shared by transports and the application without locks: these
// runs race definitions, removals, reads, writes and traffic recording. Under
// ThreadSanitizer they prove the absence of data races; under AddressSanitizer
// a lookup that paired one block's range with another block's memory would
// read out of bounds.
#include "test_core_support.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <map>
#include <set>
#include <thread>

using namespace coretest;
using pellacor::Outcome;
using pellacor::Transport;

namespace {

constexpr int kRounds = 3000;
constexpr auto kTimeBudget = std::chrono::seconds(10);

std::string ReadOne(uint8_t slave, uint16_t protocolAddress) {
    const uint8_t fields[] = {uint8_t(protocolAddress >> 8), uint8_t(protocolAddress), 0, 1};
    uint8_t out[2];
    const auto r = pellacor::ProcessRequest(Transport::Tcp, 0, {slave, 3, fields, 4}, out, sizeof out);
    if (r.outcome != Outcome::Data) return "exception";
    return ToHex({out[0], out[1]});
}

TEST(CoreConcurrency, RedefinedBlocksAreNeverMixed) {
    ResetCore();
    static uint16_t small[10], large[1000];
    for (auto& v : small) v = 0xAAAA;
    for (auto& v : large) v = 0xBBBB;
    std::atomic<bool> stop{false};
    const auto deadline = std::chrono::steady_clock::now() + kTimeBudget;

    std::thread churn([&] {
        for (int i = 0; i < 20 * kRounds && std::chrono::steady_clock::now() < deadline; ++i) {
            const int32_t h = DefineDataBlock(3, PELLACOR_HOLDING_REGISTER, 1, i % 2 ? 1000 : 10,
                                              i % 2 ? static_cast<void*>(large) : small);
            ASSERT_NE(h, 0);
            RemoveDataBlock(h);
        }
        stop = true;
    });
    std::atomic<int> mixed{0};
    auto reader = [&] {
        while (!stop) {
            const std::string low = ReadOne(3, 4), high = ReadOne(3, 500);
            if (low != "exception" && low != "AAAA" && low != "BBBB") ++mixed;
            if (high != "exception" && high != "BBBB") ++mixed;
        }
    };
    std::thread r1(reader), r2(reader);
    churn.join();
    r1.join();
    r2.join();
    EXPECT_EQ(mixed, 0);
    ResetCore();
}

TEST(CoreConcurrency, ApplicationStoresWhileMastersReadAndWrite) {
    ResetCore();
    static uint16_t block[64];
    PellacorWindow window{nullptr, [](void*, uint32_t, uintptr_t, intptr_t) { return 1; }, nullptr, nullptr};
    const int32_t h = DefineDataBlock(4, PELLACOR_HOLDING_REGISTER, 1, 64, block);
    EnableDoWriteNotification(&window, h, 1, 0x400);
    static std::atomic<int> callbacks{0};
    EnableCallback([](int32_t, int32_t, int32_t, int32_t) {
        ++callbacks;
        return 0;
    });
    std::thread app([&] {
        for (int i = 0; i < kRounds; ++i)
            std::atomic_ref<uint16_t>(block[i % 64]).store(static_cast<uint16_t>(i), std::memory_order_relaxed);
    });
    auto master = [](Transport t) {
        // Write 2 registers, then read all 64, over the master's own framing.
        const std::vector<uint8_t> write = Hex("0410 0000 0002 04 00010002"), read = Hex("0403 0000 0040");
        uint8_t out[256];
        for (int i = 0; i < kRounds / 10; ++i) {
            EXPECT_EQ(pellacor::ProcessRequest(t, 0, {4, 16, write.data() + 2, write.size() - 2}, out, sizeof out)
                          .outcome,
                      Outcome::Echo);
            EXPECT_EQ(pellacor::ProcessRequest(t, 0, {4, 3, read.data() + 2, read.size() - 2}, out, sizeof out)
                          .dataBytes,
                      128u);
        }
    };
    std::thread rtu(master, Transport::Rtu), tcp(master, Transport::Tcp);
    app.join();
    rtu.join();
    tcp.join();
    EXPECT_EQ(callbacks, 2 * 2 * (kRounds / 10));
    ResetCore();
}

TEST(CoreConcurrency, WordsStoredAsOneUpdateAreNeverReadMixed) {
    // One writer flips word pairs between two values as fast as it can; a
    // reader must see each pair whole. The long read of 125 registers cannot
    // finish between two updates, so it also takes the path that holds
    // updates off. The wide element lies at an odd word, so its two halves
    // are separate accesses on both sides.
    alignas(4) static uint16_t words[128];
    struct Case {
        const char* what;
        Transport transport;
        uint32_t options;
        std::vector<uint8_t> pdu;
        size_t pairAt; // data byte of the pair in the reply
        size_t pairBytes;
    } const cases[] = {
        {"RTU, the pair alone", Transport::Rtu, 0, Hex("0103 003C 0002"), 0, 4},
        {"ASCII, 125 registers", Transport::Ascii, 0, Hex("0103 0000 007D"), 120, 4},
        {"Modbus/TCP, 125 registers", Transport::Tcp, 0, Hex("0103 0000 007D"), 120, 4},
        {"RTU, wide register", Transport::Rtu, 1, Hex("0103 1388 0001"), 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetCore();
        std::fill(std::begin(words), std::end(words), 0);
        const int32_t h16 = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 125, words);
        const int32_t hWide = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 5001, 1, words + 125);
        const bool wide = c.options != 0;
        uint16_t* pair = wide ? words + 125 : words + 60;
        const int32_t handle = wide ? hWide : h16;
        const PellacorWordStore a[] = {{handle, pair, 0x1111}, {handle, pair + 1, 0x2222}};
        const PellacorWordStore b[] = {{handle, pair, 0x3333}, {handle, pair + 1, 0x4444}};
        StoreDataBlockWords(a, 2);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (long i = 0; !stop; ++i) StoreDataBlockWords(i % 2 ? a : b, 2);
        });
        // The wide element reads as one host-order 32-bit value, most
        // significant byte first on the wire.
        const uint32_t wideA = std::bit_cast<uint32_t>(std::array<uint16_t, 2>{0x1111, 0x2222});
        const uint32_t wideB = std::bit_cast<uint32_t>(std::array<uint16_t, 2>{0x3333, 0x4444});
        auto readPair = [&](const uint8_t* out) {
            uint32_t v = 0;
            for (size_t k = 0; k < 4; ++k) v = v << 8 | out[c.pairAt + k];
            const uint32_t valueA = wide ? wideA : 0x11112222, valueB = wide ? wideB : 0x33334444;
            return v == valueA ? "A" : v == valueB ? "B" : "mixed";
        };
        std::map<std::string, int> seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < deadline; ++i) {
            uint8_t out[256];
            const pellacor::Request request{1, 3, c.pdu.data() + 2, c.pdu.size() - 2};
            const auto r = pellacor::ProcessRequest(c.transport, c.options, request, out, sizeof out);
            ASSERT_EQ(r.outcome, Outcome::Data);
            ++seen[readPair(out)];
        }
        stop = true;
        writer.join();
        EXPECT_EQ(seen["mixed"], 0) << "of " << seen["A"] + seen["B"] + seen["mixed"];
        EXPECT_GT(seen["A"] + seen["B"], 0);
    }
    ResetCore();
}

TEST(CoreConcurrency, RemovedBlockMemoryCanBeFreedAtOnce) {
    // The application frees each block right after RemoveDataBlock returns;
    // a request still reading or writing it would be a use after free.
    ResetCore();
    std::atomic<bool> stop{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::thread churn([&] {
        for (int i = 0; i < 4 * kRounds && std::chrono::steady_clock::now() < deadline; ++i) {
            auto* memory = new uint16_t[125]();
            const int32_t h = DefineDataBlock(5, PELLACOR_HOLDING_REGISTER, 1, 125, memory);
            ASSERT_NE(h, 0);
            std::this_thread::yield();
            RemoveDataBlock(h);
            delete[] memory;
        }
        stop = true;
    });
    std::atomic<int> answered{0};
    auto master = [&](std::vector<uint8_t> pdu) {
        uint8_t out[256];
        while (!stop) {
            const pellacor::Request request{5, pdu[1], pdu.data() + 2, pdu.size() - 2};
            const auto r = pellacor::ProcessRequest(Transport::Tcp, 0, request, out, sizeof out);
            if (r.outcome != Outcome::Exception) ++answered;
        }
    };
    std::thread reader(master, Hex("0503 0000 007D"));
    std::thread writer(master, Hex("0510 0000 0004 08 0001000200030004"));
    churn.join();
    reader.join();
    writer.join();
    EXPECT_GT(answered, 0);
    ResetCore();
}

TEST(CoreConcurrency, ConcurrentDefinesGetDistinctEntries) {
    ResetCore();
    static uint16_t cell;
    std::vector<int32_t> a, b;
    auto define = [](std::vector<int32_t>& got) {
        for (int i = 0; i < pellacor::kBlockCount / 2; ++i) got.push_back(DefineDataBlock(6, 3, 1, 1, &cell));
    };
    std::thread ta(define, std::ref(a)), tb(define, std::ref(b));
    ta.join();
    tb.join();
    std::set<int32_t> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(pellacor::kBlockCount));
    EXPECT_EQ(all.count(0), 0u);
    ResetCore();
}

TEST(CoreConcurrency, TrafficFromTwoThreadsKeepsChunksWhole) {
    pellacor::Connection c;
    pellacor::AllocateRing(c);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint16_t dest[pellacor::kRingEntries];
        while (!stop) ReadDebugData(PELLACOR_TCP_HANDLE, dest, 0, pellacor::kRingEntries);
    });
    // Each chunk is 4 equal bytes; a chunk must land on 4 consecutive positions.
    auto writer = [&](uint8_t value, bool received) {
        const uint8_t chunk[4] = {value, value, value, value};
        for (int i = 0; i < kRounds; ++i) pellacor::RecordTraffic(c, chunk, sizeof chunk, received);
    };
    std::thread w1(writer, 0x11, true), w2(writer, 0x22, false);
    w1.join();
    w2.join();
    stop = true;
    reader.join();
    const std::atomic<uint16_t>* ring = c.ring.load();
    for (int i = 0; i < pellacor::kRingEntries; i += 4)
        for (int k = 1; k < 4; ++k) EXPECT_EQ(ring[i + k].load(), ring[i].load()) << i;
    pellacor::ReleaseRing(c);
}

} // namespace
