// The RTS sequence around a reply and the DSR wait, seen through a recording
// line control (a pseudo-terminal has no modem lines).
#include "serial/line.h"
#include "test_serial_support.h"

#include <gtest/gtest.h>

namespace serial_test {
namespace {

class RecordingLine final : public pellacor::serial::LineControl {
public:
    struct Event {
        std::string what;
        Clock::time_point at;
    };

    void SetRts(int, bool on) override { Add(on ? "rts on" : "rts off"); }
    void SetDtr(int, bool on) override { Add(on ? "dtr on" : "dtr off"); }
    bool DsrOn(int) override { return Clock::now() >= Clock::time_point(Clock::duration(dsrFrom_.load())); }
    bool Drain(int, Clock::time_point) override {
        Add("drain");
        return true;
    }
    void Flush(int, bool output) override { Add(output ? "flush both" : "flush input"); }
    void Sleep(milliseconds delay) override {
        Add("sleep " + std::to_string(delay.count()));
        std::this_thread::sleep_for(delay);
    }

    bool KernelRs485(int, bool on, uint8_t lead, uint8_t tail, int* error) override {
        Add(on ? "rs485 on " + std::to_string(lead) + "/" + std::to_string(tail) : "rs485 off");
        if (!on || acceptRs485_.load()) return true;
        if (error != nullptr) *error = ENOTTY;
        return false;
    }

