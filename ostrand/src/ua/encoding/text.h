// Text forms of the OPC UA client: endpoint URLs (opc.tcp://host:port/path)
// and NodeIds as users type them in item ids (ns=2;s=Speed, i=2258,
// nsu=urn:x;s=Speed, g=<guid>, b=<base64>), following the NodeId string form
// of OPC UA Part 6. Parsers refuse anything malformed instead of guessing, and
// never depend on the process locale.
#pragma once

#include "ua/encoding/types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrand::ua {

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

// An IP address in its text form (dotted IPv4, or IPv6 with or without
// brackets) as its 4 or 16 bytes, the form certificates hold; an IPv4-mapped
// IPv6 address is its 4 IPv4 bytes. Nothing for a host name or anything else.
std::optional<std::string> parse_ip_address(std::string_view text);
// Whether `host` is a loopback address (127.0.0.0/8, ::1, IPv4-mapped
// 127.x), parsed as an address: a name that merely starts with "127." is not.
bool is_loopback_address(std::string_view host);

// NodeId text: an optional `ns=<index>;` (0..65535; none means 0) or
// `nsu=<namespace URI>;` (the URI runs to the first ';'), then one of
// `i=<UInt32>`, `s=<text>` (anything, ';' and '=' included), `g=<Guid>` or
// `b=<base64>`. Refused: an empty identifier or URI, numbers with a sign,
// spaces or leading zeros, a malformed Guid or base64. With `nsu=` the result
// names its namespace by `namespace_uri` and its index is 0.
std::optional<ExpandedNodeId> parse_node_id(std::string_view text);
// The short form: no `ns=` for namespace 0; `nsu=` when the URI is set.
std::string format_node_id(const NodeId& id);
std::string format_node_id(const ExpandedNodeId& id);

// Guid text: 8-4-4-4-12 hex digits, either case; formatted in upper case as
// in the examples of OPC UA Part 6.
std::optional<Guid> parse_guid(std::string_view text);
std::string format_guid(const Guid& guid);

// Standard base64 (RFC 4648, '=' padding required); nothing on a bad
// character, bad padding or stray bits.
std::optional<std::string> decode_base64(std::string_view text);
std::string encode_base64(std::string_view bytes);

// The symbolic name of a status code ("BadNodeIdUnknown"), its info bits
// ignored; a code without a known name is its severity and the code in hex
// ("Bad 0x80AB0000").
std::string format_status(StatusCode status);

} // namespace ostrand::ua
