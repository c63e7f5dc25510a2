// The application's certificate store for secured OPC UA connections: our own
// certificate and key, created on first use, and the trust lists that decide
// which servers we talk to.
//
// Layout under the root (`$XDG_CONFIG_HOME/ostrand/pki`, or
// `~/.config/ostrand/pki` when the variable is unset):
//   own/certs/ostrand.der     our certificate (self-signed X.509 v3, RSA 2048, SHA-256)
//   own/private/ostrand.pem   its key, readable by the owner only
//   trusted/certs             trust anchors: servers' own certificates or CAs (DER or PEM)
//   issuers/certs             CAs that only link a server to a trusted CA
//   trusted/crl, issuers/crl  revocation lists of those CAs (DER or PEM)
//   rejected/                 server certificates that were not trusted
// An operator trusts a server by moving its certificate from rejected/ to
// trusted/certs, or every server of a site by putting the site CA there.
//
// Contract: every folder is created 0700 whatever the umask; a trusted/
// folder or a private key that others can read or write is refused with the
// chmod that mends it. A server certificate (sent alone or followed by its
// issuers') is accepted when it is within its validity dates, has a 2048 to
// 4096-bit RSA key, names the server's application URI and the host we
// connect to in its subject alternative name (addresses compared as
// addresses, IPv4 and IPv6), and OpenSSL's verifier links it to a certificate
// of trusted/certs through issuers/certs and what the server sent, with no
// certificate of the chain on a CRL that is there (a CA without a CRL is
// allowed; an expired or forged CRL is not). An unknown one is copied to
// rejected/ and the check fails with a message saying where it is and how to
// trust it; a revoked one names the CRL. Not thread-safe: one connection
// attempt at a time uses it.
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

    // Whether to talk to the server that presents `chain` (its certificate,
    // then any issuers') as `application_uri` at `host` (the host of the
    // endpoint URL). Good, or a Bad status and a message for the operator.
    StatusCode check_server(crypto::View chain, const std::string& application_uri, const std::string& host,
                            std::string* message);

private:
    bool make_folders(std::string* error);
    std::filesystem::path root_;
};

// What a connection needs from one line of the endpoint list file: the
// endpoint to use (GetEndpoints' answer filtered by the options), its
// security with our credentials and the user, the server's certificate
// checked against the trust lists whenever the channel is secured or a
// password is to be sent (an endpoint that asks for a password but names no
// certificate is refused). The host is the one of the URL we connect to.
// Nothing, *status and *error (a message for the operator) when any step
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
