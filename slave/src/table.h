// The data-block table as request processing sees it. Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

namespace pellacor {

// Element access of application memory: atomic 16-bit and 32-bit loads and
// stores (relaxed), split into narrower atomic pieces when the application's
// pointer is not aligned for the wider access.
uint16_t LoadElement16(const void* data, size_t index);
uint32_t LoadElement32(const void* data, size_t index);
void StoreElement16(void* data, size_t index, uint16_t value);
void StoreElement32(void* data, size_t index, uint32_t value);

// Reads points of one slave id and point type, each from the first table
// entry (in table order) that holds it. On first use the reader takes a
// consistent snapshot of every published entry of that slave id and type,
// so one request scans the table once; a block defined or removed while the
// request runs is seen as it was when the request started.
class PointReader {
public:
    PointReader(uint8_t slave, uint8_t type) : slave_(slave), type_(type) {}
    // false: no block holds `point`.
    bool Read16(uint16_t point, uint16_t& value);
    bool Read32(uint16_t point, uint32_t& value);

private:
    struct Candidate {
        uint16_t start;
        uint16_t count;
        const void* data;
    };
    void Collect();
    const void* Find(uint16_t point, size_t& index);

    uint8_t slave_;
    uint8_t type_;
    int candidates_ = -1; // -1: not collected yet
    int current_ = -1;    // candidate serving points lo_ to hi_
    uint32_t lo_ = 1, hi_ = 0;
    Candidate candidate_[kBlockCount];
};

// Stores `value` into every entry that holds the point (slave 0 reaches every
// slave id), marks their notifications pending and calls the write callback
// once per entry. false: no entry matched.
bool WritePoint(uint8_t slave, uint8_t type, uint16_t point, uint32_t value, bool wide);

// The registered traffic callback, or null.
PellacorTrafficCallback TrafficCallback();

// Posts every pending write notification once and clears it.
void PostWriteNotifications();

} // namespace pellacor
