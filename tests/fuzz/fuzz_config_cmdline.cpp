// Command lines of any shape (arguments separated by NUL bytes) are either
// refused with a one-line message or give options within their ranges.
#include "frame/config/command_line.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments(1);
    for (size_t i = 0; i < size && arguments.size() < 64; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    const quorvane::CommandLineResult r = quorvane::ParseCommandLine(arguments);
    if (!r.ok) {
        if (r.error.empty() || r.error.find('\n') != std::string::npos) std::abort();
        return 0;
    }
    if (r.options.tcpPort < 0 || r.options.tcpPort > 65535) std::abort();
    if (!r.options.bindAddress.empty() && !quorvane::IsNumericAddress(r.options.bindAddress)) std::abort();
    for (const std::string& network : r.options.allowedNetworks)
        if (!quorvane::IsNetwork(network)) std::abort();
    if (r.options.stateDir.size() > 4000) std::abort();
    if (r.options.metricsPort < 0 || r.options.metricsPort > 65535 ||
        !quorvane::IsNumericAddress(r.options.metricsAddress))
        std::abort();
    if (r.options.browseDepth < 1 || r.options.browseDepth > 100 || r.options.checkSeconds < 1) std::abort();
    for (const auto& [port, device] : r.options.comDevices) {
        if (port < 1 || port > 9 || device.empty() || device.size() > 255) std::abort();
    }
    return 0;
}
