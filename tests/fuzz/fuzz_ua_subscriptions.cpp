// The subscription set with three groups and a dozen items, fed what a
// hostile server and the connection could do: `[op][...]` steps where op
//   0 `[pick][length: 2 bytes LE][bytes]` answers a request with any decoded response,
//   1 `[pick][sub][seq: 2][n][handles...][status: 4]` answers it with a Publish
//     carrying data changes and a status change,
//   2 `[pick][status: 4]` is a ServiceFault, 3 `[pick]` a time-out, 4 `[pick]` a lost request,
//   5 `[n]` moves the clock n x 50 ms and ticks, 6 loses the connection,
//   7 `[new]` brings a session back, 8 `[what][id]` adds or removes groups and items.
// Beyond the sanitizers: memory stays bounded (requests in flight, items,
// deliveries), and every id the set answers for is one it sent.
#include "../opc/ua_subscription_fakes.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>

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
    uint32_t max_id = 0;

    void collect() {
        for (auto& s : port.sent) {
            sent.push_back(s.id);
            max_id = std::max(max_id, s.id);
        }
        port.sent.clear();
        while (sent.size() > 512) sent.pop_front();
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
        for (uint32_t i = 0; i < 4; ++i) specs.push_back(spec(g * 10 + i));
        h.set.add_items(&h.port, g, std::move(specs), h.now);
    }
    h.collect();

    Input in(data, size);
    for (int steps = 0; !in.empty() && steps < 2000; ++steps) {
        switch (in.byte() % 9) {
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
            p.notification_message.sequence_number = in.u16();
            ua::DataChangeNotification changes;
            for (uint8_t n = in.byte() % 16; n > 0; --n) {
                ua::DataValue v;
                v.source_timestamp = in.byte();
                changes.monitored_items.push_back({uint32_t{in.byte()} % 40u, v});
            }
            if (!changes.monitored_items.empty())
                p.notification_message.notification_data.push_back(ua::to_extension(changes));
            if (const uint32_t st = in.u32(); st != 0) {
                ua::StatusChangeNotification sc;
                sc.status = st;
                p.notification_message.notification_data.push_back(ua::to_extension(sc));
            }
            for (uint8_t n = in.byte() % 4; n > 0; --n) p.results.push_back(in.u32());
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
            h.event(ua::test::fault(h.pick(in), ua::status::BadConnectionClosed, ua::UaEvent::Kind::RequestFailed));
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
            case 0: h.set.add_group(port, id % 6, 50.0 + id, static_cast<float>(id % 3), h.now, {}); break;
            case 1: h.set.remove_group(port, id % 6, h.now); break;
            case 2: h.set.add_items(port, id % 6, {spec(id)}, h.now); break;
            default: h.set.remove_item(port, id % 6, id, h.now); break;
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
