// "tessivar imap add|remove" and the Thunderbird IMAP offer, with a connector standing in for the
// server: nothing may be kept for a login the server refused, and a password must never land where
// it could be read or get lost.

#include <gtest/gtest.h>

#include <sstream>

#include "app/UIMAPCommands.h"
#include "clients/UThunderbirdIMAPAccounts.h"
#include "core/UIMAPPasswordFile.h"
#include "core/UIMAPPasswords.h"
#include "core/UTessivarAccount.h"
#include "mail/UIMAPMailbox.h"
#include "tests/core/ModelFixture.h"
#include "tests/support/EmptyIMAPMailbox.h"

namespace {

class TLoggedInMailbox : public TEmptyIMAPMailbox {
public:
    explicit TLoggedInMailbox(int& logouts) : m_Logouts(logouts) {}
    void Logout() override { ++m_Logouts; }

private:
    int& m_Logouts;
};

class IMAPCommandsTest : public TModelTest {
protected:
    void SetUp() override {
        // Never the keyring of whoever runs the tests.
        ::setenv("TESSIVAR_PASSWORD_STORE", "file", 1);
        TModelTest::SetUp();
        Model().Startup();
    }
    void TearDown() override {
        TModelTest::TearDown();
        ::unsetenv("TESSIVAR_PASSWORD_STORE");
    }

    static TIMAPAddRequest Request(const std::vector<std::string>& words) {
        TIMAPAddRequest request;
        EXPECT_EQ(ParseIMAPAdd(words, request), "");
        return request;
    }
    // Runs the add, the login accepted unless refusal is set; standard error in m_Errors.
    int Add(const TIMAPAddRequest& request, const std::string& password, const char* refusal = nullptr) {
        std::ostringstream errors;
        std::streambuf* saved = std::cerr.rdbuf(errors.rdbuf());
        m_Output.str("");
        const int status = AddIMAPAccountChecked(
            Model(), request, password,
            [&](const TIMAPServer& server, const std::string& given, const std::string&, int timeoutMs,
                const std::shared_ptr<TAbortSignal>&) {
                m_Tried = server;
                m_TriedPassword = given;
                EXPECT_GT(timeoutMs, 0);
                if (refusal)
                    throw EIMAPLoginRefused(refusal);
                return std::make_unique<TLoggedInMailbox>(m_Logouts);
            },
            m_Output);
        std::cerr.rdbuf(saved);
        m_Errors = errors.str();
        return status;
    }
    int IMAPAccountCount() {
        int count = 0;
        for (int i = 0; i < Model().AccountCount(); ++i)
            count += Model().Accounts(i).IsIMAP() ? 1 : 0;
        return count;
    }

    std::ostringstream m_Output;
    std::string m_Errors;
    TIMAPServer m_Tried;
    std::string m_TriedPassword;
    int m_Logouts = 0;
};

TEST_F(IMAPCommandsTest, ServerWordsAreReadWhateverTheirFormAndBadOnesRefused) {
    TIMAPAddRequest plain = Request({"me@example.org", "imap.example.org", "me"});
    EXPECT_EQ(plain.Server.Port, 993);
    EXPECT_EQ(plain.Server.Security, TIMAPSecurity::ImplicitTLS);
    EXPECT_FALSE(plain.ApproveExistingSenders);

    TIMAPAddRequest starttls =
        Request({"--starttls", "me@example.org", "imap.example.org", "--approve-existing-senders", "me"});
    EXPECT_EQ(starttls.Server.Port, 143);
    EXPECT_EQ(starttls.Server.Security, TIMAPSecurity::STARTTLS);
    EXPECT_TRUE(starttls.ApproveExistingSenders);

    TIMAPAddRequest v6 = Request({"me@example.org", "[::1]:10993", "me"});
    EXPECT_EQ(v6.Server.Host, "::1");
    EXPECT_EQ(v6.Server.Port, 10993);
    EXPECT_EQ(Request({"me@example.org", "::1", "me"}).Server.Host, "::1");

    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"me@example.org", "imap.example.org:0", "me"},
                                               {"me@example.org", "imap.example.org:65536", "me"},
                                               {"me@example.org", "imap.example.org:99x", "me"},
                                               {"me@example.org", ":993", "me"},
                                               {"me@example.org", "[::1", "me"},
                                               {"not an address", "imap.example.org", "me"},
                                               {"me@example.org", "imap.example.org", "me", "--plain"},
                                               {"me@example.org", "imap.example.org"},
                                               {"me@example.org", "imap.example.org", ""}}) {
        TIMAPAddRequest request;
        EXPECT_NE(ParseIMAPAdd(words, request), "") << words[1];
    }
}

TEST_F(IMAPCommandsTest, RefusedLoginKeepsNothing) {
    EXPECT_EQ(Add(Request({"me@example.org", "imap.example.org", "me"}), "wrong", "[AUTHENTICATIONFAILED] Bad"), 1);
    EXPECT_NE(m_Errors.find("could not log in: [AUTHENTICATIONFAILED] Bad"), std::string::npos) << m_Errors;
    EXPECT_EQ(IMAPAccountCount(), 0);
    EXPECT_FALSE(ReadIMAPPassword(m_Tried));
    EXPECT_FALSE(std::filesystem::exists(IMAPPasswordFileName()));
}

