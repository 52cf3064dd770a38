// The web site of the reference service: the help pages and their anchors, the members' account
// page behind the posted credentials, and the one notice imported senders receive.

#include <gtest/gtest.h>

#include "DevServiceFixture.h"
#include "devservice/UServiceMail.h"
#include "devservice/UWebSite.h"

#include <algorithm>

namespace {

const std::string Account = "user@example.org";

std::string Credentials(const std::string& password = "secret") {
    return "<Username>" + Account + "</Username><Password>" + password + "</Password>";
}

std::string SenderRow(const std::string& sender, const std::string& authentication = "Imported",
                      const std::string& deleted = "false") {
    return "<EmailAddressStatus><EmailAddress>" + sender +
           "</EmailAddress><DisplayName>Ann Friend</DisplayName><ApprovalStatus>Approved</ApprovalStatus>"
           "<AuthenticationStatus>" +
           authentication + "</AuthenticationStatus><Notes></Notes><Deleted>" + deleted +
           "</Deleted></EmailAddressStatus>";
}

std::string Senders(const std::string& rows) {
    return "<EmailAddressStatuses>" + rows + "</EmailAddressStatuses>";
}

class WebSiteTest : public DevServiceTest {
protected:
    void SetUp() override {
        DevServiceTest::SetUp();
        ASSERT_EQ(ErrorCount(Result("AccountCreate", Credentials())), 0);
        ASSERT_TRUE(ConfirmAddress());
    }
    TXMLNode& Sync(const std::string& extra, int version = 0) {
        return Result("Synchronize", Credentials() + "<SoftwareVersion>01.02.0000</SoftwareVersion>" +
                                         "<ClientDataVersion>" + std::to_string(version) + "</ClientDataVersion>" +
                                         extra);
    }
    THTTPResult AccountPage(const std::string& body) {
        return Post(BaseURL() + "/members/accountSetup.aspx", body, "application/x-www-form-urlencoded");
    }
};

} // namespace

TEST_F(WebSiteTest, ServesTheHelpPagesWithTheAnchorsTheProgramOpens) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> pages = {
        {"help.html", {}},
        {"index.html", {"ByHand", "Challenge", "Approving"}},
        {"setupWizard.html",
         {"Welcome", "Account", "EmailAddress", "ChoosePassword", "ConfigureMailAccounts", "ImportContacts",
          "Complete"}},
        {"importWizard.html", {"Welcome", "ImportContacts", "Complete"}},
        {"importEmail.html", {}},
        {"setupComplete.html", {}},
    };
    for (const auto& [page, anchors] : pages) {
        const THTTPResult result = Get(BaseURL() + "/help/" + page);
        EXPECT_EQ(result.Status, 200) << page;
        EXPECT_NE(result.Body.find("<h1>"), std::string::npos) << page;
        for (const std::string& anchor : anchors)
            EXPECT_NE(result.Body.find("id=\"" + anchor + "\""), std::string::npos) << page << "#" << anchor;
    }
    EXPECT_EQ(Get(BaseURL() + "/upgrade.html").Status, 200);
    EXPECT_EQ(Get(BaseURL() + "/help/missing.html").Status, 404);
    EXPECT_EQ(Get(BaseURL() + "/help/../service.db").Status, 404);
}

// Every relative link of a help page leads to a page the site has.
TEST_F(WebSiteTest, HelpPagesLinkOnlyToPagesTheSiteHas) {
    for (const char* page : {"help.html", "index.html", "setupWizard.html", "importWizard.html", "importEmail.html",
                             "setupComplete.html"}) {
        const std::string html = *HelpPage(page);
        for (size_t at = html.find("href=\""); at != std::string::npos; at = html.find("href=\"", at + 1)) {
            std::string target = html.substr(at + 6, html.find('"', at + 6) - at - 6);
            target = target.substr(0, target.find('#'));
            if (target.rfind("/help/", 0) == 0)
                target = target.substr(6);
            EXPECT_TRUE(HelpPage(target).has_value()) << page << " links to " << target;
        }
    }
}

