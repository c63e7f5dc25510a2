// The subscription set without I/O: a fake request port and a made-up clock
// drive creation, the deadband fallbacks, the Publish loop, gap repair, the
// keep-alive watchdog and what happens across outages.
#include "../subscription_fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using namespace ostrand;
using namespace ostrand::ua;
using namespace ostrand::ua::test;
using namespace std::chrono_literals;

const SteadyTime kT0 = SteadyTime{} + 1000h;
constexpr DateTime kTs = 133000000000000000;

DataValue value_at(double v, DateTime source) {
    DataValue d;
    d.value = Variant::scalar<kDouble>(v);
    d.source_timestamp = source;
    return d;
}

PublishResponse data_message(uint32_t sub, uint32_t seq, std::vector<uint32_t> handles, DateTime ts = kTs) {
    DataChangeNotification n;
    for (uint32_t h : handles)
        n.monitored_items.push_back({h, value_at(h, ts)});
    PublishResponse r;
    r.subscription_id = sub;
    r.notification_message.sequence_number = seq;
    r.notification_message.notification_data.push_back(to_extension(n));
    return r;
}

PublishResponse keep_alive(uint32_t sub, uint32_t next_seq) {
    PublishResponse r;
    r.subscription_id = sub;
    r.notification_message.sequence_number = next_seq;
    return r;
}

class Subscriptions : public ::testing::Test {
  protected:
    void SetUp() override { set = std::make_unique<SubscriptionSet>(sink, settings); }

    void deliver(UaEvent e) { ASSERT_TRUE(set->on_event(port, e, now)); }
    StatusCode advance(Millis by) {
        now += by;
        return set->tick(port, now);
    }

    // A group whose subscription the server grants as `sub_id`.
    void grant(uint32_t group, uint32_t sub_id, double revised = 100, float deadband = 0) {
        set->add_group(&port, group, revised, deadband, now,
                       [this](StatusCode st, double r) { done.emplace_back(st, r); });
        answer_creation(sub_id, revised);
    }
    void answer_creation(uint32_t sub_id, double revised = 100) {
        auto creates = port.take<CreateSubscriptionRequest>();
        ASSERT_EQ(creates.size(), 1u);
        CreateSubscriptionResponse r;
        r.subscription_id = sub_id;
        r.revised_publishing_interval = revised;
        r.revised_max_keep_alive_count = creates[0].second.requested_max_keep_alive_count;
        deliver(answer(creates[0].first, r));
    }
    // Sends the batched creations and answers each item Good.
    void create_all() {
        advance(settings.batch_delay);
        for (auto batch = port.take<CreateMonitoredItemsRequest>(); !batch.empty();
             batch = port.take<CreateMonitoredItemsRequest>()) {
            for (auto& [id, req] : batch) {
                CreateMonitoredItemsResponse r;
                for (auto& m : req.items_to_create)
                    r.results.push_back({status::Good, m.requested_parameters.client_handle + 1000, 100, 1, {}});
                deliver(answer(id, r));
            }
        }
    }
    // A session with group 1 as subscription 5 and `handles` live in it.
    void live(std::vector<uint32_t> handles) {
        set->on_session(port, true, now);
        grant(1, 5);
        add(1, std::move(handles));
        create_all();
    }
    void add(uint32_t group, std::vector<uint32_t> handles, std::optional<Range> range = std::nullopt) {
        std::vector<MonitoredSpec> specs;
        for (uint32_t h : handles)
            specs.push_back({h, NodeId::numeric_id(1, h), range});
        set->add_items(&port, group, std::move(specs), now);
    }

    UaSettings settings;
    FakeSink sink;
    FakePort port;
    SteadyTime now = kT0;
    std::unique_ptr<SubscriptionSet> set;
    std::vector<std::pair<StatusCode, double>> done;
};

