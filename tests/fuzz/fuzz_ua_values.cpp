// What an OPC UA server and the list file of endpoints hand the service:
// a DataValue decoded from arbitrary bytes converted to a VARIANT (and back
// through the write coercion), or arbitrary text read as servers.conf.
// Nothing may crash, leak or produce an entry whose URL does not parse.
#include "fuzz_check.h"
#include "ua/client/discovery.h"
#include "ua/encoding/codec.h"
#include "ua/encoding/text.h"
#include "ua/encoding/variant.h"

#include <cstdlib>
#include <string_view>

namespace {

using namespace ostrand::ua;

using fuzz::Check;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
        for (const ServerListEntry& e : parse_server_list(text)) Check(parse_endpoint_url(e.url).has_value());
        return 0;
    }
    Reader r(data + 1, size - 1);
    const DataValue value = r.data_value();
    if (!r.ok() || !value.value) return 0;
    (void)quality_of(value.status.value_or(0));
    VARIANT v;
    VariantInit(&v);
    if (to_variant(*value.value, &v)) {
        // Whatever a server sent can be written back to a node of its own type.
        const uint8_t type = value.value->type();
        Variant back;
        const HRESULT hr = to_ua(v, type, value.value->array, &back);
        Check(hr == S_OK || hr == DISP_E_BADVARTYPE || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW);
    } else {
        Check(v.vt == VT_EMPTY);
    }
    VariantClear(&v);
    return 0;
}
