#include "ua/ua_backend.h"

#include "events.h"
#include "item_table.h"
#include "ua/client/loop.h"
#include "ua/client/subscriptions.h"
#include "ua/encoding/text.h"
#include "ua/encoding/variant.h"
#include "ua/secure_channel/security.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <thread>

namespace ostrand {

namespace {

using namespace ua;

constexpr uint32_t kMaxReferencesPerNode = 1000;
constexpr size_t kBatch = 1000;             // nodes per Read, whatever the server allows
constexpr int kWalkDepth = 10;              // BrowseCount(3)
constexpr size_t kWalkIds = 10000;
constexpr auto kBatchDelay = std::chrono::milliseconds(20); // AddItem bursts share one Read
constexpr uint8_t kCurrentWrite = 0x02;
constexpr size_t kReleaseAfterItems = 1000;  // items created, then the heap is trimmed

HRESULT write_result(StatusCode st) {
    switch (status_code_only(st)) {
    case status::Good: return S_OK;
    case status::BadTypeMismatch: return DISP_E_TYPEMISMATCH;
    case status::BadOutOfRange: return DISP_E_OVERFLOW;
    case status::BadNotWritable: case status::BadUserAccessDenied: return E_ACCESSDENIED;
    case status::BadNodeIdUnknown: return E_INVALIDARG;
    default: return is_good(st) ? S_OK : E_FAIL;
    }
}

// UA ServerState -> the interface's serverState.
int32_t server_state(int32_t ua) {
    switch (ua) {
    case 0: return 1;
    case 1: return 2;
    case 2: return 3;
    case 3: case 4: return 4;
    case 5: return 5;
    default: return 2;
    }
}

// Whether a VARIANT owns memory (a string or an array) that a copy duplicates.
bool owns_memory(const VARIANT& v) { return v.vt == VT_BSTR || (v.vt & VT_ARRAY) != 0; }

struct Reference {
    std::string name;
    NodeId node;
    int32_t node_class;
};

// The half of a UA connection that lives on the I/O thread: the
// subscriptions, and the hand-over of their values to the service. It
// outlives the backend (the loop holds it until the connection is closed), so
// it refers to nothing of the backend but the hook the backend clears.
class Feed final : public SessionListener, public NotificationSink {
public:
    Feed(int32_t server, ChangeSink& sink, const UaSettings& settings, const Clock& clock, std::string url)
        : server_(server), sink_(sink), clock_(clock), set_(*this, settings), url_(std::move(url)) {
        describe_security(settings);
    }
    ~Feed() override {
        for (ChangeSink::Batched& c : batch_) VariantClear(&c.value);
    }

    SubscriptionSet& set() { return set_; }

    // Runs on every session the loop brings up after the first; any thread.
    void on_up(std::function<void(bool new_session)> hook) {
        std::lock_guard lock(hook_mu_);
        hook_ = std::move(hook);
    }

    // I/O thread: a value the server took from a write of ours, for items
    // that have reported before (a removed item is not brought back).
    void remember(uint32_t group, uint32_t handle, const Variant& written) {
        Last* last = last_.get(handle);
        if (!last || set_.group_of(handle) != group) return;
        VARIANT value;
        if (!to_variant(written, &value)) return;
        VariantClear(&last->value);
        last->value = value;
    }

    // I/O thread: an item or a group is gone from the subscriptions; its
    // last value with it.
    void forget(uint32_t handle) { last_.erase(handle); }
    void forget_group(uint32_t group) {
        last_.erase_if([this](const auto& kv) { return set_.group_of(kv.first) == 0; });
        deadbands_told_.erase({group, false});
        deadbands_told_.erase({group, true});
    }

