// The chunk layer and the secure channel of the OPC UA client: the golden
// session's bytes both ways, reassembly from any split, the limits, aborts,
// the channel's id/token/sequence checks, renewal, and the security seam's
// padding and signature layout.
#include "ua_channel.h"
#include "ua_golden.h"
#include "ua_server_chunks.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ostrand::ua {
namespace {

using namespace std::chrono_literals;
namespace golden = quorvane::test::ua_golden;
using test::ServerChunks;
using Kind = ChannelEvent::Kind;

const SteadyTime kT0 = SteadyTime{} + 1000s;

std::vector<uint8_t> Golden(const std::string& name) { return golden::load(name); }

uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// A client channel driven like the engine drives it: the ACK answered with
// an OPN Issue.
struct Client {
    explicit Client(const TransportLimits& ours = {}, std::unique_ptr<SecurityPolicy> policy = nullptr)
        : channel(policy ? std::move(policy) : std::make_unique<NonePolicy>(), ours) {
        channel.hello("opc.tcp://127.0.0.1:4840");
    }

    std::vector<ChannelEvent> Feed(std::span<const uint8_t> bytes, SteadyTime now = kT0) {
        channel.receive(bytes);
        std::vector<ChannelEvent> events;
        for (;;) {
            ChannelEvent e = channel.next(now);
            if (e.kind == Kind::None) break;
            if (e.kind == Kind::Acknowledged) {
                EXPECT_EQ(channel.send_open({}, channel.next_request_id(), sent), status::Good);
            }
            const bool failed = e.kind == Kind::Failed;
            events.push_back(std::move(e));
            if (failed) break;
        }
        return events;
    }

    // ACK (with `limits`) and an OPN response with `token`.
    void Open(ServerChunks& server, const ChannelSecurityToken& token, const TransportLimits& limits = {},
              SteadyTime now = kT0) {
        Feed(ServerChunks::Ack(limits), now);
        const auto events = Feed(server.Open(1, ServerChunks::OpenResponse(token)), now);
        ASSERT_EQ(events.size(), 1u);
        ASSERT_EQ(channel.state(), SecureChannel::State::Open);
    }

