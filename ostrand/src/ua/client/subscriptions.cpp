#include "ua/client/subscriptions.h"

#include "item_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace ostrand::ua {

namespace {

constexpr size_t kMaxItemsPerCreate = 500;    // per CreateMonitoredItems/DeleteMonitoredItems
constexpr size_t kMaxCreatesInFlight = 4;     // CreateMonitoredItems requests out at once
constexpr size_t kMaxNodesPerRead = 1000;     // per refresh Read
constexpr uint32_t kMaxRepublishPerGap = 100; // a longer gap is repaired by a Read
constexpr size_t kMaxRepublishInFlight = 200;
constexpr size_t kMaxPendingAcks = 1000;
constexpr size_t kMaxForeignDeleted = 1000;
constexpr uint32_t kMaxNotificationsPerPublish = 10000;
constexpr size_t kMaxPublishes = 5;
constexpr DateTime kNoTime = std::numeric_limits<DateTime>::min(); // older than any time
constexpr Millis kPublishHint{5000};  // added to the keep-alive interval
constexpr Millis kFaultHoldOff{1000}; // before a Publish refused for an unknown reason goes again

// A NodeId as the per-item record keeps it: 16 bytes where a NodeId takes 40.
// A number, and a text or opaque id of up to 12 bytes, stay inline; a longer
// one and a Guid's last twelve bytes go to one heap block of their own,
// length first.
class PackedNodeId {
public:
    PackedNodeId() = default;
    explicit PackedNodeId(const NodeId& n) : ns_(n.namespace_index), type_(n.type) {
        const std::string& s = n.string;
        if (s.empty()) {
            std::memcpy(body_, &n.numeric, 4);
        } else if (n.numeric == 0 && s.size() <= sizeof body_) {
            len_ = static_cast<uint8_t>(s.size());
            std::memcpy(body_, s.data(), s.size());
        } else {
            len_ = kFar;
            std::memcpy(body_, &n.numeric, 4);
            set_far(s.data(), s.size());
        }
    }
    PackedNodeId(const PackedNodeId&) = delete; // a record is never copied
    PackedNodeId(PackedNodeId&& o) noexcept : ns_(o.ns_), type_(o.type_), len_(o.len_) {
        std::memcpy(body_, o.body_, sizeof body_);
        o.len_ = 0; // the block is ours now
        std::memset(o.body_, 0, sizeof o.body_);
    }
    PackedNodeId& operator=(PackedNodeId o) noexcept {
        std::swap(ns_, o.ns_);
        std::swap(type_, o.type_);
        std::swap(len_, o.len_);
        std::swap(body_, o.body_);
        return *this;
    }
    ~PackedNodeId() {
        if (len_ == kFar) delete[] far();
    }

    NodeId unpack() const {
        NodeId n;
        n.namespace_index = ns_;
        n.type = type_;
        if (len_ == 0 || len_ == kFar) std::memcpy(&n.numeric, body_, 4);
        if (len_ == kFar) {
            const char* f = far();
            uint32_t size;
            std::memcpy(&size, f, 4);
            n.string.assign(f + 4, size);
        } else if (len_ > 0) {
            n.string.assign(body_, len_);
        }
        return n;
    }

private:
    static constexpr uint8_t kFar = 0xFF;
    char* far() const {
        char* f;
        std::memcpy(&f, body_ + 4, sizeof f);
        return f;
    }
    void set_far(const char* data, size_t size) {
        char* f = new char[4 + size];
        const auto n = static_cast<uint32_t>(size); // a NodeId's text is far below 4 GiB
        std::memcpy(f, &n, 4);
        std::memcpy(f + 4, data, size);
        std::memcpy(body_ + 4, &f, sizeof f);
    }

    uint16_t ns_ = 0;
    IdType type_ = IdType::Numeric;
    uint8_t len_ = 0;    // of the text inline; 0: a number; kFar: number and heap block
    char body_[12] = {}; // the number or the text; with kFar, the block's address after the number
};
static_assert(sizeof(PackedNodeId) == 16);

bool filter_refused(StatusCode s) {
    switch (status_code_only(s)) {
    case status::BadMonitoredItemFilterUnsupported:
    case status::BadDeadbandFilterInvalid:
    case status::BadFilterNotAllowed:
    case status::BadMonitoredItemFilterInvalid:
        return true;
    default:
        return false;
    }
}

uint32_t ceil_count(double numerator, double interval) {
    const double v = std::ceil(numerator / interval);
    if (!(v >= 1)) return 1;
    return v >= 4e9 ? 4000000000u : static_cast<uint32_t>(v);
}

} // namespace

struct SubscriptionSet::State {
    // The filter an item asks for next: Percent first, then the fallbacks.
    enum class Filter : uint8_t { Percent, Absolute, None };
    enum class ItemState : uint8_t { Wanted, Creating, Live, Failed };

    struct Item {
        uint32_t group = 0;
        uint32_t monitored_id = 0; // the server's id while Live
        DateTime last_source = kNoTime; // of the last value delivered
        PackedNodeId node;
        // Of the EURange, for the Absolute fallback; NaN without one. Kept
        // as one float, and the time above without an optional, as there is
        // one record per item: 40 bytes in all.
        float eu_span = std::numeric_limits<float>::quiet_NaN();
        ItemState state = ItemState::Wanted;
        Filter filter = Filter::Percent;
        bool queued = false; // in create_queue
    };
    static_assert(sizeof(Item) <= 40);

