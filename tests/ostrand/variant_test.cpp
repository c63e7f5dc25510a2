// VARIANT coercions that the point map relies on, and the ownership rules of
// init, clear and copy.

#include "ostrand.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

VARIANT make(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}
VARIANT i1(int8_t x) { VARIANT v = make(VT_I1); v.cVal = x; return v; }
VARIANT i2(int16_t x) { VARIANT v = make(VT_I2); v.iVal = x; return v; }
VARIANT i4(int32_t x) { VARIANT v = make(VT_I4); v.lVal = x; return v; }
VARIANT i8(int64_t x) { VARIANT v = make(VT_I8); v.llVal = x; return v; }
VARIANT int_(int32_t x) { VARIANT v = make(VT_INT); v.intVal = x; return v; }
VARIANT ui1(uint8_t x) { VARIANT v = make(VT_UI1); v.bVal = x; return v; }
VARIANT ui2(uint16_t x) { VARIANT v = make(VT_UI2); v.uiVal = x; return v; }
VARIANT ui4(uint32_t x) { VARIANT v = make(VT_UI4); v.ulVal = x; return v; }
VARIANT ui8(uint64_t x) { VARIANT v = make(VT_UI8); v.ullVal = x; return v; }
VARIANT uint_(uint32_t x) { VARIANT v = make(VT_UINT); v.uintVal = x; return v; }
VARIANT r4(float x) { VARIANT v = make(VT_R4); v.fltVal = x; return v; }
VARIANT r8(double x) { VARIANT v = make(VT_R8); v.dblVal = x; return v; }
VARIANT date(double x) { VARIANT v = make(VT_DATE); v.date = x; return v; }
VARIANT cy(int64_t scaled) { VARIANT v = make(VT_CY); v.cyVal.int64 = scaled; return v; }
VARIANT boolean(bool x) { VARIANT v = make(VT_BOOL); v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE; return v; }
VARIANT error(int32_t code) { VARIANT v = make(VT_ERROR); v.scode = code; return v; }
// The BSTR is freed by the test that uses the VARIANT.
VARIANT text(const char* s) { VARIANT v = make(VT_BSTR); v.bstrVal = SysAllocString(s); return v; }

struct Case {
    const char* name;
    VARIANT source;
    VARTYPE target;
    HRESULT result;
    double value; // compared when result is S_OK (for VT_BOOL: -1 or 0)
};

double numeric(const VARIANT& v) {
    switch (v.vt) {
    case VT_I2: return v.iVal;
    case VT_UI2: return v.uiVal;
    case VT_BOOL: return v.boolVal;
    case VT_R4: return v.fltVal;
    default: return NAN;
    }
}

class Coercion : public testing::TestWithParam<Case> {};

TEST_P(Coercion, ConvertsOrFailsAsDocumented) {
    Case c = GetParam();
    VARIANT dest = r8(12345.0); // a failed coercion must leave this alone
    HRESULT hr = VariantChangeType(&dest, &c.source, 0, c.target);
    EXPECT_EQ(hr, c.result);
    if (c.result == S_OK) {
        ASSERT_EQ(dest.vt, c.target);
        if (std::isnan(c.value)) {
            EXPECT_TRUE(std::isnan(numeric(dest)));
        } else {
            EXPECT_EQ(numeric(dest), c.value);
        }
    } else {
        EXPECT_EQ(dest.vt, VT_R8);
        EXPECT_EQ(dest.dblVal, 12345.0);
    }
    VariantClear(&dest);
    VariantClear(&c.source);
}

constexpr HRESULT OK = S_OK;
constexpr HRESULT OVER = DISP_E_OVERFLOW;
constexpr HRESULT MISMATCH = DISP_E_TYPEMISMATCH;

