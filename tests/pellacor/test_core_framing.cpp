// Whole serial frames in, whole replies out, with the frame counters.
#include "test_core_support.h"

#include <algorithm>
#include <cstring>

using namespace coretest;
using pellacor::Connection;

namespace {

struct Vector {
    const char* name;
    const char* request;
    const char* reply; // "" = nothing sent
};

class Framing : public Plant {
protected:
    // Runs one frame and returns what was sent ("" for silence).
    std::string Rtu(const std::vector<uint8_t>& frame, uint32_t options = 0) {
        conn.options = options;
        Replies r;
        pellacor::RtuReceive(conn, frame.data(), frame.size(), r.Sink());
        EXPECT_LE(r.sent.size(), 1u);
        return r.sent.empty() ? "" : ToHex(r.sent[0]);
    }
    std::string Ascii(const std::string& buffer, uint32_t options = 0) {
        conn.options = options;
        Replies r;
        pellacor::AsciiReceive(conn, reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size(), r.Sink());
        EXPECT_LE(r.sent.size(), 1u);
        return r.sent.empty() ? "" : std::string(r.sent[0].begin(), r.sent[0].end());
    }
    Connection conn;
};

const Vector kRtu[] = {
    {"read coils 10 points", "01010000000ABC0D", "0101020D03FD6D"},
    {"read discrete inputs", "01020000000879CC", "0102018221E9"},
    {"read holding 3", "01030000000305CB", "010306100010011002FAE4"},
    {"read input registers", "01040000000271CB", "010404ABCD00018B9F"},
    {"read past the block end", "0103006300023415", "018302C0F1"},
    {"read quantity 0", "01030000000045CA", "01030020F0"},
    {"protocol address 65535 wraps to point 0", "0103FFFF0001842E", "018302C0F1"},
    {"write single coil FF00", "01050001FF00DDFA", "01050001FF00DDFA"},
    {"write single register", "010600021234257D", "010600021234257D"},
    {"write single to missing point", "010600C812340543", "018602C3A1"},
    {"write multiple coils", "010F0000000A02FF016508", "010F0000000AD5CC"},
    {"write multiple registers", "011000000002040001000223AE", "01100000000241C8"},
    {"write multiple quantity 0", "011000000000000950", "011000000000C009"},
    {"diagnostics", "01080000A537DA8D", "01080000A537DA8D"},
    {"diagnostics any sub-function", "010812348D6D", "010812348D6D"},
    {"function 7", "010741E2", "0187018230"},
    {"function code with top bit set", "01830000000185D4", "010301E130"},
    {"short read", "01030000F1D8", "018302C0F1"},
    {"short write single", "01060023A0", "018602C3A1"},
    {"short write multiple", "01100000001D00", "019002CDC1"},
    {"16 with data short of quantity", "01100000000306000100025BBF", "019002CDC1"},
    {"15 with data short of quantity", "010F0000000902FFEFE5", "018F02C5F1"},
    {"slave without blocks", "03030000000185E8", ""},
    {"broadcast write", "0006000200076819", ""},
    {"broadcast failed write", "000600C800074827", ""},
    {"broadcast read", "00030000000185DB", ""},
    {"slave id without function code", "017E80", ""},
};

const Vector kRtuWide[] = {
    {"wide read at 5001", "01031388000240A5", "0103081122334455667788749C"},
    {"wide write", "0110138800020811223344AABBCCDD7D3D", "011013880002C566"},
    {"start below 5001 stays 16-bit", "01031387000130A7", "018302C0F1"},
    {"single register is never wide", "0106138800FF4D24", "0106138800FF4D24"},
};

const Vector kAscii[] = {
    {"read holding 3", ":010300000003F9\r\n", ":010306100010011002C3\r\n"},
    {"noise before the colon", "\x11\xff junk:010300000003F9\r\n", ":010306100010011002C3\r\n"},
    {"exception", ":01030063000297\r\n", ":0183027A\r\n"},
    {"function 7", ":0107F8\r\n", ":01870177\r\n"},
    {"write single register", ":010600021234B1\r\n", ":010600021234B1\r\n"},
    {"write multiple registers", ":0110000000020400010002E6\r\n", ":011000000002ED\r\n"},
    {"write multiple coils", ":010F0000000A02FF01E4\r\n", ":010F0000000AE6\r\n"},
    {"diagnostics", ":01080000A5371B\r\n", ":01080000A5371B\r\n"},
    {"short read", ":010300FC\r\n", ":0183027A\r\n"},
    {"slave without blocks", ":030300000001F9\r\n", ""},
    {"broadcast write", ":000600020007F1\r\n", ""},
    {"lowercase body, uppercase check", ":01060002abcd7F\r\n", ":01060002abcd7F\r\n"},
    {"diagnostics stop at the first line feed", ":01080000A5371B\r\n:0103", ":01080000A5371B\r\n"},
};

const Vector kAsciiWide[] = {
    {"wide write 2 values", ":0110138800020811223344AABBCCDD92\r\n", ":01101388000252\r\n"},
    {"wide read", ":01031388000160\r\n", ":010304112233444E\r\n"},
};

TEST_F(Framing, RtuVectors) {
    for (const Vector& v : kRtu) EXPECT_EQ(Rtu(Hex(v.request)), v.reply) << v.name;
    for (const Vector& v : kRtuWide) EXPECT_EQ(Rtu(Hex(v.request), 1), v.reply) << v.name;
    EXPECT_EQ(conn.goodFrames, std::size(kRtu) + std::size(kRtuWide));
    EXPECT_EQ(conn.badFrames, 0u);
}

TEST_F(Framing, AsciiVectors) {
    for (const Vector& v : kAscii) EXPECT_EQ(Ascii(v.request), v.reply) << v.name;
    for (const Vector& v : kAsciiWide) EXPECT_EQ(Ascii(v.request, 1), v.reply) << v.name;
    // Only accepted frames count as good in ASCII.
    EXPECT_EQ(conn.goodFrames, std::size(kAscii) + std::size(kAsciiWide) - 1);
    EXPECT_EQ(conn.badFrames, 0u);
}

// Every exception reply sent is counted under its code, in both serial
// framings: the counts follow the replies of the vectors above.
TEST_F(Framing, ExceptionRepliesAreCountedByCode) {
    struct Framed {
        bool ascii;
        const Vector* vectors;
        size_t count;
        uint32_t options;
    } runs[] = {{false, kRtu, std::size(kRtu), 0},
                {false, kRtuWide, std::size(kRtuWide), 1},
                {true, kAscii, std::size(kAscii), 0},
                {true, kAsciiWide, std::size(kAsciiWide), 1}};
    uint32_t expected[pellacor::kExceptionSlots] = {};
    for (const Framed& run : runs) {
        for (size_t i = 0; i < run.count; ++i) {
            const Vector& v = run.vectors[i];
            // Reply bytes: slave, function (top bit set for an exception), code.
            // Slave, function, code: an exception reply names another
            // function than the request (the top bit flipped).
            const std::string sent = v.reply;
            const std::string reply = run.ascii && !sent.empty() ? sent.substr(1) : sent;
            std::string request = v.request;
            if (run.ascii) request = request.substr(request.find(':') + 1);
            if (run.ascii) Ascii(v.request, run.options);
            else Rtu(Hex(v.request), run.options);
            if (reply.size() >= 6 && reply.substr(2, 2) != request.substr(2, 2)) ++expected[Hex(reply.substr(4, 2))[0]];
        }
    }
    EXPECT_GT(expected[1] + expected[2], 4u); // the vectors do hold exceptions
    for (int code = 0; code < pellacor::kExceptionSlots; ++code)
        EXPECT_EQ(conn.exceptions[code].load(), expected[code]) << "code " << code;
}

TEST_F(Framing, WritesReachTheBlocks) {
    coils[0] = 0;
    Rtu(Hex("0105000000010C0A")); // value 0x0001 means ON on a serial link
    EXPECT_EQ(coils[0], 1);
    Rtu(Hex("010F0000000A02FF016508"));
    EXPECT_EQ(std::vector<uint16_t>(coils, coils + 10), (std::vector<uint16_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 0}));
    Rtu(Hex("0110138800020811223344AABBCCDD7D3D"), 1);
    EXPECT_EQ(wide[0], 0x11223344u);
    EXPECT_EQ(wide[1], 0xAABBCCDDu);
    // Multiple writes whose data falls short of the quantity write nothing.
    Rtu(Hex("01100000000306000100025BBF"));
    Ascii(":0110000000030400010002E5\r\n");
    EXPECT_EQ(holding[0], 0x1000);
    EXPECT_EQ(holding[1], 0x1001);
    Ascii(":01060002abcd7F\r\n");
    EXPECT_EQ(holding[2], 0xABCD); // protocol address 2 is point 3
    // A serial broadcast writes every slave's blocks.
    Rtu(Hex("0006000200076819"));
    EXPECT_EQ(holding[2], 7);
    EXPECT_EQ(slave2[2], 7);
}