    struct Group {
        double interval = 0; // requested, ms
        float deadband = 0;
        double revised = 0;               // granted publishing interval
        double keep_alive_ms = 0;         // granted keep-alive period
        uint32_t sub_id = 0;              // 0: no subscription at the server
        uint32_t create_request = 0;      // CreateSubscription in flight
        uint32_t last_sequence = 0;       // of the last data message seen
        bool refreshing = false;          // a repair Read is in flight
        std::optional<StatusCode> failed; // the server refused the subscription
    };

    enum class Kind : uint8_t {
        CreateSub,
        DeleteSub,
        CreateItems,
        DeleteItems,
        Publish,
        Republish,
        Refresh,
        StateRead
    };

    struct Pending {
        Kind kind = Kind::Publish;
        uint32_t group = 0;
        uint32_t sub_id = 0;
        uint64_t epoch = 0;                            // Publish: grant_epoch when sent
        std::vector<uint32_t> handles;                 // CreateItems, Refresh
        std::vector<SubscriptionAcknowledgement> acks; // Publish
        double interval = 0;                           // CreateSub: the requested interval
        std::function<void(StatusCode, double)> done;  // CreateSub
    };

    State(NotificationSink& k, const UaSettings& s) : sink(k), settings(s) {}

    NotificationSink& sink;
    const UaSettings settings; // a copy: the caller's settings may be a temporary
    std::unordered_map<uint32_t, Group> groups;
    ItemTable<Item> items; // by client handle
    DataChangeNotification data_changes; // each message's decoded over the last one's
    std::unordered_map<uint32_t, uint32_t> subs; // granted subscription id -> group
    std::unordered_map<uint32_t, Pending> pending;
    std::vector<uint32_t> create_queue;                               // handles
    std::unordered_map<uint32_t, std::vector<uint32_t>> delete_queue; // sub id -> monitored ids
    std::vector<uint32_t> subs_to_delete;                             // while down
    std::unordered_set<uint32_t> foreign_deleted;                     // orphans already deleted
    std::vector<SubscriptionAcknowledgement> acks;
    bool connected = false;
    bool lost_notified = false;
    StatusCode lost_status = status::Good; // the watchdog's verdict, reported by tick
    SteadyTime lost_at{};                  // when it was reached
    size_t outstanding = 0;
    size_t max_publishes = kMaxPublishes; // lowered by BadTooManyPublishRequests
    size_t republishes = 0;
    uint64_t grant_epoch = 0;
    double longest_keep_alive = 0;
    SteadyTime batch_due = SteadyTime::max();
    SteadyTime last_publish_answer{};
    SteadyTime publish_hold = SteadyTime::min();
    SteadyTime next_state_read = SteadyTime::max();
    uint32_t state_request = 0;

    // ---- Helpers --------------------------------------------------------------

    uint32_t send(RequestPort& port, Request r, SteadyTime now, Pending p,
                  std::optional<Millis> timeout = {}) {
        const uint32_t id = port.request(std::move(r), now, timeout);
        if (id != 0) pending.insert_or_assign(id, std::move(p));
        return id;
    }

    uint32_t keep_alive_count(double interval) const {
        return ceil_count(static_cast<double>(settings.keep_alive_interval.count()), interval);
    }

    void update_longest_keep_alive() {
        longest_keep_alive = 0;
        for (const auto& [sub, g] : subs) {
            if (auto it = groups.find(g); it != groups.end())
                longest_keep_alive = std::max(longest_keep_alive, it->second.keep_alive_ms);
        }
    }

    Millis watchdog_limit() const {
        const double twice = 2 * longest_keep_alive;
        const Millis ka = twice >= 1e9 ? Millis{1000000000} : Millis{static_cast<int64_t>(std::ceil(twice))};
        return std::max(ka, settings.keep_alive_minimum);
    }

    Millis publish_timeout() const {
        const double ka = std::min(longest_keep_alive, 1e9);
        return Millis{static_cast<int64_t>(std::ceil(ka))} + kPublishHint;
    }

    void schedule_batch(SteadyTime now) { batch_due = std::min(batch_due, now + settings.batch_delay); }

    void queue_create(uint32_t handle, Item& item, SteadyTime now) {
        item.state = ItemState::Wanted;
        item.monitored_id = 0;
        if (!item.queued) {
            item.queued = true;
            create_queue.push_back(handle);
        }
        schedule_batch(now);
    }

    void fail_item(uint32_t handle, Item& item, StatusCode why) {
        item.state = ItemState::Failed;
        item.monitored_id = 0;
        sink.item_failed(item.group, handle, why);
    }

    // Delivers `v` unless it is older than the last value delivered.
    void deliver_if_newer(uint32_t handle, Item& item, const DataValue& v) {
        if (v.source_timestamp && *v.source_timestamp < item.last_source) return;
        if (v.source_timestamp) item.last_source = *v.source_timestamp;
        sink.data_change(item.group, handle, v);
    }

    // The answer as T, and the status that decides: the fault, else the
    // answer's service result (BadUnknownResponse for an answer of another type).
    template <class T>
    static std::pair<const T*, StatusCode> answer_of(const Response& response, StatusCode fault) {
        const auto* a = std::get_if<T>(&response);
        if (fault != status::Good) return {a, fault};
        return {a, a ? a->header.service_result : status::BadUnknownResponse};
    }

    // ---- Subscriptions ----------------------------------------------------------

