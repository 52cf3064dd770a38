// Who the service never challenges, and its word on the ids of the authentication requests it sent:
// a forged request or bounce is told apart from a genuine one by its Message-Id alone.

#include <gtest/gtest.h>

#include "DevServiceFixture.h"

namespace {

const std::string Alice = "alice@example.org";
const std::string Carol = "carol@example.net";

std::string Credentials(const std::string& account) {
    return "<Username>" + account + "</Username><Password>secret</Password>";
}

std::string Sync(const std::string& account, const std::string& extra) {
    return "<Generated>2026-12-07T10:15:00.1230000+01:00</Generated>" + Credentials(account) +
           "<SoftwareVersion>01.02.0000</SoftwareVersion><ClientDataVersion>0</ClientDataVersion>" + extra;
}

std::string Rows(const std::vector<std::string>& senders) {
    std::string rows = "<EmailAddressesRequiringAuthorization>";
    for (const std::string& sender : senders)
        rows += "<EmailAddressRequiringAuthorization><FromEmailAddress>" + sender +
                "</FromEmailAddress><FromDisplayName/><ToEmailAddress>" + Alice +
                "</ToEmailAddress><ToDisplayName/><Subject>Hi</Subject>"
                "<Received>2026-12-07T10:15:00.0000000+01:00</Received></EmailAddressRequiringAuthorization>";
    return rows + "</EmailAddressesRequiringAuthorization>";
}

std::string Domain(const std::string& name, const std::string& status) {
    return "<DomainNameStatus><DomainName>" + name + "</DomainName><ApprovalStatus>" + status +
           "</ApprovalStatus><Notes/><Deleted>false</Deleted></DomainNameStatus>";
}

class RequestMessagesTest : public DevServiceTest {
protected:
    void SetUp() override {
        DevServiceTest::SetUp();
        // Each owner confirms the address, as the service sends nothing from it before.
        for (const std::string& account : {Alice, Carol}) {
            ASSERT_EQ(ErrorCount(Result("AccountCreate", Credentials(account) + "<AdvertiserID/>")), 0);
            ASSERT_TRUE(ConfirmAddress()) << account;
        }
    }

    // The Message-Id of the one request the outbox holds for the recipient, without brackets.
    std::string RequestIdTo(const std::string& recipient) {
        for (const std::string& mail : OutboxMails())
            if (MailHeader(mail, "To").find(recipient) != std::string::npos) {
                const std::string id = MailHeader(mail, "Message-Id");
                return id.substr(1, id.size() - 2);
            }
        return {};
    }

    TXMLNode& Verify(const std::string& account, const std::string& messageId) {
        return Result("VerifyAuthenticationRequest", Credentials(account) + "<MessageId>" + messageId + "</MessageId>");
    }
};

} // namespace

TEST_F(RequestMessagesTest, RobotsAndSendersOfApprovedDomainsAreNeverChallengedWhateverTheProgramSends) {
    const std::string domains = "<DomainNameStatuses>" + Domain("partner.example", "Approved") +
                                Domain("blocked.example", "Blocked") +
                                Domain("undecided.partner.example", "Undefined") + "</DomainNameStatuses>";
    const std::vector<std::string> never = {
        "noreply@shop.example", "No-Reply@shop.example",  "DoNotReply@bank.example", "do-not-reply@x.example",
        "bounce@x.example",     "bounces+77@x.example",   "MAILER-DAEMON@x.example", "postmaster@x.example",
        "listserv@x.example",   "majordomo@x.example",    "owner-tea@x.example",     "tea-request@x.example",
        "ann@partner.example",  "bob@sub.partner.example"};
    std::vector<std::string> senders = never;
    senders.push_back("dan@blocked.example"); // a blocked domain is no approval
    senders.push_back("reply@shop.example");  // a person may be called so
    // A sub-domain with a record of its own goes by that record, as its mail does at the program.
    senders.push_back("cy@undecided.partner.example");
    ASSERT_EQ(ErrorCount(Result("Synchronize", Sync(Alice, domains + Rows(senders)))), 0);
    const std::vector<std::string> mails = OutboxMails();
    EXPECT_EQ(mails.size(), 3u);
    for (const std::string& address : never)
        EXPECT_TRUE(RequestIdTo(address).empty()) << address;
    EXPECT_FALSE(RequestIdTo("dan@blocked.example").empty());
    EXPECT_FALSE(RequestIdTo("reply@shop.example").empty());
    EXPECT_FALSE(RequestIdTo("cy@undecided.partner.example").empty());
    // Every request says it is an automatic reply, so that no screening program answers it again.
    for (const std::string& mail : mails)
        EXPECT_EQ(MailHeader(mail, "Auto-Submitted"), "auto-replied");
}

TEST_F(RequestMessagesTest, OnlyIdsTheServiceSentVerifyAndOnlyTheSendingAccountOwnsThem) {
    ASSERT_EQ(ErrorCount(Result("Synchronize", Sync(Alice, Rows({"bob@example.com"})))), 0);
    const std::string id = RequestIdTo("bob@example.com");
    ASSERT_FALSE(id.empty());

    // The account that sent it: genuine, its own, to bob.
    TXMLNode& own = Verify(Alice, "&lt;" + id + "&gt;"); // as written in the mail

    EXPECT_EQ(ChildText(own, "Genuine"), "true");
    EXPECT_EQ(ChildText(own, "SentByAccount"), "true");
    EXPECT_EQ(ChildText(own, "Sender"), Alice);
    EXPECT_EQ(ChildText(own, "Recipient"), "bob@example.com");
    // Another user receiving it (as bob would, were he one): genuine, not its own.
    TXMLNode& other = Verify(Carol, id);
    EXPECT_EQ(ChildText(other, "Genuine"), "true");
    EXPECT_EQ(ChildText(other, "SentByAccount"), "false");

    // Made-up ids in the marker domain, near misses and empty ids prove nothing.
    for (const std::string& forged : {std::string("0123456789abcdef0123456789abcdef@auth.tessivar.com"), id.substr(1),
                                     id + "x", std::string(), std::string("&lt;&gt;")}) {
        TXMLNode& answer = Verify(Alice, forged);
        EXPECT_EQ(ErrorCount(answer), 0) << forged;
        EXPECT_EQ(ChildText(answer, "Genuine"), "false") << forged;
        EXPECT_EQ(ChildText(answer, "Recipient"), "(missing)") << forged;
    }
    // Without the account's password the service says nothing at all.
    TXMLNode& wrong =
        Result("VerifyAuthenticationRequest",
               "<Username>" + Alice + "</Username><Password>guess</Password><MessageId>" + id + "</MessageId>");
    EXPECT_EQ(ErrorCount(wrong), 1);
    EXPECT_EQ(ChildText(wrong, "Genuine"), "(missing)");

    // Ids expire with the request's link.
    AdvanceDays(31);
    EXPECT_EQ(ChildText(Verify(Alice, id), "Genuine"), "false");
}
