// Mail program accounts left at the marker host while their account is not protected are pointed
// back at their real servers, at start and at stop.

#include "base/URegistry.h"
#include "clients/UTessivarClientDriver.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarLogItem.h"
#include "mail/UTessivarPOP3Server.h"

#include "tests/core/ModelFixture.h"

#include <map>
#include <stdexcept>

namespace {

const std::string AccountsKey = "Software\\Microsoft\\Internet Account Manager\\Accounts\\";

class UMailProgramRestore : public TModelTest {
protected:
    // An Outlook Express account left redirected, its real server kept beside it.
    static void WriteRedirectedKey(const std::string& id, const std::string& address, const std::string& realServer) {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(AccountsKey + id, true));
        registry.WriteString("SMTP Email Address", address);
        registry.WriteString("POP3 User Name", "me");
        registry.WriteString("POP3 Server", LocalMarkerHost);
        registry.WriteInteger("POP3 Port", 20001);
        registry.WriteString("Tessivar Remote POP3 Server", realServer);
        registry.WriteInteger("Tessivar Remote POP3 Port", 110);
    }
    static std::string ServerOf(const std::string& id) {
        TRegistry registry;
        registry.OpenKeyReadOnly(AccountsKey + id);
        return registry.ReadString("POP3 Server") + ":" + std::to_string(registry.ReadIntegerDefault("POP3 Port", 0));
    }
};

// Keeps the servers in memory and refuses to redirect one account.
class TFailingMailProgram : public TMailClient {
public:
    explicit TFailingMailProgram(TMailClients& owner) : TMailClient(owner, "Failing") {}
    void Discover() override {}
    bool SetPOP3Server(TMailClientAccount& account, const std::string& host, int) override {
        if (account.KeyPath == "second" && IsMarkerHost(host))
            throw std::runtime_error("write refused");
        Servers[account.KeyPath] = host;
        return true;
    }
    std::string POP3Server(const TMailClientAccount& account) const override { return Servers.at(account.KeyPath); }
    std::map<std::string, std::string> Servers;
};

} // namespace

TEST_F(UMailProgramRestore, StartAndStopPointUnprotectedAccountsBackAtTheirRealServers) {
    WriteRedirectedKey("new", "new@example.test", "pop.new.test"); // no row: a database made anew
    WriteRedirectedKey("off", "off@example.test", "pop.example.test");
    WriteRedirectedKey("on", "on@example.test", "pop.example.test");
    WriteRedirectedKey("bare", "bare@example.test", ""); // no real server kept: left for the user
    AddAccountRow(1, "off@example.test", 0);
    AddAccountRow(2, "on@example.test", 1);

    Model().Startup();
    EXPECT_EQ(ServerOf("new"), "pop.new.test:110");
    EXPECT_EQ(ServerOf("off"), "pop.example.test:110");
    EXPECT_EQ(ServerOf("bare"), std::string(LocalMarkerHost) + ":20001");
    EXPECT_EQ(ServerOf("on"), std::string(LocalMarkerHost) + ":" + std::to_string(Model().Accounts(1).Server().Port()));

    WriteRedirectedKey("off", "off@example.test", "pop.example.test"); // redirected behind the model's back
    Model().Shutdown();
    for (const char* id : {"new", "off", "on"})
        EXPECT_NE(ServerOf(id).find(".test:110"), std::string::npos) << id;
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
        clientAccount->RemoteServer = program.Servers[key] = "pop.example.test";
        account.AddMailClientAccount(programs.AddAccount(std::move(clientAccount)));
    }

    EXPECT_THROW(account.SetEnabled(true), std::runtime_error);
    EXPECT_FALSE(account.Redirected());
    EXPECT_FALSE(account.Server().Active());
    for (const auto& [key, server] : program.Servers)
        EXPECT_EQ(server, "pop.example.test") << key;
    Model().Shutdown();
}

// A registry value holding a NUL (the text form writes it as \0) once ended the start with the
// database's "The statement contains a NUL character."; the account is left out and the user told.
TEST_F(UMailProgramRestore, NULInAMailProgramSettingNeverStopsTheStart) {
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(AccountsKey + "zeroed", true));
        registry.WriteString("SMTP Email Address", "zeroed@example.test");
        registry.WriteString("POP3 User Name", "me");
        registry.WriteString("POP3 Server", std::string("pop.ex\0ample.test", 17));
    }
    WriteRedirectedKey("sound", "sound@example.test", "pop.example.test");
    ASSERT_NO_THROW(Model().Startup());
    ASSERT_EQ(Model().AccountCount(), 1);
    EXPECT_EQ(Model().Accounts(0).EmailAddress(), "sound@example.test");
    bool told = false;
    for (int i = 0; i < Model().LogItemCount(); ++i)
        told = told || Model().LogItems(i).Details().find("its settings hold a NUL character") != std::string::npos;
    EXPECT_TRUE(told);
}
