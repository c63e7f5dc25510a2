// What an OPC UA server sends, built by hand for tests of the client side:
// ACK, ERR, OPN responses and MSG chunks under SecurityPolicy None, with the
// server's own sequence numbers. Fields can be set wrong on purpose.
#pragma once

#include "ua_channel.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace ostrand::test {

inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline void Finish(std::vector<uint8_t>& out, MessageType type, ChunkType chunk) {
    encode_header({type, chunk, static_cast<uint32_t>(out.size())}, out.data());
}

struct ServerChunks {
    uint32_t channel_id = 1;
    uint32_t token_id = 1;
    uint32_t sequence = 0; // the last one sent

    static std::vector<uint8_t> Ack(const TransportLimits& l) {
        std::vector<uint8_t> out(kMessageHeaderSize);
        for (uint32_t v : {l.protocol_version, l.receive_buffer_size, l.send_buffer_size, l.max_message_size,
                           l.max_chunk_count})
            Put32(out, v);
        Finish(out, MessageType::Acknowledge, ChunkType::Final);
        return out;
    }

    static std::vector<uint8_t> ErrorBody(uint32_t status, std::string_view reason) {
        std::vector<uint8_t> out;
        Put32(out, status);
        Put32(out, static_cast<uint32_t>(reason.size()));
        out.insert(out.end(), reason.begin(), reason.end());
        return out;
    }

    static std::vector<uint8_t> Err(uint32_t status, std::string_view reason) {
        std::vector<uint8_t> out(kMessageHeaderSize);
        const std::vector<uint8_t> body = ErrorBody(status, reason);
        out.insert(out.end(), body.begin(), body.end());
        Finish(out, MessageType::Error, ChunkType::Final);
        return out;
    }

    // An OpenSecureChannelResponse body laid out as node-opcua sends it: empty
    // diagnostics, null string table, no additional header, null nonce.
    static std::vector<uint8_t> OpenResponseBody(const ChannelToken& t) {
        std::vector<uint8_t> out = {0x01, 0x00, 0xC1, 0x01};     // NodeId i=449
        out.insert(out.end(), 8, 0);                              // timestamp
        Put32(out, 1);                                            // request handle
        Put32(out, 0);                                            // service result
        out.push_back(0);                                         // diagnostics
        Put32(out, 0xFFFFFFFFu);                                  // string table
        out.insert(out.end(), {0, 0, 0});                         // additional header
        Put32(out, 0);                                            // server protocol version
        Put32(out, t.channel_id);
        Put32(out, t.token_id);
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(t.created_at >> (8 * i)));
        Put32(out, t.revised_lifetime);
        Put32(out, 0xFFFFFFFFu); // server nonce
        return out;
    }

    std::vector<uint8_t> Open(uint32_t request_id, const std::vector<uint8_t>& body,
                              std::string_view policy = kSecurityPolicyNoneUri) {
        std::vector<uint8_t> out(kMessageHeaderSize);
        Put32(out, channel_id);
        Put32(out, static_cast<uint32_t>(policy.size()));
        out.insert(out.end(), policy.begin(), policy.end());
        Put32(out, 0xFFFFFFFFu);
        Put32(out, 0xFFFFFFFFu);
        Put32(out, ++sequence);
        Put32(out, request_id);
        out.insert(out.end(), body.begin(), body.end());
        Finish(out, MessageType::Open, ChunkType::Final);
        return out;
    }

    std::vector<uint8_t> Msg(uint32_t request_id, const std::vector<uint8_t>& body,
                             ChunkType chunk = ChunkType::Final) {
        std::vector<uint8_t> out(kMessageHeaderSize);
        Put32(out, channel_id);
        Put32(out, token_id);
        Put32(out, ++sequence);
        Put32(out, request_id);
        out.insert(out.end(), body.begin(), body.end());
        Finish(out, MessageType::Message, chunk);
        return out;
    }

    std::vector<uint8_t> Abort(uint32_t request_id, uint32_t status, std::string_view reason) {
        return Msg(request_id, ErrorBody(status, reason), ChunkType::Abort);
    }
};

} // namespace ostrand::test
