#pragma once
// The lock access window: turns the access lock on or off and sets the unlock password. Created
// once and shown modally again and again, centred on the desktop. Thread contract: the
// user-interface thread (the model's thread) only.

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TTessivarBusinessLogic;

class TfrmLockAccess : public QDialog {
    Q_OBJECT
public:
    explicit TfrmLockAccess(QWidget* parent = nullptr);

    // Shows the lock's state and the stored unlock password; on OK stores the state and, with the
    // lock on, the unlock password, in one bracket of the model. True when closed with OK and
    // applied. The main window locks the next time it is closed.
    bool EditLockAccess(TTessivarBusinessLogic& model);

private:
    // The password edits are visible exactly while the box is checked.
    void chkbxLockAccessToggled(bool checked);
    // With the box checked: at least four characters, confirmed, and the same twice.
    void btnOkClick();

    QCheckBox* chkbxLockAccess;
    QLabel* lblUnlockPassword;
    QLineEdit* edtUnlockPassword;
    QLabel* lblConfirmUnlockPassword;
    QLineEdit* edtConfirmUnlockPassword;
    QPushButton* btnOk;
    QPushButton* btnCancel;
};
