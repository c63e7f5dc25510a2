// The whole road in one process: the simulation server's values reach a
// libmodbus master through a group, the point map and the slave library's
// Modbus/TCP server; what the master writes reaches the simulation items,
// converted, with one flush.
#include "modbus_peer.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <vector>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

PointMapping Map(int32_t type, uint16_t address, uint16_t dataType) {
    return test::Mapped(1, type, address, dataType);
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OstrandInitialize(), 0);
        server = ConnectServer("", "Demo.Server.1", 0);
        ASSERT_NE(server, -1);
        model = std::make_unique<CQuorvaneModel>();
        model->SetServerHandle(server);
        CQuorvaneModel::Install(model.get());
        EnableDataCallback(server, &CQuorvaneModel::OnDataChange);
        EnableCallback(&CQuorvaneModel::OnSlaveWrite);
        int32_t rate = 100;
        float deadband = 0.0f;
        int32_t group = AddGroup(server, "Gateway", &rate, &deadband);
        ASSERT_NE(group, -1);
        model->OpenGroupDocument("Gateway", rate, deadband, group);
        doc = model->Groups()->front();
    }
    void TearDown() override {
        tcp.reset();
        EnableCallback(nullptr);
        doc.reset();
        if (model) model->CloseAllGroups();
        if (server != -1) DisconnectServer(server);
        model.reset();
        OstrandUninitialize();
    }

    // The item's current value as a number, NaN while it has none.
    double ValueOf(int index) {
        ItemState s;
        if (!doc->ReadItem(index, &s) || s.value.Type() == VT_EMPTY) return std::nan("");
        VARIANT r;
        VariantInit(&r);
        if (VariantChangeType(&r, &s.value.Get(), 0, VT_R8) < 0) return std::nan("");
        return r.dblVal;
    }

    int32_t server = -1;
    std::unique_ptr<CQuorvaneModel> model;
    std::shared_ptr<CQuorvaneDoc> doc;
    std::unique_ptr<test::TcpServer> tcp;
};

TEST_F(EndToEnd, MasterReadsConvertedValuesAndWritesReachTheServer) {
    enum { kShort, kFloat, kBool, kLevel, kTemp };
    doc->AddRestoredItem("Setpoints.Short", Map(PT_HOLDING_REGISTER, 1, DT_SHORT));
    doc->AddRestoredItem("Setpoints.Float", Map(PT_HOLDING_REGISTER, 2, DT_FLOAT));
    doc->AddRestoredItem("Setpoints.Bool", Map(PT_COIL_STATUS, 1, DT_BOOL));
    doc->AddRestoredItem("Setpoints.Level", Map(PT_HOLDING_REGISTER, 5, DT_SCALED));
    doc->AddRestoredItem("Channel1.Device1.Temp", Map(PT_INPUT_REGISTER, 1, DT_FLOAT));

    tcp = std::make_unique<test::TcpServer>();
    ASSERT_TRUE(tcp->Open());
    test::Master master(tcp->Port(), 1);
    ASSERT_TRUE(master.Connected());

    // OPC to master: an operator write comes back as a data change and is
    // served converted.
    ASSERT_EQ(doc->WriteItemAt(kShort, -5.0f, false), 1);
    uint16_t regs[2] = {};
    EXPECT_TRUE(WaitFor([&] { return master.ReadHolding(1, 1, regs) && regs[0] == 0xFFFB; }));
    // Level starts at 50 of 0..100, scaled onto 0..9999 and truncated.
    EXPECT_TRUE(WaitFor([&] { return master.ReadHolding(5, 1, regs) && regs[0] == 4999; }));
    // Temp is a sine around 20 in two registers, low word first.
    EXPECT_TRUE(WaitFor([&] {
        if (!master.ReadInput(1, 2, regs)) return false;
        float t = std::bit_cast<float>(static_cast<uint32_t>(regs[1]) << 16 | regs[0]);
        return t >= 9.9f && t <= 30.1f;
    }));

    // Master to OPC: each value reaches its item with one flush.
    ASSERT_TRUE(master.WriteHolding(1, 1234));
    const uint32_t bits = std::bit_cast<uint32_t>(2.5f);
    const uint16_t pair[2] = {static_cast<uint16_t>(bits & 0xFFFF), static_cast<uint16_t>(bits >> 16)};
    ASSERT_TRUE(master.WriteHoldings(2, 2, pair));
    ASSERT_TRUE(master.WriteCoil(1, true));
    ASSERT_TRUE(master.WriteHolding(5, 9999));
    model->FlushAllPendingWrites();
    EXPECT_TRUE(WaitFor([&] { return ValueOf(kShort) == 1234; })) << ValueOf(kShort);
    EXPECT_TRUE(WaitFor([&] { return ValueOf(kFloat) == 2.5; })) << ValueOf(kFloat);
    EXPECT_TRUE(WaitFor([&] { return ValueOf(kBool) == -1; })) << ValueOf(kBool);
    EXPECT_TRUE(WaitFor([&] { return std::fabs(ValueOf(kLevel) - 100.0) < 1e-3; })) << ValueOf(kLevel);
    // The new values come back to the master converted.
    uint8_t coil = 0;
    EXPECT_TRUE(WaitFor([&] { return master.ReadCoil(1, &coil) && coil == 1; }));
    EXPECT_TRUE(WaitFor([&] { return master.ReadHolding(5, 1, regs) && regs[0] == 9999; }));

    // A FLOAT's low word alone is held: nothing reaches the item.
    const uint16_t low = 0x1234;
    ASSERT_TRUE(master.WriteHolding(2, low));
    model->FlushAllPendingWrites();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(ValueOf(kFloat), 2.5);
    EXPECT_EQ(doc->ItemAt(kFloat)->Pending().first, low);
}

