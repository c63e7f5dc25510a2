#include "frame/config/server_status.h"

#include <cstdio>

namespace quorvane {
namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

} // namespace

const char* MonthAbbreviation(int month) { return month >= 0 && month < 12 ? kMonths[month] : "???"; }

std::string FormatLocalTime(const std::tm& t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d %02d %s %04d", t.tm_hour, t.tm_min, t.tm_sec, t.tm_mday,
                  MonthAbbreviation(t.tm_mon), t.tm_year + 1900);
    return buffer;
}

std::string FormatFileTime(const FILETIME& time) {
    const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    if (ticks < kUnixEpochAsFileTime) return {};
    const std::time_t seconds = static_cast<std::time_t>((ticks - kUnixEpochAsFileTime) / 10000000u);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return {};
    return FormatLocalTime(local);
}

ServerStatusText FormatServerStatus(const ServerStatus& status, const char* vendor, const std::string& machine,
                                    const std::string& server) {
    static constexpr const char* kStates[] = {"Running", "Failed", "Not Configured", "Suspended", "Test"};
    ServerStatusText text;
    text.caption = machine + " " + server;
    text.startTime = FormatFileTime(status.startTime);
    text.currentTime = FormatFileTime(status.currentTime);
    text.lastUpdateTime = FormatFileTime(status.lastUpdateTime);
    if (status.serverState >= 1 && status.serverState <= 5) text.state = kStates[status.serverState - 1];
    // The wire record's DWORDs: a band width of 0xFFFFFFFF ("unknown") must
    // not show as -1.
    text.groupCount = static_cast<uint32_t>(status.groupCount);
    text.bandWidth = static_cast<uint32_t>(status.bandWidth);
    text.majorVersion = status.majorVersion;
    text.minorVersion = status.minorVersion;
    text.buildNumber = status.buildNumber;
    text.vendorInfo = vendor != nullptr ? vendor : "";
    return text;
}

} // namespace quorvane
