// The web service over real HTTP: the four actions as the program sends them, the challenge of an
// unknown sender from the synchronisation to the authentication page and back, and hostile input.

#include <gtest/gtest.h>

#include "DevServiceFixture.h"
#include "core/UTessivarClassification.h"

namespace {

const std::string Account = "user@example.org";

std::string Credentials(const std::string& password = "secret") {
    return "<Username>" + Account + "</Username><Password>" + password + "</Password>";
}

// A synchronisation argument as the program builds it, with `extra` after the data version.
std::string SyncArgument(int clientVersion, const std::string& extra = {}, const std::string& password = "secret") {
    return "<Generated>2026-12-07T10:15:00.1230000+01:00</Generated>" + Credentials(password) +
           "<SoftwareVersion>01.02.0000</SoftwareVersion><ClientDataVersion>" + std::to_string(clientVersion) +
           "</ClientDataVersion>" + extra;
}

std::string AuthorizationRows(const std::vector<std::string>& senders) {
    std::string rows = "<EmailAddressesRequiringAuthorization>";
    for (const std::string& sender : senders)
        rows += "<EmailAddressRequiringAuthorization><FromEmailAddress>" + sender +
                "</FromEmailAddress><FromDisplayName>Bob Sender</FromDisplayName><ToEmailAddress>" + Account +
                "</ToEmailAddress><ToDisplayName></ToDisplayName><Subject>Lunch on Friday?</Subject>"
                "<Received>2026-12-07T10:15:00.0000000+01:00</Received></EmailAddressRequiringAuthorization>";
    return rows + "</EmailAddressesRequiringAuthorization>";
}

std::string SenderStatus(const std::string& address, const std::string& authentication,
                         const std::string& approval = "Undefined") {
    return "<EmailAddressStatus><EmailAddress>" + address +
           "</EmailAddress><DisplayName>Bob</DisplayName>"
           "<ApprovalStatus>" +
           approval + "</ApprovalStatus><AuthenticationStatus>" + authentication +
           "</AuthenticationStatus><Notes>n</Notes><Deleted>false</Deleted></EmailAddressStatus>";
}

// The status entry of a sender in a synchronisation answer, or nullptr.
const TXMLNode* SenderIn(const TXMLNode& result, const std::string& address) {
    const TXMLNode* list = result.Children().Find("EmailAddressStatuses");
    for (int i = 0; list && i < list->Children().Count(); ++i)
        if (ChildText(list->Children().Items(i), "EmailAddress") == address)
            return &list->Children().Items(i);
    return nullptr;
}

std::string LinkIn(const std::string& mail) {
    const size_t start = mail.find("http://");
    return start == std::string::npos ? std::string() : mail.substr(start, mail.find("\r\n", start) - start);
}

std::string TokenIn(const std::string& mail) {
    const std::string link = LinkIn(mail);
    const size_t token = link.find("token=");
    return token == std::string::npos ? std::string() : link.substr(token + 6);
}

class DevServiceAccountTest : public DevServiceTest {
protected:
    void SetUp() override {
        DevServiceTest::SetUp();
        TXMLNode& created = Result("AccountCreate", Credentials() + "<AdvertiserID></AdvertiserID>");
        ASSERT_EQ(ErrorCount(created), 0);
        ASSERT_EQ(ChildText(created, "AccountStatus"), "Active");
        ASSERT_TRUE(ConfirmAddress());
    }

    std::string Version(const TXMLNode& result) { return ChildText(result, "DataVersion"); }
};

} // namespace

