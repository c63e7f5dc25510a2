// Groups as subscriptions and items as monitored items on one session, kept
// across outages: the Publish loop, the keep-alive watchdog and re-creation.
// Sans-I/O like the engine: it runs on the I/O thread that runs the engine,
// sends through a RequestPort and learns of the session through the
// SessionListener calls.
//
// Contract:
// - A group is one subscription: publishing interval = the group's rate,
//   keep-alive count max(1, ceil(keep_alive_interval / interval)), lifetime
//   count max(3 x keep-alive count, ceil(60000 / interval)), at most 10000
//   notifications per Publish. Never two subscriptions for one group: a
//   creation in flight is awaited, never repeated.
// - An item is a monitored item with client handle = the service's item
//   handle, sampling interval = the group's revised interval, queue 1,
//   timestamps Both. A deadband > 0 asks for a Percent DataChangeFilter; when
//   the server refuses that filter, the item is created again with an
//   Absolute deadband of d/100 x (high - low) if it has an EURange, else
//   without a filter. Creations and deletions gather for
//   UaSettings::batch_delay and go out per group, at most 500 per request;
//   at most four creation requests are out at a time, the rest follow as
//   they are answered (a load of 20,000 items is not one burst).
// - Publish: min(2 + subscriptions, 5) requests outstanding while at least one
//   subscription exists; every NotificationMessage with data is acknowledged
//   in the next request; a keep-alive is not. A gap in a subscription's
//   sequence numbers is filled by Republish; what cannot be republished
//   (BadMessageNotAvailable) is repaired by one Read of every item's Value.
//   BadTooManyPublishRequests lowers the count (at least 1); BadTimeout
//   re-sends.
// - Watchdog: with subscriptions, no Publish answer (data or keep-alive) for
//   max(2 x keep-alive interval, keep_alive_minimum) makes tick() return
//   BadTimeout; without any, a Read of ServerState every
//   state_read_interval that goes unanswered does the same.
// - on_lost: the outstanding Publish count goes to 0, nothing in flight is
//   awaited any more, and the sink hears connection_lost once.
//   on_session(reactivated): Publish resumes, then one Read of every item's
//   Value refreshes them (a value older than the last one delivered is not
//   delivered). on_session(new session): every subscription and item is
//   created again, with the same client handles. A subscription the server
//   drops (BadSubscriptionIdInvalid, StatusChange BadTimeout) is recreated
//   alone.
#pragma once

#include "ua/client/engine.h"
#include "ua/encoding/messages.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace ostrand::ua {

struct MonitoredSpec {
    uint32_t handle = 0;           // the client handle: the service's item handle
    NodeId node;                   // resolved
    std::optional<Range> eu_range; // for the Absolute fallback of a deadband
};

// Where the values go; every call on the I/O thread.
class NotificationSink {
public:
    virtual ~NotificationSink() = default;
    // A value of item `handle` of `group`, in the server's order; after a
    // Republish an item may get several.
    virtual void data_change(uint32_t group, uint32_t handle, const DataValue& value) = 0;
    // The server refused the item (after the deadband fallbacks), or its
    // subscription could not be had: one call per failed creation.
    virtual void item_failed(uint32_t group, uint32_t handle, StatusCode why) = 0;
    // Once per outage, as it begins.
    virtual void connection_lost() = 0;
    // Item `handle` of `group` was created after the server refused its
    // `percent` deadband: with an Absolute one, or (`none`) without a filter.
    virtual void deadband_revised(uint32_t group, uint32_t handle, float percent, bool none) {
        (void)group;
        (void)handle;
        (void)percent;
        (void)none;
    }
};

class SubscriptionSet final : public SessionListener {
public:
    SubscriptionSet(NotificationSink& sink, const UaSettings& settings);
    ~SubscriptionSet() override;

    // Commands, on the I/O thread. `port` is null while the connection is
    // down: the work is then done at the next on_session.
    // `done` runs once: with the server's answer (status, revised publishing
    // interval in ms), or at once with (Good, interval_ms) when down.
    void add_group(RequestPort* port, uint32_t group, double interval_ms, float deadband_percent, SteadyTime now,
                   std::function<void(StatusCode, double)> done);
    void remove_group(RequestPort* port, uint32_t group, SteadyTime now);
    void add_items(RequestPort* port, uint32_t group, std::vector<MonitoredSpec> items, SteadyTime now);
    void remove_item(RequestPort* port, uint32_t group, uint32_t handle, SteadyTime now);

    // SessionListener.
    void on_session(RequestPort& port, bool new_session, SteadyTime now) override;
    void on_lost(StatusCode why, SteadyTime now) override;
    bool on_event(RequestPort& port, UaEvent& event, SteadyTime now) override;
    StatusCode tick(RequestPort& port, SteadyTime now) override;
    SteadyTime next_deadline() const override;

    // For tests and the status: subscriptions the server has granted, and
    // Publish requests outstanding.
    size_t subscriptions() const;
    size_t outstanding_publishes() const;
    // Whether monitored items wait to be created or are being created.
    bool creating() const;
    // The group of item `handle`; 0 when the set has no such item.
    uint32_t group_of(uint32_t handle) const;
    // The node of item `handle` of `group`; none when the set has no such item.
    std::optional<NodeId> node_of(uint32_t group, uint32_t handle) const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

} // namespace ostrand::ua
