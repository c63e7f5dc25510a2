// quorvane [--headless] [--tcp-port N] [--bind ADDRESS] [--allow NETWORK]...
//          [--com N=DEVICE[,t35][,rs485]]... [--state-dir DIR] [--metrics [ADDRESS:]PORT] [--] [FILE]
// quorvane --browse URL [--depth N] [NODE]
// quorvane --check FILE [--timeout SECONDS]
//
// Options come first. Everything after them, joined with single blanks, is
// the configuration file to restore at start-up: the whole remaining text is
// the name, so a name with blanks needs no quoting beyond the shell's.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {

struct CommandLine {
    bool headless = false;
    bool help = false;
    int tcpPort = 0; // 0: the library's default service port
    std::string bindAddress; // numeric IPv4 or IPv6; "": every IPv4 interface
    std::vector<std::string> allowedNetworks; // ADDRESS[/PREFIX]; none: every master
    std::vector<std::pair<int, std::string>> comDevices; // COMn -> device
    // COMn -> Pellacor port options (PELLACOR_PORT_*) of its ",t35" and ",rs485"
    std::vector<std::pair<int, uint32_t>> comOptions;
    std::string stateDir; // folder of velmarc.cfg; empty: beside the program
    std::string configFile;
    // Prometheus text on http://ADDRESS:PORT/metrics; port 0: off.
    std::string metricsAddress = "127.0.0.1";
    int metricsPort = 0;
    // Commissioning from a terminal: print the address space below the
    // dotted NODE path (configFile holds it) of the server at `browseUrl`...
    std::string browseUrl;
    int browseDepth = 10;
    // ...or restore `checkFile` headless and print how every item fared
    // within `checkSeconds`.
    std::string checkFile;
    int checkSeconds = 30;
};

struct CommandLineResult {
    bool ok = true;
    std::string error; // one line, when !ok
    CommandLine options;
};

CommandLineResult ParseCommandLine(const std::vector<std::string>& arguments); // without the program name
std::string UsageText();

// A numeric IPv4 or IPv6 address.
bool IsNumericAddress(const std::string& text);
// ADDRESS or ADDRESS/PREFIX, IPv4 or IPv6, without host bits set below the
// prefix (10.0.0.0/8, not 10.1.2.3/8).
bool IsNetwork(const std::string& text);

// "[ADDRESS:]PORT" with a numeric IPv4 address or a bracketed IPv6 one
// ("[::1]:9100"); without an address, the loopback address.
bool ParseListenAddress(const std::string& text, std::string& address, int& port);

// Exit code of a command line that cannot be used.
constexpr int kUsageExitCode = 2;

} // namespace quorvane
