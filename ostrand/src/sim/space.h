// Address spaces of the built-in simulation servers and the values their items
// take over time.
#pragma once

#include "ostrand.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrand {

// How an item's value moves.
enum class Signal {
    Ramp,     // 0 .. span-1, one step per `period_ms`
    Sine,     // offset + amplitude * sin(2 pi t / period)
    Toggle,   // flips every `period_ms`
    Steps,    // cycles 0 .. span-1, one step per `period_ms` (like Ramp, for small types)
    Triangle, // -amplitude .. amplitude and back, one step per `period_ms`
    Clock,    // the current time (VT_DATE) or a batch text that changes each period (VT_BSTR)
    Constant, // `offset`, or `text` for VT_BSTR
    Flaky,    // constant `offset` whose quality alternates good and bad every `period_ms`
    Stored,   // writable: keeps what is written, starts at `offset` / `text`
};

struct ItemDef {
    std::string id; // full item id; for hierarchical servers a dotted path
    VARTYPE type;
    Signal signal;
    double offset = 0;
    double amplitude = 0;
    int64_t period_ms = 1000;
    int64_t span = 1;
    const char* text = "";
    bool bad = false;     // quality 0 for ever
    bool ranged = false;  // percent deadband applies over [low, high]
    double low = 0, high = 0;

    bool writable() const { return signal == Signal::Stored; }
    double range() const { return high - low; }
};

struct AddressSpace {
    std::string prog_id;
    bool flat;
    std::vector<ItemDef> items;

    const ItemDef* find(const std::string& id) const;
    int index_of(const ItemDef* def) const { return static_cast<int>(def - items.data()); }
};

// The servers this machine offers, in listing order.
const std::vector<AddressSpace>& simulation_servers();

constexpr int32_t kQualityGood = 192;
constexpr int32_t kQualityBad = 0;

// Value and quality of a signal item `elapsed_ms` after its server started;
// `now_filetime` feeds the clock items. `value` is owned by the caller.
void sample(const ItemDef& def, int64_t elapsed_ms, uint64_t now_filetime, VARIANT* value, int32_t* quality);

// The initial value of a Stored item, in its own type.
void initial_value(const ItemDef& def, VARIANT* value);

// Whether a new sample must be reported to a group that last reported
// (`old_value`, `old_quality`): quality changes always, value changes unless
// the item has a range and the change stays within `deadband_percent` of it.
bool should_report(const ItemDef& def, float deadband_percent, const VARIANT& old_value, int32_t old_quality,
                   const VARIANT& new_value, int32_t new_quality);

bool same_value(const VARIANT& a, const VARIANT& b);

// UTC file time now: 100 ns units since 1601-01-01.
uint64_t now_filetime();

} // namespace ostrand
