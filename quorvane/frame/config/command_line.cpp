#include "frame/config/command_line.h"

#include "pellacor.h"

#include <arpa/inet.h>

#include <string_view>
#include <utility>

namespace quorvane {
namespace {

// A whole decimal number within [low, high]; no sign, no trailing text.
bool ParseBounded(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 6) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    value = v;
    return true;
}

// An argument as an error message quotes it: control characters escaped, so
// that the message stays on one line.
std::string Quoted(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "'";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

// The address bytes of a numeric IPv4 (4) or IPv6 (16) address; 0 when the
// text is neither.
int AddressBytes(const std::string& text, unsigned char (&bytes)[16]) {
    if (::inet_pton(AF_INET, text.c_str(), bytes) == 1) return 4;
    if (::inet_pton(AF_INET6, text.c_str(), bytes) == 1) return 16;
    return 0;
}

// Removes the trailing ",t35" and ",rs485" of a --com device, in any order,
// and returns the port options they stand for.
uint32_t TakePortOptions(std::string& device) {
    static constexpr std::pair<std::string_view, uint32_t> kSuffixes[] = {
        {",t35", PELLACOR_PORT_END_AFTER_3_5_CHARACTERS}, {",rs485", PELLACOR_PORT_KERNEL_RS485}};
    uint32_t options = 0;
    for (bool found = true; found;) {
        found = false;
        for (const auto& [suffix, bit] : kSuffixes) {
            if (device.ends_with(suffix)) {
                device.resize(device.size() - suffix.size());
                options |= bit;
                found = true;
            }
        }
    }
    return options;
}

CommandLineResult Fail(std::string error) {
    CommandLineResult result;
    result.ok = false;
    result.error = std::move(error);
    return result;
}

} // namespace

bool IsNumericAddress(const std::string& text) {
    unsigned char bytes[16];
    return AddressBytes(text, bytes) != 0;
}

bool IsNetwork(const std::string& text) {
    const size_t slash = text.find('/');
    unsigned char bytes[16] = {};
    const int size = AddressBytes(text.substr(0, slash), bytes);
    if (size == 0) return false;
    int prefix = size * 8;
    if (slash != std::string::npos &&
        (text.size() - slash - 1 > 3 || !ParseBounded(text.substr(slash + 1), 0, size * 8, prefix)))
        return false;
    for (int bit = prefix; bit < size * 8; ++bit)
        if ((bytes[bit / 8] >> (7 - bit % 8)) & 1) return false;
    return true;
}

bool ParseListenAddress(const std::string& text, std::string& address, int& port) {
    const size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        unsigned char bytes[16];
        if (AddressBytes(host, bytes) != 16) return false;
    } else if (!host.empty()) {
        unsigned char bytes[16];
        if (AddressBytes(host, bytes) != 4) return false;
    } else {
        return false;
    }
    int number = 0;
    if (!ParseBounded(colon == std::string::npos ? text : text.substr(colon + 1), 1, 65535, number)) return false;
    address = host;
    port = number;
    return true;
}

