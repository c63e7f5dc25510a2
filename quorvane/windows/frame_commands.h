// The frame's dialog commands and auxiliary windows, registered with the
// window layer's handlers: Connect COM n (port setup), OPC server Connect and
// Status, Group Add, Save and Restore with their file prompts, Help Topics
// (also F1 and Shift+F1), the OPC call log window ("OPC API Log") and the
// Modbus traffic window.
#pragma once

#include "windows/command_handlers.h"


#include <functional>
#include <memory>
#include <string>

namespace quorvane {

class CApiLogWnd;
class CMainFrameWnd;
class CTrafficWnd;

// Asks for a configuration file's path: `save` true for Save (an existing
// file is replaced only after the operator confirmed it). Empty: cancelled.
using PathPrompt = std::function<std::string(QWidget* parent, bool save)>;
// The platform's file dialog over "*.csv".
std::string AskConfigurationPath(QWidget* parent, bool save);

// Owns the windows the frame keeps for its whole life.
class CFrameWindows {
public:
    CFrameWindows(CQuorvaneApp& app, CMainFrameWnd& main);
    ~CFrameWindows();
    CFrameWindows(const CFrameWindows&) = delete;
    CFrameWindows& operator=(const CFrameWindows&) = delete;

    CApiLogWnd* LogWindow() const { return log_; }
    CTrafficWnd* TrafficWindow() const { return traffic_; }
    // Tests answer the file prompts themselves; an empty prompt restores the
    // platform's dialog.
    void SetPathPrompt(PathPrompt prompt);
    const PathPrompt& Prompt() const { return prompt_; }

private:
    CQuorvaneApp& app_;
    CApiLogWnd* log_ = nullptr; // children of the main window, deleted first
    CTrafficWnd* traffic_ = nullptr;
    PathPrompt prompt_;
};

// Registers this layer's handlers (replacing the standard ones for Save,
// Restore and Connect COM n) and creates the frame's windows.
std::unique_ptr<CFrameWindows> RegisterFrameHandlers(CCommandHandlers& handlers, CQuorvaneApp& app,
                                                     CMainFrameWnd& main);

// The text "Help Topics" shows.
QString HelpText();

} // namespace quorvane
