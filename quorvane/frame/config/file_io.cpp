#include "frame/config/file_io.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
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

// The file a save replaces: `path`, or where its chain of symbolic links ends
// (which need not exist yet). Nothing for a loop or a link that cannot be read.
bool ResolveLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) return false;
        const std::string next(target, static_cast<size_t>(n));
        path = next.front() == '/' ? next : FolderOf(path) + "/" + next;
    }
    errno = ELOOP;
    return false;
}

// A new, empty file beside `path` under a name nobody else uses, created
// exclusively (O_EXCL, and O_NOFOLLOW so a link at that name is refused, not
// followed). The kernel applies the umask to the 0666.
int CreateUnique(const std::string& path, std::string& name) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string prefix = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." + base;
    for (int tries = 0; tries < 100; ++tries) {
        uint8_t random[12];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
        name = prefix + ".";
        for (uint8_t r : random) name += kLetters[r % (sizeof kLetters - 1)];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

} // namespace

FileCalls SystemFileCalls() { return FileCalls{&::write, &::read, &::fsync}; }

bool ReplaceFile(const std::string& path, std::string_view bytes, const FileCalls& calls) {
    std::string target = path;
    if (!ResolveLinks(target)) return false;
    std::string temporary;
    Descriptor fd(CreateUnique(target, temporary));
    if (fd.get() < 0) return false;
    // An operator who narrowed the file's permissions (a file holding
    // secrets at 0600) keeps them.
    struct stat old {};
    bool ok = true;
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    ok = ok && WriteAll(fd.get(), bytes, calls);
    ok = ok && calls.fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    // The rename itself reaches the disk with the folder. Some file systems
    // cannot flush a folder; the file is in place either way.
    Descriptor folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
