#pragma once
// The "Mail Accounts" window: a check list of the screened mail accounts that a mail program
// fetches through, where the user chooses which ones the program screens. Created once and shown
// again and again, modally, always on top, centred on the desktop.
// Thread contract: the user-interface thread (the model's thread) only.

#include <QDialog>

class QListWidget;
class TTessivarBusinessLogic;

class TfrmMailAccounts : public QDialog {
    Q_OBJECT
public:
    explicit TfrmMailAccounts(QWidget* parent = nullptr);

    // Lists each account's address once (accounts without a mail program account left out),
    // checked when enabled; on OK enables or disables every account of a changed entry in one
    // bracket of the model, and warns that running mail programs need a restart when anything
    // changed. True when something changed.
    bool EditMailAccounts(TTessivarBusinessLogic& model);

    QListWidget& List() const { return *lstbxAccounts; }

private:
    void Fill(TTessivarBusinessLogic& model);

    QListWidget* lstbxAccounts;
};
