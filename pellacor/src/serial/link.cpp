// Serial links COM1 to COM9: opening and closing a port, the port's reader
// thread that collects bytes and decides when a frame is complete, the RTU
// end-of-frame timer on the application's window, and the transmission of
// replies with RTS control for two-wire line drivers.
//
// RTU frames end after a fixed silence chosen from the baud rate, or, with
// PELLACOR_PORT_END_AFTER_3_5_CHARACTERS, after 3.5 character times or as
// soon as their length is complete (rtu_split.h); the reader thread then
// times the silence itself, to the nanosecond.
#include "core.h"
#include "rtu_split.h"
#include "serial/line.h"
#include "sys_calls.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace pellacor::serial {
namespace {

using std::chrono::milliseconds;

// Platform state of one port; the fields shared with the rest of the library
// live in its Connection record.
struct Port {
    int number = 0; // 1..9

    // Serialises OpenConnection and CloseConnection of this port.
    std::mutex lifecycle;
    // Held while a frame is checked, processed and answered, so that closing
    // waits for a frame handled on the application's thread.
    std::mutex handling;
    // Guards the receive buffer: the reader thread appends while the
    // application's thread may take a complete RTU frame.
    std::mutex rxLock;

    // Set by OpenConnection before the reader starts, cleared after it ended.
    int fd = -1;
    int wakeFd = -1; // eventfd that CloseConnection signals
    LineControl* line = nullptr;
    const PellacorWindow* window = nullptr;
    uintptr_t timerId = 0;
    milliseconds endOfFrame{0};
    bool rtu = false;
    bool byLength = false;     // RTU ending after 3.5 characters, frames cut by length
    Clock::duration silence{}; // what ends an RTU frame on the reader thread
    bool kernelRs485 = false;  // the driver switches RTS
    bool dsrFlow = false;
    std::thread reader;
    std::atomic<bool> running{false};

    bool live = false; // under `handling`: the window's timer may use the port

