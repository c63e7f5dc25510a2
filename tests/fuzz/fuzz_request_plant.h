// The blocks every core fuzz target serves: each point type for slaves 0 to 3,
// heap memory of exactly the defined size so that any access outside a block
// is caught, 32-bit elements for the blocks at and above point 5001.
#pragma once

#include "core.h"

#include <cstdint>

namespace fuzzplant {

inline void DefineOnce() {
    static const bool done = [] {
        for (uint8_t slave = 0; slave <= 3; ++slave) {
            ActivateSlaveId(slave, 1);
            for (uint8_t type = 1; type <= 4; ++type) {
                DefineDataBlock(slave, type, 1, 100, new uint16_t[100]());
                DefineDataBlock(slave, type, 90, 30, new uint16_t[30]()); // overlaps the first
                DefineDataBlock(slave, type, 4990, 11, new uint16_t[11]());
                DefineDataBlock(slave, type, 5001, 64, new uint32_t[64]());
                DefineDataBlock(slave, type, 65500, 36, new uint32_t[36]());
            }
        }
        EnableCallback([](int32_t, int32_t, int32_t, int32_t) { return 0; });
        return true;
    }();
    (void)done;
}

inline void Discard(void*, const uint8_t*, size_t) {}

} // namespace fuzzplant
