// The secured chunk path of the OPC UA client (each secured policy) after an OPN
// handshake with a test server: a signature, padding or block length that does
// not verify must fail the channel with a Bad status, never crash, and what
// passes must be a whole sequence header plus body.
//
// Input: [mode][bytes...]. mode bits 2-3: the policy (Aes256_Sha256_RsaPss,
// Basic256Sha256, Aes128_Sha256_RsaOaep; 3 counts as the first). mode bit 0:
// Sign or SignAndEncrypt. mode bit 1:
// the bytes are fed as they are (forged chunks), or taken as the secured part
// of one MSG chunk (sequence header, body and padding as the fuzzer wrote
// them) that the harness signs, and encrypts in whole blocks, with the
// server's keys, so that the padding checks behind a valid signature are
// reached.
#include "../ostrand/ua/secure_server.h"
#include "../ostrand/ua/server_chunks.h"
#include "fuzz_check.h"

#include <cstdlib>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using Kind = ChannelEvent::Kind;

using fuzz::Check;

struct Handshake {
    Credentials client, server;
    crypto::Bytes client_nonce = crypto::Bytes(32, 0x11);
    std::vector<uint8_t> opened[3][2];                // the server's OPN response per policy and mode
    std::unique_ptr<test::SecureServer> servers[3][2]; // its view of the keys per policy and mode
};

const Handshake& Fixture() {
    static const Handshake h = [] {
        Handshake made;
        made.client = test::TestCredentials(2048, "urn:fuzz:client");
        made.server = test::TestCredentials(2048, "urn:test:server");
        for (size_t p = 0; p < kSecuredPolicies.size(); ++p) {
            for (int i = 0; i < 2; ++i) {
                const auto mode = i ? MessageSecurityMode::SignAndEncrypt : MessageSecurityMode::Sign;
                auto& server = made.servers[p][i];
                server = std::make_unique<test::SecureServer>(mode, made.server, made.client.certificate,
                                                              *kSecuredPolicies[p]);
                server->client_nonce = made.client_nonce;
                made.opened[p][i] = server->Open(1, {7, 1, 0, 600000});
            }
        }
        return made;
    }();
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 20000) return 0;
    const Handshake& h = Fixture();
    const int m = data[0] & 1;
    const size_t p = ((data[0] >> 2) & 3) % kSecuredPolicies.size();
    const auto mode = m ? MessageSecurityMode::SignAndEncrypt : MessageSecurityMode::Sign;
    SecureChannel channel(std::make_unique<RsaAesPolicy>(*kSecuredPolicies[p], mode, h.client, h.server.certificate));
    const SteadyTime now = SteadyTime{} + std::chrono::hours(1);
    channel.hello("opc.tcp://127.0.0.1:4840");
    channel.receive(test::ServerChunks::Ack({}));
    Check(channel.next(now).kind == Kind::Acknowledged);
    OpenSecureChannelRequest open;
    open.client_nonce = std::string(h.client_nonce.begin(), h.client_nonce.end());
    std::vector<uint8_t> out;
    Check(channel.send_open(open, 1, out) == status::Good);
    channel.receive(h.opened[p][m]);
    Check(channel.next(now).kind == Kind::Opened);

    const std::span<const uint8_t> input(data + 1, size - 1);
    if (data[0] & 2) {
        // MSG header, channel 7, token 1, then the fuzzer's secured part, signed.
        test::SecureServer& server = *h.servers[p][m];
        std::vector<uint8_t> chunk(16);
        std::vector<uint8_t> secured(input.begin(), input.end());
        if (m) secured.resize((secured.size() + 32) / 16 * 16 - 32); // whole blocks with the signature
        const uint32_t total = static_cast<uint32_t>(16 + secured.size() + 32);
        encode_header({MessageType::Message, ChunkType::Final, total}, chunk.data());
        for (int i = 0; i < 4; ++i) {
            chunk[8 + i] = static_cast<uint8_t>(7 >> (8 * i));
            chunk[12 + i] = static_cast<uint8_t>(1 >> (8 * i));
        }
        chunk.insert(chunk.end(), secured.begin(), secured.end());
        std::vector<uint8_t> signature(32);
        const SecurityPolicy::Keys keys{false, 1, false};
        Check(server.mirror.sign(keys, chunk, signature) == status::Good);
        chunk.insert(chunk.end(), signature.begin(), signature.end());
        if (m) {
            std::vector<uint8_t> sealed(chunk.begin(), chunk.begin() + 16);
            Check(server.mirror.encrypt(keys, std::span(chunk).subspan(16), sealed) == status::Good);
            chunk.swap(sealed);
        }
        channel.receive(chunk);
    } else {
        channel.receive(input);
    }
    for (int i = 0; i < 64; ++i) {
        const ChannelEvent e = channel.next(now);
        if (e.kind == Kind::None) break;
        if (e.kind == Kind::Failed) {
            Check(is_bad(e.status));
            break;
        }
        Check(e.kind == Kind::Response || e.kind == Kind::Aborted);
    }
    return 0;
}
