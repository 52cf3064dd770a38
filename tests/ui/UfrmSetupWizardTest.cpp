// The setup wizard end to end against the reference web service in the test process: a new account
// created (the checked mail account screened, only the checked contacts imported), an existing one
// joined with its senders loaded through the progress bar, every input check's message, the
// service's failures, and the exit confirmation that ends the program.

#include "ui/UfrmSetupWizard.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmailAddress.h"
#include "tests/ui/DialogDriver.h"
#include "tests/ui/WizardFixture.h"
#include "ui/UEmailAddressRule.h"
#include "ui/UMessageBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using TPage = TfrmSetupWizard::TPage;

namespace {

const std::vector<TContact> SomeContacts = {
    {"Zed Last", "zed@contacts.example"}, {"anna first", "anna@contacts.example"}, {"Bob", "bob@contacts.example"}};

// Synchronisation argument of another installation of the program, with the senders' statuses.
std::string SeedSenders(const std::string& address, const std::string& password, int count,
                        const std::string& settings = {}) {
    std::string statuses;
    for (int i = 0; i < count; ++i)
        statuses += "<EmailAddressStatus><EmailAddress>friend" + std::to_string(i) +
                    "@seeded.example</EmailAddress><DisplayName>Friend</DisplayName><ApprovalStatus>Approved"
                    "</ApprovalStatus><AuthenticationStatus>Authenticated</AuthenticationStatus><Notes></Notes>"
                    "<Deleted>false</Deleted></EmailAddressStatus>";
    return "<Generated>2026-12-07T10:15:00.1230000+01:00</Generated><Username>" + address + "</Username><Password>" +
           password +
           "</Password><SoftwareVersion>01.02.0000</SoftwareVersion><ClientDataVersion>0</ClientDataVersion>" +
           settings + "<EmailAddressStatuses>" + statuses + "</EmailAddressStatuses>";
}

} // namespace

class TSetupWizardTest : public TWizardTest {
protected:
    void SetUp() override {
        TWizardTest::SetUp();
        if (HasFatalFailure())
            return;
        TSetupWizardPeers peers;
        peers.ShowHelpPage = [this](const std::string& page) { m_HelpPages.push_back(page); };
        peers.OpenMainWindow = [this] { ++m_MainWindowOpened; };
        peers.EndProgram = [this] { ++m_ProgramEnded; };
        peers.ReadContacts = [this] { return m_Contacts; };
        m_Wizard = std::make_unique<TfrmSetupWizard>(Model(), std::move(peers));
        TMessageBox::TakeAsked();
    }
    void TearDown() override {
        m_Wizard.reset();
        TMessageBox::TakeAsked();
        TWizardTest::TearDown();
    }

    TfrmSetupWizard& Wizard() { return *m_Wizard; }
    int Page() const { return m_Wizard->CurrentPage(); }
    bool Enabled(const char* button) { return Child<QPushButton>(Wizard(), button).isEnabled(); }
    // "< Back", "Next >", "Finish" enabled, as "BNF" with "-" for a disabled one.
    std::string Buttons() {
        return std::string(Enabled("btnBack") ? "B" : "-") + (Enabled("btnNext") ? "N" : "-") +
               (Enabled("btnFinish") ? "F" : "-");
    }
    // Clicks Next and waits until the Wait page (if any) has gone.
    void Next() {
        Click(Wizard(), "btnNext");
        ASSERT_TRUE(ProcessUntil([this] { return Page() != TPage::WaitPage; }));
    }
    // Clicks Next expecting exactly one message box, answered with Ok; returns it.
    TMessageBox::TAsked NextRefused() {
        TMessageBox::PresetAnswer(QMessageBox::Ok);
        const int page = Page();
        Next();
        std::vector<TMessageBox::TAsked> asked = TMessageBox::TakeAsked();
        EXPECT_EQ(asked.size(), 1u);
        EXPECT_EQ(Page(), page);
        return asked.empty() ? TMessageBox::TAsked{} : asked[0];
    }
    QListWidget& List(const char* name) { return Child<QListWidget>(Wizard(), name); }
    void ToPasswordPage(const QString& address) {
        Click(Wizard(), "btnNext");
        Type(Wizard(), "edtEmailAddress", address);
        Next();
        Next();
        ASSERT_EQ(Page(), TPage::PasswordPage);
    }

    std::vector<TContact> m_Contacts = SomeContacts;
    std::vector<std::string> m_HelpPages;
    int m_MainWindowOpened = 0;
    int m_ProgramEnded = 0;
    std::unique_ptr<TfrmSetupWizard> m_Wizard;
};