    SecureChannel channel;
    std::vector<uint8_t> sent;
};

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Offsets in the golden client chunks: MSG/CLO bodies after the symmetric
// header, the OPN body after the None asymmetric header.
constexpr size_t kSymmetricBody = 24;
constexpr size_t kOpenBody = 12 + 4 + kSecurityPolicyNoneUri.size() + 8 + 8;
static_assert(kOpenBody == 79);

TEST(UaChunks, GoldenClientChunksAreReproducedByteForByte) {
    // The golden client announced no message size or chunk count limit.
    SecureChannel channel(std::make_unique<NonePolicy>(), {0, 65536, 65536, 0, 0});
    EXPECT_EQ(channel.hello("opc.tcp://127.0.0.1:4840"), Golden("01_c2s_Hello.bin"));
    channel.receive(Golden("02_s2c_Acknowledge.bin"));
    ASSERT_EQ(channel.next(kT0).kind, Kind::Acknowledged);
    EXPECT_EQ(channel.limits().send_chunk_size, 65536u);
    EXPECT_EQ(channel.limits().send_message_size, 16u * 1024 * 1024);
    EXPECT_EQ(channel.limits().send_chunk_count, 256u);

    const auto messages = golden::client_messages();
    const std::vector<uint8_t> opn = Golden(messages[0].file);
    std::vector<uint8_t> out;
    ASSERT_EQ(channel.open_type(), SecurityTokenRequestType::Issue);
    ASSERT_EQ(channel.send_open(std::get<OpenSecureChannelRequest>(messages[0].request), channel.next_request_id(),
                                out),
              status::Good);
    EXPECT_EQ(out, opn);

    channel.receive(Golden("04_s2c_OpenSecureChannelResponse.bin"));
    ChannelEvent e = channel.next(kT0);
    ASSERT_EQ(e.kind, Kind::Opened);
    EXPECT_EQ(e.request_id, 1u);
    EXPECT_EQ(channel.token().channel_id, 1u);
    EXPECT_EQ(channel.token().token_id, 1u);
    EXPECT_EQ(channel.token().revised_lifetime, 600000u);
    EXPECT_EQ(channel.renew_at(), kT0 + 450s);
    EXPECT_EQ(channel.expires_at(), kT0 + 600s);

    for (const char* name : {"05_c2s_CreateSessionRequest.bin", "07_c2s_ActivateSessionRequest.bin",
                             "09_c2s_ReadRequest.bin", "11_c2s_BrowseRequest.bin", "13_c2s_ReadRequest.bin",
                             "15_c2s_CreateSubscriptionRequest.bin", "17_c2s_CreateMonitoredItemsRequest.bin",
                             "19_c2s_PublishRequest.bin", "20_c2s_PublishRequest.bin", "23_c2s_PublishRequest.bin",
                             "25_c2s_WriteRequest.bin", "27_c2s_PublishRequest.bin",
                             "29_c2s_CloseSessionRequest.bin"}) {
        const std::vector<uint8_t> golden = Golden(name);
        out.clear();
        ASSERT_EQ(channel.send_message(std::span(golden).subspan(kSymmetricBody), channel.next_request_id(), out),
                  status::Good);
        EXPECT_EQ(out, golden) << name;
    }
    const std::vector<uint8_t> clo = Golden("31_c2s_CloseSecureChannelRequest.bin");
    out.clear();
    ASSERT_EQ(channel.send_close(std::span(clo).subspan(kSymmetricBody), channel.next_request_id(), out), status::Good);
    EXPECT_EQ(out, clo);
    EXPECT_EQ(channel.state(), SecureChannel::State::Closed);
}

struct Expected {
    Kind kind;
    uint32_t request_id;
    std::vector<uint8_t> body;
};

// The server's side of the golden session as one stream, and what the
// channel has to make of it.
std::vector<uint8_t> GoldenServerStream(std::vector<Expected>* expected) {
    std::vector<uint8_t> stream;
    const char* names[] = {"02_s2c_Acknowledge.bin", "04_s2c_OpenSecureChannelResponse.bin",
                           "06_s2c_CreateSessionResponse.bin", "08_s2c_ActivateSessionResponse.bin",
                           "10_s2c_ReadResponse.bin", "12_s2c_BrowseResponse.bin", "14_s2c_ReadResponse.bin",
                           "16_s2c_CreateSubscriptionResponse.bin", "18_s2c_CreateMonitoredItemsResponse.bin",
                           "21_s2c_PublishResponse.bin", "22_s2c_PublishResponse.bin", "24_s2c_PublishResponse.bin",
                           "26_s2c_WriteResponse.bin", "28_s2c_PublishResponse.bin",
                           "30_s2c_CloseSessionResponse.bin"};
    for (const char* name : names) {
        const std::vector<uint8_t> chunk = Golden(name);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        if (std::memcmp(chunk.data(), "ACK", 3) == 0) expected->push_back({Kind::Acknowledged, 0, {}});
        else if (std::memcmp(chunk.data(), "OPN", 3) == 0)
            expected->push_back({Kind::Opened, 1, {chunk.begin() + kOpenBody, chunk.end()}});
        else expected->push_back({Kind::Response, At32(chunk, 20), {chunk.begin() + kSymmetricBody, chunk.end()}});
    }
    return stream;
}

void ExpectEvents(const std::vector<ChannelEvent>& got, const std::vector<Expected>& expected, size_t split) {
    ASSERT_EQ(got.size(), expected.size()) << "split at " << split;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].kind, expected[i].kind) << "split at " << split << ", event " << i;
        EXPECT_EQ(got[i].request_id, expected[i].request_id) << "split at " << split << ", event " << i;
        EXPECT_EQ(got[i].body, expected[i].body) << "split at " << split << ", event " << i;
    }
}

TEST(UaChunks, GoldenServerStreamReassemblesFromAnySplit) {
    std::vector<Expected> expected;
    const std::vector<uint8_t> stream = GoldenServerStream(&expected);
    const std::span<const uint8_t> all(stream);
    for (size_t split = 0; split <= stream.size(); ++split) {
        Client client;
        std::vector<ChannelEvent> got = client.Feed(all.first(split));
        for (ChannelEvent& e : client.Feed(all.subspan(split))) got.push_back(std::move(e));
        ExpectEvents(got, expected, split);
        if (HasFailure()) return;
    }
    Client byte_by_byte;
    std::vector<ChannelEvent> got;
    for (size_t i = 0; i < stream.size(); ++i)
        for (ChannelEvent& e : byte_by_byte.Feed(all.subspan(i, 1))) got.push_back(std::move(e));
    ExpectEvents(got, expected, 1);
}