TEST_F(WebSiteTest, AccountPageNeedsTheRightCredentialsAndOffersTheFiveCommands) {
    Sync(Senders(SenderRow("ann@example.net", "Pending")) +
         "<AccountSettings><Signature></Signature><BlockedWords>cheap</BlockedWords><AdultWords></AdultWords>"
         "<UnlockPassword></UnlockPassword><LockAccess>true</LockAccess></AccountSettings>");
    const THTTPResult page = AccountPage("username=user%40example%2Eorg&password=secret");
    EXPECT_EQ(page.Status, 200);
    EXPECT_NE(page.Body.find("user@example.org"), std::string::npos);
    EXPECT_NE(page.Body.find("<td>Active</td>"), std::string::npos);
    EXPECT_NE(page.Body.find("<td>1 approved, 0 blocked</td>"), std::string::npos) << page.Body;
    EXPECT_NE(page.Body.find("<tr><th>Access lock</th><td>on</td></tr>"), std::string::npos);
    for (const char* command :
         {"changepassword", "changemailaccounts", "changewordfilters", "changepreferences", "changelockaccess"})
        EXPECT_NE(page.Body.find(std::string("href=\"tessivar:") + command + "\""), std::string::npos) << command;

    for (const std::string& body : {std::string("username=user%40example%2Eorg&password=wrong"),
                                    std::string("username=nobody%40example%2Eorg&password=secret"),
                                    std::string("username=user%40example%2Eorg"), std::string()}) {
        const THTTPResult refused = AccountPage(body);
        EXPECT_EQ(refused.Status, 403) << body;
        EXPECT_EQ(refused.Body.find("tessivar:"), std::string::npos) << body;
    }
    EXPECT_EQ(Get(BaseURL() + "/members/accountSetup.aspx?username=user%40example.org&password=secret").Status, 403);
}

// A sender synchronised as "Imported" gets one notice from the account's address; later
// synchronisations, senders of other statuses and deleted ones get none.
TEST_F(WebSiteTest, ImportedSendersGetTheNoticeOnce) {
    Sync(Senders(SenderRow("ann@example.net") + SenderRow("ben@example.net") + SenderRow("pat@example.net", "Pending") +
                 SenderRow("del@example.net", "Imported", "true") + SenderRow("no address", "Imported")));
    std::vector<std::string> mails = OutboxMails();
    ASSERT_EQ(mails.size(), 2u);
    std::vector<std::string> recipients;
    for (const std::string& mail : mails) {
        EXPECT_EQ(MailHeader(mail, "From"), Account);
        EXPECT_EQ(MailHeader(mail, "Subject"), Account + " now screens mail with Tessivar");
        EXPECT_EQ(MailHeader(mail, "X-Tessivar"), "");
        EXPECT_NE(mail.find("This notice is sent only once."), std::string::npos);
        recipients.push_back(MailHeader(mail, "To"));
    }
    std::sort(recipients.begin(), recipients.end());
    EXPECT_EQ(recipients,
              (std::vector<std::string>{"\"Ann Friend\" <ann@example.net>", "\"Ann Friend\" <ben@example.net>"}));

    Sync(Senders(SenderRow("ANN@example.net") + SenderRow("pat@example.net", "Authenticated")), 1);
    EXPECT_EQ(OutboxMails().size(), 2u);
}

TEST(ImportNoticeMailTest, KeepsTheSendersNameOutOfTheHeaderStructure) {
    const TOutgoingMail mail =
        ImportNoticeMail({1, "user@example.org", "ann@example.net", "Ann\r\nBcc: evil@example.com"}, 0);
    EXPECT_EQ(mail.EnvelopeTo, "ann@example.net");
    EXPECT_EQ(MailHeader(mail.Text, "Bcc"), "");
    EXPECT_EQ(mail.Text.find("\r\nBcc:"), std::string::npos);
}