    void create_subscription(RequestPort& port, uint32_t group_id, Group& g, SteadyTime now,
                             std::function<void(StatusCode, double)> done) {
        CreateSubscriptionRequest r;
        r.requested_publishing_interval = g.interval;
        r.requested_max_keep_alive_count = keep_alive_count(g.interval);
        r.requested_lifetime_count =
            std::max(3 * r.requested_max_keep_alive_count, ceil_count(60000.0, g.interval));
        r.max_notifications_per_publish = kMaxNotificationsPerPublish;
        r.publishing_enabled = true;
        r.priority = 0;
        Pending p;
        p.kind = Kind::CreateSub;
        p.group = group_id;
        p.interval = g.interval;
        p.done = std::move(done);
        const uint32_t id = port.request(std::move(r), now);
        if (id == 0) {
            // Not sent: the next session creates it.
            if (p.done) p.done(status::Good, g.interval);
            return;
        }
        g.create_request = id;
        pending.insert_or_assign(id, std::move(p));
    }

    void delete_subscription(RequestPort* port, uint32_t sub_id, SteadyTime now) {
        delete_queue.erase(sub_id);
        if (port) {
            DeleteSubscriptionsRequest r;
            r.subscription_ids.push_back(sub_id);
            Pending p;
            p.kind = Kind::DeleteSub;
            if (send(*port, std::move(r), now, std::move(p)) != 0) return;
        }
        if (subs_to_delete.size() < kMaxForeignDeleted) subs_to_delete.push_back(sub_id);
    }

    // Deletions that could not go out while the connection was down.
    void flush_subscription_deletes(RequestPort& port, SteadyTime now) {
        for (uint32_t id : std::exchange(subs_to_delete, {}))
            delete_subscription(&port, id, now);
    }

    void forget_subscription(uint32_t group_id, Group& g) {
        if (g.sub_id != 0) {
            auto it = subs.find(g.sub_id);
            if (it != subs.end() && it->second == group_id) subs.erase(it);
            delete_queue.erase(g.sub_id);
        }
        g.sub_id = 0;
        g.last_sequence = 0;
        g.refreshing = false;
        update_longest_keep_alive();
    }

    // The server lost this subscription: a new one, and its items again.
    void recreate(RequestPort& port, uint32_t sub_id, SteadyTime now) {
        auto it = subs.find(sub_id);
        if (it == subs.end()) return;
        const uint32_t group_id = it->second;
        auto g = groups.find(group_id);
        if (g == groups.end()) {
            subs.erase(it);
            return;
        }
        forget_subscription(group_id, g->second);
        for (auto& [handle, item] : items) {
            if (item.group == group_id && item.state != ItemState::Failed) {
                item.state = ItemState::Wanted;
                item.monitored_id = 0;
            }
        }
        if (g->second.create_request == 0) create_subscription(port, group_id, g->second, now, {});
    }

    void on_created(RequestPort& port, uint32_t id, Pending& p, const Response& response, StatusCode fault,
                    SteadyTime now) {
        const auto [answer, st] = answer_of<CreateSubscriptionResponse>(response, fault);
        auto g = groups.find(p.group);
        // A group removed and added again under the same id awaits its own answer.
        if (g != groups.end() && g->second.create_request != id) g = groups.end();
        if (g != groups.end()) g->second.create_request = 0;
        if (!is_bad(st) && answer) {
            const double revised =
                answer->revised_publishing_interval > 0 ? answer->revised_publishing_interval : p.interval;
            if (g == groups.end() || subs.contains(answer->subscription_id) || g->second.sub_id != 0) {
                // Removed meanwhile, or an id we already hold: not ours to keep.
                delete_subscription(&port, answer->subscription_id, now);
            } else {
                Group& group = g->second;
                const uint32_t ka = answer->revised_max_keep_alive_count != 0
                                        ? answer->revised_max_keep_alive_count
                                        : keep_alive_count(group.interval);
                if (subs.empty()) last_publish_answer = now;
                group.sub_id = answer->subscription_id;
                group.revised = revised;
                group.keep_alive_ms = revised * ka;
                group.last_sequence = 0;
                group.failed.reset();
                subs[group.sub_id] = p.group;
                ++grant_epoch;
                update_longest_keep_alive();
                for (auto& [handle, item] : items)
                    if (item.group == p.group && item.state == ItemState::Wanted)
                        queue_create(handle, item, now);
            }
            if (p.done) p.done(status::Good, revised);
            fill_publishes(port, now);
            return;
        }
        if (st == status::BadTimeout && fault != status::Good && g != groups.end()) {
            // No answer in time: the group must still get its subscription.
            if (p.done) p.done(status::Good, p.interval);
            create_subscription(port, p.group, g->second, now, {});
            return;
        }
        if (p.done) p.done(st, p.interval);
        if (g == groups.end()) return;
        g->second.failed = st;
        for (auto& [handle, item] : items)
            if (item.group == p.group && item.state != ItemState::Failed) fail_item(handle, item, st);
    }

    // ---- Monitored items --------------------------------------------------------

    ExtensionObject filter_for(const Group& g, const Item& item) const {
        if (!(g.deadband > 0)) return {};
        DataChangeFilter f;
        f.trigger = DataChangeTrigger::StatusValue;
        switch (item.filter) {
        case Filter::Percent:
            f.deadband_type = DeadbandType::Percent;
            f.deadband_value = g.deadband;
            break;
        case Filter::Absolute:
            f.deadband_type = DeadbandType::Absolute;
            f.deadband_value = g.deadband / 100.0 * item.eu_span;
            break;
        case Filter::None:
            return {};
        }
        return to_extension(f);
    }

