// The chunk layer and secure channel of the OPC UA client: the golden
// session both ways, reassembly from any split, limits, aborts, the channel's
// id/token/sequence checks, renewal, and the padding and signature layout the
// channel computes for a security policy.
#include "../golden.h"
#include "../server_chunks.h"
#include "ua/secure_channel/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace ostrand::ua {
namespace {

using namespace std::chrono_literals;
namespace golden = quorvane::test::ua_golden;
using test::ServerChunks;
using Kind = ChannelEvent::Kind;
using Chunks = std::vector<std::vector<uint8_t>>;

const SteadyTime kT0 = SteadyTime{} + 1000s;
const ChannelSecurityToken kToken{1, 1, 0, 600000};

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }
uint32_t At32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// A client channel driven as the engine drives it: the ACK answered by an OPN.
struct Client {
    explicit Client(const TransportLimits& ours = {}, std::unique_ptr<SecurityPolicy> policy = nullptr)
        : channel(policy ? std::move(policy) : std::make_unique<NonePolicy>(), ours) {
        channel.hello(golden::kEndpointUrl);
    }
    std::vector<ChannelEvent> Feed(std::span<const uint8_t> bytes, SteadyTime now = kT0) {
        channel.receive(bytes);
        std::vector<ChannelEvent> events;
        for (ChannelEvent e = channel.next(now); e.kind != Kind::None; e = channel.next(now)) {
            if (e.kind == Kind::Acknowledged) channel.send_open({}, channel.next_request_id(), sent);
            events.push_back(std::move(e));
        }
        return events;
    }
    // ACK with the server's `limits`, then an OPN response with `token`.
    void Open(ServerChunks& server, const ChannelSecurityToken& token = kToken,
              const TransportLimits& limits = {}) {
        Feed(ServerChunks::Ack(limits));
        ASSERT_EQ(Feed(server.Open(1, ServerChunks::OpenResponse(token))).at(0).kind, Kind::Opened);
    }
    SecureChannel channel;
    std::vector<uint8_t> sent;
};

TEST(UaChunks, GoldenClientChunksAreReproducedByteForByte) {
    // The golden client announced no message size or chunk count limit.
    SecureChannel channel(std::make_unique<NonePolicy>(), {0, 65536, 65536, 0, 0});
    EXPECT_EQ(channel.hello(golden::kEndpointUrl), golden::load("01_c2s_Hello.bin"));
    channel.receive(golden::load("02_s2c_Acknowledge.bin"));
    ASSERT_EQ(channel.next(kT0).kind, Kind::Acknowledged);
    EXPECT_EQ(channel.limits().send_chunk_size, 65536u);
    EXPECT_EQ(channel.limits().send_message_size, 16u << 20);
    for (const golden::ClientMessage& m : golden::client_messages()) {
        std::vector<uint8_t> out;
        const uint32_t id = channel.next_request_id();
        ASSERT_EQ(id, m.request_id);
        const auto body = golden::load_body(m.file);
        if (m.request_id == 1) {
            const auto& request = std::get<OpenSecureChannelRequest>(m.request);
            ASSERT_EQ(channel.send_open(request, id, out), status::Good);
            channel.receive(golden::load("04_s2c_OpenSecureChannelResponse.bin"));
            ASSERT_EQ(channel.next(kT0).kind, Kind::Opened);
        } else if (std::holds_alternative<CloseSecureChannelRequest>(m.request)) {
            ASSERT_EQ(channel.send_close(body, id, out), status::Good);
        } else {
            ASSERT_EQ(channel.send_message(body, id, out), status::Good);
        }
        EXPECT_EQ(out, golden::load(m.file)) << m.file;
    }
    EXPECT_EQ(channel.token().token_id, 1u);
    EXPECT_EQ(channel.renew_at(), kT0 + 450s); // 75 % of 600000 ms
    EXPECT_EQ(channel.expires_at(), kT0 + 600s);
    EXPECT_EQ(channel.state(), SecureChannel::State::Closed);
}

