#include "service.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <strings.h>
#include <system_error>

namespace ostrand {

namespace {

// New items are reported soon after they are added, without waiting for a full
// update period; a burst of AddItem calls still shares one early sample.
constexpr auto kFirstReportDelay = std::chrono::milliseconds(20);
constexpr auto kLoadWindow = std::chrono::seconds(1);

void set_filetime(FILETIME* out, uint64_t value) {
    out->dwLowDateTime = static_cast<uint32_t>(value);
    out->dwHighDateTime = static_cast<uint32_t>(value >> 32);
}

void add_unique(std::vector<std::string>& names, std::string name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
}

} // namespace

int32_t copy_text(const std::string& text, char* buffer, int32_t size) {
    if (!buffer || size <= 0) return 0;
    size_t room = static_cast<size_t>(size) - 1;
    size_t n = std::min(text.size(), room);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return text.size() <= room ? 1 : 0;
}

bool is_local_machine(const char* machine) {
    if (!machine || !*machine) return true;
    if (!strcasecmp(machine, "localhost") || !strcmp(machine, "127.0.0.1") || !strcmp(machine, ".")) return true;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return false;
    if (!strcasecmp(machine, host)) return true;
    const char* dot = std::strchr(host, '.');
    return dot && std::strlen(machine) == static_cast<size_t>(dot - host) &&
           !strncasecmp(machine, host, static_cast<size_t>(dot - host));
}

Service::Connection::~Connection() {
    for (VARIANT& v : stored) VariantClear(&v);
}

Service& Service::instance() {
    static Service service;
    return service;
}

Service::~Service() {
    // A program that never called OstrandUninitialize: stop the thread before
    // the state it uses goes away.
    std::unique_lock lock(mu_);
    if (thread_.joinable() && !stopping_ && std::this_thread::get_id() != thread_id_) {
        init_count_ = 0;
        stop(lock);
    }
}

int32_t Service::new_handle() {
    if (last_handle_ == INT32_MAX) last_handle_ = 0;
    return ++last_handle_;
}

int32_t Service::initialize() {
    std::unique_lock lock(mu_);
    // A stop under way on another thread finishes first.
    idle_.wait(lock, [this] { return !stopping_; });
    if (init_count_++ > 0) return 0;
    try {
        stopping_ = false;
        thread_ = std::thread([this] { run(); });
        thread_id_ = thread_.get_id();
    } catch (const std::system_error&) {
        init_count_ = 0;
        return -1;
    }
    return 0;
}

void Service::uninitialize() {
    std::unique_lock lock(mu_);
    if (init_count_ == 0 || stopping_) return;
    // The service thread cannot wait for itself; a call from a data callback is ignored.
    if (std::this_thread::get_id() == thread_id_) return;
    if (--init_count_ > 0) return;
    stop(lock);
}

void Service::stop(std::unique_lock<std::mutex>& lock) {
    for (auto& [handle, c] : connections_) drop_groups(*c);
    stopping_ = true;
    wake_.notify_all();
    std::thread worker = std::move(thread_);
    lock.unlock();
    worker.join();
    lock.lock();
    thread_id_ = {};
    connections_.clear();
    listing_.clear();
    stopping_ = false;
    idle_.notify_all();
}

Service::Connection* Service::find(int32_t server) {
    auto it = connections_.find(server);
    return it == connections_.end() ? nullptr : it->second.get();
}

Service::Group* Service::find(Connection* c, int32_t group) {
    if (!c) return nullptr;
    auto it = c->groups.find(group);
    return it == c->groups.end() ? nullptr : it->second.get();
}

template <typename Match>
void Service::wait_until_not_running(std::unique_lock<std::mutex>& lock, Match matches) {
    if (std::this_thread::get_id() == thread_id_) return; // the running callback is our caller
    idle_.wait(lock, [&] { return !running_.active || !matches(running_); });
}

void Service::drop_groups(Connection& c) {
    for (auto& [handle, g] : c.groups) {
        g->removed = true;
        for (auto& [ih, item] : g->items) item->removed = true;
    }
    c.groups.clear();
}

// ---------------------------------------------------------------------------
// Servers

int32_t Service::server_count(int32_t mode, const char* machine) {
    std::lock_guard lock(mu_);
    listing_.clear();
    if ((mode != 0 && mode != 1) || !is_local_machine(machine)) return 0;
    for (const AddressSpace& s : simulation_servers()) listing_.push_back(s.prog_id);
    return static_cast<int32_t>(listing_.size());
}

int32_t Service::server_name(int32_t index, char* buffer, int32_t size) {
    std::lock_guard lock(mu_);
    if (index < 0 || static_cast<size_t>(index) >= listing_.size()) {
        copy_text("", buffer, size);
        return 0;
    }
    return copy_text(listing_[static_cast<size_t>(index)], buffer, size);
}

int32_t Service::connect(const char* machine, const char* server) {
    if (!server || !is_local_machine(machine)) return -1;
    std::lock_guard lock(mu_);
    if (init_count_ == 0) return -1;
    for (const AddressSpace& s : simulation_servers()) {
        if (strcasecmp(s.prog_id.c_str(), server) != 0) continue;
        auto c = std::make_unique<Connection>();
        c->handle = new_handle();
        c->space = &s;
        c->started = SteadyClock::now();
        c->start_filetime = c->last_update_filetime = now_filetime();
        c->stored.resize(s.items.size());
        for (size_t k = 0; k < s.items.size(); ++k) {
            VariantInit(&c->stored[k]);
            if (s.items[k].writable()) initial_value(s.items[k], &c->stored[k]);
        }
        int32_t handle = c->handle;
        connections_[handle] = std::move(c);
        return handle;
    }
    return -1;
}

int32_t Service::enable_callback(int32_t server, DataCallback callback) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    c->callback = callback;
    wake_.notify_all();
    return 1;
}