TEST(EmailAddressRuleTest, LocalPartAndDomainRules) {
    for (const char* good :
         {"john.smith@mail.example.com", "a@b.co", "\"john smith\"@example.com", "\"a\\\"b\".c@example.com",
          "a.b.c.d@example.com", "user1234@example.com", "o'brien+tag@sub-domain.example.org"})
        EXPECT_TRUE(IsValidEmailAddress(good)) << good;
    for (const char* bad : {"",
                            "no-at-sign.example.com",
                            "@example.com",
                            "user@",
                            "user12345@example.com",
                            "user@localhost",
                            "user@-example.com",
                            "user@example-.com",
                            "user@example..com",
                            ".user@example.com",
                            "user.@example.com",
                            "us..er@example.com",
                            "a.b.c.d.e@example.com",
                            "\"unclosed@example.com",
                            "\"a\"b@example.com",
                            "\"a\".@example.com",
                            "us er@example.com",
                            "us(er@example.com",
                            "user@exa_mple.com",
                            "user@example.com.",
                            "\"ends\\\"@example.com"})
        EXPECT_FALSE(IsValidEmailAddress(bad)) << bad;
    EXPECT_TRUE(IsValidEmailAddress(std::string(39, 'a') + "@example.com"));
    EXPECT_FALSE(IsValidEmailAddress(std::string(40, 'a') + "@example.com"));
}

TEST_F(TSetupWizardTest, ShowingResetsTheDataAndListsMailAccountsAndContacts) {
    {
        TUpdateScope<TTessivarBusinessLogic> scope(Model());
        Model().AddEmailAddress("old@sender.example", "Old");
    }
    Wizard().ShowWizard();
    EXPECT_TRUE(Wizard().isVisible());
    EXPECT_EQ(Wizard().windowTitle(), QStringLiteral("Tessivar Setup Wizard"));
    EXPECT_EQ(Model().EmailAddressCount(), 0) << "the local senders are thrown away";
    EXPECT_EQ(Page(), TPage::WelcomePage);
    EXPECT_EQ(Buttons(), "-N-");
    EXPECT_TRUE(Enabled("btnHelp"));
    ASSERT_EQ(List("lstbxMailAccounts").count(), 1);
    EXPECT_EQ(List("lstbxMailAccounts").item(0)->text(), QString::fromLatin1(MailAccountAddress));
    EXPECT_EQ(List("lstbxMailAccounts").item(0)->checkState(), Qt::Unchecked);
    QListWidget& contacts = List("lstbxContacts");
    ASSERT_EQ(contacts.count(), 3);
    EXPECT_EQ(contacts.item(0)->text(), QStringLiteral("anna first <anna@contacts.example>"));
    EXPECT_EQ(contacts.item(2)->text(), QStringLiteral("Zed Last <zed@contacts.example>"));
    for (int i = 0; i < contacts.count(); ++i)
        EXPECT_EQ(contacts.item(i)->checkState(), Qt::Checked);
    EXPECT_TRUE(Child<QRadioButton>(Wizard(), "rbNewAccount").isChecked());
    EXPECT_TRUE(Child<QRadioButton>(Wizard(), "rbNoThanks").isChecked());

    Click(Wizard(), "btnHelp");
    Click(Wizard(), "btnNext");
    Click(Wizard(), "btnHelp");
    EXPECT_EQ(m_HelpPages, (std::vector<std::string>{"setupWizard.html#Welcome", "setupWizard.html#Account"}));
    // A second showing while it is up only brings it forward: nothing typed is lost.
    Type(Wizard(), "edtExistingEmailAddress", "typed@example.com");
    Wizard().ShowWizard();
    EXPECT_EQ(Page(), TPage::AccountSetupPage);
    EXPECT_EQ(Child<QLineEdit>(Wizard(), "edtExistingEmailAddress").text(), QStringLiteral("typed@example.com"));
}

