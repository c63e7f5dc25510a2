// The client side of UA Secure Conversation: see ua/secure_channel/channel.h.
//
// Chunk layout (OPC UA Part 6, MessageChunk structure):
//   header (8) | SecureChannelId (4) | security header | sequence header (8) | body
//   | padding (encrypted chunks only) | signature
// The security header is asymmetric for OPN (policy URI, sender certificate,
// receiver thumbprint) and symmetric for MSG and CLO (token id). The signature
// covers everything before it; encryption covers everything after the
// security header.
#include "ua/secure_channel/channel.h"

#include "ua/encoding/codec.h"

#include <algorithm>
#include <chrono>

namespace ostrand::ua {

namespace {

constexpr size_t kChannelHeaderSize = kMessageHeaderSize + 4;

std::span<const uint8_t> as_bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

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
    if (s.encrypts) room = room / s.cipher_block * s.plain_block; // whole blocks only
    const size_t fixed =
        kSequenceHeaderSize + s.signature + (s.encrypts ? (s.cipher_block > 256 ? 2 : 1) : 0);
    return room > fixed ? room - fixed : 0;
}

// Signs and encrypts a chunk laid out in `chunk` (signature space included);
// `secured_from` is where the sequence header starts.
StatusCode seal(SecurityPolicy& policy, SecurityPolicy::Keys keys, std::vector<uint8_t>& chunk,
                size_t secured_from) {
    const SecurityPolicy::Sizes s = policy.sizes(keys);
    const size_t signed_end = chunk.size() - s.signature;
    if (StatusCode st =
            policy.sign(keys, std::span(chunk).first(signed_end), std::span(chunk).subspan(signed_end)))
        return st;
    if (!s.encrypts) return status::Good;
    std::vector<uint8_t> sealed(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(secured_from));
    if (StatusCode st = policy.encrypt(keys, std::span(chunk).subspan(secured_from), sealed)) return st;
    chunk.swap(sealed);
    return status::Good;
}

// Decrypts and verifies one incoming chunk; on success `plain` holds the
// sequence header and the body, padding and signature removed.
StatusCode unseal(SecurityPolicy& policy, SecurityPolicy::Keys keys, std::span<const uint8_t> chunk,
                  size_t secured_from, std::vector<uint8_t>& scratch, std::span<const uint8_t>* plain) {
    const SecurityPolicy::Sizes s = policy.sizes(keys);
    std::span<const uint8_t> whole = chunk;
    if (s.encrypts) {
        if ((chunk.size() - secured_from) % s.cipher_block != 0) return status::BadSecurityChecksFailed;
        scratch.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(secured_from));
        if (StatusCode st = policy.decrypt(keys, chunk.subspan(secured_from), scratch)) return st;
        whole = scratch;
    }
    if (whole.size() < secured_from + kSequenceHeaderSize + s.signature)
        return status::BadSecurityChecksFailed;
    const size_t signed_end = whole.size() - s.signature;
    if (StatusCode st = policy.verify(keys, whole.first(signed_end), whole.subspan(signed_end))) return st;
    size_t end = signed_end;
    if (s.encrypts) {
        // PaddingSize, that many bytes of the same value, then ExtraPaddingSize
        // (the high byte) for keys over 2048 bits.
        const bool extra = s.cipher_block > 256;
        if (end < secured_from + kSequenceHeaderSize + (extra ? 2 : 1))
            return status::BadSecurityChecksFailed;
        size_t count = whole[end - 1];
        if (extra) count = count << 8 | whole[end - 2];
        const size_t fields = extra ? 2 : 1;
        if (count + fields > end - secured_from - kSequenceHeaderSize) return status::BadSecurityChecksFailed;
        const size_t pad_start = end - fields - count;
        const auto low = static_cast<uint8_t>(count & 0xFF);
        for (size_t i = pad_start; i < end - (extra ? 1 : 0); ++i)
            if (whole[i] != low) return status::BadSecurityChecksFailed;
        end = pad_start;
    }
    *plain = whole.subspan(secured_from, end - secured_from);
    return status::Good;
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
    failure_ = status::Good;
    token_ = {};
    open_pending_ = received_any_ = false;
    client_nonce_.reset();
    renew_at_ = expires_at_ = SteadyTime::max();
    send_sequence_ = receive_sequence_ = 0;
    std::vector<uint8_t> hel = encode_hello(ours_, endpoint_url);
    if (hel.empty()) {
        fail(status::BadTcpEndpointUrlInvalid);
        return hel;
    }
    state_ = State::HelloSent;
    return hel;
}

