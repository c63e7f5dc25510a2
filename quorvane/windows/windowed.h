// The window layer as the program's main() uses it.
#pragma once

#include "windows/command_handlers.h"
#include "windows/frame_commands.h"
#include "windows/main_frame_wnd.h"

#include <QCoreApplication>

#include <memory>

namespace quorvane {

// A QApplication with the program icon. argc and argv must outlive it.
std::unique_ptr<QCoreApplication> CreateWindowedApplication(int& argc, char** argv);
// Message boxes for the operator's messages.
std::unique_ptr<CMessageSink> CreateMessageBoxes();

// The main window with its command handlers; destroy it before the
// application object.
class CWindowedInterface {
  public:
    explicit CWindowedInterface(CQuorvaneApp& app);
    CMainFrameWnd& MainWindow() { return *window_; }
    CCommandHandlers& Handlers() { return handlers_; }
    CFrameWindows& FrameWindows() { return *frameWindows_; }

  private:
    CCommandHandlers handlers_;
    std::unique_ptr<CMainFrameWnd> window_;
    std::unique_ptr<CFrameWindows> frameWindows_; // before the main window goes
};

// Registers the standard handlers and shows the main window.
std::unique_ptr<CWindowedInterface> CreateWindowedInterface(CQuorvaneApp& app);

} // namespace quorvane
