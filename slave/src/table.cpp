// The 250-entry data-block table and its exported operations.
//
// No locks: an entry becomes visible to lookups when its point type is stored
// (release), after every other field; removal clears the point type first.
// Each entry also carries a version that is odd while its fields are being
// rewritten, so that a lookup racing with a remove-and-redefine of the same
// entry never combines the range of one block with the memory of another.
#include "core.h"
#include "table.h"

#include <atomic>
#include <bit>
#include <cstring>

namespace pellacor {
namespace {

struct Entry {
    std::atomic<uint32_t> version{0};
    std::atomic<bool> claimed{false}; // taken by a define, until removed
    std::atomic<int32_t> active{0};
    std::atomic<uint8_t> slave{0};
    std::atomic<uint16_t> start{0};
    std::atomic<uint16_t> count{0};
    std::atomic<void*> data{nullptr};
    std::atomic<const PellacorWindow*> window{nullptr};
    std::atomic<int32_t> notifyEnabled{0};
    std::atomic<uint32_t> message{0};
    std::atomic<int32_t> pending{0};
};

// Point types apart from the entries: a lookup scans this compact array and
// touches an entry only when its type matches.
std::atomic<uint8_t> gType[kBlockCount];
Entry gEntry[kBlockCount];

std::atomic<PellacorWriteCallback> gWriteCallback{nullptr};
std::atomic<PellacorTrafficCallback> gTrafficCallback{nullptr};

struct Snapshot {
    uint8_t slave;
    uint16_t start;
    uint16_t count;
    void* data;
};

// Reads the fields of entry i, published with point type `type`. false when
// the entry changed while it was read (it is being removed or redefined).
bool TakeSnapshot(int i, uint8_t type, Snapshot& s) {
    const Entry& e = gEntry[i];
    const uint32_t v1 = e.version.load(std::memory_order_acquire);
    if (v1 & 1u) return false;
    // Acquire loads: if any of them sees a field of a later define, the odd
    // version that define stored first is visible to the check below.
    s.slave = e.slave.load(std::memory_order_acquire);
    s.start = e.start.load(std::memory_order_acquire);
    s.count = e.count.load(std::memory_order_acquire);
    s.data = e.data.load(std::memory_order_acquire);
    return e.version.load(std::memory_order_relaxed) == v1 && gType[i].load(std::memory_order_relaxed) == type;
}

// Block ranges do not wrap: a block starting at 65500 with 100 elements holds
// 65500 to 65535.
bool Holds(const Snapshot& s, uint16_t point) {
    return point >= s.start && static_cast<uint32_t>(point - s.start) < s.count;
}

bool ValidHandle(int32_t handle) { return handle >= 1 && handle <= kBlockCount; }

template <class T> T LoadAtomic(const void* p) {
    return std::atomic_ref<T>(*const_cast<T*>(static_cast<const T*>(p))).load(std::memory_order_relaxed);
}
template <class T> void StoreAtomic(void* p, T v) {
    std::atomic_ref<T>(*static_cast<T*>(p)).store(v, std::memory_order_relaxed);
}

// Host-order composition of a wide value from two narrower halves at p and p+n.
template <class Half, class Whole> Whole JoinHalves(Half first, Half second) {
    constexpr int bits = 8 * sizeof(Half);
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<Whole>(first) | static_cast<Whole>(static_cast<Whole>(second) << bits);
    else
        return static_cast<Whole>(static_cast<Whole>(first) << bits) | static_cast<Whole>(second);
}
template <class Half, class Whole> void SplitHalves(Whole v, Half& first, Half& second) {
    constexpr int bits = 8 * sizeof(Half);
    const Half low = static_cast<Half>(v), high = static_cast<Half>(v >> bits);
    if constexpr (std::endian::native == std::endian::little) {
        first = low;
        second = high;
    } else {
        first = high;
        second = low;
    }
}

bool Aligned(const void* p, size_t n) { return (reinterpret_cast<uintptr_t>(p) & (n - 1)) == 0; }

uint16_t Load16At(const uint8_t* p) {
    if (Aligned(p, 2)) return LoadAtomic<uint16_t>(p);
    return JoinHalves<uint8_t, uint16_t>(LoadAtomic<uint8_t>(p), LoadAtomic<uint8_t>(p + 1));
}
void Store16At(uint8_t* p, uint16_t v) {
    if (Aligned(p, 2)) return StoreAtomic<uint16_t>(p, v);
    uint8_t a, b;
    SplitHalves<uint8_t, uint16_t>(v, a, b);
    StoreAtomic<uint8_t>(p, a);
    StoreAtomic<uint8_t>(p + 1, b);
}

} // namespace

uint16_t LoadElement16(const void* data, size_t index) {
    return Load16At(static_cast<const uint8_t*>(data) + 2 * index);
}
uint32_t LoadElement32(const void* data, size_t index) {
    const uint8_t* p = static_cast<const uint8_t*>(data) + 4 * index;
    if (Aligned(p, 4)) return LoadAtomic<uint32_t>(p);
    return JoinHalves<uint16_t, uint32_t>(Load16At(p), Load16At(p + 2));
}
void StoreElement16(void* data, size_t index, uint16_t value) {
    Store16At(static_cast<uint8_t*>(data) + 2 * index, value);
}
void StoreElement32(void* data, size_t index, uint32_t value) {
    uint8_t* p = static_cast<uint8_t*>(data) + 4 * index;
    if (Aligned(p, 4)) return StoreAtomic<uint32_t>(p, value);
    uint16_t a, b;
    SplitHalves<uint16_t, uint32_t>(value, a, b);
    Store16At(p, a);
    Store16At(p + 2, b);
}

void PointReader::Collect() {
    candidates_ = 0;
    for (int i = 0; i < kBlockCount; ++i) {
        if (gType[i].load(std::memory_order_acquire) != type_) continue;
        Snapshot s;
        if (!TakeSnapshot(i, type_, s) || s.slave != slave_ || s.count == 0) continue;
        candidate_[candidates_++] = {s.start, s.count, s.data};
    }
}

const void* PointReader::Find(uint16_t point, size_t& index) {
    if (candidates_ < 0) Collect();
    if (current_ < 0 || point < lo_ || point > hi_) {
        current_ = -1;
        for (int k = 0; k < candidates_ && current_ < 0; ++k) {
            const Candidate& c = candidate_[k];
            if (point < c.start || static_cast<uint32_t>(point - c.start) >= c.count) continue;
            // Candidate k serves the following points until its end, or until
            // an earlier candidate (which wins) begins.
            current_ = k;
            lo_ = point;
            hi_ = static_cast<uint32_t>(c.start) + c.count - 1;
            for (int j = 0; j < k; ++j)
                if (candidate_[j].start > point && candidate_[j].start - 1u < hi_) hi_ = candidate_[j].start - 1u;
        }
        if (current_ < 0) return nullptr;
    }
    const Candidate& c = candidate_[current_];
    index = static_cast<size_t>(point - c.start);
    return c.data;
}

bool PointReader::Read16(uint16_t point, uint16_t& value) {
    size_t index = 0;
    const void* data = Find(point, index);
    if (!data) return false;
    value = LoadElement16(data, index);
    return true;
}

bool PointReader::Read32(uint16_t point, uint32_t& value) {
    size_t index = 0;
    const void* data = Find(point, index);
    if (!data) return false;
    value = LoadElement32(data, index);
    return true;
}

bool WritePoint(uint8_t slave, uint8_t type, uint16_t point, uint32_t value, bool wide) {
    bool matched = false;
    for (int i = 0; i < kBlockCount; ++i) {
        if (gType[i].load(std::memory_order_acquire) != type) continue;
        Snapshot s;
        if (!TakeSnapshot(i, type, s) || (slave != 0 && s.slave != slave) || !Holds(s, point)) continue;
        matched = true;
        const size_t index = static_cast<size_t>(point - s.start);
        if (wide)
            StoreElement32(s.data, index, value);
        else
            StoreElement16(s.data, index, static_cast<uint16_t>(value));
        Entry& e = gEntry[i];
        if (e.notifyEnabled.load(std::memory_order_acquire)) e.pending.store(1, std::memory_order_release);
        if (PellacorWriteCallback cb = gWriteCallback.load(std::memory_order_acquire))
            cb(slave, type, point, static_cast<int32_t>(value));
    }
    return matched;
}

void PostWriteNotifications() {
    for (int i = 0; i < kBlockCount; ++i) {
        Entry& e = gEntry[i];
        if (!e.notifyEnabled.load(std::memory_order_acquire)) continue;
        if (!e.pending.exchange(0, std::memory_order_acq_rel)) continue;
        const PellacorWindow* w = e.window.load(std::memory_order_acquire);
        if (w && w->post) w->post(w->context, e.message.load(std::memory_order_relaxed), 0, i + 1);
    }
}

bool SlaveAccepted(uint8_t slave, uint8_t function) {
    if (slave == 0) return function == 5 || function == 6 || function == 15 || function == 16;
    for (const Entry& e : gEntry)
        if (e.slave.load(std::memory_order_relaxed) == slave && e.active.load(std::memory_order_relaxed) != 0)
            return true;
    return false;
}

PellacorTrafficCallback TrafficCallback() { return gTrafficCallback.load(std::memory_order_acquire); }

} // namespace pellacor

