#include "service/UTessivarAccountRequests.h"

#include "base/URegistry.h"
#include "core/UTessivarEmailAddress.h"
#include "tests/service/ServiceFixture.h"

#include <optional>

namespace {

class AccountRequestsTest : public TServiceModelTest {
protected:
    // The service answers every request with this result content, under the request's action.
    void StartAnswering(std::string result) {
        Start([result](const std::string& body) {
            std::unique_ptr<TXMLNode> envelope = TXMLNode::ParseString(body);
            const std::string action = envelope->Child("soap:Body").Children().Items(0).Name();
            return result == Fault ? SoapAnswer(Fault) : ActionAnswer(action, result);
        });
    }
    static constexpr const char* Fault = "<soap:Fault><faultcode>soap:Server</faultcode></soap:Fault>";
    TAccountAnswer Answer(const std::function<void(TAccountAnswerHandler)>& send) {
        std::optional<TAccountAnswer> answer;
        send([&](TAccountAnswer received) { answer = received; });
        ServeUntil([&] { return answer.has_value(); });
        return answer.value_or(TAccountAnswer::Failed);
    }
    bool Result(const std::function<void(TAccountResultHandler)>& send) {
        std::optional<bool> result;
        send([&](bool succeeded) { result = succeeded; });
        ServeUntil([&] { return result.has_value(); });
        return result.value_or(false);
    }
    std::unique_ptr<TXMLNode> LastSent() { return RequestArgument(m_Service->Requests().back()); }
    static void SetAdvertiser(const std::string& id) {
        TRegistry registry(HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(registry.OpenKey("SOFTWARE\\Tessivar", true));
        registry.WriteString("AdvertiserID", id);
    }

    const std::string Failure = "<ErrorMessages><ErrorMessage><Code>3</Code></ErrorMessage></ErrorMessages>";
};

} // namespace

// Each request carries its elements in the fixed order, "Generated" first.
TEST_F(AccountRequestsTest, RequestsCarryTheirElementsInOrder) {
    StartAnswering("<AccountStatus>Undefined</AccountStatus>");
    Answer([&](TAccountAnswerHandler done) { RequestAccountAvailability(Model(), "new@example.com", done); });
    std::unique_ptr<TXMLNode> sent = LastSent();
    EXPECT_EQ(ChildNames(*sent), "Generated Username Password");
    EXPECT_EQ(sent->Child("Username").Text(), "new@example.com");
    EXPECT_EQ(sent->Child("Password").Text(), "");

    // Without the registry value the element is still there, empty.
    Result([&](TAccountResultHandler done) { RequestAccountCreate(Model(), "new@example.com", "pass1", done); });
    sent = LastSent();
    EXPECT_EQ(ChildNames(*sent), "Generated Username Password AdvertiserID");
    EXPECT_EQ(sent->Child("Password").Text(), "pass1");
    EXPECT_EQ(sent->Child("AdvertiserID").Text(), "");
    SetAdvertiser("partner-7");
    Result([&](TAccountResultHandler done) { RequestAccountCreate(Model(), "new@example.com", "pass1", done); });
    EXPECT_EQ(LastSent()->Child("AdvertiserID").Text(), "partner-7");

    Answer([&](TAccountAnswerHandler done) {
        RequestExistingAccount(Model(), "old@example.com", "secret", nullptr, done);
    });
    sent = LastSent();
    EXPECT_EQ(ChildNames(*sent), "Generated Username Password ClientDataVersion");
    EXPECT_EQ(sent->Child("ClientDataVersion").Text(), "0");

    Result([&](TAccountResultHandler done) { RequestPasswordChange(Model(), "newer", done); });
    sent = LastSent();
    EXPECT_EQ(ChildNames(*sent), "Generated Username Password NewPassword");
    EXPECT_EQ(sent->Child("Username").Text(), "new@example.com");
    EXPECT_EQ(sent->Child("Password").Text(), "pass1");
    EXPECT_EQ(sent->Child("NewPassword").Text(), "newer");
}

// Only the exact text "Undefined" means that there is no account; error entries mean failure.
TEST_F(AccountRequestsTest, AnAccountIsMissingOnlyForTheExactUndefined) {
    for (const auto& [result, expected] : std::vector<std::pair<std::string, TAccountAnswer>>{
             {"<AccountStatus>Undefined</AccountStatus>", TAccountAnswer::NoAccount},
             {"<AccountStatus>undefined</AccountStatus>", TAccountAnswer::AccountExists},
             {"<AccountStatus>Active</AccountStatus>", TAccountAnswer::AccountExists},
             {"<AccountStatus>Undefined</AccountStatus>" + Failure, TAccountAnswer::Failed},
             {Fault, TAccountAnswer::Failed}}) {
        StartAnswering(result);
        EXPECT_EQ(Answer([&](TAccountAnswerHandler done) { RequestAccountAvailability(Model(), "a@b.example", done); }),
                  expected)
            << result;
        m_Model.reset();
    }
}

// The credentials change only when the service accepted them, which a SOAP fault does not say; the
// password change writes its log.
TEST_F(AccountRequestsTest, CredentialsAreStoredOnlyAfterTheServiceAccepts) {
    for (const std::string& refusal : {Failure, std::string(Fault)}) {
        StartAnswering(refusal);
        EXPECT_FALSE(Result(
            [&](TAccountResultHandler done) { RequestAccountCreate(Model(), "me@example.com", "pass1", done); }));
        EXPECT_TRUE(Model().SetupRequired());
        m_Model.reset();
    }

    StartAnswering("<ErrorMessages/>"); // empty: success
    EXPECT_TRUE(
        Result([&](TAccountResultHandler done) { RequestAccountCreate(Model(), "me@example.com", "pass1", done); }));
    EXPECT_EQ(Cell("SELECT UserName FROM Configuration"), "me@example.com");
    EXPECT_EQ(Cell("SELECT Password FROM Configuration"), "pass1");
    EXPECT_TRUE(Result([&](TAccountResultHandler done) { RequestPasswordChange(Model(), "pass2", done); }));
    EXPECT_EQ(Model().Password(), "pass2");
    EXPECT_EQ(LogItems("Begin password change request..."), 1);
    EXPECT_EQ(LogItems("Password change request complete."), 1);
    m_Model.reset();

    StartAnswering(Failure);
    EXPECT_FALSE(Result([&](TAccountResultHandler done) { RequestPasswordChange(Model(), "pass3", done); }));
    EXPECT_EQ(Model().Password(), "pass2");
    EXPECT_EQ(Cell("SELECT Password FROM Configuration"), "pass2");
    EXPECT_EQ(LogItems("Password change request Failed!"), 1);
}

// An existing account's answer is taken over whole; a missing account's is not.
TEST_F(AccountRequestsTest, AnExistingAccountsDataIsMergedAndAMissingOnesIsNot) {
    const std::string data = "<DataVersion>12</DataVersion><AccountSettings><Signature>Kind regards</Signature>"
                             "<LockAccess>true</LockAccess><UnlockPassword>open</UnlockPassword></AccountSettings>"
                             "<EmailAddressStatuses><EmailAddressStatus><EmailAddress>pal@example.org</EmailAddress>"
                             "<ApprovalStatus>Approved</ApprovalStatus></EmailAddressStatus></EmailAddressStatuses>";
    StartAnswering("<AccountStatus>Undefined</AccountStatus>" + data);
    EXPECT_EQ(Answer([&](TAccountAnswerHandler done) {
                  RequestExistingAccount(Model(), "me@example.com", "wrong", nullptr, done);
              }),
              TAccountAnswer::NoAccount);
    EXPECT_EQ(Model().EmailAddressCount(), 0);
    EXPECT_EQ(Model().DataVersion(), 0);
    m_Model.reset();

    StartAnswering("<AccountStatus>Active</AccountStatus>" + data);
    EXPECT_EQ(Answer([&](TAccountAnswerHandler done) {
                  RequestExistingAccount(Model(), "me@example.com", "right", nullptr, done);
              }),
              TAccountAnswer::AccountExists);
    EXPECT_EQ(Model().DataVersion(), 12);
    EXPECT_EQ(Model().Signature(), "Kind regards");
    EXPECT_TRUE(Model().LockAccess());
    EXPECT_EQ(Model().UnlockPassword(), "open");
    EXPECT_FALSE(Model().Modified());
    ASSERT_NE(Model().FindEmailAddress("pal@example.org"), nullptr);
    EXPECT_TRUE(Model().FindEmailAddress("pal@example.org")->IsApproved());
    EXPECT_TRUE(Model().SetupRequired()); // the credentials are the caller's to store
}
