#include "ui/UfrmMailAccounts.h"

#include "base/URegistry.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UIMAPPasswords.h"
#include "mail/UIMAPMailbox.h"
#include "mail/USockets.h"
#include "ui/UMessageBox.h"
#include "ui/UfrmIMAPAccount.h"

#include "tests/core/ModelFixture.h"
#include "tests/support/EmptyIMAPMailbox.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include "tests/ui/DialogDriver.h"
#include "tests/ui/ProcessUntil.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QListWidget>
#include <QSpinBox>

namespace {

class MailAccountsTest : public TModelTest {
protected:
    void SetUp() override {
        // Never the keyring of whoever runs the tests.
        ::setenv("TESSIVAR_PASSWORD_STORE", "file", 1);
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
            if (Model().Accounts(i).EmailAddress() == address && !Model().Accounts(i).IsIMAP())
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

    void TearDown() override {
        TModelTest::TearDown();
        ::unsetenv("TESSIVAR_PASSWORD_STORE");
    }

    TfrmMailAccounts m_Window;
};

// A logged-in mailbox that only counts its logouts.
class TAcceptedLogin : public TEmptyIMAPMailbox {
public:
    std::vector<uint32_t> UIDsSince(int) override { return {1}; }
    // INBOX holds one message, from bob@example.org; reading it tells on which thread that happened.
    std::optional<std::string> FetchHeader(uint32_t) override {
        if (ReadOn)
            *ReadOn = std::this_thread::get_id();
        return "From: Bob <bob@example.org>\r\nSubject: hello\r\n\r\n";
    }
    std::thread::id* ReadOn = nullptr;
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

// An IMAP account of a Thunderbird profile is offered; its add window tries the login off the
// user-interface thread, keeps nothing for a refused one, and adds the account (enabled, its
// password kept) once the server takes it.
TEST_F(MailAccountsTest, OfferedIMAPAccountIsAddedOnlyAfterTheServerTookTheLogin) {
    const std::string root = m_Dir + "thunderbird";
    std::filesystem::create_directories(root + "/abc.default");
    std::ofstream(root + "/profiles.ini") << "[Profile0]\nName=default\nIsRelative=1\nPath=abc.default\nDefault=1\n";
    std::ofstream(root + "/abc.default/prefs.js")
        << "user_pref(\"mail.accountmanager.accounts\", \"account1\");\n"
           "user_pref(\"mail.account.account1.server\", \"server1\");\n"
           "user_pref(\"mail.account.account1.identities\", \"id1\");\n"
           "user_pref(\"mail.identity.id1.useremail\", \"me@example.com\");\n"
           "user_pref(\"mail.server.server1.type\", \"imap\");\n"
           "user_pref(\"mail.server.server1.hostname\", \"imap.example.com\");\n"
           "user_pref(\"mail.server.server1.userName\", \"me\");\n"
           "user_pref(\"mail.server.server1.socketType\", 2);\n"
           "user_pref(\"mail.server.server1.port\", 1143);\n";
    ::setenv("TESSIVAR_THUNDERBIRD_DIR", root.c_str(), 1);

    std::atomic<bool> accept{false};
    std::atomic<int> tries{0};
    std::thread::id triedOn;
    std::thread::id readOn;
    m_Window.SetIMAPConnector([&](const TIMAPServer& server, const std::string& password, const std::string&, int,
                                  const std::shared_ptr<TAbortSignal>&) {
        ++tries;
        triedOn = std::this_thread::get_id();
        EXPECT_EQ(server.Port, 1143);
        EXPECT_EQ(server.Security, TIMAPSecurity::STARTTLS);
        if (!accept || password != "right")
            throw EIMAPLoginRefused("[AUTHENTICATIONFAILED] Authentication failed.");
        auto mailbox = std::make_unique<TAcceptedLogin>();
        mailbox->ReadOn = &readOn;
        return std::unique_ptr<TIMAPMailbox>(std::move(mailbox));
    });
    TfrmIMAPAccount& add = m_Window.IMAPAccountWindow();
    const auto settled = [&] { return Child<QPushButton>(add, "btnOk").isEnabled(); };
    const std::vector<std::function<void()>> addSteps{[&] {
        EXPECT_EQ(Child<QLineEdit>(add, "edtAddress").text(), QStringLiteral("me@example.com"));
        EXPECT_EQ(Child<QLineEdit>(add, "edtServer").text(), QStringLiteral("imap.example.com"));
        EXPECT_EQ(Child<QComboBox>(add, "cmbSecurity").currentText(), QStringLiteral("STARTTLS"));
        EXPECT_EQ(Child<QSpinBox>(add, "spnPort").value(), 1143);
        EXPECT_EQ(Child<QLineEdit>(add, "edtUser").text(), QStringLiteral("me"));
        // Nothing is tried before the entries are complete.
        Click(add, "btnTest");
        EXPECT_EQ(tries, 0);
        Type(add, "edtPassword", QStringLiteral("wrong"));
        Click(add, "btnTest");
        EXPECT_TRUE(ProcessEventsUntil([&] { return tries == 1 && settled(); }, 5000));
        EXPECT_EQ(add.Status(), QStringLiteral("Could not log in: [AUTHENTICATIONFAILED] Authentication failed."));
        accept = true;
        Click(add, "btnOk");
        EXPECT_TRUE(ProcessEventsUntil([&] { return tries == 2 && settled(); }, 5000));
        EXPECT_TRUE(add.isVisible());
        Type(add, "edtPassword", QStringLiteral("right"));
        Click(add, "btnOk");
        EXPECT_TRUE(ProcessEventsUntil([&] { return !add.isVisible(); }, 5000));
    }};
    QStringList shown;
    WhenShown(m_Window, {[&] {
                             EXPECT_EQ(m_Window.FoundList().count(), 1);
                             WhenShown(add, addSteps);
                             Click(m_Window, "btnAddFound");
                             shown = Entries();
                             // Added: no longer offered.
                             EXPECT_EQ(m_Window.FoundList().count(), 0);
                             EXPECT_FALSE(m_Window.FoundList().isVisible());
                             Click(m_Window, "btnOk");
                         }});
    EXPECT_TRUE(m_Window.EditMailAccounts(Model()));
    EXPECT_NE(triedOn, std::this_thread::get_id());
    // The senders of INBOX were read off the user-interface thread and approved as imported.
    EXPECT_NE(readOn, std::thread::id());
    EXPECT_NE(readOn, std::this_thread::get_id());
    ASSERT_NE(Model().FindEmailAddress("bob@example.org"), nullptr);
    EXPECT_TRUE(Model().FindEmailAddress("bob@example.org")->IsApproved());
    EXPECT_TRUE(shown.contains(QStringLiteral("me@example.com (IMAP, imap.example.com:1143, STARTTLS) [x]")))
        << shown.join(", ").toStdString();
    TTessivarAccount* imap = nullptr;
    for (int i = 0; i < Model().AccountCount(); ++i)
        if (Model().Accounts(i).IsIMAP())
            imap = &Model().Accounts(i);
    ASSERT_NE(imap, nullptr);
    EXPECT_TRUE(imap->Enabled());
    EXPECT_EQ(ReadIMAPPassword(imap->IMAPServer()), "right");
    // Only POP3 changes need the mail programs restarted.
    EXPECT_TRUE(TMessageBox::TakeAsked().empty());

    // Its check mark switches it alone, not the POP3 account of the same address.
    Model().StoreAccountEnabled(Account("me@example.com"), true);
    WhenShown(m_Window, {[&] {
                             for (int i = 0; i < m_Window.List().count(); ++i)
                                 if (m_Window.List().item(i)->text().contains(QStringLiteral("IMAP")))
                                     m_Window.List().item(i)->setCheckState(Qt::Unchecked);
                             TMessageBox::PresetAnswer(QMessageBox::Ok);
                             Click(m_Window, "btnOk");
                         }});
    EXPECT_TRUE(m_Window.EditMailAccounts(Model()));
    EXPECT_FALSE(imap->Enabled());
    EXPECT_TRUE(Account("me@example.com").Enabled());
    // Held mail stays on the server: the user is told where it is, and nothing about mail programs.
    const auto asked = TMessageBox::TakeAsked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].Icon, QMessageBox::Information);
    EXPECT_TRUE(asked[0].Text.contains(QStringLiteral("\"Tessivar/Awaiting Authorization\"")));