TEST_F(DevServiceTest, AccountRequestsCreateCheckAndChangeThePassword) {
    EXPECT_EQ(ChildText(Result("AccountAvailability", Credentials("")), "AccountStatus"), "Undefined");
    TXMLNode& created = Result("AccountCreate", Credentials() + "<AdvertiserID>ad-7</AdvertiserID>");
    EXPECT_EQ(ErrorCount(created), 0);
    EXPECT_EQ(ChildText(created, "AccountStatus"), "Active");
    // Taken now, also in another letter case, and cannot be created twice.
    EXPECT_EQ(
        ChildText(Result("AccountAvailability", "<Username>USER@Example.org</Username><Password/>"), "AccountStatus"),
        "Active");
    EXPECT_EQ(ErrorCode(Result("AccountCreate", Credentials("other"))), "5");
    // Addresses that cannot carry mail and empty passwords are refused.
    EXPECT_EQ(ErrorCount(Result("AccountCreate", "<Username>no address</Username><Password>x</Password>")), 1);
    EXPECT_EQ(ErrorCount(Result("AccountCreate", "<Username>new@example.org</Username><Password/>")), 1);
    EXPECT_EQ(ChildText(Result("AccountAvailability", "<Username>new@example.org</Username>"), "AccountStatus"),
              "Undefined");

    // The password changes only with the right current one, and then only the new one works.
    EXPECT_EQ(ErrorCount(Result("AccountSetPassword", Credentials("wrong") + "<NewPassword>next</NewPassword>")), 1);
    EXPECT_EQ(ErrorCount(Result("Synchronize", SyncArgument(0))), 0);
    TXMLNode& changed = Result("AccountSetPassword", Credentials() + "<NewPassword>next</NewPassword>");
    EXPECT_EQ(ErrorCount(changed), 0);
    EXPECT_EQ(ErrorCount(Result("Synchronize", SyncArgument(0))), 1);
    EXPECT_EQ(ErrorCount(Result("Synchronize", SyncArgument(0, {}, "next"))), 0);
}

TEST_F(DevServiceAccountTest, UnknownSenderIsChallengedOnceAndAuthenticatesThroughThePagePost) {
    const std::string sender = "bob@example.com";
    TXMLNode& first =
        Result("Synchronize", SyncArgument(0, "<EmailAddressStatuses>" + SenderStatus(sender, "Pending") +
                                                  "</EmailAddressStatuses>" + AuthorizationRows({sender})));
    ASSERT_EQ(ErrorCount(first), 0);
    EXPECT_EQ(ChildText(first, "SoftwareVersion"), "01.02.0000");
    const std::string version = Version(first);

    // One authentication request, from the account to the sender, marked for the program.
    auto mails = OutboxMails();
    ASSERT_EQ(mails.size(), 1u);
    const std::string request = mails[0];
    EXPECT_EQ(MailHeader(request, "From"), Account);
    EXPECT_EQ(MailHeader(request, "To"), "\"Bob Sender\" <" + sender + ">");
    EXPECT_NE(request.find("\r\nX-Tessivar: Authentication-Request\r\n"), std::string::npos);
    EXPECT_NE(MailHeader(request, "Message-Id").find("@" + std::string(AuthenticationRequestMarkerDomain) + ">"),
              std::string::npos);
    EXPECT_NE(MailHeader(request, "Subject").find("Lunch on Friday?"), std::string::npos);
    EXPECT_NE(request.find("2026-12-07 10:15 +01:00"), std::string::npos);
    EXPECT_EQ(request.find("\n\n"), std::string::npos) << "every line ends in CR LF";
    const std::string link = LinkIn(request);
    ASSERT_EQ(link.rfind(BaseURL() + "/authenticate.aspx?token=", 0), 0u) << link;
    ASSERT_EQ(TokenIn(request).size(), 64u);

    // A second synchronisation within 7 days sends no second request.
    EXPECT_EQ(ErrorCount(Result("Synchronize", SyncArgument(0, AuthorizationRows({sender})))), 0);
    EXPECT_EQ(OutboxMails().size(), 1u);

    // Opening the link shows the message and a button, and changes nothing.
    const THTTPResult page = Get(link);
    EXPECT_EQ(page.Status, 200);
    EXPECT_NE(page.Body.find("Lunch on Friday?"), std::string::npos);
    EXPECT_NE(page.Body.find("method=\"post\""), std::string::npos);
    TXMLNode& afterGet = Result("Synchronize", SyncArgument(std::stoi(version)));
    EXPECT_EQ(SenderIn(afterGet, sender), nullptr);
    EXPECT_EQ(Version(afterGet), version);
    EXPECT_EQ(OutboxMails().size(), 1u);

    // The button authenticates and tells the user's mailbox.
    const THTTPResult done =
        Post(BaseURL() + "/authenticate.aspx", "token=" + TokenIn(request), "application/x-www-form-urlencoded");
    EXPECT_EQ(done.Status, 200);
    mails = OutboxMails();
    ASSERT_EQ(mails.size(), 2u);
    const std::string notice = mails[1];
    EXPECT_EQ(MailHeader(notice, "From"), "\"Bob Sender\" <" + sender + ">");
    EXPECT_EQ(MailHeader(notice, "To"), Account);
    EXPECT_EQ(MailHeader(notice, "X-Tessivar"), "Self-Authentication-Notification");

    // The next synchronisation brings the sender back Authenticated, with a newer data version.
    TXMLNode& afterPost = Result("Synchronize", SyncArgument(std::stoi(version)));
    ASSERT_NE(SenderIn(afterPost, sender), nullptr);
    EXPECT_EQ(ChildText(*SenderIn(afterPost, sender), "AuthenticationStatus"), "Authenticated");
    EXPECT_GT(std::stoi(Version(afterPost)), std::stoi(version));

    // A program that has not heard of it yet and still sends Pending does not undo it, and an
    // authenticated sender is never challenged again, not even after the 7 days.
    AdvanceDays(8);
    TXMLNode& stale = Result("Synchronize", SyncArgument(std::stoi(Version(afterPost)),
                                                         "<EmailAddressStatuses>" + SenderStatus(sender, "Pending") +
                                                             "</EmailAddressStatuses>" + AuthorizationRows({sender})));
    ASSERT_NE(SenderIn(stale, sender), nullptr);
    EXPECT_EQ(ChildText(*SenderIn(stale, sender), "AuthenticationStatus"), "Authenticated");
    EXPECT_EQ(OutboxMails().size(), 2u);

    // The used link is refused and changes nothing.
    const THTTPResult again =
        Post(BaseURL() + "/authenticate.aspx", "token=" + TokenIn(request), "application/x-www-form-urlencoded");
    EXPECT_EQ(again.Status, 410);
    EXPECT_EQ(Get(link).Status, 410);
    EXPECT_EQ(OutboxMails().size(), 2u);
}