// Sources are built lazily: every BSTR case allocates, and the test frees.
std::vector<Case> to_i2() {
    return {
        {"empty", make(VT_EMPTY), VT_I2, OK, 0},
        {"null", make(VT_NULL), VT_I2, MISMATCH, 0},
        {"i1", i1(-128), VT_I2, OK, -128},
        {"i2", i2(-32768), VT_I2, OK, -32768},
        {"i4_fits", i4(32767), VT_I2, OK, 32767},
        {"i4_over", i4(32768), VT_I2, OVER, 0},
        {"i4_under", i4(-32769), VT_I2, OVER, 0},
        {"int_fits", int_(-5), VT_I2, OK, -5},
        {"i8_over", i8(int64_t{1} << 40), VT_I2, OVER, 0},
        {"ui1", ui1(255), VT_I2, OK, 255},
        {"ui2_over", ui2(40000), VT_I2, OVER, 0},
        {"ui4_fits", ui4(100), VT_I2, OK, 100},
        {"uint_over", uint_(70000), VT_I2, OVER, 0},
        {"ui8_over", ui8(~uint64_t{0}), VT_I2, OVER, 0},
        {"r4_half_even_down", r4(2.5f), VT_I2, OK, 2},
        {"r4_half_even_up", r4(3.5f), VT_I2, OK, 4},
        {"r4_negative_half", r4(-2.5f), VT_I2, OK, -2},
        {"r4_nan", r4(NAN), VT_I2, OVER, 0},
        {"r8_round", r8(1.6), VT_I2, OK, 2},
        {"r8_top_rounds_over", r8(32767.5), VT_I2, OVER, 0},
        {"r8_bottom_rounds_in", r8(-32768.5), VT_I2, OK, -32768},
        {"r8_inf", r8(INFINITY), VT_I2, OVER, 0},
        {"date", date(45000.5), VT_I2, OVER, 0},
        {"date_small", date(12.5), VT_I2, OK, 12},
        {"cy", cy(15000), VT_I2, OK, 2},   // 1.5 -> 2
        {"cy_half", cy(25000), VT_I2, OK, 2}, // 2.5 -> 2
        {"bool_true", boolean(true), VT_I2, OK, -1},
        {"bool_false", boolean(false), VT_I2, OK, 0},
        {"error", error(5), VT_I2, MISMATCH, 0},
        {"text", text("  -123  "), VT_I2, OK, -123},
        {"text_real", text("12.5"), VT_I2, OK, 12},
        {"text_exponent", text("1e3"), VT_I2, OK, 1000},
        {"text_over", text("40000"), VT_I2, OVER, 0},
        {"text_huge", text("99999999999999999999999"), VT_I2, OVER, 0},
        {"text_beyond_double", text("1e400"), VT_I2, OVER, 0},
        {"text_tiny", text("1e-400"), VT_I2, OK, 0},
        {"text_garbage", text("12abc"), VT_I2, MISMATCH, 0},
        {"text_blank", text("   "), VT_I2, MISMATCH, 0},
        {"text_inner_blank", text("1 2"), VT_I2, MISMATCH, 0},
        {"text_true_is_not_a_number", text("True"), VT_I2, MISMATCH, 0},
        {"text_comma_decimal", text("1,5"), VT_I2, MISMATCH, 0},
        {"text_infinity", text("inf"), VT_I2, MISMATCH, 0},
        {"text_null_bstr", make(VT_BSTR), VT_I2, MISMATCH, 0},
    };
}

std::vector<Case> to_ui2() {
    return {
        {"i2_negative", i2(-1), VT_UI2, OVER, 0},
        {"i4_top", i4(65535), VT_UI2, OK, 65535},
        {"i4_over", i4(65536), VT_UI2, OVER, 0},
        {"ui2", ui2(65535), VT_UI2, OK, 65535},
        {"ui4_over", ui4(65536), VT_UI2, OVER, 0},
        {"ui8_fits", ui8(65535), VT_UI2, OK, 65535},
        {"r4_round_up", r4(1.5f), VT_UI2, OK, 2},
        {"r4_negative_half_rounds_to_zero", r4(-0.5f), VT_UI2, OK, 0},
        {"r8_negative", r8(-0.6), VT_UI2, OVER, 0},
        {"r8_top", r8(65535.4), VT_UI2, OK, 65535},
        {"r8_top_rounds_over", r8(65535.5), VT_UI2, OVER, 0},
        {"cy", cy(655350000), VT_UI2, OK, 65535},
        {"cy_over", cy(655360000), VT_UI2, OVER, 0},
        {"bool_true_is_minus_one", boolean(true), VT_UI2, OVER, 0},
        {"text", text("\t65535\n"), VT_UI2, OK, 65535},
        {"text_plus", text("+42"), VT_UI2, OK, 42},
        {"text_negative", text("-1"), VT_UI2, OVER, 0},
        {"text_negative_zero", text("-0"), VT_UI2, OK, 0},
        {"text_leading_point", text(".5"), VT_UI2, OK, 0},
        {"text_trailing_point", text("7."), VT_UI2, OK, 7},
        {"text_empty", text(""), VT_UI2, MISMATCH, 0},
    };
}

