#include "frame/headless.h"

#include "frame/event_log.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
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
    // A message box's text is a warning in the log.
    ProgramLog().Write(LogLevel::Warning, "quorvane: " + OneLine(text));
    std::fflush(stderr);
}

void CStderrMessages::ShowMessageWithCause(const std::string& text, const std::string& cause, MessageIcon icon) {
    ShowMessage(cause.empty() ? text : text + " (" + cause + ")", icon);
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

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// libxcb is loaded only to ask, so that a headless build and machine need no
// X libraries; without it Qt's X platform could not start either. The probe's
// connection stays open until Qt has connected: an X server whose last
// client leaves resets itself, and Qt's connection would meet the reset.
struct XProbe {
    void* library = nullptr;
    void* connection = nullptr;
    void (*disconnect)(void*) = nullptr;
};
XProbe g_xProbe;

bool XServerAnswers(const std::string& display, std::string* why) {
    EndDisplayProbe();
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr) {
        *why = "the X client library is not installed";
        return false;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = false;
    g_xProbe.library = xcb;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        g_xProbe.disconnect = disconnect;
        g_xProbe.connection = connect(display.c_str(), nullptr);
        answers = g_xProbe.connection != nullptr && hasError(g_xProbe.connection) == 0;
    }
    if (!answers) {
        EndDisplayProbe();
        *why = "the X display " + display + " cannot be opened";
    }
    return answers;
}

bool WaylandAnswers(const DisplayEnvironment& e, std::string* why) {
    if (!e.waylandPlatformAvailable) {
        *why = "Qt has no Wayland platform";
        return false;
    }
    std::string path = e.waylandDisplay;
    if (path.empty() || path[0] != '/') {
        if (e.runtimeDir.empty()) {
            *why = "XDG_RUNTIME_DIR is not set";
            return false;
        }
        path = e.runtimeDir + "/" + path;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool answers = false;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
        }
    }
    if (!answers) *why = "the Wayland display " + e.waylandDisplay + " cannot be opened";
    return answers;
}

} // namespace

void EndDisplayProbe() {
    if (g_xProbe.connection != nullptr) g_xProbe.disconnect(g_xProbe.connection);
    if (g_xProbe.library != nullptr) ::dlclose(g_xProbe.library);
    g_xProbe = XProbe{};
}

DisplayEnvironment CurrentDisplayEnvironment() {
    DisplayEnvironment e;
    e.qpaPlatform = Env("QT_QPA_PLATFORM");
    e.display = Env("DISPLAY");
    e.waylandDisplay = Env("WAYLAND_DISPLAY");
    e.runtimeDir = Env("XDG_RUNTIME_DIR");
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
    e.waylandPlatformAvailable = !platforms.entryList({QStringLiteral("libqwayland*.so")}, QDir::Files).isEmpty();
    return e;
}

DisplayProbe ProbeDisplay(const DisplayEnvironment& e) {
    DisplayProbe probe;
    // The first platform Qt would try decides; the ones that need no display
    // always start.
    const std::string first = e.qpaPlatform.substr(0, e.qpaPlatform.find_first_of(";:"));
    if (first == "offscreen" || first == "minimal") {
        probe.usable = true;
        return probe;
    }
    const bool xWanted = first.empty() || first == "xcb";
    const bool waylandWanted = first.empty() || first.rfind("wayland", 0) == 0;
    if (!xWanted && !waylandWanted) {
        probe.usable = true; // a platform the operator chose knowingly (vnc, eglfs, ...)
        return probe;
    }
    std::string whyX, whyWayland;
    if (xWanted && !e.display.empty() && XServerAnswers(e.display, &whyX)) {
        probe.usable = true;
        return probe;
    }
    if (waylandWanted && !e.waylandDisplay.empty() && WaylandAnswers(e, &whyWayland)) {
        probe.usable = true;
        if (first.empty()) probe.qpaPlatform = "wayland";
        return probe;
    }
    if (!whyX.empty()) probe.why = whyX;
    else if (!whyWayland.empty()) probe.why = whyWayland;
    else probe.why = "no display found";
    return probe;
}

// The one place that decides between windows and headless.
InterfaceChoice ChooseInterface(bool headlessRequested, bool windowsBuilt, const std::function<DisplayProbe()>& probe) {
    if (headlessRequested) return {true, ""};
    if (!windowsBuilt) return {true, "the windowed interface is not available in this build: running headless"};
    const DisplayProbe display = probe();
    if (!display.usable) return {true, display.why + ": running headless"};
    return {false, ""};
}

} // namespace quorvane
