#include "windows/traffic_wnd.h"

#include "frame/config/file_io.h"
#include "frame/quorvane_app.h"
#include "model/pcap_file.h"
#include "pellacor.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>

#include <QFontMetrics>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

namespace quorvane {
namespace {

constexpr int kTcpSlot = CTrafficTap::kSlots - 1;

QString LinkName(int slot) {
    return slot == kTcpSlot ? QStringLiteral("Modbus/TCP") : QStringLiteral("COM%1").arg(slot + 1);
}

// The functions the slave answers, offered in the filter.
constexpr int kFilterFunctions[] = {1, 2, 3, 4, 5, 6, 8, 15, 16};

} // namespace

bool CTrafficLines::Filter::Passes(const TrafficLine& line) const {
    if (slave == -1 && function == -1) return true;
    if (line.gap) return false;
    return (slave == -1 || line.decoded.slave == slave) && (function == -1 || line.decoded.function == function);
}

void CTrafficLines::Add(const std::deque<TrafficLine>& lines) {
    std::vector<const TrafficLine*> passing;
    for (const TrafficLine& line : lines)
        if (filter_.Passes(line)) passing.push_back(&line);
    if (passing.empty()) return;
    // Only the newest `cap` of them can stay.
    const size_t take = std::min(passing.size(), cap_);
    const size_t drop = std::min(lines_.size(), lines_.size() + take > cap_ ? lines_.size() + take - cap_ : 0);
    if (drop > 0) {
        beginRemoveRows({}, 0, static_cast<int>(drop) - 1);
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<long>(drop));
        endRemoveRows();
    }
    const int first = static_cast<int>(lines_.size());
    beginInsertRows({}, first, first + static_cast<int>(take) - 1);
    for (size_t i = passing.size() - take; i < passing.size(); ++i) lines_.push_back(*passing[i]);
    endInsertRows();
}

void CTrafficLines::Reset(const std::deque<TrafficLine>& lines, Filter filter) {
    beginResetModel();
    filter_ = filter;
    lines_.clear();
    for (const TrafficLine& line : lines)
        if (filter_.Passes(line)) lines_.push_back(line);
    while (lines_.size() > cap_) lines_.pop_front();
    endResetModel();
}

int CTrafficLines::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

int CTrafficLines::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant CTrafficLines::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(lines_.size())) return {};
    const TrafficLine& line = lines_[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole) {
        if (line.gap) return index.column() == kBytes ? QString::fromStdString(line.text) : QString();
        switch (index.column()) {
        case kTime:
            return QString::fromStdString(FormatTrafficTime(line.timeMs));
        case kDirection:
            return line.received ? QStringLiteral("RX") : QStringLiteral("TX");
        case kBytes:
            return QString::fromStdString(line.text.substr(3));
        case kDecoded:
            return QString::fromStdString(line.decoded.text);
        default:
            return {};
        }
    }
    if (role == Qt::ForegroundRole) {
        if (line.gap) return QColor(Qt::gray);
        const bool broken = line.decoded.check != DecodedFrame::Check::Good || line.decoded.exception;
        if (index.column() == kDecoded && broken) return QColor(190, 0, 0);
        return line.received ? QColor(0, 0, 160) : QColor(0, 110, 0);
    }
    return {};
}

QVariant CTrafficLines::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case kTime:
        return QStringLiteral("Time");
    case kDirection:
        return QStringLiteral("Dir");
    case kBytes:
        return QStringLiteral("Bytes");
    case kDecoded:
        return QStringLiteral("Frame");
    default:
        return {};
    }
}

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
    links_->setMaximumHeight(120);
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
    connect(clear, &QPushButton::clicked, this, [this] {
        follower_.ForgetLines();
        lines_->Reset({}, lines_->CurrentFilter());
    });
    auto* save = new QPushButton(QStringLiteral("Save..."), this);
    save->setObjectName(QStringLiteral("saveButton"));
    connect(save, &QPushButton::clicked, this, &CTrafficWnd::AskAndSave);
    buttons->addWidget(reset);
    buttons->addWidget(clear);
    buttons->addWidget(pause_);
    buttons->addWidget(save);
    buttons->addStretch();
    QWidget::setTabOrder(clear, pause_); // Tab goes along the row as laid out
    auto* slaveLabel = new QLabel(QStringLiteral("&Slave:"), this);
    slaveFilter_ = new QSpinBox(this);
    slaveFilter_->setObjectName(QStringLiteral("slaveFilter"));
    slaveFilter_->setRange(-1, 255);
    slaveFilter_->setSpecialValueText(QStringLiteral("All"));
    slaveFilter_->setValue(-1);
    slaveLabel->setBuddy(slaveFilter_);
    auto* functionLabel = new QLabel(QStringLiteral("&Function:"), this);
    functionFilter_ = new QComboBox(this);
    functionFilter_->setObjectName(QStringLiteral("functionFilter"));
    functionFilter_->addItem(QStringLiteral("All"), -1);
    for (int function : kFilterFunctions)
        functionFilter_->addItem(
            QStringLiteral("%1 %2").arg(function).arg(QString::fromStdString(ModbusFunctionName(function))), function);
    functionLabel->setBuddy(functionFilter_);
    connect(slaveFilter_, &QSpinBox::valueChanged, this, &CTrafficWnd::ApplyFilter);
    connect(functionFilter_, &QComboBox::currentIndexChanged, this, &CTrafficWnd::ApplyFilter);
    buttons->addWidget(slaveLabel);
    buttons->addWidget(slaveFilter_);
    buttons->addWidget(functionLabel);
    buttons->addWidget(functionFilter_);
    layout->addLayout(buttons);

    lines_ = new CTrafficLines(kMaxLines, this); // bounded memory however long it follows
    frames_ = new QTableView(this);
    frames_->setObjectName(QStringLiteral("frameView"));
    frames_->setModel(lines_);
    frames_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    frames_->setSelectionBehavior(QAbstractItemView::SelectRows);
    frames_->setWordWrap(false);
    frames_->setShowGrid(false);
    frames_->verticalHeader()->hide();
    // Fixed row heights and column widths: a new line costs no measuring.
    frames_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    frames_->verticalHeader()->setDefaultSectionSize(QFontMetrics(frames_->font()).height() + 2);
    const int digit = QFontMetrics(frames_->font()).horizontalAdvance(QLatin1Char('0'));
    frames_->horizontalHeader()->resizeSection(CTrafficLines::kTime, digit * 15);
    frames_->horizontalHeader()->resizeSection(CTrafficLines::kDirection, digit * 4);
    frames_->horizontalHeader()->resizeSection(CTrafficLines::kBytes, digit * 50);
    frames_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(frames_, 1);

    resize(940, 560);
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &CTrafficWnd::Tick);
    CTrafficTap::Enable(true);
}

