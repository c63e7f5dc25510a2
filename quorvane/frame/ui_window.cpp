#include "frame/ui_window.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cstdint>

namespace quorvane {
namespace {

CUiWindow* Self(void* context) { return static_cast<CUiWindow*>(context); }

// The event that tells the user-interface thread to run the next queued call.
QEvent::Type RunQueuedType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

CUiWindow::CUiWindow(QObject* parent) : QObject(parent) {
    window_.context = this;
    window_.post = [](void* c, uint32_t m, uintptr_t w, intptr_t l) { return Self(c)->Post(m, w, l); };
    window_.set_timer = [](void* c, uintptr_t id, uint32_t ms, PellacorTimerProc proc, void* arg) {
        return Self(c)->SetTimer(id, ms, proc, arg);
    };
    window_.kill_timer = [](void* c, uintptr_t id) { return Self(c)->KillTimer(id); };
    postingWindow_ = window_;
    postingWindow_.set_timer = nullptr;
    postingWindow_.kill_timer = nullptr;
}

CUiWindow::~CUiWindow() {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        entries_.clear();
        queued_.clear();
    }
    timers_.clear();
    // QObject's destructor drops whatever is still queued for this object.
}

bool CUiWindow::OnUiThread() const { return QThread::currentThread() == thread(); }

// The call waits in queued_ and the event only says that one is there: the
// user-interface thread takes it under mutex_, which this thread holds while
// it posts. Qt's own hand-over of an event is invisible to ThreadSanitizer
// (Qt is not built with it), so a call carried inside the event itself was
// reported as a race between this thread writing it and that one running it.
bool CUiWindow::Queue(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    queued_.push_back(std::move(fn));
    QCoreApplication::postEvent(this, new QEvent(RunQueuedType()));
    return true;
}

bool CUiWindow::event(QEvent* e) {
    bool ours = false;
    std::function<void()> fn;
    {
        // Taken before the event is looked at: see Queue.
        std::lock_guard lock(mutex_);
        ours = e->type() == RunQueuedType();
        if (ours && !queued_.empty()) {
            fn = std::move(queued_.front());
            queued_.pop_front();
        }
    }
    if (!ours) return QObject::event(e);
    if (fn) fn();
    return true;
}

int CUiWindow::Post(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return Queue([this, message, wparam, lparam] {
        if (handler_) handler_(message, wparam, lparam);
    }) ? 1 : 0;
}

int CUiWindow::SetTimer(uintptr_t timerId, uint32_t ms, PellacorTimerProc proc, void* arg) {
    if (proc == nullptr) return 0;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return 0;
        TimerEntry& e = entries_[timerId];
        e.ms = ms;
        e.proc = proc;
        e.arg = arg;
        e.active = true;
        ++e.generation;
    }
    if (OnUiThread()) {
        Sync(timerId);
        return 1;
    }
    return Queue([this, timerId] { Sync(timerId); }) ? 1 : 0;
}

int CUiWindow::KillTimer(uintptr_t timerId) {
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(timerId);
        if (it == entries_.end() || !it->second.active) return 1;
        it->second.active = false;
        ++it->second.generation;
    }
    // A tick already queued on the user-interface thread finds the entry
    // inactive and does nothing.
    if (OnUiThread()) {
        Sync(timerId);
        return 1;
    }
    return Queue([this, timerId] { Sync(timerId); }) ? 1 : 0;
}

void CUiWindow::Sync(uintptr_t timerId) {
    TimerEntry entry;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(timerId);
        if (it == entries_.end()) return;
        entry = it->second;
    }
    UiTimer& ui = timers_[timerId];
    if (ui.appliedGeneration == entry.generation) return; // a later request was applied already
    ui.appliedGeneration = entry.generation;
    if (!ui.timer) {
        ui.timer = std::make_unique<QTimer>();
        QObject::connect(ui.timer.get(), &QTimer::timeout, this, [this, timerId] { Fire(timerId); });
    }
    if (entry.active) {
        ui.timer->start(static_cast<int>(std::min<uint32_t>(entry.ms, INT32_MAX)));
    } else {
        ui.timer->stop();
    }
}

void CUiWindow::Fire(uintptr_t timerId) {
    PellacorTimerProc proc = nullptr;
    void* arg = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(timerId);
        if (it == entries_.end() || !it->second.active) return;
        proc = it->second.proc;
        arg = it->second.arg;
    }
    proc(arg, timerId);
}

int CUiWindow::RunningTimers() const {
    int running = 0;
    for (const auto& [id, ui] : timers_) running += ui.timer && ui.timer->isActive() ? 1 : 0;
    return running;
}

} // namespace quorvane
