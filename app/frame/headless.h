// Running without windows: messages become one line on stderr, the OPC call
// log goes to stdout, and SIGINT or SIGTERM end the event loop so that the
// program shuts down in order.
#pragma once

#include "main_frame.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <string>

namespace quorvane {

class CStderrMessages : public CMessageSink {
public:
    void ShowMessage(const std::string& text, MessageIcon icon) override;
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

// Which interface runs. With a display and without --headless a window layer
// would run; this build has none, so it says so and runs headless.
struct InterfaceChoice {
    bool headless = true;
    std::string notice; // one line for stderr, or empty
};
InterfaceChoice ChooseInterface(bool headlessRequested, bool displayPresent);
bool DisplayPresent(); // DISPLAY or WAYLAND_DISPLAY set and not empty

} // namespace quorvane
