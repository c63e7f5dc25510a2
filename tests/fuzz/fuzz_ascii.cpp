// ASCII receive over arbitrary buffers. The first byte chooses the options and
// whether the rest is framed with a colon, a valid LRC and CR LF, so that most
// inputs reach decoding and request processing. Bit 2 slips a noise byte into
// the framed body, the kind of corruption that decoding non-hex characters as
// 0 used to let through.
//
// Checked: a frame that was processed (counted good) or answered ran from the
// last colon before the first line feed and held only hex digits up to its
// line end.
#include "fuzz_request_plant.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsHex(char ch) { return (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F') || (ch >= 'a' && ch <= 'f'); }

// The frame the rules pick out of `buffer` held nothing but hex digits.
bool FrameAllHex(const std::string& buffer) {
    const size_t lf = buffer.find('\n');
    if (lf == std::string::npos || lf < 2) return false;
    const size_t colon = buffer.rfind(':', lf);
    if (colon == std::string::npos) return false;
    for (size_t i = colon + 1; i + 1 < lf; ++i)
        if (!IsHex(buffer[i])) return false;
    return true;
}

void NoteSent(void* sent, const uint8_t*, size_t) { *static_cast<bool*>(sent) = true; }

} // namespace

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
        if ((data[0] & 4) && buffer.size() > 5)
            buffer[1 + data[0] % (buffer.size() - 4)] = static_cast<char>(data[0] | 0x80);
    }
    bool sent = false;
    pellacor::AsciiReceive(c, reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(), {&sent, NoteSent});
    const bool processed = c.goodFrames.load() != 0;
    if (sent && !processed) std::abort();
    if (processed && !FrameAllHex(buffer)) std::abort();
    return 0;
}
