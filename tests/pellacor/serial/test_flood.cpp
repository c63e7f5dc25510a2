// A bounded flood of random bytes with valid requests mixed in, on an RTU
// port timed by a window, an RTU port timed by its reader and an ASCII port
// at the same time: nothing crashes, the counters stay plausible, and the
// ports answer normally once the flood is over.
#include "test_serial_support.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

namespace serial_test {
namespace {

constexpr auto kFloodTime = std::chrono::seconds(10);
constexpr int kMaxSteps = 200000;

struct FloodStats {
    uint64_t bytes = 0;
    uint64_t lineFeeds = 0;
};

// Best effort: a full pseudo-terminal just drops the rest of the chunk.
void WriteSome(const PtyLine& line, const Bytes& bytes, FloodStats& stats) {
    ssize_t n = ::write(line.master(), bytes.data(), bytes.size());
    if (n <= 0) return;
    stats.bytes += static_cast<uint64_t>(n);
    for (ssize_t i = 0; i < n; ++i) stats.lineFeeds += bytes[static_cast<size_t>(i)] == '\n';
}

FloodStats Flood(const PtyLine& line, bool ascii, uint32_t seed, const std::atomic<bool>& stop) {
    std::mt19937 random(seed);
    FloodStats stats;
    const std::string asciiRequest = Ascii("010300000004");
    const Bytes rtuRequest = Rtu(1, 3, 0, 4);
    Clock::time_point until = Clock::now() + kFloodTime;
    for (int step = 0; step < kMaxSteps && Clock::now() < until && !stop.load(); ++step) {
        unsigned roll = random() % 100;
        if (roll < 10) {
            WriteSome(line, ascii ? Bytes(asciiRequest.begin(), asciiRequest.end()) : rtuRequest, stats);
        } else {
            Bytes noise(1 + random() % 64);
            for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
            if (ascii && roll < 40) noise.back() = '\n';
            WriteSome(line, noise, stats);
        }
        line.Drain();
        if (roll % 20 == 0)
            std::this_thread::sleep_for(milliseconds(60)); // lets an RTU frame end
        else
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
    if (ascii) {
        // Noise ending in a colon and no line feed would be a frame still
        // open; the line end closes it, so the clean requests that follow
        // start on an empty buffer.
        line.Write(std::string_view("\r\n"));
        stats.bytes += 2;
        stats.lineFeeds += 1;
    }
    return stats;
}

TEST(SerialFlood, RandomBytesWithRequestsMixedIn) {
    Blocks blocks;
    uint16_t* regs = blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 100);
    for (uint16_t i = 0; i < 4; ++i) regs[i] = static_cast<uint16_t>(0x100 + i);
    FakeWindow window;
    PtyLine windowed, reader, ascii;
    int32_t handles[3] = {OpenOn(windowed, 1, 1, window.window()), OpenOn(reader, 2, 1), OpenOn(ascii, 3, 0)};
    for (int32_t h : handles) {
        ASSERT_NE(h, -1);
    }

    std::atomic<bool> stop{false};
    FloodStats stats[3];
    std::thread floods[3] = {
        std::thread([&] { stats[0] = Flood(windowed, false, 1, stop); }),
        std::thread([&] { stats[1] = Flood(reader, false, 2, stop); }),
        std::thread([&] { stats[2] = Flood(ascii, true, 3, stop); }),
    };
    for (auto& t : floods) t.join();
    std::this_thread::sleep_for(milliseconds(300));

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        uint32_t good = 0, bad = 0;
        ASSERT_EQ(SlaveStatus(handles[i], &good, &bad, 1), 0);
        EXPECT_GT(good + bad, 0u);
        EXPECT_GT(good, 0u);
        EXPECT_LE(good + bad, stats[i].bytes);
        // An ASCII frame ends only at a line feed.
        if (i == 2) {
            EXPECT_LE(good + bad, stats[i].lineFeeds);
        }
        uint16_t entry = 0;
        EXPECT_EQ(ReadDebugData(handles[i], &entry, 0, 1), 1);
    }
    windowed.Drain();
    reader.Drain();
    ascii.Drain();

    const Bytes rtuReply = WithCrc({1, 3, 8, 1, 0, 1, 1, 1, 2, 1, 3});
    const std::string asciiReply = Ascii("010308" + Hex({1, 0, 1, 1, 1, 2, 1, 3}));
    for (int round = 0; round < 5; ++round) {
        windowed.Write(Rtu(1, 3, 0, 4));
        reader.Write(Rtu(1, 3, 0, 4));
        ascii.Write(Ascii("010300000004"));
        EXPECT_EQ(windowed.Read(milliseconds(1000)), rtuReply);
        EXPECT_EQ(reader.Read(milliseconds(1000)), rtuReply);
        Bytes got = ascii.Read(milliseconds(1000));
        EXPECT_EQ(std::string(got.begin(), got.end()), asciiReply);
    }
    for (int32_t h : handles) {
        EXPECT_EQ(CountersOf(h), (Counters{5, 0}));
        EXPECT_EQ(CloseConnection(h), 1);
    }
}

} // namespace
} // namespace serial_test