    // Each entry point hands what it produced to the service in one batch.
    void on_session(RequestPort& port, bool new_session, SteadyTime now) override {
        if (down_.exchange(false)) reconnects_.fetch_add(1);
        set_.on_session(port, new_session, now);
        flush();
        report_up(new_session, now);
        std::lock_guard lock(hook_mu_);
        if (hook_) hook_(new_session);
    }
    void on_lost(StatusCode why, SteadyTime now) override {
        down_since_.store(now.time_since_epoch().count());
        down_.store(true);
        set_.on_lost(why, now);
        flush();
        lost_at_ = now;
        const std::string reason = format_status(why);
        OstrandEvent e = event(OSTRAND_EVENT_LOST);
        e.status = why;
        e.reason = reason.c_str();
        emit_event(e);
    }
    bool on_event(RequestPort& port, UaEvent& event, SteadyTime now) override {
        const bool ours = set_.on_event(port, event, now);
        // `now` is when the event's last byte was read (see UaLoop::handle_io).
        flush(std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
        release_memory();
        return ours;
    }
    // I/O thread: `n` items went to the subscriptions.
    void added(size_t n) { added_ += n; }
    StatusCode tick(RequestPort& port, SteadyTime now) override {
        const StatusCode st = set_.tick(port, now);
        flush();
        return st;
    }
    SteadyTime next_deadline() const override { return set_.next_deadline(); }

    void data_change(uint32_t group, uint32_t handle, const DataValue& v) override {
        VARIANT value;
        int32_t quality = quality_of(v.status.value_or(status::Good));
        if (!v.value) VariantInit(&value);
        else if (!to_variant(*v.value, &value)) quality = 0; // no VARIANT form: VT_EMPTY, bad
        // The time the value was taken, never when it was published.
        int64_t time = v.source_timestamp.value_or(0);
        if (time <= 0) time = v.server_timestamp.value_or(0);
        if (time <= 0) time = clock_.filetime();
        Last* found = last_.get(handle);
        Last& last = found ? *found : last_[handle];
        if (!owns_memory(value) && !owns_memory(last.value)) {
            last.value = value; // a number: nothing to free or duplicate
        } else {
            VariantClear(&last.value);
            if (VariantCopy(&last.value, &value) != S_OK) VariantInit(&last.value);
        }
        const StatusCode st = v.status.value_or(status::Good);
        batch_.push_back({static_cast<int32_t>(group), static_cast<int32_t>(handle), value,
                          static_cast<uint64_t>(time), quality, quality == 0 && !is_bad(st) ? kNoStatus : st});
    }

    void item_failed(uint32_t group, uint32_t handle, StatusCode why) override {
        VARIANT empty;
        VariantInit(&empty);
        sink_.push(server_, static_cast<int32_t>(group), static_cast<int32_t>(handle), std::move(empty),
                   static_cast<uint64_t>(clock_.filetime()), 0, why);
    }

    // Told once per group and outcome, not per item nor per new session.
    void deadband_revised(uint32_t group, uint32_t /*handle*/, float percent, bool none) override {
        if (!deadbands_told_.insert({group, none}).second) return;
        OstrandEvent e = event(OSTRAND_EVENT_GROUP_REVISED);
        e.group = static_cast<int32_t>(group);
        e.deadband = percent;
        e.deadband_result = none ? OSTRAND_DEADBAND_REFUSED : OSTRAND_DEADBAND_ABSOLUTE;
        emit_event(e);
    }

    // Every item keeps its last value, now bad: the registers behind it keep
    // their contents, while a master sees the quality go.
    void connection_lost() override {
        const auto now = static_cast<uint64_t>(clock_.filetime());
        for (const auto& [handle, last] : last_) {
            const uint32_t group = set_.group_of(handle);
            if (group == 0) continue;
            VARIANT copy;
            VariantInit(&copy);
            if (VariantCopy(&copy, &last.value) != S_OK) VariantInit(&copy);
            batch_.push_back(
                {static_cast<int32_t>(group), static_cast<int32_t>(handle), copy, now, 0, status::BadNoCommunication});
        }
    }

    // Any thread: the session's ups and downs as the loop reported them.
    Backend::Health health() const {
        Backend::Health h;
        h.up = !down_.load();
        h.reconnects = reconnects_.load();
        if (!h.up) h.down_since = SteadyTime(SteadyTime::duration(down_since_.load()));
        return h;
    }

private:
    // Once a large batch of items is created, the heap that work took in
    // passing (descriptions, creation requests and answers, id texts) goes
    // back to the system: glibc keeps freed memory below its heap's top
    // resident. A gateway loads its configuration once, then runs for months.
    void release_memory() {
        if (added_ < kReleaseAfterItems || set_.creating()) return;
        added_ = 0;
        malloc_trim(0);
    }

    void flush(int64_t received = 0) {
        if (!batch_.empty()) sink_.push_all(server_, batch_, received);
    }

    OstrandEvent event(int32_t kind) const {
        OstrandEvent e{};
        e.kind = kind;
        e.server = server_;
        e.url = url_.c_str();
        e.security_mode = mode_.c_str();
        e.security_policy = policy_.c_str();
        e.user = user_.c_str();
        e.outage_ms = -1;
        return e;
    }

    void describe_security(const UaSettings& settings) {
        const auto* endpoint = dynamic_cast<const EndpointSecurity*>(settings.security.get());
        if (!endpoint) return;
        const EndpointDescription& d = endpoint->endpoint();
        mode_ = d.security_mode == MessageSecurityMode::SignAndEncrypt ? "SignAndEncrypt"
                : d.security_mode == MessageSecurityMode::Sign          ? "Sign"
                                                                        : "None";
        const std::string uri = d.security_policy_uri.value_or("");
        const size_t hash = uri.rfind('#');
        policy_ = hash == std::string::npos ? "None" : uri.substr(hash + 1);
        user_ = endpoint->user_name(); // the name only: the password stays where it is
    }

    void report_up(bool new_session, SteadyTime now) {
        OstrandEvent e = event(OSTRAND_EVENT_CONNECTED);
        e.new_session = new_session ? 1 : 0;
        if (lost_at_) e.outage_ms = std::chrono::duration_cast<Millis>(now - *lost_at_).count();
        lost_at_.reset();
        emit_event(e);
    }

    // An item's last value; its group is the subscriptions' to know.
    struct Last {
        VARIANT value{};
        Last() { VariantInit(&value); }
        Last(Last&& o) noexcept : value(o.value) { VariantInit(&o.value); }
        Last(const Last&) = delete;
        Last& operator=(const Last&) = delete;
        ~Last() { VariantClear(&value); }
    };

    int32_t server_;
    ChangeSink& sink_;
    const Clock& clock_;
    SubscriptionSet set_;
    ItemTable<Last> last_; // I/O thread only
    std::vector<ChangeSink::Batched> batch_;   // I/O thread only; empty between entry points
    std::mutex hook_mu_;
    std::function<void(bool)> hook_;
    std::atomic<bool> down_{false};
    std::atomic<uint32_t> reconnects_{0};
    std::atomic<SteadyTime::rep> down_since_{0};
    const std::string url_;
    std::string mode_ = "None", policy_ = "None", user_; // for the events; written before the I/O thread sees this
    std::optional<SteadyTime> lost_at_;                 // I/O thread only
    std::set<std::pair<uint32_t, bool>> deadbands_told_; // I/O thread only: group, without a filter
    size_t added_ = 0; // I/O thread only: items added since the heap was last given back
};

class UaBackend final : public Backend {
public:
    UaBackend(std::shared_ptr<UaLoop> loop, UaLoop::ConnectionId id, std::shared_ptr<Feed> feed, int32_t server,
              ChangeSink& sink, const UaSettings& settings, SystemClock& clock)
        : loop_(std::move(loop)), id_(id), feed_(std::move(feed)), server_(server), sink_(sink),
          settings_(settings), clock_(clock), start_time_(clock.filetime()) {
        read_namespaces();
        worker_ = std::thread([this] { work(); });
        feed_->on_up([this](bool new_session) { session_up(new_session); });
    }

