// The dialogs' number boxes: what is accepted, the value, and the message of
// each refusal; the "%.6g" text; the scanf-like reading of the overlap check.
#include "number_parse.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quorvane {
namespace {

struct UnsignedCase {
    const char* text;
    uint32_t low, high; // 0, 0: plain unsigned
    const char* message; // "" when accepted
    uint32_t value;
};

TEST(NumberParse, UnsignedAndRanged) {
    const std::string range = "Please enter an integer between 1 and 9999.";
    const UnsignedCase cases[] = {
        {"42", 0, 0, "", 42},
        {" \t42\t ", 1, 9999, "", 42},
        {"0", 0, 0, "", 0},
        {"4294967295", 0, 0, "", 4294967295u},
        {"4294967296", 0, 0, kMsgPositiveInteger, 0},
        {"99999999999999999999", 1, 9999, kMsgPositiveInteger, 0},
        {"-5", 0, 0, kMsgPositiveInteger, 0},
        {"+5", 0, 0, kMsgPositiveInteger, 0},
        {"", 0, 0, kMsgPositiveInteger, 0},
        {"   ", 0, 0, kMsgPositiveInteger, 0},
        {"0x10", 0, 0, kMsgPositiveInteger, 0},
        {"4 2", 0, 0, kMsgPositiveInteger, 0},
        {"42\n", 0, 0, kMsgPositiveInteger, 0},
        {"1.0", 0, 0, kMsgPositiveInteger, 0},
        {"0", 1, 9999, range.c_str(), 0},
        {"10000", 1, 9999, range.c_str(), 0},
        {"9999", 1, 9999, "", 9999},
        {"256", 1, 255, "Please enter an integer between 1 and 255.", 0},
    };
    for (const UnsignedCase& c : cases) {
        uint32_t value = 7;
        const std::string message =
            c.high == 0 ? ParseUnsignedText(c.text, &value) : ParseRangedText(c.text, c.low, c.high, &value);
        EXPECT_EQ(message, c.message) << '"' << c.text << '"';
        EXPECT_EQ(value, *c.message ? 7u : c.value) << '"' << c.text << '"';
    }
}

TEST(NumberParse, FloatsAreDecimalFiniteAndInRange) {
    struct Case {
        const char* text;
        bool ok;
        float value;
    };
    const Case cases[] = {
        {"12.5", true, 12.5f},   {" -3e2\t", true, -300.0f}, {"+5", true, 5.0f},    {".5", true, 0.5f},
        {"5.", true, 5.0f},      {"0", true, 0.0f},          {"0.0", true, 0.0f},   {"0e7", true, 0.0f},
        {"1E-3", true, 0.001f},  {"3.4e38", true, 3.4e38f},  {".0", false, 0},      {"+0", false, 0},
        {"-0", false, 0},        {"", false, 0},             {".", false, 0},       {"1e", false, 0},
        {"0x10", false, 0},      {"0x1p3", false, 0},        {"inf", false, 0},     {"-infinity", false, 0},
        {"nan", false, 0},       {"3.5e38", false, 0},       {"1e400", false, 0},   {"1e-60", false, 0},
        {"1,5", false, 0},       {"12.5x", false, 0},        {"--1", false, 0},     {"1 2", false, 0},
    };
    for (const Case& c : cases) {
        float value = 7.0f;
        const std::string message = ParseFloatText(c.text, &value);
        EXPECT_EQ(message, c.ok ? "" : kMsgNumber) << '"' << c.text << '"';
        EXPECT_EQ(value, c.ok ? c.value : 7.0f) << '"' << c.text << '"';
    }
}

TEST(NumberParse, ShownFloatKeepsItsValueUntilEdited) {
    const float original = 1234567.0f;
    const std::string shown = FormatFloatText(original);
    EXPECT_EQ(shown, "1.23457e+06");
    float value = 0;
    EXPECT_EQ(ParseShownFloatText(shown, shown, original, &value), "");
    EXPECT_EQ(value, original);
    EXPECT_EQ(ParseShownFloatText("1.23457e+06 ", shown, original, &value), "");
    EXPECT_EQ(value, 1234570.0f);
    EXPECT_EQ(ParseShownFloatText("x", shown, original, &value), kMsgNumber);
}

TEST(NumberParse, FloatTextIsSixSignificantDigits) {
    const std::pair<float, const char*> cases[] = {
        {9999.0f, "9999"}, {0.25f, "0.25"}, {-1.5e-7f, "-1.5e-07"}, {100.0f, "100"}, {0.0f, "0"}, {1e6f, "1e+06"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(FormatFloatText(value), text);
}

TEST(NumberParse, ScanLeadingIntReadsLikePercentD) {
    const std::pair<const char*, std::optional<int32_t>> cases[] = {
        {"0", 0},           {" 42abc", 42},      {"\t-5", -5},      {"+7", 7},
        {"", std::nullopt}, {"abc", std::nullopt}, {"-", std::nullopt}, {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN}, {"2147483648", std::nullopt}, {"99999999999", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ScanLeadingInt(text), expected) << '"' << text << '"';
}

} // namespace
} // namespace quorvane