TEST(UaChunks, GoldenServerStreamReassemblesFromAnySplit) {
    std::vector<uint8_t> stream;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expected; // request id, message
    std::vector<std::string> names; // every server chunk, in order
    for (const auto& file : std::filesystem::directory_iterator(QV_UA_GOLDEN_DIR))
        if (file.path().filename().string().find("_s2c_") != std::string::npos)
            names.push_back(file.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const auto chunk = golden::load(name);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        const uint32_t request_id = chunk[0] == 'A' ? 0 : chunk[0] == 'O' ? 1 : At32(chunk, 20);
        expected.emplace_back(request_id, golden::load_body(name));
    }
    expected[0].second.clear(); // the ACK has no message
    auto check = [&](const std::vector<ChannelEvent>& got, size_t split) {
        ASSERT_EQ(got.size(), expected.size()) << "split at " << split;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].kind, i == 0 ? Kind::Acknowledged : i == 1 ? Kind::Opened : Kind::Response);
            EXPECT_EQ(got[i].request_id, expected[i].first) << "split at " << split << ", event " << i;
            EXPECT_EQ(got[i].body, expected[i].second) << "split at " << split << ", event " << i;
        }
    };
    const std::span<const uint8_t> all(stream);
    for (size_t split = 0; split <= stream.size() && !HasFailure(); ++split) {
        Client client;
        auto got = client.Feed(all.first(split));
        for (ChannelEvent& e : client.Feed(all.subspan(split))) got.push_back(std::move(e));
        check(got, split);
    }
    Client byte_by_byte;
    std::vector<ChannelEvent> got;
    for (size_t i = 0; i < stream.size(); ++i)
        for (ChannelEvent& e : byte_by_byte.Feed(all.subspan(i, 1))) got.push_back(std::move(e));
    check(got, 1);
}

