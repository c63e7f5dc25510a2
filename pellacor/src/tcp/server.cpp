// Modbus/TCP server: one service thread per opened server runs an epoll loop
// over the listening socket, up to 32 client sockets, a wake-up eventfd and
// the idle-check timerfd, and turns each event into an MBAPWndProc message.
//
// Every opened server has its own Server object, shared by the application
// thread (only to raise `closing` and wake the loop) and its service thread
// (everything else). The service thread is joinable and owned: closing wakes
// it and joins it, so once CloseConnection(8050) has returned the listener is
// closed and nothing of the server touches the window, the blocks or the
// traffic ring any more. A close from the service thread itself (a callback)
// closes the listener at once; the thread ends after the callback and is
// joined by the next open or close from another thread, or at unload.
// A server that cannot go on (no socket, no event loop, a failed wait) counts
// as closed and tells the application with its message.
#include "tcp/server.h"
#include "sys_calls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pellacor::tcp {
namespace {

// epoll tags: the low 32 bits name the source, the high 32 bits carry the
// client slot's serial so that an event of a freed slot is not applied to the
// next client accepted into it within the same batch.
constexpr uint32_t kTagWake = 0;
constexpr uint32_t kTagTimer = 1;
constexpr uint32_t kTagListen = 2;
constexpr uint32_t kTagClient0 = 16;

struct Client {
    int fd = -1;
    sockaddr_storage peer{};
    uint32_t connectTime = 0;
    uint32_t lastActivity = 0;
    uint32_t serial = 0;
    bool writeArmed = false;
    bool drop = false;
    Assembly assembly;
    std::vector<uint8_t> out; // reply bytes the socket has not taken yet
    size_t outOffset = 0;
};

struct Server {
    const PellacorWindow* window = nullptr;
    uint32_t message = 0;
    int wakeFd = -1;
    std::atomic<bool> closing{false};
    std::atomic<bool> idleCheckRequested{false};
    std::atomic<int> connected{0};

    std::thread thread; // joined by whoever takes the server off the closed list

    // Set before the thread starts: where to listen and who may connect.
    uint16_t port = 502;
    sockaddr_storage bindAddress{};
    std::vector<Network> allowed; // empty: every master

    // Service thread only.
    int epollFd = -1;
    int timerFd = -1;
    int listenFd = -1;
    bool listenArmed = false;
    bool running = true;
    Client clients[kClientSlots];

