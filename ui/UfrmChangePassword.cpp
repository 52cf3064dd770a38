#include "ui/UfrmChangePassword.h"

#include "base/UDebug.h"
#include "core/UTessivarBusinessLogic.h"
#include "service/UTessivarAccountRequests.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"
#include "ui/UfrmWait.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

namespace {

void ShowInformation(QWidget* parent, const QString& title, const QString& text) {
    TMessageBox::Show(parent, QMessageBox::Information, title, text, QMessageBox::Ok);
}

QLineEdit* AddPasswordEdit(QWidget& window, QVBoxLayout& layout, const QString& caption, const char* name) {
    auto* label = new QLabel(caption, &window);
    auto* edit = new QLineEdit(&window);
    edit->setObjectName(name);
    MaskEdit(*edit);
    label->setBuddy(edit);
    layout.addWidget(label);
    layout.addWidget(edit);
    return edit;
}

} // namespace

TfrmChangePassword::TfrmChangePassword(QWidget* parent) : QDialog(parent) {
    setObjectName("frmChangePassword");
    setWindowTitle(QStringLiteral("Change Password"));
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    edtCurrentPassword = AddPasswordEdit(*this, *layout, QStringLiteral("Current Password"), "edtCurrentPassword");
    edtNewPassword = AddPasswordEdit(*this, *layout, QStringLiteral("New Password"), "edtNewPassword");
    edtConfirmNewPassword =
        AddPasswordEdit(*this, *layout, QStringLiteral("Confirm New Password"), "edtConfirmNewPassword");
    // "Ok" is the default button; the escape key rejects the dialog, as "Cancel" does.
    btnOk = AddOkCancel(*this, *layout, &btnCancel);
    connect(btnOk, &QPushButton::clicked, this, &TfrmChangePassword::btnOkClick);
    resize(sizeHint());
}

void TfrmChangePassword::SetWaitWindow(TfrmWait* wait) {
    m_Wait = wait;
}

TfrmWait& TfrmChangePassword::WaitWindow() {
    if (m_Wait.isNull())
        m_Wait = new TfrmWait(this);
    return *m_Wait;
}

void TfrmChangePassword::btnOkClick() {
    if (m_Model == nullptr)
        return;
    const QString newPassword = edtNewPassword->text();
    if (ToText(edtCurrentPassword->text()) != m_Model->Password()) {
        ShowInformation(this, QStringLiteral("Incorrect Password"),
                        QStringLiteral("Your current password is not correct."));
        return;
    }
    if (newPassword.isEmpty()) {
        ShowInformation(this, QStringLiteral("Password Required"),
                        QStringLiteral("You must enter the password you wish to use with your Tessivar account."));
        return;
    }
    if (CharacterCount(newPassword) <= 3) {
        ShowInformation(
            this, QStringLiteral("Password Too Short"),
            QStringLiteral("Passwords must be at least four characters long. Eight or more would be better."));
        return;
    }
    if (edtConfirmNewPassword->text() != newPassword) {
        ShowInformation(this, QStringLiteral("Password Mismatch"),
                        QStringLiteral("The values you entered in the Password and Confirm Password fields are not the "
                                       "same. Please re-enter them."));
        return;
    }
    accept();
}

void TfrmChangePassword::ChangePassword(TTessivarBusinessLogic& model) {
    edtCurrentPassword->clear();
    edtNewPassword->clear();
    edtConfirmNewPassword->clear();
    CentreWindowOnDesktop(*this);
    edtCurrentPassword->setFocus();
    m_Model = &model;
    const bool accepted = exec() == QDialog::Accepted;
    m_Model = nullptr;
    const std::string newPassword = ToText(edtNewPassword->text());
    // The passwords stay in the window only while it is shown.
    edtCurrentPassword->clear();
    edtNewPassword->clear();
    edtConfirmNewPassword->clear();
    if (!accepted)
        return;
    if (!SendChange(model, newPassword))
        TMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Password Change Failed"),
                          QStringLiteral("There was a problem updating your password."), QMessageBox::Ok);
}

bool TfrmChangePassword::SendChange(TTessivarBusinessLogic& model, const std::string& newPassword) {
    // Shared with the completion, which may come after this call has given up waiting (the program
    // ending while the wait window is up).
    struct TOutcome {
        bool Done = false;
        bool Changed = false;
    };
    const auto outcome = std::make_shared<TOutcome>();
    const QPointer<TfrmWait> wait = &WaitWindow();
    try {
        // One bracket from the request until the wait window closes.
        TUpdateScope<TTessivarBusinessLogic> scope(model);
        // The request stores the new password on success and writes the activity log items.
        RequestPasswordChange(model, newPassword, [outcome, wait](bool changed) {
            outcome->Done = true;
            outcome->Changed = changed;
            if (wait)
                wait->HideWait();
        });
        // A completion that came already (a failure found at once) leaves nothing to wait for.
        if (!outcome->Done)
            wait->ShowWait(QStringLiteral("Please wait while your password is updated..."));
    } catch (const std::exception& error) {
        DebugException("TfrmChangePassword", error);
        if (!outcome->Done) {
            if (wait)
                wait->HideWait();
            outcome->Done = true;
            try {
                model.AddLogItem("Password change request Failed!", 1);
            } catch (const std::exception& logError) {
                DebugException("TfrmChangePassword", logError);
            }
        }
    }
    // Not done: the wait ended without an answer (the program is ending); nothing to report.
    return !outcome->Done || outcome->Changed;
}