    ~UaBackend() override {
        feed_->on_up(nullptr); // from here on the I/O thread never calls into this object
        {
            std::lock_guard lock(mu_);
            stopping_ = true;
        }
        cv_.notify_all();
        release_walk();
        // CloseSession and CLO on the I/O thread; nobody waits for them. Closing
        // first also ends a request the worker may be waiting on.
        loop_->close(id_);
        worker_.join();
    }

    // The subscription is asked for here and awaited in settle_group, which
    // runs without the service lock.
    bool add_group(int32_t group, int32_t* rate, float deadband) override {
        auto done = std::make_shared<UaCompletion>();
        std::lock_guard lock(mu_);
        groups_[group] = GroupRec{*rate, deadband, done};
        const bool posted = loop_->post_to(
            id_, [feed = feed_, group, interval = *rate, deadband, done](RequestPort* port, SteadyTime now) {
                feed->set().add_group(port, static_cast<uint32_t>(group), interval, deadband, now,
                                      [done](StatusCode st, double revised) {
                                          CreateSubscriptionResponse r;
                                          r.revised_publishing_interval = revised;
                                          done->complete(st, std::move(r));
                                      });
            });
        if (!posted) done->complete(status::BadNotConnected);
        return true;
    }

    void settle_group(int32_t group, int32_t* rate) override {
        std::shared_ptr<UaCompletion> done;
        {
            std::lock_guard lock(mu_);
            auto it = groups_.find(group);
            if (it == groups_.end()) return;
            done = std::move(it->second.created);
        }
        if (!done || !done->wait_for(settings_.request_timeout + settings_.request_grace + settings_.request_grace))
            return;
        const Response r = done->response();
        const auto* cs = std::get_if<CreateSubscriptionResponse>(&r);
        if (is_good(done->status()) && cs && cs->revised_publishing_interval > 0) {
            const double granted = std::ceil(cs->revised_publishing_interval);
            const int32_t asked = *rate;
            *rate = granted >= double(INT32_MAX) ? INT32_MAX : std::max(*rate, static_cast<int32_t>(granted));
            if (*rate != asked) {
                OstrandEvent e{};
                e.kind = OSTRAND_EVENT_GROUP_REVISED;
                e.server = server_;
                e.group = group;
                e.requested_rate = asked;
                e.revised_rate = *rate;
                e.outage_ms = -1;
                emit_event(e);
            }
            std::lock_guard lock(mu_);
            if (auto it = groups_.find(group); it != groups_.end()) it->second.rate = *rate;
        }
    }

    void remove_group(int32_t group) override {
        std::lock_guard lock(mu_);
        groups_.erase(group);
        items_.erase_if([this, group](const auto& kv) {
            if (kv.second.group != group) return false;
            ids_.erase(kv.first);
            return true;
        });
        loop_->post_to(id_, [feed = feed_, group](RequestPort* port, SteadyTime now) {
            feed->set().remove_group(port, static_cast<uint32_t>(group), now);
            feed->forget_group(static_cast<uint32_t>(group));
        });
    }

    bool add_item(int32_t group, int32_t item, const std::string& id) override {
        if (id.empty()) return false;
        if (id.find('=') != std::string::npos && !parse_node_id(id)) return false; // malformed NodeId text
        std::lock_guard lock(mu_);
        if (!groups_.count(group)) return false;
        ItemRec& r = items_[item];
        r.group = group;
        ids_[item] = id;
        pending_.push_back(item);
        cv_.notify_all();
        return true;
    }

    void remove_item(int32_t group, int32_t item) override {
        std::lock_guard lock(mu_);
        items_.erase(item);
        ids_.erase(item);
        loop_->post_to(id_, [feed = feed_, group, item](RequestPort* port, SteadyTime now) {
            feed->set().remove_item(port, static_cast<uint32_t>(group), static_cast<uint32_t>(item), now);
            feed->forget(static_cast<uint32_t>(item));
        });
    }

    int32_t write(int32_t, int32_t item, const VARIANT& value, int32_t mode) override {
        // Never queued for later: a late setpoint is worse than a failure.
        if (!loop_->session_up(id_)) {
            set_last_status(format_status(status::BadNotConnected));
            return E_FAIL;
        }
        ItemRec rec;
        {
            std::lock_guard lock(mu_);
            auto it = items_.find(item);
            if (it == items_.end()) return E_INVALIDARG;
            rec = it->second;
        }
        if (!rec.described) {
            std::vector<int32_t> one{item};
            describe(one);
            std::lock_guard lock(mu_);
            auto it = items_.find(item);
            if (it == items_.end()) return E_INVALIDARG;
            rec = it->second;
        }
        if (!rec.known) return E_INVALIDARG;
        if (!(rec.access & kCurrentWrite)) return E_ACCESSDENIED;
        if (rec.value_rank > 1) return DISP_E_TYPEMISMATCH; // multi-dimensional targets are refused
        Variant v;
        // ValueRank 1 is an array; 0, -2 and -3 leave it to the value written.
        const bool array = rec.value_rank == 1 || (rec.value_rank != -1 && (value.vt & VT_ARRAY));
        const HRESULT hr = to_ua(value, rec.builtin, array, &v);
        if (hr != S_OK) return hr;
        WriteRequest w;
        WriteValue wv;
        wv.value.value = v;
        w.nodes_to_write.push_back(std::move(wv));
        // The NodeId comes from the item's subscription, on the I/O thread.
        auto node_of = [feed = feed_, group = rec.group, item](Request& r) {
            auto node = feed->set().node_of(static_cast<uint32_t>(group), static_cast<uint32_t>(item));
            if (!node) return status::BadNodeIdUnknown; // removed meanwhile
            std::get<WriteRequest>(r).nodes_to_write[0].node_id = std::move(*node);
            return status::Good;
        };
        auto done = loop_->request(id_, std::move(w), std::move(node_of));
        if (mode == 1) return S_OK; // the answer is not reported
        if (!done->wait_for(settings_.request_timeout + settings_.request_grace + settings_.request_grace)) {
            set_last_status(format_status(status::BadTimeout));
            return E_FAIL;
        }
        if (is_bad(done->status())) {
            set_last_status(format_status(done->status()));
            return E_FAIL;
        }
        const Response r = done->response();
        auto* wr = std::get_if<WriteResponse>(&r);
        if (!wr || wr->results.size() != 1) return E_FAIL;
        const HRESULT result = write_result(wr->results[0]);
        if (result != S_OK) set_last_status(format_status(wr->results[0]));
        // The server holds the written value now, though its data change may
        // still be on the way: an outage from here on reports that value, so
        // the registers a master just wrote do not fall back to the old one.
        if (result == S_OK) {
            loop_->post_to(id_, [feed = feed_, group = rec.group, item, v = std::move(v)](RequestPort*, SteadyTime) {
                feed->remember(static_cast<uint32_t>(group), static_cast<uint32_t>(item), v);
            });
        }
        return result;
    }

