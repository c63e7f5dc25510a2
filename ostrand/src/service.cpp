#include "service.h"

#include "item_table.h"
#include "sim/sim_backend.h"
#include "ua/client/connection_settings.h"
#include "ua/client/discovery.h"
#include "ua/client/loop.h"
#include "ua/pending_backend.h"
#include "ua/encoding/text.h"
#include "ua/ua_backend.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <system_error>

namespace ostrand {

namespace {

constexpr auto kLoadWindow = std::chrono::seconds(1);

// An item handle: the slot's generation above kSlotBits, its index + 1 below
// (the layout ItemTable finds records by).
constexpr int kSlotBits = kItemIndexBits;
constexpr uint32_t kSlotMask = kItemIndexMask;
constexpr uint32_t kGenerationMask = (1u << (31 - kSlotBits)) - 1; // handles stay positive

} // namespace

void set_filetime(FILETIME* out, int64_t value) {
    out->dwLowDateTime = static_cast<uint32_t>(static_cast<uint64_t>(value));
    out->dwHighDateTime = static_cast<uint32_t>(static_cast<uint64_t>(value) >> 32);
}

namespace {

// The calling thread's status for GetLastStatusName: a text, or a status
// code named only when asked (every data change notes one) and named once
// for a run of changes with the same code.
thread_local std::string t_last_status;
thread_local bool t_status_is_code = false;
thread_local uint32_t t_status_code = kNoStatus;
thread_local bool t_name_stale = false; // t_last_status does not name t_status_code yet

const std::string& last_status() {
    if (t_status_is_code && t_name_stale) {
        t_last_status = t_status_code == kNoStatus ? std::string() : ua::format_status(t_status_code);
        t_name_stale = false;
    }
    return t_last_status;
}

void set_last_status_code(uint32_t code) {
    if (t_status_is_code && code == t_status_code) return; // named already, or to be
    t_status_is_code = true;
    t_status_code = code;
    t_name_stale = true;
}

// The interface's HRESULTs by their symbols, for a failure no server named.
std::string hresult_name(HRESULT hr) {
    switch (hr) {
    case DISP_E_TYPEMISMATCH: return "DISP_E_TYPEMISMATCH";
    case DISP_E_BADVARTYPE: return "DISP_E_BADVARTYPE";
    case DISP_E_OVERFLOW: return "DISP_E_OVERFLOW";
    case E_INVALIDARG: return "E_INVALIDARG";
    case E_OUTOFMEMORY: return "E_OUTOFMEMORY";
    case E_ACCESSDENIED: return "E_ACCESSDENIED";
    default: return "E_FAIL";
    }
}

} // namespace

void set_last_status(const std::string& name) {
    t_last_status = name;
    t_status_is_code = false;
}

int32_t last_status_name(char* buffer, int32_t size) { return copy_text(last_status(), buffer, size); }

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

Service::Change& Service::Change::operator=(Change&& o) noexcept {
    if (this != &o) {
        VariantClear(&value);
        server = o.server;
        group = o.group;
        item = o.item;
        value = o.value;
        filetime = o.filetime;
        quality = o.quality;
        status = o.status;
        received = o.received;
        VariantInit(&o.value);
    }
    return *this;
}

namespace {

// A change that owns `value` from here on (the caller's is left VT_EMPTY).
template <class Change>
Change take_change(int32_t server, int32_t group, int32_t item, VARIANT& value, uint64_t filetime, int32_t quality,
                   uint32_t status, int64_t received = 0) {
    Change change;
    change.received = received;
    change.server = server;
    change.group = group;
    change.item = item;
    change.value = value;
    VariantInit(&value);
    change.filetime = filetime;
    change.quality = quality;
    change.status = status;
    return change;
}

} // namespace

void Service::Sink::push(int32_t server, int32_t group, int32_t item, VARIANT&& value, uint64_t filetime,
                         int32_t quality, uint32_t status) {
    Change change = take_change<Change>(server, group, item, value, filetime, quality, status);
    if (!locked_) return service_.enqueue(std::move(change));
    {
        std::lock_guard lock(service_.mu_);
        service_.enqueue(std::move(change));
    }
    // After the unlock: a service thread woken under it would only wait for the lock.
    service_.wake_.notify_all();
}

void Service::Sink::push_all(int32_t server, std::vector<ChangeSink::Batched>& changes, int64_t received) {
    if (changes.empty()) return;
    std::unique_lock lock(service_.mu_, std::defer_lock);
    if (locked_) lock.lock();
    Connection* connection = service_.find(server);
    for (ChangeSink::Batched& c : changes) {
        if (connection) service_.enqueue(connection, server, c, received);
        else VariantClear(&c.value);
    }
    changes.clear();
    if (!locked_) return;
    lock.unlock(); // a service thread woken under the lock would only wait for it
    service_.wake_.notify_all();
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

int32_t Service::new_item(int32_t server, int32_t group) {
    uint32_t index;
    if (!free_slots_.empty()) {
        index = free_slots_.back();
        free_slots_.pop_back();
    } else {
        if (slots_.size() >= kSlotMask) return -1;
        index = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    ItemSlot& slot = slots_[index];
    slot.handle = static_cast<int32_t>((slot.generation << kSlotBits) | (index + 1));
    slot.server = server;
    slot.group = group;
    slot.queued = kNotQueued;
    ++live_items_;
    // Room for one pending change per item, so a change never grows the
    // queue; spare_ alike, as the two trade places at every delivery. Pages
    // of the room never used are never touched, so they take no memory.
    if (queue_.capacity() < live_items_) queue_.reserve(std::max(live_items_, 2 * queue_.capacity()));
    if (spare_.capacity() < queue_.capacity()) spare_.reserve(queue_.capacity());
    return slot.handle;
}

Service::ItemSlot* Service::slot_of(int32_t item) {
    const uint32_t index = (static_cast<uint32_t>(item) & kSlotMask) - 1;
    if (item <= 0 || index >= slots_.size() || slots_[index].handle != item) return nullptr;
    return &slots_[index];
}

void Service::release(ItemSlot& slot) {
    // A change still queued for the old handle stays in queue_ and is dropped
    // at delivery: its handle no longer matches the slot.
    slot = ItemSlot{0, 0, 0, (slot.generation + 1) & kGenerationMask, kNotQueued};
    ++removals_;
    free_slots_.push_back(static_cast<uint32_t>(&slot - slots_.data()));
    --live_items_;
}

template <typename Match>
void Service::release_all(Match matches) {
    for (ItemSlot& slot : slots_)
        if (slot.handle != 0 && matches(slot)) release(slot);
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
    stopping_ = true;
    ++removals_;
    ++generation_;
    wake_.notify_all();
    std::thread worker = std::move(thread_);
    // Backends may wait on their own threads, which may wait on mu_: they go
    // away without it.
    std::map<int32_t, Connection> connections = std::move(connections_);
    connections_.clear();
    std::shared_ptr<ua::UaLoop> loop = std::move(ua_loop_);
    lock.unlock();
    worker.join();
    connections.clear();
    if (loop) loop->stop();
    loop.reset();
    lock.lock();
    thread_id_ = {};
    listing_.clear();
    queue_.clear();
    spare_.clear();
    release_all([](const ItemSlot&) { return true; });
    stopping_ = false;
    idle_.notify_all();
}

std::shared_ptr<Backend> Service::backend_of(int32_t server) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    return c ? c->backend : nullptr;
}

void Service::set_ua_settings(const ua::UaSettings& settings) {
    std::lock_guard lock(mu_);
    ua_settings_ = settings;
}

Service::Connection* Service::find(int32_t server) {
    auto it = connections_.find(server);
    return it == connections_.end() ? nullptr : &it->second;
}

Service::Group* Service::find(Connection* c, int32_t group) {
    if (!c) return nullptr;
    auto it = c->groups.find(group);
    return it == c->groups.end() ? nullptr : &it->second;
}

template <typename Match>
void Service::wait_until_not_running(std::unique_lock<std::mutex>& lock, Match matches) {
    if (std::this_thread::get_id() == thread_id_) return; // the running callback is our caller
    // Only the callback under way is waited for: a later change of the run
    // that the caller's removal hit is dropped before its turn (recheck_run),
    // so a callback that waits for this thread cannot hold it up.
    ++waiting_;
    idle_.wait(lock, [&] {
        const size_t at = run_at_.load();
        return !running_ || at >= run_.size() || !run_[at].callback || !matches(run_[at]);
    });
    --waiting_;
}

// ---------------------------------------------------------------------------
// Servers

int32_t Service::server_count(int32_t mode, const char* machine) {
    std::vector<std::string> names;
    if (mode == 0 || mode == 1) {
        if (is_local_machine(machine))
            for (const AddressSpace& s : simulation_servers()) names.push_back(s.prog_id);
        // OPC UA servers: discovery and the list file, on the network, without mu_.
        std::vector<std::string> ua = ua::list_servers(mode, machine ? machine : "");
        names.insert(names.end(), ua.begin(), ua.end());
    }
    std::lock_guard lock(mu_);
    listing_ = std::move(names);
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

int32_t Service::connect(const char* machine, const char* server, bool keep_trying) {
    set_last_status({});
    if (!server) return -1;
    {
        std::lock_guard lock(mu_);
        if (init_count_ == 0) return -1;
        if (is_local_machine(machine)) {
            for (const AddressSpace& s : simulation_servers()) {
                if (strcasecmp(s.prog_id.c_str(), server) != 0) continue;
                auto backend = std::make_shared<SimBackend>(s);
                Connection c;
                c.handle = new_handle();
                c.last_update_filetime = backend->start_filetime();
                c.backend = std::move(backend);
                int32_t handle = c.handle;
                connections_.emplace(handle, std::move(c));
                wake_.notify_all();
                return handle;
            }
        }
    }
    return connect_ua(machine ? machine : "", server, keep_trying);
}

int32_t Service::connect_ua(const std::string& machine, const std::string& server, bool keep_trying) {
    std::shared_ptr<ua::UaLoop> loop;
    ua::UaSettings settings;
    uint64_t generation;
    int32_t handle;
    {
        std::lock_guard lock(mu_);
        if (init_count_ == 0 || stopping_) return -1;
        if (!ua_loop_) {
            auto fresh = std::make_shared<ua::UaLoop>(clock_);
            if (!fresh->start()) return -1;
            ua_loop_ = std::move(fresh);
        }
        loop = ua_loop_;
        settings = ua_settings_;
        generation = generation_;
        handle = new_handle();
    }
    // Naming, discovery and the session handshake: network waits, without mu_.
    auto attempt = [this, loop, machine, server, settings, handle](const std::function<bool()>& cancelled) {
        UaAttempt a;
        a.status = ua::status::BadNotFound;
        a.reason = "no endpoint for that name";
        for (const std::string& url : ua::endpoints_for(machine, server, settings)) {
            if (cancelled()) break;
            a.url = url;
            // Security and identity from the list file's options and the server's endpoints.
            std::string refused;
            const auto secured = ua::settings_for(url, settings, &refused);
            if (!secured) {
                std::fprintf(stderr, "ostrand: %s\n", refused.c_str());
                a.status = ua::status::BadSecurityChecksFailed;
                a.reason = refused;
                continue;
            }
            a.reason.clear();
            a.backend = connect_ua_backend(loop, url, handle, other_sink_, *secured, cancelled, &a.status);
            if (a.backend) break;
        }
        return a;
    };
    std::shared_ptr<Backend> backend =
        keep_trying ? connect_ua_backend_later(handle, server, std::move(attempt), settings)
                    : attempt([] { return false; }).backend;
    if (!backend) return -1;
    std::unique_lock lock(mu_);
    if (init_count_ == 0 || generation != generation_) {
        lock.unlock(); // the backend closes its session without mu_
        return -1;
    }
    Connection c;
    c.handle = handle;
    c.last_update_filetime = static_cast<uint64_t>(clock_.filetime());
    c.backend = std::move(backend);
    connections_.emplace(handle, std::move(c));
    return handle;
}

int32_t Service::enable_callback(int32_t server, DataCallback callback) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    c->callback = callback;
    ++removals_;
    c->backend->set_delivery(callback != nullptr);
    if (callback) {
        // Values that arrived before anyone listened are delivered once now.
        std::map<int32_t, Change> parked = std::move(c->parked);
        c->parked.clear();
        for (auto& [item, change] : parked) enqueue(std::move(change));
    }
    wake_.notify_all();
    return 1;
}

int32_t Service::disconnect(int32_t server) {
    std::unique_lock lock(mu_);
    auto it = connections_.find(server);
    if (it == connections_.end()) return 0;
    std::shared_ptr<Backend> backend = std::move(it->second.backend);
    connections_.erase(it);
    ++removals_;
    release_all([server](const ItemSlot& s) { return s.server == server; });
    wait_until_not_running(lock, [server](const Running& r) { return r.server == server; });
    lock.unlock();
    backend.reset(); // a UA backend sends CloseSession without waiting, but joins its own thread
    return 1;
}

int32_t Service::status(int32_t server, ServerStatus* status, int32_t vendor_size) {
    if (!status) return 0;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(mu_);
        Connection* c = find(server);
        if (!c) return 0;
        backend = c->backend;
        set_filetime(&status->lastUpdateTime, c->last_update_filetime);
        status->groupCount = static_cast<int32_t>(c->groups.size());
        status->bandWidth = load_percent_;
    }
    return backend->status(status, vendor_size) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Groups and items

int32_t Service::add_group(int32_t server, const char* name, int32_t* rate, float* deadband) {
    if (!rate || !deadband) return -1;
    std::unique_lock lock(mu_);
    Connection* c = find(server);
    if (!c) return -1;
    if (*rate < kMinimumUpdateRate) *rate = kMinimumUpdateRate;
    if (std::isnan(*deadband) || *deadband < 0) *deadband = 0;
    if (*deadband > 100) *deadband = 100;
    const int32_t handle = new_handle();
    if (!c->backend->add_group(handle, rate, *deadband)) return -1;
    c->groups[handle] = Group{name ? name : ""};
    wake_.notify_all();
    std::shared_ptr<Backend> backend = c->backend;
    lock.unlock();
    backend->settle_group(handle, rate); // a server's granted rate, waited for without the lock
    return handle;
}

int32_t Service::remove_group(int32_t server, int32_t group) {
    std::unique_lock lock(mu_);
    Connection* c = find(server);
    Group* g = find(c, group);
    if (!g) return 0;
    c->backend->remove_group(group);
    release_all([&](const ItemSlot& s) {
        if (s.server != server || s.group != group) return false;
        c->parked.erase(s.handle);
        return true;
    });
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
    // Recorded first: a backend may report the item before add_item returns.
    const int32_t handle = new_item(server, group);
    if (handle == -1) return -1;
    if (!c->backend->add_item(group, handle, item_id)) {
        release(*slot_of(handle));
        return -1;
    }
    wake_.notify_all();
    return handle;
}

int32_t Service::remove_item(int32_t server, int32_t group, int32_t item) {
    std::unique_lock lock(mu_);
    Connection* c = find(server);
    ItemSlot* slot = slot_of(item);
    if (!find(c, group) || !slot || slot->server != server || slot->group != group) return 0;
    release(*slot);
    c->backend->remove_item(group, item);
    c->parked.erase(item);
    wait_until_not_running(lock, [=](const Running& r) {
        return r.server == server && r.group == group && r.item == item;
    });
    return 1;
}

int32_t Service::write_item(int32_t server, int32_t group, int32_t item, const VARIANT* value, int32_t mode) {
    static constexpr int32_t kAsyncFailure = 0;
    set_last_status({});
    auto fail = [mode](HRESULT hr) {
        if (last_status().empty()) set_last_status(hresult_name(hr));
        return mode == 1 ? kAsyncFailure : hr;
    };
    if (!value || (mode != 0 && mode != 1)) return fail(E_INVALIDARG);
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(mu_);
        Connection* c = find(server);
        const ItemSlot* slot = slot_of(item);
        if (!find(c, group) || !slot || slot->server != server || slot->group != group) return fail(E_INVALIDARG);
        backend = c->backend;
    }
    const HRESULT hr = backend->write(group, item, *value, mode);
    if (hr != S_OK) {
        std::lock_guard lock(mu_);
        if (Connection* c = find(server)) ++c->writes_failed;
        return fail(hr);
    }
    if (mode == 0) return S_OK;
    std::lock_guard lock(mu_);
    return new_handle(); // the transaction id of an asynchronous write
}

int32_t Service::health(int32_t server, ServerHealth* health) {
    if (!health) return 0;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(mu_);
        Connection* c = find(server);
        if (!c) return 0;
        backend = c->backend;
        health->changesDelivered = c->changes_delivered;
        health->writesFailed = c->writes_failed;
    }
    const Backend::Health h = backend->health();
    health->up = h.up ? 1 : 0;
    health->reconnects = h.reconnects;
    health->secondsDown = 0;
    health->reserved = 0;
    if (!h.up) {
        const auto down = std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - h.down_since);
        health->secondsDown = static_cast<uint32_t>(std::max<int64_t>(0, down.count()));
    }
    return 1;
}

