#include "frame/config/port_settings_store.h"

#include "frame/config/file_io.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

void PutU32(uint8_t* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{in[i]} << (8 * i);
    return v;
}

} // namespace

void EncodePortSettings(const PortSettings& s, uint8_t* out) {
    PutU32(out + 0, s.baudRate);
    out[4] = s.dataBits;
    out[5] = s.parity;
    out[6] = s.stopBits;
    out[7] = s.spare1;
    PutU32(out + 8, s.ctsFlow);
    PutU32(out + 12, s.dsrFlow);
    out[16] = s.rtsLeadDelay;
    out[17] = s.rtsTailDelay;
    out[18] = s.spare2[0];
    out[19] = s.spare2[1];
}

PortSettings DecodePortSettings(const uint8_t* in) {
    PortSettings s{};
    s.baudRate = GetU32(in + 0);
    s.dataBits = in[4];
    s.parity = in[5];
    s.stopBits = in[6];
    s.spare1 = in[7];
    s.ctsFlow = GetU32(in + 8);
    s.dsrFlow = GetU32(in + 12);
    s.rtsLeadDelay = in[16];
    s.rtsTailDelay = in[17];
    s.spare2[0] = in[18];
    s.spare2[1] = in[19];
    return s;
}

std::string EncodeSettingsFile(const PortTable& ports) {
    std::string bytes(kSettingsFileSize, '\0');
    auto* out = reinterpret_cast<uint8_t*>(bytes.data());
    for (size_t i = 0; i < ports.size(); ++i) {
        out[i * kPortEntrySize] = ports[i].protocol;
        EncodePortSettings(ports[i].settings, out + i * kPortEntrySize + 1);
    }
    return bytes;
}

int DecodeSettingsFile(std::string_view bytes, PortTable& ports) {
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    int whole = 0;
    for (size_t i = 0; i < ports.size() && (i + 1) * kPortEntrySize <= bytes.size(); ++i) {
        ports[i].protocol = in[i * kPortEntrySize];
        ports[i].settings = DecodePortSettings(in + i * kPortEntrySize + 1);
        ++whole;
    }
    return whole;
}

void ApplyPortDefaults(PortTable& ports) {
    for (PortEntry& p : ports) {
        p.settings.baudRate = 9600;
        p.settings.dataBits = 8;
        p.settings.parity = 1;
        p.settings.stopBits = 0;
        p.settings.ctsFlow = 0;
        p.settings.dsrFlow = 0;
        p.protocol = 1;
    }
}

bool LoadSettingsFile(const std::string& path, PortTable& ports) {
    std::string bytes;
    if (ReadWholeFile(path, bytes) != ReadOutcome::Whole) return false;
    DecodeSettingsFile(bytes, ports);
    return true;
}

bool StoreSettingsFile(const std::string& path, const PortTable& ports) {
    return ReplaceFile(path, EncodeSettingsFile(ports));
}

std::string DefaultSettingsPath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return kSettingsFileName;
    std::string path(buffer, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    path.erase(slash == std::string::npos ? 0 : slash + 1);
    return path + kSettingsFileName;
}

bool SettingsPathIn(const std::string& stateDir, std::string& path, std::string& error) {
    if (stateDir.empty()) {
        path = DefaultSettingsPath();
        return true;
    }
    struct stat info {};
    if (::stat(stateDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "--state-dir: " + stateDir + " is not a folder";
        return false;
    }
    path = stateDir + (stateDir.back() == '/' ? "" : "/") + kSettingsFileName;
    return true;
}

} // namespace quorvane
