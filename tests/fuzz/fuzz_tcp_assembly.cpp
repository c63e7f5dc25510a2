// Feeds arbitrary chunk sequences into one Modbus/TCP client's request
// assembly and processing, and checks every reply frame it produces.
//
// Input: repeated [chunk length byte][chunk bytes]; a length byte of 0 stands
// for a client that disconnects (its assembly starts over).
#include "fuzz_check.h"
#include "tcp/server.h"

#include <cstdlib>
#include <cstring>

namespace {

using namespace pellacor;

uint16_t gCoils[64];
uint16_t gInputs[64];
uint16_t gHolding[300];
uint16_t gInputRegs[300];

int32_t IgnoreWrite(int32_t, int32_t, int32_t, int32_t) { return 0; }

bool Setup() {
    DefineDataBlock(1, PELLACOR_COIL_STATUS, 1, 64, gCoils);
    DefineDataBlock(1, PELLACOR_INPUT_STATUS, 1, 64, gInputs);
    DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 300, gHolding);
    DefineDataBlock(2, PELLACOR_HOLDING_REGISTER, 250, 50, gHolding);
    DefineDataBlock(1, PELLACOR_INPUT_REGISTER, 1, 300, gInputRegs);
    EnableCallback(&IgnoreWrite);
    return true;
}

using fuzz::Check;

void CheckReply(void*, const uint8_t* reply, size_t n) {
    Check(n >= 9 && n <= tcp::kReplyCapacity);
    const size_t lengthField = static_cast<size_t>((reply[4] << 8) | reply[5]);
    Check(lengthField + 6 == n);
    const uint8_t function = reply[7];
    if (function & 0x80) {
        Check(n == 9 && (reply[8] == 1 || reply[8] == 2));
    } else if (function >= 1 && function <= 4) {
        Check(reply[8] == static_cast<uint8_t>(n - 9));
    } else {
        Check(n == 12);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = Setup();
    (void)ready;
    static tcp::Assembly a;
    a.fill = 0;
    uint32_t lastActivity = 0;
    const ReplySink sink{nullptr, &CheckReply};
    Connection& c = ConnectionAt(kTcpIndex);

    size_t i = 0;
    while (i < size) {
        const size_t want = data[i++];
        if (want == 0) {
            a.fill = 0;
            continue;
        }
        size_t take = want < size - i ? want : size - i;
        // As a receive does: never more than the buffer has room for.
        if (take > tcp::kReceiveBufferSize - a.fill) take = tcp::kReceiveBufferSize - a.fill;
        std::memcpy(a.buffer + a.fill, data + i, take);
        a.fill += take;
        i += take;
        const tcp::DrainStatus status = tcp::DrainRequests(a, c, 1, &lastActivity, sink, nullptr);
        if (status == tcp::DrainStatus::Drop) {
            Check(a.fill == 0);
            continue;
        }
        // Whatever is left is one incomplete request that still fits.
        Check(a.fill < tcp::kReceiveBufferSize);
    }
    return 0;
}
