#include "windows/quorvane_view.h"

#include <QFontDatabase>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QToolTip>
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
    setFocusPolicy(Qt::StrongFocus);

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

namespace {

// A colour's lightness on the 0..255 scale, as the eye weighs the primaries.
int Lightness(const QColor& c) { return (c.red() * 299 + c.green() * 587 + c.blue() * 114) / 1000; }

} // namespace

QColor CQuorvaneView::TextColor(uint32_t flags) const {
    const QPalette& p = viewport()->palette();
    const bool inverted = (flags & kDrawInverted) != 0;
    // The selected row swaps the list's base and text colours.
    const QColor background = inverted ? p.color(QPalette::Text) : p.color(QPalette::Base);
    const bool dark = Lightness(background) < 128;
    // No palette role means "bad" or "caution": red and amber, each in the
    // shade that reads on the background.
    if ((flags & kDrawBad) != 0) return dark ? QColor(0xFF, 0x6E, 0x6E) : QColor(0xC0, 0x00, 0x00);
    if ((flags & kDrawUncertain) != 0) return dark ? QColor(0xFF, 0xC0, 0x40) : QColor(0x9A, 0x5B, 0x00);
    return inverted ? p.color(QPalette::Base) : p.color(QPalette::Text);
}

void CQuorvaneView::paintEvent(QPaintEvent*) {
    ++paintCount_;
    QPainter painter(viewport());
    const QPalette& palette = viewport()->palette();
    const QColor base = palette.color(QPalette::Base);
    const QColor ink = palette.color(QPalette::Text);
    painter.fillRect(viewport()->rect(), base);
    const QFontMetrics metrics(viewport()->font());
    lastDrawList_ = BuildScreenDrawList(*doc_, state_, [&metrics](std::string_view text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    });
    painter.setBackgroundMode(Qt::OpaqueMode);
    for (const DrawEntry& e : lastDrawList_.entries) {
        switch (e.kind) {
        case DrawEntry::Kind::Line:
            painter.setPen(ink);
            painter.drawLine(e.x1, e.y1, e.x2, e.y2);
            break;
        case DrawEntry::Kind::Fill:
            painter.fillRect(QRect(QPoint(e.x1, e.y1), QPoint(e.x2 - 1, e.y2 - 1)), ink);
            break;
        case DrawEntry::Kind::Text: {
            const bool inverted = (e.flags & kDrawInverted) != 0;
            painter.setPen(TextColor(e.flags));
            painter.setBackground(inverted ? ink : base);
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

void CQuorvaneView::keyPressEvent(QKeyEvent* event) {
    SelectionKey key{};
    switch (event->key()) {
    case Qt::Key_Up: key = SelectionKey::Up; break;
    case Qt::Key_Down: key = SelectionKey::Down; break;
    case Qt::Key_PageUp: key = SelectionKey::PageUp; break;
    case Qt::Key_PageDown: key = SelectionKey::PageDown; break;
    case Qt::Key_Home: key = SelectionKey::Home; break;
    case Qt::Key_End: key = SelectionKey::End; break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (HasSelectedItem() && editMapping_) editMapping_();
        event->accept();
        return;
    case Qt::Key_Delete:
        if (remove_) remove_();
        event->accept();
        return;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    if (state_.MoveSelection(key, doc_->Count())) {
        SyncScrollBar();
        viewport()->update();
    }
    event->accept();
}

QString CQuorvaneView::ToolTipAt(int y) const {
    const int row = SelectAt(y, state_.lineHeight, state_.topRow, doc_->Count());
    ItemState state;
    if (row < 0 || !doc_->ReadItem(row, &state)) return {};
    return QString::fromUtf8(FormatItemTooltip(state).c_str());
}

bool CQuorvaneView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = ToolTipAt(help->pos().y());
        if (text.isEmpty()) QToolTip::hideText();
        else QToolTip::showText(help->globalPos(), text, viewport());
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void CQuorvaneView::scrollContentsBy(int, int) {
    // The list scrolls by rows itself (ScrollBy); nothing moves by pixels.
}

} // namespace quorvane