uint32_t SecureChannel::next_request_id() {
    if (++request_id_ == 0) request_id_ = 1;
    return request_id_;
}

StatusCode SecureChannel::send_open(OpenSecureChannelRequest request, uint32_t request_id,
                                    std::vector<uint8_t>& out) {
    if ((state_ != State::Acknowledged && state_ != State::Open) || open_pending_)
        return status::BadInvalidState;
    request.request_type = open_type();
    request.security_mode = policy_->mode();
    Writer w;
    encode_message(w, request);
    const StatusCode st = send(MessageType::Open, w.bytes(), request_id, out);
    if (st != status::Good) return st;
    open_pending_ = true;
    open_request_id_ = request_id;
    client_nonce_ = request.client_nonce;
    return st;
}

StatusCode SecureChannel::send_message(std::span<const uint8_t> message, uint32_t request_id,
                                       std::vector<uint8_t>& out) {
    if (state_ != State::Open) return status::BadInvalidState;
    return send(MessageType::Message, message, request_id, out);
}

StatusCode SecureChannel::send_close(std::span<const uint8_t> message, uint32_t request_id,
                                     std::vector<uint8_t>& out) {
    if (state_ != State::Open) return status::BadInvalidState;
    const StatusCode st = send(MessageType::Close, message, request_id, out);
    if (st == status::Good) state_ = State::Closed;
    return st;
}

StatusCode SecureChannel::send(MessageType type, std::span<const uint8_t> message, uint32_t request_id,
                               std::vector<uint8_t>& out) {
    const bool open = type == MessageType::Open;
    const SecurityPolicy::Keys keys{open, token_.token_id};
    Writer security;
    if (open) {
        security.string(std::string(policy_->uri()));
        for (std::span<const uint8_t> field : {policy_->local_certificate(), policy_->remote_thumbprint()}) {
            if (field.empty())
                security.byte_string(std::nullopt);
            else
                security.byte_string(std::string(field.begin(), field.end()));
        }
    } else {
        security.uint32(token_.token_id);
    }
    const SecurityPolicy::Sizes s = policy_->sizes(keys);
    const size_t header = kChannelHeaderSize + security.size();
    std::vector<std::span<const uint8_t>> pieces;
    if (StatusCode st = split_body(message, max_body(limits_.send_chunk_size, header, s), limits_, &pieces))
        return st;
    // Only MSG may take several chunks.
    if (type != MessageType::Message && pieces.size() > 1) return status::BadRequestTooLarge;

    std::vector<uint8_t> chunks;
    uint32_t sequence = send_sequence_;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::span<const uint8_t> piece = pieces[i];
        const size_t padding = padding_for(kSequenceHeaderSize + piece.size(), s);
        size_t secured = kSequenceHeaderSize + piece.size() + padding + s.signature;
        if (s.encrypts) secured = secured / s.plain_block * s.cipher_block;
        const ChunkType chunk_type = i + 1 == pieces.size() ? ChunkType::Final : ChunkType::Intermediate;

        Writer w{std::vector<uint8_t>(kMessageHeaderSize)};
        w.uint32(open && state_ != State::Open ? 0 : token_.channel_id);
        w.raw(security.bytes());
        sequence = next_sequence_number(sequence);
        w.uint32(sequence);
        w.uint32(request_id);
        w.raw(piece);
        if (padding > 0) {
            // PaddingSize, that many bytes of its value, and ExtraPaddingSize
            // (the high byte) when the cipher block is over 256 bytes.
            const size_t count = padding - (s.cipher_block > 256 ? 2 : 1);
            for (size_t n = 0; n <= count; ++n)
                w.byte(static_cast<uint8_t>(count & 0xFF));
            if (s.cipher_block > 256) w.byte(static_cast<uint8_t>(count >> 8));
        }
        std::vector<uint8_t> chunk = w.take();
        encode_header({type, chunk_type, static_cast<uint32_t>(header + secured)}, chunk.data());
        chunk.resize(chunk.size() + s.signature);
        if (StatusCode st = seal(*policy_, keys, chunk, header)) return st;
        if (chunk.size() != header + secured) return status::BadSecurityChecksFailed;
        chunks.insert(chunks.end(), chunk.begin(), chunk.end());
    }
    send_sequence_ = sequence;
    out.insert(out.end(), chunks.begin(), chunks.end());
    return status::Good;
}