    // The next filter after a refusal; false when there is none left to try.
    static bool fall_back(const Group& g, Item& item) {
        if (!(g.deadband > 0) || item.filter == Filter::None) return false;
        if (item.filter == Filter::Percent) {
            if (std::isfinite(item.eu_span) && item.eu_span > 0) {
                item.filter = Filter::Absolute;
                return true;
            }
        }
        item.filter = Filter::None;
        return true;
    }

    void flush_creates(RequestPort& port, SteadyTime now) {
        if (create_queue.empty()) return;
        // Per group in handle order, at most 500 per request.
        std::vector<std::pair<uint32_t, uint32_t>> work; // group, handle
        work.reserve(create_queue.size());
        for (uint32_t handle : create_queue) {
            auto it = items.find(handle);
            if (it == items.end() || !it->second.queued) continue;
            it->second.queued = false;
            if (it->second.state != ItemState::Wanted) continue;
            auto g = groups.find(it->second.group);
            if (g == groups.end() || g->second.sub_id == 0) continue; // created with its subscription
            work.emplace_back(it->second.group, handle);
        }
        create_queue.clear();
        std::sort(work.begin(), work.end());
        size_t in_flight = 0;
        for (const auto& [id, p] : pending) in_flight += p.kind == Kind::CreateItems ? 1 : 0;
        for (size_t begin = 0; begin < work.size();) {
            if (in_flight >= kMaxCreatesInFlight) {
                // The rest waits for an answer (see on_event): a large load
                // goes out a few requests at a time, not as one burst the
                // server and our send buffers must hold at once.
                for (size_t k = begin; k < work.size(); ++k) {
                    items.at(work[k].second).queued = true;
                    create_queue.push_back(work[k].second);
                }
                break;
            }
            const uint32_t group_id = work[begin].first;
            const Group& g = groups.at(group_id);
            CreateMonitoredItemsRequest r;
            r.subscription_id = g.sub_id;
            r.timestamps_to_return = TimestampsToReturn::Both;
            Pending p;
            p.kind = Kind::CreateItems;
            p.group = group_id;
            p.sub_id = g.sub_id;
            size_t end = begin;
            while (end < work.size() && work[end].first == group_id && end - begin < kMaxItemsPerCreate) {
                const uint32_t handle = work[end].second;
                const Item& item = items.at(handle);
                MonitoredItemCreateRequest m;
                m.item_to_monitor.node_id = item.node.unpack();
                m.item_to_monitor.attribute_id = attribute::Value;
                m.monitoring_mode = MonitoringMode::Reporting;
                m.requested_parameters.client_handle = handle;
                m.requested_parameters.sampling_interval = g.revised;
                m.requested_parameters.filter = filter_for(g, item);
                m.requested_parameters.queue_size = 1;
                m.requested_parameters.discard_oldest = true;
                r.items_to_create.push_back(std::move(m));
                p.handles.push_back(handle);
                ++end;
            }
            std::vector<uint32_t> handles = p.handles;
            if (send(port, std::move(r), now, std::move(p)) != 0) {
                ++in_flight;
                for (uint32_t h : handles)
                    items.at(h).state = ItemState::Creating;
            }
            begin = end;
        }
    }

    void flush_deletes(RequestPort& port, SteadyTime now) {
        for (auto& [sub_id, ids] : delete_queue) {
            if (!subs.contains(sub_id)) continue; // gone with its subscription
            for (size_t begin = 0; begin < ids.size(); begin += kMaxItemsPerCreate) {
                DeleteMonitoredItemsRequest r;
                r.subscription_id = sub_id;
                const size_t end = std::min(ids.size(), begin + kMaxItemsPerCreate);
                r.monitored_item_ids.assign(ids.begin() + static_cast<ptrdiff_t>(begin),
                                            ids.begin() + static_cast<ptrdiff_t>(end));
                Pending p;
                p.kind = Kind::DeleteItems;
                send(port, std::move(r), now, std::move(p));
            }
        }
        delete_queue.clear();
    }

    void on_items_created(RequestPort& port, Pending& p, const Response& response, StatusCode fault,
                          SteadyTime now) {
        const auto [answer, st] = answer_of<CreateMonitoredItemsResponse>(response, fault);
        if (is_bad(st)) {
            if (status_code_only(st) == status::BadSubscriptionIdInvalid)
                return recreate(port, p.sub_id, now);
            if (fault == status::BadTimeout) {
                // Unanswered: ask again (a late answer is dropped by the engine).
                for (uint32_t h : p.handles)
                    if (auto it = items.find(h); it != items.end() && it->second.state == ItemState::Creating)
                        queue_create(h, it->second, now);
                return;
            }
        }
        for (size_t i = 0; i < p.handles.size(); ++i) {
            const uint32_t handle = p.handles[i];
            StatusCode item_st = st;
            uint32_t monitored_id = 0;
            if (!is_bad(st)) {
                if (i < answer->results.size()) {
                    item_st = answer->results[i].status_code;
                    monitored_id = answer->results[i].monitored_item_id;
                } else {
                    item_st = status::BadUnknownResponse;
                }
            }
            auto it = items.find(handle);
            auto g = it == items.end() ? groups.end() : groups.find(it->second.group);
            if (it == items.end() || it->second.state != ItemState::Creating || g == groups.end() ||
                g->second.sub_id != p.sub_id) {
                // Removed (or moved on) while the request was out: do not leave it at the server.
                if (!is_bad(item_st) && subs.contains(p.sub_id)) {
                    delete_queue[p.sub_id].push_back(monitored_id);
                    schedule_batch(now);
                }
                continue;
            }
            Item& item = it->second;
            if (!is_bad(item_st)) {
                item.state = ItemState::Live;
                item.monitored_id = monitored_id;
                if (g->second.deadband > 0 && item.filter != Filter::Percent)
                    sink.deadband_revised(item.group, handle, g->second.deadband, item.filter == Filter::None);
            } else if (filter_refused(item_st) && fall_back(g->second, item)) {
                queue_create(handle, item, now);
            } else {
                fail_item(handle, item, item_st);
            }
        }
    }

