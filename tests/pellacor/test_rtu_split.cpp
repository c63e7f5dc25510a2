// RTU frames found by length and CRC in buffers of back-to-back frames.
#include "rtu_split.h"

#include "core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using pellacor::RtuCut;

Bytes WithCrc(Bytes message) {
    const uint16_t crc = pellacor::Crc16(message.data(), message.size());
    message.push_back(static_cast<uint8_t>(crc));
    message.push_back(static_cast<uint8_t>(crc >> 8));
    return message;
}
Bytes Join(std::initializer_list<Bytes> frames) {
    Bytes all;
    for (const Bytes& f : frames) all.insert(all.end(), f.begin(), f.end());
    return all;
}
Bytes Cut(Bytes b, size_t keep) {
    b.resize(keep);
    return b;
}

// Slave 1 is this link's; slave 2 another one on the bus.
const Bytes kRead1 = WithCrc({1, 3, 0, 0, 0, 10});
const Bytes kRead2 = WithCrc({2, 3, 0, 0, 0, 2});
const Bytes kReply2 = WithCrc({2, 3, 4, 0x12, 0x34, 0x56, 0x78});
const Bytes kShortReply2 = WithCrc({2, 3, 2, 0xAB, 0xCD}); // shorter than a request
const Bytes kException2 = WithCrc({2, 0x83, 2});
const Bytes kWrite16To1 = WithCrc({1, 16, 0, 0, 0, 2, 4, 0, 1, 0, 2});
const Bytes kWrite16To2 = WithCrc({2, 16, 0, 0, 0, 2, 4, 0, 1, 0, 2});
const Bytes kWrite16Reply2 = WithCrc({2, 16, 0, 0, 0, 2});
const Bytes kUnknownTo1 = WithCrc({1, 0x2B, 0x0E, 1});
// Slave 1's id at the start of what reads as a short reply: as a request to
// this link it is incomplete.
const Bytes kReplyShapedTo1 = WithCrc({1, 3, 2, 0, 10});

bool Ours(uint8_t slave) { return slave == 0 || slave == 1; }

TEST(RtuFrameAtStart, LengthFollowsTheFunctionCode) {
    struct Case {
        const char* name;
        Bytes buffer;
        RtuCut::Kind kind;
        size_t length;
    };
    const Case cases[] = {
        {"our read request", Join({kRead1, kRead2}), RtuCut::Kind::Frame, 8},
        {"our read request short of a byte", Cut(kRead1, 7), RtuCut::Kind::NeedMore, 0},
        {"our write multiple by its byte count", Join({kWrite16To1, kRead2}), RtuCut::Kind::Frame, 13},
        {"our write multiple before its count", Cut(kWrite16To1, 6), RtuCut::Kind::NeedMore, 0},
        {"another slave's request", Join({kRead2, kReply2}), RtuCut::Kind::Frame, 8},
        {"another slave's reply", Join({kReply2, kRead1}), RtuCut::Kind::Frame, 9},
        {"another slave's reply shorter than a request", Join({kShortReply2, kRead1}), RtuCut::Kind::Frame, 7},
        {"another slave's exception", Join({kException2, kRead1}), RtuCut::Kind::Frame, 5},
        {"another slave's write multiple", Join({kWrite16To2, kRead1}), RtuCut::Kind::Frame, 13},
        {"another slave's write multiple reply", Join({kWrite16Reply2, kRead1}), RtuCut::Kind::Frame, 8},
        {"another slave's reply before its byte count", Cut(kReply2, 2), RtuCut::Kind::NeedMore, 0},
        {"a frame to us is read as a request only", kReplyShapedTo1, RtuCut::Kind::NeedMore, 0},
        {"unknown function", Join({kUnknownTo1, kRead1}), RtuCut::Kind::Unknown, 0},
        {"our request with a broken CRC", Join({Cut(kRead1, 7), Bytes{0}}), RtuCut::Kind::Unknown, 0},
        {"one byte", Bytes{1}, RtuCut::Kind::NeedMore, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RtuCut cut = pellacor::RtuFrameAtStart(c.buffer.data(), c.buffer.size(), Ours(c.buffer[0]));
        EXPECT_EQ(cut.kind, c.kind);
        EXPECT_EQ(cut.length, c.length);
    }
}

TEST(SplitRtuBuffer, BackToBackFramesAreCutWhereAPrefixHolds) {
    struct Case {
        const char* name;
        Bytes buffer;
        std::vector<size_t> lengths;
    };
    const Bytes noise = {0x55, 0xAA, 0x12};
    const Case cases[] = {
        {"one frame", kRead1, {8}},
        {"a frame of a length no function gives", WithCrc({1, 8, 0, 0, 1, 2, 3, 4}), {10}},
        {"request, reply, our request", Join({kRead2, kReply2, kRead1}), {8, 9, 8}},
        {"short reply, exception, write", Join({kShortReply2, kException2, kWrite16To1}), {7, 5, 13}},
        {"unknown function cut by its CRC", Join({kUnknownTo1, kRead1}), {6, 8}},
        {"noise after a frame stays one piece", Join({kRead1, noise}), {8, 3}},
        {"noise alone", noise, {3}},
        {"a broken frame ahead of a good one", Join({Cut(kRead1, 5), kRead2}), {13}},
        {"nothing", Bytes{}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto pieces = pellacor::SplitRtuBuffer(c.buffer.data(), c.buffer.size(), &Ours);
        std::vector<size_t> lengths;
        size_t next = 0;
        for (const auto& piece : pieces) {
            EXPECT_EQ(piece.offset, next); // in order, no gaps, no overlap
            next = piece.offset + piece.length;
            lengths.push_back(piece.length);
        }
        EXPECT_EQ(next, c.buffer.size());
        EXPECT_EQ(lengths, c.lengths);
    }
}

TEST(RtuInterFrameSilence, ElevenBitCharactersAndAFloorAbove19200) {
    struct Case {
        uint32_t baud;
        long long nanoseconds;
    };
    const Case cases[] = {
        {1200, 32'083'334}, {9600, 4'010'417}, {19200, 2'005'209}, {19201, 1'750'000}, {115200, 1'750'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        EXPECT_EQ(pellacor::RtuInterFrameSilence(c.baud).count(), c.nanoseconds);
    }
}

} // namespace