TEST_F(Subscriptions, CreationParametersFollowTheRateAndItemsWaitForTheirSubscription) {
    struct Case {
        double interval;
        uint32_t keep_alive, lifetime;
    };
    // keep-alive max(1, ceil(2000 / i)); lifetime max(3 x keep-alive, ceil(60000 / i)).
    const Case cases[] = {{100, 20, 600}, {1500, 2, 40}, {5000, 1, 12}, {30, 67, 2000}};
    set->on_session(port, true, now);
    uint32_t group = 1;
    for (const Case& c : cases) {
        set->add_group(&port, group, c.interval, 0, now, {});
        auto creates = port.take<CreateSubscriptionRequest>();
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].second,
                  (CreateSubscriptionRequest{{}, c.interval, c.lifetime, c.keep_alive, 10000, true, 0}))
            << c.interval;
        ++group;
    }

    // 2200 items added before the subscription exists: nothing goes out until
    // it is granted, then four requests of 500 with the revised interval, and
    // the last 200 once one of those is answered.
    set->add_group(&port, 50, 100, 5, now, [this](StatusCode st, double r) { done.emplace_back(st, r); });
    std::vector<uint32_t> handles;
    for (uint32_t h = 1; h <= 2200; ++h)
        handles.push_back(h);
    add(50, handles);
    advance(settings.batch_delay);
    EXPECT_TRUE(port.take<CreateMonitoredItemsRequest>().empty());
    answer_creation(77, 250);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], std::make_pair(status::Good, 250.0));
    advance(settings.batch_delay);
    auto batches = port.take<CreateMonitoredItemsRequest>();
    ASSERT_EQ(batches.size(), 4u);
    for (const auto& b : batches) EXPECT_EQ(b.second.items_to_create.size(), 500u);
    advance(settings.batch_delay);
    EXPECT_TRUE(port.take<CreateMonitoredItemsRequest>().empty());
    EXPECT_TRUE(set->creating());
    deliver(answer(batches[1].first, CreateMonitoredItemsResponse{}));
    auto last = port.take<CreateMonitoredItemsRequest>();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].second.items_to_create.size(), 200u);
    EXPECT_EQ(last[0].second.items_to_create[0].requested_parameters.client_handle, 2001u);
    EXPECT_EQ(batches[0].second.subscription_id, 77u);
    EXPECT_EQ(batches[0].second.timestamps_to_return, TimestampsToReturn::Both);
    const auto percent =
        to_extension(DataChangeFilter{DataChangeTrigger::StatusValue, DeadbandType::Percent, 5});
    EXPECT_EQ(batches[0].second.items_to_create[0],
              (MonitoredItemCreateRequest{{NodeId::numeric_id(1, 1), attribute::Value, {}, {}},
                                          MonitoringMode::Reporting,
                                          {1, 250, percent, 1, true}}));
}

TEST_F(Subscriptions, RefusedPercentDeadbandFallsBackToAbsoluteOrNoneInBatches) {
    struct Case {
        StatusCode refusal;
        std::optional<Range> range;
        double absolute; // the retry's Absolute deadband; 0: no filter
    };
    const Case cases[] = {
        {status::BadMonitoredItemFilterUnsupported, Range{0, 200}, 20},
        {status::BadDeadbandFilterInvalid, std::nullopt, 0},
        {status::BadFilterNotAllowed, Range{5, 5}, 0},
        {status::BadMonitoredItemFilterInvalid, Range{-50, 50}, 10},
        {status::BadNodeIdUnknown, Range{0, 100}, 0}, // not a filter refusal: fails
    };
    set->on_session(port, true, now);
    grant(1, 7, 100, 10);
    for (uint32_t h = 0; h < std::size(cases); ++h)
        add(1, {h + 1}, cases[h].range);
    advance(settings.batch_delay);
    auto first = port.take<CreateMonitoredItemsRequest>();
    ASSERT_EQ(first.size(), 1u);
    CreateMonitoredItemsResponse refused;
    for (const Case& c : cases)
        refused.results.push_back({c.refusal, 0, 0, 0, {}});
    deliver(answer(first[0].first, refused));
    ASSERT_EQ(sink.failures.size(), 1u);
    EXPECT_EQ(sink.failures[0].handle, 5u);
    EXPECT_EQ(sink.failures[0].why, status::BadNodeIdUnknown);

    advance(settings.batch_delay);
    auto retry = port.take<CreateMonitoredItemsRequest>();
    ASSERT_EQ(retry.size(), 1u);
    ASSERT_EQ(retry[0].second.items_to_create.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const double a = cases[i].absolute;
        EXPECT_EQ(retry[0].second.items_to_create[i].requested_parameters.filter,
                  a == 0 ? ExtensionObject{}
                         : to_extension(
                               DataChangeFilter{DataChangeTrigger::StatusValue, DeadbandType::Absolute, a}))
            << i;
    }
    // The first Absolute one is taken; refused again, the other goes without
    // a filter, and the ones without a filter already fail.
    refused.results.resize(4);
    refused.results[0] = {status::Good, 41, 100, 1, {}};
    deliver(answer(retry[0].first, refused));
    EXPECT_EQ(sink.failures.size(), 3u);
    advance(settings.batch_delay);
    auto last = port.take<CreateMonitoredItemsRequest>();
    ASSERT_EQ(last.size(), 1u);
    ASSERT_EQ(last[0].second.items_to_create.size(), 1u);
    EXPECT_TRUE(last[0].second.items_to_create[0].requested_parameters.filter.empty());
    CreateMonitoredItemsResponse taken;
    taken.results.push_back({status::Good, 42, 100, 1, {}});
    deliver(answer(last[0].first, taken));
    // Told as each item is created with less than its Percent deadband.
    EXPECT_EQ(sink.deadbands,
              (std::vector<FakeSink::Deadband>{{1, 1, 10, false}, {1, 4, 10, true}}));
}

