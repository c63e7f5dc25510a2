// A disk that fills up or fails, for the tests of Save, Restore and the
// settings file.
#pragma once

#include "frame/config/file_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace quorvane::test {

// A disk that fills up or fails, as FileCalls: write takes `writeRoom` more
// bytes and then fails with ENOSPC; read hands over `readRoom` bytes and then
// fails with EIO; fsync fails with EIO when `fsyncFails`. The calls are plain
// functions, so the state is process-wide: Reset() before each case.
struct FailingDisk {
    static inline size_t writeRoom = 0;
    static inline size_t readRoom = 0;
    static inline bool fsyncFails = false;
    static inline int fsyncCalls = 0;

    static void Reset(size_t write, size_t read, bool fsync) {
        writeRoom = write;
        readRoom = read;
        fsyncFails = fsync;
        fsyncCalls = 0;
    }
    static FileCalls Calls() { return FileCalls{&Write, &Read, &Fsync}; }

private:
    static ssize_t Write(int fd, const void* data, size_t size) {
        if (writeRoom == 0) return Fail(ENOSPC);
        const ssize_t n = ::write(fd, data, std::min(size, writeRoom));
        if (n > 0) writeRoom -= static_cast<size_t>(n);
        return n;
    }
    static ssize_t Read(int fd, void* data, size_t size) {
        if (readRoom == 0) return Fail(EIO);
        const ssize_t n = ::read(fd, data, std::min(size, readRoom));
        if (n > 0) readRoom -= static_cast<size_t>(n);
        return n == 0 ? Fail(EIO) : n; // the failure comes before the end, too
    }
    static int Fsync(int fd) {
        ++fsyncCalls;
        return fsyncFails ? static_cast<int>(Fail(EIO)) : ::fsync(fd);
    }
    static ssize_t Fail(int error) {
        errno = error;
        return -1;
    }
};

} // namespace quorvane::test
