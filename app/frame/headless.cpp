#include "headless.h"

#include <QCoreApplication>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace quorvane {
namespace {

std::atomic<int> g_signalWriteFd{-1};

void OnSignal(int signal) {
    const int saved = errno;
    const int fd = g_signalWriteFd.load();
    if (fd != -1) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

struct sigaction g_previousInt {};
struct sigaction g_previousTerm {};

} // namespace

std::string CStderrMessages::OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

void CStderrMessages::ShowMessage(const std::string& text, MessageIcon) {
    std::fprintf(stderr, "quorvane: %s\n", OneLine(text).c_str());
    std::fflush(stderr);
}

CSignalQuit::CSignalQuit() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    g_signalWriteFd.store(fds_[1]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &g_previousInt);
    sigaction(SIGTERM, &action, &g_previousTerm);
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(fds_[0], &byte, 1) == 1) received_ = byte;
        if (received_ != 0) QCoreApplication::quit();
    });
}

CSignalQuit::~CSignalQuit() {
    if (fds_[0] == -1) return;
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    g_signalWriteFd.store(-1);
    notifier_.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
}

bool DisplayPresent() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

// The one place that decides between windows and headless; the window layer
// replaces the "not available" branch.
InterfaceChoice ChooseInterface(bool headlessRequested, bool displayPresent) {
    if (headlessRequested) return {true, ""};
    if (!displayPresent) return {true, "no display found: running headless"};
    return {true, "the windowed interface is not available in this build: running headless"};
}

} // namespace quorvane
