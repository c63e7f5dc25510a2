// ASCII receive over arbitrary buffers. The first byte chooses the options and
// whether the rest is framed with a colon, a valid LRC and CR LF, so that most
// inputs reach decoding and request processing.
#include "fuzz_request_plant.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzplant::DefineOnce();
    if (size == 0) return 0;
    pellacor::Connection c;
    c.options = data[0] & 1;
    std::string buffer(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 2) {
        static const char digits[] = "0123456789ABCDEF";
        const uint8_t lrc = pellacor::Lrc(buffer.data(), buffer.size());
        buffer = ":" + buffer + digits[lrc >> 4] + digits[lrc & 15] + "\r\n";
    }
    pellacor::AsciiReceive(c, reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(),
                           {nullptr, fuzzplant::Discard});
    return 0;
}
