// The OPC UA client engine: one connection's session over a secure channel,
// as a state machine without I/O. It takes bytes from the server, ticks
// (`now`) and commands (connect, read, write, browse, browseNext, any other
// request, close), and gives back bytes to send, events and the time by which
// it wants its next tick.
//
// Contract:
// - No sockets, no threads, no clock of its own: every entry point takes the
//   steady `now`; the UTC time written into request headers comes from the
//   `Clock` given at construction, and nonces from the `Random` given there,
//   so tests reproduce bytes exactly. One thread at a time.
// - connect() assumes a TCP connection is up; it sends Hello, then
//   OpenSecureChannel (Issue), CreateSession and ActivateSession with the
//   anonymous token of the server's None endpoint, and reports Connected. The
//   whole handshake is bounded by `connect_total`, each step by its own limit.
// - reconnect() runs the handshake again on a new TCP connection and
//   reactivates the session it had (Connected with new_session false), or,
//   when the server refuses that, closes it best effort and creates another.
// - Every request gets a deadline: its TimeoutHint plus `request_grace`. At
//   the deadline (exactly) the caller gets TimedOut and the request id is
//   forgotten; a response that arrives later is dropped by its id, and the
//   channel stays up.
// - The channel token is renewed at 75 % of its revised lifetime (OPC UA
//   Part 4, OpenSecureChannel); the channel accepts the old token until it
//   expires. A renewal that goes unanswered fails the connection.
// - A broken connection (channel error, ERR, socket loss, handshake time-out)
//   completes every pending request with RequestFailed (BadConnectionClosed),
//   then one ChannelError; the engine is then Failed until the next connect()
//   or reconnect(), which keeps the session's token to reactivate it.
// - close() sends CloseSession (deleting subscriptions) and, on its answer or
//   after `close_timeout`, CloseSecureChannel; then Closed. Requests still
//   pending then get RequestFailed.
#pragma once

#include "clock.h"
#include "ua/encoding/messages.h"
#include "ua/secure_channel/channel.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ostrand::ua {

using Millis = std::chrono::milliseconds;
class SessionSecurity; // ua/secure_channel/security.h

// Time limits and the values the client announces. Tests shrink the limits.
struct UaSettings {
    Millis connect_timeout{5000};   // TCP connect (the I/O loop applies it)
    Millis hello_timeout{5000};     // HEL -> ACK
    Millis open_timeout{5000};      // OPN -> its response, Issue and Renew
    Millis connect_total{15000};    // TCP connect to Connected, in all
    Millis request_timeout{5000};   // TimeoutHint of a service request
    Millis request_grace{1000};     // the client's deadline is the hint plus this
    Millis close_timeout{1000};     // CloseSession answer before CLO goes out anyway
    Millis status_timeout{2000};    // the server-status Read
    Millis browse_walk_timeout{30000};
    Millis find_servers_connect{2000};
    Millis find_servers_request{3000};
    Millis keep_alive_minimum{5000}; // watchdog: max(2 x keep-alive interval, this)
    Millis keep_alive_interval{2000}; // asked of each subscription (max keep-alive count x interval)
    Millis state_read_interval{5000}; // the watchdog's Read of ServerState while no subscription exists
    Millis reconnect_first{500};      // back-off after a loss: first wait, doubled each time...
    Millis reconnect_max{10000};      // ...up to this
    double reconnect_jitter = 0.2;    // each wait varies by +/- this share
    Millis reconnect_fast_max{1500};  // cap after an attempt that failed fast (refused, reset), jitter included;
                                      // below 2 s so that session setup on top stays within a few seconds
    Millis batch_delay{20};           // monitored-item creations and deletions gather this long
    uint32_t requested_token_lifetime = 600000;    // ms
    double requested_session_timeout = 60000;      // ms
    uint32_t max_response_message_size = 16 << 20; // 0: no limit
    size_t session_nonce_length = 32;              // ClientNonce of CreateSession; 0: null
    TransportLimits limits;                        // what Hello announces
    ApplicationDescription client_description = default_description();
    std::string session_name = default_session_name();
    std::vector<String> locale_ids{std::string("en")};
    // Security and identity of the session (ua/secure_channel/security.h); null: SecurityPolicy
    // None and the anonymous token of the server's None endpoint.
    std::shared_ptr<const SessionSecurity> security;

