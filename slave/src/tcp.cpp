// Modbus/TCP server: placeholder until the implementation lands.
#include "core.h"

namespace pellacor {
int32_t CloseTcpServer() { return 1; }
} // namespace pellacor

extern "C" PELLACOR_API int32_t OpenTCPConnection(const PellacorWindow*, uint32_t) { return -1; }
extern "C" PELLACOR_API int32_t SetTCPServicePort(uint16_t) { return 1; }
extern "C" PELLACOR_API int32_t InitializeWSock(void) { return 0; }
extern "C" PELLACOR_API uint16_t UnInitializeWSock(void) { return 0; }
extern "C" PELLACOR_API intptr_t MBAPWndProc(void*, uint32_t, uintptr_t, intptr_t) { return 0; }
