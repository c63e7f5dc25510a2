#include "model/modbus_frame.h"

#include <array>
#include <vector>

namespace quorvane {
namespace {

// CRC-16 of Modbus over serial line (polynomial 0xA001, reflected, start 0xFFFF).
uint16_t Crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

int HexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Reads big-endian fields of a PDU and never past its end.
class Fields {
public:
    explicit Fields(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Has(size_t n) const { return bytes_.size() - at_ >= n; }
    uint8_t Byte() { return bytes_[at_++]; }
    uint16_t Word() {
        const auto w = static_cast<uint16_t>((bytes_[at_] << 8) | bytes_[at_ + 1]);
        at_ += 2;
        return w;
    }
    size_t Left() const { return bytes_.size() - at_; }
    std::span<const uint8_t> Rest() const { return bytes_.subspan(at_); }

private:
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

constexpr size_t kValuesShown = 8; // more are summed up as "..."

std::string Hex4(uint16_t w) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string s = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) s += kHex[(w >> shift) & 0xF];
    return s;
}

// " 1 0 1 ..." for `count` bits packed from the low bit of the first byte.
std::string Bits(std::span<const uint8_t> packed, size_t count) {
    std::string s;
    for (size_t i = 0; i < count && i / 8 < packed.size(); ++i) {
        if (i == kValuesShown) return s + " ...";
        s += (packed[i / 8] >> (i % 8)) & 1 ? " 1" : " 0";
    }
    return s;
}

// " 4096 4097 ..." for the 16-bit words in `bytes` (an odd byte is left out).
std::string Words(std::span<const uint8_t> bytes) {
    std::string s;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if (i / 2 == kValuesShown) return s + " ...";
        s += ' ' + std::to_string((bytes[i] << 8) | bytes[i + 1]);
    }
    return s;
}

// "address A" and the next word after `label`; "" when the two words are not there.
std::string AddressAnd(Fields& f, const char* label) {
    if (!f.Has(4)) return "";
    const uint16_t address = f.Word(); // read first: the order of a + chain's operands is not fixed
    return "address " + std::to_string(address) + label + std::to_string(f.Word());
}

bool IsBitFunction(int function) { return function == 1 || function == 2 || function == 15; }

// The PDU after the function code, in words; "" when it is cut short.
std::string DescribeRequest(int function, Fields f) {
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
        return AddressAnd(f, ", count ");
    case 5: {
        if (!f.Has(4)) return "";
        const uint16_t address = f.Word();
        const uint16_t value = f.Word();
        return "address " + std::to_string(address) + ", " +
               (value == 0xFF00 ? "ON" : value == 0 ? "OFF" : "value " + Hex4(value));
    }
    case 6:
        return AddressAnd(f, ", value ");
    case 8: {
        if (!f.Has(4)) return "";
        const uint16_t sub = f.Word();
        return "sub-function " + std::to_string(sub) + ", data " + Hex4(f.Word());
    }
    case 15:
    case 16: {
        if (!f.Has(5)) return "";
        const uint16_t address = f.Word();
        const uint16_t count = f.Word();
        const size_t bytes = f.Byte();
        const std::span<const uint8_t> data = f.Rest().first(bytes < f.Left() ? bytes : f.Left());
        return "address " + std::to_string(address) + ", count " + std::to_string(count) + ":" +
               (function == 15 ? Bits(data, count) : Words(data));
    }
    default:
        return "";
    }
}

std::string DescribeReply(int function, Fields f) {
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4: {
        if (!f.Has(1)) return "";
        const size_t bytes = f.Byte();
        if (!f.Has(bytes)) return "";
        const std::span<const uint8_t> data = f.Rest().first(bytes);
        return std::to_string(bytes) + (bytes == 1 ? " byte:" : " bytes:") +
               (IsBitFunction(function) ? Bits(data, bytes * 8) : Words(data));
    }
    case 5:
    case 6:
    case 8:
        return DescribeRequest(function, f); // the echo of the request
    case 15:
    case 16:
        return AddressAnd(f, ", count ");
    default:
        return "";
    }
}

DecodedFrame Broken(DecodedFrame::Check check) {
    DecodedFrame d;
    d.check = check;
    d.text = check == DecodedFrame::Check::CrcError   ? "CRC error"
             : check == DecodedFrame::Check::LrcError ? "LRC error"
                                                      : "bad frame";
    return d;
}

