#include "frame/traffic_monitor.h"

#include "pellacor.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace quorvane {

CTrafficTap& CTrafficTap::Instance() {
    static CTrafficTap tap;
    return tap;
}

void CTrafficTap::Watch(int index, int32_t handle) {
    Slot& slot = slots_.at(static_cast<size_t>(index));
    if (slot.handle.load() == handle) return;
    // Unmatched first, so a callback for the old link stops counting here.
    slot.handle.store(-1);
    slot.total.store(0);
    slot.base.store(-1);
    for (Stamp& stamp : slot.stamps) stamp.end.store(0, std::memory_order_relaxed);
    slot.handle.store(handle);
}

CTrafficTap::Mark CTrafficTap::Read(int index) const {
    const Slot& slot = slots_.at(static_cast<size_t>(index));
    Mark mark;
    mark.total = slot.total.load(std::memory_order_acquire);
    mark.base = slot.base.load(std::memory_order_acquire);
    return mark;
}

std::vector<CTrafficTap::ChunkTime> CTrafficTap::Times(int index, uint64_t after) const {
    const Slot& slot = slots_.at(static_cast<size_t>(index));
    std::vector<ChunkTime> times;
    for (const Stamp& stamp : slot.stamps) {
        const uint64_t end = stamp.end.load(std::memory_order_acquire);
        if (end > after) times.push_back(ChunkTime{end, stamp.ms.load(std::memory_order_relaxed)});
    }
    // Two links' threads may note one slot's chunks in either order (an RTU
    // link's reader and its window): sorted by end, not by slot.
    std::sort(times.begin(), times.end(), [](const ChunkTime& a, const ChunkTime& b) { return a.end < b.end; });
    return times;
}

void CTrafficTap::Enable(bool on) { EnableBufferCallback(on ? &CTrafficTap::OnTraffic : nullptr); }

int32_t CTrafficTap::OnTraffic(int32_t handle, int32_t position, int32_t length) {
    Instance().Note(handle, position, length);
    return 0;
}

void CTrafficTap::Note(int32_t handle, int32_t position, int32_t length) {
    if (handle == -1 || length <= 0 || position < 0 || position >= kRingEntries) return;
    for (Slot& slot : slots_) {
        if (slot.handle.load(std::memory_order_relaxed) != handle) continue;
        int32_t unset = -1;
        slot.base.compare_exchange_strong(unset, position, std::memory_order_release, std::memory_order_relaxed);
        const uint64_t end = slot.total.fetch_add(static_cast<uint64_t>(length), std::memory_order_release) +
                             static_cast<uint64_t>(length);
        // The wall clock, read through the vDSO: a few tens of nanoseconds.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        Stamp& stamp = slot.stamps[slot.chunks.fetch_add(1, std::memory_order_relaxed) % kChunkTimes];
        stamp.ms.store(static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000, std::memory_order_relaxed);
        stamp.end.store(end, std::memory_order_release);
        return;
    }
}

void CTrafficFollower::Follow(int32_t handle, TrafficFraming framing) {
    handle_ = handle;
    framing_ = framing;
    seen_ = 0;
    lines_.clear();
    open_ = false;
    openBytes_.clear();
    resync_ = false;
    resyncDirection_ = -1;
}

void CTrafficFollower::StartWithHistory(const CTrafficTap::Mark& mark) {
    constexpr uint64_t kReadable = CTrafficTap::kRingEntries - 64; // as Poll reads
    seen_ = mark.total > kReadable ? mark.total - kReadable : 0;
    resync_ = seen_ > 0;
    resyncDirection_ = -1;
}

