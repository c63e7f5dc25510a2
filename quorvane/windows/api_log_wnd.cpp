#include "windows/api_log_wnd.h"

#include "frame/api_log.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMetaObject>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QThread>

namespace quorvane {

CApiLogWnd::CApiLogWnd(QWidget* owner, QPoint position) : QAbstractScrollArea(owner) {
    setObjectName(QStringLiteral("apiLogWnd"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("OPC API Log"));
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    viewport()->setAutoFillBackground(true);
    viewport()->setBackgroundRole(QPalette::Base);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lineHeight_ = std::max(1, QFontMetrics(font()).height());
    // The range stays 0 to 500 for the window's life; the position is the
    // top line.
    verticalScrollBar()->setRange(0, static_cast<int>(CApiLog::kMaxLines));
    verticalScrollBar()->setTracking(false); // dragging the thumb moves nothing until released
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &CApiLogWnd::OnAction);
    connect(verticalScrollBar(), &QScrollBar::sliderReleased, this,
            [this] { ScrollBy(CLogScroll::Request::Position, verticalScrollBar()->sliderPosition()); });
    move(position);
    resize(600, 100);
    hide();
}

CApiLogWnd::~CApiLogWnd() {
    if (log_ != nullptr) log_->SetListener({});
}

void CApiLogWnd::Listen(CApiLog& log) {
    log_ = &log;
    QPointer<CApiLogWnd> self(this);
    log.SetListener([self](const std::string& line) {
        // The listener is removed (waiting for a running call) before the
        // window goes, so `self` is valid here; only its thread touches it.
        if (QThread::currentThread() == self->thread()) {
            self->AddLogLine(line);
        } else {
            QMetaObject::invokeMethod(
                self.data(), [self, line] {
                    if (self) self->AddLogLine(line);
                },
                Qt::QueuedConnection);
        }
    });
}

int CApiLogWnd::Page() const { return viewport()->height() / lineHeight_; }

void CApiLogWnd::AddLogLine(const std::string& line) {
    lines_.push_back(line);
    while (lines_.size() > CApiLog::kMaxLines) lines_.pop_front();
    scroll_.LineAdded(static_cast<int>(lines_.size()), Page());
    const QSignalBlocker quiet(verticalScrollBar());
    verticalScrollBar()->setValue(scroll_.Top());
    viewport()->update();
}

void CApiLogWnd::ScrollBy(CLogScroll::Request request, int position) {
    scroll_.Scroll(request, static_cast<int>(lines_.size()), Page(), position);
    const QSignalBlocker quiet(verticalScrollBar());
    verticalScrollBar()->setValue(scroll_.Top());
    viewport()->update();
}

void CApiLogWnd::OnAction(int action) {
    using Request = CLogScroll::Request;
    Request request = Request::Other;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub: request = Request::LineUp; break;
    case QAbstractSlider::SliderSingleStepAdd: request = Request::LineDown; break;
    case QAbstractSlider::SliderPageStepSub: request = Request::PageUp; break;
    case QAbstractSlider::SliderPageStepAdd: request = Request::PageDown; break;
    default: break;
    }
    if (request == Request::Other) return;
    // After the bar took its own step: the window's rules decide the top line.
    QMetaObject::invokeMethod(this, [this, request] { ScrollBy(request); }, Qt::QueuedConnection);
}

void CApiLogWnd::scrollContentsBy(int, int) {}

void CApiLogWnd::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const int page = Page();
    for (int i = 0; i < page; ++i) {
        const size_t index = static_cast<size_t>(scroll_.Top() + i);
        if (index >= lines_.size()) break;
        painter.drawText(0, i * lineHeight_ + metrics.ascent(), QString::fromStdString(lines_[index]));
    }
}

void CApiLogWnd::closeEvent(QCloseEvent* event) {
    // Closing hides the window and keeps it (it is not deleted on close), so
    // the lines are still there when it is shown again. The close must be
    // accepted: a window that refuses it also refuses the application's quit,
    // and SIGTERM would leave the program running.
    event->accept();
}

} // namespace quorvane
