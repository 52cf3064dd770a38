#include "base/URegistry.h"
#include "clients/UTessivarClientDriver.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "mail/UTessivarPOP3Server.h"

#include "tests/core/ModelFixture.h"

#include <filesystem>

namespace {
class UTessivarRecordsTest : public TModelTest {};
} // namespace

TEST_F(UTessivarRecordsTest, StoredLowerCaseApprovalCodeReadsUndefined) {
    AddDomainRow(1, "lower.test", "a");
    AddDomainRow(2, "upper.test", "A");
    Model().Startup();
    ASSERT_EQ(Model().DomainNameCount(), 2);
    EXPECT_EQ(Model().FindDomainName("lower.test")->ApprovalStatus(), TApprovalStatus::Undefined);
    EXPECT_TRUE(Model().FindDomainName("UPPER.test")->IsApproved());
}

TEST_F(UTessivarRecordsTest, DeletingAnApprovedDomainClearsItsApprovalAndMarksIt) {
    AddDomainRow(1, "example.com", "A");
    Model().Startup();
    TTessivarDomainName& domain = Model().DomainNames(0);
    EXPECT_FALSE(domain.Modified());
    EXPECT_EQ(domain.PendingSyncID(), 0);
    domain.Delete();
    EXPECT_TRUE(domain.Deleted());
    EXPECT_EQ(domain.ApprovalStatus(), TApprovalStatus::Undefined);
    EXPECT_TRUE(domain.Modified());
    EXPECT_EQ(domain.PendingSyncID(), -1);
    EXPECT_TRUE(Model().SynchronizationRequired());
    EXPECT_EQ(Cell("SELECT ApprovalStatus || Deleted || Modified FROM DomainNames"), "?11");

    domain.Approve();
    EXPECT_FALSE(domain.Deleted());
    EXPECT_EQ(Cell("SELECT ApprovalStatus || Deleted FROM DomainNames"), "A0");
}

TEST_F(UTessivarRecordsTest, EmailDeletionKeepsItsOwnApproval) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1, 0, "A");
    Model().Startup();
    TTessivarEmail& email = Model().Emails(0);
    EXPECT_TRUE(email.IsApprovedOnce());
    EXPECT_TRUE(email.IsAwaitingDelivery());
    email.Delete();
    EXPECT_TRUE(email.IsApprovedOnce());
    EXPECT_FALSE(email.IsAwaitingDelivery());
    EXPECT_FALSE(Model().SynchronizationRequired()); // emails take no part in synchronisation
    EXPECT_EQ(Cell("SELECT ApprovalStatus || Deleted FROM Emails"), "A1");
}

TEST_F(UTessivarRecordsTest, MessageFilesAreNamedByEightHexDigits) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(255, 0, 1);
    AddEmailRow(26, 0, 1);
    Model().Startup();
    // Loaded in row order: 26, then 255.
    EXPECT_EQ(Model().Emails(0).FileName(), m_Dir + "store/0000001A.eml");
    EXPECT_EQ(Model().Emails(1).FileName(), m_Dir + "store/000000FF.eml");

    std::filesystem::remove(Model().Emails(0).FileName());
    try {
        Model().Emails(0).FileSize();
        ADD_FAILURE() << "a missing message file has no size";
    } catch (const TTessivarBusinessLogicException& error) {
        EXPECT_NE(error.Message().find("0000001A.eml"), std::string::npos);
    }
}

TEST_F(UTessivarRecordsTest, SenderWithoutDomainShowsThePlaceholderDomain) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1, "A");
    Model().Startup();
    EXPECT_EQ(Model().EmailAddresses(0).EmailAddress(), "alice@example.com");
    const TTessivarEmailAddress detached(Model());
    EXPECT_EQ(detached.EmailAddress(), std::string("@") + PlaceholderDomainName);
}

TEST_F(UTessivarRecordsTest, EnablingAnAccountSavesItAndStartsItsServer) {
    AddAccountRow(1, "me@example.test", 0);
    Model().Startup();
    TTessivarAccount& account = Model().Accounts(0);
    EXPECT_FALSE(account.Redirected());
    account.SetEnabled(true);
    EXPECT_TRUE(account.Redirected());
    EXPECT_EQ(Cell("SELECT Enabled FROM Accounts"), "1");
    account.SetEnabled(false);
    EXPECT_FALSE(account.Redirected());
    EXPECT_EQ(Cell("SELECT Enabled FROM Accounts"), "0");
    EXPECT_EQ(account.Username(), "me");
    account.SetLogin("login", "pw");
    EXPECT_EQ(account.Username() + "/" + account.Password(), "login/pw");
    EXPECT_EQ(Cell("SELECT Username FROM Accounts"), "me"); // the login is never stored
}

// The mail program's account is found at start-up, linked to a new disabled account, redirected
// to the local server while enabled and restored at shutdown.
TEST_F(UTessivarRecordsTest, ProtectingRedirectsTheMailProgramAndShutdownRestoresIt) {
    const std::string key = "Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001";
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(key, true));
    registry.WriteString("Account Name", "Home");
    registry.WriteString("SMTP Email Address", "me@example.test");
    registry.WriteString("POP3 User Name", "me");
    registry.WriteString("POP3 Server", "pop.example.test");
    registry.WriteInteger("POP3 Port", 110);
    registry.CloseKey();

    Model().Startup();
    ASSERT_EQ(Model().AccountCount(), 1);
    TTessivarAccount& account = Model().Accounts(0);
    EXPECT_TRUE(account.HasMailClientAccounts());
    EXPECT_FALSE(account.Enabled());
    EXPECT_FALSE(account.Redirected());
    // Reading the mail programs again replaces the links instead of keeping freed ones.
    Model().LoadMailClientAccounts();
    EXPECT_EQ(Model().AccountCount(), 1);
    EXPECT_EQ(account.MailClientAccounts().size(), 1u);

    account.SetEnabled(true);
    const int port = account.Server().Port();
    ASSERT_TRUE(registry.OpenKeyReadOnly(key));
    EXPECT_EQ(registry.ReadString("POP3 Server"), LocalMarkerHost);
    EXPECT_EQ(registry.ReadInteger("POP3 Port"), port);
    registry.CloseKey();

    // A run that ended without shutting down left the key redirected; the next start still finds
    // the same account and takes a new port.
    NewModel();
    Model().Startup();
    ASSERT_EQ(Model().AccountCount(), 1);
    EXPECT_TRUE(Model().Accounts(0).Redirected());
    EXPECT_NE(Model().Accounts(0).Server().Port(), port);

    Model().Shutdown();
    ASSERT_TRUE(registry.OpenKeyReadOnly(key));
    EXPECT_EQ(registry.ReadString("POP3 Server"), "pop.example.test");
    EXPECT_EQ(registry.ReadInteger("POP3 Port"), 110);
}
