// "OPC API Log": the last 500 lines logged about calls to the OPC server in a
// plain scrolled list. Created hidden with the main window; closing it hides
// it and keeps its lines. In the windowed program it is the log's listener:
// lines may be logged on any thread and reach the window on its own thread.
#pragma once

#include "frame/dialog_data.h"

#include <QAbstractScrollArea>

#include <deque>
#include <string>

namespace quorvane {

class CApiLog;

class CApiLogWnd : public QAbstractScrollArea {
public:
    // 600 by 100 at `position`, owned by `owner` (a tool window above it).
    CApiLogWnd(QWidget* owner, QPoint position);
    ~CApiLogWnd() override;

    // Becomes `log`'s listener until destroyed (or another listener is set).
    void Listen(CApiLog& log);

    // User-interface thread.
    void AddLogLine(const std::string& line);
    const std::deque<std::string>& Lines() const { return lines_; }
    int TopLine() const { return scroll_.Top(); }
    int Page() const;
    void ScrollBy(CLogScroll::Request request, int position = 0);

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void OnAction(int action);

    std::deque<std::string> lines_;
    CLogScroll scroll_;
    CApiLog* log_ = nullptr;
    int lineHeight_ = 1;
};

} // namespace quorvane
