#include "ui/UfrmSender.h"

#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmailAddress.h"
#include "ui/UDialogSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmSender::TfrmSender(QWidget* parent) : QDialog(parent) {
    setObjectName("frmSender");
    setWindowTitle(QStringLiteral("Sender"));
    auto* layout = new QVBoxLayout(this);
    auto* lblEmailAddress = new QLabel(QStringLiteral("Email Address"), this);
    edtEmailAddress = new QLineEdit(this);
    edtEmailAddress->setObjectName("edtEmailAddress");
    lblEmailAddress->setBuddy(edtEmailAddress);
    auto* lblDisplayName = new QLabel(QStringLiteral("Display Name"), this);
    edtDisplayName = new QLineEdit(this);
    edtDisplayName->setObjectName("edtDisplayName");
    lblDisplayName->setBuddy(edtDisplayName);
    auto* lblApprovalStatus = new QLabel(QStringLiteral("Approval Status"), this);
    cmbApproval = NewApprovalList(*this);
    lblApprovalStatus->setBuddy(cmbApproval);
    auto* lblNotes = new QLabel(QStringLiteral("Notes"), this);
    mmoNotes = new QPlainTextEdit(this);
    mmoNotes->setObjectName("mmoNotes");
    mmoNotes->setTabChangesFocus(true);
    lblNotes->setBuddy(mmoNotes);
    for (QWidget* widget : {static_cast<QWidget*>(lblEmailAddress), static_cast<QWidget*>(edtEmailAddress),
                            static_cast<QWidget*>(lblDisplayName), static_cast<QWidget*>(edtDisplayName),
                            static_cast<QWidget*>(lblApprovalStatus), static_cast<QWidget*>(cmbApproval),
                            static_cast<QWidget*>(lblNotes), static_cast<QWidget*>(mmoNotes)})
        layout->addWidget(widget);
    btnOk = AddOkCancel(*this, *layout, &btnCancel);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    resize(sizeHint());
}

bool TfrmSender::ShowFor(QWidget& mainWindow, const QString& caption) {
    setWindowTitle(caption);
    CentreWindowOver(*this, mainWindow);
    edtEmailAddress->setFocus();
    return exec() == QDialog::Accepted;
}

void TfrmSender::ApplyFields(TTessivarEmailAddress& record) const {
    ApplyApproval(record, BlockedSelected(*cmbApproval), ToText(mmoNotes->toPlainText()));
}

bool TfrmSender::NewSender(QWidget& mainWindow, TTessivarBusinessLogic& model) {
    edtEmailAddress->clear();
    edtDisplayName->clear();
    mmoNotes->clear();
    SelectBlocked(*cmbApproval, false);
    if (!ShowFor(mainWindow, QStringLiteral("New Sender")))
        return false;
    const std::string address = ToText(edtEmailAddress->text());
    const std::string displayName = ToText(edtDisplayName->text());
    return ApplyToModel(model, "TfrmSender", [&] { ApplyFields(model.AddEmailAddress(address, displayName)); });
}

bool TfrmSender::EditSender(QWidget& mainWindow, TTessivarEmailAddress& record) {
    edtEmailAddress->setText(ToQString(record.EmailAddress()));
    edtDisplayName->setText(ToQString(record.DisplayName()));
    // Only a blocked sender shows "Blocked": one authenticated without a decision shows "Approved".
    SelectBlocked(*cmbApproval, record.IsBlocked());
    mmoNotes->setPlainText(ToQString(record.Notes()));
    if (!ShowFor(mainWindow, QStringLiteral("Edit Sender")))
        return false;
    return ApplyToModel(record.Owner(), "TfrmSender", [&] { ApplyFields(record); });
}
