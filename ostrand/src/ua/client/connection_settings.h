// The security a connection to an OPC UA server uses: the options of the
// server's line in the endpoint list file (discovery.h), the endpoints it
// offers, and our certificate store (pki.h) decide it before the connect.
#pragma once

#include "ua/client/engine.h"

#include <optional>
#include <string>

namespace ostrand::ua {

// The settings to connect to `url` with: the options of its line in the
// endpoint list file and the endpoints the server offers (GetEndpoints on a
// transient channel) choose the security; with SecurityPolicy None and the
// anonymous identity the settings stay as they are. Nothing when the options
// cannot be met, the endpoint's line in the list file is in error, the
// server cannot be asked while options name a security,
// or its certificate is refused: *message then says why, for the operator
// (where a rejected certificate was stored and how to trust it).
std::optional<UaSettings> settings_for(const std::string& url, const UaSettings& settings, std::string* message);

} // namespace ostrand::ua