TEST_F(Subscriptions, PublishKeepsItsCountAcknowledgesDataButNotKeepAlives) {
    set->on_session(port, true, now);
    grant(1, 11);
    EXPECT_EQ(set->outstanding_publishes(), 3u); // 2 + 1 subscription
    for (uint32_t g = 2; g <= 5; ++g)
        grant(g, 10 + g);
    EXPECT_EQ(set->outstanding_publishes(), 5u); // at most 5
    add(1, {1, 2, 3});
    create_all();

    auto publishes = port.take<PublishRequest>();
    ASSERT_EQ(publishes.size(), 5u);
    deliver(answer(publishes[0].first, data_message(11, 1, {3, 1, 99})));
    // In the server's order; 99 is not an item.
    ASSERT_EQ(sink.changes.size(), 2u);
    EXPECT_EQ(sink.changes[0].handle, 3u);
    EXPECT_EQ(sink.changes[1].handle, 1u);
    deliver(answer(publishes[1].first, keep_alive(11, 2)));
    auto next = port.take<PublishRequest>();
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[0].second.subscription_acknowledgements,
              (std::vector<SubscriptionAcknowledgement>{{11, 1}}));
    EXPECT_TRUE(next[1].second.subscription_acknowledgements.empty());

    // BadTimeout re-sends; once every subscription is gone BadNoSubscription
    // stops publishing.
    deliver(fault(publishes[3].first, status::BadTimeout));
    EXPECT_EQ(port.take<PublishRequest>().size(), 1u);
    for (uint32_t g = 1; g <= 5; ++g)
        set->remove_group(&port, g, now);
    EXPECT_EQ(port.take<DeleteSubscriptionsRequest>().size(), 5u);
    deliver(fault(publishes[4].first, status::BadNoSubscription));
    EXPECT_EQ(set->subscriptions(), 0u);
    EXPECT_TRUE(port.take<PublishRequest>().empty());
}

TEST_F(Subscriptions, TooManyPublishesLowersTheCountWithoutSpinning) {
    live({});
    auto publishes = port.take<PublishRequest>();
    ASSERT_EQ(publishes.size(), 3u);
    for (auto& [id, p] : publishes)
        deliver(fault(id, status::BadTooManyPublishRequests));
    // 3 -> 2 -> 1; refused with one, it waits a second.
    EXPECT_TRUE(port.take<PublishRequest>().empty());
    EXPECT_EQ(set->next_deadline(), now + 1000ms);
    advance(1000ms);
    EXPECT_EQ(port.take<PublishRequest>().size(), 1u);
}

