#include "windows/frame_dialogs.h"

#include "windows/dialog_kit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quorvane {

void AddOkCancel(QDialog* dialog, bool withCancel) {
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    if (withCancel)
        buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole)
            ->setObjectName(QStringLiteral("cancelButton"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    dialog->layout()->addWidget(buttons);
    FitCaption(dialog);
}

// ---------------------------------------------------------------------------
// Serial port setup

CCommSetupDlg::CCommSetupDlg(const CommSetupFields& preset, QWidget* parent) : QDialog(parent), fields(preset) {
    setObjectName(QStringLiteral("commSetupDlg"));
    setWindowTitle(QStringLiteral("Setup Comm Port %1").arg(preset.port));
    auto* layout = new QVBoxLayout(this);

    auto* protocol = new QGroupBox(QStringLiteral("Protocol"), this);
    auto* protocolRow = new QHBoxLayout(protocol);
    rtu_ = new QRadioButton(QStringLiteral("RTU"), protocol);
    rtu_->setObjectName(QStringLiteral("rtuButton"));
    ascii_ = new QRadioButton(QStringLiteral("ASCII"), protocol);
    ascii_->setObjectName(QStringLiteral("asciiButton"));
    protocolRow->addWidget(rtu_);
    protocolRow->addWidget(ascii_);
    (preset.protocolFlag != 0 ? rtu_ : ascii_)->setChecked(true);
    layout->addWidget(protocol);

    auto* form = new QFormLayout();
    form->addRow(QStringLiteral("Baud Rate:"), baud_ = AddList("baudList", BaudChoices(), preset.baudRate));
    form->addRow(QStringLiteral("Data Bits:"), dataBits_ = AddList("dataBitsList", DataBitChoices(), preset.dataBits));
    form->addRow(QStringLiteral("Stop Bits:"), stopBits_ = AddList("stopBitsList", StopBitChoices(), preset.stopBits));
    form->addRow(QStringLiteral("Parity:"), parity_ = AddList("parityList", ParityChoices(), preset.parity));
    layout->addLayout(form);

    auto* lines = new QGroupBox(QStringLiteral("Control Lines"), this);
    auto* linesColumn = new QVBoxLayout(lines);
    rtsCts_ = new QCheckBox(QStringLiteral("Enable RTS/CTS"), lines);
    rtsCts_->setObjectName(QStringLiteral("rtsCtsBox"));
    rtsCts_->setChecked(preset.ctsFlow != 0);
    dtrDsr_ = new QCheckBox(QStringLiteral("Enable DTR/DSR"), lines);
    dtrDsr_->setObjectName(QStringLiteral("dtrDsrBox"));
    dtrDsr_->setChecked(preset.dsrFlow != 0);
    linesColumn->addWidget(rtsCts_);
    linesColumn->addWidget(dtrDsr_);
    layout->addWidget(lines);
    endAfter35_ = new QCheckBox(QStringLiteral("End frames after 3.5 characters (shared RS-485 bus)"), this);
    endAfter35_->setObjectName(QStringLiteral("endAfter35Box"));
    endAfter35_->setChecked(preset.endAfter35);
    endAfter35_->setEnabled(rtu_->isChecked()); // ASCII frames end at their line feed
    connect(rtu_, &QRadioButton::toggled, endAfter35_, &QCheckBox::setEnabled);
    layout->addWidget(endAfter35_);
    AddOkCancel(this);
}

QComboBox* CCommSetupDlg::AddList(const char* objectName, std::span<const CommChoice> choices, uint32_t value) {
    auto* list = new QComboBox(this);
    list->setObjectName(QString::fromLatin1(objectName));
    for (const CommChoice& choice : choices) list->addItem(QString::fromLatin1(choice.text));
    // A stored value no entry holds (a rate restored from a file) shows as no
    // selection; OK then keeps it.
    list->setCurrentIndex(FindChoice(choices, value));
    return list;
}

void CCommSetupDlg::accept() {
    auto take = [](QComboBox* list, std::span<const CommChoice> choices, uint32_t kept) {
        const int index = list->currentIndex();
        return index >= 0 && static_cast<size_t>(index) < choices.size() ? choices[static_cast<size_t>(index)].value
                                                                           : kept;
    };
    fields.baudRate = take(baud_, BaudChoices(), fields.baudRate);
    fields.dataBits = static_cast<uint8_t>(take(dataBits_, DataBitChoices(), fields.dataBits));
    fields.stopBits = static_cast<uint8_t>(take(stopBits_, StopBitChoices(), fields.stopBits));
    fields.parity = static_cast<uint8_t>(take(parity_, ParityChoices(), fields.parity));
    fields.protocolFlag = rtu_->isChecked() ? 1 : 0;
    fields.ctsFlow = rtsCts_->isChecked() ? 1 : 0;
    fields.dsrFlow = dtrDsr_->isChecked() ? 1 : 0;
    fields.endAfter35 = endAfter35_->isChecked();
    QDialog::accept();
}

// ---------------------------------------------------------------------------
// Server selection

CRemoteMachineDlg::CRemoteMachineDlg(const std::string& machine, QWidget* parent)
    : QDialog(parent), machineName(machine) {
    setObjectName(QStringLiteral("remoteMachineDlg"));
    setWindowTitle(QStringLiteral("Remote OPC Server"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    box_ = MakeBox(QStringLiteral("machineNameBox"), this);
    box_->setText(QString::fromStdString(machine));
    form->addRow(QStringLiteral("Machine Name"), box_);
    layout->addLayout(form);
    AddOkCancel(this);
}

void CRemoteMachineDlg::accept() {
    machineName = box_->text().toStdString();
    QDialog::accept();
}

CServerSelectDlg::CServerSelectDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("serverSelectDlg"));
    setWindowTitle(QStringLiteral("Connect to OPC Server"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    machineBox_ = MakeBox(QStringLiteral("machineBox"), this);
    machineBox_->setEnabled(false);
    form->addRow(QStringLiteral("Machine Name"), machineBox_);
    form->itemAt(0, QFormLayout::LabelRole)->widget()->setEnabled(false);
    list_ = new QComboBox(this);
    list_->setObjectName(QStringLiteral("serverList"));
    list_->setMinimumContentsLength(30);
    form->addRow(QStringLiteral("Server List"), list_);
    layout->addLayout(form);
    emptyNote_ = new QLabel(this);
    emptyNote_->setObjectName(QStringLiteral("emptyListNote"));
    emptyNote_->hide();
    layout->addWidget(emptyNote_);
    auto* remote = new QPushButton(QStringLiteral("Select Remote Machine"), this);
    remote->setObjectName(QStringLiteral("remoteButton"));
    remote->setAutoDefault(false);
    connect(remote, &QPushButton::clicked, this, &CServerSelectDlg::SelectRemoteMachine);
    layout->addWidget(remote);
    // An entry takes the name the list shows: the library may have listed
    // another machine since.
    connect(list_, &QComboBox::activated, this,
            [this](int index) { serverName = servers_.NameAt(index); });
    AddOkCancel(this);
}

void CServerSelectDlg::showEvent(QShowEvent* event) {
    if (!opened_) {
        opened_ = true;
        FillServerList();
    }
    QDialog::showEvent(event);
}

void CServerSelectDlg::FillServerList() {
    machineBox_->setText(machineName.empty() ? QStringLiteral("LOCAL") : QString::fromStdString(machineName));
    CWaitCursor wait(this); // a remote machine may take long to answer
    list_->clear();
    servers_.Fill(machineName);
    for (const std::string& name : servers_.Names()) list_->addItem(QString::fromStdString(name));
    list_->setCurrentIndex(-1);
    // An empty list says why it is empty.
    emptyNote_->setText(QStringLiteral("No OPC servers answered on ") + machineBox_->text());
    emptyNote_->setVisible(servers_.Names().empty());
    serverName.clear();
}

void CServerSelectDlg::SelectRemoteMachine() {
    CRemoteMachineDlg remote(machineName, this);
    if (remote.exec() != QDialog::Accepted) return;
    machineName = remote.machineName;
    FillServerList();
}

// ---------------------------------------------------------------------------
// Server status

CServerStatusDlg::CServerStatusDlg(const ServerStatusText& s, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("serverStatusDlg"));
    setWindowTitle(QString::fromStdString(s.caption));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    auto row = [&](const char* label, const char* name, const QString& text) {
        QLineEdit* box = MakeBox(QString::fromLatin1(name), this);
        box->setText(text);
        box->setReadOnly(true);
        box->setEnabled(false);
        box->setMinimumWidth(220);
        form->addRow(QString::fromLatin1(label), box);
    };
    row("Server Start Time:", "startTimeBox", QString::fromStdString(s.startTime));
    row("Current Time:", "currentTimeBox", QString::fromStdString(s.currentTime));
    row("Last UpdateTime:", "lastUpdateBox", QString::fromStdString(s.lastUpdateTime));
    row("State:", "stateBox", QString::fromStdString(s.state));
    row("Group Count:", "groupCountBox", QString::number(s.groupCount));
    row("BandWidth:", "bandWidthBox", QString::number(s.bandWidth));
    row("Major Version:", "majorVersionBox", QString::number(s.majorVersion));
    row("Minor Version:", "minorVersionBox", QString::number(s.minorVersion));
    row("Build Number:", "buildNumberBox", QString::number(s.buildNumber));
    layout->addLayout(form);
    auto* vendor = new QGroupBox(QStringLiteral("Vendor Info:"), this);
    auto* vendorColumn = new QVBoxLayout(vendor);
    QLineEdit* vendorBox = MakeBox(QStringLiteral("vendorInfoBox"), vendor);
    vendorBox->setText(QString::fromStdString(s.vendorInfo));
    vendorBox->setReadOnly(true);
    vendorBox->setEnabled(false);
    vendorColumn->addWidget(vendorBox);
    layout->addWidget(vendor);
    AddOkCancel(this);
}

// ---------------------------------------------------------------------------
// Add Group

CAddGroupDlg::CAddGroupDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("addGroupDlg"));
    setWindowTitle(QStringLiteral("Add Group"));
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout();
    nameBox_ = MakeBox(QStringLiteral("groupNameBox"), this);
    rateBox_ = MakeBox(QStringLiteral("updateRateBox"), this);
    deadbandBox_ = MakeBox(QStringLiteral("deadbandBox"), this);
    grid->addWidget(new QLabel(QStringLiteral("Group Name:"), this), 0, 0);
    grid->addWidget(nameBox_, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Requested Update Rate:"), this), 1, 0);
    grid->addWidget(rateBox_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("(msecs)"), this), 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Deadband:"), this), 2, 0);
    grid->addWidget(deadbandBox_, 2, 1);
    layout->addLayout(grid);
    SetFloatBox(deadbandBox_, deadband);
    nameBox_->setText(QString::fromStdString(groupName));
    SetUnsignedBox(rateBox_, updateRate);
    AddOkCancel(this);
}

void CAddGroupDlg::accept() {
    float newDeadband = 0.0f;
    if (!ReadFloatBox(deadbandBox_, &newDeadband)) return;
    const QString name = nameBox_->text();
    // Saved unquoted, a comma or line break would split the group's line of
    // the configuration file.
    if (name.contains(QLatin1Char(',')) || name.contains(QLatin1Char('\r')) || name.contains(QLatin1Char('\n'))) {
        ShowFieldMessage(nameBox_, QStringLiteral("A group name cannot contain commas or line breaks."));
        return;
    }
    // The service takes the rate as a signed 32-bit number: a larger one
    // would reach it negative.
    uint32_t rate = 0;
    if (!ReadRangedBox(rateBox_, 0, 2147483647u, &rate)) return;
    deadband = newDeadband;
    groupName = name.toStdString();
    updateRate = rate;
    QDialog::accept();
}

} // namespace quorvane
