// Test peers for the serial links: a pseudo-terminal standing for the line,
// a window whose timers run on a thread of their own (the application's
// thread), and Modbus frame builders written independently of the library.
#pragma once

#include "pellacor.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace serial_test {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

// openpty(): the library opens the slave side by path (SetPortDevice), the
// test writes and reads the master side.
class PtyLine {
public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; } // kept open so the line never hangs up

    void Write(const Bytes& bytes) const;
    void Write(std::string_view text) const;
    // Waits up to `firstByte` for a reply, then collects bytes until `quiet`
    // passes without one. `firstAt` receives the arrival of the first byte.
    Bytes Read(milliseconds firstByte, milliseconds quiet = milliseconds(30),
               Clock::time_point* firstAt = nullptr) const;
    // Discards whatever the library sent so far.
    void Drain() const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Stands for the application's main window: timers run on the window's own
// thread, like timers of a message loop. Timers repeat until killed.
class FakeWindow {
public:
    FakeWindow();
    ~FakeWindow();
    FakeWindow(const FakeWindow&) = delete;
    FakeWindow& operator=(const FakeWindow&) = delete;

    const PellacorWindow* window() const { return &window_; }
    std::thread::id thread_id() const { return thread_.get_id(); }
    int fired(uintptr_t id);   // timer procs dispatched
    int started(uintptr_t id); // set_timer calls

private:
    struct Timer {
        Clock::time_point due;
        milliseconds period;
        PellacorTimerProc proc;
        void* arg;
    };
    static int Post(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam);
    static int SetTimer(void* context, uintptr_t id, uint32_t ms, PellacorTimerProc proc, void* arg);
    static int KillTimer(void* context, uintptr_t id);
    void Loop();

    PellacorWindow window_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uintptr_t, Timer> timers_;
    std::map<uintptr_t, int> fired_;
    std::map<uintptr_t, int> started_;
    bool stop_ = false;
    std::thread thread_;
};

PortSettings Settings(uint32_t baud = 9600, uint8_t leadMs = 0, uint8_t tailMs = 0);

// Frames, built here rather than with the library's own helpers.
Bytes WithCrc(Bytes message);
bool CrcOk(const Bytes& frame);
Bytes Rtu(uint8_t slave, uint8_t function, uint16_t first, uint16_t second);
std::string Ascii(std::string_view body, bool lowercaseLrc = false); // ":" body LRC CR LF
std::string Hex(const Bytes& bytes);

// Opens `port` on `line` through the public interface; -1 on failure.
int32_t OpenOn(const PtyLine& line, int port, uint16_t protocol, const PellacorWindow* window = nullptr,
               const PortSettings& s = Settings());

// Closes a link when a test ends early; closing it again is harmless.
struct CloseOnExit {
    int32_t handle;
    ~CloseOnExit() { CloseConnection(handle); }
};

struct Counters {
    uint32_t good = 0, bad = 0;
    bool operator==(const Counters&) const = default;
};
Counters CountersOf(int32_t handle);

// Data blocks registered with the library for the lifetime of a test.
class Blocks {
public:
    ~Blocks();
    uint16_t* Add(uint8_t slave, uint8_t type, uint16_t start, uint16_t count);

private:
    std::vector<int32_t> handles_;
    std::vector<std::vector<uint16_t>> memory_;
};

} // namespace serial_test
