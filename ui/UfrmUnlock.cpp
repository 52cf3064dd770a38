#include "ui/UfrmUnlock.h"

#include "core/UTessivarBusinessLogic.h"
#include "ui/UDialogSupport.h"
#include "ui/UMessageBox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmUnlock::TfrmUnlock(QWidget* parent) : QDialog(parent) {
    setObjectName("frmUnlock");
    // A window of its own rather than a dialog or tool window, so that it has a task-bar button.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Unlock Tessivar"));
    KeepCaptionReadable(*this);
    auto* layout = new QVBoxLayout(this);
    auto* lblPrompt = new QLabel(QStringLiteral("Tessivar is currently locked to prevent unauthorized access. "
                                                "Please enter the unlock password to proceed."),
                                 this);
    lblPrompt->setWordWrap(true);
    layout->addWidget(lblPrompt);
    auto* lblUnlockPassword = new QLabel(QStringLiteral("Unlock Password"), this);
    edtUnlockPassword = new QLineEdit(this);
    edtUnlockPassword->setObjectName("edtUnlockPassword");
    MaskEdit(*edtUnlockPassword);
    lblUnlockPassword->setBuddy(edtUnlockPassword);
    layout->addWidget(lblUnlockPassword);
    layout->addWidget(edtUnlockPassword);
    btnOk = AddOkCancel(*this, *layout, &btnCancel);
    connect(btnOk, &QPushButton::clicked, this, &TfrmUnlock::btnOkClick);
    resize(sizeHint());
}

bool TfrmUnlock::UnlockWindow(TTessivarBusinessLogic& model) {
    edtUnlockPassword->clear();
    edtUnlockPassword->setFocus();
    m_Model = &model;
    const bool unlocked = exec() == QDialog::Accepted;
    m_Model = nullptr;
    edtUnlockPassword->clear();
    return unlocked;
}

void TfrmUnlock::btnOkClick() {
    if (m_Model == nullptr)
        return;
    if (ToText(edtUnlockPassword->text()) != m_Model->UnlockPassword()) {
        TMessageBox::Show(this, QMessageBox::Critical, QStringLiteral("Incorrect Password"),
                          QStringLiteral("The password is incorrect. Check to ensure that you have \n"
                                         "not mistakenly got CAPSLOCK on and try again."),
                          QMessageBox::Ok);
        return;
    }
    accept();
}
