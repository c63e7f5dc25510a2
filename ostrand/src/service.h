// The OPC client service: connections, groups and items by handle, the
// change queue, and the service thread that samples the simulation and runs
// every DataCallback. What a server knows lives behind backend.h: the
// built-in simulation (sim_backend.h) or an OPC UA server (ua_backend.h).
//
// Threads: API calls check handles under mu_ and call a backend that may
// wait on the network without it. Changes reach the service thread through a
// queue that keeps at most one pending change per item (a newer one replaces
// it), so a slow callback costs memory bounded by the item count. Removal
// guarantees come from the handle tables checked at delivery, whatever the
// backend.
//
// Items live in a table of slots: an item handle names its slot and the
// slot's generation, so a change finds its item, group and queue place by
// index, and a handle of a removed item never matches the slot's next item.
#pragma once

#include "backend.h"
#include "clock.h"
#include "ostrand.h"
#include "page_allocator.h"
#include "ua/client/engine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrand {

namespace ua {
class UaLoop;
}

constexpr int32_t kMinimumUpdateRate = 100; // ms

bool is_local_machine(const char* machine);

class Service {
public:
    static Service& instance();

    int32_t initialize();
    void uninitialize();

    // `keep_trying`: an OPC UA server is connected in the background (ostrand.h).
    int32_t connect(const char* machine, const char* server, bool keep_trying = false);
    int32_t enable_callback(int32_t server, DataCallback callback);
    int32_t disconnect(int32_t server);
    int32_t server_count(int32_t mode, const char* machine);
    int32_t server_name(int32_t index, char* buffer, int32_t size);
    int32_t status(int32_t server, ServerStatus* status, int32_t vendor_size);
    int32_t add_group(int32_t server, const char* name, int32_t* rate, float* deadband);
    int32_t remove_group(int32_t server, int32_t group);
    int32_t add_item(int32_t server, int32_t group, const char* item_id);
    int32_t remove_item(int32_t server, int32_t group, int32_t item);
    int32_t write_item(int32_t server, int32_t group, int32_t item, const VARIANT* value, int32_t mode);
    int32_t health(int32_t server, ServerHealth* health);
    int32_t item_properties(int32_t server, int32_t group, int32_t item, char* type, int32_t size, int32_t* access);
    int32_t browse_move_to(int32_t server, const char* path);
    int32_t browse_count(int32_t server, int32_t type);
    int32_t browse_name(int32_t server, int32_t index, char* buffer, int32_t size);
    int32_t browse_item_id(int32_t server, const char* leaf, char* buffer, int32_t size);
    int32_t query_organization(int32_t server, uint16_t* organization);

    // Time limits of OPC UA connections made from now on (tests shrink them).
    void set_ua_settings(const ua::UaSettings& settings);
    // The change queue, for backends on other threads (and tests): takes mu_.
    ChangeSink& changes() { return other_sink_; }
    // For the delay figures of the benchmarks: called on the service thread
    // once per message from a server, right after the callback of its last
    // change returned, with when the message was read off the network
    // (ChangeSink::push_all's `received`) and now, both steady-clock ns.
    // Set it before the first connection.
    using DeliveryObserver = void (*)(int64_t received_ns, int64_t delivered_ns);
    void set_delivery_observer(DeliveryObserver observer) { observer_ = observer; }

private:
    // A data change on its way to the service thread; owns its value.
    struct Change {
        int32_t server = 0, group = 0, item = 0;
        VARIANT value{};
        uint64_t filetime = 0;
        int32_t quality = 0;
        uint32_t status = kNoStatus;
        Change() = default;
        Change(Change&& o) noexcept : server(o.server), group(o.group), item(o.item), value(o.value),
                                      filetime(o.filetime), quality(o.quality), status(o.status), received(o.received) {
            VariantInit(&o.value);
        }
        Change& operator=(Change&& o) noexcept;
        ~Change() { VariantClear(&value); }
        int64_t received = 0; // see ChangeSink::received
    };
    using ChangeQueue = std::vector<Change, PageAllocator<Change>>;
    // Changes whose room in a queue stays resident (2,340): two messages of
    // a thousand notifications, what servers commonly send at most, fit.
    static constexpr size_t kQueueKept = 128 * 1024 / sizeof(Change);
    struct Group {
        std::string name;
    };
    // An item's place: free while handle is 0. The generation changes on
    // every release, so the slot's next item gets another handle.
    struct ItemSlot {
        int32_t handle = 0;
        int32_t server = 0, group = 0;
        uint32_t generation = 0;
        uint32_t queued = kNotQueued; // index of its pending change in queue_
    };
    static constexpr uint32_t kNotQueued = UINT32_MAX;
    struct Connection {
        int32_t handle;
        std::shared_ptr<Backend> backend;
        DataCallback callback = nullptr;
        uint64_t last_update_filetime;
        std::map<int32_t, Group> groups;
        std::vector<std::string> browse_names;
        std::map<int32_t, Change> parked; // changes that came before a DataCallback, by item
        uint64_t changes_delivered = 0;
        uint64_t writes_failed = 0;
    };
    // A change of the run of callbacks under way on the service thread.
    struct Running {
        int32_t server = 0, group = 0, item = 0;
        DataCallback callback = nullptr; // null: no longer to be delivered
        size_t index = 0;                // in the batch being delivered
    };
    // Hands changes to the queue: `locked` for other threads, which take mu_;
    // the service thread samples with mu_ already held.
    class Sink final : public ChangeSink {
    public:
        Sink(Service& service, bool locked) : service_(service), locked_(locked) {}
        void push(int32_t server, int32_t group, int32_t item, VARIANT&& value, uint64_t filetime,
                  int32_t quality, uint32_t status = kNoStatus) override;
        void push_all(int32_t server, std::vector<ChangeSink::Batched>& changes, int64_t received) override;

