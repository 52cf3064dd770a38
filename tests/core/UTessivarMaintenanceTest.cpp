#include "core/UTessivarBusinessLogic.h"

#include "base/UFileUtils.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"
#include "mail/UTessivarAccountSession.h"

#include "tests/core/ModelFixture.h"

#include <filesystem>
#include <set>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class UTessivarMaintenanceTest : public TModelTest {
protected:
    std::string Ids(const std::string& table) {
        TSQLiteResultSet result;
        Db().Query("SELECT ID FROM " + table + " ORDER BY ID", &result);
        std::string ids;
        for (; !result.Eof(); result.Next())
            ids += (ids.empty() ? "" : ",") + result.Value(result.Cursor(), 0);
        return ids;
    }
};

} // namespace

TEST_F(UTessivarMaintenanceTest, DomainlessSenderGoesWithItsEmailsAndFilesInOneCleanup) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddSenderRow(2, "orphan", 99, "A", "A"); // its domain row is missing
    AddEmailRow(1, 0, 1);
    AddEmailRow(2, 0, 2);
    AddEmailRow(3, 0, 2);
    ASSERT_TRUE(fs::exists(MessageFile(3)));

    const std::string text = Traced([&] { Model().Startup(); });
    EXPECT_NE(text.find(">>> WARNING!!! Deleting domainless email address \"orphan@\" from database."),
              std::string::npos);
    EXPECT_NE(text.find(">>> WARNING!!! Deleting email with bad from address \"<m2@test>\" from database."),
              std::string::npos);
    EXPECT_LT(text.find("Removing domainless email addresses."), text.find("Removing emails with invalid"));
    EXPECT_EQ(Ids("EmailAddresses"), "1");
    EXPECT_EQ(Ids("Emails"), "1");
    EXPECT_FALSE(fs::exists(MessageFile(2)));
    EXPECT_FALSE(fs::exists(MessageFile(3)));
    EXPECT_TRUE(fs::exists(MessageFile(1)));
    ASSERT_EQ(Model().EmailCount(), 1);
    ASSERT_GE(Model().LogItemCount(), 2);
    EXPECT_EQ(Model().LogItems(0).Details(), "Cleanup started...");
    EXPECT_EQ(Model().LogItems(1).Details(), "Cleanup complete.");
}

TEST_F(UTessivarMaintenanceTest, DeletingOnlyMarksUntilTheNextStart) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1);
    AddEmailRow(2, 0, 1);
    Model().Startup();
    Model().Emails(0).Delete();
    Model().EmailAddresses(0).Delete();
    Model().DomainNames(0).Delete();
    EXPECT_EQ(Model().EmailCount(), 2);
    EXPECT_EQ(Ids("Emails"), "1,2");
    EXPECT_TRUE(fs::exists(MessageFile(1)));

    Restart();
    EXPECT_EQ(Ids("Emails"), "2");
    EXPECT_FALSE(fs::exists(MessageFile(1)));
    EXPECT_EQ(Model().EmailCount(), 1);
    // Still referred to by email 2, so they stay, deleted.
    EXPECT_EQ(Ids("EmailAddresses"), "1");
    EXPECT_EQ(Ids("DomainNames"), "1");
    EXPECT_TRUE(Model().EmailAddresses(0).Deleted());

    Model().Emails(0).Delete();
    Restart();
    EXPECT_EQ(Ids("Emails") + "|" + Ids("EmailAddresses") + "|" + Ids("DomainNames"), "||");
}

TEST_F(UTessivarMaintenanceTest, UnreferencedRecordsSurviveOnlyWithAStatus) {
    AddDomainRow(1, "undefined.test");
    AddDomainRow(2, "approved.test", "A");
    AddDomainRow(3, "deleted.test", "A", 1);
    AddDomainRow(4, "parent.test");
    AddSenderRow(1, "pending", 4, "?", "P", 1); // deleted but pending: stays
    AddSenderRow(2, "blocked", 4, "B");         // blocked: stays
    AddSenderRow(3, "plain", 4);                // undefined, no emails: goes
    AddSenderRow(4, "deleted", 4, "A", "?", 1); // deleted, no emails: goes
    AddSenderRow(5, "imported", 4, "?", "I");   // imported: stays
    Model().Startup();
    EXPECT_EQ(Ids("DomainNames"), "2,4");
    EXPECT_EQ(Ids("EmailAddresses"), "1,2,5");
    EXPECT_EQ(Model().DomainNameCount(), 2);
    EXPECT_EQ(Model().EmailAddressCount(), 3);
}

