#include "windows/traffic_wnd.h"

#include "frame/quorvane_app.h"
#include "pellacor.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

namespace quorvane {
namespace {

constexpr int kTcpSlot = CTrafficTap::kSlots - 1;

QString LinkName(int slot) {
    return slot == kTcpSlot ? QStringLiteral("Modbus/TCP") : QStringLiteral("COM%1").arg(slot + 1);
}

} // namespace

CTrafficWnd::CTrafficWnd(CQuorvaneApp& app, QWidget* owner) : QWidget(owner), app_(app) {
    setObjectName(QStringLiteral("trafficWnd"));
    setWindowFlags(Qt::Window);
    setWindowTitle(QStringLiteral("Modbus Traffic"));
    auto* layout = new QVBoxLayout(this);

    links_ = new QTableWidget(0, 3, this);
    links_->setObjectName(QStringLiteral("linkTable"));
    links_->setHorizontalHeaderLabels({QStringLiteral("Link"), QStringLiteral("Good Frames"),
                                       QStringLiteral("Bad Frames")});
    links_->verticalHeader()->hide();
    links_->horizontalHeader()->setStretchLastSection(true);
    links_->setSelectionBehavior(QAbstractItemView::SelectRows);
    links_->setSelectionMode(QAbstractItemView::SingleSelection);
    links_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    links_->setMaximumHeight(170);
    connect(links_, &QTableWidget::itemSelectionChanged, this, &CTrafficWnd::FollowSelected);
    layout->addWidget(links_);

    auto* buttons = new QHBoxLayout();
    auto* reset = new QPushButton(QStringLiteral("Reset Counters"), this);
    reset->setObjectName(QStringLiteral("resetButton"));
    connect(reset, &QPushButton::clicked, this, &CTrafficWnd::ResetCounters);
    pause_ = new QCheckBox(QStringLiteral("Pause"), this);
    pause_->setObjectName(QStringLiteral("pauseBox"));
    connect(pause_, &QCheckBox::toggled, this, [this](bool on) { paused_ = on; });
    auto* clear = new QPushButton(QStringLiteral("Clear"), this);
    clear->setObjectName(QStringLiteral("clearButton"));
    connect(clear, &QPushButton::clicked, this, [this] { hex_->clear(); });
    buttons->addWidget(reset);
    buttons->addWidget(clear);
    buttons->addWidget(pause_);
    buttons->addStretch();
    layout->addLayout(buttons);

    hex_ = new QPlainTextEdit(this);
    hex_->setObjectName(QStringLiteral("hexView"));
    hex_->setReadOnly(true);
    hex_->setLineWrapMode(QPlainTextEdit::NoWrap);
    hex_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    hex_->setMaximumBlockCount(kMaxLines); // bounded memory however long it follows
    layout->addWidget(hex_, 1);

    resize(640, 480);
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &CTrafficWnd::Tick);
}

CTrafficWnd::~CTrafficWnd() {
    if (timer_.isActive()) CTrafficTap::Enable(false);
}

void CTrafficWnd::showEvent(QShowEvent* event) {
    CTrafficTap::Enable(true);
    timer_.start();
    Tick();
    QWidget::showEvent(event);
}

void CTrafficWnd::hideEvent(QHideEvent* event) {
    timer_.stop();
    CTrafficTap::Enable(false);
    QWidget::hideEvent(event);
}

void CTrafficWnd::SetPaused(bool paused) { pause_->setChecked(paused); }

std::array<CTrafficWnd::Link, CTrafficTap::kSlots> CTrafficWnd::OpenLinks() const {
    std::array<Link, CTrafficTap::kSlots> links{};
    CMainFrame& frame = app_.Frame();
    for (int port = 1; port <= kSerialPorts; ++port) {
        links[static_cast<size_t>(port - 1)].handle = frame.SerialSlot(port);
        links[static_cast<size_t>(port - 1)].framing =
            frame.GetPortSettings(port).protocol == 1 ? TrafficFraming::Rtu : TrafficFraming::Ascii;
    }
    links[kTcpSlot] = Link{frame.TcpSlot(), TrafficFraming::Tcp};
    return links;
}

void CTrafficWnd::Tick() {
    UpdateLinks();
    if (ticks_++ % (kCounterMs / kTickMs) == 0) UpdateCounters();
    if (!paused_) ReadTraffic();
}

