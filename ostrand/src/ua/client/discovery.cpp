#include "ua/client/discovery.h"

#include "ua/client/transport.h"
#include "ua/encoding/text.h"
#include "ua/secure_channel/security.h"

#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace ostrand::ua {

namespace {

constexpr const char* kListFile = "/ostrand/servers.conf";
constexpr const char* kSystemListFile = "/etc/ostrand/servers.conf";
constexpr size_t kMaxListFileBytes = 1 << 20;

bool starts_with_scheme(std::string_view s) {
    return s.size() >= 10 && strncasecmp(s.data(), "opc.tcp://", 10) == 0;
}

bool is_local_host(const std::string& host) {
    if (host.empty() || !strcasecmp(host.c_str(), "localhost") || is_loopback_address(host) || host == ".")
        return true;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    return !strcasecmp(host.c_str(), name);
}

// The machine as an endpoint: its URL, and whether it names one endpoint
// (given with a port or as a URL) rather than a host's discovery endpoint.
struct Machine {
    EndpointUrl url;
    bool one_endpoint = false;
    bool local = false;
};

std::optional<Machine> parse_machine(const std::string& machine) {
    Machine m;
    if (machine.empty() || machine == ".") {
        m.url.host = "127.0.0.1";
        m.local = true;
        return m;
    }
    const bool url = starts_with_scheme(machine);
    auto parsed = parse_endpoint_url(url ? machine : "opc.tcp://" + machine);
    if (!parsed) return std::nullopt;
    m.url = *parsed;
    const size_t close = machine.rfind(']');
    const size_t colon = machine.rfind(':');
    m.one_endpoint = url || (colon != std::string::npos && (close == std::string::npos || colon > close));
    // This machine's discovery endpoint is asked on loopback, whatever name it goes by.
    m.local = !m.one_endpoint && is_local_host(m.url.host);
    if (m.local) m.url.host = "127.0.0.1";
    return m;
}

bool same_host(const EndpointUrl& a, const EndpointUrl& b) {
    return !strcasecmp(a.host.c_str(), b.host.c_str()) || (is_local_host(a.host) && is_local_host(b.host));
}

void add_unique(std::vector<std::string>& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

std::vector<ServerListEntry> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    // Read as it comes, never more than kMaxListFileBytes: a buffer of the
    // whole limit would take 1 MiB for a file of a few lines, read at every
    // connect, and freeing it raised glibc's mmap and trim thresholds for
    // the rest of the process, so memory freed later stayed resident.
    std::string text;
    char chunk[4096];
    while (text.size() < kMaxListFileBytes) {
        in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, kMaxListFileBytes - text.size())));
        if (in.gcount() <= 0) break;
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    return parse_server_list(text, path);
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The keys a line may carry; their values are checked by parse_security_options.
constexpr std::string_view kOptionKeys[] = {"mode", "security", "policy", "user", "password-file"};

// Why the options of a line cannot be used; empty when they can.
std::string option_error(const std::vector<std::string_view>& words, std::map<std::string, std::string>& options) {
    for (size_t w = 1; w < words.size(); ++w) {
        const size_t eq = words[w].find('=');
        if (eq == std::string_view::npos || eq == 0) return "\"" + std::string(words[w]) + "\" is not a key=value option";
        const std::string key(words[w].substr(0, eq));
        if (std::find(std::begin(kOptionKeys), std::end(kOptionKeys), key) == std::end(kOptionKeys))
            return "unknown option " + key + " (expected mode, policy, user or password-file)";
        if (eq + 1 == words[w].size()) return key + "= needs a value";
        if (!options.emplace(key, std::string(words[w].substr(eq + 1))).second) return key + " is given twice";
    }
    std::string error;
    if (!parse_security_options(options, &error)) return error;
    return {};
}

} // namespace

std::string endpoint_key(std::string_view url) {
    auto parsed = parse_endpoint_url(url);
    if (!parsed) return {};
    for (char& c : parsed->host)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (!parsed->path.empty() && parsed->path.back() == '/') parsed->path.pop_back();
    return format_endpoint_url(*parsed);
}

std::vector<ServerListEntry> parse_server_list(std::string_view text, const std::string& file) {
    std::vector<ServerListEntry> out;
    std::map<std::string, std::pair<size_t, size_t>> first; // endpoint key -> its entry and line
    size_t at = 0;
    size_t number = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '#' && (i == 0 || blank(line[i - 1]))) {
                line = line.substr(0, i);
                break;
            }
        }
        std::vector<std::string_view> words;
        size_t k = 0;
        while (k < line.size()) {
            while (k < line.size() && (line[k] == ' ' || line[k] == '\t' || line[k] == '\r')) ++k;
            size_t w = k;
            while (k < line.size() && line[k] != ' ' && line[k] != '\t' && line[k] != '\r') ++k;
            if (k > w) words.push_back(line.substr(w, k - w));
        }
        if (words.empty() || !parse_endpoint_url(words[0])) continue;
        ServerListEntry e;
        e.url = std::string(words[0]);
        const std::string where = file + " line " + std::to_string(number) + ": ";
        if (std::string why = option_error(words, e.options); !why.empty()) e.error = where + why;
        const auto [seen, fresh] = first.try_emplace(endpoint_key(e.url), out.size(), number);
        if (!fresh) {
            // Neither line wins: the endpoint waits until one of them goes.
            e.error = where + "the endpoint " + e.url + " is listed twice (first on line " +
                      std::to_string(seen->second.second) + "); keep one line";
            ServerListEntry& earlier = out[seen->second.first];
            if (earlier.error.empty()) earlier.error = e.error;
        }
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<ServerListEntry> read_server_lists() {
    std::string dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        dir = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        dir = std::string(home) + "/.config";
    }
    std::vector<ServerListEntry> out;
    if (!dir.empty()) out = read_file(dir + kListFile);
    std::vector<ServerListEntry> system = read_file(kSystemListFile);
    out.insert(out.end(), system.begin(), system.end());
    return out;
}

