#include "model/point_map.h"

#include <algorithm>
#include <atomic>
#include <map>

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
    : services_(services), current_(MakeSnapshot(BlockList())) {}

CPointMap::~CPointMap() { RemoveAll(); }

namespace {

uint64_t SegmentKey(uint8_t slaveId, int32_t pointType) {
    return (uint64_t{static_cast<uint32_t>(pointType)} << 8) | slaveId;
}

} // namespace

std::shared_ptr<const CPointMap::Snapshot> CPointMap::MakeSnapshot(BlockList blocks) {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->blocks = std::move(blocks);
    std::map<uint64_t, std::vector<CDataBlock*>> byKey; // list order kept within a key
    for (const auto& block : snapshot->blocks)
        byKey[SegmentKey(block->SlaveId(), block->PointType())].push_back(block.get());
    for (auto& [key, list] : byKey) {
        // Every block start and end bounds a range held by the same blocks.
        std::vector<int32_t> bounds;
        for (const CDataBlock* block : list) {
            bounds.push_back(block->StartAddress());
            bounds.push_back(std::min<int32_t>(block->StartAddress() + kBlockSize, 65536));
        }
        std::sort(bounds.begin(), bounds.end());
        bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
        std::vector<Segment>& segments = snapshot->segments.emplace_back(key, std::vector<Segment>()).second;
        std::vector<CDataBlock*>& holders = snapshot->holders;
        for (size_t i = 0; i + 1 < bounds.size(); ++i) {
            const auto begin = static_cast<uint32_t>(holders.size());
            for (CDataBlock* block : list)
                if (block->StartAddress() <= bounds[i] && bounds[i] < block->StartAddress() + kBlockSize)
                    holders.push_back(block);
            const auto end = static_cast<uint32_t>(holders.size());
            if (begin == end) continue; // a gap between blocks
            // A range adjoining the previous one with the same holders extends it.
            if (!segments.empty()) {
                Segment& last = segments.back();
                if (last.end == bounds[i] && last.holderEnd - last.holderBegin == end - begin &&
                    std::equal(holders.begin() + begin, holders.end(), holders.begin() + last.holderBegin)) {
                    last.end = bounds[i + 1];
                    holders.resize(begin);
                    continue;
                }
            }
            segments.push_back({bounds[i], bounds[i + 1], begin, end});
        }
    }
    return snapshot;
}

CPointMap::Holders CPointMap::FindHolders(const Snapshot& snapshot, uint8_t slaveId, int32_t pointType,
                                          uint16_t address) {
    const uint64_t key = SegmentKey(slaveId, pointType);
    auto found = std::lower_bound(snapshot.segments.begin(), snapshot.segments.end(), key,
                                  [](const auto& entry, uint64_t k) { return entry.first < k; });
    if (found == snapshot.segments.end() || found->first != key) return {};
    const std::vector<Segment>& segments = found->second;
    // The last range starting at or below the address.
    auto after = std::upper_bound(segments.begin(), segments.end(), static_cast<int32_t>(address),
                                  [](int32_t a, const Segment& s) { return a < s.first; });
    if (after == segments.begin()) return {};
    const Segment& segment = *(after - 1);
    if (address >= segment.end) return {};
    return {snapshot.holders.data() + segment.holderBegin, snapshot.holders.data() + segment.holderEnd};
}

CDataBlock* CPointMap::FindBlock(const Snapshot& snapshot, uint8_t slaveId, int32_t pointType,
                                 uint16_t address) {
    const Holders holders = FindHolders(snapshot, slaveId, pointType, address);
    return holders.empty() ? nullptr : *holders.begin;
}

std::shared_ptr<const CPointMap::Snapshot> CPointMap::Current() const {
    std::lock_guard lock(snapshotMutex_);
    return current_;
}

std::shared_ptr<const CPointMap::BlockList> CPointMap::Blocks() const {
    auto snapshot = Current();
    return std::shared_ptr<const BlockList>(snapshot, &snapshot->blocks);
}

void CPointMap::Publish(std::shared_ptr<const Snapshot> snapshot) {
    std::lock_guard lock(snapshotMutex_);
    current_.swap(snapshot); // the old state is dropped after the lock is released
}

