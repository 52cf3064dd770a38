#include "clients/UTessivarClientDriver.h"

#include <gtest/gtest.h>

#include "base/LUnicode.h"
#include "base/URegistry.h"
#include "tests/base/TraceCapture.h"
#include "tests/clients/RegistryTestSupport.h"
#include "tests/clients/ThunderbirdTestSupport.h"

using namespace std::string_literals;

namespace {

const std::string Root = "[HKEY_CURRENT_USER\\";
const std::string ExpressAccounts = "Software\\Microsoft\\Internet Account Manager\\Accounts";
const std::string Outlook98Accounts = "Software\\Microsoft\\Office\\8.0\\Outlook\\OMI Account Manager\\Accounts";
const std::string Outlook98OtherAccounts = "Software\\Microsoft\\Office\\Outlook\\OMI Account Manager\\Accounts";
const std::string ProfilesOutlook = "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles\\Outlook";
const std::string NtProfilesOutlook =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles\\Outlook";
const std::string Outlook2002Key = ProfilesOutlook + "\\9375CFF0413111d3B88A00104B2A6676\\00000001";

// The text plus NUL as UTF-16LE, in hex data form.
std::vector<uint8_t> WideBytes(const std::string& text) {
    std::vector<uint8_t> bytes = TextToUtf16Le(text);
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "hex:";
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += i ? "," : "";
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string Wide(const std::string& text) {
    return Hex(WideBytes(text));
}

// Accounts of all three mail programs, with the keys discovery must pass over.
std::string MailProgramAccounts() {
    return "Windows Registry Editor Version 5.00\n\n" +
           // Outlook Express, main identity: a POP3 account and an IMAP account.
           Root + ExpressAccounts +
           "\\00000001]\n"
           "\"Account Name\"=\"Home\"\n\"SMTP Display Name\"=\"Ann Example\"\n"
           "\"SMTP Email Address\"=\"ann@example.com\"\n\"POP3 User Name\"=\"ann\"\n"
           "\"POP3 Server\"=\"pop.example.com\"\n\"POP3 Port\"=dword:00000123\n\n" +
           Root + ExpressAccounts + "\\00000002]\n\"Account Name\"=\"Imap\"\n\"IMAP Server\"=\"imap.example.com\"\n\n" +
           // An identity with accounts, and one without an accounts key.
           Root + "Identities\\{11111111-0000-0000-0000-000000000000}]\n\"Username\"=\"Bob\"\n\n" + Root +
           "Identities\\{11111111-0000-0000-0000-000000000000}\\" + ExpressAccounts +
           "\\00000003]\n"
           "\"Account Name\"=\"Bob's\"\n\"SMTP Email Address\"=\"bob@example.net\"\n"
           "\"POP3 User Name\"=\"bob\"\n\"POP3 Server\"=\"pop.example.net\"\n\n" +
           Root + "Identities\\{22222222-0000-0000-0000-000000000000}]\n\"Username\"=\"Carol\"\n\n" + Root +
           "Identities\\{22222222-0000-0000-0000-000000000000}\\Software\\Microsoft]\n\n" +
           // Outlook 98: a POP3 account and a news account in the first key, one account in the second.
           Root + Outlook98Accounts +
           "\\00000001]\n"
           "\"Account Name\"=\"Office\"\n\"Display Name\"=\"Dan\"\n\"SMTP Email Address\"=\"dan@example.org\"\n"
           "\"POP3 User Name\"=\"dan\"\n\"POP3 Server\"=\"mail.example.org\"\n\"POP3 Port\"=dword:0000006e\n\n" +
           Root + Outlook98Accounts +
           "\\00000002]\n\"Account Name\"=\"News\"\n\"NNTP Server\"=\"news.example.org\"\n\n" + Root +
           Outlook98OtherAccounts +
           "\\00000001]\n"
           "\"Account Name\"=\"Later\"\n\"POP3 Server\"=\"pop.later.example\"\n\n" +
           // Outlook 2002: an account container, a profile subkey that is none, and the NT root.
           Root + ProfilesOutlook + "\\9375CFF0413111d3B88A00104B2A6676]\n\"NextAccountID\"=dword:00000002\n\n" + Root +
           Outlook2002Key +
           "]\n"
           "\"Account Name\"=" +
           Wide("Work") + "\n\"Display Name\"=" + Wide("Eve J\xC3\xBCrgens") +
           "\n"
           "\"Email\"=" +
           Wide("eve@work.example") + "\n\"POP3 User\"=" + Wide("eve") +
           "\n"
           "\"POP3 Server\"=" +
           Wide("mail.work.example") + "\n\"POP3 Port\"=dword:000003e3\n\n" + Root + ProfilesOutlook +
           "\\0a0d020000000000c000000000000046\\00000001]\n"
           "\"POP3 Server\"=" +
           Wide("not.an.account") + "\n\n" + Root + NtProfilesOutlook +
           "\\Container]\n\"NextAccountID\"=dword:00000001\n\n" + Root + NtProfilesOutlook +
           "\\Container\\00000001]\n"
           "\"Account Name\"=" +
           Wide("Nt") + "\n\"POP3 Server\"=" + Wide("pop.nt.example") + "\n\n";
}

class UTessivarClientDriver : public testing::Test {
protected:
    void SetUp() override { m_Directory.Write(MailProgramAccounts()); }

    // The account found with that account name.
    TMailClientAccount& Account(const std::string& accountName) {
        for (int i = 0; i < m_Clients.AccountCount(); ++i)
            if (m_Clients.Accounts(i).AccountName == accountName)
                return m_Clients.Accounts(i);
        throw std::runtime_error("no account " + accountName);
    }

    TRegistryTestDirectory m_Directory;
    TThunderbirdRoots m_NoThunderbirdProfiles; // the machine's own profiles are never searched
    TMailClients m_Clients;
};

struct TExpectedAccount {
    std::string Client, Identity, AccountName, DisplayName, EmailAddress, KeyPath, RemoteServer;
    int RemotePort;
    std::string UserName;
};

} // namespace

TEST_F(UTessivarClientDriver, DiscoversThePOP3AccountsOfAllThreeProgramsInOrder) {
    m_Clients.Discover();
    ASSERT_EQ(m_Clients.ClientCount(), 4);
    EXPECT_EQ(m_Clients.Clients(0).Name, "Microsoft Outlook Express");
    EXPECT_EQ(m_Clients.Clients(1).Name, "Microsoft Outlook 98");
    EXPECT_EQ(m_Clients.Clients(2).Name, "Microsoft Outlook 2002");
    EXPECT_EQ(m_Clients.Clients(3).Name, "Mozilla Thunderbird");

    const std::string bobKey = "Identities\\{11111111-0000-0000-0000-000000000000}\\" + ExpressAccounts + "\\00000003";
    const std::vector<TExpectedAccount> expected = {
        {"Microsoft Outlook Express", "Main Identity", "Home", "Ann Example", "ann@example.com",
         ExpressAccounts + "\\00000001", "pop.example.com", 0x123, "ann"},
        {"Microsoft Outlook Express", "Bob", "Bob's", "", "bob@example.net", bobKey, "pop.example.net", 110, "bob"},
        {"Microsoft Outlook 98", "Main Identity", "Office", "Dan", "dan@example.org", Outlook98Accounts + "\\00000001",
         "mail.example.org", 110, "dan"},
        {"Microsoft Outlook 98", "Main Identity", "Later", "", "", Outlook98OtherAccounts + "\\00000001",
         "pop.later.example", 110, ""},
        {"Microsoft Outlook 2002", "Main Identity", "Work", "Eve J\xC3\xBCrgens", "eve@work.example", Outlook2002Key,
         "mail.work.example", 995, "eve"},
        {"Microsoft Outlook 2002", "Main Identity", "Nt", "", "", NtProfilesOutlook + "\\Container\\00000001",
         "pop.nt.example", 110, ""},
    };
    ASSERT_EQ(m_Clients.AccountCount(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        const TMailClientAccount& account = m_Clients.Accounts(static_cast<int>(i));
        const TExpectedAccount& want = expected[i];
        SCOPED_TRACE(want.AccountName);
        EXPECT_EQ(account.Client->Name, want.Client);
        EXPECT_EQ(&account.Client->Owner, &m_Clients);
        EXPECT_EQ(account.Identity, want.Identity);
        EXPECT_EQ(account.AccountName, want.AccountName);
        EXPECT_EQ(account.DisplayName, want.DisplayName);
        EXPECT_EQ(account.EmailAddress, want.EmailAddress);
        EXPECT_EQ(account.KeyPath, want.KeyPath);
        EXPECT_EQ(account.RemoteServer, want.RemoteServer);
        EXPECT_EQ(account.RemotePort, want.RemotePort);
        EXPECT_EQ(account.UserName, want.UserName);
    }

    // A second discovery replaces the first instead of adding to it.
    m_Clients.Discover();
    EXPECT_EQ(m_Clients.AccountCount(), static_cast<int>(expected.size()));
}

TEST_F(UTessivarClientDriver, TracesTheScanningOfOutlook98AndTheObjectsLifetimes) {
    TTraceCapture trace;
    {
        TMailClients clients;
        clients.Discover();
    }
    const std::string text = trace.Text();
    const std::string accounts = "\\" + Outlook98Accounts;
    for (const std::string& entry : {
             "\tCreating a mail client.\r\n"s,
             "\tCreating a mail client account.\r\n"s,
             "\tFinding accounts for identity Main Identity\r\n"s,
             "\tKeyNames: 00000001\r\n00000002\r\n"s,
             "\tChecking: " + accounts + "\\00000001\r\n",
             "\tOpenned key: " + Outlook98Accounts + "\\00000001\r\n",
             "\tLoading: " + Outlook98Accounts + "\\00000001\r\n",
             "\tKey: " + Outlook98Accounts + "\\00000002 is not a POP3 account.\r\n",
             "\tDestroyed a mail client account.\r\n"s,
             "\tDestroyed a mail client.\r\n"s,
         })
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
    // Only Outlook 98 traces its scanning.
    EXPECT_EQ(text.find("is not a POP3 account.", text.find("is not a POP3 account.") + 1), std::string::npos);
    EXPECT_EQ(text.find("Checking: \\" + ExpressAccounts), std::string::npos);
}

TEST_F(UTessivarClientDriver, RedirectedAccountIsReadWithItsRealServer) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(ExpressAccounts + "\\00000001", false));
    registry.WriteString("POP3 Server", LocalMarkerHost);
    registry.WriteInteger("POP3 Port", 20001);
    registry.WriteString("Tessivar Remote POP3 Server", "real.example.com");
    registry.WriteInteger("Tessivar Remote POP3 Port", 995);
    ASSERT_TRUE(registry.OpenKey(Outlook98Accounts + "\\00000001", false));
    registry.WriteString("POP3 Server", LegacyMarkerHost);
    registry.WriteString("Tessivar Remote POP3 Server", "legacy.example.org");
    m_Clients.Discover();