std::vector<uint8_t> Filler(size_t n) { return std::vector<uint8_t>(n, 0x42); }
std::vector<uint8_t> RawHeader(const char* type, uint32_t size, std::vector<uint8_t> rest = {}) {
    std::vector<uint8_t> out(type, type + 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(size >> (8 * i)));
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// What the server sends at a stage of the handshake, and the connection error
// it causes (Good: one whole response).
enum Stage { kOpen, kAcknowledged, kHelloSent };
struct ErrorCase {
    const char* name;
    Chunks (*chunks)(ServerChunks&);
    StatusCode status;
    Stage stage;
};

TEST(UaChannel, ConnectionErrorsAndLimits) {
    using C = ChunkType;
    // Our limits: chunks up to 16384 bytes, messages up to 40000 bytes in 3 chunks.
    const TransportLimits ours{0, 16384, 65536, 40000, 3};
    const ErrorCase cases[] = {
        {"chunk of exactly the receive buffer",
         [](ServerChunks& s) { return Chunks{s.Msg(2, Filler(16384 - 24))}; },
         status::Good, kOpen},
        {"chunk over the receive buffer, refused from its header", [](ServerChunks&) {
             return Chunks{RawHeader("MSGF", 16385)}; }, status::BadTcpMessageTooLarge, kOpen},
        {"size below the header", [](ServerChunks&) { return Chunks{RawHeader("MSGF", 7)}; },
         status::BadTcpMessageTooLarge, kOpen},
        {"unknown message type", [](ServerChunks&) { return Chunks{RawHeader("XYZF", 8)}; },
         status::BadTcpMessageTypeInvalid, kOpen},
        {"OPN cut into chunks", [](ServerChunks&) { return Chunks{RawHeader("OPNC", 8)}; },
         status::BadTcpMessageTypeInvalid, kOpen},
        {"HEL from the server", [](ServerChunks&) { return Chunks{encode_hello({}, "opc.tcp://x")}; },
         status::BadTcpMessageTypeInvalid, kOpen},
        {"message of exactly the maximum size and chunk count", [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(16360), C::Intermediate), s.Msg(2, Filler(16360), C::Intermediate),
                           s.Msg(2, Filler(7280))}; }, status::Good, kOpen},
        {"message over the maximum size", [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(16360), C::Intermediate), s.Msg(2, Filler(16360), C::Intermediate),
                           s.Msg(2, Filler(7281))}; }, status::BadTcpMessageTooLarge, kOpen},
        {"message over the chunk count", [](ServerChunks& s) {
             return Chunks{s.Msg(2, {}, C::Intermediate), s.Msg(2, {}, C::Intermediate),
                           s.Msg(2, {}, C::Intermediate), s.Msg(2, {})}; },
         status::BadTcpMessageTooLarge, kOpen},
        {"chunks of two messages interleaved", [](ServerChunks& s) {
             return Chunks{s.Msg(2, Filler(10), C::Intermediate), s.Msg(3, Filler(10))}; },
         status::BadDecodingError, kOpen},
        {"server's ERR", [](ServerChunks&) { return Chunks{ServerChunks::Err(0x807D0000, "too busy")}; },
         0x807D0000, kOpen},
        {"wrong channel id", [](ServerChunks& s) { return ++s.channel_id, Chunks{s.Msg(2, {})}; },
         status::BadSecureChannelIdInvalid, kOpen},
        {"unknown token id", [](ServerChunks& s) { return ++s.token_id, Chunks{s.Msg(2, {})}; },
         status::BadSecureChannelTokenUnknown, kOpen},
        {"sequence number skipped", [](ServerChunks& s) { return ++s.sequence, Chunks{s.Msg(2, {})}; },
         status::BadSequenceNumberInvalid, kOpen},
        {"sequence number repeated", [](ServerChunks& s) { return --s.sequence, Chunks{s.Msg(2, {})}; },
         status::BadSequenceNumberInvalid, kOpen},
        {"truncated symmetric header",
         [](ServerChunks&) { return Chunks{RawHeader("MSGF", 14, {1, 0, 0, 0, 1, 0})}; },
         status::BadDecodingError, kOpen},
        {"OPN response nobody asked for", [](ServerChunks& s) {
             return Chunks{s.Open(2, ServerChunks::OpenResponse({1, 2, 0, 600000}))}; },
         status::BadTcpMessageTypeInvalid, kOpen},
        {"MSG before the channel is open", [](ServerChunks& s) { return Chunks{s.Msg(1, {})}; },
         status::BadTcpMessageTypeInvalid, kAcknowledged},
        {"OPN response on channel 0", [](ServerChunks& s) {
             return s.channel_id = 0, Chunks{s.Open(1, ServerChunks::OpenResponse({0, 1, 0, 600000}))}; },
         status::BadSecureChannelIdInvalid, kAcknowledged},
        {"another security policy", [](ServerChunks& s) {
             return Chunks{s.Open(1, ServerChunks::OpenResponse(kToken), "http://x/SecurityPolicy#Other")}; },
         kBadSecurityPolicyRejected, kAcknowledged},
        {"token for another channel than its header", [](ServerChunks& s) {
             return Chunks{s.Open(1, ServerChunks::OpenResponse({2, 1, 0, 600000}))}; },
         status::BadSecureChannelIdInvalid, kAcknowledged},
        {"token of no lifetime", [](ServerChunks& s) {
             return Chunks{s.Open(1, ServerChunks::OpenResponse({1, 1, 0, 0}))}; },
         status::BadSecureChannelTokenUnknown, kAcknowledged},
        {"refused OPN", [](ServerChunks& s) {
             return Chunks{s.Open(1, ServerChunks::OpenResponse(kToken, status::BadTcpServerTooBusy))}; },
         status::BadTcpServerTooBusy, kAcknowledged},
        {"ServiceFault for an OPN", [](ServerChunks& s) {
             Writer w;
             ServiceFault fault;
             fault.header.service_result = status::BadSecurityChecksFailed;
             encode_message(w, fault);
             return Chunks{s.Open(1, w.take())}; }, status::BadSecurityChecksFailed, kAcknowledged},
        {"undecodable OPN response", [](ServerChunks& s) {
             auto message = ServerChunks::OpenResponse(kToken);
             message.erase(message.end() - 5, message.end());
             return Chunks{s.Open(1, message)}; }, status::BadDecodingError, kAcknowledged},
        {"ACK with a receive buffer below 8192", [](ServerChunks&) {
             return Chunks{ServerChunks::Ack({0, 100, 65536, 0, 0})}; },
         status::BadConnectionRejected, kHelloSent},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(ours);
        ServerChunks server;
        if (c.stage == kAcknowledged) client.Feed(ServerChunks::Ack({}));
        if (c.stage == kOpen) client.Open(server);
        std::vector<ChannelEvent> events;
        for (const auto& chunk : c.chunks(server))
            for (ChannelEvent& e : client.Feed(chunk)) events.push_back(std::move(e));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, c.status == status::Good ? Kind::Response : Kind::Failed);
        EXPECT_EQ(events[0].status, c.status);
        if (c.status == status::Good) continue;
        // Nothing comes out of a failed channel.
        EXPECT_EQ(client.channel.state(), SecureChannel::State::Failed);
        client.channel.receive(server.Msg(9, Filler(3)));
        EXPECT_EQ(client.channel.next(kT0).kind, Kind::None);
    }
}