int32_t Service::item_properties(int32_t server, int32_t group, int32_t item, char* type, int32_t size,
                                 int32_t* access) {
    if (!type || size <= 0 || !access) return 0;
    std::shared_ptr<Backend> backend;
    {
        std::lock_guard lock(mu_);
        Connection* c = find(server);
        const ItemSlot* slot = slot_of(item);
        if (!find(c, group) || !slot || slot->server != server || slot->group != group) return 0;
        backend = c->backend;
    }
    std::string name;
    if (!backend->item_properties(item, &name, access)) return 0;
    copy_text(name, type, size);
    return 1;
}

// ---------------------------------------------------------------------------
// Browsing

int32_t Service::browse_move_to(int32_t server, const char* path) {
    std::shared_ptr<Backend> backend = backend_of(server);
    if (!backend) return 0;
    return backend->browse_move_to(path ? path : "") ? 1 : 0;
}

int32_t Service::browse_count(int32_t server, int32_t type) {
    std::shared_ptr<Backend> backend = backend_of(server);
    if (!backend) return 0;
    std::vector<std::string> names = backend->browse(type);
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    c->browse_names = std::move(names);
    return static_cast<int32_t>(c->browse_names.size());
}

int32_t Service::browse_name(int32_t server, int32_t index, char* buffer, int32_t size) {
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c || index < 0 || static_cast<size_t>(index) >= c->browse_names.size()) return 0;
    return copy_text(c->browse_names[static_cast<size_t>(index)], buffer, size);
}

