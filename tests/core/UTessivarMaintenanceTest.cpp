#include "core/UTessivarBusinessLogic.h"

#include "core/UTessivarAccount.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"

#include "tests/core/ModelFixture.h"

#include <filesystem>

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
