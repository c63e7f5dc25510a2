// Serial links: the device layer under OpenConnection and the reader threads.
//
// LineControl gathers the calls that act on the modem lines and on the
// driver's queues. The default implementation talks to the tty; a test can
// install a recording one to see the RTS sequence, which a pseudo-terminal
// cannot show.
#pragma once

#include "pellacor.h"

#include <chrono>
#include <cstdint>

namespace pellacor::serial {

using Clock = std::chrono::steady_clock;

// Longest time a reply may take from the start of its transmission (waiting
// for DSR included) until its last byte has been handed to the driver.
constexpr std::chrono::milliseconds kWriteBound{2000};

class LineControl {
public:
    virtual ~LineControl() = default;
    // Raise or drop RTS / DTR. Failures are ignored: devices such as
    // pseudo-terminals have no modem lines.
    virtual void SetRts(int fd, bool on) = 0;
    virtual void SetDtr(int fd, bool on) = 0;
    // True when DSR is on, and also when the device cannot report it.
    virtual bool DsrOn(int fd) = 0;
    // Waits until the last written bit has left the line, at most until
    // `deadline`; false when the output did not drain in time.
    virtual bool Drain(int fd, Clock::time_point deadline) = 0;
    // Discards the bytes received and not yet read, and with `output` also
    // those written and not yet sent. (After a drained write there is nothing
    // left to send; on a pseudo-terminal an output flush would even take the
    // reply back from the peer's side.)
    virtual void Flush(int fd, bool output) = 0;
    // Sleeps the RTS lead and tail delays.
    virtual void Sleep(std::chrono::milliseconds delay) = 0;
    // Turns the driver's RS-485 direction control on (RTS raised while
    // sending, with the lead and tail delays) or off. On: false, with the
    // errno value in `error`, when the device refuses it.
    virtual bool KernelRs485(int fd, bool on, uint8_t leadMs, uint8_t tailMs, int* error = nullptr) = 0;
};

// The tty implementation.
LineControl& DeviceLineControl();

// Replaces the line control of ports opened from now on; nullptr restores the
// tty implementation. Ports already open keep the one they were opened with.
void SetLineControlForTesting(LineControl* line);
LineControl& CurrentLineControl();

// Opens `path` as a serial device with the settings of `s`: read and write,
// no controlling terminal, non-blocking, exclusive, raw. Returns the file
// descriptor or -1 (no such device, not a terminal, in use, settings refused).
// The queues are flushed, DTR is raised and RTS dropped.
int OpenDevice(const char* path, const PortSettings& s, LineControl& line);

// Releases the exclusive use and closes the device.
void CloseDevice(int fd);

// Applies the line settings of `s` to an open terminal; false when the
// settings are out of range or the device refuses them.
bool ApplyLineSettings(int fd, const PortSettings& s);

} // namespace pellacor::serial
