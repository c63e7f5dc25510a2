// Prints the item model's speed figures:
//   - data changes per second through CQuorvaneModel::OnDataChange into one
//     group of 10,000 items and of 100 items (VT_R4 into FLOAT items, VT_I2
//     into SHORT items), each on one thread, best of three runs;
//   - nanoseconds per StoreRegister with 250 blocks in the point map.
// The slave library's and the OPC service's calls are stand-ins, so that
// only the model is measured.
#include "model/quorvane_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace quorvane;
using Clock = std::chrono::steady_clock;

namespace {

int32_t g_nextBlock = 1;
int32_t g_nextItem = 1;

int32_t DefineBlock(uint8_t, uint8_t, uint16_t, uint16_t, void*) { return g_nextBlock <= 250 ? g_nextBlock++ : 0; }
int32_t RemoveBlock(int32_t) { return 1; }
int32_t AddItemStub(int32_t, int32_t, const char*) { return g_nextItem++; }
int32_t RemoveStub(int32_t, int32_t, int32_t) { return 0; }
int32_t RemoveGroupStub(int32_t, int32_t) { return 0; }
int32_t WriteStub(int32_t, int32_t, int32_t, VARIANT*, int32_t) { return 0; }

ModelServices Stubs() {
    ModelServices s;
    s.DefineDataBlock = &DefineBlock;
    s.RemoveDataBlock = &RemoveBlock;
    s.AddItem = &AddItemStub;
    s.RemoveItem = &RemoveStub;
    s.RemoveGroup = &RemoveGroupStub;
    s.WriteItem = &WriteStub;
    return s;
}

constexpr int32_t kServer = 1;
constexpr int32_t kGroup = 1;

// Updates per second for one million data changes into a group of `items`.
double DataChangesPerSecond(int items, long changes) {
    g_nextBlock = 1;
    g_nextItem = 1;
    CQuorvaneModel model(Stubs());
    model.SetServerHandle(kServer);
    model.OpenGroupDocument("Bench", 100, 0.0f, kGroup);
    auto doc = model.Groups()->front();
    uint16_t address = 1;
    for (int i = 0; i < items; ++i) {
        PointMapping m;
        m.address = address;
        m.dataType = i % 2 == 0 ? DT_FLOAT : DT_SHORT;
        address = static_cast<uint16_t>(address + m.RegisterCount());
        doc->AddRestoredItem("Item" + std::to_string(i), m);
    }
    CQuorvaneModel::Install(&model);
    VARIANT r4, i2;
    VariantInit(&r4);
    VariantInit(&i2);
    r4.vt = VT_R4;
    i2.vt = VT_I2;
    auto start = Clock::now();
    for (long n = 0; n < changes; ++n) {
        int index = static_cast<int>(n % items);
        VARIANT* v;
        if (index % 2 == 0) {
            r4.fltVal = static_cast<float>(n) * 0.5f;
            v = &r4;
        } else {
            i2.iVal = static_cast<int16_t>(n);
            v = &i2;
        }
        CQuorvaneModel::OnDataChange(kServer, kGroup, index + 1, v, 0, 0, 192);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    CQuorvaneModel::Uninstall(&model);
    uint16_t check = 0;
    model.LoadRegister(1, PT_HOLDING_REGISTER, 1, &check); // keeps the work observable
    return static_cast<double>(changes) / seconds;
}

// Nanoseconds per StoreRegister with 250 blocks of one slave id and point
// type, storing into the first block and into the last one.
void StoreRegisterCost(long stores) {
    g_nextBlock = 1;
    CPointMap map(Stubs());
    for (int b = 0; b < 250; ++b) map.MapPoint(1, PT_HOLDING_REGISTER, static_cast<uint16_t>(1 + b * 100));
    std::printf("point map: %zu blocks\n", map.BlockCount());
    for (int block : {0, 249}) {
        uint16_t base = static_cast<uint16_t>(1 + block * 100);
        auto start = Clock::now();
        for (long n = 0; n < stores; ++n)
            map.StoreRegister(1, PT_HOLDING_REGISTER, static_cast<uint16_t>(base + n % 100), static_cast<uint16_t>(n));
        double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(stores);
        std::printf("StoreRegister into block %3d of 250: %7.1f ns per store\n", block + 1, ns);
    }
}

} // namespace

int main(int argc, char** argv) {
    long changes = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (changes <= 0) changes = 1000000;
    // Best of three: the machine may be shared with other work.
    double big = 0, small = 0;
    for (int run = 0; run < 3; ++run) {
        big = std::max(big, DataChangesPerSecond(10000, changes));
        small = std::max(small, DataChangesPerSecond(100, changes));
    }
    std::printf("data changes, 10000 items: %.0f updates/s\n", big);
    std::printf("data changes,   100 items: %.0f updates/s\n", small);
    std::printf("10000 items run at %.1f%% of the 100-item rate\n", 100.0 * big / small);
    StoreRegisterCost(changes);
    return 0;
}
