#include "test_serial_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace serial_test {

PtyLine::PtyLine() {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    path_ = name;
    // Raw on both sides until the library applies its own settings, so that
    // nothing written before the open is echoed or translated.
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyLine::~PtyLine() {
    ::close(master_);
    ::close(slave_);
}

void PtyLine::Write(const Bytes& bytes) const {
    size_t done = 0;
    Clock::time_point until = Clock::now() + milliseconds(2000);
    while (done < bytes.size() && Clock::now() < until) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }
    if (done < bytes.size()) throw std::runtime_error("pty write stalled");
}

void PtyLine::Write(std::string_view text) const { Write(Bytes(text.begin(), text.end())); }

Bytes PtyLine::Read(milliseconds firstByte, milliseconds quiet, Clock::time_point* firstAt) const {
    Bytes out;
    Clock::time_point until = Clock::now() + firstByte;
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        uint8_t chunk[512];
        ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n <= 0) continue;
        if (out.empty() && firstAt) *firstAt = Clock::now();
        out.insert(out.end(), chunk, chunk + n);
        until = Clock::now() + quiet;
    }
    return out;
}

void PtyLine::Drain() const {
    uint8_t chunk[512];
    while (::read(master_, chunk, sizeof chunk) > 0) {
    }
}

FakeWindow::FakeWindow() {
    window_.context = this;
    window_.post = &Post;
    window_.set_timer = &SetTimer;
    window_.kill_timer = &KillTimer;
    thread_ = std::thread([this] { Loop(); });
}

FakeWindow::~FakeWindow() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

int FakeWindow::fired(uintptr_t id) {
    std::lock_guard lock(mutex_);
    return fired_[id];
}

int FakeWindow::started(uintptr_t id) {
    std::lock_guard lock(mutex_);
    return started_[id];
}

int FakeWindow::Post(void*, uint32_t, uintptr_t, intptr_t) { return 1; }

int FakeWindow::SetTimer(void* context, uintptr_t id, uint32_t ms, PellacorTimerProc proc, void* arg) {
    auto* self = static_cast<FakeWindow*>(context);
    {
        std::lock_guard lock(self->mutex_);
        self->timers_[id] = Timer{Clock::now() + milliseconds(ms), milliseconds(ms), proc, arg};
        ++self->started_[id];
    }
    self->wake_.notify_all();
    return 1;
}

int FakeWindow::KillTimer(void* context, uintptr_t id) {
    auto* self = static_cast<FakeWindow*>(context);
    std::lock_guard lock(self->mutex_);
    return self->timers_.erase(id) != 0;
}

void FakeWindow::Loop() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (next == timers_.end() || it->second.due < next->second.due) next = it;
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
        uintptr_t id = next->first;
        Timer timer = next->second;
        next->second.due = Clock::now() + std::max(timer.period, milliseconds(1));
        ++fired_[id];
        lock.unlock();
        timer.proc(timer.arg, id);
        lock.lock();
    }
}

PortSettings Settings(uint32_t baud, uint8_t leadMs, uint8_t tailMs) {
    PortSettings s{};
    s.baudRate = baud;
    s.dataBits = 8;
    s.rtsLeadDelay = leadMs;
    s.rtsTailDelay = tailMs;
    return s;
}

static uint16_t Crc(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

Bytes WithCrc(Bytes message) {
    uint16_t crc = Crc(message.data(), message.size());
    message.push_back(static_cast<uint8_t>(crc & 0xFF));
    message.push_back(static_cast<uint8_t>(crc >> 8));
    return message;
}

bool CrcOk(const Bytes& frame) {
    if (frame.size() < 3) return false;
    uint16_t crc = Crc(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

Bytes Rtu(uint8_t slave, uint8_t function, uint16_t first, uint16_t second) {
    return WithCrc({slave, function, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                    static_cast<uint8_t>(second >> 8), static_cast<uint8_t>(second)});
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        out += pair;
    }
    return out;
}

std::string Ascii(std::string_view body, bool lowercaseLrc) {
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < body.size(); i += 2)
        sum = static_cast<uint8_t>(sum + std::stoi(std::string(body.substr(i, 2)), nullptr, 16));
    char lrc[3];
    std::snprintf(lrc, sizeof lrc, lowercaseLrc ? "%02x" : "%02X", static_cast<uint8_t>(-sum));
    return ":" + std::string(body) + lrc + "\r\n";
}

int32_t OpenOn(const PtyLine& line, int port, uint16_t protocol, const PellacorWindow* window,
               const PortSettings& s) {
    if (SetPortDevice(port, line.path().c_str()) != 1) return -1;
    return OpenConnection(window, port, protocol, static_cast<uintptr_t>(port), &s);
}

Counters CountersOf(int32_t handle) {
    Counters c;
    SlaveStatus(handle, &c.good, &c.bad, 0);
    return c;
}

Blocks::~Blocks() {
    for (int32_t h : handles_) RemoveDataBlock(h);
}

uint16_t* Blocks::Add(uint8_t slave, uint8_t type, uint16_t start, uint16_t count) {
    memory_.emplace_back(count, 0);
    handles_.push_back(DefineDataBlock(slave, type, start, count, memory_.back().data()));
    return memory_.back().data();
}

} // namespace serial_test