TEST_F(TSetupWizardTest, EveryInputCheckSaysItsMessageAndKeepsThePage) {
    ASSERT_NE(ServiceCall("AccountCreate",
                          "<Username>taken@example.com</Username><Password>secret1</Password>"
                          "<AdvertiserID></AdvertiserID>",
                          "ErrorMessages"),
              "(failed)");
    Wizard().ShowWizard();
    Click(Wizard(), "btnNext");
    EXPECT_EQ(Buttons(), "BN-");
    Click(Wizard(), "rbExistingAccount");
    EXPECT_TRUE(Child<QLineEdit>(Wizard(), "edtExistingEmailAddress").isVisible());
    TMessageBox::TAsked asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Email Address Required"));
    EXPECT_EQ(asked.Icon, QMessageBox::Information);
    EXPECT_EQ(asked.Text, QStringLiteral("To use an existing Tessivar account you must enter the email address you "
                                         "created it with."));
    Type(Wizard(), "edtExistingEmailAddress", "taken@example.com");
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Password Required"));
    EXPECT_EQ(asked.Text, QStringLiteral("To use an existing Tessivar account you must enter the email address and "
                                         "password you created it with."));

    Click(Wizard(), "rbNewAccount");
    Click(Wizard(), "btnNext");
    ASSERT_EQ(Page(), TPage::EmailAddressPage);
    Type(Wizard(), "edtEmailAddress", "not an address");
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Invalid Email Address"));
    EXPECT_EQ(asked.Text, QStringLiteral("This does not appear to be a valid email address. Email addresses must be "
                                         "in the format of \"yourname@example.com\"."));
    Type(Wizard(), "edtEmailAddress", "taken@example.com");
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Account Already Exists"));
    EXPECT_EQ(asked.Icon, QMessageBox::Warning);
    EXPECT_EQ(asked.Text, QStringLiteral("There is already an account set up for this email address. Either choose "
                                         "Back and then use this existing account, or create an account using a "
                                         "different email address."));

    Type(Wizard(), "edtEmailAddress", "free@example.com");
    Next();
    ASSERT_EQ(Page(), TPage::PasswordPage);
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Password Required"));
    EXPECT_EQ(asked.Text, QStringLiteral("You must enter the password you wish to use with your Tessivar account."));
    Type(Wizard(), "edtPassword", "abc");
    Type(Wizard(), "edtConfirmPassword", "abc");
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Password Too Short"));
    EXPECT_EQ(asked.Text,
              QStringLiteral("Passwords must be at least four characters long. Eight or more would be better."));
    Type(Wizard(), "edtPassword", "abcd");
    Type(Wizard(), "edtConfirmPassword", "abce");
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Password Mismatch"));
    EXPECT_EQ(asked.Text, QStringLiteral("The values you entered in the Password and Confirm Password fields are not "
                                         "the same. Please re-enter them."));
    Type(Wizard(), "edtConfirmPassword", "abcd");
    Next();
    ASSERT_EQ(Page(), TPage::MailAccountsPage);
    Next();
    ASSERT_EQ(Page(), TPage::ContactsPage);
    EXPECT_FALSE(Child<QListWidget>(Wizard(), "lstbxContacts").isVisible());
    Click(Wizard(), "rbSelectContacts");
    EXPECT_TRUE(Child<QListWidget>(Wizard(), "lstbxContacts").isVisible());
    asked = NextRefused();
    EXPECT_EQ(asked.Title, QStringLiteral("Permission Required"));
    EXPECT_EQ(asked.Text, QStringLiteral("To import your contacts into Tessivar you must allow Tessivar to notify the "
                                         "contacts that are imported that their email address has been added to "
                                         "your Tessivar Approved list.\n\nPlease select the \"I understand...\" "
                                         "check box to import your contacts."));

    // Back walks every page down to the Welcome page; nothing was stored on the way.
    for (int page = TPage::MailAccountsPage; page >= TPage::WelcomePage; --page) {
        Click(Wizard(), "btnBack");
        EXPECT_EQ(Page(), page);
    }
    EXPECT_TRUE(Model().SetupRequired());
    EXPECT_EQ(ServiceCall("AccountAvailability", "<Username>free@example.com</Username><Password></Password>",
                          "AccountStatus"),
              "Undefined");
}

