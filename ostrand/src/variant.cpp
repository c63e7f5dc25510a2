// The VARIANT value type and its coercions.
//
// Every coercion goes through one intermediate number (`Number`): an exact
// signed or unsigned 64-bit integer, or a long double (64-bit mantissa, so every
// 64-bit integer and every currency value survives the trip). The source is
// turned into a Number, the Number into the target; range checks and rounding
// happen only in the second step, so each rule lives in one place.

#include "ostrand.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

struct Number {
    enum Kind { Signed, Unsigned, Real } kind = Signed;
    int64_t i = 0;
    uint64_t u = 0;
    long double d = 0;

    static Number of_signed(int64_t v) { return Number{Signed, v, 0, 0}; }
    static Number of_unsigned(uint64_t v) { return Number{Unsigned, 0, v, 0}; }
    static Number of_real(long double v) { return Number{Real, 0, 0, v}; }

    long double as_real() const {
        switch (kind) {
        case Signed: return static_cast<long double>(i);
        case Unsigned: return static_cast<long double>(u);
        case Real: break;
        }
        return d;
    }
    bool is_zero() const { return kind == Signed ? i == 0 : kind == Unsigned ? u == 0 : d == 0; }
};

// Oldest and newest dates that the Automation date type accepts: 0100-01-01
// and the last instant of 9999-12-31.
constexpr long double kMinDate = -657434.0L;
constexpr long double kMaxDateExclusive = 2958466.0L;
constexpr long double kCurrencyScale = 10000.0L;

bool is_scalar_type(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_ERROR: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
        return true;
    default:
        return false;
    }
}

bool is_valid_type(VARTYPE vt) {
    if (vt & VT_ARRAY) {
        VARTYPE element = static_cast<VARTYPE>(vt & ~VT_ARRAY);
        return is_scalar_type(element) && element != VT_EMPTY && element != VT_NULL;
    }
    return is_scalar_type(vt);
}

char* duplicate_text(const char* text, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

// ---------------------------------------------------------------------------
// Text to number. Blanks around the number are allowed; the number itself is
// an optional sign, digits with an optional decimal point, and an optional
// exponent. The decimal point is always '.', whatever the process locale.

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool equals_ignoring_case(const char* a, size_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (size_t k = 0; k < length; ++k) {
        char c = a[k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[k]) return false;
    }
    return true;
}

// Trims blanks; returns false when nothing but blanks is left.
bool trimmed(const char* text, const char** begin, const char** end) {
    if (!text) return false;
    const char* b = text;
    const char* e = text + std::strlen(text);
    while (b < e && is_blank(*b)) ++b;
    while (e > b && is_blank(e[-1])) --e;
    *begin = b;
    *end = e;
    return b < e;
}

// Power of ten of the leading significant digit, plus one: positive for
// numbers of at least 1, zero or negative below. Only asked for numbers that
// a double cannot hold, so it merely tells huge from tiny.
long decimal_magnitude(const char* p, const char* end) {
    long integer_digits = 0;
    long leading_fraction_zeros = 0;
    bool significant = false;
    bool fraction = false;
    for (; p < end && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            fraction = true;
        } else if (!significant && *p == '0') {
            if (fraction) ++leading_fraction_zeros;
        } else {
            significant = true;
            if (!fraction) ++integer_digits;
        }
    }
    if (!significant) return std::numeric_limits<long>::min();
    long exponent = 0;
    if (p < end) {
        ++p;
        bool negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        auto [rest, ec] = std::from_chars(p, end, exponent);
        (void)rest;
        // Far beyond any double either way; bounded so the sum below cannot overflow.
        if (ec == std::errc::result_out_of_range || exponent > 1000000000L) exponent = 1000000000L;
        if (negative) exponent = -exponent;
    }
    return (integer_digits > 0 ? integer_digits : -leading_fraction_zeros) + exponent;
}

