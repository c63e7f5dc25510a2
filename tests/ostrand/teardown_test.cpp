// Removing groups, items and connections while the service thread delivers
// data changes: no callback for what was removed may run after the removal
// returns, removal from inside a callback must not hang, and concurrent use
// from several threads must stay race free (run under ThreadSanitizer).

#include "recorder.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace {

using namespace opc_test;
using std::chrono::milliseconds;

// What the callback checks against: set by the test after a removal returned.
std::atomic<int32_t> gone_server{0}, gone_group{0}, gone_item{0};
std::atomic<int> violations{0};
std::atomic<long> calls{0};
// Stands in for the application's per-group lock, which its callback takes.
std::mutex app_lock;

bool is_gone(int32_t server, int32_t group, int32_t item) {
    return server == gone_server.load() || group == gone_group.load() || item == gone_item.load();
}

int32_t checking_callback(int32_t server, int32_t group, int32_t item, VARIANT* value, uint32_t, uint32_t,
                          int32_t) {
    if (is_gone(server, group, item)) ++violations;
    {
        std::lock_guard lock(app_lock);
        VARIANT copy;
        VariantInit(&copy);
        VariantCopy(&copy, value);
        VariantClear(&copy);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(30));
    if (is_gone(server, group, item)) ++violations; // still running after the removal returned
    ++calls;
    return 0;
}

class Teardown : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        gone_server = gone_group = gone_item = 0;
        violations = 0;
        calls = 0;
    }
    int32_t busy_connection() {
        int32_t s = ConnectServer("", "Demo.Server.1", 0);
        EXPECT_EQ(EnableDataCallback(s, &checking_callback), 1);
        return s;
    }
    // A group whose items all change on every 100 ms update.
    int32_t busy_group(int32_t s, int items) {
        int32_t g = group(s, 100);
        for (int k = 0; k < items; ++k) EXPECT_NE(AddItem(s, g, k % 2 ? "Channel1.Device1.Speed" : "Channel1.Device1.Temp"), -1);
        return g;
    }
    void wait_for_calls(long n) {
        long target = calls.load() + n;
        for (int k = 0; k < 400 && calls.load() < target; ++k) sleep_ms(5);
        ASSERT_GE(calls.load(), target) << "no data changes arrived";
    }
};

TEST_F(Teardown, RemoveGroupWhileCallbacksFire) {
    int32_t s = busy_connection();
    int32_t keep = busy_group(s, 20);
    for (int round = 0; round < 4; ++round) {
        int32_t g = busy_group(s, 100);
        wait_for_calls(50 + round * 37);
        ASSERT_EQ(RemoveGroup(s, g), 1);
        gone_group = g;
    }
    long before = calls.load();
    sleep_ms(300);
    EXPECT_GT(calls.load(), before) << "the remaining group stopped too";
    EXPECT_EQ(violations.load(), 0);
    RemoveGroup(s, keep);
}

TEST_F(Teardown, RemoveItemWhileCallbacksFire) {
    int32_t s = busy_connection();
    int32_t g = busy_group(s, 50);
    for (int round = 0; round < 6; ++round) {
        int32_t item = AddItem(s, g, "Channel1.Device1.Speed");
        wait_for_calls(20 + round * 11);
        ASSERT_EQ(RemoveItem(s, g, item), 1);
        gone_item = item;
    }
    sleep_ms(250);
    EXPECT_EQ(violations.load(), 0);
}

TEST_F(Teardown, DisconnectWhileCallbacksFire) {
    for (int round = 0; round < 3; ++round) {
        int32_t s = busy_connection();
        busy_group(s, 100);
        busy_group(s, 50);
        wait_for_calls(80 + round * 23);
        ASSERT_EQ(DisconnectServer(s), 1);
        gone_server = s;
        EXPECT_EQ(DisconnectServer(s), 0);
    }
    sleep_ms(250);
    EXPECT_EQ(violations.load(), 0);
}