void CTrafficWnd::UpdateLinks() {
    const auto links = OpenLinks();
    bool changed = false;
    for (size_t i = 0; i < links.size(); ++i) {
        if (links[i].handle != shown_[i].handle) changed = true;
        CTrafficTap::Instance().Watch(static_cast<int>(i), links[i].handle);
    }
    if (!changed) return;
    shown_ = links;
    const QString selected = SelectedRow() >= 0 ? links_->item(SelectedRow(), 0)->text() : QString();
    const QSignalBlocker quiet(links_);
    links_->setRowCount(0);
    for (size_t i = 0; i < links.size(); ++i) {
        if (links[i].handle == -1) continue;
        const int row = links_->rowCount();
        links_->insertRow(row);
        auto* name = new QTableWidgetItem(LinkName(static_cast<int>(i)));
        name->setData(Qt::UserRole, static_cast<int>(i));
        links_->setItem(row, 0, name);
        links_->setItem(row, 1, new QTableWidgetItem(QStringLiteral("0")));
        links_->setItem(row, 2, new QTableWidgetItem(QStringLiteral("0")));
        if (name->text() == selected) links_->selectRow(row);
    }
    UpdateCounters();
    FollowSelected();
}

void CTrafficWnd::UpdateCounters() {
    for (int row = 0; row < links_->rowCount(); ++row) {
        const int slot = links_->item(row, 0)->data(Qt::UserRole).toInt();
        uint32_t good = 0;
        uint32_t bad = 0;
        SlaveStatus(shown_[static_cast<size_t>(slot)].handle, &good, &bad, 0);
        links_->item(row, 1)->setText(QString::number(good));
        links_->item(row, 2)->setText(QString::number(bad));
    }
}

void CTrafficWnd::ResetCounters() {
    for (const Link& link : shown_)
        if (link.handle != -1) SlaveStatus(link.handle, nullptr, nullptr, 1);
    UpdateCounters();
}

int CTrafficWnd::SelectedRow() const {
    const auto selection = links_->selectedItems();
    return selection.isEmpty() ? -1 : selection.front()->row();
}

bool CTrafficWnd::SelectLink(const QString& name) {
    UpdateLinks();
    for (int row = 0; row < links_->rowCount(); ++row) {
        if (links_->item(row, 0)->text() != name) continue;
        links_->selectRow(row);
        FollowSelected();
        return true;
    }
    return false;
}

void CTrafficWnd::FollowSelected() {
    // The selection, not the current row: a click selects before it moves
    // the current row.
    const int row = SelectedRow();
    const int slot = row >= 0 ? links_->item(row, 0)->data(Qt::UserRole).toInt() : -1;
    const int32_t handle = slot >= 0 ? shown_[static_cast<size_t>(slot)].handle : -1;
    if (slot == followedSlot_ && handle == follower_.Handle()) return;
    followedSlot_ = slot;
    follower_.Follow(handle, slot >= 0 ? shown_[static_cast<size_t>(slot)].framing : TrafficFraming::Tcp);
    hex_->clear();
    // Start at the ring's current end: what passed before the link was
    // chosen is not shown.
    if (slot >= 0) follower_.SkipTo(CTrafficTap::Instance().Read(slot));
}

void CTrafficWnd::ReadTraffic() {
    if (followedSlot_ < 0) return;
    const auto lines = follower_.Poll(CTrafficTap::Instance().Read(followedSlot_), &ReadDebugData);
    if (lines.empty()) return;
    QScrollBar* bar = hex_->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    QTextCursor cursor(hex_->document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat received;
    received.setForeground(QColor(0, 0, 160));
    QTextCharFormat sent;
    sent.setForeground(QColor(0, 110, 0));
    QTextCharFormat gap;
    gap.setForeground(Qt::gray);
    cursor.beginEditBlock();
    for (const TrafficLine& line : lines) {
        if (!hex_->document()->isEmpty()) cursor.insertBlock();
        cursor.insertText(QString::fromStdString(line.text), line.gap ? gap : line.received ? received : sent);
    }
    cursor.endEditBlock();
    // The newest line stays in sight unless the operator scrolled up to read.
    if (atBottom) bar->setValue(bar->maximum());
}

} // namespace quorvane