int32_t Service::disconnect(int32_t server) {
    std::unique_lock lock(mu_);
    auto it = connections_.find(server);
    if (it == connections_.end()) return 0;
    drop_groups(*it->second);
    connections_.erase(it);
    wait_until_not_running(lock, [server](const Running& r) { return r.server == server; });
    return 1;
}

int32_t Service::status(int32_t server, ServerStatus* status, int32_t vendor_size) {
    if (!status) return 0;
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    set_filetime(&status->startTime, c->start_filetime);
    set_filetime(&status->currentTime, now_filetime());
    set_filetime(&status->lastUpdateTime, c->last_update_filetime);
    status->serverState = 1;
    status->groupCount = static_cast<int32_t>(c->groups.size());
    status->bandWidth = load_percent_;
    status->majorVersion = kMajorVersion;
    status->minorVersion = kMinorVersion;
    status->buildNumber = kBuildNumber;
    status->reserved = 0;
    copy_text(kVendorText, status->vendorInfo, vendor_size);
    return 1;
}

// ---------------------------------------------------------------------------
// Groups and items

int32_t Service::add_group(int32_t server, const char* name, int32_t* rate, float* deadband) {
    if (!rate || !deadband) return -1;
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return -1;
    if (*rate < kMinimumUpdateRate) *rate = kMinimumUpdateRate;
    if (std::isnan(*deadband) || *deadband < 0) *deadband = 0;
    if (*deadband > 100) *deadband = 100;
    auto g = std::make_shared<Group>();
    g->handle = new_handle();
    g->name = name ? name : "";
    g->rate = *rate;
    g->deadband = *deadband;
    g->next_due = SteadyClock::now() + std::chrono::milliseconds(g->rate);
    c->groups[g->handle] = g;
    return g->handle;
}

int32_t Service::remove_group(int32_t server, int32_t group) {
    std::unique_lock lock(mu_);
    Connection* c = find(server);
    Group* g = find(c, group);
    if (!g) return 0;
    g->removed = true;
    for (auto& [handle, item] : g->items) item->removed = true;
    c->groups.erase(group);
    wait_until_not_running(lock, [server, group](const Running& r) { return r.server == server && r.group == group; });
    return 1;
}

