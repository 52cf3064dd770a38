#pragma once
// The "Add IMAP Account" window of the "Mail Accounts" window: the server, port, security, user name
// and password of a mailbox to screen on its server, a "Test connection" button, and the choice to
// approve the senders of the mail already in INBOX. The login is tried on a worker thread (the
// window waits with a wait cursor, at most the connector's time-out) before anything is kept.
// Thread contract: the user-interface thread (the model's thread) only; the worker touches nothing
// but its own copy of the entries and posts its answer back.

#include <QDialog>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/UIMAPCommands.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class TTessivarAccount;
class TTessivarBusinessLogic;

class TfrmIMAPAccount : public QDialog {
    Q_OBJECT
public:
    // Logs in through connector (ConnectIMAP in the program, a stand-in in tests).
    explicit TfrmIMAPAccount(TIMAPConnector connector, QWidget* parent = nullptr);
    // Waits for a login check still under way (at most its time-out).
    ~TfrmIMAPAccount() override;

    // Shows the window, its entries taken from `found` when given (a Thunderbird account; the
    // password is left empty). On "Add", once the server took the login: keeps the password and
    // the account, enables it, and approves the existing senders when asked. The account added;
    // null when the user cancelled.
    TTessivarAccount* AddIMAPAccount(TTessivarBusinessLogic& model, const TIMAPServer* found = nullptr);

    // The line under the entries: what the last check found.
    QString Status() const;

private:
    // The server the entries describe; nullopt with the problem shown when one is missing.
    std::optional<TIMAPServer> Entries();
    void StartCheck(bool thenAdd);
    void CheckDone(bool thenAdd, const std::string& failure);
    void Add();
    void SetBusy(bool busy);
    void SecurityChanged();

    TIMAPConnector m_Connect;
    TTessivarBusinessLogic* m_Model = nullptr;
    TTessivarAccount* m_Added = nullptr;
    std::thread m_Check;
    bool m_Busy = false;
    // The entries the running check was started with: those are added, not later edits.
    TIMAPServer m_Checking;
    std::string m_CheckingPassword;

    QLineEdit* edtAddress;
    QLineEdit* edtServer;
    QSpinBox* spnPort;
    QComboBox* cmbSecurity;
    QLineEdit* edtUser;
    QLineEdit* edtPassword;
    QCheckBox* chkApproveExisting;
    QPushButton* btnTest;
    QPushButton* btnOk;
    QLabel* lblStatus;
};
