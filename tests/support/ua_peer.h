// The OPC UA test peer (tests/peers/opcua/server.js) as a child process: started
// on a free loopback port, ready once it prints its READY line, stopped by pid.
// The test target defines QV_UA_PEER_DIR as the peer's folder.
//
// A peer that is not installed is a test failure, not a skip: Start() returns
// the reason, with the command that installs it.
#pragma once

#include "config_home.h"
#include "loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef QV_UA_PEER_DIR
#error "QV_UA_PEER_DIR must name tests/peers/opcua"
#endif

extern char** environ;

namespace quorvane::test {

class UaPeer {
public:
    struct Options {
        int run_seconds = 300; // the peer's own bound, should this process die without stopping it
        std::vector<std::string> extra; // further server.js arguments, e.g. {"--bench", "100"}
        std::chrono::seconds ready_within{90}; // a bound only: a loaded machine starts node slowly
    };

    UaPeer() = default;
    explicit UaPeer(Options options) : options_(std::move(options)) {}
    ~UaPeer() { Stop(); }
    UaPeer(const UaPeer&) = delete;
    UaPeer& operator=(const UaPeer&) = delete;

    // Starts the peer on `port` (0: a free one); "" once it is ready,
    // otherwise why not.
    std::string Start(uint16_t port = 0) {
        Stop();
        const std::string dir = QV_UA_PEER_DIR;
        struct stat st {};
        if (::stat((dir + "/node_modules/node-opcua").c_str(), &st) != 0)
            return "the OPC UA test peer is not installed in " + dir + ": run tests/peers/install.sh";
        port_ = port != 0 ? port : FreeLoopbackPort();
        if (port_ == 0) return "no free loopback port";

        int out[2], in[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
        if (::pipe2(in, O_CLOEXEC) != 0) {
            ::close(out[0]);
            ::close(out[1]);
            return "pipe failed";
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args = {"node", dir + "/server.js", std::to_string(port_), "--run-seconds",
                                         std::to_string(options_.run_seconds), "--quiet"};
        args.insert(args.end(), options_.extra.begin(), options_.extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = ::posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(in[0]);
        stdout_ = out[0];
        stdin_ = in[1]; // the peer stops when this closes
        if (rc != 0) {
            pid_ = -1;
            Stop();
            return "could not start node (Node.js 20 is needed): run tests/peers/install.sh";
        }
        return AwaitReady();
    }

    // SIGTERM, then SIGKILL if it has not gone within 5 s; always reaped.
    void Stop() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (!AwaitExit(std::chrono::seconds(5))) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        if (drain_.joinable()) drain_.join(); // the peer is gone: its pipe is at its end
        pid_ = -1;
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
    }

    uint16_t Port() const { return port_; }
    std::string Url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }
    pid_t Pid() const { return pid_; }

private:
    std::string AwaitReady() {
        const auto limit = std::chrono::steady_clock::now() + options_.ready_within;
        std::string seen;
        char buffer[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
            if (n <= 0) {
                Stop();
                return "the OPC UA test peer exited before it was ready; its output: " + seen;
            }
            seen.append(buffer, static_cast<size_t>(n));
            const size_t at = seen.find("READY port=" + std::to_string(port_));
            if (at != std::string::npos && seen.find('\n', at) != std::string::npos) {
                // Node writes to a pipe synchronously: keep draining so it never blocks.
                drain_ = std::thread([fd = stdout_] {
                    char sink[4096];
                    while (::read(fd, sink, sizeof sink) > 0) {
                    }
                });
                return "";
            }
        }
        Stop();
        return "the OPC UA test peer was not ready within " + std::to_string(options_.ready_within.count()) +
               " s; its output: " + seen;
    }

    bool AwaitExit(std::chrono::milliseconds limit) {
        // A pidfd becomes readable when the process ends: no polling loop with sleeps.
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(limit.count()));
            ::close(pidfd);
        }
        return ::waitpid(pid_, nullptr, pidfd >= 0 ? WNOHANG : 0) == pid_;
    }

    Options options_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    int stdout_ = -1;
    int stdin_ = -1;
    std::thread drain_;
};

// A fixture base with one peer for the whole suite, started with the server.js
// arguments Derived::PeerArgs() gives. A derived SetUp calls
// ASSERT_NO_FATAL_FAILURE(UaPeerSuite::SetUp()) first.
template <class Derived>
class UaPeerSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        peer_ = std::make_unique<UaPeer>(UaPeer::Options{300, Derived::PeerArgs()});
        start_error_ = peer_->Start();
    }
    static void TearDownTestSuite() { peer_.reset(); }
    void SetUp() override { ASSERT_EQ(start_error_, "") << "the OPC UA test peer is needed"; }

    static inline std::unique_ptr<UaPeer> peer_;
    static inline std::string start_error_;
};

} // namespace quorvane::test