std::vector<Case> to_bool() {
    return {
        {"i1", i1(-7), VT_BOOL, OK, -1},
        {"i2_zero", i2(0), VT_BOOL, OK, 0},
        {"ui4", ui4(0), VT_BOOL, OK, 0},
        {"ui8", ui8(~uint64_t{0}), VT_BOOL, OK, -1},
        {"r4_fraction", r4(0.25f), VT_BOOL, OK, -1},
        {"r4_negative_zero", r4(-0.0f), VT_BOOL, OK, 0},
        {"r8_nan", r8(NAN), VT_BOOL, OK, -1},
        {"date_zero", date(0), VT_BOOL, OK, 0},
        {"cy", cy(1), VT_BOOL, OK, -1},
        {"bool", boolean(true), VT_BOOL, OK, -1},
        {"text_true", text(" TRUE "), VT_BOOL, OK, -1},
        {"text_false", text("false"), VT_BOOL, OK, 0},
        {"text_number", text("0.0"), VT_BOOL, OK, 0},
        {"text_minus_one", text("-1"), VT_BOOL, OK, -1},
        {"text_yes", text("yes"), VT_BOOL, MISMATCH, 0},
    };
}

std::vector<Case> to_r4() {
    return {
        {"i4", i4(16777217), VT_R4, OK, 16777216}, // nearest single
        {"ui4", ui4(4000000000u), VT_R4, OK, 4e9},
        {"ui8", ui8(~uint64_t{0}), VT_R4, OK, 18446744073709551616.0},
        {"r4_nan", r4(NAN), VT_R4, OK, NAN},
        {"r8", r8(1.5), VT_R4, OK, 1.5},
        {"r8_over", r8(1e39), VT_R4, OVER, 0},
        {"r8_under", r8(-1e39), VT_R4, OVER, 0},
        {"r8_inf_passes", r8(INFINITY), VT_R4, OK, INFINITY},
        {"date", date(2.25), VT_R4, OK, 2.25},
        {"cy", cy(12345), VT_R4, OK, 1.2345f},
        {"bool_true", boolean(true), VT_R4, OK, -1},
        {"text", text(" 3.25 "), VT_R4, OK, 3.25},
        {"text_exponent", text("-2.5E-1"), VT_R4, OK, -0.25},
        {"text_over", text("1e39"), VT_R4, OVER, 0},
        {"text_exponent_at_long_max", text("5e9223372036854775807"), VT_R4, OVER, 0},
        {"text_exponent_at_long_min", text("5e-9223372036854775807"), VT_R4, OK, 0},
        {"text_double_sign", text("--1"), VT_R4, MISMATCH, 0},
        {"text_exponent_without_digits", text("1e"), VT_R4, MISMATCH, 0},
    };
}