// A constant item sends no further data change: its new registers must show
// its value as soon as the mapping changes.
TEST_F(EndToEnd, RemappedConstantItemIsServedAtOnce) {
    doc->AddRestoredItem("Setpoints.Short", Map(PT_HOLDING_REGISTER, 1, DT_SHORT));
    tcp = std::make_unique<test::TcpServer>();
    ASSERT_TRUE(tcp->Open());
    test::Master master(tcp->Port(), 1);
    ASSERT_TRUE(master.Connected());
    ASSERT_EQ(doc->WriteItemAt(0, -5.0f, false), 1);
    uint16_t regs[2] = {};
    ASSERT_TRUE(WaitFor([&] { return master.ReadHolding(1, 1, regs) && regs[0] == 0xFFFB; }));

    const uint32_t bits = std::bit_cast<uint32_t>(-5.0f);
    struct Case {
        const char* what;
        PointMapping mapping;
        std::vector<uint16_t> words;
    } const cases[] = {
        {"another block", Map(PT_HOLDING_REGISTER, 300, DT_SHORT), {0xFFFB}},
        {"a FLOAT, low word first", Map(PT_HOLDING_REGISTER, 401, DT_FLOAT),
         {static_cast<uint16_t>(bits & 0xFFFF), static_cast<uint16_t>(bits >> 16)}},
        {"a FLOAT moved by one inside its block", Map(PT_HOLDING_REGISTER, 402, DT_FLOAT),
         {static_cast<uint16_t>(bits & 0xFFFF), static_cast<uint16_t>(bits >> 16)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(doc->EditItemMapping(0, c.mapping), 1);
        const int count = static_cast<int>(c.words.size());
        ASSERT_TRUE(master.ReadHolding(c.mapping.address, count, regs));
        EXPECT_EQ(std::vector<uint16_t>(regs, regs + count), c.words);
    }
}

// A slave id that no block serves falls silent on a shared line, so that a
// real slave of that id can answer; mapping a point there serves it again.
TEST_F(EndToEnd, SlaveIdWithoutPointsIsSilentOnTheSerialLine) {
    constexpr uint8_t kSlave = 9;
    test::Master master(test::Master::OnPty{}, kSlave);
    ASSERT_TRUE(master.Connected());
    ASSERT_EQ(SetPortDevice(8, master.DevicePath().c_str()), 1);
    PortSettings settings{};
    settings.baudRate = 19200;
    settings.dataBits = 8;
    const int32_t link = OpenConnection(nullptr, 8, 1, 8, &settings);
    ASSERT_NE(link, -1);
    // A line turnaround between requests, as masters keep on a real line.
    auto read = [&](uint16_t point, uint16_t* out) {
        std::this_thread::sleep_for(20ms);
        return master.ReadHolding(point, 1, out);
    };

    doc->AddRestoredItem("Setpoints.Short", test::Mapped(kSlave, PT_HOLDING_REGISTER, 1, DT_SHORT));
    uint16_t value = 0;
    EXPECT_TRUE(read(1, &value));
    EXPECT_FALSE(read(200, &value)); // no block there, but the id is served: an exception
    EXPECT_EQ(errno, EMBXILADD);

    doc->RemoveItemAt(0);
    master.SetTimeout(300ms);
    EXPECT_FALSE(read(1, &value));
    EXPECT_EQ(errno, ETIMEDOUT); // silence, not an exception

    doc->AddRestoredItem("Setpoints.Short", test::Mapped(kSlave, PT_HOLDING_REGISTER, 500, DT_SHORT));
    master.SetTimeout(1000ms);
    EXPECT_TRUE(read(500, &value));
    EXPECT_EQ(CloseConnection(link), 1);
    SetPortDevice(8, nullptr);
}

} // namespace
} // namespace quorvane