    // One Read of the Value of `handles`, delivering only what is not older
    // than the last value of each item.
    void refresh(RequestPort& port, const std::vector<uint32_t>& handles, uint32_t group, SteadyTime now) {
        for (size_t begin = 0; begin < handles.size(); begin += kMaxNodesPerRead) {
            const size_t end = std::min(handles.size(), begin + kMaxNodesPerRead);
            ReadRequest r;
            r.timestamps_to_return = TimestampsToReturn::Both;
            Pending p;
            p.kind = Kind::Refresh;
            p.group = group;
            for (size_t i = begin; i < end; ++i) {
                ReadValueId v;
                v.node_id = items.at(handles[i]).node.unpack();
                v.attribute_id = attribute::Value;
                r.nodes_to_read.push_back(std::move(v));
                p.handles.push_back(handles[i]);
            }
            send(port, std::move(r), now, std::move(p));
        }
    }

    void refresh_group(RequestPort& port, uint32_t group_id, SteadyTime now) {
        auto g = groups.find(group_id);
        if (g == groups.end() || g->second.refreshing) return;
        std::vector<uint32_t> handles;
        for (const auto& [handle, item] : items)
            if (item.group == group_id && item.state == ItemState::Live) handles.push_back(handle);
        std::sort(handles.begin(), handles.end());
        if (handles.empty()) return;
        g->second.refreshing = true;
        refresh(port, handles, group_id, now);
    }

    void on_refresh(const Pending& p, const Response& response) {
        if (p.group != 0)
            if (auto g = groups.find(p.group); g != groups.end()) g->second.refreshing = false;
        const auto* answer = std::get_if<ReadResponse>(&response);
        if (!answer || is_bad(answer->header.service_result)) return;
        const size_t n = std::min(answer->results.size(), p.handles.size());
        for (size_t i = 0; i < n; ++i) {
            auto it = items.find(p.handles[i]);
            if (it == items.end() || it->second.state != ItemState::Live) continue;
            deliver_if_newer(p.handles[i], it->second, answer->results[i]);
        }
    }

    // ---- Publish ----------------------------------------------------------------

    size_t publish_target() const { return std::min({2 + subs.size(), kMaxPublishes, max_publishes}); }

    void fill_publishes(RequestPort& port, SteadyTime now) {
        if (!connected || subs.empty() || now < publish_hold) return;
        publish_hold = SteadyTime::min();
        while (outstanding < publish_target()) {
            PublishRequest r;
            r.subscription_acknowledgements = acks;
            Pending p;
            p.kind = Kind::Publish;
            p.epoch = grant_epoch;
            p.acks = std::move(acks);
            acks.clear();
            const uint32_t id = port.request(std::move(r), now, publish_timeout());
            if (id == 0) {
                acks = std::move(p.acks);
                return;
            }
            pending.insert_or_assign(id, std::move(p));
            ++outstanding;
        }
    }

    // The acknowledgements of a Publish that got no answer go with the next one.
    void requeue_acks(const Pending& p) {
        acks.insert(acks.begin(), p.acks.begin(), p.acks.end());
        if (acks.size() > kMaxPendingAcks)
            acks.erase(acks.begin(), acks.begin() + static_cast<ptrdiff_t>(acks.size() - kMaxPendingAcks));
    }

    void acknowledge(uint32_t sub_id, uint32_t sequence) {
        if (acks.size() >= kMaxPendingAcks) acks.erase(acks.begin());
        acks.push_back({sub_id, sequence});
    }

    // The notifications of one message of `group`; `repaired` (Republish)
    // values are delivered only when not older than the last one.
    void notifications(RequestPort& port, uint32_t sub_id, uint32_t group_id, const NotificationMessage& m,
                       bool repaired, SteadyTime now) {
        // The bodies of one message share one memory budget.
        size_t body_bytes = 0;
        for (const ExtensionObject& e : m.notification_data) body_bytes += e.body.size();
        size_t allocation_left = allocation_budget_for(body_bytes);
        for (const ExtensionObject& e : m.notification_data) {
            if (e.type_id == NodeId::numeric_id(0, DataChangeNotification::kEncodingId)) {
                if (!from_extension(e, data_changes, 0, &allocation_left)) continue;
                for (const MonitoredItemNotification& n : data_changes.monitored_items) {
                    Item* found = items.get(n.client_handle);
                    if (!found || found->group != group_id) continue; // removed
                    Item& item = *found;
                    if (repaired) {
                        deliver_if_newer(n.client_handle, item, n.value);
                        continue;
                    }
                    if (n.value.source_timestamp) item.last_source = *n.value.source_timestamp;
                    sink.data_change(group_id, n.client_handle, n.value);
                }
            } else if (e.type_id == NodeId::numeric_id(0, StatusChangeNotification::kEncodingId)) {
                const auto change = from_extension<StatusChangeNotification>(e, 0, &allocation_left);
                if (!change) continue;
                const StatusCode code = status_code_only(change->status);
                if (code == status::BadTimeout || code == status::GoodSubscriptionTransferred) {
                    recreate(port, sub_id, now);
                    return; // the group's items are being created again
                }
            }
        }
    }

