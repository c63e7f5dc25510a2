// The OPC UA connection protocol and the chunk layer: see ua/secure_channel/chunks.h.
#include "ua/secure_channel/chunks.h"

#include "ua/encoding/codec.h"

#include <algorithm>
#include <cstring>

namespace ostrand::ua {

namespace {

struct TypeName {
    MessageType type;
    char name[4];
};
constexpr TypeName kTypeNames[] = {
    {MessageType::Hello, "HEL"}, {MessageType::Acknowledge, "ACK"}, {MessageType::Error, "ERR"},
    {MessageType::ReverseHello, "RHE"}, {MessageType::Open, "OPN"}, {MessageType::Message, "MSG"},
    {MessageType::Close, "CLO"},
};

} // namespace

std::optional<MessageHeader> decode_header(std::span<const uint8_t> bytes) {
    if (bytes.size() < kMessageHeaderSize) return std::nullopt;
    const TypeName* found = nullptr;
    for (const TypeName& t : kTypeNames)
        if (std::memcmp(bytes.data(), t.name, 3) == 0) found = &t;
    if (!found) return std::nullopt;
    const uint8_t letter = bytes[3];
    if (letter != 'F' && letter != 'C' && letter != 'A') return std::nullopt;
    // Only MSG messages come in several chunks or can be aborted.
    if (letter != 'F' && found->type != MessageType::Message) return std::nullopt;
    Reader r(bytes.subspan(4, 4));
    return MessageHeader{found->type, static_cast<ChunkType>(letter), r.uint32()};
}

void encode_header(const MessageHeader& header, uint8_t* out) {
    for (const TypeName& t : kTypeNames)
        if (t.type == header.type) std::memcpy(out, t.name, 3);
    out[3] = static_cast<uint8_t>(header.chunk);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(header.size >> (8 * i));
}

std::vector<uint8_t> encode_hello(const TransportLimits& ours, std::string_view endpoint_url) {
    if (endpoint_url.size() > kMaxUrlLength) return {};
    Writer w{std::vector<uint8_t>(kMessageHeaderSize)};
    for (uint32_t v : {ours.protocol_version, ours.receive_buffer_size, ours.send_buffer_size,
                       ours.max_message_size, ours.max_chunk_count})
        w.uint32(v);
    w.string(std::string(endpoint_url));
    std::vector<uint8_t> out = w.take();
    encode_header({MessageType::Hello, ChunkType::Final, static_cast<uint32_t>(out.size())}, out.data());
    return out;
}

std::optional<TransportLimits> decode_acknowledge(std::span<const uint8_t> body) {
    Reader r(body);
    TransportLimits l;
    for (uint32_t* field : {&l.protocol_version, &l.receive_buffer_size, &l.send_buffer_size,
                            &l.max_message_size, &l.max_chunk_count})
        *field = r.uint32();
    if (!r.ok()) return std::nullopt;
    return l;
}

std::optional<ErrorMessage> decode_error(std::span<const uint8_t> body) {
    Reader r(body);
    ErrorMessage e;
    e.status = r.status_code();
    const String reason = r.string();
    if (!r.ok()) return std::nullopt;
    if (reason && reason->size() <= kMaxReasonLength) e.reason = *reason;
    return e;
}

StatusCode negotiate(const TransportLimits& ours, const TransportLimits& theirs, ChunkLimits* out) {
    if (theirs.receive_buffer_size < kMinBufferSize || theirs.send_buffer_size < kMinBufferSize)
        return status::BadConnectionRejected;
    // A server may announce more than we asked for; we keep to the smaller of
    // the two on both sides.
    out->send_chunk_size = std::min(ours.send_buffer_size, theirs.receive_buffer_size);
    out->send_message_size = theirs.max_message_size;
    out->send_chunk_count = theirs.max_chunk_count;
    out->receive_chunk_size = ours.receive_buffer_size;
    out->receive_message_size = ours.max_message_size;
    out->receive_chunk_count = ours.max_chunk_count;
    return status::Good;
}

StatusCode split_body(std::span<const uint8_t> body, size_t max_piece, const ChunkLimits& limits,
                      std::vector<std::span<const uint8_t>>* pieces) {
    pieces->clear();
    if (max_piece == 0) return status::BadRequestTooLarge;
    if (limits.send_message_size != 0 && body.size() > limits.send_message_size)
        return status::BadRequestTooLarge;
    const size_t count = body.empty() ? 1 : (body.size() + max_piece - 1) / max_piece;
    if (limits.send_chunk_count != 0 && count > limits.send_chunk_count) return status::BadRequestTooLarge;
    pieces->reserve(count);
    for (size_t at = 0; at < body.size() || pieces->empty(); at += max_piece)
        pieces->push_back(body.subspan(at, std::min(max_piece, body.size() - at)));
    return status::Good;
}

void ChunkFramer::append(std::span<const uint8_t> bytes) {
    if (failed_ != status::Good) return;
    // Drop what has been handed out before the buffer grows.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::span<const uint8_t> ChunkFramer::next(StatusCode* status) {
    *status = failed_;
    if (failed_ != status::Good || buffered() < kMessageHeaderSize) return {};
    const std::span<const uint8_t> rest(buffer_.data() + start_, buffered());
    const auto header = decode_header(rest);
    if (!header) failed_ = status::BadTcpMessageTypeInvalid;
    else if (header->size < kMessageHeaderSize || header->size > max_chunk_size_)
        failed_ = status::BadTcpMessageTooLarge;
    *status = failed_;
    if (failed_ != status::Good || rest.size() < header->size) return {};
    start_ += header->size;
    return rest.first(header->size);
}

void ChunkFramer::reset() {
    buffer_.clear();
    start_ = 0;
    failed_ = status::Good;
}

MessageAssembler::Outcome MessageAssembler::add(ChunkType type, uint32_t request_id,
                                                std::span<const uint8_t> body) {
    if (status_ != status::Good) return Outcome::Failed;
    if (chunks_ > 0 && request_id != request_id_) {
        // A chunk of another message before this one ended.
        status_ = status::BadDecodingError;
        return Outcome::Failed;
    }
    request_id_ = request_id;
    if (type == ChunkType::Abort) {
        const auto e = decode_error(body);
        abort_ = e && is_bad(e->status) ? *e : ErrorMessage{status::BadDecodingError, {}};
        body_.clear();
        chunks_ = 0;
        return Outcome::Aborted;
    }
    ++chunks_;
    // body_ never exceeds the limit, so the subtraction cannot wrap.
    if ((max_chunk_count_ != 0 && chunks_ > max_chunk_count_) ||
        (max_message_size_ != 0 && body.size() > max_message_size_ - body_.size())) {
        status_ = status::BadTcpMessageTooLarge;
        return Outcome::Failed;
    }
    body_.insert(body_.end(), body.begin(), body.end());
    if (type == ChunkType::Intermediate) return Outcome::Partial;
    chunks_ = 0;
    return Outcome::Complete;
}

std::vector<uint8_t> MessageAssembler::take() {
    std::vector<uint8_t> out;
    out.swap(body_);
    return out;
}

void MessageAssembler::reset() {
    body_.clear();
    chunks_ = 0;
    request_id_ = 0;
    status_ = status::Good;
    abort_ = {};
}

} // namespace ostrand::ua
