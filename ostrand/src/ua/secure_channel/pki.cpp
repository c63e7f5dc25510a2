// The application's certificate store: see ua/secure_channel/pki.h.
#include "ua/secure_channel/pki.h"

#include "ua/encoding/text.h"
#include "ua/secure_channel/secrets.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace ostrand::ua {

namespace fs = std::filesystem;
using crypto::Bytes;
using crypto::View;

namespace {

constexpr const char* kOwnCertificate = "own/certs/ostrand.der";
constexpr const char* kOwnKey = "own/private/ostrand.pem";
constexpr int kOwnKeyBits = 2048;
constexpr int kOwnValidityDays = 20 * 365;
constexpr size_t kMaxCertificateFile = 64 * 1024;
constexpr size_t kMaxCrlFile = 8 * 1024 * 1024;
constexpr size_t kMaxChain = 8; // certificates a server may send with its own

// Every folder of the store, created 0700.
constexpr const char* kFolders[] = {"",        "own",           "own/certs",   "own/private",
                                    "trusted", "trusted/certs", "trusted/crl", "issuers",
                                    "issuers/certs", "issuers/crl", "rejected"};
// What decides whom we trust: nobody else may read or change it.
constexpr const char* kTrustFolders[] = {"trusted", "trusted/certs", "trusted/crl"};
constexpr mode_t kOthersReadWrite = S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;

// OPC UA Part 4 status codes of a chain that fails.
constexpr StatusCode kBadCertificateIssuerTimeInvalid = 0x80150000;
constexpr StatusCode kBadCertificateRevoked = 0x801D0000;
constexpr StatusCode kBadCertificateIssuerRevoked = 0x801E0000;
constexpr StatusCode kBadCertificateRevocationUnknown = 0x801B0000;

int no_pass_phrase(char*, int, int, void*) { return -1; }

struct Free {
    void operator()(X509* x) const { X509_free(x); }
    void operator()(X509_CRL* c) const { X509_CRL_free(c); }
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
    void operator()(STACK_OF(X509)* s) const { sk_X509_free(s); }
    void operator()(X509_NAME* n) const { X509_NAME_free(n); }
    void operator()(BIO* b) const { BIO_free(b); }
    void operator()(BIGNUM* b) const { BN_free(b); }
    void operator()(GENERAL_NAMES* g) const { GENERAL_NAMES_free(g); }
};
template <class T> using Owned = std::unique_ptr<T, Free>;

Owned<X509> parse_der(View der) {
    const unsigned char* p = der.data();
    Owned<X509> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (x && p != der.data() + der.size()) x.reset(); // trailing bytes: not one certificate
    return x;
}

Bytes to_der(X509* x) {
    unsigned char* out = nullptr;
    const int n = i2d_X509(x, &out);
    if (n <= 0) return {};
    Bytes der(out, out + n);
    OPENSSL_free(out);
    return der;
}

std::optional<std::string> read_file(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxCertificateFile) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return std::nullopt;
    return data;
}

// A certificate file in DER or PEM, as DER.
Bytes certificate_file(const fs::path& path) {
    const auto data = read_file(path);
    if (!data) return {};
    if (data->starts_with("-----BEGIN")) {
        Owned<BIO> bio(BIO_new_mem_buf(data->data(), static_cast<int>(data->size())));
        Owned<X509> x(bio ? PEM_read_bio_X509(bio.get(), nullptr, no_pass_phrase, nullptr) : nullptr);
        return x ? to_der(x.get()) : Bytes{};
    }
    return Bytes(data->begin(), data->end());
}

// Writes `data` to a new file readable by the owner only (or `mode`).
// Writes `data` to a new file of its own beside `path` (created exclusively,
// so never through a link planted there), flushes it and renames it over
// `path`: a reader, a crash or a second writer sees the old file or the new
// one, whole. A link at `path` itself is replaced, not followed.
bool write_file(const fs::path& path, View data, mode_t mode, std::string* error) {
    std::string name = path.string() + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC); // 0600 until fchmod below
    if (fd < 0) {
        *error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    const auto fail = [&] {
        const int saved = errno;
        ::close(fd);
        ::unlink(name.c_str());
        *error = path.string() + ": " + std::strerror(saved);
        return false;
    };
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return fail();
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) return fail();
    if (::close(fd) != 0 || ::rename(name.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(name.c_str());
        *error = path.string() + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

std::string hex(View bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return s;
}

std::string local_host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

// A name or address of this machine's loopback: "localhost", or an address
// that parses as loopback (so "127.evil.example" is not one).
bool is_loopback(const std::string& host) {
    return host == "localhost" || is_loopback_address(host);
}

// A CRL file in DER or PEM.
Owned<X509_CRL> crl_file(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxCrlFile) return nullptr;
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.starts_with("-----BEGIN")) {
        Owned<BIO> bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
        return Owned<X509_CRL>(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, no_pass_phrase, nullptr) : nullptr);
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    return Owned<X509_CRL>(d2i_X509_CRL(nullptr, &p, static_cast<long>(data.size())));
}

