// The program as a child process and libmodbus as the independent master that
// reads and writes it on 127.0.0.1: shared by the process tests.
#pragma once

#include "test_support.h"

#include <modbus.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef QV_QUORVANE_BINARY
#error "QV_QUORVANE_BINARY must name the quorvane program"
#endif

namespace quorvane::test {

// Polls `done` until it holds or `timeout` passed; its last result.
template <typename F> bool Eventually(F done, std::chrono::milliseconds timeout = std::chrono::milliseconds(8000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The lines of `log` that are no log line with a priority prefix; empty when all are.
inline std::string NotLogLines(const std::string& log) {
    std::string odd;
    size_t at = 0;
    while (at < log.size()) {
        const size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.size() < 4 || line[0] != '<' || line[1] < '3' || line[1] > '6' || line[2] != '>') odd += line + "\n";
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return odd;
}

// The program run from a copy in `dir`, so that its velmarc.cfg lands there;
// its standard output and error go to files there. Killed when still running
// at the end of the scope.
class Program {
public:
    // `environment`: "NAME=value" sets, "NAME" removes, for the program only.
    Program(const std::filesystem::path& dir, const std::vector<std::string>& args,
            const std::vector<std::string>& environment = {})
        : dir_(dir) {
        const std::filesystem::path binary = dir / "quorvane";
        std::filesystem::copy_file(QV_QUORVANE_BINARY, binary, std::filesystem::copy_options::overwrite_existing);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::chdir(dir.c_str());
            int out = ::open((dir / "stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(err, 2);
            for (const std::string& e : environment) {
                const size_t eq = e.find('=');
                if (eq == std::string::npos) ::unsetenv(e.c_str());
                else ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
            std::vector<char*> argv{const_cast<char*>(binary.c_str())};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(binary.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return pid_ > 0; }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit status, or nullopt when the program still runs after `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        Eventually(
            [&] {
                int status = 0;
                if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
                    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_.has_value();
            },
            timeout);
        return status_;
    }
    std::string Stderr() const { return ReadFile(dir_ / "stderr.txt"); }
    std::string Stdout() const { return ReadFile(dir_ / "stdout.txt"); }

private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A Modbus/TCP master for slave 1 on 127.0.0.1:port.
class Master {
public:
    explicit Master(uint16_t port) : ctx_(modbus_new_tcp("127.0.0.1", port)) {
        modbus_set_slave(ctx_, 1);
        modbus_set_response_timeout(ctx_, 2, 0);
    }
    ~Master() {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;
    modbus_t* operator*() { return ctx_; }

private:
    modbus_t* ctx_;
};

} // namespace quorvane::test
