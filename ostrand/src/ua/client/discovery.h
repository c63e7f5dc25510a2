// Naming and listing of OPC UA servers: a server is named by its endpoint
// URL (opc.tcp://host:port/path). Listing asks FindServers on a machine's
// discovery endpoint and reads the optional list file of known endpoints.
//
// Contract:
// - The list file is $XDG_CONFIG_HOME/ostrand/servers.conf (or
//   ~/.config/ostrand/servers.conf when the variable is unset or empty), then
//   /etc/ostrand/servers.conf: one endpoint URL per line, optionally followed
//   by blank-separated key=value options; '#' at the start of a line or after
//   white space starts a comment (a '#' inside a URL does not). Lines that do
//   not start with a valid URL are skipped. A line with an unknown option, a
//   bad value, or a second line for an endpoint already listed in the same
//   file is kept with an error naming the file and line: that endpoint is not
//   connected until the file is mended. Endpoints are the same when their
//   scheme and host match in any case, their ports (4840 when not written)
//   are equal and their paths match but for a trailing '/'.
// - FindServers runs on a transient channel without a session, in the
//   calling thread, bounded by find_servers_connect + find_servers_request.
// - A machine is "" or a local name (this machine's discovery endpoint
//   127.0.0.1:4840), a host (port 4840), host:port or a URL; given with a port
//   or as a URL it names that one endpoint.
#pragma once

#include "ua/client/engine.h"
#include "ua/encoding/messages.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrand::ua {

struct ServerListEntry {
    std::string url;
    std::map<std::string, std::string> options; // the security settings (security.h)
    std::string error;                          // "FILE line N: why"; empty when the line is sound
};

// `file` names the text in errors.
std::vector<ServerListEntry> parse_server_list(std::string_view text, const std::string& file = "servers.conf");
// The form under which two URLs of one endpoint compare equal (see above);
// empty for a URL that does not parse.
std::string endpoint_key(std::string_view url);
// Both files, the user's first; a missing file is an empty list.
std::vector<ServerListEntry> read_server_lists();

// The servers a discovery endpoint announces; nothing when it cannot be asked.
std::optional<std::vector<ApplicationDescription>> find_servers(const std::string& url, const UaSettings& settings);

// One request on a transient channel without a session (FindServers,
// GetEndpoints); nothing on failure or time-out.
std::optional<Response> call_without_session(const std::string& url, Request request, const UaSettings& settings);

// The OPC UA names GetServerCount lists for `machine` (after the simulation
// names): mode 1 what the discovery endpoint announces, then list-file
// entries for that machine not already named; mode 0 the list-file entries.
std::vector<std::string> list_servers(int32_t mode, const std::string& machine, const UaSettings& settings = {});

// The endpoint URLs to try, in order, for ConnectServer(machine, server):
// `server` itself when it is a URL; else the discovery endpoint of `machine`
// asked for an ApplicationUri (exact) or ApplicationName (any case) equal to
// `server`: its first opc.tcp discovery URL, then the same with the host the
// user named. Empty: nothing matches.
std::vector<std::string> endpoints_for(const std::string& machine, const std::string& server,
                                       const UaSettings& settings);

} // namespace ostrand::ua
