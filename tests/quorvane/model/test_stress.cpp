// Every thread that meets the model at once: 8 libmodbus masters reading and
// writing through the slave library's Modbus/TCP server, data changes every
// 100 ms on 1,000 items, and the user-interface thread adding, remapping and
// removing items and whole groups and flushing master writes. At the end
// every register's last master write has reached its OPC item. Bounded in
// time and in operations.
#include "fake_services.h"
#include "modbus_peer.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int32_t kServer = 3;
constexpr int32_t kFixedGroup = 1;
constexpr int kClients = 8;
constexpr int kPointsPerClient = 125; // 75 UNSIGNED items, then 25 FLOAT items
constexpr int kUnsignedPerClient = 75;
constexpr auto kRunTime = 6s;
constexpr int kMaxRequestsPerClient = 3000;

// The OPC side records every call; the blocks are the real slave library's.
ModelServices Services() {
    ModelServices s = test::RecordingServices();
    s.DefineDataBlock = ModelServices{}.DefineDataBlock;
    s.RemoveDataBlock = ModelServices{}.RemoveDataBlock;
    s.StoreDataBlockWords = ModelServices{}.StoreDataBlockWords;
    return s;
}

uint16_t ClientBase(int client) { return static_cast<uint16_t>(1 + client * kPointsPerClient); }

PointMapping Mapping(uint8_t slave, uint16_t address, uint16_t dataType) {
    return test::Mapped(slave, PT_HOLDING_REGISTER, address, dataType);
}

