// Text forms of endpoint URLs and NodeIds: see ua/encoding/text.h.
#include "ua/encoding/text.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iterator>

namespace ostrand::ua {

namespace {

constexpr std::string_view kScheme = "opc.tcp://";
constexpr size_t kMaxUrl = 4096;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != prefix[i]) return false;
    return true;
}

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// Whole-string unsigned decimal in [min, max]; no sign, no spaces.
template <typename T> std::optional<T> parse_number(std::string_view text, T min, T max) {
    T value{};
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<EndpointUrl> parse_endpoint_url(std::string_view url) {
    if (url.size() > kMaxUrl || !starts_with_nocase(url, kScheme)) return std::nullopt;
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return std::nullopt;
    std::string_view rest = url.substr(kScheme.size());
    EndpointUrl out;
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    if (slash != std::string_view::npos) out.path = std::string(rest.substr(slash));

    std::string_view port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        out.host = std::string(authority.substr(1, close - 1));
        in6_addr address{};
        if (inet_pton(AF_INET6, out.host.c_str(), &address) != 1) return std::nullopt;
        out.ipv6 = true;
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after[0] != ':') return std::nullopt;
        if (!after.empty()) port = after.substr(1);
        if (!after.empty() && port.empty()) return std::nullopt;
    } else {
        const size_t colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        if (out.host.empty() || out.host.size() > 253) return std::nullopt;
        for (char c : out.host)
            if (!host_char(c)) return std::nullopt;
    }
    if (!port.empty()) {
        const auto number = parse_number<uint16_t>(port, 1, 65535);
        if (!number) return std::nullopt;
        out.port = *number;
    }
    return out;
}

std::string format_endpoint_url(const EndpointUrl& url) {
    std::string out(kScheme);
    out += url.ipv6 ? "[" + url.host + "]" : url.host;
    out += ':';
    out += std::to_string(url.port);
    out += url.path;
    return out;
}

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::string> decode_base64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const size_t pad = last ? (text[at + 3] == '=') + (text[at + 2] == '=') : 0;
        uint32_t bits = 0;
        for (size_t i = 0; i < 4; ++i) {
            const int v = i >= 4 - pad ? 0 : base64_value(text[at + i]);
            if (v < 0) return std::nullopt;
            bits = bits << 6 | static_cast<uint32_t>(v);
        }
        // Bits under the padding must be zero, so that each byte string has one text.
        if ((pad == 1 && (bits & 0xFF) != 0) || (pad == 2 && (bits & 0xFFFF) != 0)) return std::nullopt;
        out.push_back(static_cast<char>(bits >> 16));
        if (pad < 2) out.push_back(static_cast<char>(bits >> 8 & 0xFF));
        if (pad < 1) out.push_back(static_cast<char>(bits & 0xFF));
    }
    return out;
}

std::string encode_base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - at);
        uint32_t bits = 0;
        for (size_t i = 0; i < 3; ++i)
            bits = bits << 8 | (i < n ? static_cast<uint8_t>(bytes[at + i]) : 0u);
        for (size_t i = 0; i < 4; ++i) out.push_back(i <= n ? kBase64[bits >> (18 - 6 * i) & 0x3F] : '=');
    }
    return out;
}

std::optional<Guid> parse_guid(std::string_view text) {
    // Hex digit groups and where the dashes go.
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) continue;
        const int hi = hex_value(text[i]);
        const int lo = hex_value(text[++i]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
    }
    Guid g;
    g.data1 = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    g.data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    g.data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::copy(bytes + 8, bytes + 16, g.data4.begin());
    return g;
}

std::string format_guid(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    return text;
}

std::optional<ExpandedNodeId> parse_node_id(std::string_view text) {
    ExpandedNodeId out;
    if (text.starts_with("ns=") || text.starts_with("nsu=")) {
        const size_t semicolon = text.find(';');
        if (semicolon == std::string_view::npos) return std::nullopt;
        if (text.starts_with("nsu=")) {
            if (semicolon == 4) return std::nullopt;
            out.namespace_uri = std::string(text.substr(4, semicolon - 4));
        } else {
            const auto index = parse_number<uint16_t>(text.substr(3, semicolon - 3), 0, 65535);
            if (!index) return std::nullopt;
            out.node_id.namespace_index = *index;
        }
        text.remove_prefix(semicolon + 1);
    }
    if (text.size() < 3 || text[1] != '=') return std::nullopt;
    const std::string_view value = text.substr(2);
    NodeId& id = out.node_id;
    switch (text[0]) {
    case 'i': {
        const auto number = parse_number<uint32_t>(value, 0, UINT32_MAX);
        if (!number) return std::nullopt;
        id.numeric = *number;
        break;
    }
    case 's':
        id.type = IdType::String;
        id.string = std::string(value);
        break;
    case 'g': {
        const auto guid = parse_guid(value);
        if (!guid) return std::nullopt;
        id = NodeId::guid_id(id.namespace_index, *guid);
        break;
    }
    case 'b': {
        auto bytes = decode_base64(value);
        if (!bytes) return std::nullopt;
        id.type = IdType::Opaque;
        id.string = std::move(*bytes);
        break;
    }
    default:
        return std::nullopt;
    }
    return out;
}