    // Under `rxLock`.
    std::array<uint8_t, kSerialRxSize> rx{};
    size_t fill = 0;
    Clock::time_point lastRx{};
};

std::array<Port, kSerialPorts> g_ports;
struct NumberPorts {
    NumberPorts() {
        for (int i = 0; i < kSerialPorts; ++i) g_ports[static_cast<size_t>(i)].number = i + 1;
    }
} g_numberPorts;
std::mutex g_deviceLock;
std::array<std::string, kSerialPorts> g_devices; // under g_deviceLock; "" = default
std::array<uint32_t, kSerialPorts> g_options{};  // under g_deviceLock; PELLACOR_PORT_*
constexpr uint32_t kKnownOptions = PELLACOR_PORT_END_AFTER_3_5_CHARACTERS | PELLACOR_PORT_KERNEL_RS485;
std::atomic<uint32_t> g_handleSequence{0};

// The port whose frame the current thread is handling: a callback of the
// application that closes or reopens that very port is refused, since the
// port is still in use further up the stack.
thread_local int t_handlingPort = 0;

Connection& Record(const Port& p) { return ConnectionAt(p.number - 1); }

std::string DevicePath(int port) {
    std::lock_guard lock(g_deviceLock);
    const std::string& set = g_devices[static_cast<size_t>(port - 1)];
    return set.empty() ? "/dev/ttyS" + std::to_string(port - 1) : set;
}

// Handles carry the port number in their low four bits and a sequence number
// above it, so a handle stays unique among open ports and a stale handle from
// an earlier opening does not close a later one.
int32_t NewHandle(int port) {
    for (;;) {
        uint32_t seq = g_handleSequence.fetch_add(1) % 0x7FFFFFFu + 1u;
        auto handle = static_cast<int32_t>((seq << 4) | static_cast<uint32_t>(port));
        if (handle != PELLACOR_TCP_HANDLE) return handle;
    }
}

// RTU frames end on the window's timer when the window can run one and the
// fixed silence ends them (its timer counts whole milliseconds).
bool UsesWindowTimer(const Port& p) {
    return p.rtu && !p.byLength && p.window != nullptr && p.window->set_timer != nullptr &&
           p.window->kill_timer != nullptr;
}

// A slave id this library answers: a broadcast, or an active entry's.
bool Serves(uint8_t slave) { return slave == 0 || SlaveAccepted(slave, 3); }

int MsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

bool Woken(const Port& p) {
    pollfd wake{p.wakeFd, POLLIN, 0};
    return ::poll(&wake, 1, 0) > 0;
}

// Writes the whole frame, waiting for DSR first when the port asks for it.
// False when the frame could not be written before `deadline` or the port is
// being closed.
bool WriteFrame(Port& p, const uint8_t* data, size_t length, Clock::time_point deadline) {
    while (p.dsrFlow && !p.line->DsrOn(p.fd)) {
        if (Clock::now() >= deadline || Woken(p)) return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(p.fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        int left = MsUntil(deadline);
        if (left == 0) return false;
        pollfd fds[2] = {{p.fd, POLLOUT, 0}, {p.wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, left) < 0 && errno != EINTR) return false;
        if (fds[1].revents != 0) return false;
    }
    return true;
}

// The reply path of the framing layer: RTS up, lead delay, the frame, wait
// for the last bit, tail delay, RTS down, then discard what was received
// meanwhile, so that the echo of a two-wire line is not taken for a request,
// and whatever of the reply could not be sent.
void Transmit(void* context, const uint8_t* data, size_t length) {
    Port& p = *static_cast<Port*>(context);
    Connection& c = Record(p);
    // In the kernel's RS-485 mode the driver raises RTS and keeps the delays.
    const bool switching = !p.kernelRs485;
    if (switching) p.line->SetRts(p.fd, true);
    if (switching && c.rtsLeadMs != 0) p.line->Sleep(milliseconds(c.rtsLeadMs));
    Clock::time_point deadline = Clock::now() + kWriteBound;
    bool written = WriteFrame(p, data, length, deadline);
    RecordTraffic(c, data, length, false);
    bool drained = written && p.line->Drain(p.fd, deadline);
    if (switching && c.rtsTailMs != 0) p.line->Sleep(milliseconds(c.rtsTailMs));
    if (switching) p.line->SetRts(p.fd, false);
    p.line->Flush(p.fd, !drained);
}

// Takes the collected bytes as one frame and empties the buffer; bytes read
// after this belong to the next frame. Returns the frame's length.
size_t TakeFrame(Port& p, std::array<uint8_t, kSerialRxSize>& frame) {
    std::lock_guard lock(p.rxLock);
    size_t length = p.fill;
    std::copy_n(p.rx.begin(), length, frame.begin());
    p.fill = 0;
    return length;
}

// Checks, processes and answers a frame. The caller holds p.handling.
void HandleFrame(Port& p, const uint8_t* frame, size_t length) {
    if (length == 0) return;
    t_handlingPort = p.number;
    ReplySink sink{&p, &Transmit};
    if (p.rtu)
        RtuReceive(Record(p), frame, length, sink);
    else
        AsciiReceive(Record(p), frame, length, sink);
    t_handlingPort = 0;
}

void HandleCollected(Port& p) {
    std::lock_guard lock(p.handling);
    std::array<uint8_t, kSerialRxSize> frame;
    size_t length = TakeFrame(p, frame);
    if (!p.byLength) return HandleFrame(p, frame.data(), length);
    // The line went silent after 3.5 characters: frames sent back to back
    // without that silence are cut apart where a prefix's CRC holds.
    for (const RtuPiece& piece : SplitRtuBuffer(frame.data(), length, &Serves))
        HandleFrame(p, frame.data() + piece.offset, piece.length);
}

// Handles every frame at the start of the buffer whose length is complete,
// without waiting for the silence after it. True when bytes are left over.
bool HandleCompleteFrames(Port& p) {
    for (;;) {
        std::lock_guard lock(p.handling);
        std::array<uint8_t, kSerialRxSize> frame;
        size_t length = 0;
        {
            std::lock_guard rx(p.rxLock);
            if (p.fill == 0) return false;
            const RtuCut cut = RtuFrameAtStart(p.rx.data(), p.fill, Serves(p.rx[0]));
            if (cut.kind != RtuCut::Kind::Frame) return true;
            length = cut.length;
            std::copy_n(p.rx.begin(), length, frame.begin());
            std::copy(p.rx.begin() + static_cast<ptrdiff_t>(length),
                      p.rx.begin() + static_cast<ptrdiff_t>(p.fill), p.rx.begin());
            p.fill -= length;
        }
        HandleFrame(p, frame.data(), length);
    }
}

// End-of-frame timer of an RTU port opened with a window; runs on the
// application's thread.
void EndOfFrameTimer(void* arg, uintptr_t timerId) {
    Port& p = *static_cast<Port*>(arg);
    std::lock_guard lock(p.handling);
    if (!p.live || timerId != p.timerId) return; // fired late for a closed port
    const PellacorWindow* w = p.window;
    std::array<uint8_t, kSerialRxSize> frame;
    size_t length = 0;
    {
        std::lock_guard rx(p.rxLock);
        Clock::time_point quietUntil = p.lastRx + p.endOfFrame;
        if (p.fill != 0 && Clock::now() + milliseconds(1) < quietUntil) {
            // A byte arrived after this expiry was already on its way: the
            // restarted timer ends the frame.
            w->set_timer(w->context, p.timerId, static_cast<uint32_t>(std::max(1, MsUntil(quietUntil))),
                         &EndOfFrameTimer, &p);
            return;
        }
        w->kill_timer(w->context, p.timerId);
        length = p.fill;
        std::copy_n(p.rx.begin(), length, frame.begin());
        p.fill = 0;
    }
    HandleFrame(p, frame.data(), length);
}

enum class ReadResult { Bytes, Nothing, Failed };

// Reads the waiting bytes into the receive buffer. Failed: the device reports
// a hang-up or an error.
ReadResult ReadChunk(Port& p) {
    std::unique_lock lock(p.rxLock);
    size_t at = p.fill;
    ssize_t n = ::read(p.fd, p.rx.data() + at, kSerialRxSize - at);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::Nothing;
    if (n <= 0) return ReadResult::Failed;
    auto got = static_cast<size_t>(n);
    std::array<uint8_t, kSerialRxSize> chunk;
    std::copy_n(p.rx.begin() + static_cast<ptrdiff_t>(at), got, chunk.begin());
    p.fill = at + got;
    p.lastRx = Clock::now();
    bool lineEnd = !p.rtu && std::find(p.rx.begin(), p.rx.begin() + static_cast<ptrdiff_t>(p.fill),
                                       uint8_t{'\n'}) != p.rx.begin() + static_cast<ptrdiff_t>(p.fill);
    if (!lineEnd && p.fill == kSerialRxSize && !p.rtu) {
        // A full ASCII buffer: what precedes its last colon is noise ahead of
        // the frame that colon starts, and makes room for it.
        auto colon = std::find(p.rx.rbegin(), p.rx.rend(), uint8_t{':'});
        if (colon != p.rx.rend() && colon.base() - 1 != p.rx.begin()) {
            const auto from = colon.base() - 1;
            p.fill = static_cast<size_t>(std::copy(from, p.rx.end(), p.rx.begin()) - p.rx.begin());
        }
    }
    // A frame longer than the buffer keeps overwriting its last byte until it
    // is handled (and then fails its check).
    if (!lineEnd && p.fill == kSerialRxSize) p.fill = kSerialRxSize - 1;
    lock.unlock();

    RecordTraffic(Record(p), chunk.data(), got, true);
    if (lineEnd) HandleCollected(p);
    return ReadResult::Bytes;
}

// The reader cannot wait for the device any more: the link is dead. Unless it
// is being closed anyway, the application hears of it through its window.
void ReportFailure(const Port& p) {
    const PellacorWindow* w = p.window;
    if (!p.running.load() || w == nullptr || w->post == nullptr) return;
    w->post(w->context, PELLACOR_SERIAL_LINK_FAILED_MESSAGE, static_cast<uintptr_t>(p.number),
            static_cast<intptr_t>(Record(p).handle.load()));
}

void ReaderThread(Port& p) {
    const bool windowTimer = UsesWindowTimer(p);
    bool timing = false; // an RTU frame waits for its silence on this thread
    Clock::time_point quietUntil{};
    while (p.running.load()) {
        timespec wait{};
        if (timing) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(quietUntil - Clock::now());
            if (left.count() <= 0) {
                timing = false;
                HandleCollected(p);
                continue;
            }
            wait.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
        }
        pollfd fds[2] = {{p.fd, POLLIN, 0}, {p.wakeFd, POLLIN, 0}};
        int ready = sys::Poll(fds, 2, timing ? &wait : nullptr);
        if (ready < 0 && errno != EINTR) {
            ReportFailure(p);
            break;
        }
        if (ready <= 0) continue;
        if (fds[1].revents != 0 || (fds[0].revents & POLLNVAL) != 0) break;
        ReadResult got = (fds[0].revents & POLLIN) != 0 ? ReadChunk(p) : ReadResult::Failed;
        if (got == ReadResult::Nothing) continue;
        if (got == ReadResult::Failed) {
            // Hang-up or device error: do not spin, wait for new bytes or close.
            ::poll(&fds[1], 1, 100);
            continue;
        }
        if (!p.rtu) continue;
        if (p.byLength) {
            // The silence runs from the last byte read, unless the bytes so
            // far were whole frames.
            timing = HandleCompleteFrames(p);
            std::lock_guard rx(p.rxLock);
            quietUntil = p.lastRx + p.silence;
            continue;
        }
        const PellacorWindow* w = p.window;
        if (windowTimer &&
            w->set_timer(w->context, p.timerId, static_cast<uint32_t>(p.endOfFrame.count()), &EndOfFrameTimer,
                         &p) != 0)
            continue;
        // Without a window (or when it refused the timer) this thread times
        // the silence that ends the frame.
        timing = true;
        quietUntil = Clock::now() + p.silence;
    }
}

void ReleasePort(Port& p, Connection& c) {
    c.handle.store(-1);
    ReleaseRing(c);
    c.rtsLeadMs = 0;
    c.rtsTailMs = 0;
    c.window.store(nullptr);
    if (p.wakeFd >= 0) ::close(p.wakeFd);
    p.wakeFd = -1;
    CloseDevice(p.fd);
    p.fd = -1;
}

// Closes `p` if its record still carries `handle`; 1 when it did.
int32_t ClosePort(Port& p, int32_t handle) {
    if (t_handlingPort == p.number) return 0;
    std::lock_guard life(p.lifecycle);
    Connection& c = Record(p);
    if (handle == -1 || c.handle.load() != handle) return 0;

    p.running.store(false);
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(p.wakeFd, &one, sizeof one);
    if (p.reader.joinable()) p.reader.join();
    if (UsesWindowTimer(p)) p.window->kill_timer(p.window->context, p.timerId);
    {
        std::lock_guard h(p.handling); // waits for a frame on the window's thread
        p.live = false;
    }
    p.line->Flush(p.fd, true);
    p.line->SetDtr(p.fd, false);
    if (p.kernelRs485) p.line->KernelRs485(p.fd, false, 0, 0);
    p.kernelRs485 = false;
    ReleasePort(p, c);
    return 1;
}

int32_t OpenPort(Port& p, const PellacorWindow* window, uint16_t protocol, uintptr_t timerId,
                 const PortSettings& s) {
    if (t_handlingPort == p.number) return -1;
    std::lock_guard life(p.lifecycle);
    Connection& c = Record(p);
    if (c.handle.load() != -1) return -1; // the open link stays as it is

    LineControl& line = CurrentLineControl();
    std::string path = DevicePath(p.number);
    uint32_t options = 0;
    {
        std::lock_guard lock(g_deviceLock);
        options = g_options[static_cast<size_t>(p.number - 1)];
    }
    int fd = OpenDevice(path.c_str(), s, line);
    if (fd < 0) return -1;
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        CloseDevice(fd);
        return -1;
    }

