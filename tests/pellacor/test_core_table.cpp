// The data-block table, slave acceptance, write callbacks and notifications,
// the Modbus/TCP request rules, connection status and traffic rings.
#include "tcp/server.h"
#include "test_core_support.h"

#include <cstring>

using namespace coretest;
using pellacor::Outcome;
using pellacor::Request;
using pellacor::Transport;

namespace {

// One PDU through ProcessRequest; returns outcome, exception and data.
struct Processed {
    Outcome outcome;
    uint8_t exception;
    std::string data;
};
Processed Process(Transport t, const std::string& pdu, uint32_t options = 0) {
    const std::vector<uint8_t> b = Hex(pdu);
    uint8_t out[2100];
    const Request r{b[0], b[1], b.data() + 2, b.size() - 2};
    const pellacor::Result res = pellacor::ProcessRequest(t, options, r, out, sizeof out);
    return {res.outcome, res.exception,
            ToHex(std::vector<uint8_t>(out, out + (res.outcome == Outcome::Data ? res.dataBytes : 0)))};
}

// A whole Modbus/TCP frame through the server's reply builder.
std::string Tcp(const std::string& frame) {
    const std::vector<uint8_t> b = Hex(frame);
    uint8_t reply[pellacor::tcp::kReplyCapacity];
    const size_t n = pellacor::tcp::BuildReply(b.data(), b.size(), reply);
    return ToHex(std::vector<uint8_t>(reply, reply + n));
}

using Table = Plant;

TEST_F(Table, TcpVectors) {
    struct {
        const char* name;
        const char* request;
        const char* reply;
    } const vectors[] = {
        {"read coils from unit 0 serves slave 1", "0001000000060001 0000000A", "00010000000500010 2 0D03"},
        {"read 10 holding registers", "1234000000060103 0000000A",
         "1234000000170103 14 1000100110021003100410051006100710081009"},
        {"unit without blocks", "0001000000060303 00000001", "0001000000030383 02"},
        {"function 43", "000100000003012B 0E", "00010000000301AB 01"},
        {"never wide: 16-bit halves of a wide element", "0001000000060103 13880001", "0001000000050103 02 3344"},
        {"short read", "0001000000040103 0000", "0001000000030183 02"},
        {"short diagnostics", "0001000000040108 0000", "0001000000030188 02"},
        {"diagnostics", "0001000000060108 0000A537", "0001000000060108 0000A537"},
        {"protocol id not 0: another protocol, no reply", "0001AA5500060103 00000001", ""},
        {"protocol id 1: no reply", "0001000100060103 00000001", ""},
        {"read of zero registers", "0001000000060103 00000000", "0001000000030103 00"},
        {"write from unit 0 is answered", "0001000000060006 0002 0007", "0001000000060006 0002 0007"},
        {"read above 1,010 registers", "00010000000601 03 0000 03F3", "0001000000030183 02"},
    };
    for (const auto& v : vectors) EXPECT_EQ(Tcp(v.request), ToHex(Hex(v.reply))) << v.name;
    EXPECT_EQ(holding[2], 7);   // unit 0 wrote slave 1 ...
    EXPECT_EQ(slave2[2], 7);    // ... and slave 2
}

// A frame of another protocol in the stream is counted bad and passed over by
// its length: the requests around it are still answered, in order.
TEST_F(Table, TcpStreamSkipsFramesOfAnotherProtocol) {
    struct Case {
        const char* name;
        const char* stream;
        std::vector<std::string> replies;
        uint32_t good, bad;
    } const cases[] = {
        {"protocol 1 between two reads", "0001000000060103 00000001 0002000100060103 00000001 0003000000060103 00010001",
         {"0001000000050103 02 1000", "0003000000050103 02 1001"}, 2, 1},
        {"only another protocol", "0009FFFF00060106 00010005", {}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> stream = Hex(c.stream);
        pellacor::tcp::Assembly a;
        std::memcpy(a.buffer, stream.data(), stream.size());
        a.fill = stream.size();
        pellacor::Connection conn;
        Replies r;
        uint32_t last = 0;
        EXPECT_EQ(pellacor::tcp::DrainRequests(a, conn, 1, &last, r.Sink(), nullptr), pellacor::tcp::DrainStatus::Ok);
        std::vector<std::string> replies;
        for (const auto& sent : r.sent) replies.push_back(ToHex(sent));
        std::vector<std::string> expected;
        for (const std::string& e : c.replies) expected.push_back(ToHex(Hex(e)));
        EXPECT_EQ(replies, expected);
        EXPECT_EQ(conn.goodFrames.load(), c.good);
        EXPECT_EQ(conn.badFrames.load(), c.bad);
        EXPECT_EQ(a.fill, 0u);
    }
    EXPECT_EQ(holding[1], 0x1001) << "the other protocol's write reached no block";
}

// Over Modbus/TCP only the coil value's high byte decides (serial links take
// any nonzero value as ON); the callback names unit 0 as the request did.
TEST_F(Table, TcpCoilValueHighByteDecides) {
    EnableCallback(&WriteLog::Record);
    for (const auto& [value, stored] : {std::pair{"0001", 0}, {"FF00", 1}, {"0000", 0}, {"0100", 1}}) {
        SCOPED_TRACE(value);
        const std::string request = std::string("000200000006 0005 0001") + value;
        EXPECT_EQ(Tcp(request), ToHex(Hex(request)));
        EXPECT_EQ(coils[1], stored);
        EXPECT_EQ(WriteLog::Calls(), (std::vector<WriteLog::Call>{{0, 1, 2, stored}}));
        WriteLog::Calls().clear();
    }
}

TEST_F(Table, TcpServesSlavesThatSerialLinksRefuse) {
    ActivateSlaveId(1, 0);
    EXPECT_EQ(Process(Transport::Rtu, "01030000 0001").outcome, Outcome::Silent);
    EXPECT_EQ(Process(Transport::Ascii, "01030000 0001").outcome, Outcome::Silent);
    EXPECT_EQ(Process(Transport::Tcp, "01030000 0001").data, "1000");
    // The wide option only applies on serial links.
    EXPECT_EQ(Process(Transport::Tcp, "01031388 0002", 1).data, "33441122"); // 4 bytes, not 8
    EXPECT_EQ(Process(Transport::Rtu, "01031388 0002", 1).outcome, Outcome::Silent);
}

TEST_F(Table, ReadSpansAdjacentBlocksButNotGaps) {
    uint16_t next[100] = {0x2000};
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 101, 100, next);
    EXPECT_EQ(Process(Transport::Rtu, "0103 0063 0002").data, "10632000");
    RemoveDataBlock(7);
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 102, 99, next);
    EXPECT_EQ(Process(Transport::Rtu, "0103 0063 0002").exception, 2);
}

