// The service's change queue: while a DataCallback is held up, changes of one
// item coalesce to the latest (memory bounded by the item count), changes of
// other items keep their order, and nothing is delivered for handles removed
// meanwhile. Changes come from a thread other than the service thread, as
// they do from the OPC UA I/O thread.
#include "recorder.h"
#include "service.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

// A change still queued when its item or group goes is never delivered, also
// when a new item takes the freed place in the item table at once; the new
// item's own changes then go through that place as usual. Callbacks run in
// runs of changes checked together: a change already in the run under way is
// dropped as well, and its removal waits only for the callback under way
// (here the held one, which waits for the remover: waiting for the whole run
// would never end).
TEST_F(ChangeQueueTest, QueuedChangeOfARemovedHandleIsDropped) {
    struct Case {
        const char* name;
        bool remove_group; // else the item alone
        bool add_again;    // a new item right after the removal, before delivery
        bool same_run;     // the change handed over with the held one, in one message
    };
    const Case cases[] = {
        {"item removed", false, false, false},
        {"item removed, a new item added at once", false, true, false},
        {"group removed", true, false, false},
        {"group removed, a new group and item added at once", true, true, false},
        {"item removed, its change in the run under way", false, false, true},
        {"group removed, its change in the run under way, a new item added at once", true, true, true},
    };
    const int32_t s = connect();
    const int32_t holder_group = group(s, 3600 * 1000); // the simulation reports once, then stays quiet
    const int32_t holder = AddItem(s, holder_group, "Setpoints.Short");
    ASSERT_TRUE(Recorder::instance().wait_for(holder_group, holder, 1, 5s));
    ostrand::ChangeSink& sink = ostrand::Service::instance().changes();
    int16_t next = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t g = group(s, 3600 * 1000);
        const int32_t victim = AddItem(s, g, "Setpoints.Long");
        ASSERT_TRUE(Recorder::instance().wait_for(g, victim, 1, 5s));

        const size_t seen = Recorder::instance().count_for(holder_group, holder);
        // Hold the service thread in a callback of the holder's. The hook
        // shares the state it waits on: a callback may still be leaving it
        // when this case ends.
        struct Hold {
            std::mutex mu;
            std::condition_variable cv;
            bool held = false, release = false;
        };
        auto hold = std::make_shared<Hold>();
        auto let_go = [hold] {
            {
                std::lock_guard lock(hold->mu);
                hold->release = true;
            }
            hold->cv.notify_all();
        };
        struct Unhook { // also on an early return: nothing stays held or hooked
            std::function<void()> let_go;
            ~Unhook() {
                let_go();
                Recorder::instance().set_hook(nullptr);
            }
        } unhook{let_go};
        Recorder::instance().set_hook([hold, holder](const Event& e) {
            if (e.item != holder) return;
            std::unique_lock lock(hold->mu);
            hold->held = true;
            hold->cv.notify_all();
            hold->cv.wait(lock, [&] { return hold->release; });
        });
        if (c.same_run) {
            std::vector<ostrand::ChangeSink::Batched> message{{holder_group, holder, number(++next), 1, 192},
                                                               {g, victim, number(++next), 2, 192}};
            sink.push_all(s, message, 0);
        } else {
            VARIANT h = number(++next);
            sink.push(s, holder_group, holder, std::move(h), 1, 192);
        }
        {
            std::unique_lock lock(hold->mu);
            hold->cv.wait(lock, [&] { return hold->held; });
        }
        if (!c.same_run) {
            VARIANT v = number(++next);
            sink.push(s, g, victim, std::move(v), 2, 192); // queued behind the held callback
        }
        if (c.remove_group) EXPECT_EQ(RemoveGroup(s, g), 1);
        else EXPECT_EQ(RemoveItem(s, g, victim), 1);
        int32_t new_group = g, added = -1;
        if (c.add_again) {
            if (c.remove_group) new_group = group(s, 3600 * 1000);
            added = AddItem(s, new_group, "Setpoints.Float");
            EXPECT_NE(added, victim);
        }
        let_go();
        ASSERT_TRUE(Recorder::instance().wait_for(holder_group, holder, seen + 1, 5s));
        if (c.add_again) {
            ASSERT_TRUE(Recorder::instance().wait_for(new_group, added, 1, 5s)); // its first report
            // Its later changes take the place's queue entry afresh.
            const int16_t later = ++next;
            VARIANT w = number(later);
            sink.push(s, new_group, added, std::move(w), 3, 192);
            EXPECT_TRUE(Recorder::instance().wait_for_value(new_group, added, later, 5s));
        } else {
            // A change pushed after the queued one flushes the queue: once it
            // is in, the queued change had its turn.
            VARIANT after = number(++next);
            sink.push(s, holder_group, holder, std::move(after), 4, 192);
            ASSERT_TRUE(Recorder::instance().wait_for(holder_group, holder, seen + 2, 5s));
        }
        EXPECT_EQ(Recorder::instance().count_for(g, victim), 1u); // only its first report
        if (c.add_again && c.remove_group) RemoveGroup(s, new_group);
        else if (!c.remove_group) RemoveGroup(s, g);
    }
    DisconnectServer(s);
}

// A message longer than the room a queue keeps resident: the pages beyond it
// go back to the system after delivery, and the next such message writes
// into them again. Every value of both arrives, each item's in its place.
TEST_F(ChangeQueueTest, MessagesBeyondTheQueuesKeptRoomArriveWhole) {
    const int32_t s = connect();
    const int32_t g = group(s, 3600 * 1000); // the simulation reports once, then stays quiet
    std::vector<int32_t> items;
    for (int k = 0; k < 3000; ++k)
        items.push_back(AddItem(s, g, "Setpoints.Short"));
    ASSERT_TRUE(Recorder::instance().wait_for(g, items.back(), 1, 10s)); // the first reports
    ostrand::ChangeSink& sink = ostrand::Service::instance().changes();
    for (int16_t round = 1; round <= 3; ++round) {
        std::vector<ostrand::ChangeSink::Batched> message;
        for (size_t k = 0; k < items.size(); ++k)
            message.push_back({g, items[k], number(static_cast<int16_t>(round * 3000 + k)), 5, 192});
        sink.push_all(s, message, 0);
        ASSERT_TRUE(Recorder::instance().wait_for_value(g, items.back(), round * 3000 + 2999, 10s));
        std::map<int32_t, double> last;
        for (const Event& e : Recorder::instance().events_for(g))
            last[e.item] = e.number;
        for (size_t k = 0; k < items.size(); ++k)
            ASSERT_EQ(last[items[k]], round * 3000 + static_cast<double>(k)) << "round " << round << ", item " << k;
    }
    DisconnectServer(s);
}

} // namespace
