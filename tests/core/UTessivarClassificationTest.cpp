#include "core/UTessivarClassification.h"

#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"

#include "tests/core/ModelFixture.h"

#include <fstream>
#include <sstream>

namespace {

enum class TView { Delivery, Blocked, Authorization, None };

const char* ViewName(TView view) {
    switch (view) {
    case TView::Delivery:
        return "awaiting delivery";
    case TView::Blocked:
        return "blocked";
    case TView::Authorization:
        return "awaiting authorization";
    case TView::None:
        break;
    }
    return "none";
}

class UTessivarClassificationTest : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        Model().Startup();
        m_Account = &Model().AddAccount("me@example.test", "me", "pop.example.test", 110);
        m_Changes = 0;
    }

    static std::vector<std::string> Message(const std::string& from, const std::string& body = "Hello",
                                            const std::vector<std::string>& extraHeaders = {}) {
        std::vector<std::string> lines{"From: " + from, "To: me@example.test", "Subject: Greetings"};
        lines.insert(lines.end(), extraHeaders.begin(), extraHeaders.end());
        lines.push_back("");
        lines.push_back(body);
        return lines;
    }

    TTessivarEmail& Insert(const std::string& from, const std::vector<std::string>& lines,
                           const std::string& messageId = "<1@mail.example.com>", const std::string& displayName = "") {
        return Model().InsertEmail(*m_Account, messageId, lines, EncodeDateTime(2026, 3, 4, 5, 6, 7), "Greetings",
                                   from, displayName, "me@example.test", "");
    }
    TTessivarEmail& Insert(const std::string& from) { return Insert(from, Message(from)); }

    static TView View(const TTessivarEmail& email) {
        const bool delivery = email.IsAwaitingDelivery(), blocked = email.IsBlockedMail();
        EXPECT_FALSE(delivery && blocked);
        if (delivery)
            return TView::Delivery;
        if (blocked)
            return TView::Blocked;
        return email.Deleted() ? TView::None : TView::Authorization;
    }

    static std::string FileText(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    TTessivarAccount* m_Account = nullptr;
};

} // namespace

TEST_F(UTessivarClassificationTest, ViewFollowsTheDecisionTable) {
    using A = TApprovalStatus;
    using S = TAuthenticationStatus;
    struct TRow {
        const char* Case;
        A Sender, Domain, Email;
        bool Word, Adult;
        S Authentication;
        bool Deleted;
        TView Expected;
    };
    const A U = A::Undefined, B = A::Blocked, OK = A::Approved;
    const TRow rows[] = {
        {"unknown sender", U, U, U, false, false, S::Pending, false, TView::Authorization},
        {"imported sender", U, U, U, false, false, S::Imported, false, TView::Authorization},
        {"authenticated sender", U, U, U, false, false, S::Authenticated, false, TView::Delivery},
        {"authenticated sender, blocked word", U, U, U, true, false, S::Authenticated, false, TView::Blocked},
        {"authenticated sender, adult word", U, U, U, false, true, S::Authenticated, false, TView::Blocked},
        {"unknown sender, blocked word", U, U, U, true, false, S::Pending, false, TView::Blocked},
        {"approved sender, both words", OK, U, U, true, true, S::Pending, false, TView::Delivery},
        {"approved domain, adult word", U, OK, U, false, true, S::Pending, false, TView::Delivery},
        {"blocked sender in approved domain", B, OK, U, false, false, S::Pending, false, TView::Blocked},
        {"approved sender in blocked domain", OK, B, U, false, false, S::Pending, false, TView::Delivery},
        {"authenticated sender in blocked domain", U, B, U, false, false, S::Authenticated, false, TView::Blocked},
        {"blocked authenticated sender", B, U, U, false, false, S::Authenticated, false, TView::Blocked},
        {"approved once, blocked sender", B, U, OK, false, false, S::Pending, false, TView::Delivery},
        {"approved once, blocked domain, word", U, B, OK, true, false, S::Pending, false, TView::Delivery},
        {"blocked once, approved sender", OK, U, B, false, false, S::Pending, false, TView::Blocked},
        {"blocked once, authenticated sender", U, U, B, false, false, S::Authenticated, false, TView::Blocked},
        {"deleted, approved once", U, U, OK, false, false, S::Pending, true, TView::None},
        {"deleted, approved sender", OK, U, U, false, false, S::Pending, true, TView::None},
        {"deleted, blocked sender", B, U, U, false, false, S::Pending, true, TView::None},
    };
    Model().SetBlockedWords("casino");
    Model().SetAdultWords("xxx");
    int index = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Case);
        const std::string from = "user@row" + std::to_string(++index) + ".test";
        std::string body = "Hello";
        if (row.Word)
            body += " Casino";
        if (row.Adult)
            body += " XXX";
        TTessivarEmail& email = Insert(from, Message(from, body));
        ASSERT_EQ(email.WordBlocked(), row.Word);
        ASSERT_EQ(email.AdultBlocked(), row.Adult);
        TTessivarEmailAddress& sender = *email.FromEmailAddress();
        sender.SetApprovalStatus(row.Sender);
        sender.DomainName()->SetApprovalStatus(row.Domain);
        sender.SetAuthenticationStatus(row.Authentication);
        email.SetApprovalStatus(row.Email);
        email.SetDeleted(row.Deleted);
        EXPECT_STREQ(ViewName(View(email)), ViewName(row.Expected));
    }
}

