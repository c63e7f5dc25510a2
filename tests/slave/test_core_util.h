// Helpers of the core tests: hex frames, a reply collector and a clean table.
#pragma once

#include "core.h"

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

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

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

} // namespace coretest