HRESULT parse_number(const char* text, Number* out) {
    const char* p;
    const char* end;
    if (!trimmed(text, &p, &end)) return DISP_E_TYPEMISMATCH;

    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Validate the shape first; from_chars alone would accept "inf" and "nan".
    const char* q = p;
    size_t digits = 0;
    while (q < end && *q >= '0' && *q <= '9') ++q, ++digits;
    bool integral = true;
    if (q < end && *q == '.') {
        integral = false;
        ++q;
        while (q < end && *q >= '0' && *q <= '9') ++q, ++digits;
    }
    if (digits == 0) return DISP_E_TYPEMISMATCH;
    if (q < end && (*q == 'e' || *q == 'E')) {
        integral = false;
        ++q;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        const char* exponent = q;
        while (q < end && *q >= '0' && *q <= '9') ++q;
        if (q == exponent) return DISP_E_TYPEMISMATCH;
    }
    if (q != end) return DISP_E_TYPEMISMATCH;

    if (integral) {
        uint64_t magnitude = 0;
        auto [rest, ec] = std::from_chars(p, end, magnitude);
        if (ec == std::errc() && rest == end) {
            if (!negative) {
                *out = Number::of_unsigned(magnitude);
                return S_OK;
            }
            if (magnitude <= uint64_t{1} << 63) {
                *out = Number::of_signed(magnitude == uint64_t{1} << 63
                                             ? std::numeric_limits<int64_t>::min()
                                             : -static_cast<int64_t>(magnitude));
                return S_OK;
            }
        }
        // Beyond 64 bits: fall through to a real, which overflows every integer.
    }
    double value = 0;
    auto [rest, ec] = std::from_chars(p, end, value);
    if (rest != end) return DISP_E_TYPEMISMATCH;
    if (ec == std::errc::result_out_of_range) {
        // Too large for a double is an overflow; too small is zero.
        if (decimal_magnitude(p, end) > 0) return DISP_E_OVERFLOW;
        value = 0;
    } else if (ec != std::errc()) {
        return DISP_E_TYPEMISMATCH;
    }
    *out = Number::of_real(negative ? -static_cast<long double>(value) : static_cast<long double>(value));
    return S_OK;
}

// ---------------------------------------------------------------------------
// Source value to Number.

HRESULT to_number(const VARIANT& v, VARTYPE target, Number* out) {
    switch (v.vt) {
    case VT_EMPTY: *out = Number::of_signed(0); return S_OK;
    case VT_I1: *out = Number::of_signed(v.cVal); return S_OK;
    case VT_I2: *out = Number::of_signed(v.iVal); return S_OK;
    case VT_I4: *out = Number::of_signed(v.lVal); return S_OK;
    case VT_INT: *out = Number::of_signed(v.intVal); return S_OK;
    case VT_I8: *out = Number::of_signed(v.llVal); return S_OK;
    case VT_BOOL: *out = Number::of_signed(v.boolVal ? -1 : 0); return S_OK;
    case VT_UI1: *out = Number::of_unsigned(v.bVal); return S_OK;
    case VT_UI2: *out = Number::of_unsigned(v.uiVal); return S_OK;
    case VT_UI4: *out = Number::of_unsigned(v.ulVal); return S_OK;
    case VT_UINT: *out = Number::of_unsigned(v.uintVal); return S_OK;
    case VT_UI8: *out = Number::of_unsigned(v.ullVal); return S_OK;
    case VT_R4: *out = Number::of_real(v.fltVal); return S_OK;
    case VT_R8: *out = Number::of_real(v.dblVal); return S_OK;
    case VT_DATE: *out = Number::of_real(v.date); return S_OK;
    case VT_CY: *out = Number::of_real(static_cast<long double>(v.cyVal.int64) / kCurrencyScale); return S_OK;
    case VT_BSTR: {
        if (target == VT_BOOL) {
            const char* b;
            const char* e;
            if (trimmed(v.bstrVal, &b, &e)) {
                size_t n = static_cast<size_t>(e - b);
                if (equals_ignoring_case(b, n, "true")) { *out = Number::of_signed(-1); return S_OK; }
                if (equals_ignoring_case(b, n, "false")) { *out = Number::of_signed(0); return S_OK; }
            }
        }
        return parse_number(v.bstrVal ? v.bstrVal : "", out);
    }
    default:
        return DISP_E_TYPEMISMATCH; // VT_NULL, VT_ERROR, arrays
    }
}

// ---------------------------------------------------------------------------
// Number to target.

// Integers: exact range check; reals are rounded half to even first.
template <typename T>
HRESULT to_integer(const Number& n, T* out) {
    using L = std::numeric_limits<T>;
    switch (n.kind) {
    case Number::Signed:
        if (n.i < 0 ? (!L::is_signed || n.i < static_cast<int64_t>(L::min()))
                    : static_cast<uint64_t>(n.i) > static_cast<uint64_t>(L::max()))
            return DISP_E_OVERFLOW;
        *out = static_cast<T>(n.i);
        return S_OK;
    case Number::Unsigned:
        if (n.u > static_cast<uint64_t>(L::max())) return DISP_E_OVERFLOW;
        *out = static_cast<T>(n.u);
        return S_OK;
    case Number::Real: break;
    }
    if (!std::isfinite(n.d)) return DISP_E_OVERFLOW;
    long double r = std::nearbyint(n.d); // the default rounding mode: half to even
    if (r < static_cast<long double>(L::min()) || r > static_cast<long double>(L::max())) return DISP_E_OVERFLOW;
    if (L::is_signed) {
        *out = static_cast<T>(static_cast<int64_t>(r));
    } else {
        *out = static_cast<T>(static_cast<uint64_t>(r));
    }
    return S_OK;
}