// A certificate followed by its issuers' (DER, back to back), as OPC UA
// sends a chain; nothing when any byte is not part of a certificate.
std::vector<Owned<X509>> parse_chain(View bytes) {
    std::vector<Owned<X509>> chain;
    while (!bytes.empty()) {
        const View one = crypto::leaf_certificate(bytes);
        if (one.empty() || chain.size() == kMaxChain) return {};
        chain.push_back(parse_der(one));
        if (!chain.back()) return {};
        bytes = bytes.subspan(one.size());
    }
    return chain;
}

std::string common_name(X509* x) {
    char cn[128] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof cn - 1);
    return cn;
}

// A missing CRL is no refusal (many sites publish none); a CRL that is there
// must verify and be current, and what it lists is refused.
int allow_missing_crl(int ok, X509_STORE_CTX* ctx) {
    if (!ok && X509_STORE_CTX_get_error(ctx) == X509_V_ERR_UNABLE_TO_GET_CRL) return 1;
    return ok;
}

// A name for the rejected copy: the certificate's common name (letters,
// digits, '-', '_', '.') and its SHA-1 thumbprint.
std::string rejected_name(X509* x, View der) {
    const std::string cn = common_name(x);
    std::string name;
    for (size_t i = 0; i < cn.size() && name.size() < 64; ++i) {
        const char c = cn[i];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.')
            name += c;
        else
            name += '_';
    }
    if (name.empty() || name.front() == '.') name = "server" + name;
    return name + "[" + hex(crypto::sha1(der)) + "].der";
}

bool add_extension(X509* x, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) return false;
    const bool ok = X509_add_ext(x, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

StatusCode check_names(X509* leaf, const std::string& application_uri, const std::string& host,
                       std::string* message) {
    // Its subject alternative name must name the server and the host; host
    // addresses are compared as addresses (4 or 16 bytes), names as text.
    std::vector<std::string> uris, names, addresses;
    Owned<GENERAL_NAMES> alt(static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(leaf, NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(alt.get(), i);
        if (g->type == GEN_URI || g->type == GEN_DNS) {
            const ASN1_IA5STRING* text = g->type == GEN_URI ? g->d.uniformResourceIdentifier : g->d.dNSName;
            std::string v(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                          static_cast<size_t>(ASN1_STRING_length(text)));
            if (g->type == GEN_URI) {
                uris.push_back(std::move(v));
            } else if (const auto address = parse_ip_address(v)) {
                addresses.push_back(*address); // some servers write their address as a DNS name
            } else {
                names.push_back(lower(v));
            }
        } else if (g->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = g->d.iPAddress;
            std::string address(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ip)),
                                static_cast<size_t>(ASN1_STRING_length(ip)));
            // An IPv4-mapped IPv6 address is its IPv4 address.
            if (address.size() == 16 && address.compare(0, 12, std::string(10, '\0') + "\xFF\xFF") == 0)
                address.erase(0, 12);
            if (address.size() == 4 || address.size() == 16) addresses.push_back(std::move(address));
        }
    }
    if (std::find(uris.begin(), uris.end(), application_uri) == uris.end()) {
        *message = "the server's certificate is not issued for its application URI " + application_uri;
        return kBadCertificateUriInvalid;
    }
    const std::string wanted = lower(host);
    const auto wanted_address = parse_ip_address(wanted);
    bool host_ok = wanted_address ? std::find(addresses.begin(), addresses.end(), *wanted_address) != addresses.end()
                                  : std::find(names.begin(), names.end(), wanted) != names.end();
    if (!host_ok && is_loopback(wanted)) {
        // A server on this machine names the machine, or loopback, not
        // necessarily the loopback address we connect to.
        const std::string local = lower(local_host_name());
        for (const std::string& n : names)
            host_ok = host_ok || n == local || n == "localhost" || (!local.empty() && n.starts_with(local + "."));
        for (const std::string& a : addresses)
            host_ok = host_ok || (a.size() == 4 ? a[0] == 127 : a == std::string(15, '\0') + '\1');
    }
    if (!host_ok) {
        *message = "the server's certificate does not name the host " + host;
        return kBadCertificateHostNameInvalid;
    }
    return status::Good;
}

