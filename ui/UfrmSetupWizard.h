#pragma once
// The setup wizard: creates a new web account or joins an existing one (taking over its data through
// a first synchronisation), lets the user choose the mail accounts to screen, optionally approves
// the contacts of the address books, and stores the credentials. Closing it before the end ends the
// program. Created once; shown without blocking whenever set-up is required, and from the Welcome
// page with the model's data reset at each showing. Thread contract: the user-interface thread (the
// model's thread) only; the service's answers arrive there too.

#include "clients/UAddressBooks.h"
#include "ui/UWizardFrame.h"

#include <functional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;
class QWidget;
class TContactChooser;
class TTessivarBusinessLogic;

// What the wizard asks of the rest of the program; a missing one is left out.
struct TSetupWizardPeers {
    // Opens a help page by name ("setupWizard.html#Welcome", "setupComplete.html", ...).
    std::function<void(const std::string& page)> ShowHelpPage;
    // Shows the main window as the tray's "Open" does (after the set-up, unless access is locked).
    std::function<void()> OpenMainWindow;
    // Ends the program (the user confirmed leaving the set-up unfinished).
    std::function<void()> EndProgram;
    // The contacts of the address books, read at each showing; by default the user's own.
    std::function<std::vector<TContact>()> ReadContacts;
};

class TfrmSetupWizard : public TWizardFrame {
    Q_OBJECT
public:
    enum TPage : int {
        WelcomePage,
        AccountSetupPage,
        EmailAddressPage,
        PasswordPage,
        MailAccountsPage,
        ContactsPage,
        CompletePage,
        WaitPage
    };

    TfrmSetupWizard(TTessivarBusinessLogic& model, TSetupWizardPeers peers, QWidget* parent = nullptr);

    // Shows the wizard from the Welcome page, prepared afresh; when it is already showing, only
    // brings it to the front.
    void ShowWizard();

protected:
    void UpdateButtons() override;
    void NextClick() override;
    void BackClick() override;
    void HelpClick() override;
    void FinishClick() override;
    bool CloseQuery() override;

private:
    void BuildPages();
    void Prepare();
    bool ExistingAccount() const;
    // The next steps, each leaving the wizard on the page that can go on or correct.
    void CheckAvailability();
    void VerifyExistingAccount();
    void FinishSetup();
    void CreateAccount();
    void ConfigureMailAccounts();
    void ImportContacts();
    void ShowMessage(int icon, const QString& title, const QString& text);
    // The address and password of the chosen path.
    std::string Address() const;
    std::string Password() const;

    TTessivarBusinessLogic& m_Model;
    TSetupWizardPeers m_Peers;

    QRadioButton* rbNewAccount;
    QRadioButton* rbExistingAccount;
    QWidget* pnlExistingAccount;
    QLineEdit* edtExistingEmailAddress;
    QLineEdit* edtExistingPassword;
    QLineEdit* edtEmailAddress;
    QLineEdit* edtPassword;
    QLineEdit* edtConfirmPassword;
    QListWidget* lstbxMailAccounts;
    QRadioButton* rbNoThanks;
    QRadioButton* rbSelectContacts;
    TContactChooser* m_Contacts;
};
