/* Another program that uses both libraries through their installed headers
 * and nothing else of the source tree. */
#include <ostrand.h>
#include <pellacor.h>

#include <stdio.h>

int main(void) {
    uint16_t registers[10] = {0};
    const int32_t handle = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 10, registers);
    VARIANT from, to;
    VariantInit(&from);
    VariantInit(&to);
    from.vt = VT_I4;
    from.lVal = 42;
    const HRESULT coerced = VariantChangeType(&to, &from, 0, VT_R8);
    const int ok = handle > 0 && RemoveDataBlock(handle) == 1 && coerced >= 0 && to.dblVal == 42.0;
    VariantClear(&to);
    VariantClear(&from);
    puts(ok ? "both libraries answer" : "a library call failed");
    return ok ? 0 : 1;
}
