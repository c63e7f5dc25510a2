// What the frame's dialogs compute without widgets: the traffic follower's
// lines from a fake ring, the tap under concurrent writers, the call log's
// top-line rules.
#include "frame/dialog_data.h"
#include "frame/traffic_monitor.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

// A 1024-entry ring written the way Pellacor writes it.
struct FakeRing {
    std::array<uint16_t, CTrafficTap::kRingEntries> entries{};
    uint32_t position = 0;
    CTrafficTap::Mark mark;

    void Record(std::vector<uint8_t> bytes, bool received) {
        if (mark.base < 0) mark.base = static_cast<int32_t>(position);
        for (uint8_t b : bytes) {
            entries[position] = static_cast<uint16_t>((received ? 0x100 : 0) | b);
            position = (position + 1) % CTrafficTap::kRingEntries;
        }
        mark.total += bytes.size();
    }
    CTrafficFollower::RingReader Reader() {
        return [this](int32_t, uint16_t* dest, int32_t start, int32_t count) {
            for (int32_t i = 0; i < count; ++i) dest[i] = entries[static_cast<size_t>((start + i) % 1024)];
            return count;
        };
    }
};

std::vector<std::string> Texts(const std::deque<TrafficLine>& lines) {
    std::vector<std::string> texts;
    for (const TrafficLine& line : lines) texts.push_back(line.text);
    return texts;
}

