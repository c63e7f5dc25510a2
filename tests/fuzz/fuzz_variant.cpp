// Outside text coerced to every VARIANT type. Beyond the sanitizers' checks:
// an integer that came from text must survive the trip back through text
// unchanged, and a failed coercion must leave its destination alone.

#include "ostrand.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const VARTYPE kTargets[] = {VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_ERROR,
                            VT_BOOL, VT_I1, VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT};

bool is_integer(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
        return true;
    default:
        return false;
    }
}

void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(text.c_str()); // stops at an embedded NUL, as a BSTR here does
    check(source.bstrVal != nullptr);

    for (VARTYPE target : kTargets) {
        for (uint16_t flags : {uint16_t{0}, VARIANT_ALPHABOOL}) {
            VARIANT out;
            VariantInit(&out);
            out.vt = VT_I4;
            out.lVal = 0x5EED;
            HRESULT hr = VariantChangeType(&out, &source, flags, target);
            if (hr != S_OK) {
                check(out.vt == VT_I4 && out.lVal == 0x5EED);
                continue;
            }
            check(out.vt == target);
            if (is_integer(target)) {
                VARIANT as_text, back;
                VariantInit(&as_text);
                VariantInit(&back);
                check(VariantChangeType(&as_text, &out, 0, VT_BSTR) == S_OK);
                check(VariantChangeType(&back, &as_text, 0, target) == S_OK);
                check(back.vt == target && back.ullVal == out.ullVal);
                VariantClear(&as_text);
            }
            VARIANT copy;
            VariantInit(&copy);
            check(VariantCopy(&copy, &out) == S_OK);
            VariantClear(&copy);
            VariantClear(&out);
        }
    }
    // Coercing in place releases the text it replaces.
    VariantChangeType(&source, &source, 0, VT_R8);
    VariantClear(&source);
    return 0;
}