int32_t Service::browse_item_id(int32_t server, const char* leaf, char* buffer, int32_t size) {
    if (!leaf) return 0;
    std::shared_ptr<Backend> backend = backend_of(server);
    if (!backend) return 0;
    std::optional<std::string> id = backend->browse_item_id(leaf);
    if (!id) return 0;
    return copy_text(*id, buffer, size);
}

int32_t Service::query_organization(int32_t server, uint16_t* organization) {
    if (!organization) return 0;
    std::lock_guard lock(mu_);
    Connection* c = find(server);
    if (!c) return 0;
    *organization = c->backend->organization();
    return 1;
}

// ---------------------------------------------------------------------------
// The service thread

void Service::enqueue(Change change) {
    if (Connection* c = find(change.server)) enqueue(c, std::move(change));
}

void Service::enqueue(Connection* c, Change&& change) {
    c->last_update_filetime = change.filetime;
    if (!c->callback) {
        c->parked[change.item] = std::move(change);
        return;
    }
    ItemSlot* slot = slot_of(change.item);
    if (!slot || slot->server != change.server) return; // removed meanwhile: never delivered
    if (slot->queued != kNotQueued) {
        queue_[slot->queued] = std::move(change); // the latest value wins
        return;
    }
    slot->queued = static_cast<uint32_t>(queue_.size());
    queue_.push_back(std::move(change));
}

