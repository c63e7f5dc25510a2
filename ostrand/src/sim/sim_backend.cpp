#include "sim/sim_backend.h"

#include <algorithm>
#include <cstring>

namespace ostrand {

namespace {

// New items are reported soon after they are added, without waiting for a full
// update period; a burst of AddItem calls still shares one early sample.
constexpr auto kFirstReportDelay = std::chrono::milliseconds(20);

constexpr uint16_t kMajorVersion = 1;
constexpr uint16_t kMinorVersion = 0;
constexpr uint16_t kBuildNumber = 7;
constexpr const char* kVendorText = "Ostrand built-in simulation server";

void add_unique(std::vector<std::string>& names, std::string name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
}

void set_filetime(FILETIME* out, uint64_t value) {
    out->dwLowDateTime = static_cast<uint32_t>(value);
    out->dwHighDateTime = static_cast<uint32_t>(value >> 32);
}

} // namespace

SimBackend::SimBackend(const AddressSpace& space)
    : space_(space), started_(SteadyClock::now()), start_filetime_(now_filetime()) {
    stored_.resize(space.items.size());
    for (size_t k = 0; k < space.items.size(); ++k) {
        VariantInit(&stored_[k]);
        if (space.items[k].writable()) initial_value(space.items[k], &stored_[k]);
    }
}

SimBackend::~SimBackend() {
    for (VARIANT& v : stored_) VariantClear(&v);
    for (auto& [gh, g] : groups_)
        for (auto& [ih, item] : g.items) VariantClear(&item.last);
}

bool SimBackend::add_group(int32_t group, int32_t* rate, float deadband) {
    std::lock_guard lock(mu_);
    groups_[group] = Group{*rate, deadband, SteadyClock::now() + std::chrono::milliseconds(*rate), {}};
    return true;
}

void SimBackend::remove_group(int32_t group) {
    std::lock_guard lock(mu_);
    auto it = groups_.find(group);
    if (it == groups_.end()) return;
    for (auto& [ih, item] : it->second.items) VariantClear(&item.last);
    groups_.erase(it);
}

bool SimBackend::add_item(int32_t group, int32_t item, const std::string& id) {
    std::lock_guard lock(mu_);
    auto g = groups_.find(group);
    const ItemDef* def = space_.find(id);
    if (g == groups_.end() || !def) return false;
    Item& it = g->second.items[item];
    it.def = def;
    VariantInit(&it.last);
    g->second.next_due = std::min(g->second.next_due, SteadyClock::now() + kFirstReportDelay);
    return true;
}

void SimBackend::remove_item(int32_t group, int32_t item) {
    std::lock_guard lock(mu_);
    auto g = groups_.find(group);
    if (g == groups_.end()) return;
    auto it = g->second.items.find(item);
    if (it == g->second.items.end()) return;
    VariantClear(&it->second.last);
    g->second.items.erase(it);
}

int32_t SimBackend::write(int32_t group, int32_t item, const VARIANT& value, int32_t /*mode*/) {
    auto fail = [](HRESULT hr) { return hr; };
    std::lock_guard lock(mu_);
    auto g = groups_.find(group);
    if (g == groups_.end()) return fail(E_INVALIDARG);
    auto it = g->second.items.find(item);
    if (it == g->second.items.end()) return fail(E_INVALIDARG);
    const ItemDef& def = *it->second.def;
    if (!def.writable()) return fail(E_ACCESSDENIED);
    VARIANT coerced;
    VariantInit(&coerced);
    HRESULT hr = VariantChangeType(&coerced, &value, 0, def.type);
    if (hr != S_OK) return fail(hr);
    VARIANT& slot = stored_[static_cast<size_t>(space_.index_of(&def))];
    VariantClear(&slot);
    slot = coerced;
    return S_OK; // writes complete at once, in both modes
}

bool SimBackend::status(ServerStatus* status, int32_t vendor_size) {
    set_filetime(&status->startTime, start_filetime_);
    set_filetime(&status->currentTime, now_filetime());
    status->serverState = 1;
    status->majorVersion = kMajorVersion;
    status->minorVersion = kMinorVersion;
    status->buildNumber = kBuildNumber;
    status->reserved = 0;
    copy_text(kVendorText, status->vendorInfo, vendor_size);
    return true;
}

bool SimBackend::browse_move_to(const std::string& path) {
    std::lock_guard lock(mu_);
    if (path.empty()) {
        browse_path_.clear();
        return true;
    }
    if (space_.flat) return false;
    const std::string prefix = path + ".";
    for (const ItemDef& d : space_.items) {
        if (d.id.compare(0, prefix.size(), prefix) == 0) {
            browse_path_ = path;
            return true;
        }
    }
    return false;
}

std::vector<std::string> SimBackend::browse(int32_t type) {
    std::lock_guard lock(mu_);
    std::vector<std::string> names;
    const std::string prefix = browse_path_.empty() ? std::string() : browse_path_ + ".";
    for (const ItemDef& d : space_.items) {
        if (space_.flat) {
            if (type == 2 || type == 3) names.push_back(d.id);
            continue;
        }
        if (d.id.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = d.id.substr(prefix.size());
        size_t dot = rest.find('.');
        if (type == 1 && dot != std::string::npos) add_unique(names, rest.substr(0, dot));
        if (type == 2 && dot == std::string::npos) names.push_back(rest);
        if (type == 3) names.push_back(d.id);
    }
    return names;
}

std::optional<std::string> SimBackend::browse_item_id(const std::string& leaf) {
    std::lock_guard lock(mu_);
    std::string id = browse_path_.empty() || space_.flat ? leaf : browse_path_ + "." + leaf;
    // A full item id is accepted as well, wherever the position is.
    if (!space_.find(id) && space_.find(leaf)) id = leaf;
    if (!space_.find(id)) return std::nullopt;
    return id;
}

void SimBackend::set_delivery(bool enabled) {
    std::lock_guard lock(mu_);
    delivery_ = enabled;
}

void SimBackend::sample_group(int32_t server, int32_t group, Group& g, SteadyTime now, uint64_t filetime,
                              ChangeSink& sink) {
    const int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_).count();
    for (auto& [handle, item] : g.items) {
        const ItemDef& def = *item.def;
        VARIANT value;
        VariantInit(&value);
        int32_t quality = kQualityGood;
        if (def.writable()) {
            VariantCopy(&value, &stored_[static_cast<size_t>(space_.index_of(&def))]);
        } else {
            ostrand::sample(def, elapsed, filetime, &value, &quality);
        }
        if (item.reported && !should_report(def, g.deadband, item.last, item.last_quality, value, quality)) {
            VariantClear(&value);
            continue;
        }
        VariantCopy(&item.last, &value);
        item.last_quality = quality;
        item.reported = true;
        sink.push(server, group, handle, std::move(value), filetime, quality);
    }
}

SteadyTime SimBackend::sample(SteadyTime now, int32_t server, ChangeSink& sink) {
    std::lock_guard lock(mu_);
    const uint64_t filetime = now_filetime();
    SteadyTime due = SteadyTime::max();
    for (auto& [handle, g] : groups_) {
        if (g.next_due <= now) {
            g.next_due += std::chrono::milliseconds(g.rate);
            if (g.next_due <= now) g.next_due = now + std::chrono::milliseconds(g.rate); // no catch-up bursts
            if (delivery_) sample_group(server, handle, g, now, filetime, sink); // values wait for a listener
        }
        due = std::min(due, g.next_due);
    }
    return due;
}

} // namespace ostrand