TEST_F(Subscriptions, GapsAreRepublishedAndWhatIsGoneIsRead) {
    live({1, 2});
    auto publishes = port.take<PublishRequest>();
    deliver(answer(publishes[0].first, data_message(5, 1, {1})));
    deliver(answer(publishes[1].first, data_message(5, 4, {2})));
    auto republish = port.take<RepublishRequest>();
    ASSERT_EQ(republish.size(), 2u);
    EXPECT_EQ(republish[0].second.retransmit_sequence_number, 2u);
    EXPECT_EQ(republish[1].second.retransmit_sequence_number, 3u);
    // A keep-alive naming 7 as the next message: 5 and 6 went missing.
    deliver(answer(publishes[2].first, keep_alive(5, 7)));
    auto later = port.take<RepublishRequest>();
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[1].second.retransmit_sequence_number, 6u);

    RepublishResponse two;
    two.notification_message = data_message(5, 2, {1}, kTs + 10).notification_message;
    deliver(answer(republish[0].first, two));
    EXPECT_EQ(sink.changes.size(), 3u);
    deliver(fault(republish[1].first, status::BadMessageNotAvailable));
    auto reads = port.take<ReadRequest>();
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_EQ(reads[0].second.nodes_to_read.size(), 2u);
    ReadResponse current;
    current.results = {value_at(10, kTs + 20), value_at(20, kTs + 20)};
    deliver(answer(reads[0].first, current));
    EXPECT_EQ(sink.changes.size(), 5u);
    // The republished message is acknowledged with the next Publish.
    deliver(answer(port.take<PublishRequest>()[0].first, keep_alive(5, 7)));
    bool acked = false;
    for (auto& [id, p] : port.take<PublishRequest>())
        for (auto& a : p.subscription_acknowledgements)
            acked |= a == SubscriptionAcknowledgement{5, 2};
    EXPECT_TRUE(acked);
}

TEST_F(Subscriptions, WatchdogDeclaresASilentServerLost) {
    settings.state_read_interval = 1000ms;
    set = std::make_unique<SubscriptionSet>(sink, settings); // the set keeps its own copy
    set->on_session(port, true, now);
    // Without subscriptions: a Read of the server state, unanswered.
    EXPECT_EQ(advance(999ms), status::Good);
    EXPECT_TRUE(port.take<ReadRequest>().empty());
    EXPECT_EQ(advance(1ms), status::Good);
    auto reads = port.take<ReadRequest>();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].second.nodes_to_read[0].node_id,
              NodeId::numeric_id(0, node::Server_ServerStatus_State));
    deliver(answer(reads[0].first, ReadResponse{}));
    EXPECT_EQ(advance(1000ms), status::Good);
    reads = port.take<ReadRequest>();
    ASSERT_EQ(reads.size(), 1u);
    deliver(fault(reads[0].first, status::BadTimeout, UaEvent::Kind::TimedOut));
    EXPECT_EQ(set->tick(port, now), status::BadTimeout);

    // With a subscription (keep-alive 2 x 3000 ms > the minimum): a keep-alive
    // resets the watchdog; silence past 6 s does not.
    set->on_lost(status::BadTimeout, now);
    set->on_session(port, false, now);
    grant(1, 3, 1500);
    EXPECT_EQ(port.sent.back().timeout, 8000ms); // the keep-alive interval + 5 s
    auto publishes = port.take<PublishRequest>();
    EXPECT_EQ(advance(5999ms), status::Good);
    deliver(answer(publishes[0].first, keep_alive(3, 1)));
    EXPECT_EQ(set->next_deadline(), now + 6000ms);
    EXPECT_EQ(advance(5999ms), status::Good);
    EXPECT_EQ(advance(1ms), status::BadTimeout);
}

