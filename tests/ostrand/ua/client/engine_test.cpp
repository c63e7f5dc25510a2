// The OPC UA client engine without I/O: the golden session reproduced byte
// for byte, and a scripted server under a fake clock for the handshake, the
// request deadlines, ServiceFaults, token renewal, connection loss and
// reconnection.
#include "../golden.h"
#include "../server_chunks.h"
#include "ua/client/engine.h"
#include "ua/secure_channel/security.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace std::chrono_literals;
namespace golden = quorvane::test::ua_golden;
using ostrand::ua::test::ServerChunks;
using Kind = UaEvent::Kind;

const SteadyTime kT0 = SteadyTime{} + 1000h;

class FakeClock final : public Clock {
public:
    SteadyTime now() const override { return steady; }
    FileTime filetime() const override { return wall; }
    SteadyTime steady = kT0;
    FileTime wall = golden::kClientTime;
};

bool ZeroRandom(std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    return true;
}

std::vector<UaEvent> Drain(UaClient& c) {
    std::vector<UaEvent> out;
    while (auto e = c.next_event()) out.push_back(std::move(*e));
    return out;
}

// The settings of the capturing client of the golden session.
UaSettings GoldenSettings() {
    UaSettings s;
    s.limits = {0, 65536, 65536, 0, 0};
    s.request_timeout = 10000ms;
    s.session_nonce_length = 0;
    s.max_response_message_size = 0;
    s.session_name = "raw-session";
    s.client_description.application_uri = "urn:opcua-peer:raw-client";
    s.client_description.product_uri = "urn:opcua-peer";
    s.client_description.application_name = {std::nullopt, "raw-session"};
    return s;
}

TEST(UaEngine, GoldenSessionIsReproducedByteForByte) {
    FakeClock clock;
    UaClient c(GoldenSettings(), clock, ZeroRandom);
    c.connect(golden::kEndpointUrl, kT0);
    EXPECT_EQ(c.take_output(), golden::load("01_c2s_Hello.bin"));
    const std::pair<const char*, const char*> handshake[] = {
        {"02_s2c_Acknowledge.bin", "03_c2s_OpenSecureChannelRequest.bin"},
        {"04_s2c_OpenSecureChannelResponse.bin", "05_c2s_CreateSessionRequest.bin"},
        {"06_s2c_CreateSessionResponse.bin", "07_c2s_ActivateSessionRequest.bin"}};
    for (const auto& [in, out] : handshake) {
        c.receive(golden::load(in), kT0);
        EXPECT_EQ(c.take_output(), golden::load(out)) << out;
    }
    EXPECT_TRUE(Drain(c).empty());
    c.receive(golden::load("08_s2c_ActivateSessionResponse.bin"), kT0);
    auto events = Drain(c);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Connected);
    EXPECT_EQ(c.session_id().type, IdType::Guid);

    // The services, each with the server's answer fed right after the
    // request (the two first Publish requests go out back to back).
    const auto messages = golden::client_messages();
    const std::vector<std::pair<size_t, std::vector<const char*>>> script = {
        {3, {"10_s2c_ReadResponse.bin"}},         {4, {"12_s2c_BrowseResponse.bin"}},
        {5, {"14_s2c_ReadResponse.bin"}},         {6, {"16_s2c_CreateSubscriptionResponse.bin"}},
        {7, {"18_s2c_CreateMonitoredItemsResponse.bin"}}, {8, {}},
        {9, {"21_s2c_PublishResponse.bin", "22_s2c_PublishResponse.bin"}},
        {10, {"24_s2c_PublishResponse.bin"}},     {11, {"26_s2c_WriteResponse.bin"}},
        {12, {"28_s2c_PublishResponse.bin"}}};
    for (const auto& [index, answers] : script) {
        const golden::ClientMessage& m = messages[index];
        Request r = m.request;
        const Millis hint{request_header(r).timeout_hint};
        request_header(r) = {};
        EXPECT_EQ(c.request(r, kT0, hint), m.request_id) << m.file;
        EXPECT_EQ(c.take_output(), golden::load(m.file)) << m.file;
        for (const char* answer : answers) c.receive(golden::load(answer), kT0);
        for (const UaEvent& e : Drain(c)) {
            EXPECT_EQ(e.kind, Kind::Response) << m.file;
            EXPECT_EQ(e.status, status::Good);
        }
    }
    EXPECT_EQ(c.pending(), 0u);

    c.close(kT0);
    EXPECT_EQ(c.take_output(), golden::load("29_c2s_CloseSessionRequest.bin"));
    c.receive(golden::load("30_s2c_CloseSessionResponse.bin"), kT0);
    EXPECT_EQ(c.take_output(), golden::load("31_c2s_CloseSecureChannelRequest.bin"));
    events = Drain(c);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Closed);
    EXPECT_EQ(c.state(), UaClient::State::Closed);
}