TEST(ModelStress, MastersDataChangesAndEditsTogether) {
    test::TheRecorder().Reset();
    CQuorvaneModel model(Services());
    model.SetServerHandle(kServer);
    CQuorvaneModel::Install(&model);
    EnableCallback(&CQuorvaneModel::OnSlaveWrite);

    // The fixed group: one item per written point, 1,000 items in all.
    model.OpenGroupDocument("Fixed", 100, 0.0f, kFixedGroup);
    auto fixed = model.Groups()->front();
    for (int c = 0; c < kClients; ++c) {
        for (int i = 0; i < kUnsignedPerClient; ++i)
            fixed->AddRestoredItem("U", Mapping(1, static_cast<uint16_t>(ClientBase(c) + i), DT_UNSIGNED));
        for (int i = kUnsignedPerClient; i < kPointsPerClient; i += 2)
            fixed->AddRestoredItem("F", Mapping(1, static_cast<uint16_t>(ClientBase(c) + i), DT_FLOAT));
    }
    ASSERT_EQ(fixed->Count(), kClients * (kUnsignedPerClient + (kPointsPerClient - kUnsignedPerClient) / 2));
    while (fixed->Count() < 1000) fixed->AddRestoredItem("Spare", Mapping(3, 1, DT_SHORT));

    test::TcpServer tcp;
    ASSERT_TRUE(tcp.Open());
    std::atomic<bool> stop{false};

    // The OPC service's thread: every item of every group changes every 100 ms.
    std::thread dataChanges([&] {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_R4;
        for (int round = 0; round < 200 && !stop.load(); ++round) {
            auto groups = model.Groups();
            for (const auto& doc : *groups) {
                auto items = doc->Items();
                for (const auto& item : *items) {
                    v.fltVal = static_cast<float>(round);
                    CQuorvaneModel::OnDataChange(kServer, doc->GroupHandle(), item->ItemHandle(), &v, 0, 0, 192);
                }
            }
            std::this_thread::sleep_for(100ms);
        }
    });

    // The masters: each writes and reads its own points; the last value
    // written to each register is remembered (-1: never written).
    std::vector<std::vector<int32_t>> lastWritten(kClients, std::vector<int32_t>(kPointsPerClient, -1));
    std::atomic<int> failures{0};
    std::vector<std::thread> masters;
    const auto deadline = Clock::now() + kRunTime;
    for (int c = 0; c < kClients; ++c) {
        masters.emplace_back([&, c] {
            test::Master master(tcp.Port(), 1);
            if (!master.Connected()) {
                failures++;
                return;
            }
            std::mt19937 random(static_cast<unsigned>(c));
            uint16_t regs[kPointsPerClient];
            for (int n = 0; n < kMaxRequestsPerClient && Clock::now() < deadline; ++n) {
                const int i = static_cast<int>(random() % kPointsPerClient);
                const uint16_t point = static_cast<uint16_t>(ClientBase(c) + i);
                bool ok;
                if (n % 3 == 2) {
                    ok = master.ReadHolding(ClientBase(c), kPointsPerClient, regs);
                } else if (i >= kUnsignedPerClient) {
                    // A FLOAT's two words in one request.
                    const int low = i - (i - kUnsignedPerClient) % 2;
                    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(c * 100000 + n));
                    const uint16_t pair[2] = {static_cast<uint16_t>(bits & 0xFFFF), static_cast<uint16_t>(bits >> 16)};
                    ok = master.WriteHoldings(static_cast<uint16_t>(ClientBase(c) + low), 2, pair);
                    lastWritten[c][low] = pair[0];
                    lastWritten[c][low + 1] = pair[1];
                } else {
                    const uint16_t value = static_cast<uint16_t>(random());
                    ok = master.WriteHolding(point, value);
                    lastWritten[c][i] = value;
                }
                if (!ok) failures++;
            }
        });
    }

    // The user-interface thread: groups open and close, items come, move
    // and go (some over the masters' points), and the 500 ms flush runs
    // (more often here, to meet the masters' writes in flight).
    std::mt19937 random(99);
    int32_t nextGroupHandle = 100;
    int operations = 0;
    while (Clock::now() < deadline && operations < 20000) {
        auto groups = model.Groups();
        if (groups->size() < 4) {
            model.OpenGroupDocument("Churn", 100, 0.0f, nextGroupHandle++);
        } else if (random() % 10 == 0) {
            model.CloseGroup(groups->back());
        } else {
            auto doc = groups->at(1 + random() % (groups->size() - 1));
            const uint16_t address = static_cast<uint16_t>(1 + random() % 1500);
            const uint8_t slave = static_cast<uint8_t>(1 + random() % 2);
            switch (random() % 4) {
            case 0:
            case 1:
                doc->AddRestoredItem("C", Mapping(slave, address, random() % 2 ? DT_FLOAT : DT_SHORT));
                break;
            case 2:
                doc->EditItemMapping(static_cast<int>(random() % 8), Mapping(slave, address, DT_UNSIGNED));
                break;
            default:
                doc->RemoveItemAt(static_cast<int>(random() % 8));
                break;
            }
        }
        if (++operations % 20 == 0) model.FlushAllPendingWrites();
        std::this_thread::sleep_for(2ms);
    }
    for (auto& t : masters) t.join();
    stop = true;
    dataChanges.join();
    model.FlushAllPendingWrites();

    EXPECT_EQ(failures.load(), 0);
    // No lost write: each fixed item's last OPC write is its register's last
    // master write (both words of a FLOAT from one request).
    std::map<int32_t, double> lastWrite; // by item handle
    for (const test::Call& call : test::TheRecorder().Calls())
        if (call.name == "WriteItem") lastWrite[call.c] = call.number;
    auto items = fixed->Items();
    int checked = 0;
    for (const auto& item : *items) {
        const PointMapping& m = item->Mapping();
        if (m.slaveId != 1) continue;
        const int c = (m.address - 1) / kPointsPerClient;
        const int i = (m.address - 1) % kPointsPerClient;
        if (lastWritten[c][i] < 0) continue;
        auto written = lastWrite.find(item->ItemHandle());
        ASSERT_NE(written, lastWrite.end()) << "address " << m.address;
        double expected = m.dataType == DT_FLOAT
                              ? std::bit_cast<float>(static_cast<uint32_t>(lastWritten[c][i + 1]) << 16 |
                                                     lastWritten[c][i])
                              : lastWritten[c][i];
        EXPECT_EQ(written->second, expected) << "address " << m.address;
        ++checked;
    }
    EXPECT_GT(checked, 100);

    EnableCallback(nullptr);
    CQuorvaneModel::Uninstall(&model);
}

} // namespace
} // namespace quorvane