TEST_F(UTessivarClassificationTest, FirstMessageOfAnUnknownSenderIsQueuedOnce) {
    const std::vector<std::string> lines = Message("Alice <alice@example.com>");
    TTessivarEmail& first =
        Model().InsertEmail(*m_Account, "<1@example.com>", lines, EncodeDateTime(2026, 3, 4, 5, 6, 7), "Greetings",
                            "alice@example.com", "Alice", "me@example.test", "");

    ASSERT_EQ(Model().EmailCount(), 1);
    EXPECT_EQ(&Model().Emails(0), &first);
    EXPECT_EQ(m_Changes, 1);
    TTessivarEmailAddress& sender = *first.FromEmailAddress();
    EXPECT_EQ(sender.EmailAddress(), "alice@example.com");
    EXPECT_EQ(sender.AuthenticationStatus(), TAuthenticationStatus::Pending);
    EXPECT_EQ(View(first), TView::Authorization);
    EXPECT_EQ(Cell("SELECT AuthenticationStatus FROM EmailAddresses"), "P");
    EXPECT_EQ(Count("DomainNames WHERE DomainName='example.com' AND ApprovalStatus='?'"), 1);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization WHERE FromEmailAddress='alice@example.com' AND "
                    "FromDisplayName='Alice' AND ToEmailAddress='me@example.test' AND Subject='Greetings' AND "
                    "SyncID=-1"),
              1);
    EXPECT_EQ(Count("Emails WHERE MessageID='<1@example.com>' AND AccountID=" + std::to_string(m_Account->ID())), 1);
    // The message file holds every line followed by CR LF, complete once the insert has returned.
    EXPECT_EQ(FileText(first.FileName()), "From: Alice <alice@example.com>\r\nTo: me@example.test\r\n"
                                          "Subject: Greetings\r\n\r\nHello\r\n");

    TTessivarEmail& second = Insert("ALICE@Example.com");
    EXPECT_EQ(second.FromEmailAddress(), &sender);
    EXPECT_EQ(Model().EmailAddressCount(), 1);
    EXPECT_EQ(Model().DomainNameCount(), 1);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
}

