#include "windows/quorvane_view.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

namespace quorvane {

CQuorvaneView::CQuorvaneView(std::shared_ptr<CQuorvaneDoc> doc, QWidget* parent)
    : QAbstractScrollArea(parent), doc_(std::move(doc)) {
    setObjectName(QStringLiteral("itemList"));
    viewport()->setObjectName(QStringLiteral("itemListViewport"));
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    setFont(font);
    viewport()->setFont(font);
    const QFontMetrics metrics(font);
    state_.SetFontMetrics(metrics.maxWidth(), metrics.height());
    ascent_ = metrics.ascent();
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(false);

    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QScrollBar* bar = verticalScrollBar();
    bar->setObjectName(QStringLiteral("itemListScrollBar"));
    // The box moves while it is dragged; the list follows when it is let go.
    bar->setTracking(false);
    connect(bar, &QAbstractSlider::actionTriggered, this, [this](int action) { OnScrollAction(action); });
    connect(bar, &QAbstractSlider::sliderReleased, this,
            [this] { ScrollBy(ScrollCode::ThumbPosition, verticalScrollBar()->sliderPosition()); });
    SyncScrollBar();

    doc_->AttachObserver(this);
    attached_ = true;
}

CQuorvaneView::~CQuorvaneView() {
    Detach();
}

void CQuorvaneView::Detach() {
    if (!attached_) return;
    attached_ = false;
    doc_->DetachObserver(this);
}

bool CQuorvaneView::HasSelectedItem() const {
    return state_.SelectionDesignatesItem(doc_->Count());
}

void CQuorvaneView::RemoveSelectedItem() {
    if (!HasSelectedItem()) return;
    doc_->RemoveItemAt(state_.selectedRow);
    state_.ItemsChanged();
    SyncScrollBar();
    viewport()->update();
}

void CQuorvaneView::ScrollBy(ScrollCode code, int thumbPos) {
    if (state_.Scroll(code, thumbPos, doc_->Count())) viewport()->update();
    // The box always shows the top row, also when a drag past the end ended.
    SyncScrollBar();
}

void CQuorvaneView::OnScrollAction(int action) {
    QScrollBar* bar = verticalScrollBar();
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        ScrollBy(ScrollCode::LineUp);
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        ScrollBy(ScrollCode::LineDown);
        break;
    case QAbstractSlider::SliderPageStepSub:
        ScrollBy(ScrollCode::PageUp);
        break;
    case QAbstractSlider::SliderPageStepAdd:
        ScrollBy(ScrollCode::PageDown);
        break;
    case QAbstractSlider::SliderMove:
        if (bar->isSliderDown()) return; // tracking: the release decides
        ScrollBy(ScrollCode::ThumbPosition, bar->sliderPosition());
        break;
    default:
        break; // to the top or bottom: no change
    }
    // Overrides the position the bar computed by its own steps.
    bar->setSliderPosition(state_.topRow);
}

void CQuorvaneView::SyncScrollBar() {
    QScrollBar* bar = verticalScrollBar();
    const QSignalBlocker block(bar);
    bar->setRange(0, ScrollRangeMax(doc_->Count()));
    bar->setPageStep(std::max(1, state_.PageRows()));
    bar->setValue(state_.topRow);
}

void CQuorvaneView::OnGroupChanged(CQuorvaneDoc&, GroupChange change) {
    if (change == GroupChange::Items) itemsChanged_.store(true);
    if (repaintQueued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { Repaint(); }, Qt::QueuedConnection);
}

void CQuorvaneView::Repaint() {
    repaintQueued_.store(false);
    ++bridgedRepaints_;
    if (itemsChanged_.exchange(false)) {
        state_.ItemsChanged();
        SyncScrollBar();
    }
    viewport()->update();
}

void CQuorvaneView::paintEvent(QPaintEvent*) {
    ++paintCount_;
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), Qt::white);
    const QFontMetrics metrics(viewport()->font());
    lastDrawList_ = BuildScreenDrawList(*doc_, state_, [&metrics](std::string_view text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    });
    painter.setBackgroundMode(Qt::OpaqueMode);
    for (const DrawEntry& e : lastDrawList_.entries) {
        switch (e.kind) {
        case DrawEntry::Kind::Line:
            painter.setPen(Qt::black);
            painter.drawLine(e.x1, e.y1, e.x2, e.y2);
            break;
        case DrawEntry::Kind::Fill:
            painter.fillRect(QRect(QPoint(e.x1, e.y1), QPoint(e.x2 - 1, e.y2 - 1)), Qt::black);
            break;
        case DrawEntry::Kind::Text: {
            const bool inverted = (e.flags & kDrawInverted) != 0;
            painter.setPen(inverted ? Qt::white : Qt::black);
            painter.setBackground(inverted ? Qt::black : Qt::white);
            painter.drawText(e.x1, e.y1 + ascent_, QString::fromUtf8(e.text.c_str()));
            break;
        }
        }
    }
}

void CQuorvaneView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    state_.Resize(viewport()->width(), viewport()->height());
    SyncScrollBar();
}

void CQuorvaneView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        state_.Click(event->position().toPoint().y(), doc_->Count());
        viewport()->update();
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void CQuorvaneView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && HasSelectedItem() && editMapping_) editMapping_();
    QAbstractScrollArea::mouseDoubleClickEvent(event);
}

void CQuorvaneView::wheelEvent(QWheelEvent* event) {
    // Three rows per notch, as line scrolls.
    const int notches = event->angleDelta().y() / 120;
    for (int i = 0; i < 3 * std::abs(notches); ++i)
        ScrollBy(notches > 0 ? ScrollCode::LineUp : ScrollCode::LineDown);
    event->accept();
}

void CQuorvaneView::scrollContentsBy(int, int) {
    // The list scrolls by rows itself (ScrollBy); nothing moves by pixels.
}

} // namespace quorvane
