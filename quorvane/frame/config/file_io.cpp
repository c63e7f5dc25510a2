#include "frame/config/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quorvane {
namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { Close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool Close() {
        if (fd_ < 0) return true;
        const bool ok = ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }

private:
    int fd_;
};

bool WriteAll(int fd, std::string_view bytes, const FileCalls& calls) {
    while (!bytes.empty()) {
        const ssize_t n = calls.write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC; // a full disk may also show as a short write of 0
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

FileCalls SystemFileCalls() { return FileCalls{&::write, &::read, &::fsync}; }

bool ReplaceFile(const std::string& path, std::string_view bytes, const FileCalls& calls) {
    const std::string temporary = path + ".new";
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return false;
    // An operator who narrowed the file's permissions keeps them.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd.get(), old.st_mode & 07777);
    bool ok = WriteAll(fd.get(), bytes, calls);
    ok = ok && calls.fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    // The rename itself reaches the disk with the folder. Some file systems
    // cannot flush a folder; the file is in place either way.
    Descriptor folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) calls.fsync(folder.get());
    return true;
}

ReadOutcome ReadWholeFile(const std::string& path, std::string& bytes, const FileCalls& calls) {
    bytes.clear();
    // Non-blocking: a FIFO given as the file must not hang the program.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) return ReadOutcome::Unopened;
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL; // what the message names
        return ReadOutcome::Unopened;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = calls.read(fd.get(), buffer, sizeof buffer);
        if (n == 0) return ReadOutcome::Whole;
        if (n < 0) {
            if (errno == EINTR) continue;
            bytes.clear();
            return ReadOutcome::ReadError;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace quorvane
