// The contact import wizard, shown modally over a model that keeps its data: the consent asked for,
// only the checked contacts imported as approved, imported senders, and the exit question.

#include "ui/UfrmImportWizard.h"
#include "core/UTessivarEmailAddress.h"
#include "tests/ui/DialogDriver.h"
#include "tests/ui/WizardFixture.h"
#include "ui/UMessageBox.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QApplication>
#include <QTest>

using TPage = TfrmImportWizard::TPage;

namespace {

// The steps run once the wizard is up and has prepared itself (it lets events run while it reads
// the address books, so a step armed for its showing could otherwise run on the Wait page).
void WhenPrepared(TfrmImportWizard& wizard, std::vector<std::function<void()>> steps) {
    auto* poll = new QTimer(&wizard);
    QObject::connect(poll, &QTimer::timeout, &wizard, [poll, &wizard, steps = std::move(steps)]() mutable {
        if (!wizard.isVisible() || wizard.CurrentPage() == TPage::WaitPage)
            return;
        poll->deleteLater();
        poll->stop();
        WhenShown(wizard, std::move(steps));
    });
    poll->start(10);
}

} // namespace

class TImportWizardTest : public TWizardTest {
protected:
    void SetUp() override {
        TWizardTest::SetUp();
        if (HasFatalFailure())
            return;
        m_Wizard = std::make_unique<TfrmImportWizard>([this](const std::string& page) { m_HelpPages.push_back(page); },
                                                      [] {
                                                          return std::vector<TContact>{{"Carol", "carol@book.example"},
                                                                                       {"Dave", "dave@book.example"},
                                                                                       {"Carol", "carol@book.example"}};
                                                      });
        TMessageBox::TakeAsked();
    }
    void TearDown() override {
        m_Wizard.reset();
        TMessageBox::TakeAsked();
        TWizardTest::TearDown();
    }
    std::string Buttons() {
        std::string states;
        for (const char* name : {"btnBack", "btnNext", "btnFinish"})
            states += Child<QPushButton>(*m_Wizard, name).isEnabled() ? name[3] : '-';
        return states;
    }

    std::unique_ptr<TfrmImportWizard> m_Wizard;
    std::vector<std::string> m_HelpPages;
};

TEST_F(TImportWizardTest, RefusesWithoutConsentThenImportsOnlyTheCheckedContactsKeepingTheData) {
    {
        TUpdateScope<TTessivarBusinessLogic> scope(Model());
        Model().AddEmailAddress("kept@sender.example", "Kept");
    }
    TfrmImportWizard& wizard = *m_Wizard;
    std::vector<TMessageBox::TAsked> asked;
    WhenPrepared(wizard,
                 {[&] {
                      EXPECT_EQ(wizard.windowTitle(), QStringLiteral("Tessivar Contact Import Wizard"));
                      EXPECT_EQ(wizard.CurrentPage(), TPage::WelcomePage);
                      EXPECT_EQ(Buttons(), "-N-");
                      Click(wizard, "btnHelp");
                      Click(wizard, "btnNext");
                      EXPECT_EQ(Buttons(), "BN-");
                      Click(wizard, "btnHelp");
                      emit Child<QLabel>(wizard, "lblExample").linkActivated(QStringLiteral("importEmail.html"));
                  },
                  [&] {
                      QListWidget& list = Child<QListWidget>(wizard, "lstbxContacts");
                      ASSERT_EQ(list.count(), 2) << "an entry is listed once";
                      EXPECT_TRUE(Child<QCheckBox>(wizard, "chkbxConsent").isVisible());
                      ClickAnswered(wizard, "btnNext");
                      asked = TMessageBox::TakeAsked();
                      EXPECT_EQ(wizard.CurrentPage(), TPage::ContactsPage);
                      Click(wizard, "btnSelectNone");
                      list.item(1)->setCheckState(Qt::Checked);
                      Click(wizard, "chkbxConsent");
                      Click(wizard, "btnNext");
                      EXPECT_EQ(wizard.CurrentPage(), TPage::CompletePage);
                      EXPECT_EQ(Buttons(), "--F");
                      Click(wizard, "btnFinish");
                  }});
    EXPECT_TRUE(wizard.ImportContacts(Model()));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Permission Required"));
    EXPECT_EQ(m_HelpPages, (std::vector<std::string>{"importWizard.html#Welcome", "importWizard.html#ImportContacts",
                                                     "importEmail.html"}));
    EXPECT_NE(Model().FindEmailAddress("kept@sender.example"), nullptr);
    EXPECT_EQ(Model().FindEmailAddress("carol@book.example"), nullptr);
    TTessivarEmailAddress* dave = Model().FindEmailAddress("dave@book.example");
    ASSERT_NE(dave, nullptr);
    EXPECT_EQ(dave->ApprovalStatus(), TApprovalStatus::Approved);
    EXPECT_EQ(dave->AuthenticationStatus(), TAuthenticationStatus::Imported);
}

TEST_F(TImportWizardTest, ClosingBeforeTheEndAsksAndNoKeepsItOpen) {
    TfrmImportWizard& wizard = *m_Wizard;
    std::vector<TMessageBox::TAsked> asked;
    WhenPrepared(wizard, {[&] {
                     Click(wizard, "btnNext");
                     TMessageBox::PresetAnswer(QMessageBox::No);
                     wizard.close();
                     EXPECT_TRUE(wizard.isVisible());
                     EXPECT_EQ(wizard.CurrentPage(), TPage::ContactsPage);
                     TMessageBox::PresetAnswer(QMessageBox::Yes);
                     wizard.close();
                     asked = TMessageBox::TakeAsked();
                 }});
    EXPECT_FALSE(wizard.ImportContacts(Model()));
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].Title, QStringLiteral("Confirm Exit Wizard"));
    EXPECT_EQ(asked[1].Icon, QMessageBox::Warning);
    EXPECT_EQ(asked[1].Text,
              QStringLiteral("Are you sure you want to exit the import contacts without completing it?"));
    EXPECT_EQ(Model().FindEmailAddress("carol@book.example"), nullptr);
}

// The keyboard: a page opens with its first field focused, and Enter presses "Next >" (on the last
// page "Finish"); the Contacts page keeps its items together at the top.
TEST_F(TImportWizardTest, EnterPressesNextAndEachPageOpensWithItsFirstFieldFocused) {
    TfrmImportWizard& wizard = *m_Wizard;
    WhenPrepared(wizard, {[&] {
                     EXPECT_EQ(wizard.CurrentPage(), TPage::WelcomePage);
                     EXPECT_TRUE(Child<QPushButton>(wizard, "btnNext").isDefault());
                     QTest::keyClick(&wizard, Qt::Key_Return);
                     EXPECT_EQ(wizard.CurrentPage(), TPage::ContactsPage);
                     // The list of contacts is the page's first field.
                     QWidget* focused = QApplication::focusWidget();
                     ASSERT_NE(focused, nullptr);
                     EXPECT_TRUE(wizard.findChild<QWidget*>("tbpgContacts")->isAncestorOf(focused))
                         << focused->objectName().toStdString();
                     Click(wizard, "chkbxConsent");
                     QTest::keyClick(&wizard, Qt::Key_Return);
                     EXPECT_EQ(wizard.CurrentPage(), TPage::CompletePage);
                     EXPECT_TRUE(Child<QPushButton>(wizard, "btnFinish").isDefault());
                     QTest::keyClick(&wizard, Qt::Key_Return);
                 }});
    EXPECT_TRUE(wizard.ImportContacts(Model()));
}
