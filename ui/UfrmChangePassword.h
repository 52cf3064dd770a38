#pragma once
// The change password window: the web account's password, changed through the web service. The
// request runs while the wait window is up; the stored password changes only when the service has
// accepted the new one. Created once and shown modally again and again, centred on the desktop.
// Thread contract: the user-interface thread (the model's thread) only.

#include <QDialog>
#include <QPointer>

#include <string>

class QLineEdit;
class QPushButton;
class TTessivarBusinessLogic;
class TfrmWait;

class TfrmChangePassword : public QDialog {
    Q_OBJECT
public:
    explicit TfrmChangePassword(QWidget* parent = nullptr);

    // The program's wait window (not owned; it outlives this window). Without one, this window uses
    // a wait window of its own.
    void SetWaitWindow(TfrmWait* wait);

    // Asks for the current and the new password; on OK sends the change and waits for the answer
    // with the wait window up, all inside one bracket of the model; a failed change is reported.
    void ChangePassword(TTessivarBusinessLogic& model);

private:
    // The checks, in order: current password, new one present, at least four characters, confirmed.
    void btnOkClick();
    TfrmWait& WaitWindow();
    // Sends the change and waits for its answer; true when the service accepted it.
    bool SendChange(TTessivarBusinessLogic& model, const std::string& newPassword);

    QLineEdit* edtCurrentPassword;
    QLineEdit* edtNewPassword;
    QLineEdit* edtConfirmNewPassword;
    QPushButton* btnOk;
    QPushButton* btnCancel;
    QPointer<TfrmWait> m_Wait;
    // The model of the showing under way; none between showings.
    TTessivarBusinessLogic* m_Model = nullptr;
};