TEST_F(UTessivarClassificationTest, RowsAreCommittedWhenTheInsertReturns) {
    TTessivarEmail& email = Insert("alice@example.com");
    // Another connection sees every row: nothing is left in an open transaction.
    TSQLite other(m_Dir + "Tessivar.db");
    other.Open();
    TSQLiteResultSet result;
    EXPECT_EQ(other.Query("SELECT ID FROM Emails", &result), 1);
    EXPECT_EQ(result.AsInteger("ID"), email.ID());
    EXPECT_EQ(other.Query("SELECT * FROM EmailAddressesRequiringAuthorization"), 1);
    EXPECT_EQ(other.Query("SELECT * FROM EmailAddresses WHERE AuthenticationStatus='P'"), 1);
    other.Close();

    // The next run loads the message as it was classified.
    const int id = email.ID();
    Restart();
    ASSERT_EQ(Model().EmailCount(), 1);
    EXPECT_EQ(Model().Emails(0).ID(), id);
    EXPECT_NEAR(Model().Emails(0).Received(), EncodeDateTime(2026, 3, 4, 5, 6, 7), 0.001 / 86400);
    EXPECT_EQ(Model().Emails(0).FromEmailAddress()->AuthenticationStatus(), TAuthenticationStatus::Pending);
}

TEST_F(UTessivarClassificationTest, UnwritableStoreFailsTheInsertAndLeavesNothingBehind) {
    std::filesystem::remove_all(m_Dir + "store");
    std::ofstream(m_Dir + "store") << "not a directory";

    EXPECT_THROW(Insert("alice@example.com"), Exception);
    EXPECT_FALSE(Model().IsUpdating());
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Model().EmailCount(), 0);
    EXPECT_EQ(Model().EmailAddressCount(), 0);
    EXPECT_EQ(Model().DomainNameCount(), 0);
    EXPECT_EQ(Count("Emails"), 0);
    EXPECT_EQ(Count("EmailAddresses"), 0);
    EXPECT_EQ(Count("DomainNames"), 0);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);

    // The checker's next pass stores the message as if it were the first time.
    std::filesystem::remove(m_Dir + "store");
    TTessivarEmail& email = Insert("alice@example.com");
    EXPECT_EQ(email.FromEmailAddress()->AuthenticationStatus(), TAuthenticationStatus::Pending);
    EXPECT_EQ(&Model().FindEmailAddressByID(email.FromEmailAddress()->ID()), email.FromEmailAddress());
    EXPECT_EQ(&Model().FindDomainNameByID(email.FromEmailAddress()->DomainName()->ID()),
              email.FromEmailAddress()->DomainName());
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    EXPECT_TRUE(std::filesystem::exists(email.FileName()));
}

TEST_F(UTessivarClassificationTest, FailedInsertPutsRevivedSenderBack) {
    TTessivarEmailAddress& sender = Model().AddEmailAddress("bob@example.com", "Old Name");
    sender.Approve();
    sender.Delete();
    Model().SetSynchronizationRequired(false);
    Db().Execute("DROP TABLE Emails");

    EXPECT_THROW(Insert("bob@example.com", Message("bob@example.com"), "<1@x>", "New Name"), SQLiteException);
    EXPECT_TRUE(sender.Deleted());
    EXPECT_EQ(sender.DisplayName(), "Old Name");
    EXPECT_EQ(sender.AuthenticationStatus(), TAuthenticationStatus::Undefined);
    EXPECT_FALSE(Model().SynchronizationRequired());
    EXPECT_EQ(Cell("SELECT Deleted || DisplayName || AuthenticationStatus FROM EmailAddresses"), "1Old Name?");
    EXPECT_EQ(Model().EmailCount(), 0);
    EXPECT_FALSE(Model().IsUpdating());
}

