// The application "window" Pellacor talks to, on the Qt event loop of the
// user-interface thread: posted messages are delivered there, and the RTU
// end-of-frame timers (ids 1 to 9) run there. Pellacor calls post, set_timer
// and kill_timer from its own threads; everything that touches a QTimer is
// handed to the user-interface thread.
#pragma once

#include "pellacor.h"

#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quorvane {

class CUiWindow : public QObject {
public:
    using MessageHandler = std::function<void(uint32_t message, uintptr_t wparam, intptr_t lparam)>;

    // Lives on the calling thread, which must run the Qt event loop.
    explicit CUiWindow(QObject* parent = nullptr);
    // After this returns, no callback reaches the object any more.
    ~CUiWindow() override;

    const PellacorWindow* Window() const { return &window_; }
    // The same window without timers: a serial link opened on it times its
    // RTU frames on its own reader thread and still posts its failure.
    const PellacorWindow* PostingWindow() const { return &postingWindow_; }
    // Receives the posted messages on the user-interface thread.
    void SetMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

    // The callbacks behind Window(); callable from any thread.
    int Post(uint32_t message, uintptr_t wparam, intptr_t lparam);
    int SetTimer(uintptr_t timerId, uint32_t ms, PellacorTimerProc proc, void* arg);
    int KillTimer(uintptr_t timerId);

    // Number of timers running now (user-interface thread).
    int RunningTimers() const;

    // Runs what Queue handed over, one call per event (user-interface thread).
    bool event(QEvent* e) override;

private:
    struct TimerEntry {
        uint32_t ms = 0;
        PellacorTimerProc proc = nullptr;
        void* arg = nullptr;
        bool active = false;
        uint64_t generation = 0;
    };
    struct UiTimer {
        std::unique_ptr<QTimer> timer;
        uint64_t appliedGeneration = 0;
    };

    // Hands `fn` to the user-interface thread; false once closing.
    bool Queue(std::function<void()> fn);
    bool OnUiThread() const;
    void Sync(uintptr_t timerId); // user-interface thread
    void Fire(uintptr_t timerId); // user-interface thread

    PellacorWindow window_{};
    PellacorWindow postingWindow_{};
    MessageHandler handler_;

    mutable std::mutex mutex_; // guards entries_, queued_ and open_
    bool open_ = true;
    std::map<uintptr_t, TimerEntry> entries_;
    std::deque<std::function<void()>> queued_; // handed over by Queue, in order

    std::map<uintptr_t, UiTimer> timers_; // user-interface thread only
};

} // namespace quorvane