TEST_F(DevServiceAccountTest, ChallengesRepeatAfterSevenDaysAndTheirTokensExpire) {
    const std::string sender = "carol@example.net";
    Result("Synchronize", SyncArgument(0, AuthorizationRows({sender, sender})));
    ASSERT_EQ(OutboxMails().size(), 1u) << "two messages of one sender make one request";
    const std::string firstToken = TokenIn(OutboxMails()[0]);

    AdvanceDays(6);
    Result("Synchronize", SyncArgument(0, AuthorizationRows({sender})));
    EXPECT_EQ(OutboxMails().size(), 1u);
    AdvanceDays(2);
    Result("Synchronize", SyncArgument(0, AuthorizationRows({sender})));
    ASSERT_EQ(OutboxMails().size(), 2u);

    // 31 days after the first request its token has expired; the newer one still works.
    AdvanceDays(23);
    EXPECT_EQ(Post(BaseURL() + "/authenticate.aspx", "token=" + firstToken, "application/x-www-form-urlencoded").Status,
              410);
    EXPECT_EQ(OutboxMails().size(), 2u);
    TXMLNode& before = Result("Synchronize", SyncArgument(0));
    EXPECT_EQ(ChildText(*SenderIn(before, sender), "AuthenticationStatus"), "Pending");
    const std::string secondToken = TokenIn(OutboxMails()[1]);
    EXPECT_EQ(
        Post(BaseURL() + "/authenticate.aspx", "token=" + secondToken, "application/x-www-form-urlencoded").Status,
        200);
    EXPECT_EQ(ChildText(*SenderIn(Result("Synchronize", SyncArgument(0)), sender), "AuthenticationStatus"),
              "Authenticated");

    // Unknown and malformed tokens get the plain refusal.
    EXPECT_EQ(Get(BaseURL() + "/authenticate.aspx?token=" + std::string(64, 'a')).Status, 404);
    EXPECT_EQ(Get(BaseURL() + "/authenticate.aspx?token='%20OR%201=1--").Status, 404);
    EXPECT_EQ(Post(BaseURL() + "/authenticate.aspx", "", "application/x-www-form-urlencoded").Status, 404);
}

