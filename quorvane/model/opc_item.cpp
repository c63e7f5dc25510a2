#include "model/opc_item.h"

#include <chrono>

namespace quorvane {

namespace {

constexpr uint64_t kPendingFlag = uint64_t{1} << 32;
constexpr uint64_t kFirstMask = 0xFFFFu;
constexpr uint64_t kSecondMask = uint64_t{0xFFFFu} << 16;

constexpr uint64_t kKeyFloat = uint64_t{1} << 32;
constexpr uint64_t kKeyTypeFits = uint64_t{1} << 33;

} // namespace

uint64_t FileTimeNow() {
    // 1601-01-01 to 1970-01-01 in 100 ns units.
    constexpr uint64_t kEpochOffset = 116444736000000000ull;
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kEpochOffset +
           static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100);
}

COpcItem::COpcItem() : writeKey_(PackKey(mapping_)), timestamp_(FileTimeNow()) { VariantInit(&value_); }

COpcItem::~COpcItem() { VariantClear(&value_); }

uint64_t COpcItem::PackKey(const PointMapping& m) {
    uint64_t key = uint64_t{m.slaveId} | (uint64_t{static_cast<uint8_t>(m.pointType)} << 8) |
                   (uint64_t{m.address} << 16);
    if (m.dataType == DT_FLOAT) key |= kKeyFloat;
    if (m.pointType >= 0 && m.pointType <= 0xFF) key |= kKeyTypeFits;
    return key;
}

void COpcItem::SetMapping(const PointMapping& mapping) {
    mapping_ = mapping;
    writeKey_.store(PackKey(mapping), std::memory_order_release);
}

PendingWrite COpcItem::Pending() const {
    uint64_t p = pending_.load(std::memory_order_acquire);
    return {(p & kPendingFlag) != 0, static_cast<uint16_t>(p & kFirstMask), static_cast<uint16_t>(p >> 16)};
}

bool COpcItem::RecordSlaveWrite(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value) {
    uint64_t key = writeKey_.load(std::memory_order_acquire);
    if ((key & kKeyTypeFits) == 0 || (key & 0xFF) != slaveId || ((key >> 8) & 0xFF) != uint64_t(pointType & 0xFF))
        return false;
    uint16_t itemAddress = static_cast<uint16_t>(key >> 16);
    bool isFloat = (key & kKeyFloat) != 0;
    uint64_t clear, set;
    if (address == itemAddress) {
        // The low word of a FLOAT waits for its high word.
        clear = kFirstMask;
        set = value | (isFloat ? 0 : kPendingFlag);
    } else if (isFloat && address == static_cast<uint16_t>(itemAddress + 1)) {
        clear = kSecondMask;
        set = (uint64_t{value} << 16) | kPendingFlag;
    } else {
        return false;
    }
    uint64_t old = pending_.load(std::memory_order_relaxed);
    while (!pending_.compare_exchange_weak(old, (old & ~clear) | set, std::memory_order_acq_rel,
                                           std::memory_order_relaxed)) {
    }
    return true;
}

PendingWrite COpcItem::TakePending() {
    uint64_t p = pending_.fetch_and(~kPendingFlag, std::memory_order_acq_rel);
    return {(p & kPendingFlag) != 0, static_cast<uint16_t>(p & kFirstMask), static_cast<uint16_t>(p >> 16)};
}

void COpcItem::SetValue(const VARIANT& value, uint64_t timestamp, uint32_t quality, std::string_view status) {
    VariantCopy(&value_, &value); // clears the old value first
    timestamp_ = timestamp;
    quality_ = quality;
    reported_ = true;
    status_.assign(status);
}

} // namespace quorvane