TEST_F(Framing, WideRequestsDoNotWrapOntoNarrowBlocks) {
    static uint32_t top = 0x01020304;
    static uint16_t bottom = 0x0506; // a 16-bit element: a 32-bit access would overrun it
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 65535, 1, &top);
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 0, 1, &bottom);
    EXPECT_EQ(Rtu(Hex("0103FFFE000295EF"), 1), "018302C0F1");
    EXPECT_EQ(Rtu(Hex("0110FFFE0002080000000100000002144C"), 1), "019002CDC1");
    EXPECT_EQ(top, 0x01020304u);
    EXPECT_EQ(bottom, 0x0506);
}

TEST_F(Framing, BadFramesAreCountedAndUnanswered) {
    const char* rtu[] = {"", "01", "0103", "010300000001840B" /* last byte changed */,
                         "01030000000305CB010300000001840A" /* two requests without silence */};
    const char* ascii[] = {
        "010300000003F9\r\n",    // no colon
        ":010300000003F9\r",     // no line feed
        ":F9\r\n",               // 5 characters
        ":010300000003f9\r\n",   // lowercase check does not match
        ":010300000003F8\r\n",   // wrong check
        ":01FF\r\n",             // good check, but no function code
    };
    for (const char* f : rtu) EXPECT_EQ(Rtu(Hex(f)), "") << f;
    for (const char* f : ascii) EXPECT_EQ(Ascii(f), "") << f;
    EXPECT_EQ(conn.badFrames, std::size(rtu) + std::size(ascii));
    EXPECT_EQ(conn.goodFrames, 0u);
    EXPECT_EQ(Rtu(Hex("010300000001840A")), "0103021000B584");
    EXPECT_EQ(conn.goodFrames, 1u);
}