int32_t Service::add_item(int32_t server, int32_t group, const char* item_id) {
    if (!item_id) return -1;
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    Group* g = find(c, group);
    if (!g) return -1;
    const ItemDef* def = c->space->find(item_id);
    if (!def) return -1;
    auto item = std::make_shared<Item>();
    item->handle = new_handle();
    item->def = def;
    VariantInit(&item->last);
    g->items[item->handle] = item;
    g->next_due = std::min(g->next_due, SteadyClock::now() + kFirstReportDelay);
    wake_.notify_all();
    return item->handle;
}

int32_t Service::remove_item(int32_t server, int32_t group, int32_t item) {
    std::unique_lock lock(mu_);
    Group* g = find(find(server), group);
    if (!g) return 0;
    auto it = g->items.find(item);
    if (it == g->items.end()) return 0;
    it->second->removed = true;
    g->items.erase(it);
    wait_until_not_running(lock, [=](const Running& r) {
        return r.server == server && r.group == group && r.item == item;
    });
    return 1;
}

int32_t Service::write_item(int32_t server, int32_t group, int32_t item, const VARIANT* value, int32_t mode) {
    static constexpr int32_t kAsyncFailure = 0;
    auto fail = [mode](HRESULT hr) { return mode == 1 ? kAsyncFailure : hr; };
    if (!value || (mode != 0 && mode != 1)) return fail(E_INVALIDARG);
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    Group* g = find(c, group);
    if (!g) return fail(E_INVALIDARG);
    auto it = g->items.find(item);
    if (it == g->items.end()) return fail(E_INVALIDARG);
    const ItemDef& def = *it->second->def;
    if (!def.writable()) return fail(E_ACCESSDENIED);
    VARIANT coerced;
    VariantInit(&coerced);
    HRESULT hr = VariantChangeType(&coerced, value, 0, def.type);
    if (hr != S_OK) return fail(hr);
    VARIANT& slot = c->stored[static_cast<size_t>(c->space->index_of(&def))];
    VariantClear(&slot);
    slot = coerced;
    // Asynchronous writes complete at once; the result is a transaction id.
    return mode == 1 ? new_handle() : S_OK;
}

// ---------------------------------------------------------------------------
// Browsing

int32_t Service::browse_move_to(int32_t server, const char* path) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    std::string p = path ? path : "";
    if (p.empty()) {
        c->browse_path.clear();
        return 1;
    }
    if (c->space->flat) return 0;
    const std::string prefix = p + ".";
    for (const ItemDef& d : c->space->items) {
        if (d.id.compare(0, prefix.size(), prefix) == 0) {
            c->browse_path = p;
            return 1;
        }
    }
    return 0;
}

int32_t Service::browse_count(int32_t server, int32_t type) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    std::vector<std::string>& names = c->browse_names;
    names.clear();
    const std::string& here = c->browse_path;
    const std::string prefix = here.empty() ? std::string() : here + ".";
    for (const ItemDef& d : c->space->items) {
        if (c->space->flat) {
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
    return static_cast<int32_t>(names.size());
}

int32_t Service::browse_name(int32_t server, int32_t index, char* buffer, int32_t size) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c || index < 0 || static_cast<size_t>(index) >= c->browse_names.size()) return 0;
    return copy_text(c->browse_names[static_cast<size_t>(index)], buffer, size);
}

int32_t Service::browse_item_id(int32_t server, const char* leaf, char* buffer, int32_t size) {
    if (!leaf) return 0;
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    std::string id = c->browse_path.empty() || c->space->flat ? std::string(leaf) : c->browse_path + "." + leaf;
    // A full item id is accepted as well, wherever the position is.
    if (!c->space->find(id) && c->space->find(leaf)) id = leaf;
    if (!c->space->find(id)) return 0;
    return copy_text(id, buffer, size);
}

