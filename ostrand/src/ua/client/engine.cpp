// The OPC UA client engine: see ua/client/engine.h.
#include "ua/client/engine.h"

#include "ua/encoding/codec.h"
#include "ua/secure_channel/secrets.h"
#include "ua/secure_channel/security.h"

#include <unistd.h>

#include <algorithm>

namespace ostrand::ua {

namespace {

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

// A nonce of `length` bytes; nothing when the generator fails.
std::optional<std::string> random_bytes(const Random& random, size_t length) {
    std::string bytes(length, '\0');
    if (length > 0 && !random(std::span(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()))) return std::nullopt;
    return bytes;
}

} // namespace

ApplicationDescription UaSettings::default_description() {
    ApplicationDescription d;
    d.application_uri = "urn:" + host_name() + ":ostrand";
    d.product_uri = "urn:ostrand";
    d.application_name.text = "Ostrand";
    d.application_type = ApplicationType::Client;
    return d;
}

std::string UaSettings::default_session_name() {
    return "Ostrand " + host_name() + " " + std::to_string(::getpid());
}

Random system_random() {
    return [](std::span<uint8_t> out) { return crypto::random_bytes(out); };
}

UaClient::UaClient(UaSettings settings, const Clock& wall, Random random)
    : settings_(std::move(settings)), wall_(wall), random_(std::move(random)),
      channel_(settings_.security ? settings_.security->make_policy() : std::make_unique<NonePolicy>(),
               settings_.limits) {}

void UaClient::connect(std::string endpoint_url, SteadyTime now, bool with_session) {
    fail_pending(status::BadConnectionClosed);
    output_.clear();
    endpoint_url_ = std::move(endpoint_url);
    with_session_ = with_session;
    session_id_ = auth_token_ = NodeId{};
    revised_session_timeout_ = 0;
    anonymous_policy_.reset();
    created_.reset();
    start_handshake(now);
}

void UaClient::reconnect(SteadyTime now) {
    if (!with_session_ || auth_token_.is_null()) return connect(endpoint_url_, now, with_session_);
    fail_pending(status::BadConnectionClosed);
    output_.clear();
    start_handshake(now);
    reactivating_ = true;
}

void UaClient::start_handshake(SteadyTime now) {
    reactivating_ = false;
    open_request_ = session_request_ = 0;
    open_deadline_ = SteadyTime::max();
    const std::vector<uint8_t> hello = channel_.hello(endpoint_url_);
    if (hello.empty()) return fail(status::BadTcpEndpointUrlInvalid, "endpoint URL too long");
    output_ = hello;
    state_ = State::Hello;
    step_deadline_ = now + settings_.hello_timeout;
    connect_deadline_ = now + settings_.connect_total;
}

uint32_t UaClient::request(Request r, SteadyTime now, std::optional<Millis> timeout) {
    if (state_ != State::Connected) {
        refusal_ = status::BadNotConnected;
        return 0;
    }
    return send(std::move(r), now, timeout.value_or(settings_.request_timeout), false);
}

uint32_t UaClient::send(Request r, SteadyTime now, Millis hint, bool internal, bool best_effort) {
    const uint32_t id = channel_.next_request_id();
    RequestHeader& h = request_header(r);
    h.authentication_token = auth_token_;
    h.timestamp = wall_.filetime();
    h.request_handle = id;
    h.timeout_hint = static_cast<uint32_t>(std::clamp<int64_t>(hint.count(), 0, UINT32_MAX));
    Writer w;
    encode_request(w, r);
    const StatusCode st = channel_.send_message(w.bytes(), id, output_);
    if (auto* as = std::get_if<ActivateSessionRequest>(&r)) {
        // The identity token may hold a password (in clear inside an encrypted channel).
        wipe(as->user_identity_token.body);
        std::vector<uint8_t> encoded = w.take();
        wipe(encoded);
    }
    if (st != status::Good) {
        refusal_ = st;
        return 0;
    }
    pending_[id] = {now + hint + settings_.request_grace, internal || best_effort, best_effort};
    return id;
}

void UaClient::send_open(SteadyTime now) {
    OpenSecureChannelRequest open;
    const uint32_t id = channel_.next_request_id();
    open.header.timestamp = wall_.filetime();
    open.header.request_handle = id;
    open.header.timeout_hint = static_cast<uint32_t>(settings_.request_timeout.count());
    auto nonce = random_bytes(random_, channel_.policy().nonce_length());
    if (!nonce) return fail(status::BadInternalError, "no random bytes for the channel nonce");
    open.client_nonce = std::move(*nonce);
    open.requested_lifetime = settings_.requested_token_lifetime;
    if (const StatusCode st = channel_.send_open(std::move(open), id, output_); st != status::Good)
        return fail(st, "OpenSecureChannel could not be sent");
    open_request_ = id;
    open_deadline_ = now + settings_.open_timeout;
}

void UaClient::send_create_session(SteadyTime now) {
    CreateSessionRequest cs;
    cs.client_description = settings_.client_description;
    cs.endpoint_url = endpoint_url_;
    cs.session_name = settings_.session_name;
    if (settings_.session_nonce_length > 0) {
        auto nonce = random_bytes(random_, settings_.session_nonce_length);
        if (!nonce) return fail(status::BadInternalError, "no random bytes for the session nonce");
        cs.client_nonce = std::move(*nonce);
    }
    cs.requested_session_timeout = settings_.requested_session_timeout;
    cs.max_response_message_size = settings_.max_response_message_size;
    session_nonce_ = cs.client_nonce;
    if (settings_.security) {
        const crypto::Bytes certificate = settings_.security->client_certificate();
        if (!certificate.empty()) cs.client_certificate = std::string(certificate.begin(), certificate.end());
    }
    state_ = State::CreatingSession;
    session_request_ = send(std::move(cs), now, settings_.request_timeout, true);
    if (session_request_ == 0) fail(refusal_, "CreateSession could not be sent");
}

void UaClient::close(SteadyTime now) {
    switch (state_) {
    case State::Connected:
        if (with_session_) {
            CloseSessionRequest cs;
            cs.delete_subscriptions = true;
            state_ = State::Closing;
            step_deadline_ = now + settings_.close_timeout;
            session_request_ = send(std::move(cs), now, settings_.request_timeout, true);
            if (session_request_ != 0) return;
        }
        return finish_close();
    case State::Closing:
        return;
    case State::Hello:
    case State::Opening:
    case State::CreatingSession:
    case State::Activating:
        return finish_close();
    case State::Idle:
    case State::Closed:
    case State::Failed:
        state_ = State::Closed;
        emit(UaEvent::Kind::Closed);
        return;
    }
}

void UaClient::finish_close() {
    if (channel_.state() == SecureChannel::State::Open) {
        CloseSecureChannelRequest clo;
        const uint32_t id = channel_.next_request_id();
        clo.header.authentication_token = auth_token_;
        clo.header.timestamp = wall_.filetime();
        clo.header.request_handle = id;
        clo.header.timeout_hint = static_cast<uint32_t>(settings_.request_timeout.count());
        Writer w;
        encode_message(w, clo);
        (void)channel_.send_close(w.bytes(), id, output_); // best effort: the socket closes next
    }
    state_ = State::Closed;
    step_deadline_ = connect_deadline_ = open_deadline_ = SteadyTime::max();
    open_request_ = session_request_ = 0;
    fail_pending(status::BadConnectionClosed);
    emit(UaEvent::Kind::Closed);
}

void UaClient::receive(std::span<const uint8_t> bytes, SteadyTime now) {
    channel_.receive(bytes);
    for (;;) {
        if (state_ == State::Failed || state_ == State::Closed || state_ == State::Idle) return;
        const ChannelEvent e = channel_.next(now);
        switch (e.kind) {
        case ChannelEvent::Kind::None:
            return;
        case ChannelEvent::Kind::Acknowledged:
            state_ = State::Opening;
            step_deadline_ = SteadyTime::max();
            send_open(now);
            break;
        case ChannelEvent::Kind::Opened:
            open_request_ = 0;
            open_deadline_ = SteadyTime::max();
            if (state_ != State::Opening) {
                ++renewals_;
            } else if (reactivating_) {
                send_reactivate(now);
            } else if (with_session_) {
                send_create_session(now);
            } else {
                state_ = State::Connected;
                connect_deadline_ = SteadyTime::max();
                emit(UaEvent::Kind::Connected);
            }
            break;
        case ChannelEvent::Kind::Response:
            on_message(e, now);
            break;
        case ChannelEvent::Kind::Aborted: {
            const auto it = pending_.find(e.request_id);
            if (it == pending_.end()) {
                ++late_;
                break;
            }
            const Pending p = it->second;
            pending_.erase(it);
            const StatusCode st = is_bad(e.status) ? e.status : status::BadUnexpectedError;
            if (!p.internal) emit(UaEvent::Kind::ServiceFault, e.request_id, st, e.reason);
            else if (p.best_effort || e.request_id != session_request_) break;
            else if (state_ == State::Closing) finish_close();
            else if (reactivating_) abandon_session(now);
            else fail(st, "the server aborted a session request: " + e.reason);
            break;
        }
        case ChannelEvent::Kind::Failed:
            return fail(e.status, e.reason);
        }
    }
}

void UaClient::on_message(const ChannelEvent& e, SteadyTime now) {
    Reader r(e.body);
    Response response;
    if (!decode_response(r, response)) return fail(r.error(), "undecodable response");
    const auto it = pending_.find(e.request_id);
    if (it == pending_.end()) {
        ++late_; // its deadline passed, or the server named a request we never sent
        return;
    }
    const bool internal = it->second.internal;
    pending_.erase(it);
    if (internal) return on_internal(e.request_id, response, now);
    if (std::holds_alternative<ServiceFault>(response)) {
        const StatusCode st = response_header(response).service_result;
        emit(UaEvent::Kind::ServiceFault, e.request_id, is_bad(st) ? st : status::BadUnexpectedError);
        return;
    }
    UaEvent ev;
    ev.kind = UaEvent::Kind::Response;
    ev.request_id = e.request_id;
    ev.status = response_header(response).service_result;
    ev.response = std::move(response);
    emit(std::move(ev));
}

void UaClient::on_internal(uint32_t id, const Response& response, SteadyTime now) {
    if (id != session_request_) return;
    session_request_ = 0;
    if (state_ == State::Closing) return finish_close(); // whatever CloseSession answered
    const StatusCode result = response_header(response).service_result;
    if (reactivating_ && (is_bad(result) || !std::holds_alternative<ActivateSessionResponse>(response)))
        return abandon_session(now);
    if (is_bad(result)) return fail(result, state_ == State::CreatingSession ? "CreateSession refused"
                                                                              : "ActivateSession refused");
    if (state_ == State::CreatingSession) {
        const auto* cs = std::get_if<CreateSessionResponse>(&response);
        if (cs == nullptr) return fail(status::BadUnknownResponse, "not a CreateSession response");
        if (settings_.security) {
            ActivateSessionRequest as;
            as.locale_ids = settings_.locale_ids;
            std::string why;
            if (const StatusCode st = settings_.security->activate(*cs, crypto::view(session_nonce_.value_or("")), as, &why))
                return fail(st, why);
            session_id_ = cs->session_id;
            auth_token_ = cs->authentication_token;
            revised_session_timeout_ = cs->revised_session_timeout;
            created_ = *cs;
            return send_activate(std::move(as), now);
        }
        // The anonymous token policy of the endpoint with SecurityPolicy None:
        // its policyId is the server's choice and must be sent back as is.
        bool none_endpoint = false;
        std::optional<String> policy;
        for (const EndpointDescription& ep : cs->server_endpoints) {
            if (ep.security_mode != MessageSecurityMode::None || ep.security_policy_uri != kSecurityPolicyNone)
                continue;
            none_endpoint = true;
            for (const UserTokenPolicy& t : ep.user_identity_tokens)
                if (t.token_type == UserTokenType::Anonymous && !policy) policy = t.policy_id;
        }
        if (!none_endpoint) return fail(kBadSecurityPolicyRejected, "the server offers no endpoint without security");
        if (!policy) return fail(status::BadIdentityTokenRejected, "the server refuses anonymous sessions");
        session_id_ = cs->session_id;
        auth_token_ = cs->authentication_token;
        revised_session_timeout_ = cs->revised_session_timeout;
        anonymous_policy_ = *policy;

        ActivateSessionRequest as;
        as.locale_ids = settings_.locale_ids;
        as.user_identity_token = to_extension(AnonymousIdentityToken{*policy});
        return send_activate(std::move(as), now);
    }
    if (state_ == State::Activating) {
        const auto* activated = std::get_if<ActivateSessionResponse>(&response);
        if (activated == nullptr) return fail(status::BadUnknownResponse, "not an ActivateSession response");
        // The next reactivation signs this nonce (and encrypts a password with it).
        if (created_) created_->server_nonce = activated->server_nonce;
        UaEvent connected;
        connected.new_session = !reactivating_;
        reactivating_ = false;
        state_ = State::Connected;
        connect_deadline_ = SteadyTime::max();
        emit(std::move(connected));
    }
}

void UaClient::send_activate(ActivateSessionRequest as, SteadyTime now) {
    state_ = State::Activating;
    session_request_ = send(std::move(as), now, settings_.request_timeout, true);
    if (session_request_ == 0) fail(refusal_, "ActivateSession could not be sent");
}

void UaClient::send_reactivate(SteadyTime now) {
    ActivateSessionRequest as;
    as.locale_ids = settings_.locale_ids;
    if (settings_.security && created_) {
        // The CreateSession answer, with the nonce of the last activation:
        // activate() signs the server's certificate and that nonce.
        std::string why;
        if (const StatusCode st = settings_.security->activate(*created_, crypto::view(session_nonce_.value_or("")), as, &why))
            return fail(st, why);
    } else {
        as.user_identity_token = to_extension(AnonymousIdentityToken{anonymous_policy_});
    }
    send_activate(std::move(as), now);
}

// The server would not reactivate the session (it timed out, or the server
// restarted): close it in case it still exists, so it does not linger until
// its timeout, and create a new one. The close is not waited for.
void UaClient::abandon_session(SteadyTime now) {
    reactivating_ = false;
    CloseSessionRequest cs;
    cs.delete_subscriptions = true;
    (void)send(std::move(cs), now, settings_.request_timeout, true, true);
    session_id_ = auth_token_ = NodeId{};
    anonymous_policy_.reset();
    created_.reset();
    send_create_session(now);
}

void UaClient::tick(SteadyTime now) {
    switch (state_) {
    case State::Hello:
    case State::Opening:
    case State::CreatingSession:
    case State::Activating:
        if (now >= connect_deadline_) return fail(status::BadTimeout, "connect took too long");
        if (now >= step_deadline_) return fail(status::BadTimeout, "no Acknowledge from the server");
        break;
    case State::Connected:
    case State::Closing:
        if (open_request_ == 0 && channel_.state() == SecureChannel::State::Open && now >= channel_.renew_at())
            send_open(now);
        break;
    default:
        return;
    }
    if (open_request_ != 0 && now >= open_deadline_) return fail(status::BadTimeout, "OpenSecureChannel unanswered");
    if (state_ == State::Closing && now >= step_deadline_) return finish_close();
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now < it->second.deadline) {
            ++it;
            continue;
        }
        const uint32_t id = it->first;
        const Pending p = it->second;
        it = pending_.erase(it);
        if (p.best_effort) {
            continue;
        } else if (!p.internal) {
            emit(UaEvent::Kind::TimedOut, id, status::BadTimeout);
        } else if (state_ == State::Closing) {
            return finish_close();
        } else {
            return fail(status::BadTimeout, "session request unanswered");
        }
    }
}

