// The OPC UA connection protocol over opc.tcp (OPC UA Part 6, UA Connection
// Protocol and the chunk layer of UA Secure Conversation): Hello, Acknowledge
// and Error, the 8-byte message header, cutting an outgoing body into chunks
// under the peer's limits, framing an incoming byte stream into whole chunks
// and joining chunk bodies into messages under our own limits.
//
// Pure code: no sockets, no clock. Every length read from the wire is checked
// against a limit before anything is sized by it; a broken rule is reported as
// a Bad status code (a connection error), never answered by an allocation.
#pragma once

#include "ua/encoding/types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrand::ua {

enum class MessageType : uint8_t { Hello, Acknowledge, Error, ReverseHello, Open, Message, Close };
enum class ChunkType : uint8_t { Intermediate = 'C', Final = 'F', Abort = 'A' };

constexpr size_t kMessageHeaderSize = 8;    // type[3], chunk type, size (UInt32, header included)
constexpr uint32_t kMinBufferSize = 8192;   // the smallest chunk either side may announce
constexpr size_t kMaxUrlLength = 4096;      // EndpointUrl in Hello
constexpr size_t kMaxReasonLength = 4096;   // Reason in Error and abort chunks; longer ones are ignored

struct MessageHeader {
    MessageType type = MessageType::Message;
    ChunkType chunk = ChunkType::Final;
    uint32_t size = 0; // the whole chunk, header included
};

// The header of a chunk, or nothing when the type or the chunk letter is
// unknown (or not 'F' for a message type that has no chunks). `bytes` holds
// at least kMessageHeaderSize bytes.
std::optional<MessageHeader> decode_header(std::span<const uint8_t> bytes);
void encode_header(const MessageHeader& header, uint8_t* out);

// What one side announces in Hello or Acknowledge.
struct TransportLimits {
    uint32_t protocol_version = 0;
    uint32_t receive_buffer_size = 65536;
    uint32_t send_buffer_size = 65536;
    uint32_t max_message_size = 16 * 1024 * 1024; // body bytes; 0 = no limit
    uint32_t max_chunk_count = 256;                // 0 = no limit
};

// The whole HEL message. Empty when the URL is longer than kMaxUrlLength.
std::vector<uint8_t> encode_hello(const TransportLimits& ours, std::string_view endpoint_url);

// The body of an ACK (after the header), or nothing when it is truncated.
std::optional<TransportLimits> decode_acknowledge(std::span<const uint8_t> body);

// The body of an ERR message or of an abort chunk: status and reason. The
// reason is empty when the peer sent more than kMaxReasonLength bytes.
struct ErrorMessage {
    StatusCode status = status::Good;
    std::string reason;
};
std::optional<ErrorMessage> decode_error(std::span<const uint8_t> body);

// The limits in force once the server has acknowledged, seen from the client.
struct ChunkLimits {
    uint32_t send_chunk_size = kMinBufferSize;    // largest chunk we send
    uint32_t send_message_size = 0;               // largest body we send; 0 = no limit
    uint32_t send_chunk_count = 0;                // 0 = no limit
    uint32_t receive_chunk_size = kMinBufferSize; // largest chunk we accept
    uint32_t receive_message_size = 0;            // largest body we accept; 0 = no limit
    uint32_t receive_chunk_count = 0;             // 0 = no limit
};

// Combines our Hello with the server's Acknowledge. Bad (BadConnectionRejected)
// when the server announces buffers below kMinBufferSize.
StatusCode negotiate(const TransportLimits& ours, const TransportLimits& theirs, ChunkLimits* out);

// Cuts `body` into pieces of at most `max_piece` bytes, one per chunk (an empty
// body is one empty piece). BadRequestTooLarge when the body or the number of
// pieces is over the peer's limits; `pieces` is then left empty.
StatusCode split_body(std::span<const uint8_t> body, size_t max_piece, const ChunkLimits& limits,
                    std::vector<std::span<const uint8_t>>* pieces);

// Turns a byte stream, delivered in slices cut anywhere, into whole chunks.
class ChunkFramer {
public:
    explicit ChunkFramer(uint32_t max_chunk_size = kMinBufferSize) : max_chunk_size_(max_chunk_size) {}

    void set_max_chunk_size(uint32_t size) { max_chunk_size_ = size; }
    void append(std::span<const uint8_t> bytes);

    // The next whole chunk, header included, valid until the next call to
    // append or next; empty when more bytes are needed. A header with an
    // unknown type (BadTcpMessageTypeInvalid) or a size below the header or
    // over the limit (BadTcpMessageTooLarge) sets *status; the framer then
    // stays failed.
    std::span<const uint8_t> next(StatusCode* status);

    size_t buffered() const { return buffer_.size() - start_; }
    void reset();

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0; // first byte not yet handed out
    uint32_t max_chunk_size_;
    StatusCode failed_ = status::Good;
};

// Joins the bodies of the chunks of one message. Chunks of different messages
// are never interleaved (OPC UA Part 6: the chunks of a message are sent one
// after another), so there is at most one message in progress.
class MessageAssembler {
public:
    enum class Outcome : uint8_t {
        Partial,  // more chunks to come
        Complete, // take() returns the message body
        Aborted,  // the sender gave up on `request_id`: abort() holds its status and reason
        Failed,   // connection error: status() says why
    };

    void set_limits(uint32_t max_message_size, uint32_t max_chunk_count) {
        max_message_size_ = max_message_size;
        max_chunk_count_ = max_chunk_count;
    }

    // Adds the body of one chunk of message `request_id`.
    Outcome add(ChunkType type, uint32_t request_id, std::span<const uint8_t> body);

    std::vector<uint8_t> take();
    const ErrorMessage& abort() const { return abort_; }
    StatusCode status() const { return status_; }
    bool in_progress() const { return chunks_ > 0; }
    void reset();

private:
    std::vector<uint8_t> body_;
    uint32_t request_id_ = 0;
    uint32_t chunks_ = 0;
    uint32_t max_message_size_ = 0;
    uint32_t max_chunk_count_ = 0;
    StatusCode status_ = status::Good;
    ErrorMessage abort_;
};

} // namespace ostrand::ua
