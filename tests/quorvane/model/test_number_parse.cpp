// The dialogs' number boxes: what each parser accepts, the value, and the
// message of each refusal; the scanf-like reading of the overlap question.
#include "model/number_parse.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(NumberParse, AcceptedFormsValuesAndMessages) {
    const std::string range = RangeMessage(1, 9999);
    // kind: 'u' unsigned, 'r' 1..9999, 'f' float; message "" when accepted.
    const std::tuple<char, const char*, std::string, double> cases[] = {
        {'u', " \t42\t ", "", 42},          {'u', "4294967295", "", 4294967295.0},
        {'u', "4294967296", kMsgPositiveInteger, 0}, {'u', "-5", kMsgPositiveInteger, 0},
        {'u', "+5", kMsgPositiveInteger, 0}, {'u', "", kMsgPositiveInteger, 0},
        {'u', "0x10", kMsgPositiveInteger, 0}, {'u', "42\n", kMsgPositiveInteger, 0},
        {'r', "0", range, 0},                {'r', "10000", range, 0},
        {'r', "9999", "", 9999},             {'r', "99999999999", kMsgPositiveInteger, 0},
        {'f', " -3e2\t", "", -300},          {'f', "+5", "", 5},
        {'f', ".5", "", 0.5},                {'f', "0.0", "", 0},
        {'f', "3.4e38", "", 3.4e38f},        {'f', ".0", kMsgNumber, 0},
        {'f', "+0", kMsgNumber, 0},          {'f', "1e", kMsgNumber, 0},
        {'f', "0x1p3", kMsgNumber, 0},       {'f', "inf", kMsgNumber, 0},
        {'f', "nan", kMsgNumber, 0},         {'f', "3.5e38", kMsgNumber, 0},
        {'f', "1e-60", kMsgNumber, 0},       {'f', "1,5", kMsgNumber, 0},
    };
    for (const auto& [kind, text, message, value] : cases) {
        uint32_t u = 7;
        float f = 7.0f;
        const std::string got = kind == 'u'   ? ParseUnsignedText(text, &u)
                                : kind == 'r' ? ParseRangedText(text, 1, 9999, &u)
                                              : ParseFloatText(text, &f);
        EXPECT_EQ(got, message) << '"' << text << '"';
        const double stored = kind == 'f' ? static_cast<double>(f) : static_cast<double>(u);
        EXPECT_EQ(stored, message.empty() ? value : 7.0) << '"' << text << '"';
    }
    EXPECT_EQ(FormatFloatText(-1.5e-7f), "-1.5e-07");
    EXPECT_EQ(FormatFloatText(9999.0f), "9999");
}

TEST(NumberParse, ScanLeadingIntReadsLikePercentD) {
    const std::pair<const char*, std::optional<int32_t>> cases[] = {
        {" 42abc", 42},   {"\t-5", -5}, {"", std::nullopt}, {"-", std::nullopt}, {"-2147483648", INT32_MIN},
        {"2147483648", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ScanLeadingInt(text), expected) << '"' << text << '"';
}

} // namespace
} // namespace quorvane
