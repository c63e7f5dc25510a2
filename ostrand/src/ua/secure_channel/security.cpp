// Secured OPC UA sessions: see ua/secure_channel/security.h.
#include "ua/secure_channel/security.h"

#include "ua/encoding/codec.h"
#include "ua/secure_channel/secrets.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace ostrand::ua {

namespace {

using crypto::Bytes;
using crypto::View;

constexpr size_t kSymmetricSignature = 32; // HMAC-SHA256
constexpr size_t kAesBlock = 16;

bool same(View a, View b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Bytes join(View a, View b) {
    Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

View bytes_of(const ByteString& b) {
    return b ? crypto::view(*b) : View{};
}

ByteString byte_string(View v) {
    if (v.empty()) return std::nullopt;
    return std::string(v.begin(), v.end());
}

bool key_size_ok(const crypto::RsaKey& key) {
    return key && key.size() >= kMinKeyBytes && key.size() <= kMaxKeyBytes;
}

} // namespace

// ---- RsaAesPolicy ---------------------------------------------------------------------

const PolicySuite* find_suite(std::string_view name_or_uri) {
    for (const PolicySuite* suite : kSecuredPolicies)
        if (name_or_uri == suite->name || name_or_uri == suite->uri) return suite;
    return nullptr;
}

RsaAesPolicy::RsaAesPolicy(const PolicySuite& suite, MessageSecurityMode mode, Credentials own,
                           View server_certificate)
    : suite_(suite), mode_(mode), own_(std::move(own)), server_certificate_(server_certificate.begin(), server_certificate.end()),
      server_thumbprint_(crypto::sha1(server_certificate)), server_key_(crypto::RsaKey::from_certificate(server_certificate)) {
    usable_ = (mode_ == MessageSecurityMode::Sign || mode_ == MessageSecurityMode::SignAndEncrypt) &&
              key_size_ok(own_.key) && key_size_ok(server_key_) && !own_.certificate.empty();
}

SecurityPolicy::Sizes RsaAesPolicy::sizes(Keys keys) const {
    Sizes s;
    if (keys.asymmetric) {
        // We encrypt for the server's key and sign with ours; it does the reverse.
        const crypto::RsaKey& encrypting = keys.incoming ? own_.key : server_key_;
        const crypto::RsaKey& signing = keys.incoming ? server_key_ : own_.key;
        s.cipher_block = std::max<size_t>(encrypting.size(), 1);
        s.plain_block = std::max<size_t>(encrypting.plain_block(suite_.oaep), 1);
        s.signature = signing.size();
        s.encrypts = true; // OPN is encrypted in both modes
        return s;
    }
    s.plain_block = s.cipher_block = kAesBlock;
    s.signature = kSymmetricSignature;
    s.encrypts = mode_ == MessageSecurityMode::SignAndEncrypt;
    return s;
}

StatusCode RsaAesPolicy::check_remote(std::span<const uint8_t> sender_certificate,
                                              std::span<const uint8_t> receiver_thumbprint) {
    // The sender certificate may be followed by its issuers' (a chain).
    if (!usable_ || sender_certificate.size() < server_certificate_.size() ||
        !same(sender_certificate.first(server_certificate_.size()), server_certificate_))
        return kBadCertificateInvalid;
    if (!same(receiver_thumbprint, crypto::sha1(own_.certificate))) return kBadCertificateInvalid;
    return status::Good;
}

RsaAesPolicy::KeySet::~KeySet() {
    wipe(signing);
    wipe(encrypting);
    wipe(iv);
}

RsaAesPolicy::KeySet RsaAesPolicy::derive(View secret, View seed, size_t encrypting_key) {
    // Signing key 32, the encryption key, IV 16, in this order.
    const size_t key = encrypting_key;
    Bytes all = crypto::p_sha256(secret, seed, 32 + key + kAesBlock);
    KeySet k;
    if (all.size() != 32 + key + kAesBlock) return k;
    const auto at = [&](size_t n) { return all.begin() + static_cast<ptrdiff_t>(n); };
    k.signing.assign(all.begin(), at(32));
    k.encrypting.assign(at(32), at(32 + key));
    k.iv.assign(at(32 + key), all.end());
    wipe(all);
    return k;
}

StatusCode RsaAesPolicy::derive_keys(uint32_t token_id, std::span<const uint8_t> client_nonce,
                                             std::span<const uint8_t> server_nonce) {
    if (client_nonce.size() != kSecureNonceLength || server_nonce.size() < kSecureNonceLength ||
        server_nonce.size() > 1024)
        return status::BadNonceInvalid;
    TokenKeys keys{derive(server_nonce, client_nonce, suite_.encrypting_key),
                   derive(client_nonce, server_nonce, suite_.encrypting_key)};
    if (keys.client.signing.empty() || keys.server.signing.empty()) return status::BadSecurityChecksFailed;
    keys_[token_id] = std::move(keys);
    return status::Good;
}

StatusCode RsaAesPolicy::sign(Keys keys, std::span<const uint8_t> data, std::span<uint8_t> signature) {
    Bytes made;
    if (keys.asymmetric) {
        made = own_.key.sign(data, suite_.signing);
    } else {
        const auto it = keys_.find(keys.token_id);
        if (it == keys_.end()) return status::BadSecureChannelTokenUnknown;
        made = crypto::hmac_sha256(it->second.client.signing, data);
    }
    if (made.size() != signature.size()) return status::BadSecurityChecksFailed;
    std::copy(made.begin(), made.end(), signature.begin());
    return status::Good;
}

StatusCode RsaAesPolicy::verify(Keys keys, std::span<const uint8_t> data,
                                        std::span<const uint8_t> signature) {
    if (keys.asymmetric)
        return server_key_.verify(data, signature, suite_.signing) ? status::Good : status::BadSecurityChecksFailed;
    const auto it = keys_.find(keys.token_id);
    if (it == keys_.end()) return status::BadSecureChannelTokenUnknown;
    return same(crypto::hmac_sha256(it->second.server.signing, data), signature) ? status::Good
                                                                                 : status::BadSecurityChecksFailed;
}

StatusCode RsaAesPolicy::encrypt(Keys keys, std::span<const uint8_t> plain, std::vector<uint8_t>& out) {
    if (keys.asymmetric) {
        if (plain.size() % std::max<size_t>(server_key_.plain_block(suite_.oaep), 1) != 0)
            return status::BadSecurityChecksFailed;
        return server_key_.encrypt(plain, out, suite_.oaep) ? status::Good : status::BadSecurityChecksFailed;
    }
    const auto it = keys_.find(keys.token_id);
    if (it == keys_.end()) return status::BadSecureChannelTokenUnknown;
    const KeySet& k = it->second.client;
    return crypto::aes_cbc(true, k.encrypting, k.iv, plain, out) ? status::Good : status::BadSecurityChecksFailed;
}

StatusCode RsaAesPolicy::decrypt(Keys keys, std::span<const uint8_t> cipher, std::vector<uint8_t>& out) {
    if (keys.asymmetric)
        return own_.key.decrypt(cipher, out, suite_.oaep) ? status::Good : status::BadSecurityChecksFailed;
    const auto it = keys_.find(keys.token_id);
    if (it == keys_.end()) return status::BadSecureChannelTokenUnknown;
    const KeySet& k = it->second.server;
    return crypto::aes_cbc(false, k.encrypting, k.iv, cipher, out) ? status::Good : status::BadSecurityChecksFailed;
}

// ---- Sessions ------------------------------------------------------------------------

std::optional<Bytes> encrypt_password(const std::string& password, View server_nonce,
                                      const crypto::RsaKey& server_key, crypto::OaepHash oaep) {
    if (!server_key) return std::nullopt;
    const uint32_t length = static_cast<uint32_t>(password.size() + server_nonce.size());
    // Sized once: length (little-endian), password, nonce.
    Bytes plain(4 + password.size() + server_nonce.size());
    for (int i = 0; i < 4; ++i) plain[i] = static_cast<uint8_t>(length >> (8 * i));
    std::copy(password.begin(), password.end(), plain.begin() + 4);
    std::copy(server_nonce.begin(), server_nonce.end(), plain.begin() + 4 + static_cast<ptrdiff_t>(password.size()));
    Bytes out;
    const bool encrypted = server_key.encrypt(plain, out, oaep);
    wipe(plain);
    if (!encrypted) return std::nullopt;
    return out;
}

EndpointSecurity::EndpointSecurity(EndpointDescription endpoint, Credentials own, UserIdentity user,
                                   std::vector<EndpointDescription> offered)
    : endpoint_(std::move(endpoint)), offered_(std::move(offered)), own_(std::move(own)), user_(std::move(user)) {
    if (offered_.empty()) offered_.push_back(endpoint_);
}

EndpointSecurity::~EndpointSecurity() {
    wipe(user_.password);
}

namespace {

// What of an endpoint a downgrade would change: mode, policy, certificate
// (the leaf; empty where the list leaves it out).
using EndpointSecurityKey = std::tuple<int, std::string, std::string>;
std::vector<EndpointSecurityKey> security_of(const std::vector<EndpointDescription>& list, bool certificates) {
    std::vector<EndpointSecurityKey> out;
    for (const EndpointDescription& ep : list)
        out.emplace_back(static_cast<int>(ep.security_mode), ep.security_policy_uri.value_or(""),
                         certificates ? crypto::text(crypto::leaf_certificate(bytes_of(ep.server_certificate)))
                                      : std::string());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Whether CreateSession's endpoints are those GetEndpoints listed. Part 4
// recommends servers leave the certificates out of this list; a list that
// carries one must carry every one, each the same as before.
bool same_endpoints(const std::vector<EndpointDescription>& session, const std::vector<EndpointDescription>& listed) {
    const bool certificates = std::any_of(session.begin(), session.end(), [](const EndpointDescription& ep) {
        return !ep.server_certificate.value_or("").empty();
    });
    return security_of(session, certificates) == security_of(listed, certificates);
}

} // namespace

std::unique_ptr<SecurityPolicy> EndpointSecurity::make_policy() const {
    const PolicySuite* suite = find_suite(endpoint_.security_policy_uri.value_or(""));
    if (!secured() || suite == nullptr) return std::make_unique<NonePolicy>();
    return std::make_unique<RsaAesPolicy>(*suite, endpoint_.security_mode, own_,
                                          crypto::leaf_certificate(bytes_of(endpoint_.server_certificate)));
}

Bytes EndpointSecurity::client_certificate() const {
    return secured() ? own_.certificate : Bytes{};
}

StatusCode EndpointSecurity::activate(const CreateSessionResponse& created, View client_nonce,
                                      ActivateSessionRequest& activate, std::string* reason) const {
    // The certificate the trust checks passed (its first certificate when
    // the server sent a chain), the only key a password is encrypted for.
    const View server_certificate = crypto::leaf_certificate(bytes_of(endpoint_.server_certificate));
    const crypto::RsaKey server_key = crypto::RsaKey::from_certificate(server_certificate);
    const bool with_password = !user_.user.empty();
    if (secured() || with_password) {
        // The session must name that same certificate: under None nothing
        // else stops a man in the middle from handing in his own.
        if (server_certificate.empty() ||
            !same(crypto::leaf_certificate(bytes_of(created.server_certificate)), server_certificate)) {
            *reason = "the server's session certificate differs from its endpoint's";
            return kBadCertificateInvalid;
        }
    }
    if (secured()) {
        const PolicySuite* suite = find_suite(endpoint_.security_policy_uri.value_or(""));
        if (suite == nullptr) {
            *reason = "the endpoint's security policy is not supported";
            return status::BadSecurityChecksFailed;
        }
        // The server proves it holds its key by signing our certificate and nonce.
        if (created.server_signature.algorithm.value_or("") != suite->signature_uri ||
            !server_key.verify(join(own_.certificate, client_nonce), bytes_of(created.server_signature.signature),
                               suite->signing)) {
            *reason = "the server's session signature does not verify";
            return kBadApplicationSignatureInvalid;
        }
        if (bytes_of(created.server_nonce).size() < kSecureNonceLength) {
            *reason = "the server's session nonce is too short";
            return status::BadNonceInvalid;
        }
        const Bytes signature = own_.key.sign(join(server_certificate, bytes_of(created.server_nonce)), suite->signing);
        if (signature.empty()) {
            *reason = "signing ActivateSession failed";
            return status::BadInternalError;
        }
        activate.client_signature.algorithm = std::string(suite->signature_uri);
        activate.client_signature.signature = byte_string(signature);
    }
    // The endpoints as the session lists them must be those GetEndpoints
    // listed (OPC UA Part 4, CreateSession): one cut down on the way may have
    // steered us to a weaker endpoint than the server offers.
    if (!same_endpoints(created.server_endpoints, offered_)) {
        *reason = "the server's endpoints in CreateSession differ from those GetEndpoints listed (security mode, "
                  "policy or certificate); the endpoint list may have been altered on the way";
        return status::BadSecurityChecksFailed;
    }

    // The token policy: the one CreateSession lists for our endpoint, else
    // the one GetEndpoints listed.
    const UserTokenType wanted = user_.user.empty() ? UserTokenType::Anonymous : UserTokenType::UserName;
    const UserTokenPolicy* policy = nullptr;
    auto pick = [&](const EndpointDescription& ep) {
        if (ep.security_mode != endpoint_.security_mode || ep.security_policy_uri != endpoint_.security_policy_uri)
            return;
        for (const UserTokenPolicy& t : ep.user_identity_tokens)
            if (t.token_type == wanted && policy == nullptr) policy = &t;
    };
    for (const EndpointDescription& ep : created.server_endpoints) pick(ep);
    if (policy == nullptr) pick(endpoint_);
    if (policy == nullptr) {
        *reason = wanted == UserTokenType::Anonymous ? "the server refuses anonymous sessions on this endpoint"
                                                     : "the server takes no user name on this endpoint";
        return status::BadIdentityTokenRejected;
    }
    if (wanted == UserTokenType::Anonymous) {
        activate.user_identity_token = to_extension(AnonymousIdentityToken{policy->policy_id});
        return status::Good;
    }

    UserNameIdentityToken token;
    token.policy_id = policy->policy_id;
    token.user_name = user_.user;
    // An empty token security policy means the channel's.
    std::string token_policy = policy->security_policy_uri.value_or("");
    if (token_policy.empty()) token_policy = endpoint_.security_policy_uri.value_or("");
    if (token_policy == kSecurityPolicyNone) {
        if (endpoint_.security_mode != MessageSecurityMode::SignAndEncrypt) {
            *reason = "the server asks for the password in clear over an unencrypted channel; refused";
            return status::BadIdentityTokenRejected;
        }
        token.password = user_.password;
    } else if (const PolicySuite* token_suite = find_suite(token_policy)) {
        if (bytes_of(created.server_nonce).size() < kSecureNonceLength) {
            *reason = "the password cannot be encrypted for the server (no usable nonce)";
            return status::BadIdentityTokenRejected;
        }
        const auto secret =
            encrypt_password(user_.password, bytes_of(created.server_nonce), server_key, token_suite->oaep);
        if (!secret) {
            *reason = "the password cannot be encrypted for the server (no usable certificate)";
            return status::BadIdentityTokenRejected;
        }
        token.password = byte_string(*secret);
        token.encryption_algorithm = std::string(token_suite->encryption_uri);
    } else {
        *reason = "the server asks for the password under " + token_policy + ", which is not supported";
        return status::BadIdentityTokenRejected;
    }
    activate.user_identity_token = to_extension(token);
    if (token.password) wipe(*token.password);
    return status::Good;
}

// ---- Choosing an endpoint -----------------------------------------------------------

std::optional<SecurityOptions> parse_security_options(const std::map<std::string, std::string>& options,
                                                      std::string* error) {
    SecurityOptions out;
    // "security=" is the older spelling of "mode=".
    auto mode = options.find("mode");
    if (mode == options.end()) mode = options.find("security");
    if (const auto it = mode; it != options.end()) {
        if (it->second == "None") out.mode = MessageSecurityMode::None;
        else if (it->second == "Sign") out.mode = MessageSecurityMode::Sign;
        else if (it->second == "SignAndEncrypt") out.mode = MessageSecurityMode::SignAndEncrypt;
        else {
            *error = it->first + "=" + it->second + ": expected None, Sign or SignAndEncrypt";
            return std::nullopt;
        }
    }
    if (const auto it = options.find("policy"); it != options.end()) {
        if (const PolicySuite* suite = find_suite(it->second)) out.policy = suite->uri;
        else if (it->second == "None" || it->second == kSecurityPolicyNone) out.policy = kSecurityPolicyNone;
        else {
            *error = "policy=" + it->second +
                     ": expected Aes256_Sha256_RsaPss, Basic256Sha256, Aes128_Sha256_RsaOaep or None";
            return std::nullopt;
        }
    }
    if (out.mode && (*out.mode == MessageSecurityMode::None) != (out.policy == kSecurityPolicyNone) &&
        !out.policy.empty()) {
        *error = "mode and policy disagree (None goes with None)";
        return std::nullopt;
    }
    if (const auto it = options.find("user"); it != options.end()) out.user = it->second;
    if (const auto it = options.find("password-file"); it != options.end()) out.password_file = it->second;
    if (!out.user.empty() && out.password_file.empty()) {
        *error = "user=" + out.user + " needs password-file=PATH";
        return std::nullopt;
    }
    return out;
}

std::optional<EndpointDescription> choose_endpoint(const std::vector<EndpointDescription>& endpoints,
                                                   const SecurityOptions& options, std::string* error) {
    const EndpointDescription* best = nullptr;
    // The mode, then the policy (kSecuredPolicies lists the most secure first), then the server's level.
    auto strength = [](const std::string& uri) {
        for (size_t i = 0; i < kSecuredPolicies.size(); ++i)
            if (kSecuredPolicies[i]->uri == uri) return static_cast<int>(kSecuredPolicies.size() - i);
        return 0;
    };
    auto rank = [&](const EndpointDescription& ep) {
        return std::tuple{static_cast<int>(ep.security_mode), strength(ep.security_policy_uri.value_or("")),
                          static_cast<int>(ep.security_level)};
    };
    bool supported_any = false;
    for (const EndpointDescription& ep : endpoints) {
        const std::string uri = ep.security_policy_uri.value_or("");
        const bool none = ep.security_mode == MessageSecurityMode::None && uri == kSecurityPolicyNone;
        const bool ours = (ep.security_mode == MessageSecurityMode::Sign ||
                           ep.security_mode == MessageSecurityMode::SignAndEncrypt) &&
                          find_suite(uri) != nullptr && ep.server_certificate.has_value();
        if (!none && !ours) continue;
        supported_any = true;
        if (options.mode && ep.security_mode != *options.mode) continue;
        if (!options.policy.empty() && uri != options.policy) continue;
        const UserTokenType wanted = options.user.empty() ? UserTokenType::Anonymous : UserTokenType::UserName;
        if (std::none_of(ep.user_identity_tokens.begin(), ep.user_identity_tokens.end(),
                         [&](const UserTokenPolicy& t) { return t.token_type == wanted; }))
            continue;
        if (best == nullptr || rank(ep) > rank(*best)) best = &ep;
    }
    if (best != nullptr) return *best;
    if (!supported_any)
        *error = "the server offers no endpoint with a supported security policy (None, Aes256_Sha256_RsaPss, "
                 "Basic256Sha256 or Aes128_Sha256_RsaOaep)";
    else if (options.user.empty())
        *error = "no endpoint of the server fits the options with an anonymous session";
    else
        *error = "no endpoint of the server fits the options with a user name";
    return std::nullopt;
}

std::string security_refusal(StatusCode status) {
    switch (status & 0xFFFF0000u) {
    case status::BadUserAccessDenied:
    case status::BadIdentityTokenInvalid:
        return "the server refused the user name or password (check user= and the password file)";
    case status::BadIdentityTokenRejected:
        return "the server refused this kind of user identity on the chosen endpoint";
    case status::BadSecurityChecksFailed:
    case kBadCertificateInvalid:
    case kBadCertificateUntrusted:
        return "the server refused the secured channel; it may not trust the gateway's certificate yet "
               "(own/certs/ostrand.der in the PKI folder)";
    case kBadApplicationSignatureInvalid:
        return "the server's session signature did not verify";
    case kBadSecurityPolicyRejected:
        return "the server refused the security policy or mode";
    default:
        return {};
    }
}

std::optional<std::string> read_password_file(const std::string& path, std::string* error) {
    constexpr size_t kMaxPasswordFile = 4096;
    auto text = read_owner_only_file(path, kMaxPasswordFile, "password file", error);
    if (!text) return std::nullopt;
    std::string line = text->substr(0, text->find('\n'));
    wipe(*text);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        *error = "password file " + path + " is empty (its first line holds the password)";
        return std::nullopt;
    }
    return line;
}

} // namespace ostrand::ua