// The chain against the trust lists (OpenSSL's verifier): trusted/certs
// holds trust anchors (a CA, or a server's own certificate); issuers/certs
// and the certificates the server sent only link a server to an anchor; the
// CRLs of trusted/crl and issuers/crl are checked for every certificate of
// the chain.
StatusCode verify_chain(const fs::path& root, const std::vector<Owned<X509>>& chain, std::string* message) {
    Owned<X509_STORE> store(X509_STORE_new());
    Owned<STACK_OF(X509)> untrusted(sk_X509_new_null());
    std::vector<Owned<X509>> issuers;
    std::vector<std::pair<fs::path, Owned<X509_CRL>>> crls;
    if (!store || !untrusted) {
        *message = "the server's certificate cannot be checked (out of memory)";
        return status::BadInternalError;
    }
    std::error_code ec;
    for (const char* folder : {"trusted/certs", "issuers/certs"}) {
        const bool anchors = folder[0] == 't';
        for (const auto& entry : fs::directory_iterator(root / folder, ec)) {
            if (!entry.is_regular_file(ec)) continue;
            const Bytes der = certificate_file(entry.path());
            Owned<X509> x = der.empty() ? nullptr : parse_der(der);
            if (!x) continue;
            if (anchors) {
                X509_STORE_add_cert(store.get(), x.get()); // takes its own reference
            } else {
                sk_X509_push(untrusted.get(), x.get());
                issuers.push_back(std::move(x)); // the stack borrows it
            }
        }
    }
    for (const char* folder : {"trusted/crl", "issuers/crl"}) {
        for (const auto& entry : fs::directory_iterator(root / folder, ec)) {
            if (!entry.is_regular_file(ec)) continue;
            Owned<X509_CRL> crl = crl_file(entry.path());
            if (!crl) {
                *message = "the revocation list " + entry.path().string() + " cannot be read";
                return kBadCertificateRevocationUnknown;
            }
            X509_STORE_add_crl(store.get(), crl.get());
            crls.emplace_back(entry.path(), std::move(crl));
        }
    }
    for (size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted.get(), chain[i].get());

    // A trusted certificate is an anchor even when it is not self-signed (a
    // site CA below a root we do not hold, or the server's own certificate).
    X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    X509_STORE_set_verify_cb(store.get(), allow_missing_crl);
    Owned<X509_STORE_CTX> ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), chain.front().get(), untrusted.get()) != 1) {
        *message = "the server's certificate cannot be checked (out of memory)";
        return status::BadInternalError;
    }
    if (X509_verify_cert(ctx.get()) == 1) return status::Good;

    const int err = X509_STORE_CTX_get_error(ctx.get());
    const int depth = X509_STORE_CTX_get_error_depth(ctx.get());
    X509* const culprit = X509_STORE_CTX_get_current_cert(ctx.get());
    const std::string whose = depth == 0 || culprit == nullptr ? std::string("the server's certificate")
                                                               : "its issuer " + common_name(culprit);
    switch (err) {
    case X509_V_ERR_CERT_REVOKED: {
        std::string list = "a revocation list";
        for (const auto& [path, crl] : crls) {
            X509_REVOKED* revoked = nullptr;
            if (culprit != nullptr && X509_CRL_get0_by_cert(crl.get(), &revoked, culprit) == 1) {
                list = path.string();
                break;
            }
        }
        *message = whose + " is revoked by " + list;
        return depth == 0 ? kBadCertificateRevoked : kBadCertificateIssuerRevoked;
    }
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        *message = whose + " is outside its validity dates";
        return depth == 0 ? kBadCertificateTimeInvalid : kBadCertificateIssuerTimeInvalid;
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
        *message = "the revocation list for " + whose + " cannot be used: " + X509_verify_cert_error_string(err) +
                   " (renew it in trusted/crl or issuers/crl)";
        return kBadCertificateRevocationUnknown;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return kBadCertificateUntrusted; // the caller stores it in rejected/
    default:
        *message = whose + " does not verify: " + X509_verify_cert_error_string(err);
        return kBadCertificateInvalid;
    }
}

} // namespace

fs::path Pki::default_root() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return fs::path(config) / "ostrand" / "pki";
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr && home[0] != '\0' ? home : "/") / ".config" / "ostrand" / "pki";
}

