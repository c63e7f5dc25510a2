// Tells the service manager how the gateway is (sd_notify): READY=1 once the
// start-up restore is done and the links are open, STATUS= a one-line summary
// whenever it changes, WATCHDOG=1 from the event loop at half the interval
// the unit asks for, and STOPPING=1 when the shutdown begins. Outside a
// notify service (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <string>

namespace quorvane {

class CServiceNotifier : public QObject {
public:
    // `status` gives the current summary; it is asked on the UI thread.
    explicit CServiceNotifier(std::function<std::string()> status);
    // After the start-up restore: READY=1 with the first STATUS=, then the
    // status checks once a second and the watchdog when the unit has one.
    void Ready();
    void Stopping();
    // The watchdog's period, 0 when the unit has none (for the tests).
    int WatchdogIntervalMs() const { return watchdogMs_; }

private:
    void Tick();

    std::function<std::string()> status_;
    std::string lastStatus_;
    QTimer statusTimer_;
    QTimer watchdogTimer_;
    int watchdogMs_ = 0;
};

} // namespace quorvane
