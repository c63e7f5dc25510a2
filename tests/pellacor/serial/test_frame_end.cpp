// Where an RTU frame ends: after the fixed silence, or after 3.5 characters
// and by length on a bus shared with other slaves; and the kernel's RS-485
// mode falling back on a port that refuses it.
#include "../../support/recording_window.h"
#include "serial/line.h"
#include "test_serial_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <random>

namespace serial_test {
namespace {

using std::chrono::microseconds;

constexpr uint8_t kOurs = 1;
constexpr uint8_t kOther = 2;
constexpr uint16_t kRegisters = 125;

uint16_t Value(uint16_t index) { return static_cast<uint16_t>(0x1000 + index); }

Bytes ReadReply(uint8_t slave, uint16_t count, const std::function<uint16_t(uint16_t)>& value) {
    Bytes message{slave, 3, static_cast<uint8_t>(2 * count)};
    for (uint16_t i = 0; i < count; ++i) {
        message.push_back(static_cast<uint8_t>(value(i) >> 8));
        message.push_back(static_cast<uint8_t>(value(i)));
    }
    return WithCrc(message);
}

// Reads until `expected` bytes came or `limit` passed; returns what came.
Bytes ReadBytes(const PtyLine& line, size_t expected, milliseconds limit) {
    Bytes out;
    const Clock::time_point until = Clock::now() + limit;
    while (out.size() < expected && Clock::now() < until) {
        pollfd p{line.master(), POLLIN, 0};
        if (::poll(&p, 1, 5) <= 0) continue;
        uint8_t chunk[512];
        const ssize_t n = ::read(line.master(), chunk, sizeof chunk);
        if (n > 0) out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

// The tty's own line control, counting the discards of received bytes that
// end each reply (the echo of a two-wire line). A master on a wire sends its
// next frame only after the slave's last bit and 3.5 characters more, by
// when that discard is over; a pty has no wire, so the master here waits
// for the discard itself.
class TurnaroundLine final : public pellacor::serial::LineControl {
public:
    void SetRts(int fd, bool on) override { tty_.SetRts(fd, on); }
    void SetDtr(int fd, bool on) override { tty_.SetDtr(fd, on); }
    bool DsrOn(int fd) override { return tty_.DsrOn(fd); }
    bool Drain(int fd, Clock::time_point deadline) override { return tty_.Drain(fd, deadline); }
    void Flush(int fd, bool output) override {
        tty_.Flush(fd, output);
        flushes_.fetch_add(1);
    }
    void Sleep(milliseconds delay) override { tty_.Sleep(delay); }
    bool KernelRs485(int fd, bool on, uint8_t lead, uint8_t tail, int* error) override {
        return tty_.KernelRs485(fd, on, lead, tail, error);
    }
    // Waits (bounded) until `count` replies have been turned around.
    void AwaitTurnarounds(int count) const {
        const Clock::time_point until = Clock::now() + milliseconds(1000);
        while (flushes_.load() < count && Clock::now() < until) std::this_thread::sleep_for(microseconds(20));
    }

private:
    pellacor::serial::LineControl& tty_ = pellacor::serial::DeviceLineControl();
    std::atomic<int> flushes_{0};
};

class FrameEnd : public ::testing::Test {
protected:
    void SetUp() override {
        uint16_t* regs = blocks_.Add(kOurs, PELLACOR_HOLDING_REGISTER, 1, kRegisters);
        for (uint16_t i = 0; i < kRegisters; ++i) regs[i] = Value(i);
    }
    void TearDown() override {
        SetPortOptions(1, 0);
        pellacor::serial::SetLineControlForTesting(nullptr);
    }
    int32_t Open(uint32_t options, uint32_t baud, const PellacorWindow* window = nullptr) {
        SetPortOptions(1, options);
        return OpenOn(pty_, 1, 1, window, Settings(baud));
    }

    Blocks blocks_;
    PtyLine pty_;
};

// The master polls slave 2, slave 2 answers, the master polls this slave,
// each frame a random 0.5 to 5 character times after the one before.
TEST_F(FrameEnd, SharedBusTrace) {
    struct Case {
        const char* name;
        uint32_t options;
        uint32_t baud;
        int exchanges;
        milliseconds replyLimit;
        bool merges; // the fixed silence takes the frames for one
    };
    const Case cases[] = {
        {"3.5 characters", PELLACOR_PORT_END_AFTER_3_5_CHARACTERS, 921600, 10000, milliseconds(1000), false},
        // 50 ms of silence: a stall of the test long enough to split the
        // trace is rare even on a loaded machine.
        {"fixed silence", 0, 19200, 30, milliseconds(150), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TurnaroundLine turnaround;
        pellacor::serial::SetLineControlForTesting(&turnaround);
        Link h(Open(c.options, c.baud));
        pellacor::serial::SetLineControlForTesting(nullptr); // the port keeps it
        ASSERT_NE(h, -1);
        std::mt19937 random(20231208);
        std::uniform_int_distribution<int> count(1, kRegisters);
        std::uniform_int_distribution<int> byte(0, 255);
        const double character = 11e6 / c.baud; // microseconds
        std::uniform_real_distribution<double> gap(0.5 * character, 5 * character);
        auto pause = [&] { std::this_thread::sleep_for(microseconds(static_cast<long>(gap(random)))); };

        int answered = 0, wrong = 0;
        for (int i = 0; i < c.exchanges; ++i) {
            const auto otherCount = static_cast<uint16_t>(count(random));
            const auto ourCount = static_cast<uint16_t>(count(random));
            pty_.Write(Rtu(kOther, 3, 0, otherCount));
            pause();
            pty_.Write(ReadReply(kOther, otherCount, [&](uint16_t) { return static_cast<uint16_t>(byte(random)); }));
            pause();
            pty_.Write(Rtu(kOurs, 3, 0, ourCount));
            const Bytes expected = ReadReply(kOurs, ourCount, &Value);
            const Bytes reply = ReadBytes(pty_, expected.size(), c.replyLimit);
            if (reply.empty()) continue;
            ++answered;
            if (reply != expected) ++wrong;
            turnaround.AwaitTurnarounds(answered);
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_TRUE(ReadBytes(pty_, 1, milliseconds(50)).empty()); // nothing else answered
        const Counters counters = CountersOf(h);
        if (c.merges) {
            // A stall of the test longer than the silence may let one through.
            EXPECT_LT(answered * 4, c.exchanges);
            EXPECT_GT(counters.bad * 2, static_cast<uint32_t>(c.exchanges));
        } else {
            EXPECT_EQ(answered, c.exchanges);
            EXPECT_EQ(counters.bad, 0u);
            EXPECT_EQ(SkippedFrames(h, 0), 2u * c.exchanges); // slave 2's requests and replies
            EXPECT_EQ(counters.good, 3u * c.exchanges);
        }
    }
}

// At 1200 baud a character takes 9.2 ms: 1.5 characters 13.8 ms, 3.5
// characters 32 ms, the fixed silence 250 ms.
TEST_F(FrameEnd, GapsInsideAFrame) {
    struct Case {
        const char* name;
        uint32_t options;
        Bytes frame;
        milliseconds gap; // after the first three bytes
        bool answered;
        uint32_t bad;
    };
    const uint32_t t35 = PELLACOR_PORT_END_AFTER_3_5_CHARACTERS;
    // A function this slave does not know: its end is found by silence only.
    const Bytes unknown = WithCrc({kOurs, 0x2B, 0x0E, 0x01});
    const Bytes read = Rtu(kOurs, 3, 0, 2);
    const Case cases[] = {
        {"unknown function, gap under 1.5 characters", t35, unknown, milliseconds(1), true, 0},
        {"unknown function, gap over 3.5 characters", t35, unknown, milliseconds(60), false, 2},
        {"read, gap under 1.5 characters", t35, read, milliseconds(1), true, 0},
        {"read, gap over 3.5 characters", t35, read, milliseconds(60), false, 2},
        {"fixed silence, the same gap", 0, read, milliseconds(60), true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link h(Open(c.options, 1200));
        ASSERT_NE(h, -1);
        pty_.Write(Bytes(c.frame.begin(), c.frame.begin() + 3));
        std::this_thread::sleep_for(c.gap);
        pty_.Write(Bytes(c.frame.begin() + 3, c.frame.end()));
        const Bytes reply = pty_.Read(milliseconds(c.answered ? 2000 : 600));
        EXPECT_EQ(!reply.empty(), c.answered);
        EXPECT_EQ(CountersOf(h).bad, c.bad);
    }
}

TEST_F(FrameEnd, KernelRs485RefusedByAPtyFallsBackWithAMessage) {
    quorvane::test::RecordingWindow window;
    Link h(Open(PELLACOR_PORT_KERNEL_RS485, 9600, &window.window));
    ASSERT_NE(h, -1);
    const auto posted = window.Snapshot();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<uint32_t>(PELLACOR_SERIAL_RS485_REFUSED_MESSAGE));
    EXPECT_EQ(posted[0].wparam, 1u);
    EXPECT_EQ(posted[0].lparam, ENOTTY);
    pty_.Write(Rtu(kOurs, 3, 0, 2));
    EXPECT_EQ(pty_.Read(milliseconds(2000)), ReadReply(kOurs, 2, &Value));
}

} // namespace
} // namespace serial_test
