#include "model/conversion.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <locale.h>

namespace quorvane {

namespace {

// Switches the calling thread to the "C" locale while it lives: mapping texts
// go into configuration files and onto the screen with a "." decimal point,
// whatever locale a window toolkit installed for the process.
class CNumericLocale {
public:
    CNumericLocale() : previous_(uselocale(CLocale())) {}
    ~CNumericLocale() { uselocale(previous_); }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    static locale_t CLocale() {
        // Made once and kept for the process; a failure (0) leaves the
        // thread's locale as it is.
        static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        return c;
    }
    locale_t previous_;
};

std::string Printf(const char* format, auto... args) {
    CNumericLocale numeric;
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, args...);
    big.resize(static_cast<size_t>(n));
    return big;
}

// Coerces `value` to `vt` into a working copy; false when the coercion fails.
bool Coerce(const VARIANT& value, VARTYPE vt, VARIANT* out) {
    VariantInit(out);
    return VariantChangeType(out, &value, 0, vt) >= 0 && out->vt == vt;
}

} // namespace

int32_t TruncateToInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value); // truncates toward zero
}

uint16_t ScaleToRegister(float value, const PointMapping& m) {
    double v = value, dl = m.dataLow, dh = m.dataHigh, rl = m.registerLow, rh = m.registerHigh;
    double reg;
    if (!(v >= dl)) // below the range, or not a number
        reg = rl;
    else if (v > dh)
        reg = rh;
    else if (dh == dl) // v equals both limits: no range to scale over
        reg = rl;
    else
        reg = rl + (v - dl) / (dh - dl) * (rh - rl);
    return static_cast<uint16_t>(static_cast<uint32_t>(TruncateToInt32(reg)));
}

float ScaleToData(uint16_t reg, const PointMapping& m) {
    double r = reg, dl = m.dataLow, dh = m.dataHigh, rl = m.registerLow, rh = m.registerHigh;
    if (r < rl) return m.dataLow;
    if (r > rh) return m.dataHigh;
    if (rh == rl) return m.dataLow; // r equals both limits
    return static_cast<float>(dl + (r - rl) / (rh - rl) * (dh - dl));
}

RegisterWords OpcValueToRegisters(const VARIANT& value, const PointMapping& m) {
    RegisterWords out;
    VARIANT work;
    switch (m.dataType) {
    case DT_BOOL:
        if (Coerce(value, VT_BOOL, &work)) out.words[0] = static_cast<uint16_t>(work.boolVal);
        break;
    case DT_SHORT:
        if (Coerce(value, VT_I2, &work)) out.words[0] = static_cast<uint16_t>(work.iVal);
        break;
    case DT_FLOAT: {
        out.count = 2;
        if (Coerce(value, VT_R4, &work)) {
            uint32_t bits = std::bit_cast<uint32_t>(work.fltVal);
            out.words[0] = static_cast<uint16_t>(bits & 0xFFFFu); // low word first
            out.words[1] = static_cast<uint16_t>(bits >> 16);
        }
        break;
    }
    case DT_SCALED: {
        float v = Coerce(value, VT_R4, &work) ? work.fltVal : 0.0f;
        out.words[0] = ScaleToRegister(v, m);
        break;
    }
    default: // UNSIGNED, DATE and unknown codes
        if (Coerce(value, VT_UI2, &work)) out.words[0] = work.uiVal;
        break;
    }
    VariantClear(&work);
    return out;
}

bool PendingToOpcValue(const PointMapping& m, uint16_t first, uint16_t second, VARIANT* out) {
    VariantInit(out);
    switch (m.dataType) {
    case DT_SHORT:
        out->vt = VT_I2;
        out->iVal = static_cast<int16_t>(first);
        return true;
    case DT_UNSIGNED:
        out->vt = VT_UI2;
        out->uiVal = first;
        return true;
    case DT_BOOL:
        out->vt = VT_BOOL;
        out->boolVal = first != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    case DT_FLOAT:
        out->vt = VT_R4;
        out->fltVal = std::bit_cast<float>(static_cast<uint32_t>(second) << 16 | first);
        return true;
    case DT_SCALED:
        out->vt = VT_R4;
        out->fltVal = ScaleToData(first, m);
        return true;
    default: // DATE and unknown codes are never written back
        return false;
    }
}

int32_t ReferenceDigit(int32_t pointType) {
    switch (pointType) {
    case PT_COIL_STATUS: return 0;
    case PT_INPUT_STATUS: return 1;
    case PT_HOLDING_REGISTER: return 4;
    case PT_INPUT_REGISTER: return 3;
    default: return pointType;
    }
}

std::string FormatReferenceNumber(int32_t pointType, uint16_t address) {
    std::string digit = Printf("%d", ReferenceDigit(pointType));
    std::string text = digit + Printf("%4d", static_cast<int>(address));
    for (size_t i = digit.size(); i < digit.size() + 3 && i < text.size(); ++i)
        if (text[i] == ' ') text[i] = '0';
    return text;
}

std::string FormatPointReferenceText(const PointMapping& m, uint16_t first, uint16_t second) {
    std::string text = Printf("%d:", static_cast<int>(m.slaveId)) + FormatReferenceNumber(m.pointType, m.address);
    text += " = ";
    switch (m.dataType) {
    case DT_SHORT:
        text += Printf("%d", static_cast<int>(static_cast<int16_t>(first)));
        break;
    case DT_FLOAT:
        text += Printf("%3.4f", static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(second) << 16 | first)));
        break;
    case DT_BOOL:
        text += first != 0 ? "1" : "0";
        break;
    default:
        text += Printf("%d", static_cast<int>(first));
        break;
    }
    return text;
}

const char* DataTypeKeyword(uint16_t dataType) {
    switch (dataType) {
    case DT_SHORT: return "SHORT";
    case DT_FLOAT: return "FLOAT";
    case DT_DATE: return "DATE";
    case DT_BOOL: return "BOOL";
    case DT_SCALED: return "SCALED";
    default: return "UNSIGNED";
    }
}

std::string FormatItemLine(const std::string& itemId, const PointMapping& m) {
    std::string line = itemId + Printf(",%d,", static_cast<int>(m.slaveId)) +
                       FormatReferenceNumber(m.pointType, m.address) + ",";
    if (m.dataType == DT_SCALED) {
        // Register limits are whole numbers taken as signed 16-bit values.
        int lo = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(TruncateToInt32(m.registerLow))));
        int hi = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(TruncateToInt32(m.registerHigh))));
        line += Printf("SCALED%d-%d,%3.2f,%3.2f", lo, hi, static_cast<double>(m.dataLow),
                       static_cast<double>(m.dataHigh));
    } else {
        line += DataTypeKeyword(m.dataType);
    }
    return line;
}

std::string FormatGroupLine(const std::string& name, int32_t updateRate, float deadband) {
    return name + Printf(",%d,%f", static_cast<int>(updateRate), static_cast<double>(deadband));
}

} // namespace quorvane