TEST_F(UTessivarMaintenanceTest, MissingMessageFileDoesNotStopTheCleanup) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1, 1);
    AddEmailRow(2, 0, 1, 1);
    AddEmailRow(3, 0, 1);
    fs::remove(MessageFile(1));
    Model().Startup();
    EXPECT_EQ(Ids("Emails"), "3");
    EXPECT_FALSE(fs::exists(MessageFile(2)));
}

TEST_F(UTessivarMaintenanceTest, FailingStatementEndsTheCleanupWithBracketsClosed) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1, 1);
    Db().Execute("CREATE TRIGGER Refuse BEFORE DELETE ON Emails BEGIN SELECT RAISE(ABORT, 'refused'); END");
    m_Changes = 0;
    EXPECT_THROW(Model().Startup(), SQLiteException);
    EXPECT_FALSE(Model().IsUpdating());
    EXPECT_GE(m_Changes, 1);
    EXPECT_EQ(Model().LogItems(Model().LogItemCount() - 1).Details(), "Cleanup started...");
    // The database lock was released: another thread can use the database.
    std::string rows;
    std::thread([&] { rows = Cell("SELECT COUNT(*) FROM Emails"); }).join();
    EXPECT_EQ(rows, "1");
}

TEST_F(UTessivarMaintenanceTest, ResetKeepsAccountsAndTheAuthorizationQueue) {
    AddAccountRow(1, "me@example.test", 0);
    AddDomainRow(1, "example.com", "A");
    AddSenderRow(1, "alice", 1, "A");
    AddEmailRow(1, 1, 1);
    Db().Execute("INSERT INTO EmailAddressesRequiringAuthorization(FromEmailAddress, SyncID) VALUES('x@y.test', -1)");
    Db().Execute("UPDATE Configuration SET DataVersion=12, Modified=1, Signature='sig'");
    Model().Startup();
    m_Changes = 0;
    Model().ResetData();
    EXPECT_EQ(m_Changes, 1); // the views drop the freed records at once
    EXPECT_EQ(Model().EmailCount() + Model().EmailAddressCount() + Model().DomainNameCount(), 0);
    EXPECT_EQ(Model().LogItemCount(), 0);
    EXPECT_TRUE(Model().SynchronizationRequired());
    EXPECT_FALSE(Model().Modified());
    EXPECT_EQ(Cell("SELECT Modified FROM Configuration"), "1"); // not written
    EXPECT_TRUE(fs::exists(MessageFile(1)));

    Restart();
    EXPECT_EQ(Model().DataVersion(), 0);
    EXPECT_EQ(Model().Signature(), "sig");
    EXPECT_EQ(Model().AccountCount(), 1);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    EXPECT_EQ(Count("Emails") + Count("EmailAddresses") + Count("DomainNames"), 0);
}

// Damaged rows that refer to nothing at all are orphans like those whose reference is broken; they
// must not stop every start.
TEST_F(UTessivarMaintenanceTest, RowsWithoutReferencesAreRemovedInsteadOfStoppingTheStart) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddSenderRow(2, "nodomain", 1, "A", "A");
    AddEmailRow(1, 0, 1);
    AddEmailRow(2, 0, 1);
    AddEmailRow(3, 0, 2);
    Db().Execute("UPDATE EmailAddresses SET DomainNameID=NULL WHERE ID=2");
    Db().Execute("UPDATE Emails SET FromEmailAddressID=NULL WHERE ID=2");

    const std::string text = Traced([&] { Model().Startup(); });
    EXPECT_NE(text.find("Deleting domainless email address \"nodomain@\""), std::string::npos);
    EXPECT_NE(text.find("Deleting email with bad from address \"<m2@test>\""), std::string::npos);
    EXPECT_EQ(Ids("EmailAddresses"), "1");
    EXPECT_EQ(Ids("Emails"), "1");
    EXPECT_FALSE(fs::exists(MessageFile(2)));
    EXPECT_FALSE(fs::exists(MessageFile(3)));
    ASSERT_EQ(Model().EmailCount(), 1);
    EXPECT_EQ(Model().Emails(0).FromEmailAddress(), &Model().EmailAddresses(0));
}