TEST_F(UTessivarClassificationTest, DeletedRecordsReviveWithoutTheirOldStatus) {
    TTessivarEmailAddress& sender = Model().AddEmailAddress("bob@example.com", "Old Name");
    sender.SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
    sender.Block();
    sender.Delete();
    TTessivarDomainName& other = Model().AddDomainName("other.example");
    other.Approve();
    other.Delete();

    TTessivarEmail& email = Insert("bob@example.com", Message("bob@example.com"), "<1@x>", "New Name");
    EXPECT_EQ(email.FromEmailAddress(), &sender);
    EXPECT_FALSE(sender.Deleted());
    EXPECT_EQ(sender.ApprovalStatus(), TApprovalStatus::Undefined);
    EXPECT_EQ(sender.AuthenticationStatus(), TAuthenticationStatus::Pending);
    EXPECT_EQ(sender.DisplayName(), "New Name");
    EXPECT_EQ(Cell("SELECT Deleted || DisplayName || ApprovalStatus || AuthenticationStatus FROM EmailAddresses"),
              "0New Name?P");
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0); // asked before, not queued again

    // A sender that is not deleted keeps its display name.
    EXPECT_EQ(&Model().AddEmailAddress("BOB@example.com", "Third Name"), &sender);
    EXPECT_EQ(sender.DisplayName(), "New Name");

    EXPECT_EQ(&Model().AddDomainName("OTHER.example"), &other);
    EXPECT_FALSE(other.Deleted());
    EXPECT_EQ(other.ApprovalStatus(), TApprovalStatus::Undefined);
}

TEST_F(UTessivarClassificationTest, NewDomainNameTakesTheNearestParentsStatusOnce) {
    Model().AddDomainName("example.com").Approve();
    TTessivarEmail& email = Insert("carol@mail.example.com");
    TTessivarDomainName& child = *email.FromEmailAddress()->DomainName();
    EXPECT_EQ(child.DomainName(), "mail.example.com");
    EXPECT_EQ(child.ApprovalStatus(), TApprovalStatus::Approved);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM DomainNames WHERE DomainName='mail.example.com'"), "A");
    EXPECT_EQ(View(email), TView::Delivery);

    // The nearest parent with a status wins; one without a status is passed over.
    Model().AddDomainName("spam.example.com").Block();
    Model().AddDomainName("quiet.example.com");
    EXPECT_EQ(Model().AddDomainName("a.b.Spam.Example.com").ApprovalStatus(), TApprovalStatus::Blocked);
    EXPECT_EQ(Model().AddDomainName("a.quiet.example.com").ApprovalStatus(), TApprovalStatus::Approved);
    EXPECT_EQ(Model().AddDomainName("example.org").ApprovalStatus(), TApprovalStatus::Undefined);

    // Copied at creation only.
    Model().FindDomainName("example.com")->Block();
    EXPECT_EQ(child.ApprovalStatus(), TApprovalStatus::Approved);
}

TEST_F(UTessivarClassificationTest, AddressWithoutAtIsOneSenderWithTheWholeAddressAsDomain) {
    TTessivarEmail& first = Insert("postmaster");
    TTessivarEmailAddress& sender = *first.FromEmailAddress();
    EXPECT_EQ(sender.Username(), "");
    EXPECT_EQ(sender.DomainName()->DomainName(), "postmaster");
    EXPECT_EQ(Cell("SELECT Username FROM EmailAddresses"), "");

    // The same address finds the same sender again: no second sender, no second request.
    EXPECT_EQ(Insert("Postmaster").FromEmailAddress(), &sender);
    EXPECT_EQ(Model().EmailAddressCount(), 1);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    // An address whose user name is empty is a different text from the bare domain of another sender.
    EXPECT_NE(Insert("someone@postmaster").FromEmailAddress(), &sender);
}