// Random overlapping blocks against a plain first-match model of the table.
TEST_F(Table, ReadsFollowFirstMatchInTableOrder) {
    ResetCore();
    struct Block {
        uint16_t start, count;
        std::vector<uint16_t> memory;
    };
    std::vector<Block> blocks(40);
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    for (size_t b = 0; b < blocks.size(); ++b) {
        blocks[b].start = static_cast<uint16_t>(1 + next(300));
        blocks[b].count = static_cast<uint16_t>(next(b % 5 ? 40 : 200));
        for (uint16_t i = 0; i < blocks[b].count; ++i) blocks[b].memory.push_back(static_cast<uint16_t>(b << 8 | i));
        ASSERT_EQ(DefineDataBlock(1, PELLACOR_INPUT_REGISTER, blocks[b].start, blocks[b].count,
                                  blocks[b].memory.data()),
                  static_cast<int32_t>(b + 1));
    }
    for (int round = 0; round < 300; ++round) {
        const uint16_t first = static_cast<uint16_t>(1 + next(520)), quantity = static_cast<uint16_t>(1 + next(125));
        std::string expected;
        for (uint32_t p = first; p < first + quantity && !expected.ends_with("!"); ++p) {
            const Block* holder = nullptr;
            for (const Block& b : blocks)
                if (p >= b.start && p < b.start + b.count) {
                    holder = &b;
                    break;
                }
            expected += holder ? ToHex({uint8_t(holder->memory[p - holder->start] >> 8),
                                        uint8_t(holder->memory[p - holder->start])})
                               : "!";
        }
        char pdu[32];
        std::snprintf(pdu, sizeof pdu, "0104%04X%04X", first - 1, quantity);
        const Processed got = Process(Transport::Rtu, pdu);
        if (expected.ends_with("!"))
            EXPECT_EQ(got.exception, 2) << pdu;
        else
            EXPECT_EQ(got.data, expected) << pdu;
    }
}

