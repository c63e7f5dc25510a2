// Pellacor's Modbus/TCP server as a stand-alone process for load runs: one
// block of 10,000 holding registers and one of 10,000 input registers for
// slave 1, served until SIGTERM or SIGINT.
//
//   tcp_bench_server PORT
#include "pellacor.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {
int Posted(void*, uint32_t, uintptr_t, intptr_t) {
    std::fprintf(stderr, "tcp_bench_server: cannot bind the port\n");
    std::_Exit(1);
}
int32_t IgnoreWrite(int32_t, int32_t, int32_t, int32_t) { return 0; }
// Static, so the blocks outlive a service thread still tearing down at exit.
uint16_t holding[10000];
uint16_t input[10000];
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tcp_bench_server PORT\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // the service thread inherits the mask

    for (size_t i = 0; i < 10000; ++i) holding[i] = static_cast<uint16_t>(0x100 + i);
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 10000, holding);
    DefineDataBlock(1, PELLACOR_INPUT_REGISTER, 1, 10000, input);
    EnableCallback(&IgnoreWrite);

    PellacorWindow window{nullptr, &Posted, nullptr, nullptr};
    SetTCPServicePort(static_cast<uint16_t>(std::atoi(argv[1])));
    if (OpenTCPConnection(&window, PELLACOR_TCP_BIND_FAILED_MESSAGE) != PELLACOR_TCP_HANDLE) return 1;

    int sig = 0;
    sigwait(&stop, &sig);
    CloseConnection(PELLACOR_TCP_HANDLE);
    return 0;
}