void Service::enqueue(Connection* c, int32_t server, ChangeSink::Batched& b, int64_t received) {
    ItemSlot* slot = c->callback ? slot_of(b.item) : nullptr;
    if (!slot || slot->server != server) // parked, or removed meanwhile
        return enqueue(c, take_change<Change>(server, b.group, b.item, b.value, b.filetime, b.quality, b.status, received));
    c->last_update_filetime = b.filetime;
    // Written in place: into the item's pending change (the latest value
    // wins), or into the queue's reserved storage.
    if (slot->queued == kNotQueued) {
        slot->queued = static_cast<uint32_t>(queue_.size());
        queue_.emplace_back();
    }
    Change& to = queue_[slot->queued];
    VariantClear(&to.value);
    to.server = server;
    to.group = b.group;
    to.item = b.item;
    to.value = b.value;
    VariantInit(&b.value);
    to.filetime = b.filetime;
    to.quality = b.quality;
    to.status = b.status;
    to.received = received;
}

bool Service::deliverable(const Connection* c, const Change& change) {
    // Handles removed meanwhile are no longer in the tables: nothing is delivered for them.
    const ItemSlot* slot = slot_of(change.item);
    return c && c->callback && slot && slot->server == change.server && slot->group == change.group;
}

void Service::recheck_run(size_t from, const ChangeQueue& batch) {
    for (size_t i = from; i < run_.size(); ++i) {
        Running& r = run_[i];
        if (!r.callback) continue;
        Connection* c = find(r.server);
        if (!stopping_ && deliverable(c, batch[r.index])) {
            r.callback = c->callback; // the callback may have been replaced
            continue;
        }
        r.callback = nullptr;
        if (c) --c->changes_delivered;
    }
}

