#include "core/UTessivarBusinessLogic.h"

#include "base/LDates.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "mail/UTessivarAccountSession.h"
#include "service/UTessivarServer.h"

#include "tests/core/ModelFixture.h"

namespace {

const std::string WrongThread = "Business Logic called from a different thread than that which created it.";

class UTessivarBusinessLogicTest : public TModelTest {};

} // namespace

TEST_F(UTessivarBusinessLogicTest, NewDatabaseStartsWithDefaultsAndNoSynchronisation) {
    const std::string text = Traced([&] { Model().Startup(); });
    EXPECT_TRUE(std::filesystem::exists(m_Dir + "Tessivar.db"));
    EXPECT_EQ(Model().DataVersion(), 0);
    EXPECT_FALSE(Model().LockAccess());
    EXPECT_FALSE(Model().Modified()); // stored as 'true', which reads as false
    EXPECT_EQ(Model().Username(), "");
    EXPECT_EQ(Model().AdultWords(), "");
    EXPECT_TRUE(Model().SetupRequired());
    EXPECT_EQ(Model().EmailCount() + Model().EmailAddressCount() + Model().DomainNameCount(), 0);
    EXPECT_EQ(Count("Configuration"), 1);
    EXPECT_EQ(Occurrences(text, "Synchroniz"), 0u);
    EXPECT_EQ(m_Changes, 1); // the cleanup's brackets nest in the start-up's
}

TEST_F(UTessivarBusinessLogicTest, RefusesCallsFromOtherThreadsAndChangesNothing) {
    AddDomainRow(1, "example.com", "A");
    AddSenderRow(1, "alice", 1, "?", "P");
    Model().Startup();
    TTessivarEmailAddress& sender = Model().EmailAddresses(0);
    const int changes = m_Changes;
    const int logItems = Model().LogItemCount();

    EXPECT_EQ(OnOtherThread([&] { Model().AddLogItem("x", 0); }), WrongThread);
    EXPECT_EQ(OnOtherThread([&] { Model().BeginUpdate(); }), WrongThread);
    EXPECT_EQ(OnOtherThread([&] { sender.Block(); }), WrongThread);
    EXPECT_EQ(OnOtherThread([&] { Model().SetAdultWords("sex"); }), WrongThread);
    EXPECT_EQ(OnOtherThread([&] { Model().ResetData(); }), WrongThread);
    EXPECT_EQ(OnOtherThread([&] { Model().Accounts(0); }), WrongThread);

    EXPECT_EQ(Model().LogItemCount(), logItems);
    EXPECT_FALSE(Model().IsUpdating());
    EXPECT_EQ(sender.ApprovalStatus(), TApprovalStatus::Undefined);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses"), "?");
    EXPECT_EQ(Model().AdultWords(), "");
    EXPECT_EQ(Model().EmailAddressCount(), 1);
    EXPECT_EQ(m_Changes, changes);
    // The model still works on its own thread afterwards.
    sender.Block();
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses"), "B");
}

TEST_F(UTessivarBusinessLogicTest, OneChangeNotificationPerOutermostBracket) {
    AddAccountRow(1, "me@example.test", 0);
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 1, 1);
    Model().Startup();
    TTessivarEmailAddress& sender = Model().EmailAddresses(0);
    TTessivarEmail& email = Model().Emails(0);

    m_Changes = 0;
    EXPECT_EQ(Occurrences(Traced([&] { sender.Approve(); }), "Executing SQL: update EmailAddresses"), 1u);
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses"), "A");

    m_Changes = 0;
    const std::string text = Traced([&] {
        Model().BeginUpdate();
        sender.Block();
        email.ApproveOnce();
        sender.SetNotes("noted");
        EXPECT_EQ(m_Changes, 0);
        Model().EndUpdate();
    });
    EXPECT_EQ(Occurrences(text, "Executing SQL: update EmailAddresses"), 2u); // Block, SetNotes
    EXPECT_EQ(Occurrences(text, "Executing SQL: update Emails"), 1u);
    EXPECT_EQ(Occurrences(text, "Starting a root business logic update."), 1u);
    EXPECT_EQ(Occurrences(text, "Ended a root business logic update with a total elapsed time of "), 1u);
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM Emails"), "A");
}

