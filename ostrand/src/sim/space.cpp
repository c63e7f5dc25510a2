#include "sim/space.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>

namespace ostrand {

namespace {

ItemDef item(std::string id, VARTYPE type, Signal signal) {
    ItemDef d;
    d.id = std::move(id);
    d.type = type;
    d.signal = signal;
    return d;
}

ItemDef ramp(std::string id, VARTYPE type, int64_t period_ms, int64_t span, double offset = 0) {
    ItemDef d = item(std::move(id), type, Signal::Ramp);
    d.period_ms = period_ms;
    d.span = span;
    d.offset = offset;
    return d;
}

ItemDef sine(std::string id, VARTYPE type, double offset, double amplitude, int64_t period_ms) {
    ItemDef d = item(std::move(id), type, Signal::Sine);
    d.offset = offset;
    d.amplitude = amplitude;
    d.period_ms = period_ms;
    return d;
}

ItemDef timed(std::string id, VARTYPE type, Signal signal, int64_t period_ms) {
    ItemDef d = item(std::move(id), type, signal);
    d.period_ms = period_ms;
    return d;
}

ItemDef ranged(ItemDef d, double low, double high) {
    d.ranged = true;
    d.low = low;
    d.high = high;
    return d;
}

ItemDef stored(std::string id, VARTYPE type, double initial = 0, const char* text = "") {
    ItemDef d = item(std::move(id), type, Signal::Stored);
    d.offset = initial;
    d.text = text;
    return d;
}

ItemDef constant(std::string id, VARTYPE type, double value, const char* text = "") {
    ItemDef d = item(std::move(id), type, Signal::Constant);
    d.offset = value;
    d.text = text;
    return d;
}

std::vector<AddressSpace> build_servers() {
    AddressSpace tree{"Demo.Server.1", false, {}};
    const std::string d1 = "Channel1.Device1.";
    tree.items = {
        ramp(d1 + "Speed", VT_I2, 100, 1000),
        sine(d1 + "Temp", VT_R4, 20, 10, 20000),
        timed(d1 + "Run", VT_BOOL, Signal::Toggle, 2000),
        ranged(sine(d1 + "Level", VT_R8, 50, 50, 60000), 0, 100),
        ramp(d1 + "Count", VT_UI2, 1000, 65536),
        timed(d1 + "Name", VT_BSTR, Signal::Clock, 10000),
        ramp(d1 + "Big", VT_I4, 100, 2000000, 70000),
        constant(d1 + "Broken", VT_I2, 0),
    };
    tree.items.back().bad = true;
    const std::string d2 = "Channel2.Device1.";
    ItemDef offset = timed(d2 + "Offset", VT_I1, Signal::Triangle, 100);
    offset.amplitude = 100;
    ItemDef mode = timed(d2 + "Mode", VT_UI1, Signal::Steps, 3000);
    mode.span = 4;
    ItemDef flaky = timed(d2 + "Flaky", VT_I2, Signal::Flaky, 5000);
    flaky.offset = 7;
    for (ItemDef d : {ranged(sine(d2 + "Pressure", VT_R4, 3, 2, 15000), 1, 5),
                      timed(d2 + "Valve", VT_BOOL, Signal::Toggle, 5000), mode, offset,
                      ramp(d2 + "Total", VT_UI4, 10, 4000000000LL), ramp(d2 + "Energy", VT_I8, 100, 1LL << 40, 5e9),
                      sine(d2 + "Cost", VT_CY, 12.5, 2.5, 30000), timed(d2 + "Stamp", VT_DATE, Signal::Clock, 1000),
                      flaky, constant(d2 + "Label", VT_BSTR, 0, "Line 2")})
        tree.items.push_back(d);
    const std::string sp = "Setpoints.";
    for (ItemDef d : {stored(sp + "Short", VT_I2), stored(sp + "Unsigned", VT_UI2), stored(sp + "Float", VT_R4),
                      stored(sp + "Bool", VT_BOOL), ranged(stored(sp + "Level", VT_R8, 50), 0, 100),
                      stored(sp + "Long", VT_I4), stored(sp + "Text", VT_BSTR)})
        tree.items.push_back(d);

    AddressSpace flat{"Demo.FlatServer.1", true, {}};
    flat.items = {
        ramp("Ramp", VT_I2, 100, 1000),
        sine("Sine", VT_R4, 0, 100, 10000),
        timed("Toggle", VT_BOOL, Signal::Toggle, 1000),
        ranged(sine("Level", VT_R8, 50, 50, 60000), 0, 100),
        ramp("Counter", VT_UI2, 1000, 65536),
        timed("Text", VT_BSTR, Signal::Clock, 10000),
        constant("Bad", VT_I2, 0),
        stored("Setpoint", VT_R4),
        stored("SetpointBool", VT_BOOL),
    };
    flat.items[6].bad = true;
    return {tree, flat};
}

// Days from 1601-01-01 (file time zero) to 1899-12-30 (date zero).
constexpr double kFileTimeDaysBeforeDateZero = 109205.0;
constexpr double kFileTimeUnitsPerDay = 864000000000.0;

void set_number(const ItemDef& def, double x, VARIANT* value) {
    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = x;
    if (VariantChangeType(value, &real, 0, def.type) != S_OK) {
        // A signal outside its type's range is a definition mistake; show it as 0.
        VariantClear(value);
        value->vt = VT_R8;
        value->dblVal = 0;
        VariantChangeType(value, value, 0, def.type);
    }
}

} // namespace

const ItemDef* AddressSpace::find(const std::string& id) const {
    for (const ItemDef& d : items)
        if (d.id == id) return &d;
    return nullptr;
}

const std::vector<AddressSpace>& simulation_servers() {
    static const std::vector<AddressSpace> servers = build_servers();
    return servers;
}

uint64_t now_filetime() {
    using namespace std::chrono;
    constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
    auto since_epoch = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return kUnixEpochAsFileTime + static_cast<uint64_t>(since_epoch / 100);
}

void initial_value(const ItemDef& def, VARIANT* value) {
    VariantClear(value);
    if (def.type == VT_BSTR) {
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(def.text);
    } else {
        set_number(def, def.offset, value);
    }
}

void sample(const ItemDef& def, int64_t elapsed_ms, uint64_t now_ft, VARIANT* value, int32_t* quality) {
    *quality = def.bad ? kQualityBad : kQualityGood;
    const int64_t step = def.period_ms > 0 ? elapsed_ms / def.period_ms : 0;
    VariantClear(value);
    switch (def.signal) {
    case Signal::Ramp:
    case Signal::Steps:
        set_number(def, def.offset + static_cast<double>(step % def.span), value);
        break;
    case Signal::Sine: {
        double phase = 2 * std::numbers::pi * static_cast<double>(elapsed_ms % def.period_ms) /
                       static_cast<double>(def.period_ms);
        set_number(def, def.offset + def.amplitude * std::sin(phase), value);
        break;
    }
    case Signal::Toggle:
        value->vt = VT_BOOL;
        value->boolVal = (step % 2) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case Signal::Triangle: {
        int64_t amplitude = static_cast<int64_t>(def.amplitude);
        int64_t position = step % (4 * amplitude); // 0 .. 4a-1: up from 0 to a, down to -a, up to 0
        int64_t x = position <= amplitude       ? position
                    : position <= 3 * amplitude ? 2 * amplitude - position
                                                : position - 4 * amplitude;
        set_number(def, static_cast<double>(x), value);
        break;
    }
    case Signal::Clock:
        if (def.type == VT_BSTR) {
            std::string text = "Batch " + std::to_string(step + 1);
            value->vt = VT_BSTR;
            value->bstrVal = SysAllocString(text.c_str());
        } else {
            // Whole periods only, so that the value changes once a period.
            uint64_t units = static_cast<uint64_t>(def.period_ms) * 10000;
            uint64_t ft = now_ft / units * units;
            set_number(def, static_cast<double>(ft) / kFileTimeUnitsPerDay - kFileTimeDaysBeforeDateZero, value);
        }
        break;
    case Signal::Flaky:
        set_number(def, def.offset, value);
        if (step % 2) *quality = kQualityBad;
        break;
    case Signal::Constant:
    case Signal::Stored:
        initial_value(def, value);
        break;
    }
}

bool same_value(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    switch (a.vt) {
    case VT_EMPTY: case VT_NULL: return true;
    case VT_I1: case VT_UI1: return a.bVal == b.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL: return a.uiVal == b.uiVal;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: return a.ulVal == b.ulVal;
    case VT_I8: case VT_UI8: case VT_CY: return a.ullVal == b.ullVal;
    case VT_R4: return std::memcmp(&a.fltVal, &b.fltVal, sizeof(float)) == 0;
    case VT_R8: case VT_DATE: return std::memcmp(&a.dblVal, &b.dblVal, sizeof(double)) == 0;
    case VT_BSTR: return std::strcmp(a.bstrVal ? a.bstrVal : "", b.bstrVal ? b.bstrVal : "") == 0;
    default: return false; // arrays: always report
    }
}

bool should_report(const ItemDef& def, float deadband_percent, const VARIANT& old_value, int32_t old_quality,
                   const VARIANT& new_value, int32_t new_quality) {
    if (old_quality != new_quality) return true;
    if (same_value(old_value, new_value)) return false;
    if (!def.ranged || !(deadband_percent > 0)) return true;
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    if (VariantChangeType(&a, &old_value, 0, VT_R8) != S_OK || VariantChangeType(&b, &new_value, 0, VT_R8) != S_OK)
        return true;
    double limit = static_cast<double>(deadband_percent) / 100.0 * def.range();
    return !(std::fabs(b.dblVal - a.dblVal) <= limit);
}

} // namespace ostrand