    // {urn:<host>:ostrand, urn:ostrand, "Ostrand", Client}; "Ostrand <host> <pid>".
    static ApplicationDescription default_description();
    static std::string default_session_name();
};

struct UaEvent {
    enum class Kind : uint8_t {
        Connected,     // the session is active
        Response,      // request_id answered: response (may carry a Bad service result)
        ServiceFault,  // request_id answered with a ServiceFault (or an abort chunk): status
        TimedOut,      // request_id got no answer by its deadline
        RequestFailed, // request_id lost with the connection, or refused before sending: status
        ChannelError,  // the connection is unusable: status, reason. Close the socket
        Closed,        // orderly close done (CLO sent). Close the socket once the output is out
    };
    Kind kind = Kind::Connected;
    uint32_t request_id = 0;
    StatusCode status = status::Good;
    std::string reason;
    Response response;
    // Connected: true when the session was created afresh, false when a
    // reconnect reactivated the existing one.
    bool new_session = true;
};

// Fills a nonce; false when it cannot (the connection then fails). Tests
// give a fixed one.
using Random = std::function<bool(std::span<uint8_t>)>;
// The kernel's random source (getrandom).
Random system_random();

// Where a session's user sends its requests (the engine; a fake in tests).
class RequestPort {
public:
    virtual ~RequestPort() = default;
    // As UaClient::request: the request id, or 0 when it cannot be sent.
    virtual uint32_t request(Request request, SteadyTime now, std::optional<Millis> timeout = std::nullopt) = 0;
};

// What lives on top of one connection's session and must follow it across
// outages (subscriptions, the keep-alive watchdog). Every call comes on the
// I/O thread that runs the engine.
class SessionListener {
public:
    virtual ~SessionListener() = default;
    // The session is active on a channel: after the first connect
    // (new_session true), after a reconnect that reactivated the old session
    // (false), or after one that had to create a new session (true).
    virtual void on_session(RequestPort& port, bool new_session, SteadyTime now) = 0;
    // The connection is gone; every request of the listener has failed or
    // will never be answered. A reconnect follows unless the owner closes.
    virtual void on_lost(StatusCode why, SteadyTime now) = 0;
    // An event for a request the listener sent (Response, ServiceFault,
    // TimedOut or RequestFailed); false when the id is not the listener's.
    virtual bool on_event(RequestPort& port, UaEvent& event, SteadyTime now) = 0;
    // Time-driven work while the session is up. Bad: declare the connection
    // lost (the keep-alive watchdog).
    virtual StatusCode tick(RequestPort& port, SteadyTime now) = 0;
    // When tick() must run next; SteadyTime::max() when nothing waits.
    virtual SteadyTime next_deadline() const = 0;
};

class UaClient : public RequestPort {
public:
    enum class State : uint8_t { Idle, Hello, Opening, CreatingSession, Activating, Connected, Closing, Closed, Failed };

    UaClient(UaSettings settings, const Clock& wall, Random random = system_random());

    // Starts the handshake on a fresh TCP connection; forgets any previous
    // session. The HEL is in take_output(). Without a session (FindServers,
    // GetEndpoints), Connected comes once the channel is open.
    void connect(std::string endpoint_url, SteadyTime now, bool with_session = true);

    // After a loss, on a fresh TCP connection: the handshake again, then
    // ActivateSession with the existing session's token on the new channel
    // (OPC UA Part 4, 6.7). When the server refuses it (the session is gone),
    // CloseSession on the old token (best effort, so no session is left
    // behind), then CreateSession and ActivateSession. Connected tells which
    // (UaEvent::new_session). Without a previous session this is connect().
    void reconnect(SteadyTime now);

