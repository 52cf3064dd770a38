// The tray application end to end: Dovecot as the real mailbox, poplib as the mail program, and the
// real main window in between, driven by its buttons. New mail from a stranger appears under "Mail
// Awaiting Authorization"; approving it "By Sender" moves it to "Mail Awaiting Delivery", and the
// next login delivers it byte for byte.

#include "base/URegistry.h"
#include "core/UTessivarAccount.h"
#include "mail/UTessivarPOP3Server.h"
#include "tests/support/DovecotServer.h"
#include "tests/ui/MainWindowFixture.h"
#include "ui/UTessivarGridView.h"
#include "ui/UTessivarLists.h"
#include "ui/UTessivarPages.h"

#include <QProcess>
#include <QPushButton>
#include <QTest>

namespace {

const char* const MailProgramKey = "Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001";

const std::string Message = "From: Stranger <stranger@far.example>\r\n"
                            "To: user@mail.test\r\n"
                            "Subject: Hello from afar\r\n"
                            "Message-ID: <hello.1@far.example>\r\n"
                            "\r\n"
                            "A first line.\r\n"
                            ".A line that starts with a dot.\r\n";

// poplib logs in, fetches every message and prints each one's bytes as hex, one per line.
const char* const MailProgram = R"(
import poplib, sys
pop = poplib.POP3("127.0.0.1", int(sys.argv[1]), timeout=60)
pop.user("user"); pop.pass_("secret")
count = len(pop.list()[1])
for number in range(1, count + 1):
    print(b"\r\n".join(pop.retr(number)[1]).hex() + "0d0a")
    pop.dele(number)
pop.quit()
)";

} // namespace

class TMainWindowEndToEndTest : public TMainWindowTest {
protected:
    // The mail program's account, as the first start finds it, pointing at a fresh Dovecot.
    void BeforeStart() override {
        m_Dovecot = std::make_unique<TDovecotServer>();
        m_Dovecot->AddUser("user", "secret");
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(MailProgramKey, true));
        registry.WriteString("Account Name", "Mail");
        registry.WriteString("SMTP Email Address", "user@mail.test");
        registry.WriteString("POP3 User Name", "user");
        registry.WriteString("POP3 Server", "127.0.0.1");
        registry.WriteInteger("POP3 Port", m_Dovecot->Port());
    }
    void TearDown() override {
        TMainWindowTest::TearDown();
        m_Dovecot.reset();
    }

    // Runs the mail program against the local server while the window serves it; its messages.
    std::vector<std::string> Login(int port) {
        QProcess program;
        program.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(MailProgram),
                                                  QString::number(port)});
        EXPECT_TRUE(ProcessUntil([&program] { return program.state() == QProcess::NotRunning; }, 60000));
        EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
        std::vector<std::string> messages;
        for (const QByteArray& line : program.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                messages.push_back(QByteArray::fromHex(line).toStdString());
        return messages;
    }

    std::unique_ptr<TDovecotServer> m_Dovecot;
};

TEST_F(TMainWindowEndToEndTest, NewMailIsApprovedBySenderInTheWindowAndDeliveredAtTheNextLogin) {
    // Screen the account and set up the web account (the challenge then fails quietly: the service
    // host refuses).
    ASSERT_EQ(Model().AccountCount(), 1);
    Model().Accounts(0).SetEnabled(true);
    Model().SetUsername("user@mail.test");
    Model().SetPassword("web secret");
    const int port = Model().Accounts(0).Server().Port();
    m_Dovecot->AddMessage("user", Message);

    EXPECT_TRUE(Login(port).empty());
    EXPECT_EQ(m_Dovecot->MessageCount("user"), 0);
    Main().OpenMainWindow();
    Settle();
    ASSERT_EQ(Main().Pages().PendingTabs().currentIndex(), int(TTessivarPages::AwaitingAuthorizationPage));
    TEmailGrid& awaiting = Main().Views().AwaitingAuthorization();
    ASSERT_EQ(awaiting.rowCount(), 1);
    EXPECT_EQ(awaiting.data(awaiting.index(0, TEmailGrid::SubjectColumn)).toString(), QStringLiteral("Hello from afar"));

    TTessivarGridView& list = Main().Pages().View(TTessivarPages::PendingMailPage,
                                                  TTessivarPages::AwaitingAuthorizationPage);
    list.selectRow(0);
    QPushButton* bySender = Main().Pages().Button(QStringLiteral("AwaitingAuthorizationApproveBySender"));
    ASSERT_NE(bySender, nullptr);
    ASSERT_TRUE(bySender->isEnabled());
    QTest::mouseClick(bySender, Qt::LeftButton);
    Settle();
    EXPECT_EQ(awaiting.rowCount(), 0);
    ASSERT_EQ(Main().Views().AwaitingDelivery().rowCount(), 1);
    EXPECT_EQ(Main().Views().Senders().rowCount(), 1);

    const std::vector<std::string> delivered = Login(port);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], Message);
    Settle();
    EXPECT_EQ(Main().Views().AwaitingDelivery().rowCount(), 0);
}
