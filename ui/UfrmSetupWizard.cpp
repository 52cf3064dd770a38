#include "ui/UfrmSetupWizard.h"

#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "service/UTessivarAccountRequests.h"
#include "ui/UContactChooser.h"
#include "ui/UDialogSupport.h"
#include "ui/UEmailAddressRule.h"
#include "ui/UMessageBox.h"

#include <QButtonGroup>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <set>

namespace {

const char* const HelpPages[] = {"setupWizard.html#Welcome",
                                 "setupWizard.html#Account",
                                 "setupWizard.html#EmailAddress",
                                 "setupWizard.html#ChoosePassword",
                                 "setupWizard.html#ConfigureMailAccounts",
                                 "setupWizard.html#ImportContacts",
                                 "setupWizard.html#Complete"};

// The sample shown when an address is refused.
const char* const SampleAddress = "yourname@example.com";

QLineEdit* AddEdit(QWidget& page, QVBoxLayout& layout, const QString& caption, const char* name, bool masked) {
    auto* label = new QLabel(caption, &page);
    auto* edit = new QLineEdit(&page);
    edit->setObjectName(name);
    if (masked)
        MaskEdit(*edit);
    label->setBuddy(edit);
    layout.addWidget(label);
    layout.addWidget(edit);
    return edit;
}

QLabel* AddText(QVBoxLayout& layout, const QString& text, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(name);
    label->setWordWrap(true);
    layout.addWidget(label);
    return label;
}

QRadioButton* AddChoice(QVBoxLayout& layout, QButtonGroup& group, const QString& caption, const char* name) {
    auto* choice = new QRadioButton(caption);
    choice->setObjectName(name);
    group.addButton(choice);
    layout.addWidget(choice);
    return choice;
}

} // namespace

TfrmSetupWizard::TfrmSetupWizard(TTessivarBusinessLogic& model, TSetupWizardPeers peers, QWidget* parent)
    : TWizardFrame(QStringLiteral("Tessivar Setup Wizard"), parent), m_Model(model), m_Peers(std::move(peers)) {
    setObjectName("frmSetupWizard");
    if (!m_Peers.ReadContacts)
        m_Peers.ReadContacts = [] { return ReadAddressBooks(UserAddressBookPlaces()); };
    BuildPages();
    SelectPage(WelcomePage);
}