TEST_F(Teardown, RemovalFromInsideTheCallbackReturnsAndSticks) {
    int32_t s = connect(); // the recorder callback, with a hook
    int32_t g = busy_group(s, 30);
    int32_t other = busy_group(s, 30);
    int32_t victim = AddItem(s, other, "Channel1.Device1.Speed");
    std::atomic<int> removals{0};
    std::atomic<int32_t> removed_group{0}, removed_item{0};
    std::atomic<int> late{0};
    Recorder::instance().set_hook([&](const Event& e) {
        if (e.group == removed_group.load() || e.item == removed_item.load()) ++late;
        if (e.group == g && removed_group.load() == 0) {
            EXPECT_EQ(RemoveGroup(s, g), 1);
            removed_group = g;
            ++removals;
        }
        if (e.group == other && removed_item.load() == 0) {
            EXPECT_EQ(RemoveItem(s, other, victim), 1);
            removed_item = victim;
            ++removals;
        }
    });
    for (int k = 0; k < 400 && removals.load() < 2; ++k) sleep_ms(5);
    ASSERT_EQ(removals.load(), 2);
    sleep_ms(300);
    EXPECT_EQ(late.load(), 0);
    Recorder::instance().set_hook(nullptr);

    // Disconnecting from inside a callback as well.
    std::atomic<bool> disconnected{false};
    Recorder::instance().set_hook([&](const Event& e) {
        if (e.server == s && !disconnected.load()) {
            EXPECT_EQ(DisconnectServer(s), 1);
            disconnected = true;
        }
    });
    for (int k = 0; k < 400 && !disconnected.load(); ++k) sleep_ms(5);
    ASSERT_TRUE(disconnected.load());
    Recorder::instance().set_hook(nullptr);
}

TEST_F(Teardown, ThreadsShareTheServiceWhileCallbacksFire) {
    int32_t s = busy_connection();
    int32_t g = busy_group(s, 40);
    int32_t setpoint = AddItem(s, g, "Setpoints.Level");
    ASSERT_NE(setpoint, -1);
    auto worker = [&](int seed) {
        for (int k = 0; k < 150; ++k) {
            int32_t item = AddItem(s, g, "Channel2.Device1.Total");
            {
                // The application writes under its group lock.
                std::lock_guard lock(app_lock);
                VARIANT v = make_variant(VT_R4, &VARIANT::fltVal, static_cast<float>((k * 7 + seed) % 100));
                EXPECT_EQ(WriteItem(s, g, setpoint, &v, k % 2 ? 0 : 1) != 0, k % 2 == 0);
            }
            if (k % 10 == 0) {
                ServerStatus st{};
                char vendor[200];
                st.vendorInfo = vendor;
                EXPECT_EQ(GetServerStatus(s, &st, sizeof vendor), 1);
                BrowseMoveTo(s, seed ? "Channel2" : "");
                BrowseCount(s, 3);
            }
            EXPECT_EQ(RemoveItem(s, g, item), 1);
            if (k % 25 == 0) std::this_thread::sleep_for(milliseconds(10));
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    wait_for_calls(10);
    EXPECT_EQ(violations.load(), 0);
}

TEST_F(Teardown, StartAndStopRaceFromSeveralThreads) {
    // The fixture holds one start-up; the threads nest theirs inside and around it.
    auto cycle = [this] {
        for (int k = 0; k < 15; ++k) {
            ASSERT_EQ(OstrandInitialize(), 0);
            int32_t s = busy_connection();
            ASSERT_NE(s, -1);
            busy_group(s, 5);
            std::this_thread::sleep_for(milliseconds(k % 3 * 10));
            OstrandUninitialize();
        }
    };
    std::thread a(cycle), b(cycle);
    a.join();
    b.join();
    OstrandUninitialize(); // the fixture's: now fully stopped
    EXPECT_EQ(ConnectServer("", "Demo.Server.1", 0), -1);
    std::thread c(cycle), d(cycle); // start-ups from nothing, racing with stops
    c.join();
    d.join();
    EXPECT_EQ(ConnectServer("", "Demo.Server.1", 0), -1);
    ASSERT_EQ(OstrandInitialize(), 0); // TearDown stops it again
}

TEST_F(Teardown, UninitializeStopsDeliveryWithGroupsStillOpen) {
    int32_t s = busy_connection();
    busy_group(s, 100);
    wait_for_calls(30);
    OstrandUninitialize();
    long after = calls.load();
    sleep_ms(200);
    EXPECT_EQ(calls.load(), after);
    ASSERT_EQ(OstrandInitialize(), 0); // TearDown stops it again
}

} // namespace
