#include "frame/api_log.h"

#include "frame/config/server_status.h"

#include <cstdio>

namespace quorvane {

std::string CApiLog::FormatStamp(const std::tm& t) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d %02d:%02d:%02d ", t.tm_mday, MonthAbbreviation(t.tm_mon),
                  t.tm_year + 1900,
                  t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

void CApiLog::AddLogLine(const std::string& text, int stamp) {
    std::string line;
    if (stamp != 0) {
        std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        line = FormatStamp(local);
    }
    line += text;
    // The listener runs under the lock too: lines reach it in the order
    // they were added, and SetListener can wait for a running call.
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    while (lines_.size() > kMaxLines) lines_.pop_front();
    if (listener_) listener_(line);
}

std::deque<std::string> CApiLog::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void CApiLog::SetListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

} // namespace quorvane
