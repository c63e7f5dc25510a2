// Requests and replies over serial links: libmodbus as an independent RTU
// master, RTU frame-end timing with and without a window, ASCII framing,
// silence rules and frame counters.
#include "test_serial_support.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <cstdlib>

namespace serial_test {
namespace {

uint16_t Load(const uint16_t* word) { return __atomic_load_n(word, __ATOMIC_SEQ_CST); }

// The thread on which the library last called the write callback.
std::mutex g_writerLock;
std::thread::id g_writer;
int32_t RecordWriter(int32_t, int32_t, int32_t, int32_t) {
    std::lock_guard lock(g_writerLock);
    g_writer = std::this_thread::get_id();
    return 0;
}
std::thread::id LastWriter() {
    std::lock_guard lock(g_writerLock);
    return g_writer;
}

// libmodbus opens a fresh pseudo-terminal master through /dev/ptmx; the
// library under test opens its slave side.
class LibmodbusMaster {
public:
    LibmodbusMaster() {
        ctx_ = modbus_new_rtu("/dev/ptmx", 9600, 'N', 8, 1);
        if (!ctx_ || modbus_connect(ctx_) != 0) return;
        int fd = modbus_get_socket(ctx_);
        if (grantpt(fd) != 0 || unlockpt(fd) != 0) return;
        path_ = ptsname(fd);
        modbus_set_slave(ctx_, 1);
        modbus_set_response_timeout(ctx_, 1, 0);
    }
    ~LibmodbusMaster() {
        if (!ctx_) return;
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    modbus_t* ctx() const { return ctx_; }
    const std::string& path() const { return path_; }

private:
    modbus_t* ctx_ = nullptr;
    std::string path_;
};

// The port discards its input right after a reply has left the line (the
// echo of a two-wire line). A pseudo-terminal hands the reply over at once, so
// the master keeps a turnaround pause before its next request, as masters on a
// real line do.
void Turnaround() { std::this_thread::sleep_for(milliseconds(10)); }

class SerialMaster : public ::testing::TestWithParam<bool> {}; // true: RTU timed by a window

TEST_P(SerialMaster, LibmodbusReadsAndWritesBlocks) {
    Blocks blocks;
    uint16_t* regs = blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 20);
    uint16_t* coils = blocks.Add(1, PELLACOR_COIL_STATUS, 1, 16);
    __atomic_store_n(&blocks.Add(1, PELLACOR_INPUT_REGISTER, 101, 4)[2], 0xBEEF, __ATOMIC_SEQ_CST);
    EnableCallback(&RecordWriter);

    FakeWindow window;
    LibmodbusMaster master;
    ASSERT_FALSE(master.path().empty());
    ASSERT_EQ(SetPortDevice(2, master.path().c_str()), 1);
    PortSettings s = Settings(9600);
    Link h(OpenConnection(GetParam() ? window.window() : nullptr, 2, 1, 2, &s));
    ASSERT_NE(h, -1);
    modbus_t* m = master.ctx();

    const uint16_t written[3] = {7, 0xFFFF, 0x8001};
    ASSERT_EQ(modbus_write_registers(m, 4, 3, written), 3);
    EXPECT_EQ(Load(&regs[4]), 7);
    EXPECT_EQ(Load(&regs[6]), 0x8001);
    // Write callbacks run on the window's thread when there is a window, else
    // on the port's reader.
    if (GetParam()) {
        EXPECT_EQ(LastWriter(), window.thread_id());
    } else {
        EXPECT_NE(LastWriter(), window.thread_id());
        EXPECT_NE(LastWriter(), std::this_thread::get_id());
    }
    uint16_t read[5] = {};
    Turnaround();
    ASSERT_EQ(modbus_read_registers(m, 3, 5, read), 5);
    EXPECT_EQ(read[1], 7);
    EXPECT_EQ(read[2], 0xFFFF);
    EXPECT_EQ(read[4], 0);
    Turnaround();
    ASSERT_EQ(modbus_write_register(m, 19, 0x4242), 1);
    EXPECT_EQ(Load(&regs[19]), 0x4242);

