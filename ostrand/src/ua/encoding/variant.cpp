#include "ua/encoding/variant.h"

#include "ua/encoding/text.h"

#include <cmath>
#include <limits>
#include <string>
#include <type_traits>

namespace ostrand::ua {

namespace {

constexpr double kDaysBeforeDateZero = 109205.0; // 1601-01-01 .. 1899-12-30
constexpr double kTicksPerDay = 864000000000.0;

// One scalar of built-in type T into an empty VARIANT; false when it has no form.
template <uint8_t T>
bool put(const VariantElement<T>& v, VARIANT* out) {
    if constexpr (T == kBoolean) {
        out->vt = VT_BOOL;
        out->boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
    } else if constexpr (T == kSByte) {
        out->vt = VT_I1, out->cVal = v;
    } else if constexpr (T == kByte) {
        out->vt = VT_UI1, out->bVal = v;
    } else if constexpr (T == kInt16) {
        out->vt = VT_I2, out->iVal = v;
    } else if constexpr (T == kUInt16) {
        out->vt = VT_UI2, out->uiVal = v;
    } else if constexpr (T == kInt32) {
        out->vt = VT_I4, out->lVal = v;
    } else if constexpr (T == kUInt32 || T == kStatusCode) {
        out->vt = VT_UI4, out->ulVal = v;
    } else if constexpr (T == kInt64) {
        out->vt = VT_I8, out->llVal = v;
    } else if constexpr (T == kUInt64) {
        out->vt = VT_UI8, out->ullVal = v;
    } else if constexpr (T == kFloat) {
        out->vt = VT_R4, out->fltVal = v;
    } else if constexpr (T == kDouble) {
        out->vt = VT_R8, out->dblVal = v;
    } else if constexpr (T == kDateTime) {
        out->vt = VT_DATE, out->date = filetime_to_date(v);
    } else if constexpr (T == kString || T == kXmlElement) {
        out->bstrVal = SysAllocString(v ? v->c_str() : "");
        if (!out->bstrVal) return false;
        out->vt = VT_BSTR;
    } else if constexpr (T == kByteString) {
        const std::string bytes = v.value_or(std::string());
        if (bytes.size() > kMaxArrayElements) return false;
        SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, static_cast<uint32_t>(bytes.size()));
        if (!a) return false;
        for (size_t k = 0; k < bytes.size(); ++k) a->elements[k].bVal = static_cast<uint8_t>(bytes[k]);
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = a;
    } else if constexpr (T == kGuid || T == kNodeId || T == kExpandedNodeId || T == kQualifiedName ||
                         T == kLocalizedText) {
        std::string text;
        if constexpr (T == kGuid) text = format_guid(v);
        if constexpr (T == kNodeId || T == kExpandedNodeId) text = format_node_id(v);
        if constexpr (T == kQualifiedName) text = v.name.value_or("");
        if constexpr (T == kLocalizedText) text = v.text.value_or("");
        out->bstrVal = SysAllocString(text.c_str());
        if (!out->bstrVal) return false;
        out->vt = VT_BSTR;
    } else if constexpr (T == kVariant) {
        if (v.array) return false; // a nested array inside a Variant: no flat form
        return to_variant(v, out);
    } else {
        (void)v;
        (void)out;
        return false; // ExtensionObject, DataValue, DiagnosticInfo
    }
    return true;
}

template <uint8_t T>
bool convert(const Variant& in, VARIANT* out) {
    const auto& values = std::get<T>(in.values);
    if (!in.array) return !values.empty() && put<T>(values.front(), out);
    if (values.size() > kMaxArrayElements) return false;
    VARTYPE element = vartype_of(T);
    if (T == kVariant) {
        // Variant arrays: one element type throughout, else no form.
        if (values.empty()) return false;
        VARIANT first;
        VariantInit(&first);
        if (!convert<T>(Variant{in.values, false, {}}, &first)) return false;
        element = first.vt;
        VariantClear(&first);
    }
    if (element == VT_EMPTY || (element & VT_ARRAY)) return false;
    SAFEARRAY* a = SafeArrayCreateVector(element, static_cast<uint32_t>(values.size()));
    if (!a) return false;
    for (size_t k = 0; k < values.size(); ++k) {
        VARIANT& e = a->elements[k];
        e.vt = VT_EMPTY;
        if (!put<T>(values[k], &e) || e.vt != element) {
            SafeArrayDestroy(a);
            return false;
        }
    }
    out->vt = static_cast<VARTYPE>(VT_ARRAY | element);
    out->parray = a;
    return true;
}

template <size_t... I>
bool dispatch(const Variant& in, VARIANT* out, std::index_sequence<I...>) {
    bool ok = false;
    (void)((in.values.index() == I + 1 ? (ok = convert<static_cast<uint8_t>(I + 1)>(in, out), true) : false) || ...);
    return ok;
}

// One coerced scalar VARIANT of type vartype_of(builtin) into a Variant element.
bool append(const VARIANT& v, uint8_t builtin, Variant* out) {
    auto add = [out](auto tag, auto value) {
        constexpr uint8_t T = decltype(tag)::value;
        std::get<T>(out->values).push_back(static_cast<VariantElement<T>>(value));
        return true;
    };
    using namespace std;
    switch (builtin) {
    case kBoolean: return add(integral_constant<uint8_t, kBoolean>{}, v.boolVal != 0);
    case kSByte: return add(integral_constant<uint8_t, kSByte>{}, v.cVal);
    case kByte: return add(integral_constant<uint8_t, kByte>{}, v.bVal);
    case kInt16: return add(integral_constant<uint8_t, kInt16>{}, v.iVal);
    case kUInt16: return add(integral_constant<uint8_t, kUInt16>{}, v.uiVal);
    case kInt32: return add(integral_constant<uint8_t, kInt32>{}, v.lVal);
    case kUInt32: return add(integral_constant<uint8_t, kUInt32>{}, v.ulVal);
    case kStatusCode: return add(integral_constant<uint8_t, kStatusCode>{}, v.ulVal);
    case kInt64: return add(integral_constant<uint8_t, kInt64>{}, v.llVal);
    case kUInt64: return add(integral_constant<uint8_t, kUInt64>{}, v.ullVal);
    case kFloat: return add(integral_constant<uint8_t, kFloat>{}, v.fltVal);
    case kDouble: return add(integral_constant<uint8_t, kDouble>{}, v.dblVal);
    case kDateTime: return add(integral_constant<uint8_t, kDateTime>{}, date_to_filetime(v.date));
    case kString:
        std::get<kString>(out->values).push_back(std::string(v.bstrVal ? v.bstrVal : ""));
        return true;
    case kXmlElement:
        std::get<kXmlElement>(out->values).push_back(std::string(v.bstrVal ? v.bstrVal : ""));
        return true;
    default: return false;
    }
}

template <size_t... I>
void emplace_type(Variant* out, uint8_t builtin, std::index_sequence<I...>) {
    (void)((builtin == I ? (out->values.template emplace<I>(), true) : false) || ...);
}

} // namespace

