// The Modbus side of the gateway tests: the slave library's Modbus/TCP server
// on a free loopback port, and libmodbus masters talking to it.
#pragma once

#include "../../support/loopback.h"
#include "pellacor.h"

#include <modbus.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

namespace quorvane::test {

// The slave library's Modbus/TCP server for the life of the object.
class TcpServer {
public:
    TcpServer() : port_(FreeLoopbackPort()) {
        SetTCPServicePort(port_);
        handle_ = OpenTCPConnection(nullptr, PELLACOR_TCP_BIND_FAILED_MESSAGE);
    }
    ~TcpServer() {
        if (handle_ != -1) CloseConnection(handle_);
    }
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;
    bool Open() const { return handle_ == PELLACOR_TCP_HANDLE; }
    uint16_t Port() const { return port_; }

private:
    uint16_t port_;
    int32_t handle_ = -1;
};

// One libmodbus master on 127.0.0.1. Point addresses are the protocol
// address plus one, so point n is requested as n - 1.
class Master {
public:
    Master(uint16_t port, int slave) {
        ctx_ = modbus_new_tcp("127.0.0.1", port);
        if (ctx_ == nullptr) return;
        modbus_set_slave(ctx_, slave);
        modbus_set_response_timeout(ctx_, 2, 0);
        // The server starts listening on its own thread: retry for a while.
        for (int attempt = 0; attempt < 100 && !connected_; ++attempt) {
            connected_ = modbus_connect(ctx_) == 0;
            if (!connected_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // An RTU master on a fresh pseudo-terminal (/dev/ptmx); the slave
    // library opens DevicePath(), empty when the terminal could not be made.
    struct OnPty {};
    Master(OnPty, int slave) {
        ctx_ = modbus_new_rtu("/dev/ptmx", 19200, 'N', 8, 1);
        if (ctx_ == nullptr || modbus_connect(ctx_) != 0) return;
        const int fd = modbus_get_socket(ctx_);
        if (grantpt(fd) != 0 || unlockpt(fd) != 0) return;
        path_ = ptsname(fd);
        connected_ = true;
        modbus_set_slave(ctx_, slave);
        modbus_set_response_timeout(ctx_, 1, 0);
    }
    ~Master() {
        if (ctx_ == nullptr) return;
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    bool Connected() const { return connected_; }
    const std::string& DevicePath() const { return path_; }
    // How long a request waits for its reply.
    void SetTimeout(std::chrono::milliseconds wait) {
        modbus_set_response_timeout(ctx_, static_cast<uint32_t>(wait.count() / 1000),
                                    static_cast<uint32_t>(wait.count() % 1000 * 1000));
    }
    bool ReadHolding(uint16_t point, int count, uint16_t* out) {
        return modbus_read_registers(ctx_, point - 1, count, out) == count;
    }
    bool ReadInput(uint16_t point, int count, uint16_t* out) {
        return modbus_read_input_registers(ctx_, point - 1, count, out) == count;
    }
    bool ReadCoil(uint16_t point, uint8_t* out) { return modbus_read_bits(ctx_, point - 1, 1, out) == 1; }
    bool WriteHolding(uint16_t point, uint16_t value) { return modbus_write_register(ctx_, point - 1, value) == 1; }
    bool WriteHoldings(uint16_t point, int count, const uint16_t* values) {
        return modbus_write_registers(ctx_, point - 1, count, values) == count;
    }
    bool WriteCoil(uint16_t point, bool on) { return modbus_write_bit(ctx_, point - 1, on ? 1 : 0) == 1; }

private:
    modbus_t* ctx_ = nullptr;
    bool connected_ = false;
    std::string path_;
};

// Polls `condition` every 10 ms until it holds or `timeout` passes.
template <typename F> bool WaitFor(F condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace quorvane::test