    void republish_gap(RequestPort& port, uint32_t sub_id, uint32_t group_id, uint32_t from, uint32_t count,
                       SteadyTime now) {
        if (count > kMaxRepublishPerGap || republishes + count > kMaxRepublishInFlight)
            return refresh_group(port, group_id, now);
        for (uint32_t i = 0; i < count; ++i) {
            if (from + i == 0) continue;
            RepublishRequest r;
            r.subscription_id = sub_id;
            r.retransmit_sequence_number = from + i;
            Pending p;
            p.kind = Kind::Republish;
            p.group = group_id;
            p.sub_id = sub_id;
            if (send(port, std::move(r), now, std::move(p)) != 0) ++republishes;
        }
    }

    void on_publish(RequestPort& port, Pending& p, const Response& response, StatusCode fault,
                    SteadyTime now) {
        if (outstanding > 0) --outstanding;
        const auto [answer, st] = answer_of<PublishResponse>(response, fault);
        if (is_bad(st)) {
            switch (status_code_only(st)) {
            case status::BadTooManyPublishRequests:
                // One fewer; refused even with one, it waits a little.
                if (publish_target() > 1)
                    max_publishes = publish_target() - 1;
                else
                    publish_hold = now + kFaultHoldOff;
                break;
            case status::BadNoSubscription:
                // After the last deletion this is normal. Sent after every
                // current subscription was granted, it means the server has
                // none of them any more.
                if (!subs.empty() && p.epoch == grant_epoch) {
                    std::vector<uint32_t> ids;
                    for (const auto& [sub, g] : subs)
                        ids.push_back(sub);
                    for (uint32_t id : ids)
                        recreate(port, id, now);
                }
                return fill_publishes(port, now);
            case status::BadTimeout:
            case status::BadConnectionClosed:
                break;
            default:
                publish_hold = now + kFaultHoldOff;
                break;
            }
            requeue_acks(p);
            return fill_publishes(port, now);
        }
        last_publish_answer = now;
        const size_t n = std::min(answer->results.size(), p.acks.size());
        for (size_t i = 0; i < n; ++i)
            if (status_code_only(answer->results[i]) == status::BadSubscriptionIdInvalid)
                recreate(port, p.acks[i].subscription_id, now);
        handle_message(port, *answer, now);
        fill_publishes(port, now);
    }

    void handle_message(RequestPort& port, const PublishResponse& answer, SteadyTime now) {
        const uint32_t sub_id = answer.subscription_id;
        auto s = subs.find(sub_id);
        if (s == subs.end()) {
            // Not one of ours (an orphan of a lost creation): delete it once.
            if (sub_id != 0 && foreign_deleted.size() < kMaxForeignDeleted &&
                foreign_deleted.insert(sub_id).second)
                delete_subscription(&port, sub_id, now);
            return;
        }
        const NotificationMessage& m = answer.notification_message;
        const uint32_t group_id = s->second;
        auto g = groups.find(group_id);
        if (g == groups.end()) return;
        const bool keep_alive = m.notification_data.empty();
        if (!keep_alive) acknowledge(sub_id, m.sequence_number);
        // A keep-alive is not acknowledged and is no message of its own, but
        // it carries the number of the next one: any before it that never
        // came is a gap. Sequence numbers skip 0 when they wrap; an older
        // number is a message sent again (or a server counting differently).
        const uint32_t last = g->second.last_sequence;
        const uint32_t expected = last == UINT32_MAX ? 1 : last + 1;
        const uint32_t missing = m.sequence_number - expected;
        if (last == 0 || missing < 0x80000000u) {
            if (last != 0 && missing > 0) republish_gap(port, sub_id, group_id, expected, missing, now);
            if (!keep_alive)
                g->second.last_sequence = m.sequence_number;
            else if (last != 0 && missing > 0)
                g->second.last_sequence = m.sequence_number - 1 == 0 ? UINT32_MAX : m.sequence_number - 1;
        }
        if (!keep_alive) notifications(port, sub_id, group_id, m, false, now);
    }

    void on_republish(RequestPort& port, Pending& p, const Response& response, StatusCode fault,
                      SteadyTime now) {
        if (republishes > 0) --republishes;
        const auto [answer, st] = answer_of<RepublishResponse>(response, fault);
        auto s = subs.find(p.sub_id);
        if (s == subs.end() || s->second != p.group) return;
        if (is_bad(st)) {
            if (status_code_only(st) == status::BadSubscriptionIdInvalid)
                return recreate(port, p.sub_id, now);
            return refresh_group(port, p.group, now); // not available any more: read what is current
        }
        if (answer->notification_message.notification_data.empty()) return;
        acknowledge(p.sub_id, answer->notification_message.sequence_number);
        notifications(port, p.sub_id, p.group, answer->notification_message, true, now);
    }

    // ---- Watchdog -------------------------------------------------------------

    void send_state_read(RequestPort& port, SteadyTime now) {
        ReadRequest r;
        ReadValueId v;
        v.node_id = NodeId::numeric_id(0, node::Server_ServerStatus_State);
        v.attribute_id = attribute::Value;
        r.nodes_to_read.push_back(std::move(v));
        Pending p;
        p.kind = Kind::StateRead;
        state_request = send(port, std::move(r), now, std::move(p));
        next_state_read = now + settings.state_read_interval;
    }

