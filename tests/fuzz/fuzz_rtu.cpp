// RTU receive over arbitrary frames. The first byte chooses the connection's
// options and whether the frame gets a valid CRC, so that most inputs reach
// request processing instead of failing the check.
#include "fuzz_request_plant.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzplant::DefineOnce();
    if (size == 0) return 0;
    pellacor::Connection c;
    c.options = data[0] & 1;
    std::vector<uint8_t> frame(data + 1, data + size);
    if (data[0] & 2) {
        const uint16_t crc = pellacor::Crc16(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
    }
    pellacor::RtuReceive(c, frame.data(), frame.size(), {nullptr, fuzzplant::Discard});
    return 0;
}