void TfrmSetupWizard::BuildPages() {
    QVBoxLayout* page =
        AddPage("tbpgWelcome", QStringLiteral("Welcome to Tessivar!"),
                QStringLiteral("This wizard will step you through the process of setting up Tessivar on "
                               "your computer."));
    AddText(*page, QStringLiteral("Click Next to continue."), "lblContinue");
    page->addStretch();

    page = AddPage("tbpgAccountSetup", QStringLiteral("Tessivar Account Setup"),
                   QStringLiteral("Choose whether you wish to create a new Tessivar account or you want to use an "
                                  "existing account you have already created."));
    auto* accountChoice = new QButtonGroup(this);
    rbNewAccount = AddChoice(*page, *accountChoice, QStringLiteral("I wish to create a &New account"), "rbNewAccount");
    rbExistingAccount = AddChoice(*page, *accountChoice, QStringLiteral("I have an &Existing account I want to use"),
                                  "rbExistingAccount");
    pnlExistingAccount = new QWidget;
    pnlExistingAccount->setObjectName("pnlExistingAccount");
    auto* existing = new QVBoxLayout(pnlExistingAccount);
    edtExistingEmailAddress =
        AddEdit(*pnlExistingAccount, *existing, QStringLiteral("Email &Address"), "edtExistingEmailAddress", false);
    edtExistingPassword =
        AddEdit(*pnlExistingAccount, *existing, QStringLiteral("&Password"), "edtExistingPassword", true);
    page->addWidget(pnlExistingAccount);
    page->addStretch();
    connect(rbExistingAccount, &QRadioButton::toggled, this, [this](bool chosen) {
        pnlExistingAccount->setVisible(chosen);
        if (chosen)
            edtExistingEmailAddress->setFocus();
    });

    page = AddPage("tbpgEmailAddress", QStringLiteral("Your Email Address"),
                   QStringLiteral("Enter the email address you wish to use to identify your Tessivar account."));
    edtEmailAddress = AddEdit(*page->parentWidget(), *page, QStringLiteral("Email &Address"), "edtEmailAddress", false);
    page->addStretch();

    page = AddPage("tbpgPassword", QStringLiteral("Your Password"),
                   QStringLiteral("Please enter and confirm the password you would like to use with your Tessivar "
                                  "account."));
    edtPassword = AddEdit(*page->parentWidget(), *page, QStringLiteral("&Password"), "edtPassword", true);
    edtConfirmPassword =
        AddEdit(*page->parentWidget(), *page, QStringLiteral("&Confirm Password"), "edtConfirmPassword", true);
    page->addStretch();

    page = AddPage("tbpgMailAccounts", QStringLiteral("Mail Accounts"),
                   QStringLiteral("All of the compatible email accounts you have configured for this computer are "
                                  "listed below. Place a check mark next to the accounts you want Tessivar to screen "
                                  "for you."));
    lstbxMailAccounts = new QListWidget;
    lstbxMailAccounts->setObjectName("lstbxMailAccounts");
    page->addWidget(lstbxMailAccounts, 1);
    AddText(*page,
            QStringLiteral("WARNING: You will need to shut down and restart all of your email programs before the "
                           "following changes will take effect."),
            "lblRestartWarning");
    AddText(*page, QStringLiteral("Don't see your mail account here? Click help."), "lblAccountHelp");

    page = AddPage("tbpgContacts", QStringLiteral("Existing Contacts"),
                   QStringLiteral("Tessivar has detected some existing contact information on this computer. Would "
                                  "you like to have these automatically added to your approved senders list?"));
    auto* contactChoice = new QButtonGroup(this);
    rbNoThanks = AddChoice(*page, *contactChoice, QStringLiteral("No thanks"), "rbNoThanks");
    rbSelectContacts = AddChoice(*page, *contactChoice, QStringLiteral("Yes, please let me select the contacts to add"),
                                 "rbSelectContacts");
    m_Contacts = new TContactChooser;
    page->addWidget(m_Contacts, 1);
    // Without the list ("No thanks") the page's items stay together at the top.
    page->addStretch();
    connect(rbSelectContacts, &QRadioButton::toggled, m_Contacts, &QWidget::setVisible);
    connect(m_Contacts, &TContactChooser::ExampleRequested, this, [this] {
        if (m_Peers.ShowHelpPage)
            m_Peers.ShowHelpPage("importEmail.html");
    });

    page = AddPage("tbpgComplete", QStringLiteral("Setup Complete!"),
                   QStringLiteral("Congratulations! You have completed the setup wizard."));
    AddText(*page, QStringLiteral("Please click Finish to exit the wizard."), "lblFinish");
    page->addStretch();

    AddWaitPage();
}

void TfrmSetupWizard::ShowWizard() {
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    CentreWindowOnDesktop(*this);
    show();
    raise();
    activateWindow();
    Prepare();
}

