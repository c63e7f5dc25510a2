// What an OPC UA server sends, built by hand for tests of the client side:
// ACK, ERR, OPN responses and MSG chunks under SecurityPolicy None, with the
// server's own sequence numbers. Fields can be set wrong on purpose.
#pragma once

#include "ua/encoding/codec.h"
#include "ua/secure_channel/channel.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrand::ua::test {

inline std::vector<uint8_t> Finish(Writer& w, MessageType type, ChunkType chunk) {
    std::vector<uint8_t> out = w.take();
    encode_header({type, chunk, static_cast<uint32_t>(out.size())}, out.data());
    return out;
}

struct ServerChunks {
    uint32_t channel_id = 1;
    uint32_t token_id = 1;
    uint32_t sequence = 0; // the last one sent

    static Writer Start() { return Writer{std::vector<uint8_t>(kMessageHeaderSize)}; }

    static std::vector<uint8_t> Ack(const TransportLimits& l) {
        Writer w = Start();
        for (uint32_t v : {l.protocol_version, l.receive_buffer_size, l.send_buffer_size, l.max_message_size,
                           l.max_chunk_count})
            w.uint32(v);
        return Finish(w, MessageType::Acknowledge, ChunkType::Final);
    }

    static std::vector<uint8_t> ErrorBody(StatusCode status, std::string_view reason) {
        Writer w;
        w.status_code(status);
        w.string(std::string(reason));
        return w.take();
    }

    static std::vector<uint8_t> Err(StatusCode status, std::string_view reason) {
        Writer w = Start();
        w.raw(ErrorBody(status, reason));
        return Finish(w, MessageType::Error, ChunkType::Final);
    }

    static std::vector<uint8_t> OpenResponse(const ChannelSecurityToken& token,
                                             StatusCode result = status::Good) {
        OpenSecureChannelResponse r;
        r.header.service_result = result;
        r.security_token = token;
        Writer w;
        encode_message(w, r);
        return w.take();
    }

    std::vector<uint8_t> Open(uint32_t request_id, const std::vector<uint8_t>& message,
                              std::string_view policy = kSecurityPolicyNoneUri) {
        Writer w = Start();
        w.uint32(channel_id);
        w.string(std::string(policy));
        w.byte_string(std::nullopt);
        w.byte_string(std::nullopt);
        w.uint32(++sequence);
        w.uint32(request_id);
        w.raw(message);
        return Finish(w, MessageType::Open, ChunkType::Final);
    }

    std::vector<uint8_t> Msg(uint32_t request_id, const std::vector<uint8_t>& message,
                             ChunkType chunk = ChunkType::Final) {
        Writer w = Start();
        w.uint32(channel_id);
        w.uint32(token_id);
        w.uint32(++sequence);
        w.uint32(request_id);
        w.raw(message);
        return Finish(w, MessageType::Message, chunk);
    }

    std::vector<uint8_t> Abort(uint32_t request_id, StatusCode status, std::string_view reason) {
        return Msg(request_id, ErrorBody(status, reason), ChunkType::Abort);
    }
};

} // namespace ostrand::ua::test
