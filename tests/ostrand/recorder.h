// Test helpers: a started service per test, and a recorder of data changes.
#pragma once

#include "ostrand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace opc_test {

struct Event {
    int32_t server, group, item;
    VARTYPE vt;
    double number; // the value as VT_R8 where it converts, else NaN
    uint64_t filetime;
    int32_t quality;
};

// DataCallback has no user pointer, so one recorder serves the process.
class Recorder {
public:
    static Recorder& instance() {
        static Recorder r;
        return r;
    }

    static int32_t callback(int32_t server, int32_t group, int32_t item, VARIANT* value, uint32_t low,
                            uint32_t high, int32_t quality) {
        Recorder& r = instance();
        VARIANT real;
        VariantInit(&real);
        double number = VariantChangeType(&real, value, 0, VT_R8) == S_OK ? real.dblVal : NAN;
        std::function<void(const Event&)> hook;
        Event e{server, group, item, value->vt, number, (uint64_t{high} << 32) | low, quality};
        {
            std::lock_guard lock(r.mu_);
            r.events_.push_back(e);
            hook = r.hook_;
        }
        r.cv_.notify_all();
        if (hook) hook(e);
        return 0;
    }

    void clear() {
        std::lock_guard lock(mu_);
        events_.clear();
        hook_ = nullptr;
    }
    // Runs on the service thread after each recorded event.
    void set_hook(std::function<void(const Event&)> hook) {
        std::lock_guard lock(mu_);
        hook_ = std::move(hook);
    }
    std::vector<Event> events_for(int32_t group, int32_t item = 0) {
        std::lock_guard lock(mu_);
        return matching(group, item);
    }
    size_t count_for(int32_t group, int32_t item = 0) { return events_for(group, item).size(); }
    // Waits up to `timeout` for at least `n` events of the group (and item).
    bool wait_for(int32_t group, int32_t item, size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, timeout, [&] { return matching(group, item).size() >= n; });
    }

    // Waits up to `timeout` until the latest event of the item carries `number`.
    bool wait_for_value(int32_t group, int32_t item, double number, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, timeout, [&] {
            for (auto e = events_.rbegin(); e != events_.rend(); ++e)
                if (e->group == group && e->item == item) return e->number == number;
            return false;
        });
    }

    // Waits up to `timeout` until the events of the item so far satisfy `done`.
    template <class Done>
    bool wait_until(int32_t group, int32_t item, std::chrono::milliseconds timeout, Done done) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, timeout, [&] { return done(matching(group, item)); });
    }

private:
    // Callers hold mu_. Item 0 stands for every item of the group.
    std::vector<Event> matching(int32_t group, int32_t item) const {
        std::vector<Event> out;
        for (const Event& e : events_)
            if (e.group == group && (item == 0 || e.item == item)) out.push_back(e);
        return out;
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    std::function<void(const Event&)> hook_;
};

// Starts the service and connects to a simulation server for each test.
class ServiceTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OstrandInitialize(), 0);
        Recorder::instance().clear();
    }
    void TearDown() override {
        Recorder::instance().clear();
        OstrandUninitialize();
    }
    int32_t connect(const char* server = "Demo.Server.1") {
        int32_t handle = ConnectServer("", server, 0);
        EXPECT_NE(handle, -1);
        EXPECT_EQ(EnableDataCallback(handle, &Recorder::callback), 1);
        return handle;
    }
    int32_t group(int32_t server, int32_t rate, float deadband = 0) {
        int32_t handle = AddGroup(server, "g", &rate, &deadband);
        EXPECT_NE(handle, -1);
        return handle;
    }
};

inline void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A VARIANT of type `vt` whose union member `field` holds `value`.
template <typename T> VARIANT make_variant(VARTYPE vt, T VARIANT::*field, T value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.*field = value;
    return v;
}

inline uint64_t filetime(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

} // namespace opc_test
