// Recording stand-ins for the slave library's block calls and the OPC client
// service's item calls, for tests that watch what the model asks of them.
#pragma once

#include "model/model_services.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::test {

struct Call {
    std::string name; // "DefineDataBlock", "RemoveDataBlock", "AddItem", ...
    int32_t a = 0, b = 0, c = 0, d = 0;
    std::string text{};    // item id
    VARTYPE vt = VT_EMPTY; // WriteItem's value
    double number = 0;     // WriteItem's value as a number
    int32_t mode = -1;     // WriteItem's mode
    bool operator==(const Call&) const = default;
};

// Process-wide, as the libraries are. Tests change the knobs through Set.
struct Recorder {
    struct Knobs {
        int32_t nextBlockHandle = 1;
        int32_t blockLimit = 250; // DefineDataBlock answers 0 beyond this many live blocks
        int32_t liveBlocks = 0;
        int32_t nextItemHandle = 1000;
        int32_t writeResult = 0;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    // ActivateSlaveId(id, active) as {id, active}, apart from `calls` so that
    // the block and item sequences read alone.
    std::vector<std::pair<int32_t, int32_t>> activations;
    Knobs knobs;

    void Reset();
    void Set(int32_t Knobs::*knob, int32_t value);
    std::vector<Call> Calls();
    std::vector<std::string> Names();
};
Recorder& TheRecorder();

// Services that record every call; the OPC calls answer as a server would.
ModelServices RecordingServices();

} // namespace quorvane::test