double filetime_to_date(int64_t ticks) {
    // Whole days and the rest apart, so the day count costs no precision.
    const int64_t per_day = static_cast<int64_t>(kTicksPerDay);
    return static_cast<double>(ticks / per_day) - kDaysBeforeDateZero +
           static_cast<double>(ticks % per_day) / kTicksPerDay;
}

int64_t date_to_filetime(double days) {
    // A double of days holds about 1 us today and 60 us near the year 9999:
    // whole milliseconds are the finest step every date keeps exactly.
    constexpr double kTicksPerMillisecond = 10000.0;
    // OPC UA Part 6 5.2.2.5: a date before 1601 goes out as 0 and one after
    // the year 9999 as the largest Int64; both read back as "no date / end of
    // time" rather than overflowing the tick count. NaN falls into the first.
    constexpr double kFirstDayAfter9999 = 2958466.0; // 10000-01-01
    if (!(days >= -kDaysBeforeDateZero)) return 0;
    if (days >= kFirstDayAfter9999) return std::numeric_limits<int64_t>::max();
    const double whole = std::floor(days);
    const double ms = std::round((days - whole) * kTicksPerDay / kTicksPerMillisecond);
    return static_cast<int64_t>(whole + kDaysBeforeDateZero) * static_cast<int64_t>(kTicksPerDay) +
           static_cast<int64_t>(ms) * static_cast<int64_t>(kTicksPerMillisecond);
}