TEST_F(DevServiceAccountTest, WrongCredentialsAndUnknownAccountsStoreAndSendNothing) {
    TXMLNode& wrong = Result("Synchronize", SyncArgument(0, AuthorizationRows({"dave@example.com"}), "guess"));
    ASSERT_EQ(ErrorCount(wrong), 1);
    EXPECT_EQ(ErrorCode(wrong), "4");
    EXPECT_EQ(wrong.Children().Find("DataVersion"), nullptr);
    EXPECT_TRUE(OutboxMails().empty());

    // The setup wizard's check of an account that does not exist: "Undefined" and no error.
    TXMLNode& check = Result("Synchronize", "<Username>nobody@example.org</Username><Password>x</Password>"
                                            "<ClientDataVersion>0</ClientDataVersion>");
    EXPECT_EQ(ErrorCount(check), 0);
    EXPECT_EQ(ChildText(check, "AccountStatus"), "Undefined");
    // The same check with a wrong password: the account is not found with these credentials.
    TXMLNode& guessed = Result("Synchronize", Credentials("guess") + "<ClientDataVersion>0</ClientDataVersion>");
    EXPECT_EQ(ErrorCount(guessed), 0);
    EXPECT_EQ(ChildText(guessed, "AccountStatus"), "Undefined");
    EXPECT_EQ(guessed.Children().Find("DataVersion"), nullptr);
    // The program's own synchronisation for it fails, so its changes stay marked for sending.
    TXMLNode& lost = Result("Synchronize", "<Username>nobody@example.org</Username><Password>x</Password>"
                                           "<SoftwareVersion>01.02.0000</SoftwareVersion>"
                                           "<ClientDataVersion>3</ClientDataVersion>" +
                                               AuthorizationRows({"dave@example.com"}));
    EXPECT_EQ(ErrorCount(lost), 1);
    EXPECT_TRUE(OutboxMails().empty());
    EXPECT_EQ(SenderIn(Result("Synchronize", SyncArgument(0)), "dave@example.com"), nullptr);
}

TEST_F(DevServiceAccountTest, SynchronizeAnswersWhatChangedAfterTheClientsDataVersion) {
    const std::string settings =
        "<AccountSettings><Signature>Regards</Signature><BlockedWords>spam, offer</BlockedWords>"
        "<AdultWords>xxx</AdultWords><UnlockPassword>pin</UnlockPassword>"
        "<LockAccess>true</LockAccess></AccountSettings>";
    const std::string domains = "<DomainNameStatuses><DomainNameStatus><DomainName>example.com</DomainName>"
                                "<ApprovalStatus>approved</ApprovalStatus><Notes>work</Notes><Deleted>false</Deleted>"
                                "</DomainNameStatus></DomainNameStatuses>";
    TXMLNode& first = Result("Synchronize", SyncArgument(0, settings + domains + "<EmailAddressStatuses>" +
                                                                SenderStatus("eve@example.com", "Imported", "Blocked") +
                                                                "</EmailAddressStatuses>"));
    ASSERT_EQ(ErrorCount(first), 0);
    const int version = std::stoi(ChildText(first, "DataVersion"));
    EXPECT_GT(version, 0);

    // A second computer of the account (data version 0) receives all of it, texts normalised.
    TXMLNode& all = Result("Synchronize", SyncArgument(0));
    EXPECT_EQ(ChildText(all.Child("AccountSettings"), "BlockedWords"), "spam, offer");
    EXPECT_EQ(ChildText(all.Child("AccountSettings"), "LockAccess"), "true");
    EXPECT_EQ(ChildText(all.Child("DomainNameStatuses").Child("DomainNameStatus"), "ApprovalStatus"), "Approved");
    ASSERT_NE(SenderIn(all, "eve@example.com"), nullptr);
    EXPECT_EQ(ChildText(*SenderIn(all, "eve@example.com"), "ApprovalStatus"), "Blocked");

    // Up to date: nothing but the version; sending the same values again changes no version.
    TXMLNode& same = Result("Synchronize", SyncArgument(version, settings + domains));
    EXPECT_EQ(std::stoi(ChildText(same, "DataVersion")), version);
    EXPECT_EQ(same.Children().Find("AccountSettings"), nullptr);
    EXPECT_EQ(same.Children().Find("DomainNameStatuses"), nullptr);
    EXPECT_EQ(same.Children().Find("EmailAddressStatuses"), nullptr);

    // A change is answered alone, to a client that was up to date.
    TXMLNode& deleted =
        Result("Synchronize", SyncArgument(version, "<DomainNameStatuses><DomainNameStatus>"
                                                    "<DomainName>EXAMPLE.com</DomainName><ApprovalStatus>"
                                                    "Approved</ApprovalStatus><Notes>work</Notes>"
                                                    "<Deleted>true</Deleted></DomainNameStatus>"
                                                    "</DomainNameStatuses>"));
    EXPECT_EQ(std::stoi(ChildText(deleted, "DataVersion")), version + 1);
    EXPECT_EQ(deleted.Child("DomainNameStatuses").Children().Count(), 1);
    EXPECT_EQ(ChildText(deleted.Child("DomainNameStatuses").Child("DomainNameStatus"), "Deleted"), "true");
    EXPECT_EQ(deleted.Children().Find("EmailAddressStatuses"), nullptr);
    // A version that is no number, or one from before a reset of the service, asks for everything.
    EXPECT_NE(Result("Synchronize", Credentials() + "<ClientDataVersion>ten</ClientDataVersion>")
                  .Children()
                  .Find("EmailAddressStatuses"),
              nullptr);
    EXPECT_NE(Result("Synchronize", SyncArgument(999)).Children().Find("EmailAddressStatuses"), nullptr);
}

