// Per-item records by handle: whatever handles come (the service's, with a
// slot reused under a new generation while the old handle is still held;
// handles with no index bits; indexes far beyond the others), the table
// holds exactly what a map would, and iterating or erasing in the middle of
// an iteration visits each record once.
#include "item_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using ostrand::ItemTable;
using ostrand::kItemIndexBits;

uint32_t handle_of(uint32_t index, uint32_t generation) { return (generation << kItemIndexBits) | (index + 1); }

// Compares contents, iteration included.
void expect_same(const ItemTable<std::string>& table, const std::map<uint32_t, std::string>& model) {
    ASSERT_EQ(table.size(), model.size());
    std::map<uint32_t, std::string> seen;
    for (const auto& [handle, value] : table) EXPECT_TRUE(seen.emplace(handle, value).second) << handle;
    EXPECT_EQ(seen, model);
}

TEST(ItemTable, HoldsWhatAMapWouldForEveryKindOfHandle) {
    std::mt19937 random(7);
    // A pool mixing the service's handles (dense indexes, a few generations)
    // with strays: no index bits, and indexes beyond any growth.
    std::vector<uint32_t> pool;
    for (uint32_t index = 0; index < 3000; index += (index < 64 ? 1 : 97))
        for (uint32_t generation = 0; generation < 3; ++generation) pool.push_back(handle_of(index, generation));
    for (uint32_t generation = 1; generation < 4; ++generation) pool.push_back(generation << kItemIndexBits);
    pool.push_back(handle_of(ostrand::kItemIndexMask - 1, 0));
    pool.push_back(handle_of(200000, 5));

    ItemTable<std::string> table;
    std::map<uint32_t, std::string> model;
    for (int step = 0; step < 20000; ++step) {
        const uint32_t h = pool[random() % pool.size()];
        switch (random() % 6) {
        case 0: case 1: case 2: { // insert or overwrite
            const std::string v = std::to_string(step);
            table[h] = v;
            model[h] = v;
            break;
        }
        case 3: EXPECT_EQ(table.erase(h), model.erase(h)); break;
        case 4: { // erase in the middle of an iteration
            const uint32_t parity = step & 1;
            table.erase_if([&](const auto& e) { return (e.first & 1) == parity && e.second.size() % 3 == 0; });
            std::erase_if(model, [&](const auto& e) { return (e.first & 1) == parity && e.second.size() % 3 == 0; });
            break;
        }
        default: { // look up, and insert only when missing
            auto it = table.find(h);
            auto m = model.find(h);
            ASSERT_EQ(it == table.end(), m == model.end()) << h;
            ASSERT_EQ(table.get(h) == nullptr, m == model.end()) << h;
            if (it != table.end()) {
                EXPECT_EQ(it->second, m->second);
            }
            auto [at, added] = table.try_emplace(h);
            EXPECT_EQ(added, m == model.end());
            if (added) model[h];
            EXPECT_EQ(at->first, h);
        }
        }
        if (step % 500 == 0) expect_same(table, model);
    }
    expect_same(table, model);
    table.clear();
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(table.begin(), table.end());
}

} // namespace
