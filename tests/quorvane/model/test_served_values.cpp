// What libmodbus masters read through the slave library's Modbus/TCP server
// is what the point map holds: with overlapping blocks in any table order,
// with FLOAT values changing under the masters' reads, and while blocks are
// removed and freed and the point map goes away under them.
#include "fake_services.h"
#include "modbus_peer.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <memory>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int32_t HR = PT_HOLDING_REGISTER;

// The OPC side records; the blocks are the real slave library's.
ModelServices RealBlocks() {
    ModelServices s = test::RecordingServices();
    const ModelServices real;
    s.DefineDataBlock = real.DefineDataBlock;
    s.RemoveDataBlock = real.RemoveDataBlock;
    s.StoreDataBlockWords = real.StoreDataBlockWords;
    return s;
}

// Runs `read(master, index)` on `count` masters until `stop`, `time` or 20,000
// calls each; returns once all have ended.
template <typename F>
void RunMasters(uint16_t port, int count, std::chrono::seconds time, std::atomic<bool>& stop, F read) {
    std::vector<std::thread> masters;
    for (int m = 0; m < count; ++m)
        masters.emplace_back([&, m] {
            test::Master master(port, 1);
            ASSERT_TRUE(master.Connected());
            const auto deadline = Clock::now() + time;
            for (int i = 0; i < 20000 && !stop && Clock::now() < deadline; ++i) read(master, m);
        });
    for (auto& t : masters) t.join();
}

TEST(ServedValues, EveryOverlappingBlockServesTheStoredValue) {
    test::TheRecorder().Reset();
    CPointMap map(RealBlocks());
    // The library serves an address from its lowest table entry; the point
    // map's list order differs from it once an entry is reused.
    map.MapPoint(1, HR, 1);
    map.MapPoint(1, HR, 150);
    map.UnmapPoint(1, HR, 1);
    map.MapPoint(1, HR, 120); // reuses entry 1, and lies under 150..249 in the list
    map.MapPoint(1, HR, 200); // held by 150..249 first
    const auto blocks = map.Blocks();
    ASSERT_EQ(blocks->size(), 2u);
    ASSERT_EQ(blocks->at(1)->StartAddress(), 120);
    ASSERT_EQ(blocks->at(1)->LibraryHandle(), 1);

    ASSERT_EQ(map.StoreRegister(1, HR, 200, 4242), 1);
    ASSERT_EQ(map.StoreRegisterPair(1, HR, 219, 0x1234, 0x5678), 1); // 219 in both, 220 in one
    test::TcpServer tcp;
    ASSERT_TRUE(tcp.Open());
    test::Master master(tcp.Port(), 1);
    ASSERT_TRUE(master.Connected());
    uint16_t v[2] = {};
    ASSERT_TRUE(master.ReadHolding(200, 1, v));
    EXPECT_EQ(v[0], 4242);
    ASSERT_TRUE(master.ReadHolding(219, 2, v));
    EXPECT_EQ(v[0], 0x1234);
    EXPECT_EQ(v[1], 0x5678);
}

TEST(ServedValues, FloatChangesAreNeverReadHalfOldHalfNew) {
    test::TheRecorder().Reset();
    CQuorvaneModel model(RealBlocks());
    model.SetServerHandle(1);
    CQuorvaneModel::Install(&model);
    model.OpenGroupDocument("Flip", 100, 0.0f, 1);
    auto doc = model.Groups()->front();
    // Block 1..100 with the FLOAT at 61, and 101..200 so that a read of 125
    // registers spans two blocks.
    doc->AddRestoredItem("F", test::Mapped(1, HR, 61, DT_FLOAT));
    doc->AddRestoredItem("U", test::Mapped(1, HR, 1, DT_UNSIGNED));
    doc->AddRestoredItem("U", test::Mapped(1, HR, 101, DT_UNSIGNED));
    const int32_t item = doc->ItemAt(0)->ItemHandle();

    constexpr uint32_t kA = 0x11112222, kB = 0x43214321; // both words differ
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = b.vt = VT_R4;
    a.fltVal = std::bit_cast<float>(kA);
    b.fltVal = std::bit_cast<float>(kB);
    CQuorvaneModel::OnDataChange(1, 1, item, &a, 0, 0, 192);

    test::TcpServer tcp;
    ASSERT_TRUE(tcp.Open());
    std::atomic<bool> stop{false};
    std::thread writer([&] { // the OPC service's thread, as fast as it can
        for (long n = 0; !stop; ++n) CQuorvaneModel::OnDataChange(1, 1, item, n % 2 ? &a : &b, 0, 0, 192);
    });
    std::atomic<int> reads{0}, mixed{0}, failed{0};
    RunMasters(tcp.Port(), 4, 2s, stop, [&](test::Master& master, int m) {
        // Two masters read the pair alone, two read 125 registers around it.
        uint16_t v[125];
        const bool wide = m % 2 != 0;
        if (!master.ReadHolding(wide ? 1 : 61, wide ? 125 : 2, v)) {
            ++failed;
            return;
        }
        const uint16_t* pair = wide ? v + 60 : v;
        const uint32_t value = static_cast<uint32_t>(pair[1]) << 16 | pair[0]; // low word first
        if (value != kA && value != kB) ++mixed;
        if (++reads >= 4 * 3000) stop = true;
    });
    stop = true;
    writer.join();
    CQuorvaneModel::Uninstall(&model);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(mixed, 0) << "of " << reads;
    EXPECT_GT(reads, 0);
}

TEST(ServedValues, BlocksGoWhileMastersReadAndWrite) {
    // Every removed block's memory is freed at once; a request still using it
    // would be a use after free (AddressSanitizer) or a race
    // (ThreadSanitizer). The point map itself goes last, under the masters.
    test::TheRecorder().Reset();
    auto map = std::make_unique<CPointMap>(RealBlocks());
    test::TcpServer tcp;
    ASSERT_TRUE(tcp.Open());
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, refused{0};
    std::thread masters([&] {
        RunMasters(tcp.Port(), 4, 10s, stop, [&](test::Master& master, int m) {
            uint16_t v[125];
            const bool ok = m == 0 ? master.WriteHolding(150, static_cast<uint16_t>(answered.load()))
                                   : master.ReadHolding(1 + 50 * m, 125, v);
            ++(ok ? answered : refused);
        });
    });
    const auto deadline = Clock::now() + 1s;
    for (int cycle = 0; cycle < 100000 && Clock::now() < deadline; ++cycle) {
        for (uint16_t a = 1; a <= 400; a += 50) map->MapPoint(1, HR, a);
        for (uint16_t a = 1; a <= 400; a += 50) map->StoreRegister(1, HR, a, a);
        std::this_thread::yield();
        for (uint16_t a = 1; a <= 400; a += 50) map->UnmapPoint(1, HR, a);
    }
    for (uint16_t a = 1; a <= 400; a += 50) map->MapPoint(1, HR, a);
    const int before = answered;
    ASSERT_TRUE(test::WaitFor([&] { return answered > before + 8; }));
    map.reset(); // application exit: every block removed and freed
    const int after = refused;
    EXPECT_TRUE(test::WaitFor([&] { return refused > after + 8; }));
    stop = true;
    masters.join();
    EXPECT_GT(answered, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
} // namespace quorvane
