// The 250-entry data-block table and its exported operations.
//
// No locks: an entry becomes visible to lookups when its point type is stored
// (release), after every other field; removal clears the point type first.
// Each entry also carries a version that is odd while its fields are being
// rewritten, so that a lookup racing with a remove-and-redefine of the same
// entry never combines the range of one block with the memory of another.
//
// Two more per-entry counters govern the block memory itself:
//  - in flight: raised (and the entry re-checked) by a request before it reads
//    or writes the block's memory, lowered when it is done; RemoveDataBlock
//    clears the point type and then waits for it to drain, so the application
//    may free the memory as soon as RemoveDataBlock returns. A request holds
//    no entry while it calls out to the application, so a remove made from a
//    callback never waits for its own request.
//  - update sequence: even while nobody updates the memory, odd during an
//    update (a master's write, the application's StoreDataBlockWords, or a
//    reader holding updates off), two steps further afterwards. A read request
//    notes the sequence of each entry it reads from and reads the range again
//    when one moved, so words stored in one update are never returned mixed.
#include "core.h"
#include "table.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>

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
    std::atomic<uint32_t> inFlight{0};
    std::atomic<uint32_t> sequence{0};
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
    return std::atomic_ref<T>(*const_cast<T*>(static_cast<const T*>(p))).load(std::memory_order_acquire);
}
template <class T> void StoreAtomic(void* p, T v) {
    std::atomic_ref<T>(*static_cast<T*>(p)).store(v, std::memory_order_release);
}

// Spins, yielding after a while: every wait here is for a few word accesses
// of another thread.
template <class F> void SpinUntil(F done) {
    for (int spins = 0; !done(); ++spins)
        if (spins >= 64) std::this_thread::yield();
}

// Raises entry i's in-flight count if it is still published with `type` and
// still describes what an earlier snapshot saw (a redefinition over the same
// memory and range is as good). The sequentially consistent pair of the count
// and the point type meets RemoveDataBlock's pair: either the remove sees the
// count, or this sees the cleared point type.
bool HoldEntry(int i, uint8_t type, const Snapshot& seen) {
    Entry& e = gEntry[i];
    e.inFlight.fetch_add(1, std::memory_order_seq_cst);
    Snapshot now;
    if (gType[i].load(std::memory_order_seq_cst) == type && TakeSnapshot(i, type, now) &&
        now.slave == seen.slave && now.start == seen.start && now.count == seen.count &&
        now.data == seen.data)
        return true;
    e.inFlight.fetch_sub(1, std::memory_order_release);
    return false;
}
void ReleaseEntry(int i) { gEntry[i].inFlight.fetch_sub(1, std::memory_order_release); }

// Makes the update sequence odd (waiting while another update runs) and even
// again two steps further.
void BeginUpdate(Entry& e) {
    SpinUntil([&] {
        uint32_t s = e.sequence.load(std::memory_order_relaxed);
        return (s & 1u) == 0 && e.sequence.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                                 std::memory_order_relaxed);
    });
}
void EndUpdate(Entry& e) { e.sequence.fetch_add(1, std::memory_order_release); }

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

PointReader::~PointReader() {
    if (holding_) ReleaseUpdates();
    for (int k = 0; k < heldCount_; ++k) ReleaseEntry(candidate_[held_[k].candidate].entry);
}

void PointReader::Collect() {
    candidates_ = 0;
    for (int i = 0; i < kBlockCount; ++i) {
        if (gType[i].load(std::memory_order_acquire) != type_) continue;
        Snapshot s;
        if (!TakeSnapshot(i, type_, s) || s.slave != slave_ || s.count == 0) continue;
        candidate_[candidates_++] = {s.data, s.start, s.count, static_cast<uint8_t>(i), false};
    }
}

bool PointReader::Hold(Candidate& c) {
    if (!HoldEntry(c.entry, type_, Snapshot{slave_, c.start, c.count, const_cast<void*>(c.data)})) {
        c.count = 0; // removed since the snapshot: holds nothing any more
        return false;
    }
    c.held = true;
    Entry& e = gEntry[c.entry];
    if (holding_) BeginUpdate(e);
    held_[heldCount_++] = {static_cast<uint8_t>(&c - candidate_), e.sequence.load(std::memory_order_acquire)};
    return true;
}

const void* PointReader::Find(uint16_t point, size_t& index) {
    if ((current_ < 0 || point < lo_ || point > hi_) && !Seek(point)) return nullptr;
    const Candidate& c = candidate_[current_];
    index = static_cast<size_t>(point - c.start);
    return c.data;
}

