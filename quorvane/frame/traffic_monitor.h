// What the Modbus traffic window shows, without widgets: where each open
// link's traffic ring was last written, and the ring's bytes cut into one
// line per frame.
//
// Pellacor calls the traffic callback on the thread that handled a frame (the
// TCP service thread, a port's reader thread), in the middle of answering a
// master. The tap therefore only adds to two atomics per link and returns;
// the follower reads the ring later, on the user-interface thread, at its own
// pace. A follower that falls behind by more than the ring's 1024 entries
// skips the overwritten bytes and says how many.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace quorvane {

class CTrafficTap {
public:
    static constexpr int kSlots = 10; // COM1 to COM9 and Modbus/TCP
    static constexpr int kRingEntries = 1024;

    struct Mark {
        uint64_t total = 0; // bytes recorded since the slot was watched
        int32_t base = -1;  // ring position of the first of them; -1 before any
    };

    // The one tap Pellacor's callback writes to (the callback has no context).
    static CTrafficTap& Instance();

    // User-interface thread: slot `index` follows the link `handle` (-1: none);
    // a new handle starts from zero.
    void Watch(int index, int32_t handle);
    int32_t Watched(int index) const { return slots_.at(static_cast<size_t>(index)).handle.load(); }
    Mark Read(int index) const;

    // Registers OnTraffic with Pellacor, or removes it: a closed window costs
    // the links nothing.
    static void Enable(bool on);
    // The traffic callback: finds the link's slot and notes the chunk's end.
    static int32_t OnTraffic(int32_t handle, int32_t position, int32_t length);
    void Note(int32_t handle, int32_t position, int32_t length);

private:
    struct Slot {
        std::atomic<int32_t> handle{-1};
        std::atomic<int32_t> base{-1};
        std::atomic<uint64_t> total{0};
    };
    std::array<Slot, kSlots> slots_;
};

enum class TrafficFraming : uint8_t { Rtu, Ascii, Tcp };

struct TrafficLine {
    bool received = false;
    std::string text; // "RX 01 03 00 00 00 0A" or "TX ..."; "-- 37 bytes not shown --"
    bool gap = false;
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
    // finished by this poll (also kept in Lines()).
    std::deque<TrafficLine> Poll(const CTrafficTap::Mark& mark, const RingReader& read);

    // Passes over everything recorded up to `mark` without showing it.
    void SkipTo(const CTrafficTap::Mark& mark) { seen_ = mark.total; }

    const std::deque<TrafficLine>& Lines() const { return lines_; }
    uint64_t Seen() const { return seen_; }

private:
    void Feed(uint16_t entry, std::deque<TrafficLine>& finished);
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
    std::string openBytes_;
};

// "RX" or "TX", a blank, then the bytes as two upper-case hex digits each,
// separated by blanks.
std::string FormatTrafficLine(bool received, const std::string& bytes);

} // namespace quorvane