    bool status(ServerStatus* st, int32_t vendor_size) override {
        ReadRequest read;
        for (uint32_t n : {node::Server_ServerStatus_StartTime, node::Server_ServerStatus_CurrentTime,
                           node::Server_ServerStatus_State, node::Server_ServerStatus_BuildInfo_ProductName,
                           node::Server_ServerStatus_BuildInfo_ManufacturerName,
                           node::Server_ServerStatus_BuildInfo_SoftwareVersion,
                           node::Server_ServerStatus_BuildInfo_BuildNumber}) {
            ReadValueId r;
            r.node_id = NodeId::numeric_id(0, n);
            read.nodes_to_read.push_back(r);
        }
        // Down: answered at once, without waiting for a Read that cannot be sent.
        auto values = loop_->session_up(id_) ? read_values(std::move(read), settings_.status_timeout) : std::nullopt;
        std::lock_guard lock(status_mu_);
        st->reserved = 0;
        if (!values || values->size() != 7) {
            // Down: the cached times, state 2, and the outage in words.
            if (lost_at_ == 0) lost_at_ = clock_.filetime();
            set_filetime(&st->startTime, start_time_);
            set_filetime(&st->currentTime, clock_.filetime());
            st->serverState = 2;
            st->majorVersion = major_;
            st->minorVersion = minor_;
            st->buildNumber = build_;
            const time_t seconds = static_cast<time_t>((lost_at_ - kFileTimeAtUnixEpoch) / 10000000);
            std::tm utc{};
            gmtime_r(&seconds, &utc);
            char text[64];
            std::snprintf(text, sizeof text, "connection lost %02d:%02d:%02d, reconnecting", utc.tm_hour, utc.tm_min, utc.tm_sec);
            copy_text(text, st->vendorInfo, vendor_size);
            return true;
        }
        lost_at_ = 0;
        const auto& v = *values;
        auto time_of = [](const DataValue& d) -> int64_t {
            const DateTime* t = d.value ? d.value->get<kDateTime>() : nullptr;
            return t ? *t : 0;
        };
        auto text_of = [](const DataValue& d) -> std::string {
            const String* s = d.value ? d.value->get<kString>() : nullptr;
            if (s && *s) return **s;
            const LocalizedText* l = d.value ? d.value->get<kLocalizedText>() : nullptr;
            return l && l->text ? *l->text : std::string();
        };
        start_time_ = time_of(v[0]);
        set_filetime(&st->startTime, start_time_);
        set_filetime(&st->currentTime, time_of(v[1]) ? time_of(v[1]) : clock_.filetime());
        const int32_t* state = v[2].value ? v[2].value->get<kInt32>() : nullptr;
        st->serverState = state ? server_state(*state) : 2;
        const std::string product = text_of(v[3]), maker = text_of(v[4]), version = text_of(v[5]),
                          build = text_of(v[6]);
        unsigned a = 0, b = 0;
        std::sscanf(version.c_str(), "%u.%u", &a, &b);
        char* end = nullptr;
        const unsigned long n = std::strtoul(build.c_str(), &end, 10);
        major_ = static_cast<uint16_t>(std::min(a, 65535u));
        minor_ = static_cast<uint16_t>(std::min(b, 65535u));
        build_ = !build.empty() && end && *end == '\0' ? static_cast<uint16_t>(std::min(n, 65535ul)) : 0;
        st->majorVersion = major_;
        st->minorVersion = minor_;
        st->buildNumber = build_;
        std::string vendor = maker + " " + product + " " + version;
        if (state && *state == 4) vendor += " shutting down";
        copy_text(vendor, st->vendorInfo, vendor_size);
        return true;
    }

    bool browse_move_to(const std::string& path) override {
        std::lock_guard lock(browse_mu_);
        if (path.empty()) {
            position_ = objects();
            at_root_ = true;
            return true;
        }
        auto node = resolve_path(split(path), true);
        if (!node) return false;
        position_ = *node;
        at_root_ = false;
        return true;
    }

    std::vector<std::string> browse(int32_t type) override {
        std::lock_guard lock(browse_mu_);
        std::vector<std::string> names;
        if (type == 1 || type == 2) {
            auto refs = children(position_);
            if (!refs) return names;
            for (const Reference& r : *refs) {
                if (at_root_ && r.node.namespace_index == 0) continue; // the server's own nodes
                if (r.node_class == (type == 1 ? node_class::Object : node_class::Variable)) names.push_back(r.name);
            }
        } else if (type == 3) {
            std::set<NodeId> visited{position_};
            const SteadyTime deadline = SteadyClock::now() + settings_.browse_walk_timeout;
            walk(position_, 0, at_root_, visited, deadline, names);
        }
        return names;
    }

    std::optional<std::string> browse_item_id(const std::string& leaf) override {
        std::lock_guard lock(browse_mu_);
        if (auto refs = children(position_)) {
            for (const Reference& r : *refs)
                if (r.node_class == node_class::Variable && r.name == leaf) return format_node_id(r.node);
            for (const Reference& r : *refs) {
                const size_t dot = r.name.rfind('.');
                if (r.node_class == node_class::Variable && dot != std::string::npos && r.name.substr(dot + 1) == leaf)
                    return format_node_id(r.node);
            }
        }
        if (auto node = resolve_id(leaf)) return format_node_id(*node);
        return std::nullopt;
    }

