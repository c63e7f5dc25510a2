// The client side of UA Secure Conversation (OPC UA Part 6): Hello and
// Acknowledge, OpenSecureChannel Issue and Renew, the security and sequence
// headers of every chunk, and the token the server issued.
//
// The channel turns messages (already encoded: type id + fields) into chunks
// and incoming bytes into messages. Of the service messages it handles only
// OpenSecureChannel itself, because the token it returns decides how every
// later chunk is checked. It keeps its own rules and fails the connection when
// the server breaks them: a wrong channel id, an unknown or expired token, a
// sequence number that is not the previous one plus one, a chunk or message
// over the limits.
//
// Security is behind `SecurityPolicy`. The channel lays each chunk out from
// the policy's block and signature sizes (padding included) and lets it sign,
// verify, encrypt and decrypt; `NonePolicy` does none of these.
//
// Pure code: no sockets, no clock (`now` comes in as an argument), one thread.
#pragma once

#include "clock.h"
#include "ua/encoding/messages.h"
#include "ua/secure_channel/chunks.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrand::ua {

constexpr std::string_view kSecurityPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";
constexpr size_t kMaxPolicyUriLength = 255;
constexpr size_t kSequenceHeaderSize = 8; // SequenceNumber, RequestId
// An OPN response under another policy than the one we asked for.
constexpr StatusCode kBadSecurityPolicyRejected = 0x80550000;
// A revised token lifetime below this is taken as this: a server cannot keep
// the client renewing all the time.
constexpr std::chrono::milliseconds kMinTokenLifetime{10000};

// What a security policy does to a chunk. The channel asks for the sizes,
// leaves room for padding and signature, and calls sign then encrypt when it
// sends, decrypt then verify when it receives.
class SecurityPolicy {
public:
    // The keys that secure a chunk: the asymmetric pair (OPN) or the symmetric
    // keys derived for one token (MSG, CLO).
    struct Keys {
        bool asymmetric = false;
        uint32_t token_id = 0;
        // A chunk from the server: under an asymmetric policy its sizes come
        // from the other key pair (our key decrypts, theirs signs).
        bool incoming = false;
    };
    struct Sizes {
        size_t plain_block = 1;  // plaintext bytes per cipher block
        size_t cipher_block = 1; // ciphertext bytes per block (> 256: an extra padding byte)
        size_t signature = 0;    // bytes sign() writes at the end of the chunk
        bool encrypts = false;   // encrypted chunks carry padding
    };

    virtual ~SecurityPolicy() = default;
    virtual std::string_view uri() const = 0;
    virtual MessageSecurityMode mode() const = 0;
    // Of the ClientNonce in OpenSecureChannel, and of the ServerNonce its
    // answer must carry when this is not 0 (the policy's nonce length).
    virtual size_t nonce_length() const = 0;
    virtual Sizes sizes(Keys keys) const = 0;

    // The OPN security header fields we send (empty: null) and the check of the
    // server's.
    virtual std::span<const uint8_t> local_certificate() const = 0;
    virtual std::span<const uint8_t> remote_thumbprint() const = 0;
    virtual StatusCode check_remote(std::span<const uint8_t> sender_certificate,
                                  std::span<const uint8_t> receiver_thumbprint) = 0;

    // Symmetric keys of a token, from both nonces; forgotten when it expires.
    virtual StatusCode derive_keys(uint32_t token_id, std::span<const uint8_t> client_nonce,
                                 std::span<const uint8_t> server_nonce) = 0;
    virtual void forget_keys(uint32_t token_id) = 0;

    // `signature` has sizes(keys).signature bytes. encrypt/decrypt append to
    // `out`; whole blocks in, whole blocks out.
    virtual StatusCode sign(Keys keys, std::span<const uint8_t> data, std::span<uint8_t> signature) = 0;
    virtual StatusCode verify(Keys keys, std::span<const uint8_t> data,
                              std::span<const uint8_t> signature) = 0;
    virtual StatusCode encrypt(Keys keys, std::span<const uint8_t> plain, std::vector<uint8_t>& out) = 0;
    virtual StatusCode decrypt(Keys keys, std::span<const uint8_t> cipher, std::vector<uint8_t>& out) = 0;
};

// SecurityPolicy#None: no signature, no encryption, null certificates.
class NonePolicy : public SecurityPolicy {
public:
    std::string_view uri() const override { return kSecurityPolicyNoneUri; }
    MessageSecurityMode mode() const override { return MessageSecurityMode::None; }
    size_t nonce_length() const override { return 0; }
    Sizes sizes(Keys) const override { return {}; }
    std::span<const uint8_t> local_certificate() const override { return {}; }
    std::span<const uint8_t> remote_thumbprint() const override { return {}; }
    // A server may still fill in its certificate under None; nothing checks it.
    StatusCode check_remote(std::span<const uint8_t>, std::span<const uint8_t>) override {
        return status::Good;
    }
    StatusCode derive_keys(uint32_t, std::span<const uint8_t>, std::span<const uint8_t>) override {
        return status::Good;
    }
    void forget_keys(uint32_t) override {}
    StatusCode sign(Keys, std::span<const uint8_t>, std::span<uint8_t>) override { return status::Good; }
    StatusCode verify(Keys, std::span<const uint8_t>, std::span<const uint8_t>) override {
        return status::Good;
    }
    StatusCode encrypt(Keys, std::span<const uint8_t> plain, std::vector<uint8_t>& out) override {
        out.insert(out.end(), plain.begin(), plain.end());
        return status::Good;
    }
    StatusCode decrypt(Keys, std::span<const uint8_t> cipher, std::vector<uint8_t>& out) override {
        out.insert(out.end(), cipher.begin(), cipher.end());
        return status::Good;
    }
};

