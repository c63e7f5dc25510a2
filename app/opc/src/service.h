// The OPC client service: connections to the simulation servers, groups,
// items, browsing, and the service thread that samples items and delivers
// data changes.
#pragma once

#include "clock.h"
#include "ostrand.h"
#include "sim_space.h"

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

constexpr int32_t kMinimumUpdateRate = 100; // ms
constexpr uint16_t kMajorVersion = 1;
constexpr uint16_t kMinorVersion = 0;
constexpr uint16_t kBuildNumber = 7;
constexpr const char* kVendorText = "Ostrand built-in simulation server";

// Copies `text` into a caller's buffer of `size` bytes, cutting it to size - 1
// characters. 1 when the whole text fit, 0 when it was cut or there is no
// buffer.
int32_t copy_text(const std::string& text, char* buffer, int32_t size);

bool is_local_machine(const char* machine);

class Service {
public:
    static Service& instance();

    int32_t initialize();
    void uninitialize();

    int32_t connect(const char* machine, const char* server);
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
    int32_t browse_move_to(int32_t server, const char* path);
    int32_t browse_count(int32_t server, int32_t type);
    int32_t browse_name(int32_t server, int32_t index, char* buffer, int32_t size);
    int32_t browse_item_id(int32_t server, const char* leaf, char* buffer, int32_t size);
    int32_t query_organization(int32_t server, uint16_t* organization);

private:
    struct Item {
        int32_t handle;
        const ItemDef* def;
        bool reported = false;
        bool removed = false;
        VARIANT last{};
        int32_t last_quality = 0;
        ~Item() { VariantClear(&last); }
    };
    struct Group {
        int32_t handle;
        std::string name;
        int32_t rate;
        float deadband;
        SteadyClock::time_point next_due;
        bool removed = false;
        std::map<int32_t, std::shared_ptr<Item>> items;
    };
    struct Connection {
        int32_t handle;
        const AddressSpace* space;
        DataCallback callback = nullptr;
        SteadyClock::time_point started;
        uint64_t start_filetime;
        uint64_t last_update_filetime;
        std::vector<VARIANT> stored; // values of writable items, by definition index
        std::map<int32_t, std::shared_ptr<Group>> groups;
        std::string browse_path;
        std::vector<std::string> browse_names;
        ~Connection();
    };
    struct Change {
        std::shared_ptr<Item> item;
        VARIANT value;
        int32_t quality;
    };
    struct Batch {
        int32_t server;
        std::shared_ptr<Group> group;
        uint64_t filetime;
        std::vector<Change> changes;
    };
    // The callback under way on the service thread, if any.
    struct Running {
        bool active = false;
        int32_t server = 0, group = 0, item = 0;
    };

    Service() = default;
    ~Service();

    void run();
    std::vector<Batch> collect(SteadyClock::time_point now);
    void sample_group(Connection& c, Group& g, SteadyClock::time_point now, Batch& batch);
    void deliver(std::unique_lock<std::mutex>& lock, std::vector<Batch>& batches);
    SteadyClock::time_point earliest_due() const;
    void stop(std::unique_lock<std::mutex>& lock);
    void drop_groups(Connection& c);
    // Blocks while a callback that `matches` runs, unless called from that callback's thread.
    template <typename Match>
    void wait_until_not_running(std::unique_lock<std::mutex>& lock, Match matches);

    Connection* find(int32_t server);
    Group* find(Connection* c, int32_t group);
    int32_t new_handle();

    std::mutex mu_;
    std::condition_variable wake_; // the service thread sleeps on it
    std::condition_variable idle_; // removers wait on it for the running callback to end
    std::thread thread_;
    std::thread::id thread_id_;
    int init_count_ = 0;
    bool stopping_ = false;
    int32_t last_handle_ = 0;
    std::map<int32_t, std::unique_ptr<Connection>> connections_;
    std::vector<std::string> listing_;
    Running running_;
    // Share of the service thread's time spent working, over the last second.
    SteadyClock::time_point load_window_start_{};
    SteadyClock::duration load_busy_{};
    int32_t load_percent_ = 0;
};

} // namespace ostrand
