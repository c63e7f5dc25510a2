// The OPC UA text parsers on arbitrary text: NodeIds, endpoint URLs, Guids and
// base64. What parses must format to a text that parses to the same value.
#include "fuzz_check.h"
#include "ua/encoding/text.h"

#include <cstdlib>
#include <string>

namespace {

using namespace ostrand::ua;

using fuzz::Check;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto id = parse_node_id(text)) {
        const auto again = parse_node_id(format_node_id(*id));
        Check(again && again->node_id == id->node_id && again->namespace_uri == id->namespace_uri);
    }
    if (const auto url = parse_endpoint_url(text)) {
        const auto again = parse_endpoint_url(format_endpoint_url(*url));
        Check(again && again->host == url->host && again->port == url->port && again->path == url->path);
    }
    if (const auto guid = parse_guid(text)) Check(parse_guid(format_guid(*guid)) == guid);
    if (const auto bytes = decode_base64(text)) Check(encode_base64(*bytes) == text);
    return 0;
}