// Chunks a server sends after the handshake, and how the client ends up.
using Chunks = std::vector<std::vector<uint8_t>>;
struct LimitCase {
    const char* name;
    TransportLimits ours;
    Chunks (*chunks)(ServerChunks&);
    StatusCode status;         // the connection error, or Good
    size_t complete_responses; // when Good
};

std::vector<uint8_t> Filler(size_t n) { return std::vector<uint8_t>(n, 0x42); }
std::vector<uint8_t> RawHeader(const char* type, uint32_t size) {
    std::vector<uint8_t> out(type, type + 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
    return out;
}

TEST(UaChunks, LimitsAndFramingErrors) {
    const TransportLimits small{0, 65536, 65536, 10000, 3};
    const LimitCase cases[] = {
        {"chunk of exactly the receive buffer", {}, [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(65536 - 24))};
         }, status::Good, 1},
        {"chunk over the receive buffer, refused from its header alone", {}, [](ServerChunks&) {
             return Chunks{RawHeader("MSGF", 65537)};
         }, status::BadTcpMessageTooLarge, 0},
        {"size below the header", {}, [](ServerChunks&) {
             return Chunks{RawHeader("MSGF", 7)};
         }, status::BadTcpMessageTooLarge, 0},
        {"unknown message type", {}, [](ServerChunks&) {
             return Chunks{RawHeader("XYZF", 16)};
         }, status::BadTcpMessageTypeInvalid, 0},
        {"OPN cut into chunks", {}, [](ServerChunks&) {
             return Chunks{RawHeader("OPNC", 16)};
         }, status::BadTcpMessageTypeInvalid, 0},
        {"a HEL from the server", {}, [](ServerChunks&) {
             auto hel = encode_hello({}, "opc.tcp://x");
             return Chunks{hel};
         }, status::BadTcpMessageTypeInvalid, 0},
        {"message of exactly the maximum size and chunk count", small, [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(4000), ChunkType::Intermediate),
                                s.Msg(2, Filler(4000), ChunkType::Intermediate), s.Msg(2, Filler(2000))};
         }, status::Good, 1},
        {"message over the maximum size", small, [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(4000), ChunkType::Intermediate),
                                s.Msg(2, Filler(4000), ChunkType::Intermediate), s.Msg(2, Filler(2001))};
         }, status::BadTcpMessageTooLarge, 0},
        {"message over the chunk count", small, [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(1), ChunkType::Intermediate),
                                s.Msg(2, Filler(1), ChunkType::Intermediate),
                                s.Msg(2, Filler(1), ChunkType::Intermediate), s.Msg(2, Filler(1))};
         }, status::BadTcpMessageTooLarge, 0},
        {"chunks of two messages interleaved", {}, [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(10), ChunkType::Intermediate), s.Msg(3, Filler(10))};
         }, status::BadDecodingError, 0},
        {"a server's ERR", {}, [](ServerChunks&) {
             return Chunks{ServerChunks::Err(0x807D0000, "too busy")};
         }, 0x807D0000, 0},
        {"a CLO from the server", {}, [](ServerChunks& s) {
             auto clo = s.Msg(2, {});
             std::memcpy(clo.data(), "CLO", 3);
             return Chunks{clo};
         }, status::BadTcpMessageTypeInvalid, 0},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(c.ours);
        ServerChunks server;
        client.Open(server, {1, 1, 0, 600000});
        std::vector<ChannelEvent> events;
        for (const auto& chunk : c.chunks(server))
            for (ChannelEvent& e : client.Feed(chunk)) events.push_back(std::move(e));
        if (c.status == status::Good) {
            EXPECT_EQ(events.size(), c.complete_responses);
            for (const ChannelEvent& e : events) EXPECT_EQ(e.kind, Kind::Response);
            EXPECT_EQ(client.channel.state(), SecureChannel::State::Open);
        } else {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].kind, Kind::Failed);
            EXPECT_EQ(events[0].status, c.status);
            EXPECT_EQ(client.channel.state(), SecureChannel::State::Failed);
            // Nothing more comes out of a failed channel.
            client.channel.receive(server.Msg(9, Filler(3)));
            EXPECT_EQ(client.channel.next(kT0).kind, Kind::None);
        }
    }
}

