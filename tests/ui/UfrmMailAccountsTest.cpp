#include "ui/UfrmMailAccounts.h"

#include "base/URegistry.h"
#include "core/UTessivarAccount.h"
#include "ui/UMessageBox.h"

#include "tests/core/ModelFixture.h"
#include "tests/ui/DialogDriver.h"

#include <QListWidget>

namespace {

class MailAccountsTest : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        // One mail program account behind me@example.com; other@example.com has none.
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001", true));
        registry.WriteString("Account Name", "Home");
        registry.WriteString("SMTP Email Address", "me@example.com");
        registry.WriteString("POP3 User Name", "me");
        registry.WriteString("POP3 Server", "pop.example.com");
        registry.WriteInteger("POP3 Port", 110);
        registry.CloseKey();
        Model().Load();
        Model().AddAccount("other@example.com", "other", "pop.example.com", 110);
        TMessageBox::TakeAsked();
    }
    TTessivarAccount& Account(const std::string& address) {
        for (int i = 0; i < Model().AccountCount(); ++i)
            if (Model().Accounts(i).EmailAddress() == address)
                return Model().Accounts(i);
        throw std::runtime_error("no account " + address);
    }
    QStringList Entries() const {
        QStringList entries;
        for (int i = 0; i < m_Window.List().count(); ++i)
            entries << m_Window.List().item(i)->text() + (m_Window.List().item(i)->checkState() == Qt::Checked
                                                              ? QStringLiteral(" [x]")
                                                              : QStringLiteral(" [ ]"));
        return entries;
    }

    TfrmMailAccounts m_Window;
};

} // namespace

TEST_F(MailAccountsTest, ListsAccountsWithAMailProgramAccountOnceWithTheirEnabledFlag) {
    ASSERT_TRUE(Account("me@example.com").HasMailClientAccounts());
    Model().StoreAccountEnabled(Account("me@example.com"), true);
    QStringList shown;
    WhenShown(m_Window, {[&] {
                  shown = Entries();
                  EXPECT_EQ(m_Window.windowTitle(), QStringLiteral("Mail Accounts"));
                  EXPECT_TRUE(m_Window.windowFlags() & Qt::WindowStaysOnTopHint);
                  Click(m_Window, "btnCancel");
              }});
    EXPECT_FALSE(m_Window.EditMailAccounts(Model()));
    EXPECT_EQ(shown, QStringList{QStringLiteral("me@example.com [x]")});
    EXPECT_TRUE(Account("me@example.com").Enabled());
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());
}

// A changed check mark switches the account and warns once; OK without a change says nothing.
TEST_F(MailAccountsTest, ChangedCheckMarkSwitchesTheAccountAndWarnsAboutRestarting) {
    Model().StoreAccountEnabled(Account("me@example.com"), true);
    WhenShown(m_Window, {[&] { Click(m_Window, "btnOk"); }});
    EXPECT_FALSE(m_Window.EditMailAccounts(Model()));
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());

    WhenShown(m_Window, {[&] {
                  m_Window.List().item(0)->setCheckState(Qt::Unchecked);
                  TMessageBox::PresetAnswer(QMessageBox::Ok);
                  Click(m_Window, "btnOk");
              }});
    EXPECT_TRUE(m_Window.EditMailAccounts(Model()));
    EXPECT_FALSE(Account("me@example.com").Enabled());
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(asked[0].Title, QStringLiteral("Warning"));
    EXPECT_EQ(asked[0].Text,
              QStringLiteral("You will need to restart any mail clients you have running for these changes to take "
                             "effect."));
}
