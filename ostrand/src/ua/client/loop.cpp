// The OPC UA I/O thread: see ua/client/loop.h.
#include "ua/client/loop.h"

#include "ua/client/reconnect.h"
#include "ua/encoding/text.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace ostrand::ua {

namespace {

constexpr uint64_t kWakeTag = 0;     // epoll data of the eventfd; connections count from 1
constexpr size_t kReadSize = 65536;  // bytes per recv
constexpr int kReadsPerWake = 16;    // then the other connections get their turn
constexpr int kMaxWaitMs = 60000;

} // namespace

// ---- UaCompletion --------------------------------------------------------------

bool UaCompletion::wait_for(Millis limit) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [this] { return done_; });
}

bool UaCompletion::done() const {
    std::lock_guard lock(mu_);
    return done_;
}

StatusCode UaCompletion::status() const {
    std::lock_guard lock(mu_);
    return status_;
}

Response UaCompletion::response() const {
    std::lock_guard lock(mu_);
    return response_;
}

void UaCompletion::complete(StatusCode status, Response response) {
    {
        std::lock_guard lock(mu_);
        if (done_) return;
        done_ = true;
        status_ = status;
        response_ = std::move(response);
    }
    cv_.notify_all();
}

// ---- Connections ------------------------------------------------------------------

struct UaLoop::Connection {
    enum class Phase : uint8_t { Resolving, Connecting, Session, Backoff, Done };

    Connection(ConnectionId i, std::string u, EndpointUrl e, const UaSettings& s, const Clock& clock)
        : id(i), url(std::move(u)), endpoint(std::move(e)), engine(s, clock), backoff(engine.settings()) {}

    bool session_up() const { return phase == Phase::Session && engine.state() == UaClient::State::Connected; }

    ConnectionId id;
    std::string url;
    EndpointUrl endpoint;
    UaClient engine;
    TcpTransport tcp;
    Phase phase = Phase::Resolving;
    std::vector<SocketAddress> addresses;
    size_t next_address = 0;
    StatusCode last_error = status::BadCommunicationError;
    SteadyTime tcp_deadline{SteadyTime::max()};
    SteadyTime total_deadline{SteadyTime::max()};
    int registered_fd = -1;
    uint32_t interest = 0;
    bool engine_closed = false; // Closed came; the socket closes once the CLO is out
    std::shared_ptr<UaCompletion> opened;
    std::shared_ptr<UaCompletion> closed;
    // Kept connections (with a listener): after the first session, a loss
    // leads to a back-off and a reconnect, until close().
    std::shared_ptr<SessionListener> listener;
    bool ever_up = false;       // the first session came
    bool closing = false;       // close() or stop(): no reconnect, no listener ticks
    bool loss_reported = false; // on_lost called for this outage
    ReconnectSchedule backoff;  // the waits between attempts
    SteadyTime retry_at{SteadyTime::max()};
    std::map<uint32_t, std::shared_ptr<UaCompletion>> waiting;
};

UaLoop::UaLoop(const Clock& clock) : clock_(clock) {}

UaLoop::~UaLoop() { stop(); }