    // Queues a service request with the header filled in (authentication
    // token, timestamp, request handle, TimeoutHint `timeout` or the default).
    // Returns its request id; 0 when it cannot be sent (no event follows; the
    // reason, BadNotConnected or BadRequestTooLarge, is in last_refusal()).
    uint32_t request(Request request, SteadyTime now, std::optional<Millis> timeout = std::nullopt) override;
    uint32_t read(ReadRequest r, SteadyTime now) { return request(std::move(r), now); }
    uint32_t write(WriteRequest r, SteadyTime now) { return request(std::move(r), now); }
    uint32_t browse(BrowseRequest r, SteadyTime now) { return request(std::move(r), now); }
    uint32_t browse_next(BrowseNextRequest r, SteadyTime now) { return request(std::move(r), now); }
    StatusCode last_refusal() const { return refusal_; }

    // Orderly close: CloseSession then CLO (see the contract).
    void close(SteadyTime now);

    // Input.
    void receive(std::span<const uint8_t> bytes, SteadyTime now);
    void tick(SteadyTime now);
    void connection_lost(StatusCode why, SteadyTime now);

    // Output.
    std::vector<uint8_t> take_output();
    bool has_output() const { return !output_.empty(); }
    std::optional<UaEvent> next_event();
    // When tick() must run next; SteadyTime::max() when nothing waits.
    SteadyTime next_deadline() const;

    State state() const { return state_; }
    const NodeId& session_id() const { return session_id_; }
    double revised_session_timeout() const { return revised_session_timeout_; }
    const SecureChannel& channel() const { return channel_; }
    const UaSettings& settings() const { return settings_; }
    size_t pending() const { return pending_.size(); }
    uint64_t late_responses() const { return late_; } // answers dropped after their deadline
    uint32_t token_renewals() const { return renewals_; }

private:
    struct Pending {
        SteadyTime deadline;
        bool internal = false;    // the engine's own (session handshake, close)
        bool best_effort = false; // internal, and its answer or silence changes nothing
    };

    void on_message(const ChannelEvent& e, SteadyTime now);
    void on_internal(uint32_t id, const Response& r, SteadyTime now);
    uint32_t send(Request r, SteadyTime now, Millis hint, bool internal, bool best_effort = false);
    void start_handshake(SteadyTime now);
    void send_open(SteadyTime now);
    void send_create_session(SteadyTime now);
    void send_activate(ActivateSessionRequest as, SteadyTime now);
    void send_reactivate(SteadyTime now);
    void abandon_session(SteadyTime now);
    void finish_close();
    void fail(StatusCode why, std::string reason);
    void fail_pending(StatusCode why);
    void emit(UaEvent e) { events_.push_back(std::move(e)); }
    void emit(UaEvent::Kind kind, uint32_t id = 0, StatusCode st = status::Good, std::string reason = {}) {
        UaEvent e;
        e.kind = kind;
        e.request_id = id;
        e.status = st;
        e.reason = std::move(reason);
        emit(std::move(e));
    }

    UaSettings settings_;
    const Clock& wall_;
    Random random_;
    SecureChannel channel_;
    State state_ = State::Idle;
    std::string endpoint_url_;
    bool with_session_ = true;
    SteadyTime open_deadline_{SteadyTime::max()};    // OPN in flight
    SteadyTime step_deadline_{SteadyTime::max()};    // HEL, OPN or close step
    SteadyTime connect_deadline_{SteadyTime::max()}; // the whole handshake
    uint32_t open_request_ = 0;                      // OPN in flight
    uint32_t session_request_ = 0;                   // CreateSession/ActivateSession/CloseSession in flight
    NodeId session_id_;
    NodeId auth_token_;
    ByteString session_nonce_; // our CreateSession nonce, which the server signs
    // What a reactivation needs: the anonymous policy id (SecurityPolicy None),
    // or the CreateSession answer with the server's latest nonce in it (secured).
    String anonymous_policy_;
    std::optional<CreateSessionResponse> created_;
    bool reactivating_ = false; // the handshake of reconnect(): ActivateSession on the old token
    double revised_session_timeout_ = 0;
    std::map<uint32_t, Pending> pending_;
    std::vector<uint8_t> output_;
    std::deque<UaEvent> events_;
    StatusCode refusal_ = status::Good;
    uint64_t late_ = 0;
    uint32_t renewals_ = 0;
};

} // namespace ostrand::ua
