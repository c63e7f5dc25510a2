// The data-block table as request processing sees it. Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

namespace pellacor {

// Element access of application memory: atomic 16-bit and 32-bit loads and
// stores, split into narrower atomic pieces when the application's
// pointer is not aligned for the wider access.
// Loads are acquire and stores release, so that a reader that sees a word of
// an update also sees that update's sequence step (see PointReader).
uint16_t LoadElement16(const void* data, size_t index);
uint32_t LoadElement32(const void* data, size_t index);
void StoreElement16(void* data, size_t index, uint16_t value);
void StoreElement32(void* data, size_t index, uint32_t value);

// Reads points of one slave id and point type, each from the first table
// entry (in table order) that holds it. On first use the reader takes a
// consistent snapshot of every published entry of that slave id and type,
// so one request scans the table once; a block defined while the request
// runs is not seen, and a block removed while it runs is passed over from the
// point where its removal is noticed.
//
// Entries the reader reads from are held (their in-flight count raised) until
// the reader is destroyed, so RemoveDataBlock, which waits for that count to
// drain, cannot return while their memory is still being read. The reader
// also notes each held entry's update sequence: Unchanged() tells whether any
// of them saw an update since, and a caller that read a range reads it again
// (Restart) or, after a few tries, with updates held off (HoldUpdates).
class PointReader {
public:
    PointReader(uint8_t slave, uint8_t type) : slave_(slave), type_(type) {}
    ~PointReader();
    PointReader(const PointReader&) = delete;
    PointReader& operator=(const PointReader&) = delete;
    // false: no block holds `point`.
    bool Read16(uint16_t point, uint16_t& value);
    bool Read32(uint16_t point, uint32_t& value);

    // Whether no entry read from was updated since it was first read.
    bool Unchanged() const;
    // Starts the next read of the range: the sequences are taken anew.
    void Restart();
    // Holds off updates of every entry read from so far (in table order, so
    // that two readers never wait on each other), until ReleaseUpdates.
    void HoldUpdates();
    void ReleaseUpdates();

private:
    struct Candidate {
        const void* data;
        uint16_t start;
        uint16_t count;
        uint8_t entry; // table index
        bool held;     // in-flight count raised
    };
    struct Held {
        uint8_t candidate;
        uint32_t sequence; // entry's update sequence when this read began
    };
    void Collect();
    const void* Find(uint16_t point, size_t& index);
    [[gnu::noinline]] bool Seek(uint16_t point);
    bool Hold(Candidate& c);

    uint8_t slave_;
    uint8_t type_;
    bool holding_ = false; // updates held off
    int candidates_ = -1; // -1: not collected yet
    int current_ = -1;    // candidate serving points lo_ to hi_
    uint32_t lo_ = 1, hi_ = 0;
    int heldCount_ = 0;
    Held held_[kBlockCount]; // in the order held
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
