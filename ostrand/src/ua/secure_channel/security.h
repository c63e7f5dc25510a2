// Secured OPC UA sessions: the security policies Basic256Sha256,
// Aes128_Sha256_RsaOaep and Aes256_Sha256_RsaPss (modes Sign and
// SignAndEncrypt) behind the channel's `SecurityPolicy` seam, what a secured
// or authenticated session adds to CreateSession and ActivateSession, the
// user identities (anonymous, user name and password), and the choice of the
// server's endpoint from the per-server options of the endpoint list file.
//
// Contract:
// - RsaAesPolicy is pure (no files, no clock). It holds our certificate and
//   key and the server's certificate taken from the endpoint chosen
//   beforehand (GetEndpoints); an OPN answer from another certificate, or
//   naming another certificate of ours, fails the channel.
// - Symmetric keys are derived per token from both nonces (OPC UA Part 6,
//   deriving keys); the channel asks to forget a token's keys when it expires,
//   so after a renewal the previous set keeps working until then.
// - A signature, padding or block length that does not verify is
//   BadSecurityChecksFailed, never a crash or a partial result.
#pragma once

#include "ua/encoding/messages.h"
#include "ua/secure_channel/channel.h"
#include "ua/secure_channel/crypto.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrand::ua {

constexpr std::string_view kBasic256Sha256Uri = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
constexpr std::string_view kRsaSha256Uri = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr std::string_view kRsaOaepUri = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kAes128Sha256RsaOaepUri = "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep";
constexpr std::string_view kAes256Sha256RsaPssUri = "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss";
constexpr std::string_view kRsaPssSha256Uri = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr std::string_view kRsaOaepSha256Uri = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";
constexpr size_t kSecureNonceLength = 32;
// Keys of 2048 to 4096 bits (the asymmetric key lengths of all three policies).
constexpr size_t kMinKeyBytes = 256;
constexpr size_t kMaxKeyBytes = 512;

// Certificate and signature failures (OPC UA Part 4, status codes).
constexpr StatusCode kBadCertificateInvalid = 0x80120000;
constexpr StatusCode kBadCertificateTimeInvalid = 0x80140000;
constexpr StatusCode kBadCertificateHostNameInvalid = 0x80160000;
constexpr StatusCode kBadCertificateUriInvalid = 0x80170000;
constexpr StatusCode kBadCertificateUntrusted = 0x801A0000;
constexpr StatusCode kBadApplicationSignatureInvalid = 0x80580000;
constexpr StatusCode kBadConfigurationError = 0x80890000;

// Our application instance certificate (DER) and its private key.
struct Credentials {
    crypto::Bytes certificate;
    crypto::RsaKey key;
};

// What sets the RSA and AES policies apart (OPC UA Part 7). All three sign
// chunks with HMAC-SHA256 under 32-byte keys, derive keys with P_SHA256, use
// 32-byte nonces, AES-CBC with 16-byte IVs and RSA keys of 2048 to 4096 bits.
struct PolicySuite {
    std::string_view name;           // as the endpoint list file writes it
    std::string_view uri;
    size_t encrypting_key;           // AES key bytes: 16 (AES-128) or 32 (AES-256)
    crypto::RsaSigning signing;      // OPN chunks and session signatures
    crypto::OaepHash oaep;           // OPN chunks and user tokens
    std::string_view signature_uri;  // the algorithm of session signatures
    std::string_view encryption_uri; // the algorithm of an encrypted user token
};
inline constexpr PolicySuite kBasic256Sha256{"Basic256Sha256", kBasic256Sha256Uri, 32, crypto::RsaSigning::Pkcs1,
                                             crypto::OaepHash::Sha1, kRsaSha256Uri, kRsaOaepUri};
inline constexpr PolicySuite kAes128Sha256RsaOaep{"Aes128_Sha256_RsaOaep", kAes128Sha256RsaOaepUri, 16,
                                                  crypto::RsaSigning::Pkcs1, crypto::OaepHash::Sha1, kRsaSha256Uri,
                                                  kRsaOaepUri};