TEST_F(UTessivarBusinessLogicTest, RecordBracketsNestIntoOneSave) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1);
    Model().Startup();
    TTessivarEmailAddress& sender = Model().EmailAddresses(0);
    m_Changes = 0;
    const std::string text = Traced([&] {
        sender.BeginUpdate();
        sender.Approve();
        sender.SetDisplayName("Alice");
        sender.SetAuthenticationStatus(TAuthenticationStatus::Imported);
        sender.EndUpdate();
    });
    EXPECT_EQ(Occurrences(text, "Executing SQL: update EmailAddresses"), 1u);
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Cell("SELECT DisplayName || ApprovalStatus || AuthenticationStatus FROM EmailAddresses"), "AliceAI");
}

TEST_F(UTessivarBusinessLogicTest, FailedSaveStillClosesBracketsAndNotifies) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1);
    Model().Startup();
    Db().Execute("CREATE TRIGGER Refuse BEFORE UPDATE ON EmailAddresses BEGIN SELECT RAISE(ABORT, 'refused'); END");
    TTessivarEmailAddress& sender = Model().EmailAddresses(0);
    m_Changes = 0;

    EXPECT_THROW(sender.Approve(), SQLiteException);
    EXPECT_FALSE(Model().IsUpdating());
    EXPECT_FALSE(sender.IsUpdating());
    EXPECT_EQ(m_Changes, 1);
    EXPECT_TRUE(sender.IsApproved()); // memory keeps the change, the row its old value
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses"), "?");

    // A failure inside an enclosing bracket also leaves every bracket closed.
    m_Changes = 0;
    EXPECT_THROW(
        {
            TUpdateScope<TTessivarBusinessLogic> scope(Model());
            Model().Emails(0).ApproveOnce();
            sender.Block();
        },
        SQLiteException);
    EXPECT_FALSE(Model().IsUpdating());
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM Emails"), "A");

    Db().Execute("DROP TRIGGER Refuse");
    sender.Block();
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses"), "B");
}

TEST_F(UTessivarBusinessLogicTest, SettersGivenTheCurrentValueWriteNothing) {
    AddDomainRow(1, "example.com", "A");
    AddSenderRow(1, "alice", 1, "A", "P");
    Model().Startup();
    Model().SetSignature("sig");
    m_Changes = 0;
    const std::string text = Traced([&] {
        Model().EmailAddresses(0).SetApprovalStatus(TApprovalStatus::Approved);
        Model().EmailAddresses(0).SetAuthenticationStatus(TAuthenticationStatus::Pending);
        Model().DomainNames(0).SetDeleted(false);
        Model().DomainNames(0).SetNotes("");
        Model().SetSignature("sig");
        Model().SetLockAccess(false);
        Model().SetUsername("");
    });
    EXPECT_EQ(Occurrences(text, "Executing SQL"), 0u);
    EXPECT_EQ(m_Changes, 0);
}

TEST_F(UTessivarBusinessLogicTest, WordListsAreTrimmedAndJoinedInOrder) {
    Model().Startup();
    m_Changes = 0;
    Model().SetAdultWords("  beta ,, alpha\t,beta");
    EXPECT_EQ(Model().AdultWords(), "beta, alpha, beta");
    EXPECT_EQ(Cell("SELECT AdultWords FROM Configuration"), "beta, alpha, beta");
    EXPECT_EQ(Cell("SELECT Modified FROM Configuration"), "1");
    EXPECT_TRUE(Model().Modified());
    EXPECT_EQ(Model().SettingsSyncID(), -1);
    EXPECT_TRUE(Model().SynchronizationRequired());
    EXPECT_EQ(m_Changes, 1);

    EXPECT_EQ(Occurrences(Traced([&] { Model().SetAdultWords(Model().AdultWords()); }), "Executing SQL"), 0u);
    EXPECT_EQ(m_Changes, 1);
}