    // ---- Entry points ---------------------------------------------------------

    // A request that will never be answered (the connection went): its work
    // is done again once a session is back.
    void abandon(uint32_t id, Pending& p, SteadyTime now) {
        switch (p.kind) {
        case Kind::CreateSub:
            if (auto g = groups.find(p.group); g != groups.end() && g->second.create_request == id)
                g->second.create_request = 0;
            if (p.done) p.done(status::Good, p.interval);
            break;
        case Kind::CreateItems:
            for (uint32_t h : p.handles)
                if (auto it = items.find(h); it != items.end() && it->second.state == ItemState::Creating)
                    queue_create(h, it->second, now);
            break;
        case Kind::Publish:
            if (outstanding > 0) --outstanding;
            requeue_acks(p);
            break;
        case Kind::Republish:
            if (republishes > 0) --republishes;
            break;
        case Kind::Refresh:
            if (auto g = groups.find(p.group); g != groups.end()) g->second.refreshing = false;
            break;
        case Kind::StateRead:
            state_request = 0;
            break;
        case Kind::DeleteSub:
        case Kind::DeleteItems:
            break;
        }
    }

    void dispatch(RequestPort& port, Pending& p, const UaEvent& event, SteadyTime now) {
        StatusCode fault = status::Good;
        switch (event.kind) {
        case UaEvent::Kind::Response:
            break;
        case UaEvent::Kind::RequestFailed:
            return abandon(event.request_id, p, now);
        case UaEvent::Kind::ServiceFault:
            fault = is_bad(event.status) ? event.status : status::BadUnknownResponse;
            break;
        case UaEvent::Kind::TimedOut:
            fault = status::BadTimeout;
            break;
        default:
            return;
        }
        switch (p.kind) {
        case Kind::CreateSub:
            return on_created(port, event.request_id, p, event.response, fault, now);
        case Kind::CreateItems:
            on_items_created(port, p, event.response, fault, now);
            // Creations held back while kMaxCreatesInFlight were out go now.
            if (!create_queue.empty()) flush_creates(port, now);
            return;
        case Kind::Publish:
            return on_publish(port, p, event.response, fault, now);
        case Kind::Republish:
            return on_republish(port, p, event.response, fault, now);
        case Kind::Refresh:
            if (fault != status::Good) return abandon(event.request_id, p, now);
            return on_refresh(p, event.response);
        case Kind::StateRead:
            abandon(event.request_id, p, now);
            if (event.kind == UaEvent::Kind::TimedOut) {
                lost_status = status::BadTimeout;
                lost_at = now;
            }
            return;
        case Kind::DeleteSub:
        case Kind::DeleteItems:
            return;
        }
    }
};

SubscriptionSet::SubscriptionSet(NotificationSink& sink, const UaSettings& settings)
    : s_(std::make_unique<State>(sink, settings)) {}

SubscriptionSet::~SubscriptionSet() = default;

void SubscriptionSet::add_group(RequestPort* port, uint32_t group, double interval_ms, float deadband_percent,
                                SteadyTime now, std::function<void(StatusCode, double)> done) {
    auto [it, added] = s_->groups.try_emplace(group);
    State::Group& g = it->second;
    if (!added) {
        // Already known: never a second subscription for it.
        if (done) done(status::Good, g.sub_id != 0 ? g.revised : g.interval);
        return;
    }
    g.interval = interval_ms > 0 ? interval_ms : 1;
    g.deadband = deadband_percent;
    g.revised = g.interval;
    if (!port) {
        if (done) done(status::Good, g.interval);
        return;
    }
    s_->create_subscription(*port, group, g, now, std::move(done));
}

void SubscriptionSet::remove_group(RequestPort* port, uint32_t group, SteadyTime now) {
    auto g = s_->groups.find(group);
    if (g == s_->groups.end()) return;
    const uint32_t sub_id = g->second.sub_id;
    s_->forget_subscription(group, g->second);
    s_->groups.erase(g);
    s_->items.erase_if([group](const auto& entry) { return entry.second.group == group; });
    if (sub_id != 0) s_->delete_subscription(s_->connected ? port : nullptr, sub_id, now);
    if (s_->subs.empty() && s_->connected) s_->next_state_read = std::min(s_->next_state_read, now);
}

void SubscriptionSet::add_items(RequestPort* port, uint32_t group, std::vector<MonitoredSpec> specs,
                                SteadyTime now) {
    auto g = s_->groups.find(group);
    for (MonitoredSpec& spec : specs) {
        if (g == s_->groups.end()) {
            s_->sink.item_failed(group, spec.handle, status::BadNoSubscription);
            continue;
        }
        auto [it, added] = s_->items.try_emplace(spec.handle);
        if (!added) continue; // already known
        State::Item& item = it->second;
        item.group = group;
        item.node = PackedNodeId(spec.node);
        if (spec.eu_range) item.eu_span = static_cast<float>(spec.eu_range->high - spec.eu_range->low);
        if (g->second.failed) {
            s_->fail_item(spec.handle, item, *g->second.failed);
            continue;
        }
        s_->queue_create(spec.handle, item, now);
    }
    (void)port; // creations go out with the next batch
}

uint32_t SubscriptionSet::group_of(uint32_t handle) const {
    const State::Item* item = s_->items.get(handle);
    return item ? item->group : 0;
}

