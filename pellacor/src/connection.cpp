// Connection records, their traffic rings, and the exported status calls.
#include "core.h"
#include "table.h"

#include <new>

namespace pellacor {
namespace {

Connection gConnection[kSerialPorts + 1];

// Ring storage of the records lives as long as the library: ReleaseRing only
// unpublishes it, so a transport thread still recording while its connection
// closes writes into memory that stays valid.
std::atomic<uint16_t> gRingStorage[kSerialPorts + 1][kRingEntries];

std::atomic<uint16_t>* OwnStorage(const Connection& c) {
    for (int i = 0; i <= kSerialPorts; ++i)
        if (&c == &gConnection[i]) return gRingStorage[i];
    return nullptr;
}

} // namespace

Connection& ConnectionAt(int index) { return gConnection[index]; }

Connection* FindConnection(int32_t handle) {
    if (handle == PELLACOR_TCP_HANDLE) return &gConnection[kTcpIndex];
    if (handle == -1) return nullptr;
    for (int i = 0; i < kSerialPorts; ++i)
        if (gConnection[i].handle.load(std::memory_order_acquire) == handle) return &gConnection[i];
    return nullptr;
}

void AllocateRing(Connection& c) {
    std::atomic<uint16_t>* storage = OwnStorage(c);
    if (!storage) {
        // A record outside the library's table (tests): heap storage.
        if (c.ring.load(std::memory_order_acquire)) return;
        storage = new (std::nothrow) std::atomic<uint16_t>[kRingEntries];
        if (!storage) return;
    }
    for (int i = 0; i < kRingEntries; ++i) storage[i].store(0, std::memory_order_relaxed);
    c.ring.store(storage, std::memory_order_release);
}

void ReleaseRing(Connection& c) {
    std::atomic<uint16_t>* ring = c.ring.exchange(nullptr, std::memory_order_acq_rel);
    if (ring && ring != OwnStorage(c)) delete[] ring;
}

void RecordTraffic(Connection& c, const uint8_t* data, size_t length, bool received) {
    std::atomic<uint16_t>* ring = c.ring.load(std::memory_order_acquire);
    if (!ring || length == 0 || !data) return;
    // Reserve the chunk's positions, so that a reader thread and a sending
    // thread recording at the same time never interleave inside a chunk.
    const uint32_t advance = static_cast<uint32_t>(length % kRingEntries);
    uint32_t start = c.ringPos.load(std::memory_order_relaxed);
    uint32_t next;
    do {
        start %= kRingEntries;
        next = (start + advance) % kRingEntries;
    } while (!c.ringPos.compare_exchange_weak(start, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    const uint16_t tag = received ? 0x100 : 0;
    for (size_t i = 0; i < length; ++i)
        ring[(start + i) % kRingEntries].store(static_cast<uint16_t>(tag | data[i]), std::memory_order_relaxed);
    if (PellacorTrafficCallback cb = TrafficCallback())
        cb(c.handle.load(std::memory_order_relaxed), static_cast<int32_t>(start), static_cast<int32_t>(length));
}

} // namespace pellacor

using namespace pellacor;

extern "C" PELLACOR_API uint16_t SlaveStatus(int32_t handle, uint32_t* good_frames, uint32_t* bad_frames,
                                            int32_t reset) {
    Connection* c = FindConnection(handle);
    if (!c) return 256;
    // Exchange when resetting, so that a frame counted meanwhile is either
    // reported now or kept for the next call, never lost.
    const uint32_t good = reset ? c->goodFrames.exchange(0) : c->goodFrames.load();
    const uint32_t bad = reset ? c->badFrames.exchange(0) : c->badFrames.load();
    if (good_frames) *good_frames = good;
    if (bad_frames) *bad_frames = bad;
    return 0;
}

extern "C" PELLACOR_API uint32_t SkippedFrames(int32_t handle, int32_t reset) {
    Connection* c = FindConnection(handle);
    if (!c) return 0;
    return reset ? c->skippedFrames.exchange(0) : c->skippedFrames.load();
}

extern "C" PELLACOR_API int32_t SetProtocolOptions(int32_t handle, uint32_t options) {
    Connection* c = FindConnection(handle);
    if (!c) return 0;
    c->options.store(options, std::memory_order_relaxed);
    return 1;
}

extern "C" PELLACOR_API int32_t ReadDebugData(int32_t handle, uint16_t* dest, int32_t start, int32_t count) {
    Connection* c = FindConnection(handle);
    if (!c || start < 0 || start >= kRingEntries) return 0;
    const std::atomic<uint16_t>* ring = c->ring.load(std::memory_order_acquire);
    if (!ring) return 0;
    if (count <= 0) return count;
    if (!dest) return 0;
    for (int32_t i = 0; i < count; ++i)
        dest[i] = ring[(start + i) % kRingEntries].load(std::memory_order_relaxed);
    return count;
}