bool UaLoop::start() {
    if (running_) return true;
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (epoll_ < 0 || wake_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0) {
        stop();
        return false;
    }
    {
        std::lock_guard lock(mu_);
        stopping_ = false;
    }
    shutting_down_ = false; // a loop may start again after stop()
    running_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void UaLoop::stop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    if (wake_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    running_ = false;
    if (epoll_ >= 0) ::close(epoll_);
    if (wake_ >= 0) ::close(wake_);
    epoll_ = wake_ = -1;
}

bool UaLoop::post(std::function<void()> command) {
    {
        std::lock_guard lock(mu_);
        if (stopping_ || !running_) return false;
        commands_.push_back(std::move(command));
    }
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    return true;
}

std::shared_ptr<UaCompletion> UaLoop::open(const std::string& url, const UaSettings& settings, ConnectionId* id,
                                           std::shared_ptr<SessionListener> listener) {
    auto done = std::make_shared<UaCompletion>();
    *id = 0;
    std::optional<EndpointUrl> endpoint = parse_endpoint_url(url);
    if (!endpoint) {
        done->complete(status::BadTcpEndpointUrlInvalid);
        return done;
    }
    const ConnectionId cid = next_id_++;
    {
        std::lock_guard lock(live_mu_);
        live_[cid] = false;
    }
    const bool posted = post([this, cid, url, settings, e = std::move(*endpoint), done, listener]() mutable {
        if (shutting_down_) {
            std::lock_guard lock(live_mu_);
            live_.erase(cid);
            return done->complete(status::BadShutdown);
        }
        const SteadyTime now = clock_.now();
        auto c = std::make_unique<Connection>(cid, url, std::move(e), settings, clock_);
        c->opened = done;
        c->listener = std::move(listener);
        c->total_deadline = now + settings.connect_total;
        Connection& conn = *c;
        connections_.push_back(std::move(c));
        start_resolve(conn, now);
    });
    if (!posted) {
        std::lock_guard lock(live_mu_);
        live_.erase(cid);
        done->complete(status::BadShutdown);
    } else {
        *id = cid;
    }
    return done;
}

void UaLoop::start_resolve(Connection& c, SteadyTime now) {
    c.phase = Connection::Phase::Resolving;
    c.addresses.clear();
    c.next_address = 0;
    if (is_numeric_host(c.endpoint.host)) {
        c.last_error = resolve(c.endpoint.host, c.endpoint.port, true, &c.addresses);
        return start_connect(c, now);
    }
    // A resolver of an earlier attempt still running: its answer serves this one.
    for (const auto& r : resolvers_)
        if (r.first == c.id) return;
    // getaddrinfo cannot be bounded or cancelled, so it never runs here.
    resolvers_.emplace_back(c.id, std::thread([this, cid = c.id, host = c.endpoint.host, port = c.endpoint.port] {
        std::vector<SocketAddress> addresses;
        const StatusCode st = resolve(host, port, false, &addresses);
        // Refused once the loop stops: the shutdown joins this thread anyway.
        (void)post([this, cid, st, a = std::move(addresses)]() mutable { on_resolved(cid, st, std::move(a)); });
    }));
}

std::shared_ptr<UaCompletion> UaLoop::request(ConnectionId id, Request request, std::optional<Millis> timeout) {
    return this->request(id, std::move(request), nullptr, timeout);
}

std::shared_ptr<UaCompletion> UaLoop::request(ConnectionId id, Request request, Prepare prepare,
                                              std::optional<Millis> timeout) {
    auto done = std::make_shared<UaCompletion>();
    const bool posted = post([this, id, r = std::move(request), prepare = std::move(prepare), timeout, done]() mutable {
        const SteadyTime now = clock_.now();
        for (auto& c : connections_) {
            if (c->id != id || c->phase != Connection::Phase::Session) continue;
            if (prepare)
                if (const StatusCode st = prepare(r); is_bad(st)) return done->complete(st);
            const uint32_t rid = c->engine.request(std::move(r), now, timeout);
            if (rid == 0) return done->complete(c->engine.last_refusal());
            c->waiting[rid] = done;
            return pump(*c, now);
        }
        done->complete(status::BadNotConnected);
    });
    if (!posted) done->complete(status::BadShutdown);
    return done;
}

bool UaLoop::post_to(ConnectionId id, std::function<void(RequestPort*, SteadyTime)> command) {
    {
        std::lock_guard lock(live_mu_);
        if (!live_.contains(id)) return false;
    }
    return post([this, id, command = std::move(command)] {
        const SteadyTime now = clock_.now();
        for (auto& c : connections_) {
            if (c->id != id || c->phase == Connection::Phase::Done) continue;
            command(c->session_up() && !c->closing ? &c->engine : nullptr, now);
            return pump(*c, now);
        }
        command(nullptr, now); // it ended since: the command still learns so
    });
}

bool UaLoop::session_up(ConnectionId id) const {
    std::lock_guard lock(live_mu_);
    const auto it = live_.find(id);
    return it != live_.end() && it->second;
}

void UaLoop::set_up(Connection& c, bool up) {
    std::lock_guard lock(live_mu_);
    if (const auto it = live_.find(c.id); it != live_.end()) it->second = up;
}

std::shared_ptr<UaCompletion> UaLoop::close(ConnectionId id) {
    auto done = std::make_shared<UaCompletion>();
    const bool posted = post([this, id, done] {
        const SteadyTime now = clock_.now();
        for (auto& c : connections_) {
            if (c->id != id || c->phase == Connection::Phase::Done) continue;
            c->closed = done;
            c->closing = true;
            set_up(*c, false);
            if (c->phase != Connection::Phase::Session) return finish(*c, status::BadConnectionClosed);
            c->engine.close(now);
            return pump(*c, now);
        }
        done->complete(status::Good); // already gone
    });
    if (!posted) done->complete(status::BadShutdown);
    return done;
}

// ---- The I/O thread ---------------------------------------------------------------

void UaLoop::run() {
    epoll_event events[64];
    SteadyTime shutdown_deadline = SteadyTime::max();
    for (;;) {
        const int n = ::epoll_wait(epoll_, events, 64, epoll_timeout(clock_.now()));
        SteadyTime now = clock_.now();
        // Posted commands first: one posted before a socket event of the same
        // round (a write's remembered value, then the server's EOF) must run
        // before that event is handled, whatever order epoll reported them in.
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 != kWakeTag) continue;
            uint64_t count;
            (void)!::read(wake_, &count, sizeof count);
            run_commands();
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeTag) continue;
            for (auto& c : connections_)
                if (c->id == events[i].data.u64) handle_io(*c, events[i].events, now);
        }
        now = clock_.now();
        bool stopping;
        {
            std::lock_guard lock(mu_);
            stopping = stopping_;
        }
        if (stopping && !shutting_down_) {
            // Last orders: commands queued before stop() run, open sessions
            // get their close_timeout for CloseSession and CLO.
            run_commands();
            shutting_down_ = true;
            for (auto& c : connections_) {
                c->closing = true;
                set_up(*c, false);
                if (c->phase == Connection::Phase::Session && c->engine.state() == UaClient::State::Connected) {
                    shutdown_deadline = std::min(shutdown_deadline, now + c->engine.settings().close_timeout);
                    c->engine.close(now);
                    pump(*c, now);
                } else if (c->phase != Connection::Phase::Session || c->engine.state() != UaClient::State::Closing) {
                    finish(*c, status::BadShutdown);
                }
            }
        }
        for (auto& c : connections_) handle_timers(*c, now);
        std::erase_if(connections_, [](const auto& c) { return c->phase == Connection::Phase::Done; });
        if (shutting_down_ && (connections_.empty() || now >= shutdown_deadline)) break;
    }
    shut_down();
}