TEST_F(Table, OverlapsReadFirstAndWriteAll) {
    uint16_t shadow[100] = {0xBEEF};
    const int32_t h = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 100, shadow);
    EXPECT_EQ(Process(Transport::Rtu, "0103 0000 0001").data, "1000"); // lower table position wins
    EnableCallback(&WriteLog::Record);
    EXPECT_EQ(Process(Transport::Rtu, "0106 0000 1234").outcome, Outcome::Echo);
    EXPECT_EQ(holding[0], 0x1234);
    EXPECT_EQ(shadow[0], 0x1234);
    EXPECT_EQ(WriteLog::Calls(), (std::vector<WriteLog::Call>{{1, 3, 1, 0x1234}, {1, 3, 1, 0x1234}}));
    // After removal the shadow serves the slot left by the first block.
    RemoveDataBlock(3);
    EXPECT_EQ(Process(Transport::Tcp, "0103 0000 0001").data, "1234");
    EXPECT_GT(h, 3);
}

TEST_F(Table, StoreDataBlockWordsStoresAllOrNothing) {
    uint16_t* h = holding;
    struct Case {
        const char* what;
        std::vector<PellacorWordStore> stores;
        int32_t count;
        int32_t result;
        std::vector<uint16_t> first3; // holding[0..2] afterwards
    } const cases[] = {
        {"nothing to store", {}, 0, 1, {0x1000, 0x1001, 0x1002}},
        {"no array", {}, 1, 0, {0x1000, 0x1001, 0x1002}},
        {"a bad handle stores none", {{3, h, 7}, {251, h + 1, 8}}, 2, 0, {0x1000, 0x1001, 0x1002}},
        {"handle 0", {{0, h, 7}}, 1, 0, {0x1000, 0x1001, 0x1002}},
        {"two words of one block", {{3, h, 7}, {3, h + 1, 8}}, 2, 1, {7, 8, 0x1002}},
        {"words of several blocks",
         {{6, slave2, 9}, {3, h + 2, 10}, {6, slave2 + 1, 11}},
         3,
         1,
         {0x1000, 0x1001, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < 3; ++i) holding[i] = static_cast<uint16_t>(0x1000 + i);
        EXPECT_EQ(StoreDataBlockWords(c.stores.empty() ? nullptr : c.stores.data(), c.count), c.result);
        EXPECT_EQ(std::vector<uint16_t>(holding, holding + 3), c.first3);
    }
    EXPECT_EQ(slave2[0], 9);
    EXPECT_EQ(slave2[1], 11);
    EXPECT_EQ(Process(Transport::Tcp, "0203 0000 0002").data, "0009000B"); // and the next read sees them
}

TEST_F(Table, RemovingABlockFromItsOwnWriteCallbackReturns) {
    // A request holds no block while it calls out, so the removal does not
    // wait for the request that is calling it.
    static int32_t removed = -1;
    EnableCallback([](int32_t, int32_t, int32_t, int32_t) {
        removed = RemoveDataBlock(3);
        return 0;
    });
    EXPECT_EQ(Process(Transport::Tcp, "0106 0000 0042").outcome, Outcome::Echo);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(holding[0], 0x42);
    EXPECT_EQ(Process(Transport::Tcp, "0103 0000 0001").exception, 2);
}

TEST_F(Table, WriteCallbacksCarryTheRequestSlaveAndPointValues) {
    EnableCallback(&WriteLog::Record);
    Process(Transport::Rtu, "0006 0002 0007");                  // broadcast: slave 0 in the callback
    Process(Transport::Rtu, "0105 0009 0001");                  // coil ON stored and reported as 1
    Process(Transport::Ascii, "0110 1388 0001 04 80000001", 1); // wide: the full 32-bit value
    const std::vector<WriteLog::Call> expected = {
        {0, 3, 3, 7}, {0, 3, 3, 7}, {1, 1, 10, 1}, {1, 3, 5001, static_cast<int32_t>(0x80000001)}};
    EXPECT_EQ(WriteLog::Calls(), expected);
    EXPECT_EQ(coils[9], 1);
}

TEST_F(Table, PartialWriteKeepsWrittenPoints) {
    EnableCallback(&WriteLog::Record);
    // Points 98..102: 101 and 102 lie outside every block.
    const Processed p = Process(Transport::Tcp, "0110 0061 0005 0A 0001000200030004 0005");
    EXPECT_EQ(p.exception, 2);
    EXPECT_EQ(WriteLog::Calls().size(), 3u);
    EXPECT_EQ(holding[99], 3);
}

TEST_F(Table, DefineFillsFirstFreeEntry) {
    ResetCore();
    uint16_t cell = 0;
    for (int i = 1; i <= pellacor::kBlockCount; ++i) ASSERT_EQ(DefineDataBlock(1, 3, 1, 1, &cell), i);
    EXPECT_EQ(DefineDataBlock(1, 3, 1, 1, &cell), 0);
    EXPECT_EQ(RemoveDataBlock(7), 1);
    EXPECT_EQ(DefineDataBlock(1, 3, 1, 1, &cell), 7);
    EXPECT_EQ(RemoveDataBlock(0), 0);
    EXPECT_EQ(RemoveDataBlock(251), 0);
    // Type 0 returns the free entry but leaves it free.
    RemoveDataBlock(9);
    EXPECT_EQ(DefineDataBlock(1, 0, 1, 1, &cell), 9);
    EXPECT_EQ(DefineDataBlock(1, 3, 1, 1, &cell), 9);
}

TEST_F(Table, AcceptanceFollowsActiveFlagsOfAnyEntry) {
    uint16_t cell = 0;
    const int32_t h = DefineDataBlock(5, PELLACOR_HOLDING_REGISTER, 1, 1, &cell);
    RemoveDataBlock(h);
    EXPECT_TRUE(pellacor::SlaveAccepted(5, 3)); // a removed entry still counts
    ActivateSlaveId(5, 0);
    EXPECT_FALSE(pellacor::SlaveAccepted(5, 3));
    EXPECT_EQ(ActivateSlaveId(5, 42), 8000);
    EXPECT_TRUE(pellacor::SlaveAccepted(5, 8));
    EXPECT_FALSE(pellacor::SlaveAccepted(0, 3));
    EXPECT_TRUE(pellacor::SlaveAccepted(0, 15));
    EXPECT_FALSE(pellacor::SlaveAccepted(77, 3));
}

struct Posted {
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
    bool operator==(const Posted&) const = default;
};
std::vector<Posted> gPosted;
int PostRecorder(void*, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    gPosted.push_back({message, wparam, lparam});
    return 1;
}

TEST_F(Table, WriteNotificationsGoOutOncePerSuccessfulWrite) {
    gPosted.clear();
    PellacorWindow window{nullptr, &PostRecorder, nullptr, nullptr};
    EXPECT_EQ(EnableDoWriteNotification(&window, 3, 1, 0x500), 1);
    EXPECT_EQ(EnableDoWriteNotification(&window, 251, 1, 0x500), 0);
    Process(Transport::Rtu, "0110 0000 0002 04 00010002");
    EXPECT_EQ(gPosted, (std::vector<Posted>{{0x500, 0, 3}})); // one post for two points
    // A failed write leaves its pending flag for the next successful one.
    gPosted.clear();
    Process(Transport::Rtu, "0110 0063 0002 04 00010002");
    EXPECT_TRUE(gPosted.empty());
    Process(Transport::Rtu, "0105 0000 FF00"); // coils: block 1, not watched
    EXPECT_EQ(gPosted, (std::vector<Posted>{{0x500, 0, 3}}));
    // Broadcasts notify too; reads never do.
    gPosted.clear();
    Process(Transport::Ascii, "0006 0000 0001");
    Process(Transport::Rtu, "0103 0000 0001");
    EXPECT_EQ(gPosted.size(), 1u);
    // Disabled: nothing; a redefined entry starts disabled.
    gPosted.clear();
    EnableDoWriteNotification(&window, 3, 0, 0);
    Process(Transport::Tcp, "0106 0000 0001");
    RemoveDataBlock(3);
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 100, holding);
    Process(Transport::Tcp, "0106 0000 0001");
    EXPECT_TRUE(gPosted.empty());
}