    uint16_t organization() const override { return 1; }
    void set_delivery(bool) override {}
    Health health() const override { return feed_->health(); }

    bool item_properties(int32_t item, std::string* type, int32_t* access) override {
        std::lock_guard lock(mu_);
        auto it = items_.find(item);
        if (it == items_.end() || !it->second.described || !it->second.known) return false;
        *type = builtin_name(it->second.builtin);
        if (it->second.value_rank >= 0) *type += "[]";
        *access = (it->second.access & 1 ? 1 : 0) | (it->second.access & 2 ? 2 : 0);
        return true;
    }

private:
    struct GroupRec {
        int32_t rate;
        float deadband;
        std::shared_ptr<UaCompletion> created; // until settle_group took it
    };
    // One per item, so kept small: the id text waits in ids_ until the
    // server has described the item, and the NodeId of a known item is kept
    // by its subscription alone, on the I/O thread.
    struct ItemRec {
        int32_t group = 0;
        int32_t value_rank = -1;
        uint8_t builtin = 0;
        uint8_t access = 0;
        bool described = false;
        bool known = false; // described and found: handed to the subscriptions
    };

    // The names of the built-in types (OPC UA Part 6, 5.1.2).
    static std::string builtin_name(uint8_t builtin) {
        static constexpr const char* kNames[] = {
            "BaseDataType", "Boolean", "SByte", "Byte", "Int16", "UInt16", "Int32", "UInt32", "Int64",
            "UInt64", "Float", "Double", "String", "DateTime", "Guid", "ByteString", "XmlElement", "NodeId",
            "ExpandedNodeId", "StatusCode", "QualifiedName", "LocalizedText", "ExtensionObject", "DataValue",
            "Variant", "DiagnosticInfo"};
        return builtin < std::size(kNames) ? kNames[builtin] : "BaseDataType";
    }

    static NodeId objects() { return NodeId::numeric_id(0, node::ObjectsFolder); }

    static std::vector<std::string> split(const std::string& path) {
        std::vector<std::string> out;
        size_t at = 0;
        for (;;) {
            const size_t dot = path.find('.', at);
            out.push_back(path.substr(at, dot - at));
            if (dot == std::string::npos) return out;
            at = dot + 1;
        }
    }

    // A session came up again (I/O thread): items that could not be
    // described while the server was away are described now; on a new
    // session, ids the old one did not know are tried again.
    void session_up(bool new_session) {
        std::lock_guard lock(mu_);
        for (auto& [item, rec] : items_) {
            if (rec.described && !(new_session && !rec.known)) continue;
            rec.described = false;
            pending_.push_back(item);
        }
        if (!pending_.empty()) cv_.notify_all();
    }

    std::optional<Response> call(Request request, Millis timeout) {
        auto done = loop_->request(id_, std::move(request), timeout);
        if (!done->wait_for(timeout + settings_.request_grace + settings_.request_grace)) return std::nullopt;
        if (is_bad(done->status())) return std::nullopt;
        return done->response();
    }

    std::optional<std::vector<DataValue>> read_values(ReadRequest read, Millis timeout) {
        const size_t n = read.nodes_to_read.size();
        auto r = call(std::move(read), timeout);
        auto* rr = r ? std::get_if<ReadResponse>(&*r) : nullptr;
        if (!rr || rr->results.size() != n) return std::nullopt;
        return std::move(rr->results);
    }

    void read_namespaces() {
        ReadRequest read;
        ReadValueId r;
        r.node_id = NodeId::numeric_id(0, node::Server_NamespaceArray);
        read.nodes_to_read.push_back(r);
        auto v = read_values(std::move(read), settings_.request_timeout);
        if (!v || !(*v)[0].value) return;
        if (auto* uris = (*v)[0].value->elements<kString>())
            for (const String& u : *uris) namespaces_.push_back(u.value_or(""));
    }

    // The hierarchical children of `node` (properties left out), through
    // BrowseNext; cached for the session. A walk given up releases its point.
    std::optional<std::vector<Reference>> children(const NodeId& node) {
        if (auto it = cache_.find(node); it != cache_.end()) return it->second;
        BrowseRequest b;
        b.requested_max_references_per_node = kMaxReferencesPerNode;
        b.nodes_to_browse.push_back(hierarchical(node));
        auto r = call(std::move(b), settings_.request_timeout);
        auto* br = r ? std::get_if<BrowseResponse>(&*r) : nullptr;
        if (!br || br->results.size() != 1 || is_bad(br->results[0].status_code)) return std::nullopt;
        BrowseResult result = std::move(br->results[0]);
        std::vector<Reference> out;
        for (;;) {
            append(out, result);
            if (!result.continuation_point || result.continuation_point->empty()) break;
            open_point_ = result.continuation_point;
            BrowseNextRequest next;
            next.continuation_points.push_back(*result.continuation_point);
            auto nr = call(std::move(next), settings_.request_timeout);
            auto* bn = nr ? std::get_if<BrowseNextResponse>(&*nr) : nullptr;
            if (!bn || bn->results.size() != 1 || is_bad(bn->results[0].status_code)) {
                release_walk();
                return std::nullopt;
            }
            open_point_.reset();
            result = std::move(bn->results[0]);
        }
        cache_[node] = out;
        return out;
    }

    // Releases a continuation point still held by an abandoned listing.
    void release_walk() {
        if (!open_point_) return;
        BrowseNextRequest release;
        release.release_continuation_points = true;
        release.continuation_points.push_back(*open_point_);
        open_point_.reset();
        loop_->request(id_, std::move(release)); // no need to wait for the answer
    }