int32_t Service::query_organization(int32_t server, uint16_t* organization) {
    if (!organization) return 0;
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    *organization = c->space->flat ? 2 : 1;
    return 1;
}

// ---------------------------------------------------------------------------
// The service thread

void Service::sample_group(Connection& c, Group& g, SteadyClock::time_point now, Batch& batch) {
    const int64_t elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - c.started).count();
    for (auto& [handle, item] : g.items) {
        const ItemDef& def = *item->def;
        VARIANT value;
        VariantInit(&value);
        int32_t quality = kQualityGood;
        if (def.writable()) {
            VariantCopy(&value, &c.stored[static_cast<size_t>(c.space->index_of(&def))]);
        } else {
            sample(def, elapsed, batch.filetime, &value, &quality);
        }
        if (item->reported && !should_report(def, g.deadband, item->last, item->last_quality, value, quality)) {
            VariantClear(&value);
            continue;
        }
        VariantCopy(&item->last, &value);
        item->last_quality = quality;
        item->reported = true;
        batch.changes.push_back(Change{item, value, quality});
    }
}

std::vector<Service::Batch> Service::collect(SteadyClock::time_point now) {
    std::vector<Batch> batches;
    const uint64_t filetime = now_filetime();
    for (auto& [server, c] : connections_) {
        for (auto& [handle, g] : c->groups) {
            if (g->next_due > now) continue;
            g->next_due += std::chrono::milliseconds(g->rate);
            if (g->next_due <= now) g->next_due = now + std::chrono::milliseconds(g->rate); // no catch-up bursts
            if (!c->callback) continue; // values wait until someone listens
            Batch batch{server, g, filetime, {}};
            sample_group(*c, *g, now, batch);
            if (batch.changes.empty()) continue;
            c->last_update_filetime = filetime;
            batches.push_back(std::move(batch));
        }
    }
    return batches;
}

void Service::deliver(std::unique_lock<std::mutex>& lock, std::vector<Batch>& batches) {
    for (Batch& b : batches) {
        for (Change& change : b.changes) {
            Connection* c = find(b.server);
            DataCallback callback = c ? c->callback : nullptr;
            if (!stopping_ && callback && !b.group->removed && !change.item->removed) {
                running_ = Running{true, b.server, b.group->handle, change.item->handle};
                lock.unlock();
                callback(b.server, b.group->handle, change.item->handle, &change.value,
                         static_cast<uint32_t>(b.filetime), static_cast<uint32_t>(b.filetime >> 32), change.quality);
                lock.lock();
                running_ = Running{};
                idle_.notify_all();
            }
            VariantClear(&change.value);
        }
    }
}

SteadyClock::time_point Service::earliest_due() const {
    SteadyClock::time_point due = SteadyClock::time_point::max();
    for (auto& [server, c] : connections_)
        for (auto& [handle, g] : c->groups) due = std::min(due, g->next_due);
    return due;
}

void Service::run() {
    std::unique_lock lock(mu_);
    load_window_start_ = SteadyClock::now();
    while (!stopping_) {
        SteadyClock::time_point started = SteadyClock::now();
        std::vector<Batch> batches = collect(started);
        if (!batches.empty()) deliver(lock, batches);
        SteadyClock::time_point finished = SteadyClock::now();
        load_busy_ += finished - started;
        if (finished - load_window_start_ >= kLoadWindow) {
            auto window = finished - load_window_start_;
            load_percent_ = static_cast<int32_t>(std::min<int64_t>(100, load_busy_ * 100 / window));
            load_window_start_ = finished;
            load_busy_ = {};
        }
        if (stopping_) break;
        SteadyClock::time_point due = earliest_due();
        if (due <= SteadyClock::now()) continue;
        // Wake at least once per load window so the figure stays current.
        wake_.wait_until(lock, std::min(due, SteadyClock::now() + kLoadWindow));
    }
}

} // namespace ostrand
