// Pass-through system calls with the tests' failure seam.
#include "sys_calls.h"

#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <sys/timerfd.h>

namespace pellacor::sys {
namespace {

struct Failure {
    std::atomic<int> error{0}; // 0: nothing armed
    std::atomic<int> skip{0};
};
Failure gFailures[static_cast<int>(Call::Count)];

// True, with errno set, when the armed failure of `call` is due now. One
// relaxed load when nothing is armed.
bool Due(Call call) {
    Failure& f = gFailures[static_cast<int>(call)];
    if (f.error.load(std::memory_order_acquire) == 0) return false;
    if (f.skip.fetch_sub(1, std::memory_order_acq_rel) > 0) return false;
    const int error = f.error.exchange(0, std::memory_order_acq_rel);
    if (error == 0) return false;
    errno = error;
    return true;
}

} // namespace

void FailForTesting(Call call, int error, int skip) {
    Failure& f = gFailures[static_cast<int>(call)];
    f.error.store(0, std::memory_order_release);
    f.skip.store(skip, std::memory_order_release);
    f.error.store(error, std::memory_order_release);
}

void ClearFailuresForTesting() {
    for (Failure& f : gFailures) f.error.store(0, std::memory_order_release);
}

int Socket(int domain, int type, int protocol) { return Due(Call::Socket) ? -1 : ::socket(domain, type, protocol); }
int EpollCreate(int flags) { return Due(Call::EpollCreate) ? -1 : ::epoll_create1(flags); }
int EpollCtl(int epfd, int op, int fd, epoll_event* event) {
    return Due(Call::EpollCtl) ? -1 : ::epoll_ctl(epfd, op, fd, event);
}
int EpollWait(int epfd, epoll_event* events, int maxEvents, int timeoutMs) {
    return Due(Call::EpollWait) ? -1 : ::epoll_wait(epfd, events, maxEvents, timeoutMs);
}
int TimerCreate(int clock, int flags) { return Due(Call::TimerCreate) ? -1 : ::timerfd_create(clock, flags); }
int Poll(pollfd* fds, nfds_t count, const timespec* timeout) {
    return Due(Call::Poll) ? -1 : ::ppoll(fds, count, timeout, nullptr);
}

} // namespace pellacor::sys
