// Text forms of the OPC UA client: endpoint URLs (opc.tcp://host:port/path)
// and NodeIds as users type them in item ids (ns=2;s=Speed, i=2258,
// nsu=urn:x;s=Speed, g=<guid>, b=<base64>), following the NodeId string form
// of OPC UA Part 6. Parsers refuse anything malformed instead of guessing, and
// never depend on the process locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrand {

constexpr uint16_t kDefaultUaPort = 4840; // the well-known discovery port

struct EndpointUrl {
    std::string host; // a name or an IPv4 literal, or an IPv6 literal without its brackets
    uint16_t port = kDefaultUaPort;
    std::string path; // empty, or starting with '/'
    bool ipv6 = false;
};

// `opc.tcp://host[:port][/path]` (scheme in any case), with `[v6]` for IPv6
// literals. Refused: another scheme, user info, an empty host, a port outside
// 1..65535, spaces or control characters, more than 4096 bytes.
std::optional<EndpointUrl> parse_endpoint_url(std::string_view url);
// The URL with the port always written out.
std::string format_endpoint_url(const EndpointUrl& url);

} // namespace ostrand