int CPointMap::MapPoint(uint8_t slaveId, int32_t pointType, uint16_t address) {
    std::lock_guard lock(writerMutex_);
    auto current = Current();
    if (CDataBlock* held = FindBlock(*current, slaveId, pointType, address)) {
        held->AddUse(address - held->StartAddress());
        return 1;
    }
    auto block = std::make_shared<CDataBlock>(slaveId, pointType, address);
    // The words it shares with blocks already defined, before a master can
    // read it.
    for (int slot = 0; slot < kBlockSize && address + slot <= 0xFFFF; ++slot) {
        const auto at = static_cast<uint16_t>(address + slot);
        if (const CDataBlock* other = FindBlock(*current, slaveId, pointType, at))
            block->Store(at, other->Load(at));
    }
    int32_t handle = services_.DefineDataBlock(slaveId, static_cast<uint8_t>(pointType), address, kBlockSize,
                                               block->Registers());
    if (handle == 0) return 0;
    block->handle_ = handle;
    block->AddUse(0);
    BlockList next = current->blocks;
    next.push_back(std::move(block));
    Publish(MakeSnapshot(std::move(next)));
    return 1;
}

int CPointMap::UnmapPoint(uint8_t slaveId, int32_t pointType, uint16_t address) {
    std::lock_guard lock(writerMutex_);
    auto current = Current();
    if (CDataBlock* held = FindBlock(*current, slaveId, pointType, address))
        held->DropUse(address - held->StartAddress());
    BlockList next;
    BlockList released;
    for (const auto& block : current->blocks) (block->AnyUsed() ? next : released).push_back(block);
    if (!released.empty()) {
        // Out of the list first, so that no new store reaches them; then out
        // of the slave library, which no longer touches them once
        // RemoveDataBlock has returned. Their memory goes with the last
        // snapshot holding them.
        Publish(MakeSnapshot(next));
        DeactivateVacatedIds(released, next);
        for (auto& block : released) services_.RemoveDataBlock(block->LibraryHandle());
    }
    return 1;
}

int CPointMap::StoreRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value) {
    auto current = Current();
    const Holders holders = FindHolders(*current, slaveId, pointType, address);
    for (CDataBlock* const* block = holders.begin; block != holders.end; ++block)
        (*block)->Store(address, value);
    return holders.empty() ? 0 : 1;
}

int CPointMap::StoreRegisterPair(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t low,
                                 uint16_t high) {
    auto current = Current();
    // Blocks start at distinct addresses, so at most kBlockSize hold a word.
    std::array<PellacorWordStore, 2 * kBlockSize> stores;
    int32_t count = 0;
    const std::pair<uint16_t, uint16_t> words[] = {{address, low},
                                                   {static_cast<uint16_t>(address + 1), high}};
    for (const auto& [at, value] : words) {
        const Holders holders = FindHolders(*current, slaveId, pointType, at);
        for (CDataBlock* const* block = holders.begin; block != holders.end; ++block)
            stores[static_cast<size_t>(count++)] = {(*block)->LibraryHandle(), (*block)->Word(at), value};
    }
    if (count == 0) return 0;
    services_.StoreDataBlockWords(stores.data(), count);
    return 1;
}

int CPointMap::LoadRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t* value) const {
    auto current = Current();
    const CDataBlock* block = FindBlock(*current, slaveId, pointType, address);
    if (block == nullptr) return 0;
    *value = block->Load(address);
    return 1;
}

int32_t CPointMap::NextFreeAddress(uint8_t slaveId, int32_t pointType) const {
    std::lock_guard lock(writerMutex_);
    int32_t candidate = 1;
    const auto current = Current();
    for (const auto& block : current->blocks) {
        if (block->SlaveId() != slaveId || block->PointType() != pointType) continue;
        int slot = block->FirstFreeSlot();
        if (slot >= 0) return block->StartAddress() + slot;
        candidate = block->StartAddress() + kBlockSize;
    }
    return candidate;
}

void CPointMap::RemoveAll() {
    std::lock_guard lock(writerMutex_);
    auto current = Current();
    if (current->blocks.empty()) return;
    Publish(MakeSnapshot(BlockList()));
    DeactivateVacatedIds(current->blocks, BlockList());
    for (const auto& block : current->blocks) services_.RemoveDataBlock(block->LibraryHandle());
}

void CPointMap::DeactivateVacatedIds(const BlockList& released, const BlockList& kept) {
    // A removed table entry keeps its slave id and active flag, and the links
    // answer for any id with an active entry: the id is switched off as a
    // whole. DefineDataBlock marks its new entry active, which serves the id
    // again without a call here.
    std::array<bool, 256> vacated{};
    for (const auto& block : released) vacated[block->SlaveId()] = true;
    for (const auto& block : kept) vacated[block->SlaveId()] = false;
    for (int id = 0; id < 256; ++id)
        if (vacated[id]) services_.ActivateSlaveId(static_cast<uint8_t>(id), 0);
}

} // namespace quorvane
