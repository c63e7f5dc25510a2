// The Modbus point of one OPC item: "Modbus Data to Simulate" collects slave
// id, point type, point address, data type and the scaling limits, and asks
// "Map Warning" before a new or moved mapping lands on registers that an
// existing item uses. The dialog only collects and checks: the caller stores
// the values in the item and maps its point(s).
#pragma once

#include "model/conversion.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QAbstractButton;
class QComboBox;
class QLabel;
class QLineEdit;

namespace quorvane {

// "Selected modbus point address overlaps" ... "Map anyway?": Yes (the
// default button) accepts, Cancel rejects.
class CMapWarningDlg : public QDialog {
public:
    // `overlapped`, when given, names the item already there and its point
    // beneath the question.
    explicit CMapWarningDlg(QWidget* parent = nullptr, const QString& overlapped = QString());
};

class CPointMapDlg : public QDialog {
public:
    // Nonzero when slave id, point type and address .. address + count - 1
    // overlap the registers of an existing item definition.
    using OverlapFunction = std::function<int(uint8_t slaveId, int32_t pointType, uint16_t address, int count)>;
    // True to map anyway; the default runs CMapWarningDlg.
    using ConfirmFunction = std::function<bool(QWidget* parent)>;
    // The overlapped item as "its id at 1:40100", for the warning.
    using DescribeFunction = std::function<std::string(uint8_t slaveId, int32_t pointType, uint16_t address, int count)>;

    explicit CPointMapDlg(OverlapFunction overlaps, QWidget* parent = nullptr);

    // The values, preset by the caller before exec() and read back after OK.
    int32_t pointType = PT_HOLDING_REGISTER;
    int32_t dataType = DT_UNSIGNED;
    int32_t newItem = 0;
    uint32_t pointAddress = 0;
    uint32_t slaveId = 0;
    float dataHigh = 0.0f;
    float dataLow = 0.0f;
    float registerHigh = 0.0f;
    float registerLow = 0.0f;

    // The caller's mapping in and out (slave id in 8 bits, address and data
    // type in 16 bits on the way out).
    void SetMapping(const PointMapping& mapping);
    PointMapping Mapping() const;

    // Shows which item is being mapped in a read-only line at the top.
    void SetItemText(const QString& itemId);
    void SetConfirmFunction(ConfirmFunction confirm) { confirm_ = std::move(confirm); }
    void SetDescribeFunction(DescribeFunction describe) { describe_ = std::move(describe); }
    // What the warning names as overlapped (set on OK, before confirming).
    const QString& Overlapped() const { return overlapped_; }

    // Enables and checks the data-type buttons for the point type; run on
    // opening, after a point-type change and after a data-type click.
    void UpdateDataTypeButtons();

    void accept() override; // OK: the overlap question, then the validation

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Open();
    void OnDataTypeClicked(int32_t code);

    OverlapFunction overlaps_;
    ConfirmFunction confirm_;
    DescribeFunction describe_;
    QString overlapped_;
    bool opened_ = false;
    int32_t openingPointType_ = 0;
    std::optional<int32_t> openingSlaveId_;
    std::optional<int32_t> openingAddress_;

    QLabel* itemLabel_ = nullptr;
    QLineEdit* itemBox_ = nullptr;
    QLineEdit* slaveBox_ = nullptr;
    QComboBox* pointTypeCombo_ = nullptr;
    QLineEdit* addressBox_ = nullptr;
    QAbstractButton* boolButton_ = nullptr;
    QAbstractButton* shortButton_ = nullptr;
    QAbstractButton* floatButton_ = nullptr;
    QAbstractButton* unsignedButton_ = nullptr;
    QAbstractButton* scaledButton_ = nullptr;
    QLineEdit* dataLowBox_ = nullptr;
    QLineEdit* dataHighBox_ = nullptr;
    QLineEdit* registerLowBox_ = nullptr;
    QLineEdit* registerHighBox_ = nullptr;
};

} // namespace quorvane