TEST_F(Table, ElementsNeedNotBeAlignedForTheirWidth) {
    alignas(8) uint8_t raw[16] = {};
    uint8_t* odd = raw + 1;
    uint8_t* two = raw + 6; // 2-aligned, not 4-aligned
    DefineDataBlock(7, PELLACOR_HOLDING_REGISTER, 1, 2, odd);
    DefineDataBlock(7, PELLACOR_HOLDING_REGISTER, 5001, 2, two);
    Process(Transport::Rtu, "0710 0000 0002 04 12345678");
    Process(Transport::Rtu, "0710 1388 0001 04 CAFEBABE", 1);
    uint16_t a;
    uint32_t b;
    std::memcpy(&a, odd + 2, 2);
    std::memcpy(&b, two, 4);
    EXPECT_EQ(a, 0x5678);
    EXPECT_EQ(b, 0xCAFEBABEu);
    EXPECT_EQ(Process(Transport::Rtu, "0703 0000 0002").data, "12345678");
    EXPECT_EQ(Process(Transport::Rtu, "0703 1388 0001", 1).data, "CAFEBABE");
}

TEST_F(Table, BlocksAtTheTopOfTheAddressSpaceDoNotWrap) {
    uint16_t top[4] = {1, 2, 3, 4};
    DefineDataBlock(8, PELLACOR_HOLDING_REGISTER, 65534, 4, top);
    EXPECT_EQ(Process(Transport::Tcp, "0803 FFFD 0002").data, "00010002");
    // Point 65535 + 1 wraps to point 0, which no block holds.
    EXPECT_EQ(Process(Transport::Tcp, "0803 FFFE 0002").exception, 2);
    EXPECT_EQ(Process(Transport::Tcp, "0803 FFFF 0001").exception, 2);
}