TEST_F(IMAPCommandsTest, AcceptedLoginKeepsAccountEnabledAndPasswordOnlyInOwnerOnlyFile) {
    const TIMAPAddRequest request = Request({"me@example.org", "imap.example.org:1143", "me", "--starttls"});
    ASSERT_EQ(Add(request, "first secret"), 0) << m_Errors;
    EXPECT_EQ(m_TriedPassword, "first secret");
    EXPECT_EQ(m_Tried.Port, 1143);
    EXPECT_EQ(m_Tried.Security, TIMAPSecurity::STARTTLS);
    EXPECT_EQ(m_Logouts, 1);
    ASSERT_EQ(IMAPAccountCount(), 1);
    TTessivarAccount* account = nullptr;
    for (int i = 0; i < Model().AccountCount(); ++i)
        if (Model().Accounts(i).IsIMAP())
            account = &Model().Accounts(i);
    EXPECT_TRUE(account->Enabled());
    EXPECT_EQ(account->IMAPSecurity(), TIMAPSecurity::STARTTLS);
    EXPECT_EQ(ReadIMAPPassword(account->IMAPServer()), "first secret");
    EXPECT_NE(m_Output.str().find(IMAPPasswordFileName()), std::string::npos);
    // No file but the password file (not the database, not a log) and not the output holds it.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_Dir))
        if (entry.is_regular_file() && entry.path() != IMAPPasswordFileName()) {
            std::ifstream in(entry.path(), std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}).find("first secret"), std::string::npos)
                << entry.path();
        }
    EXPECT_EQ(m_Output.str().find("first secret"), std::string::npos);

    // Adding it again with a new password replaces the password, not the account.
    ASSERT_EQ(Add(request, "second secret"), 0) << m_Errors;
    EXPECT_EQ(IMAPAccountCount(), 1);
    EXPECT_EQ(ReadIMAPPassword(account->IMAPServer()), "second secret");

    // Approving the existing senders failing leaves the account screened, and says so.
    TIMAPAddRequest approving = request;
    approving.ApproveExistingSenders = true;
    EXPECT_EQ(Add(approving, "second secret"), 1);
    EXPECT_NE(m_Errors.find("screened all the same"), std::string::npos) << m_Errors;
    EXPECT_TRUE(account->Enabled());

    // Removing stops screening and forgets the password, but keeps the account's records.
    std::ostringstream out;
    EXPECT_EQ(RemoveIMAPAccount(Model(), "ME@example.org", out), 0);
    EXPECT_FALSE(account->Enabled());
    EXPECT_FALSE(ReadIMAPPassword(account->IMAPServer()));
    EXPECT_NE(out.str().find("Tessivar/Awaiting Authorization"), std::string::npos);
}

TEST_F(IMAPCommandsTest, ThunderbirdIMAPAccountsAreOfferedWithTheirExactCommandAndLeftUntouched) {
    const std::string profile = m_Dir + "tb";
    std::filesystem::create_directories(profile);
    const std::string prefs = "user_pref(\"mail.accountmanager.accounts\", \"account1,account2,account3\");\n"
                              "user_pref(\"mail.account.account1.server\", \"server1\");\n"
                              "user_pref(\"mail.account.account1.identities\", \"id1\");\n"
                              "user_pref(\"mail.identity.id1.useremail\", \"me@example.org\");\n"
                              "user_pref(\"mail.server.server1.type\", \"imap\");\n"
                              "user_pref(\"mail.server.server1.hostname\", \"imap.example.org\");\n"
                              "user_pref(\"mail.server.server1.userName\", \"me o'brien\");\n"
                              "user_pref(\"mail.server.server1.socketType\", 2);\n"
                              "user_pref(\"mail.server.server1.port\", 1143);\n"
                              "user_pref(\"mail.account.account2.server\", \"server2\");\n"
                              "user_pref(\"mail.account.account2.identities\", \"id1\");\n"
                              "user_pref(\"mail.server.server2.type\", \"pop3\");\n"
                              "user_pref(\"mail.server.server2.hostname\", \"pop.example.org\");\n"
                              "user_pref(\"mail.server.server2.userName\", \"me\");\n"
                              "user_pref(\"mail.account.account3.server\", \"server3\");\n"
                              "user_pref(\"mail.account.account3.identities\", \"id1\");\n"
                              "user_pref(\"mail.server.server3.type\", \"imap\");\n"
                              "user_pref(\"mail.server.server3.hostname\", \"plain.example.org\");\n"
                              "user_pref(\"mail.server.server3.userName\", \"me\");\n";
    std::ofstream(profile + "/prefs.js") << prefs;

    const auto found = ThunderbirdIMAPAccountsOf(profile, "default");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(IMAPAddCommandText(found[0].Server),
              "tessivar imap add me@example.org imap.example.org:1143 'me o'\\''brien' --starttls");
    // A plain connection in Thunderbird is never copied: the password would travel in clear.
    EXPECT_EQ(found[1].Server.Security, TIMAPSecurity::STARTTLS);
    EXPECT_EQ(IMAPAddCommandText(found[1].Server), "tessivar imap add me@example.org plain.example.org me --starttls");

    std::ifstream in(profile + "/prefs.js");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), prefs);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(profile), {}), 1);
}

} // namespace