TEST_F(UTessivarBusinessLogicTest, StoredSettingsLoadWithoutBeingWrittenBack) {
    Db().Execute("UPDATE Configuration SET AdultWords='a ,b', BlockedWords='spam', UnlockPassword='pw', "
                 "LockAccess=1, Modified=1, DataVersion=7, UserName='user', Password='secret', Signature='s'");
    ::setenv(ServiceHostVariable, "127.0.0.1:9", 1); // the start's synchronisation goes nowhere
    NewModel();
    ::unsetenv(ServiceHostVariable);
    EXPECT_EQ(Occurrences(Traced([&] { Model().Startup(); }), "update Configuration"), 0u);
    EXPECT_EQ(Model().AdultWords(), "a, b");
    EXPECT_EQ(Model().BlockedWords(), "spam");
    EXPECT_EQ(Model().UnlockPassword(), "pw");
    EXPECT_TRUE(Model().LockAccess());
    EXPECT_TRUE(Model().Modified());
    EXPECT_GT(Model().SettingsSyncID(), 1); // carried by the start's synchronisation
    EXPECT_EQ(Model().DataVersion(), 7);
    EXPECT_FALSE(Model().SetupRequired());
    EXPECT_EQ(Cell("SELECT AdultWords FROM Configuration"), "a ,b");
}

TEST_F(UTessivarBusinessLogicTest, CredentialsWriteOnlyTheirOwnColumn) {
    Model().Startup();
    m_Changes = 0;
    Model().SetUsername("user");
    Model().SetPassword("pass'word");
    EXPECT_EQ(Cell("SELECT UserName || '/' || Password FROM Configuration"), "user/pass'word");
    EXPECT_EQ(Cell("SELECT Modified FROM Configuration"), "true");
    EXPECT_FALSE(Model().SynchronizationRequired());
    EXPECT_FALSE(Model().SetupRequired());
    EXPECT_EQ(m_Changes, 0);
}

TEST_F(UTessivarBusinessLogicTest, ActivityLogKeepsTheNewest200) {
    const TTessivarLogItem* seen = nullptr;
    Model().OnLogItem = [&](TTessivarLogItem& item) { seen = &item; };
    for (int i = 0; i < 205; ++i)
        Model().AddLogItem("item " + std::to_string(i), i % 2);
    EXPECT_EQ(Model().LogItemCount(), 200);
    EXPECT_EQ(Model().LogItems(0).Details(), "item 5");
    EXPECT_EQ(&Model().LogItems(199), seen);
    EXPECT_EQ(seen->Kind(), 0);
    EXPECT_EQ(m_Changes, 205);
}

TEST_F(UTessivarBusinessLogicTest, AccountsMatchIgnoringCaseButNotPort) {
    Model().Startup();
    TTessivarAccount& first = Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
    EXPECT_EQ(&Model().AddAccount("ME@example.test", "Me", "POP.Example.Test", 110), &first);
    TTessivarAccount& other = Model().AddAccount("me@example.test", "me", "pop.example.test", 995);
    EXPECT_NE(&other, &first);
    EXPECT_EQ(Count("Accounts"), 2);
    EXPECT_FALSE(first.Enabled());
    EXPECT_EQ(Cell("SELECT RemotePort FROM Accounts WHERE ID=" + std::to_string(other.ID())), "995");

    // A row that memory does not know yet is found rather than inserted again.
    Restart();
    Db().Execute("DELETE FROM Accounts WHERE RemotePort=995");
    Db().Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) "
                 "VALUES(42, 'new@example.test', 'pop', 110, 'new', 0)");
    EXPECT_EQ(Model().AddAccount("new@example.test", "new", "pop", 110).ID(), 42);
    EXPECT_EQ(Count("Accounts"), 2);
}