// ---- A scripted server under a fake clock ----------------------------------------

// Every message in the client's output, decoded (one chunk per message here).
std::vector<Request> Sent(UaClient& c) {
    std::vector<Request> out;
    const std::vector<uint8_t> bytes = c.take_output();
    for (size_t at = 0; at + 8 <= bytes.size();) {
        const uint32_t size = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 | uint32_t(bytes[at + 7]) << 24;
        const std::vector<uint8_t> chunk(bytes.begin() + at, bytes.begin() + at + size);
        at += size;
        if (chunk[0] == 'H') continue;
        const size_t body = golden::body_offset(chunk);
        Reader r(chunk.data() + body, chunk.size() - body);
        Request req;
        EXPECT_TRUE(decode_request(r, req));
        out.push_back(req);
    }
    return out;
}

template <class M>
std::vector<uint8_t> Encode(const M& m) {
    Writer w;
    encode_message(w, m);
    return w.take();
}

EndpointDescription NoneEndpoint(std::vector<UserTokenPolicy> tokens) {
    EndpointDescription e;
    e.security_mode = MessageSecurityMode::None;
    e.security_policy_uri = kSecurityPolicyNone;
    e.user_identity_tokens = std::move(tokens);
    return e;
}

struct Scripted {
    explicit Scripted(UaSettings s = {}) : client(std::move(s), clock, [](std::span<uint8_t> out) {
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i + 1);
        return true;
    }) {}

    void Feed(const std::vector<uint8_t>& bytes) { client.receive(bytes, clock.steady); }
    void At(SteadyTime t) {
        clock.steady = t;
        client.tick(t);
    }
    // Answers request `id` with `m` in a MSG chunk.
    template <class M>
    void Answer(uint32_t id, const M& m) { Feed(server.Msg(id, Encode(m))); }

    // HEL -> ACK, OPN (token lifetime `lifetime` ms) and the CreateSession request out.
    void ToCreateSession(uint32_t lifetime = 600000) {
        client.connect("opc.tcp://127.0.0.1:4840", clock.steady);
        Feed(ServerChunks::Ack({0, 65536, 65536, 0, 0}));
        Feed(server.Open(1, ServerChunks::OpenResponse({1, 1, 0, lifetime})));
    }
    // The whole handshake, with the policy id "anon-7"; no output or event left over.
    void Connect(uint32_t lifetime = 600000) {
        ToCreateSession(lifetime);
        Sent(client);
        CreateSessionResponse cs;
        cs.session_id = NodeId::numeric_id(1, 99);
        cs.authentication_token = NodeId::opaque_id(0, "token");
        cs.revised_session_timeout = 30000;
        cs.server_endpoints = {NoneEndpoint({{"anon-7", UserTokenType::Anonymous, {}, {}, {}}})};
        cs.server_nonce = std::string("create-nonce");
        Answer(2, cs);
        ActivateSessionResponse as;
        as.server_nonce = std::string("activate-nonce");
        Answer(3, as);
        client.take_output();
        const auto events = Drain(client);
        EXPECT_TRUE(events.size() == 1 && events[0].kind == Kind::Connected);
    }
    uint32_t ReadSomething(Millis hint = 5000ms) {
        ReadRequest r;
        r.nodes_to_read.emplace_back();
        r.nodes_to_read.back().node_id = NodeId::numeric_id(0, node::Server_ServerStatus_State);
        return client.request(r, clock.steady, hint);
    }

    FakeClock clock;
    UaClient client;
    ServerChunks server;
};

