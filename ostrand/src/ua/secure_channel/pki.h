// The application's certificate store for secured OPC UA connections: our own
// certificate and key, created on first use, and the trust lists that decide
// which servers we talk to.
//
// Layout under the root (`$XDG_CONFIG_HOME/ostrand/pki`, or
// `~/.config/ostrand/pki` when the variable is unset):
//   own/certs/ostrand.der     our certificate (self-signed X.509 v3, RSA 2048, SHA-256)
//   own/private/ostrand.pem   its key, readable by the owner only
//   trusted/certs, trusted/crl, issuers/certs
//   rejected/                 server certificates that were not trusted
// An operator trusts a server by moving its certificate from rejected/ to
// trusted/certs (DER or PEM).
//
// Contract: the folders are created on first use (0700). A server certificate
// is accepted when it is in trusted/certs, is within its validity dates, has
// a 2048 to 4096-bit RSA key, and names the server's application URI and the
// host we connect to in its subject alternative name; an unknown one is copied
// to rejected/ and the check fails with a message saying where it is and how
// to trust it. Not thread-safe: one connection attempt at a time uses it.
#pragma once

#include "ua/secure_channel/security.h"

#include <filesystem>
#include <optional>
#include <string>

namespace ostrand::ua {

class Pki {
public:
    explicit Pki(std::filesystem::path root) : root_(std::move(root)) {}

    // $XDG_CONFIG_HOME/ostrand/pki, else $HOME/.config/ostrand/pki.
    static std::filesystem::path default_root();
    const std::filesystem::path& root() const { return root_; }

    // Our certificate and key, made on first use for `application_uri` and
    // `host` (both in the subject alternative name). Nothing, and *error says
    // why, when they can be neither read nor made.
    std::optional<Credentials> own(const std::string& application_uri, const std::string& host, std::string* error);

    // Whether to talk to the server that presents `der` as `application_uri`
    // at `host` (the host name of the endpoint URL). Good, or a Bad status and
    // a message for the operator.
    StatusCode check_server(crypto::View der, const std::string& application_uri, const std::string& host,
                            std::string* message);

private:
    bool make_folders(std::string* error);
    std::filesystem::path root_;
};

// What a connection needs from one line of the endpoint list file: the
// endpoint to use (GetEndpoints' answer filtered by the options), its
// security with our credentials and the user, the server's certificate
// checked against the trust lists. The host is the one of the URL we connect
// to. Nothing, *status and *error (a message for the operator) when any step
// fails.
struct SecuritySetup {
    EndpointDescription endpoint;
    std::shared_ptr<const SessionSecurity> security;
};
std::optional<SecuritySetup> prepare_security(const std::vector<EndpointDescription>& endpoints,
                                              const std::map<std::string, std::string>& options, Pki& pki,
                                              const std::string& client_application_uri, const std::string& host,
                                              StatusCode* status, std::string* error);

// A self-signed application certificate (DER) for `key`, valid for `days`
// from now.
crypto::Bytes make_certificate(const crypto::RsaKey& key, const std::string& application_uri,
                               const std::string& host, int days);

} // namespace ostrand::ua
