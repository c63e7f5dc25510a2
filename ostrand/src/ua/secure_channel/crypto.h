// The cryptography of secured OPC UA connections (OPC UA Part 7, security
// policy Basic256Sha256), over OpenSSL 3: RSA keys with PKCS#1 v1.5 SHA-256
// signatures and OAEP (SHA-1) encryption in blocks, HMAC-SHA256, the P_SHA256
// key derivation, AES-256-CBC without padding (the channel pads), random bytes
// and SHA-1 thumbprints.
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

// OAEP with SHA-1 costs 2 x 20 + 2 bytes of each block.
constexpr size_t kOaepOverhead = 42;

bool random_bytes(std::span<uint8_t> out);
Bytes random_bytes(size_t length);
Bytes sha1(View data);
// The first DER certificate of `chain` (a certificate followed by its
// issuers', as OPC UA sends them); empty when it does not start with one.
View leaf_certificate(View chain);
Bytes hmac_sha256(View key, View data);
// P_SHA256(secret, seed) (RFC 5246, section 5) cut to `length` bytes.
Bytes p_sha256(View secret, View seed, size_t length);
// AES-256-CBC without padding: `in` holds whole 16-byte blocks; false when it
// does not, or the key is not 32 bytes or the IV not 16.
bool aes256_cbc(bool encrypt, View key, View iv, View in, Bytes& out);

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
    size_t plain_block() const { return size() > kOaepOverhead ? size() - kOaepOverhead : 0; }

    // PKCS#1 v1.5 with SHA-256. sign() needs the private key.
    Bytes sign(View data) const;
    bool verify(View data, View signature) const;
    // OAEP (SHA-1): plain_block() bytes in each size() bytes out; the last
    // block may be short. decrypt takes whole size() blocks.
    bool encrypt(View plain, Bytes& out) const;
    bool decrypt(View cipher, Bytes& out) const;

    EVP_PKEY* get() const { return key_.get(); }

private:
    explicit RsaKey(EVP_PKEY* key);
    std::shared_ptr<EVP_PKEY> key_;
};

} // namespace ostrand::ua::crypto
