// The OPC call log: the last 500 lines logged about calls made to the OPC
// server. A window shows them; headless, each new line also goes to a
// listener (stdout). Lines may be added from any thread; the listener runs on
// the adding thread, so a window listener hands the line to its own thread.
#pragma once

#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace quorvane {

class CApiLog {
public:
    static constexpr size_t kMaxLines = 500;
    using Listener = std::function<void(const std::string& line)>;

    // Appends one line, with the local date and time in front when `stamp`
    // is nonzero ("06-Dec-2026 08:15:00 "), and drops the oldest beyond 500.
    void AddLogLine(const std::string& text, int stamp = 0);
    std::deque<std::string> Lines() const;
    // Replaces the listener; an empty one removes it. Once this returns, the
    // old listener is not running and will not be called again.
    void SetListener(Listener listener);

    // The stamp for a given local time; month names are always English.
    static std::string FormatStamp(const std::tm& local);

private:
    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
    Listener listener_;
};

} // namespace quorvane