std::optional<Response> call_without_session(const std::string& url, Request request, const UaSettings& settings) {
    auto parsed = parse_endpoint_url(url);
    if (!parsed) return std::nullopt;
    std::vector<SocketAddress> addresses;
    if (resolve(parsed->host, parsed->port, false, &addresses) != status::Good) return std::nullopt;

    // TCP connect within its limit, address by address.
    TcpTransport tcp;
    const SteadyTime connect_deadline = SteadyClock::now() + settings.find_servers_connect;
    bool connected = false;
    for (const SocketAddress& a : addresses) {
        if (tcp.connect(a) != status::Good) continue;
        pollfd p{tcp.fd(), POLLOUT, 0};
        const auto left = std::chrono::duration_cast<Millis>(connect_deadline - SteadyClock::now()).count();
        if (left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1 && tcp.finish_connect() == status::Good) {
            connected = true;
            break;
        }
        tcp.close();
    }
    if (!connected) return std::nullopt;

    SystemClock clock;
    UaSettings s = settings;
    s.connect_total = settings.find_servers_request;
    s.request_timeout = settings.find_servers_request;
    UaClient client(s, clock);
    const SteadyTime deadline = SteadyClock::now() + settings.find_servers_request;
    client.connect(url, SteadyClock::now(), false);
    uint32_t id = 0;
    std::vector<uint8_t> input;
    while (SteadyClock::now() < deadline) {
        while (auto e = client.next_event()) {
            if (e->kind == UaEvent::Kind::Connected && id == 0) {
                id = client.request(request, SteadyClock::now(), settings.find_servers_request);
                if (id == 0) return std::nullopt;
            } else if (e->kind == UaEvent::Kind::Response && e->request_id == id) {
                client.close(SteadyClock::now());
                tcp.send(client.take_output());
                tcp.flush(); // CLO, best effort
                return std::move(e->response);
            } else if (e->kind != UaEvent::Kind::Connected) {
                return std::nullopt;
            }
        }
        if (client.has_output()) tcp.send(client.take_output());
        if (tcp.flush() == TcpTransport::Io::Failed) return std::nullopt;
        const SteadyTime wake = std::min(deadline, client.next_deadline());
        const auto left = std::max<int64_t>(0, std::chrono::duration_cast<Millis>(wake - SteadyClock::now()).count());
        pollfd p{tcp.fd(), static_cast<short>(POLLIN | (tcp.wants_write() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, static_cast<int>(left) + 1) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            input.clear();
            const TcpTransport::Io io = tcp.read(input, 65536);
            if (io == TcpTransport::Io::Ok) client.receive(input, SteadyClock::now());
            else if (io != TcpTransport::Io::WouldBlock) return std::nullopt;
        }
        client.tick(SteadyClock::now());
    }
    return std::nullopt;
}

std::optional<std::vector<ApplicationDescription>> find_servers(const std::string& url, const UaSettings& settings) {
    FindServersRequest request;
    request.endpoint_url = url;
    auto response = call_without_session(url, request, settings);
    if (!response) return std::nullopt;
    auto* found = std::get_if<FindServersResponse>(&*response);
    if (!found || is_bad(found->header.service_result)) return std::nullopt;
    return std::move(found->servers);
}

std::vector<std::string> list_servers(int32_t mode, const std::string& machine, const UaSettings& settings) {
    std::vector<std::string> names;
    auto m = parse_machine(machine);
    if (!m || (mode != 0 && mode != 1)) return names;
    if (mode == 1) {
        if (auto servers = find_servers(format_endpoint_url(m->url), settings)) {
            for (const ApplicationDescription& a : *servers) {
                if (a.application_type != ApplicationType::Server &&
                    a.application_type != ApplicationType::ClientAndServer)
                    continue; // a discovery server lists itself too
                for (const String& u : a.discovery_urls)
                    if (u && starts_with_scheme(*u) && parse_endpoint_url(*u)) add_unique(names, *u);
            }
        }
    }
    for (const ServerListEntry& e : read_server_lists()) {
        auto u = parse_endpoint_url(e.url);
        if (!u || !same_host(*u, m->url) || (m->one_endpoint && u->port != m->url.port)) continue;
        add_unique(names, e.url);
    }
    return names;
}

std::vector<std::string> endpoints_for(const std::string& machine, const std::string& server,
                                       const UaSettings& settings) {
    if (starts_with_scheme(server)) {
        if (!parse_endpoint_url(server)) return {};
        return {server};
    }
    auto m = parse_machine(machine);
    if (!m || server.empty()) return {};
    auto servers = find_servers(format_endpoint_url(m->url), settings);
    if (!servers) return {};
    for (const ApplicationDescription& a : *servers) {
        const bool match = a.application_uri == server ||
                           (a.application_name.text && !strcasecmp(a.application_name.text->c_str(), server.c_str()));
        if (!match) continue;
        for (const String& u : a.discovery_urls) {
            auto parsed = u && starts_with_scheme(*u) ? parse_endpoint_url(*u) : std::nullopt;
            if (!parsed) continue;
            std::vector<std::string> out{*u};
            // Servers often announce a host name the client cannot use: try the one the user named.
            if (!same_host(*parsed, m->url)) {
                parsed->host = m->url.host;
                parsed->ipv6 = m->url.ipv6;
                out.push_back(format_endpoint_url(*parsed));
            }
            return out;
        }
    }
    return {};
}

} // namespace ostrand::ua