TEST_F(Subscriptions, LossResetsAndReactivationRefreshesWithoutGoingBackInTime) {
    live({1, 2, 3});
    auto publishes = port.take<PublishRequest>();
    deliver(answer(publishes[0].first, data_message(5, 1, {1, 2}, kTs + 100)));
    set->on_lost(status::BadConnectionClosed, now);
    set->on_lost(status::BadConnectionClosed, now);
    EXPECT_EQ(sink.lost, 1);
    EXPECT_EQ(set->outstanding_publishes(), 0u);
    UaEvent late = answer(publishes[1].first, keep_alive(5, 2));
    EXPECT_FALSE(set->on_event(port, late, now)); // forgotten with the connection

    sink.changes.clear();
    set->on_session(port, false, now);
    EXPECT_EQ(set->outstanding_publishes(), 3u);
    EXPECT_TRUE(port.take<CreateSubscriptionRequest>().empty());
    auto reads = port.take<ReadRequest>();
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_EQ(reads[0].second.nodes_to_read.size(), 3u);
    ReadResponse r; // item 1 older than delivered, 2 equal, 3 never delivered
    r.results = {value_at(1, kTs + 50), value_at(2, kTs + 100), value_at(3, kTs)};
    deliver(answer(reads[0].first, r));
    ASSERT_EQ(sink.changes.size(), 2u);
    EXPECT_EQ(sink.changes[0].handle, 2u);
    EXPECT_EQ(sink.changes[1].handle, 3u);

    // A second outage is reported again.
    set->on_lost(status::BadConnectionClosed, now);
    EXPECT_EQ(sink.lost, 2);
}

TEST_F(Subscriptions, NewSessionRecreatesWithTheSameHandlesAndNeverTwice) {
    live({1, 2});
    set->add_group(&port, 2, 500, 0, now, {}); // creation in flight...
    set->on_session(port, true, now);          // ...when a new session comes
    auto creates = port.take<CreateSubscriptionRequest>();
    ASSERT_EQ(creates.size(), 2u); // group 1 again, group 2 still awaited
    EXPECT_EQ(set->subscriptions(), 0u);
    CreateSubscriptionResponse r;
    r.subscription_id = 9;
    r.revised_publishing_interval = 100;
    deliver(answer(creates[1].first, r));
    r.subscription_id = 10;
    deliver(answer(creates[0].first, r));
    EXPECT_EQ(set->subscriptions(), 2u);
    advance(settings.batch_delay);
    auto items = port.take<CreateMonitoredItemsRequest>();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].second.subscription_id, 9u);
    ASSERT_EQ(items[0].second.items_to_create.size(), 2u);
    EXPECT_EQ(items[0].second.items_to_create[0].requested_parameters.client_handle, 1u);
    EXPECT_EQ(items[0].second.items_to_create[1].requested_parameters.client_handle, 2u);

    // A group added while down comes back at once and is created with the session.
    set->on_lost(status::BadConnectionClosed, now);
    done.clear();
    set->add_group(nullptr, 3, 1000, 0, now,
                   [this](StatusCode st, double rev) { done.emplace_back(st, rev); });
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], std::make_pair(status::Good, 1000.0));
    set->on_session(port, false, now);
    EXPECT_EQ(port.take<CreateSubscriptionRequest>().size(), 1u);
}

TEST_F(Subscriptions, RemovalsLeaveNothingAtTheServer) {
    live({1, 2, 3});
    set->add_group(&port, 2, 100, 0, now, [this](StatusCode st, double r) { done.emplace_back(st, r); });
    add(1, {4});
    advance(settings.batch_delay);
    auto creating = port.take<CreateMonitoredItemsRequest>();
    // Two live items and one whose creation is out go; so does group 2 while
    // its subscription is being created.
    for (uint32_t h : {1u, 3u, 4u})
        set->remove_item(&port, 1, h, now);
    set->remove_group(&port, 2, now);
    // A write finds the node of a remaining item only, and only in its group.
    ASSERT_TRUE(set->node_of(1, 2));
    EXPECT_EQ(*set->node_of(1, 2), NodeId::numeric_id(1, 2));
    EXPECT_FALSE(set->node_of(2, 2));
    EXPECT_FALSE(set->node_of(1, 1));
    CreateMonitoredItemsResponse created;
    created.results.push_back({status::Good, 1004, 100, 1, {}});
    deliver(answer(creating[0].first, created));
    answer_creation(8);
    EXPECT_EQ(done.size(), 2u); // the caller still hears once
    auto deleted = port.take<DeleteSubscriptionsRequest>();
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0].second.subscription_ids, std::vector<uint32_t>{8});
    EXPECT_TRUE(port.take<DeleteMonitoredItemsRequest>().empty());
    advance(settings.batch_delay);
    auto items = port.take<DeleteMonitoredItemsRequest>();
    ASSERT_EQ(items.size(), 1u);
    auto ids = items[0].second.monitored_item_ids;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint32_t>{1001, 1003, 1004}));
    // A subscription of the session that is not ours is deleted once.
    auto publishes = port.take<PublishRequest>();
    deliver(answer(publishes[0].first, keep_alive(42, 1)));
    deliver(answer(publishes[1].first, keep_alive(42, 1)));
    EXPECT_EQ(port.take<DeleteSubscriptionsRequest>().size(), 1u);
}

