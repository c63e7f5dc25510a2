// The point map: blocks created at the first unbacked address, overlapping
// blocks, released blocks, lookups in list order and proposed addresses.
#include "fake_services.h"
#include "model/point_map.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace quorvane {
namespace {

using test::Call;
using test::TheRecorder;

constexpr uint8_t S1 = 1;
constexpr int32_t HR = PELLACOR_HOLDING_REGISTER;

class PointMapTest : public ::testing::Test {
protected:
    void SetUp() override { TheRecorder().Reset(); }
    CPointMap map{test::RecordingServices()};

    static std::vector<uint16_t> Starts(const CPointMap& of) {
        std::vector<uint16_t> starts;
        const auto blocks = of.Blocks();
        for (const auto& b : *blocks) starts.push_back(b->StartAddress());
        return starts;
    }
};

TEST_F(PointMapTest, OverlappingBlocksAllHoldTheStoredValue) {
    ASSERT_EQ(map.MapPoint(S1, HR, 100), 1);
    EXPECT_EQ(TheRecorder().Calls(), (std::vector<Call>{{"DefineDataBlock", 1, 3, 100, 100}}));
    ASSERT_EQ(map.MapPoint(S1, HR, 150), 1); // only a flag
    ASSERT_EQ(map.StoreRegister(S1, HR, 120, 5), 1);
    ASSERT_EQ(map.MapPoint(S1, HR, 50), 1); // a second block 50..149 over the first
    EXPECT_EQ(Starts(map), (std::vector<uint16_t>{100, 50}));
    EXPECT_EQ(TheRecorder().Calls().size(), 2u);
    const auto blocks = map.Blocks();
    EXPECT_EQ(blocks->at(1)->Load(120), 5); // a new block starts with the words it shares
    EXPECT_EQ(blocks->at(1)->Load(99), 0);

    // The slave library may serve 120 from either block: both get the value.
    ASSERT_EQ(map.StoreRegister(S1, HR, 120, 77), 1);
    EXPECT_EQ(blocks->at(0)->Load(120), 77);
    EXPECT_EQ(blocks->at(1)->Load(120), 77);
    ASSERT_EQ(map.StoreRegisterPair(S1, HR, 149, 0x1111, 0x2222), 1); // 149 in both, 150 in the first
    EXPECT_EQ(blocks->at(0)->Load(149), 0x1111);
    EXPECT_EQ(blocks->at(1)->Load(149), 0x1111);
    EXPECT_EQ(blocks->at(0)->Load(150), 0x2222);
    uint16_t v = 0;
    ASSERT_EQ(map.LoadRegister(S1, HR, 120, &v), 1);
    EXPECT_EQ(v, 77);

    // Other slave ids and point types never share a block.
    EXPECT_EQ(map.StoreRegister(2, HR, 120, 1), 0);
    EXPECT_EQ(map.StoreRegister(S1, PELLACOR_INPUT_REGISTER, 120, 1), 0);
    v = 4321;
    EXPECT_EQ(map.LoadRegister(S1, HR, 250, &v), 0);
    EXPECT_EQ(v, 4321); // untouched
    EXPECT_EQ(map.StoreRegisterPair(S1, HR, 250, 1, 2), 0);
    EXPECT_EQ(map.StoreRegisterPair(S1, HR, 49, 1, 2), 1); // only the high word is held
    EXPECT_EQ(blocks->at(1)->Load(50), 2);
}

TEST_F(PointMapTest, BlockLayoutAfterMappingsAndUnmappings) {
    // A positive address maps the point, a negative one unmaps it.
    struct Case {
        const char* what;
        std::vector<int> steps;
        std::vector<uint16_t> starts;
    } const cases[] = {
        {"a FLOAT across the end of a block creates the next block", {100, 199, 200}, {100, 200}},
        // A is 100..199, B 50..149: 100 lies in A (first in list order), so only A empties.
        {"unmapping releases every empty block and keeps the order", {100, 50, 300, -100}, {50, 300}},
        {"a block near the top holds the highest address", {65500, 65535}, {65500}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CPointMap fresh{test::RecordingServices()};
        for (int step : c.steps) {
            if (step > 0) fresh.MapPoint(S1, HR, static_cast<uint16_t>(step));
            else fresh.UnmapPoint(S1, HR, static_cast<uint16_t>(-step));
        }
        EXPECT_EQ(Starts(fresh), c.starts);
    }
}

TEST_F(PointMapTest, BlocksAreReleasedWhenTheirLastFlagClears) {
    map.MapPoint(S1, HR, 10);
    map.MapPoint(S1, HR, 11);
    map.UnmapPoint(S1, HR, 10);
    EXPECT_EQ(map.BlockCount(), 1u);
    EXPECT_EQ(map.UnmapPoint(S1, HR, 11), 1);
    EXPECT_EQ(map.BlockCount(), 0u);
    EXPECT_EQ(TheRecorder().Names(), (std::vector<std::string>{"DefineDataBlock", "RemoveDataBlock"}));
    EXPECT_EQ(TheRecorder().Calls().back().a, 1); // the handle DefineDataBlock gave
    EXPECT_EQ(map.StoreRegister(S1, HR, 10, 1), 0);

    // Unmapping an address no block holds clears nothing and releases nothing.
    map.MapPoint(S1, HR, 500);
    EXPECT_EQ(map.UnmapPoint(S1, HR, 7), 1);
    EXPECT_EQ(map.BlockCount(), 1u);
}

TEST_F(PointMapTest, TwoMappingsOfOneAddressKeepItUntilBothAreGone) {
    map.MapPoint(S1, HR, 10); // two items mapped over one address
    map.MapPoint(S1, HR, 10);
    map.UnmapPoint(S1, HR, 10);
    EXPECT_EQ(map.BlockCount(), 1u);
    EXPECT_EQ(map.StoreRegister(S1, HR, 10, 3), 1);
    EXPECT_EQ(map.NextFreeAddress(S1, HR), 11);
    map.UnmapPoint(S1, HR, 10);
    EXPECT_EQ(map.BlockCount(), 0u);
    map.UnmapPoint(S1, HR, 10); // never below zero
    map.MapPoint(S1, HR, 10);
    map.UnmapPoint(S1, HR, 10);
    EXPECT_EQ(map.BlockCount(), 0u);
}

TEST_F(PointMapTest, RefusedBlock) {
    TheRecorder().Set(&test::Recorder::Knobs::blockLimit, 1);
    EXPECT_EQ(map.MapPoint(S1, HR, 1), 1);
    EXPECT_EQ(map.MapPoint(S1, HR, 1000), 0);
    EXPECT_EQ(map.BlockCount(), 1u);
    EXPECT_EQ(map.StoreRegister(S1, HR, 1000, 5), 0);
    EXPECT_EQ(map.UnmapPoint(S1, HR, 1000), 1);
    EXPECT_EQ(map.BlockCount(), 1u);
}

TEST_F(PointMapTest, NextFreeAddress) {
    EXPECT_EQ(map.NextFreeAddress(S1, HR), 1);
    for (uint16_t a = 100; a < 105; ++a) map.MapPoint(S1, HR, a);
    EXPECT_EQ(map.NextFreeAddress(S1, HR), 105);
    for (uint16_t a = 105; a < 200; ++a) map.MapPoint(S1, HR, a);
    EXPECT_EQ(map.NextFreeAddress(S1, HR), 200);
    EXPECT_EQ(map.NextFreeAddress(2, HR), 1);
    map.MapPoint(S1, HR, 200);
    EXPECT_EQ(map.NextFreeAddress(S1, HR), 201);
    // A full block near the top proposes an address past 16 bits.
    for (int a = 65450; a <= 65535; ++a) map.MapPoint(7, HR, static_cast<uint16_t>(a));
    EXPECT_EQ(map.NextFreeAddress(7, HR), 65536);
}

TEST_F(PointMapTest, RemoveAllInListOrder) {
    map.MapPoint(S1, HR, 100);
    map.MapPoint(2, HR, 100);
    TheRecorder().Reset();
    map.RemoveAll();
    EXPECT_EQ(TheRecorder().Calls(), (std::vector<Call>{{"RemoveDataBlock", 1}, {"RemoveDataBlock", 2}}));
    EXPECT_EQ(map.BlockCount(), 0u);
}

TEST_F(PointMapTest, SlaveIdIsDeactivatedWithItsLastBlock) {
    using Activations = std::vector<std::pair<int32_t, int32_t>>;
    constexpr int32_t IR = PELLACOR_INPUT_REGISTER;
    // A positive address maps a point of (slave, type), a negative one unmaps it.
    struct Step {
        uint8_t slave;
        int32_t type;
        int address;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        Activations deactivated;
    } const cases[] = {
        {"the last block of the id goes", {{S1, HR, 10}, {S1, HR, -10}}, {{S1, 0}}},
        {"a block of another type still serves the id", {{S1, HR, 10}, {S1, IR, 10}, {S1, HR, -10}}, {}},
        {"each id on its own", {{S1, HR, 10}, {2, HR, 10}, {2, HR, -10}, {S1, HR, -10}}, {{2, 0}, {S1, 0}}},
        {"a block left with a used flag stays", {{S1, HR, 10}, {S1, HR, 11}, {S1, HR, -10}}, {}},
        {"mapped again after removal: nothing to switch on", {{S1, HR, 10}, {S1, HR, -10}, {S1, HR, 20}},
         {{S1, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TheRecorder().Reset();
        CPointMap fresh{test::RecordingServices()};
        for (const Step& step : c.steps) {
            const auto address = static_cast<uint16_t>(std::abs(step.address));
            if (step.address > 0) fresh.MapPoint(step.slave, step.type, address);
            else fresh.UnmapPoint(step.slave, step.type, address);
        }
        EXPECT_EQ(TheRecorder().activations, c.deactivated);
    }
    map.MapPoint(S1, HR, 100);
    map.MapPoint(S1, IR, 100);
    map.MapPoint(9, HR, 100);
    TheRecorder().Reset();
    map.RemoveAll(); // each id once
    EXPECT_EQ(TheRecorder().activations, (Activations{{S1, 0}, {9, 0}}));
}

TEST_F(PointMapTest, ReleasedBlockLivesAsLongAsASnapshotHoldsIt) {
    map.MapPoint(S1, HR, 100);
    map.StoreRegister(S1, HR, 100, 5);
    auto held = map.Blocks();
    const std::weak_ptr<CDataBlock> block = held->at(0);
    map.UnmapPoint(S1, HR, 100);
    EXPECT_EQ(held->at(0)->Load(100), 5);
    held.reset();
    EXPECT_TRUE(block.expired()); // RemoveDataBlock has returned: no grace period
}

TEST_F(PointMapTest, LookupAgreesWithTheListOrderRuleUnderRandomChanges) {
    // Stores must land in every block that holds the address, however the
    // blocks overlap, for every address; loads come from the first in list
    // order.
    std::mt19937 random(42);
    std::vector<std::pair<uint8_t, uint16_t>> mapped;
    for (int step = 0; step < 300; ++step) {
        if (mapped.empty() || random() % 3 != 0) {
            auto point = std::make_pair(static_cast<uint8_t>(1 + random() % 2), static_cast<uint16_t>(random() % 500));
            map.MapPoint(point.first, HR, point.second);
            mapped.push_back(point);
        } else {
            size_t at = random() % mapped.size();
            map.UnmapPoint(mapped[at].first, HR, mapped[at].second);
            mapped.erase(mapped.begin() + static_cast<long>(at));
        }
        if (step % 10 != 0) continue;
        const auto blocks = map.Blocks();
        for (uint8_t slave = 1; slave <= 2; ++slave) {
            for (uint16_t address = 0; address < 620; ++address) {
                std::vector<const CDataBlock*> holders;
                for (const auto& b : *blocks)
                    if (b->Holds(slave, HR, address)) holders.push_back(b.get());
                const uint16_t value = static_cast<uint16_t>(step * 1000 + address);
                ASSERT_EQ(map.StoreRegister(slave, HR, address, value), holders.empty() ? 0 : 1) << address;
                for (const CDataBlock* holder : holders)
                    ASSERT_EQ(holder->Load(address), value) << "step " << step << " address " << address;
            }
        }
    }
}

} // namespace
} // namespace quorvane