TEST(UaChannel, AbortDropsThePartialMessageAndKeepsTheChannel) {
    Client client;
    ServerChunks server;
    client.Open(server);
    EXPECT_TRUE(client.Feed(server.Msg(7, Bytes("partial"), ChunkType::Intermediate)).empty());
    auto events = client.Feed(server.Abort(7, status::BadResponseTooLarge, "too big"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Aborted);
    EXPECT_EQ(events[0].request_id, 7u);
    EXPECT_EQ(events[0].status, status::BadResponseTooLarge);
    EXPECT_EQ(events[0].reason, "too big");
    // With no chunk before it, a Good code and a reason over 4096 bytes: still
    // an abort with a Bad code, the reason ignored.
    events = client.Feed(server.Abort(8, status::Good, std::string(5000, 'r')));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].request_id, 8u);
    EXPECT_TRUE(is_bad(events[0].status));
    EXPECT_EQ(events[0].reason, "");
    events = client.Feed(server.Msg(9, Bytes("whole")));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].body, Bytes("whole"));
}

TEST(UaChannel, RenewalAcceptsTheOldTokenUntilItExpires) {
    Client client;
    ServerChunks server;
    client.Open(server, {1, 1, 0, 40000});
    SecureChannel& channel = client.channel;
    EXPECT_EQ(channel.renew_at(), kT0 + 30s);
    ASSERT_EQ(channel.open_type(), SecurityTokenRequestType::Renew);
    std::vector<uint8_t> renew, second;
    ASSERT_EQ(channel.send_open({}, 2, renew), status::Good);
    EXPECT_EQ(At32(renew, 8), 1u) << "the Renew goes out on the channel, the Issue went out on 0";
    EXPECT_EQ(channel.send_open({}, 3, second), status::BadInvalidState) << "one OPN at a time";

    const SteadyTime renewed = kT0 + 31s;
    ASSERT_EQ(client.Feed(server.Open(2, ServerChunks::OpenResponse({1, 2, 0, 40000})), renewed).at(0).kind,
              Kind::Opened);
    EXPECT_EQ(channel.token().token_id, 2u);
    EXPECT_EQ(channel.renew_at(), renewed + 30s);
    std::vector<uint8_t> request;
    ASSERT_EQ(channel.send_message(Bytes("x"), 4, request), status::Good);
    EXPECT_EQ(At32(request, 12), 2u) << "requests carry the new token";

    const std::pair<uint32_t, SteadyTime> accepted[] = {{1, kT0 + 39999ms}, {2, kT0 + 40000ms}};
    for (const auto& [token, at] : accepted) {
        server.token_id = token;
        EXPECT_EQ(client.Feed(server.Msg(5, {}), at).at(0).kind, Kind::Response) << token;
    }
    server.token_id = 1;
    const auto late = client.Feed(server.Msg(7, {}), kT0 + 40000ms);
    EXPECT_EQ(late.at(0).status, status::BadSecureChannelTokenUnknown);

    // A renewal that names another channel is refused.
    Client other;
    ServerChunks s2;
    other.Open(s2);
    ASSERT_EQ(other.channel.send_open({}, 2, other.sent), status::Good);
    s2.channel_id = 5;
    EXPECT_EQ(other.Feed(s2.Open(2, ServerChunks::OpenResponse({5, 2, 0, 4000}))).at(0).status,
              status::BadSecureChannelIdInvalid);
}

