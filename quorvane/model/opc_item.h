// One OPC item of a group with its Modbus mapping and the master's pending
// write, and a small owner of a VARIANT.
#pragma once

#include "model/conversion.h"
#include "ostrand.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

// Owns one VARIANT: deep copies on copy, cleared on destruction.
class CVariant {
public:
    CVariant() { VariantInit(&v_); }
    explicit CVariant(const VARIANT& v) {
        VariantInit(&v_);
        VariantCopy(&v_, &v);
    }
    CVariant(const CVariant& o) : CVariant(o.v_) {}
    CVariant& operator=(const CVariant& o) {
        if (this != &o) VariantCopy(&v_, &o.v_);
        return *this;
    }
    ~CVariant() { VariantClear(&v_); }

    const VARIANT& Get() const { return v_; }
    VARIANT* Ptr() { return &v_; }
    VARTYPE Type() const { return v_.vt; }

private:
    VARIANT v_;
};

// A master's write waiting for the next flush: the flag and both words travel
// together, so a FLOAT's halves are never split.
struct PendingWrite {
    bool flag = false;
    uint16_t first = 0;  // word for the point address
    uint16_t second = 0; // word for address + 1 (FLOAT only)
};

// Current UTC time as a file time (100 ns units since 1601-01-01).
uint64_t FileTimeNow();

class CQuorvaneDoc;

class COpcItem {
public:
    COpcItem(); // defaults of a new item; timestamp = now
    virtual ~COpcItem(); // clears the value
    COpcItem(const COpcItem&) = delete;
    COpcItem& operator=(const COpcItem&) = delete;

    // Identity: set before the item is added to a group, fixed afterwards.
    std::string itemId;
    std::string accessPath; // shown before the item id; neither passed to AddItem nor saved
    int32_t ItemHandle() const { return handle_; }

    // Mapping. Once the item is in a group, change it only through the group
    // (EditItemMapping), which keeps the point map and the master-write
    // matching in step. Read it under the group's lock from other threads.
    const PointMapping& Mapping() const { return mapping_; }
    void SetMapping(const PointMapping& mapping);

    // Last value received; read under the group's lock once in a group.
    const VARIANT& Value() const { return value_; }
    uint64_t Timestamp() const { return timestamp_; }
    uint32_t Quality() const { return quality_; }
    // Whether the server reported the item at least once (a value, or that
    // it failed); read under the group's lock.
    bool Reported() const { return reported_; }
    // The server's name for the status of that value ("BadNodeIdUnknown"),
    // empty when it gave none.
    const std::string& Status() const { return status_; }

    // The master's pending write (any thread).
    PendingWrite Pending() const;

    // Records a master's write of `value` at `address` when this item is mapped
    // there for (slave, type) (the write callback's matching rule). A FLOAT's
    // low word waits for its high word. Returns true when the item matched.
    bool RecordSlaveWrite(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value);
    // Hands the pending write to the flush and clears the flag in one step: a
    // write recorded afterwards waits for the next flush.
    PendingWrite TakePending();

    // Replaces value, timestamp, quality and status (caller holds the group's lock).
    void SetValue(const VARIANT& value, uint64_t timestamp, uint32_t quality, std::string_view status = {});

private:
    friend class CQuorvaneDoc;
    static uint64_t PackKey(const PointMapping& m);

    int32_t handle_ = 0;
    PointMapping mapping_;
    // What the write callback matches against, packed so that it is read in
    // one step while the mapping may be edited: slave (8 bits), point type
    // (8 bits), address (16 bits), FLOAT (1 bit), point type fits 8 bits (1 bit).
    std::atomic<uint64_t> writeKey_;
    // Bit 32: pending flag; bits 0-15 first word; bits 16-31 second word.
    std::atomic<uint64_t> pending_{0};
    VARIANT value_;
    uint64_t timestamp_;
    uint32_t quality_ = 0;
    bool reported_ = false;
    std::string status_;
};

} // namespace quorvane