    EXPECT_EQ(Account("Home").RemoteServer, "real.example.com");
    EXPECT_EQ(Account("Home").RemotePort, 995);
    // The older marker is recognised too; without the extra port value the port is 110, not the local one.
    EXPECT_EQ(Account("Office").RemoteServer, "legacy.example.org");
    EXPECT_EQ(Account("Office").RemotePort, 110);
}

TEST_F(UTessivarClientDriver, PortsOfAnotherTypeReadAsTheDefault) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(ExpressAccounts + "\\00000001", false));
    registry.WriteString("POP3 Port", "995");
    m_Clients.Discover();
    EXPECT_EQ(Account("Home").RemotePort, 110);
}

TEST_F(UTessivarClientDriver, RedirectAndRestoreLeaveTheRealValuesAndTheTwoExtraValues) {
    m_Clients.Discover();
    TMailClientAccount& account = Account("Home");
    account.SetPOP3Server(LocalMarkerHost, 20001);

    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly(account.KeyPath));
    EXPECT_EQ(registry.ReadString("POP3 Server"), "127.1");
    EXPECT_EQ(registry.ReadInteger("POP3 Port"), 20001);
    EXPECT_EQ(registry.ReadString("Tessivar Remote POP3 Server"), "pop.example.com");
    EXPECT_EQ(registry.ReadInteger("Tessivar Remote POP3 Port"), 0x123);

    // A run that ends without restoring: the next discovery still finds the real server.
    TMailClients next;
    next.Discover();
    EXPECT_EQ(next.Accounts(0).RemoteServer, "pop.example.com");
    EXPECT_EQ(next.Accounts(0).RemotePort, 0x123);

    account.SetPOP3Server(account.RemoteServer, account.RemotePort);
    EXPECT_EQ(registry.ReadString("POP3 Server"), "pop.example.com");
    EXPECT_EQ(registry.ReadInteger("POP3 Port"), 0x123);
    EXPECT_EQ(registry.ReadString("Tessivar Remote POP3 Server"), "pop.example.com");
    EXPECT_EQ(registry.ReadInteger("Tessivar Remote POP3 Port"), 0x123);
    EXPECT_EQ(registry.GetDataType("POP3 Port"), TRegDataType::rdInteger);
    EXPECT_EQ(registry.GetValueNames().size(), 8u);
}