void TfrmSetupWizard::Prepare() {
    ShowProgress(QStringLiteral("Preparing Tessivar Setup"),
                 QStringLiteral("Please wait while the Tessivar setup wizard prepares itself..."), false);
    try {
        m_Model.ResetData();
    } catch (const std::exception& error) {
        DebugException("TfrmSetupWizard", error);
    }
    rbNewAccount->setChecked(true);
    rbNoThanks->setChecked(true);
    for (QLineEdit* edit :
         {edtExistingEmailAddress, edtExistingPassword, edtEmailAddress, edtPassword, edtConfirmPassword})
        edit->clear();
    pnlExistingAccount->setVisible(false);
    m_Contacts->setVisible(false);
    m_Contacts->SetConsent(false);

    lstbxMailAccounts->clear();
    std::set<std::string> listed;
    for (int i = 0; i < m_Model.AccountCount(); ++i) {
        const TTessivarAccount& account = m_Model.Accounts(i);
        if (!account.HasMailClientAccounts() || !listed.insert(account.EmailAddress()).second)
            continue;
        auto* item = new QListWidgetItem(ToQString(account.EmailAddress()), lstbxMailAccounts);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(account.Enabled() ? Qt::Checked : Qt::Unchecked);
    }

    // Reading the address books traces a damaged one and goes on with the others.
    std::vector<TContact> contacts;
    try {
        contacts = m_Peers.ReadContacts();
    } catch (const std::exception& error) {
        DebugException("TfrmSetupWizard", error);
    }
    m_Contacts->SetContacts(std::move(contacts));
    m_Contacts->CheckAll(true);
    SelectPage(WelcomePage);
}

void TfrmSetupWizard::UpdateButtons() {
    const int page = CurrentPage();
    btnBack->setEnabled(page != WelcomePage && page != CompletePage && page != WaitPage);
    btnNext->setEnabled(page != CompletePage && page != WaitPage);
    btnFinish->setEnabled(page == CompletePage);
    btnHelp->setEnabled(true);
}

bool TfrmSetupWizard::ExistingAccount() const {
    return rbExistingAccount->isChecked();
}

std::string TfrmSetupWizard::Address() const {
    return ToText(ExistingAccount() ? edtExistingEmailAddress->text() : edtEmailAddress->text());
}

std::string TfrmSetupWizard::Password() const {
    return ToText(ExistingAccount() ? edtExistingPassword->text() : edtPassword->text());
}

void TfrmSetupWizard::ShowMessage(int icon, const QString& title, const QString& text) {
    TMessageBox::Show(this, static_cast<QMessageBox::Icon>(icon), title, text, QMessageBox::Ok);
}

void TfrmSetupWizard::NextClick() {
    switch (CurrentPage()) {
    case WelcomePage:
        SelectPage(AccountSetupPage);
        break;
    case AccountSetupPage:
        if (!ExistingAccount())
            SelectPage(EmailAddressPage);
        else if (edtExistingEmailAddress->text().isEmpty())
            ShowMessage(QMessageBox::Information, QStringLiteral("Email Address Required"),
                        QStringLiteral("To use an existing Tessivar account you must enter the email address you "
                                       "created it with."));
        else if (edtExistingPassword->text().isEmpty())
            ShowMessage(QMessageBox::Information, QStringLiteral("Password Required"),
                        QStringLiteral("To use an existing Tessivar account you must enter the email address and "
                                       "password you created it with."));
        else
            VerifyExistingAccount();
        break;
    case EmailAddressPage:
        if (IsValidEmailAddress(ToText(edtEmailAddress->text())))
            CheckAvailability();
        else
            ShowMessage(QMessageBox::Information, QStringLiteral("Invalid Email Address"),
                        QStringLiteral("This does not appear to be a valid email address. Email addresses must be in "
                                       "the format of \"%1\".")
                            .arg(QString::fromLatin1(SampleAddress)));
        break;
    case PasswordPage:
        if (edtPassword->text().isEmpty())
            ShowMessage(QMessageBox::Information, QStringLiteral("Password Required"),
                        QStringLiteral("You must enter the password you wish to use with your Tessivar account."));
        else if (CharacterCount(edtPassword->text()) <= 3)
            ShowMessage(QMessageBox::Information, QStringLiteral("Password Too Short"),
                        QStringLiteral("Passwords must be at least four characters long. Eight or more would be "
                                       "better."));
        else if (edtPassword->text() != edtConfirmPassword->text())
            ShowMessage(QMessageBox::Information, QStringLiteral("Password Mismatch"),
                        QStringLiteral("The values you entered in the Password and Confirm Password fields are not "
                                       "the same. Please re-enter them."));
        else
            SelectPage(MailAccountsPage);
        break;
    case MailAccountsPage:
        if (m_Contacts->Count() == 0)
            FinishSetup();
        else
            SelectPage(ContactsPage);
        break;
    case ContactsPage:
        if (rbSelectContacts->isChecked() && !m_Contacts->Consent())
            ShowMessage(QMessageBox::Information, QStringLiteral("Permission Required"),
                        QString::fromUtf8(PermissionRequiredText));
        else
            FinishSetup();
        break;
    default:
        break;
    }
}

