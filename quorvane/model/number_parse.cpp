#include "model/number_parse.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace quorvane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

size_t SkipDigits(std::string_view text, size_t at) {
    while (at < text.size() && IsDigit(text[at])) ++at;
    return at;
}

// True when the whole text is one decimal number of the accepted form.
bool IsDecimalNumber(std::string_view text) {
    size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const size_t intStart = at;
    at = SkipDigits(text, at);
    size_t digits = at - intStart;
    if (at < text.size() && text[at] == '.') {
        const size_t fracStart = ++at;
        at = SkipDigits(text, at);
        digits += at - fracStart;
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        const size_t expStart = at;
        at = SkipDigits(text, at);
        if (at == expStart) return false;
    }
    return at == text.size();
}

} // namespace

std::string RangeMessage(uint32_t low, uint32_t high) {
    return "Please enter an integer between " + std::to_string(low) + " and " + std::to_string(high) + ".";
}

std::string ParseUnsignedText(std::string_view text, uint32_t* out) {
    const std::string_view t = TrimBlanks(text);
    if (t.empty() || SkipDigits(t, 0) != t.size()) return kMsgPositiveInteger;
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (ec != std::errc() || end != t.data() + t.size()) return kMsgPositiveInteger;
    *out = value;
    return {};
}

std::string ParseRangedText(std::string_view text, uint32_t low, uint32_t high, uint32_t* out) {
    uint32_t value = 0;
    std::string message = ParseUnsignedText(text, &value);
    if (!message.empty()) return message;
    if (value < low || value > high) return RangeMessage(low, high);
    *out = value;
    return {};
}

std::string ParseFloatText(std::string_view text, float* out) {
    const std::string_view t = TrimBlanks(text);
    if (!IsDecimalNumber(t)) return kMsgNumber;
    // from_chars takes no leading '+'.
    const std::string_view digits = t.front() == '+' ? t.substr(1) : t;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return kMsgNumber;
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) return kMsgNumber;
    const auto single = static_cast<float>(value);
    // A nonzero text that would become 0 lies below the float range.
    if (single == 0.0f && value != 0.0) return kMsgNumber;
    if (value == 0.0 && t.front() != '0') return kMsgNumber;
    *out = single;
    return {};
}

std::string ParseShownFloatText(std::string_view text, std::string_view shown, float original, float* out) {
    if (text == shown) {
        *out = original;
        return {};
    }
    return ParseFloatText(text, out);
}

std::string FormatFloatText(float value) {
    char buffer[64];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value), std::chars_format::general, 6);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

std::optional<int32_t> ScanLeadingInt(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    const size_t start = at;
    at = SkipDigits(text, at);
    if (at == start) return std::nullopt;
    int64_t value = 0;
    for (size_t i = start; i < at; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{1} << 31) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
    return static_cast<int32_t>(value);
}

} // namespace quorvane