    // Checked again while the POP3 account of the address screens it: refused, and said so.
    WhenShown(m_Window, {[&] {
                             for (int i = 0; i < m_Window.List().count(); ++i)
                                 if (m_Window.List().item(i)->text().contains(QStringLiteral("IMAP")))
                                     m_Window.List().item(i)->setCheckState(Qt::Checked);
                             TMessageBox::PresetAnswer(QMessageBox::Ok);
                             Click(m_Window, "btnOk");
                         }});
    EXPECT_FALSE(m_Window.EditMailAccounts(Model()));
    EXPECT_FALSE(imap->Enabled());
    const auto refused = TMessageBox::TakeAsked();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused[0].Text.contains(QStringLiteral("me@example.com (IMAP)")));
}

// Closing the add window while the login check waits for a server that never answers ends that
// connection at once: the window does not hold the user for the connect time-out, nor does the next
// check wait for the old one.
TEST_F(MailAccountsTest, ClosingTheAddWindowEndsAHangingLoginCheck) {
    std::atomic<bool> waiting{false}, ended{false};
    m_Window.SetIMAPConnector([&](const TIMAPServer&, const std::string&, const std::string&, int timeoutMs,
                                  const std::shared_ptr<TAbortSignal>& abort) -> std::unique_ptr<TIMAPMailbox> {
        waiting = true;
        pollfd signal{abort->Handle(), POLLIN, 0};
        ::poll(&signal, 1, timeoutMs);
        ended = true;
        throw ESocketAborted("Connection aborted.");
    });
    TfrmIMAPAccount& add = m_Window.IMAPAccountWindow();
    std::chrono::steady_clock::duration took{};
    WhenShown(add, {[&] {
                  Type(add, "edtAddress", QStringLiteral("me@example.net"));
                  Type(add, "edtServer", QStringLiteral("imap.example.net"));
                  Type(add, "edtUser", QStringLiteral("me"));
                  Type(add, "edtPassword", QStringLiteral("secret"));
                  Click(add, "btnTest");
                  EXPECT_TRUE(ProcessEventsUntil([&] { return waiting.load(); }, 5000));
                  const auto start = std::chrono::steady_clock::now();
                  Click(add, "btnCancel");
                  EXPECT_TRUE(ProcessEventsUntil([&] { return ended.load(); }, 5000));
                  took = std::chrono::steady_clock::now() - start;
              }});
    EXPECT_EQ(add.AddIMAPAccount(Model()), nullptr);
    EXPECT_LT(took, std::chrono::seconds(1));
}
