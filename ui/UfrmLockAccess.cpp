#include "ui/UfrmLockAccess.h"

#include "core/UTessivarBusinessLogic.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

void ShowError(QWidget* parent, const QString& title, const QString& text) {
    TMessageBox::Show(parent, QMessageBox::Critical, title, text, QMessageBox::Ok);
}

} // namespace

TfrmLockAccess::TfrmLockAccess(QWidget* parent) : QDialog(parent) {
    setObjectName("frmLockAccess");
    setWindowTitle(QStringLiteral("Lock Access to Tessivar"));
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    auto* lblPrompt =
        new QLabel(QStringLiteral("You can configure Tessivar so that it can be accessed only with a password. To do "
                                  "this, check the box below and enter the password you wish to use."),
                   this);
    lblPrompt->setWordWrap(true);
    // Wide enough that the explanation takes a few whole lines, whatever else is shown.
    lblPrompt->setMinimumWidth(lblPrompt->fontMetrics().averageCharWidth() * 60);
    layout->addWidget(lblPrompt);
    // Never smaller than what its texts need.
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    chkbxLockAccess = new QCheckBox(QStringLiteral("Yes, protect Tessivar with a password"), this);
    chkbxLockAccess->setObjectName("chkbxLockAccess");
    layout->addWidget(chkbxLockAccess);
    lblUnlockPassword = new QLabel(QStringLiteral("Unlock Password"), this);
    edtUnlockPassword = new QLineEdit(this);
    edtUnlockPassword->setObjectName("edtUnlockPassword");
    lblConfirmUnlockPassword = new QLabel(QStringLiteral("Confirm Unlock Password"), this);
    edtConfirmUnlockPassword = new QLineEdit(this);
    edtConfirmUnlockPassword->setObjectName("edtConfirmUnlockPassword");
    for (QLineEdit* edit : {edtUnlockPassword, edtConfirmUnlockPassword})
        MaskEdit(*edit);
    lblUnlockPassword->setBuddy(edtUnlockPassword);
    lblConfirmUnlockPassword->setBuddy(edtConfirmUnlockPassword);
    layout->addWidget(lblUnlockPassword);
    layout->addWidget(edtUnlockPassword);
    layout->addWidget(lblConfirmUnlockPassword);
    layout->addWidget(edtConfirmUnlockPassword);
    btnOk = AddOkCancel(*this, *layout, &btnCancel);
    connect(btnOk, &QPushButton::clicked, this, &TfrmLockAccess::btnOkClick);
    connect(chkbxLockAccess, &QCheckBox::toggled, this, &TfrmLockAccess::chkbxLockAccessToggled);
    chkbxLockAccessToggled(false);
    resize(sizeHint());
}

void TfrmLockAccess::chkbxLockAccessToggled(bool checked) {
    for (QWidget* widget :
         {static_cast<QWidget*>(lblUnlockPassword), static_cast<QWidget*>(edtUnlockPassword),
          static_cast<QWidget*>(lblConfirmUnlockPassword), static_cast<QWidget*>(edtConfirmUnlockPassword)})
        widget->setVisible(checked);
    // The fields that came or went change the height the window needs: it follows, so that no text
    // is squeezed.
    layout()->activate();
    resize(width(), heightForWidth(width()) > 0 ? heightForWidth(width()) : sizeHint().height());
}

void TfrmLockAccess::btnOkClick() {
    if (chkbxLockAccess->isChecked()) {
        const QString password = edtUnlockPassword->text();
        const QString confirmation = edtConfirmUnlockPassword->text();
        if (CharacterCount(password) <= 3) {
            ShowError(this, QStringLiteral("Password too short"),
                      QStringLiteral("The unlock password must be at least four characters long to afford a moderate "
                                     "level of\nsecurity. A combination of eight or more letters and numbers would "
                                     "be ideal."));
            return;
        }
        if (confirmation.isEmpty()) {
            ShowError(this, QStringLiteral("Password confirmation required"),
                      QStringLiteral("You must confirm the unlock password by typing it into the Confirm Unlock "
                                     "Password field."));
            return;
        }
        if (confirmation != password) {
            ShowError(this, QStringLiteral("Passwords do not match"),
                      QStringLiteral("The values typed into the Unlock Password and Confirm Unlock Password fields "
                                     "do not match."));
            return;
        }
    }
    accept();
}

bool TfrmLockAccess::EditLockAccess(TTessivarBusinessLogic& model) {
    chkbxLockAccess->setChecked(model.LockAccess());
    chkbxLockAccessToggled(model.LockAccess());
    edtUnlockPassword->setText(ToQString(model.UnlockPassword()));
    edtConfirmUnlockPassword->setText(ToQString(model.UnlockPassword()));
    CentreWindowOnDesktop(*this);
    btnOk->setFocus();
    const bool accepted = exec() == QDialog::Accepted;
    const bool lock = chkbxLockAccess->isChecked();
    const std::string password = ToText(edtUnlockPassword->text());
    // The password stays in the window only while it is shown.
    edtUnlockPassword->clear();
    edtConfirmUnlockPassword->clear();
    if (!accepted)
        return false;
    return ApplyToModel(model, "TfrmLockAccess", [&] {
        model.SetLockAccess(lock);
        // Clearing the box keeps the stored unlock password for the next time the lock goes on.
        if (model.LockAccess())
            model.SetUnlockPassword(password);
    });
}