namespace {

std::string identifier_text(const NodeId& id) {
    switch (id.type) {
    case IdType::Numeric:
        return "i=" + std::to_string(id.numeric);
    case IdType::String:
        return "s=" + id.string;
    case IdType::Guid:
        return "g=" + format_guid(id.guid());
    case IdType::Opaque:
        return "b=" + encode_base64(id.string);
    }
    return {};
}

} // namespace

std::string format_node_id(const NodeId& id) {
    if (id.namespace_index == 0) return identifier_text(id);
    return "ns=" + std::to_string(id.namespace_index) + ";" + identifier_text(id);
}

std::string format_node_id(const ExpandedNodeId& id) {
    if (!id.namespace_uri) return format_node_id(id.node_id);
    return "nsu=" + *id.namespace_uri + ";" + identifier_text(id.node_id);
}

std::string format_status(StatusCode status) {
    switch (status_code_only(status)) {
    case status::Good: return "Good";
    case status::GoodSubscriptionTransferred: return "GoodSubscriptionTransferred";
    case status::BadUnexpectedError: return "BadUnexpectedError";
    case status::BadInternalError: return "BadInternalError";
    case status::BadOutOfMemory: return "BadOutOfMemory";
    case status::BadCommunicationError: return "BadCommunicationError";
    case status::BadEncodingError: return "BadEncodingError";
    case status::BadDecodingError: return "BadDecodingError";
    case status::BadEncodingLimitsExceeded: return "BadEncodingLimitsExceeded";
    case status::BadUnknownResponse: return "BadUnknownResponse";
    case status::BadTimeout: return "BadTimeout";
    case status::BadServiceUnsupported: return "BadServiceUnsupported";
    case status::BadShutdown: return "BadShutdown";
    case status::BadServerNotConnected: return "BadServerNotConnected";
    case status::BadServerHalted: return "BadServerHalted";
    case status::BadNothingToDo: return "BadNothingToDo";
    case status::BadTooManyOperations: return "BadTooManyOperations";
    case status::BadSecurityChecksFailed: return "BadSecurityChecksFailed";
    case status::BadUserAccessDenied: return "BadUserAccessDenied";
    case status::BadIdentityTokenInvalid: return "BadIdentityTokenInvalid";
    case status::BadIdentityTokenRejected: return "BadIdentityTokenRejected";
    case status::BadSecureChannelIdInvalid: return "BadSecureChannelIdInvalid";
    case status::BadInvalidTimestamp: return "BadInvalidTimestamp";
    case status::BadNonceInvalid: return "BadNonceInvalid";
    case status::BadSessionIdInvalid: return "BadSessionIdInvalid";
    case status::BadSessionClosed: return "BadSessionClosed";
    case status::BadSessionNotActivated: return "BadSessionNotActivated";
    case status::BadSubscriptionIdInvalid: return "BadSubscriptionIdInvalid";
    case status::BadRequestHeaderInvalid: return "BadRequestHeaderInvalid";
    case status::BadTimestampsToReturnInvalid: return "BadTimestampsToReturnInvalid";
    case status::BadRequestCancelledByClient: return "BadRequestCancelledByClient";
    case status::BadNodeIdInvalid: return "BadNodeIdInvalid";
    case status::BadNodeIdUnknown: return "BadNodeIdUnknown";
    case status::BadAttributeIdInvalid: return "BadAttributeIdInvalid";
    case status::BadNotReadable: return "BadNotReadable";
    case status::BadNotWritable: return "BadNotWritable";
    case status::BadOutOfRange: return "BadOutOfRange";
    case status::BadNotSupported: return "BadNotSupported";
    case status::BadMonitoredItemIdInvalid: return "BadMonitoredItemIdInvalid";
    case status::BadMonitoredItemFilterInvalid: return "BadMonitoredItemFilterInvalid";
    case status::BadMonitoredItemFilterUnsupported: return "BadMonitoredItemFilterUnsupported";
    case status::BadFilterNotAllowed: return "BadFilterNotAllowed";
    case status::BadContinuationPointInvalid: return "BadContinuationPointInvalid";
    case status::BadNoContinuationPoints: return "BadNoContinuationPoints";
    case status::BadTooManySessions: return "BadTooManySessions";
    case status::BadTypeMismatch: return "BadTypeMismatch";
    case status::BadTooManySubscriptions: return "BadTooManySubscriptions";
    case status::BadTooManyPublishRequests: return "BadTooManyPublishRequests";
    case status::BadNoSubscription: return "BadNoSubscription";
    case status::BadSequenceNumberUnknown: return "BadSequenceNumberUnknown";
    case status::BadMessageNotAvailable: return "BadMessageNotAvailable";
    case status::BadTcpServerTooBusy: return "BadTcpServerTooBusy";
    case status::BadTcpMessageTypeInvalid: return "BadTcpMessageTypeInvalid";
    case status::BadTcpSecureChannelUnknown: return "BadTcpSecureChannelUnknown";
    case status::BadTcpMessageTooLarge: return "BadTcpMessageTooLarge";
    case status::BadTcpNotEnoughResources: return "BadTcpNotEnoughResources";
    case status::BadTcpInternalError: return "BadTcpInternalError";
    case status::BadTcpEndpointUrlInvalid: return "BadTcpEndpointUrlInvalid";
    case status::BadRequestInterrupted: return "BadRequestInterrupted";
    case status::BadRequestTimeout: return "BadRequestTimeout";
    case status::BadSecureChannelClosed: return "BadSecureChannelClosed";
    case status::BadSecureChannelTokenUnknown: return "BadSecureChannelTokenUnknown";
    case status::BadSequenceNumberInvalid: return "BadSequenceNumberInvalid";
    case status::BadNotConnected: return "BadNotConnected";
    case status::BadDeadbandFilterInvalid: return "BadDeadbandFilterInvalid";
    case status::BadConnectionRejected: return "BadConnectionRejected";
    case status::BadDisconnect: return "BadDisconnect";
    case status::BadConnectionClosed: return "BadConnectionClosed";
    case status::BadInvalidState: return "BadInvalidState";
    case status::BadRequestTooLarge: return "BadRequestTooLarge";
    case status::BadResponseTooLarge: return "BadResponseTooLarge";
    case status::BadProtocolVersionUnsupported: return "BadProtocolVersionUnsupported";
    case status::BadTooManyMonitoredItems: return "BadTooManyMonitoredItems";
    case status::BadNoCommunication: return "BadNoCommunication";
    case status::BadWaitingForInitialData: return "BadWaitingForInitialData";
    case status::UncertainNoCommunicationLastUsableValue: return "UncertainNoCommunicationLastUsableValue";
    case status::UncertainLastUsableValue: return "UncertainLastUsableValue";
    case status::UncertainSubstituteValue: return "UncertainSubstituteValue";
    case status::UncertainInitialValue: return "UncertainInitialValue";
    case status::UncertainSensorNotAccurate: return "UncertainSensorNotAccurate";
    case status::UncertainEngineeringUnitsExceeded: return "UncertainEngineeringUnitsExceeded";
    case status::UncertainSubNormal: return "UncertainSubNormal";
    default: break;
    }
    const Severity s = severity(status);
    char text[32];
    std::snprintf(text, sizeof text, "%s 0x%08X", s == Severity::Good ? "Good" : s == Severity::Uncertain ? "Uncertain" : "Bad",
                  static_cast<unsigned>(status_code_only(status)));
    return text;
}

std::optional<std::string> parse_ip_address(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() > 64) return std::nullopt;
    const std::string z(text); // inet_pton wants a terminated string
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET, z.c_str(), bytes) == 1) return std::string(reinterpret_cast<char*>(bytes), 4);
    if (inet_pton(AF_INET6, z.c_str(), bytes) != 1) return std::nullopt;
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::equal(std::begin(kMapped), std::end(kMapped), bytes))
        return std::string(reinterpret_cast<char*>(bytes + 12), 4);
    return std::string(reinterpret_cast<char*>(bytes), 16);
}

bool is_loopback_address(std::string_view host) {
    const auto a = parse_ip_address(host);
    if (!a) return false;
    if (a->size() == 4) return static_cast<unsigned char>((*a)[0]) == 127;
    return *a == std::string(15, '\0') + '\1';
}

} // namespace ostrand::ua
