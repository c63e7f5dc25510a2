// The texts the server status dialog shows for one ServerStatus record.
#pragma once

#include "ostrand.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace quorvane {

struct ServerStatusText {
    std::string caption; // machine, one blank, server
    std::string startTime;
    std::string currentTime;
    std::string lastUpdateTime;
    std::string state; // "Running" ... "Test"; empty for other values
    uint32_t groupCount = 0; // shown unsigned: the service reports DWORDs
    uint32_t bandWidth = 0;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
    uint16_t buildNumber = 0;
    std::string vendorInfo;
};

// `vendor` is the NUL-terminated text of the caller's 200-byte buffer.
ServerStatusText FormatServerStatus(const ServerStatus& status, const char* vendor, const std::string& machine,
                                    const std::string& server);

// A UTC file time as local "%H:%M:%S %d %b %Y" with English month names;
// empty for times before 1970, which have no defined local form.
std::string FormatFileTime(const FILETIME& time);
std::string FormatLocalTime(const std::tm& local);
// "Jan" to "Dec" for tm_mon 0 to 11, "???" otherwise.
const char* MonthAbbreviation(int month);

} // namespace quorvane
