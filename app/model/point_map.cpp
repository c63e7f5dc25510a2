#include "point_map.h"

#include <algorithm>
#include <atomic>

namespace quorvane {

CDataBlock::CDataBlock(uint8_t slaveId, int32_t pointType, uint16_t startAddress)
    : slaveId_(slaveId), pointType_(pointType), startAddress_(startAddress) {}

bool CDataBlock::Holds(uint8_t slaveId, int32_t pointType, uint16_t address) const {
    // Addresses are unsigned: a block near the top holds up to 65535.
    return slaveId_ == slaveId && pointType_ == pointType && address >= startAddress_ &&
           static_cast<int32_t>(address) < static_cast<int32_t>(startAddress_) + kBlockSize;
}

uint16_t CDataBlock::Load(uint16_t address) const {
    // The slave library reads and writes the same words from its own threads.
    auto& word = const_cast<uint16_t&>(registers_[address - startAddress_]);
    return std::atomic_ref<uint16_t>(word).load(std::memory_order_relaxed);
}

void CDataBlock::Store(uint16_t address, uint16_t value) {
    std::atomic_ref<uint16_t>(registers_[address - startAddress_]).store(value, std::memory_order_relaxed);
}

bool CDataBlock::AnyUsed() const {
    return std::any_of(used_.begin(), used_.end(), [](int32_t u) { return u != 0; });
}

int CDataBlock::FirstFreeSlot() const {
    for (int slot = 0; slot < kBlockSize; ++slot)
        if (used_[slot] == 0) return slot;
    return -1;
}

CPointMap::CPointMap(const ModelServices& services)
    : services_(services), blocks_(std::make_shared<const BlockList>()) {}

CPointMap::~CPointMap() {
    RemoveAll();
    std::lock_guard lock(writerMutex_);
    ReclaimRetired(true);
}

std::shared_ptr<const CPointMap::BlockList> CPointMap::Blocks() const {
    std::lock_guard lock(snapshotMutex_);
    return blocks_;
}

void CPointMap::Publish(std::shared_ptr<const BlockList> blocks) {
    std::lock_guard lock(snapshotMutex_);
    blocks_.swap(blocks); // the old list is dropped after the lock is released
}

CDataBlock* CPointMap::FindBlock(const BlockList& blocks, uint8_t slaveId, int32_t pointType,
                                       uint16_t address) {
    for (const auto& block : blocks)
        if (block->Holds(slaveId, pointType, address)) return block.get();
    return nullptr;
}

int CPointMap::MapPoint(uint8_t slaveId, int32_t pointType, uint16_t address) {
    std::lock_guard lock(writerMutex_);
    ReclaimRetired(false);
    auto blocks = Blocks();
    if (auto* held = FindBlock(*blocks, slaveId, pointType, address)) {
        held->SetUsed(address - held->StartAddress(), true);
        return 1;
    }
    auto block = std::make_shared<CDataBlock>(slaveId, pointType, address);
    int32_t handle = services_.DefineDataBlock(slaveId, static_cast<uint8_t>(pointType), address, kBlockSize,
                                               block->Registers());
    if (handle == 0) return 0;
    block->handle_ = handle;
    block->SetUsed(0, true);
    auto next = std::make_shared<BlockList>(*blocks);
    next->push_back(std::move(block));
    Publish(std::move(next));
    return 1;
}

int CPointMap::UnmapPoint(uint8_t slaveId, int32_t pointType, uint16_t address) {
    std::lock_guard lock(writerMutex_);
    auto blocks = Blocks();
    if (auto* held = FindBlock(*blocks, slaveId, pointType, address))
        held->SetUsed(address - held->StartAddress(), false);
    auto next = std::make_shared<BlockList>();
    next->reserve(blocks->size());
    std::vector<std::shared_ptr<CDataBlock>> released;
    for (const auto& block : *blocks) {
        if (block->AnyUsed())
            next->push_back(block);
        else
            released.push_back(block);
    }
    if (!released.empty()) {
        // Out of the list first, so that no new store reaches them; then out
        // of the slave library.
        Publish(std::move(next));
        for (auto& block : released) {
            services_.RemoveDataBlock(block->LibraryHandle());
            Retire(std::move(block));
        }
    }
    ReclaimRetired(false);
    return 1;
}

int CPointMap::StoreRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value) {
    auto blocks = Blocks();
    CDataBlock* block = FindBlock(*blocks, slaveId, pointType, address);
    if (block == nullptr) return 0;
    block->Store(address, value);
    return 1;
}

int CPointMap::LoadRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t* value) const {
    auto blocks = Blocks();
    const CDataBlock* block = FindBlock(*blocks, slaveId, pointType, address);
    if (block == nullptr) return 0;
    *value = block->Load(address);
    return 1;
}

int32_t CPointMap::NextFreeAddress(uint8_t slaveId, int32_t pointType) const {
    std::lock_guard lock(writerMutex_);
    int32_t candidate = 1;
    for (const auto& block : *Blocks()) {
        if (block->SlaveId() != slaveId || block->PointType() != pointType) continue;
        int slot = block->FirstFreeSlot();
        if (slot >= 0) return block->StartAddress() + slot;
        candidate = block->StartAddress() + kBlockSize;
    }
    return candidate;
}

void CPointMap::RemoveAll() {
    std::lock_guard lock(writerMutex_);
    auto blocks = Blocks();
    if (blocks->empty()) return;
    Publish(std::make_shared<const BlockList>());
    for (const auto& block : *blocks) {
        services_.RemoveDataBlock(block->LibraryHandle());
        Retire(block);
    }
}

void CPointMap::Retire(std::shared_ptr<CDataBlock> block) {
    retired_.push_back({std::move(block), std::chrono::steady_clock::now()});
}

void CPointMap::ReclaimRetired(bool all) {
    auto now = std::chrono::steady_clock::now();
    std::erase_if(retired_, [&](const Retired& r) { return all || now - r.since >= kReclaimDelay; });
}

} // namespace quorvane
