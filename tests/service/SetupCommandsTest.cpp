// The program's set-up commands, run as a user runs them: the executable against a web service on
// loopback, in a directory and registry of the test's own.

#include "base/URegistry.h"
#include "tests/service/ServiceFixture.h"

#include <sys/wait.h>

#include <cstdio>

namespace {

class SetupCommandsTest : public TServiceModelTest {
protected:
    void SetUp() override {
        TServiceModelTest::SetUp();
        m_Service = std::make_unique<TFakeWebService>([](const std::string& body) {
            const std::string action = TXMLNode::ParseString(body)->Child("soap:Body").Children().Items(0).Name();
            return ActionAnswer(action, action == "AccountAvailability" || action == "Synchronize"
                                            ? "<AccountStatus>Undefined</AccountStatus>"
                                            : "<AccountStatus>Active</AccountStatus>");
        });
        ::setenv(ServiceHostVariable, m_Service->Host().c_str(), 1);
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001", true));
        registry.WriteString("Account Name", "Home");
        registry.WriteString("SMTP Email Address", "me@example.com");
        registry.WriteString("POP3 User Name", "me");
        registry.WriteString("POP3 Server", "pop.example.com");
        registry.WriteInteger("POP3 Port", 110);
    }
    // Runs the program; its exit status, then what it wrote.
    std::pair<int, std::string> Run(const std::string& arguments) {
        const std::string command = std::string(TESSIVAR_BINARY_DIR) + "/bin/tessivar " + arguments + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        std::string output;
        char buffer[512];
        for (size_t count; pipe && (count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, count);
        const int status = pipe ? ::pclose(pipe) : -1;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    }
    static std::string POP3Server() {
        TRegistry registry;
        registry.OpenKeyReadOnly("Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001");
        return registry.ReadString("POP3 Server");
    }
};

} // namespace

// Screening is switched on for the next start only: the mail program keeps its real server.
TEST_F(SetupCommandsTest, EnablingAnAccountStoresItWithoutRedirectingTheMailProgram) {
    auto [status, output] = Run("accounts");
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("me@example.com  pop.example.com:110  disabled"), std::string::npos) << output;
    EXPECT_EQ(Run("enable ME@example.com").first, 0);
    EXPECT_EQ(Run("enable other@example.com").first, 1);
    std::tie(status, output) = Run("accounts");
    EXPECT_NE(output.find("pop.example.com:110  enabled"), std::string::npos) << output;
    EXPECT_EQ(POP3Server(), "pop.example.com");
}

// The web account: created, its password changed only with the right current one, and an unknown
// account refused; each outcome in the exit status.
TEST_F(SetupCommandsTest, AccountCommandsReportTheirOutcomeInTheExitStatus) {
    EXPECT_EQ(Run("account password pass1 pass2").first, 1);      // no account yet
    EXPECT_EQ(Run("account create me@example.com abc").first, 1); // too short
    auto [status, output] = Run("account create me@example.com debug");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("Executing"), std::string::npos); // a password is no switch
    std::tie(status, output) = Run("account password wrong pass2");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("Your current password is not correct."), std::string::npos) << output;
    EXPECT_EQ(Run("local account password debug pass2").first, 0);
    EXPECT_EQ(Run("account password pass2 pass3 debug").first, 0);
    EXPECT_EQ(Run("account join me@example.com pass3").first, 1); // the service knows no such account
    EXPECT_EQ(Run("account frobnicate a b").first, 2); // a usage error

    const std::vector<std::string> requests = m_Service->Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(RequestArgument(requests[3])->Child("Password").Text(), "pass2");
    EXPECT_EQ(RequestArgument(requests[3])->Child("NewPassword").Text(), "pass3");
}

// A second "account create" would put the data kept here under a new account: refused, naming the
// account set up and the way to replace it, before anything reaches the service; "--replace" does it.
TEST_F(SetupCommandsTest, CreatingAnAccountOverAnExistingOneNeedsReplace) {
    ASSERT_EQ(Run("account create me@example.com first-secret").first, 0);
    const size_t sent = m_Service->Requests().size();
    auto [status, output] = Run("account create other@example.com second-secret");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("The Tessivar account me@example.com is already set up here."), std::string::npos) << output;
    EXPECT_NE(output.find("tessivar account create --replace ADDRESS PASSWORD"), std::string::npos) << output;
    EXPECT_EQ(m_Service->Requests().size(), sent);
    EXPECT_EQ(Run("account create other@example.com second-secret --replace").first, 2); // only after "create"

    std::tie(status, output) = Run("account create --replace other@example.com --replace");
    EXPECT_EQ(status, 0) << output; // a password may read "--replace"
    EXPECT_NE(output.find("Created the Tessivar account other@example.com; it replaces me@example.com here."),
              std::string::npos)
        << output;
    m_Model = std::make_unique<TTessivarBusinessLogic>(m_Loop);
    m_Model->Load();
    EXPECT_EQ(Model().Username(), "other@example.com");
    EXPECT_EQ(Model().Password(), "--replace");
}
