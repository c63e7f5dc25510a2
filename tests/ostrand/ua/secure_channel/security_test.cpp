// Secured OPC UA connections without a server: the crypto against fixed
// vectors, RSA block arithmetic for 2048- and 4096-bit keys, the channel
// under Basic256Sha256 both ways with renewal (against an independent
// server-side sealer), the session signatures and the user name token, the
// endpoint choice, password files and the certificate store.
#include "../../../support/temp_dir.h"
#include "../secure_server.h"
#include "../server_chunks.h"
#include "ua/secure_channel/channel.h"
#include "ua/secure_channel/pki.h"
#include "ua/secure_channel/security.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace ostrand::ua {
namespace {

using namespace std::chrono_literals;
using crypto::Bytes;
using test::SecureServer;
using test::TestCredentials;
using quorvane::test::TempDir;
using Kind = ChannelEvent::Kind;

Bytes Hex(std::string_view h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
    return out;
}
Bytes Text(std::string_view t) { return {t.begin(), t.end()}; }
Bytes Range(uint8_t from, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(UaCrypto, FixedVectors) {
    // P_SHA256: the TLS 1.2 PRF test vector (secret, label + seed, 100 bytes).
    EXPECT_EQ(crypto::p_sha256(Hex("9bbe436ba940f017b17652849a71db35"),
                               Cat(Text("test label"), Hex("a0ba9f936cda311827a6f796ffd5198c")), 100),
              Hex("e3f229ba727be17b8d122620557cd453c2aab21d07c3d495329b52d4e61edb5a6b301791e90d35c9c9a46b4e14"
                  "baf9af0fa022f7077def17abfd3797c0564bab4fbc91666e9def9b97fce34f796789baa48082d122ee42c5a72e5a"
                  "5110fff70187347b66"));
    // Channel keys from nonces 00..1f (client) and 20..3f (server): the client's
    // from (secret = server nonce, seed = client nonce), the server's reversed.
    const auto client = Basic256Sha256Policy::derive(Range(0x20, 32), Range(0, 32));
    EXPECT_EQ(Cat(Cat(client.signing, client.encrypting), client.iv),
              Hex("dd585db0c102dd1a4c1ed4dd195606dec3f7a1c789afca78f9479ed3a5d668afce49cb8f1c65a827f412c48e71c9f9"
                  "cb3b5c2ee2fc2e4b3bd46d4098b5e45475a77832c6215b6e7ab85f2e668be7aeff"));
    const auto server = Basic256Sha256Policy::derive(Range(0, 32), Range(0x20, 32));
    EXPECT_EQ(server.iv, Hex("c513e9172274d5ed54e52a3552901ae0"));
    // HMAC-SHA256 (RFC 4231 case 2), SHA-1 ("abc"), AES-256-CBC (NIST SP 800-38A F.2.5).
    EXPECT_EQ(crypto::hmac_sha256(Text("Jefe"), Text("what do ya want for nothing?")),
              Hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    EXPECT_EQ(crypto::sha1(Text("abc")), Hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
    const Bytes key = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = Range(0, 16), plain = Hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    Bytes cipher, back;
    ASSERT_TRUE(crypto::aes256_cbc(true, key, iv, plain, cipher));
    EXPECT_EQ(cipher, Hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"));
    ASSERT_TRUE(crypto::aes256_cbc(false, key, iv, cipher, back));
    EXPECT_EQ(back, plain);
    EXPECT_FALSE(crypto::aes256_cbc(true, key, iv, Bytes(15), cipher)) << "no padding: whole blocks only";
    // AES-128-CBC (NIST SP 800-38A F.2.1), chosen by the key's length.
    Bytes cipher128;
    ASSERT_TRUE(crypto::aes_cbc(true, Hex("2b7e151628aed2a6abf7158809cf4f3c"), iv, plain, cipher128));
    EXPECT_EQ(cipher128, Hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"));
    EXPECT_FALSE(crypto::aes_cbc(true, Bytes(24), iv, plain, cipher128)) << "AES-192 is no policy's";
    // With a 16-byte encryption key the IV follows it in the same P_SHA256 stream.
    const auto client128 = RsaAesPolicy::derive(Range(0x20, 32), Range(0, 32), 16);
    EXPECT_EQ(client128.signing, client.signing);
    EXPECT_EQ(client128.encrypting, Bytes(client.encrypting.begin(), client.encrypting.begin() + 16));
    EXPECT_EQ(client128.iv, Bytes(client.encrypting.begin() + 16, client.encrypting.end()));
}

TEST(UaCrypto, RsaBlocksFor2048And4096BitKeys) {
    using crypto::OaepHash;
    using crypto::RsaSigning;
    struct Case {
        int bits;
        size_t block, plain_block;
        OaepHash oaep = OaepHash::Sha1;
        RsaSigning signing = RsaSigning::Pkcs1;
    };
    for (const Case c : {Case{2048, 256, 214}, Case{4096, 512, 470}, Case{2048, 256, 190, OaepHash::Sha256, RsaSigning::Pss},
                         Case{4096, 512, 446, OaepHash::Sha256, RsaSigning::Pss}}) {
        SCOPED_TRACE(testing::Message() << c.bits << (c.oaep == OaepHash::Sha1 ? " OAEP-SHA1" : " OAEP-SHA256"));
        const crypto::RsaKey& key = TestCredentials(c.bits).key;
        ASSERT_TRUE(key);
        EXPECT_EQ(key.size(), c.block);
        EXPECT_EQ(key.plain_block(c.oaep), c.plain_block);
        const OaepHash other = c.oaep == OaepHash::Sha1 ? OaepHash::Sha256 : OaepHash::Sha1;
        for (size_t n : {size_t{1}, c.plain_block, c.plain_block + 1, 3 * c.plain_block}) {
            const Bytes plain = Range(7, n);
            Bytes cipher, back;
            ASSERT_TRUE(key.encrypt(plain, cipher, c.oaep));
            EXPECT_EQ(cipher.size(), (n + c.plain_block - 1) / c.plain_block * c.block) << n;
            EXPECT_FALSE(key.decrypt(cipher, back, other)) << "the other OAEP hash does not decrypt";
            ASSERT_TRUE(key.decrypt(cipher, back, c.oaep));
            EXPECT_EQ(back, plain);
            cipher.pop_back();
            EXPECT_FALSE(key.decrypt(cipher, back, c.oaep)) << "not whole blocks";
        }
        Bytes signature = key.sign(Text("chunk"), c.signing);
        EXPECT_EQ(signature.size(), c.block);
        EXPECT_TRUE(key.verify(Text("chunk"), signature, c.signing));
        const RsaSigning wrong = c.signing == RsaSigning::Pss ? RsaSigning::Pkcs1 : RsaSigning::Pss;
        EXPECT_FALSE(key.verify(Text("chunk"), signature, wrong)) << "PSS and PKCS#1 v1.5 are not interchangeable";
        // PSS salts each signature; PKCS#1 v1.5 is deterministic.
        EXPECT_EQ(key.sign(Text("chunk"), c.signing) != signature, c.signing == RsaSigning::Pss);
        signature[10] ^= 1;
        EXPECT_FALSE(key.verify(Text("chunk"), signature, c.signing));
    }
}

// The client channel against the test server, through OPN, messages both
// ways and a renewal.
struct SecuredPair {
    SecuredPair(MessageSecurityMode mode, int client_bits, int server_bits, const PolicySuite& suite = kBasic256Sha256)
        : client(TestCredentials(client_bits)), server(TestCredentials(server_bits)),
          channel(std::make_unique<RsaAesPolicy>(suite, mode, client, server.certificate)),
          peer(mode, server, client.certificate, suite) {}

    std::vector<ChannelEvent> Feed(std::span<const uint8_t> bytes, SteadyTime now) {
        channel.receive(bytes);
        std::vector<ChannelEvent> events;
        for (ChannelEvent e = channel.next(now); e.kind != Kind::None; e = channel.next(now)) events.push_back(e);
        return events;
    }
    Bytes SendOpen(uint32_t id) {
        OpenSecureChannelRequest open;
        const Bytes nonce = crypto::random_bytes(32);
        open.client_nonce = std::string(nonce.begin(), nonce.end());
        open.requested_lifetime = 40000;
        Bytes out;
        EXPECT_EQ(channel.send_open(open, id, out), status::Good);
        return out;
    }

    Credentials client, server;
    SecureChannel channel;
    SecureServer peer;
};

TEST(UaSecurity, ChannelRoundTripsWithRenewal) {
    struct Case {
        MessageSecurityMode mode;
        int client_bits, server_bits;
        const PolicySuite& suite = kBasic256Sha256;
    };
    const SteadyTime t0 = SteadyTime{} + 100s;
    using M = MessageSecurityMode;
    for (const Case& c : {Case{M::Sign, 2048, 2048}, Case{M::SignAndEncrypt, 2048, 2048},
                          Case{M::SignAndEncrypt, 2048, 4096}, Case{M::SignAndEncrypt, 4096, 2048},
                          Case{M::Sign, 2048, 2048, kAes128Sha256RsaOaep},
                          Case{M::SignAndEncrypt, 2048, 4096, kAes128Sha256RsaOaep},
                          Case{M::Sign, 2048, 2048, kAes256Sha256RsaPss},
                          Case{M::SignAndEncrypt, 2048, 2048, kAes256Sha256RsaPss},
                          Case{M::SignAndEncrypt, 4096, 2048, kAes256Sha256RsaPss}}) {
        SCOPED_TRACE(testing::Message() << c.suite.name << " mode " << static_cast<int>(c.mode) << " keys "
                                        << c.client_bits << "/" << c.server_bits);
        SecuredPair p(c.mode, c.client_bits, c.server_bits, c.suite);
        p.channel.hello("opc.tcp://localhost:4840");
        ASSERT_EQ(p.Feed(test::ServerChunks::Ack({}), t0).at(0).kind, Kind::Acknowledged);

        const Bytes opn = p.SendOpen(1);
        const auto request = p.peer.ReadOpen(opn);
        ASSERT_TRUE(request) << "the server reads and verifies our OPN";
        EXPECT_EQ(request->security_mode, c.mode);
        auto events = p.Feed(p.peer.Open(1, {7, 1, 0, 40000}), t0);
        ASSERT_EQ(events.at(0).kind, Kind::Opened) << std::hex << events.at(0).status;

        // Messages both ways, sizes around the block and chunk boundaries.
        uint32_t id = 1;
        for (size_t n : {0, 1, 15, 16, 17, 1000, 8000}) {
            const Bytes body = Range(static_cast<uint8_t>(n), n);
            Bytes out;
            ASSERT_EQ(p.channel.send_message(body, ++id, out), status::Good);
            Bytes joined;
            for (size_t at = 0; at < out.size(); at += SecureServer::At32(out, at + 4)) {
                const size_t size = SecureServer::At32(out, at + 4);
                if (c.mode == MessageSecurityMode::SignAndEncrypt) {
                    EXPECT_EQ((size - 16) % 16, 0u);
                }
                const auto got = p.peer.ReadMsg(std::span(out).subspan(at, size));
                ASSERT_TRUE(got) << n;
                joined.insert(joined.end(), got->begin(), got->end());
            }
            EXPECT_EQ(joined, body) << n;
            events = p.Feed(p.peer.Msg(id, 1, body), t0);
            ASSERT_EQ(events.at(0).kind, Kind::Response) << n;
            EXPECT_EQ(events.at(0).body, body);
        }

        // Renewal: new nonces, new keys; the old keys work until the old token expires.
        const Bytes renew = p.SendOpen(++id);
        ASSERT_TRUE(p.peer.ReadOpen(renew));
        ASSERT_EQ(p.Feed(p.peer.Open(id, {7, 2, 0, 40000}), t0 + 30s).at(0).kind, Kind::Opened);
        EXPECT_EQ(p.Feed(p.peer.Msg(++id, 1, Text("old")), t0 + 39999ms).at(0).kind, Kind::Response);
        EXPECT_EQ(p.Feed(p.peer.Msg(++id, 2, Text("new")), t0 + 39999ms).at(0).kind, Kind::Response);
        Bytes out;
        ASSERT_EQ(p.channel.send_message(Text("after"), ++id, out), status::Good);
        EXPECT_EQ(SecureServer::At32(out, 12), 2u);
        EXPECT_EQ(p.peer.ReadMsg(out), Text("after"));
        EXPECT_EQ(p.Feed(p.peer.Msg(++id, 1, Text("late")), t0 + 40s).at(0).status,
                  status::BadSecureChannelTokenUnknown);
    }
}

TEST(UaSecurity, AForgedOrDamagedChunkFailsTheChannel) {
    const SteadyTime t0 = SteadyTime{} + 100s;
    enum class Fault { FlipLastByte, FlipFirstSecuredByte, WrongServerCertificate, WrongKeys };
    for (Fault fault : {Fault::FlipLastByte, Fault::FlipFirstSecuredByte, Fault::WrongServerCertificate, Fault::WrongKeys}) {
        SCOPED_TRACE(static_cast<int>(fault));
        SecuredPair p(MessageSecurityMode::SignAndEncrypt, 2048, 2048);
        p.channel.hello("opc.tcp://localhost:4840");
        p.Feed(test::ServerChunks::Ack({}), t0);
        ASSERT_TRUE(p.peer.ReadOpen(p.SendOpen(1)));
        if (fault == Fault::WrongServerCertificate) {
            const Bytes other = TestCredentials(2048, "urn:test:other").certificate;
            EXPECT_EQ(p.Feed(p.peer.Open(1, {7, 1, 0, 40000}, &other), t0).at(0).status, kBadCertificateInvalid);
            continue;
        }
        ASSERT_EQ(p.Feed(p.peer.Open(1, {7, 1, 0, 40000}), t0).at(0).kind, Kind::Opened);
        Bytes msg = p.peer.Msg(2, 1, Range(0, 100));
        if (fault == Fault::FlipLastByte) msg.back() ^= 0x80;
        if (fault == Fault::FlipFirstSecuredByte) msg[16] ^= 1;
        if (fault == Fault::WrongKeys) {
            p.peer.mirror.derive_keys(1, crypto::random_bytes(32), crypto::random_bytes(32));
            msg = p.peer.Msg(2, 1, Range(0, 100));
        }
        const auto events = p.Feed(msg, t0);
        ASSERT_EQ(events.at(0).kind, Kind::Failed);
        EXPECT_EQ(events.at(0).status, status::BadSecurityChecksFailed);
    }
}

TEST(UaSecurity, TheOpenAnswerIsHeldToThePolicyAndTheRequest) {
    const SteadyTime t0 = SteadyTime{} + 100s;
    struct Case {
        const char* what;
        size_t nonce_length;
        uint32_t answered_id; // the OPN went out as request 1
        uint32_t lifetime;
        StatusCode want;
        SteadyTime renew_at = {};
    };
    const Case cases[] = {
        {"as asked", 32, 1, 40000, status::Good, t0 + 30s},
        {"short server nonce", 16, 1, 40000, status::BadNonceInvalid},
        {"long server nonce", 64, 1, 40000, status::BadNonceInvalid},
        {"answer to another request", 32, 9, 40000, status::BadSecurityChecksFailed},
        {"lifetime below the floor", 32, 1, 1000, status::Good, t0 + 7500ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SecuredPair p(MessageSecurityMode::SignAndEncrypt, 2048, 2048);
        p.channel.hello("opc.tcp://localhost:4840");
        p.Feed(test::ServerChunks::Ack({}), t0);
        ASSERT_TRUE(p.peer.ReadOpen(p.SendOpen(1)));
        p.peer.nonce_length = c.nonce_length;
        const auto events = p.Feed(p.peer.Open(c.answered_id, {7, 1, 0, c.lifetime}), t0);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].status, c.want);
        if (c.want == status::Good) {
            EXPECT_EQ(p.channel.renew_at(), c.renew_at);
        } else {
            EXPECT_EQ(p.channel.state(), SecureChannel::State::Failed);
        }
    }
}

// A CreateSession answer as a server signs it.
CreateSessionResponse Created(const Credentials& server, const Credentials& client, const Bytes& client_nonce,
                              const EndpointDescription& endpoint, const PolicySuite& suite = kBasic256Sha256) {
    CreateSessionResponse cs;
    const Bytes nonce = crypto::random_bytes(32);
    cs.server_nonce = std::string(nonce.begin(), nonce.end());
    cs.server_certificate = std::string(server.certificate.begin(), server.certificate.end());
    cs.server_endpoints = {endpoint};
    cs.server_signature.algorithm = std::string(suite.signature_uri);
    const Bytes sig = server.key.sign(Cat(client.certificate, client_nonce), suite.signing);
    cs.server_signature.signature = std::string(sig.begin(), sig.end());
    return cs;
}

EndpointDescription Endpoint(MessageSecurityMode mode, const Bytes& certificate, std::string token_policy,
                             uint8_t level = 0, std::string_view policy = kBasic256Sha256Uri) {
    EndpointDescription ep;
    ep.endpoint_url = std::string("opc.tcp://localhost:4840");
    ep.server.application_uri = std::string("urn:test:server");
    ep.server_certificate = std::string(certificate.begin(), certificate.end());
    ep.security_mode = mode;
    ep.security_policy_uri = std::string(mode == MessageSecurityMode::None ? kSecurityPolicyNone : policy);
    ep.user_identity_tokens = {UserTokenPolicy{std::string("anon"), UserTokenType::Anonymous, {}, {}, {}},
                               UserTokenPolicy{std::string("user"), UserTokenType::UserName, {}, {}, token_policy}};
    ep.security_level = level;
    return ep;
}

TEST(UaSecurity, SessionSignaturesAndTheUserNameToken) {
    const Credentials& client = TestCredentials(2048);
    const Credentials& server = TestCredentials(2048, "urn:test:server");
    const Bytes nonce = crypto::random_bytes(32);
    const std::string b256(kBasic256Sha256Uri);

    // Secured endpoint, user name: our signature over server certificate +
    // nonce, the password as length + password + nonce for the server's key,
    // each with the policy's algorithms.
    std::string why;
    for (const PolicySuite* suite : kSecuredPolicies) {
        SCOPED_TRACE(suite->name);
        const std::string uri(suite->uri);
        const EndpointDescription secured =
            Endpoint(MessageSecurityMode::SignAndEncrypt, server.certificate, uri, 0, uri);
        EndpointSecurity with_user(secured, client, {"operator", "s3cret"});
        EXPECT_EQ(with_user.make_policy()->uri(), suite->uri);
        const CreateSessionResponse cs = Created(server, client, nonce, secured, *suite);
        ActivateSessionRequest as;
        ASSERT_EQ(with_user.activate(cs, nonce, as, &why), status::Good) << why;
        EXPECT_EQ(as.client_signature.algorithm, std::string(suite->signature_uri));
        const Bytes server_nonce(cs.server_nonce->begin(), cs.server_nonce->end());
        EXPECT_TRUE(client.key.verify(Cat(server.certificate, server_nonce),
                                      crypto::view(as.client_signature.signature.value_or("")), suite->signing));
        const auto token = from_extension<UserNameIdentityToken>(as.user_identity_token);
        ASSERT_TRUE(token);
        EXPECT_EQ(token->policy_id, std::string("user"));
        EXPECT_EQ(token->encryption_algorithm, std::string(suite->encryption_uri));
        Bytes secret;
        ASSERT_TRUE(server.key.decrypt(crypto::view(token->password.value_or("")), secret, suite->oaep));
        EXPECT_EQ(secret, Cat(Cat(Bytes{6 + 32, 0, 0, 0}, Text("s3cret")), server_nonce));
    }

    // What must fail, and why.
    struct Case {
        const char* what;
        std::function<void(CreateSessionResponse&)> change;
        MessageSecurityMode mode;
        std::string token_policy;
        StatusCode want;
        const PolicySuite& suite = kBasic256Sha256;
    };
    const Case cases[] = {
        {"server signature over another nonce",
         [&](CreateSessionResponse& r) {
             const Bytes s = server.key.sign(Cat(client.certificate, crypto::random_bytes(32)));
             r.server_signature.signature = std::string(s.begin(), s.end());
         },
         MessageSecurityMode::Sign, b256, kBadApplicationSignatureInvalid},
        {"session certificate other than the endpoint's",
         [&](CreateSessionResponse& r) {
             const Bytes& other = TestCredentials(2048, "urn:test:other").certificate;
             r.server_certificate = std::string(other.begin(), other.end());
         },
         MessageSecurityMode::Sign, b256, kBadCertificateInvalid},
        {"password in clear on a channel that only signs", [](CreateSessionResponse&) {}, MessageSecurityMode::Sign,
         std::string(kSecurityPolicyNone), status::BadIdentityTokenRejected},
        {"token policy we cannot encrypt for", [](CreateSessionResponse&) {}, MessageSecurityMode::Sign,
         "http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15", status::BadIdentityTokenRejected},
        {"server signature in PKCS#1 v1.5 named PSS under Aes256_Sha256_RsaPss",
         [&](CreateSessionResponse& r) {
             const Bytes s = server.key.sign(Cat(client.certificate, nonce), crypto::RsaSigning::Pkcs1);
             r.server_signature.signature = std::string(s.begin(), s.end());
         },
         MessageSecurityMode::Sign, b256, kBadApplicationSignatureInvalid, kAes256Sha256RsaPss},
        {"server signature named PKCS#1 v1.5 under Aes256_Sha256_RsaPss",
         [&](CreateSessionResponse& r) { r.server_signature.algorithm = std::string(kRsaSha256Uri); },
         MessageSecurityMode::Sign, b256, kBadApplicationSignatureInvalid, kAes256Sha256RsaPss},
        // What a man in the middle of an unsecured channel would change.
        {"session certificate other than the endpoint's, under None",
         [&](CreateSessionResponse& r) {
             const Bytes& other = TestCredentials(2048, "urn:test:other").certificate;
             r.server_certificate = std::string(other.begin(), other.end());
         },
         MessageSecurityMode::None, b256, kBadCertificateInvalid},
        {"no session certificate, under None", [](CreateSessionResponse& r) { r.server_certificate.reset(); },
         MessageSecurityMode::None, b256, kBadCertificateInvalid},
        {"session endpoints cut down",
         [](CreateSessionResponse& r) {
             r.server_endpoints[0].security_mode = MessageSecurityMode::Sign; // was SignAndEncrypt
         },
         MessageSecurityMode::SignAndEncrypt, b256, status::BadSecurityChecksFailed},
        {"session endpoints with another certificate",
         [&](CreateSessionResponse& r) {
             const Bytes& other = TestCredentials(2048, "urn:test:other").certificate;
             r.server_endpoints[0].server_certificate = std::string(other.begin(), other.end());
         },
         MessageSecurityMode::None, b256, status::BadSecurityChecksFailed},
        {"session endpoints one more", [](CreateSessionResponse& r) { r.server_endpoints.push_back(r.server_endpoints[0]);
             r.server_endpoints[1].security_policy_uri = std::string("http://example.com/other"); },
         MessageSecurityMode::Sign, b256, status::BadSecurityChecksFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const EndpointDescription ep = Endpoint(c.mode, server.certificate, c.token_policy, 0, c.suite.uri);
        CreateSessionResponse r = Created(server, client, nonce, ep, c.suite);
        c.change(r);
        ActivateSessionRequest a;
        std::string reason;
        EXPECT_EQ(EndpointSecurity(ep, client, {"operator", "pw"}).activate(r, nonce, a, &reason), c.want);
        EXPECT_FALSE(reason.empty());
    }

    // An unsecured channel still encrypts the password when the token policy asks.
    const EndpointDescription none = Endpoint(MessageSecurityMode::None, server.certificate, b256);
    EndpointSecurity over_none(none, {}, {"operator", "pw"});
    EXPECT_EQ(over_none.client_certificate(), Bytes{});
    EXPECT_EQ(over_none.make_policy()->uri(), kSecurityPolicyNoneUri);
    CreateSessionResponse plain = Created(server, client, nonce, none);
    plain.server_signature = {};
    ActivateSessionRequest a;
    ASSERT_EQ(over_none.activate(plain, nonce, a, &why), status::Good) << why;
    EXPECT_FALSE(a.client_signature.signature.has_value());
    const auto t = from_extension<UserNameIdentityToken>(a.user_identity_token);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->encryption_algorithm, std::string(kRsaOaepUri));
}

TEST(UaSecurity, ChoosingTheEndpoint) {
    const Bytes& cert = TestCredentials(2048, "urn:test:server").certificate;
    const std::string b256(kBasic256Sha256Uri);
    const std::vector<EndpointDescription> all = {Endpoint(MessageSecurityMode::None, {}, b256, 0),
                                                  Endpoint(MessageSecurityMode::Sign, cert, b256, 5),
                                                  Endpoint(MessageSecurityMode::SignAndEncrypt, cert, b256, 3)};
    using M = MessageSecurityMode;
    // Every policy in both modes, the weaker ones ranked higher by the server.
    std::vector<EndpointDescription> policies = {all[0]};
    for (const PolicySuite* suite : {&kAes128Sha256RsaOaep, &kBasic256Sha256, &kAes256Sha256RsaPss})
        for (M mode : {M::Sign, M::SignAndEncrypt})
            policies.push_back(Endpoint(mode, cert, b256, suite == &kAes256Sha256RsaPss ? 1 : 9, suite->uri));
    std::vector<EndpointDescription> without_pss;
    for (const auto& ep : policies)
        if (ep.security_policy_uri != std::string(kAes256Sha256RsaPssUri)) without_pss.push_back(ep);
    struct Case {
        std::map<std::string, std::string> options;
        std::vector<EndpointDescription> endpoints;
        std::optional<M> want; // nothing: refused
        std::string_view policy = {}; // the policy chosen, when it matters
    };
    std::vector<EndpointDescription> anonymous_none_only = {all[0]};
    std::vector<EndpointDescription> no_user_token = {all[2]};
    no_user_token[0].user_identity_tokens.pop_back();
    const Case cases[] = {
        {{}, all, M::SignAndEncrypt},
        {{{"mode", "Sign"}}, all, M::Sign},
        {{{"mode", "None"}}, all, M::None},
        {{{"mode", "SignAndEncrypt"}, {"policy", "Basic256Sha256"}}, all, M::SignAndEncrypt},
        {{}, anonymous_none_only, M::None},
        {{{"mode", "Sign"}}, anonymous_none_only, std::nullopt},
        {{{"user", "op"}, {"password-file", "/x"}}, no_user_token, std::nullopt},
        {{{"mode", "Crypt"}}, all, std::nullopt},
        {{{"policy", "Basic128Rsa15"}}, all, std::nullopt},
        {{{"user", "op"}}, all, std::nullopt},
        {{{"mode", "None"}, {"policy", "Basic256Sha256"}}, all, std::nullopt},
        {{}, policies, M::SignAndEncrypt, kAes256Sha256RsaPssUri},
        {{{"mode", "Sign"}}, policies, M::Sign, kAes256Sha256RsaPssUri},
        {{}, without_pss, M::SignAndEncrypt, kBasic256Sha256Uri},
        {{{"policy", "Aes128_Sha256_RsaOaep"}}, policies, M::SignAndEncrypt, kAes128Sha256RsaOaepUri},
        {{{"policy", std::string(kAes256Sha256RsaPssUri)}, {"mode", "Sign"}}, policies, M::Sign, kAes256Sha256RsaPssUri},
        {{{"policy", "Aes256_Sha256_RsaPss"}}, without_pss, std::nullopt},
        {{{"policy", "aes256_sha256_rsapss"}}, policies, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string trace;
        for (const auto& [k, v] : c.options) trace += k + "=" + v + " ";
        SCOPED_TRACE(trace);
        std::string error;
        const auto options = parse_security_options(c.options, &error);
        std::optional<EndpointDescription> chosen;
        if (options) chosen = choose_endpoint(c.endpoints, *options, &error);
        ASSERT_EQ(chosen.has_value(), c.want.has_value()) << error;
        if (chosen) {
            EXPECT_EQ(chosen->security_mode, *c.want);
            if (!c.policy.empty()) {
                EXPECT_EQ(chosen->security_policy_uri, std::string(c.policy));
            }
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(UaSecurity, PasswordFilesReadableByTheOwnerOnly) {
    TempDir dir;
    const std::string file = (dir.path / "pw").string();
    std::ofstream(file) << "first line\r\nsecond\n";
    struct Case {
        mode_t mode;
        std::optional<std::string> want;
    };
    for (const Case& c : {Case{0600, "first line"}, Case{0400, "first line"}, Case{0640, std::nullopt},
                         Case{0604, std::nullopt}, Case{0620, std::nullopt}}) {
        ::chmod(file.c_str(), c.mode);
        std::string error;
        EXPECT_EQ(read_password_file(file, &error), c.want) << std::oct << c.mode;
        if (!c.want) {
            EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
        }
    }

    // What is refused besides, and the words that say why.
    const std::string newline = (dir.path / "newline").string(), crlf = (dir.path / "crlf").string();
    std::ofstream(newline) << "\n";
    std::ofstream(crlf) << "\r\nsecond line\n";
    const std::string link = (dir.path / "link").string(), fifo = (dir.path / "fifo").string();
    ::symlink(file.c_str(), link.c_str());
    ::mkfifo(fifo.c_str(), 0600);
    ::chmod(file.c_str(), 0600);
    for (const std::string& f : {newline, crlf}) ::chmod(f.c_str(), 0600);
    const std::pair<std::string, const char*> refused[] = {
        {newline, "empty"}, {crlf, "empty"}, {link, "symbolic link"}, {fifo, "not a regular file"},
        {(dir.path / "missing").string(), "missing"}};
    for (const auto& [path, says] : refused) {
        SCOPED_TRACE(path);
        std::string error;
        EXPECT_FALSE(read_password_file(path, &error));
        EXPECT_NE(error.find(says), std::string::npos) << error;
    }
}

TEST(UaPki, OwnCertificateIsMadeOnceWithAPrivateKey) {
    TempDir dir;
    Pki pki(dir.path / "pki");
    std::string error;
    const auto own = pki.own("urn:host:ostrand", "host", &error);
    ASSERT_TRUE(own) << error;
    struct stat st {};
    ASSERT_EQ(::stat((dir.path / "pki/own/private/ostrand.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char* sub : {"own/certs", "trusted/certs", "trusted/crl", "issuers/certs", "rejected"})
        EXPECT_TRUE(std::filesystem::is_directory(dir.path / "pki" / sub)) << sub;
    EXPECT_EQ(own->key.size(), 256u);
    // Our own certificate passes the checks a server makes of it.
    Pki mirror(dir.path / "mirror");
    for (const char* sub : {"mirror", "mirror/trusted", "mirror/trusted/certs"}) ::mkdir((dir.path / sub).c_str(), 0700);
    std::ofstream(dir.path / "mirror/trusted/certs/client.der", std::ios::binary)
        .write(reinterpret_cast<const char*>(own->certificate.data()), static_cast<std::streamsize>(own->certificate.size()));
    EXPECT_EQ(mirror.check_server(own->certificate, "urn:host:ostrand", "host", &error), status::Good) << error;

    const auto again = pki.own("urn:host:ostrand", "host", &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->certificate, own->certificate) << "made on first use only";
}

TEST(UaPki, UntrustedServerLandsInRejectedUntilMovedToTrusted) {
    TempDir dir;
    Pki pki(dir.path);
    const crypto::RsaKey& key = TestCredentials(2048).key;
    const Bytes cert = make_certificate(key, "urn:test:plc7", "plc7", 30);
    std::string message;
    EXPECT_EQ(pki.check_server(cert, "urn:test:plc7", "plc7", &message), kBadCertificateUntrusted);
    const auto rejected = std::filesystem::directory_iterator(dir.path / "rejected");
    ASSERT_NE(rejected, std::filesystem::directory_iterator());
    const std::filesystem::path stored = rejected->path();
    EXPECT_NE(message.find(stored.string()), std::string::npos) << message;
    EXPECT_NE(message.find((dir.path / "trusted/certs").string()), std::string::npos) << message;
    std::filesystem::rename(stored, dir.path / "trusted/certs" / stored.filename());
    EXPECT_EQ(pki.check_server(cert, "urn:test:plc7", "plc7", &message), status::Good) << message;

    struct Case {
        const char* what;
        Bytes der;
        std::string uri, host;
        StatusCode want;
    };
    const Case cases[] = {
        {"another application URI", cert, "urn:test:plc8", "plc7", kBadCertificateUriInvalid},
        {"another host", cert, "urn:test:plc7", "plc9", kBadCertificateHostNameInvalid},
        {"expired", make_certificate(key, "urn:test:plc7", "plc7", -1), "urn:test:plc7", "plc7",
         kBadCertificateTimeInvalid},
        {"1024-bit key", make_certificate(crypto::RsaKey::generate(1024), "urn:test:plc7", "plc7", 30),
         "urn:test:plc7", "plc7", kBadCertificateInvalid},
        {"not a certificate", Text("garbage"), "urn:test:plc7", "plc7", kBadCertificateInvalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pki.check_server(c.der, c.uri, c.host, &message), c.want);
        EXPECT_FALSE(message.empty());
    }
}

} // namespace
} // namespace ostrand::ua
