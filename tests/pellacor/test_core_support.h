// Helpers of the core tests: hex frames, a reply collector, a clean table and
// the data set most tests serve (slave 1 with blocks of every point type and a
// wide-register block, slave 2 with a few holding registers).
#pragma once

#include "core.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace coretest {

inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char ch : text)
        if (ch != ' ') digits += ch;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// Collects what the framing sends.
struct Replies {
    std::vector<std::vector<uint8_t>> sent;
    pellacor::ReplySink Sink() {
        return {this, [](void* self, const uint8_t* data, size_t length) {
                    static_cast<Replies*>(self)->sent.emplace_back(data, data + length);
                }};
    }
};

// Frees every entry, clears every active flag, notification and callback.
inline void ResetCore() {
    for (int h = 1; h <= pellacor::kBlockCount; ++h) {
        RemoveDataBlock(h);
        EnableDoWriteNotification(nullptr, h, 0, 0);
    }
    for (int s = 0; s <= 255; ++s) ActivateSlaveId(static_cast<uint8_t>(s), 0);
    EnableCallback(nullptr);
    EnableBufferCallback(nullptr);
}

// A write callback that records its calls.
struct WriteLog {
    struct Call {
        int32_t slave, type, address, value;
        bool operator==(const Call&) const = default;
    };
    static std::vector<Call>& Calls() {
        static std::vector<Call> calls;
        return calls;
    }
    static int32_t Record(int32_t slave, int32_t type, int32_t address, int32_t value) {
        Calls().push_back({slave, type, address, value});
        return 0;
    }
};


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