void UaLoop::shut_down() {
    for (auto& c : connections_) finish(*c, status::BadShutdown);
    connections_.clear();
    for (auto& [id, t] : resolvers_) t.join();
    resolvers_.clear();
    run_commands(); // what a resolver posted before the queue closed
}

void UaLoop::run_commands() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard lock(mu_);
        batch.swap(commands_);
    }
    for (auto& command : batch) command();
}

void UaLoop::on_resolved(ConnectionId id, StatusCode st, std::vector<SocketAddress> addresses) {
    for (auto it = resolvers_.begin(); it != resolvers_.end(); ++it) {
        if (it->first != id) continue;
        it->second.join(); // it posted this as its last act
        resolvers_.erase(it);
        break;
    }
    for (auto& c : connections_) {
        if (c->id != id || c->phase != Connection::Phase::Resolving) continue;
        c->addresses = std::move(addresses);
        c->last_error = st;
        return start_connect(*c, clock_.now());
    }
    // Otherwise that attempt has given up meanwhile; the next one resolves afresh.
}

void UaLoop::start_connect(Connection& c, SteadyTime now) {
    while (c.next_address < c.addresses.size()) {
        const StatusCode st = c.tcp.connect(c.addresses[c.next_address++]);
        if (st == status::Good) {
            c.phase = Connection::Phase::Connecting;
            c.tcp_deadline = std::min(now + c.engine.settings().connect_timeout, c.total_deadline);
            return update_interest(c);
        }
        c.last_error = st;
    }
    fail_connection(c, c.last_error, now);
}

