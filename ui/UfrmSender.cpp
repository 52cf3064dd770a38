#include "ui/UfrmSender.h"

#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmailAddress.h"
#include "ui/UDialogSupport.h"

#include <QComboBox>
#include <QLineEdit>

TfrmSender::TfrmSender(QWidget* parent)
    : TfrmApprovalRecord(QStringLiteral("frmSender"), QStringLiteral("Sender"), parent),
      edtEmailAddress(AddEdit(QStringLiteral("Email Address"), QStringLiteral("edtEmailAddress"))),
      edtDisplayName(AddEdit(QStringLiteral("Display Name"), QStringLiteral("edtDisplayName"))) {
    FinishLayout();
}

bool TfrmSender::NewSender(QWidget& mainWindow, TTessivarBusinessLogic& model) {
    edtEmailAddress->clear();
    edtDisplayName->clear();
    edtEmailAddress->setReadOnly(false);
    edtDisplayName->setReadOnly(false);
    ShowApproval(false, {});
    if (!ShowFor(mainWindow, QStringLiteral("New Sender"), *edtEmailAddress))
        return false;
    const std::string address = ToText(edtEmailAddress->text());
    const std::string displayName = ToText(edtDisplayName->text());
    return ApplyToModel(model, "TfrmSender", [&] { ApplyFields(model.AddEmailAddress(address, displayName)); });
}

bool TfrmSender::EditSender(QWidget& mainWindow, TTessivarEmailAddress& record) {
    edtEmailAddress->setText(ToQString(record.EmailAddress()));
    edtDisplayName->setText(ToQString(record.DisplayName()));
    // Only a blocked sender shows "Blocked": one authenticated without a decision shows "Approved".
    ShowApproval(record.IsBlocked(), record.Notes());
    // The address and name are the sender's identity, which only the approval and notes change.
    edtEmailAddress->setReadOnly(true);
    edtDisplayName->setReadOnly(true);
    if (!ShowFor(mainWindow, QStringLiteral("Edit Sender"), *cmbApproval))
        return false;
    return ApplyToModel(record.Owner(), "TfrmSender", [&] { ApplyFields(record); });
}
