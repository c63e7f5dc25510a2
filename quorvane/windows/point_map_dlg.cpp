#include "windows/point_map_dlg.h"

#include "model/number_parse.h"
#include "windows/dialog_kit.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quorvane {
namespace {

// What OK hands to the overlap question reads at most this much of a box.
constexpr int kScanChars = 39;

std::optional<int32_t> ScanBox(const QLineEdit* box) {
    return ScanLeadingInt(box->text().left(kScanChars).toStdString());
}

} // namespace

CMapWarningDlg::CMapWarningDlg(QWidget* parent, const QString& overlapped) : QDialog(parent) {
    setObjectName(QStringLiteral("mapWarningDlg"));
    setWindowTitle(QStringLiteral("Map Warning"));
    auto* layout = new QVBoxLayout(this);
    for (const char* line : {"Selected modbus point address overlaps", "an existing item definition.", "Map anyway?"})
        layout->addWidget(new QLabel(QString::fromLatin1(line), this));
    if (!overlapped.isEmpty()) {
        auto* label = new QLabel(QStringLiteral("Overlapped: ") + overlapped, this);
        label->setObjectName(QStringLiteral("overlappedLabel"));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(label);
    }
    layout->addWidget(MakeCloseButtons(this, QStringLiteral("Yes")));
    FitCaption(this);
}

CPointMapDlg::CPointMapDlg(OverlapFunction overlaps, QWidget* parent)
    : QDialog(parent), overlaps_(std::move(overlaps)), confirm_([this](QWidget* p) {
          CMapWarningDlg warning(p, overlapped_);
          return warning.exec() == QDialog::Accepted;
      }) {
    setObjectName(QStringLiteral("pointMapDlg"));
    setWindowTitle(QStringLiteral("Modbus Data to Simulate"));
    auto* layout = new QVBoxLayout(this);

    auto* form = new QFormLayout();
    itemBox_ = MakeBox(QStringLiteral("itemIdLine"), this);
    itemBox_->setReadOnly(true);
    itemBox_->setFocusPolicy(Qt::ClickFocus); // the focus starts in "Slave Id:"
    itemBox_->setMinimumWidth(280);
    itemLabel_ = new QLabel(QStringLiteral("Item:"), this);
    form->addRow(itemLabel_, itemBox_);
    itemLabel_->hide();
    itemBox_->hide();
    slaveBox_ = MakeBox(QStringLiteral("slaveIdBox"), this);
    form->addRow(QStringLiteral("Slave Id:"), slaveBox_);
    pointTypeCombo_ = new QComboBox(this);
    pointTypeCombo_->setObjectName(QStringLiteral("pointTypeCombo"));
    pointTypeCombo_->addItems(
        {QStringLiteral("COIL STATUS"), QStringLiteral("INPUT STATUS"), QStringLiteral("HOLDING REGISTER"),
         QStringLiteral("INPUT REGISTER")});
    form->addRow(QStringLiteral("Point Type:"), pointTypeCombo_);
    addressBox_ = MakeBox(QStringLiteral("addressBox"), this);
    form->addRow(QStringLiteral("Point address:"), addressBox_);
    layout->addLayout(form);

    auto* typeGroup = new QGroupBox(QStringLiteral("Data Type"), this);
    auto* typeLayout = new QHBoxLayout(typeGroup);
    const auto addType = [&](const char* text, const char* name, int32_t code) {
        auto* button = new QRadioButton(QString::fromLatin1(text), typeGroup);
        button->setObjectName(QString::fromLatin1(name));
        button->setAutoExclusive(false); // UpdateDataTypeButtons checks exactly one
        connect(button, &QAbstractButton::clicked, this, [this, code] { OnDataTypeClicked(code); });
        typeLayout->addWidget(button);
        return button;
    };
    boolButton_ = addType("Boolean", "booleanButton", DT_BOOL);
    shortButton_ = addType("Short", "shortButton", DT_SHORT);
    floatButton_ = addType("Float", "floatButton", DT_FLOAT);
    unsignedButton_ = addType("Unsigned", "unsignedButton", DT_UNSIGNED);
    scaledButton_ = addType("Scaled", "scaledButton", DT_SCALED);
    layout->addWidget(typeGroup);

    auto* scaling = new QGroupBox(QStringLiteral("Scaling Range"), this);
    auto* grid = new QGridLayout(scaling);
    grid->addWidget(new QLabel(QStringLiteral("Data Limits"), scaling), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Register Limits"), scaling), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Low"), scaling), 1, 0);
    grid->addWidget(new QLabel(QStringLiteral("High"), scaling), 2, 0);
    // Made row by row, so that Tab goes across each row.
    dataLowBox_ = MakeBox(QStringLiteral("dataLowBox"), scaling);
    registerLowBox_ = MakeBox(QStringLiteral("registerLowBox"), scaling);
    dataHighBox_ = MakeBox(QStringLiteral("dataHighBox"), scaling);
    registerHighBox_ = MakeBox(QStringLiteral("registerHighBox"), scaling);
    grid->addWidget(dataLowBox_, 1, 1);
    grid->addWidget(dataHighBox_, 2, 1);
    grid->addWidget(registerLowBox_, 1, 2);
    grid->addWidget(registerHighBox_, 2, 2);
    layout->addWidget(scaling);

    layout->addWidget(MakeCloseButtons(this));

    connect(pointTypeCombo_, &QComboBox::currentIndexChanged, this, [this](int index) {
        pointType = index + 1;
        UpdateDataTypeButtons();
    });
    FitCaption(this);
}

