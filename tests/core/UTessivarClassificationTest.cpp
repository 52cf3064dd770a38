#include "core/UTessivarClassification.h"

#include "core/USQLite.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarLogItem.h"

#include "tests/core/ModelFixture.h"

#include <fstream>
#include <sstream>

namespace {

// The view an email shows in: "delivery", "blocked", "authorization", or "none" when deleted.
std::string View(const TTessivarEmail& email) {
    const bool delivery = email.IsAwaitingDelivery(), blocked = email.IsBlockedMail();
    EXPECT_FALSE(delivery && blocked);
    return delivery ? "delivery" : blocked ? "blocked" : email.Deleted() ? "none" : "authorization";
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
        const char* Expected;
    };
    const A U = A::Undefined, B = A::Blocked, OK = A::Approved;
    const TRow rows[] = {
        {"unknown sender", U, U, U, false, false, S::Pending, false, "authorization"},
        {"imported sender", U, U, U, false, false, S::Imported, false, "authorization"},
        {"authenticated sender", U, U, U, false, false, S::Authenticated, false, "delivery"},
        {"authenticated sender, blocked word", U, U, U, true, false, S::Authenticated, false, "blocked"},
        {"authenticated sender, adult word", U, U, U, false, true, S::Authenticated, false, "blocked"},
        {"unknown sender, blocked word", U, U, U, true, false, S::Pending, false, "blocked"},
        {"approved sender, both words", OK, U, U, true, true, S::Pending, false, "delivery"},
        {"approved domain, adult word", U, OK, U, false, true, S::Pending, false, "delivery"},
        {"blocked sender in approved domain", B, OK, U, false, false, S::Pending, false, "blocked"},
        {"approved sender in blocked domain", OK, B, U, false, false, S::Pending, false, "delivery"},
        {"authenticated sender in blocked domain", U, B, U, false, false, S::Authenticated, false, "blocked"},
        {"blocked authenticated sender", B, U, U, false, false, S::Authenticated, false, "blocked"},
        {"approved once, blocked sender", B, U, OK, false, false, S::Pending, false, "delivery"},
        {"approved once, blocked domain, word", U, B, OK, true, false, S::Pending, false, "delivery"},
        {"blocked once, approved sender", OK, U, B, false, false, S::Pending, false, "blocked"},
        {"blocked once, authenticated sender", U, U, B, false, false, S::Authenticated, false, "blocked"},
        {"deleted, approved once", U, U, OK, false, false, S::Pending, true, "none"},
        {"deleted, approved sender", OK, U, U, false, false, S::Pending, true, "none"},
        {"deleted, blocked sender", B, U, U, false, false, S::Pending, true, "none"},
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
        EXPECT_EQ(View(email), row.Expected);
    }
}

TEST_F(UTessivarClassificationTest, FirstMessageOfAnUnknownSenderIsQueuedOnceAndCommitted) {
    TTessivarEmail& first =
        Model().InsertEmail(*m_Account, "<1@example.com>", Message("Alice <alice@example.com>"),
                            EncodeDateTime(2026, 3, 4), "Greetings", "alice@example.com", "Alice", "me@example.test", "");
    ASSERT_EQ(Model().EmailCount(), 1);
    EXPECT_EQ(&Model().Emails(0), &first);
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(first.FromEmailAddress()->AuthenticationStatus(), TAuthenticationStatus::Pending);
    EXPECT_EQ(View(first), "authorization");
    // The message file is complete, every line followed by CR LF, once the insert has returned.
    EXPECT_EQ(FileText(first.FileName()), "From: Alice <alice@example.com>\r\nTo: me@example.test\r\n"
                                          "Subject: Greetings\r\n\r\nHello\r\n");
    // Every row is committed: another connection sees them.
    TSQLite other(m_Dir + "Tessivar.db");
    other.Open();
    EXPECT_EQ(other.Query("SELECT * FROM EmailAddressesRequiringAuthorization WHERE FromEmailAddress="
                          "'alice@example.com' AND FromDisplayName='Alice' AND ToEmailAddress='me@example.test' AND "
                          "Subject='Greetings' AND SyncID=-1"),
              1);
    EXPECT_EQ(other.Query("SELECT * FROM EmailAddresses WHERE AuthenticationStatus='P'"), 1);
    EXPECT_EQ(other.Query("SELECT * FROM DomainNames WHERE DomainName='example.com' AND ApprovalStatus='?'"), 1);
    EXPECT_EQ(other.Query("SELECT * FROM Emails WHERE ID=" + std::to_string(first.ID())), 1);
    other.Close();

    EXPECT_EQ(Insert("ALICE@Example.com").FromEmailAddress(), first.FromEmailAddress());
    Model().AddEmailAddress("ian@example.com", "").SetAuthenticationStatus(TAuthenticationStatus::Imported);
    EXPECT_EQ(View(Insert("ian@example.com")), "authorization");
    EXPECT_EQ(Model().EmailAddressCount(), 2);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
}