TEST(UaEngine, HandshakeCarriesTheServersAnonymousPolicyAndToken) {
    Scripted s;
    s.ToCreateSession();
    auto sent = Sent(s.client);
    ASSERT_EQ(sent.size(), 2u); // OPN and CreateSession
    const auto& open = std::get<OpenSecureChannelRequest>(sent[0]);
    EXPECT_EQ(open.request_type, SecurityTokenRequestType::Issue);
    EXPECT_EQ(open.requested_lifetime, 600000u);
    const auto& cs = std::get<CreateSessionRequest>(sent[1]);
    ASSERT_TRUE(cs.client_nonce);
    EXPECT_EQ(cs.client_nonce->size(), 32u) << "servers read Part 4 as 32 bytes at least";
    EXPECT_EQ(cs.max_response_message_size, 16u << 20);
    EXPECT_TRUE(cs.header.authentication_token.is_null());

    CreateSessionResponse created;
    created.authentication_token = NodeId::opaque_id(0, "token");
    created.server_endpoints = {NoneEndpoint({{"user", UserTokenType::UserName, {}, {}, {}},
                                             {"anon-7", UserTokenType::Anonymous, {}, {}, {}}})};
    s.Answer(2, created);
    sent = Sent(s.client);
    ASSERT_EQ(sent.size(), 1u);
    const auto& activate = std::get<ActivateSessionRequest>(sent[0]);
    EXPECT_EQ(activate.header.authentication_token, NodeId::opaque_id(0, "token"));
    EXPECT_EQ(from_extension<AnonymousIdentityToken>(activate.user_identity_token)->policy_id, "anon-7");
    EXPECT_FALSE(s.client.next_event());
    s.Answer(3, ActivateSessionResponse{});
    const auto e = s.client.next_event();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, Kind::Connected);
    EXPECT_EQ(s.client.state(), UaClient::State::Connected);
}

TEST(UaEngine, ConnectionFailuresEndInOneChannelError) {
    UserTokenPolicy user{"user", UserTokenType::UserName, {}, {}, {}};
    EndpointDescription signed_only = NoneEndpoint({{"anon", UserTokenType::Anonymous, {}, {}, {}}});
    signed_only.security_mode = MessageSecurityMode::Sign;
    CreateSessionResponse no_anonymous, no_none, fault_like;
    no_anonymous.server_endpoints = {NoneEndpoint({user})};
    no_none.server_endpoints = {signed_only};
    fault_like.header.service_result = status::BadTooManySessions;
    const struct {
        const char* name;
        std::function<void(Scripted&)> script;
        StatusCode expected;
    } cases[] = {
        {"no ACK by the hello limit", [](Scripted& s) {
             s.client.connect("opc.tcp://h:1", s.clock.steady);
             s.At(kT0 + 5000ms - 1ns);
             EXPECT_FALSE(s.client.next_event()) << "one tick early";
             s.At(kT0 + 5000ms);
         }, status::BadTimeout},
        {"ERR instead of ACK", [](Scripted& s) {
             s.client.connect("opc.tcp://h:1", s.clock.steady);
             s.Feed(ServerChunks::Err(status::BadTcpServerTooBusy, "busy"));
         }, status::BadTcpServerTooBusy},
        {"no OPN answer", [](Scripted& s) {
             s.client.connect("opc.tcp://h:1", s.clock.steady);
             s.Feed(ServerChunks::Ack({0, 65536, 65536, 0, 0}));
             s.At(kT0 + 5000ms);
         }, status::BadTimeout},
        {"CreateSession refused", [&](Scripted& s) { s.ToCreateSession(); s.Answer(2, fault_like); },
         status::BadTooManySessions},
        {"CreateSession as a ServiceFault", [](Scripted& s) {
             ServiceFault f;
             f.header.service_result = status::BadSecurityChecksFailed;
             s.ToCreateSession();
             s.Answer(2, f);
         }, status::BadSecurityChecksFailed},
        {"no anonymous token", [&](Scripted& s) { s.ToCreateSession(); s.Answer(2, no_anonymous); },
         status::BadIdentityTokenRejected},
        {"no endpoint without security", [&](Scripted& s) { s.ToCreateSession(); s.Answer(2, no_none); },
         kBadSecurityPolicyRejected},
        {"token renewal unanswered", [](Scripted& s) {
             s.Connect(40000);
             s.At(kT0 + 30000ms);
             s.At(kT0 + 30000ms + 5000ms);
         }, status::BadTimeout},
        {"socket lost during the handshake", [](Scripted& s) {
             s.ToCreateSession();
             s.client.connection_lost(status::BadConnectionClosed, s.clock.steady);
         }, status::BadConnectionClosed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s;
        c.script(s);
        const auto events = Drain(s.client);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::ChannelError);
        EXPECT_EQ(events[0].status, c.expected) << std::hex << events[0].status;
        EXPECT_EQ(s.client.state(), UaClient::State::Failed);
        EXPECT_EQ(s.client.next_deadline(), SteadyTime::max()) << "nothing left to time";
    }
}