// An IMAP account must come back as one after a restart, and a POP3 account of the same address,
// server and user name (a mail program fetching the same mailbox over POP3) must stay a distinct
// account rather than reuse the IMAP row.
TEST_F(UTessivarBusinessLogicTest, IMAPAccountsSurviveRestartAndStayApartFromPOP3) {
    Model().Startup();
    TTessivarAccount& imap =
        Model().AddIMAPAccount("me@example.test", "me", "imap.example.test", 143, TIMAPSecurity::STARTTLS);
    EXPECT_TRUE(imap.IsIMAP());
    EXPECT_EQ(&Model().AddIMAPAccount("ME@example.test", "me", "IMAP.example.test", 143, TIMAPSecurity::STARTTLS),
              &imap);
    TTessivarAccount& pop = Model().AddAccount("me@example.test", "me", "imap.example.test", 143);
    EXPECT_NE(&pop, &imap);
    EXPECT_FALSE(pop.IsIMAP());
    const int32_t imapID = imap.ID(), popID = pop.ID();

    Restart();
    ASSERT_NE(Model().FindAccountByID(imapID), nullptr);
    EXPECT_EQ(Model().FindAccountByID(imapID)->IMAPSecurity(), TIMAPSecurity::STARTTLS);
    EXPECT_EQ(Model().FindAccountByID(imapID)->IMAPServer().Port, 143);
    EXPECT_FALSE(Model().FindAccountByID(popID)->IsIMAP());
    EXPECT_EQ(Model().AddAccount("me@example.test", "me", "imap.example.test", 143).ID(), popID);
    EXPECT_EQ(Count("Accounts"), 2);
}

TEST_F(UTessivarBusinessLogicTest, LookupsByMissingIdNameTheId) {
    try {
        Model().FindDomainNameByID(7);
        ADD_FAILURE();
    } catch (const TTessivarBusinessLogicException& error) {
        EXPECT_EQ(error.Message(), "No domain name exists with an ID of 7.");
    }
    try {
        Model().FindEmailAddressByID(-1);
        ADD_FAILURE();
    } catch (const TTessivarBusinessLogicException& error) {
        EXPECT_EQ(error.Message(), "No email address exists with an ID of -1.");
    }
    EXPECT_EQ(Model().FindAccountByID(3), nullptr);
}

TEST_F(UTessivarBusinessLogicTest, LoadedRecordsKeepTheirReferences) {
    AddAccountRow(3, "me@example.test", 0);
    AddDomainRow(5, "Example.COM", "B");
    AddSenderRow(9, "bob", 5, "?", "A");
    AddEmailRow(255, 3, 9);
    AddEmailRow(256, 77, 9); // its account no longer exists
    Db().Execute("UPDATE Emails SET Received='2026-01-02T03:04:05.5000000+05:30' WHERE ID=256");
    Model().Startup();
    EXPECT_EQ(Model().FindDomainName("example.com"), &Model().DomainNames(0));
    EXPECT_EQ(Model().FindDomainName("other.com"), nullptr);
    TTessivarEmail& email = Model().Emails(0);
    EXPECT_EQ(email.FromEmailAddress(), &Model().FindEmailAddressByID(9));
    EXPECT_EQ(email.FromEmailAddress()->EmailAddress(), "bob@Example.COM");
    EXPECT_EQ(email.Account(), Model().FindAccountByID(3));
    EXPECT_EQ(Model().Emails(1).Account(), nullptr);
    EXPECT_EQ(email.MessageID(), "<m255@test>");
    EXPECT_EQ(email.Received(), LocalDateTime(TextToDateTime("2026-01-02T03:04:05.0000000+00:00")));
    EXPECT_EQ(Model().Emails(1).Received(), LocalDateTime(TextToDateTime("2026-01-02T03:04:05.5000000+05:30")));
    EXPECT_EQ(email.FileName(), m_Dir + "store/000000FF.eml");
    EXPECT_EQ(email.FileSize(), 30);    // "Subject: Subject 255\r\n\r\nBody\r\n"
    EXPECT_TRUE(email.IsBlockedMail()); // blocked domain
}

TEST_F(UTessivarBusinessLogicTest, SessionsOfferDeliverableMailOnceAndApplyDeletions) {
    AddAccountRow(1, "me@example.test", 0);
    AddAccountRow(2, "other@example.test", 0);
    AddDomainRow(1, "example.com", "A");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 1, 1);
    AddEmailRow(2, 1, 1);
    AddEmailRow(3, 2, 1);         // another account's
    AddEmailRow(4, 1, 1, 0, "B"); // blocked once
    Model().Startup();
    TTessivarAccount& account = *Model().FindAccountByID(1);

    auto session = account.CreateSession();
    ASSERT_EQ(session->Count(), 2);
    EXPECT_EQ(session->TotalSize(), 2 * 28);
    EXPECT_TRUE(Model().Emails(0).InSession());
    EXPECT_EQ(account.CreateSession()->Count(), 0); // already offered

    session->Items(1).MarkForDeletion();
    EXPECT_EQ(OnOtherThread([&] { account.ReleaseSession(std::move(session)); }), WrongThread);
    ASSERT_NE(session, nullptr);
    m_Changes = 0;
    account.ReleaseSession(std::move(session));
    EXPECT_EQ(m_Changes, 1);
    EXPECT_FALSE(Model().Emails(0).InSession());
    EXPECT_TRUE(Model().Emails(1).Deleted());
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE ID=2"), "1");
    EXPECT_EQ(account.CreateSession()->Count(), 1); // the undeleted one is offered again
}

