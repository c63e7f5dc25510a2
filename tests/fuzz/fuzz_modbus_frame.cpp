// The traffic window's frame decoder and capture writer over arbitrary bytes:
// each frame sits in a heap buffer of exactly its size, so a read past its
// end is caught; the decoded words stay within what the frame can say.
//
// Input: byte 0 picks the framing (low two bits) and the direction (bit 2);
// the rest is one frame.
#include "model/modbus_frame.h"
#include "model/pcap_file.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvane;
    if (size < 1) return 0;
    const auto framing = static_cast<ModbusFraming>((data[0] & 3) % 3);
    const bool request = (data[0] & 4) != 0;
    const size_t length = size - 1;
    const auto frame = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
    std::memcpy(frame.get(), data + 1, length);
    const std::span<const uint8_t> bytes(frame.get(), length);

    const DecodedFrame d = DecodeModbusFrame(framing, request, bytes);
    if (d.text.empty() || d.text.size() > 400) std::abort();
    if (d.check == DecodedFrame::Check::Good) {
        if (d.slave < 0 || d.slave > 255 || d.function > 255) std::abort();
        if (d.exception && (request || d.function > 127)) std::abort();
    } else if (d.slave != -1 || d.function != -1 || d.exception) {
        std::abort();
    }

    const std::string capture = ModbusTcpPcap({PcapFrame{0, request, bytes}, PcapFrame{1, !request, bytes}});
    // File header, then two records of 16 bytes, 40 bytes of headers and the frame each.
    if (length <= 65495 && capture.size() != 24 + 2 * (16 + 40 + length)) std::abort();
    return 0;
}