// Slave id, function code and the rest: a PDU whose framing was good.
DecodedFrame DecodeMessage(bool request, uint8_t slave, std::span<const uint8_t> pdu) {
    DecodedFrame d;
    d.check = DecodedFrame::Check::Good;
    d.slave = slave;
    d.text = "slave " + std::to_string(slave);
    if (pdu.empty()) return d;
    const uint8_t code = pdu[0];
    Fields f(pdu.subspan(1));
    d.exception = !request && (code & 0x80) != 0;
    d.function = d.exception ? code & 0x7F : code;
    d.text += ", " + ModbusFunctionName(d.function);
    if (d.exception) {
        if (f.Has(1)) {
            const uint8_t e = f.Byte();
            d.text += ", exception " + std::to_string(e) + " " + ModbusExceptionName(e);
        }
        return d;
    }
    const std::string what = request ? DescribeRequest(d.function, f) : DescribeReply(d.function, f);
    if (!what.empty()) d.text += ", " + what;
    return d;
}

DecodedFrame DecodeAscii(bool request, std::span<const uint8_t> frame) {
    // ':' hex pairs (slave, PDU, LRC) CR LF.
    if (frame.size() < 9 || frame[0] != ':' || frame[frame.size() - 2] != '\r' || frame.back() != '\n' ||
        (frame.size() - 3) % 2 != 0)
        return Broken(DecodedFrame::Check::BadFrame);
    std::vector<uint8_t> bytes;
    bytes.reserve((frame.size() - 3) / 2);
    for (size_t i = 1; i + 1 < frame.size() - 2; i += 2) {
        const int hi = HexDigit(frame[i]), lo = HexDigit(frame[i + 1]);
        if (hi < 0 || lo < 0) return Broken(DecodedFrame::Check::BadFrame);
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    if (static_cast<uint8_t>(-sum) != bytes.back()) return Broken(DecodedFrame::Check::LrcError);
    return DecodeMessage(request, bytes[0], std::span<const uint8_t>(bytes).subspan(1, bytes.size() - 2));
}

} // namespace

DecodedFrame DecodeModbusFrame(ModbusFraming framing, bool request, std::span<const uint8_t> frame) {
    switch (framing) {
    case ModbusFraming::Rtu: {
        // Slave, function, CRC low and high: 4 bytes at the least.
        if (frame.size() < 4) return Broken(DecodedFrame::Check::BadFrame);
        const size_t body = frame.size() - 2;
        if (Crc16(frame.first(body)) != (frame[body] | frame[body + 1] << 8))
            return Broken(DecodedFrame::Check::CrcError);
        return DecodeMessage(request, frame[0], frame.subspan(1, body - 1));
    }
    case ModbusFraming::Ascii:
        return DecodeAscii(request, frame);
    case ModbusFraming::Tcp: {
        // MBAP: transaction, protocol 0, length (of what follows it), unit.
        if (frame.size() < 8) return Broken(DecodedFrame::Check::BadFrame);
        const size_t length = static_cast<size_t>(frame[4] << 8 | frame[5]);
        if (frame[2] != 0 || frame[3] != 0 || length != frame.size() - 6) return Broken(DecodedFrame::Check::BadFrame);
        return DecodeMessage(request, frame[6], frame.subspan(7));
    }
    }
    return Broken(DecodedFrame::Check::BadFrame);
}

std::string ModbusFunctionName(int function) {
    switch (function) {
    case 1: return "Read Coils";
    case 2: return "Read Discrete Inputs";
    case 3: return "Read Holding Registers";
    case 4: return "Read Input Registers";
    case 5: return "Write Single Coil";
    case 6: return "Write Single Register";
    case 7: return "Read Exception Status";
    case 8: return "Diagnostics";
    case 11: return "Get Comm Event Counter";
    case 12: return "Get Comm Event Log";
    case 15: return "Write Multiple Coils";
    case 16: return "Write Multiple Registers";
    case 17: return "Report Server ID";
    case 20: return "Read File Record";
    case 21: return "Write File Record";
    case 22: return "Mask Write Register";
    case 23: return "Read/Write Multiple Registers";
    case 24: return "Read FIFO Queue";
    case 43: return "Encapsulated Interface Transport";
    default: return "Function " + std::to_string(function);
    }
}

std::string ModbusExceptionName(int code) {
    switch (code) {
    case 1: return "Illegal Function";
    case 2: return "Illegal Data Address";
    case 3: return "Illegal Data Value";
    case 4: return "Server Device Failure";
    case 5: return "Acknowledge";
    case 6: return "Server Device Busy";
    case 8: return "Memory Parity Error";
    case 10: return "Gateway Path Unavailable";
    case 11: return "Gateway Target Device Failed to Respond";
    default: return "Exception " + std::to_string(code);
    }
}

} // namespace quorvane
