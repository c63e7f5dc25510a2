// The certificate store against certificates made here with OpenSSL: host
// names and addresses (IPv4, IPv6, loopback) in the subject alternative name,
// chains through a site CA with CRLs, and the store's folders and key file
// kept from other users.
#include "../../../support/temp_dir.h"
#include "../secure_server.h"
#include "ua/secure_channel/pki.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace ostrand::ua {
namespace {

namespace fs = std::filesystem;
using crypto::Bytes;
using quorvane::test::TempDir;
using test::TestCredentials;

constexpr const char* kUri = "urn:test:plc7";

void AddExtension(X509* x, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    ASSERT_NE(ext, nullptr) << value;
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for `key` named `cn`, issued by `issuer` (itself when null).
// `san` empty: a CA.
struct Cert {
    std::shared_ptr<X509> x;
    const crypto::RsaKey* key;
    Bytes der() const {
        unsigned char* out = nullptr;
        const int n = i2d_X509(x.get(), &out);
        Bytes d(out, out + n);
        OPENSSL_free(out);
        return d;
    }
};

Cert Make(const std::string& cn, const Cert* issuer, const std::string& san, long serial) {
    const crypto::RsaKey& key = TestCredentials(2048, "urn:test:key:" + cn).key;
    std::shared_ptr<X509> x(X509_new(), X509_free);
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 30L * 86400);
    X509_set_pubkey(x.get(), key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509* signer = issuer ? issuer->x.get() : x.get();
    X509_set_issuer_name(x.get(), X509_get_subject_name(signer));
    AddExtension(x.get(), signer, NID_subject_key_identifier, "hash");
    AddExtension(x.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (san.empty()) {
        AddExtension(x.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(x.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(x.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(x.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment,dataEncipherment");
        AddExtension(x.get(), signer, NID_subject_alt_name, san);
    }
    X509_sign(x.get(), (issuer ? issuer->key : &key)->get(), EVP_sha256());
    return {x, &key};
}

// A CRL of `ca` listing `serials`, current for `days` (negative: expired).
Bytes Crl(const Cert& ca, std::vector<long> serials, long days = 30) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.x.get()));
    ASN1_TIME* t = ASN1_TIME_new();
    X509_gmtime_adj(t, days < 0 ? (days - 1) * 86400 : -3600);
    X509_CRL_set1_lastUpdate(crl, t);
    X509_gmtime_adj(t, days * 86400);
    X509_CRL_set1_nextUpdate(crl, t);
    for (long serial : serials) {
        X509_REVOKED* r = X509_REVOKED_new();
        ASN1_INTEGER* s = ASN1_INTEGER_new();
        ASN1_INTEGER_set(s, serial);
        X509_REVOKED_set_serialNumber(r, s);
        X509_gmtime_adj(t, -60);
        X509_REVOKED_set_revocationDate(r, t);
        X509_CRL_add0_revoked(crl, r);
        ASN1_INTEGER_free(s);
    }
    ASN1_TIME_free(t);
    X509_CRL_sort(crl);
    X509_CRL_sign(crl, ca.key->get(), EVP_sha256());
    unsigned char* out = nullptr;
    const int n = i2d_X509_CRL(crl, &out);
    Bytes d(out, out + n);
    OPENSSL_free(out);
    X509_CRL_free(crl);
    return d;
}

void Put(const fs::path& file, const Bytes& bytes) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(UaPki, ServerCertificatesNamesChainsAndRevocation) {
    const std::string san = std::string("URI:") + kUri;
    const Cert root = Make("Site Root", nullptr, "", 1);
    const Cert issuing = Make("Site Issuing", &root, "", 2);
    const Cert leaf = Make("plc7", &issuing, san + ",DNS:plc7", 10);
    const Cert v6 = Make("plc7 v6", nullptr, san + ",IP:fd00::7,IP:10.0.0.7", 11);
    const Cert fake_loopback = Make("evil", nullptr, san + ",DNS:127.evil.example", 12);
    const Cert real_loopback = Make("local", nullptr, san + ",IP:127.0.0.1", 13);
    const Bytes none;

    struct Case {
        const char* what;
        Bytes sent; // the server's certificate, or its chain
        std::string host;
        std::vector<Bytes> trusted, issuers, trusted_crl, issuers_crl;
        StatusCode want;
        std::string says = ""; // in the message
    };
    const Case cases[] = {
        // Addresses are compared as addresses.
        {"IPv6 address written another way", v6.der(), "fd00:0:0::7", {v6.der()}, {}, {}, {}, status::Good},
        {"IPv6 address in brackets", v6.der(), "[fd00::7]", {v6.der()}, {}, {}, {}, status::Good},
        {"IPv4 address", v6.der(), "10.0.0.7", {v6.der()}, {}, {}, {}, status::Good},
        {"another IPv6 address", v6.der(), "fd00::8", {v6.der()}, {}, {}, {}, kBadCertificateHostNameInvalid},
        // Loopback is an address, not a name that looks like one.
        {"127-prefixed name for 127.0.0.1", fake_loopback.der(), "127.0.0.1", {fake_loopback.der()}, {}, {}, {},
         kBadCertificateHostNameInvalid},
        {"127-prefixed name for localhost", fake_loopback.der(), "localhost", {fake_loopback.der()}, {}, {}, {},
         kBadCertificateHostNameInvalid},
        {"loopback address for localhost", real_loopback.der(), "localhost", {real_loopback.der()}, {}, {}, {},
         status::Good},
        // Chains: trust comes only from trusted/certs.
        {"chain sent, root trusted", Cat(leaf.der(), issuing.der()), "plc7", {root.der()}, {}, {}, {}, status::Good},
        {"leaf sent, issuer in issuers/, root trusted", leaf.der(), "plc7", {root.der()}, {issuing.der()}, {}, {},
         status::Good},
        {"leaf sent, site CA trusted", leaf.der(), "PLC7", {issuing.der()}, {}, {}, {}, status::Good},
        {"chain sent, nothing trusted", Cat(leaf.der(), issuing.der()), "plc7", {}, {root.der()}, {}, {},
         kBadCertificateUntrusted, "rejected"},
        {"issuer in issuers/ only", leaf.der(), "plc7", {}, {issuing.der(), root.der()}, {}, {},
         kBadCertificateUntrusted, "rejected"},
        {"trailing bytes after the chain", Cat(leaf.der(), Bytes{1, 2}), "plc7", {root.der()}, {}, {}, {},
         kBadCertificateInvalid},
        // Revocation lists in either folder.
        {"CRL lists others", Cat(leaf.der(), issuing.der()), "plc7", {root.der()}, {}, {Crl(issuing, {77})},
         {Crl(root, {})}, status::Good},
        {"leaf revoked (trusted/crl)", Cat(leaf.der(), issuing.der()), "plc7", {root.der()}, {},
         {Crl(issuing, {77, 10})}, {}, 0x801D0000, "trusted/crl/0.crl"},
        {"issuer revoked (issuers/crl)", leaf.der(), "plc7", {root.der()}, {issuing.der()}, {}, {Crl(root, {2})},
         0x801E0000, "issuers/crl/0.crl"},
        {"expired CRL", leaf.der(), "plc7", {root.der()}, {issuing.der()}, {Crl(issuing, {}, -1)}, {}, 0x801B0000,
         "revocation list"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Pki pki(dir.path);
        std::string message;
        ASSERT_TRUE(pki.own("urn:test:client", "client", &message)) << message; // makes the folders
        auto place = [&](const char* folder, const std::vector<Bytes>& files, const char* ext) {
            for (size_t i = 0; i < files.size(); ++i) Put(dir.path / folder / (std::to_string(i) + ext), files[i]);
        };
        place("trusted/certs", c.trusted, ".der");
        place("issuers/certs", c.issuers, ".der");
        place("trusted/crl", c.trusted_crl, ".crl");
        place("issuers/crl", c.issuers_crl, ".crl");
        EXPECT_EQ(pki.check_server(c.sent, kUri, c.host, &message), c.want) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
}

TEST(UaPki, StoreIsTheOwnersAlone) {
    TempDir dir;
    const mode_t old_umask = ::umask(002);
    Pki pki(dir.path / "pki");
    std::string error;
    const auto own = pki.own("urn:host:ostrand", "host", &error);
    ::umask(old_umask);
    ASSERT_TRUE(own) << error;
    for (const char* sub : {"", "own", "own/certs", "own/private", "trusted", "trusted/certs", "trusted/crl",
                            "issuers/certs", "issuers/crl", "rejected"}) {
        struct stat st {};
        ASSERT_EQ(::stat((dir.path / "pki" / sub).c_str(), &st), 0) << sub;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << sub;
    }

    // What others can reach is refused, with the chmod that mends it.
    const Bytes& server = TestCredentials(2048, kUri).certificate;
    struct Case {
        const char* path;
        mode_t mode;
        bool key; // the private key, else a trusted/ folder
    };
    for (const Case c : {Case{"trusted/certs", 0770, false}, Case{"trusted", 0705, false},
                         Case{"trusted/crl", 0702, false}, Case{"own/private/ostrand.pem", 0640, true},
                         Case{"own/private/ostrand.pem", 0602, true}}) {
        SCOPED_TRACE(c.path);
        const fs::path p = dir.path / "pki" / c.path;
        struct stat st {};
        ASSERT_EQ(::stat(p.c_str(), &st), 0);
        ::chmod(p.c_str(), c.mode);
        std::string message;
        if (c.key) {
            EXPECT_FALSE(pki.own("urn:host:ostrand", "host", &message));
        } else {
            EXPECT_EQ(pki.check_server(server, kUri, "localhost", &message), kBadConfigurationError);
        }
        EXPECT_NE(message.find(std::string(c.key ? "chmod 600 " : "chmod 700 ") + p.string()), std::string::npos)
            << message;
        ::chmod(p.c_str(), st.st_mode & 0777);
    }

    // An encrypted key is refused with a reason, never a pass phrase prompt.
    const fs::path key = dir.path / "pki/own/private/ostrand.pem";
    BIO* bio = BIO_new(BIO_s_mem());
    char pass[] = "phrase";
    ASSERT_EQ(PEM_write_bio_PrivateKey(bio, own->key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr, pass), 1);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    Put(key, Bytes(data, data + n));
    BIO_free(bio);
    EXPECT_FALSE(pki.own("urn:host:ostrand", "host", &error));
    EXPECT_NE(error.find("encrypted with a pass phrase"), std::string::npos) << error;
}

} // namespace
} // namespace ostrand::ua