void UaLoop::fail_connection(Connection& c, StatusCode why, SteadyTime now) {
    if (!c.listener || !c.ever_up || c.closing || shutting_down_) return finish(c, why);
    drop_socket(c);
    set_up(c, false);
    c.engine_closed = false;
    for (auto& [rid, done] : c.waiting) done->complete(status::BadConnectionClosed);
    c.waiting.clear();
    c.phase = Connection::Phase::Backoff;
    c.retry_at = now + c.backoff.next(ReconnectSchedule::timed_out(why), jitter_);
    if (!c.loss_reported) {
        c.loss_reported = true;
        c.listener->on_lost(why, now);
    }
}

void UaLoop::drop_socket(Connection& c) {
    // Closing the descriptor would take it out of epoll too, but its number
    // may come back with the next socket: forget it explicitly.
    if (c.registered_fd >= 0 && c.registered_fd == c.tcp.fd()) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.registered_fd, nullptr);
    c.registered_fd = -1;
    c.interest = 0;
    c.tcp.close();
}

void UaLoop::handle_io(Connection& c, uint32_t events, SteadyTime now) {
    if (c.phase == Connection::Phase::Connecting) {
        const StatusCode st = c.tcp.finish_connect();
        if (st != status::Good) {
            c.last_error = st;
            drop_socket(c);
            return start_connect(c, now);
        }
        c.phase = Connection::Phase::Session;
        if (c.ever_up) c.engine.reconnect(now);
        else c.engine.connect(c.url, now);
        return pump(c, now);
    }
    if (c.phase != Connection::Phase::Session) return;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (!scratch_) scratch_ = std::make_unique_for_overwrite<uint8_t[]>(kReadSize);
        for (int i = 0; i < kReadsPerWake && c.tcp.open(); ++i) {
            size_t got = 0;
            const TcpTransport::Io io = c.tcp.read(std::span<uint8_t>(scratch_.get(), kReadSize), got);
            if (io == TcpTransport::Io::Ok) {
                // The events in these bytes are dated when their last byte came in.
                c.engine.receive(std::span<const uint8_t>(scratch_.get(), got), clock_.now());
                // Less than asked: the socket is drained for now, and epoll
                // (level-triggered) reports whatever comes next.
                if (got < kReadSize) break;
                continue;
            }
            if (io != TcpTransport::Io::WouldBlock) {
                c.engine.connection_lost(status::BadConnectionClosed, now);
                if (c.engine_closed) c.tcp.close(); // the server closing after our CLO
            }
            break;
        }
    }
    pump(c, now);
}

void UaLoop::handle_timers(Connection& c, SteadyTime now) {
    switch (c.phase) {
    case Connection::Phase::Resolving:
        // The resolver is joined when it returns.
        if (now >= c.total_deadline) fail_connection(c, status::BadTimeout, now);
        return;
    case Connection::Phase::Connecting:
        if (now < c.tcp_deadline) return;
        c.last_error = status::BadTimeout;
        drop_socket(c);
        if (now >= c.total_deadline) return fail_connection(c, status::BadTimeout, now);
        return start_connect(c, now);
    case Connection::Phase::Session:
        if (now >= c.engine.next_deadline()) {
            c.engine.tick(now);
            pump(c, now);
        }
        if (c.listener && !c.closing && c.session_up() && now >= c.listener->next_deadline()) {
            // The listener's watchdog: Bad means the link is dead though the socket is not.
            const StatusCode st = c.listener->tick(c.engine, now);
            if (is_bad(st)) c.engine.connection_lost(st, now);
            pump(c, now);
        }
        return;
    case Connection::Phase::Backoff:
        if (now < c.retry_at) return;
        c.retry_at = SteadyTime::max();
        c.total_deadline = now + c.engine.settings().connect_total;
        return start_resolve(c, now);
    case Connection::Phase::Done:
        return;
    }
}

