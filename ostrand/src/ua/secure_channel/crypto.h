// The cryptography of secured OPC UA connections (OPC UA Part 7, security
// policies Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss), over
// OpenSSL 3: RSA keys with PKCS#1 v1.5 or PSS SHA-256 signatures and OAEP
// (SHA-1 or SHA-256) encryption in blocks, HMAC-SHA256, the P_SHA256 key
// derivation, AES-128/256-CBC without padding (the channel pads), random
// bytes and SHA-1 thumbprints.
//
// Contract: no exceptions; a failure is a false/empty result, never a partial
// output. Keys are immutable once made and may be shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

using EVP_PKEY = struct evp_pkey_st;

namespace ostrand::ua::crypto {

using Bytes = std::vector<uint8_t>;
using View = std::span<const uint8_t>;

inline View view(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
inline std::string text(View v) { return {v.begin(), v.end()}; }

// The hash of OAEP encryption (and of its mask function).
enum class OaepHash : uint8_t { Sha1, Sha256 };
// OAEP costs 2 x the hash length + 2 bytes of each block.
constexpr size_t oaep_overhead(OaepHash h) { return h == OaepHash::Sha1 ? 42 : 66; }
constexpr size_t kOaepOverhead = oaep_overhead(OaepHash::Sha1);
// SHA-256 signatures: PKCS#1 v1.5, or PSS with a 32-byte salt and MGF1-SHA-256.
enum class RsaSigning : uint8_t { Pkcs1, Pss };

bool random_bytes(std::span<uint8_t> out);
Bytes random_bytes(size_t length);
Bytes sha1(View data);
// The first DER certificate of `chain` (a certificate followed by its
// issuers', as OPC UA sends them); empty when it does not start with one.
View leaf_certificate(View chain);
Bytes hmac_sha256(View key, View data);
// P_SHA256(secret, seed) (RFC 5246, section 5) cut to `length` bytes.
Bytes p_sha256(View secret, View seed, size_t length);
// AES-CBC without padding, AES-128 or AES-256 by the key's length: `in` holds
// whole 16-byte blocks; false when it does not, or the key is not 16 or 32
// bytes or the IV not 16.
bool aes_cbc(bool encrypt, View key, View iv, View in, Bytes& out);
// The same with a 32-byte key only.
inline bool aes256_cbc(bool encrypt, View key, View iv, View in, Bytes& out) {
    return key.size() == 32 && aes_cbc(encrypt, key, iv, in, out);
}

// An RSA key: private (our own) or public (from a peer's certificate).
class RsaKey {
public:
    RsaKey() = default;
    static RsaKey generate(int bits);
    // Never asks for a pass phrase: an encrypted key is no key (see is_encrypted_pem).
    static RsaKey from_private_pem(const std::string& pem);
    static bool is_encrypted_pem(const std::string& pem);
    static RsaKey from_certificate(View der); // the public key of a DER certificate
    std::string private_pem() const;

    explicit operator bool() const { return key_ != nullptr; }
    size_t size() const;                          // modulus bytes
    size_t plain_block(OaepHash h = OaepHash::Sha1) const {
        return size() > oaep_overhead(h) ? size() - oaep_overhead(h) : 0;
    }

    // SHA-256 signatures. sign() needs the private key.
    Bytes sign(View data, RsaSigning how = RsaSigning::Pkcs1) const;
    bool verify(View data, View signature, RsaSigning how = RsaSigning::Pkcs1) const;
    // OAEP: plain_block(h) bytes in each size() bytes out; the last block may
    // be short. decrypt takes whole size() blocks.
    bool encrypt(View plain, Bytes& out, OaepHash h = OaepHash::Sha1) const;
    bool decrypt(View cipher, Bytes& out, OaepHash h = OaepHash::Sha1) const;

    EVP_PKEY* get() const { return key_.get(); }

private:
    explicit RsaKey(EVP_PKEY* key);
    std::shared_ptr<EVP_PKEY> key_;
};

} // namespace ostrand::ua::crypto