bool to_variant(const Variant& in, VARIANT* out) {
    VariantInit(out);
    if (in.is_null()) return true; // VT_EMPTY
    const bool ok = dispatch(in, out, std::make_index_sequence<kMaxBuiltinType>{});
    if (!ok) {
        VariantClear(out);
        VariantInit(out);
    }
    return ok;
}

VARTYPE vartype_of(uint8_t builtin) {
    switch (builtin) {
    case kBoolean: return VT_BOOL;
    case kSByte: return VT_I1;
    case kByte: return VT_UI1;
    case kInt16: return VT_I2;
    case kUInt16: return VT_UI2;
    case kInt32: return VT_I4;
    case kUInt32: case kStatusCode: return VT_UI4;
    case kInt64: return VT_I8;
    case kUInt64: return VT_UI8;
    case kFloat: return VT_R4;
    case kDouble: return VT_R8;
    case kDateTime: return VT_DATE;
    case kString: case kXmlElement: case kGuid: case kNodeId: case kExpandedNodeId: case kQualifiedName:
    case kLocalizedText: return VT_BSTR;
    case kByteString: return static_cast<VARTYPE>(VT_ARRAY | VT_UI1);
    default: return VT_EMPTY;
    }
}

HRESULT to_ua(const VARIANT& in, uint8_t builtin, bool array, Variant* out) {
    const bool writable = builtin == kBoolean || (builtin >= kSByte && builtin <= kDateTime) ||
                          builtin == kXmlElement || builtin == kStatusCode;
    if (!writable) return DISP_E_BADVARTYPE;
    const VARTYPE vt = vartype_of(builtin);
    *out = Variant{};
    emplace_type(out, builtin, std::make_index_sequence<kMaxBuiltinType + 1>{});
    out->array = array;
    auto one = [&](const VARIANT& src) -> HRESULT {
        VARIANT coerced;
        VariantInit(&coerced);
        HRESULT hr = VariantChangeType(&coerced, &src, 0, vt);
        if (hr == S_OK && !append(coerced, builtin, out)) hr = DISP_E_BADVARTYPE;
        VariantClear(&coerced);
        return hr;
    };
    if (!array) return (in.vt & VT_ARRAY) ? DISP_E_TYPEMISMATCH : one(in);
    if (!(in.vt & VT_ARRAY) || !in.parray) return one(in); // a scalar written to an array: one element
    for (uint32_t k = 0; k < in.parray->count; ++k) {
        const HRESULT hr = one(in.parray->elements[k]);
        if (hr != S_OK) return hr;
    }
    return S_OK;
}

int32_t quality_of(StatusCode status) {
    switch (severity(status)) {
    case Severity::Good: return 192;
    case Severity::Uncertain: return 64;
    default: return 0;
    }
}

std::optional<uint8_t> builtin_of_data_type(const NodeId& t) {
    if (t.namespace_index != 0 || t.type != IdType::Numeric) return std::nullopt;
    const uint32_t id = t.numeric;
    if (id >= kBoolean && id <= kMaxBuiltinType && id != node::BaseDataType) return static_cast<uint8_t>(id);
    switch (id) {
    case node::Duration: return kDouble;
    case node::UtcTime: return kDateTime;
    case node::IntegerId: case node::Counter: return kUInt32;
    case 295: case 291: return kString;        // LocaleId, NumericRange
    case 30: case 311: return kByteString;     // Image, ApplicationInstanceCertificate
    case 2000: case 2001: case 2002: case 2003: return kByteString; // ImageBMP .. ImagePNG
    case node::Enumeration: return kInt32;
    default: return std::nullopt;
    }
}

} // namespace ostrand::ua
