// The service's change queue: while a DataCallback is held up, changes of one
// item coalesce to the latest (memory bounded by the item count), changes of
// other items keep their order, and nothing is delivered for handles removed
// meanwhile. Changes come from a thread other than the service thread, as
// they do from the OPC UA I/O thread.
#include "recorder.h"
#include "service.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace opc_test;
using namespace std::chrono_literals;

class ChangeQueueTest : public ServiceTest {};

VARIANT number(int16_t n) { return make_variant<int16_t>(VT_I2, &VARIANT::iVal, n); }

TEST_F(ChangeQueueTest, HeldUpCallbackSeesOnlyTheLatestChangePerItem) {
    const int32_t s = connect();
    const int32_t g = group(s, 3600 * 1000); // the simulation reports once, then stays quiet
    const int32_t a = AddItem(s, g, "Setpoints.Short");
    const int32_t b = AddItem(s, g, "Setpoints.Long");
    const int32_t gone = AddItem(s, g, "Setpoints.Float");
    ASSERT_TRUE(Recorder::instance().wait_for(g, 0, 3, 5s)); // the first reports

    // Hold the service thread inside the next callback.
    std::mutex mu;
    std::condition_variable cv;
    bool held = false, release = false;
    Recorder::instance().set_hook([&](const Event&) {
        std::unique_lock lock(mu);
        if (held) return;
        held = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    ostrand::ChangeSink& sink = ostrand::Service::instance().changes();
    std::thread pusher([&] {
        VARIANT first = number(-1);
        sink.push(s, g, a, std::move(first), 1, 192);
        {
            std::unique_lock lock(mu);
            cv.wait(lock, [&] { return held; });
        }
        for (int16_t k = 1; k <= 1000; ++k) {
            VARIANT v = number(k);
            sink.push(s, g, a, std::move(v), 100 + static_cast<uint64_t>(k), k == 1000 ? 64 : 192);
            if (k == 500) {
                VARIANT w = number(7);
                sink.push(s, g, b, std::move(w), 2, 192);
                VARIANT x = number(8);
                sink.push(s, g, gone, std::move(x), 3, 192);
            }
        }
    });
    {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return held; });
    }
    pusher.join();
    EXPECT_EQ(RemoveItem(s, g, gone), 1); // the callback under way is another item's
    {
        std::lock_guard lock(mu);
        release = true;
    }
    cv.notify_all();

    ASSERT_TRUE(Recorder::instance().wait_for(g, b, 2, 5s));
    ASSERT_TRUE(Recorder::instance().wait_for(g, a, 3, 5s));
    const auto of_a = Recorder::instance().events_for(g, a);
    ASSERT_EQ(of_a.size(), 3u); // first report, the held -1, then only the latest of 1000
    EXPECT_EQ(of_a[2].number, 1000);
    EXPECT_EQ(of_a[2].quality, 64);
    EXPECT_EQ(of_a[2].filetime, 1100u);
    const auto all = Recorder::instance().events_for(g);
    // a's pending change came first, so it is delivered before b's.
    EXPECT_EQ(all[all.size() - 2].item, a);
    EXPECT_EQ(all.back().item, b);
    EXPECT_EQ(Recorder::instance().count_for(g, gone), 1u); // only its first report
    DisconnectServer(s);
}

} // namespace
