// The frame's modal forms: serial port setup, server selection with the
// remote machine prompt, server status, and Add Group. Each holds its values
// as public members the caller presets and reads back after OK, and names
// every control (objectName) so that tests find it.
#pragma once

#include "frame/config/server_status.h"
#include "frame/dialog_data.h"
#include "frame/main_frame.h"

#include <QDialog>

#include <cstdint>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace quorvane {

// "Setup Comm Port N".
class CCommSetupDlg : public QDialog {
public:
    explicit CCommSetupDlg(const CommSetupFields& preset, QWidget* parent = nullptr);
    // After OK: the lists' values; a list left without a selection keeps the
    // preset's value.
    CommSetupFields fields;

    void accept() override;

private:
    QComboBox* AddList(const char* objectName, std::span<const CommChoice> choices, uint32_t value);

    QRadioButton* rtu_ = nullptr;
    QRadioButton* ascii_ = nullptr;
    QComboBox* baud_ = nullptr;
    QComboBox* dataBits_ = nullptr;
    QComboBox* stopBits_ = nullptr;
    QComboBox* parity_ = nullptr;
    QCheckBox* rtsCts_ = nullptr;
    QCheckBox* dtrDsr_ = nullptr;
    QCheckBox* endAfter35_ = nullptr; // RTU only
};

// "Remote OPC Server": the name of another machine (empty: this one).
class CRemoteMachineDlg : public QDialog {
public:
    explicit CRemoteMachineDlg(const std::string& machine, QWidget* parent = nullptr);
    std::string machineName;
    void accept() override;

private:
    QLineEdit* box_ = nullptr;
};

// "Connect to OPC Server": a machine and one of its servers.
class CServerSelectDlg : public QDialog {
public:
    explicit CServerSelectDlg(QWidget* parent = nullptr);
    std::string machineName; // empty: the local machine
    std::string serverName;  // empty: none chosen

    // Lists the machine's servers and clears the choice (on opening and after
    // a remote machine was confirmed).
    void FillServerList();
    const CServerList& Servers() const { return servers_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void SelectRemoteMachine();

    bool opened_ = false;
    CServerList servers_;
    QLineEdit* machineBox_ = nullptr;
    QComboBox* list_ = nullptr;
    QLabel* emptyNote_ = nullptr; // "No OPC servers answered on HOST" under an empty list
};

// The connected server's status; its caption is the machine and server name.
class CServerStatusDlg : public QDialog {
public:
    explicit CServerStatusDlg(const ServerStatusText& status, QWidget* parent = nullptr);
};

// "Add Group": name, requested update rate and deadband of a new group.
class CAddGroupDlg : public QDialog {
public:
    explicit CAddGroupDlg(QWidget* parent = nullptr);
    float deadband = 0.0f;
    std::string groupName;
    uint32_t updateRate = 0;

    // Checks deadband, name, then rate; the first refusal keeps the form open.
    void accept() override;

private:
    QLineEdit* deadbandBox_ = nullptr;
    QLineEdit* nameBox_ = nullptr;
    QLineEdit* rateBox_ = nullptr;
};

// The OK and Cancel buttons every form ends with ("okButton", "cancelButton").
void AddOkCancel(QDialog* dialog, bool withCancel = true);

} // namespace quorvane
