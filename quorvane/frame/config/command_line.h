// quorvane [--headless] [--tcp-port N] [--bind ADDRESS] [--allow NETWORK]...
//          [--com N=DEVICE[,t35][,rs485]]... [--state-dir DIR] [--] [FILE]
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

// Exit code of a command line that cannot be used.
constexpr int kUsageExitCode = 2;

} // namespace quorvane
