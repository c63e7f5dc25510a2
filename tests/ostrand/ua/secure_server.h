// The server side of a secure channel under one of our policies (Basic256Sha256
// unless told), written for tests
// independently of the client's chunk code: it reads the client's OPN and MSG
// chunks (decrypt, verify, strip padding) and seals its own, so a test can
// check the client's layout byte by byte and answer it.
#pragma once

#include "ua/encoding/codec.h"
#include "ua/encoding/messages.h"
#include "ua/secure_channel/pki.h"
#include "ua/secure_channel/security.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace ostrand::ua::test {

using crypto::Bytes;

// A key and self-signed certificate for tests, made once per size.
inline const Credentials& TestCredentials(int bits, const std::string& uri = "urn:test:server") {
    static std::map<std::pair<int, std::string>, Credentials> made;
    auto [it, fresh] = made.try_emplace({bits, uri});
    if (fresh) {
        it->second.key = crypto::RsaKey::generate(bits);
        it->second.certificate = make_certificate(it->second.key, uri, "localhost", 30);
    }
    return it->second;
}

struct SecureServer {
    MessageSecurityMode mode;
    Credentials own;     // the server's
    Bytes client_cert;   // as the client presents it
    uint32_t channel_id = 7;
    size_t nonce_length = 32; // of the server nonces Open() sends
    uint32_t sequence = 0;
    Bytes client_nonce;  // of the last OPN read
    Bytes server_nonce;
    // The server's view of the symmetric keys: derive_keys with the nonces
    // swapped makes its "client" (sending) keys the server's.
    const PolicySuite* suite;
    RsaAesPolicy mirror;

    SecureServer(MessageSecurityMode m, Credentials server, Bytes client, const PolicySuite& policy = kBasic256Sha256)
        : mode(m), own(server), client_cert(client), suite(&policy), mirror(policy, m, server, client) {}