TEST(UaChunks, AbortDropsThePartialMessageAndKeepsTheChannel) {
    Client client;
    ServerChunks server;
    client.Open(server, {1, 1, 0, 600000});
    EXPECT_TRUE(client.Feed(server.Msg(7, Bytes("partial"), ChunkType::Intermediate)).empty());
    auto events = client.Feed(server.Abort(7, status::BadResponseTooLarge, "too big"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Aborted);
    EXPECT_EQ(events[0].request_id, 7u);
    EXPECT_EQ(events[0].status, status::BadResponseTooLarge);
    EXPECT_EQ(events[0].reason, "too big");

    // An abort with no chunks before it, a Good code, and a reason over 4096
    // bytes: still an abort with a Bad code, the reason ignored.
    events = client.Feed(server.Msg(8, ServerChunks::ErrorBody(0, std::string(5000, 'r')), ChunkType::Abort));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Aborted);
    EXPECT_EQ(events[0].request_id, 8u);
    EXPECT_TRUE(is_bad(events[0].status));
    EXPECT_EQ(events[0].reason, "");

    events = client.Feed(server.Msg(9, Bytes("whole")));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].body, Bytes("whole"));
}

struct ChannelCase {
    const char* name;
    std::vector<uint8_t> (*bytes)(ServerChunks&);
    StatusCode status;
};

TEST(UaChannel, WrongChannelTokenOrSequenceIsAChannelError) {
    const ChannelCase after_open[] = {
        {"wrong channel id", [](ServerChunks& s) { return ++s.channel_id, s.Msg(2, {}); },
         status::BadSecureChannelIdInvalid},
        {"unknown token id", [](ServerChunks& s) { return ++s.token_id, s.Msg(2, {}); },
         status::BadSecureChannelTokenUnknown},
        {"a sequence number skipped", [](ServerChunks& s) { return ++s.sequence, s.Msg(2, {}); },
         status::BadSequenceNumberInvalid},
        {"a sequence number repeated", [](ServerChunks& s) { return --s.sequence, s.Msg(2, {}); },
         status::BadSequenceNumberInvalid},
        {"an OPN response nobody asked for", [](ServerChunks& s) {
             return s.Open(2, ServerChunks::OpenResponse({1, 2, 0, 600000}));
         }, status::BadTcpMessageTypeInvalid},
        {"a truncated symmetric header", [](ServerChunks&) {
             auto chunk = RawHeader("MSGF", 14);
             chunk.insert(chunk.end(), {1, 0, 0, 0, 1, 0});
             return chunk;
         }, status::BadDecodingError},
    };
    for (const ChannelCase& c : after_open) {
        SCOPED_TRACE(c.name);
        Client client;
        ServerChunks server;
        client.Open(server, {1, 1, 0, 600000});
        const auto events = client.Feed(c.bytes(server));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::Failed);
        EXPECT_EQ(events[0].status, c.status);
    }

    const ChannelCase handshake[] = {
        {"a MSG before the channel is open", [](ServerChunks& s) { return s.Msg(1, {}); },
         status::BadTcpMessageTypeInvalid},
        {"an OPN response on channel 0", [](ServerChunks& s) {
             s.channel_id = 0;
             return s.Open(1, ServerChunks::OpenResponse({0, 1, 0, 600000}));
         }, status::BadSecureChannelIdInvalid},
        {"another security policy", [](ServerChunks& s) {
             return s.Open(1, ServerChunks::OpenResponse({1, 1, 0, 600000}),
                           "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
         }, kBadSecurityPolicyRejected},
        {"a token for another channel than its header", [](ServerChunks& s) {
             return s.Open(1, ServerChunks::OpenResponse({2, 1, 0, 600000}));
         }, status::BadSecureChannelIdInvalid},
        {"a token of no lifetime", [](ServerChunks& s) {
             return s.Open(1, ServerChunks::OpenResponse({1, 1, 0, 0}));
         }, status::BadSecureChannelTokenUnknown},
        {"a refused OPN", [](ServerChunks& s) {
             return s.Open(1, ServerChunks::OpenResponse({1, 1, 0, 600000}, status::BadTcpServerTooBusy));
         }, status::BadTcpServerTooBusy},
        {"a ServiceFault for an OPN", [](ServerChunks& s) {
             ServiceFault fault;
             fault.header.service_result = status::BadSecurityChecksFailed;
             Writer w;
             encode_message(w, fault);
             return s.Open(1, w.take());
         }, status::BadSecurityChecksFailed},
        {"an undecodable OPN response", [](ServerChunks& s) {
             auto message = ServerChunks::OpenResponse({1, 1, 0, 600000});
             message.resize(message.size() - 5);
             return s.Open(1, message);
         }, status::BadDecodingError},
    };
    for (const ChannelCase& c : handshake) {
        SCOPED_TRACE(c.name);
        Client client;
        ServerChunks server;
        client.Feed(ServerChunks::Ack({}));
        const std::vector<ChannelEvent> events = client.Feed(c.bytes(server));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::Failed);
        EXPECT_EQ(events[0].status, c.status);
    }

    // An ACK announcing buffers below 8192 bytes.
    Client client;
    const auto events = client.Feed(ServerChunks::Ack({0, 100, 65536, 0, 0}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].status, status::BadConnectionRejected);
}