TEST(TrafficFollowerTest, LinesPerFrameForEachFraming) {
    const std::vector<uint8_t> tcpRequest = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
    const std::vector<uint8_t> tcpReply = {0, 1, 0, 0, 0, 5, 1, 3, 2, 0x12, 0x34};
    struct Case {
        const char* name;
        TrafficFraming framing;
        std::vector<std::pair<std::vector<uint8_t>, bool>> chunks; // polled after each
        std::vector<std::string> lines;
    } cases[] = {
        {"TCP: two pipelined requests in one chunk, then the replies", TrafficFraming::Tcp,
         {{{0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1, 0, 2, 0, 0, 0, 6, 1, 3, 0, 9, 0, 1}, true}, {tcpReply, false}},
         {"RX 00 01 00 00 00 06 01 03 00 00 00 01", "RX 00 02 00 00 00 06 01 03 00 09 00 01",
          "TX 00 01 00 00 00 05 01 03 02 12 34"}},
        {"TCP: a request arriving in two chunks is one line", TrafficFraming::Tcp,
         {{{0, 1, 0, 0, 0}, true}, {{6, 1, 3, 0, 0, 0, 1}, true}},
         {"RX 00 01 00 00 00 06 01 03 00 00 00 01"}},
        {"RTU: the direction change and a quiet poll end frames", TrafficFraming::Rtu,
         {{{1, 3, 0, 0}, true}, {{0, 1, 0x84, 0x0A}, true}, {{1, 3, 2, 0, 7, 0xF9, 0x86}, false}, {{}, false}},
         {"RX 01 03 00 00 00 01 84 0A", "TX 01 03 02 00 07 F9 86"}},
        {"ASCII: a line feed ends a frame", TrafficFraming::Ascii,
         {{{':', '0', '1', '\r', '\n', ':', '0'}, true}},
         {"RX 3A 30 31 0D 0A"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRing ring;
        CTrafficFollower follower;
        follower.Follow(7, c.framing);
        for (auto& [bytes, received] : c.chunks) {
            if (!bytes.empty()) ring.Record(bytes, received);
            follower.Poll(ring.mark, ring.Reader());
        }
        EXPECT_EQ(Texts(follower.Lines()), c.lines);
    }
}

TEST(TrafficFollowerTest, WrapsSkipsWhatWasOverwrittenAndKeepsItsCap) {
    FakeRing ring;
    ring.position = 1020; // frames straddle the ring's end
    CTrafficFollower follower(500);
    CTrafficFollower small(5);
    follower.Follow(7, TrafficFraming::Tcp);
    small.Follow(7, TrafficFraming::Tcp);
    ring.Record({0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1}, true);
    follower.Poll(ring.mark, ring.Reader());
    EXPECT_EQ(Texts(follower.Lines()), std::vector<std::string>{"RX 00 01 00 00 00 06 01 03 00 00 00 01"});

    // 2000 bytes behind: only the newest ring's worth is read, the rest is
    // said to be skipped.
    for (int i = 0; i < 200; ++i) ring.Record({0, 2, 0, 0, 0, 4, 1, 3, 1, 9}, false);
    const auto fresh = follower.Poll(ring.mark, ring.Reader());
    ASSERT_EQ(fresh.size(), 97u) << "the gap and the 96 frames the ring still holds";
    EXPECT_TRUE(fresh.front().gap);
    EXPECT_EQ(fresh.front().text, "-- 1040 bytes not shown --");
    EXPECT_EQ(fresh.back().text, "TX 00 02 00 00 00 04 01 03 01 09");
    EXPECT_EQ(follower.Seen(), ring.mark.total);
    small.Poll(ring.mark, ring.Reader());
    EXPECT_EQ(small.Lines().size(), 5u) << "the cap";

    // Following another link starts over.
    follower.Follow(8, TrafficFraming::Rtu);
    EXPECT_TRUE(follower.Lines().empty());
    EXPECT_EQ(follower.Seen(), 0u);
}

// A window that opens late shows what the ring still holds: from the first
// byte while nothing was overwritten, else from the first whole frame (the
// first change of direction); each line is dated by the chunk its first byte
// came in, and decoded.
TEST(TrafficFollowerTest, StartsWithTheRingsHistoryDatedAndDecoded) {
    const std::vector<uint8_t> request = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
    const std::vector<uint8_t> reply = {0, 1, 0, 0, 0, 5, 1, 3, 2, 0x12, 0x34};
    struct Case {
        const char* name;
        int exchanges; // request and reply pairs recorded before the follower starts
        size_t lines;
        bool firstReceived;
    } const cases[] = {
        {"nothing overwritten: every frame", 3, 6, true},
        // 50 pairs are 1150 bytes; the newest 960 start inside a request.
        {"overwritten: from the first whole frame", 50, 83, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRing ring;
        std::vector<CTrafficTap::ChunkTime> times;
        for (int i = 0; i < c.exchanges; ++i) {
            ring.Record(request, true);
            times.push_back({ring.mark.total, 1000 + 10 * i});
            ring.Record(reply, false);
            times.push_back({ring.mark.total, 1005 + 10 * i});
        }
        CTrafficFollower follower;
        follower.Follow(7, TrafficFraming::Tcp);
        follower.StartWithHistory(ring.mark);
        // The tap hands over the chunks that end after what was seen.
        std::vector<CTrafficTap::ChunkTime> fresh;
        for (const auto& t : times)
            if (t.end > follower.Seen()) fresh.push_back(t);
        follower.Poll(ring.mark, ring.Reader(), fresh);
        follower.Poll(ring.mark, ring.Reader(), {});
        const auto& lines = follower.Lines();
        ASSERT_EQ(lines.size(), c.lines);
        EXPECT_EQ(lines.front().received, c.firstReceived);
        EXPECT_EQ(lines.back().text, "TX 00 01 00 00 00 05 01 03 02 12 34");
        EXPECT_EQ(lines.back().timeMs, 1005 + 10 * (c.exchanges - 1));
        EXPECT_EQ(lines.back().decoded.text, "slave 1, Read Holding Registers, 2 bytes: 4660");
        EXPECT_EQ(lines[lines.size() - 2].timeMs, 1000 + 10 * (c.exchanges - 1));
        EXPECT_EQ(lines[lines.size() - 2].decoded.text, "slave 1, Read Holding Registers, address 0, count 1");
        for (const TrafficLine& line : lines) EXPECT_EQ(line.decoded.check, DecodedFrame::Check::Good) << line.text;
    }
}

// Writers on several threads (as Pellacor's link threads) and a reader that
// re-watches slots meanwhile: only atomics are touched (TSan checks).
TEST(TrafficTapTest, ConcurrentNotesAreCountedPerLink) {
    CTrafficTap& tap = CTrafficTap::Instance();
    tap.Watch(0, 101);
    tap.Watch(9, 8050);
    std::atomic<bool> go{false};
    std::vector<std::thread> writers;
    for (int32_t handle : {101, 8050, 555}) {
        writers.emplace_back([&, handle] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 10000; ++i) CTrafficTap::OnTraffic(handle, (i * 3) % 1024, 3);
        });
    }
    go = true;
    for (int i = 0; i < 1000; ++i) {
        (void)tap.Read(0);
        tap.Watch(5, i % 2 == 0 ? 777 : -1);
    }
    for (std::thread& t : writers) t.join();
    EXPECT_EQ(tap.Read(0).total, 30000u);
    EXPECT_EQ(tap.Read(9).total, 30000u);
    EXPECT_EQ(tap.Read(0).base, 0);
    // The newest chunks are dated, oldest first.
    const auto times = tap.Times(0, 0);
    ASSERT_EQ(times.size(), static_cast<size_t>(CTrafficTap::kChunkTimes));
    EXPECT_EQ(times.front().end, 30000u - 3 * (CTrafficTap::kChunkTimes - 1));
    EXPECT_EQ(times.back().end, 30000u);
    EXPECT_GT(times.back().ms, 1700000000000);
    EXPECT_EQ(tap.Times(0, 29997).size(), 1u);
    CTrafficTap::OnTraffic(101, 2000, 3); // a position outside the ring is ignored
    EXPECT_EQ(tap.Read(0).total, 30000u);
    tap.Watch(0, 102);
    EXPECT_EQ(tap.Read(0).total, 0u);
    EXPECT_EQ(tap.Read(0).base, -1);
    EXPECT_TRUE(tap.Times(0, 0).empty()) << "a new link starts without the old one's times";
    for (int i = 0; i < CTrafficTap::kSlots; ++i) tap.Watch(i, -1);
}

TEST(LogScrollTest, TopLineRules) {
    using R = CLogScroll::Request;
    struct Step {
        const char* what;
        int lines; // after the step
        bool added;
        R request;
        int position;
        int top;
    } steps[] = {
        {"empty log: scrolling does nothing", 0, false, R::PageDown, 0, 0},
        {"first line fits", 1, true, R::Other, 0, 0},
        {"five lines fit a page of five", 5, true, R::Other, 0, 0},
        {"the sixth scrolls by one", 6, true, R::Other, 0, 1},
        {"line up", 6, false, R::LineUp, 0, 0},
        {"line up at the top stays", 6, false, R::LineUp, 0, 0},
        {"page down", 6, false, R::PageDown, 0, 5},
        {"page down clamps to the last line", 6, false, R::PageDown, 0, 5},
        {"thumb released", 6, false, R::Position, 3, 3},
        {"thumb beyond the lines", 6, false, R::Position, 400, 5},
        {"dragging changes nothing", 6, false, R::Other, 0, 5},
        {"499 lines: newest at the bottom", 499, true, R::Other, 0, 494},
        {"line up", 499, false, R::LineUp, 0, 493},
        {"500 lines: the view stays", 500, true, R::Other, 0, 493},
    };
    CLogScroll scroll;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.added) scroll.LineAdded(s.lines, 5);
        else scroll.Scroll(s.request, s.lines, 5, s.position);
        EXPECT_EQ(scroll.Top(), s.top);
    }
}

} // namespace
} // namespace quorvane