    ~Server() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

std::atomic<uint16_t> gPort{502};
std::atomic<bool> gFakeClock{false};
std::atomic<uint32_t> gFakeNow{0};
std::atomic<uint32_t> gRefused{0};

// Never destroyed: a service thread still tearing down while the process
// exits must find its lock and lists intact.
struct Registry {
    std::mutex mutex;
    std::condition_variable threadEnded;
    std::shared_ptr<Server> open;                // the open server, null when closed
    std::vector<std::shared_ptr<Server>> closed; // closed or failed, thread not yet joined
    int liveThreads = 0;                         // service threads not yet ended
    // Held while joining, so that a second closer returns only once the
    // first one's joins are done too. Never taken on a service thread.
    std::mutex joining;
    // Listening settings for servers opened from now on.
    std::mutex settingsLock;
    sockaddr_storage bindAddress{};
    std::vector<Network> allowed;
};
Registry& gRegistry = *new Registry;
std::mutex& gMutex = gRegistry.mutex;
std::condition_variable& gThreadEnded = gRegistry.threadEnded;
std::shared_ptr<Server>& gOpen = gRegistry.open;
int& gLiveThreads = gRegistry.liveThreads;

thread_local Server* tServer = nullptr; // the server of this service thread

uint64_t Tag(uint32_t source, uint32_t serial = 0) { return (static_cast<uint64_t>(serial) << 32) | source; }

void Wake(int fd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

Connection& Record() { return ConnectionAt(kTcpIndex); }

// Nothing is recorded once the server is closing: a close from a callback
// releases the ring while this thread still winds down.
void RecordChunk(Server& s, const uint8_t* data, size_t length, bool received) {
    if (s.closing.load(std::memory_order_acquire)) return;
    RecordTraffic(Record(), data, length, received);
}

void ArmListen(Server& s, bool on) {
    if (s.listenFd < 0 || s.listenArmed == on) return;
    epoll_event ev{};
    ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ev.data.u64 = Tag(kTagListen);
    if (::epoll_ctl(s.epollFd, EPOLL_CTL_MOD, s.listenFd, &ev) == 0) s.listenArmed = on;
}

void SetClientEvents(Server& s, int k, bool write) {
    Client& cl = s.clients[k];
    epoll_event ev{};
    ev.events = write ? static_cast<uint32_t>(EPOLLIN | EPOLLOUT) : static_cast<uint32_t>(EPOLLIN);
    ev.data.u64 = Tag(kTagClient0 + static_cast<uint32_t>(k), cl.serial);
    if (::epoll_ctl(s.epollFd, EPOLL_CTL_MOD, cl.fd, &ev) == 0) cl.writeArmed = write;
}

void FreeSlot(Server& s, int k) {
    Client& cl = s.clients[k];
    if (cl.fd < 0) return;
    ::epoll_ctl(s.epollFd, EPOLL_CTL_DEL, cl.fd, nullptr);
    ::close(cl.fd);
    cl.fd = -1;
    cl.assembly.fill = 0;
    cl.out.clear();
    cl.out.shrink_to_fit();
    cl.outOffset = 0;
    cl.writeArmed = false;
    cl.drop = false;
    s.connected.fetch_sub(1, std::memory_order_relaxed);
    // A connection left waiting in the listen queue gets the slot.
    ArmListen(s, true);
}

// Sends what the socket takes; false when the client is gone.
bool Flush(Server& s, int k) {
    Client& cl = s.clients[k];
    while (cl.outOffset < cl.out.size()) {
        const ssize_t n = ::send(cl.fd, cl.out.data() + cl.outOffset, cl.out.size() - cl.outOffset,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            cl.outOffset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    if (cl.outOffset == cl.out.size()) {
        cl.out.clear();
        cl.outOffset = 0;
        if (cl.writeArmed) SetClientEvents(s, k, false);
    } else if (!cl.writeArmed) {
        SetClientEvents(s, k, true);
    }
    return true;
}

struct SendContext {
    Server* server;
    int slot;
};

// Queues one whole reply behind any earlier one and sends what the socket takes.
void SendReply(void* context, const uint8_t* data, size_t length) {
    auto* ctx = static_cast<SendContext*>(context);
    Server& s = *ctx->server;
    Client& cl = s.clients[ctx->slot];
    if (cl.drop) return;
    RecordChunk(s, data, length, false);
    if (cl.out.size() - cl.outOffset + length > kOutputQueueLimit) {
        cl.drop = true; // the client does not read its replies
        return;
    }
    if (cl.outOffset > 0 && cl.outOffset == cl.out.size()) {
        cl.out.clear();
        cl.outOffset = 0;
    }
    cl.out.insert(cl.out.end(), data, data + length);
    if (!Flush(s, ctx->slot)) cl.drop = true;
}

bool Allowed(const Server& s, const sockaddr_storage& peer) {
    if (s.allowed.empty()) return true;
    for (const Network& n : s.allowed)
        if (InNetwork(peer, n)) return true;
    return false;
}

// Accepts what the listen queue holds, as long as slots are free.
void OnListen(Server& s) {
    for (;;) {
        int k = 0;
        while (k < kClientSlots && s.clients[k].fd >= 0) ++k;
        if (k == kClientSlots) {
            // Every slot is busy: the connection stays in the listen queue, and
            // the socket is not watched until a slot frees.
            ArmListen(s, false);
            return;
        }
        Client& cl = s.clients[k];
        socklen_t len = sizeof cl.peer;
        const int fd =
            ::accept4(s.listenFd, reinterpret_cast<sockaddr*>(&cl.peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory: the pending connection would wake the
            // loop again at once. Rest until a slot frees or the next idle check.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) ArmListen(s, false);
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        if (!Allowed(s, cl.peer)) { // a master from elsewhere: let go at once
            ::close(fd);
            gRefused.fetch_add(1, std::memory_order_relaxed);
            NoteRefused(cl.peer);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        cl.fd = fd;
        cl.serial++;
        cl.assembly.fill = 0;
        cl.connectTime = cl.lastActivity = NowMs();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = Tag(kTagClient0 + static_cast<uint32_t>(k), cl.serial);
        if (::epoll_ctl(s.epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            cl.fd = -1;
            return;
        }
        s.connected.fetch_add(1, std::memory_order_relaxed);
    }
}

void OnClient(Server& s, int k, uint32_t events) {
    Client& cl = s.clients[k];
    if (cl.fd < 0) return;
    if ((events & EPOLLOUT) != 0 && !Flush(s, k)) {
        FreeSlot(s, k);
        return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;

    Assembly& a = cl.assembly;
    const ssize_t n = ::recv(cl.fd, a.buffer + a.fill, kReceiveBufferSize - a.fill, MSG_DONTWAIT);
    if (n == 0) { // the client closed its side; it may still read what is queued
        Flush(s, k);
        FreeSlot(s, k);
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) FreeSlot(s, k);
        return;
    }
    RecordChunk(s, a.buffer + a.fill, static_cast<size_t>(n), true);
    a.fill += static_cast<size_t>(n);

    SendContext ctx{&s, k};
    const ReplySink sink{&ctx, &SendReply};
    const DrainStatus status = DrainRequests(a, Record(), NowMs(), &cl.lastActivity, sink, &s.closing);
    if (status == DrainStatus::Drop || cl.drop) FreeSlot(s, k);
}

void OnIdleCheck(Server& s) {
    ArmListen(s, true); // after a rest for want of descriptors; idle when all slots are busy
    const uint32_t now = NowMs();
    for (int k = 0; k < kClientSlots; ++k) {
        Client& cl = s.clients[k];
        if (cl.fd >= 0 && static_cast<uint32_t>(now - cl.lastActivity) > kIdleLimitMs) FreeSlot(s, k);
    }
}

void CloseListener(Server& s) {
    if (s.listenFd < 0) return;
    ::epoll_ctl(s.epollFd, EPOLL_CTL_DEL, s.listenFd, nullptr);
    ::close(s.listenFd);
    s.listenFd = -1;
    s.listenArmed = false;
}

void TearDown(Server& s) {
    CloseListener(s); // first: no connection is taken while the clients go
    for (int k = 0; k < kClientSlots; ++k) FreeSlot(s, k);
    s.running = false;
}

// Takes the server off the open slot (its thread is joined later). True when
// it was the open server, which the application has not closed.
bool MarkClosed(const std::shared_ptr<Server>& s) {
    std::lock_guard<std::mutex> guard(gMutex);
    if (gOpen != s) return false;
    gRegistry.closed.push_back(gOpen);
    gOpen.reset();
    return true;
}

// The server cannot go on: it counts as closed, and the application hears of
// it unless it closed the server itself meanwhile.
void Fail(const std::shared_ptr<Server>& sp, uintptr_t stage, int error) {
    Server& s = *sp;
    s.running = false;
    if (!MarkClosed(sp) || s.closing.load(std::memory_order_acquire)) return;
    if (s.window != nullptr && s.window->post != nullptr)
        s.window->post(s.window->context, s.message, stage, stage == PELLACOR_TCP_FAILED_BIND ? 0 : error);
}

bool Register(Server& s, int fd, uint32_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = Tag(tag);
    return sys::EpollCtl(s.epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

// Start-up: the event loop, the listening socket and the idle check. False
// (after Fail) when the server cannot serve.
bool StartListening(const std::shared_ptr<Server>& sp) {
    Server& s = *sp;
    s.epollFd = sys::EpollCreate(EPOLL_CLOEXEC);
    if (s.epollFd < 0 || !Register(s, s.wakeFd, kTagWake)) {
        Fail(sp, PELLACOR_TCP_FAILED_EVENTS, errno);
        return false;
    }
    const int family = s.bindAddress.ss_family;
    s.listenFd = sys::Socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.listenFd < 0) {
        Fail(sp, PELLACOR_TCP_FAILED_SOCKET, errno);
        return false;
    }
    const int one = 1, zero = 0;
    ::setsockopt(s.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t length = sizeof(sockaddr_in);
    if (family == AF_INET6) {
        // Bound to the IPv6 wildcard, IPv4 masters are served too.
        ::setsockopt(s.listenFd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        reinterpret_cast<sockaddr_in6&>(s.bindAddress).sin6_port = htons(s.port);
        length = sizeof(sockaddr_in6);
    } else {
        reinterpret_cast<sockaddr_in&>(s.bindAddress).sin_port = htons(s.port);
    }
    if (::bind(s.listenFd, reinterpret_cast<sockaddr*>(&s.bindAddress), length) != 0 ||
        ::listen(s.listenFd, kListenBacklog) != 0) {
        CloseListener(s);
        Fail(sp, PELLACOR_TCP_FAILED_BIND, 0);
        return false;
    }
    // Without the idle check half-open masters would hold slots for ever.
    s.timerFd = sys::TimerCreate(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    itimerspec period{};
    period.it_interval.tv_sec = kIdleCheckPeriodMs / 1000;
    period.it_value = period.it_interval;
    if (s.timerFd < 0 || ::timerfd_settime(s.timerFd, 0, &period, nullptr) != 0 ||
        !Register(s, s.listenFd, kTagListen) || !Register(s, s.timerFd, kTagTimer)) {
        const int error = errno;
        CloseListener(s);
        Fail(sp, PELLACOR_TCP_FAILED_EVENTS, error);
        return false;
    }
    s.listenArmed = true;
    return true;
}

void ServiceThread(std::shared_ptr<Server> sp) {
    Server& s = *sp;
    tServer = &s;
    // A server closed before it got this far never takes the port.
    const bool listening = !s.closing.load(std::memory_order_acquire) && StartListening(sp);

    epoll_event events[64];
    while (listening && s.running) {
        const int n = sys::EpollWait(s.epollFd, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            TearDown(s);
            Fail(sp, PELLACOR_TCP_FAILED_WAIT, error);
            break;
        }
        for (int i = 0; i < n && s.running; ++i) {
            const uint32_t source = static_cast<uint32_t>(events[i].data.u64);
            const uint32_t serial = static_cast<uint32_t>(events[i].data.u64 >> 32);
            const auto lparam = static_cast<intptr_t>(events[i].events);
            if (source == kTagWake) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t r = ::read(s.wakeFd, &count, sizeof count);
                if (s.closing.load(std::memory_order_acquire)) {
                    MBAPWndProc(&s, kMsgClose, 0, 0);
                } else if (s.idleCheckRequested.exchange(false)) {
                    MBAPWndProc(&s, kMsgTimer, kIdleTimerId, 0);
                }
            } else if (source == kTagTimer) {
                uint64_t expirations = 0;
                [[maybe_unused]] ssize_t r = ::read(s.timerFd, &expirations, sizeof expirations);
                MBAPWndProc(&s, kMsgTimer, kIdleTimerId, 0);
            } else if (source == kTagListen) {
                MBAPWndProc(&s, kMsgListen, 0, lparam);
            } else if (source >= kTagClient0 && source < kTagClient0 + kClientSlots) {
                const int k = static_cast<int>(source - kTagClient0);
                if (s.clients[k].fd >= 0 && s.clients[k].serial == serial)
                    MBAPWndProc(&s, kMsgClientBase + static_cast<uint32_t>(k), 0, lparam);
            }
        }
        // A close raised while this batch ran is honoured before the next wait.
        if (s.running && s.closing.load(std::memory_order_acquire)) MBAPWndProc(&s, kMsgClose, 0, 0);
    }
    if (s.running) TearDown(s);
    if (s.timerFd >= 0) ::close(s.timerFd);
    if (s.epollFd >= 0) ::close(s.epollFd);
    s.timerFd = s.epollFd = -1;
    tServer = nullptr;
    MarkClosed(sp); // a closed server is off the open slot already

    std::lock_guard<std::mutex> guard(gMutex);
    --gLiveThreads;
    gThreadEnded.notify_all();
}

// Joins the threads of every server taken off the open slot so far. Not on a
// service thread (it would wait for itself, or for a closer waiting for it).
void JoinClosedServers() {
    std::lock_guard<std::mutex> join(gRegistry.joining);
    std::vector<std::shared_ptr<Server>> closed;
    {
        std::lock_guard<std::mutex> guard(gMutex);
        closed.swap(gRegistry.closed);
    }
    for (const auto& s : closed)
        if (s->thread.joinable()) s->thread.join();
}

// Closes the server still open when the library is unloaded and joins every
// service thread, so none outlives the library's code.
struct CloseAtUnload {
    ~CloseAtUnload() { pellacor::CloseTcpServer(); }
} gCloseAtUnload;

} // namespace

uint32_t NowMs() {
    if (gFakeClock.load(std::memory_order_acquire)) return gFakeNow.load(std::memory_order_acquire);
    const auto t = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(t).count());
}

void SetFakeClock(bool enabled, uint32_t nowMs) {
    gFakeNow.store(nowMs, std::memory_order_release);
    gFakeClock.store(enabled, std::memory_order_release);
}

bool TriggerIdleCheck() {
    std::lock_guard<std::mutex> guard(gMutex);
    if (!gOpen) return false;
    gOpen->idleCheckRequested.store(true, std::memory_order_release);
    Wake(gOpen->wakeFd);
    return true;
}

bool WaitAllServersEnded(int timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(gMutex);
        if (!gThreadEnded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return gOpen == nullptr && gLiveThreads == 0; }))
            return false;
    }
    if (tServer == nullptr) JoinClosedServers();
    return true;
}

int LiveServiceThreads() {
    std::lock_guard<std::mutex> guard(gMutex);
    return gLiveThreads;
}

int ConnectedClients() {
    std::lock_guard<std::mutex> guard(gMutex);
    return gOpen ? gOpen->connected.load(std::memory_order_relaxed) : 0;
}

} // namespace pellacor::tcp

namespace pellacor {

int32_t CloseTcpServer() {
    using namespace tcp;
    {
        std::lock_guard<std::mutex> guard(gMutex);
        std::shared_ptr<Server> s = std::move(gOpen);
        gOpen.reset();
        if (s) {
            s->closing.store(true, std::memory_order_release);
            if (s.get() == tServer)
                CloseListener(*s); // from a callback: the loop ends after it
            else
                Wake(s->wakeFd);
            gRegistry.closed.push_back(std::move(s));
        }
    }
    if (tServer == nullptr) JoinClosedServers();
    std::lock_guard<std::mutex> guard(gMutex);
    if (!gOpen) ReleaseRing(ConnectionAt(kTcpIndex));
    return 1;
}

} // namespace pellacor

extern "C" PELLACOR_API int32_t OpenTCPConnection(const PellacorWindow* window, uint32_t message) {
    using namespace pellacor::tcp;
    // Servers that ended on their own (or were closed from their own
    // callbacks) are joined first: no two service threads share the window.
    if (tServer == nullptr) JoinClosedServers();
    std::lock_guard<std::mutex> guard(gMutex);
    if (gOpen) return -1;
    auto s = std::make_shared<Server>();
    s->window = window;
    s->message = message;
    s->port = gPort.load(std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> settings(gRegistry.settingsLock);
        s->bindAddress = gRegistry.bindAddress;
        s->allowed = gRegistry.allowed;
    }
    if (s->bindAddress.ss_family == AF_UNSPEC) ParseBindAddress(nullptr, s->bindAddress);
    s->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s->wakeFd < 0) return -1;

    pellacor::Connection& c = pellacor::ConnectionAt(pellacor::kTcpIndex);
    c.handle.store(PELLACOR_TCP_HANDLE);
    c.window.store(window);
    pellacor::AllocateRing(c);
    try {
        s->thread = std::thread(ServiceThread, s);
    } catch (...) {
        pellacor::ReleaseRing(c);
        return -1;
    }
    gOpen = s;
    ++gLiveThreads;
    return PELLACOR_TCP_HANDLE;
}

extern "C" PELLACOR_API int32_t SetTCPBindAddress(const char* address) {
    using namespace pellacor::tcp;
    sockaddr_storage a{};
    if (!ParseBindAddress(address, a)) return 0;
    std::lock_guard<std::mutex> settings(gRegistry.settingsLock);
    gRegistry.bindAddress = a;
    return 1;
}

extern "C" PELLACOR_API int32_t AddTCPAllowedNetwork(const char* network) {
    using namespace pellacor::tcp;
    std::lock_guard<std::mutex> settings(gRegistry.settingsLock);
    if (network == nullptr) {
        gRegistry.allowed.clear();
        return 1;
    }
    Network n;
    if (!ParseNetwork(network, n)) return 0;
    gRegistry.allowed.push_back(n);
    return 1;
}

extern "C" PELLACOR_API uint32_t TCPRefusedConnections(int32_t reset) {
    auto& refused = pellacor::tcp::gRefused;
    return reset ? refused.exchange(0) : refused.load();
}

// Here rather than beside SlaveStatus: only the TCP server knows its masters.
extern "C" PELLACOR_API int32_t LinkCounters(int32_t handle, PellacorLinkCounters* counters) {
    using namespace pellacor;
    Connection* c = FindConnection(handle);
    if (c == nullptr || counters == nullptr || c->handle.load() == -1) return 0;
    counters->requests = c->goodFrames.load();
    counters->badFrames = c->badFrames.load();
    for (int code = 0; code < kExceptionSlots; ++code) counters->exceptions[code] = c->exceptions[code].load();
    const bool tcp = c == &ConnectionAt(kTcpIndex);
    counters->masters = tcp ? static_cast<uint32_t>(tcp::ConnectedClients()) : 0;
    counters->refused = tcp ? tcp::gRefused.load() : 0;
    return 1;
}

extern "C" PELLACOR_API int32_t SetTCPServicePort(uint16_t port) {
    pellacor::tcp::gPort.store(port, std::memory_order_relaxed);
    return 1;
}

extern "C" PELLACOR_API int32_t InitializeWSock(void) { return 0; }
extern "C" PELLACOR_API uint16_t UnInitializeWSock(void) { return 0; }

extern "C" PELLACOR_API intptr_t MBAPWndProc(void* server, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    using namespace pellacor::tcp;
    auto* s = static_cast<Server*>(server);
    // Only the server's own service thread may drive it.
    if (s == nullptr || s != tServer) return 0;
    if (message == kMsgClose) {
        TearDown(*s);
    } else if (message == kMsgListen) {
        OnListen(*s);
    } else if (message >= kMsgClientBase && message < kMsgClientBase + kClientSlots) {
        OnClient(*s, static_cast<int>(message - kMsgClientBase), static_cast<uint32_t>(lparam));
    } else if (message == kMsgTimer && wparam == kIdleTimerId) {
        OnIdleCheck(*s);
    }
    return 0;
}