    private:
        Service& service_;
        bool locked_;
    };

    Service() = default;
    ~Service();

    void run();
    void enqueue(Change change);
    void enqueue(Connection* c, Change&& change);
    void enqueue(Connection* c, int32_t server, ChangeSink::Batched& change, int64_t received);
    void deliver(std::unique_lock<std::mutex>& lock);
    // Under mu_: whether `change` may still reach its callback (`c` its connection).
    bool deliverable(const Connection* c, const Change& change);
    // Under mu_: every change of the run from `from` on that may no longer be delivered is dropped.
    void recheck_run(size_t from, const ChangeQueue& batch);
    void stop(std::unique_lock<std::mutex>& lock);
    // Blocks while the callback under way is of a change that `matches`,
    // unless called from the service thread itself.
    template <typename Match>
    void wait_until_not_running(std::unique_lock<std::mutex>& lock, Match matches);
    // The backend of `server`, for a call made without mu_; null when unknown.
    std::shared_ptr<Backend> backend_of(int32_t server);
    int32_t connect_ua(const std::string& machine, const std::string& server, bool keep_trying);

    Connection* find(int32_t server);
    Group* find(Connection* c, int32_t group);
    int32_t new_handle();
    // Item slots (under mu_): a new item's handle (-1 when the table is
    // full), the live slot of a handle, and release of one or many.
    int32_t new_item(int32_t server, int32_t group);
    ItemSlot* slot_of(int32_t item);
    void release(ItemSlot& slot);
    template <typename Match>
    void release_all(Match matches);

    std::mutex mu_;
    std::condition_variable wake_; // the service thread sleeps on it
    std::condition_variable idle_; // removers wait on it for the running callback to end
    std::thread thread_;
    std::thread::id thread_id_;
    int init_count_ = 0;
    uint64_t generation_ = 0; // counts start-ups: a connect that outlived a stop is dropped
    bool stopping_ = false;
    int32_t last_handle_ = 0;
    std::map<int32_t, Connection> connections_;
    std::vector<std::string> listing_;
    // The run of callbacks under way: written under mu_ by the service
    // thread, which also reads it without the lock while it calls them.
    bool running_ = false;
    std::vector<Running> run_;
    std::atomic<size_t> run_at_{0}; // the callback under way in run_ (see deliver)
    std::atomic<int> waiting_{0};   // threads in wait_until_not_running
    // Bumped under mu_ whenever an item, a connection or a callback goes or
    // changes: a run under way checks its remaining changes again.
    std::atomic<uint64_t> removals_{0};
    DeliveryObserver observer_ = nullptr;
    std::vector<ItemSlot, PageAllocator<ItemSlot>> slots_;
    std::vector<uint32_t> free_slots_;
    size_t live_items_ = 0;
    // Changes not yet delivered, one per item at most, in arrival order; the
    // service thread swaps it with spare_, so both keep their storage.
    ChangeQueue queue_;
    ChangeQueue spare_;
    Sink thread_sink_{*this, false};
    Sink other_sink_{*this, true};
    std::shared_ptr<ua::UaLoop> ua_loop_; // started at the first UA connect
    ua::UaSettings ua_settings_;
    SystemClock clock_;
    // Share of the service thread's time spent working, over the last second.
    SteadyClock::time_point load_window_start_{};
    SteadyClock::duration load_busy_{};
    int32_t load_percent_ = 0;
};

} // namespace ostrand