using namespace pellacor;

extern "C" PELLACOR_API int32_t DefineDataBlock(uint8_t slave_id, uint8_t point_type, uint16_t start_address,
                                                uint16_t count, void* data) {
    for (int i = 0; i < kBlockCount; ++i) {
        Entry& e = gEntry[i];
        bool expected = false;
        if (e.claimed.load(std::memory_order_relaxed) ||
            !e.claimed.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
            continue;
        // Odd version while the fields change; even again before publishing.
        const uint32_t v = e.version.fetch_add(1, std::memory_order_relaxed) + 1;
        e.active.store(1, std::memory_order_relaxed);
        e.notifyEnabled.store(0, std::memory_order_relaxed);
        e.pending.store(0, std::memory_order_relaxed);
        e.slave.store(slave_id, std::memory_order_release);
        e.start.store(start_address, std::memory_order_release);
        e.count.store(count, std::memory_order_release);
        e.data.store(data, std::memory_order_release);
        e.version.store(v + 1, std::memory_order_release);
        if (point_type == 0)
            e.claimed.store(false, std::memory_order_release); // type 0 leaves the entry free
        else
            gType[i].store(point_type, std::memory_order_release);
        return i + 1;
    }
    return 0;
}

extern "C" PELLACOR_API int32_t RemoveDataBlock(int32_t handle) {
    if (!ValidHandle(handle)) return 0;
    const int i = handle - 1;
    // Only a published entry is freed: an entry whose define is still running
    // belongs to that define.
    if (gType[i].exchange(0, std::memory_order_acq_rel) != 0)
        gEntry[i].claimed.store(false, std::memory_order_release);
    return 1;
}

extern "C" PELLACOR_API int32_t ActivateSlaveId(uint8_t slave_id, int32_t active) {
    for (Entry& e : gEntry)
        if (e.slave.load(std::memory_order_relaxed) == slave_id) e.active.store(active, std::memory_order_relaxed);
    return 8000;
}

extern "C" PELLACOR_API int32_t EnableDoWriteNotification(const PellacorWindow* window, int32_t handle,
                                                          int32_t enable, uint32_t message) {
    if (!ValidHandle(handle)) return 0;
    Entry& e = gEntry[handle - 1];
    e.window.store(window, std::memory_order_release);
    if (enable) {
        e.message.store(message, std::memory_order_relaxed);
        e.pending.store(0, std::memory_order_relaxed);
    }
    e.notifyEnabled.store(enable, std::memory_order_release);
    return 1;
}

extern "C" PELLACOR_API int32_t EnableCallback(PellacorWriteCallback callback) {
    gWriteCallback.store(callback, std::memory_order_release);
    return 1;
}

extern "C" PELLACOR_API int32_t EnableBufferCallback(PellacorTrafficCallback callback) {
    gTrafficCallback.store(callback, std::memory_order_release);
    return 1;
}
