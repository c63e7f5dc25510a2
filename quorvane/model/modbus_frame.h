// One Modbus frame as the traffic window shows it: the framing checked (CRC,
// LRC, MBAP header), then slave id, function and what the request asks or the
// reply answers, in words. Reads only the bytes it is given.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quorvane {

enum class ModbusFraming : uint8_t { Rtu, Ascii, Tcp };

struct DecodedFrame {
    enum class Check : uint8_t { Good, BadFrame, CrcError, LrcError };
    Check check = Check::BadFrame;
    int slave = -1;    // -1 where the frame names none
    int function = -1; // without the exception bit; -1 where none
    bool exception = false;
    std::string text;  // "slave 1, Read Holding Registers, address 0, count 10"
};

// `request`: the frame came from a master (received); otherwise it is the
// slave's reply.
DecodedFrame DecodeModbusFrame(ModbusFraming framing, bool request, std::span<const uint8_t> frame);

// "Read Holding Registers" for 3; "Function 99" for a code without a name.
std::string ModbusFunctionName(int function);
// "Illegal Data Address" for 2; "Exception 99" for a code without a name.
std::string ModbusExceptionName(int code);

} // namespace quorvane
