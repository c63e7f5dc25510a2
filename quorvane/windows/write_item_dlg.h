// "Write OPC Item": the value to write to the selected item and whether to
// write it asynchronously.
#pragma once

#include <QDialog>

#include <cstdint>

class QCheckBox;
class QLineEdit;

namespace quorvane {

class CWriteItemDlg : public QDialog {
public:
    explicit CWriteItemDlg(QWidget* parent = nullptr);

    // "Asynchronous Write" is enabled only when both flags are nonzero. The
    // first says whether the OPC client service offers asynchronous writes
    // (it does, so it starts at 1); the caller sets the second.
    int32_t asyncAllowedByService = 1;
    int32_t asyncAllowed = 0;
    float newValue = 0.0f;
    int32_t asyncWrite = 0; // 1 = ticked

    void accept() override; // OK: the value must be a number

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool opened_ = false;
    QLineEdit* valueBox_ = nullptr;
    QCheckBox* asyncBox_ = nullptr;
};

} // namespace quorvane