TEST_F(Framing, AsciiNoiseNeverBecomesARequest) {
    uint16_t slave5[4] = {};
    ASSERT_NE(DefineDataBlock(5, PELLACOR_HOLDING_REGISTER, 1, 4, slave5), 0);
    const uint16_t coilsBefore[10] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    struct Case {
        const char* name;
        std::string buffer;
        const char* reply;
        uint32_t good, bad;
    };
    // Each colon starts a frame; whatever came before the last one is noise
    // and no frame. Any non-hex byte between colon and line end spoils the
    // frame even where decoding it as 0 would keep the check right.
    const Case cases[] = {
        {"colon and DEL ahead of a write", ":\x7f:050600010005EF\r\n", ":050600010005EF\r\n", 1, 0},
        {"several broken starts", ":01:0103:\x13:010300000003F9\r\n", ":010306100010011002C3\r\n", 1, 0},
        {"DEL inside the body", ":01060\x7f" "021234B1\r\n", "", 0, 1},
        {"blank inside the body", ":0106 0021234B1\r\n", "", 0, 1},
        {"NUL inside the body", std::string(":01060\0", 8) + "021234B1\r\n", "", 0, 1},
        {"non-hex check character", ":010600021234B\x7f\r\n", "", 0, 1},
        {"colon just before the line end", ":010300000003F9:\r\n", "", 0, 1},
        {"line end before any colon", "\x7f\r\n:010300000003F9\r\n", "", 0, 1},
        {"line feed after a blank, not CR", ":010300000003F9 \n", "", 0, 1},
        {"line feed after a hex digit, not CR", ":010300000003F90\n", "", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t good = conn.goodFrames, bad = conn.badFrames;
        EXPECT_EQ(Ascii(c.buffer), c.reply);
        EXPECT_EQ(conn.goodFrames - good, c.good);
        EXPECT_EQ(conn.badFrames - bad, c.bad);
    }
    EXPECT_EQ(slave5[1], 5);
    EXPECT_EQ(holding[2], 0x1002); // the spoiled writes of HR 3 wrote nothing
    EXPECT_TRUE(std::equal(std::begin(coils), std::end(coils), std::begin(coilsBefore)));
}

TEST_F(Framing, InactiveSlaveIsSilentButStillCountedInRtu) {
    ActivateSlaveId(1, 0);
    EXPECT_EQ(Rtu(Hex("010300000001840A")), "");
    EXPECT_EQ(Ascii(":010300000003F9\r\n"), "");
    EXPECT_EQ(conn.goodFrames, 1u); // the RTU frame only
    EXPECT_EQ(conn.badFrames, 0u);
}

TEST_F(Framing, ReadLimits) {
    static uint16_t big[1100] = {};
    ASSERT_NE(DefineDataBlock(9, PELLACOR_HOLDING_REGISTER, 1, 1100, big), 0);
    auto rtuRead = [&](uint16_t quantity, uint32_t options, uint16_t address) {
        std::vector<uint8_t> f = {9, 3, uint8_t(address >> 8), uint8_t(address), uint8_t(quantity >> 8),
                                  uint8_t(quantity)};
        const uint16_t crc = pellacor::Crc16(f.data(), f.size());
        f.push_back(uint8_t(crc));
        f.push_back(uint8_t(crc >> 8));
        conn.options = options;
        Replies r;
        pellacor::RtuReceive(conn, f.data(), f.size(), r.Sink());
        return r.sent.empty() ? size_t{0} : r.sent[0].size();
    };
    EXPECT_EQ(rtuRead(1010, 0, 0), 2025u); // the byte count wraps, the data is complete
    EXPECT_EQ(rtuRead(1011, 0, 0), 5u);
    static uint32_t bigWide[600] = {};
    ASSERT_NE(DefineDataBlock(9, PELLACOR_HOLDING_REGISTER, 5001, 600, bigWide), 0);
    EXPECT_EQ(rtuRead(505, 1, 5000), 2025u);
    EXPECT_EQ(rtuRead(506, 1, 5000), 5u);

    auto asciiRead = [&](uint16_t quantity) {
        char body[16];
        std::snprintf(body, sizeof body, "090300000%03X", quantity);
        std::string frame = std::string(":") + body;
        char lrc[3];
        std::snprintf(lrc, sizeof lrc, "%02X", pellacor::Lrc(body, std::strlen(body)));
        return Ascii(frame + lrc + "\r\n").size();
    };
    EXPECT_EQ(asciiRead(252), 1u + 6 + 4 * 252 + 4);
    EXPECT_EQ(asciiRead(253), 11u);
}

TEST(FramingChecks, CrcLrcAndFrameEndTime) {
    const uint8_t request[] = {1, 3, 0, 0, 0, 1};
    EXPECT_EQ(pellacor::Crc16(request, sizeof request), 0x0A84);
    EXPECT_EQ(pellacor::Lrc("010300000003", 12), 0xF9);
    EXPECT_EQ(pellacor::Lrc("0a0B", 4), 0xEB);
    EXPECT_EQ(pellacor::Lrc("zz01", 4), 0xFF); // invalid characters decode as 0
    const std::pair<uint32_t, uint32_t> times[] = {{300, 250},  {1200, 250},   {2400, 100},  {4800, 100},
                                                   {9600, 50},  {19200, 50},   {38400, 5},   {115200, 5},
                                                   {256000, 5}, {250000, 500}, {0, 500},    {14400, 50}};
    for (auto [baud, ms] : times) EXPECT_EQ(pellacor::EndOfFrameTimeMs(baud), ms) << baud;
}

} // namespace