CTrafficWnd::~CTrafficWnd() { CTrafficTap::Enable(false); }

void CTrafficWnd::showEvent(QShowEvent* event) {
    timer_.start();
    Tick();
    // The first link is chosen when none is: its recent frames show at once.
    if (SelectedRow() < 0 && links_->rowCount() > 0) links_->selectRow(0);
    QWidget::showEvent(event);
}

void CTrafficWnd::hideEvent(QHideEvent* event) {
    timer_.stop();
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
    lines_->Reset({}, lines_->CurrentFilter());
    if (slot < 0) return;
    // What the ring still holds of the link's traffic shows first.
    follower_.StartWithHistory(CTrafficTap::Instance().Read(slot));
    if (!paused_) ReadTraffic();
}

void CTrafficWnd::ReadTraffic() {
    if (followedSlot_ < 0) return;
    const CTrafficTap& tap = CTrafficTap::Instance();
    const CTrafficTap::Mark mark = tap.Read(followedSlot_);
    const auto lines = follower_.Poll(mark, &ReadDebugData, tap.Times(followedSlot_, follower_.Seen()));
    if (lines.empty()) return;
    QScrollBar* bar = frames_->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    lines_->Add(lines);
    // The newest line stays in sight unless the operator scrolled up to read.
    if (atBottom) frames_->scrollToBottom();
}

void CTrafficWnd::SetFilter(int slave, int function) {
    slaveFilter_->setValue(slave);
    const int index = functionFilter_->findData(function);
    functionFilter_->setCurrentIndex(index >= 0 ? index : 0);
    ApplyFilter();
}

void CTrafficWnd::ApplyFilter() {
    const CTrafficLines::Filter filter{slaveFilter_->value(), functionFilter_->currentData().toInt()};
    if (filter.slave == lines_->CurrentFilter().slave && filter.function == lines_->CurrentFilter().function) return;
    lines_->Reset(follower_.Lines(), filter);
    frames_->scrollToBottom();
}

void CTrafficWnd::AskAndSave() {
    QFileDialog dialog(this);
    dialog.setObjectName(QStringLiteral("trafficSaveDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QStringLiteral("*.txt"));
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(QStringLiteral("traffic.txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    SaveTo(dialog.selectedFiles().front().toStdString());
}

std::vector<std::string> CTrafficWnd::SaveTo(const std::string& path) {
    std::string text;
    for (const TrafficLine& line : lines_->Lines()) text += TrafficLineText(line) + "\n";
    std::vector<std::pair<std::string, std::string>> files{{path, std::move(text)}};
    if (followedSlot_ == kTcpSlot) {
        std::vector<PcapFrame> frames;
        for (const TrafficLine& line : lines_->Lines()) {
            if (line.gap) continue;
            frames.push_back(PcapFrame{line.timeMs, line.received,
                                       std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(line.bytes.data()),
                                                                line.bytes.size())});
        }
        const size_t dot = path.rfind('.');
        const size_t slash = path.rfind('/');
        const bool hasSuffix = dot != std::string::npos && (slash == std::string::npos || dot > slash);
        std::string capture = (hasSuffix ? path.substr(0, dot) : path) + ".pcap";
        if (capture == path) capture += ".pcap"; // "x.pcap" chosen for the text: keep both
        files.emplace_back(capture, ModbusTcpPcap(frames));
    }
    std::vector<std::string> written;
    for (const auto& [name, bytes] : files) {
        errno = 0;
        if (!ReplaceFile(name, bytes)) {
            const int error = errno;
            app_.Messages().ShowMessage("The traffic could not be saved to " + name + ": " +
                                            (error != 0 && ::strerrordesc_np(error) != nullptr ? ::strerrordesc_np(error)
                                                                               : "the file could not be written"),
                                        MessageIcon::None);
            return {};
        }
        written.push_back(name);
    }
    return written;
}

} // namespace quorvane
