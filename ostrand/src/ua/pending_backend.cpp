// A connection that waits for its server: see ua/pending_backend.h.
#include "ua/pending_backend.h"

#include "events.h"
#include "ua/client/reconnect.h"
#include "ua/encoding/text.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace ostrand {

namespace {

using ua::Millis;

class PendingBackend final : public Backend {
public:
    PendingBackend(int32_t server, std::string name, UaAttemptFn attempt, const ua::UaSettings& settings)
        : server_(server), name_(std::move(name)), attempt_(std::move(attempt)), settings_(settings),
          start_time_(SystemClock().filetime()) {
        thread_ = std::thread([this] { run(); });
    }

    ~PendingBackend() override {
        {
            std::lock_guard lock(mu_);
            stopping_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    bool add_group(int32_t group, int32_t* rate, float deadband) override {
        std::lock_guard lock(mu_);
        if (inner_) return inner_->add_group(group, rate, deadband);
        groups_[group] = {*rate, deadband};
        return true;
    }
    void settle_group(int32_t group, int32_t* rate) override {
        if (auto b = connected()) b->settle_group(group, rate);
    }
    void remove_group(int32_t group) override {
        std::lock_guard lock(mu_);
        if (inner_) return inner_->remove_group(group);
        groups_.erase(group);
        std::erase_if(items_, [group](const auto& kv) { return kv.second.group == group; });
    }
    bool add_item(int32_t group, int32_t item, const std::string& id) override {
        std::lock_guard lock(mu_);
        if (inner_) return inner_->add_item(group, item, id);
        // The syntax check a connected backend makes at once.
        if (id.empty() || !groups_.contains(group)) return false;
        if (id.find('=') != std::string::npos && !ua::parse_node_id(id)) return false;
        items_[item] = {group, id};
        return true;
    }
    void remove_item(int32_t group, int32_t item) override {
        std::lock_guard lock(mu_);
        if (inner_) return inner_->remove_item(group, item);
        items_.erase(item);
    }
    int32_t write(int32_t group, int32_t item, const VARIANT& value, int32_t mode) override {
        if (auto b = connected()) return b->write(group, item, value, mode);
        return E_FAIL;
    }
    bool status(ServerStatus* st, int32_t vendor_size) override {
        if (auto b = connected()) return b->status(st, vendor_size);
        std::string why;
        {
            std::lock_guard lock(mu_);
            why = why_;
        }
        set_filetime(&st->startTime, start_time_);
        set_filetime(&st->currentTime, SystemClock().filetime());
        st->serverState = 2;
        st->majorVersion = st->minorVersion = st->buildNumber = 0;
        st->reserved = 0;
        const std::string text = "waiting for " + name_ + ": " + (why.empty() ? "connecting" : why);
        if (st->vendorInfo) copy_text(text, st->vendorInfo, vendor_size);
        return true;
    }
    bool browse_move_to(const std::string& path) override {
        if (auto b = connected()) return b->browse_move_to(path);
        return path.empty();
    }
    std::vector<std::string> browse(int32_t type) override {
        if (auto b = connected()) return b->browse(type);
        return {};
    }
    std::optional<std::string> browse_item_id(const std::string& leaf) override {
        if (auto b = connected()) return b->browse_item_id(leaf);
        return std::nullopt;
    }
    uint16_t organization() const override { return 1; }
    // Down from the first attempt until the server answers; then the
    // connected backend's own.
    Health health() const override {
        std::shared_ptr<Backend> b;
        {
            std::lock_guard lock(mu_);
            b = inner_;
        }
        if (b) return b->health();
        return Health{false, 0, waiting_since_};
    }
    bool item_properties(int32_t item, std::string* type, int32_t* access) override {
        if (auto b = connected()) return b->item_properties(item, type, access);
        return false;
    }
    void set_delivery(bool enabled) override {
        std::lock_guard lock(mu_);
        if (inner_) return inner_->set_delivery(enabled);
        delivery_ = enabled;
    }

private:
    struct Group {
        int32_t rate;
        float deadband;
    };
    struct Item {
        int32_t group;
        std::string id;
    };

    std::shared_ptr<Backend> connected() {
        std::lock_guard lock(mu_);
        return inner_;
    }

    void run() {
        ua::ReconnectSchedule schedule(settings_);
        std::minstd_rand random{std::random_device{}()};
        const auto cancelled = [this] {
            std::lock_guard lock(mu_);
            return stopping_;
        };
        for (;;) {
            UaAttempt a = attempt_(cancelled);
            std::unique_lock lock(mu_);
            if (stopping_) return; // a backend that came too late closes as it goes
            if (a.backend) return hand_over(std::move(a.backend), lock);
            why_ = a.reason.empty() ? ua::format_status(a.status) : a.reason;
            const Millis wait = schedule.next(ua::ReconnectSchedule::timed_out(a.status), random);
            lock.unlock();
            report(a);
            lock.lock();
            if (cv_.wait_for(lock, wait, [this] { return stopping_; })) return;
        }
    }

    // With mu_ held, so that no group or item call comes between.
    void hand_over(std::shared_ptr<Backend> b, std::unique_lock<std::mutex>& lock) {
        for (auto& [group, g] : groups_) {
            int32_t rate = g.rate;
            b->add_group(group, &rate, g.deadband);
        }
        for (const auto& [item, it] : items_) (void)b->add_item(it.group, item, it.id);
        if (delivery_) b->set_delivery(true);
        std::map<int32_t, Group> groups = std::move(groups_);
        groups_.clear();
        items_.clear();
        inner_ = b;
        lock.unlock();
        // The server's grant of each rate, bounded, outside the lock.
        for (auto& [group, g] : groups) b->settle_group(group, &g.rate);
    }

    void report(const UaAttempt& a) const {
        OstrandEvent e{};
        e.kind = OSTRAND_EVENT_WAITING;
        e.server = server_;
        e.status = a.status;
        const std::string reason = a.reason.empty() ? ua::format_status(a.status) : a.reason;
        e.reason = reason.c_str();
        const std::string url = a.url.empty() ? name_ : a.url;
        e.url = url.c_str();
        e.outage_ms = -1;
        emit_event(e);
    }

    const int32_t server_;
    const std::string name_;
    UaAttemptFn attempt_;
    const ua::UaSettings settings_;
    const int64_t start_time_;
    const SteadyTime waiting_since_ = SteadyClock::now();

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::shared_ptr<Backend> inner_;
    std::map<int32_t, Group> groups_;
    std::map<int32_t, Item> items_; // by handle: the order they were added in
    bool delivery_ = false;
    std::string why_;
    std::thread thread_;
};

} // namespace

std::shared_ptr<Backend> connect_ua_backend_later(int32_t server, std::string name, UaAttemptFn attempt,
                                                  const ua::UaSettings& settings) {
    return std::make_shared<PendingBackend>(server, std::move(name), std::move(attempt), settings);
}

} // namespace ostrand