    static BrowseDescription hierarchical(const NodeId& node) {
        BrowseDescription d;
        d.node_id = node;
        d.reference_type_id = NodeId::numeric_id(0, node::HierarchicalReferences);
        d.include_subtypes = true;
        d.node_class_mask = node_class::Object | node_class::Variable;
        return d;
    }

    static void append(std::vector<Reference>& out, const BrowseResult& result) {
        for (const ReferenceDescription& ref : result.references) {
            if (ref.reference_type_id == NodeId::numeric_id(0, node::HasProperty)) continue;
            out.push_back(Reference{ref.browse_name.name.value_or(""), ref.node_id.node_id, ref.node_class});
        }
    }

    // Fills the cache for many nodes with one Browse per kPrefetch nodes (a
    // walk would otherwise cost a round trip per leaf). Nodes whose listing
    // does not finish here are left to children().
    void prefetch(const std::vector<NodeId>& nodes) {
        constexpr size_t kPrefetch = 200;
        std::vector<NodeId> wanted;
        for (const NodeId& n : nodes)
            if (!cache_.count(n)) wanted.push_back(n);
        for (size_t at = 0; at < wanted.size(); at += kPrefetch) {
            BrowseRequest b;
            b.requested_max_references_per_node = kMaxReferencesPerNode;
            for (size_t k = at; k < std::min(wanted.size(), at + kPrefetch); ++k)
                b.nodes_to_browse.push_back(hierarchical(wanted[k]));
            const size_t count = b.nodes_to_browse.size();
            auto r = call(std::move(b), settings_.request_timeout);
            auto* br = r ? std::get_if<BrowseResponse>(&*r) : nullptr;
            if (!br || br->results.size() != count) return;
            BrowseNextRequest release;
            release.release_continuation_points = true;
            for (size_t k = 0; k < count; ++k) {
                const BrowseResult& result = br->results[k];
                if (result.continuation_point && !result.continuation_point->empty()) {
                    release.continuation_points.push_back(*result.continuation_point); // children() lists it
                    continue;
                }
                if (is_bad(result.status_code)) continue;
                std::vector<Reference> refs;
                append(refs, result);
                cache_[wanted[at + k]] = std::move(refs);
            }
            if (!release.continuation_points.empty()) loop_->request(id_, std::move(release));
        }
    }

    void walk(const NodeId& node, int depth, bool root, std::set<NodeId>& visited, SteadyTime deadline,
              std::vector<std::string>& out) {
        if (depth >= kWalkDepth || out.size() >= kWalkIds || SteadyClock::now() >= deadline) return;
        auto refs = children(node);
        if (!refs) return;
        if (depth + 1 < kWalkDepth) {
            std::vector<NodeId> next;
            for (const Reference& r : *refs)
                if (!visited.count(r.node) && !(root && r.node.namespace_index == 0)) next.push_back(r.node);
            prefetch(next);
        }
        for (const Reference& r : *refs) {
            if (out.size() >= kWalkIds || SteadyClock::now() >= deadline) return;
            if (root && r.node.namespace_index == 0) continue;
            if (!visited.insert(r.node).second) continue; // reference cycles
            if (r.node_class == node_class::Variable) out.push_back(format_node_id(r.node));
            walk(r.node, depth + 1, false, visited, deadline, out);
        }
    }

    // Dotted BrowseNames from Objects; a name may itself hold dots, so at each
    // level the longest run of segments that names a child is tried first.
    std::optional<NodeId> resolve_path(const std::vector<std::string>& segments, bool branches_only,
                                       size_t from = 0, std::optional<NodeId> at = std::nullopt, int depth = 0) {
        const NodeId here = at ? *at : objects();
        if (from == segments.size()) return here;
        if (depth > 32) return std::nullopt;
        auto refs = children(here);
        if (!refs) return std::nullopt;
        for (size_t end = segments.size(); end > from; --end) {
            std::string name = segments[from];
            for (size_t k = from + 1; k < end; ++k) name += "." + segments[k];
            for (const Reference& r : *refs) {
                if (r.name != name) continue;
                const bool last = end == segments.size();
                if (branches_only && r.node_class != node_class::Object) continue;
                if (!last && r.node_class != node_class::Object && r.node_class != node_class::Variable) continue;
                if (auto found = resolve_path(segments, branches_only, end, r.node, depth + 1)) return found;
            }
        }
        return std::nullopt;
    }

    // An item id: NodeId text (nsu= through NamespaceArray) or a dotted path.
    std::optional<NodeId> resolve_id(const std::string& id) {
        if (id.find('=') != std::string::npos) {
            auto parsed = parse_node_id(id);
            if (!parsed) return std::nullopt;
            if (!parsed->namespace_uri) return parsed->node_id;
            auto it = std::find(namespaces_.begin(), namespaces_.end(), *parsed->namespace_uri);
            if (it == namespaces_.end()) return std::nullopt;
            NodeId n = parsed->node_id;
            n.namespace_index = static_cast<uint16_t>(it - namespaces_.begin());
            return n;
        }
        return resolve_path(split(id), false);
    }

    // The built-in type of a DataType outside the table: up the HasSubtype chain.
    uint8_t builtin_of(NodeId type, const DataValue& value) {
        for (int step = 0; step < 10; ++step) {
            if (type.namespace_index == 0 && type.type == IdType::Numeric &&
                (type.numeric == node::BaseDataType || type.numeric == node::Number ||
                 type.numeric == node::Integer || type.numeric == node::UInteger))
                return value.value ? value.value->type() : 0; // abstract: the value's own type
            if (auto b = builtin_of_data_type(type)) return *b;
            BrowseRequest b;
            BrowseDescription d;
            d.node_id = type;
            d.browse_direction = BrowseDirection::Inverse;
            d.reference_type_id = NodeId::numeric_id(0, node::HasSubtype);
            d.include_subtypes = false;
            b.nodes_to_browse.push_back(d);
            auto r = call(std::move(b), settings_.request_timeout);
            auto* br = r ? std::get_if<BrowseResponse>(&*r) : nullptr;
            if (!br || br->results.size() != 1 || br->results[0].references.empty()) return 0;
            type = br->results[0].references[0].node_id.node_id;
        }
        return 0;
    }