TEST_F(UTessivarClassificationTest, FailedInsertLeavesNothingBehindAndPutsRecordsBack) {
    TTessivarEmailAddress& bob = Model().AddEmailAddress("bob@example.com", "Old Name");
    bob.Delete();
    Model().SetSynchronizationRequired(false);
    m_Changes = 0;
    std::filesystem::remove_all(m_Dir + "store");
    std::ofstream(m_Dir + "store") << "not a directory";

    EXPECT_THROW(Insert("alice@new.example"), Exception);
    EXPECT_THROW(Insert("bob@example.com", Message("bob@example.com"), "<2@x>", "New Name"), Exception);
    EXPECT_FALSE(Model().IsUpdating());
    EXPECT_EQ(m_Changes, 2);
    // Only bob and his domain remain, in memory and in the database.
    EXPECT_EQ(Model().EmailCount(), 0);
    EXPECT_EQ(Model().EmailAddressCount(), 1);
    EXPECT_EQ(Model().DomainNameCount(), 1);
    EXPECT_EQ(Count("Emails") + Count("EmailAddressesRequiringAuthorization"), 0);
    EXPECT_EQ(Count("EmailAddresses") + Count("DomainNames"), 2);
    EXPECT_TRUE(bob.Deleted());
    EXPECT_EQ(bob.DisplayName(), "Old Name");
    EXPECT_EQ(bob.AuthenticationStatus(), TAuthenticationStatus::Undefined);
    EXPECT_FALSE(Model().SynchronizationRequired());
    EXPECT_EQ(Cell("SELECT Deleted || DisplayName || AuthenticationStatus FROM EmailAddresses"), "1Old Name?");

    // The checker's next pass stores the message as if it were the first time.
    std::filesystem::remove(m_Dir + "store");
    TTessivarEmail& email = Insert("alice@new.example");
    EXPECT_EQ(&Model().FindEmailAddressByID(email.FromEmailAddress()->ID()), email.FromEmailAddress());
    EXPECT_EQ(&Model().FindDomainNameByID(email.FromEmailAddress()->DomainName()->ID()),
              email.FromEmailAddress()->DomainName());
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    EXPECT_TRUE(std::filesystem::exists(email.FileName()));
}

TEST_F(UTessivarClassificationTest, DeletedRecordsReviveWithoutTheirOldStatus) {
    TTessivarEmailAddress& sender = Model().AddEmailAddress("bob@example.com", "Old Name");
    sender.SetAuthenticationStatus(TAuthenticationStatus::Authenticated);
    sender.Block();
    sender.Delete();
    TTessivarDomainName& other = Model().AddDomainName("other.example");
    other.Approve();
    other.Delete();

    EXPECT_EQ(Insert("bob@example.com", Message("bob@example.com"), "<1@x>", "New Name").FromEmailAddress(), &sender);
    EXPECT_EQ(Cell("SELECT Deleted || DisplayName || ApprovalStatus || AuthenticationStatus FROM EmailAddresses"),
              "0New Name?P");
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 0); // asked before, not queued again
    // A sender that is not deleted keeps its display name.
    Model().AddEmailAddress("BOB@example.com", "Third Name");
    EXPECT_EQ(sender.DisplayName(), "New Name");

    EXPECT_EQ(&Model().AddDomainName("OTHER.example"), &other);
    EXPECT_EQ(Cell("SELECT Deleted || ApprovalStatus FROM DomainNames WHERE ID=" + std::to_string(other.ID())), "0?");
}