TEST_F(TSetupWizardTest, NewAccountIsCreatedScreensTheCheckedAccountAndImportsOnlyTheCheckedContacts) {
    Wizard().ShowWizard();
    ToPasswordPage("new.user@example.com");
    Type(Wizard(), "edtPassword", "good secret");
    Type(Wizard(), "edtConfirmPassword", "good secret");
    Next();
    List("lstbxMailAccounts").item(0)->setCheckState(Qt::Checked);
    Next();
    Click(Wizard(), "rbSelectContacts");
    List("lstbxContacts").item(1)->setCheckState(Qt::Unchecked); // Bob
    // A click on the consent text ticks the box.
    QTest::mouseClick(&Child<QLabel>(Wizard(), "lblConsent"), Qt::LeftButton);
    ASSERT_TRUE(Child<QCheckBox>(Wizard(), "chkbxConsent").isChecked());
    Next();
    ASSERT_EQ(Page(), TPage::CompletePage);
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());
    EXPECT_EQ(Buttons(), "--F");

    EXPECT_FALSE(Model().SetupRequired()) << "the credentials are stored once the account exists";
    EXPECT_EQ(Model().Username(), "new.user@example.com");
    EXPECT_EQ(Model().Password(), "good secret");
    EXPECT_NE(ServiceCall("AccountAvailability", "<Username>new.user@example.com</Username><Password></Password>",
                          "AccountStatus"),
              "Undefined");
    ASSERT_EQ(Model().AccountCount(), 1);
    EXPECT_TRUE(Model().Accounts(0).Enabled());
    EXPECT_TRUE(Model().Accounts(0).Redirected());
    for (const char* imported : {"anna@contacts.example", "zed@contacts.example"}) {
        TTessivarEmailAddress* sender = Model().FindEmailAddress(imported);
        ASSERT_NE(sender, nullptr) << imported;
        EXPECT_EQ(sender->ApprovalStatus(), TApprovalStatus::Approved);
        EXPECT_EQ(sender->AuthenticationStatus(), TAuthenticationStatus::Imported);
    }
    EXPECT_EQ(Model().FindEmailAddress("anna@contacts.example")->DisplayName(), "anna first");
    EXPECT_EQ(Model().FindEmailAddress("bob@contacts.example"), nullptr);

    Click(Wizard(), "btnFinish");
    EXPECT_FALSE(Wizard().isVisible());
    EXPECT_EQ(m_MainWindowOpened, 1);
    EXPECT_EQ(m_ProgramEnded, 0);
    EXPECT_EQ(m_HelpPages, std::vector<std::string>{"setupComplete.html"});
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());
}

TEST_F(TSetupWizardTest, ExistingAccountIsJoinedWithItsSendersLoadedThroughTheProgressBar) {
    const int senders = 25;
    ASSERT_NE(ServiceCall("AccountCreate",
                          "<Username>old.user@example.com</Username><Password>old secret</Password>"
                          "<AdvertiserID></AdvertiserID>",
                          "ErrorMessages"),
              "(failed)");
    ASSERT_NE(ServiceCall("Synchronize", SeedSenders("old.user@example.com", "old secret", senders), "AccountStatus"),
              "(failed)");
    m_Contacts.clear();
    Wizard().ShowWizard();
    Click(Wizard(), "btnNext");
    Click(Wizard(), "rbExistingAccount");
    Type(Wizard(), "edtExistingEmailAddress", "old.user@example.com");
    Type(Wizard(), "edtExistingPassword", "wrong secret");
    TMessageBox::PresetAnswer(QMessageBox::Ok);
    Next();
    std::vector<TMessageBox::TAsked> asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Account Not Found"));
    EXPECT_EQ(asked[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(asked[0].Text, QStringLiteral("An account corresponding to this email address and password could not be "
                                            "found. Check your details and try again."));
    EXPECT_EQ(Page(), TPage::AccountSetupPage);

    // What the Wait page shows whenever the bar moves.
    std::vector<std::pair<QString, int>> moves;
    QProgressBar& bar = Wizard().ProgressBar();
    QObject::connect(&bar, &QProgressBar::valueChanged, &Wizard(), [&](int value) {
        if (bar.isVisibleTo(&Wizard()))
            moves.emplace_back(Child<QLabel>(Wizard(), "lblWaitTitle").text(), value);
    });
    Type(Wizard(), "edtExistingPassword", "old secret");
    Next();
    ASSERT_EQ(Page(), TPage::MailAccountsPage);
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());
    EXPECT_EQ(Model().EmailAddressCount(), senders);
    EXPECT_GE(bar.maximum(), senders);
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back(), std::make_pair(QStringLiteral("Synchronizing Account"), bar.maximum()));
    EXPECT_GE(moves.size(), size_t(senders));
    EXPECT_TRUE(Model().SetupRequired()) << "the credentials wait for the end of the wizard";

    // Without contacts the Mail Accounts page ends the set-up.
    Next();
    ASSERT_EQ(Page(), TPage::CompletePage);
    Click(Wizard(), "btnBack");
    EXPECT_EQ(Page(), TPage::CompletePage);
    Click(Wizard(), "btnFinish");
    EXPECT_FALSE(Wizard().isVisible());
    EXPECT_FALSE(Model().SetupRequired());
    EXPECT_EQ(Model().Username(), "old.user@example.com");
    EXPECT_EQ(Model().Password(), "old secret");
    EXPECT_EQ(m_MainWindowOpened, 1);
}