void TfrmSetupWizard::BackClick() {
    const int page = CurrentPage();
    if (page >= AccountSetupPage && page <= ContactsPage)
        SelectPage(page - 1);
}

void TfrmSetupWizard::HelpClick() {
    const int page = CurrentPage();
    if (page >= WelcomePage && page <= CompletePage && m_Peers.ShowHelpPage)
        m_Peers.ShowHelpPage(HelpPages[page]);
}

void TfrmSetupWizard::FinishClick() {
    if (close() && m_Peers.ShowHelpPage)
        m_Peers.ShowHelpPage("setupComplete.html");
}

bool TfrmSetupWizard::CloseQuery() {
    if (CurrentPage() == CompletePage) {
        try {
            m_Model.SetUsername(Address());
            m_Model.SetPassword(Password());
        } catch (const std::exception& error) {
            DebugException("TfrmSetupWizard", error);
        }
        if (!m_Model.LockAccess() && m_Peers.OpenMainWindow)
            m_Peers.OpenMainWindow();
        return true;
    }
    const QMessageBox::StandardButton answer = TMessageBox::Show(
        this, QMessageBox::Warning, QStringLiteral("Confirm Exit Setup"),
        QStringLiteral("Are you sure you want to exit the setup wizard without completing it? Doing so will exit "
                       "Tessivar."),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return false;
    if (m_Peers.EndProgram)
        m_Peers.EndProgram();
    return true;
}

void TfrmSetupWizard::CheckAvailability() {
    ShowProgress(QStringLiteral("Checking Email Address"),
                 QStringLiteral("Please wait while the setup wizard creates your account..."), false);
    const QPointer<TfrmSetupWizard> self = this;
    RequestAccountAvailability(m_Model, ToText(edtEmailAddress->text()), [self](TAccountAnswer answer) {
        if (self.isNull())
            return;
        if (answer == TAccountAnswer::Failed) {
            self->ShowMessage(QMessageBox::Critical, QStringLiteral("Server Address Verification Failed"),
                              QStringLiteral("A server error occurred while trying to verify the availability of "
                                             "this email address. Please try again shortly."));
            self->SelectPage(EmailAddressPage);
        } else if (answer == TAccountAnswer::AccountExists) {
            self->ShowMessage(QMessageBox::Warning, QStringLiteral("Account Already Exists"),
                              QStringLiteral("There is already an account set up for this email address. Either "
                                             "choose Back and then use this existing account, or create an account "
                                             "using a different email address."));
            self->SelectPage(EmailAddressPage);
        } else {
            self->SelectPage(PasswordPage);
        }
    });
}

void TfrmSetupWizard::VerifyExistingAccount() {
    ShowProgress(QStringLiteral("Checking Account Status"),
                 QStringLiteral("Please wait while the setup wizard checks the status of your account..."), false);
    const QPointer<TfrmSetupWizard> self = this;
    // The synchronisation of the answer moves the bar; its page is shown before the first move. The
    // model is inside its change then, so only the page is drawn.
    const std::shared_ptr<TRequestProgress> progress = NewRequestProgress();
    auto synchronizing = std::make_shared<bool>(false);
    auto showSynchronizing = [self, synchronizing](bool runEvents) {
        if (self.isNull() || *synchronizing)
            return;
        *synchronizing = true;
        self->ShowProgress(QStringLiteral("Synchronizing Account"),
                           QStringLiteral("Please wait while the setup wizard synchronizes your local data with the "
                                          "server..."),
                           true, runEvents);
    };
    progress->BeforeFirst = [showSynchronizing] { showSynchronizing(false); };
    RequestExistingAccount(m_Model, ToText(edtExistingEmailAddress->text()), ToText(edtExistingPassword->text()),
                           progress.get(), [self, progress, showSynchronizing](TAccountAnswer answer) {
                               if (self.isNull())
                                   return;
                               if (answer == TAccountAnswer::Failed) {
                                   self->ShowMessage(QMessageBox::Critical,
                                                     QStringLiteral("Server Account Verification Failed"),
                                                     QStringLiteral("A server error occurred while trying to verify "
                                                                    "your account."));
                                   self->SelectPage(AccountSetupPage);
                               } else if (answer == TAccountAnswer::NoAccount) {
                                   self->ShowMessage(QMessageBox::Warning, QStringLiteral("Account Not Found"),
                                                     QStringLiteral("An account corresponding to this email address "
                                                                    "and password could not be found. Check your "
                                                                    "details and try again."));
                                   self->SelectPage(AccountSetupPage);
                               } else {
                                   // An answer without senders never moved the bar.
                                   showSynchronizing(true);
                                   self->SelectPage(MailAccountsPage);
                               }
                           });
}

void TfrmSetupWizard::FinishSetup() {
    if (!ExistingAccount()) {
        CreateAccount();
        return;
    }
    ConfigureMailAccounts();
    ImportContacts();
    SelectPage(CompletePage);
}

void TfrmSetupWizard::CreateAccount() {
    ShowProgress(QStringLiteral("Finalizing Setup"), QStringLiteral("Confirming account settings..."), true);
    const QPointer<TfrmSetupWizard> self = this;
    // The request stores the address and password as the model's credentials when it succeeds.
    RequestAccountCreate(m_Model, ToText(edtEmailAddress->text()), ToText(edtPassword->text()), [self](bool created) {
        if (self.isNull())
            return;
        if (!created) {
            const QMessageBox::StandardButton answer = TMessageBox::Show(
                self, QMessageBox::Critical, QStringLiteral("Account Finalization Error"),
                QStringLiteral("An error occurred while attempting to finalize your account. Would you like the setup "
                               "wizard to try to finalize your account again?"),
                QMessageBox::Yes | QMessageBox::No);
            if (self.isNull())
                return;
            if (answer == QMessageBox::Yes)
                self->CreateAccount();
            else
                self->SelectPage(WelcomePage);
            return;
        }
        self->MoveProgress(self->ProgressBar().maximum());
        self->ConfigureMailAccounts();
        self->ImportContacts();
        self->SelectPage(CompletePage);
    });
}

void TfrmSetupWizard::ConfigureMailAccounts() {
    ShowProgress(QStringLiteral("Finalizing Setup"), QStringLiteral("Configuring email clients..."), true);
    ProgressBar().setMaximum(std::max(lstbxMailAccounts->count() - 1, 0));
    ApplyToModel(m_Model, "TfrmSetupWizard", [this] {
        for (int entry = 0; entry < lstbxMailAccounts->count(); ++entry) {
            const QListWidgetItem* item = lstbxMailAccounts->item(entry);
            const bool checked = item->checkState() == Qt::Checked;
            const std::string address = ToText(item->text());
            for (int i = 0; i < m_Model.AccountCount(); ++i) {
                TTessivarAccount& account = m_Model.Accounts(i);
                if (account.EmailAddress() != address || account.Enabled() == checked)
                    continue;
                // One account that cannot be redirected does not keep the others as they were.
                try {
                    account.SetEnabled(checked);
                } catch (const std::exception& error) {
                    DebugException("TfrmSetupWizard", error);
                    m_Model.AddLogItem(error.what(), 1);
                }
            }
            MoveProgress(entry);
            ProcessWindowEvents();
        }
    });
}

void TfrmSetupWizard::ImportContacts() {
    if (!rbSelectContacts->isChecked())
        return;
    ShowProgress(QStringLiteral("Finalizing Setup"), QStringLiteral("Importing contacts..."), true);
    m_Contacts->ImportChecked(m_Model, ProgressBar());
}
