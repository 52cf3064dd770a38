// Mail that claims to come from the service, against a service that answers for itself: a notice
// only starts a synchronisation, and a request or a bounce counts only as far as the service
// confirms its Message-Id.

#include "service/UTessivarRequestVerification.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "tests/service/ServiceFixture.h"

namespace {

const std::string Accepted = "<DataVersion>7</DataVersion><AccountStatus>Active</AccountStatus>";

// What the fake service knows: "own@auth.tessivar.com" went from this account to carol,
// "alice@auth.tessivar.com" from alice's account to this user, "elsewhere@auth.tessivar.com" from
// alice to somebody else. Synchronize reports alice authenticated.
std::string Answer(const std::string& body) {
    if (body.find("<Synchronize ") != std::string::npos || body.find("<Synchronize>") != std::string::npos)
        return ActionAnswer("Synchronize", Accepted + "<EmailAddressStatuses><EmailAddressStatus><EmailAddress>"
                                                      "alice@example.org</EmailAddress><DisplayName/><ApprovalStatus>"
                                                      "Undefined</ApprovalStatus><AuthenticationStatus>Authenticated"
                                                      "</AuthenticationStatus><Notes/><Deleted>false</Deleted>"
                                                      "</EmailAddressStatus></EmailAddressStatuses>");
    const auto genuine = [](const std::string& sender, const std::string& recipient, bool own) {
        return ActionAnswer(VerifyAuthenticationRequestAction,
                            "<Genuine>true</Genuine><Sender>" + sender + "</Sender><Recipient>" + recipient +
                                "</Recipient><SentByAccount>" + (own ? "true" : "false") + "</SentByAccount>");
    };
    if (body.find("<MessageId>own@auth.tessivar.com<") != std::string::npos)
        return genuine("me@example.com", "carol@example.net", true);
    if (body.find("<MessageId>alice@auth.tessivar.com<") != std::string::npos)
        return genuine("alice@example.org", "me@example.com", false);
    if (body.find("<MessageId>elsewhere@auth.tessivar.com<") != std::string::npos)
        return genuine("alice@example.org", "someone@example.com", false);
    return ActionAnswer(VerifyAuthenticationRequestAction, "<Genuine>false</Genuine>");
}

class RequestVerificationTest : public TServiceModelTest {
protected:
    void SetUp() override {
        TServiceModelTest::SetUp();
        Start(Answer);
        Model().SetUsername("me@example.com");
        Model().SetPassword("secret");
        m_Account = &Model().AddAccount("me@example.com", "me", "pop.example.com", 110);
    }

    TTessivarEmail& Request(const std::string& from, const std::string& messageId) {
        const std::vector<std::string> lines = {"From: " + from,
                                                "To: me@example.com",
                                                "Subject: Please confirm",
                                                "Message-Id: <" + messageId + ">",
                                                "X-Tessivar: Authentication-Request",
                                                "",
                                                "Confirm here."};
        return Model().InsertEmail(*m_Account, "<" + messageId + ">", lines, 46000.5, "Please confirm", from, "",
                                   "me@example.com", "");
    }
    size_t Sent(const std::string& action) {
        size_t count = 0;
        for (const std::string& body : m_Service->Requests())
            count += body.find("<" + action + " ") != std::string::npos;
        return count;
    }
    int Unconfirmed() const {
        int count = 0;
        for (int i = 0; i < m_Model->LogItemCount(); ++i)
            count += m_Model->LogItems(i).Details().find("could not be confirmed") != std::string::npos;
        return count;
    }
    TTessivarAccount* m_Account = nullptr;
};

} // namespace

TEST_F(RequestVerificationTest, NoticesSynchronizeAtOnceAndOnlyTheAnswerAuthenticates) {
    TTessivarEmailAddress& alice = Model().AddEmailAddress("alice@example.org", "");
    // Three notices in one pass: one synchronisation now, one more after its answer.
    for (int i = 0; i < 3; ++i)
        Model().SelfAuthentication("alice@example.org");
    EXPECT_FALSE(alice.IsAuthenticated());
    ServeUntil([&] { return LogItems("Server synchronization complete.") >= 2; });
    EXPECT_TRUE(alice.IsAuthenticated());
    EXPECT_EQ(Sent("Synchronize"), 2u);
}

TEST_F(RequestVerificationTest, ArrivingRequestIsDeliveredOnlyWhenItWentToThisUserFromItsSender) {
    TTessivarEmail& genuine = Request("alice@example.org", "alice@auth.tessivar.com");
    TTessivarEmail& forged = Request("spam@cheap.example", "0123@auth.tessivar.com");
    TTessivarEmail& elsewhere = Request("alice@example.org", "elsewhere@auth.tessivar.com");
    TTessivarEmail& spoofed = Request("spam@cheap.example", "alice@auth.tessivar.com");
    EXPECT_FALSE(genuine.IsAwaitingDelivery()); // not before the service said so
    ServeUntil([&] {
        return Sent(VerifyAuthenticationRequestAction) == 4 && LogItems("The service confirmed the "
                                                                        "authentication request from "
                                                                        "alice@example.org: it is "
                                                                        "delivered.") == 1;
    });
    ServeUntil([&] { return Unconfirmed() == 3; });
    EXPECT_TRUE(genuine.IsAwaitingDelivery());
    EXPECT_FALSE(forged.IsAwaitingDelivery());
    EXPECT_FALSE(elsewhere.IsAwaitingDelivery());
    EXPECT_FALSE(spoofed.IsAwaitingDelivery());
    // Only the id went to the service, nothing else of the message.
    for (const std::string& body : m_Service->Requests())
        EXPECT_EQ(body.find("Confirm here"), std::string::npos);
}

TEST_F(RequestVerificationTest, BounceBlocksOnlyTheRecipientOfARequestThisAccountSent) {
    TTessivarEmailAddress& carol = Model().AddEmailAddress("carol@example.net", "");
    TTessivarEmailAddress& dave = Model().AddEmailAddress("dave@example.net", "");
    Model().ReturnedAuthenticationRequest("dave@example.net", "");                          // no proof: not even asked
    Model().ReturnedAuthenticationRequest("dave@example.net", "<alice@auth.tessivar.com>"); // not this account's
    Model().ReturnedAuthenticationRequest("dave@example.net", "made-up@auth.tessivar.com"); // not the service's
    Model().ReturnedAuthenticationRequest("dave@example.net", "<own@auth.tessivar.com>");   // carol's, whatever it says
    ServeUntil([&] { return carol.IsBlocked() && Unconfirmed() == 2; });
    EXPECT_EQ(Sent(VerifyAuthenticationRequestAction), 3u);
    EXPECT_FALSE(dave.IsBlocked());
}
