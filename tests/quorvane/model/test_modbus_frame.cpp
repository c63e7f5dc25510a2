// The traffic window's frame decoder: every function the slave answers, in
// both directions, exception replies and broken frames, for RTU, ASCII and
// Modbus/TCP. Each frame is handed over in a buffer of exactly its size, so
// the sanitizer sees any read past its end.
#include "model/modbus_frame.h"
#include "model/pcap_file.h"

#include "../../support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using Check = DecodedFrame::Check;

std::vector<uint8_t> Bytes(ModbusFraming framing, const std::string& text) {
    if (framing == ModbusFraming::Ascii) return std::vector<uint8_t>(text.begin(), text.end());
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(ModbusFrameTest, DecodesEveryFramingFunctionAndFault) {
    constexpr auto kRtu = ModbusFraming::Rtu;
    constexpr auto kAscii = ModbusFraming::Ascii;
    constexpr auto kTcp = ModbusFraming::Tcp;
    constexpr bool kRequest = true, kReply = false;
    struct Case {
        ModbusFraming framing;
        bool request;
        std::string frame; // hex for RTU and TCP, the characters for ASCII
        Check check;
        int function;
        std::string text;
    } const cases[] = {
        // RTU, each function both ways.
        {kRtu, kRequest, "01010000000ABC0D", Check::Good, 1, "slave 1, Read Coils, address 0, count 10"},
        {kRtu, kReply, "0101020D03FD6D", Check::Good, 1, "slave 1, Read Coils, 2 bytes: 1 0 1 1 0 0 0 0 ..."},
        {kRtu, kRequest, "01020000000879CC", Check::Good, 2, "slave 1, Read Discrete Inputs, address 0, count 8"},
        {kRtu, kReply, "0102018221E9", Check::Good, 2, "slave 1, Read Discrete Inputs, 1 byte: 0 1 0 0 0 0 0 1"},
        {kRtu, kRequest, "01030000000305CB", Check::Good, 3, "slave 1, Read Holding Registers, address 0, count 3"},
        {kRtu, kReply, "010306100010011002FAE4", Check::Good, 3,
         "slave 1, Read Holding Registers, 6 bytes: 4096 4097 4098"},
        {kRtu, kRequest, "01040000000271CB", Check::Good, 4, "slave 1, Read Input Registers, address 0, count 2"},
        {kRtu, kReply, "010404ABCD00018B9F", Check::Good, 4, "slave 1, Read Input Registers, 4 bytes: 43981 1"},
        {kRtu, kRequest, "01050001FF00DDFA", Check::Good, 5, "slave 1, Write Single Coil, address 1, ON"},
        {kRtu, kReply, "01050001FF00DDFA", Check::Good, 5, "slave 1, Write Single Coil, address 1, ON"},
        {kRtu, kRequest, "010600021234257D", Check::Good, 6, "slave 1, Write Single Register, address 2, value 4660"},
        {kRtu, kReply, "010600021234257D", Check::Good, 6, "slave 1, Write Single Register, address 2, value 4660"},
        {kRtu, kRequest, "01080000A537DA8D", Check::Good, 8, "slave 1, Diagnostics, sub-function 0, data 0xA537"},
        {kRtu, kReply, "01080000A537DA8D", Check::Good, 8, "slave 1, Diagnostics, sub-function 0, data 0xA537"},
        {kRtu, kRequest, "010F0000000A02FF016508", Check::Good, 15,
         "slave 1, Write Multiple Coils, address 0, count 10: 1 1 1 1 1 1 1 1 ..."},
        {kRtu, kReply, "010F0000000AD5CC", Check::Good, 15, "slave 1, Write Multiple Coils, address 0, count 10"},
        {kRtu, kRequest, "011000000002040001000223AE", Check::Good, 16,
         "slave 1, Write Multiple Registers, address 0, count 2: 1 2"},
        {kRtu, kReply, "01100000000241C8", Check::Good, 16, "slave 1, Write Multiple Registers, address 0, count 2"},
        {kRtu, kReply, "018302C0F1", Check::Good, 3,
         "slave 1, Read Holding Registers, exception 2 Illegal Data Address"},
        {kRtu, kReply, "0187018230", Check::Good, 7, "slave 1, Read Exception Status, exception 1 Illegal Function"},
        {kRtu, kRequest, "01030000F1D8", Check::Good, 3, "slave 1, Read Holding Registers"},
        {kRtu, kRequest, "010300000001840B", Check::CrcError, -1, "CRC error"},
        {kRtu, kReply, "010300", Check::BadFrame, -1, "bad frame"},
        {kRtu, kRequest, "", Check::BadFrame, -1, "bad frame"},
        // ASCII.
        {kAscii, kRequest, ":010300000003F9\r\n", Check::Good, 3,
         "slave 1, Read Holding Registers, address 0, count 3"},
        {kAscii, kReply, ":010306100010011002C3\r\n", Check::Good, 3,
         "slave 1, Read Holding Registers, 6 bytes: 4096 4097 4098"},
        {kAscii, kRequest, ":01010000000AF4\r\n", Check::Good, 1, "slave 1, Read Coils, address 0, count 10"},
        {kAscii, kReply, ":0101020D03EC\r\n", Check::Good, 1, "slave 1, Read Coils, 2 bytes: 1 0 1 1 0 0 0 0 ..."},
        {kAscii, kRequest, ":0105000AFF00F1\r\n", Check::Good, 5, "slave 1, Write Single Coil, address 10, ON"},
        {kAscii, kRequest, ":0106000A1234A9\r\n", Check::Good, 6,
         "slave 1, Write Single Register, address 10, value 4660"},
        {kAscii, kReply, ":010800001234B1\r\n", Check::Good, 8, "slave 1, Diagnostics, sub-function 0, data 0x1234"},
        {kAscii, kRequest, ":010F0000000A02FF01E4\r\n", Check::Good, 15,
         "slave 1, Write Multiple Coils, address 0, count 10: 1 1 1 1 1 1 1 1 ..."},
        {kAscii, kRequest, ":0110000000020400010002E6\r\n", Check::Good, 16,
         "slave 1, Write Multiple Registers, address 0, count 2: 1 2"},
        {kAscii, kReply, ":011000000002ED\r\n", Check::Good, 16,
         "slave 1, Write Multiple Registers, address 0, count 2"},
        {kAscii, kReply, ":0183027A\r\n", Check::Good, 3,
         "slave 1, Read Holding Registers, exception 2 Illegal Data Address"},
        {kAscii, kRequest, ":0107F8\r\n", Check::Good, 7, "slave 1, Read Exception Status"},
        {kAscii, kRequest, ":010300000003F8\r\n", Check::LrcError, -1, "LRC error"},
        {kAscii, kRequest, ":010300000003F9\n", Check::BadFrame, -1, "bad frame"},
        {kAscii, kRequest, ":010300000003F9\r", Check::BadFrame, -1, "bad frame"},
        {kAscii, kRequest, ":0103G0000003F9\r\n", Check::BadFrame, -1, "bad frame"},
        {kAscii, kRequest, ":010300000003F\r\n", Check::BadFrame, -1, "bad frame"},
        {kAscii, kRequest, ":01\r\n", Check::BadFrame, -1, "bad frame"},
        {kAscii, kRequest, "010300000003F9\r\n", Check::BadFrame, -1, "bad frame"},
        // Modbus/TCP.
        {kTcp, kRequest, "0001 0000 0006 01 03 0000 0001", Check::Good, 3,
         "slave 1, Read Holding Registers, address 0, count 1"},
        {kTcp, kReply, "0001 0000 0005 01 03 02 1000", Check::Good, 3, "slave 1, Read Holding Registers, 2 bytes: 4096"},
        {kTcp, kRequest, "0002 0000 0006 07 04 0010 0002", Check::Good, 4,
         "slave 7, Read Input Registers, address 16, count 2"},
        {kTcp, kReply, "0003 0000 0006 01 05 0001 0000", Check::Good, 5, "slave 1, Write Single Coil, address 1, OFF"},
        {kTcp, kRequest, "0003 0000 0006 01 05 0001 1234", Check::Good, 5,
         "slave 1, Write Single Coil, address 1, value 0x1234"},
        {kTcp, kRequest, "0004 0000 0009 01 0F 0000 000A 02 FF01", Check::Good, 15,
         "slave 1, Write Multiple Coils, address 0, count 10: 1 1 1 1 1 1 1 1 ..."},
        {kTcp, kRequest, "0005 0000 0019 01 10 0000 0009 12 000100020003000400050006000700080009", Check::Good, 16,
         "slave 1, Write Multiple Registers, address 0, count 9: 1 2 3 4 5 6 7 8 ..."},
        {kTcp, kRequest, "0006 0000 0008 01 10 0000 0002 04 00", Check::Good, 16,
         "slave 1, Write Multiple Registers, address 0, count 2:"},
        {kTcp, kReply, "0007 0000 0003 01 90 04", Check::Good, 16,
         "slave 1, Write Multiple Registers, exception 4 Server Device Failure"},
        {kTcp, kReply, "0008 0000 0003 01 AB 01", Check::Good, 43,
         "slave 1, Encapsulated Interface Transport, exception 1 Illegal Function"},
        {kTcp, kReply, "0008 0000 0003 01 83 63", Check::Good, 3, "slave 1, Read Holding Registers, exception 99 Exception 99"},
        {kTcp, kReply, "0009 0000 0005 01 03 04 1000", Check::Good, 3, "slave 1, Read Holding Registers"},
        {kTcp, kRequest, "000A 0000 0002 01 63", Check::Good, 99, "slave 1, Function 99"},
        {kTcp, kRequest, "0001 0001 0006 01 03 0000 0001", Check::BadFrame, -1, "bad frame"},
        {kTcp, kRequest, "0001 0000 0007 01 03 0000 0001", Check::BadFrame, -1, "bad frame"},
        {kTcp, kRequest, "0001 0000 0001 01", Check::BadFrame, -1, "bad frame"},
        {kTcp, kRequest, "0001 0000 00", Check::BadFrame, -1, "bad frame"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        const std::vector<uint8_t> bytes = Bytes(c.framing, c.frame);
        const DecodedFrame d = DecodeModbusFrame(c.framing, c.request, bytes);
        EXPECT_EQ(d.text, c.text);
        EXPECT_EQ(d.check, c.check);
        EXPECT_EQ(d.function, c.function);
        EXPECT_EQ(d.exception, c.text.find("exception") != std::string::npos);
        EXPECT_EQ(d.slave, c.check == Check::Good ? std::stoi(c.text.substr(6)) : -1);
    }
}

// A capture of requests and replies, read back by a packet analyser: every
// frame is Modbus/TCP, the requests are the ones to port 502 and the IPv4 and
// TCP checksums hold.
TEST(ModbusFrameTest, CaptureFileReadsAsModbusTcp) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const std::vector<std::vector<uint8_t>> frames = {
        Bytes(ModbusFraming::Tcp, "0001 0000 0006 01 03 0000 000A"),
        Bytes(ModbusFraming::Tcp, "0001 0000 0017 01 03 14 0001000200030004000500060007000800090010"),
        Bytes(ModbusFraming::Tcp, "0002 0000 0006 05 06 0004 BEEF"),
        Bytes(ModbusFraming::Tcp, "0002 0000 0006 05 06 0004 BEEF"),
        Bytes(ModbusFraming::Tcp, "0003 0000 000B 01 10 0000 0002 04 1111 2222"),
        Bytes(ModbusFraming::Tcp, "0003 0000 0003 01 90 02"),
    };
    std::vector<PcapFrame> capture;
    for (size_t i = 0; i < frames.size(); ++i)
        capture.push_back(PcapFrame{1765200000000 + 250 * static_cast<int64_t>(i), i % 2 == 0, frames[i]});
    test::TempDir dir("pcap");
    const std::string path = (dir.path / "traffic.pcap").string();
    std::ofstream(path, std::ios::binary) << ModbusTcpPcap(capture);

    const std::string command = "tshark -n -r " + path +
                                " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE -T fields -E separator=, "
                                "-e tcp.dstport -e mbtcp.trans_id -e mbtcp.unit_id -e modbus.func_code "
                                "-e ip.checksum.status -e tcp.checksum.status 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> rows;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) rows.emplace_back(line, std::strlen(line) - 1);
    EXPECT_EQ(::pclose(pipe), 0);
    const std::vector<std::string> expected = {
        "502,1,1,3,1,1",  "49152,1,1,3,1,1",  "502,2,5,6,1,1",
        "49152,2,5,6,1,1", "502,3,1,16,1,1", "49152,3,1,16,1,1",
    };
    EXPECT_EQ(rows, expected);
}

} // namespace
} // namespace quorvane
