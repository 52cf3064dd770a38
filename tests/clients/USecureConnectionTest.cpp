// A mail program account that reaches its real server over TLS is switched to a plain connection
// while it points at the local server, and gets its setting back when restored, also after the
// program was killed in between; the screened account has the checker use TLS in its stead.

#include "base/URegistry.h"
#include "clients/UClientRegistry.h"
#include "clients/UTessivarClientDriver.h"
#include "core/UTessivarAccount.h"
#include "mail/UTessivarPOP3Server.h"

#include "tests/core/ModelFixture.h"

#include <filesystem>

namespace {

const std::string ExpressKey = "Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001";
const std::string OutlookKey =
    "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles\\Outlook\\9375CFF0413111d3B88A00104B2A6676\\00000002";

class USecureConnection : public TModelTest {
protected:
    void SetUp() override {
        TModelTest::SetUp();
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(ExpressKey, true));
        registry.WriteString("SMTP Email Address", "me@example.test");
        registry.WriteString("POP3 User Name", "me");
        registry.WriteString("POP3 Server", "pop.example.test");
        registry.WriteInteger("POP3 Port", 995);
        registry.WriteInteger("POP3 Secure Connection", 1);
        ASSERT_TRUE(registry.OpenKey(OutlookKey, true));
        WriteWideString(registry, "Email", "me@example.test");
        WriteWideString(registry, "POP3 User", "me");
        WriteWideString(registry, "POP3 Server", "pop.example.test");
        registry.WriteInteger("POP3 Port", 995);
        registry.WriteInteger("POP3 Use SSL", 1);
        ASSERT_TRUE(registry.OpenKey(
            "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles\\Outlook\\9375CFF0413111d3B88A00104B2A6676",
            false));
        registry.WriteInteger("NextAccountID", 3);
        Db().Execute("INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled) "
                     "VALUES(1, 'me@example.test', 'pop.example.test', 995, 'me', 1)");
    }

    // Server, port, the secure-connection value and the one kept beside it ("-" when missing).
    static std::string State(const std::string& key, const char* secureValue) {
        TRegistry registry;
        registry.OpenKeyReadOnly(key);
        const std::string kept = RemoteSecureConnectionName(secureValue);
        const auto integer = [&](const std::string& name) {
            return registry.ValueExists(name) ? std::to_string(registry.ReadIntegerDefault(name, -9)) : "-";
        };
        return ReadWideString(registry, "POP3 Server", "") + ":" + integer("POP3 Port") + " secure " +
               integer(secureValue) + " kept " + integer(kept);
    }
    std::string Local() const {
        return std::string(LocalMarkerHost) + ":" + std::to_string(m_Model->Accounts(0).Server().Port());
    }
};

} // namespace

TEST_F(USecureConnection, RedirectSwitchesTLSOffAndRestoreBringsItBackAlsoAfterAKill) {
    Model().Startup();
    ASSERT_EQ(Model().AccountCount(), 1);
    EXPECT_EQ(Model().Accounts(0).ConnectionSecurity(), TConnectionSecurity::ImplicitTLS);
    const std::string redirected = Local();
    EXPECT_EQ(State(ExpressKey, "POP3 Secure Connection"), redirected + " secure 0 kept 1");
    EXPECT_EQ(State(OutlookKey, "POP3 Use SSL"), redirected + " secure 0 kept 1");

    // Killed while redirected: the next run finds the keys as they were at that moment.
    const std::string registryFile = RegistryFileName(HKEY_CURRENT_USER);
    const std::string atKill = registryFile + ".at-kill";
    std::filesystem::copy_file(registryFile, atKill);
    Model().Shutdown();
    std::filesystem::rename(atKill, registryFile);

    NewModel();
    Model().Startup();
    EXPECT_EQ(Model().Accounts(0).ConnectionSecurity(), TConnectionSecurity::ImplicitTLS);
    EXPECT_EQ(State(ExpressKey, "POP3 Secure Connection"), Local() + " secure 0 kept 1");
    Model().Shutdown();
    EXPECT_EQ(State(ExpressKey, "POP3 Secure Connection"), "pop.example.test:995 secure 1 kept 1");
    EXPECT_EQ(State(OutlookKey, "POP3 Use SSL"), "pop.example.test:995 secure 1 kept 1");
}

// A key without the value never gets one, neither at redirect nor at restore.
TEST_F(USecureConnection, KeyWithoutTheSettingNeverGetsOne) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(ExpressKey, false) && registry.DeleteValue("POP3 Secure Connection"));
    Model().Startup();
    Model().Shutdown();
    EXPECT_EQ(State(ExpressKey, "POP3 Secure Connection"), "pop.example.test:995 secure - kept -");
}
