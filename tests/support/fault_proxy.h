// A loopback TCP proxy that misbehaves on command, for tests of how a client
// survives network faults: it listens on 127.0.0.1 (a port of its own) and
// forwards every connection to 127.0.0.1:target.
//
// Faults, each applied by the proxy's thread before the call returns:
// - Cut(): closes both sides of every connection now (the server stays up).
// - Blackhole(): every connection stays open but nothing moves either way;
//   bytes already held stay held, and what the kernel buffers stays there, as
//   on a link that went silent. New connections are accepted and connected on,
//   then stall as well. Resume() lets everything flow again, nothing lost.
//   A side that resets its connection meanwhile still closes that pair (the
//   proxy does not spin on a dead socket).
// - Delay(ms): each byte is forwarded `ms` after it arrived.
// - Refuse(): the listening socket closes, so connecting fails at once
//   (ECONNREFUSED), as with a stopped server; Resume() listens again on the
//   same port (should another socket have taken it meanwhile, the proxy
//   stays refusing).
// - Resume(): undoes Blackhole, Delay (what it holds is sent now) and Refuse.
// - OnChunks(down, up): a man in the middle of OPC UA connections. Each
//   whole chunk (OPC UA Part 6: 8-byte header, its size at bytes 4..7) the
//   server sends goes through `down`, which may change it (size included),
//   and each one a client sends through `up` before it is forwarded. For
//   connections accepted after the call; an empty function passes bytes as
//   they come.
// A side that closes is passed on once what it sent has been forwarded. A
// server that refuses the proxy's connection closes the client's side.
//
// Limits: one thread, joined by Stop() and the destructor; at most
// kMaxBuffered bytes held per direction and connection (reading stops until
// the other side takes them).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::test {

class FaultProxy {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxBuffered = 256 * 1024;

    explicit FaultProxy(uint16_t target_port) : target_port_(target_port) {}
    ~FaultProxy() { Stop(); }
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // Listens on 127.0.0.1:0 and starts the thread; false when it cannot.
    bool Start() {
        if (thread_.joinable()) return true;
        int p[2];
        if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        wake_read_ = p[0];
        wake_write_ = p[1];
        if (!Listen()) {
            CloseWake();
            return false;
        }
        running_ = true;
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    // Closes every connection and the listener; joins the thread.
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mu_);
            running_ = false;
        }
        Wake();
        thread_.join();
        for (auto& p : pairs_) ClosePair(*p);
        pairs_.clear();
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
        CloseWake();
    }

    uint16_t Port() const { return port_; }
    std::string Url(const std::string& path = "") const {
        return "opc.tcp://127.0.0.1:" + std::to_string(port_) + path;
    }
    void Retarget(uint16_t target_port) {
        Command([this, target_port] { target_port_ = target_port; });
    }

    void Cut() {
        Command([this] {
            for (auto& p : pairs_) ClosePair(*p);
            pairs_.clear();
        });
    }
    void Blackhole() { Command([this] { stalled_ = true; }); }
    void Delay(std::chrono::milliseconds delay) { Command([this, delay] { delay_ = delay; }); }
    void Refuse() {
        Command([this] {
            if (listener_ >= 0) ::close(listener_);
            listener_ = -1;
        });
    }
    using ChunkHook = std::function<void(std::vector<uint8_t>& chunk)>;
    void OnChunks(ChunkHook down, ChunkHook up = {}) {
        Command([this, down = std::move(down), up = std::move(up)] {
            down_hook_ = down;
            up_hook_ = up;
        });
    }
    void Resume() {
        Command([this] {
            stalled_ = false;
            delay_ = {};
            const auto now = Clock::now(); // what a delay still holds goes now, in order
            for (auto& p : pairs_)
                for (Flow* f : {&p->up, &p->down})
                    for (auto& s : f->queue) s.due = std::min(s.due, now);
            if (listener_ < 0) Listen();
        });
    }

    int Accepted() const { return accepted_.load(); } // connections accepted since Start
    int Open() const { return open_.load(); }         // connections open now
    uint64_t FromClients() const { return from_clients_.load(); } // bytes read from clients, held or not

