// The subscription set with three groups and a dozen items, fed what a
// hostile server and the connection could do: `[op][...]` steps where op
//   0 `[pick][length: 2 bytes LE][bytes]` answers a request with any decoded response,
//   1 `[pick][sub][message][seq: 2][n][results: 4 each]` answers it with a
//     Publish carrying data changes and a status change,
//   2 `[pick][status: 4]` is a ServiceFault, 3 `[pick]` a time-out, 4 `[pick]` a lost request,
//   5 `[n]` moves the clock n x 50 ms and ticks, 6 loses the connection,
//   7 `[new]` brings a session back, 8 `[what][id]` adds or removes groups and items,
//   9 `[pick][...]` answers a request with a response of its own type, its
//     fields (ids, statuses, sequence numbers, timestamps) from the input.
// The set starts with its subscriptions granted and its items live.
// Beyond the sanitizers: memory stays bounded (requests in flight, items,
// deliveries), and every id the set answers for is one it sent.
#include "../ostrand/ua/subscription_fakes.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <type_traits>
#include <unordered_map>
#include <variant>

namespace {

namespace ua = ostrand::ua;
using namespace std::chrono_literals;

void check(bool condition) {
    if (!condition) std::abort();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
    uint32_t u16() { return byte() | uint32_t{byte()} << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    std::span<const uint8_t> bytes(size_t n) {
        n = std::min<size_t>(n, static_cast<size_t>(end_ - p_));
        std::span<const uint8_t> out(p_, n);
        p_ += n;
        return out;
    }

  private:
    const uint8_t* p_;
    const uint8_t* end_;
};

struct Harness {
    ua::UaSettings settings;
    ua::test::FakeSink sink;
    ua::test::FakePort port;
    ua::SubscriptionSet set{sink, settings};
    ostrand::SteadyTime now = ostrand::SteadyTime{} + std::chrono::hours(1000);
    std::deque<uint32_t> sent; // ids the set may still answer for
    std::unordered_map<uint32_t, ua::Request> requests;
    uint32_t max_id = 0;

    void collect() {
        for (auto& s : port.sent) {
            sent.push_back(s.id);
            max_id = std::max(max_id, s.id);
            requests.insert_or_assign(s.id, std::move(s.request));
        }
        port.sent.clear();
        while (sent.size() > 512) {
            requests.erase(sent.front());
            sent.pop_front();
        }
    }
    uint32_t pick(Input& in) {
        const uint8_t b = in.byte();
        if (sent.empty() || b == 255) return max_id + 1; // never sent
        return sent[b % sent.size()];
    }
    void event(ua::UaEvent e) {
        const uint32_t id = e.request_id;
        const bool mine = set.on_event(port, e, now);
        check(!mine || id <= max_id);
    }
};

const ua::StatusCode kStatuses[] = {ua::status::Good,
                                    ua::status::BadMonitoredItemFilterUnsupported,
                                    ua::status::BadDeadbandFilterInvalid,
                                    ua::status::BadNodeIdUnknown,
                                    ua::status::BadSubscriptionIdInvalid,
                                    ua::status::BadMessageNotAvailable,
                                    ua::status::BadTimeout,
                                    ua::status::GoodSubscriptionTransferred};

ua::StatusCode status_of(Input& in) {
    return kStatuses[in.byte() % std::size(kStatuses)];
}

ua::NotificationMessage message_of(Input& in) {
    ua::NotificationMessage m;
    m.sequence_number = in.byte() % 16;
    ua::DataChangeNotification changes;
    for (uint8_t n = in.byte() % 8; n > 0; --n) {
        ua::DataValue v;
        v.source_timestamp = in.byte();
        changes.monitored_items.push_back({uint32_t{in.byte()} % 40u, v});
    }
    if (!changes.monitored_items.empty()) m.notification_data.push_back(ua::to_extension(changes));
    if (in.byte() % 4 == 0) {
        ua::StatusChangeNotification sc;
        sc.status = status_of(in);
        m.notification_data.push_back(ua::to_extension(sc));
    }
    return m;
}

// A response of the type `request` asks for.
ua::Response natural_answer(const ua::Request& request, Input& in) {
    ua::Response out;
    std::visit(
        [&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, ua::CreateSubscriptionRequest>) {
                ua::CreateSubscriptionResponse a;
                a.subscription_id = in.byte() % 8;
                a.revised_publishing_interval = in.byte() * 10.0;
                a.revised_max_keep_alive_count = in.byte();
                out = a;
            } else if constexpr (std::is_same_v<R, ua::CreateMonitoredItemsRequest>) {
                ua::CreateMonitoredItemsResponse a;
                for (size_t i = 0; i < r.items_to_create.size() && !in.empty(); ++i)
                    a.results.push_back({status_of(in), in.byte(), 100, 1, {}});
                out = a;
            } else if constexpr (std::is_same_v<R, ua::ReadRequest>) {
                ua::ReadResponse a;
                for (size_t i = 0; i < r.nodes_to_read.size(); ++i) {
                    ua::DataValue v;
                    v.source_timestamp = in.byte();
                    a.results.push_back(v);
                }
                out = a;
            } else if constexpr (std::is_same_v<R, ua::RepublishRequest>) {
                ua::RepublishResponse a;
                a.header.service_result = status_of(in);
                a.notification_message = message_of(in);
                out = a;
            } else if constexpr (std::is_same_v<R, ua::PublishRequest>) {
                ua::PublishResponse a;
                a.subscription_id = in.byte() % 8;
                a.notification_message = message_of(in);
                for (size_t i = 0; i < r.subscription_acknowledgements.size(); ++i)
                    a.results.push_back(status_of(in));
                out = a;
            } else {
                ua::ServiceFault a;
                a.header.service_result = status_of(in);
                out = a;
            }
        },
        request);
    return out;
}

ua::MonitoredSpec spec(uint32_t handle) {
    ua::MonitoredSpec s{handle, ua::NodeId::numeric_id(1, handle), std::nullopt};
    if (handle % 2) s.eu_range = ua::Range{0, 100.0 * handle};
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness h;
    h.set.on_session(h.port, true, h.now);
    for (uint32_t g = 1; g <= 3; ++g) {
        h.set.add_group(&h.port, g, 100.0 * g, g == 1 ? 0.0f : 5.0f * g, h.now, {});
        std::vector<ua::MonitoredSpec> specs;
        for (uint32_t i = 0; i < 4; ++i)
            specs.push_back(spec(g * 10 + i));
        h.set.add_items(&h.port, g, std::move(specs), h.now);
    }
    // Granted and live, so that every path is within reach.
    for (uint32_t round = 0; round < 2; ++round) {
        h.now += std::chrono::milliseconds(20);
        (void)h.set.tick(h.port, h.now);
        for (auto& s : std::exchange(h.port.sent, {})) {
            h.max_id = std::max(h.max_id, s.id);
            if (auto* c = std::get_if<ua::CreateSubscriptionRequest>(&s.request)) {
                ua::CreateSubscriptionResponse a;
                a.subscription_id = static_cast<uint32_t>(c->requested_publishing_interval / 100);
                a.revised_publishing_interval = c->requested_publishing_interval;
                a.revised_max_keep_alive_count = c->requested_max_keep_alive_count;
                h.event(ua::test::answer(s.id, a));
            } else if (auto* m = std::get_if<ua::CreateMonitoredItemsRequest>(&s.request)) {
                ua::CreateMonitoredItemsResponse a;
                for (auto& item : m->items_to_create)
                    a.results.push_back(
                        {ua::status::Good, item.requested_parameters.client_handle, 100, 1, {}});
                h.event(ua::test::answer(s.id, a));
            }
        }
    }
    h.collect();

    Input in(data, size);
    for (int steps = 0; !in.empty() && steps < 2000; ++steps) {
        switch (in.byte() % 10) {
        case 0: {
            const uint32_t id = h.pick(in);
            const auto body = in.bytes(in.u16());
            ua::Reader r(body.data(), body.size());
            ua::Response response;
            if (ua::decode_response(r, response)) h.event(ua::test::answer(id, std::move(response)));
            break;
        }
        case 1: {
            const uint32_t id = h.pick(in);
            ua::PublishResponse p;
            p.subscription_id = in.byte() % 8;
            p.notification_message = message_of(in);
            p.notification_message.sequence_number = in.u16(); // far jumps too
            for (uint8_t n = in.byte() % 4; n > 0; --n)
                p.results.push_back(in.u32());
            h.event(ua::test::answer(id, std::move(p)));
            break;
        }
        case 2: {
            const uint32_t id = h.pick(in);
            h.event(ua::test::fault(id, in.u32()));
            break;
        }
        case 3:
            h.event(ua::test::fault(h.pick(in), ua::status::BadTimeout, ua::UaEvent::Kind::TimedOut));
            break;
        case 4:
            h.event(ua::test::fault(h.pick(in), ua::status::BadConnectionClosed,
                                    ua::UaEvent::Kind::RequestFailed));
            break;
        case 5:
            h.now += in.byte() * 50ms;
            (void)h.set.tick(h.port, h.now);
            check(h.set.next_deadline() != ostrand::SteadyTime::min());
            break;
        case 6:
            h.set.on_lost(ua::status::BadConnectionClosed, h.now);
            check(h.set.outstanding_publishes() == 0);
            h.sent.clear();
            break;
        case 7:
            h.set.on_session(h.port, in.byte() & 1, h.now);
            break;
        case 8: {
            const uint8_t what = in.byte();
            const uint32_t id = in.byte() % 48;
            ua::RequestPort* port = (what & 4) ? nullptr : &h.port;
            switch (what % 4) {
            case 0:
                h.set.add_group(port, id % 6, 50.0 + id, static_cast<float>(id % 3), h.now, {});
                break;
            case 1:
                h.set.remove_group(port, id % 6, h.now);
                break;
            case 2:
                h.set.add_items(port, id % 6, {spec(id)}, h.now);
                break;
            default:
                h.set.remove_item(port, id % 6, id, h.now);
                break;
            }
            break;
        }
        case 9: {
            const uint32_t id = h.pick(in);
            if (auto it = h.requests.find(id); it != h.requests.end()) {
                ua::Response r = natural_answer(it->second, in);
                h.requests.erase(it);
                h.event(ua::test::answer(id, std::move(r)));
            }
            break;
        }
        }
        h.collect();
        check(h.set.outstanding_publishes() <= 5);
        check(h.set.subscriptions() <= 6);
        // What came out is consumed; the set itself keeps nothing per delivery.
        h.sink.changes.clear();
        h.sink.failures.clear();
    }
    return 0;
}