std::string real_text(long double value, int precision) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                   std::chars_format::general, precision);
    if (ec != std::errc()) return "0";
    return std::string(buffer, end);
}

std::string currency_text(int64_t scaled) {
    // Exact: whole units, then up to four decimals without trailing zeros.
    uint64_t magnitude = scaled < 0 ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    char digits[40];
    int length = std::snprintf(digits, sizeof digits, "%s%llu.%04u", scaled < 0 ? "-" : "",
                               static_cast<unsigned long long>(magnitude / 10000),
                               static_cast<unsigned>(magnitude % 10000));
    while (digits[length - 1] == '0') --length;
    if (digits[length - 1] == '.') --length;
    return std::string(digits, static_cast<size_t>(length));
}

HRESULT to_text(const VARIANT& v, uint16_t flags, BSTR* out) {
    std::string text;
    switch (v.vt) {
    case VT_EMPTY: break;
    case VT_I1: text = std::to_string(v.cVal); break;
    case VT_I2: text = std::to_string(v.iVal); break;
    case VT_I4: text = std::to_string(v.lVal); break;
    case VT_INT: text = std::to_string(v.intVal); break;
    case VT_I8: text = std::to_string(v.llVal); break;
    case VT_UI1: text = std::to_string(v.bVal); break;
    case VT_UI2: text = std::to_string(v.uiVal); break;
    case VT_UI4: text = std::to_string(v.ulVal); break;
    case VT_UINT: text = std::to_string(v.uintVal); break;
    case VT_UI8: text = std::to_string(v.ullVal); break;
    case VT_R4: text = real_text(v.fltVal, 7); break;
    case VT_R8: text = real_text(v.dblVal, 15); break;
    case VT_DATE: text = real_text(v.date, 15); break;
    case VT_CY: text = currency_text(v.cyVal.int64); break;
    case VT_BOOL:
        if (flags & VARIANT_ALPHABOOL) {
            text = v.boolVal ? "True" : "False";
        } else {
            text = v.boolVal ? "-1" : "0";
        }
        break;
    default: return DISP_E_TYPEMISMATCH;
    }
    BSTR copy = duplicate_text(text.data(), text.size());
    if (!copy) return E_OUTOFMEMORY;
    *out = copy;
    return S_OK;
}

HRESULT from_number(const Number& n, VARTYPE vt, VARIANT* out) {
    out->vt = vt;
    switch (vt) {
    case VT_I1: return to_integer(n, &out->cVal);
    case VT_I2: return to_integer(n, &out->iVal);
    case VT_I4: return to_integer(n, &out->lVal);
    case VT_INT: return to_integer(n, &out->intVal);
    case VT_I8: return to_integer(n, &out->llVal);
    case VT_UI1: return to_integer(n, &out->bVal);
    case VT_UI2: return to_integer(n, &out->uiVal);
    case VT_UI4: return to_integer(n, &out->ulVal);
    case VT_UINT: return to_integer(n, &out->uintVal);
    case VT_UI8: return to_integer(n, &out->ullVal);
    case VT_BOOL: out->boolVal = n.is_zero() ? VARIANT_FALSE : VARIANT_TRUE; return S_OK;
    case VT_R4: {
        long double d = n.as_real();
        if (std::isfinite(d) && std::fabs(d) > static_cast<long double>(FLT_MAX)) return DISP_E_OVERFLOW;
        out->fltVal = static_cast<float>(d);
        return S_OK;
    }
    case VT_R8: {
        long double d = n.as_real();
        if (std::isfinite(d) && std::fabs(d) > static_cast<long double>(DBL_MAX)) return DISP_E_OVERFLOW;
        out->dblVal = static_cast<double>(d);
        return S_OK;
    }
    case VT_DATE: {
        long double d = n.as_real();
        if (!(d >= kMinDate && d < kMaxDateExclusive)) return DISP_E_OVERFLOW;
        out->date = static_cast<double>(d);
        return S_OK;
    }
    case VT_CY: {
        if (n.kind == Number::Real && !std::isfinite(n.d)) return DISP_E_OVERFLOW;
        long double scaled = std::nearbyint(n.as_real() * kCurrencyScale);
        // 2^63 is exact in a long double; the largest int64 is just below it.
        if (scaled < -9223372036854775808.0L || scaled >= 9223372036854775808.0L) return DISP_E_OVERFLOW;
        out->cyVal.int64 = static_cast<int64_t>(scaled);
        return S_OK;
    }
    default:
        return DISP_E_BADVARTYPE;
    }
}