TEST(UaEngine, RequestTimesOutExactlyAtItsDeadlineAndTheLateAnswerIsDropped) {
    Scripted s;
    s.Connect();
    const uint32_t id = s.ReadSomething(2000ms);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(std::get<ReadRequest>(Sent(s.client)[0]).header.timeout_hint, 2000u);
    const SteadyTime deadline = kT0 + 2000ms + 1000ms; // hint + grace
    EXPECT_EQ(s.client.next_deadline(), deadline);
    s.At(deadline - 1ns);
    EXPECT_FALSE(s.client.next_event());
    s.At(deadline);
    auto events = Drain(s.client);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::TimedOut);
    EXPECT_EQ(events[0].request_id, id);

    s.Answer(id, ReadResponse{}); // too late: dropped by its id, the channel stays
    EXPECT_FALSE(s.client.next_event());
    EXPECT_EQ(s.client.late_responses(), 1u);
    EXPECT_EQ(s.client.state(), UaClient::State::Connected);
    const uint32_t next = s.ReadSomething();
    s.Answer(next, ReadResponse{});
    events = Drain(s.client);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Response);
    EXPECT_EQ(events[0].request_id, next);
}

TEST(UaEngine, ServiceFaultsAndAbortsReachTheCallerAndKeepTheSession) {
    Scripted s;
    s.Connect();
    const uint32_t faulted = s.ReadSomething();
    const uint32_t aborted = s.ReadSomething();
    const uint32_t answered = s.ReadSomething();
    ServiceFault fault;
    fault.header.service_result = status::BadTooManyOperations;
    ReadResponse bad_result;
    bad_result.header.service_result = status::BadNothingToDo;
    s.Answer(faulted, fault);
    s.Feed(s.server.Abort(aborted, status::BadResponseTooLarge, "too big"));
    s.Answer(answered, bad_result);
    const auto events = Drain(s.client);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, Kind::ServiceFault);
    EXPECT_EQ(events[0].request_id, faulted);
    EXPECT_EQ(events[0].status, status::BadTooManyOperations);
    EXPECT_EQ(events[1].kind, Kind::ServiceFault);
    EXPECT_EQ(events[1].status, status::BadResponseTooLarge);
    EXPECT_EQ(events[2].kind, Kind::Response) << "a Bad service result is the caller's to read";
    EXPECT_EQ(events[2].status, status::BadNothingToDo);
    EXPECT_EQ(s.client.state(), UaClient::State::Connected);
    EXPECT_EQ(s.client.pending(), 0u);
}