    const uint8_t bits[3] = {1, 0, 1};
    uint8_t got[16] = {};
    Turnaround();
    ASSERT_EQ(modbus_write_bit(m, 9, 1), 1);
    Turnaround();
    ASSERT_EQ(modbus_write_bits(m, 0, 3, bits), 3);
    Turnaround();
    ASSERT_EQ(modbus_read_bits(m, 0, 16, got), 16);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 10), (std::vector<uint8_t>{1, 0, 1, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Load(&coils[9]), 1);

    Turnaround();
    ASSERT_EQ(modbus_read_input_registers(m, 102, 1, read), 1);
    EXPECT_EQ(read[0], 0xBEEF);
    // An address that no block holds is an exception, not silence.
    Turnaround();
    EXPECT_EQ(modbus_read_registers(m, 20, 1, read), -1);
    EXPECT_EQ(errno, EMBXILADD);

    EXPECT_EQ(CountersOf(h), (Counters{8, 0}));
    EnableCallback(nullptr);
}

TEST_P(SerialMaster, RtuFrameEndsAfterFiftyMillisecondsOfSilenceAt9600) {
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 4);
    FakeWindow window;
    PtyLine line;
    Link h(line, 3, 1, GetParam() ? window.window() : nullptr);
    ASSERT_NE(h, -1);
    const Bytes request = Rtu(1, 3, 0, 2);
    const Bytes reply = WithCrc({1, 3, 4, 0, 0, 0, 0});

    // One request in one piece. Times are taken before writing, so that a
    // delay of this thread can only lengthen the silence measured here.
    Clock::time_point sent = Clock::now(), first{};
    line.Write(request);
    EXPECT_EQ(line.Read(milliseconds(1000), milliseconds(30), &first), reply);
    EXPECT_GE(first - sent, milliseconds(50));

    // Bytes 30 ms apart keep the frame open. A loaded machine may stretch a
    // gap past the silence; such a run proves nothing and is repeated.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SlaveStatus(h, nullptr, nullptr, 1);
        Clock::duration widest{};
        for (size_t i = 0; i < request.size(); ++i) {
            Clock::time_point before = Clock::now();
            if (i != 0) widest = std::max(widest, before - sent);
            sent = before;
            line.Write(Bytes{request[i]});
            EXPECT_TRUE(line.Read(milliseconds(30), milliseconds(1)).empty());
        }
        Bytes got = line.Read(milliseconds(1000), milliseconds(30), &first);
        if (widest >= milliseconds(45)) {
            std::this_thread::sleep_for(milliseconds(100));
            continue;
        }
        EXPECT_EQ(got, reply);
        EXPECT_GE(first - sent, milliseconds(50));
        EXPECT_EQ(CountersOf(h), (Counters{1, 0}));
        break;
    }

    // Two requests without a silence between them are one damaged frame.
    Bytes twice = request;
    twice.insert(twice.end(), request.begin(), request.end());
    line.Write(twice);
    EXPECT_TRUE(line.Read(milliseconds(300)).empty());
    EXPECT_EQ(CountersOf(h), (Counters{1, 1}));
}

