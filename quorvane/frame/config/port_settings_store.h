// The serial settings of COM1 to COM9 and their settings file, velmarc.cfg:
// nine 21-byte entries (protocol byte, then the 20-byte PortSettings record in
// its fixed little-endian layout), 189 bytes, no header.
#pragma once

#include "pellacor.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

constexpr int kSerialPorts = 9;
constexpr size_t kPortEntrySize = 21;
constexpr size_t kSettingsFileSize = kSerialPorts * kPortEntrySize;
inline constexpr const char* kSettingsFileName = "velmarc.cfg";

struct PortEntry {
    uint8_t protocol = 1; // 1 RTU, 0 ASCII
    PortSettings settings{};
    // RTU frames end after 3.5 characters (a bus shared with other slaves).
    // Set from the setup dialog and the configuration file; velmarc.cfg does
    // not hold it, so each start begins with the fixed silence.
    bool endAfter35 = false;
};

// Ports 1 to 9 at indexes 0 to 8.
using PortTable = std::array<PortEntry, kSerialPorts>;

void EncodePortSettings(const PortSettings& settings, uint8_t* out20);
PortSettings DecodePortSettings(const uint8_t* in20);

std::string EncodeSettingsFile(const PortTable& ports);
// Stores every entry the bytes hold whole into `ports` and returns how many
// that were; the others keep what they held.
int DecodeSettingsFile(std::string_view bytes, PortTable& ports);

// The defaults every start applies: 9600 baud, 8 data bits, odd parity, one
// stop bit, no flow control, RTU. RTS delays and spare bytes stay.
void ApplyPortDefaults(PortTable& ports);

// File access; both fail quietly (false) as the settings file is optional.
bool LoadSettingsFile(const std::string& path, PortTable& ports);
bool StoreSettingsFile(const std::string& path, const PortTable& ports);

// "<folder of the running executable>/velmarc.cfg".
std::string DefaultSettingsPath();
// The settings file for a --state-dir folder: "<stateDir>/velmarc.cfg", or the
// default path when `stateDir` is empty. False, with `error` set to one line,
// when the folder does not exist (the settings would be lost at exit).
bool SettingsPathIn(const std::string& stateDir, std::string& path, std::string& error);

} // namespace quorvane
