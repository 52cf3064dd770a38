#pragma once
// The "Mail Accounts" window: a check list of the screened mail accounts, those that a mail program
// fetches through (POP3) and the IMAP mailboxes screened on their servers, where the user chooses
// which ones the program screens; IMAP accounts are added here (also those found in Thunderbird's
// profiles, which are offered). Created once and shown again and again, modally, always on top,
// centred on the desktop.
// Thread contract: the user-interface thread (the model's thread) only.

#include <QDialog>

#include <vector>

#include "app/UIMAPCommands.h"
#include "clients/UThunderbirdIMAPAccounts.h"

class QListWidget;
class QPushButton;
class TfrmIMAPAccount;
class TTessivarBusinessLogic;

class TfrmMailAccounts : public QDialog {
    Q_OBJECT
public:
    explicit TfrmMailAccounts(QWidget* parent = nullptr);
    ~TfrmMailAccounts() override;

    // Lists each POP3 account's address once (accounts without a mail program account left out)
    // and each IMAP account, checked when enabled, and the Thunderbird IMAP accounts not added yet;
    // on OK enables or disables every account of a changed entry in one bracket of the model, and
    // warns that running mail programs need a restart when a POP3 entry changed. An IMAP account
    // added in the meantime is kept and enabled at once. True when something changed.
    bool EditMailAccounts(TTessivarBusinessLogic& model);

    // How IMAP logins are tried (ConnectIMAP unless a test sets another).
    void SetIMAPConnector(TIMAPConnector connect) { m_Connect = std::move(connect); }

    QListWidget& List() const { return *lstbxAccounts; }
    QListWidget& FoundList() const { return *lstbxFound; }
    // The add window (a child of this one).
    TfrmIMAPAccount& IMAPAccountWindow();

private:
    void Fill(TTessivarBusinessLogic& model);
    void FillFound(TTessivarBusinessLogic& model);
    void AddIMAP(const TIMAPServer* found);

    QListWidget* lstbxAccounts;
    QListWidget* lstbxFound;
    QPushButton* btnAddFound;
    std::vector<QWidget*> m_FoundWidgets;
    TIMAPConnector m_Connect;
    TfrmIMAPAccount* m_IMAPAccount = nullptr;
    TTessivarBusinessLogic* m_Model = nullptr;
    std::vector<TThunderbirdIMAPAccount> m_Found;
    bool m_Added = false;
};
