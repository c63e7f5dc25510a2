// A PellacorWindow that only records what is posted to it, from any thread.
#pragma once

#include "pellacor.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvane::test {

struct RecordingWindow {
    struct Posted {
        uint32_t message;
        uintptr_t wparam;
        intptr_t lparam;
    };
    std::mutex lock;
    std::vector<Posted> posted;
    PellacorWindow window{this, &RecordingWindow::Post, nullptr, nullptr};

    static int Post(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam) {
        auto* self = static_cast<RecordingWindow*>(context);
        std::lock_guard<std::mutex> g(self->lock);
        self->posted.push_back({message, wparam, lparam});
        return 1;
    }
    std::vector<Posted> Snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return posted;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(lock);
        posted.clear();
    }
};

} // namespace quorvane::test
