#include "frame/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace quorvane {
namespace {

// The manager reads one line per assignment.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

} // namespace

CServiceNotifier::CServiceNotifier(std::function<std::string()> status) : status_(std::move(status)) {
    uint64_t usec = 0;
    // The period asked by WatchdogSec=; half of it leaves a missed turn room.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const uint64_t half = usec / 2000;
        watchdogMs_ = static_cast<int>(half < 1 ? 1 : (half > 3600000 ? 3600000 : half));
    }
    statusTimer_.setInterval(1000);
    QObject::connect(&statusTimer_, &QTimer::timeout, this, [this] { Tick(); });
    QObject::connect(&watchdogTimer_, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
}

void CServiceNotifier::Ready() {
    // Started by hand or with windows: nobody listens, nothing to keep up.
    if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
    lastStatus_ = OneLine(status_());
    sd_notify(0, ("READY=1\nSTATUS=" + lastStatus_).c_str());
    statusTimer_.start();
    if (watchdogMs_ > 0) {
        sd_notify(0, "WATCHDOG=1");
        watchdogTimer_.start(watchdogMs_);
    }
}

void CServiceNotifier::Tick() {
    std::string status = OneLine(status_());
    if (status == lastStatus_) return;
    lastStatus_ = std::move(status);
    sd_notify(0, ("STATUS=" + lastStatus_).c_str());
}

void CServiceNotifier::Stopping() {
    if (!statusTimer_.isActive()) return;
    statusTimer_.stop();
    watchdogTimer_.stop();
    sd_notify(0, "STOPPING=1\nSTATUS=shutting down");
}

} // namespace quorvane