void SecureChannel::receive(std::span<const uint8_t> bytes) {
    if (state_ != State::Failed) framer_.append(bytes);
}

ChannelEvent SecureChannel::next(SteadyTime now) {
    // After CLO the server only closes the socket; whatever is in flight is moot.
    if (state_ == State::Failed || state_ == State::Idle || state_ == State::Closed) return {};
    if (previous_.id != 0 && now >= previous_.expires) drop_previous();
    StatusCode st = status::Good;
    for (;;) {
        const std::span<const uint8_t> chunk = framer_.next(&st);
        if (st != status::Good) return fail(st);
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
        if (state_ != State::HelloSent) return fail(status::BadTcpMessageTypeInvalid, "unexpected ACK");
        const auto ack = decode_acknowledge(rest);
        if (!ack) return fail(status::BadDecodingError, "truncated ACK");
        if (StatusCode st = negotiate(ours_, *ack, &limits_))
            return fail(st, "ACK with buffers below 8192 bytes");
        framer_.set_max_chunk_size(limits_.receive_chunk_size);
        assembler_.set_limits(limits_.receive_message_size, limits_.receive_chunk_count);
        state_ = State::Acknowledged;
        ChannelEvent e;
        e.kind = Kind::Acknowledged;
        return e;
    }
    case MessageType::Error: {
        const auto err = decode_error(rest);
        if (!err) return fail(status::BadDecodingError, "truncated ERR");
        return fail(is_bad(err->status) ? err->status : status::BadDecodingError, err->reason);
    }
    case MessageType::Open:
    case MessageType::Message:
        break;
    default:
        return fail(status::BadTcpMessageTypeInvalid, "unexpected message type");
    }

    const bool open = header.type == MessageType::Open;
    if (open ? !open_pending_ : state_ != State::Open)
        return fail(status::BadTcpMessageTypeInvalid, "unexpected chunk");
    Reader r(chunk);
    r.skip(kMessageHeaderSize);
    const uint32_t channel_id = r.uint32();
    SecurityPolicy::Keys keys{open, 0, true};
    if (open) {
        const String uri = r.string();
        const ByteString certificate = r.byte_string();
        const ByteString thumbprint = r.byte_string();
        if (!r.ok()) return fail(status::BadDecodingError, "truncated security header");
        if (uri.value_or("") != policy_->uri()) return fail(kBadSecurityPolicyRejected);
        if (StatusCode st =
                policy_->check_remote(as_bytes(certificate.value_or("")), as_bytes(thumbprint.value_or(""))))
            return fail(st);
        if (channel_id == 0 || (state_ == State::Open && channel_id != token_.channel_id))
            return fail(status::BadSecureChannelIdInvalid);
    } else {
        keys.token_id = r.uint32();
        if (!r.ok()) return fail(status::BadDecodingError, "truncated security header");
        if (channel_id != token_.channel_id) return fail(status::BadSecureChannelIdInvalid);
        if (StatusCode st = check_token(keys.token_id, now)) return fail(st);
    }

    std::vector<uint8_t> scratch;
    std::span<const uint8_t> plain;
    if (StatusCode st = unseal(*policy_, keys, chunk, r.position(), scratch, &plain)) return fail(st);
    Reader sequence_header(plain);
    const uint32_t sequence_number = sequence_header.uint32();
    const uint32_t request_id = sequence_header.uint32();
    if (received_any_ && !follows(receive_sequence_, sequence_number))
        return fail(status::BadSequenceNumberInvalid);
    received_any_ = true;
    receive_sequence_ = sequence_number;
    const std::span<const uint8_t> body = plain.subspan(kSequenceHeaderSize);

    if (open) return open_response(channel_id, request_id, body, now);
    ChannelEvent e;
    e.request_id = request_id;
    switch (assembler_.add(header.chunk, request_id, body)) {
    case MessageAssembler::Outcome::Partial:
        return {};
    case MessageAssembler::Outcome::Complete:
        e.kind = Kind::Response;
        e.body = assembler_.take();
        return e;
    case MessageAssembler::Outcome::Aborted:
        e.kind = Kind::Aborted;
        e.status = assembler_.abort().status;
        e.reason = assembler_.abort().reason;
        return e;
    case MessageAssembler::Outcome::Failed:
        break;
    }
    return fail(assembler_.status(), "message over the limits or interleaved");
}