// Out of line: Find's common case, the next point of the same candidate,
// stays small enough to be inlined into the element reads.
bool PointReader::Seek(uint16_t point) {
    if (candidates_ < 0) Collect();
    current_ = -1;
    // One pass: the first candidate holding the point serves it and the
    // following points until its end, or until an earlier candidate (which
    // wins) begins.
    uint32_t cap = 0xFFFF;
    for (int k = 0; k < candidates_; ++k) {
        Candidate& c = candidate_[k];
        if (point < c.start || static_cast<uint32_t>(point - c.start) >= c.count) {
            if (c.start > point && c.start - 1u < cap) cap = c.start - 1u;
            continue;
        }
        if (!c.held && !Hold(c)) continue;
        current_ = k;
        lo_ = point;
        hi_ = std::min<uint32_t>(static_cast<uint32_t>(c.start) + c.count - 1, cap);
        return true;
    }
    return false;
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

bool PointReader::Unchanged() const {
    // Relaxed is enough: the element loads before it are acquire, so a load
    // that saw a word of an update orders this after the update's odd step.
    for (int k = 0; k < heldCount_; ++k) {
        const Held& h = held_[k];
        if ((h.sequence & 1u) ||
            gEntry[candidate_[h.candidate].entry].sequence.load(std::memory_order_relaxed) != h.sequence)
            return false;
    }
    return true;
}

void PointReader::Restart() {
    current_ = -1;
    for (int k = 0; k < heldCount_; ++k) {
        const Entry& e = gEntry[candidate_[held_[k].candidate].entry];
        held_[k].sequence = e.sequence.load(std::memory_order_acquire);
    }
}

void PointReader::HoldUpdates() {
    Restart();
    std::sort(held_, held_ + heldCount_, [this](const Held& a, const Held& b) {
        return candidate_[a.candidate].entry < candidate_[b.candidate].entry;
    });
    for (int k = 0; k < heldCount_; ++k) BeginUpdate(gEntry[candidate_[held_[k].candidate].entry]);
    holding_ = true;
}

void PointReader::ReleaseUpdates() {
    for (int k = 0; k < heldCount_; ++k) EndUpdate(gEntry[candidate_[held_[k].candidate].entry]);
    holding_ = false;
}

bool WritePoint(uint8_t slave, uint8_t type, uint16_t point, uint32_t value, bool wide) {
    bool matched = false;
    for (int i = 0; i < kBlockCount; ++i) {
        if (gType[i].load(std::memory_order_acquire) != type) continue;
        Snapshot s;
        if (!TakeSnapshot(i, type, s) || (slave != 0 && s.slave != slave) || !Holds(s, point)) continue;
        if (!HoldEntry(i, type, s)) continue; // removed meanwhile
        matched = true;
        const size_t index = static_cast<size_t>(point - s.start);
        Entry& e = gEntry[i];
        BeginUpdate(e);
        if (wide)
            StoreElement32(s.data, index, value);
        else
            StoreElement16(s.data, index, static_cast<uint16_t>(value));
        EndUpdate(e);
        ReleaseEntry(i); // before the call-out, which may remove the block
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
    Entry& e = gEntry[i];
    // Only a published entry is freed: an entry whose define is still running
    // belongs to that define. Every request that still uses the block's
    // memory drains before the entry is freed and the call returns.
    const bool published = gType[i].exchange(0, std::memory_order_seq_cst) != 0;
    SpinUntil([&] { return e.inFlight.load(std::memory_order_seq_cst) == 0; });
    if (published) e.claimed.store(false, std::memory_order_release);
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

extern "C" PELLACOR_API int32_t StoreDataBlockWords(const PellacorWordStore* stores, int32_t count) {
    if (count <= 0) return 1;
    if (!stores) return 0;
    // The entries involved, each once, in table order: readers that hold
    // updates off take them in that order too. Usually one or two.
    uint8_t entries[kBlockCount];
    int n = 0;
    for (int32_t k = 0; k < count; ++k) {
        if (!ValidHandle(stores[k].handle)) return 0;
        const auto i = static_cast<uint8_t>(stores[k].handle - 1);
        int at = n;
        while (at > 0 && entries[at - 1] > i) --at;
        if (at > 0 && entries[at - 1] == i) continue;
        std::memmove(entries + at + 1, entries + at, static_cast<size_t>(n - at));
        entries[at] = i;
        ++n;
    }
    for (int k = 0; k < n; ++k) BeginUpdate(gEntry[entries[k]]);
    for (int32_t k = 0; k < count; ++k)
        Store16At(reinterpret_cast<uint8_t*>(stores[k].target), stores[k].value);
    for (int k = 0; k < n; ++k) EndUpdate(gEntry[entries[k]]);
    return 1;
}