    void AcceptRs485(bool accept) { acceptRs485_.store(accept); }
    void DsrFrom(Clock::time_point at) { dsrFrom_.store(at.time_since_epoch().count()); }
    // Waits until `what` was recorded (at most a few seconds), then returns
    // every event so far.
    std::vector<Event> EventsUntil(const std::string& what) {
        for (int i = 0; i < 400; ++i) {
            {
                std::lock_guard lock(mutex_);
                for (const Event& e : events_)
                    if (e.what == what) return events_;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        std::lock_guard lock(mutex_);
        return events_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    void Add(std::string what) {
        std::lock_guard lock(mutex_);
        events_.push_back({std::move(what), Clock::now()});
    }
    std::mutex mutex_;
    std::vector<Event> events_;
    std::atomic<Clock::rep> dsrFrom_{0};
    std::atomic<bool> acceptRs485_{true};
};

std::vector<std::string> Names(const std::vector<RecordingLine::Event>& events) {
    std::vector<std::string> names;
    for (const auto& e : events) names.push_back(e.what);
    return names;
}

Clock::time_point At(const std::vector<RecordingLine::Event>& events, const std::string& what) {
    for (const auto& e : events)
        if (e.what == what) return e.at;
    return {};
}

class SerialRts : public ::testing::Test {
protected:
    void SetUp() override {
        pellacor::serial::SetLineControlForTesting(&line_);
        uint16_t* regs = blocks_.Add(1, PELLACOR_HOLDING_REGISTER, 1, 2);
        regs[0] = 0x0A0B;
    }
    void TearDown() override { pellacor::serial::SetLineControlForTesting(nullptr); }

    RecordingLine line_;
    Blocks blocks_;
    // An RTU link on `port` that holds each reply until DSR is on.
    int32_t OpenWithDsrFlow(int port) {
        PortSettings s = Settings(9600);
        s.dsrFlow = 1;
        return OpenOn(pty_, port, 1, nullptr, s);
    }

    PtyLine pty_;
    const Bytes request_ = Rtu(1, 3, 0, 1);
    const Bytes reply_ = WithCrc({1, 3, 2, 0x0A, 0x0B});
};

TEST_F(SerialRts, DelaysFrameTheReplyAndTheEchoIsDiscarded) {
    struct Case {
        uint8_t lead, tail;
        std::vector<std::string> sequence;
    };
    const Case cases[] = {
        {10, 5, {"rts on", "sleep 10", "drain", "sleep 5", "rts off", "flush input"}},
        {0, 0, {"rts on", "drain", "rts off", "flush input"}},
        {0, 20, {"rts on", "drain", "sleep 20", "rts off", "flush input"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.lead) * 1000 + c.tail);
        line_.Clear();
        Link h(pty_, 1, 1, nullptr, Settings(9600, c.lead, c.tail));
        ASSERT_NE(h, -1);
        EXPECT_EQ(Names(line_.EventsUntil("rts off")), (std::vector<std::string>{"dtr on", "rts off"}));
        line_.Clear();

        pty_.Write(request_);
        Clock::time_point first{};
        EXPECT_EQ(pty_.Read(milliseconds(1000), milliseconds(30), &first), reply_);
        auto events = line_.EventsUntil("flush input");
        EXPECT_EQ(Names(events), c.sequence);
        EXPECT_GE(first - At(events, "rts on"), milliseconds(c.lead));
        Clock::time_point lastBit = At(events, "drain");
        EXPECT_GE(At(events, "rts off") - lastBit, milliseconds(c.tail));

        line_.Clear();
        EXPECT_EQ(CloseConnection(h), 1);
        EXPECT_EQ(Names(line_.EventsUntil("dtr off")), (std::vector<std::string>{"flush both", "dtr off"}));
    }
}

TEST_F(SerialRts, KernelRs485LeavesRtsAndItsDelaysToTheDriver) {
    struct Case {
        const char* name;
        bool accepted;
        std::vector<std::string> open, reply;
    };
    const Case cases[] = {
        {"accepted", true, {"dtr on", "rts off", "rs485 on 10/5"}, {"drain", "flush input"}},
        {"refused", false, {"dtr on", "rts off", "rs485 on 10/5"},
         {"rts on", "sleep 10", "drain", "sleep 5", "rts off", "flush input"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        line_.Clear();
        line_.AcceptRs485(c.accepted);
        SetPortOptions(1, PELLACOR_PORT_KERNEL_RS485);
        Link h(pty_, 1, 1, nullptr, Settings(9600, 10, 5));
        SetPortOptions(1, 0);
        ASSERT_NE(h, -1);
        EXPECT_EQ(Names(line_.EventsUntil("rs485 on 10/5")), c.open);
        line_.Clear();
        pty_.Write(request_);
        EXPECT_EQ(pty_.Read(milliseconds(1000)), reply_);
        EXPECT_EQ(Names(line_.EventsUntil("flush input")), c.reply);
        line_.Clear();
        EXPECT_EQ(CloseConnection(h), 1);
        const auto closing = Names(line_.EventsUntil("dtr off"));
        EXPECT_EQ(std::count(closing.begin(), closing.end(), "rs485 off"), c.accepted ? 1 : 0);
    }
}

TEST_F(SerialRts, DsrFlowHoldsTheReplyUntilDsrComesOn) {
    Link h(OpenWithDsrFlow(2));
    ASSERT_NE(h, -1);
    Clock::time_point sent = Clock::now();
    line_.DsrFrom(sent + milliseconds(200));
    pty_.Write(request_);
    Clock::time_point first{};
    EXPECT_EQ(pty_.Read(milliseconds(1500), milliseconds(30), &first), reply_);
    EXPECT_GE(first - sent, milliseconds(200));
}

TEST_F(SerialRts, ReplyWithoutDsrIsDroppedAfterTheWriteBoundButRecorded) {
    line_.DsrFrom(Clock::now() + std::chrono::hours(1));
    Link h(OpenWithDsrFlow(3));
    ASSERT_NE(h, -1);
    line_.Clear();
    pty_.Write(request_);
    EXPECT_TRUE(pty_.Read(milliseconds(2300)).empty());
    auto events = line_.EventsUntil("flush both");
    // Not written, so nothing to drain; what may be queued is thrown away.
    EXPECT_EQ(Names(events), (std::vector<std::string>{"rts on", "rts off", "flush both"}));
    EXPECT_GE(At(events, "rts off") - At(events, "rts on"), milliseconds(1900));
    uint16_t ring[7] = {};
    ASSERT_EQ(ReadDebugData(h, ring, 8, 7), 7);
    EXPECT_EQ(std::vector<uint16_t>(ring, ring + 7), std::vector<uint16_t>(reply_.begin(), reply_.end()));
}

TEST_F(SerialRts, ClosingDoesNotWaitOutAReplyHeldForDsr) {
    line_.DsrFrom(Clock::now() + std::chrono::hours(1));
    Link h(OpenWithDsrFlow(4));
    ASSERT_NE(h, -1);
    pty_.Write(request_);
    line_.EventsUntil("rts on");
    Clock::time_point before = Clock::now();
    EXPECT_EQ(CloseConnection(h), 1);
    EXPECT_LT(Clock::now() - before, milliseconds(1000));
}

} // namespace
} // namespace serial_test