struct ChannelEvent {
    enum class Kind : uint8_t {
        None,         // nothing more in the bytes received so far
        Acknowledged, // the server's ACK: limits() hold the negotiated sizes; send the OPN
        Opened,       // the OPN response was good and its token is in force: token()
        Response,     // the body of a whole MSG response
        Aborted,      // the server aborted the response to request_id: status, reason
        Failed,       // connection error, or the server's ERR: status, reason. Nothing follows
    };
    Kind kind = Kind::None;
    uint32_t request_id = 0;
    StatusCode status = status::Good;
    std::string reason;
    std::vector<uint8_t> body; // Opened, Response: type id + fields
};

// Turns an outgoing message into chunks and checks the incoming ones.
class SecureChannel {
public:
    enum class State : uint8_t {
        Idle,         // before hello()
        HelloSent,    // waiting for ACK
        Acknowledged, // send an OPN Issue
        Open,         // a token is in force
        Closed,       // after send_close()
        Failed,       // after a connection error; failure() tells which
    };

    explicit SecureChannel(std::unique_ptr<SecurityPolicy> policy, const TransportLimits& ours = {});

    // Starts over on a new connection: forgets limits, token, sequence numbers
    // and buffered bytes. Returns the HEL to send (empty, and the channel
    // failed, when the URL is over kMaxUrlLength bytes).
    std::vector<uint8_t> hello(std::string_view endpoint_url);

    // The id for the next request (1, 2, ...; never 0).
    uint32_t next_request_id();

    // Issue while there is no token, Renew once there is.
    SecurityTokenRequestType open_type() const {
        return token_.token_id == 0 ? SecurityTokenRequestType::Issue : SecurityTokenRequestType::Renew;
    }

    // Append the chunks of one message to `out`. Bad status (nothing appended)
    // when the channel is not in a state to send it (BadInvalidState; one OPN
    // at a time), or the message is over the server's limits
    // (BadRequestTooLarge): the request fails, the channel does not.
    // send_open fills in the request type (open_type()) and the policy's
    // security mode, and keeps the client nonce for the keys.
    StatusCode send_open(OpenSecureChannelRequest request, uint32_t request_id, std::vector<uint8_t>& out);
    StatusCode send_message(std::span<const uint8_t> message, uint32_t request_id, std::vector<uint8_t>& out);
    StatusCode send_close(std::span<const uint8_t> message, uint32_t request_id, std::vector<uint8_t>& out);

    // Bytes from the socket, cut anywhere.
    void receive(std::span<const uint8_t> bytes);
    // The next event from what was received, in order; Kind::None when more
    // bytes are needed. `now` times the token: a new token's renewal and
    // expiry count from the `now` its response is taken at (its lifetime at
    // least kMinTokenLifetime), and the previous token is refused from its
    // expiry on. An OPN response that is a ServiceFault or Bad, answers
    // another request id, carries a server nonce not of the policy's length,
    // or whose token names another channel, fails the channel.
    ChannelEvent next(SteadyTime now);

    State state() const { return state_; }
    StatusCode failure() const { return failure_; }
    const ChannelSecurityToken& token() const { return token_; }
    // Renew at 75 % of the revised lifetime (OPC UA Part 4, OpenSecureChannel);
    // the token is dead at 100 %. SteadyTime::max() without a token.
    SteadyTime renew_at() const { return renew_at_; }
    SteadyTime expires_at() const { return expires_at_; }
    const ChunkLimits& limits() const { return limits_; }
    SecurityPolicy& policy() { return *policy_; }

private:
    struct Token {
        uint32_t id = 0;
        SteadyTime expires{SteadyTime::max()};
    };

    StatusCode send(MessageType type, std::span<const uint8_t> message, uint32_t request_id,
                    std::vector<uint8_t>& out);
    ChannelEvent take_chunk(std::span<const uint8_t> chunk, SteadyTime now);
    ChannelEvent open_response(uint32_t channel_id, uint32_t request_id, std::span<const uint8_t> message,
                               SteadyTime now);
    ChannelEvent fail(StatusCode status, std::string reason = {});
    StatusCode check_token(uint32_t token_id, SteadyTime now) const;
    void drop_previous();

    std::unique_ptr<SecurityPolicy> policy_;
    TransportLimits ours_;
    ChunkLimits limits_;
    ChunkFramer framer_;
    MessageAssembler assembler_;
    State state_ = State::Idle;
    StatusCode failure_ = status::Good;

    ChannelSecurityToken token_; // the current token
    Token previous_;             // the token before the last renewal, until it expires
    bool open_pending_ = false;  // an OPN request is out
    uint32_t open_request_id_ = 0; // its request id
    ByteString client_nonce_;    // of that request
    SteadyTime renew_at_{SteadyTime::max()};
    SteadyTime expires_at_{SteadyTime::max()};

    uint32_t send_sequence_ = 0; // last sent
    uint32_t receive_sequence_ = 0;
    bool received_any_ = false;
    uint32_t request_id_ = 0;
};

// Sequence numbers (OPC UA Part 6, sequence header): each chunk's number is the
// previous one plus one; a sender wraps only above UInt32 max - 1024, and the
// first number after the wrap is below 1024.
constexpr uint32_t kSequenceWrapAbove = 4294966271u;
uint32_t next_sequence_number(uint32_t last);
bool follows(uint32_t last, uint32_t received);

} // namespace ostrand::ua