std::string case_name(const testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(ToI2, Coercion, testing::ValuesIn(to_i2()), case_name);
INSTANTIATE_TEST_SUITE_P(ToUI2, Coercion, testing::ValuesIn(to_ui2()), case_name);
INSTANTIATE_TEST_SUITE_P(ToBool, Coercion, testing::ValuesIn(to_bool()), case_name);
INSTANTIATE_TEST_SUITE_P(ToR4, Coercion, testing::ValuesIn(to_r4()), case_name);

struct TextCase {
    VARIANT source;
    uint16_t flags;
    const char* expected;
};

TEST(VariantText, NumbersBecomeLocaleIndependentDecimalText) {
    TextCase cases[] = {
        {i2(-32768), 0, "-32768"},
        {ui8(~uint64_t{0}), 0, "18446744073709551615"},
        {i8(INT64_MIN), 0, "-9223372036854775808"},
        {r4(0.1f), 0, "0.1"},
        {r4(1.5f), 0, "1.5"},
        {r8(1.0 / 3), 0, "0.333333333333333"},
        {r8(1e20), 0, "1e+20"},
        {date(45000.25), 0, "45000.25"},
        {cy(-12345), 0, "-1.2345"},
        {cy(20000), 0, "2"},
        {cy(INT64_MIN), 0, "-922337203685477.5808"},
        {boolean(true), 0, "-1"},
        {boolean(false), 0, "0"},
        {boolean(true), VARIANT_ALPHABOOL, "True"},
        {make(VT_EMPTY), 0, ""},
    };
    for (TextCase& c : cases) {
        VARIANT out;
        VariantInit(&out);
        ASSERT_EQ(VariantChangeType(&out, &c.source, c.flags, VT_BSTR), S_OK) << c.expected;
        ASSERT_EQ(out.vt, VT_BSTR);
        EXPECT_STREQ(out.bstrVal, c.expected);
        VariantClear(&out);
    }
}

TEST(VariantText, RealsSurviveTheRoundTripThroughText) {
    for (double value : {0.1, -123456.789, 1e-300, 6.02214076e23, 2958465.5}) {
        VARIANT source = r8(value), as_text, back;
        VariantInit(&as_text);
        VariantInit(&back);
        ASSERT_EQ(VariantChangeType(&as_text, &source, 0, VT_BSTR), S_OK);
        ASSERT_EQ(VariantChangeType(&back, &as_text, 0, VT_R8), S_OK) << as_text.bstrVal;
        EXPECT_NEAR(back.dblVal, value, std::fabs(value) * 1e-14) << as_text.bstrVal;
        VariantClear(&as_text);
    }
}

TEST(VariantWideTargets, RangesOfTheOtherTypesAreChecked) {
    struct Wide {
        VARIANT source;
        VARTYPE target;
        HRESULT result;
    } cases[] = {
        {text("9223372036854775807"), VT_I8, OK},
        {text("9223372036854775808"), VT_I8, OVER},
        {text("-9223372036854775808"), VT_I8, OK},
        {text("18446744073709551615"), VT_UI8, OK},
        {text("18446744073709551616"), VT_UI8, OVER},
        {r8(-0.5), VT_UI4, OK},
        {r8(4294967295.4), VT_UI4, OK},
        {r8(4294967295.5), VT_UI4, OVER},
        {i2(-129), VT_I1, OVER},
        {i2(256), VT_UI1, OVER},
        {r8(2958466.0), VT_DATE, OVER},
        {r8(-657434.0), VT_DATE, OK},
        {r8(9.3e14), VT_CY, OVER},
        {r8(9.2e14), VT_CY, OK},
        {r8(NAN), VT_CY, OVER},
        {make(VT_EMPTY), VT_NULL, OK},
        {i2(1), VT_NULL, MISMATCH},
        {make(VT_NULL), VT_BSTR, MISMATCH},
        {i2(1), VT_ERROR, MISMATCH},
        {i2(1), VT_ARRAY | VT_I2, MISMATCH},
        {i2(1), 9, DISP_E_BADVARTYPE},
        {make(99), VT_I2, DISP_E_BADVARTYPE},
    };
    for (Wide& c : cases) {
        VARIANT out;
        VariantInit(&out);
        EXPECT_EQ(VariantChangeType(&out, &c.source, 0, c.target), c.result)
            << "source tag " << c.source.vt << " target " << c.target;
        VariantClear(&out);
        if (c.source.vt == VT_BSTR) VariantClear(&c.source);
    }
    VARIANT big = text("-9223372036854775808"), out;
    VariantInit(&out);
    ASSERT_EQ(VariantChangeType(&out, &big, 0, VT_I8), S_OK);
    EXPECT_EQ(out.llVal, INT64_MIN);
    VARIANT money = r8(2.00005);
    ASSERT_EQ(VariantChangeType(&out, &money, 0, VT_CY), S_OK);
    EXPECT_EQ(out.cyVal.int64, 20000); // 20000.5 ten-thousandths, half to even
    VariantClear(&big);
}

TEST(VariantOwnership, CopyIsDeepAndClearEmpties) {
    VARIANT a = text("pump 7"), b;
    VariantInit(&b);
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    ASSERT_EQ(b.vt, VT_BSTR);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    EXPECT_STREQ(b.bstrVal, "pump 7");
    // Copying over a value that owns a string releases it (ASan would flag a leak).
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    ASSERT_EQ(VariantCopy(&b, &b), S_OK);
    EXPECT_STREQ(b.bstrVal, "pump 7");
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_STREQ(b.bstrVal, "pump 7");
    VariantClear(&b);

    VARIANT array;
    VariantInit(&array);
    array.vt = VT_ARRAY | VT_BSTR;
    array.parray = SafeArrayCreateVector(VT_BSTR, 2);
    ASSERT_NE(array.parray, nullptr);
    array.parray->elements[0].bstrVal = SysAllocString("a");
    array.parray->elements[1].bstrVal = SysAllocString("b");
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantChangeType(&copy, &array, 0, VT_ARRAY | VT_BSTR), S_OK);
    ASSERT_NE(copy.parray, array.parray);
    EXPECT_STREQ(copy.parray->elements[1].bstrVal, "b");
    VariantClear(&array);
    EXPECT_STREQ(copy.parray->elements[0].bstrVal, "a");
    VariantClear(&copy);

    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(&copy, nullptr), E_INVALIDARG);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
}

TEST(VariantOwnership, InPlaceCoercionReplacesTheOwnedString) {
    VARIANT v = text(" 42 ");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 42);
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
    EXPECT_STREQ(v.bstrVal, "42");
    // A failed in-place coercion keeps the string.
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_NULL), DISP_E_TYPEMISMATCH);
    EXPECT_STREQ(v.bstrVal, "42");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_EMPTY), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
}

} // namespace