TEST(UaChannel, SequenceNumbersFollowAndWrap) {
    const uint32_t top = kSequenceWrapAbove, max = 0xFFFFFFFFu;
    const std::tuple<uint32_t, uint32_t, bool> cases[] = {
        {5, 6, true},          {5, 7, false},        {5, 5, false},          {5, 4, false},
        {top, top + 1, true},  {top, 0, false},      {top, 1, false},        {top + 1, 0, true},
        {top + 1, 1023, true}, {top + 1, 1024, false}, {max, 0, true},       {max, 1, true},
    };
    for (const auto& [last, received, follows_last] : cases)
        EXPECT_EQ(follows(last, received), follows_last) << last << " -> " << received;
    EXPECT_EQ(next_sequence_number(top), top + 1);
    EXPECT_EQ(next_sequence_number(top + 1), 1u);
}

TEST(UaChannel, LargeRequestIsSplitUnderTheServerLimits) {
    std::vector<uint8_t> body(200 * 1024);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7);
    Client client;
    ServerChunks server;
    client.Open(server, kToken, {0, 8192, 65536, 0, 0});
    std::vector<uint8_t> out, joined;
    ASSERT_EQ(client.channel.send_message(body, 2, out), status::Good);
    uint32_t sequence = 1; // the OPN had 1
    for (size_t at = 0; at < out.size();) {
        const auto h = decode_header(std::span(out).subspan(at));
        ASSERT_TRUE(h && h->size <= 8192u && h->size <= out.size() - at);
        const bool last = at + h->size == out.size();
        EXPECT_EQ(h->chunk, last ? ChunkType::Final : ChunkType::Intermediate);
        EXPECT_EQ(At32(out, at + 16), ++sequence);
        EXPECT_EQ(At32(out, at + 20), 2u);
        const auto piece = std::span(out).subspan(at + 24, h->size - 24);
        joined.insert(joined.end(), piece.begin(), piece.end());
        at += h->size;
    }
    EXPECT_EQ(joined, body);
    EXPECT_EQ(sequence, 2 + (body.size() - 1) / (8192 - 24));

    // Over the server's message size or chunk count: refused whole, and the
    // sequence numbers go on as if it had never been tried.
    for (const TransportLimits& limits :
         {TransportLimits{0, 8192, 65536, 100000, 0}, TransportLimits{0, 8192, 65536, 0, 10}}) {
        Client limited;
        ServerChunks s;
        limited.Open(s, kToken, limits);
        std::vector<uint8_t> refused;
        EXPECT_EQ(limited.channel.send_message(body, 2, refused), status::BadRequestTooLarge);
        EXPECT_TRUE(refused.empty());
        ASSERT_EQ(limited.channel.send_message(Bytes("small"), 3, refused), status::Good);
        EXPECT_EQ(At32(refused, 16), 2u);
    }
}

