// What the Modbus traffic window shows, without widgets: where each open
// link's traffic ring was last written, and the ring's bytes cut into one
// line per frame.
//
// Pellacor calls the traffic callback on the thread that handled a frame (the
// TCP service thread, a port's reader thread), in the middle of answering a
// master. The tap therefore only adds to two atomics per link and returns;
// the follower reads the ring later, on the user-interface thread, at its own
// pace. A follower that falls behind by more than the ring's 1024 entries
// skips the overwritten bytes and says how many. The tap also notes when each
// chunk came, so a line carries the time of its first byte.
#pragma once

#include "model/modbus_frame.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace quorvane {

class CTrafficTap {
public:
    static constexpr int kSlots = 10; // COM1 to COM9 and Modbus/TCP
    static constexpr int kRingEntries = 1024;

    struct Mark {
        uint64_t total = 0; // bytes recorded since the slot was watched
        int32_t base = -1;  // ring position of the first of them; -1 before any
    };
    // A chunk's end (as a count of the slot's bytes) and the wall-clock time
    // it was recorded at, in milliseconds since 1970. Every chunk holds a
    // byte at least, so the last 1024 cover whatever the ring still holds.
    struct ChunkTime {
        uint64_t end = 0;
        int64_t ms = 0;
    };
    static constexpr int kChunkTimes = kRingEntries;

    // The one tap Pellacor's callback writes to (the callback has no context).
    static CTrafficTap& Instance();

    // User-interface thread: slot `index` follows the link `handle` (-1: none);
    // a new handle starts from zero.
    void Watch(int index, int32_t handle);
    int32_t Watched(int index) const { return slots_.at(static_cast<size_t>(index)).handle.load(); }
    Mark Read(int index) const;
    // The noted chunks of slot `index` that end after byte `after`, oldest
    // first.
    std::vector<ChunkTime> Times(int index, uint64_t after) const;

    // Registers OnTraffic with Pellacor, or removes it. The program registers
    // it for as long as its traffic window exists, open or not, so the window
    // shows what passed while it was closed.
    static void Enable(bool on);
    // The traffic callback: finds the link's slot and notes the chunk's end.
    static int32_t OnTraffic(int32_t handle, int32_t position, int32_t length);
    void Note(int32_t handle, int32_t position, int32_t length);

private:
    struct Stamp {
        std::atomic<uint64_t> end{0};
        std::atomic<int64_t> ms{0};
    };
    struct Slot {
        std::atomic<int32_t> handle{-1};
        std::atomic<int32_t> base{-1};
        std::atomic<uint64_t> total{0};
        std::atomic<uint64_t> chunks{0};
        std::array<Stamp, kChunkTimes> stamps;
    };
    std::array<Slot, kSlots> slots_;
};

using TrafficFraming = ModbusFraming;

struct TrafficLine {
    bool received = false;
    std::string text; // "RX 01 03 00 00 00 0A" or "TX ..."; "-- 37 bytes not shown --"
    bool gap = false;
    int64_t timeMs = 0;    // when its first byte was recorded; 0 where unknown
    std::string bytes;     // the frame as it went over the link
    DecodedFrame decoded;  // not for a gap
};

// Cuts one link's traffic into lines: a line ends where the direction
// changes, where a Modbus/TCP frame's MBAP length is reached, after an ASCII
// line feed, after 260 bytes, and when a poll finds no new bytes after it (a
// quiet line, as an RTU frame ends). Keeps at most `maxLines` finished lines.
class CTrafficFollower {
public:
    // Copies `count` ring entries from `start` (wrapping) into `dest`;
    // answers how many it copied (ReadDebugData's contract).
    using RingReader = std::function<int32_t(int32_t handle, uint16_t* dest, int32_t start, int32_t count)>;

    explicit CTrafficFollower(size_t maxLines = 1000) : maxLines_(maxLines) {}

    // Starts over on another link; what was shown is dropped.
    void Follow(int32_t handle, TrafficFraming framing);
    int32_t Handle() const { return handle_; }

    // Reads what the ring gained since the last poll. Returns the lines
    // finished by this poll (also kept in Lines()). `times` (the tap's chunks
    // ending after Seen(), oldest first) dates the lines.
    std::deque<TrafficLine> Poll(const CTrafficTap::Mark& mark, const RingReader& read,
                                 std::span<const CTrafficTap::ChunkTime> times = {});

    // Passes over everything recorded up to `mark` without showing it.
    void SkipTo(const CTrafficTap::Mark& mark) { seen_ = mark.total; }
    // Starts with what the ring still holds of the traffic up to `mark`. Where
    // older bytes were overwritten, the first frame is likely cut: the bytes
    // up to the first change of direction are passed over.
    void StartWithHistory(const CTrafficTap::Mark& mark);

    const std::deque<TrafficLine>& Lines() const { return lines_; }
    void ForgetLines() { lines_.clear(); }
    uint64_t Seen() const { return seen_; }

private:
    void Feed(uint16_t entry, int64_t ms, std::deque<TrafficLine>& finished);
    void Finish(std::deque<TrafficLine>& finished);
    void Keep(TrafficLine line, std::deque<TrafficLine>& finished);

    size_t maxLines_;
    int32_t handle_ = -1;
    TrafficFraming framing_ = TrafficFraming::Tcp;
    uint64_t seen_ = 0;
    std::deque<TrafficLine> lines_;
    // The line being collected.
    bool open_ = false;
    bool openReceived_ = false;
    int64_t openMs_ = 0;
    std::string openBytes_;
    // Passing over a cut frame: the direction it was in; none once done.
    int resyncDirection_ = -1;
    bool resync_ = false;
};

// "RX" or "TX", a blank, then the bytes as two upper-case hex digits each,
// separated by blanks.
std::string FormatTrafficLine(bool received, const std::string& bytes);

// "14:03:07.250", the local time of day to the millisecond; "" for 0.
std::string FormatTrafficTime(int64_t ms);
// A line as the traffic window saves it: time, direction and bytes, and what
// the frame means, separated by two blanks; a gap line as it reads.
std::string TrafficLineText(const TrafficLine& line);

} // namespace quorvane