inline constexpr PolicySuite kAes256Sha256RsaPss{"Aes256_Sha256_RsaPss", kAes256Sha256RsaPssUri, 32,
                                                 crypto::RsaSigning::Pss, crypto::OaepHash::Sha256,
                                                 kRsaPssSha256Uri, kRsaOaepSha256Uri};
// The secured policies we speak, the most secure first.
inline constexpr std::array<const PolicySuite*, 3> kSecuredPolicies{&kAes256Sha256RsaPss, &kBasic256Sha256,
                                                                    &kAes128Sha256RsaOaep};
// The suite of a policy named by its name or URI; nullptr when it is not one of ours.
const PolicySuite* find_suite(std::string_view name_or_uri);

class RsaAesPolicy : public SecurityPolicy {
public:
    RsaAesPolicy(const PolicySuite& suite, MessageSecurityMode mode, Credentials own,
                 crypto::View server_certificate);

    const PolicySuite& suite() const { return suite_; }
    bool usable() const { return usable_; } // both keys present and of an allowed size
    std::string_view uri() const override { return suite_.uri; }
    MessageSecurityMode mode() const override { return mode_; }
    size_t nonce_length() const override { return kSecureNonceLength; }
    Sizes sizes(Keys keys) const override;
    std::span<const uint8_t> local_certificate() const override { return own_.certificate; }
    std::span<const uint8_t> remote_thumbprint() const override { return server_thumbprint_; }
    StatusCode check_remote(std::span<const uint8_t> sender_certificate,
                            std::span<const uint8_t> receiver_thumbprint) override;
    StatusCode derive_keys(uint32_t token_id, std::span<const uint8_t> client_nonce,
                           std::span<const uint8_t> server_nonce) override;
    void forget_keys(uint32_t token_id) override { keys_.erase(token_id); }
    StatusCode sign(Keys keys, std::span<const uint8_t> data, std::span<uint8_t> signature) override;
    StatusCode verify(Keys keys, std::span<const uint8_t> data, std::span<const uint8_t> signature) override;
    StatusCode encrypt(Keys keys, std::span<const uint8_t> plain, std::vector<uint8_t>& out) override;
    StatusCode decrypt(Keys keys, std::span<const uint8_t> cipher, std::vector<uint8_t>& out) override;

    size_t key_sets() const { return keys_.size(); } // tokens whose keys are held

    // One side's keys of a token: signing key, encryption key, IV; wiped
    // when they go (a forgotten token, the channel's end).
    struct KeySet {
        crypto::Bytes signing, encrypting, iv;
        KeySet() = default;
        KeySet(const KeySet&) = default;
        KeySet& operator=(const KeySet&) = default;
        ~KeySet();
    };
    // `encrypting_key` bytes of encryption key (the suite's).
    static KeySet derive(crypto::View secret, crypto::View seed, size_t encrypting_key = 32);

private:
    struct TokenKeys {
        KeySet client, server;
    };

    const PolicySuite& suite_;
    MessageSecurityMode mode_;
    Credentials own_;
    crypto::Bytes server_certificate_;
    crypto::Bytes server_thumbprint_;
    crypto::RsaKey server_key_;
    bool usable_ = false;
    std::map<uint32_t, TokenKeys> keys_;
};

class Basic256Sha256Policy : public RsaAesPolicy {
public:
    Basic256Sha256Policy(MessageSecurityMode mode, Credentials own, crypto::View server_certificate)
        : RsaAesPolicy(kBasic256Sha256, mode, std::move(own), server_certificate) {}
};

// Who the session is for.
struct UserIdentity {
    std::string user;     // empty: anonymous
    std::string password;
};

// What the engine asks of a secured or authenticated session (UaSettings::security).
class SessionSecurity {
public:
    virtual ~SessionSecurity() = default;
    // The channel's policy, made afresh for every connection.
    virtual std::unique_ptr<SecurityPolicy> make_policy() const = 0;
    // ClientCertificate of CreateSession (empty: null).
    virtual crypto::Bytes client_certificate() const = 0;
    // Checks the CreateSession answer (the server's certificate and signature)
    // and fills `activate` with our signature and the identity token. Bad and
    // a reason for the operator when the server fails a check or the identity
    // cannot be sent as the server asks.
    virtual StatusCode activate(const CreateSessionResponse& created, crypto::View client_nonce,
                                ActivateSessionRequest& activate, std::string* reason) const = 0;
};

