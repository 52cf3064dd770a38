#pragma once
// The domain name window: a new domain name, or the approval and notes of an existing one. Created
// once and shown again and again, modally, centred over the main window. Thread contract: the
// user-interface thread (the model's thread) only.

#include "ui/UfrmApprovalRecord.h"

class QLineEdit;
class TTessivarBusinessLogic;
class TTessivarDomainName;

class TfrmDomainName : public TfrmApprovalRecord {
    Q_OBJECT
public:
    explicit TfrmDomainName(QWidget* parent = nullptr);

    // Empty fields and "Approved"; on OK the domain name typed is found or created and gets the
    // approval and notes. True when closed with OK and the change was applied.
    bool NewDomainName(QWidget& mainWindow, TTessivarBusinessLogic& model);
    // The record's fields; on OK its approval and notes change (the name box is not read back).
    bool EditDomainName(QWidget& mainWindow, TTessivarDomainName& record);

private:
    QLineEdit* edtDomainName;
};
