#include "ui/UfrmDomainName.h"

#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "ui/UDialogSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmDomainName::TfrmDomainName(QWidget* parent) : QDialog(parent) {
    setObjectName("frmDomainName");
    setWindowTitle(QStringLiteral("Domain Name"));
    auto* layout = new QVBoxLayout(this);
    auto* lblDomainName = new QLabel(QStringLiteral("Domain Name"), this);
    edtDomainName = new QLineEdit(this);
    edtDomainName->setObjectName("edtDomainName");
    lblDomainName->setBuddy(edtDomainName);
    auto* lblApprovalStatus = new QLabel(QStringLiteral("Approval Status"), this);
    cmbApproval = NewApprovalList(*this);
    lblApprovalStatus->setBuddy(cmbApproval);
    auto* lblNotes = new QLabel(QStringLiteral("Notes"), this);
    mmoNotes = new QPlainTextEdit(this);
    mmoNotes->setObjectName("mmoNotes");
    mmoNotes->setTabChangesFocus(true);
    lblNotes->setBuddy(mmoNotes);
    for (QWidget* widget : {static_cast<QWidget*>(lblDomainName), static_cast<QWidget*>(edtDomainName),
                            static_cast<QWidget*>(lblApprovalStatus), static_cast<QWidget*>(cmbApproval),
                            static_cast<QWidget*>(lblNotes), static_cast<QWidget*>(mmoNotes)})
        layout->addWidget(widget);
    btnOk = AddOkCancel(*this, *layout, &btnCancel);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    resize(sizeHint());
}

bool TfrmDomainName::ShowFor(QWidget& mainWindow, const QString& caption) {
    setWindowTitle(caption);
    CentreWindowOver(*this, mainWindow);
    edtDomainName->setFocus();
    return exec() == QDialog::Accepted;
}

void TfrmDomainName::ApplyFields(TTessivarDomainName& record) const {
    ApplyApproval(record, BlockedSelected(*cmbApproval), ToText(mmoNotes->toPlainText()));
}

bool TfrmDomainName::NewDomainName(QWidget& mainWindow, TTessivarBusinessLogic& model) {
    edtDomainName->clear();
    mmoNotes->clear();
    SelectBlocked(*cmbApproval, false);
    if (!ShowFor(mainWindow, QStringLiteral("New Domain Name")))
        return false;
    const std::string name = ToText(edtDomainName->text());
    return ApplyToModel(model, "TfrmDomainName", [&] { ApplyFields(model.AddDomainName(name)); });
}

bool TfrmDomainName::EditDomainName(QWidget& mainWindow, TTessivarDomainName& record) {
    edtDomainName->setText(ToQString(record.DomainName()));
    SelectBlocked(*cmbApproval, !record.IsApproved());
    mmoNotes->setPlainText(ToQString(record.Notes()));
    if (!ShowFor(mainWindow, QStringLiteral("Edit Domain Name")))
        return false;
    return ApplyToModel(record.Owner(), "TfrmDomainName", [&] { ApplyFields(record); });
}
