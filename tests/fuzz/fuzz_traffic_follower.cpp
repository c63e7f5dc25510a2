// Whatever masters send and however it is cut into chunks, the traffic
// follower's lines stay within their cap and their frame size, carry every
// byte it read exactly once (or count it as not shown), and never read
// outside the ring.
//
// Input: byte 0 picks the framing; then records of (length, direction) and
// that many bytes, each recorded into a 1024-entry ring; a length of 0 polls.
#include "frame/traffic_monitor.h"

#include <array>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvane;
    if (size < 1) return 0;
    std::array<uint16_t, CTrafficTap::kRingEntries> ring{};
    uint32_t position = 0;
    CTrafficTap::Mark mark;
    CTrafficFollower follower(1000); // above what one poll can finish: none dropped
    follower.Follow(1, static_cast<TrafficFraming>(data[0] % 3));
    uint64_t shownBytes = 0;
    uint64_t skipped = 0;
    const auto reader = [&](int32_t, uint16_t* dest, int32_t start, int32_t count) {
        if (start < 0 || start >= CTrafficTap::kRingEntries || count > CTrafficTap::kRingEntries) std::abort();
        for (int32_t i = 0; i < count; ++i) dest[i] = ring[static_cast<size_t>((start + i) % 1024)];
        return count;
    };
    const auto poll = [&] {
        for (const TrafficLine& line : follower.Poll(mark, reader)) {
            if (line.gap) {
                skipped += std::stoull(line.text.substr(3));
                continue;
            }
            if (line.text.size() < 5 || (line.text.size() - 2) % 3 != 0 || (line.text.size() - 2) / 3 > 260)
                std::abort();
            if (line.text.compare(0, 2, line.received ? "RX" : "TX") != 0) std::abort();
            shownBytes += (line.text.size() - 2) / 3;
        }
        if (follower.Lines().size() > 1000) std::abort();
    };
    size_t i = 1;
    while (i + 2 <= size) {
        const size_t length = data[i];
        const bool received = (data[i + 1] & 1) != 0;
        i += 2;
        if (length == 0) {
            poll();
            continue;
        }
        if (mark.base < 0) mark.base = static_cast<int32_t>(position);
        for (size_t k = 0; k < length; ++k) {
            const uint8_t byte = i < size ? data[i++] : 0;
            ring[position] = static_cast<uint16_t>((received ? 0x100 : 0) | byte);
            position = (position + 1) % CTrafficTap::kRingEntries;
        }
        mark.total += length;
    }
    poll();
    poll(); // a quiet poll ends the open line
    if (shownBytes + skipped != mark.total) std::abort();
    return 0;
}