INSTANTIATE_TEST_SUITE_P(WindowOrReader, SerialMaster, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WindowTimer" : "ReaderThread"; });

TEST(SerialWindow, EachTimerHandlesOnlyItsOwnPort) {
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 4)[1] = 0x0102;
    FakeWindow window;
    PtyLine one, two;
    Link h1(one, 1, 1, window.window()), h2(two, 2, 1, window.window());
    ASSERT_NE(h1, -1);
    ASSERT_NE(h2, -1);

    one.Write(Rtu(1, 3, 1, 1));
    EXPECT_EQ(one.Read(milliseconds(1000)), WithCrc({1, 3, 2, 1, 2}));
    EXPECT_EQ(CountersOf(h1), (Counters{1, 0}));
    EXPECT_EQ(CountersOf(h2), (Counters{0, 0}));
    EXPECT_GE(window.fired(1), 1);
    EXPECT_EQ(window.fired(2), 0);
    EXPECT_TRUE(two.Read(milliseconds(100)).empty());

    // A broken request on port 1 counts there only, while port 2 is served.
    const Bytes request = Rtu(1, 3, 1, 1);
    one.Write(Bytes(request.begin(), request.begin() + 3));
    two.Write(request);
    EXPECT_EQ(two.Read(milliseconds(1000)), WithCrc({1, 3, 2, 1, 2}));
    EXPECT_EQ(CountersOf(h2), (Counters{1, 0}));
    EXPECT_EQ(CountersOf(h1), (Counters{1, 1}));
}

