// Opening and closing serial links, and the line settings they apply.
#include "../../support/recording_window.h"
#include "sys_calls.h"
#include "test_serial_support.h"

#include <sys/ioctl.h>

#include <cerrno>

#include <gtest/gtest.h>

// The kernel's view of a line with its exact rates (TCGETS2). Its header
// cannot be included next to <termios.h>, which the support header needs.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

namespace serial_test {
namespace {

PortSettings Line(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stops, uint32_t cts) {
    PortSettings s = Settings(baud);
    s.dataBits = bits;
    s.parity = parity;
    s.stopBits = stops;
    s.ctsFlow = cts;
    return s;
}

TEST(SerialOpen, BadArgumentsAndUnusableDevicesAreRefused) {
    const PortSettings s = Settings();
    for (int port : {0, 10, -1, 100}) {
        EXPECT_EQ(OpenConnection(nullptr, port, 1, 1, &s), -1) << port;
        EXPECT_EQ(SetPortDevice(port, "/dev/null"), 0) << port;
    }
    EXPECT_EQ(SetPortDevice(1, std::string(256, 'x').c_str()), 0);
    EXPECT_EQ(OpenConnection(nullptr, 1, 1, 1, nullptr), -1);
    PtyLine line;
    const PortSettings refused[] = {Line(0, 8, 0, 0, 0), Line(9600, 4, 0, 0, 0), Line(9600, 9, 0, 0, 0),
                                    Line(9600, 8, 5, 0, 0), Line(9600, 8, 0, 3, 0)};
    for (const PortSettings& bad : refused) EXPECT_EQ(OpenOn(line, 8, 1, nullptr, bad), -1);
    for (const char* path : {"/nonexistent/ttyQ9", "/dev/null"}) {
        ASSERT_EQ(SetPortDevice(3, path), 1);
        EXPECT_EQ(OpenConnection(nullptr, 3, 1, 3, &s), -1) << path;
    }
    SetPortDevice(3, nullptr);
    // None of the failures leaves the line or another port unusable.
    Link h(line, 8, 1);
    EXPECT_NE(h, -1);
}

TEST(SerialOpen, HandlesPortsAndDevicesAreExclusive) {
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 4)[0] = 0x1234;
    PtyLine a, b, other;
    Link ha(a, 1, 1), hb(b, 2, 1);
    ASSERT_NE(ha, -1);
    ASSERT_NE(hb, -1);
    EXPECT_NE(ha, hb);
    EXPECT_NE(ha, PELLACOR_TCP_HANDLE);
    EXPECT_NE(hb, PELLACOR_TCP_HANDLE);
    // A second open of an open port, or of a device another port holds,
    // fails and leaves the link serving.
    EXPECT_EQ(OpenOn(other, 2, 1), -1);
    EXPECT_EQ(OpenOn(b, 2, 1), -1);
    EXPECT_EQ(OpenOn(b, 3, 1), -1);
    b.Write(Rtu(1, 3, 0, 1));
    EXPECT_EQ(b.Read(milliseconds(1000)), WithCrc({1, 3, 2, 0x12, 0x34}));

    EXPECT_EQ(CloseConnection(ha), 1);
    EXPECT_EQ(CloseConnection(ha), 0);
    EXPECT_EQ(CloseConnection(-1), 0);
    // A handle of an earlier opening of the same port must not close the
    // port's next link.
    Link again(a, 1, 1);
    ASSERT_NE(again, -1);
    EXPECT_NE(again, ha);
    EXPECT_EQ(CloseConnection(ha), 0);
    EXPECT_EQ(CloseConnection(again), 1);
    // Closing releases the device for the next opener.
    EXPECT_EQ(CloseConnection(hb), 1);
    Link next(b, 3, 1);
    EXPECT_NE(next, -1);
}

// A pseudo-terminal always reports eight data bits without parity enable,
// so only the rate, the parity kind, the stop bits and CTS can be seen here.
TEST(SerialOpen, LineSettingsReachTheDevice) {
    const struct {
        PortSettings settings;
        tcflag_t parityBits; // of PARODD | CMSPAR
        bool twoStops, cts;
    } cases[] = {
        {Line(9600, 8, 0, 0, 0), 0, false, false},
        {Line(14400, 7, 1, 0, 0), PARODD, false, false},
        {Line(56000, 8, 2, 2, 0), 0, true, false},
        {Line(128000, 8, 3, 1, 1), PARODD | CMSPAR, true, true},
        {Line(256000, 5, 4, 0, 0xFFFFFFFE), CMSPAR, false, false},
        {Line(115200, 6, 0, 0, 3), 0, false, true},
    };
    PtyLine line;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        Link h(line, 8, 1, nullptr, c.settings);
        ASSERT_NE(h, -1);
        termios2 t{};
        ASSERT_EQ(ioctl(line.slave(), TCGETS2, &t), 0);
        EXPECT_EQ(t.c_ospeed, c.settings.baudRate);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityBits);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.cts);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(CloseConnection(h), 1);
    }
}

TEST(SerialOpen, CloseWhileAMasterKeepsSending) {
    PtyLine line;
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 10);
    for (uint16_t protocol : {1, 0}) {
        Link h(line, 9, protocol);
        ASSERT_NE(h, -1);
        std::atomic<bool> stop{false};
        std::thread master([&] {
            const std::string ascii = Ascii("010300000001");
            const Bytes rtu = Rtu(1, 3, 0, 1);
            for (int i = 0; i < 5000 && !stop.load(); ++i) {
                if (protocol == 1)
                    line.Write(rtu);
                else
                    line.Write(ascii);
                line.Drain();
                std::this_thread::sleep_for(milliseconds(1));
            }
        });
        std::this_thread::sleep_for(milliseconds(150));
        Clock::time_point before = Clock::now();
        EXPECT_EQ(CloseConnection(h), 1);
        EXPECT_LT(Clock::now() - before, milliseconds(1500));
        stop.store(true);
        master.join();
        line.Drain();
    }
}

TEST(SerialOpen, AReaderThatCannotWaitAnyMoreReportsTheLinkDead) {
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 4);
    for (uint16_t protocol : {0, 1}) {
        SCOPED_TRACE(protocol == 1 ? "RTU" : "ASCII");
        quorvane::test::RecordingWindow log;
        PtyLine line;
        Link link(line, 4, protocol, &log.window);
        ASSERT_NE(link, -1);
        pellacor::sys::FailForTesting(pellacor::sys::Call::Poll, EIO);
        line.Write(std::string_view("x")); // the reader wakes and waits again: that wait fails
        const auto until = Clock::now() + milliseconds(3000);
        while (log.Snapshot().empty() && Clock::now() < until) std::this_thread::sleep_for(milliseconds(5));
        const auto posted = log.Snapshot();
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].message, static_cast<uint32_t>(PELLACOR_SERIAL_LINK_FAILED_MESSAGE));
        EXPECT_EQ(posted[0].wparam, 4u);
        EXPECT_EQ(posted[0].lparam, link);
        // The reader is gone: a request goes unanswered, and closing is quick.
        line.Drain();
        if (protocol == 1) {
            line.Write(Rtu(1, 3, 0, 1));
        } else {
            line.Write(Ascii("010300000001"));
        }
        EXPECT_TRUE(line.Read(milliseconds(200)).empty());
        EXPECT_EQ(CloseConnection(link), 1);
    }
}

} // namespace
} // namespace serial_test
