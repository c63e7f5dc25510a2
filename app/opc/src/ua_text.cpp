// Text forms of endpoint URLs and NodeIds: see ua_text.h.
#include "ua_text.h"

#include <arpa/inet.h>

#include <charconv>

namespace ostrand {

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
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

// Whole-string unsigned decimal in [min, max]; no sign, no spaces.
template <typename T> std::optional<T> parse_number(std::string_view text, T min, T max) {
    T value{};
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) return std::nullopt;
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

} // namespace ostrand
