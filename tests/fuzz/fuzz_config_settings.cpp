// velmarc.cfg of any length decodes without reading past its end, and what
// it decodes encodes back to the same bytes for every whole entry.
#include "frame/config/port_settings_store.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvane;
    PortTable ports{};
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    int whole = DecodeSettingsFile(bytes, ports);
    if (whole < 0 || whole > kSerialPorts) std::abort();
    const std::string encoded = EncodeSettingsFile(ports);
    const size_t compared = static_cast<size_t>(whole) * kPortEntrySize;
    if (encoded.size() != kSettingsFileSize || std::memcmp(encoded.data(), data, compared) != 0) std::abort();
    return 0;
}
