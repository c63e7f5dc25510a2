// Serial links: placeholder until the termios implementation lands.
#include "core.h"

extern "C" PELLACOR_API int32_t OpenConnection(const PellacorWindow*, int32_t, uint16_t, uintptr_t,
                                               const PortSettings*) {
    return -1;
}

extern "C" PELLACOR_API int32_t CloseConnection(int32_t handle) {
    if (handle == PELLACOR_TCP_HANDLE) return pellacor::CloseTcpServer();
    return 0;
}

extern "C" PELLACOR_API int32_t SetPortDevice(int32_t, const char*) { return 0; }