TEST(SerialSilence, BroadcastsAndInactiveSlavesGetNoReply) {
    Blocks blocks;
    uint16_t* slave1 = blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 4);
    uint16_t* slave2 = blocks.Add(2, PELLACOR_HOLDING_REGISTER, 1, 4);
    blocks.Add(7, PELLACOR_HOLDING_REGISTER, 1, 4);
    ActivateSlaveId(7, 0);
    PtyLine rtu, ascii;
    Link hr(rtu, 4, 1), ha(ascii, 5, 0);
    ASSERT_NE(hr, -1);
    ASSERT_NE(ha, -1);

    struct Case {
        const char* what;
        Bytes request;
        Counters rtuAfter;
        bool alsoAscii;
    };
    const Case cases[] = {
        {"broadcast write", Rtu(0, 6, 2, 0x5555), {1, 0}, true},
        {"broadcast write nobody holds", Rtu(0, 6, 50, 1), {2, 0}, true},
        {"broadcast read", Rtu(0, 3, 0, 1), {3, 0}, true},
        {"inactive slave", Rtu(7, 3, 0, 1), {4, 0}, true},
        {"slave without blocks", Rtu(9, 3, 0, 1), {5, 0}, true},
        {"damaged check", [] { Bytes b = Rtu(1, 3, 0, 1); b.back() ^= 1; return b; }(), {5, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rtu.Write(c.request);
        if (c.alsoAscii) ascii.Write(Ascii(Hex(Bytes(c.request.begin(), c.request.end() - 2))));
        EXPECT_TRUE(rtu.Read(milliseconds(200)).empty());
        EXPECT_TRUE(ascii.Read(milliseconds(50)).empty());
        EXPECT_EQ(CountersOf(hr), c.rtuAfter);
    }
    EXPECT_EQ(Load(&slave1[2]), 0x5555);
    EXPECT_EQ(Load(&slave2[2]), 0x5555);
    // ASCII counts only accepted frames: the two broadcast writes.
    EXPECT_EQ(CountersOf(ha), (Counters{2, 0}));
    ActivateSlaveId(7, 1);
}

TEST(SerialAscii, FramesEndAtTheLineFeed) {
    Blocks blocks;
    uint16_t* regs = blocks.Add(0xAB, PELLACOR_HOLDING_REGISTER, 1, 8);
    for (uint16_t i = 0; i < 8; ++i) regs[i] = static_cast<uint16_t>(0xA0 + i);
    FakeWindow window;
    PtyLine line;
    Link h(line, 6, 0, window.window());
    ASSERT_NE(h, -1);
    const std::string body = "AB0300010002";
    const std::string reply = Ascii("AB0304" + Hex({0, 0xA1, 0, 0xA2}));

    struct Case {
        const char* what;
        std::string request;
        std::string reply;
        Counters after;
    };
    const Case cases[] = {
        {"uppercase", Ascii(body), reply, {1, 0}},
        {"lowercase body, uppercase check", Ascii("ab0300010002"), reply, {2, 0}},
        {"lowercase check", Ascii(body, true), "", {2, 1}},
        {"line feed only", "\n", "", {2, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        line.Write(c.request);
        Bytes got = line.Read(milliseconds(c.reply.empty() ? 200 : 1000));
        EXPECT_EQ(std::string(got.begin(), got.end()), c.reply);
        EXPECT_EQ(CountersOf(h), c.after);
    }

    // Noise without a line feed is dropped up to the colon; so is noise
    // longer than the receive buffer, colons and all, ahead of a request.
    const std::string longNoise = std::string(":\x7f:0", 4) + std::string(700, ':');
    for (const std::string& noise : {std::string("\x01\x02 junk\r"), longNoise}) {
        line.Write(noise + Ascii(body));
        Bytes got = line.Read(milliseconds(1000));
        EXPECT_EQ(std::string(got.begin(), got.end()), reply);
    }
    EXPECT_EQ(CountersOf(h), (Counters{4, 2}));
    Bytes got;

    // A frame split over pauses is not ended by silence, only by its line feed.
    const std::string request = Ascii(body);
    line.Write(request.substr(0, 7));
    EXPECT_TRUE(line.Read(milliseconds(150)).empty());
    line.Write(request.substr(7));
    got = line.Read(milliseconds(1000));
    EXPECT_EQ(std::string(got.begin(), got.end()), reply);
    EXPECT_EQ(window.started(6), 0); // no timer ends an ASCII frame
}

// Traffic: the received chunk and the sent reply land in the ring in order,
// tagged by direction, and the traffic callback names each chunk.
std::mutex g_trafficLock;
std::vector<std::array<int32_t, 3>> g_traffic;
int32_t RecordTrafficCall(int32_t handle, int32_t position, int32_t length) {
    std::lock_guard lock(g_trafficLock);
    g_traffic.push_back({handle, position, length});
    return 0;
}

TEST(SerialTraffic, RequestAndReplyAreRecordedByDirection) {
    Blocks blocks;
    blocks.Add(1, PELLACOR_COIL_STATUS, 1, 8)[0] = 1;
    PtyLine line;
    Link h(line, 7, 1);
    ASSERT_NE(h, -1);
    EnableBufferCallback(&RecordTrafficCall);
    const Bytes request = Rtu(1, 1, 0, 8);
    line.Write(request);
    const Bytes reply = line.Read(milliseconds(1000));
    ASSERT_EQ(reply, WithCrc({1, 1, 1, 1}));
    // The sent frame is recorded once written; the master may see it first.
    for (int i = 0; i < 100 && ReadDebugData(h, nullptr, 13, 0) == 0; ++i) {
        std::lock_guard lock(g_trafficLock);
        if (!g_traffic.empty() && g_traffic.back()[2] == 6) break;
        std::this_thread::sleep_for(milliseconds(10));
    }
    EnableBufferCallback(nullptr);

    uint16_t ring[14] = {};
    ASSERT_EQ(ReadDebugData(h, ring, 0, 14), 14);
    std::vector<uint16_t> expected(reply.begin(), reply.end());
    for (auto it = request.rbegin(); it != request.rend(); ++it) expected.insert(expected.begin(), 0x100 | *it);
    EXPECT_EQ(std::vector<uint16_t>(ring, ring + 14), expected);
    {
        std::lock_guard lock(g_trafficLock);
        ASSERT_GE(g_traffic.size(), 2u);
        EXPECT_EQ(g_traffic.back(), (std::array<int32_t, 3>{h, 8, 6}));
        for (const auto& call : g_traffic) EXPECT_EQ(call[0], h);
        g_traffic.clear();
    }
    EXPECT_EQ(CloseConnection(h), 1);
    EXPECT_EQ(ReadDebugData(h, ring, 0, 1), 0);
}

} // namespace
} // namespace serial_test
