// OPC UA values in the service's terms: Variant <-> VARIANT, a DataType node
// -> the built-in type a write must carry, StatusCode -> quality.
//
// Contract (the conversions the gateway relies on):
// - Numbers keep their type (Int64 -> VT_I8, UInt32 -> VT_UI4, ...); Boolean
//   is VT_BOOL -1/0; String, XmlElement and the text-like types (Guid,
//   NodeId, ExpandedNodeId, QualifiedName, LocalizedText's text) are VT_BSTR;
//   ByteString is VT_ARRAY|VT_UI1; StatusCode is VT_UI4.
// - DateTime is VT_DATE: days = ticks / 864e9 - 109205 (ticks are FILETIME
//   units); a null DateTime is day -109205 (1601-01-01). Back from VT_DATE
//   it is rounded to the millisecond: whole seconds and milliseconds survive.
// - Arrays (any rank, flattened row-major) become VT_ARRAY|vt of at most
//   kMaxArrayElements; a nested Variant gives its inner value.
// - ExtensionObject, DataValue, DiagnosticInfo and mixed Variant arrays have
//   no VARIANT form: to_variant() fails (the item reports quality 0).
// - Quality from the severity bits only: Good 192, Uncertain 64, Bad 0.
#pragma once

#include "ostrand.h"
#include "ua/encoding/types.h"

#include <cstdint>
#include <optional>

namespace ostrand::ua {

constexpr uint32_t kMaxArrayElements = 100000;

// false: no VARIANT form; `out` is then VT_EMPTY. `out` must be VT_EMPTY on entry.
bool to_variant(const Variant& in, VARIANT* out);

// The VARIANT type of a built-in type (VT_EMPTY when it has none).
VARTYPE vartype_of(uint8_t builtin);

// Coerces `in` with VariantChangeType to the VARIANT type of `builtin` and
// builds the Variant a Write carries; arrays element by element when `array`.
// S_OK, or DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW / DISP_E_BADVARTYPE.
HRESULT to_ua(const VARIANT& in, uint8_t builtin, bool array, Variant* out);

int32_t quality_of(StatusCode status);

// The built-in type behind a DataType NodeId of namespace 0: ids 1..25
// directly, the known subtypes by table, enumerations as Int32. Nothing for
// abstract types and ids of other namespaces (the caller looks further).
std::optional<uint8_t> builtin_of_data_type(const NodeId& data_type);

double filetime_to_date(int64_t ticks);
int64_t date_to_filetime(double days); // rounded to the millisecond (VT_DATE holds no finer step exactly)

} // namespace ostrand::ua
