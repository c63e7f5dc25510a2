// Shared by the Qt tests: one application object for the process
// (QApplication for the window tests) and a bounded wait that keeps the
// event loop running.
#pragma once

#include <QCoreApplication>
#include <QEvent>

#include <chrono>
#include <clocale>
#include <functional>
#include <thread>

namespace quorvane::test {

template <typename App = QCoreApplication> App& QtApp() {
    static int argc = 1;
    static char name[] = "qv_test";
    static char* argv[] = {name, nullptr};
    static App* app = [] {
        auto* a = new App(argc, argv);
        std::setlocale(LC_NUMERIC, "C");
        return a;
    }();
    return *app;
}

// Runs the event loop (deferred deletions included) until `done` holds or
// `timeout` passes; the result of `done` at the end.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    if (QCoreApplication::instance() == nullptr) QtApp();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Keeps the event loop running for `duration`.
inline void RunFor(std::chrono::milliseconds duration) {
    WaitUntil([] { return false; }, duration);
}

} // namespace quorvane::test
