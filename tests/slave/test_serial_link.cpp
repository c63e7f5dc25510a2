// Opening and closing serial links, and the line settings they apply.
#include "test_serial_support.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <gtest/gtest.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace serial_test {
namespace {

TEST(SerialOpen, PortNumbersOutsideOneToNineAreRefused) {
    PortSettings s = Settings();
    for (int port : {0, 10, -1, 100}) {
        EXPECT_EQ(OpenConnection(nullptr, port, 1, 1, &s), -1) << port;
        EXPECT_EQ(SetPortDevice(port, "/dev/null"), 0) << port;
    }
    EXPECT_EQ(SetPortDevice(1, std::string(256, 'x').c_str()), 0);
    EXPECT_EQ(OpenConnection(nullptr, 1, 1, 1, nullptr), -1);
}

TEST(SerialOpen, UnusableDevicesFailAndLeaveOtherPortsWorking) {
    PtyLine line;
    for (const char* path : {"/nonexistent/ttyQ9", "/dev/null"}) {
        ASSERT_EQ(SetPortDevice(3, path), 1);
        PortSettings s = Settings();
        EXPECT_EQ(OpenConnection(nullptr, 3, 1, 3, &s), -1) << path;
    }
    int32_t h = OpenOn(line, 4, 1);
    ASSERT_NE(h, -1);
    CloseOnExit close_h{h};
    EXPECT_EQ(CloseConnection(h), 1);
    SetPortDevice(3, nullptr);
}

TEST(SerialOpen, HandlesAreDistinctAndCloseOnlyOnce) {
    PtyLine a, b;
    int32_t ha = OpenOn(a, 1, 1);
    int32_t hb = OpenOn(b, 2, 0);
    ASSERT_NE(ha, -1);
    CloseOnExit close_ha{ha};
    ASSERT_NE(hb, -1);
    CloseOnExit close_hb{hb};
    EXPECT_NE(ha, hb);
    EXPECT_NE(ha, PELLACOR_TCP_HANDLE);
    EXPECT_NE(hb, PELLACOR_TCP_HANDLE);
    EXPECT_EQ(CloseConnection(ha), 1);
    EXPECT_EQ(CloseConnection(ha), 0);
    EXPECT_EQ(CloseConnection(-1), 0);

    // A handle of an earlier opening of the same port must not close the
    // port's next link.
    int32_t again = OpenOn(a, 1, 1);
    ASSERT_NE(again, -1);
    CloseOnExit close_again{again};
    EXPECT_NE(again, ha);
    EXPECT_EQ(CloseConnection(ha), 0);
    EXPECT_EQ(CloseConnection(again), 1);
    EXPECT_EQ(CloseConnection(hb), 1);
}

TEST(SerialOpen, SecondOpenOfAnOpenPortFailsAndKeepsTheLink) {
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 4)[0] = 0x1234;
    PtyLine first, other;
    int32_t h = OpenOn(first, 5, 1);
    ASSERT_NE(h, -1);
    CloseOnExit close_h{h};
    EXPECT_EQ(OpenOn(other, 5, 1), -1);
    EXPECT_EQ(OpenOn(first, 5, 1), -1);

    first.Write(Rtu(1, 3, 0, 1));
    EXPECT_EQ(first.Read(milliseconds(1000)), WithCrc({1, 3, 2, 0x12, 0x34}));
    EXPECT_EQ(CloseConnection(h), 1);
}

TEST(SerialOpen, DeviceInUseByAnotherPortIsRefused) {
    PtyLine line;
    int32_t h = OpenOn(line, 6, 1);
    ASSERT_NE(h, -1);
    CloseOnExit close_h{h};
    EXPECT_EQ(OpenOn(line, 7, 1), -1);
    EXPECT_EQ(CloseConnection(h), 1);
    // Closing releases the device for the next opener.
    int32_t next = OpenOn(line, 7, 1);
    EXPECT_NE(next, -1);
    EXPECT_EQ(CloseConnection(next), 1);
}

// A pseudo-terminal always reports eight data bits without parity enable,
// so only the rate, the parity kind, the stop bits and CTS can be seen here.
struct LineCase {
    PortSettings settings;
    tcflag_t parityBits; // of PARODD | CMSPAR
    bool twoStops;
    bool cts;
};

PortSettings Line(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stops, uint32_t cts) {
    PortSettings s = Settings(baud);
    s.dataBits = bits;
    s.parity = parity;
    s.stopBits = stops;
    s.ctsFlow = cts;
    return s;
}

TEST(SerialOpen, LineSettingsReachTheDevice) {
    const LineCase cases[] = {
        {Line(9600, 8, 0, 0, 0), 0, false, false},
        {Line(14400, 7, 1, 0, 0), PARODD, false, false},
        {Line(56000, 8, 2, 2, 0), 0, true, false},
        {Line(128000, 8, 3, 1, 1), PARODD | CMSPAR, true, true},
        {Line(256000, 5, 4, 0, 0xFFFFFFFE), CMSPAR, false, false},
        {Line(115200, 6, 0, 0, 3), 0, false, true},
    };
    PtyLine line;
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        int32_t h = OpenOn(line, 8, 1, nullptr, c.settings);
        ASSERT_NE(h, -1);
        CloseOnExit close_h{h};
        struct termios2 t {};
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

TEST(SerialOpen, SettingsOutOfRangeAreRefused) {
    const PortSettings refused[] = {Line(0, 8, 0, 0, 0), Line(9600, 4, 0, 0, 0), Line(9600, 9, 0, 0, 0),
                                    Line(9600, 8, 5, 0, 0), Line(9600, 8, 0, 3, 0)};
    PtyLine line;
    for (const PortSettings& s : refused) EXPECT_EQ(OpenOn(line, 8, 1, nullptr, s), -1);
    int32_t h = OpenOn(line, 8, 1);
    EXPECT_NE(h, -1);
    EXPECT_EQ(CloseConnection(h), 1);
}

TEST(SerialOpen, CloseWhileAMasterKeepsSending) {
    PtyLine line;
    Blocks blocks;
    blocks.Add(1, PELLACOR_HOLDING_REGISTER, 1, 10);
    for (uint16_t protocol : {1, 0}) {
        int32_t h = OpenOn(line, 9, protocol);
        ASSERT_NE(h, -1);
        CloseOnExit close_h{h};
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

} // namespace
} // namespace serial_test