TEST_F(UTessivarClientDriver, Outlook2002KeepsTextsAsNulTerminatedUtf16) {
    m_Clients.Discover();
    TMailClientAccount& account = Account("Work");
    account.SetPOP3Server(LocalMarkerHost, 20002);

    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly(account.KeyPath));
    EXPECT_EQ(registry.GetDataType("POP3 Server"), TRegDataType::rdBinary);
    EXPECT_EQ(registry.ReadBinaryData("POP3 Server"),
              (std::vector<uint8_t>{'1', 0, '2', 0, '7', 0, '.', 0, '1', 0, 0, 0}));
    EXPECT_EQ(registry.ReadBinaryData("Tessivar Remote POP3 Server"), WideBytes("mail.work.example"));
    EXPECT_EQ(registry.ReadInteger("POP3 Port"), 20002);
    EXPECT_EQ(registry.ReadInteger("Tessivar Remote POP3 Port"), 995);

    account.SetPOP3Server(account.RemoteServer, account.RemotePort);
    EXPECT_EQ(registry.ReadBinaryData("POP3 Server"), WideBytes("mail.work.example"));
    EXPECT_EQ(registry.ReadInteger("POP3 Port"), 995);
}

TEST_F(UTessivarClientDriver, Outlook2002ReadsOddlyStoredTextsWithoutLosingCharacters) {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey(Outlook2002Key, false));
    // Without terminator the last character is text, not a NUL to drop.
    registry.WriteBinaryData("Account Name", TextToUtf16Le("Work"));
    // Text after the terminator is not part of the value.
    registry.WriteBinaryData("Email", {'e', 0, 0, 0, 'x', 0, 0, 0});
    registry.WriteString("POP3 User", "plain");
    registry.WriteBinaryData("Display Name", {'A', 0, 'b'}); // an odd length
    m_Clients.Discover();
    const TMailClientAccount& account = Account("Work");
    EXPECT_EQ(account.EmailAddress, "e");
    EXPECT_EQ(account.UserName, "plain");
    EXPECT_EQ(account.DisplayName, "A");
}

