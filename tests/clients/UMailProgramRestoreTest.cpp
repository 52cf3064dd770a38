// Mail program accounts left pointing at the marker host while their account is not protected are
// pointed back at their real servers, at start and at stop.

#include "base/URegistry.h"
#include "clients/UTessivarClientDriver.h"
#include "core/UTessivarAccount.h"
#include "mail/UTessivarPOP3Server.h"

#include "tests/core/ModelFixture.h"

#include <map>
#include <stdexcept>

namespace {

const std::string AccountsKey = "Software\\Microsoft\\Internet Account Manager\\Accounts\\";

class UMailProgramRestore : public TModelTest {
protected:
    // An Outlook Express account whose key points at the marker host, its real server kept beside.
    static void WriteRedirectedKey(const std::string& id, const std::string& address, const std::string& realServer) {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(AccountsKey + id, true));
        registry.WriteString("Account Name", id);
        registry.WriteString("SMTP Email Address", address);
        registry.WriteString("POP3 User Name", "me");
        registry.WriteString("POP3 Server", LocalMarkerHost);
        registry.WriteInteger("POP3 Port", 20001);
        registry.WriteString("Tessivar Remote POP3 Server", realServer);
        registry.WriteInteger("Tessivar Remote POP3 Port", 110);
    }
    // "server:port" of the key.
    static std::string ServerOf(const std::string& id) {
        TRegistry registry;
        if (!registry.OpenKeyReadOnly(AccountsKey + id))
            return "(no key)";
        return registry.ReadString("POP3 Server") + ":" + std::to_string(registry.ReadInteger("POP3 Port"));
    }
    TTessivarAccount& AccountOf(const std::string& address) {
        for (int i = 0; i < Model().AccountCount(); ++i)
            if (Model().Accounts(i).EmailAddress() == address)
                return Model().Accounts(i);
        throw std::runtime_error("no account " + address);
    }
};

// A mail program that keeps its servers in memory and fails to redirect one chosen account.
class TFailingMailProgram : public TMailClient {
public:
    explicit TFailingMailProgram(TMailClients& owner) : TMailClient(owner, "Failing") {}
    void Discover() override {}
    bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int port) override {
        if (account.KeyPath == FailingKey && IsMarkerHost(host))
            throw std::runtime_error("write refused");
        Servers[account.KeyPath] = host + ":" + std::to_string(port);
        return true;
    }
    std::string POP3Server(const TMailClientAccount& account) const override {
        const std::string& server = Servers.at(account.KeyPath);
        return server.substr(0, server.find(':'));
    }

    std::string FailingKey;
    std::map<std::string, std::string> Servers;
};

} // namespace

// A database made anew, an account disabled in a run that ended before restoring, and an enabled
// account: at start the first two point back at their real servers, the third at its new port;
// at stop all three are back.
TEST_F(UMailProgramRestore, StartAndStopPointUnprotectedAccountsBackAtTheirRealServers) {
    WriteRedirectedKey("new", "new@example.test", "pop.new.test");
    WriteRedirectedKey("off", "off@example.test", "pop.example.test");
    WriteRedirectedKey("on", "on@example.test", "pop.example.test");
    AddAccountRow(1, "off@example.test", 0);
    AddAccountRow(2, "on@example.test", 1);

    Model().Startup();
    EXPECT_EQ(ServerOf("new"), "pop.new.test:110");
    EXPECT_EQ(ServerOf("off"), "pop.example.test:110");
    ASSERT_TRUE(AccountOf("on@example.test").Redirected());
    EXPECT_EQ(ServerOf("on"),
              std::string(LocalMarkerHost) + ":" + std::to_string(AccountOf("on@example.test").Server().Port()));

    // A key pointed at the marker host behind the model's back while its account is disabled.
    WriteRedirectedKey("off", "off@example.test", "pop.example.test");
    Model().Shutdown();
    EXPECT_EQ(ServerOf("new"), "pop.new.test:110");
    EXPECT_EQ(ServerOf("off"), "pop.example.test:110");
    EXPECT_EQ(ServerOf("on"), "pop.example.test:110");
}

TEST_F(UMailProgramRestore, ProtectThatFailsPartWayPointsEveryMailProgramBack) {
    AddAccountRow(1, "me@example.test", 0);
    Model().Startup();
    TTessivarAccount& account = Model().Accounts(0);

    TMailClients programs;
    TFailingMailProgram program(programs);
    for (const char* key : {"first", "second", "third"}) {
        auto clientAccount = std::make_unique<TMailClientAccount>(program);
        clientAccount->KeyPath = key;
        clientAccount->RemoteServer = "pop.example.test";
        program.Servers[key] = "pop.example.test:110";
        account.AddMailClientAccount(programs.AddAccount(std::move(clientAccount)));
    }
    program.FailingKey = "second";

    EXPECT_THROW(account.SetEnabled(true), std::runtime_error);
    EXPECT_FALSE(account.Redirected());
    EXPECT_FALSE(account.Server().Active());
    for (const auto& [key, server] : program.Servers)
        EXPECT_EQ(server, "pop.example.test:110") << key;

    // Once the write works again, enabling protects every mail program account.
    program.FailingKey.clear();
    account.Protect();
    EXPECT_TRUE(account.Redirected());
    EXPECT_EQ(program.Servers["third"], std::string(LocalMarkerHost) + ":" + std::to_string(account.Server().Port()));
    Model().Shutdown();
    for (const auto& [key, server] : program.Servers)
        EXPECT_EQ(server, "pop.example.test:110") << key;
}
