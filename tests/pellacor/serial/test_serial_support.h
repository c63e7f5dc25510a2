// Test peers for the serial links: a pseudo-terminal standing for the line,
// a window whose timers run on a thread of their own (the application's
// thread), and Modbus frame builders written independently of the library.
#pragma once

#include "pellacor.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
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
    PtyLine() {
        char name[128] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        path_ = name;
        // Raw until the library applies its own settings, so that nothing
        // written before the open is echoed or translated.
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyLine() {
        ::close(master_);
        ::close(slave_);
    }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; } // kept open so the line never hangs up

    void Write(const Bytes& bytes) const {
        size_t done = 0;
        const Clock::time_point until = Clock::now() + milliseconds(2000);
        while (done < bytes.size() && Clock::now() < until) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
        if (done < bytes.size()) throw std::runtime_error("pty write stalled");
    }
    void Write(std::string_view text) const { Write(Bytes(text.begin(), text.end())); }
    // Waits up to `firstByte` for a reply, then collects bytes until `quiet`
    // passes without one. `firstAt` receives the arrival of the first byte.
    Bytes Read(milliseconds firstByte, milliseconds quiet = milliseconds(30),
               Clock::time_point* firstAt = nullptr) const {
        Bytes out;
        Clock::time_point until = Clock::now() + firstByte;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
            if (left <= 0) return out;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            uint8_t chunk[512];
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) continue;
            if (out.empty() && firstAt) *firstAt = Clock::now();
            out.insert(out.end(), chunk, chunk + n);
            until = Clock::now() + quiet;
        }
    }
    // Discards whatever the library sent so far.
    void Drain() const {
        uint8_t chunk[512];
        while (::read(master_, chunk, sizeof chunk) > 0) {
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Stands for the application's main window: timers run on the window's own
// thread, like timers of a message loop. Timers repeat until killed.
class FakeWindow {
public:
    FakeWindow() : thread_([this] { Loop(); }) {}
    ~FakeWindow() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    FakeWindow(const FakeWindow&) = delete;
    FakeWindow& operator=(const FakeWindow&) = delete;

    const PellacorWindow* window() const { return &window_; }
    std::thread::id thread_id() const { return thread_.get_id(); }
    int fired(uintptr_t id) { // timer procs dispatched
        std::lock_guard lock(mutex_);
        return fired_[id];
    }
    int started(uintptr_t id) { // set_timer calls
        std::lock_guard lock(mutex_);
        return started_[id];
    }

private:
    struct Timer {
        Clock::time_point due;
        milliseconds period;
        PellacorTimerProc proc;
        void* arg;
    };
    static int Post(void*, uint32_t, uintptr_t, intptr_t) { return 1; }
    static int SetTimer(void* context, uintptr_t id, uint32_t ms, PellacorTimerProc proc, void* arg) {
        auto* self = static_cast<FakeWindow*>(context);
        {
            std::lock_guard lock(self->mutex_);
            self->timers_[id] = Timer{Clock::now() + milliseconds(ms), milliseconds(ms), proc, arg};
            ++self->started_[id];
        }
        self->wake_.notify_all();
        return 1;
    }
    static int KillTimer(void* context, uintptr_t id) {
        auto* self = static_cast<FakeWindow*>(context);
        std::lock_guard lock(self->mutex_);
        return self->timers_.erase(id) != 0;
    }
    void Loop() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            auto next = std::min_element(timers_.begin(), timers_.end(),
                                         [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
            if (next == timers_.end()) {
                wake_.wait(lock);
                continue;
            }
            // A copy: the timer may be killed while this thread waits.
            const Clock::time_point due = next->second.due;
            if (Clock::now() < due) {
                wake_.wait_until(lock, due);
                continue;
            }
            const uintptr_t id = next->first;
            const Timer timer = next->second;
            next->second.due = Clock::now() + std::max(timer.period, milliseconds(1));
            ++fired_[id];
            lock.unlock();
            timer.proc(timer.arg, id);
            lock.lock();
        }
    }

    PellacorWindow window_{this, &Post, &SetTimer, &KillTimer};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uintptr_t, Timer> timers_;
    std::map<uintptr_t, int> fired_;
    std::map<uintptr_t, int> started_;
    bool stop_ = false;
    std::thread thread_; // last: starts once everything above exists
};

inline PortSettings Settings(uint32_t baud = 9600, uint8_t leadMs = 0, uint8_t tailMs = 0) {
    PortSettings s{};
    s.baudRate = baud;
    s.dataBits = 8;
    s.rtsLeadDelay = leadMs;
    s.rtsTailDelay = tailMs;
    return s;
}

// Frames, built here rather than with the library's own helpers.
inline uint16_t Crc(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}
inline Bytes WithCrc(Bytes message) {
    const uint16_t crc = Crc(message.data(), message.size());
    message.push_back(static_cast<uint8_t>(crc & 0xFF));
    message.push_back(static_cast<uint8_t>(crc >> 8));
    return message;
}
inline Bytes Rtu(uint8_t slave, uint8_t function, uint16_t first, uint16_t second) {
    return WithCrc({slave, function, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                    static_cast<uint8_t>(second >> 8), static_cast<uint8_t>(second)});
}
inline std::string Hex(const Bytes& bytes) {
    std::string out;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        out += pair;
    }
    return out;
}
// ":" body LRC CR LF
inline std::string Ascii(std::string_view body, bool lowercaseLrc = false) {
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < body.size(); i += 2)
        sum = static_cast<uint8_t>(sum + std::stoi(std::string(body.substr(i, 2)), nullptr, 16));
    char lrc[3];
    std::snprintf(lrc, sizeof lrc, lowercaseLrc ? "%02x" : "%02X", static_cast<uint8_t>(-sum));
    // Appended piece by piece: GCC 12 at -O3 takes `":" + std::string(...)`
    // for an overlapping copy (-Wrestrict).
    std::string frame(1, ':');
    frame.append(body).append(lrc).append("\r\n");
    return frame;
}

