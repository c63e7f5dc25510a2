// Request processing with every transport, option and reply capacity: the
// request fields and the reply buffer are heap copies of exactly their size,
// so a read past the received fields or a write past the capacity is caught.
#include "fuzz_request_plant.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzplant::DefineOnce();
    if (size < 5) return 0;
    const auto transport = static_cast<pellacor::Transport>(data[0] % 3);
    const uint32_t options = data[0] >> 7;
    const size_t capacity = static_cast<size_t>(data[1]) * 16; // 0 to 4080
    const size_t fieldsLength = size - 4;
    std::unique_ptr<uint8_t[]> fields(new uint8_t[fieldsLength]);
    std::memcpy(fields.get(), data + 4, fieldsLength);
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity + 1]);
    const pellacor::Request request{data[2], data[3], fields.get(), fieldsLength};
    const pellacor::Result r = pellacor::ProcessRequest(transport, options, request, out.get(), capacity);
    if (r.outcome == pellacor::Outcome::Data && r.dataBytes > capacity) std::abort();
    if (r.outcome == pellacor::Outcome::Exception && r.exception != 1 && r.exception != 2) std::abort();
    return 0;
}
