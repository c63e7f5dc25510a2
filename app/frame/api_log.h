// The OPC call log: the last 500 lines logged about calls made to the OPC
// server. A window shows them; headless, each new line also goes to a
// listener (stdout). User-interface thread only.
#pragma once

#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <string>

namespace quorvane {

class CApiLog {
public:
    static constexpr size_t kMaxLines = 500;
    using Listener = std::function<void(const std::string& line)>;

    // Appends one line, with the local date and time in front when `stamp`
    // is nonzero ("06-Dec-2026 08:15:00 "), and drops the oldest beyond 500.
    void AddLogLine(const std::string& text, int stamp = 0);
    const std::deque<std::string>& Lines() const { return lines_; }
    void SetListener(Listener listener) { listener_ = std::move(listener); }

    // The stamp for a given local time; month names are always English.
    static std::string FormatStamp(const std::tm& local);

private:
    std::deque<std::string> lines_;
    Listener listener_;
};

} // namespace quorvane