TEST(UaEngine, RenewsTheTokenAt75PercentAndAcceptsTheOldOneUntilItExpires) {
    Scripted s;
    s.Connect(40000);
    EXPECT_EQ(s.client.next_deadline(), kT0 + 30000ms);
    s.At(kT0 + 30000ms - 1ns);
    EXPECT_TRUE(Sent(s.client).empty());
    s.At(kT0 + 30000ms);
    auto sent = Sent(s.client);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(std::get<OpenSecureChannelRequest>(sent[0]).request_type, SecurityTokenRequestType::Renew);
    const uint32_t pending = s.ReadSomething(60s); // goes out under token 1
    s.clock.steady = kT0 + 31000ms;
    s.Feed(s.server.Open(4, ServerChunks::OpenResponse({1, 2, 0, 40000})));
    EXPECT_EQ(s.client.token_renewals(), 1u);
    EXPECT_EQ(s.client.next_deadline(), kT0 + 31000ms + 30000ms);

    // The server answers under the old token before it expires: accepted.
    s.At(kT0 + 39000ms);
    s.Answer(pending, ReadResponse{});
    auto events = Drain(s.client);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Response);
    // After its expiry the old token is a channel error.
    const uint32_t late = s.ReadSomething(60s);
    s.At(kT0 + 40000ms);
    s.Answer(late, ReadResponse{});
    events = Drain(s.client);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::RequestFailed);
    EXPECT_EQ(events[0].request_id, late);
    EXPECT_EQ(events[1].kind, Kind::ChannelError);
    EXPECT_EQ(events[1].status, status::BadSecureChannelTokenUnknown);
}

TEST(UaEngine, LossFailsEveryPendingRequestThenTheChannel) {
    Scripted s;
    s.Connect();
    const uint32_t a = s.ReadSomething();
    const uint32_t b = s.ReadSomething();
    s.client.connection_lost(status::BadConnectionClosed, s.clock.steady);
    const auto events = Drain(s.client);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, Kind::RequestFailed);
    EXPECT_EQ(events[0].request_id, a);
    EXPECT_EQ(events[1].request_id, b);
    EXPECT_EQ(events[1].status, status::BadConnectionClosed);
    EXPECT_EQ(events[2].kind, Kind::ChannelError);
    EXPECT_EQ(s.ReadSomething(), 0u);
    EXPECT_EQ(s.client.last_refusal(), status::BadNotConnected);
}

TEST(UaEngine, CloseSendsCloSessionThenCloEvenWithoutAnAnswer) {
    Scripted s;
    s.Connect();
    const uint32_t pending = s.ReadSomething();
    Sent(s.client);
    s.client.close(s.clock.steady);
    auto sent = Sent(s.client);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(std::get<CloseSessionRequest>(sent[0]).delete_subscriptions);
    EXPECT_EQ(s.client.next_deadline(), kT0 + 1000ms);
    s.At(kT0 + 1000ms);
    sent = Sent(s.client);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<CloseSecureChannelRequest>(sent[0]));
    const auto events = Drain(s.client);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Kind::RequestFailed);
    EXPECT_EQ(events[0].request_id, pending);
    EXPECT_EQ(events[1].kind, Kind::Closed);
    s.client.connection_lost(status::BadConnectionClosed, s.clock.steady); // the server hanging up after CLO
    EXPECT_FALSE(s.client.next_event());
}

// Stands in for a secured session: records the server nonce each activation
// signs.
class NonceRecorder final : public SessionSecurity {
public:
    std::unique_ptr<SecurityPolicy> make_policy() const override { return std::make_unique<NonePolicy>(); }
    crypto::Bytes client_certificate() const override { return {}; }
    StatusCode activate(const CreateSessionResponse& created, crypto::View, ActivateSessionRequest& as,
                        std::string*) const override {
        nonces.push_back(created.server_nonce.value_or(""));
        as.user_identity_token = to_extension(AnonymousIdentityToken{std::string("anon-7")});
        return status::Good;
    }
    mutable std::vector<std::string> nonces;
};

