#include "frame/event_log.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace quorvane {

namespace {

constexpr auto kRepeatEvery = std::chrono::minutes(1);

std::string Text(const char* s) { return s != nullptr ? s : ""; }

// Seconds with one decimal, without the locale's decimal point.
std::string Seconds(int64_t ms) {
    if (ms < 0) ms = 0;
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

std::string Session(const OstrandEvent& e) {
    const std::string user = Text(e.user);
    return "security " + Text(e.security_mode) + " " + Text(e.security_policy) + ", " +
           (user.empty() ? std::string("anonymous") : "user " + user) + ", session " +
           (e.new_session != 0 ? "new" : "reactivated");
}

// A deadband in percent, the shortest text that reads back as the same
// float, without the locale's decimal point.
std::string Percent(float value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end) + " %";
}

// Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on a literal
// plus a temporary string here.
std::string Prefix(LogLevel level) {
    std::string prefix = "<";
    prefix += std::to_string(static_cast<int>(level));
    prefix += '>';
    return prefix;
}

// The count of a repeating event's occurrences since its last line.
std::string TimesIn(int64_t times, std::chrono::steady_clock::duration since) {
    return " (" + std::to_string(times) + (times == 1 ? " time in " : " times in ") +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(since).count()) + " s)";
}

} // namespace

EventLog::EventLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {}

void EventLog::Write(LogLevel level, const std::string& text, const std::string& repeatKey) {
    std::lock_guard lock(mu_);
    WriteLocked(level, text, repeatKey);
}

void EventLog::WriteLocked(LogLevel level, const std::string& text, const std::string& repeatKey, int64_t count) {
    std::string line = Prefix(level) + text;
    if (repeatKey.empty()) {
        Emit(std::move(line));
        return;
    }
    const auto now = clock_();
    auto it = repeats_.find(repeatKey);
    if (it != repeats_.end()) {
        it->second.since += count;
        if (now - it->second.written < kRepeatEvery) return;
        line += TimesIn(it->second.since, now - it->second.written);
        it->second = Repeat{now, 0, level, text};
    } else {
        if (repeats_.size() >= kRepeatKeysKept) PruneRepeatsLocked(now);
        // Still full: written, but not remembered.
        if (repeats_.size() < kRepeatKeysKept) repeats_.emplace(repeatKey, Repeat{now, 0, level, text});
        if (count > 1) line += " (" + std::to_string(count) + " times)";
    }
    Emit(std::move(line));
}

void EventLog::PruneRepeatsLocked(std::chrono::steady_clock::time_point now) {
    for (auto it = repeats_.begin(); it != repeats_.end();) {
        const Repeat& r = it->second;
        if (now - r.written < kRepeatEvery) {
            ++it;
            continue;
        }
        if (r.since > 0)
            Emit(Prefix(r.level) + r.text + TimesIn(r.since, now - r.written));
        it = repeats_.erase(it);
    }
}

void EventLog::Emit(std::string line) {
    // One line per event: a newline inside a text would split it.
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    sink_(line + "\n");
}

void EventLog::Settle(const std::string& repeatKey) {
    std::lock_guard lock(mu_);
    repeats_.erase(repeatKey);
}

void EventLog::Opc(const OstrandEvent& e) {
    std::lock_guard lock(mu_);
    const std::string url = Text(e.url);
    const std::string reason = Text(e.reason);
    switch (e.kind) {
    case OSTRAND_EVENT_CONNECTED:
        repeats_.erase("opc-wait " + url);
        state_.opc = OpcState::Connected;
        state_.url = url;
        state_.reason.clear();
        if (e.outage_ms >= 0)
            WriteLocked(LogLevel::Notice, "OPC server " + url + " back after " + Seconds(e.outage_ms) + "; " + Session(e), {});
        else
            WriteLocked(LogLevel::Notice, "OPC server " + url + " connected; " + Session(e), {});
        return;
    case OSTRAND_EVENT_WAITING:
        state_.opc = OpcState::Waiting;
        state_.url = url;
        state_.reason = reason;
        WriteLocked(LogLevel::Warning, "OPC server " + url + " cannot be reached: " + reason + "; still trying",
                    "opc-wait " + url);
        return;
    case OSTRAND_EVENT_LOST:
        state_.opc = OpcState::Lost;
        state_.url = url;
        state_.reason = reason;
        WriteLocked(LogLevel::Error, "OPC server " + url + " lost: " + reason + "; reconnecting", {});
        return;
    case OSTRAND_EVENT_ITEM_FAILED:
        ++state_.itemsFailed;
        WriteLocked(LogLevel::Warning, "OPC item " + Text(e.item_id) + " cannot be resolved: " + reason, {});
        return;
    case OSTRAND_EVENT_GROUP_REVISED:
        if (e.deadband_result == OSTRAND_DEADBAND_REFUSED) {
            WriteLocked(LogLevel::Warning,
                        "OPC group " + std::to_string(e.group) + ": the server refused the deadband of " +
                            Percent(e.deadband) + "; its items report every change",
                        {});
            return;
        }
        if (e.deadband_result == OSTRAND_DEADBAND_ABSOLUTE) {
            WriteLocked(LogLevel::Info,
                        "OPC group " + std::to_string(e.group) + ": the server revised the deadband of " +
                            Percent(e.deadband) + " to an absolute one over the items' EU range",
                        {});
            return;
        }
        WriteLocked(LogLevel::Info,
                    "OPC group " + std::to_string(e.group) + ": the server revised the update rate from " +
                        std::to_string(e.requested_rate) + " ms to " + std::to_string(e.revised_rate) + " ms",
                    {});
        return;
    default:
        return;
    }
}

void EventLog::LinkOpened(const std::string& link) { Write(LogLevel::Info, "Modbus " + link + " opened"); }

void EventLog::LinkClosed(const std::string& link) { Write(LogLevel::Info, "Modbus " + link + " closed"); }

void EventLog::LinkFailed(const std::string& link, int error) {
    // strerrordesc_np: the C locale's text whatever the locale.
    const char* text = error != 0 ? ::strerrordesc_np(error) : nullptr;
    Write(LogLevel::Error,
          "Modbus " + link + " failed: " + (text != nullptr ? std::string(text) : "error " + std::to_string(error)),
          "link " + link);
}

void EventLog::Restored(const std::string& file, int groups, int items, int points) {
    Write(LogLevel::Notice, "configuration " + file + " restored: " + std::to_string(groups) + " groups, " +
                                std::to_string(items) + " items, " + std::to_string(points) + " points");
}

void EventLog::MastersRefused(const std::string& address, uint32_t count) {
    if (count == 0) return;
    std::lock_guard lock(mu_);
    WriteLocked(LogLevel::Warning,
                address.empty() ? std::string("Modbus TCP masters from further addresses refused by --allow")
                                : "Modbus TCP master " + address + " refused by --allow",
                "refused " + address, count);
}

EventLog::State EventLog::Snapshot() const {
    std::lock_guard lock(mu_);
    return state_;
}

EventLog& ProgramLog() {
    static EventLog log([](const std::string& line) { std::fputs(line.c_str(), stderr); },
                        [] { return std::chrono::steady_clock::now(); });
    return log;
}

void LogOstrandEvent(const OstrandEvent* event) {
    if (event != nullptr) ProgramLog().Opc(*event);
}

} // namespace quorvane