TEST(UaChannel, RenewalAcceptsTheOldTokenUntilItExpires) {
    Client client;
    ServerChunks server;
    client.Open(server, {1, 1, 0, 4000});
    SecureChannel& channel = client.channel;
    EXPECT_EQ(channel.renew_at(), kT0 + 3s);
    EXPECT_EQ(channel.expires_at(), kT0 + 4s);

    // The Renew goes out on the channel (the Issue went out on channel 0).
    ASSERT_EQ(channel.open_type(), SecurityTokenRequestType::Renew);
    std::vector<uint8_t> renew;
    ASSERT_EQ(channel.send_open({}, channel.next_request_id(), renew), status::Good);
    EXPECT_EQ(At32(renew, 8), 1u);
    std::vector<uint8_t> second;
    EXPECT_EQ(channel.send_open({}, channel.next_request_id(), second), status::BadInvalidState) << "one OPN at a time";

    const SteadyTime renewed = kT0 + 3100ms;
    ASSERT_EQ(client.Feed(server.Open(2, ServerChunks::OpenResponse({1, 2, 0, 4000})), renewed).size(), 1u);
    EXPECT_EQ(channel.token().token_id, 2u);
    EXPECT_EQ(channel.renew_at(), renewed + 3s);

    // Requests now carry the new token.
    std::vector<uint8_t> request;
    ASSERT_EQ(channel.send_message(Bytes("x"), channel.next_request_id(), request), status::Good);
    EXPECT_EQ(At32(request, 12), 2u);

    server.token_id = 1;
    EXPECT_EQ(client.Feed(server.Msg(5, {}), kT0 + 3999ms).at(0).kind, Kind::Response);
    server.token_id = 2;
    EXPECT_EQ(client.Feed(server.Msg(6, {}), kT0 + 4000ms).at(0).kind, Kind::Response);
    server.token_id = 1;
    const auto late = client.Feed(server.Msg(7, {}), kT0 + 4000ms);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].kind, Kind::Failed);
    EXPECT_EQ(late[0].status, status::BadSecureChannelTokenUnknown);

    // A renewal that names another channel is refused.
    Client other;
    ServerChunks s2;
    other.Open(s2, {1, 1, 0, 4000});
    ASSERT_EQ(other.channel.send_open({}, other.channel.next_request_id(), other.sent), status::Good);
    s2.channel_id = 5;
    const auto events = other.Feed(s2.Open(2, ServerChunks::OpenResponse({5, 2, 0, 4000})));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].status, status::BadSecureChannelIdInvalid);
}