// The session side of an endpoint: its mode and policy, our credentials,
// the user, and the endpoint as GetEndpoints described it (its certificate
// the one the trust checks passed), among the `offered` endpoints of that
// answer (empty: just this one).
//
// activate() holds CreateSession's answer to what GetEndpoints said: the
// session's certificate must be the endpoint's, byte for byte, and its list
// of endpoints must offer the same security modes, policies and certificates
// (OPC UA Part 4, CreateSession serverEndpoints; certificates where that list
// carries them, as servers are asked to leave them out), else
// BadSecurityChecksFailed:
// a list rewritten on the way could have steered the choice of endpoint. A
// password is only ever encrypted for the endpoint's certificate. The
// password is wiped when the object goes.
class EndpointSecurity : public SessionSecurity {
public:
    EndpointSecurity(EndpointDescription endpoint, Credentials own, UserIdentity user,
                     std::vector<EndpointDescription> offered = {});
    ~EndpointSecurity() override;
    EndpointSecurity(const EndpointSecurity&) = delete;
    EndpointSecurity& operator=(const EndpointSecurity&) = delete;
    std::unique_ptr<SecurityPolicy> make_policy() const override;
    crypto::Bytes client_certificate() const override;
    StatusCode activate(const CreateSessionResponse& created, crypto::View client_nonce,
                        ActivateSessionRequest& activate, std::string* reason) const override;
    const EndpointDescription& endpoint() const { return endpoint_; }
    const std::string& user_name() const { return user_.user; }

private:
    bool secured() const { return endpoint_.security_mode != MessageSecurityMode::None; }
    EndpointDescription endpoint_;
    std::vector<EndpointDescription> offered_;
    Credentials own_;
    UserIdentity user_;
};

// The legacy secret of a UserNameIdentityToken (OPC UA Part 4, user name
// token encryption): UInt32 length of what follows, the password, the server
// nonce, encrypted with the server's public key (OAEP with the hash of the
// token's policy).
std::optional<crypto::Bytes> encrypt_password(const std::string& password, crypto::View server_nonce,
                                              const crypto::RsaKey& server_key,
                                              crypto::OaepHash oaep = crypto::OaepHash::Sha1);

// The options of one line of the endpoint list file that concern security.
struct SecurityOptions {
    std::optional<MessageSecurityMode> mode; // mode=None|Sign|SignAndEncrypt
    std::string policy;                      // policy=NAME of a supported policy (its URI, or empty: any)
    std::string user;                        // user=NAME
    std::string password_file;               // password-file=PATH
};
// Parses the security keys of `options` (others are left to their owners).
// Nothing, and *error says which, for an unknown mode or policy, or a user
// without a password file.
std::optional<SecurityOptions> parse_security_options(const std::map<std::string, std::string>& options,
                                                      std::string* error);

// The endpoint to connect to: the one the options name, else the most secure
// one we support (SignAndEncrypt over Sign, then the policy in the order of
// kSecuredPolicies, then the server's security level);
// None only when the server offers nothing else or the options ask for it.
// With a user, the endpoint must take a user name token. Nothing, and *error
// says why, when no endpoint fits.
std::optional<EndpointDescription> choose_endpoint(const std::vector<EndpointDescription>& endpoints,
                                                   const SecurityOptions& options, std::string* error);

// What a refused session means for the operator when the status is about
// security or identity ("" otherwise), e.g. a wrong user name or password.
std::string security_refusal(StatusCode status);

// The first line of a password file (without its line end). Refused when the
// file is not a regular file (a symlink is not followed), can be read or
// written by its group or others, cannot be read, or its first line is empty.
std::optional<std::string> read_password_file(const std::string& path, std::string* error);

} // namespace ostrand::ua