TEST(Connections, StatusOptionsAndRing) {
    pellacor::Connection& tcp = pellacor::ConnectionAt(pellacor::kTcpIndex);
    uint32_t good = 0, bad = 0;
    tcp.goodFrames = 5;
    tcp.badFrames = 2;
    EXPECT_EQ(SlaveStatus(PELLACOR_TCP_HANDLE, &good, &bad, 1), 0);
    EXPECT_EQ(good, 5u);
    EXPECT_EQ(bad, 2u);
    EXPECT_EQ(SlaveStatus(PELLACOR_TCP_HANDLE, &good, nullptr, 0), 0);
    EXPECT_EQ(good, 0u);
    EXPECT_EQ(SlaveStatus(-1, &good, &bad, 0), 256);
    EXPECT_EQ(SlaveStatus(1234, &good, &bad, 0), 256);
    EXPECT_EQ(SetProtocolOptions(PELLACOR_TCP_HANDLE, 1), 1);
    EXPECT_EQ(SetProtocolOptions(-1, 1), 0);

    uint16_t dest[8] = {};
    EXPECT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, dest, 0, 4), 0); // no ring: closed
    pellacor::AllocateRing(tcp);
    tcp.ringPos = 1020;
    int32_t seenPosition = -1, seenLength = -1;
    static int32_t* pos;
    static int32_t* len;
    pos = &seenPosition;
    len = &seenLength;
    EnableBufferCallback([](int32_t handle, int32_t p, int32_t l) {
        EXPECT_EQ(handle, -1); // the record's handle as the transport set it
        *pos = p;
        *len = l;
        return 0;
    });
    const uint8_t in[] = {1, 2, 3, 4, 5, 6}, out[] = {7, 8};
    pellacor::RecordTraffic(tcp, in, sizeof in, true);
    EXPECT_EQ(seenPosition, 1020);
    EXPECT_EQ(seenLength, 6);
    pellacor::RecordTraffic(tcp, out, sizeof out, false);
    EXPECT_EQ(seenPosition, 2);
    EXPECT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, dest, 1020, 8), 8);
    EXPECT_EQ(std::vector<uint16_t>(dest, dest + 8),
              (std::vector<uint16_t>{0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x007, 0x008}));
    EXPECT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, dest, 1024, 1), 0);
    EXPECT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, dest, -1, 1), 0);
    EXPECT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, dest, 0, -3), -3);
    EXPECT_EQ(ReadDebugData(77, dest, 0, 1), 0);
    EnableBufferCallback(nullptr);
    pellacor::ReleaseRing(tcp);
    seenLength = -1;
    pellacor::RecordTraffic(tcp, in, sizeof in, true); // nothing recorded, no callback
    EXPECT_EQ(seenLength, -1);
    EXPECT_EQ(ReadDebugData(PELLACOR_TCP_HANDLE, dest, 0, 4), 0);
    EXPECT_EQ(DLL_Revision(), 516);
}

} // namespace
