// The gateway's log: one line per event on standard error, each prefixed
// with its syslog priority the way sd-daemon reads it ("<3>" error, "<4>"
// warning, "<5>" notice, "<6>" info), so a service manager's journal files
// it by priority. Texts are plain ASCII built without the locale.
//
// A failure that repeats under the same key is written once, then at most
// once a minute with the number of times it happened since its last line;
// Settle(key) ends it, so the next occurrence is written at once again.
//
// The log also keeps the gateway's OPC state (connected, waiting, lost and
// why) for whoever summarizes it. No user's password or key is ever given to
// it: OPC events carry the user name only.
//
// Thread-safe: OPC events come on the service's threads.
#pragma once

#include "ostrand.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace quorvane {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

class EventLog {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Sink = std::function<void(const std::string& line)>; // one line, with its newline

    enum class OpcState { None, Waiting, Connected, Lost };
    struct State {
        OpcState opc = OpcState::None;
        std::string url;    // the server's endpoint, or its name while waiting
        std::string reason; // why it is waiting or was lost
        int itemsFailed = 0; // items the server could not resolve
    };

    EventLog(Sink sink, Clock clock);

    // `repeatKey` empty: always written.
    void Write(LogLevel level, const std::string& text, const std::string& repeatKey = {});
    void Settle(const std::string& repeatKey);

    void Opc(const OstrandEvent& event);
    void LinkOpened(const std::string& link);
    void LinkClosed(const std::string& link);
    void LinkFailed(const std::string& link, int error);
    void Restored(const std::string& file, int groups, int items, int points);
    // `count` connections refused from `address` by the allowed networks;
    // an empty address stands for the addresses the library kept no entry for.
    void MastersRefused(const std::string& address, uint32_t count);

    // Repeating failures remembered at once. Beyond it the ones not seen for
    // a minute are let go, their pending count written first, so that a
    // flood of distinct keys (masters' addresses) cannot grow the log.
    static constexpr size_t kRepeatKeysKept = 4096;

    State Snapshot() const;

private:
    struct Repeat {
        std::chrono::steady_clock::time_point written;
        int64_t since = 0; // occurrences not written since
        LogLevel level = LogLevel::Info;
        std::string text; // of the last line, for the pending count
    };
    // `count` occurrences of one event at once.
    void WriteLocked(LogLevel level, const std::string& text, const std::string& repeatKey, int64_t count = 1);
    void PruneRepeatsLocked(std::chrono::steady_clock::time_point now);
    void Emit(std::string line);

    Sink sink_;
    Clock clock_;
    mutable std::mutex mu_;
    std::map<std::string, Repeat> repeats_;
    State state_;
};

// The program's log on standard error.
EventLog& ProgramLog();
// For SetEventCallback: hands the event to ProgramLog().
void LogOstrandEvent(const OstrandEvent* event);

} // namespace quorvane