TEST_F(UTessivarMaintenanceTest, StartRemovesUnfinishedMessageFilesAndKeepsTheStorePrivate) {
    const std::string store = Model().StorePath();
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 0, 1);
    const std::string unfinished = TemporaryFileName(MessageFile(2));
    std::ofstream(unfinished) << "Subject: half a mess";
    ASSERT_EQ(::chmod(store.c_str(), 0777), 0); // as an older version made it under umask 000
    Model().Startup();
    EXPECT_FALSE(fs::exists(unfinished));
    EXPECT_TRUE(fs::exists(MessageFile(1)));
    struct stat info {};
    ASSERT_EQ(::stat(store.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// A reset while a mail program still holds a session: the new mail must neither take the ID (and
// file) of a message the session offers, nor be marked deleted when the session deletes that one.
TEST_F(UTessivarMaintenanceTest, ResetDuringASessionLeavesNewMailAlone) {
    AddAccountRow(1, "me@example.test", 0);
    AddDomainRow(1, "example.com", "A");
    AddSenderRow(1, "alice", 1);
    AddEmailRow(1, 1, 1);
    AddEmailRow(2, 1, 1);
    Model().Startup();
    TTessivarAccount& account = Model().Accounts(0);
    auto session = account.CreateSession();
    ASSERT_EQ(session->Count(), 2);
    const int64_t offeredSize = session->Items(0).Size();

    Model().ResetData();
    Model().AddDomainName("example.com").Approve();
    const std::vector<std::string> lines{"From: bob@example.com", "Subject: New", "", "A much longer new message"};
    TTessivarEmail& fresh = Model().InsertEmail(account, "<new@test>", lines, EncodeDateTime(2026, 1, 2), "New",
                                                "bob@example.com", "", "me@example.test", "");
    EXPECT_GT(fresh.ID(), 2);
    EXPECT_EQ(session->Items(0).Size(), offeredSize) << "the offered message was overwritten";

    session->Items(0).MarkForDeletion();
    session->Items(1).MarkForDeletion();
    account.ReleaseSession(std::move(session));
    EXPECT_FALSE(fresh.Deleted());
    EXPECT_EQ(Cell("SELECT Deleted FROM Emails WHERE ID=" + std::to_string(fresh.ID())), "0");
    EXPECT_EQ(account.CreateSession()->Count(), 1);

    // The rows the session kept go at the next start, with their files; the new mail stays.
    const int freshID = fresh.ID();
    Restart();
    EXPECT_EQ(Ids("Emails"), std::to_string(freshID));
    EXPECT_FALSE(fs::exists(MessageFile(1)));
    EXPECT_TRUE(fs::exists(MessageFile(freshID)));
}

// Rows written without UIDL get theirs at the start, in the database and in the loaded records
// alike: a record left without its id would be offered under a different one in the next session.
// An id some other row held (even one the cleanup removed, which a mail program may have seen) is
// never given again.
TEST_F(UTessivarMaintenanceTest, EmailsWithoutUIDLGetUniqueIdsInStoreAndMemory) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    Db().Execute("ALTER TABLE Emails ADD COLUMN UIDL VARCHAR");
    for (int id = 1; id <= 7; ++id)
        AddEmailRow(id, 0, 1, id == 5 ? 1 : 0);
    Db().Execute("UPDATE Emails SET MessageID='<same@test>' WHERE ID IN (2, 3)");
    Db().Execute("UPDATE Emails SET UIDL='<m4@test>' WHERE ID=5"); // deleted: removed by the cleanup
    Db().Execute("UPDATE Emails SET MessageID='<has blank@test>' WHERE ID=6");
    Db().Execute("UPDATE Emails SET UIDL='kept-7' WHERE ID=7");

    Model().Startup();
    ASSERT_EQ(Model().EmailCount(), 6);
    std::set<std::string> ids;
    for (int i = 0; i < Model().EmailCount(); ++i) {
        const TTessivarEmail& email = Model().Emails(i);
        const std::string stored = Cell("SELECT UIDL FROM Emails WHERE ID=" + std::to_string(email.ID()));
        EXPECT_EQ(std::string(email.UIDL()), stored) << email.ID();
        EXPECT_TRUE(IsValidUIDL(stored)) << email.ID();
        ids.insert(stored);
    }
    EXPECT_EQ(ids.size(), 6u);
    EXPECT_EQ(Cell("SELECT UIDL FROM Emails WHERE ID=1"), "<m1@test>");
    EXPECT_NE(Cell("SELECT UIDL FROM Emails WHERE ID=4"), "<m4@test>");
    EXPECT_EQ(Cell("SELECT UIDL FROM Emails WHERE ID=7"), "kept-7");
    EXPECT_EQ(Count("Emails WHERE UIDL IS NULL OR UIDL=''"), 0);
}

// The unused senders and domain names go from the lists as from the tables; a sender that merely
// shares the name of one that went is still found, and a deleted IMAP email waiting for the trash
// keeps its sender and the sender's domain name.
TEST_F(UTessivarMaintenanceTest, UnusedRecordsLeaveMemoryAsTheirRowsDoAndIMAPMailKeepsItsSender) {
    AddDomainRow(1, "example.com");
    AddDomainRow(2, "gone.test");
    AddDomainRow(3, "trash.test");
    AddSenderRow(1, "Bob", 1);  // no emails: goes
    AddSenderRow(2, "bob", 1);  // same address, has an email: stays
    AddSenderRow(3, "eve", 2);  // no emails: goes, and its domain name with it
    AddSenderRow(4, "imap", 3); // only a deleted IMAP email refers to it
    AddEmailRow(1, 0, 2);
    AddEmailRow(2, 0, 4, 1);
    Db().Execute("CREATE TABLE IMAPMessages(ID INTEGER PRIMARY KEY, EmailID INTEGER, AccountID INTEGER, "
                 "MessageID VARCHAR, Size INTEGER, Folder VARCHAR, UIDValidity INTEGER, UID INTEGER)");
    Db().Execute("INSERT INTO IMAPMessages(EmailID) VALUES(2)");

    Model().Startup();
    EXPECT_EQ(Ids("Emails"), "1,2");
    EXPECT_EQ(Ids("EmailAddresses"), "2,4");
    EXPECT_EQ(Ids("DomainNames"), "1,3");
    ASSERT_EQ(Model().EmailAddressCount(), 2);
    ASSERT_EQ(Model().DomainNameCount(), 2);
    EXPECT_EQ(Model().FindEmailAddress("bob@example.com"), &Model().EmailAddresses(0));
    EXPECT_EQ(&Model().FindEmailAddressByID(2), &Model().EmailAddresses(0));
    EXPECT_EQ(Model().EmailAddresses(1).DomainName(), &Model().FindDomainNameByID(3));
    EXPECT_THROW(Model().FindDomainNameByID(2), TTessivarBusinessLogicException);
}

// An IMAP email whose sender row is gone cannot be loaded: kept for the trash, it stopped every start.
TEST_F(UTessivarMaintenanceTest, IMAPMailWithoutASenderDoesNotStopTheStart) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "bob", 1);
    AddEmailRow(1, 0, 1);
    AddEmailRow(2, 0, 7, 1); // deleted, no such sender
    AddEmailRow(3, 0, 8);    // not deleted, no such sender
    Db().Execute("CREATE TABLE IMAPMessages(ID INTEGER PRIMARY KEY, EmailID INTEGER, AccountID INTEGER, "
                 "MessageID VARCHAR, Size INTEGER, Folder VARCHAR, UIDValidity INTEGER, UID INTEGER)");
    Db().Execute("INSERT INTO IMAPMessages(EmailID) VALUES(1), (2), (3)");

    ASSERT_NO_THROW(Model().Startup());
    EXPECT_EQ(Ids("Emails"), "1");
    EXPECT_EQ(Model().EmailCount(), 1);
}