TEST_F(UTessivarClassificationTest, NewDomainNameTakesTheNearestParentsStatusOnce) {
    Model().AddDomainName("example.com").Approve();
    TTessivarEmail& email = Insert("carol@mail.example.com");
    TTessivarDomainName& child = *email.FromEmailAddress()->DomainName();
    EXPECT_EQ(child.DomainName(), "mail.example.com");
    EXPECT_EQ(Cell("SELECT ApprovalStatus FROM DomainNames WHERE DomainName='mail.example.com'"), "A");
    EXPECT_EQ(View(email), "delivery");

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
    TTessivarEmailAddress& sender = *Insert("postmaster").FromEmailAddress();
    EXPECT_EQ(sender.Username(), "");
    EXPECT_EQ(sender.DomainName()->DomainName(), "postmaster");
    // The same address finds the same sender again: no second sender, no second request.
    EXPECT_EQ(Insert("Postmaster").FromEmailAddress(), &sender);
    EXPECT_EQ(Model().EmailAddressCount(), 1);
    EXPECT_EQ(Count("EmailAddressesRequiringAuthorization"), 1);
    EXPECT_NE(Insert("someone@postmaster").FromEmailAddress(), &sender);
}

// Anybody can write the header and an id in the marker domain: only the service's answer may
// approve such a message (service tests), never the message itself. Nor is its sender challenged
// back: two screening programs would answer each other's requests for ever.
TEST_F(UTessivarClassificationTest, AuthenticationRequestIsNeitherApprovedOnItsOwnWordNorChallengedBack) {
    const std::string request = "X-Tessivar: Authentication-Request";
    const std::string markedId = "<a1b2@auth.tessivar.com>";
    const auto approved = [&](const std::vector<std::string>& headers, const std::string& passedId) {
        return Insert("dave@example.com", Message("dave@example.com", "Hello", headers), passedId).IsApprovedOnce();
    };
    EXPECT_FALSE(approved({request, "Message-ID: " + markedId}, markedId));
    EXPECT_FALSE(approved({"x-tessivar:  authentication-request", "Message-Id: " + markedId}, "<x@y>"));
    EXPECT_FALSE(approved({request, "Message-ID: " + markedId, "Cc: <a@b> @c"}, "<x@y>"));
    EXPECT_EQ(Cell("SELECT COUNT(*) FROM Emails WHERE ApprovalStatus<>'?'"), "0");
    EXPECT_EQ(Cell("SELECT COUNT(*) FROM EmailAddressesRequiringAuthorization"), "0");
    EXPECT_EQ(Cell("SELECT COUNT(*) FROM Emails"), "3");
}

TEST_F(UTessivarClassificationTest, FiltersMatchSubstringsOfTheWholeLowerCasedMessage) {
    Model().SetBlockedWords("Lottery, Winner");
    Model().SetAdultWords("xxx");
    const auto flags = [&](const std::string& body, const std::vector<std::string>& headers = {}) {
        const TTessivarEmail& email = Insert("erin@example.com", Message("erin@example.com", body, headers));
        return std::string(email.WordBlocked() ? "W" : "-") + (email.AdultBlocked() ? "A" : "-");
    };
    EXPECT_EQ(flags("A plain message, lot tery"), "--");
    EXPECT_EQ(flags("LOTTERYWINNERS inside a longer word"), "W-");
    EXPECT_EQ(flags("plain", {"X-Note: lottery in a header"}), "W-");
    EXPECT_EQ(flags("xXx and winner"), "WA");
    // Only A to Z change case; other bytes must match exactly.
    Model().SetBlockedWords("\xC9t\xC9");
    EXPECT_EQ(flags("\xE9t\xE9"), "--");
    EXPECT_EQ(flags("\xC9T\xC9"), "W-");
}

// A self-authentication notice is a hint that anybody can forge: it changes no sender by itself
// (it starts a synchronisation, whose answer decides). Blocking goes to every sender of the address.
TEST_F(UTessivarClassificationTest, NoticeChangesNoSenderAndUndeliverableBlocksEverySenderOfTheAddress) {
    TTessivarEmail& plain = Insert("gina@example.com");
    TTessivarEmail& other = Insert("hank@example.com");
    m_Changes = 0;

    Model().SelfAuthentication("GINA@EXAMPLE.COM");
    Model().SelfAuthentication("gina@example.com");
    EXPECT_EQ(View(plain), "authorization");
    EXPECT_EQ(m_Changes, 0);
    Model().Undeliverable("Hank@Example.com");
    EXPECT_EQ(View(other), "blocked");
    Model().Undeliverable("nobody@example.com");
    EXPECT_EQ(m_Changes, 1);
    EXPECT_EQ(Cell("SELECT group_concat(ApprovalStatus || AuthenticationStatus) FROM EmailAddresses"), "?P,BP");
}