ChannelEvent SecureChannel::open_response(uint32_t channel_id, uint32_t request_id,
                                          std::span<const uint8_t> message, SteadyTime now) {
    open_pending_ = false;
    Reader r(message);
    Response decoded;
    if (!decode_response(r, decoded)) return fail(status::BadDecodingError, "undecodable OPN response");
    const StatusCode result = response_header(decoded).service_result;
    const auto* response = std::get_if<OpenSecureChannelResponse>(&decoded);
    if (is_bad(result) || !response) return fail(is_bad(result) ? result : status::BadUnknownResponse);
    const ChannelSecurityToken& token = response->security_token;
    if (token.channel_id != channel_id)
        return fail(status::BadSecureChannelIdInvalid, "token of another channel");
    if (token.token_id == 0 || token.token_id == token_.token_id || token.revised_lifetime == 0)
        return fail(status::BadSecureChannelTokenUnknown, "unusable token");
    if (request_id != open_request_id_)
        return fail(status::BadSecurityChecksFailed, "OPN response to another request");
    const size_t nonce_length = policy_->nonce_length();
    if (nonce_length != 0 && response->server_nonce.value_or("").size() != nonce_length)
        return fail(status::BadNonceInvalid, "server nonce of " + std::to_string(response->server_nonce.value_or("").size()) +
                                                 " bytes, not " + std::to_string(nonce_length));
    if (StatusCode st = policy_->derive_keys(token.token_id, as_bytes(client_nonce_.value_or("")),
                                             as_bytes(response->server_nonce.value_or(""))))
        return fail(st);
    if (state_ == State::Open) {
        // The server may still use the old token for what it sent before it
        // saw the new one; keep it until it expires.
        drop_previous();
        previous_ = {token_.token_id, expires_at_};
    }
    token_ = token;
    const auto lifetime = std::max(std::chrono::milliseconds(token.revised_lifetime), kMinTokenLifetime);
    renew_at_ = now + lifetime * 3 / 4;
    expires_at_ = now + lifetime;
    state_ = State::Open;
    ChannelEvent e;
    e.kind = ChannelEvent::Kind::Opened;
    e.request_id = request_id;
    e.body.assign(message.begin(), message.end());
    return e;
}

StatusCode SecureChannel::check_token(uint32_t token_id, SteadyTime now) const {
    if (token_id == token_.token_id) return status::Good;
    if (previous_.id != 0 && token_id == previous_.id && now < previous_.expires) return status::Good;
    return status::BadSecureChannelTokenUnknown;
}

void SecureChannel::drop_previous() {
    if (previous_.id != 0) policy_->forget_keys(previous_.id);
    previous_ = {};
}

ChannelEvent SecureChannel::fail(StatusCode status, std::string reason) {
    state_ = State::Failed;
    failure_ = status;
    open_pending_ = false;
    ChannelEvent e;
    e.kind = ChannelEvent::Kind::Failed;
    e.status = status;
    e.reason = std::move(reason);
    return e;
}

} // namespace ostrand::ua
