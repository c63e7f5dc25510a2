// The client side of UA Secure Conversation: see ua_channel.h.
//
// Chunk layout (OPC UA Part 6, MessageChunk structure):
//   header (8) | SecureChannelId (4) | security header | sequence header (8) | body
//   | padding (encrypted chunks only) | signature
// The security header is asymmetric for OPN (policy URI, sender certificate,
// receiver thumbprint) and symmetric for MSG and CLO (token id). The signature
// covers everything before it; encryption covers everything after the
// security header.
#include "ua_channel.h"

#include <algorithm>
#include <chrono>

namespace ostrand {

namespace {

using namespace uastatus;

constexpr size_t kChannelHeaderSize = kMessageHeaderSize + 4;

void append_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A String or ByteString: Int32 length (-1: null) and the bytes.
void append_bytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    append_u32(out, bytes.empty() ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Reads header fields of an incoming chunk; any read past the end sets `ok`
// false and returns zeros or empty spans from then on.
struct Fields {
    std::span<const uint8_t> data;
    size_t at = 0;
    bool ok = true;

    uint32_t u32() {
        if (!ok || data.size() - at < 4) {
            ok = false;
            return 0;
        }
        const uint8_t* p = data.data() + at;
        at += 4;
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
    // A String or ByteString of at most `limit` bytes; null reads as empty.
    std::span<const uint8_t> bytes(size_t limit) {
        const int32_t length = static_cast<int32_t>(u32());
        if (!ok || length < 0) return {};
        const auto n = static_cast<size_t>(length);
        if (n > limit || n > data.size() - at) {
            ok = false;
            return {};
        }
        at += n;
        return data.subspan(at - n, n);
    }
};

// Bytes of padding (size byte(s) included) so that `plain` bytes plus padding
// plus signature fill whole plaintext blocks.
size_t padding_for(size_t plain, const SecurityPolicy::Sizes& s) {
    if (!s.encrypts) return 0;
    const size_t fields = s.cipher_block > 256 ? 2 : 1;
    const size_t used = plain + fields + s.signature;
    return fields + (s.plain_block - used % s.plain_block) % s.plain_block;
}

// The largest body that fits one chunk of `chunk_size` bytes whose headers
// up to the sequence header take `header` bytes.
size_t max_body(size_t chunk_size, size_t header, const SecurityPolicy::Sizes& s) {
    if (chunk_size <= header) return 0;
    size_t room = chunk_size - header;
    if (s.encrypts) room = room / s.cipher_block * s.plain_block - (s.cipher_block > 256 ? 2 : 1);
    const size_t fixed = kSequenceHeaderSize + s.signature;
    return room > fixed ? room - fixed : 0;
}

// Signs and encrypts a chunk laid out in `chunk` (signature space included);
// `secured_from` is where the sequence header starts.
uint32_t seal(SecurityPolicy& policy, SecurityPolicy::Keys keys, std::vector<uint8_t>& chunk,
              size_t secured_from) {
    const SecurityPolicy::Sizes s = policy.sizes(keys);
    const size_t signed_end = chunk.size() - s.signature;
    if (uint32_t st = policy.sign(keys, std::span(chunk).first(signed_end), std::span(chunk).subspan(signed_end)))
        return st;
    if (!s.encrypts) return kGood;
    std::vector<uint8_t> sealed(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(secured_from));
    if (uint32_t st = policy.encrypt(keys, std::span(chunk).subspan(secured_from), sealed)) return st;
    chunk.swap(sealed);
    return kGood;
}

// Decrypts and verifies one incoming chunk; on success `plain` holds the
// sequence header and the body, padding and signature removed.
uint32_t unseal(SecurityPolicy& policy, SecurityPolicy::Keys keys, std::span<const uint8_t> chunk,
                size_t secured_from, std::vector<uint8_t>& scratch, std::span<const uint8_t>* plain) {
    const SecurityPolicy::Sizes s = policy.sizes(keys);
    std::span<const uint8_t> whole = chunk;
    if (s.encrypts) {
        if ((chunk.size() - secured_from) % s.cipher_block != 0) return kBadSecurityChecksFailed;
        scratch.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(secured_from));
        if (uint32_t st = policy.decrypt(keys, chunk.subspan(secured_from), scratch)) return st;
        whole = scratch;
    }
    if (whole.size() < secured_from + kSequenceHeaderSize + s.signature) return kBadSecurityChecksFailed;
    const size_t signed_end = whole.size() - s.signature;
    if (uint32_t st = policy.verify(keys, whole.first(signed_end), whole.subspan(signed_end))) return st;
    size_t end = signed_end;
    if (s.encrypts) {
        // PaddingSize, that many bytes of the same value, then ExtraPaddingSize
        // (the high byte) for keys over 2048 bits.
        const bool extra = s.cipher_block > 256;
        if (end < secured_from + kSequenceHeaderSize + (extra ? 2 : 1)) return kBadSecurityChecksFailed;
        size_t count = whole[end - 1];
        if (extra) count = count << 8 | whole[end - 2];
        const size_t fields = extra ? 2 : 1;
        if (count + fields > end - secured_from - kSequenceHeaderSize) return kBadSecurityChecksFailed;
        const size_t pad_start = end - fields - count;
        const auto low = static_cast<uint8_t>(count & 0xFF);
        for (size_t i = pad_start; i < end - (extra ? 1 : 0); ++i)
            if (whole[i] != low) return kBadSecurityChecksFailed;
        end = pad_start;
    }
    *plain = whole.subspan(secured_from, end - secured_from);
    return kGood;
}

} // namespace

uint32_t next_sequence_number(uint32_t last) {
    return last > kSequenceWrapAbove ? 1 : last + 1;
}

bool follows(uint32_t last, uint32_t received) {
    if (last > kSequenceWrapAbove && received < 1024) return true;
    return last != 0xFFFFFFFFu && received == last + 1;
}

SecureChannel::SecureChannel(std::unique_ptr<SecurityPolicy> policy, const TransportLimits& ours)
    : policy_(std::move(policy)), ours_(ours), framer_(ours.receive_buffer_size) {
    assembler_.set_limits(ours.max_message_size, ours.max_chunk_count);
}

std::vector<uint8_t> SecureChannel::hello(std::string_view endpoint_url) {
    if (token_.token_id != 0) policy_->forget_keys(token_.token_id);
    drop_previous();
    framer_.reset();
    assembler_.reset();
    limits_ = {};
    failure_ = kGood;
    token_ = {};
    pending_channel_id_ = 0;
    open_pending_ = token_pending_ = received_any_ = false;
    renew_at_ = expires_at_ = SteadyTime::max();
    send_sequence_ = receive_sequence_ = 0;
    std::vector<uint8_t> hel = encode_hello(ours_, endpoint_url);
    if (hel.empty()) {
        fail(kBadTcpEndpointUrlInvalid);
        return hel;
    }
    state_ = State::HelloSent;
    return hel;
}

uint32_t SecureChannel::next_request_id() {
    if (++request_id_ == 0) request_id_ = 1;
    return request_id_;
}

uint32_t SecureChannel::send_open(std::span<const uint8_t> body, uint32_t request_id, std::vector<uint8_t>& out) {
    if ((state_ != State::Acknowledged && state_ != State::Open) || open_pending_ || token_pending_)
        return kBadInvalidState;
    const uint32_t st = send(MessageType::Open, body, request_id, out);
    if (st == kGood) open_pending_ = true;
    return st;
}

uint32_t SecureChannel::send_message(std::span<const uint8_t> body, uint32_t request_id,
                                     std::vector<uint8_t>& out) {
    if (state_ != State::Open) return kBadInvalidState;
    return send(MessageType::Message, body, request_id, out);
}

uint32_t SecureChannel::send_close(std::span<const uint8_t> body, uint32_t request_id, std::vector<uint8_t>& out) {
    if (state_ != State::Open) return kBadInvalidState;
    const uint32_t st = send(MessageType::Close, body, request_id, out);
    if (st == kGood) state_ = State::Closed;
    return st;
}

uint32_t SecureChannel::send(MessageType type, std::span<const uint8_t> body, uint32_t request_id,
                             std::vector<uint8_t>& out) {
    const bool open = type == MessageType::Open;
    const SecurityPolicy::Keys keys{open, token_.token_id};
    std::vector<uint8_t> security;
    if (open) {
        const std::string_view uri = policy_->uri();
        append_bytes(security, std::span(reinterpret_cast<const uint8_t*>(uri.data()), uri.size()));
        append_bytes(security, policy_->local_certificate());
        append_bytes(security, policy_->remote_thumbprint());
    } else {
        append_u32(security, token_.token_id);
    }
    const SecurityPolicy::Sizes s = policy_->sizes(keys);
    const size_t header = kChannelHeaderSize + security.size();
    std::vector<std::span<const uint8_t>> pieces;
    if (uint32_t st = split_body(body, max_body(limits_.send_chunk_size, header, s), limits_, &pieces)) return st;
    // Only MSG may take several chunks.
    if (type != MessageType::Message && pieces.size() > 1) return kBadRequestTooLarge;

    std::vector<uint8_t> chunks;
    uint32_t sequence = send_sequence_;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::span<const uint8_t> piece = pieces[i];
        const size_t plain = kSequenceHeaderSize + piece.size();
        const size_t padding = padding_for(plain, s);
        size_t secured = plain + padding + s.signature;
        if (s.encrypts) secured = secured / s.plain_block * s.cipher_block;
        const ChunkType chunk_type = i + 1 == pieces.size() ? ChunkType::Final : ChunkType::Intermediate;

        std::vector<uint8_t> chunk(kMessageHeaderSize);
        encode_header({type, chunk_type, static_cast<uint32_t>(header + secured)}, chunk.data());
        append_u32(chunk, open && state_ != State::Open ? 0 : token_.channel_id);
        chunk.insert(chunk.end(), security.begin(), security.end());
        sequence = next_sequence_number(sequence);
        append_u32(chunk, sequence);
        append_u32(chunk, request_id);
        chunk.insert(chunk.end(), piece.begin(), piece.end());
        if (padding > 0) {
            const size_t count = padding - (s.cipher_block > 256 ? 2 : 1);
            chunk.insert(chunk.end(), count + 1, static_cast<uint8_t>(count & 0xFF));
            if (s.cipher_block > 256) chunk.push_back(static_cast<uint8_t>(count >> 8));
        }
        chunk.resize(chunk.size() + s.signature);
        if (uint32_t st = seal(*policy_, keys, chunk, header)) return st;
        if (chunk.size() != header + secured) return kBadSecurityChecksFailed;
        chunks.insert(chunks.end(), chunk.begin(), chunk.end());
    }
    send_sequence_ = sequence;
    out.insert(out.end(), chunks.begin(), chunks.end());
    return kGood;
}

void SecureChannel::receive(std::span<const uint8_t> bytes) {
    if (state_ != State::Failed) framer_.append(bytes);
}

ChannelEvent SecureChannel::next(SteadyTime now) {
    // After CLO the server only closes the socket; whatever is in flight is moot.
    if (state_ == State::Failed || state_ == State::Idle || state_ == State::Closed) return {};
    if (token_pending_) return fail(kBadInvalidState, "the OPN response was not answered with accept_token");
    if (previous_.id != 0 && now >= previous_.expires) drop_previous();
    uint32_t status = kGood;
    for (;;) {
        const std::span<const uint8_t> chunk = framer_.next(&status);
        if (status != kGood) return fail(status);
        if (chunk.empty()) return {};
        ChannelEvent e = take_chunk(chunk, now);
        if (e.kind != ChannelEvent::Kind::None) return e;
    }
}

ChannelEvent SecureChannel::take_chunk(std::span<const uint8_t> chunk, SteadyTime now) {
    using Kind = ChannelEvent::Kind;
    const MessageHeader header = *decode_header(chunk); // the framer checked it
    const std::span<const uint8_t> rest = chunk.subspan(kMessageHeaderSize);
    switch (header.type) {
    case MessageType::Acknowledge: {
        if (state_ != State::HelloSent) return fail(kBadTcpMessageTypeInvalid, "unexpected ACK");
        const auto ack = decode_acknowledge(rest);
        if (!ack) return fail(kBadDecodingError, "truncated ACK");
        if (uint32_t st = negotiate(ours_, *ack, &limits_)) return fail(st, "ACK with buffers below 8192 bytes");
        framer_.set_max_chunk_size(limits_.receive_chunk_size);
        assembler_.set_limits(limits_.receive_message_size, limits_.receive_chunk_count);
        state_ = State::Acknowledged;
        return {Kind::Acknowledged, 0, kGood, {}, {}};
    }
    case MessageType::Error: {
        const auto err = decode_error(rest);
        if (!err) return fail(kBadDecodingError, "truncated ERR");
        return fail(is_bad(err->status) ? err->status : kBadDecodingError, err->reason);
    }
    case MessageType::Open:
    case MessageType::Message:
        break;
    default:
        return fail(kBadTcpMessageTypeInvalid, "unexpected message type");
    }

    const bool open = header.type == MessageType::Open;
    if (open ? !open_pending_ : state_ != State::Open) return fail(kBadTcpMessageTypeInvalid, "unexpected chunk");
    Fields f{chunk, kMessageHeaderSize};
    const uint32_t channel_id = f.u32();
    SecurityPolicy::Keys keys{open, 0};
    if (open) {
        const auto uri = f.bytes(kMaxPolicyUriLength);
        const auto certificate = f.bytes(chunk.size());
        const auto thumbprint = f.bytes(chunk.size());
        if (!f.ok) return fail(kBadDecodingError, "truncated security header");
        if (std::string_view(reinterpret_cast<const char*>(uri.data()), uri.size()) != policy_->uri())
            return fail(kBadSecurityPolicyRejected);
        if (uint32_t st = policy_->check_remote(certificate, thumbprint)) return fail(st);
        if (channel_id == 0 || (state_ == State::Open && channel_id != token_.channel_id))
            return fail(kBadSecureChannelIdInvalid);
    } else {
        keys.token_id = f.u32();
        if (!f.ok) return fail(kBadDecodingError, "truncated security header");
        if (channel_id != token_.channel_id) return fail(kBadSecureChannelIdInvalid);
        if (uint32_t st = check_token(keys.token_id, now)) return fail(st);
    }

    std::vector<uint8_t> scratch;
    std::span<const uint8_t> plain;
    if (uint32_t st = unseal(*policy_, keys, chunk, f.at, scratch, &plain)) return fail(st);
    Fields seq{plain};
    const uint32_t sequence_number = seq.u32();
    const uint32_t request_id = seq.u32();
    if (received_any_ && !follows(receive_sequence_, sequence_number)) return fail(kBadSequenceNumberInvalid);
    received_any_ = true;
    receive_sequence_ = sequence_number;
    const std::span<const uint8_t> body = plain.subspan(kSequenceHeaderSize);

    if (open) {
        open_pending_ = false;
        token_pending_ = true;
        pending_channel_id_ = channel_id;
        return {Kind::OpenResponse, request_id, kGood, {}, std::vector<uint8_t>(body.begin(), body.end())};
    }
    switch (assembler_.add(header.chunk, request_id, body)) {
    case MessageAssembler::Outcome::Partial:
        return {};
    case MessageAssembler::Outcome::Complete:
        return {Kind::Response, request_id, kGood, {}, assembler_.take()};
    case MessageAssembler::Outcome::Aborted:
        return {Kind::Aborted, request_id, assembler_.abort().status, assembler_.abort().reason, {}};
    case MessageAssembler::Outcome::Failed:
        break;
    }
    return fail(assembler_.status(), "message over the limits or interleaved");
}

uint32_t SecureChannel::accept_token(const ChannelToken& token, std::span<const uint8_t> client_nonce,
                                     std::span<const uint8_t> server_nonce, SteadyTime now) {
    if (!token_pending_) return kBadInvalidState;
    token_pending_ = false;
    if (token.channel_id != pending_channel_id_) return fail(kBadSecureChannelIdInvalid).status;
    if (token.token_id == 0 || token.token_id == token_.token_id || token.revised_lifetime == 0)
        return fail(kBadSecureChannelTokenUnknown).status;
    if (uint32_t st = policy_->derive_keys(token.token_id, client_nonce, server_nonce)) return fail(st).status;
    if (state_ == State::Open) {
        // The server may still use the old token for what it sent before it
        // saw ours; keep it until it expires.
        drop_previous();
        previous_ = {token_.token_id, expires_at_};
    }
    token_ = token;
    const auto lifetime = std::chrono::milliseconds(token.revised_lifetime);
    renew_at_ = now + lifetime * 3 / 4;
    expires_at_ = now + lifetime;
    state_ = State::Open;
    return kGood;
}

uint32_t SecureChannel::check_token(uint32_t token_id, SteadyTime now) {
    if (token_id == token_.token_id) return kGood;
    if (previous_.id != 0 && token_id == previous_.id && now < previous_.expires) return kGood;
    return kBadSecureChannelTokenUnknown;
}

void SecureChannel::drop_previous() {
    if (previous_.id != 0) policy_->forget_keys(previous_.id);
    previous_ = {};
}

ChannelEvent SecureChannel::fail(uint32_t status, std::string reason) {
    state_ = State::Failed;
    failure_ = status;
    token_pending_ = false;
    ChannelEvent e;
    e.kind = ChannelEvent::Kind::Failed;
    e.status = status;
    e.reason = std::move(reason);
    return e;
}

} // namespace ostrand