    // Resolves `items` and reads their DataType, ValueRank, UserAccessLevel
    // (and Value, for abstract types), kBatch / 4 items a Read, each batch's
    // ids resolved just before it: what the worker holds stays small however
    // many items came. Unknown ids report quality 0 once.
    void describe(const std::vector<int32_t>& items) {
        std::vector<std::pair<int32_t, std::optional<NodeId>>> nodes;
        for (size_t next = 0; next < items.size();) {
            nodes.clear();
            {
                std::lock_guard browse(browse_mu_);
                for (; next < items.size() && nodes.size() < kBatch / 4; ++next) {
                    std::string id;
                    {
                        std::lock_guard lock(mu_);
                        auto it = items_.find(items[next]);
                        if (it == items_.end() || it->second.described) continue;
                        auto text = ids_.find(items[next]);
                        if (text == ids_.end()) continue;
                        id = text->second;
                    }
                    nodes.emplace_back(items[next], resolve_id(id));
                }
            }
            if (!describe_nodes(nodes)) return; // the connection's trouble, not the items': tried again at a write
        }
    }

    // Reads the type, rank and access of `nodes`, subscribes the known ones
    // and reports the others; false when the Read went unanswered.
    bool describe_nodes(std::vector<std::pair<int32_t, std::optional<NodeId>>>& nodes) {
        if (nodes.empty()) return true;
        ReadRequest read;
        for (size_t k = 0; k < nodes.size(); ++k)
            for (uint32_t attr : {attribute::DataType, attribute::ValueRank, attribute::UserAccessLevel,
                                  attribute::Value}) {
                ReadValueId r;
                r.node_id = nodes[k].second.value_or(NodeId{});
                r.attribute_id = attr;
                read.nodes_to_read.push_back(r);
            }
        auto values = read_values(std::move(read), settings_.request_timeout);
        if (!values) return false;
        struct Unknown {
            int32_t group, item;
            std::string id;
            StatusCode why;
        };
        std::vector<Unknown> unknown; // reported without mu_
        std::vector<std::pair<int32_t, NodeId>> monitored; // known items, to subscribe
        for (size_t k = 0; k < nodes.size(); ++k) {
            const DataValue* v = &(*values)[k * 4];
            const NodeId* type = v[0].value ? v[0].value->get<kNodeId>() : nullptr;
            const bool known = nodes[k].second && type && !is_bad(v[0].status.value_or(0));
            ItemRec rec;
            if (known) {
                rec.known = true;
                rec.builtin = builtin_of(*type, v[3]);
                const int32_t* rank = v[1].value ? v[1].value->get<kInt32>() : nullptr;
                rec.value_rank = rank ? *rank : -1;
                const uint8_t* access = v[2].value ? v[2].value->get<kByte>() : nullptr;
                rec.access = access ? *access : 0;
            }
            std::lock_guard lock(mu_);
            auto it = items_.find(nodes[k].first);
            if (it == items_.end()) continue;
            rec.group = it->second.group;
            rec.described = true;
            if (known) {
                monitored.emplace_back(nodes[k].first, std::move(*nodes[k].second));
                ids_.erase(nodes[k].first); // a known item needs its id no more
            } else {
                StatusCode why = v[0].status.value_or(status::Good);
                if (!nodes[k].second || !is_bad(why)) why = status::BadNodeIdUnknown;
                auto text = ids_.find(nodes[k].first);
                unknown.push_back({rec.group, nodes[k].first, text != ids_.end() ? text->second : "", why});
            }
            it->second = std::move(rec);
        }
        {
            // The side table emptied as items became known: its buckets go too.
            std::lock_guard lock(mu_);
            if (ids_.bucket_count() > 4 * ids_.size() + 64) ids_.rehash(0);
        }
        subscribe(monitored);
        // The sink takes the service's lock, which is held while it calls into
        // this backend: never push with mu_ held.
        for (const Unknown& u : unknown) {
            VARIANT empty;
            VariantInit(&empty);
            sink_.push(server_, u.group, u.item, std::move(empty), static_cast<uint64_t>(clock_.filetime()), 0);
            const std::string reason = format_status(u.why);
            OstrandEvent e{};
            e.kind = OSTRAND_EVENT_ITEM_FAILED;
            e.server = server_;
            e.group = u.group;
            e.item = u.item;
            e.item_id = u.id.c_str();
            e.status = u.why;
            e.reason = reason.c_str();
            e.outage_ms = -1;
            emit_event(e);
        }
        return true;
    }

    // Hands described items to their groups' subscriptions. A deadband needs
    // the EURange of numeric items, in case the server takes only an absolute one.
    void subscribe(const std::vector<std::pair<int32_t, NodeId>>& items) {
        if (items.empty()) return;
        std::vector<NodeId> ranged;
        {
            std::lock_guard lock(mu_);
            for (const auto& [item, node] : items) {
                auto it = items_.find(item);
                if (it == items_.end()) continue;
                auto g = groups_.find(it->second.group);
                if (g != groups_.end() && g->second.deadband > 0 && is_numeric(it->second.builtin)) ranged.push_back(node);
            }
        }
        const std::map<NodeId, Range> ranges = eu_ranges(ranged);
        std::map<int32_t, std::vector<MonitoredSpec>> by_group;
        // Posted under mu_: a removal of one of these items is posted before or after, never between.
        std::lock_guard lock(mu_);
        for (const auto& [item, node] : items) {
            auto it = items_.find(item);
            if (it == items_.end()) continue;
            MonitoredSpec spec;
            spec.handle = static_cast<uint32_t>(item);
            spec.node = node;
            if (auto r = ranges.find(node); r != ranges.end()) spec.eu_range = r->second;
            by_group[it->second.group].push_back(std::move(spec));
        }
        for (auto& entry : by_group) {
            const auto group = static_cast<uint32_t>(entry.first);
            loop_->post_to(id_, [feed = feed_, group, specs = std::move(entry.second)](RequestPort* port,
                                                                                      SteadyTime now) mutable {
                feed->added(specs.size());
                feed->set().add_items(port, group, std::move(specs), now);
            });
        }
    }