TEST_F(TSetupWizardTest, ServiceFailuresReturnToThePageThatCanCorrectThem) {
    m_Contacts.clear();
    Wizard().ShowWizard();
    ToPasswordPage("first@example.com");
    Type(Wizard(), "edtPassword", "good secret");
    Type(Wizard(), "edtConfirmPassword", "good secret");
    Next();
    StopService();
    // The account cannot be finalised: asked twice (Yes tries again), then No goes back to Welcome.
    TMessageBox::PresetAnswer(QMessageBox::Yes);
    TMessageBox::PresetAnswer(QMessageBox::No);
    Click(Wizard(), "btnNext");
    ASSERT_TRUE(ProcessUntil([this] { return Page() == TPage::WelcomePage; }));
    std::vector<TMessageBox::TAsked> asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Account Finalization Error"));
    EXPECT_EQ(asked[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(asked[0].Buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(asked[0].Text, QStringLiteral("An error occurred while attempting to finalize your account. Would you "
                                            "like the setup wizard to try to finalize your account again?"));
    EXPECT_TRUE(Model().SetupRequired());

    Click(Wizard(), "btnNext");
    Click(Wizard(), "btnNext");
    TMessageBox::TAsked refused = NextRefused();
    EXPECT_EQ(refused.Title, QStringLiteral("Server Address Verification Failed"));
    EXPECT_EQ(refused.Icon, QMessageBox::Critical);
    EXPECT_EQ(refused.Text, QStringLiteral("A server error occurred while trying to verify the availability of this "
                                           "email address. Please try again shortly."));
    Click(Wizard(), "btnBack");
    Click(Wizard(), "rbExistingAccount");
    Type(Wizard(), "edtExistingEmailAddress", "first@example.com");
    Type(Wizard(), "edtExistingPassword", "good secret");
    refused = NextRefused();
    EXPECT_EQ(refused.Title, QStringLiteral("Server Account Verification Failed"));
    EXPECT_EQ(refused.Text, QStringLiteral("A server error occurred while trying to verify your account."));
}

TEST_F(TSetupWizardTest, ClosingBeforeTheEndAsksAndOnlyYesEndsTheProgram) {
    Wizard().ShowWizard();
    ToPasswordPage("closing@example.com");
    TMessageBox::PresetAnswer(QMessageBox::No);
    EXPECT_FALSE(Wizard().close());
    EXPECT_TRUE(Wizard().isVisible());
    EXPECT_EQ(Page(), TPage::PasswordPage);
    EXPECT_EQ(m_ProgramEnded, 0);
    std::vector<TMessageBox::TAsked> asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Confirm Exit Setup"));
    EXPECT_EQ(asked[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(asked[0].Text, QStringLiteral("Are you sure you want to exit the setup wizard without completing it? "
                                            "Doing so will exit Tessivar."));
    // The escape key asks the same question.
    TMessageBox::PresetAnswer(QMessageBox::Yes);
    QTest::keyClick(&Wizard(), Qt::Key_Escape);
    EXPECT_FALSE(Wizard().isVisible());
    EXPECT_EQ(m_ProgramEnded, 1);
    EXPECT_EQ(m_MainWindowOpened, 0);
    EXPECT_TRUE(Model().SetupRequired());
}

TEST_F(TSetupWizardTest, AccessLockTakenOverFromTheAccountKeepsTheMainWindowClosedAfterFinish) {
    ASSERT_NE(ServiceCall("AccountCreate",
                          "<Username>locked@example.com</Username><Password>lock secret</Password>"
                          "<AdvertiserID></AdvertiserID>",
                          "ErrorMessages"),
              "(failed)");
    ASSERT_NE(
        ServiceCall("Synchronize",
                    SeedSenders("locked@example.com", "lock secret", 1,
                                "<AccountSettings><Signature></Signature><BlockedWords></BlockedWords><AdultWords>"
                                "</AdultWords><UnlockPassword>pin</UnlockPassword><LockAccess>true</LockAccess>"
                                "</AccountSettings>"),
                    "AccountStatus"),
        "(failed)");
    m_Contacts.clear();
    Wizard().ShowWizard();
    Click(Wizard(), "btnNext");
    Click(Wizard(), "rbExistingAccount");
    Type(Wizard(), "edtExistingEmailAddress", "locked@example.com");
    Type(Wizard(), "edtExistingPassword", "lock secret");
    Next();
    ASSERT_EQ(Page(), TPage::MailAccountsPage);
    EXPECT_TRUE(Model().LockAccess());
    Next();
    ASSERT_EQ(Page(), TPage::CompletePage);
    Click(Wizard(), "btnFinish");
    EXPECT_FALSE(Wizard().isVisible());
    EXPECT_FALSE(Model().SetupRequired());
    EXPECT_EQ(m_MainWindowOpened, 0);
    EXPECT_EQ(m_HelpPages, std::vector<std::string>{"setupComplete.html"});
}
