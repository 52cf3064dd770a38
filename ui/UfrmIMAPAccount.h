#pragma once
// The "Add IMAP Account" window of the "Mail Accounts" window: the server, port, security, user name
// and password of a mailbox to screen on its server, a "Test connection" button, and the choice to
// approve the senders of the mail already in INBOX. The login is tried, and the senders of INBOX are
// read, on a worker thread (the window shows a wait cursor meanwhile; closing it ends the worker's
// connection at once). Only their approval is made on the window's thread.
// Thread contract: the user-interface thread (the model's thread) only; the worker touches nothing
// but its own copy of the entries and what it hands back with its answer.

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/UIMAPCommands.h"
#include "mail/UMessageHeaders.h"

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
    // Ends a login check still under way and waits for its thread.
    ~TfrmIMAPAccount() override;

    // Shows the window, its entries taken from `found` when given (a Thunderbird account; the
    // password is left empty). On "Add", once the server took the login: keeps the password and
    // the account, enables it, and approves the existing senders when asked. The account added;
    // null when the user cancelled.
    TTessivarAccount* AddIMAPAccount(TTessivarBusinessLogic& model, const TIMAPServer* found = nullptr);

    // The line under the entries: what the last check found.
    QString Status() const;

    // Closing the window ends the connection of a check or a reading of senders under way.
    void reject() override;

private:
    // Logs in with the entries being checked on the worker thread and runs `work` on the mailbox
    // there; `done` gets the failure ("" when none) on the window's thread, unless the window is
    // gone by then.
    void StartWorker(std::function<void(TIMAPMailbox&)> work, std::function<void(const std::string&)> done);
    // The server the entries describe; nullopt with the problem shown when one is missing.
    std::optional<TIMAPServer> Entries();
    void StartCheck(bool thenAdd);
    void CheckDone(bool thenAdd, const std::string& failure);
    void Add();
    // Reads the senders of INBOX's recent mail on the worker thread, then approves them and closes
    // the window.
    void ApproveExistingSenders();
    void SendersRead(const std::vector<TEmailAddress>& senders, const std::string& failure);
    void SetBusy(bool busy);
    void SecurityChanged();

    TIMAPConnector m_Connect;
    TTessivarBusinessLogic* m_Model = nullptr;
    TTessivarAccount* m_Added = nullptr;
    std::thread m_Check;
    std::shared_ptr<TAbortSignal> m_CheckAbort; // ends the worker's connection
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
