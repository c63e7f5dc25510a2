// The point map: the application's memory image of every mapped Modbus point,
// in blocks of 100 registers that the slave library serves in place.
//
// Blocks may overlap. A stored value goes into every block that holds its
// address, as a master's write does in the slave library, so a master reads
// it whichever of the blocks the library serves the address from; a new block
// starts with the words of the blocks it overlaps.
//
// Threads. MapPoint, UnmapPoint, NextFreeAddress and RemoveAll change or walk
// the used flags and are serialised among themselves. StoreRegister and
// LoadRegister run on any thread without waiting for them: they read the block
// list from an immutable snapshot that keeps its blocks alive, and every
// register is read and written as one atomic 16-bit access, as the slave
// library does; the two words of a FLOAT are stored as one update of the
// slave library (StoreDataBlockWords), so no master reads them mixed. A block
// taken out of the list is freed once RemoveDataBlock has returned (the slave
// library then no longer touches it) and the last snapshot holding it is gone.
#pragma once

#include "model/model_services.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvane {

constexpr int kBlockSize = 100;

// One block of the point map: 100 registers with their used flags, handed to
// the slave library as one data block.
class CDataBlock {
public:
    CDataBlock(uint8_t slaveId, int32_t pointType, uint16_t startAddress);
    virtual ~CDataBlock() = default;
    CDataBlock(const CDataBlock&) = delete;
    CDataBlock& operator=(const CDataBlock&) = delete;

    int32_t LibraryHandle() const { return handle_; }
    uint8_t SlaveId() const { return slaveId_; }
    int32_t PointType() const { return pointType_; }
    uint16_t StartAddress() const { return startAddress_; }

    // Whether this block holds `address` of (slave, type).
    bool Holds(uint8_t slaveId, int32_t pointType, uint16_t address) const;

    uint16_t Load(uint16_t address) const;       // address must be held
    void Store(uint16_t address, uint16_t value); // address must be held
    uint16_t* Registers() { return registers_.data(); }
    uint16_t* Word(uint16_t address) { return &registers_[address - startAddress_]; } // address must be held

    // Used flags (serialised by the point map). Each counts the mappings of
    // its address, so that removing one of two items mapped to the same
    // address leaves the other's point served.
    bool Used(int slot) const { return used_[slot] != 0; }
    int32_t UseCount(int slot) const { return used_[slot]; }
    void AddUse(int slot) { ++used_[slot]; }
    void DropUse(int slot) {
        if (used_[slot] > 0) --used_[slot];
    }
    bool AnyUsed() const;
    int FirstFreeSlot() const; // -1 when all 100 are used

private:
    friend class CPointMap;
    int32_t handle_ = 0;
    uint8_t slaveId_;
    int32_t pointType_;
    uint16_t startAddress_;
    alignas(8) std::array<uint16_t, kBlockSize> registers_{};
    std::array<int32_t, kBlockSize> used_{};
};

class CPointMap {
public:
    using BlockList = std::vector<std::shared_ptr<CDataBlock>>;

    explicit CPointMap(const ModelServices& services = ModelServices());
    virtual ~CPointMap(); // removes every remaining block (RemoveAll)
    CPointMap(const CPointMap&) = delete;
    CPointMap& operator=(const CPointMap&) = delete;

    // Marks one more use of the address. 1 when the address is now backed by
    // a block; 0 when the slave library refused a new block.
    int MapPoint(uint8_t slaveId, int32_t pointType, uint16_t address);
    // Drops one use of the address and releases every block left unused.
    // A slave id left without any block is deactivated, so that the links
    // stop answering for it (a real slave of that id may share the line);
    // the slave library activates it again with its next block. 1.
    int UnmapPoint(uint8_t slaveId, int32_t pointType, uint16_t address);
    // 1 when stored (into every block holding the address); 0 when no block
    // holds it.
    int StoreRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t value);
    // Stores `low` at `address` and `high` at address + 1 (16-bit wrap) as one
    // update. 1 when some block holds either; 0 when none does.
    int StoreRegisterPair(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t low, uint16_t high);
    // 1 and *value set; 0 (value untouched) when no block holds the address.
    int LoadRegister(uint8_t slaveId, int32_t pointType, uint16_t address, uint16_t* value) const;
    // The address proposed for a new mapping (the caller truncates to 16 bits).
    int32_t NextFreeAddress(uint8_t slaveId, int32_t pointType) const;

    // Application exit: RemoveDataBlock for every block in list order, then
    // an empty map; every slave id that had a block is deactivated.
    void RemoveAll();

    // The current blocks in creation order (a snapshot).
    std::shared_ptr<const BlockList> Blocks() const;
    size_t BlockCount() const { return Blocks()->size(); }

private:
    // The published state: the blocks in list order and, per slave id and
    // point type, the address ranges sorted by address with the blocks that
    // hold each range (in list order, the first one first), so that a lookup
    // does not walk the list.
    struct Segment {
        int32_t first;        // first address of the range
        int32_t end;          // one past the last
        uint32_t holderBegin; // the range's holders: Snapshot::holders[holderBegin ..
        uint32_t holderEnd;   // .. holderEnd)
    };
    struct Snapshot {
        BlockList blocks;
        // (slave id, point type) keys in ascending order, with their ranges.
        std::vector<std::pair<uint64_t, std::vector<Segment>>> segments;
        std::vector<CDataBlock*> holders;
    };
    struct Holders {
        CDataBlock* const* begin = nullptr;
        CDataBlock* const* end = nullptr;
        bool empty() const { return begin == end; }
    };
    static std::shared_ptr<const Snapshot> MakeSnapshot(BlockList blocks);
    static Holders FindHolders(const Snapshot& snapshot, uint8_t slaveId, int32_t pointType,
                               uint16_t address);
    static CDataBlock* FindBlock(const Snapshot& snapshot, uint8_t slaveId, int32_t pointType, uint16_t address);
    std::shared_ptr<const Snapshot> Current() const;
    void Publish(std::shared_ptr<const Snapshot> snapshot);
    // ActivateSlaveId(id, 0) for each slave id of `released` that no block
    // of `kept` serves any more.
    void DeactivateVacatedIds(const BlockList& released, const BlockList& kept);

    ModelServices services_;
    mutable std::mutex writerMutex_;   // serialises the changes and the flag walks
    mutable std::mutex snapshotMutex_; // guards only the swap of current_
    std::shared_ptr<const Snapshot> current_;
};

} // namespace quorvane