std::optional<NodeId> SubscriptionSet::node_of(uint32_t group, uint32_t handle) const {
    const auto it = s_->items.find(handle);
    if (it == s_->items.end() || it->second.group != group) return std::nullopt;
    return it->second.node.unpack();
}

void SubscriptionSet::remove_item(RequestPort* port, uint32_t group, uint32_t handle, SteadyTime now) {
    auto it = s_->items.find(handle);
    if (it == s_->items.end() || it->second.group != group) return;
    if (it->second.state == State::ItemState::Live) {
        auto g = s_->groups.find(group);
        if (g != s_->groups.end() && g->second.sub_id != 0) {
            s_->delete_queue[g->second.sub_id].push_back(it->second.monitored_id);
            s_->schedule_batch(now);
        }
    }
    s_->items.erase(it);
    (void)port; // deletions go out with the next batch
}

void SubscriptionSet::on_session(RequestPort& port, bool new_session, SteadyTime now) {
    State& s = *s_;
    s.connected = true;
    s.lost_notified = false;
    s.lost_status = status::Good;
    s.publish_hold = SteadyTime::min();
    s.last_publish_answer = now;
    s.state_request = 0;
    s.next_state_read = now + s.settings.state_read_interval;
    if (new_session) {
        // Nothing of the old session survives: everything again, same handles.
        s.subs.clear();
        s.delete_queue.clear();
        s.subs_to_delete.clear();
        s.foreign_deleted.clear();
        s.acks.clear();
        s.max_publishes = kMaxPublishes;
        s.longest_keep_alive = 0;
        for (auto& [id, g] : s.groups) {
            g.sub_id = 0;
            g.last_sequence = 0;
            g.refreshing = false;
            g.failed.reset();
        }
        for (auto& [handle, item] : s.items) {
            item.state = State::ItemState::Wanted;
            item.monitored_id = 0;
        }
    } else {
        s.flush_subscription_deletes(port, now);
        for (auto& [handle, item] : s.items)
            if (item.state == State::ItemState::Creating) item.state = State::ItemState::Wanted;
    }
    for (auto& [id, g] : s.groups)
        if (g.sub_id == 0 && g.create_request == 0 && !g.failed) s.create_subscription(port, id, g, now, {});
    for (auto& [handle, item] : s.items)
        if (item.state == State::ItemState::Wanted) s.queue_create(handle, item, now);
    s.fill_publishes(port, now);
    if (!new_session) {
        // Changes may have been lost in flight: one Read of everything live.
        std::vector<uint32_t> handles;
        for (const auto& [handle, item] : s.items)
            if (item.state == State::ItemState::Live) handles.push_back(handle);
        std::sort(handles.begin(), handles.end());
        s.refresh(port, handles, 0, now);
    }
    s.flush_deletes(port, now);
}

void SubscriptionSet::on_lost(StatusCode, SteadyTime now) {
    State& s = *s_;
    s.connected = false;
    s.outstanding = 0;
    s.republishes = 0;
    s.state_request = 0;
    s.lost_status = status::Good;
    s.next_state_read = SteadyTime::max();
    // Whatever was in flight is never answered now.
    auto pending = std::exchange(s.pending, {});
    for (auto& [id, p] : pending)
        s.abandon(id, p, now);
    s.outstanding = 0;
    s.republishes = 0;
    s.state_request = 0;
    if (!s.lost_notified) {
        s.lost_notified = true;
        s.sink.connection_lost();
    }
}

bool SubscriptionSet::on_event(RequestPort& port, UaEvent& event, SteadyTime now) {
    auto it = s_->pending.find(event.request_id);
    if (it == s_->pending.end()) return false;
    State::Pending p = std::move(it->second);
    s_->pending.erase(it);
    s_->dispatch(port, p, event, now);
    return true;
}

StatusCode SubscriptionSet::tick(RequestPort& port, SteadyTime now) {
    State& s = *s_;
    if (!s.connected) return status::Good;
    if (s.lost_status != status::Good) return s.lost_status;
    s.flush_subscription_deletes(port, now);
    if (now >= s.batch_due) {
        s.batch_due = SteadyTime::max();
        s.flush_creates(port, now);
        s.flush_deletes(port, now);
    }
    if (!s.subs.empty()) {
        if (now - s.last_publish_answer >= s.watchdog_limit()) return status::BadTimeout;
        s.fill_publishes(port, now);
    } else if (s.state_request == 0 && now >= s.next_state_read) {
        s.send_state_read(port, now);
    }
    return status::Good;
}

SteadyTime SubscriptionSet::next_deadline() const {
    const State& s = *s_;
    if (!s.connected) return SteadyTime::max();
    if (s.lost_status != status::Good) return s.lost_at;
    SteadyTime t = s.batch_due;
    if (!s.subs.empty()) {
        t = std::min(t, s.last_publish_answer + s.watchdog_limit());
        if (s.publish_hold != SteadyTime::min()) t = std::min(t, s.publish_hold);
    } else if (s.state_request == 0) {
        t = std::min(t, s.next_state_read);
    }
    return t;
}

size_t SubscriptionSet::subscriptions() const {
    return s_->subs.size();
}

bool SubscriptionSet::creating() const {
    if (!s_->create_queue.empty()) return true;
    for (const auto& [id, p] : s_->pending)
        if (p.kind == State::Kind::CreateItems) return true;
    return false;
}

size_t SubscriptionSet::outstanding_publishes() const {
    return s_->outstanding;
}

} // namespace ostrand::ua
