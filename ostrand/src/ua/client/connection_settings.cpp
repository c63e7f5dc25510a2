// The security a connection uses: see ua/client/connection_settings.h.
#include "ua/client/connection_settings.h"

#include "ua/client/discovery.h"
#include "ua/encoding/text.h"
#include "ua/secure_channel/pki.h"

#include <map>

namespace ostrand::ua {

std::optional<UaSettings> settings_for(const std::string& url, const UaSettings& settings, std::string* message) {
    const auto wanted = parse_endpoint_url(url);
    const std::string key = endpoint_key(url);
    std::map<std::string, std::string> options;
    for (const ServerListEntry& e : read_server_lists()) {
        if (key.empty() || endpoint_key(e.url) != key) continue;
        if (!e.error.empty()) {
            // The line meant something for this endpoint: no connection until it is mended.
            *message = url + ": " + e.error;
            return std::nullopt;
        }
        options = e.options;
        break;
    }
    const bool demands = options.count("mode") != 0 || options.count("security") != 0 || options.count("policy") != 0 ||
                         options.count("user") != 0;
    GetEndpointsRequest get;
    get.endpoint_url = url;
    const auto answer = call_without_session(url, get, settings);
    const auto* endpoints = answer ? std::get_if<GetEndpointsResponse>(&*answer) : nullptr;
    if (endpoints == nullptr) {
        if (!demands) return settings; // the connect itself will tell
        *message = url + ": the server's endpoints cannot be asked for";
        return std::nullopt;
    }
    Pki pki(Pki::default_root());
    StatusCode st = status::Good;
    auto setup = prepare_security(endpoints->endpoints, options, pki,
                                  settings.client_description.application_uri.value_or(""),
                                  wanted ? wanted->host : std::string(), &st, message);
    if (!setup) {
        *message = url + ": " + *message;
        return std::nullopt;
    }
    UaSettings out = settings;
    const bool plain = setup->endpoint.security_mode == MessageSecurityMode::None && options.count("user") == 0;
    if (!plain) out.security = std::move(setup->security);
    return out;
}

} // namespace ostrand::ua
