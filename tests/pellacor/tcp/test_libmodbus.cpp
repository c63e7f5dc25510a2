// An independent Modbus/TCP master (libmodbus) reads and writes through the server.
#include "tcp/server.h"
#include "test_tcp_support.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <array>
#include <cerrno>

namespace {

class LibmodbusMaster : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = tcptest::FreeLoopbackPort();
        SetTCPServicePort(port_);
        for (uint16_t i = 0; i < regs_.size(); ++i) regs_[i] = static_cast<uint16_t>(1000 + i);
        inputs_[2] = 1;
        blocks_ = {DefineDataBlock(17, PELLACOR_HOLDING_REGISTER, 1, 200, regs_.data()),
                   DefineDataBlock(17, PELLACOR_COIL_STATUS, 1, 32, coils_.data()),
                   DefineDataBlock(17, PELLACOR_INPUT_STATUS, 1, 8, inputs_.data()),
                   DefineDataBlock(17, PELLACOR_INPUT_REGISTER, 101, 4, inregs_.data())};
        ASSERT_EQ(OpenTCPConnection(nullptr, PELLACOR_TCP_BIND_FAILED_MESSAGE), PELLACOR_TCP_HANDLE);
        tcptest::Client probe(port_); // returns once the server listens
        ASSERT_TRUE(probe.Connected());

        ctx_ = modbus_new_tcp("127.0.0.1", port_);
        ASSERT_NE(ctx_, nullptr);
        modbus_set_slave(ctx_, 17);
        modbus_set_response_timeout(ctx_, 2, 0);
        ASSERT_EQ(modbus_connect(ctx_), 0) << modbus_strerror(errno);
    }
    void TearDown() override {
        if (ctx_ != nullptr) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
        CloseConnection(PELLACOR_TCP_HANDLE);
        EXPECT_TRUE(pellacor::tcp::WaitAllServersEnded(5000));
        for (int32_t h : blocks_) RemoveDataBlock(h);
    }

    uint16_t port_ = 0;
    modbus_t* ctx_ = nullptr;
    std::vector<int32_t> blocks_;
    std::array<uint16_t, 200> regs_{};
    std::array<uint16_t, 32> coils_{};
    std::array<uint16_t, 8> inputs_{};
    std::array<uint16_t, 4> inregs_{0x0A0B, 0x0C0D, 0, 0xFFFF};
};

TEST_F(LibmodbusMaster, ReadsAndWrites) {
    uint16_t got[125] = {};
    ASSERT_EQ(modbus_read_registers(ctx_, 0, 125, got), 125);
    for (int i = 0; i < 125; ++i) ASSERT_EQ(got[i], 1000 + i);

    const uint16_t values[3] = {7, 8, 0xFFFF};
    ASSERT_EQ(modbus_write_registers(ctx_, 10, 3, values), 3);
    ASSERT_EQ(modbus_write_register(ctx_, 199, 0x1234), 1);
    ASSERT_EQ(modbus_read_registers(ctx_, 10, 3, got), 3);
    EXPECT_EQ(got[2], 0xFFFF);
    EXPECT_EQ(std::atomic_ref<uint16_t>(regs_[199]).load(), 0x1234);

    const uint8_t bits[10] = {1, 0, 1, 1, 0, 0, 0, 0, 1, 1};
    ASSERT_EQ(modbus_write_bits(ctx_, 5, 10, bits), 10);
    ASSERT_EQ(modbus_write_bit(ctx_, 31, 1), 1);
    uint8_t read[32] = {};
    ASSERT_EQ(modbus_read_bits(ctx_, 0, 32, read), 32);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(read[5 + i], bits[i]) << i;
    EXPECT_EQ(read[31], 1);

    ASSERT_EQ(modbus_read_input_bits(ctx_, 0, 8, read), 8);
    EXPECT_EQ(read[2], 1);
    EXPECT_EQ(read[3], 0);
    ASSERT_EQ(modbus_read_input_registers(ctx_, 100, 4, got), 4);
    EXPECT_EQ(got[0], 0x0A0B);
    EXPECT_EQ(got[3], 0xFFFF);
}

TEST_F(LibmodbusMaster, ExceptionsReachTheMaster) {
    uint16_t got[4];
    EXPECT_EQ(modbus_read_registers(ctx_, 199, 2, got), -1);
    EXPECT_EQ(errno, EMBXILADD);
    uint8_t id[64];
    EXPECT_EQ(modbus_report_slave_id(ctx_, sizeof id, id), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    // The connection stays usable after exceptions.
    EXPECT_EQ(modbus_read_registers(ctx_, 0, 1, got), 1);
}

} // namespace
