// Secrets on disk and in memory: see ua/secure_channel/secrets.h.
#include "ua/secure_channel/secrets.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrand::ua {

namespace {

// Closes the descriptor on every way out.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

std::optional<std::string> read_owner_only_file(const std::string& path, size_t max_bytes, const std::string& what,
                                                 std::string* error) {
    // O_NONBLOCK: a FIFO planted under the name must not hang the open.
    Fd f{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
    if (f.fd < 0) {
        *error = what + " " + path + ": " +
                 (errno == ELOOP ? std::string("is a symbolic link; name the file itself") : std::strerror(errno));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) {
        *error = what + " " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = what + " " + path + " is not a regular file";
        return std::nullopt;
    }
    if ((st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
        *error = what + " " + path + " can be read or written by others; make it readable by its owner only (chmod 600 " +
                 path + ")";
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) > max_bytes) {
        *error = what + " " + path + " is larger than " + std::to_string(max_bytes) + " bytes";
        return std::nullopt;
    }
    std::string data(max_bytes + 1, '\0');
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(f.fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            wipe(data);
            *error = what + " " + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got > max_bytes) { // grew since fstat
        wipe(data);
        *error = what + " " + path + " is larger than " + std::to_string(max_bytes) + " bytes";
        return std::nullopt;
    }
    std::string out(data.data(), got);
    wipe(data);
    return out;
}

void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

void wipe(std::vector<uint8_t>& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

} // namespace ostrand::ua