namespace {

constexpr size_t kRunLength = 128; // changes checked under one lock, then called without it

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

} // namespace

void Service::deliver(std::unique_lock<std::mutex>& lock) {
    ChangeQueue batch = std::move(spare_);
    batch.swap(queue_);
    for (const Change& change : batch)
        if (ItemSlot* slot = slot_of(change.item)) slot->queued = kNotQueued;
    // Runs of changes are checked under the lock and delivered without it.
    // Before each callback the service thread publishes its place in the run
    // (run_at_) and then looks at removals_; a remover bumps removals_ under
    // the lock and then looks at run_at_. Both are sequentially consistent, so
    // either the service thread sees the removal and checks the rest of the
    // run again under the lock, or the remover sees the callback it must wait
    // for. A remover waiting (waiting_) is woken at every step of the run.
    size_t next = 0;
    while (next < batch.size() && !stopping_) {
        run_.clear();
        Connection* c = nullptr;
        for (; next < batch.size() && run_.size() < kRunLength; ++next) {
            const Change& change = batch[next];
            if (!c || c->handle != change.server) c = find(change.server);
            if (!deliverable(c, change)) continue;
            ++c->changes_delivered;
            run_.push_back(Running{change.server, change.group, change.item, c->callback, next});
        }
        if (run_.empty()) break;
        running_ = true;
        run_at_ = 0;
        uint64_t seen = removals_;
        lock.unlock();
        for (size_t i = 0; i < run_.size(); ++i) {
            run_at_ = i;
            if (removals_ != seen || waiting_ > 0) {
                lock.lock();
                seen = removals_;
                recheck_run(i, batch);
                idle_.notify_all();
                lock.unlock();
            }
            const Running& r = run_[i];
            if (!r.callback) continue;
            Change& change = batch[r.index];
            set_last_status_code(change.status);
            r.callback(change.server, change.group, change.item, &change.value, static_cast<uint32_t>(change.filetime),
                       static_cast<uint32_t>(change.filetime >> 32), change.quality);
            // The last change of a message closes it for the delay figures.
            if (observer_ && change.received != 0 &&
                (r.index + 1 == batch.size() || batch[r.index + 1].received != change.received))
                observer_(change.received, steady_ns());
        }
        lock.lock();
        running_ = false;
        run_at_ = 0;
        run_.clear();
        idle_.notify_all();
    }
    // Values freed, storage kept for the next round. A backlog (the service
    // thread held up by its callbacks or the scheduler) touched more of it
    // than a message's changes take: those pages go back to the system, so a
    // backlog's memory lasts as long as the backlog. Without the lock: the
    // batch is this thread's alone until it becomes the spare queue.
    const size_t delivered = batch.size();
    batch.clear();
    if (delivered > kQueueKept) {
        lock.unlock();
        ChangeQueue::allocator_type::discard(batch.data(), batch.capacity(), kQueueKept, delivered);
        lock.lock();
    }
    spare_ = std::move(batch);
}

void Service::run() {
    std::unique_lock lock(mu_);
    load_window_start_ = SteadyClock::now();
    while (!stopping_) {
        SteadyClock::time_point started = SteadyClock::now();
        SteadyClock::time_point due = SteadyClock::time_point::max();
        for (auto& [server, c] : connections_) due = std::min(due, c.backend->sample(started, server, thread_sink_));
        const bool delivered = !queue_.empty();
        if (delivered) deliver(lock);
        SteadyClock::time_point finished = SteadyClock::now();
        load_busy_ += finished - started;
        if (finished - load_window_start_ >= kLoadWindow) {
            auto window = finished - load_window_start_;
            load_percent_ = static_cast<int32_t>(std::min<int64_t>(100, load_busy_ * 100 / window));
            load_window_start_ = finished;
            load_busy_ = {};
        }
        if (stopping_) break;
        // Callbacks may have added groups or items, and changes may have come meanwhile: look again.
        if (delivered || !queue_.empty() || due <= SteadyClock::now()) continue;
        // Wake at least once per load window so the figure stays current.
        wake_.wait_until(lock, std::min(due, SteadyClock::now() + kLoadWindow));
    }
}

} // namespace ostrand