    p.fd = fd;
    p.wakeFd = wake;
    p.line = &line;
    p.window = window;
    p.timerId = timerId;
    p.endOfFrame = milliseconds(EndOfFrameTimeMs(s.baudRate));
    p.rtu = protocol == 1;
    p.byLength = p.rtu && (options & PELLACOR_PORT_END_AFTER_3_5_CHARACTERS) != 0;
    p.silence = p.byLength ? std::chrono::duration_cast<Clock::duration>(RtuInterFrameSilence(s.baudRate))
                           : Clock::duration(p.endOfFrame);
    p.dsrFlow = (s.dsrFlow & 1u) != 0;
    int rs485Error = 0;
    p.kernelRs485 = (options & PELLACOR_PORT_KERNEL_RS485) != 0 &&
                    line.KernelRs485(fd, true, s.rtsLeadDelay, s.rtsTailDelay, &rs485Error);
    {
        std::lock_guard rx(p.rxLock);
        p.rx.fill(0);
        p.fill = 0;
    }

    AllocateRing(c);
    c.window.store(window);
    c.endOfFrameMs = static_cast<uint32_t>(p.endOfFrame.count());
    c.options.store(0);
    c.protocol = protocol;
    c.timerId = timerId;
    ResetCounters(c);
    c.rtsLeadMs = s.rtsLeadDelay;
    c.rtsTailMs = s.rtsTailDelay;
    {
        std::lock_guard h(p.handling);
        p.live = true;
    }
    c.ringPos.store(0);
    int32_t handle = NewHandle(p.number);
    c.handle.store(handle); // traffic of the reader thread already carries it
    p.running.store(true);
    try {
        p.reader = std::thread(ReaderThread, std::ref(p));
    } catch (...) {
        p.running.store(false);
        {
            std::lock_guard h(p.handling);
            p.live = false;
        }
        if (p.kernelRs485) line.KernelRs485(fd, false, 0, 0);
        p.kernelRs485 = false;
        ReleasePort(p, c);
        return -1;
    }
    if ((options & PELLACOR_PORT_KERNEL_RS485) != 0 && !p.kernelRs485 && window != nullptr && window->post != nullptr)
        window->post(window->context, PELLACOR_SERIAL_RS485_REFUSED_MESSAGE, static_cast<uintptr_t>(p.number),
                     static_cast<intptr_t>(rs485Error));
    return handle;
}