// "Encrypts" by XOR plus filler that stretches each plaintext block to a
// ciphertext block, "signs" with a running sum: enough to check the layout
// the channel computes from a policy's sizes. The OPN stays unsecured.
class LayoutPolicy final : public NonePolicy {
public:
    explicit LayoutPolicy(Sizes sizes) : s_(sizes) {}
    Sizes sizes(Keys keys) const override { return keys.asymmetric ? Sizes{} : s_; }
    StatusCode sign(Keys, std::span<const uint8_t> data, std::span<uint8_t> signature) override {
        uint8_t sum = 0;
        for (uint8_t b : data) sum = static_cast<uint8_t>(sum * 31 + b);
        for (uint8_t& b : signature) b = sum++;
        return status::Good;
    }
    StatusCode verify(Keys keys, std::span<const uint8_t> data, std::span<const uint8_t> signature) override {
        std::vector<uint8_t> expected(signature.size());
        sign(keys, data, expected);
        return std::ranges::equal(expected, signature) ? status::Good : status::BadSecurityChecksFailed;
    }
    StatusCode encrypt(Keys, std::span<const uint8_t> plain, std::vector<uint8_t>& out) override {
        for (size_t at = 0; at < plain.size(); at += s_.plain_block) {
            for (size_t i = 0; i < s_.plain_block; ++i) out.push_back(plain[at + i] ^ 0x5A);
            out.insert(out.end(), s_.cipher_block - s_.plain_block, 0xEE);
        }
        return plain.size() % s_.plain_block == 0 ? status::Good : status::BadSecurityChecksFailed;
    }
    StatusCode decrypt(Keys, std::span<const uint8_t> cipher, std::vector<uint8_t>& out) override {
        for (size_t at = 0; at < cipher.size(); at += s_.cipher_block)
            for (size_t i = 0; i < s_.plain_block; ++i) out.push_back(cipher[at + i] ^ 0x5A);
        return status::Good;
    }

private:
    Sizes s_;
};

TEST(UaChannel, SecurityPolicySeamPadsSignsAndEncryptsWholeBlocks) {
    const SecurityPolicy::Sizes layouts[] = {
        {16, 16, 32, true},   // AES-like: one padding size byte
        {214, 256, 20, true}, // 2048-bit RSA-like
        {500, 512, 7, true},  // over 2048 bits: the extra padding size byte
        {1, 1, 32, false},    // signed only: no padding
    };
    for (const auto& layout : layouts) {
        SCOPED_TRACE(testing::Message() << "blocks " << layout.plain_block << "/" << layout.cipher_block);
        Client sender({}, std::make_unique<LayoutPolicy>(layout));
        Client receiver({}, std::make_unique<LayoutPolicy>(layout));
        ServerChunks s1, s2;
        sender.Open(s1, kToken, {0, 8192, 8192, 0, 0});
        receiver.Open(s2, kToken);
        uint32_t request_id = 2;
        for (size_t size : {0, 1, 15, 16, 17, 213, 214, 499, 500, 8000, 8100, 20000}) {
            std::vector<uint8_t> body(size), out;
            for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i + size);
            ASSERT_EQ(sender.channel.send_message(body, ++request_id, out), status::Good) << size;
            for (size_t at = 0; at < out.size(); at += At32(out, at + 4)) {
                EXPECT_LE(At32(out, at + 4), 8192u);
                EXPECT_EQ((At32(out, at + 4) - 16) % layout.cipher_block, 0u) << size;
            }
            const auto events = receiver.Feed(out);
            ASSERT_EQ(events.size(), 1u) << size;
            EXPECT_EQ(events[0].request_id, request_id) << size;
            EXPECT_EQ(events[0].body, body) << size;
        }
        // A changed byte fails the check, and the connection.
        std::vector<uint8_t> out;
        ASSERT_EQ(sender.channel.send_message(Bytes("abc"), ++request_id, out), status::Good);
        out[out.size() - layout.cipher_block] ^= 1;
        EXPECT_EQ(receiver.Feed(out).at(0).status, status::BadSecurityChecksFailed);
    }
}

} // namespace
} // namespace ostrand::ua