HRESULT copy_into(VARIANT* dest, const VARIANT& src);

HRESULT copy_array(const SAFEARRAY* src, SAFEARRAY** out) {
    if (!src) {
        *out = nullptr;
        return S_OK;
    }
    SAFEARRAY* copy = SafeArrayCreateVector(VT_EMPTY, src->count);
    if (!copy) return E_OUTOFMEMORY;
    for (uint32_t k = 0; k < src->count; ++k) {
        HRESULT hr = copy_into(&copy->elements[k], src->elements[k]);
        if (hr != S_OK) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *out = copy;
    return S_OK;
}

// Deep copy into a VARIANT that owns nothing yet.
HRESULT copy_into(VARIANT* dest, const VARIANT& src) {
    if (!is_valid_type(src.vt)) return DISP_E_BADVARTYPE;
    VARIANT tmp = src;
    if (src.vt == VT_BSTR && src.bstrVal) {
        tmp.bstrVal = duplicate_text(src.bstrVal, std::strlen(src.bstrVal));
        if (!tmp.bstrVal) return E_OUTOFMEMORY;
    } else if (src.vt & VT_ARRAY) {
        HRESULT hr = copy_array(src.parray, &tmp.parray);
        if (hr != S_OK) return hr;
    }
    *dest = tmp;
    return S_OK;
}

void release(VARIANT* v) {
    if (v->vt == VT_BSTR) {
        SysFreeString(v->bstrVal);
    } else if (v->vt & VT_ARRAY) {
        SafeArrayDestroy(v->parray);
    }
}

} // namespace

extern "C" {

void VariantInit(VARIANT* v) {
    if (!v) return;
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    if (!is_valid_type(v->vt)) return DISP_E_BADVARTYPE;
    release(v);
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return is_valid_type(src->vt) ? S_OK : DISP_E_BADVARTYPE;
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = copy_into(&copy, *src);
    if (hr != S_OK) return hr;
    if (is_valid_type(dest->vt)) release(dest);
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt) {
    if (!dest || !src) return E_INVALIDARG;
    if (!is_valid_type(src->vt) || !is_valid_type(vt)) return DISP_E_BADVARTYPE;

    VARIANT result;
    VariantInit(&result);
    HRESULT hr = S_OK;
    if (src->vt == vt) {
        hr = copy_into(&result, *src);
    } else if (vt == VT_EMPTY) {
        // Everything can be emptied.
    } else if (vt == VT_NULL) {
        if (src->vt != VT_EMPTY) hr = DISP_E_TYPEMISMATCH;
        result.vt = VT_NULL;
    } else if ((vt & VT_ARRAY) || (src->vt & VT_ARRAY) || vt == VT_ERROR || src->vt == VT_ERROR ||
               src->vt == VT_NULL) {
        hr = DISP_E_TYPEMISMATCH;
    } else if (vt == VT_BSTR) {
        result.vt = VT_BSTR;
        hr = to_text(*src, flags, &result.bstrVal);
    } else {
        Number n;
        hr = to_number(*src, vt, &n);
        if (hr == S_OK) hr = from_number(n, vt, &result);
    }
    if (hr != S_OK) {
        if (result.vt == VT_BSTR) SysFreeString(result.bstrVal);
        return hr;
    }
    // The source is read completely before the destination is released, so
    // dest == src works.
    if (is_valid_type(dest->vt)) release(dest);
    *dest = result;
    return S_OK;
}

BSTR SysAllocString(const char* text) {
    if (!text) return nullptr;
    return duplicate_text(text, std::strlen(text));
}

void SysFreeString(BSTR text) { std::free(text); }

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, uint32_t count) {
    SAFEARRAY* array = static_cast<SAFEARRAY*>(std::malloc(sizeof(SAFEARRAY)));
    if (!array) return nullptr;
    array->count = count;
    array->elements = nullptr;
    if (count) {
        array->elements = static_cast<VARIANT*>(std::calloc(count, sizeof(VARIANT)));
        if (!array->elements) {
            std::free(array);
            return nullptr;
        }
    }
    for (uint32_t k = 0; k < count; ++k) {
        VariantInit(&array->elements[k]);
        array->elements[k].vt = vt;
    }
    return array;
}

void SafeArrayDestroy(SAFEARRAY* array) {
    if (!array) return;
    for (uint32_t k = 0; k < array->count; ++k) VariantClear(&array->elements[k]);
    std::free(array->elements);
    std::free(array);
}

} // extern "C"