void UaLoop::pump(Connection& c, SteadyTime now) {
    // The listener may send requests while it handles an event: their bytes
    // go out in the next round.
    while (c.phase == Connection::Phase::Session) {
        if (c.engine.has_output() && c.tcp.open()) {
            c.tcp.send(c.engine.take_output());
            if (c.tcp.flush() == TcpTransport::Io::Failed) c.engine.connection_lost(status::BadCommunicationError, now);
        } else if (c.tcp.wants_write() && c.tcp.flush() == TcpTransport::Io::Failed) {
            c.engine.connection_lost(status::BadCommunicationError, now);
        }
        bool any = false;
        while (std::optional<UaEvent> e = c.engine.next_event()) {
            any = true;
            dispatch(c, *e, now);
            if (c.phase != Connection::Phase::Session) return;
        }
        if (!any || !c.engine.has_output() || !c.tcp.open()) break;
    }
    if (c.phase != Connection::Phase::Session) return;
    // After CLO nothing more is read: close once it is written.
    if (c.engine_closed && (!c.tcp.open() || !c.tcp.wants_write())) return finish(c, status::BadConnectionClosed);
    update_interest(c);
}

void UaLoop::dispatch(Connection& c, UaEvent& e, SteadyTime now) {
    switch (e.kind) {
    case UaEvent::Kind::Connected:
        c.ever_up = true;
        c.loss_reported = false;
        c.backoff.reset();
        set_up(c, !c.closing);
        c.opened->complete(status::Good);
        if (c.listener && !c.closing) c.listener->on_session(c.engine, e.new_session, now);
        return;
    case UaEvent::Kind::Response:
    case UaEvent::Kind::ServiceFault:
    case UaEvent::Kind::TimedOut:
    case UaEvent::Kind::RequestFailed:
        if (const auto it = c.waiting.find(e.request_id); it != c.waiting.end()) {
            it->second->complete(e.status, std::move(e.response));
            c.waiting.erase(it);
        } else if (c.listener) {
            c.listener->on_event(c.engine, e, now);
        }
        return;
    case UaEvent::Kind::ChannelError:
        return fail_connection(c, e.status, now);
    case UaEvent::Kind::Closed:
        c.engine_closed = true;
        set_up(c, false);
        return;
    }
}

void UaLoop::finish(Connection& c, StatusCode why) {
    if (c.phase == Connection::Phase::Done) return;
    drop_socket(c);
    c.phase = Connection::Phase::Done;
    {
        std::lock_guard lock(live_mu_);
        live_.erase(c.id);
    }
    c.opened->complete(why == status::Good ? status::BadConnectionClosed : why);
    if (c.closed) c.closed->complete(status::Good);
    for (auto& [rid, done] : c.waiting) done->complete(status::BadConnectionClosed);
    c.waiting.clear();
}

void UaLoop::update_interest(Connection& c) {
    if (!c.tcp.open()) return;
    const uint32_t want = c.phase == Connection::Phase::Connecting
                              ? EPOLLOUT
                              : EPOLLIN | (c.tcp.wants_write() ? EPOLLOUT : 0u);
    if (c.registered_fd == c.tcp.fd() && c.interest == want) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.id;
    // A new socket (the next address) is added; the old one left epoll when it closed.
    const int op = c.registered_fd == c.tcp.fd() ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epoll_, op, c.tcp.fd(), &ev) != 0) return finish(c, status::BadTcpInternalError);
    c.registered_fd = c.tcp.fd();
    c.interest = want;
}

int UaLoop::epoll_timeout(SteadyTime now) const {
    SteadyTime t = SteadyTime::max();
    for (const auto& c : connections_) {
        switch (c->phase) {
        case Connection::Phase::Resolving:
            t = std::min(t, c->total_deadline);
            break;
        case Connection::Phase::Connecting:
            t = std::min(t, c->tcp_deadline);
            break;
        case Connection::Phase::Session:
            t = std::min(t, c->engine.next_deadline());
            if (c->listener && !c->closing && c->session_up()) t = std::min(t, c->listener->next_deadline());
            break;
        case Connection::Phase::Backoff:
            t = std::min(t, c->retry_at);
            break;
        case Connection::Phase::Done:
            break;
        }
    }
    if (shutting_down_) t = std::min(t, now + Millis(10)); // recheck the shutdown bound
    if (t == SteadyTime::max()) return -1;
    if (t <= now) return 0;
    // Round up: waking a little early would only spin until the deadline.
    const auto ms = std::chrono::ceil<Millis>(t - now).count();
    return static_cast<int>(std::min<int64_t>(ms, kMaxWaitMs));
}

} // namespace ostrand::ua
