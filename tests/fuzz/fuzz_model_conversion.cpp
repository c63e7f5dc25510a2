// Any OPC value into any mapping's registers, any master words back into an
// OPC value, the texts of any mapping and the item list's texts of any value:
// no crash, no undefined behaviour, a FLOAT's words always carry the value's
// exact bit pattern, and a text value is a prefix of the server's text that
// is cut only between whole characters.
#include "model/conversion.h"
#include "model/item_list.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    template <typename T> T Take() {
        T value{};
        size_t n = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

constexpr uint16_t kCodes[] = {quorvane::DT_SHORT, quorvane::DT_FLOAT,    quorvane::DT_DATE,
                               quorvane::DT_BOOL,  quorvane::DT_UNSIGNED, quorvane::DT_SCALED};
constexpr VARTYPE kTags[] = {VT_EMPTY, VT_NULL, VT_I2,  VT_I4,  VT_R4, VT_R8, VT_CY,  VT_DATE,
                             VT_BSTR,  VT_BOOL, VT_I1,  VT_UI1, VT_UI2, VT_UI4, VT_I8, VT_UI8, VT_INT, VT_UINT};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvane;
    Reader in{data, size};
    PointMapping m;
    const uint8_t code = in.Take<uint8_t>();
    m.dataType = code < 6 * 40 ? kCodes[code % 6] : in.Take<uint16_t>();
    m.slaveId = in.Take<uint8_t>();
    m.pointType = in.Take<int8_t>();
    m.address = in.Take<uint16_t>();
    m.dataLow = in.Take<float>();
    m.dataHigh = in.Take<float>();
    m.registerLow = in.Take<float>();
    m.registerHigh = in.Take<float>();
    const uint16_t first = in.Take<uint16_t>();
    const uint16_t second = in.Take<uint16_t>();

    VARIANT value;
    VariantInit(&value);
    value.vt = kTags[in.Take<uint8_t>() % (sizeof kTags / sizeof kTags[0])];
    if (value.vt == VT_BSTR) {
        std::string text(reinterpret_cast<const char*>(in.data), in.size);
        value.bstrVal = SysAllocString(text.c_str());
    } else {
        value.ullVal = in.Take<uint64_t>();
    }

    RegisterWords words = OpcValueToRegisters(value, m);
    if (words.count != m.RegisterCount()) std::abort();
    if (m.dataType == DT_FLOAT && value.vt == VT_R4 && !std::isnan(value.fltVal)) {
        VARIANT back;
        if (!PendingToOpcValue(m, words.words[0], words.words[1], &back)) std::abort();
        if (std::bit_cast<uint32_t>(back.fltVal) != std::bit_cast<uint32_t>(value.fltVal)) std::abort();
    }
    VARIANT out;
    const bool written = PendingToOpcValue(m, first, second, &out);
    const bool writable = m.dataType == DT_SHORT || m.dataType == DT_UNSIGNED || m.dataType == DT_BOOL ||
                          m.dataType == DT_FLOAT || m.dataType == DT_SCALED;
    if (written != writable) std::abort();
    VariantClear(&out);

    const std::string valueText = FormatItemValue(value);
    if (value.vt == VT_BSTR) {
        const std::string_view server(value.bstrVal);
        if (server.substr(0, valueText.size()) != valueText) std::abort();
        const size_t chars = CountTextChars(valueText);
        if (chars > kMaxValueTextChars) std::abort();
        if (valueText.size() < server.size() && chars != kMaxValueTextChars) std::abort();
        if (CountTextChars(server.substr(valueText.size())) + chars != CountTextChars(server)) std::abort();
        const std::string cut = TruncateText(server, first);
        if (server.substr(0, cut.size()) != cut || CountTextChars(cut) > first) std::abort();
    } else if (valueText.empty()) {
        std::abort();
    }
    // Any time stamp: a time or the dashes, always twelve characters.
    if (FormatItemTime(value.vt == VT_BSTR ? first : value.ullVal).size() != 12) std::abort();

    std::string reference = FormatPointReferenceText(m, first, second);
    std::string line = FormatItemLine("Item", m);
    if (reference.empty() || line.empty()) std::abort();
    VariantClear(&value);
    return 0;
}