bool Pki::make_folders(std::string* error) {
    // The root's parents are the user's (~/.config): made as any folder. The
    // store itself is the owner's alone, whatever the umask: each folder made
    // here is set to 0700 (mkdir's mode only ever loses bits to the umask).
    std::error_code ec;
    fs::create_directories(root_.parent_path(), ec);
    for (const char* sub : kFolders) {
        const fs::path dir = root_ / sub;
        if (::mkdir(dir.c_str(), 0700) != 0 ? errno != EEXIST : ::chmod(dir.c_str(), 0700) != 0) {
            *error = dir.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    // Folders made by an older version, or by hand, are checked: whoever can
    // write to trusted/ decides which servers we talk to.
    for (const char* sub : kTrustFolders) {
        const fs::path dir = root_ / sub;
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            *error = dir.string() + " is not a folder";
            return false;
        }
        if ((st.st_mode & kOthersReadWrite) != 0) {
            *error = dir.string() + " can be read or written by others; make it the owner's only (chmod 700 " +
                     dir.string() + ")";
            return false;
        }
    }
    return true;
}

Bytes make_certificate(const crypto::RsaKey& key, const std::string& application_uri, const std::string& host,
                       int days) {
    // A comma would split the subject alternative name into other entries.
    if (!key || application_uri.find(',') != std::string::npos || host.find(',') != std::string::npos) return {};
    Owned<X509> x(X509_new());
    if (!x || X509_set_version(x.get(), 2) != 1) return {};
    Bytes serial = crypto::random_bytes(16);
    if (serial.empty()) return {};
    serial[0] &= 0x7F; // positive
    Owned<BIGNUM> bn(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
    if (!bn || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x.get())) == nullptr) return {};
    if (X509_gmtime_adj(X509_getm_notBefore(x.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x.get()), static_cast<long>(days) * 86400) == nullptr)
        return {};
    if (X509_set_pubkey(x.get(), key.get()) != 1) return {};
    X509_NAME* name = X509_get_subject_name(x.get());
    const std::string cn = "Ostrand@" + host;
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                                   -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Quorvane"), -1,
                                   -1, 0) != 1 ||
        X509_set_issuer_name(x.get(), name) != 1)
        return {};
    std::string alt = "URI:" + application_uri;
    if (!host.empty()) alt += ",DNS:" + host;
    if (!add_extension(x.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !add_extension(x.get(), NID_key_usage,
                       "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign") ||
        !add_extension(x.get(), NID_ext_key_usage, "serverAuth,clientAuth") ||
        !add_extension(x.get(), NID_subject_alt_name, alt) ||
        !add_extension(x.get(), NID_subject_key_identifier, "hash") ||
        !add_extension(x.get(), NID_authority_key_identifier, "keyid:always"))
        return {};
    if (X509_sign(x.get(), key.get(), EVP_sha256()) <= 0) return {};
    return to_der(x.get());
}

std::optional<Credentials> Pki::own(const std::string& application_uri, const std::string& host,
                                    std::string* error) {
    if (!make_folders(error)) return std::nullopt;
    const fs::path cert_path = root_ / kOwnCertificate;
    const fs::path key_path = root_ / kOwnKey;
    Credentials own;
    std::error_code ec;
    if (fs::symlink_status(key_path, ec).type() != fs::file_type::not_found) {
        auto pem = read_owner_only_file(key_path.string(), kMaxCertificateFile, "private key", error);
        if (!pem) return std::nullopt;
        own.key = crypto::RsaKey::from_private_pem(*pem);
        const bool encrypted = crypto::RsaKey::is_encrypted_pem(*pem);
        wipe(*pem);
        if (!own.key) {
            *error = key_path.string() +
                     (encrypted ? " is encrypted with a pass phrase, which a service cannot type; store it "
                                  "unencrypted (readable by its owner only)"
                                : " holds no RSA private key");
            return std::nullopt;
        }
    } else if (fs::exists(cert_path)) {
        *error = cert_path.string() + " has no key in " + key_path.string() + "; remove it to make a new pair";
        return std::nullopt;
    } else {
        own.key = crypto::RsaKey::generate(kOwnKeyBits);
        std::string pem = own.key.private_pem();
        const bool written = !pem.empty() && write_file(key_path, crypto::view(pem), 0600, error);
        wipe(pem);
        if (!written) {
            if (error->empty()) *error = "could not make a private key";
            return std::nullopt;
        }
    }
    own.certificate = certificate_file(cert_path);
    if (!own.certificate.empty()) {
        // A certificate for another key (the key was replaced) is made anew.
        const crypto::RsaKey in_cert = crypto::RsaKey::from_certificate(own.certificate);
        if (in_cert && EVP_PKEY_eq(in_cert.get(), own.key.get()) == 1) return own;
    }
    own.certificate = make_certificate(own.key, application_uri, host, kOwnValidityDays);
    if (own.certificate.empty()) {
        *error = "could not make the application certificate";
        return std::nullopt;
    }
    if (!write_file(cert_path, own.certificate, 0644, error)) return std::nullopt;
    return own;
}

