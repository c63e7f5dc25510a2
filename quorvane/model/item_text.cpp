// The texts of the item list: value, time and description, quality, and the
// cut of long texts. No group, no lock: the fuzzer compiles this file alone.
#include "model/item_list.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace quorvane {

namespace {

// File time of 1970-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochFileTime = 116444736000000000ULL;
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ULL;
// File times from here on have no calendar date.
constexpr uint64_t kFileTimeLimit = 1ULL << 63;

constexpr const char* kUnknownValue = "?????";
constexpr const char* kTimeBlanks = "    ";

// Decimal text of an integer followed by a blank; to_chars never consults the
// locale.
template <typename T> std::string IntegerText(T value) {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    text += ' ';
    return text;
}

// "%<width>.<precision>f " without the locale: right-aligned in `width`.
std::string FixedText(double value, int width, int precision) {
    // Room for the largest double in fixed notation (309 digits) and the
    // decimals.
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    std::string digits(buffer, ec == std::errc() ? end : buffer);
    std::string text;
    if (digits.size() < static_cast<size_t>(width)) text.assign(static_cast<size_t>(width) - digits.size(), ' ');
    text += digits;
    text += ' ';
    return text;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at text[at], or 1 for a byte that
// does not start one (a stray or truncated byte counts as one character).
size_t SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // no overlong forms
        if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F; // nothing past U+10FFFF
    } else {
        return 1;
    }
    if (text.size() - at < length) return 1;
    if (byte(1) < low || byte(1) > high) return 1;
    for (size_t i = 2; i < length; ++i)
        if (!IsContinuation(byte(i))) return 1;
    return length;
}

void AppendTwoDigits(std::string& text, int value) {
    text += static_cast<char>('0' + value / 10 % 10);
    text += static_cast<char>('0' + value % 10);
}

} // namespace

std::string TruncateText(std::string_view text, size_t maxChars) {
    size_t at = 0;
    for (size_t chars = 0; chars < maxChars && at < text.size(); ++chars) at += SequenceLength(text, at);
    return std::string(text.substr(0, at));
}

size_t CountTextChars(std::string_view text) {
    size_t chars = 0;
    for (size_t at = 0; at < text.size(); ++chars) at += SequenceLength(text, at);
    return chars;
}

std::string FormatItemTime(uint64_t fileTime) {
    std::tm local{};
    bool known = fileTime >= kUnixEpochFileTime && fileTime < kFileTimeLimit;
    if (known) {
        const auto seconds = static_cast<std::time_t>((fileTime - kUnixEpochFileTime) / kFileTimeTicksPerSecond);
        known = localtime_r(&seconds, &local) != nullptr;
    }
    if (!known) return std::string("--:--:--") + kTimeBlanks;
    std::string text;
    AppendTwoDigits(text, local.tm_hour);
    text += ':';
    AppendTwoDigits(text, local.tm_min);
    text += ':';
    AppendTwoDigits(text, local.tm_sec);
    return text + kTimeBlanks;
}

std::string FormatItemDescription(uint64_t fileTime, std::string_view accessPath, std::string_view itemId) {
    std::string text = FormatItemTime(fileTime);
    if (!accessPath.empty()) {
        text += accessPath;
        text += '.';
    }
    text += itemId;
    return text;
}

std::string FormatItemValue(const VARIANT& v) {
    switch (v.vt) {
    case VT_I2: return IntegerText(static_cast<int>(v.iVal));
    case VT_I4: return IntegerText(v.lVal);
    case VT_INT: return IntegerText(v.intVal);
    // Unsigned 32-bit values keep their magnitude: 4,000,000,000 is not shown
    // as a negative number.
    case VT_UI4: return IntegerText(v.ulVal);
    case VT_UINT: return IntegerText(v.uintVal);
    case VT_I8: return IntegerText(v.llVal);
    case VT_UI8: return IntegerText(v.ullVal);
    case VT_R4: return FixedText(static_cast<double>(v.fltVal), 5, 2);
    case VT_R8: return FixedText(v.dblVal, 9, 4);
    case VT_BSTR: return v.bstrVal ? TruncateText(v.bstrVal, kMaxValueTextChars) : std::string();
    case VT_BOOL: return v.boolVal != 0 ? "TRUE" : "FALSE";
    case VT_I1: return IntegerText(static_cast<int>(v.cVal));
    case VT_UI1: return IntegerText(static_cast<unsigned>(v.bVal));
    case VT_UI2: return IntegerText(static_cast<unsigned>(v.uiVal));
    default: return kUnknownValue;
    }
}

QualityClass ClassifyQuality(uint32_t quality) {
    if (quality == 192) return QualityClass::Good;
    if (quality == 0) return QualityClass::Bad;
    return QualityClass::Uncertain;
}

const char* QualityText(uint32_t quality) {
    switch (ClassifyQuality(quality)) {
    case QualityClass::Good: return " (Quality Good)";
    case QualityClass::Bad: return " (Quality Bad)";
    case QualityClass::Uncertain: break;
    }
    return " (Quality Uncertain)";
}

std::string FormatSourceTime(uint64_t fileTime) {
    if (fileTime < kUnixEpochFileTime || fileTime >= kFileTimeLimit) return "none";
    const uint64_t since = fileTime - kUnixEpochFileTime;
    const auto seconds = static_cast<time_t>(since / kFileTimeTicksPerSecond);
    const auto millis = static_cast<int>(since % kFileTimeTicksPerSecond / 10000ULL);
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) return "none";
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string FormatPrintedValue(const VARIANT& value, uint32_t quality) {
    return FormatItemValue(value) + QualityText(quality);
}

} // namespace quorvane
