// Running without windows: messages become one line on stderr, the OPC call
// log goes to stdout, and SIGINT or SIGTERM end the event loop so that the
// program shuts down in order.
#pragma once

#include "frame/main_frame.h"

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>
#include <string>

namespace quorvane {

class CStderrMessages : public CMessageSink {
public:
    void ShowMessage(const std::string& text, MessageIcon icon) override;
    // One line: "text (cause)".
    void ShowMessageWithCause(const std::string& text, const std::string& cause, MessageIcon icon) override;
    // The text on one line: line breaks become blanks, trailing ones go.
    static std::string OneLine(const std::string& text);
};

// Turns SIGINT and SIGTERM into a quit of the Qt event loop. One instance at
// a time; the handlers are restored on destruction.
class CSignalQuit : public QObject {
public:
    CSignalQuit();
    ~CSignalQuit() override;
    bool Ok() const { return notifier_ != nullptr; }
    // The signal that arrived, 0 while none did.
    int Received() const { return received_; }

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    int received_ = 0;
};

// Whether a display can be opened, decided without Qt (whose platform start
// aborts the process when it fails): QT_QPA_PLATFORM offscreen or minimal; an
// X server that accepts a connection on DISPLAY (through libxcb, as Qt's
// platform connects); a Wayland compositor listening on WAYLAND_DISPLAY when
// Qt has a Wayland platform. When only Wayland answers, `qpaPlatform` names
// it so that Qt does not try X first.
struct DisplayEnvironment {
    std::string qpaPlatform;    // QT_QPA_PLATFORM
    std::string display;        // DISPLAY
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string runtimeDir;     // XDG_RUNTIME_DIR
    bool waylandPlatformAvailable = false;
};
DisplayEnvironment CurrentDisplayEnvironment();
struct DisplayProbe {
    bool usable = false;
    std::string qpaPlatform; // to set before Qt starts, or empty
    std::string why;         // when not usable
};
DisplayProbe ProbeDisplay(const DisplayEnvironment& environment);
// Closes the connection a successful probe keeps open; call it once Qt has
// connected (or will not).
void EndDisplayProbe();

// Which interface runs: windows when this build has them, --headless was not
// given and the display probe (asked only then) answers; otherwise headless,
// with a one-line notice saying why when windows were expected.
struct InterfaceChoice {
    bool headless = true;
    std::string notice; // one line for stderr, or empty
};
InterfaceChoice ChooseInterface(bool headlessRequested, bool windowsBuilt, const std::function<DisplayProbe()>& probe);

} // namespace quorvane
