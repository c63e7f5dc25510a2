// An item's first value can arrive on the server's thread before AddItem has
// returned its handle to the group; it must not be lost.
#include "fake_services.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace quorvane {
namespace {

CQuorvaneDoc* g_doc = nullptr;
std::thread g_delivery;

// The server's thread delivers the first value while AddItem is still running
// (waiting up to 100 ms for it, as a quick server would have delivered it).
int32_t AddItemDeliveringAtOnce(int32_t, int32_t, const char*) {
    constexpr int32_t kHandle = 4242;
    std::promise<void> delivered;
    std::future<void> done = delivered.get_future();
    g_delivery = std::thread([promise = std::move(delivered)]() mutable {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_I2;
        v.iVal = 50;
        g_doc->OnDataChange(kHandle, v, FileTimeNow(), 192);
        promise.set_value();
    });
    done.wait_for(std::chrono::milliseconds(100));
    return kHandle;
}

TEST(FirstValue, ArrivingDuringAddItemIsKept) {
    ModelServices services = test::RecordingServices();
    services.AddItem = &AddItemDeliveringAtOnce;
    CQuorvaneModel model(services);
    model.SetServerHandle(5);
    model.OpenGroupDocument("Line1", 500, 0.0f, 9);
    g_doc = model.Groups()->front().get();
    g_doc->AddRestoredItem("Setpoints.Level", test::Mapped(1, PT_HOLDING_REGISTER, 100, DT_UNSIGNED));
    g_delivery.join();
    ItemState state;
    ASSERT_TRUE(g_doc->ReadItem(0, &state));
    EXPECT_EQ(state.quality, 192u);
    uint16_t word = 0;
    EXPECT_EQ(model.LoadRegister(1, PT_HOLDING_REGISTER, 100, &word), 1);
    EXPECT_EQ(word, 50);
}

} // namespace
} // namespace quorvane