    static uint32_t At32(std::span<const uint8_t> b, size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, b.data() + at, 4);
        return v;
    }

    // Removes padding and signature from a decrypted chunk; `from` is where
    // the sequence header starts. Nothing when the padding is inconsistent.
    static std::optional<std::vector<uint8_t>> Strip(std::vector<uint8_t> plain, size_t from, size_t signature,
                                                     bool padded, bool extra) {
        if (plain.size() < from + 8 + signature) return std::nullopt;
        plain.resize(plain.size() - signature);
        if (padded) {
            size_t count = plain.back();
            if (extra) count = count << 8 | plain[plain.size() - 2];
            const size_t fields = extra ? 2 : 1;
            if (plain.size() < from + 8 + count + fields) return std::nullopt;
            for (size_t i = plain.size() - fields - count; i < plain.size() - (extra ? 1 : 0); ++i)
                if (plain[i] != (count & 0xFF)) return std::nullopt;
            plain.resize(plain.size() - fields - count);
        }
        return std::vector<uint8_t>(plain.begin() + static_cast<std::ptrdiff_t>(from), plain.end());
    }

    // Appends padding so that `used` bytes plus padding plus signature fill blocks.
    static void Pad(Writer& w, size_t used, size_t block, size_t signature, bool extra) {
        const size_t fields = extra ? 2 : 1;
        const size_t count = (block - (used + fields + signature) % block) % block;
        for (size_t i = 0; i <= count; ++i) w.byte(static_cast<uint8_t>(count & 0xFF));
        if (extra) w.byte(static_cast<uint8_t>(count >> 8));
    }

    // The client's OPN: sequence header and body, checked.
    std::optional<OpenSecureChannelRequest> ReadOpen(std::span<const uint8_t> chunk) {
        Reader r(chunk);
        r.skip(12);
        const String uri = r.string();
        const ByteString sender = r.byte_string();
        const ByteString thumb = r.byte_string();
        if (!r.ok() || uri != std::string(suite->uri)) return std::nullopt;
        if (crypto::view(sender.value_or("")).size() != client_cert.size()) return std::nullopt;
        const std::string thumbprint = thumb.value_or("");
        if (crypto::sha1(own.certificate) != Bytes(thumbprint.begin(), thumbprint.end())) return std::nullopt;
        const size_t from = r.position();
        std::vector<uint8_t> plain(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(from));
        if (!own.key.decrypt(chunk.subspan(from), plain, suite->oaep)) return std::nullopt;
        const crypto::RsaKey client_key = crypto::RsaKey::from_certificate(client_cert);
        const size_t sig = client_key.size();
        if (plain.size() < sig || !client_key.verify(std::span(plain).first(plain.size() - sig),
                                                     std::span(plain).last(sig), suite->signing))
            return std::nullopt;
        auto body = Strip(plain, from, sig, true, own.key.size() > 256);
        if (!body) return std::nullopt;
        Reader m(*body);
        m.skip(8);
        Request request;
        if (!decode_request(m, request)) return std::nullopt;
        auto* open = std::get_if<OpenSecureChannelRequest>(&request);
        if (open == nullptr) return std::nullopt;
        const std::string nonce = open->client_nonce.value_or("");
        client_nonce.assign(nonce.begin(), nonce.end());
        return *open;
    }

    // The OPN response sealed for the client, with a new server nonce; the
    // mirror derives the token's keys.
    std::vector<uint8_t> Open(uint32_t request_id, const ChannelSecurityToken& token, const Bytes* certificate = nullptr) {
        server_nonce = crypto::random_bytes(nonce_length);
        OpenSecureChannelResponse response;
        response.security_token = token;
        response.server_nonce = std::string(server_nonce.begin(), server_nonce.end());
        Writer body;
        encode_message(body, response);
        mirror.derive_keys(token.token_id, server_nonce, client_nonce);

        const Bytes& cert = certificate ? *certificate : own.certificate;
        Writer w{std::vector<uint8_t>(8)};
        w.uint32(channel_id);
        w.string(std::string(suite->uri));
        w.byte_string(std::string(cert.begin(), cert.end()));
        const Bytes thumb = crypto::sha1(client_cert);
        w.byte_string(std::string(thumb.begin(), thumb.end()));
        const size_t from = w.size();
        const crypto::RsaKey client_key = crypto::RsaKey::from_certificate(client_cert);
        return Seal(w, from, body.bytes(), MessageType::Open, request_id, client_key.plain_block(suite->oaep),
                    client_key.size(), own.key.size(), true,
                    [&](std::span<const uint8_t> d) { return own.key.sign(d, suite->signing); },
                    [&](std::span<const uint8_t> p, Bytes& out) { return client_key.encrypt(p, out, suite->oaep); });
    }

    // A MSG chunk under `token_id`'s keys.
    std::vector<uint8_t> Msg(uint32_t request_id, uint32_t token_id, std::span<const uint8_t> body,
                             ChunkType chunk = ChunkType::Final) {
        Writer w{std::vector<uint8_t>(8)};
        w.uint32(channel_id);
        w.uint32(token_id);
        const size_t from = w.size();
        const SecurityPolicy::Keys keys{false, token_id, false};
        return Seal(w, from, body, MessageType::Message, request_id, 16, 16, 32,
                    mode == MessageSecurityMode::SignAndEncrypt,
                    [&](std::span<const uint8_t> d) {
                        Bytes sig(32);
                        mirror.sign(keys, d, sig);
                        return sig;
                    },
                    [&](std::span<const uint8_t> p, Bytes& out) { return mirror.encrypt(keys, p, out) == status::Good; },
                    chunk);
    }

    // The body of the client's MSG chunk (after the sequence header), checked.
    std::optional<std::vector<uint8_t>> ReadMsg(std::span<const uint8_t> chunk) {
        const uint32_t token_id = At32(chunk, 12);
        const SecurityPolicy::Keys keys{false, token_id, true};
        std::vector<uint8_t> plain(chunk.begin(), chunk.begin() + 16);
        const bool encrypted = mode == MessageSecurityMode::SignAndEncrypt;
        if (encrypted) {
            if (mirror.decrypt(keys, chunk.subspan(16), plain) != status::Good) return std::nullopt;
        } else {
            plain.assign(chunk.begin(), chunk.end());
        }
        if (plain.size() < 48 || mirror.verify(keys, std::span(plain).first(plain.size() - 32),
                                               std::span(plain).last(32)) != status::Good)
            return std::nullopt;
        auto body = Strip(plain, 16, 32, encrypted, false);
        if (!body) return std::nullopt;
        return std::vector<uint8_t>(body->begin() + 8, body->end());
    }

    template <class SignFn, class EncryptFn>
    std::vector<uint8_t> Seal(Writer& w, size_t from, std::span<const uint8_t> body, MessageType type,
                              uint32_t request_id, size_t plain_block, size_t cipher_block, size_t signature,
                              bool encrypt, SignFn sign, EncryptFn encrypt_fn, ChunkType chunk = ChunkType::Final) {
        w.uint32(++sequence);
        w.uint32(request_id);
        w.raw(body);
        if (encrypt) Pad(w, w.size() - from, plain_block, signature, cipher_block > 256);
        const size_t secured = w.size() - from + signature;
        const size_t total = from + (encrypt ? secured / plain_block * cipher_block : secured);
        std::vector<uint8_t> out = w.take();
        encode_header({type, chunk, static_cast<uint32_t>(total)}, out.data());
        const Bytes sig = sign(out);
        out.insert(out.end(), sig.begin(), sig.end());
        if (!encrypt) return out;
        std::vector<uint8_t> sealed(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(from));
        encrypt_fn(std::span<const uint8_t>(out).subspan(from), sealed);
        return sealed;
    }
};

} // namespace ostrand::ua::test