// After a loss: ActivateSession with the old token on the new channel; when
// the server refuses it, CloseSession on the old token (never waited for),
// then a new session. Request ids: OPN 4, ActivateSession 5, CloseSession 6,
// CreateSession 7, ActivateSession 8.
TEST(UaEngine, ReconnectReactivatesTheSessionOrClosesItAndCreatesANewOne) {
    ActivateSessionResponse refused;
    refused.header.service_result = status::BadSessionIdInvalid;
    ServiceFault closed;
    closed.header.service_result = status::BadSessionClosed;
    const struct {
        const char* name;
        bool secured;
        std::function<void(Scripted&)> answer; // to the reactivation
        bool recreated, close_answered = false;
    } cases[] = {
        {"reactivated", false, [](Scripted& s) { s.Answer(5, ActivateSessionResponse{}); }, false},
        {"reactivated, secured", true, [](Scripted& s) { s.Answer(5, ActivateSessionResponse{}); }, false},
        {"session id invalid", false, [&](Scripted& s) { s.Answer(5, refused); }, true, true},
        {"session closed, as a ServiceFault", false, [&](Scripted& s) { s.Answer(5, closed); }, true},
        {"aborted", false, [](Scripted& s) { s.Feed(s.server.Abort(5, status::BadSessionNotActivated, "")); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto recorder = std::make_shared<NonceRecorder>();
        UaSettings settings;
        if (c.secured) settings.security = recorder;
        Scripted s(settings);
        s.Connect();
        s.client.connection_lost(status::BadConnectionClosed, s.clock.steady);
        Drain(s.client);
        s.client.reconnect(s.clock.steady);
        s.server = ServerChunks{};
        s.Feed(ServerChunks::Ack({0, 65536, 65536, 0, 0}));
        s.Feed(s.server.Open(4, ServerChunks::OpenResponse({1, 1, 0, 600000})));
        auto sent = Sent(s.client);
        ASSERT_EQ(sent.size(), 2u);
        const auto& activate = std::get<ActivateSessionRequest>(sent[1]);
        EXPECT_EQ(activate.header.authentication_token, NodeId::opaque_id(0, "token")) << "the old session's";
        EXPECT_EQ(from_extension<AnonymousIdentityToken>(activate.user_identity_token)->policy_id, "anon-7");
        const std::vector<std::string> signed_nonces = {"create-nonce", "activate-nonce"}; // the last one again
        EXPECT_EQ(recorder->nonces, c.secured ? signed_nonces : std::vector<std::string>{});
        c.answer(s);
        if (c.recreated) {
            sent = Sent(s.client);
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(std::get<CloseSessionRequest>(sent[0]).header.authentication_token, NodeId::opaque_id(0, "token"));
            EXPECT_TRUE(std::get<CreateSessionRequest>(sent[1]).header.authentication_token.is_null());
            CreateSessionResponse cs;
            cs.session_id = NodeId::numeric_id(1, 100);
            cs.authentication_token = NodeId::opaque_id(0, "token2");
            cs.server_endpoints = {NoneEndpoint({{"anon-8", UserTokenType::Anonymous, {}, {}, {}}})};
            s.Answer(7, cs);
            EXPECT_EQ(std::get<ActivateSessionRequest>(Sent(s.client).at(0)).header.authentication_token,
                      NodeId::opaque_id(0, "token2"));
            s.Answer(8, ActivateSessionResponse{});
            if (c.close_answered) s.Answer(6, ServiceFault{}); // the answer, or its silence, changes nothing
            else s.At(s.clock.steady + 10s);
        }
        const auto events = Drain(s.client);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::Connected);
        EXPECT_EQ(events[0].new_session, c.recreated);
        EXPECT_EQ(s.client.session_id(), NodeId::numeric_id(1, c.recreated ? 100 : 99));
        EXPECT_EQ(s.client.pending(), 0u);
    }
}

} // namespace
