// The system calls whose failure must end a link visibly rather than leave it
// looking open: socket, the epoll and timerfd set-up, the event waits. The
// transports make them through here so that a test can make one of them fail.
#pragma once

#include <poll.h>
#include <time.h>
#include <sys/epoll.h>

namespace pellacor::sys {

enum class Call : int { Socket, EpollCreate, EpollCtl, EpollWait, TimerCreate, Poll, Count };

// Test seam: after `skip` more calls of `call` have gone through, the next one
// fails with `error` (once). A later FailForTesting of the same call replaces
// a failure not yet made.
void FailForTesting(Call call, int error, int skip = 0);
// Withdraws every failure not yet made.
void ClearFailuresForTesting();

int Socket(int domain, int type, int protocol);
int EpollCreate(int flags);
int EpollCtl(int epfd, int op, int fd, epoll_event* event);
int EpollWait(int epfd, epoll_event* events, int maxEvents, int timeoutMs);
int TimerCreate(int clock, int flags);
// A wait with a nanosecond time-out (nullptr: no limit); fails as Poll.
int Poll(pollfd* fds, nfds_t count, const timespec* timeout);

} // namespace pellacor::sys