TEST(UaChannel, SequenceNumbersFollowAndWrap) {
    const uint32_t top = kSequenceWrapAbove;
    const struct {
        uint32_t last, received;
        bool follows;
    } cases[] = {
        {5, 6, true},          {5, 7, false},        {5, 5, false},          {5, 4, false},
        {top, top + 1, true},  {top, 0, false},      {top, 1, false},        {top + 1, 0, true},
        {top + 1, 1023, true}, {top + 1, 1024, false}, {0xFFFFFFFFu, 0, true}, {0xFFFFFFFFu, 1, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(follows(c.last, c.received), c.follows) << c.last << " -> " << c.received;
    EXPECT_EQ(next_sequence_number(top), top + 1);
    EXPECT_EQ(next_sequence_number(top + 1), 1u);
    EXPECT_TRUE(follows(top + 1, next_sequence_number(top + 1)));
}

// Parses the chunks of one message as the server would: headers, sequence
// numbers, body pieces.
struct SentChunk {
    MessageHeader header;
    uint32_t token, sequence, request_id;
    std::vector<uint8_t> body;
};
std::vector<SentChunk> Parse(const std::vector<uint8_t>& bytes) {
    std::vector<SentChunk> out;
    for (size_t at = 0; at < bytes.size();) {
        const auto h = decode_header(std::span(bytes).subspan(at));
        if (!h || h->size < 24 || h->size > bytes.size() - at) {
            ADD_FAILURE() << "bad chunk at " << at;
            break;
        }
        out.push_back({*h, At32(bytes, at + 12), At32(bytes, at + 16), At32(bytes, at + 20),
                       {bytes.begin() + static_cast<long>(at) + 24, bytes.begin() + static_cast<long>(at + h->size)}});
        at += h->size;
    }
    return out;
}

TEST(UaChannel, LargeRequestIsSplitUnderTheServerLimits) {
    std::vector<uint8_t> body(200 * 1024);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7);
    Client client;
    ServerChunks server;
    client.Open(server, {1, 1, 0, 600000}, {0, 8192, 65536, 0, 0});
    SecureChannel& channel = client.channel;

    std::vector<uint8_t> out;
    ASSERT_EQ(channel.send_message(body, 2, out), status::Good);
    const std::vector<SentChunk> chunks = Parse(out);
    ASSERT_EQ(chunks.size(), (body.size() + 8192 - 24 - 1) / (8192 - 24));
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_LE(chunks[i].header.size, 8192u);
        EXPECT_EQ(chunks[i].header.chunk, i + 1 == chunks.size() ? ChunkType::Final : ChunkType::Intermediate);
        EXPECT_EQ(chunks[i].sequence, 2 + i) << "the OPN had 1";
        EXPECT_EQ(chunks[i].request_id, 2u);
        joined.insert(joined.end(), chunks[i].body.begin(), chunks[i].body.end());
    }
    EXPECT_EQ(joined, body);

    // Over the server's message size or chunk count: refused whole, and the
    // sequence numbers go on as if it had never been tried.
    for (const TransportLimits& limits : {TransportLimits{0, 8192, 65536, 100000, 0},
                                          TransportLimits{0, 8192, 65536, 0, 10}}) {
        Client limited;
        ServerChunks s;
        limited.Open(s, {1, 1, 0, 600000}, limits);
        std::vector<uint8_t> refused;
        EXPECT_EQ(limited.channel.send_message(body, 2, refused), status::BadRequestTooLarge);
        EXPECT_TRUE(refused.empty());
        ASSERT_EQ(limited.channel.send_message(Bytes("small"), 3, refused), status::Good);
        EXPECT_EQ(Parse(refused).at(0).sequence, 2u);
    }
}

