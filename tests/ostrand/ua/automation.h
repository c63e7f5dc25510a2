// Automation VARIANTs as the model hands them to a write. A text VARIANT owns
// its BSTR: VariantClear it.
#pragma once

#include "ostrand.h"

namespace opc_test {

inline VARIANT automation(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}
inline VARIANT real4(float f) {
    VARIANT v = automation(VT_R4);
    v.fltVal = f;
    return v;
}
inline VARIANT text(const char* s) {
    VARIANT v = automation(VT_BSTR);
    v.bstrVal = SysAllocString(s);
    return v;
}
inline VARIANT date(double d) {
    VARIANT v = automation(VT_DATE);
    v.date = d;
    return v;
}

} // namespace opc_test