// The start removes the rows it found in lists of bounded length: every one of many deleted emails
// goes with its file, across the lists, and the emails between them stay.
TEST_F(UTessivarMaintenanceTest, ManyDeletedEmailsAllGoWhileTheOnesBetweenThemStay) {
    AddDomainRow(1, "example.com");
    AddSenderRow(1, "alice", 1);
    Db().Execute("BEGIN");
    for (int id = 1; id <= 1200; ++id)
        AddEmailRow(id, 0, id == 1200 ? 9 : 1, id % 100 == 0 ? 0 : 1);
    Db().Execute("COMMIT");

    Model().Startup();
    EXPECT_EQ(Ids("Emails"), "100,200,300,400,500,600,700,800,900,1000,1100");
    ASSERT_EQ(Model().EmailCount(), 11);
    EXPECT_EQ(Model().Emails(10).ID(), 1100);
    EXPECT_TRUE(fs::exists(MessageFile(1100)));
    EXPECT_FALSE(fs::exists(MessageFile(1099)));
    EXPECT_FALSE(fs::exists(MessageFile(1200)));
    int files = 0;
    for (const auto& entry : fs::directory_iterator(Model().StorePath()))
        files += entry.path().extension() == ".eml" ? 1 : 0;
    EXPECT_EQ(files, 11);
}