StatusCode Pki::check_server(View chain_bytes, const std::string& application_uri, const std::string& host,
                             std::string* message) {
    const std::vector<Owned<X509>> chain = parse_chain(chain_bytes);
    if (chain.empty()) {
        *message = "the server's certificate cannot be read";
        return kBadCertificateInvalid;
    }
    X509* const leaf = chain.front().get();
    const View der = crypto::leaf_certificate(chain_bytes);
    if (X509_cmp_current_time(X509_get0_notBefore(leaf)) >= 0 || X509_cmp_current_time(X509_get0_notAfter(leaf)) <= 0) {
        *message = "the server's certificate is outside its validity dates";
        return kBadCertificateTimeInvalid;
    }
    const crypto::RsaKey key = crypto::RsaKey::from_certificate(der);
    if (!key || key.size() < kMinKeyBytes || key.size() > kMaxKeyBytes) {
        *message = "the server's certificate has no RSA key of 2048 to 4096 bits";
        return kBadCertificateInvalid;
    }
    if (const StatusCode st = check_names(leaf, application_uri, host, message); st != status::Good) return st;

    std::string error;
    if (!make_folders(&error)) {
        *message = "the server's certificate cannot be checked: " + error;
        return kBadConfigurationError;
    }
    const StatusCode st = verify_chain(root_, chain, message);
    if (st != kBadCertificateUntrusted) return st;

    const fs::path rejected = root_ / "rejected" / rejected_name(leaf, der);
    if (!write_file(rejected, der, 0644, &error)) {
        *message = "the server's certificate is not trusted, and it could not be stored: " + error;
        return kBadCertificateUntrusted;
    }
    *message = "the server's certificate is not trusted; it was stored as " + rejected.string() +
               "; to trust this server, move that file to " + (root_ / "trusted" / "certs").string() +
               "/ and connect again (or trust the CA that issued it, see issuers/)";
    return kBadCertificateUntrusted;
}

std::optional<SecuritySetup> prepare_security(const std::vector<EndpointDescription>& endpoints,
                                              const std::map<std::string, std::string>& options, Pki& pki,
                                              const std::string& client_application_uri, const std::string& host,
                                              StatusCode* status, std::string* error) {
    *status = kBadConfigurationError;
    const auto parsed = parse_security_options(options, error);
    if (!parsed) return std::nullopt;
    auto endpoint = choose_endpoint(endpoints, *parsed, error);
    if (!endpoint) {
        *status = kBadSecurityPolicyRejected;
        return std::nullopt;
    }
    UserIdentity user;
    if (!parsed->user.empty()) {
        auto password = read_password_file(parsed->password_file, error);
        if (!password) return std::nullopt;
        user.user = parsed->user;
        user.password.swap(*password);
    }
    // Our certificate is needed on a secured channel. The server's is needed
    // there and wherever a password goes (it is encrypted for that key, even
    // on an unsecured channel): it must pass the trust checks first, and the
    // session later must present the very same certificate.
    const bool secured = endpoint->security_mode != MessageSecurityMode::None;
    Credentials own;
    if (secured || !user.user.empty()) {
        if (endpoint->server_certificate.value_or("").empty()) {
            *status = kBadCertificateInvalid;
            *error = secured ? "the endpoint names no server certificate"
                             : "the endpoint asks for a password but names no server certificate to encrypt it for; "
                               "refused, since the password could be read by whoever answered";
            return std::nullopt;
        }
        if (secured) {
            auto made = pki.own(client_application_uri, local_host_name(), error);
            if (!made) {
                *status = status::BadInternalError;
                return std::nullopt;
            }
            own = std::move(*made);
        }
        *status = pki.check_server(crypto::view(*endpoint->server_certificate),
                                   endpoint->server.application_uri.value_or(""), host, error);
        if (*status != status::Good) return std::nullopt;
    }
    *status = status::Good;
    auto security = std::make_shared<EndpointSecurity>(*endpoint, std::move(own), std::move(user), endpoints);
    return SecuritySetup{std::move(*endpoint), std::move(security)};
}

} // namespace ostrand::ua
