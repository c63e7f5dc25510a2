// The data set most core tests serve: slave 1 with blocks of every point type
// and a wide-register block, slave 2 with a few holding registers.
#pragma once

#include "test_core_util.h"

#include <gtest/gtest.h>

namespace coretest {

class Plant : public ::testing::Test {
protected:
    void SetUp() override {
        ResetCore();
        for (int i = 0; i < 100; ++i) holding[i] = static_cast<uint16_t>(0x1000 + i);
        ASSERT_NE(DefineDataBlock(1, PELLACOR_COIL_STATUS, 1, 10, coils), 0);
        ASSERT_NE(DefineDataBlock(1, PELLACOR_INPUT_STATUS, 1, 8, inputs), 0);
        ASSERT_NE(DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 100, holding), 0);
        ASSERT_NE(DefineDataBlock(1, PELLACOR_INPUT_REGISTER, 1, 4, inputRegisters), 0);
        ASSERT_NE(DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 5001, 4, wide), 0);
        ASSERT_NE(DefineDataBlock(2, PELLACOR_HOLDING_REGISTER, 1, 10, slave2), 0);
        WriteLog::Calls().clear();
    }
    void TearDown() override { ResetCore(); }

    uint16_t coils[10] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    uint16_t inputs[8] = {0, 1, 0, 0, 0, 0, 0, 1};
    uint16_t holding[100] = {};
    uint16_t inputRegisters[4] = {0xABCD, 0x0001, 0xFFFF, 0x1234};
    uint32_t wide[4] = {0x11223344, 0x55667788, 0, 0};
    uint16_t slave2[10] = {};
};

} // namespace coretest
