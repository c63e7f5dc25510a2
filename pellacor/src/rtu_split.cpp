// RTU frames found by their length and CRC; see rtu_split.h.
#include "rtu_split.h"

#include "core.h"

#include <algorithm>
#include <array>

namespace pellacor {
namespace {

bool CrcHolds(const uint8_t* data, size_t length) {
    return length > 2 && Crc16(data, length - 2) == static_cast<uint16_t>(data[length - 2] | data[length - 1] << 8);
}

// A length a frame may have: known, or waiting for the byte that gives it.
struct Candidate {
    size_t length = 0; // 0: not known until byte `needs` has arrived
    size_t needs = 0;
};

// The lengths a frame starting with `data` may have, at most two, shortest
// first once known. Where a count byte has not arrived yet, every fixed length
// beside it is longer than the count's position, so it is still pending too.
size_t Candidates(const uint8_t* data, size_t size, bool ours, std::array<Candidate, 2>& out) {
    const uint8_t function = data[1];
    auto counted = [&](size_t at, size_t base) {
        return size > at ? Candidate{base + data[at], 0} : Candidate{0, at};
    };
    size_t n = 0;
    const bool read = function >= 1 && function <= 4;
    const bool fixed = read || function == 5 || function == 6 || function == 8;
    const bool multiple = function == 15 || function == 16;
    if (ours) {
        if (fixed) out[n++] = Candidate{8, 0};
        if (multiple) out[n++] = counted(6, 9);
        return n;
    }
    if ((function & 0x80) != 0) {
        out[n++] = Candidate{5, 0}; // exception reply
        return n;
    }
    if (fixed || multiple) out[n++] = Candidate{8, 0};
    if (read) out[n++] = counted(2, 5);
    if (multiple) out[n++] = counted(6, 9);
    if (n == 2 && out[0].length != 0 && out[1].length != 0 && out[1].length < out[0].length)
        std::swap(out[0], out[1]);
    return n;
}

} // namespace

RtuCut RtuFrameAtStart(const uint8_t* data, size_t size, bool ours) {
    if (data == nullptr || size < 2) return {RtuCut::Kind::NeedMore, 0};
    std::array<Candidate, 2> candidates;
    const size_t count = Candidates(data, size, ours, candidates);
    bool pending = false;
    for (size_t i = 0; i < count; ++i) {
        const Candidate& c = candidates[i];
        if (c.length == 0 || c.length > size) {
            pending = true;
            continue;
        }
        if (CrcHolds(data, c.length)) return {RtuCut::Kind::Frame, c.length};
    }
    return {pending ? RtuCut::Kind::NeedMore : RtuCut::Kind::Unknown, 0};
}

std::vector<RtuPiece> SplitRtuBuffer(const uint8_t* data, size_t size, bool (*ours)(uint8_t slave)) {
    std::vector<RtuPiece> pieces;
    if (data == nullptr) return pieces;
    size_t at = 0;
    while (at < size) {
        const uint8_t* p = data + at;
        const size_t rest = size - at;
        size_t length = 0;
        if (!CrcHolds(p, rest)) {
            const RtuCut cut = RtuFrameAtStart(p, rest, rest > 0 && ours != nullptr && ours(p[0]));
            if (cut.kind == RtuCut::Kind::Frame && cut.length < rest) length = cut.length;
            // Else any prefix whose CRC holds; `crc` covers p[0, end - 2).
            uint16_t crc = rest > 4 ? Crc16(p, 2) : 0;
            for (size_t end = 4; length == 0 && end < rest; ++end) {
                if (crc == static_cast<uint16_t>(p[end - 2] | p[end - 1] << 8)) length = end;
                crc = Crc16(p + end - 2, 1, crc);
            }
        }
        if (length == 0) length = rest;
        pieces.push_back({at, length});
        at += length;
    }
    return pieces;
}

std::chrono::nanoseconds RtuInterFrameSilence(uint32_t baudRate) {
    if (baudRate == 0 || baudRate > 19200) return std::chrono::microseconds(1750);
    // 3.5 characters of 11 bits are 38.5 bit times; rounded up to a nanosecond.
    constexpr uint64_t kBitTimesNs = 38'500'000'000ull; // at one bit per second
    return std::chrono::nanoseconds((kBitTimesNs + baudRate - 1) / baudRate);
}

} // namespace pellacor