// A policy that pads, "encrypts" (XOR, and filler to stretch a plaintext block
// into a ciphertext block) and "signs" (a running sum), to prove the chunk
// layout the channel computes from a policy's sizes.
class LayoutPolicy final : public SecurityPolicy {
public:
    explicit LayoutPolicy(Sizes sizes) : sizes_(sizes) {}
    std::string_view uri() const override { return kSecurityPolicyNoneUri; }
    MessageSecurityMode mode() const override { return MessageSecurityMode::SignAndEncrypt; }
    size_t nonce_length() const override { return 0; }
    Sizes sizes(Keys keys) const override { return keys.asymmetric ? Sizes{} : sizes_; }
    std::span<const uint8_t> local_certificate() const override { return {}; }
    std::span<const uint8_t> remote_thumbprint() const override { return {}; }
    uint32_t check_remote(std::span<const uint8_t>, std::span<const uint8_t>) override { return status::Good; }
    uint32_t derive_keys(uint32_t, std::span<const uint8_t>, std::span<const uint8_t>) override { return status::Good; }
    void forget_keys(uint32_t) override {}
    uint32_t sign(Keys keys, std::span<const uint8_t> data, std::span<uint8_t> signature) override {
        if (keys.asymmetric) return status::Good;
        uint8_t sum = 0;
        for (uint8_t b : data) sum = static_cast<uint8_t>(sum * 31 + b);
        for (uint8_t& b : signature) b = sum++;
        return status::Good;
    }
    uint32_t verify(Keys keys, std::span<const uint8_t> data, std::span<const uint8_t> signature) override {
        std::vector<uint8_t> expected(signature.size());
        sign(keys, data, expected);
        return std::equal(expected.begin(), expected.end(), signature.begin()) ? status::Good : status::BadSecurityChecksFailed;
    }
    uint32_t encrypt(Keys keys, std::span<const uint8_t> plain, std::vector<uint8_t>& out) override {
        if (keys.asymmetric || !sizes_.encrypts) return out.insert(out.end(), plain.begin(), plain.end()), status::Good;
        if (plain.size() % sizes_.plain_block != 0) return status::BadSecurityChecksFailed;
        for (size_t at = 0; at < plain.size(); at += sizes_.plain_block) {
            for (size_t i = 0; i < sizes_.plain_block; ++i) out.push_back(plain[at + i] ^ 0x5A);
            out.insert(out.end(), sizes_.cipher_block - sizes_.plain_block, 0xEE);
        }
        return status::Good;
    }
    uint32_t decrypt(Keys keys, std::span<const uint8_t> cipher, std::vector<uint8_t>& out) override {
        if (keys.asymmetric || !sizes_.encrypts) return out.insert(out.end(), cipher.begin(), cipher.end()), status::Good;
        for (size_t at = 0; at < cipher.size(); at += sizes_.cipher_block)
            for (size_t i = 0; i < sizes_.plain_block; ++i) out.push_back(cipher[at + i] ^ 0x5A);
        return status::Good;
    }

private:
    Sizes sizes_;
};

TEST(UaChannel, SecurityPolicySeamPadsSignsAndEncryptsWholeBlocks) {
    const SecurityPolicy::Sizes layouts[] = {
        {16, 16, 32, true},   // symmetric AES-like: padding byte only
        {214, 256, 20, true}, // 2048-bit RSA-like blocks
        {500, 512, 7, true},  // over 2048 bits: the extra padding byte
        {1, 1, 32, false},    // signed, not encrypted: no padding
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(testing::Message() << "plain " << layout.plain_block << " cipher " << layout.cipher_block);
        Client sender({}, std::make_unique<LayoutPolicy>(layout));
        Client receiver({}, std::make_unique<LayoutPolicy>(layout));
        ServerChunks s1, s2;
        sender.Open(s1, {1, 1, 0, 600000}, {0, 8192, 8192, 0, 0});
        receiver.Open(s2, {1, 1, 0, 600000}, {0, 65536, 8192, 0, 0});
        uint32_t request_id = 2;
        for (size_t size : {0, 1, 15, 16, 17, 213, 214, 499, 500, 8000, 8100, 20000}) {
            std::vector<uint8_t> body(size);
            for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i + size);
            std::vector<uint8_t> out;
            ASSERT_EQ(sender.channel.send_message(body, request_id, out), status::Good) << size;
            for (size_t at = 0; at < out.size();) {
                const uint32_t chunk = At32(out, at + 4);
                EXPECT_LE(chunk, 8192u);
                EXPECT_EQ((chunk - 16) % layout.cipher_block, 0u) << size;
                at += chunk;
            }
            const auto events = receiver.Feed(out);
            ASSERT_EQ(events.size(), 1u) << size;
            EXPECT_EQ(events[0].kind, Kind::Response) << size;
            EXPECT_EQ(events[0].request_id, request_id) << size;
            EXPECT_EQ(events[0].body, body) << size;
            ++request_id;
        }
        // A changed byte fails the signature check and the connection.
        std::vector<uint8_t> out;
        ASSERT_EQ(sender.channel.send_message(Bytes("abc"), request_id, out), status::Good);
        out[out.size() - layout.cipher_block] ^= 1;
        const auto events = receiver.Feed(out);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].status, status::BadSecurityChecksFailed);
    }
}

} // namespace
} // namespace ostrand::ua