// The item's record keeps its node packed: every kind of NodeId must come
// back whole, in the creation request and for a write, also beside one that
// was removed.
TEST_F(Subscriptions, EveryKindOfNodeIdIsAskedForAsGiven) {
    const std::vector<NodeId> nodes = {
        NodeId::numeric_id(65535, 0xFFFFFFFF),
        NodeId::string_id(1, ""),
        NodeId::string_id(1, "Bench.V19999"),  // 12 bytes: the longest inline
        NodeId::string_id(1, "Bench.V199999"), // 13: a block of its own
        NodeId::string_id(7, std::string(300, 'x')),
        NodeId::opaque_id(2, std::string("\0\x01\0", 3)),
        NodeId::guid_id(3, Guid{0xA1B2C3D4, 0x0102, 0xF0E0, {1, 2, 3, 4, 5, 6, 7, 0xFF}}),
    };
    set->on_session(port, true, now);
    grant(1, 5);
    std::vector<MonitoredSpec> specs;
    for (uint32_t h = 1; h <= nodes.size(); ++h)
        specs.push_back({h, nodes[h - 1], std::nullopt});
    set->add_items(&port, 1, std::move(specs), now);
    set->remove_item(&port, 1, 5, now); // its block goes, the 13-byte one beside it stays
    advance(settings.batch_delay);
    size_t asked = 0;
    for (auto& [id, req] : port.take<CreateMonitoredItemsRequest>())
        for (auto& m : req.items_to_create) {
            const uint32_t h = m.requested_parameters.client_handle;
            EXPECT_EQ(m.item_to_monitor.node_id, nodes[h - 1]) << h;
            EXPECT_EQ(set->node_of(1, h), nodes[h - 1]) << h;
            ++asked;
        }
    EXPECT_EQ(asked, nodes.size() - 1);
}

TEST_F(Subscriptions, OnlyTheSubscriptionTheServerDroppedIsRecreated) {
    set->on_session(port, true, now);
    grant(1, 5);
    grant(2, 6);
    add(1, {1});
    add(2, {2});
    create_all();
    auto publishes = port.take<PublishRequest>();
    deliver(answer(publishes[0].first, data_message(5, 1, {1})));
    deliver(answer(publishes[1].first, data_message(6, 1, {2})));
    auto acking = port.take<PublishRequest>();
    ASSERT_EQ(acking.size(), 2u);
    PublishResponse p = keep_alive(6, 2);
    p.results = {status::BadSubscriptionIdInvalid};
    deliver(answer(acking[0].first, p)); // it acknowledged {5, 1}
    auto creates = port.take<CreateSubscriptionRequest>();
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(set->subscriptions(), 1u);

    // A status change expiring the other one recreates it too, alone.
    StatusChangeNotification expired;
    expired.status = status::BadTimeout;
    PublishResponse change;
    change.subscription_id = 6;
    change.notification_message.sequence_number = 2;
    change.notification_message.notification_data.push_back(to_extension(expired));
    deliver(answer(acking[1].first, change));
    EXPECT_EQ(port.take<CreateSubscriptionRequest>().size(), 1u);
    EXPECT_EQ(set->subscriptions(), 0u);
}

} // namespace