// Closes every port still open when the library is unloaded. Declared after
// g_ports, so it runs while the ports still exist.
struct CloseAtUnload {
    ~CloseAtUnload() {
        for (Port& p : g_ports) {
            int32_t handle = Record(p).handle.load();
            if (handle != -1) ClosePort(p, handle);
        }
    }
} g_closeAtUnload;

} // namespace
} // namespace pellacor::serial

using pellacor::serial::g_ports;

extern "C" PELLACOR_API int32_t OpenConnection(const PellacorWindow* window, int32_t port, uint16_t protocol,
                                               uintptr_t timer_id, const PortSettings* settings) {
    if (port < 1 || port > pellacor::kSerialPorts || settings == nullptr) return -1;
    PortSettings s;
    std::memcpy(&s, settings, sizeof s);
    return pellacor::serial::OpenPort(g_ports[static_cast<size_t>(port - 1)], window, protocol, timer_id, s);
}

extern "C" PELLACOR_API int32_t CloseConnection(int32_t handle) {
    if (handle == PELLACOR_TCP_HANDLE) return pellacor::CloseTcpServer();
    if (handle == -1) return 0;
    for (auto& p : g_ports)
        if (pellacor::ConnectionAt(p.number - 1).handle.load() == handle)
            return pellacor::serial::ClosePort(p, handle);
    return 0;
}

extern "C" PELLACOR_API int32_t SetPortOptions(int32_t port, uint32_t options) {
    if (port < 1 || port > pellacor::kSerialPorts || (options & ~pellacor::serial::kKnownOptions) != 0) return 0;
    std::lock_guard lock(pellacor::serial::g_deviceLock);
    pellacor::serial::g_options[static_cast<size_t>(port - 1)] = options;
    return 1;
}

extern "C" PELLACOR_API int32_t SetPortDevice(int32_t port, const char* path) {
    if (port < 1 || port > pellacor::kSerialPorts) return 0;
    size_t length = path ? std::strlen(path) : 0;
    if (length > 255) return 0;
    std::lock_guard lock(pellacor::serial::g_deviceLock);
    pellacor::serial::g_devices[static_cast<size_t>(port - 1)].assign(path ? path : "", length);
    return 1;
}
