// The OPC UA I/O thread: one epoll loop that runs every UA connection's
// socket and engine (ua/client/engine.h), fed by a command queue, with completions
// that callers on other threads wait on with a time limit.
//
// Contract:
// - start() creates the thread; stop() (and the destructor) closes every
//   connection, giving open sessions up to their `close_timeout` to send
//   CloseSession and CLO, completes whatever still waits with BadShutdown,
//   joins the resolver threads and then the I/O thread. Nothing is detached.
// - open(url) resolves the host, connects TCP within `connect_timeout` (per
//   address), runs the handshake, and completes Good once the session is
//   active, or with the failure; the whole is bounded by `connect_total`.
//   Host names are resolved on a one-shot resolver thread that posts its
//   result back and is joined by the loop; address literals resolve in place.
// - request() completes with the response (status = its service result), a
//   ServiceFault's status, BadTimeout at the engine's deadline, or
//   BadConnectionClosed / BadNotConnected. Every completion completes exactly
//   once, so a caller that waits longer than the engine's deadline never hangs.
// - A connection opened with a listener survives outages once its first
//   session is up: a loss (channel error, socket loss, the listener's tick
//   saying Bad) calls on_lost once, closes the socket, waits the back-off,
//   resolves and connects again and lets the engine reactivate (or recreate)
//   the session. Meanwhile request() fails at once with BadNotConnected.
//   close() and stop() end the reconnecting at any step.
// - The epoll timeout is the earliest deadline of all engines, listeners,
//   connects and back-off waits.
// - Callers may use the loop from any thread; no callback runs on theirs.
#pragma once

#include "clock.h"
#include "ua/client/engine.h"
#include "ua/client/transport.h"
#include "ua/encoding/messages.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace ostrand::ua {

// The outcome of one command, filled in once by the I/O thread.
class UaCompletion {
public:
    // True once done; waits at most `limit`.
    bool wait_for(Millis limit);
    bool done() const;
    // Meaningful once done.
    StatusCode status() const;
    Response response() const;
    // First call wins.
    void complete(StatusCode status, Response response = {});

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    StatusCode status_ = status::Good;
    Response response_;
};

class UaLoop {
public:
    using ConnectionId = uint32_t;

    explicit UaLoop(const Clock& clock);
    ~UaLoop();
    UaLoop(const UaLoop&) = delete;
    UaLoop& operator=(const UaLoop&) = delete;

    // False when epoll, the eventfd or the thread cannot be had.
    bool start();
    void stop();

    // A new connection to `url`; its id at once (0 when the loop is not
    // running or the URL is malformed; the completion then says why).
    // With a `listener`, the connection is kept: once its first session is
    // up, a loss calls listener->on_lost, and the loop reconnects with
    // back-off and jitter (UaSettings::reconnect_*) until close(); the
    // listener follows the session (SessionListener). The completion still
    // reports the first connect only.
    std::shared_ptr<UaCompletion> open(const std::string& url, const UaSettings& settings, ConnectionId* id,
                                       std::shared_ptr<SessionListener> listener = nullptr);
    // Runs `command` on the I/O thread for connection `id`: `port` is its
    // engine while the session is up, null while it is down or reconnecting.
    // False when the connection is gone or the loop stopped (nothing runs).
    bool post_to(ConnectionId id, std::function<void(RequestPort* port, SteadyTime now)> command);
    // Whether connection `id` has its session up (false while reconnecting).
    bool session_up(ConnectionId id) const;
    std::shared_ptr<UaCompletion> request(ConnectionId id, Request request, std::optional<Millis> timeout = {});
    // As request(), with `prepare` run on the I/O thread just before it goes
    // out: it fills in what only that thread holds, or refuses the request
    // with a bad status, which completes it.
    using Prepare = std::function<StatusCode(Request& request)>;
    std::shared_ptr<UaCompletion> request(ConnectionId id, Request request, Prepare prepare,
                                          std::optional<Millis> timeout = {});
    // CloseSession and CLO, then the socket closes; completes when done.
    std::shared_ptr<UaCompletion> close(ConnectionId id);

private:
    struct Connection;

    // False once stop() has begun: the caller completes its command itself.
    bool post(std::function<void()> command);
    void run();
    void run_commands();
    void handle_io(Connection& c, uint32_t events, SteadyTime now);
    void handle_timers(Connection& c, SteadyTime now);
    void start_resolve(Connection& c, SteadyTime now);
    void start_connect(Connection& c, SteadyTime now);
    // A failure: the end of the connection, or a back-off when it is kept.
    void fail_connection(Connection& c, StatusCode why, SteadyTime now);
    void drop_socket(Connection& c);
    void set_up(Connection& c, bool up);
    void dispatch(Connection& c, UaEvent& e, SteadyTime now);
    void on_resolved(ConnectionId id, StatusCode st, std::vector<SocketAddress> addresses);
    void pump(Connection& c, SteadyTime now);
    void finish(Connection& c, StatusCode why);
    void update_interest(Connection& c);
    int epoll_timeout(SteadyTime now) const;
    void shut_down();

    const Clock& clock_;
    int epoll_ = -1;
    int wake_ = -1;
    std::thread thread_;
    std::atomic<bool> running_{false};

    std::mutex mu_; // guards commands_ and stopping_
    std::vector<std::function<void()>> commands_;
    bool stopping_ = false;
    std::atomic<ConnectionId> next_id_{1};

    mutable std::mutex live_mu_; // guards live_
    std::map<ConnectionId, bool> live_; // every connection not yet done: whether its session is up

    // I/O thread only.
    bool shutting_down_ = false;
    std::minstd_rand jitter_{std::random_device{}()};
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<std::pair<ConnectionId, std::thread>> resolvers_;
    std::unique_ptr<uint8_t[]> scratch_; // kReadSize bytes, allocated once
};

} // namespace ostrand::ua
