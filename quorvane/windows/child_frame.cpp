#include "windows/child_frame.h"

#include <QCloseEvent>

namespace quorvane {

CChildFrame::CChildFrame(CQuorvaneModel& model, std::shared_ptr<CQuorvaneDoc> doc, QWidget* parent)
    : QMdiSubWindow(parent), model_(model), doc_(std::move(doc)) {
    setObjectName(QStringLiteral("groupWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString::fromUtf8(doc_->Title().c_str()));
    view_ = new CQuorvaneView(doc_, this);
    setWidget(view_);
}

void CChildFrame::GroupClosing() {
    if (groupClosed_) return;
    groupClosed_ = true;
    view_->Detach();
    close();
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    if (!groupClosed_) {
        groupClosed_ = true;
        view_->Detach();
        model_.CloseGroup(doc_); // its closing notice finds this window already closed
    }
    QMdiSubWindow::closeEvent(event);
    event->accept();
}

} // namespace quorvane