CommandLineResult ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLineResult result;
    CommandLine& options = result.options;
    size_t i = 0;
    // Takes the value of an option given as "--name VALUE" or "--name=VALUE".
    auto value = [&](const std::string& argument, const std::string& name, std::string& out) {
        if (argument.size() > name.size() && argument.compare(0, name.size() + 1, name + "=") == 0) {
            out = argument.substr(name.size() + 1);
            return true;
        }
        if (argument != name || i + 1 >= arguments.size()) return false;
        out = arguments[++i];
        return true;
    };

    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument.size() < 2 || argument[0] != '-') break; // the file name begins
        std::string text;
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--tcp-port" || argument.starts_with("--tcp-port=")) {
            if (!value(argument, "--tcp-port", text)) return Fail("--tcp-port needs a port number");
            if (!ParseBounded(text, 1, 65535, options.tcpPort))
                return Fail("--tcp-port: " + Quoted(text) + " is not a port number from 1 to 65535");
        } else if (argument == "--bind" || argument.starts_with("--bind=")) {
            if (!value(argument, "--bind", text)) return Fail("--bind needs an address");
            if (!IsNumericAddress(text))
                return Fail("--bind: " + Quoted(text) + " is not a numeric IPv4 or IPv6 address");
            options.bindAddress = text;
        } else if (argument == "--allow" || argument.starts_with("--allow=")) {
            if (!value(argument, "--allow", text)) return Fail("--allow needs a network");
            if (!IsNetwork(text))
                return Fail("--allow: " + Quoted(text) + " is not a network ADDRESS[/PREFIX] such as " +
                            "192.168.1.0/24 (no host bits below the prefix)");
            options.allowedNetworks.push_back(text);
        } else if (argument == "--com" || argument.starts_with("--com=")) {
            if (!value(argument, "--com", text)) return Fail("--com needs N=DEVICE");
            size_t equals = text.find('=');
            int port = 0;
            if (equals == std::string::npos || !ParseBounded(text.substr(0, equals), 1, 9, port))
                return Fail("--com: " + Quoted(text) + " is not N=DEVICE with N from 1 to 9");
            std::string device = text.substr(equals + 1);
            const uint32_t portOptions = TakePortOptions(device);
            if (portOptions != 0) options.comOptions.emplace_back(port, portOptions);
            if (device.empty() || device.size() > 255)
                return Fail("--com: the device of COM" + std::to_string(port) + " must be a path of 1 to 255 bytes");
            options.comDevices.emplace_back(port, device);
        } else if (argument == "--state-dir" || argument.starts_with("--state-dir=")) {
            if (!value(argument, "--state-dir", text) || text.empty()) return Fail("--state-dir needs a folder");
            if (text.size() > 4000) return Fail("--state-dir: the folder name is longer than 4000 bytes");
            options.stateDir = text;
        } else if (argument == "--metrics" || argument.starts_with("--metrics=")) {
            if (!value(argument, "--metrics", text)) return Fail("--metrics needs [ADDRESS:]PORT");
            if (!ParseListenAddress(text, options.metricsAddress, options.metricsPort))
                return Fail("--metrics: " + Quoted(text) + " is not [ADDRESS:]PORT such as 9100, 0.0.0.0:9100 " +
                            "or [::1]:9100");
        } else if (argument == "--browse" || argument.starts_with("--browse=")) {
            if (!value(argument, "--browse", text) || text.empty()) return Fail("--browse needs a server URL");
            options.browseUrl = text;
        } else if (argument == "--depth" || argument.starts_with("--depth=")) {
            if (!value(argument, "--depth", text) || !ParseBounded(text, 1, 100, options.browseDepth))
                return Fail("--depth needs a number of levels from 1 to 100");
        } else if (argument == "--check" || argument.starts_with("--check=")) {
            if (!value(argument, "--check", text) || text.empty()) return Fail("--check needs a configuration file");
            options.checkFile = text;
        } else if (argument == "--timeout" || argument.starts_with("--timeout=")) {
            if (!value(argument, "--timeout", text) || !ParseBounded(text, 1, 3600, options.checkSeconds))
                return Fail("--timeout needs a number of seconds from 1 to 3600");
        } else {
            return Fail("unknown option " + Quoted(argument) + " (see --help)");
        }
    }
    for (size_t first = i; i < arguments.size(); ++i) {
        if (i > first) options.configFile += ' ';
        options.configFile += arguments[i];
    }
    if (!options.browseUrl.empty() && !options.checkFile.empty())
        return Fail("--browse and --check cannot be given together");
    if (!options.checkFile.empty() && !options.configFile.empty())
        return Fail("--check takes its file as its value, not a further file name");
    return result;
}

std::string UsageText() {
    return "Usage: quorvane [--headless] [--tcp-port N] [--bind ADDRESS] [--allow NETWORK]...\n"
           "                [--com N=DEVICE[,t35][,rs485]]...\n"
           "                [--state-dir DIR] [--metrics [ADDRESS:]PORT] [--] [FILE]\n"
           "       quorvane --browse URL [--depth N] [NODE]\n"
           "       quorvane --check FILE [--timeout SECONDS]\n"
           "\n"
           "OPC-to-Modbus gateway. FILE is a configuration file to restore at start-up;\n"
           "everything after the options, joined with single blanks, is its name.\n"
           "\n"
           "  --headless        run without windows; messages go to stderr, the OPC\n"
           "                    call log to stdout; SIGINT or SIGTERM shuts down\n"
           "  --tcp-port N      serve Modbus/TCP on port N instead of 502 (files still\n"
           "                    say \"CONNECT TCP, 502\")\n"
           "  --bind ADDRESS    serve Modbus/TCP on this local address only (numeric IPv4\n"
           "                    or IPv6; \"::\" is every interface, IPv4 included);\n"
           "                    default every IPv4 interface\n"
           "  --allow NETWORK   serve only masters from this network, ADDRESS[/PREFIX],\n"
           "                    IPv4 or IPv6 (192.168.1.0/24, 10.0.0.7, fd00::/8); may be\n"
           "                    repeated; others are disconnected at once and counted.\n"
           "                    Default: every master\n"
           "  --com N=DEVICE    serial device of COMn, N from 1 to 9 (default\n"
           "                    /dev/ttyS<N-1>); may be repeated. \",t35\": RTU frames end\n"
           "                    after 3.5 characters (an RS-485 bus shared with other\n"
           "                    slaves); \",rs485\": the driver's own RS-485 mode switches\n"
           "                    the line driver, where the port has one\n"
           "  --state-dir DIR   keep the program's state (velmarc.cfg) in the folder DIR\n"
           "  --metrics [ADDRESS:]PORT\n"
           "                    serve counters in the Prometheus text format at\n"
           "                    http://ADDRESS:PORT/metrics (ADDRESS default 127.0.0.1;\n"
           "                    IPv6 as [::1]:9100); off by default\n"
           "  --browse URL      print the address space of the OPC UA server at URL\n"
           "                    below NODE (dotted browse names; default the Objects\n"
           "                    folder) with ids, data types and access, then exit\n"
           "  --depth N         levels --browse descends (default 10)\n"
           "  --check FILE      restore FILE headless, wait until every item reported,\n"
           "                    print one row per item and exit: 0 all good, 1 not,\n"
           "                    2 server unreachable\n"
           "  --timeout S       how long --check waits for the items (default 30 s)\n"
           "  --help            show this text\n"
           "\n"
           "The serial settings of COM1 to COM9 are kept in velmarc.cfg, in the folder\n"
           "of --state-dir or else beside the program.\n";
}

} // namespace quorvane