TEST_F(UTessivarClientDriver, AccountKeyThatVanishedIsReportedAndNotRecreated) {
    m_Clients.Discover();
    TMailClientAccount& account = Account("Office");
    TRegistry registry;
    ASSERT_TRUE(registry.DeleteKey(account.KeyPath));
    TTraceCapture trace;
    account.SetPOP3Server(LocalMarkerHost, 20003);
    EXPECT_NE(trace.Text().find("\tCould not open key: " + account.KeyPath + "\r\n"), std::string::npos);
    EXPECT_FALSE(registry.KeyExists(account.KeyPath));
}

TEST_F(UTessivarClientDriver, RedirectThatCannotBeWrittenChangesNoValue) {
    m_Clients.Discover();
    TMailClientAccount& account = Account("Home");
    const std::string before = m_Directory.Read();
    {
        TTraceCapture trace;
        // Room for the first of the four values alone, not for all of them.
        TFileSizeLimit limit(before.size() + 60);
        account.SetPOP3Server(LocalMarkerHost, 20004);
        const std::string text = trace.Text();
        EXPECT_NE(text.find("\tTOutlookExpress\r\n\tEXCEPTION: Failed to write the registry"), std::string::npos);
        EXPECT_EQ(text.find("Configured mail account at: "), std::string::npos);
    }
    EXPECT_EQ(m_Directory.Read(), before);
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKeyReadOnly(account.KeyPath));
    EXPECT_EQ(registry.ReadString("POP3 Server"), "pop.example.com");
    EXPECT_FALSE(registry.ValueExists("Tessivar Remote POP3 Server"));

    TTraceCapture trace;
    account.SetPOP3Server(LocalMarkerHost, 20004);
    EXPECT_NE(trace.Text().find("\tConfigured mail account at: " + account.KeyPath + "\r\n"), std::string::npos);
    EXPECT_EQ(registry.ReadString("POP3 Server"), "127.1");
}