std::deque<TrafficLine> CTrafficFollower::Poll(const CTrafficTap::Mark& mark, const RingReader& read,
                                               std::span<const CTrafficTap::ChunkTime> times) {
    std::deque<TrafficLine> finished;
    if (handle_ == -1 || mark.base < 0) return finished;
    if (mark.total < seen_) seen_ = 0; // the tap started the link over
    uint64_t fresh = mark.total - seen_;
    if (fresh == 0) {
        Finish(finished); // a quiet link: the open frame is complete
        return finished;
    }
    constexpr uint64_t kRing = CTrafficTap::kRingEntries;
    // Only the newest ring's worth can still be read; keep a margin for the
    // writer that is already filling the entries ahead of the mark.
    constexpr uint64_t kReadable = kRing - 64;
    if (fresh > kReadable) {
        Finish(finished);
        const uint64_t skipped = fresh - kReadable;
        TrafficLine gap;
        gap.text = "-- " + std::to_string(skipped) + " bytes not shown --";
        gap.gap = true;
        Keep(std::move(gap), finished);
        seen_ += skipped;
        fresh = kReadable;
    }
    const int32_t start = static_cast<int32_t>((static_cast<uint64_t>(mark.base) + seen_) % kRing);
    std::vector<uint16_t> entries(static_cast<size_t>(fresh));
    const int32_t got = read(handle_, entries.data(), start, static_cast<int32_t>(fresh));
    const uint64_t first = seen_;
    seen_ += fresh;
    if (got != static_cast<int32_t>(fresh)) return finished; // the link closed meanwhile
    // Each byte takes the time of the chunk it came in: the first chunk
    // ending after it.
    auto chunk = times.begin();
    for (uint64_t i = 0; i < fresh; ++i) {
        while (chunk != times.end() && chunk->end <= first + i) ++chunk;
        Feed(entries[static_cast<size_t>(i)], chunk != times.end() ? chunk->ms : 0, finished);
    }
    return finished;
}

void CTrafficFollower::Feed(uint16_t entry, int64_t ms, std::deque<TrafficLine>& finished) {
    const bool received = (entry >> 8) != 0;
    const char byte = static_cast<char>(entry & 0xFF);
    if (resync_) {
        if (resyncDirection_ == -1) resyncDirection_ = received ? 1 : 0;
        if ((received ? 1 : 0) == resyncDirection_) return;
        resync_ = false;
    }
    if (open_ && received != openReceived_) Finish(finished);
    if (!open_) {
        open_ = true;
        openReceived_ = received;
        openMs_ = ms;
        openBytes_.clear();
    }
    openBytes_.push_back(byte);
    const size_t n = openBytes_.size();
    bool complete = n >= 260;
    if (framing_ == TrafficFraming::Tcp && n >= 6) {
        // MBAP: the length field counts the bytes after itself.
        const size_t length = (static_cast<size_t>(static_cast<uint8_t>(openBytes_[4])) << 8) |
                              static_cast<uint8_t>(openBytes_[5]);
        complete = complete || n >= 6 + length;
    } else if (framing_ == TrafficFraming::Ascii) {
        complete = complete || byte == '\n';
    }
    if (complete) Finish(finished);
}

void CTrafficFollower::Finish(std::deque<TrafficLine>& finished) {
    if (!open_) return;
    open_ = false;
    TrafficLine line;
    line.received = openReceived_;
    line.text = FormatTrafficLine(openReceived_, openBytes_);
    line.timeMs = openMs_;
    line.bytes = openBytes_;
    line.decoded = DecodeModbusFrame(
        framing_, openReceived_,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(openBytes_.data()), openBytes_.size()));
    Keep(std::move(line), finished);
    openBytes_.clear();
}

void CTrafficFollower::Keep(TrafficLine line, std::deque<TrafficLine>& finished) {
    lines_.push_back(line);
    while (lines_.size() > maxLines_) lines_.pop_front();
    finished.push_back(std::move(line));
    while (finished.size() > maxLines_) finished.pop_front();
}

std::string FormatTrafficLine(bool received, const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = received ? "RX" : "TX";
    text.reserve(2 + bytes.size() * 3);
    for (char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        text += ' ';
        text += kHex[b >> 4];
        text += kHex[b & 0x0F];
    }
    return text;
}

std::string FormatTrafficTime(int64_t ms) {
    if (ms <= 0) return {};
    const auto seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return {};
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

std::string TrafficLineText(const TrafficLine& line) {
    if (line.gap) return line.text;
    std::string time = FormatTrafficTime(line.timeMs);
    if (time.empty()) time = "--:--:--.---";
    return time + "  " + (line.received ? "RX  " : "TX  ") + line.text.substr(3) + "  " + line.decoded.text;
}

} // namespace quorvane