void CPointMapDlg::SetMapping(const PointMapping& m) {
    pointType = m.pointType;
    dataType = m.dataType;
    pointAddress = m.address;
    slaveId = m.slaveId;
    dataHigh = m.dataHigh;
    dataLow = m.dataLow;
    registerHigh = m.registerHigh;
    registerLow = m.registerLow;
}

PointMapping CPointMapDlg::Mapping() const {
    PointMapping m;
    m.slaveId = static_cast<uint8_t>(slaveId);
    m.pointType = pointType;
    m.address = static_cast<uint16_t>(pointAddress);
    m.dataType = static_cast<uint16_t>(dataType);
    m.dataHigh = dataHigh;
    m.dataLow = dataLow;
    m.registerHigh = registerHigh;
    m.registerLow = registerLow;
    return m;
}

void CPointMapDlg::SetItemText(const QString& itemId) {
    itemBox_->setText(itemId);
    itemLabel_->setVisible(!itemId.isEmpty());
    itemBox_->setVisible(!itemId.isEmpty());
}

void CPointMapDlg::showEvent(QShowEvent* event) {
    if (!opened_) Open();
    QDialog::showEvent(event);
}

void CPointMapDlg::Open() {
    opened_ = true;
    SetUnsignedBox(slaveBox_, slaveId);
    SetUnsignedBox(addressBox_, pointAddress);
    SetFloatBox(dataLowBox_, dataLow);
    SetFloatBox(dataHighBox_, dataHigh);
    SetFloatBox(registerLowBox_, registerLow);
    SetFloatBox(registerHighBox_, registerHigh);
    pointTypeCombo_->setCurrentIndex(pointType - 1); // outside 1..4: no entry selected
    UpdateDataTypeButtons();
    openingPointType_ = pointType;
    openingAddress_ = ScanBox(addressBox_);
    openingSlaveId_ = ScanBox(slaveBox_);
}

void CPointMapDlg::OnDataTypeClicked(int32_t code) {
    dataType = code;
    UpdateDataTypeButtons();
}

void CPointMapDlg::UpdateDataTypeButtons() {
    const bool bitPoint = pointType < PT_HOLDING_REGISTER;
    boolButton_->setEnabled(bitPoint);
    for (QAbstractButton* b : {shortButton_, unsignedButton_, floatButton_, scaledButton_}) b->setEnabled(!bitPoint);
    if (bitPoint) dataType = DT_BOOL;
    else if (dataType == DT_BOOL) dataType = DT_UNSIGNED;

    for (QAbstractButton* b : {boolButton_, shortButton_, floatButton_, unsignedButton_, scaledButton_})
        b->setChecked(false);
    for (QLineEdit* box : {dataLowBox_, dataHighBox_, registerLowBox_, registerHighBox_}) box->setEnabled(false);

    switch (dataType) {
    case DT_BOOL: boolButton_->setChecked(true); break;
    case DT_SHORT: shortButton_->setChecked(true); break;
    case DT_FLOAT: floatButton_->setChecked(true); break;
    case DT_SCALED:
        scaledButton_->setChecked(true);
        for (QLineEdit* box : {dataLowBox_, dataHighBox_, registerLowBox_, registerHighBox_}) box->setEnabled(true);
        break;
    default: unsignedButton_->setChecked(true); break; // UNSIGNED, and DATE keeps its code
    }
}

void CPointMapDlg::accept() {
    pointType = pointTypeCombo_->currentIndex() + 1;
    const std::optional<int32_t> address = ScanBox(addressBox_);
    const std::optional<int32_t> slave = ScanBox(slaveBox_);
    const int count = dataType == DT_FLOAT ? 2 : 1;

    const bool moved = newItem != 0 || slave != openingSlaveId_ || pointType != openingPointType_ ||
                       address != openingAddress_;
    // Only a slave id and address the point map can hold are asked about;
    // anything else is refused by the validation below.
    const bool askable = address && slave && *address >= 0 && *address <= 0xFFFF && *slave >= 0 && *slave <= 0xFF;
    if (moved && askable && overlaps_ &&
        overlaps_(static_cast<uint8_t>(*slave), pointType, static_cast<uint16_t>(*address), count) != 0) {
        overlapped_ = describe_ ? QString::fromStdString(describe_(static_cast<uint8_t>(*slave), pointType,
                                                                   static_cast<uint16_t>(*address), count))
                                : QString();
        if (!confirm_(this)) return;
    }

    uint32_t newAddress = 0, newSlave = 0;
    float high = 0, low = 0, regHigh = 0, regLow = 0;
    if (!ReadRangedBox(addressBox_, 1, 65535, &newAddress) || !ReadRangedBox(slaveBox_, 1, 255, &newSlave) ||
        !ReadFloatBox(dataHighBox_, &high) || !ReadFloatBox(dataLowBox_, &low) ||
        !ReadFloatBox(registerHighBox_, &regHigh) || !ReadFloatBox(registerLowBox_, &regLow))
        return;
    pointAddress = newAddress;
    slaveId = newSlave;
    dataHigh = high;
    dataLow = low;
    registerHigh = regHigh;
    registerLow = regLow;
    QDialog::accept();
}

} // namespace quorvane