TEST_F(UTessivarBusinessLogicTest, EmailsOfALiveSessionOutliveAReset) {
    AddAccountRow(1, "me@example.test", 0);
    AddDomainRow(1, "example.com", "A");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 1, 1);
    Model().Startup();
    TTessivarAccount& account = Model().Accounts(0);
    auto session = account.CreateSession();
    ASSERT_EQ(session->Count(), 1);
    Model().ResetData();
    EXPECT_EQ(Model().EmailCount(), 0);
    // The connection still reads the message and marks it; releasing then frees the record.
    EXPECT_EQ(session->Items(0).Email().MessageID(), "<m1@test>");
    EXPECT_EQ(session->Items(0).Size(), 28);
    session->Items(0).MarkForDeletion();
    account.ReleaseSession(std::move(session));
    EXPECT_EQ(TTessivarAccountSession::LiveCount(), 0);
}

TEST_F(UTessivarBusinessLogicTest, SynchronisationLeavesChangesMarkedUntilTheChannelCanSendThem) {
    EXPECT_EQ(Model().Server().ServiceHost(), ProductionServiceHost);
    ::setenv(ServiceHostVariable, "127.0.0.1:9", 1); // nothing answers there
    NewModel();
    ::unsetenv(ServiceHostVariable);
    Model().Startup();
    Model().SetSignature("x");
    Model().Synchronize(true); // no web account yet: nothing to do
    EXPECT_TRUE(Model().SynchronizationRequired());
    Model().SetUsername("user");
    Model().SetPassword("pw");
    Model().Synchronize(true);
    EXPECT_FALSE(Model().SynchronizationRequired());
    EXPECT_TRUE(Model().Modified()); // until an answer acknowledges the settings
    EXPECT_GT(Model().SettingsSyncID(), 1);
}

TEST_F(UTessivarBusinessLogicTest, LargeTablesLoadEveryRowOnceInOrder) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    // Many rows, with gaps in the IDs.
    Db().Execute("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 9000) "
                 "INSERT INTO Emails(ID, AccountID, MessageID, FromEmailAddressID, FromDisplayName, Subject, Received, "
                 "ApprovalStatus, WordBlocked, AdultBlocked, Deleted) "
                 "SELECT 3 * x, 0, 'm' || x, 1, '', '', '', '?', 0, 0, 0 FROM n");
    Model().Startup();
    ASSERT_EQ(Model().EmailCount(), 9000);
    for (int i = 0; i < Model().EmailCount(); ++i) {
        ASSERT_EQ(Model().Emails(i).ID(), 3 * (i + 1));
    }
    EXPECT_EQ(Model().Emails(8999).MessageID(), "m9000");
    EXPECT_EQ(Model().Emails(0).Received(), 0); // an empty date-time reads as zero
}

// Loading reads rows while the engine produces them; a row the model cannot take ends the load with
// the model's own failure, and the database is left usable for what follows.
TEST_F(UTessivarBusinessLogicTest, RowThatCannotBeLoadedFailsTheLoadWithItsReason) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddSenderRow(2, "bob", 7); // its domain name is missing, and no cleanup ran
    try {
        Model().Load();
        ADD_FAILURE() << "the load succeeded";
    } catch (const TTessivarBusinessLogicException& error) {
        EXPECT_EQ(error.Message(), "No domain name exists with an ID of 7.");
    }
    EXPECT_EQ(Model().EmailAddressCount(), 1);
    Db().Execute("UPDATE EmailAddresses SET DomainNameID=1 WHERE ID=2");
    EXPECT_EQ(Count("EmailAddresses WHERE DomainNameID=1"), 2);
}