void UaClient::connection_lost(StatusCode why, SteadyTime) {
    if (state_ == State::Idle || state_ == State::Closed || state_ == State::Failed) return;
    fail(is_bad(why) ? why : status::BadConnectionClosed, "connection lost");
}

void UaClient::fail(StatusCode why, std::string reason) {
    state_ = State::Failed;
    step_deadline_ = connect_deadline_ = open_deadline_ = SteadyTime::max();
    open_request_ = session_request_ = 0;
    fail_pending(status::BadConnectionClosed);
    emit(UaEvent::Kind::ChannelError, 0, is_bad(why) ? why : status::BadUnexpectedError, std::move(reason));
}

void UaClient::fail_pending(StatusCode why) {
    for (const auto& [id, p] : pending_)
        if (!p.internal) emit(UaEvent::Kind::RequestFailed, id, why);
    pending_.clear();
}

std::vector<uint8_t> UaClient::take_output() {
    std::vector<uint8_t> out;
    out.swap(output_);
    return out;
}

std::optional<UaEvent> UaClient::next_event() {
    if (events_.empty()) return std::nullopt;
    UaEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

SteadyTime UaClient::next_deadline() const {
    SteadyTime t = SteadyTime::max();
    switch (state_) {
    case State::Hello:
    case State::Opening:
    case State::CreatingSession:
    case State::Activating:
        t = std::min({t, step_deadline_, connect_deadline_});
        break;
    case State::Closing:
        t = std::min(t, step_deadline_);
        [[fallthrough]];
    case State::Connected:
        if (open_request_ == 0 && channel_.state() == SecureChannel::State::Open) t = std::min(t, channel_.renew_at());
        break;
    default:
        return t;
    }
    if (open_request_ != 0) t = std::min(t, open_deadline_);
    for (const auto& [id, p] : pending_) t = std::min(t, p.deadline);
    return t;
}

} // namespace ostrand::ua
