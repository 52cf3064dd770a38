#pragma once
// The sender window: a new sender, or the approval and notes of an existing one. Created once and
// shown again and again, modally, centred over the main window. Thread contract: the
// user-interface thread (the model's thread) only.

#include "ui/UfrmApprovalRecord.h"

class QLineEdit;
class TTessivarBusinessLogic;
class TTessivarEmailAddress;

class TfrmSender : public TfrmApprovalRecord {
    Q_OBJECT
public:
    explicit TfrmSender(QWidget* parent = nullptr);

    // Empty fields and "Approved"; on OK the address typed is found or created (with the display
    // name typed) and gets the approval and notes. True when closed with OK and applied.
    bool NewSender(QWidget& mainWindow, TTessivarBusinessLogic& model);
    // The record's fields; on OK its approval and notes change (address and display name are not
    // read back).
    bool EditSender(QWidget& mainWindow, TTessivarEmailAddress& record);

private:
    QLineEdit* edtEmailAddress;
    QLineEdit* edtDisplayName;
};
