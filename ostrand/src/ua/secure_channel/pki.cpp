// The application's certificate store: see ua/secure_channel/pki.h.
#include "ua/secure_channel/pki.h"

#include "ua/encoding/text.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
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

struct Free {
    void operator()(X509* x) const { X509_free(x); }
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
        Owned<X509> x(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        return x ? to_der(x.get()) : Bytes{};
    }
    return Bytes(data->begin(), data->end());
}

// Writes `data` to a new file readable by the owner only (or `mode`).
bool write_file(const fs::path& path, View data, mode_t mode, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = path.string() + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = path.string() + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd, mode) != 0 || ::close(fd) != 0) {
        *error = path.string() + ": " + std::strerror(errno);
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

bool is_loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// A name for the rejected copy: the certificate's common name (letters,
// digits, '-', '_', '.') and its SHA-1 thumbprint.
std::string rejected_name(X509* x, View der) {
    char cn[128] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof cn - 1);
    std::string name;
    for (const char* p = cn; *p != '\0' && name.size() < 64; ++p) {
        const char c = *p;
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

} // namespace

fs::path Pki::default_root() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return fs::path(config) / "ostrand" / "pki";
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr && home[0] != '\0' ? home : "/") / ".config" / "ostrand" / "pki";
}

bool Pki::make_folders(std::string* error) {
    for (const char* sub : {"own/certs", "own/private", "trusted/certs", "trusted/crl", "issuers/certs", "rejected"}) {
        std::error_code ec;
        const fs::path dir = root_ / sub;
        fs::create_directories(dir, ec);
        if (ec) {
            *error = dir.string() + ": " + ec.message();
            return false;
        }
    }
    // Nobody else needs to list the private key's folder.
    ::chmod((root_ / "own/private").c_str(), 0700);
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
    if (const auto pem = read_file(key_path)) {
        own.key = crypto::RsaKey::from_private_pem(*pem);
        if (!own.key) {
            *error = key_path.string() + " holds no RSA private key";
            return std::nullopt;
        }
    } else if (fs::exists(cert_path)) {
        *error = cert_path.string() + " has no key in " + key_path.string() + "; remove it to make a new pair";
        return std::nullopt;
    } else {
        own.key = crypto::RsaKey::generate(kOwnKeyBits);
        const std::string pem = own.key.private_pem();
        if (pem.empty() || !write_file(key_path, crypto::view(pem), 0600, error)) {
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

StatusCode Pki::check_server(View der, const std::string& application_uri, const std::string& host,
                             std::string* message) {
    const Owned<X509> x = parse_der(der);
    if (!x) {
        *message = "the server's certificate cannot be read";
        return kBadCertificateInvalid;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(x.get())) >= 0 ||
        X509_cmp_current_time(X509_get0_notAfter(x.get())) <= 0) {
        *message = "the server's certificate is outside its validity dates";
        return kBadCertificateTimeInvalid;
    }
    const crypto::RsaKey key = crypto::RsaKey::from_certificate(der);
    if (!key || key.size() < kMinKeyBytes || key.size() > kMaxKeyBytes) {
        *message = "the server's certificate has no RSA key of 2048 to 4096 bits";
        return kBadCertificateInvalid;
    }

    // Its subject alternative name must name the server and the host.
    std::vector<std::string> uris, hosts;
    Owned<GENERAL_NAMES> names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x.get(), NID_subject_alt_name, nullptr, nullptr)));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* g = sk_GENERAL_NAME_value(names.get(), i);
        if (g->type == GEN_URI || g->type == GEN_DNS) {
            const ASN1_IA5STRING* s = g->type == GEN_URI ? g->d.uniformResourceIdentifier : g->d.dNSName;
            std::string v(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                          static_cast<size_t>(ASN1_STRING_length(s)));
            (g->type == GEN_URI ? uris : hosts).push_back(g->type == GEN_URI ? v : lower(v));
        } else if (g->type == GEN_IPADD) {
            const ASN1_OCTET_STRING* ip = g->d.iPAddress;
            const unsigned char* p = ASN1_STRING_get0_data(ip);
            if (ASN1_STRING_length(ip) == 4)
                hosts.push_back(std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
                                std::to_string(p[3]));
        }
    }
    if (std::find(uris.begin(), uris.end(), application_uri) == uris.end()) {
        *message = "the server's certificate is not issued for its application URI " + application_uri;
        return kBadCertificateUriInvalid;
    }
    const std::string wanted = lower(host);
    bool host_ok = std::find(hosts.begin(), hosts.end(), wanted) != hosts.end();
    if (!host_ok && is_loopback(wanted)) {
        // A server on this machine names the machine, not the loopback address.
        const std::string local = lower(local_host_name());
        for (const std::string& h : hosts)
            host_ok = host_ok || h == local || is_loopback(h) || (!local.empty() && h.starts_with(local + "."));
    }
    if (!host_ok) {
        *message = "the server's certificate does not name the host " + host;
        return kBadCertificateHostNameInvalid;
    }

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_ / "trusted/certs", ec)) {
        if (!entry.is_regular_file(ec)) continue;
        const Bytes trusted = certificate_file(entry.path());
        if (trusted.size() == der.size() && std::equal(trusted.begin(), trusted.end(), der.begin())) return status::Good;
    }

    std::string error;
    if (!make_folders(&error)) {
        *message = "the server's certificate is not trusted, and it could not be stored: " + error;
        return kBadCertificateUntrusted;
    }
    const fs::path rejected = root_ / "rejected" / rejected_name(x.get(), der);
    if (!write_file(rejected, der, 0644, &error)) {
        *message = "the server's certificate is not trusted, and it could not be stored: " + error;
        return kBadCertificateUntrusted;
    }
    *message = "the server's certificate is not trusted; it was stored as " + rejected.string() +
               "; to trust this server, move that file to " + (root_ / "trusted" / "certs").string() +
               "/ and connect again";
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
        const auto password = read_password_file(parsed->password_file, error);
        if (!password) return std::nullopt;
        user = {parsed->user, *password};
    }
    // Our certificate is needed on a secured channel, and the server's to
    // encrypt a password even on an unsecured one.
    const bool secured = endpoint->security_mode != MessageSecurityMode::None;
    Credentials own;
    if (secured || !user.user.empty()) {
        if (secured) {
            auto made = pki.own(client_application_uri, local_host_name(), error);
            if (!made) {
                *status = status::BadInternalError;
                return std::nullopt;
            }
            own = std::move(*made);
        }
        if (endpoint->server_certificate) {
            *status = pki.check_server(crypto::view(*endpoint->server_certificate),
                                       endpoint->server.application_uri.value_or(""), host, error);
            if (*status != status::Good) return std::nullopt;
        } else if (secured) {
            *status = kBadCertificateInvalid;
            *error = "the endpoint names no server certificate";
            return std::nullopt;
        }
    }
    *status = status::Good;
    auto security = std::make_shared<EndpointSecurity>(*endpoint, std::move(own), std::move(user));
    return SecuritySetup{std::move(*endpoint), std::move(security)};
}

} // namespace ostrand::ua
