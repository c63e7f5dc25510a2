#include "pellacor.h"

extern "C" PELLACOR_API uint16_t DLL_Revision(void) { return 0x0204; }