// An address that is not whole (empty, a bare domain) names no single sender: the sender shared by
// every message without one must not be blocked.
TEST_F(UTessivarClassificationTest, UndeliverableNeedsACompleteAddress) {
    TTessivarEmail& nobody = Insert("", Message(""));
    TTessivarEmail& bare = Insert("example.org", Message("example.org"));
    for (const std::string address : {"", "example.org", "@example.org"})
        Model().Undeliverable(address);
    EXPECT_EQ(View(nobody), "authorization");
    EXPECT_EQ(View(bare), "authorization");
}

// Challenges go only where a person reads them and the mail is held: not to senders of an approved
// domain (delivered anyway), robot mailboxes, automatic or list mail. Those are held unasked, the
// activity log says why once per sender, and a later personal message of theirs is asked about.
TEST_F(UTessivarClassificationTest, ApprovedDomainRobotsAutomaticAndListMailAreNeverQueued) {
    Model().AddDomainName("partner.example").Approve();
    const auto queued = [&] {
        return Cell("SELECT group_concat(FromEmailAddress) FROM EmailAddressesRequiringAuthorization");
    };
    const auto logged = [&] {
        std::string text;
        for (int i = 0; i < Model().LogItemCount(); ++i)
            if (Model().LogItems(i).Details().find("No authentication request") == 0)
                text += Model().LogItems(i).Details() + "\n";
        return text;
    };

    EXPECT_EQ(View(Insert("ann@sub.partner.example")), "delivery");
    for (const std::string robot :
         {"noreply@shop.example", "No-Reply+orders@shop.example", "donotreply@bank.example", "bounces@lists.example",
          "owner-tea@lists.example", "tea-request@lists.example", "postmaster@mx.example"})
        EXPECT_EQ(View(Insert(robot)), "authorization") << robot;
    const std::vector<std::vector<std::string>> automatic = {{"Auto-Submitted: auto-replied"},
                                                             {"Auto-Submitted: Auto-Generated; owner-email=x@y"},
                                                             {"Precedence: bulk"},
                                                             {"precedence: LIST"},
                                                             {"Precedence: junk"},
                                                             {"List-Id: <tea.lists.example>"},
                                                             {"List-Unsubscribe: <mailto:u@x>"},
                                                             {"Return-Path: < >"}};
    for (size_t i = 0; i < automatic.size(); ++i) {
        const std::string from = "person" + std::to_string(i) + "@example.com";
        EXPECT_EQ(View(Insert(from, Message(from, "Hi", automatic[i]))), "authorization") << automatic[i][0];
    }
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(Cell("SELECT COUNT(*) FROM EmailAddresses WHERE AuthenticationStatus='P'"), "0");
    const std::string explained = logged();
    EXPECT_NE(explained.find("noreply@shop.example: the address is a robot's"), std::string::npos) << explained;
    EXPECT_NE(explained.find("person0@example.com: the message was sent automatically (Auto-Submitted: auto-replied)"),
              std::string::npos);
    EXPECT_NE(explained.find("person5@example.com: the message comes from a mailing list (List-Id)"),
              std::string::npos);
    EXPECT_EQ(explained.find("ann@sub.partner.example"), std::string::npos); // delivered: nothing to explain

    // Once per sender; a personal message of the list's poster is asked about after all.
    Insert("noreply@shop.example");
    Insert("person5@example.com", Message("person5@example.com", "Hi", {"List-Id: <tea.lists.example>"}));
    EXPECT_EQ(logged(), explained);
    Insert("person0@example.com", Message("person0@example.com", "Hi", {"Auto-Submitted: no"}));
    Insert("person5@example.com");
    Insert("reply@shop.example");
    EXPECT_EQ(queued(), "person0@example.com,person5@example.com,reply@shop.example");
}