private:
    struct Segment {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        size_t offset = 0;
    };
    struct Flow {
        std::deque<Segment> queue;
        size_t held = 0;
        bool eof = false; // the sending side closed
        ChunkHook hook;   // OnChunks: whole chunks go through it
        std::vector<uint8_t> partial; // bytes of a chunk not yet whole
    };
    struct Pair {
        int client = -1;
        int server = -1;
        bool connecting = true;
        bool dead = false;
        Flow up;   // client -> server
        Flow down; // server -> client
    };

    bool Listen() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return false;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = Loopback(port_);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            ::close(fd);
            return false;
        }
        if (port_ == 0) port_ = ntohs(a.sin_port); // fixed before the thread starts; Resume() rebinds it
        listener_ = fd;
        return true;
    }

    static sockaddr_in Loopback(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }

    void CloseWake() {
        if (wake_read_ >= 0) ::close(wake_read_);
        if (wake_write_ >= 0) ::close(wake_write_);
        wake_read_ = wake_write_ = -1;
    }

    void Wake() {
        const uint8_t b = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_write_, &b, 1); // a full pipe is awake already
    }

    // Runs `f` on the proxy's thread and waits for it (at once when stopped).
    void Command(std::function<void()> f) {
        std::unique_lock lock(mu_);
        if (!thread_.joinable() || !running_) {
            f();
            return;
        }
        const uint64_t ticket = ++posted_;
        commands_.push_back(std::move(f));
        Wake();
        done_cv_.wait(lock, [&] { return done_ >= ticket || !running_; });
    }

    void RunCommands() {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard lock(mu_);
            batch.swap(commands_);
        }
        for (auto& f : batch) f();
        std::lock_guard lock(mu_);
        done_ += batch.size();
        done_cv_.notify_all();
    }

    void ClosePair(Pair& p) {
        if (p.dead) return;
        if (p.client >= 0) ::close(p.client);
        if (p.server >= 0) ::close(p.server);
        p.client = p.server = -1;
        p.dead = true;
        --open_;
    }

    void AcceptAll() {
        for (;;) {
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) return;
            ++accepted_;
            ++open_;
            auto p = std::make_unique<Pair>();
            p->client = c;
            p->up.hook = up_hook_;
            p->down.hook = down_hook_;
            p->server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            const sockaddr_in t = Loopback(target_port_);
            const int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (p->server >= 0) ::setsockopt(p->server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (p->server < 0 ||
                (::connect(p->server, reinterpret_cast<const sockaddr*>(&t), sizeof t) != 0 && errno != EINPROGRESS)) {
                ClosePair(*p);
                continue;
            }
            pairs_.push_back(std::move(p));
        }
    }

    // Reads what `from` has into `flow`; false when the pair must close.
    bool ReadInto(int from, Flow& flow, Clock::time_point now, std::atomic<uint64_t>* count = nullptr) {
        uint8_t buf[16384];
        while (flow.held < kMaxBuffered) {
            const ssize_t n = ::read(from, buf, std::min(sizeof buf, kMaxBuffered - flow.held));
            if (n > 0) {
                if (count != nullptr) *count += static_cast<uint64_t>(n);
                if (flow.hook) {
                    if (!Frame(flow, buf, static_cast<size_t>(n), now)) return false;
                    continue;
                }
                flow.queue.push_back({now + delay_, std::vector<uint8_t>(buf, buf + n), 0});
                flow.held += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) {
                flow.eof = true;
                return true;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        return true;
    }

    // Cuts `flow.partial` plus `n` new bytes into whole chunks, each through
    // the hook and then queued; false on a size no chunk has.
    bool Frame(Flow& flow, const uint8_t* bytes, size_t n, Clock::time_point now) {
        flow.partial.insert(flow.partial.end(), bytes, bytes + n);
        size_t at = 0;
        while (flow.partial.size() - at >= 8) {
            const uint8_t* h = flow.partial.data() + at;
            const size_t size = h[4] | h[5] << 8 | h[6] << 16 | static_cast<size_t>(h[7]) << 24;
            if (size < 8 || size > kMaxBuffered) return false;
            if (flow.partial.size() - at < size) break;
            std::vector<uint8_t> chunk(h, h + size);
            at += size;
            flow.hook(chunk);
            flow.held += chunk.size();
            flow.queue.push_back({now + delay_, std::move(chunk), 0});
        }
        flow.partial.erase(flow.partial.begin(), flow.partial.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }

    // Writes what is due; false when the pair must close.
    static bool Flush(int to, Flow& flow, Clock::time_point now) {
        while (!flow.queue.empty() && flow.queue.front().due <= now) {
            Segment& s = flow.queue.front();
            const ssize_t n = ::send(to, s.bytes.data() + s.offset, s.bytes.size() - s.offset, MSG_NOSIGNAL);
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            s.offset += static_cast<size_t>(n);
            flow.held -= static_cast<size_t>(n);
            if (s.offset == s.bytes.size()) flow.queue.pop_front();
        }
        return true;
    }

    static bool DueNow(const Flow& f, Clock::time_point now) {
        return !f.queue.empty() && f.queue.front().due <= now;
    }

    void Run() {
        std::vector<pollfd> fds;
        for (;;) {
            {
                std::lock_guard lock(mu_);
                if (!running_) break;
            }
            const auto now = Clock::now();
            int timeout = -1;
            fds.clear();
            fds.push_back({wake_read_, POLLIN, 0});
            fds.push_back({listener_, static_cast<short>(listener_ >= 0 ? POLLIN : 0), 0});
            for (auto& p : pairs_) {
                short ce = 0, se = 0;
                if (p->connecting) {
                    se = POLLOUT;
                } else if (!stalled_) {
                    if (!p->up.eof && p->up.held < kMaxBuffered) ce |= POLLIN;
                    if (!p->down.eof && p->down.held < kMaxBuffered) se |= POLLIN;
                    if (DueNow(p->down, now)) ce |= POLLOUT;
                    if (DueNow(p->up, now)) se |= POLLOUT;
                    for (const Flow* f : {&p->up, &p->down}) {
                        if (f->queue.empty() || f->queue.front().due <= now) continue;
                        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(f->queue.front().due - now);
                        timeout = timeout < 0 ? static_cast<int>(wait.count())
                                              : std::min(timeout, static_cast<int>(wait.count()));
                    }
                }
                fds.push_back({p->client, ce, 0});
                fds.push_back({p->server, se, 0});
            }
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
            const size_t count = pairs_.size(); // pairs accepted below are not in fds
            if (fds[0].revents != 0) {
                uint8_t drain[64];
                while (::read(wake_read_, drain, sizeof drain) > 0) {
                }
            }
            if (fds[1].revents & POLLIN) AcceptAll();
            const auto t = Clock::now();
            for (size_t i = 0; i < count; ++i) {
                Pair& p = *pairs_[i];
                if (p.dead) continue;
                const short cr = fds[2 + 2 * i].revents, sr = fds[3 + 2 * i].revents;
                bool ok = true;
                if (p.connecting) {
                    if (sr != 0) {
                        int err = 0;
                        socklen_t len = sizeof err;
                        ::getsockopt(p.server, SOL_SOCKET, SO_ERROR, &err, &len);
                        ok = err == 0;
                        p.connecting = false;
                    }
                    if (cr & (POLLERR | POLLHUP)) ok = false;
                } else if (((cr | sr) & (POLLERR | POLLHUP | POLLNVAL)) && (stalled_ || !((cr | sr) & POLLIN))) {
                    ok = false;
                } else if (!stalled_) {
                    if (cr & (POLLIN | POLLHUP)) ok = ReadInto(p.client, p.up, t, &from_clients_) && ok;
                    if (sr & (POLLIN | POLLHUP)) ok = ReadInto(p.server, p.down, t) && ok;
                }
                if (ok && !stalled_ && !p.connecting) ok = Flush(p.server, p.up, t) && Flush(p.client, p.down, t);
                // A side that closed is passed on once what it sent is out.
                if (!ok || (p.up.eof && p.up.queue.empty()) || (p.down.eof && p.down.queue.empty())) ClosePair(p);
            }
            pairs_.erase(std::remove_if(pairs_.begin(), pairs_.end(), [](const auto& p) { return p->dead; }),
                         pairs_.end());
            RunCommands();
        }
        {
            std::lock_guard lock(mu_); // a failed poll ends the thread too: later commands run inline
            running_ = false;
        }
        RunCommands(); // release any caller still waiting
    }

    uint16_t target_port_;
    uint16_t port_ = 0;
    int listener_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::thread thread_;

    std::mutex mu_; // guards running_, commands_, posted_, done_
    std::condition_variable done_cv_;
    bool running_ = false;
    std::vector<std::function<void()>> commands_;
    uint64_t posted_ = 0;
    uint64_t done_ = 0;

    // The proxy's thread only (and commands, which run there).
    std::vector<std::unique_ptr<Pair>> pairs_;
    bool stalled_ = false;
    std::chrono::milliseconds delay_{0};
    ChunkHook down_hook_, up_hook_;
    std::atomic<int> accepted_{0};
    std::atomic<int> open_{0};
    std::atomic<uint64_t> from_clients_{0};
};

} // namespace quorvane::test
