#include "ui/UfrmDomainName.h"

#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "ui/UDialogSupport.h"

#include <QComboBox>
#include <QLineEdit>

TfrmDomainName::TfrmDomainName(QWidget* parent)
    : TfrmApprovalRecord(QStringLiteral("frmDomainName"), QStringLiteral("Domain Name"), parent),
      edtDomainName(AddEdit(QStringLiteral("Domain Name"), QStringLiteral("edtDomainName"))) {
    FinishLayout();
}

bool TfrmDomainName::NewDomainName(QWidget& mainWindow, TTessivarBusinessLogic& model) {
    edtDomainName->clear();
    edtDomainName->setReadOnly(false);
    ShowApproval(false, {});
    if (!ShowFor(mainWindow, QStringLiteral("New Domain Name"), *edtDomainName))
        return false;
    const std::string name = ToText(edtDomainName->text());
    return ApplyToModel(model, "TfrmDomainName", [&] { ApplyFields(model.AddDomainName(name)); });
}

bool TfrmDomainName::EditDomainName(QWidget& mainWindow, TTessivarDomainName& record) {
    edtDomainName->setText(ToQString(record.DomainName()));
    ShowApproval(!record.IsApproved(), record.Notes());
    // The name is the record's identity; only the approval and notes change.
    edtDomainName->setReadOnly(true);
    if (!ShowFor(mainWindow, QStringLiteral("Edit Domain Name"), *cmbApproval))
        return false;
    return ApplyToModel(record.Owner(), "TfrmDomainName", [&] { ApplyFields(record); });
}