TEST_F(UTessivarClassificationTest, ReturningAuthenticationRequestIsApprovedOnlyWithTheMarkerInItsOwnId) {
    const std::string request = "X-Tessivar: Authentication-Request";
    const std::string markedId = "<a1b2@auth.tessivar.com>";
    const auto insert = [&](const std::vector<std::string>& headers, const std::string& passedId) -> TTessivarEmail& {
        return Insert("dave@example.com", Message("dave@example.com", "Hello", headers), passedId);
    };

    TTessivarEmail& approved = insert({request, "Message-ID: " + markedId}, markedId);
    EXPECT_TRUE(approved.IsApprovedOnce());
    EXPECT_EQ(View(approved), TView::Delivery);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM Emails WHERE ID=" + std::to_string(approved.ID())), "A");
    EXPECT_TRUE(insert({"x-tessivar:  authentication-request", "Message-Id: " + markedId}, "<x@y>").IsApprovedOnce());

    // Anything less is mail like any other.
    EXPECT_FALSE(insert({request, "Message-ID: <a1b2@example.com>"}, markedId).IsApprovedOnce()); // only passed in
    EXPECT_FALSE(insert({request}, "<made-up@auth.tessivar.com>").IsApprovedOnce());
    EXPECT_FALSE(insert({request, "Message-ID: <a1b2@AUTH.TESSIVAR.COM>"}, "<x@y>").IsApprovedOnce());
    EXPECT_FALSE(insert({request, "Message-ID: <auth.tessivar.com>"}, "<x@y>").IsApprovedOnce());
    EXPECT_FALSE(insert({"X-Tessivar: Self-Authentication-Notification", "Message-ID: " + markedId}, "<x@y>")
                     .IsApprovedOnce());
    // Headers that cannot be read do not stop the message from being stored.
    EXPECT_FALSE(insert({request, "Message-ID: " + markedId, "Cc: <a@b> @c"}, "<x@y>").IsApprovedOnce());
}

TEST_F(UTessivarClassificationTest, FiltersMatchSubstringsOfTheWholeLowerCasedMessage) {
    Model().SetBlockedWords("Lottery, Winner");
    Model().SetAdultWords("xxx");
    const auto flags = [&](const std::string& body, const std::vector<std::string>& headers = {}) {
        const TTessivarEmail& email = Insert("erin@example.com", Message("erin@example.com", body, headers));
        return std::string(email.WordBlocked() ? "W" : "-") + (email.AdultBlocked() ? "A" : "-");
    };
    EXPECT_EQ(flags("A plain message"), "--");
    EXPECT_EQ(flags("LOTTERYWINNERS inside a longer word"), "W-");
    EXPECT_EQ(flags("plain", {"X-Note: lottery in a header"}), "W-");
    EXPECT_EQ(flags("xXx and winner"), "WA");
    EXPECT_EQ(flags("lot tery"), "--");
    // Only A to Z change case; other bytes must match exactly.
    Model().SetBlockedWords("\xC9t\xC9");
    EXPECT_EQ(flags("\xE9t\xE9"), "--");
    EXPECT_EQ(flags("\xC9T\xC9"), "W-");
}

TEST_F(UTessivarClassificationTest, ImportedSenderWaitsUntilApprovedThenAllItsMailIsDelivered) {
    TTessivarEmailAddress& sender = Model().AddEmailAddress("frank@example.com", "Frank");
    sender.SetAuthenticationStatus(TAuthenticationStatus::Imported);
    TTessivarEmail& first = Insert("frank@example.com");
    TTessivarEmail& second = Insert("frank@example.com");
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0);
    EXPECT_EQ(sender.AuthenticationStatus(), TAuthenticationStatus::Imported);
    EXPECT_EQ(View(first), TView::Authorization);

    sender.Approve();
    EXPECT_EQ(View(first), TView::Delivery);
    EXPECT_EQ(View(second), TView::Delivery);
}

TEST_F(UTessivarClassificationTest, NoticesChangeEverySenderOfTheAddressIgnoringCase) {
    Model().SetBlockedWords("offer");
    TTessivarEmail& plain = Insert("gina@example.com");
    TTessivarEmail& offer = Insert("gina@example.com", Message("gina@example.com", "An offer"));
    TTessivarEmail& other = Insert("hank@example.com");
    m_Changes = 0;

    Model().SelfAuthentication("GINA@EXAMPLE.COM");
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(View(plain), TView::Delivery);
    EXPECT_EQ(View(offer), TView::Blocked); // tripped a filter
    EXPECT_EQ(View(other), TView::Authorization);
    EXPECT_EQ(Cell("SELECT AuthenticationStatus FROM EmailAddresses WHERE Username='gina'"), "A");

    Model().Undeliverable("Hank@Example.com");
    EXPECT_EQ(View(other), TView::Blocked);
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM EmailAddresses WHERE Username='hank'"), "B");
    Model().Undeliverable("nobody@example.com");
    EXPECT_EQ(m_Changes, 2);
}
