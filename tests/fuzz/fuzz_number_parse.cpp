// Text typed into the dialogs' number boxes: every parser either refuses with
// its message and leaves the value alone, or gives a value that the accepted
// form allows (in range, finite, and read back from its own "%.6g" text).
#include "model/number_parse.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    uint32_t u = 7;
    const std::string um = ParseUnsignedText(text, &u);
    if (!um.empty() && (um != kMsgPositiveInteger || u != 7)) std::abort();

    uint32_t r = 7;
    const std::string rm = ParseRangedText(text, 1, 9999, &r);
    if (rm.empty() ? (r < 1 || r > 9999 || !um.empty() || r != u) : r != 7) std::abort();

    float f = 7.0f;
    const std::string fm = ParseFloatText(text, &f);
    if (!fm.empty() && (fm != kMsgNumber || f != 7.0f)) std::abort();
    if (fm.empty()) {
        if (!std::isfinite(f)) std::abort();
        // The shown text of a value reads back as a number.
        float back = 0.0f;
        if (!ParseFloatText(FormatFloatText(f), &back).empty()) std::abort();
    }

    const std::optional<int32_t> scanned = ScanLeadingInt(text);
    if (um.empty() && u <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) &&
        (!scanned || *scanned != static_cast<int32_t>(u)))
        std::abort();
    return 0;
}
