// Serial links: opening a tty and setting its line, through termios2 so that
// rates without a Bxxx constant (14400, 56000, 128000, 256000) can be set.
// <asm/termbits.h> clashes with <termios.h>, so this file uses the kernel's
// ioctls only.
#include "serial/line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h> // modem line bits
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace pellacor::serial {
namespace {

class TtyLineControl final : public LineControl {
public:
    void SetRts(int fd, bool on) override { SetModemLine(fd, TIOCM_RTS, on); }
    void SetDtr(int fd, bool on) override { SetModemLine(fd, TIOCM_DTR, on); }
    bool DsrOn(int fd) override {
        int status = 0;
        if (ioctl(fd, TIOCMGET, &status) != 0) return true;
        return (status & TIOCM_DSR) != 0;
    }
    bool Drain(int fd, Clock::time_point deadline) override {
        // TCSBRK with a nonzero argument waits for the transmitter without a
        // time limit; waiting first for the driver queue to empty keeps that
        // wait down to the bytes already in the UART.
        for (;;) {
            int queued = 0;
            if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ioctl(fd, TCSBRK, 1);
        return true;
    }
    void Flush(int fd, bool output) override { ioctl(fd, TCFLSH, output ? TCIOFLUSH : TCIFLUSH); }
    void Sleep(std::chrono::milliseconds delay) override { std::this_thread::sleep_for(delay); }
    bool KernelRs485(int fd, bool on, uint8_t leadMs, uint8_t tailMs, int* error) override {
        struct serial_rs485 rs {};
        if (on) {
            rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            rs.delay_rts_before_send = leadMs;
            rs.delay_rts_after_send = tailMs;
        }
        if (ioctl(fd, TIOCSRS485, &rs) == 0) return true;
        if (error != nullptr) *error = errno;
        return false;
    }

private:
    static void SetModemLine(int fd, int bit, bool on) { ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit); }
};

// Never destroyed: ports still open at unload are closed by a static
// destructor that may run after this file's statics are gone.
TtyLineControl& g_ttyLine = *new TtyLineControl;
std::atomic<LineControl*> g_testLine{nullptr};

} // namespace

LineControl& DeviceLineControl() { return g_ttyLine; }

void SetLineControlForTesting(LineControl* line) { g_testLine.store(line); }

LineControl& CurrentLineControl() {
    LineControl* line = g_testLine.load();
    return line ? *line : g_ttyLine;
}

bool ApplyLineSettings(int fd, const PortSettings& s) {
    if (s.baudRate == 0) return false; // a rate of 0 would hang the line up
    if (s.dataBits < 5 || s.dataBits > 8 || s.parity > 4 || s.stopBits > 2) return false;

    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;

    // Raw bytes in and out; everything else stays as the device had it.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IUCLC | IXON | IXOFF | IXANY | IMAXBEL);
    t.c_iflag |= INPCK; // bytes with a parity error arrive as 0 and spoil the frame's check
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    tcflag_t c = t.c_cflag;
    c &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    c |= BOTHER | CREAD | CLOCAL; // input speed follows the output speed
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    c |= kSizes[s.dataBits - 5];
    switch (s.parity) {
    case 1: c |= PARENB | PARODD; break;
    case 2: c |= PARENB; break;
    case 3: c |= PARENB | CMSPAR | PARODD; break; // mark
    case 4: c |= PARENB | CMSPAR; break;          // space
    default: break;
    }
    if (s.stopBits != 0) c |= CSTOPB; // one and a half has no setting of its own
    if (s.ctsFlow & 1u) c |= CRTSCTS;
    t.c_cflag = c;
    t.c_ispeed = s.baudRate;
    t.c_ospeed = s.baudRate;
    return ioctl(fd, TCSETS2, &t) == 0;
}

int OpenDevice(const char* path, const PortSettings& s, LineControl& line) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct termios2 probe {};
    if (ioctl(fd, TCGETS2, &probe) != 0) { // not a terminal
        ::close(fd);
        return -1;
    }
    // TIOCEXCL keeps other programs out (root excepted); the advisory lock
    // also refuses a second opener with privileges, including this process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    ioctl(fd, TCFLSH, TCIOFLUSH);
    if (!ApplyLineSettings(fd, s)) {
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return -1;
    }
    line.SetDtr(fd, true);
    line.SetRts(fd, false);
    return fd;
}

void CloseDevice(int fd) {
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    ::close(fd); // also drops the advisory lock
}

} // namespace pellacor::serial
