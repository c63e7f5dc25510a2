// Recording stand-ins for the slave library's block calls and the OPC client
// service's item calls, for tests that watch what the model asks of them.
#pragma once

#include "model_services.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace quorvane::test {

struct Call {
    Call(std::string name_, int32_t a_ = 0, int32_t b_ = 0, int32_t c_ = 0, int32_t d_ = 0, std::string text_ = "",
         VARTYPE vt_ = VT_EMPTY, double number_ = 0, int32_t mode_ = -1)
        : name(std::move(name_)), a(a_), b(b_), c(c_), d(d_), text(std::move(text_)), vt(vt_), number(number_),
          mode(mode_) {}
    std::string name; // "DefineDataBlock", "RemoveDataBlock", "AddItem", ...
    int32_t a, b, c, d;
    std::string text;  // item id
    VARTYPE vt;        // WriteItem's value
    double number;     // WriteItem's value as a number
    int32_t mode;      // WriteItem's mode
    bool operator==(const Call&) const = default;
};

// Process-wide, as the libraries are.
struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    int32_t nextBlockHandle = 1;
    int32_t blockLimit = 250; // DefineDataBlock answers 0 beyond this many live blocks
    int32_t liveBlocks = 0;
    int32_t nextItemHandle = 1000;
    int32_t writeResult = 0;
    bool recordWrites = true;

    void Reset();
    std::vector<Call> Calls();
    std::vector<std::string> Names();
};
Recorder& TheRecorder();

// Services that record every call; the OPC calls answer as a server would.
ModelServices RecordingServices();

// Converts a VARIANT holding a number to double (for WriteItem records).
double NumberOf(const VARIANT& v);

} // namespace quorvane::test