    static bool is_numeric(uint8_t builtin) { return builtin >= kSByte && builtin <= kDouble; }

    // The EURange property of each node that has one: one Browse for the
    // properties, one Read for the ranges.
    std::map<NodeId, Range> eu_ranges(const std::vector<NodeId>& nodes) {
        std::map<NodeId, Range> out;
        for (size_t at = 0; at < nodes.size(); at += kBatch / 4) {
            const size_t end = std::min(nodes.size(), at + kBatch / 4);
            BrowseRequest b;
            for (size_t k = at; k < end; ++k) {
                BrowseDescription d;
                d.node_id = nodes[k];
                d.reference_type_id = NodeId::numeric_id(0, node::HasProperty);
                d.include_subtypes = true;
                d.node_class_mask = node_class::Variable;
                b.nodes_to_browse.push_back(d);
            }
            auto r = call(std::move(b), settings_.request_timeout);
            auto* br = r ? std::get_if<BrowseResponse>(&*r) : nullptr;
            if (!br || br->results.size() != end - at) return out;
            ReadRequest read;
            std::vector<NodeId> owners;
            for (size_t k = at; k < end; ++k) {
                for (const ReferenceDescription& ref : br->results[k - at].references) {
                    if (ref.browse_name.name.value_or("") != "EURange") continue;
                    ReadValueId v;
                    v.node_id = ref.node_id.node_id;
                    read.nodes_to_read.push_back(v);
                    owners.push_back(nodes[k]);
                    break;
                }
            }
            if (owners.empty()) continue;
            auto values = read_values(std::move(read), settings_.request_timeout);
            if (!values) return out;
            for (size_t k = 0; k < owners.size(); ++k) {
                const DataValue& dv = (*values)[k];
                const ExtensionObject* e = dv.value ? dv.value->get<kExtensionObject>() : nullptr;
                if (!e) continue;
                if (auto range = from_extension<Range>(*e); range && range->high > range->low) out[owners[k]] = *range;
            }
        }
        return out;
    }

    void work() {
        std::unique_lock lock(mu_);
        while (!stopping_) {
            cv_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (stopping_) break;
            cv_.wait_for(lock, kBatchDelay, [this] { return stopping_; }); // let a burst gather
            std::vector<int32_t> batch = std::move(pending_);
            pending_.clear();
            lock.unlock();
            describe(batch);
            // Describing takes heap in passing (the ids resolved, Reads and
            // their answers) in this thread's own arena, which the I/O
            // thread's trim may have passed over before it was freed.
            described_ += batch.size();
            if (described_ >= kReleaseAfterItems) {
                described_ = 0;
                malloc_trim(0);
            }
            lock.lock();
        }
    }

    std::shared_ptr<UaLoop> loop_;
    UaLoop::ConnectionId id_;
    std::shared_ptr<Feed> feed_;
    int32_t server_;
    ChangeSink& sink_;
    UaSettings settings_;
    SystemClock& clock_;
    std::vector<std::string> namespaces_; // written before the worker starts

    std::mutex mu_; // groups, items, the worker's queue
    std::condition_variable cv_;
    bool stopping_ = false;
    std::map<int32_t, GroupRec> groups_;
    ItemTable<ItemRec> items_;
    std::unordered_map<int32_t, std::string> ids_; // under mu_: the id of each item not (yet) known
    std::vector<int32_t> pending_;
    size_t described_ = 0; // worker only: items described since the heap was last trimmed
    std::thread worker_;

    std::mutex browse_mu_; // cursor and cache; taken before mu_
    NodeId position_ = objects();
    bool at_root_ = true;
    std::map<NodeId, std::vector<Reference>> cache_;
    ByteString open_point_;

    std::mutex status_mu_;
    int64_t start_time_; // the server's, once read; the connect time until then
    int64_t lost_at_ = 0;
    uint16_t major_ = 0, minor_ = 0, build_ = 0;
};

SystemClock& system_clock() {
    static SystemClock clock;
    return clock;
}

} // namespace

std::shared_ptr<Backend> connect_ua_backend(std::shared_ptr<UaLoop> loop, const std::string& url, int32_t server,
                                            ChangeSink& sink, const UaSettings& settings) {
    StatusCode why = status::Good;
    return connect_ua_backend(std::move(loop), url, server, sink, settings, [] { return false; }, &why);
}

std::shared_ptr<Backend> connect_ua_backend(std::shared_ptr<UaLoop> loop, const std::string& url, int32_t server,
                                            ChangeSink& sink, const UaSettings& settings,
                                            const std::function<bool()>& cancelled, StatusCode* why) {
    UaLoop::ConnectionId id = 0;
    auto feed = std::make_shared<Feed>(server, sink, settings, system_clock(), url);
    auto done = loop->open(url, settings, &id, std::shared_ptr<SessionListener>(feed, feed.get()));
    const auto limit = std::chrono::steady_clock::now() + settings.connect_total + settings.request_grace;
    while (!done->wait_for(Millis(50)) && !cancelled() && std::chrono::steady_clock::now() < limit) {
    }
    if (!done->done() || done->status() != status::Good) {
        *why = done->done() ? done->status() : status::BadTimeout;
        set_last_status(format_status(*why));
        if (const std::string text = ua::security_refusal(done->done() ? done->status() : status::Good); !text.empty())
            std::fprintf(stderr, "ostrand: %s: %s\n", url.c_str(), text.c_str());
        if (id != 0) loop->close(id);
        return nullptr;
    }
    *why = status::Good;
    return std::make_shared<UaBackend>(std::move(loop), id, std::move(feed), server, sink, settings, system_clock());
}

} // namespace ostrand