// Opens `port` on `line` through the public interface; -1 on failure.
inline int32_t OpenOn(const PtyLine& line, int port, uint16_t protocol, const PellacorWindow* window = nullptr,
                      const PortSettings& s = Settings()) {
    if (SetPortDevice(port, line.path().c_str()) != 1) return -1;
    return OpenConnection(window, port, protocol, static_cast<uintptr_t>(port), &s);
}

// A link that is closed when the test ends, however it ends (closing a
// closed or stale handle is harmless). Converts to its handle, -1 on failure.
class Link {
public:
    explicit Link(int32_t handle) : handle_(handle) {}
    Link(const PtyLine& line, int port, uint16_t protocol, const PellacorWindow* window = nullptr,
         const PortSettings& s = Settings())
        : handle_(OpenOn(line, port, protocol, window, s)) {}
    ~Link() { CloseConnection(handle_); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    operator int32_t() const { return handle_; }

private:
    int32_t handle_;
};

struct Counters {
    uint32_t good = 0, bad = 0;
    bool operator==(const Counters&) const = default;
};
inline Counters CountersOf(int32_t handle) {
    Counters c;
    SlaveStatus(handle, &c.good, &c.bad, 0);
    return c;
}

// Data blocks registered with the library for the lifetime of a test.
class Blocks {
public:
    ~Blocks() {
        for (int32_t h : handles_) RemoveDataBlock(h);
    }
    uint16_t* Add(uint8_t slave, uint8_t type, uint16_t start, uint16_t count) {
        memory_.emplace_back(count, 0);
        handles_.push_back(DefineDataBlock(slave, type, start, count, memory_.back().data()));
        return memory_.back().data();
    }

private:
    std::vector<int32_t> handles_;
    std::vector<std::vector<uint16_t>> memory_;
};

} // namespace serial_test