TEST_F(DevServiceTest, HostileRequestsAreAnsweredAndTheServiceKeepsServing) {
    const std::string url = BaseURL() + "/Client.asmx";
    const std::string envelope = "<?xml version=\"1.0\"?><soap:Envelope><soap:Body>";
    auto fault = [&](const std::string& body) {
        const THTTPResult result = Post(url, body, "text/xml; charset=utf-8");
        EXPECT_EQ(result.Status, 500) << body.substr(0, 80);
        EXPECT_NE(result.Body.find("<soap:Fault>"), std::string::npos) << result.Body;
    };
    fault("");
    fault("garbage");
    fault(envelope + "<Synchronize><SynchronizeArgument><Username>a");
    fault(envelope + "</soap:Body></soap:Envelope>");
    fault(envelope + "<DropTables/></soap:Body></soap:Envelope>");
    std::string nested;
    for (int i = 0; i < 5000; ++i)
        nested += "<a>";
    fault(envelope + "<Synchronize><SynchronizeArgument>" + nested);
    std::string wide = envelope + "<Synchronize><SynchronizeArgument>";
    while (wide.size() < 3'500'000)
        wide += "<a/>";
    fault(wide + "</SynchronizeArgument></Synchronize></soap:Body></soap:Envelope>");

    // Beyond 8 MiB the body is refused before it is read.
    EXPECT_EQ(Post(url, std::string(9 * 1024 * 1024, 'x'), "text/xml").Status, 413);

    // A known action without its argument, and wrongly typed values, get error entries.
    const THTTPResult bare = Post(url, envelope + "<Synchronize/></soap:Body></soap:Envelope>", "text/xml");
    EXPECT_EQ(bare.Status, 200);
    EXPECT_NE(bare.Body.find("<Code>2</Code>"), std::string::npos) << bare.Body;
    EXPECT_EQ(ErrorCount(Result("AccountCreate", "<Username><b>x</b></Username><Password>p</Password>")), 1);
    EXPECT_EQ(ErrorCount(Result("Synchronize", "<Username>x@y.z</Username><Password/><ClientDataVersion>"
                                               "9999999999999</ClientDataVersion><SoftwareVersion/>")),
              1);
    EXPECT_EQ(Get(url).Status, 404);

    // Still serving.
    EXPECT_EQ(ChildText(Result("AccountAvailability", "<Username>a@b.c</Username>"), "AccountStatus"), "Undefined");
}
